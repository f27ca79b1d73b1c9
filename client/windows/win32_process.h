// The user-mode face of the calling process on Windows (client/user_face.h): the driver's
// control device through Win32 and the NT request interface beneath it, frame buffers from
// VirtualAlloc. Windows user mode only.
#pragma once

// The NT status codes come from ntstatus.h, not as the DWORDs winnt.h would define them.
#define WIN32_NO_STATUS
#include <windows.h>
#undef WIN32_NO_STATUS
#include <ntstatus.h>
#include <winternl.h>

#include <cstddef>
#include <mutex>
#include <vector>

namespace gvsp {

class Win32Process {
public:
    Win32Process() = default;
    // Releases what Allocate committed: the streams that use it must have closed their handles.
    ~Win32Process();
    Win32Process(const Win32Process&) = delete;
    Win32Process& operator=(const Win32Process&) = delete;

    // Opens "\\.\NAME" for overlapped requests (CreateFileW).
    HANDLE CreateFile(const char16_t* path);
    // Issues the request overlapped and waits for it.
    NTSTATUS NtDeviceIoControlFile(HANDLE device, ULONG ioControlCode, void* inBuffer, ULONG inBufferLength,
        void* outBuffer, ULONG outBufferLength, ULONG_PTR* information);
    // `overlapped` is required: the handle is opened for overlapped requests. The request gets an
    // event of its own, closed when GetOverlappedResultEx finds it complete; a request the I/O
    // manager refuses at once leaves its status in Internal all the same.
    BOOL DeviceIoControl(HANDLE device, DWORD ioControlCode, void* inBuffer, DWORD inBufferSize, void* outBuffer,
        DWORD outBufferSize, DWORD* bytesReturned, OVERLAPPED* overlapped);
    // Win32's GetOverlappedResultEx, which Windows 7 lacks: a wait on the request's event.
    BOOL GetOverlappedResultEx(HANDLE device, OVERLAPPED* overlapped, DWORD* bytesTransferred, DWORD milliseconds,
        BOOL alertable);
    BOOL CancelIoEx(HANDLE device, OVERLAPPED* overlapped) { return ::CancelIoEx(device, overlapped); }
    BOOL CloseHandle(HANDLE handle) { return ::CloseHandle(handle); }
    // Committed, zeroed, writable pages (VirtualAlloc); NULL for 0 bytes or when none are left.
    void* Allocate(size_t bytes);

private:
    std::mutex mutex_;
    std::vector<void*> allocations_;   // under mutex_
};

}  // namespace gvsp
