// The user-mode notification channel: finding the device that frame events are reported on.
// FindNotificationDevice runs once, from DriverEntry, at PASSIVE_LEVEL.
#include "base/notification.h"

#include "base/control_interface.h"
#include "base/driver.h"
#include "base/stream_port.h"

namespace {

constexpr ULONG NAME_QUERY_SIZE = 260;
constexpr WCHAR NOTIFICATION_DEVICE_NAME[] = GVSP_WIDE("\\Device\\HarddiskVolume1");
constexpr USHORT NOTIFICATION_DEVICE_NAME_BYTES = sizeof(NOTIFICATION_DEVICE_NAME) - sizeof(WCHAR);   // 46
static_assert(NOTIFICATION_DEVICE_NAME_BYTES == 46);

constexpr NTSTATUS STATUS_NOTIFICATION_DEVICE_NOT_FOUND = static_cast<NTSTATUS>(0xC0000452);

// {6CD059A7-2021-49ED-A8FC-D56929383A07}
constexpr GUID FRAME_EVENT_GUID = {0x6CD059A7, 0x2021, 0x49ED, {0xA8, 0xFC, 0xD5, 0x69, 0x29, 0x38, 0x3A, 0x07}};

constexpr USHORT FRAME_EVENT_NOTIFICATION_SIZE =
    static_cast<USHORT>(offsetof(TARGET_DEVICE_CUSTOM_NOTIFICATION, CustomDataBuffer) + sizeof(FrameEventData));
static_assert(FRAME_EVENT_NOTIFICATION_SIZE == 122);

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
    auto* nameInfo =
        static_cast<POBJECT_NAME_INFORMATION>(ExAllocatePoolWithTag(NonPagedPoolNx, NAME_QUERY_SIZE, NAME_QUERY_TAG));
    if (nameInfo == nullptr) {
        return FALSE;
    }
    RtlZeroMemory(nameInfo, NAME_QUERY_SIZE);

    ULONG returnLength = 0;
    NTSTATUS status = ObQueryNameString(device, nameInfo, NAME_QUERY_SIZE, &returnLength);
    BOOLEAN matches = NT_SUCCESS(status) && nameInfo->Name.Length == NOTIFICATION_DEVICE_NAME_BYTES &&
                      RtlEqualMemory(nameInfo->Name.Buffer, NOTIFICATION_DEVICE_NAME, NOTIFICATION_DEVICE_NAME_BYTES);

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

VOID SendFrameEventNotification(StreamPort* port, const FrameEvent& event)
{
    // The notification and its FrameEventData; every byte is set, none is stale.
    alignas(8) UCHAR buffer[FRAME_EVENT_NOTIFICATION_SIZE];
    RtlZeroMemory(buffer, sizeof(buffer));
    auto* notification = reinterpret_cast<PTARGET_DEVICE_CUSTOM_NOTIFICATION>(buffer);
    notification->Version = 1;
    notification->Size = FRAME_EVENT_NOTIFICATION_SIZE;
    notification->Event = FRAME_EVENT_GUID;
    notification->FileObject = nullptr;
    notification->NameBufferOffset = -1;

    auto* data = reinterpret_cast<FrameEventData*>(notification->CustomDataBuffer);
    StreamControlBlock* block = port->ControlBlock;
    data->Version = FRAME_EVENT_DATA_VERSION;
    data->Kind = FRAME_EVENT_DATA_KIND;
    data->PortId = port->PortId;
    data->EventCode = event.EventCode;
    data->BlockId = event.BlockId;
    data->Timestamp = event.Timestamp;
    data->StreamChannelIndex = block != nullptr ? block->StreamChannelIndex : 0;
    data->GvspStatus = event.GvspStatus;

    // Only a live device object; a report that fails is dropped.
    PDEVICE_OBJECT device = port->NotificationDevice;
    if (device == nullptr || device->Type != IO_TYPE_DEVICE || device->ReferenceCount == 0) {
        return;
    }
    IoReportTargetDeviceChangeAsynchronous(device, notification, nullptr, nullptr);
}
