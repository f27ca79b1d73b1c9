// The Win32 types and error codes of the user-mode face of the emulated machine: what a
// user-mode program (the client library, tests, tools) sees of a process. Host only.
#pragma once

#include <cstdint>

#include "platform/wdm.h"

typedef uint32_t DWORD;
typedef int BOOL;

// Completion record of an overlapped request, laid out as in Win32. While the request is in
// flight Internal holds STATUS_PENDING; the completion stores the NTSTATUS in Internal and
// the byte count in InternalHigh. hEvent is not used by the emulation: every request has a
// completion signal of its own, which GetOverlappedResult(Ex) waits on, as Win32 waits on the
// event; HasOverlappedIoCompleted polls.
struct OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    DWORD Offset;
    DWORD OffsetHigh;
    HANDLE hEvent;
};
typedef OVERLAPPED* LPOVERLAPPED;

inline bool HasOverlappedIoCompleted(const OVERLAPPED* overlapped)
{
    return __atomic_load_n(&overlapped->Internal, __ATOMIC_ACQUIRE) != static_cast<ULONG_PTR>(STATUS_PENDING);
}

inline HANDLE const INVALID_HANDLE_VALUE = reinterpret_cast<HANDLE>(~uintptr_t(0));

constexpr DWORD INFINITE = 0xFFFFFFFF;   // a wait without time-out

constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_FILE_NOT_FOUND = 2;
constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_NOT_ENOUGH_MEMORY = 8;
constexpr DWORD ERROR_GEN_FAILURE = 31;
constexpr DWORD ERROR_NOT_SUPPORTED = 50;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_INSUFFICIENT_BUFFER = 122;
constexpr DWORD ERROR_INVALID_FUNCTION = 1;
constexpr DWORD ERROR_NOACCESS = 998;
constexpr DWORD ERROR_OPERATION_ABORTED = 995;
constexpr DWORD ERROR_IO_INCOMPLETE = 996;
constexpr DWORD ERROR_IO_PENDING = 997;
constexpr DWORD ERROR_NOT_FOUND = 1168;
constexpr DWORD ERROR_NO_SYSTEM_RESOURCES = 1450;
constexpr DWORD ERROR_MR_MID_NOT_FOUND = 317;
constexpr DWORD WAIT_TIMEOUT = 258;

constexpr NTSTATUS STATUS_INVALID_DEVICE_REQUEST = static_cast<NTSTATUS>(0xC0000010);

namespace host {

// The Win32 error a failed NTSTATUS becomes (the subset of the system's table the driver uses).
DWORD Win32ErrorOf(NTSTATUS status);

}  // namespace host
