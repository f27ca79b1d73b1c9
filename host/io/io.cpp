// The I/O manager and object manager of the emulated machine: driver and device objects, names,
// symbolic links, file objects and handles, IRPs with METHOD_BUFFERED system buffers, completion,
// cancellation under the global cancel lock, cleanup and close, PnP custom notifications, and
// the user-mode face of a process. Host only.
#include "host/io/io.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <list>
#include <map>

#include "host/kernel/kernel.h"
#include "host/verifier/checker.h"
#include "host/verifier/faults.h"

namespace host {

namespace {

constexpr size_t RETIRED_IRPS_REMEMBERED = 512;
constexpr CSHORT IO_TYPE_IRP = 6;
constexpr CSHORT IO_TYPE_FILE = 5;
constexpr NTSTATUS STATUS_OBJECT_TYPE_MISMATCH = static_cast<NTSTATUS>(0xC0000024);

std::u16string FromUnicode(PCUNICODE_STRING s)
{
    if (s == nullptr || s->Buffer == nullptr) {
        return {};
    }
    return std::u16string(s->Buffer, s->Length / sizeof(WCHAR));
}

std::u16string Lower(std::u16string s)
{
    for (char16_t& c : s) {
        if (c >= u'A' && c <= u'Z') {
            c = char16_t(c - u'A' + u'a');
        }
    }
    return s;
}

bool StartsWithNoCase(const std::u16string& s, const std::u16string& prefix)
{
    return s.size() >= prefix.size() && Lower(s.substr(0, prefix.size())) == Lower(prefix);
}

std::string Narrow(const std::u16string& s)
{
    std::string out;
    for (char16_t c : s) {
        out += c < 0x80 ? char(c) : '?';
    }
    return out;
}

// "\DosDevices\X", "\GLOBAL??\X" and "\??\X" name the same link.
std::u16string LinkKey(const std::u16string& link)
{
    for (const std::u16string prefix : {u"\\DosDevices\\", u"\\GLOBAL??\\", u"\\??\\"}) {
        if (StartsWithNoCase(link, prefix)) {
            return u"\\??\\" + Lower(link.substr(prefix.size()));
        }
    }
    return Lower(link);
}

const char* MajorName(UCHAR major)
{
    switch (major) {
    case IRP_MJ_CREATE: return "IRP_MJ_CREATE";
    case IRP_MJ_CLOSE: return "IRP_MJ_CLOSE";
    case IRP_MJ_DEVICE_CONTROL: return "IRP_MJ_DEVICE_CONTROL";
    case IRP_MJ_CLEANUP: return "IRP_MJ_CLEANUP";
    default: return "IRP_MJ_?";
    }
}

struct DriverRecord {
    DRIVER_OBJECT object{};
    std::u16string name;
};

struct DeviceRecord {
    DEVICE_OBJECT object{};
    std::u16string name;   // empty: unnamed
    std::u16string sddl;
    PDRIVER_DISPATCH major[IRP_MJ_MAXIMUM_FUNCTION + 1] = {};
    std::unique_ptr<uint64_t[]> extension;
    std::unique_ptr<VPB> vpb;
    bool deleted = false;
    std::vector<std::weak_ptr<DeviceNotificationListener>> listeners;
};

struct IrpRecord;

struct FileRecord {
    FILE_OBJECT object{};
    DeviceRecord* device = nullptr;
    int handles = 0;
    bool cleanedUp = false;
    bool closeDeferred = false;   // cleanup done, close waits for the last IRP
    std::list<std::shared_ptr<IrpRecord>> pending;   // IRPs issued and not completed
};

struct IrpRecord {
    IRP irp{};
    IO_STACK_LOCATION stack{};
    std::unique_ptr<uint64_t[]> systemBuffer;
    FileRecord* file = nullptr;
    DeviceRecord* device = nullptr;
    void* userOutput = nullptr;
    ULONG outputLength = 0;
    OVERLAPPED* overlapped = nullptr;
    bool completed = false;
    bool dispatchReturned = false;
    NTSTATUS finalStatus = 0;
    ULONG_PTR finalInformation = 0;
};

// The I/O manager's records. Everything below is guarded by IoLock; IoCondition signals every
// completion. No driver routine is ever called with IoLock held.
std::mutex IoLock;
std::condition_variable IoCondition;
std::list<std::unique_ptr<DriverRecord>> Drivers;
std::list<std::unique_ptr<DeviceRecord>> Devices;             // kept until reset, even deleted ones
std::map<std::u16string, std::u16string> Links;               // LinkKey -> target
std::map<FILE_OBJECT*, std::unique_ptr<FileRecord>> Files;
std::map<PIRP, std::shared_ptr<IrpRecord>> Irps;              // in flight and recently retired
std::deque<PIRP> Retired;
std::vector<FileRecord*> DeferredCloses;
std::vector<std::pair<PDEVICE_CHANGE_COMPLETE_CALLBACK, PVOID>> DeferredCallbacks;
std::vector<IrpCompletion> Completions;

// The global cancel lock: a spin lock of the kernel, taken by the I/O manager around a cancel
// routine's call and released by the routine (IoReleaseCancelSpinLock).
KSPIN_LOCK CancelSpinLock;

unsigned char DriverObjectTypeStorage[16];
ObjectType DriverObjectKernelType{"Driver", nullptr};
ObjectType DeviceObjectKernelType{"Device", nullptr};

thread_local DWORD LastError = 0;

// _Requires_lock_held_(IoLock)
DriverRecord* DriverOf(const void* object)
{
    for (auto& d : Drivers) {
        if (&d->object == object) {
            return d.get();
        }
    }
    return nullptr;
}

// _Requires_lock_held_(IoLock)
DeviceRecord* DeviceOf(const void* object)
{
    for (auto& d : Devices) {
        if (&d->object == object) {
            return d.get();
        }
    }
    return nullptr;
}

// _Requires_lock_held_(IoLock)
DeviceRecord* LiveDeviceNamed(const std::u16string& name)
{
    std::u16string key = Lower(name);
    for (auto& d : Devices) {
        if (!d->deleted && !d->name.empty() && Lower(d->name) == key) {
            return d.get();
        }
    }
    return nullptr;
}

// _Requires_lock_held_(IoLock)
void Retire(const std::shared_ptr<IrpRecord>& record)
{
    Retired.push_back(&record->irp);
    while (Retired.size() > RETIRED_IRPS_REMEMBERED) {
        Irps.erase(Retired.front());
        Retired.pop_front();
    }
}

// Completes an IRP: copies the METHOD_BUFFERED output back, fills the caller's OVERLAPPED,
// wakes the waiters.
// _Requires_lock_held_(IoLock)
void CompleteLocked(const std::shared_ptr<IrpRecord>& record, CHAR boost)
{
    IrpRecord& r = *record;
    r.completed = true;
    r.finalStatus = r.irp.IoStatus.Status;
    r.finalInformation = r.irp.IoStatus.Information;
    r.irp.PendingReturned = BOOLEAN((r.stack.Control & SL_PENDING_RETURNED) != 0);
    bool error = (ULONG(r.finalStatus) >> 30) == 3;
    if (r.stack.MajorFunction == IRP_MJ_DEVICE_CONTROL && !error && r.userOutput != nullptr &&
        r.irp.AssociatedIrp.SystemBuffer != nullptr) {
        size_t n = std::min<size_t>(r.finalInformation, r.outputLength);
        std::memcpy(r.userOutput, r.irp.AssociatedIrp.SystemBuffer, n);
    }
    if (r.overlapped != nullptr) {
        r.overlapped->InternalHigh = error ? 0 : r.finalInformation;
        __atomic_store_n(&r.overlapped->Internal, ULONG_PTR(ULONG(r.finalStatus)), __ATOMIC_RELEASE);
    }
    Completions.push_back(IrpCompletion{r.stack.MajorFunction, r.stack.Parameters.DeviceIoControl.IoControlCode,
        r.finalStatus, r.finalInformation, boost, r.userOutput});
    FileRecord* file = r.file;
    file->pending.remove(record);
    if (file->closeDeferred && file->pending.empty()) {
        file->closeDeferred = false;
        DeferredCloses.push_back(file);
    }
    if (r.dispatchReturned) {
        Retire(record);
    }
    IoCondition.notify_all();
}

// Sends one IRP to the file object's device and, when `wait`, waits for its completion.
// Returns the final status, or STATUS_PENDING when not waiting and the IRP is still pending.
NTSTATUS Issue(UserProcess* process, FileRecord* file, UCHAR major, ULONG code, void* input, ULONG inputLength,
    void* output, ULONG outputLength, OVERLAPPED* overlapped, bool wait, ULONG_PTR* information)
{
    auto record = std::make_shared<IrpRecord>();
    IrpRecord& r = *record;
    DeviceRecord* device = file->device;
    r.file = file;
    r.device = device;
    r.irp.Type = IO_TYPE_IRP;
    r.irp.Size = USHORT(sizeof(IRP) + sizeof(IO_STACK_LOCATION));
    r.irp.RequestorMode = UserMode;
    r.irp.IoStatus.Status = STATUS_PENDING;
    r.irp.Tail.Overlay.CurrentStackLocation = &r.stack;
    r.irp.Tail.Overlay.Thread = process;
    InitializeListHead(&r.irp.Tail.Overlay.ListEntry);
    r.stack.MajorFunction = major;
    r.stack.DeviceObject = &device->object;
    r.stack.FileObject = &file->object;
    if (major == IRP_MJ_DEVICE_CONTROL) {
        r.stack.Parameters.DeviceIoControl.IoControlCode = code;
        r.stack.Parameters.DeviceIoControl.InputBufferLength = inputLength;
        r.stack.Parameters.DeviceIoControl.OutputBufferLength = outputLength;
        if ((code & 3) == METHOD_BUFFERED) {
            size_t size = std::max(inputLength, outputLength);
            if (size != 0) {
                r.systemBuffer.reset(new uint64_t[(size + 7) / 8]);
                std::memset(r.systemBuffer.get(), 0xCD, size);
                if (input != nullptr && inputLength != 0) {
                    std::memcpy(r.systemBuffer.get(), input, inputLength);
                }
                r.irp.AssociatedIrp.SystemBuffer = r.systemBuffer.get();
            }
            r.userOutput = output;
            r.outputLength = outputLength;
        } else {
            r.stack.Parameters.DeviceIoControl.Type3InputBuffer = input;
        }
    }
    r.overlapped = overlapped;
    if (overlapped != nullptr) {
        overlapped->InternalHigh = 0;
        __atomic_store_n(&overlapped->Internal, ULONG_PTR(STATUS_PENDING), __ATOMIC_RELEASE);
    }
    PDRIVER_DISPATCH dispatch = device->major[major];
    {
        std::lock_guard<std::mutex> guard(IoLock);
        Irps[&r.irp] = record;
        file->pending.push_back(record);
    }

    NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
    {
        ProcessContext context(process);
        if (dispatch == nullptr) {
            r.irp.IoStatus.Status = status;
            r.irp.IoStatus.Information = 0;
            IofCompleteRequest(&r.irp, IO_NO_INCREMENT);
        } else {
            CallHandlerAt(PASSIVE_LEVEL, MajorName(major), [&] { status = dispatch(&device->object, &r.irp); });
        }
    }

    std::unique_lock<std::mutex> guard(IoLock);
    r.dispatchReturned = true;
    if (status != STATUS_PENDING && !r.completed) {
        guard.unlock();
        ReportViolation(Rule::IrpNotCompleted,
            "%s dispatch of device %p returned status %#x without completing IRP %p (return STATUS_PENDING after "
            "IoMarkIrpPending, or complete the IRP before returning)",
            MajorName(major), static_cast<void*>(&device->object), unsigned(status), static_cast<void*>(&r.irp));
        guard.lock();
        if (!r.completed) {
            r.irp.IoStatus.Status = status;
            CompleteLocked(record, IO_NO_INCREMENT);
        }
    } else if (status == STATUS_PENDING && !(r.stack.Control & SL_PENDING_RETURNED)) {
        guard.unlock();
        ReportViolation(Rule::IrpNotCompleted,
            "%s dispatch of device %p returned STATUS_PENDING for IRP %p without marking it pending "
            "(IoMarkIrpPending)",
            MajorName(major), static_cast<void*>(&device->object), static_cast<void*>(&r.irp));
        guard.lock();
    }
    if (r.completed) {
        Retire(record);
    }
    if (wait) {
        IoCondition.wait(guard, [&] { return r.completed; });
    }
    if (information != nullptr) {
        *information = r.completed ? r.finalInformation : 0;
    }
    return r.completed ? r.finalStatus : STATUS_PENDING;
}

// Sends the close of a file object whose cleanup is done and whose IRPs are all completed,
// then forgets it. It runs in whatever context drops the last reference: `context` (NULL: the
// system process), never the creator's, which may have ended.
void SendClose(UserProcess* context, FileRecord* file)
{
    Issue(context, file, IRP_MJ_CLOSE, 0, nullptr, 0, nullptr, 0, nullptr, true, nullptr);
    std::lock_guard<std::mutex> guard(IoLock);
    Files.erase(&file->object);
}

// The last handle of a file object is gone: cleanup in the context of the process that closed
// it, then close once no IRP is left.
void CloseFile(UserProcess* closer, FileRecord* file)
{
    Issue(closer, file, IRP_MJ_CLEANUP, 0, nullptr, 0, nullptr, 0, nullptr, true, nullptr);
    std::vector<std::shared_ptr<IrpRecord>> left;
    {
        std::lock_guard<std::mutex> guard(IoLock);
        file->cleanedUp = true;
        left.assign(file->pending.begin(), file->pending.end());
        if (!left.empty()) {
            file->closeDeferred = true;
        }
    }
    for (const auto& record : left) {
        ReportViolation(Rule::IrpPendingAtCleanup,
            "IRP %p (%s, control code %#x) of file object %p is still pending after its cleanup completed: the "
            "driver must complete or cancel every request of the file object in IRP_MJ_CLEANUP",
            static_cast<void*>(&record->irp), MajorName(record->stack.MajorFunction),
            unsigned(record->stack.Parameters.DeviceIoControl.IoControlCode), static_cast<void*>(&file->object));
    }
    if (left.empty()) {
        SendClose(closer, file);
    }
}

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

// ---- Driver objects -------------------------------------------------------------------------

PDRIVER_OBJECT CreateDriverObject(const char16_t* name)
{
    auto record = std::make_unique<DriverRecord>();
    record->name = name;
    record->object.Type = IO_TYPE_DRIVER;
    record->object.Size = CSHORT(sizeof(DRIVER_OBJECT));
    record->object.DriverName.Buffer = record->name.data();
    record->object.DriverName.Length = USHORT(record->name.size() * sizeof(WCHAR));
    record->object.DriverName.MaximumLength = USHORT(record->object.DriverName.Length + sizeof(WCHAR));
    std::lock_guard<std::mutex> guard(IoLock);
    Drivers.push_back(std::move(record));
    return &Drivers.back()->object;
}

void DeleteDriverObject(PDRIVER_OBJECT driver)
{
    for (PDEVICE_OBJECT device : DevicesOfDriver(driver)) {
        DeleteNamedDevice(device);
    }
    std::lock_guard<std::mutex> guard(IoLock);
    Drivers.remove_if([&](const auto& d) { return &d->object == driver; });
}

int64_t DriverObjectReferences(PDRIVER_OBJECT driver) { return ObjectReferences(driver); }

bool IsDriverObject(const void* object)
{
    std::lock_guard<std::mutex> guard(IoLock);
    return DriverOf(object) != nullptr;
}

size_t CheckNoDriverObjectReferences(const char* when)
{
    std::vector<DriverRecord*> drivers;
    {
        std::lock_guard<std::mutex> guard(IoLock);
        for (auto& d : Drivers) {
            drivers.push_back(d.get());
        }
    }
    size_t found = 0;
    for (DriverRecord* d : drivers) {
        int64_t references = ObjectReferences(&d->object);
        if (references > 0) {
            ReportViolation(Rule::HandleLeak, "%s: %lld reference(s) on driver object %s (ObReferenceObjectByName) "
                "not released", when, static_cast<long long>(references), Narrow(d->name).c_str());
            found += size_t(references);
            for (int64_t i = 0; i < references; ++i) {
                ObfDereferenceObject(&d->object);
            }
        }
    }
    return found;
}

// ---- Device objects -------------------------------------------------------------------------

namespace {

// _Requires_lock_held_(IoLock)
PDEVICE_OBJECT AddDevice(PDRIVER_OBJECT driver, std::u16string name, ULONG extensionSize)
{
    auto record = std::make_unique<DeviceRecord>();
    record->name = std::move(name);
    record->object.Type = IO_TYPE_DEVICE;
    record->object.Size = USHORT(sizeof(DEVICE_OBJECT) + extensionSize);
    record->object.ReferenceCount = 1;
    record->object.DriverObject = driver;
    if (extensionSize != 0) {
        record->extension.reset(new uint64_t[(extensionSize + 7) / 8]());
        record->object.DeviceExtension = record->extension.get();
    }
    PDEVICE_OBJECT device = &record->object;
    Devices.push_back(std::move(record));
    PDEVICE_OBJECT* tail = &driver->DeviceObject;
    while (*tail != nullptr) {
        tail = &(*tail)->NextDevice;
    }
    *tail = device;
    return device;
}

}  // namespace

PDEVICE_OBJECT CreateNamedDevice(PDRIVER_OBJECT driver, PCUNICODE_STRING name, const PDRIVER_DISPATCH* majorFunctions,
    ULONG extensionSize, PCUNICODE_STRING sddl, NTSTATUS* status)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoCreateDevice");
    std::lock_guard<std::mutex> guard(IoLock);
    if (DriverOf(driver) == nullptr) {
        *status = STATUS_INVALID_PARAMETER;
        return nullptr;
    }
    std::u16string deviceName = FromUnicode(name);
    if (!deviceName.empty() && LiveDeviceNamed(deviceName) != nullptr) {
        *status = STATUS_OBJECT_NAME_COLLISION;
        return nullptr;
    }
    PDEVICE_OBJECT device = AddDevice(driver, deviceName, extensionSize);
    DeviceRecord* record = DeviceOf(device);
    record->sddl = FromUnicode(sddl);
    if (majorFunctions != nullptr) {
        std::copy(majorFunctions, majorFunctions + IRP_MJ_MAXIMUM_FUNCTION + 1, record->major);
    }
    *status = STATUS_SUCCESS;
    return device;
}

void DeleteNamedDevice(PDEVICE_OBJECT device)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoDeleteDevice");
    std::lock_guard<std::mutex> guard(IoLock);
    DeviceRecord* record = DeviceOf(device);
    if (record == nullptr || record->deleted) {
        ReportViolation(Rule::HandleLeak, "delete of device %p, which is not a live device object",
            static_cast<void*>(device));
        return;
    }
    PDEVICE_OBJECT* link = &device->DriverObject->DeviceObject;
    while (*link != nullptr && *link != device) {
        link = &(*link)->NextDevice;
    }
    if (*link == device) {
        *link = device->NextDevice;
    }
    record->deleted = true;
    device->ReferenceCount = 0;
}

NTSTATUS CreateSymbolicLink(PCUNICODE_STRING link, PCUNICODE_STRING target)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoCreateSymbolicLink");
    std::lock_guard<std::mutex> guard(IoLock);
    std::u16string key = LinkKey(FromUnicode(link));
    if (key.empty()) {
        return STATUS_INVALID_PARAMETER;
    }
    if (Links.count(key) != 0) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    Links[key] = FromUnicode(target);
    return STATUS_SUCCESS;
}

void DeleteSymbolicLink(PCUNICODE_STRING link)
{
    RequireIrqlAtMost(PASSIVE_LEVEL, "IoDeleteSymbolicLink");
    std::lock_guard<std::mutex> guard(IoLock);
    Links.erase(LinkKey(FromUnicode(link)));
}

PDEVICE_OBJECT CreateDevice(PDRIVER_OBJECT driver, const char16_t* name)
{
    std::lock_guard<std::mutex> guard(IoLock);
    return AddDevice(driver, name != nullptr ? name : u"", 0);
}

void AttachDevice(PDEVICE_OBJECT upper, PDEVICE_OBJECT lower)
{
    std::lock_guard<std::mutex> guard(IoLock);
    PDEVICE_OBJECT top = lower;
    while (top->AttachedDevice != nullptr) {
        top = top->AttachedDevice;
    }
    top->AttachedDevice = upper;
}

void MountVolume(PDEVICE_OBJECT device, PDEVICE_OBJECT volume)
{
    std::lock_guard<std::mutex> guard(IoLock);
    DeviceRecord* record = DeviceOf(device);
    record->vpb = std::make_unique<VPB>();
    record->vpb->Type = 10;   // IO_TYPE_VPB
    record->vpb->Size = CSHORT(sizeof(VPB));
    record->vpb->DeviceObject = volume;
    record->vpb->RealDevice = device;
    device->Vpb = record->vpb.get();
}

bool IsDeviceObject(const void* object)
{
    std::lock_guard<std::mutex> guard(IoLock);
    return DeviceOf(object) != nullptr;
}

PDEVICE_OBJECT FindDevice(const char16_t* name)
{
    std::lock_guard<std::mutex> guard(IoLock);
    DeviceRecord* record = LiveDeviceNamed(name);
    return record != nullptr ? &record->object : nullptr;
}

std::u16string DeviceName(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> guard(IoLock);
    DeviceRecord* record = DeviceOf(device);
    return record != nullptr ? record->name : std::u16string();
}

std::u16string DeviceSddl(PDEVICE_OBJECT device)
{
    std::lock_guard<std::mutex> guard(IoLock);
    DeviceRecord* record = DeviceOf(device);
    return record != nullptr ? record->sddl : std::u16string();
}

bool SymbolicLinkExists(const char16_t* link)
{
    std::lock_guard<std::mutex> guard(IoLock);
    return Links.count(LinkKey(link)) != 0;
}

std::u16string SymbolicLinkTarget(const char16_t* link)
{
    std::lock_guard<std::mutex> guard(IoLock);
    auto it = Links.find(LinkKey(link));
    return it != Links.end() ? it->second : std::u16string();
}

std::vector<PDEVICE_OBJECT> DevicesOfDriver(PDRIVER_OBJECT driver)
{
    std::lock_guard<std::mutex> guard(IoLock);
    std::vector<PDEVICE_OBJECT> devices;
    for (auto& d : Devices) {
        if (!d->deleted && d->object.DriverObject == driver) {
            devices.push_back(&d->object);
        }
    }
    return devices;
}

size_t OpenFilesOfDriver(PDRIVER_OBJECT driver)
{
    std::lock_guard<std::mutex> guard(IoLock);
    size_t open = 0;
    for (const auto& [object, file] : Files) {
        if (file->handles > 0 && file->device->object.DriverObject == driver) {
            open += 1;
        }
    }
    return open;
}

// ---- IRPs -----------------------------------------------------------------------------------

std::vector<IrpCompletion> CompletedIrps()
{
    std::lock_guard<std::mutex> guard(IoLock);
    return Completions;
}

size_t PendingIrps()
{
    std::lock_guard<std::mutex> guard(IoLock);
    size_t n = 0;
    for (const auto& [irp, record] : Irps) {
        n += record->completed ? 0 : 1;
    }
    return n;
}

bool CancelIrp(PIRP irp)
{
    PDEVICE_OBJECT device = IoGetCurrentIrpStackLocation(irp)->DeviceObject;
    int heldBefore = LocksHeldByThisThread();
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&CancelSpinLock);
    irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
    if (routine == nullptr) {
        KeReleaseSpinLock(&CancelSpinLock, irql);
        return false;
    }
    irp->CancelIrql = irql;
    routine(device, irp);
    if (LocksHeldByThisThread() > heldBefore) {
        ReportViolation(Rule::LockMisuse, "the cancel routine of IRP %p returned without releasing the cancel lock "
            "(IoReleaseCancelSpinLock(Irp->CancelIrql))", static_cast<void*>(irp));
        KeReleaseSpinLock(&CancelSpinLock, irql);
    } else if (KeGetCurrentIrql() != irql) {
        ReportViolation(Rule::IrqlNotRestored, "the cancel routine of IRP %p returned at IRQL %u instead of %u",
            static_cast<void*>(irp), unsigned(KeGetCurrentIrql()), unsigned(irql));
    }
    return true;
}

// ---- Machine-facing state -------------------------------------------------------------------

void FlushDeferredCloses()
{
    for (;;) {
        FileRecord* file = nullptr;
        PDEVICE_CHANGE_COMPLETE_CALLBACK callback = nullptr;
        PVOID context = nullptr;
        {
            std::lock_guard<std::mutex> guard(IoLock);
            if (!DeferredCloses.empty()) {
                file = DeferredCloses.back();
                DeferredCloses.pop_back();
            } else if (!DeferredCallbacks.empty()) {
                callback = DeferredCallbacks.back().first;
                context = DeferredCallbacks.back().second;
                DeferredCallbacks.pop_back();
            } else {
                return;
            }
        }
        if (file != nullptr) {
            SendClose(nullptr, file);
        } else {
            CallHandlerAt(PASSIVE_LEVEL, "device change completion callback", [&] { callback(context); });
        }
    }
}

void InitializeIo() { KeInitializeSpinLock(&CancelSpinLock); }

void CheckAndResetIo(const char* when)
{
    FlushDeferredCloses();
    std::lock_guard<std::mutex> guard(IoLock);
    for (const auto& [irp, record] : Irps) {
        if (!record->completed) {
            ReportViolation(Rule::IrpPendingAtCleanup, "%s: IRP %p (%s, control code %#x) is still pending", when,
                static_cast<void*>(irp), MajorName(record->stack.MajorFunction),
                unsigned(record->stack.Parameters.DeviceIoControl.IoControlCode));
        }
    }
    Irps.clear();
    Retired.clear();
    Files.clear();
    DeferredCloses.clear();
    DeferredCallbacks.clear();
    Links.clear();
    Devices.clear();
    Drivers.clear();
    Completions.clear();
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

FileRecord* FileOfHandle(UserProcess& process, HANDLE handle)
{
    std::lock_guard<std::mutex> guard(IoLock);
    auto it = process.Io().handles.find(handle);
    return it != process.Io().handles.end() ? it->second : nullptr;
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
    return Issue(this, file, IRP_MJ_DEVICE_CONTROL, ioControlCode, inBuffer, inBufferLength, outBuffer,
        outBufferLength, nullptr, true, information);
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

BOOL UserProcess::GetOverlappedResult(HANDLE device, OVERLAPPED* overlapped, DWORD* bytesTransferred, BOOL wait)
{
    (void)device;
    if (!HasOverlappedIoCompleted(overlapped)) {
        if (!wait) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        std::unique_lock<std::mutex> guard(IoLock);
        IoCondition.wait(guard, [&] { return HasOverlappedIoCompleted(overlapped); });
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

// ---- PnP notification -----------------------------------------------------------------------

std::vector<std::vector<uint8_t>> DeviceNotificationListener::Received() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return received_;
}

size_t DeviceNotificationListener::Count() const
{
    std::lock_guard<std::mutex> guard(lock_);
    return received_.size();
}

void DeviceNotificationListener::Deliver(std::vector<uint8_t> bytes)
{
    std::lock_guard<std::mutex> guard(lock_);
    received_.push_back(std::move(bytes));
}

std::shared_ptr<DeviceNotificationListener> RegisterDeviceNotificationListener(PDEVICE_OBJECT device)
{
    auto listener = std::make_shared<DeviceNotificationListener>(device);
    std::lock_guard<std::mutex> guard(IoLock);
    if (DeviceRecord* record = DeviceOf(device)) {
        record->listeners.push_back(listener);
    }
    return listener;
}

}  // namespace host

using host::IoLock;
using host::ReportViolation;
using host::Rule;

// ---- Platform calls -------------------------------------------------------------------------

POBJECT_TYPE IoDriverObjectTypeValue = reinterpret_cast<POBJECT_TYPE>(host::DriverObjectTypeStorage);
POBJECT_TYPE* IoDriverObjectType = &IoDriverObjectTypeValue;

VOID IofCompleteRequest(PIRP irp, CHAR priorityBoost)
{
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "IofCompleteRequest");
    host::RequireNoSpinLockHeld("IofCompleteRequest");
    std::unique_lock<std::mutex> guard(IoLock);
    auto it = host::Irps.find(irp);
    if (it == host::Irps.end()) {
        guard.unlock();
        ReportViolation(Rule::IrpCompletedTwice, "IofCompleteRequest of %p, which is not an IRP in flight (completed "
            "and freed already?)", static_cast<void*>(irp));
        return;
    }
    std::shared_ptr<host::IrpRecord> record = it->second;
    if (record->completed) {
        guard.unlock();
        ReportViolation(Rule::IrpCompletedTwice, "IRP %p (%s, control code %#x) completed again; it was completed "
            "with status %#x", static_cast<void*>(irp), host::MajorName(record->stack.MajorFunction),
            unsigned(record->stack.Parameters.DeviceIoControl.IoControlCode), unsigned(record->finalStatus));
        return;
    }
    // Read as IoSetCancelRoutine writes it: a cancel on another thread may be exchanging it.
    if (__atomic_load_n(&irp->CancelRoutine, __ATOMIC_ACQUIRE) != nullptr) {
        guard.unlock();
        ReportViolation(Rule::IrpCompletedTwice, "IRP %p completed with its cancel routine still set: a cancel can "
            "then complete it a second time (clear it with IoSetCancelRoutine(Irp, NULL) first)",
            static_cast<void*>(irp));
        guard.lock();
    }
    host::CompleteLocked(record, priorityBoost);
}

VOID IoReleaseCancelSpinLock(KIRQL irql) { KeReleaseSpinLock(&host::CancelSpinLock, irql); }

LONG_PTR ObfReferenceObject(PVOID object)
{
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "ObfReferenceObject");
    host::ReferenceObject(object, host::IsDeviceObject(object) ? &host::DeviceObjectKernelType : &host::DriverObjectKernelType);
    return static_cast<LONG_PTR>(host::ObjectReferences(object));
}

NTSTATUS ObReferenceObjectByName(PUNICODE_STRING objectName, ULONG attributes, PACCESS_STATE accessState,
    ACCESS_MASK desiredAccess, POBJECT_TYPE objectType, KPROCESSOR_MODE accessMode, PVOID parseContext, PVOID* object)
{
    (void)accessState;
    (void)desiredAccess;
    (void)accessMode;
    (void)parseContext;
    host::RequireIrqlAtMost(PASSIVE_LEVEL, "ObReferenceObjectByName");
    int32_t failure = 0;
    if (host::ShouldFail(host::Fault::ObjectReference, &failure)) {
        return failure != 0 ? failure : STATUS_OBJECT_NAME_NOT_FOUND;
    }
    if (objectType != IoDriverObjectTypeValue) {
        return host::STATUS_OBJECT_TYPE_MISMATCH;
    }
    std::u16string name = host::FromUnicode(objectName);
    bool caseInsensitive = (attributes & OBJ_CASE_INSENSITIVE) != 0;
    PDRIVER_OBJECT found = nullptr;
    {
        std::lock_guard<std::mutex> guard(IoLock);
        for (auto& d : host::Drivers) {
            if (caseInsensitive ? host::Lower(d->name) == host::Lower(name) : d->name == name) {
                found = &d->object;
                break;
            }
        }
    }
    if (found == nullptr) {
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    host::ReferenceObject(found, &host::DriverObjectKernelType);
    *object = found;
    return STATUS_SUCCESS;
}

NTSTATUS ObQueryNameString(PVOID object, POBJECT_NAME_INFORMATION objectNameInfo, ULONG length, PULONG returnLength)
{
    host::RequireIrqlAtMost(APC_LEVEL, "ObQueryNameString");
    std::u16string name;
    {
        std::lock_guard<std::mutex> guard(IoLock);
        if (host::DeviceRecord* device = host::DeviceOf(object)) {
            name = device->deleted ? std::u16string() : device->name;
        } else if (host::DriverRecord* driver = host::DriverOf(object)) {
            name = driver->name;
        } else {
            return STATUS_INVALID_PARAMETER;
        }
    }
    ULONG nameBytes = ULONG(name.size() * sizeof(WCHAR));
    ULONG required = ULONG(sizeof(OBJECT_NAME_INFORMATION)) + (name.empty() ? 0 : nameBytes + ULONG(sizeof(WCHAR)));
    if (returnLength != nullptr) {
        *returnLength = required;
    }
    if (length < sizeof(OBJECT_NAME_INFORMATION)) {
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    if (length < required) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    if (name.empty()) {
        objectNameInfo->Name = UNICODE_STRING{0, 0, nullptr};
        return STATUS_SUCCESS;
    }
    auto* characters = reinterpret_cast<PWCH>(objectNameInfo + 1);
    std::memcpy(characters, name.data(), nameBytes);
    characters[name.size()] = 0;
    objectNameInfo->Name.Length = USHORT(nameBytes);
    objectNameInfo->Name.MaximumLength = USHORT(nameBytes + sizeof(WCHAR));
    objectNameInfo->Name.Buffer = characters;
    return STATUS_SUCCESS;
}

NTSTATUS IoReportTargetDeviceChangeAsynchronous(PDEVICE_OBJECT physicalDeviceObject, PVOID notificationStructure,
    PDEVICE_CHANGE_COMPLETE_CALLBACK callback, PVOID context)
{
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "IoReportTargetDeviceChangeAsynchronous");
    const auto* notification = static_cast<const TARGET_DEVICE_CUSTOM_NOTIFICATION*>(notificationStructure);
    if (notification == nullptr || notification->Version != 1 ||
        notification->Size < offsetof(TARGET_DEVICE_CUSTOM_NOTIFICATION, CustomDataBuffer) ||
        (notification->NameBufferOffset != -1 &&
            (notification->NameBufferOffset < 0 ||
                size_t(notification->NameBufferOffset) >=
                    notification->Size - offsetof(TARGET_DEVICE_CUSTOM_NOTIFICATION, CustomDataBuffer)))) {
        return STATUS_INVALID_PARAMETER;
    }
    std::vector<uint8_t> bytes(static_cast<const uint8_t*>(notificationStructure),
        static_cast<const uint8_t*>(notificationStructure) + notification->Size);
    std::vector<std::shared_ptr<host::DeviceNotificationListener>> listeners;
    {
        std::lock_guard<std::mutex> guard(IoLock);
        host::DeviceRecord* device = host::DeviceOf(physicalDeviceObject);
        if (device == nullptr || device->deleted) {
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        for (const auto& weak : device->listeners) {
            if (auto listener = weak.lock()) {
                listeners.push_back(std::move(listener));
            }
        }
        if (callback != nullptr) {
            host::DeferredCallbacks.emplace_back(callback, context);
        }
    }
    for (const auto& listener : listeners) {
        listener->Deliver(bytes);
    }
    return STATUS_SUCCESS;
}
