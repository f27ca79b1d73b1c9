// The user-mode face the client library runs over: the handles, requests and memory of the
// process it runs in, under Win32's names. On the emulated machine that is host::UserProcess, a
// process of the machine; on Windows, gvsp::Win32Process, the real process through Win32. The
// client's code is the same over both; UserFace states what it calls.
#pragma once

#include <concepts>
#include <cstddef>

#if defined(_WIN32)
#include "client/windows/win32_process.h"
#else
#include "host/memory/memory.h"
#endif

namespace gvsp {

#if defined(_WIN32)
using UserProcess = Win32Process;
#else
using UserProcess = host::UserProcess;
#endif

template <typename Process>
concept UserFace = requires(Process& process, HANDLE handle, ULONG code, void* buffer, ULONG length,
    ULONG_PTR* information, DWORD* transferred, OVERLAPPED* overlapped, DWORD milliseconds, size_t bytes) {
    // Opens "\\.\NAME"; INVALID_HANDLE_VALUE when it cannot.
    { process.CreateFile(u"") } -> std::same_as<HANDLE>;
    // A request waited for: its final status and Information, exactly.
    { process.NtDeviceIoControlFile(handle, code, buffer, length, buffer, length, information) } -> std::same_as<NTSTATUS>;
    // An overlapped request: FALSE with ERROR_IO_PENDING while it waits; its final status lands
    // in the OVERLAPPED's Internal, its byte count in InternalHigh.
    { process.DeviceIoControl(handle, code, buffer, length, buffer, length, transferred, overlapped) } -> std::same_as<BOOL>;
    // Waits up to `milliseconds` (INFINITE: no limit) for the request to complete: FALSE with
    // WAIT_TIMEOUT while it is still pending, else its result. A thread waiting here sleeps.
    { process.GetOverlappedResultEx(handle, overlapped, transferred, milliseconds, FALSE) } -> std::same_as<BOOL>;
    { process.CancelIoEx(handle, overlapped) } -> std::same_as<BOOL>;
    { process.CloseHandle(handle) } -> std::same_as<BOOL>;
    // Zeroed, writable pages that stay as long as the process; NULL when there are none.
    { process.Allocate(bytes) } -> std::same_as<void*>;
};
static_assert(UserFace<UserProcess>);

}  // namespace gvsp
