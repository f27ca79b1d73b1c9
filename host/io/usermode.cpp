// The user-mode face of a process: its handle table, CreateFile, DeviceIoControl (synchronous
// and overlapped), GetOverlappedResult(Ex), CancelIoEx, DuplicateHandle, CloseHandle and the last
// error, the Win32 errors a status becomes, and what ending a process does to its requests and
// handles. Host only.
#include <algorithm>
#include <chrono>

#include "host/io/io_internal.h"

namespace host {

using namespace io_internal;

namespace {

constexpr CSHORT IO_TYPE_FILE = 5;

thread_local DWORD LastError = 0;

}  // namespace

// A process's handles. Guarded by IoLock.
struct ProcessIo {
    UserProcess* process = nullptr;
    std::map<HANDLE, FileRecord*> handles;
    uintptr_t nextHandle = 0x100;
};

DWORD Win32ErrorOf(NTSTATUS status)
{
    switch (status) {
    case STATUS_SUCCESS: return ERROR_SUCCESS;
    case STATUS_PENDING: return ERROR_IO_PENDING;
    case STATUS_UNSUCCESSFUL: return ERROR_GEN_FAILURE;
    case STATUS_INVALID_HANDLE: return ERROR_INVALID_HANDLE;
    case STATUS_INVALID_PARAMETER: return ERROR_INVALID_PARAMETER;
    case STATUS_NO_MEMORY: return ERROR_NOT_ENOUGH_MEMORY;
    case STATUS_BUFFER_TOO_SMALL: return ERROR_INSUFFICIENT_BUFFER;
    case STATUS_OBJECT_NAME_NOT_FOUND: return ERROR_FILE_NOT_FOUND;
    case STATUS_ACCESS_VIOLATION: return ERROR_NOACCESS;
    case STATUS_INSUFFICIENT_RESOURCES: return ERROR_NO_SYSTEM_RESOURCES;
    case STATUS_NOT_SUPPORTED: return ERROR_NOT_SUPPORTED;
    case STATUS_CANCELLED: return ERROR_OPERATION_ABORTED;
    case STATUS_NOT_FOUND: return ERROR_NOT_FOUND;
    case STATUS_INVALID_DEVICE_REQUEST: return ERROR_INVALID_FUNCTION;
    default: return ERROR_MR_MID_NOT_FOUND;
    }
}

// ---- Processes ------------------------------------------------------------------------------

std::unique_ptr<ProcessIo, ProcessIoDeleter> NewProcessIo(UserProcess* process)
{
    std::unique_ptr<ProcessIo, ProcessIoDeleter> io(new ProcessIo);
    io->process = process;
    return io;
}

void ProcessIoDeleter::operator()(ProcessIo* io) const { delete io; }

void CancelProcessIo(UserProcess& process)
{
    FlushDeferredCloses();
    std::vector<std::shared_ptr<IrpRecord>> pending;
    {
        std::lock_guard<std::mutex> guard(IoLock);
        for (const auto& [handle, file] : process.Io().handles) {
            pending.insert(pending.end(), file->pending.begin(), file->pending.end());
        }
    }
    ProcessContext context(&process);
    for (const auto& record : pending) {
        CancelIrp(&record->irp);
    }
}

void CloseProcessHandles(UserProcess& process)
{
    std::vector<HANDLE> handles;
    {
        std::lock_guard<std::mutex> guard(IoLock);
        for (const auto& [handle, file] : process.Io().handles) {
            handles.push_back(handle);
        }
    }
    for (HANDLE handle : handles) {
        process.CloseHandle(handle);
    }
}

NTSTATUS UserProcess::NtCreateFile(const char16_t* path, HANDLE* handle)
{
    FlushDeferredCloses();
    std::u16string name = path;
    std::u16string deviceName;
    FileRecord* file = nullptr;
    {
        std::lock_guard<std::mutex> guard(IoLock);
        if (name.rfind(u"\\\\.\\", 0) == 0) {
            name = u"\\??\\" + name.substr(4);
        }
        auto link = Links.find(LinkKey(name));
        deviceName = link != Links.end() ? link->second : name;
        DeviceRecord* device = LiveDeviceNamed(deviceName);
        if (device == nullptr || ended_) {
            return STATUS_OBJECT_NAME_NOT_FOUND;
        }
        auto record = std::make_unique<FileRecord>();
        record->object.Type = IO_TYPE_FILE;
        record->object.Size = CSHORT(sizeof(FILE_OBJECT));
        record->object.DeviceObject = &device->object;
        record->device = device;
        file = record.get();
        Files[&file->object] = std::move(record);
    }
    NTSTATUS status = Issue(this, file, IRP_MJ_CREATE, 0, nullptr, 0, nullptr, 0, nullptr, true, nullptr);
    std::lock_guard<std::mutex> guard(IoLock);
    if (!NT_SUCCESS(status)) {
        Files.erase(&file->object);
        return status;
    }
    HANDLE h = reinterpret_cast<HANDLE>(Io().nextHandle);
    Io().nextHandle += 4;
    file->handles = 1;
    Io().handles[h] = file;
    *handle = h;
    return status;
}

HANDLE UserProcess::CreateFile(const char16_t* path)
{
    HANDLE handle = INVALID_HANDLE_VALUE;
    NTSTATUS status = NtCreateFile(path, &handle);
    if (!NT_SUCCESS(status)) {
        SetLastError(Win32ErrorOf(status));
        return INVALID_HANDLE_VALUE;
    }
    SetLastError(ERROR_SUCCESS);
    return handle;
}

namespace {

// The file object of a handle, referenced until ReleaseFileLookup.
FileRecord* FileOfHandle(UserProcess& process, HANDLE handle)
{
    std::lock_guard<std::mutex> guard(IoLock);
    auto it = process.Io().handles.find(handle);
    if (it == process.Io().handles.end()) {
        return nullptr;
    }
    it->second->lookups += 1;
    return it->second;
}

}  // namespace

NTSTATUS UserProcess::NtDeviceIoControlFile(HANDLE device, ULONG ioControlCode, void* inBuffer, ULONG inBufferLength,
    void* outBuffer, ULONG outBufferLength, ULONG_PTR* information)
{
    FlushDeferredCloses();
    if (information != nullptr) {
        *information = 0;
    }
    FileRecord* file = FileOfHandle(*this, device);
    if (file == nullptr) {
        return STATUS_INVALID_HANDLE;
    }
    NTSTATUS status = Issue(this, file, IRP_MJ_DEVICE_CONTROL, ioControlCode, inBuffer, inBufferLength, outBuffer,
        outBufferLength, nullptr, true, information);
    ReleaseFileLookup(file);
    return status;
}

BOOL UserProcess::DeviceIoControl(HANDLE device, DWORD ioControlCode, void* inBuffer, DWORD inBufferSize,
    void* outBuffer, DWORD outBufferSize, DWORD* bytesReturned, OVERLAPPED* overlapped)
{
    FlushDeferredCloses();
    FileRecord* file = FileOfHandle(*this, device);
    if (file == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    ULONG_PTR information = 0;
    NTSTATUS status = Issue(this, file, IRP_MJ_DEVICE_CONTROL, ioControlCode, inBuffer, inBufferSize, outBuffer,
        outBufferSize, overlapped, overlapped == nullptr, &information);
    ReleaseFileLookup(file);
    if (status == STATUS_PENDING) {
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    bool error = (ULONG(status) >> 30) == 3;
    if (bytesReturned != nullptr) {
        *bytesReturned = error ? 0 : DWORD(information);
    }
    if (!NT_SUCCESS(status)) {
        SetLastError(Win32ErrorOf(status));
        return FALSE;
    }
    return TRUE;
}

BOOL UserProcess::GetOverlappedResultEx(HANDLE device, OVERLAPPED* overlapped, DWORD* bytesTransferred,
    DWORD milliseconds, BOOL alertable)
{
    (void)alertable;
    if (!HasOverlappedIoCompleted(overlapped)) {
        if (milliseconds == 0) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        std::unique_lock<std::mutex> guard(IoLock);
        auto it = Io().handles.find(device);
        if (it == Io().handles.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        // Completion takes IoLock: a request no longer pending has its status in place.
        const auto& pending = it->second->pending;
        auto request = std::find_if(pending.begin(), pending.end(),
            [&](const std::shared_ptr<IrpRecord>& record) { return record->overlapped == overlapped; });
        if (request != pending.end()) {
            const std::shared_ptr<IrpRecord> record = *request;
            const auto completed = [&] { return record->completed; };
            if (milliseconds == INFINITE) {
                record->completion.wait(guard, completed);
            } else if (!record->completion.wait_for(guard, std::chrono::milliseconds(milliseconds), completed)) {
                SetLastError(WAIT_TIMEOUT);
                return FALSE;
            }
        } else if (!HasOverlappedIoCompleted(overlapped)) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
    }
    NTSTATUS status = NTSTATUS(ULONG(__atomic_load_n(&overlapped->Internal, __ATOMIC_ACQUIRE)));
    if (bytesTransferred != nullptr) {
        *bytesTransferred = DWORD(overlapped->InternalHigh);
    }
    if (!NT_SUCCESS(status)) {
        SetLastError(Win32ErrorOf(status));
        return FALSE;
    }
    return TRUE;
}

BOOL UserProcess::GetOverlappedResult(HANDLE device, OVERLAPPED* overlapped, DWORD* bytesTransferred, BOOL wait)
{
    return GetOverlappedResultEx(device, overlapped, bytesTransferred, wait ? INFINITE : 0, FALSE);
}

BOOL UserProcess::CancelIoEx(HANDLE device, OVERLAPPED* overlapped)
{
    std::vector<std::shared_ptr<IrpRecord>> matching;
    {
        std::lock_guard<std::mutex> guard(IoLock);
        auto it = Io().handles.find(device);
        if (it == Io().handles.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        for (const auto& record : it->second->pending) {
            if (overlapped == nullptr || record->overlapped == overlapped) {
                matching.push_back(record);
            }
        }
    }
    if (matching.empty()) {
        SetLastError(ERROR_NOT_FOUND);
        return FALSE;
    }
    ProcessContext context(this);
    for (const auto& record : matching) {
        CancelIrp(&record->irp);
    }
    return TRUE;
}

HANDLE UserProcess::DuplicateHandleFrom(UserProcess& source, HANDLE sourceHandle)
{
    std::lock_guard<std::mutex> guard(IoLock);
    auto it = source.Io().handles.find(sourceHandle);
    if (it == source.Io().handles.end() || ended_) {
        SetLastError(ERROR_INVALID_HANDLE);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE h = reinterpret_cast<HANDLE>(Io().nextHandle);
    Io().nextHandle += 4;
    it->second->handles += 1;
    Io().handles[h] = it->second;
    return h;
}

BOOL UserProcess::CloseHandle(HANDLE handle)
{
    FlushDeferredCloses();
    FileRecord* file = nullptr;
    {
        std::lock_guard<std::mutex> guard(IoLock);
        auto it = Io().handles.find(handle);
        if (it == Io().handles.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        file = it->second;
        Io().handles.erase(it);
        if (--file->handles > 0) {
            return TRUE;
        }
    }
    CloseFile(this, file);
    return TRUE;
}

DWORD UserProcess::GetLastError() const { return LastError; }
void UserProcess::SetLastError(DWORD error) const { LastError = error; }

size_t UserProcess::OpenHandles() const
{
    std::lock_guard<std::mutex> guard(IoLock);
    return io_->handles.size();
}

}  // namespace host
