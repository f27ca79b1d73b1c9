// The I/O manager's objects and names: driver and device objects, device names and symbolic
// links, the object manager's calls on them (reference by name, name query, reference), and the
// custom target-device-change notifications a device's user-mode listeners receive. Host only.
#include <algorithm>
#include <cstring>

#include "host/io/io_internal.h"
#include "host/kernel/kernel.h"
#include "host/verifier/checker.h"
#include "host/verifier/faults.h"

namespace host {

using namespace io_internal;

namespace {

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

unsigned char DriverObjectTypeStorage[16];
ObjectType DriverObjectKernelType{"Driver", nullptr};
ObjectType DeviceObjectKernelType{"Device", nullptr};

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

}  // namespace

// "\DosDevices\X", "\GLOBAL??\X" and "\??\X" name the same link.
std::u16string io_internal::LinkKey(const std::u16string& link)
{
    for (const std::u16string prefix : {u"\\DosDevices\\", u"\\GLOBAL??\\", u"\\??\\"}) {
        if (StartsWithNoCase(link, prefix)) {
            return u"\\??\\" + Lower(link.substr(prefix.size()));
        }
    }
    return Lower(link);
}

// _Requires_lock_held_(IoLock)
DeviceRecord* io_internal::LiveDeviceNamed(const std::u16string& name)
{
    std::u16string key = Lower(name);
    for (auto& d : Devices) {
        if (!d->deleted && !d->name.empty() && Lower(d->name) == key) {
            return d.get();
        }
    }
    return nullptr;
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

// ---- Platform calls -------------------------------------------------------------------------

POBJECT_TYPE IoDriverObjectTypeValue = reinterpret_cast<POBJECT_TYPE>(host::DriverObjectTypeStorage);
POBJECT_TYPE* IoDriverObjectType = &IoDriverObjectTypeValue;

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
