// The calling process's user-mode face on Windows. Windows user mode only.
#include "client/windows/win32_process.h"

#include <cstddef>

namespace gvsp {

namespace {

// Win32 hands an OVERLAPPED's first two members to the I/O manager as the request's
// IO_STATUS_BLOCK; so does this face.
static_assert(offsetof(OVERLAPPED, Internal) == offsetof(IO_STATUS_BLOCK, Status));
static_assert(offsetof(OVERLAPPED, InternalHigh) == offsetof(IO_STATUS_BLOCK, Information));

void SetStatus(OVERLAPPED* overlapped, NTSTATUS status)
{
    overlapped->Internal = static_cast<ULONG_PTR>(static_cast<ULONG>(status));
    overlapped->InternalHigh = 0;
}

}  // namespace

Win32Process::~Win32Process()
{
    for (void* allocation : allocations_) {
        VirtualFree(allocation, 0, MEM_RELEASE);
    }
}

HANDLE Win32Process::CreateFile(const char16_t* path)
{
    static_assert(sizeof(char16_t) == sizeof(wchar_t), "Windows' wchar_t holds UTF-16");
    return ::CreateFileW(reinterpret_cast<const wchar_t*>(path), GENERIC_READ | GENERIC_WRITE,
        FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
}

NTSTATUS Win32Process::NtDeviceIoControlFile(HANDLE device, ULONG ioControlCode, void* inBuffer,
    ULONG inBufferLength, void* outBuffer, ULONG outBufferLength, ULONG_PTR* information)
{
    OVERLAPPED overlapped{};
    DWORD transferred = 0;
    DeviceIoControl(device, ioControlCode, inBuffer, inBufferLength, outBuffer, outBufferLength, &transferred, &overlapped);
    GetOverlappedResultEx(device, &overlapped, &transferred, INFINITE, FALSE);
    *information = overlapped.InternalHigh;
    return static_cast<NTSTATUS>(overlapped.Internal);
}

BOOL Win32Process::DeviceIoControl(HANDLE device, DWORD ioControlCode, void* inBuffer, DWORD inBufferSize,
    void* outBuffer, DWORD outBufferSize, DWORD* bytesReturned, OVERLAPPED* overlapped)
{
    overlapped->hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (overlapped->hEvent == nullptr) {
        SetStatus(overlapped, STATUS_INSUFFICIENT_RESOURCES);
        return FALSE;
    }
    SetStatus(overlapped, STATUS_PENDING);
    // Win32's DeviceIoControl, but with the status the driver completed the request with.
    const NTSTATUS status = ::NtDeviceIoControlFile(device, overlapped->hEvent, nullptr, nullptr,
        reinterpret_cast<IO_STATUS_BLOCK*>(overlapped), ioControlCode, inBuffer, inBufferSize, outBuffer, outBufferSize);
    if (status == STATUS_PENDING) {
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    if ((static_cast<ULONG>(status) >> 30) == 3) {
        // An error that was not pending: the I/O manager wrote no status block.
        SetStatus(overlapped, status);
    }
    if (bytesReturned != nullptr) {
        *bytesReturned = static_cast<DWORD>(overlapped->InternalHigh);
    }
    if (!NT_SUCCESS(status)) {
        SetLastError(RtlNtStatusToDosError(status));
        return FALSE;
    }
    return TRUE;
}

BOOL Win32Process::GetOverlappedResultEx(HANDLE device, OVERLAPPED* overlapped, DWORD* bytesTransferred,
    DWORD milliseconds, BOOL alertable)
{
    // A request without its event is complete: the event was closed when it was found so, or
    // never made when the request failed at once.
    if (overlapped->hEvent != nullptr && milliseconds != 0) {
        const DWORD waited = WaitForSingleObjectEx(overlapped->hEvent, milliseconds, alertable);
        if (waited == WAIT_TIMEOUT || waited == WAIT_IO_COMPLETION) {
            SetLastError(waited);
            return FALSE;
        }
    }
    const BOOL complete = ::GetOverlappedResult(device, overlapped, bytesTransferred, FALSE);
    const DWORD error = GetLastError();
    if ((complete || error != ERROR_IO_INCOMPLETE) && overlapped->hEvent != nullptr) {
        ::CloseHandle(overlapped->hEvent);
        overlapped->hEvent = nullptr;
        SetLastError(error);
    }
    return complete;
}

void* Win32Process::Allocate(size_t bytes)
{
    if (bytes == 0) {
        return nullptr;
    }
    void* allocation = VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    if (allocation != nullptr) {
        std::lock_guard lock(mutex_);
        allocations_.push_back(allocation);
    }
    return allocation;
}

}  // namespace gvsp
