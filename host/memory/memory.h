// The memory manager of the emulated machine and the user processes it serves: user memory
// ranges per process, MDLs, probing and locking of user pages, the system mapping of locked
// pages and its removal at unlock. Also the user-mode face of a process (open, DeviceIoControl,
// cancel, close), implemented by the I/O manager in host/io/usermode.cpp. Host only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>

#include "host/io/usermode.h"
#include "platform/wdm.h"

namespace host {

constexpr size_t HOST_PAGE_SIZE = 4096;

struct ProcessMemory;   // host/memory/memory.cpp
struct ProcessIo;       // host/io/usermode.cpp
struct ProcessIoDeleter {
    void operator()(ProcessIo* io) const;
};

// A user process: its own range of user memory and its handle table. Created by the Machine
// (Machine::NewProcess); every call may be made from any thread, several at once. A user call
// makes the calling thread run in this process's context while it is inside the I/O manager
// (PsGetCurrentProcessId returns Id()).
class UserProcess {
public:
    explicit UserProcess(uint32_t number);
    ~UserProcess();
    UserProcess(const UserProcess&) = delete;
    UserProcess& operator=(const UserProcess&) = delete;

    // The process id, as PsGetCurrentProcessId returns it while the process calls the driver.
    HANDLE Id() const { return id_; }

    // ---- User memory ----------------------------------------------------------------------
    // Commits `bytes` (rounded up to pages) of zeroed, writable user memory; NULL when the
    // process range is exhausted or bytes is 0. Allocations are separated by an uncommitted
    // guard page.
    void* Allocate(size_t bytes);
    // Releases an allocation; releasing pages that are still locked is MdlMisuse.
    void Free(void* p);
    // Makes an allocation read-only (or writable again).
    void Protect(void* p, bool readOnly);
    // An address inside the process range that is never valid memory of the process.
    void* InvalidAddress() const;
    // True when [p, p + bytes) is committed memory of this process (and writable if asked).
    bool IsValidRange(const void* p, size_t bytes, bool writable) const;

    // ---- User-mode face (host/io/usermode.cpp) --------------------------------------------
    // Opens "\\.\NAME" through the symbolic link "\DosDevices\NAME" (or an NT device path);
    // INVALID_HANDLE_VALUE with the last error set when there is no such device or the driver
    // fails the create.
    HANDLE CreateFile(const char16_t* path);
    // The NT form of CreateFile: the create's status, the handle on success.
    NTSTATUS NtCreateFile(const char16_t* path, HANDLE* handle);
    // Synchronous when `overlapped` is NULL (waits for completion); overlapped otherwise:
    // FALSE with ERROR_IO_PENDING while the request is pending.
    BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, void* inBuffer, DWORD inBufferSize, void* outBuffer,
        DWORD outBufferSize, DWORD* bytesReturned, OVERLAPPED* overlapped);
    // The NT form, synchronous: the request's final status and Information, exactly.
    NTSTATUS NtDeviceIoControlFile(HANDLE device, ULONG ioControlCode, void* inBuffer, ULONG inBufferLength,
        void* outBuffer, ULONG outBufferLength, ULONG_PTR* information);
    // Waits up to `milliseconds` (INFINITE, or 0: not at all) for the request `overlapped` of
    // `device` to complete: FALSE with WAIT_TIMEOUT (ERROR_IO_INCOMPLETE for 0) while it is still
    // pending, ERROR_INVALID_HANDLE when the request is not one of `device`. No APCs: `alertable`
    // changes nothing.
    BOOL GetOverlappedResultEx(HANDLE device, OVERLAPPED* overlapped, DWORD* bytesTransferred, DWORD milliseconds,
        BOOL alertable);
    // GetOverlappedResultEx without time-out (`wait`), or without waiting.
    BOOL GetOverlappedResult(HANDLE device, OVERLAPPED* overlapped, DWORD* bytesTransferred, BOOL wait);
    // Cancels the pending requests of `device` issued with `overlapped`, or all of them when
    // NULL; FALSE with ERROR_NOT_FOUND when there was none.
    BOOL CancelIoEx(HANDLE device, OVERLAPPED* overlapped);
    // A handle of this process to the file object `sourceHandle` of `source` names, as
    // DuplicateHandle makes it; INVALID_HANDLE_VALUE when there is no such handle.
    HANDLE DuplicateHandleFrom(UserProcess& source, HANDLE sourceHandle);
    // Closes a handle: the last handle of a file object sends cleanup, then close.
    BOOL CloseHandle(HANDLE handle);
    // The last error of the calling thread.
    DWORD GetLastError() const;
    void SetLastError(DWORD error) const;
    // Number of open handles.
    size_t OpenHandles() const;

    // Ends the process as the system does: its pending requests are cancelled, its handles
    // closed, then its memory released (pages still locked then are MdlMisuse). Idempotent.
    void End();
    bool Ended() const { return ended_; }

    ProcessMemory& Memory() const { return *memory_; }
    ProcessIo& Io() const { return *io_; }

private:
    HANDLE id_;
    bool ended_ = false;
    std::unique_ptr<ProcessMemory> memory_;
    std::unique_ptr<ProcessIo, ProcessIoDeleter> io_;
};

// Runs the calling thread in `process`'s context (PsGetCurrentProcessId returns its id) for the
// lifetime of the scope; NULL means the system process.
class ProcessContext {
public:
    explicit ProcessContext(const UserProcess* process);
    ~ProcessContext();
    ProcessContext(const ProcessContext&) = delete;
    ProcessContext& operator=(const ProcessContext&) = delete;

private:
    HANDLE previous_;
};

// ---- Memory manager state (used by the Machine) --------------------------------------------
// Installs the fault handler that recognises the use of a system mapping after its pages were
// unlocked (chained to the handler installed before it). Idempotent.
void InstallMappingFaultHandler();
// Reports MDLs allocated with IoAllocateMdl and not freed (PoolLeak) and pages still locked
// (MdlMisuse); returns their number.
size_t CheckNoMdls(const char* when);
// Forgets every MDL and lock; the next machine starts clean.
void ResetMemoryManager();
// Number of MDLs with locked pages, and of live system mappings of user pages.
size_t LockedMdls();
size_t LiveSystemMappings();
// Reports (HandleLeak) every process notify routine still registered, then forgets it; returns
// their number.
size_t CheckNoProcessNotifyRoutines(const char* when);
// True when `p` is inside a system mapping whose pages were unlocked (the checker's view).
bool IsFormerSystemMapping(const void* p);
// True when `value`, read as an address, lies in kernel memory: a pool block, the arena of
// system mappings, or an MDL from IoAllocateMdl (what must never be disclosed to user memory).
bool IsKernelAddress(uint64_t value);

}  // namespace host
