// The user-mode notification channel: finding the device that frame events are reported on.
// FindNotificationDevice runs once, from DriverEntry, at PASSIVE_LEVEL.
#include "driver/notification.h"

#include "driver/driver.h"

namespace {

constexpr ULONG NAME_QUERY_SIZE = 260;
constexpr WCHAR NOTIFICATION_DEVICE_NAME[] = u"\\Device\\HarddiskVolume1";
constexpr USHORT NOTIFICATION_DEVICE_NAME_BYTES = sizeof(NOTIFICATION_DEVICE_NAME) - sizeof(WCHAR);   // 46
static_assert(NOTIFICATION_DEVICE_NAME_BYTES == 46);

constexpr NTSTATUS STATUS_NOTIFICATION_DEVICE_NOT_FOUND = static_cast<NTSTATUS>(0xC0000452);

// The first of `device` and the devices attached above it, nearest first, that has the name.
PDEVICE_OBJECT FindInAttachmentChain(PDEVICE_OBJECT device)
{
    for (PDEVICE_OBJECT d = device; d != nullptr; d = d->AttachedDevice) {
        if (IsNotificationDeviceName(d)) {
            return d;
        }
    }
    return nullptr;
}

}  // namespace

BOOLEAN IsNotificationDeviceName(PDEVICE_OBJECT device)
{
    auto* nameInfo = static_cast<POBJECT_NAME_INFORMATION>(ExAllocatePoolWithTag(NonPagedPool, NAME_QUERY_SIZE, NAME_QUERY_TAG));
    if (nameInfo == nullptr) {
        return FALSE;
    }
    RtlZeroMemory(nameInfo, NAME_QUERY_SIZE);

    ULONG returnLength = 0;
    NTSTATUS status = ObQueryNameString(device, nameInfo, NAME_QUERY_SIZE, &returnLength);
    BOOLEAN matches = NT_SUCCESS(status) && nameInfo->Name.Length == NOTIFICATION_DEVICE_NAME_BYTES &&
                      RtlCompareMemory(nameInfo->Name.Buffer, NOTIFICATION_DEVICE_NAME, NOTIFICATION_DEVICE_NAME_BYTES) ==
                          NOTIFICATION_DEVICE_NAME_BYTES;

    ExFreePoolWithTag(nameInfo, NAME_QUERY_TAG);
    return matches;
}

NTSTATUS FindNotificationDevice(PCWSTR driverName, PDEVICE_OBJECT* device)
{
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, driverName);

    PVOID object = nullptr;
    NTSTATUS status = ObReferenceObjectByName(&name, OBJ_CASE_INSENSITIVE, nullptr, 0, *IoDriverObjectType,
        KernelMode, nullptr, &object);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* driver = static_cast<PDRIVER_OBJECT>(object);

    // Each device of the driver, then what is attached above it, then its mounted volume.
    PDEVICE_OBJECT found = nullptr;
    for (PDEVICE_OBJECT d = driver->DeviceObject; d != nullptr && found == nullptr; d = d->NextDevice) {
        found = FindInAttachmentChain(d);
        if (found == nullptr && d->Vpb != nullptr && d->Vpb->DeviceObject != nullptr) {
            found = FindInAttachmentChain(d->Vpb->DeviceObject);
        }
    }

    ObfDereferenceObject(driver);
    if (found == nullptr) {
        return STATUS_NOTIFICATION_DEVICE_NOT_FOUND;
    }
    *device = found;
    return STATUS_SUCCESS;
}
