// Driver load and unload: DriverEntry brings the driver up in a fixed order, DriverUnload takes
// it down in the reverse order. Both run at PASSIVE_LEVEL in the system process.
#include "driver/handlers.h"

#include "base/clock.h"
#include "base/event_log.h"
#include "base/notification.h"
#include "control/control_device.h"
#include "control/frame_cache.h"
#include "delivery/resend_worker.h"

namespace {

// {B02CB274-D925-455C-84C7-FDEB7DA7F7F1}
constexpr GUID TRACE_PROVIDER_GUID = {0xB02CB274, 0xD925, 0x455C, {0x84, 0xC7, 0xFD, 0xEB, 0x7D, 0xA7, 0xF7, 0xF1}};

// Unique values of MSG_DRIVER_LOAD_FAILED, one per failing step.
constexpr ULONG LOAD_FAILED_FILTER_REGISTRATION = 0;
constexpr ULONG LOAD_FAILED_CONTROL_DEVICE = 1;
constexpr ULONG LOAD_FAILED_LOCK_ALLOCATION = 2;
constexpr ULONG LOAD_FAILED_WORKER_THREAD = 3;
constexpr ULONG LOAD_FAILED_PROCESS_NOTIFY = 4;

constexpr PCWSTR NOTIFICATION_DRIVER_NAME = GVSP_WIDE("\\Driver\\volmgr");

NDIS_STRING FilterServiceName;
NDIS_STRING FilterFriendlyName;
NDIS_STRING FilterUniqueName;

NDIS_STRING ControlDeviceName;
NDIS_STRING ControlSymbolicName;
UNICODE_STRING ControlDeviceSddl;

// The control device's extension: a signature, then the filter driver handle.
struct ControlDeviceExtension {
    CHAR Signature[4];   // "RDTF"
    ULONG Reserved;
    NDIS_HANDLE FilterDriverHandle;
};
static_assert(sizeof(ControlDeviceExtension) == 16);
static_assert(offsetof(ControlDeviceExtension, FilterDriverHandle) == 8);

VOID FillFilterCharacteristics(NDIS_FILTER_DRIVER_CHARACTERISTICS* fc)
{
    RtlZeroMemory(fc, sizeof(*fc));
    fc->Header.Type = NDIS_OBJECT_TYPE_FILTER_DRIVER_CHARACTERISTICS;
    fc->Header.Revision = NDIS_FILTER_CHARACTERISTICS_REVISION_2;
    fc->Header.Size = NDIS_SIZEOF_FILTER_DRIVER_CHARACTERISTICS_REVISION_2;
    fc->MajorNdisVersion = FILTER_MAJOR_NDIS_VERSION;
    fc->MinorNdisVersion = FILTER_MINOR_NDIS_VERSION;
    fc->MajorDriverVersion = FILTER_MAJOR_DRIVER_VERSION;
    fc->MinorDriverVersion = FILTER_MINOR_DRIVER_VERSION;
    fc->Flags = 0;
    fc->FriendlyName = FilterFriendlyName;
    fc->UniqueName = FilterUniqueName;
    fc->ServiceName = FilterServiceName;

    fc->SetOptionsHandler = FilterSetOptions;
    fc->SetFilterModuleOptionsHandler = FilterSetModuleOptions;
    fc->AttachHandler = FilterAttach;
    fc->DetachHandler = FilterDetach;
    fc->RestartHandler = FilterRestart;
    fc->PauseHandler = FilterPause;
    fc->SendNetBufferListsHandler = FilterSendNetBufferLists;
    fc->SendNetBufferListsCompleteHandler = FilterSendNetBufferListsComplete;
    fc->CancelSendNetBufferListsHandler = FilterCancelSendNetBufferLists;
    fc->ReceiveNetBufferListsHandler = FilterReceiveNetBufferLists;
    fc->ReturnNetBufferListsHandler = FilterReturnNetBufferLists;
    fc->OidRequestHandler = FilterOidRequest;
    fc->OidRequestCompleteHandler = FilterOidRequestComplete;
    fc->CancelOidRequestHandler = FilterCancelOidRequest;
    fc->DevicePnPEventNotifyHandler = FilterDevicePnPEventNotify;
    fc->NetPnPEventHandler = FilterNetPnPEvent;
    fc->StatusHandler = FilterStatus;
}

// Frees the adapter table lock and the work-item lookaside list, whichever exist.
VOID FreeDriverState()
{
    if (DriverGlobals.AdapterTableLock != nullptr) {
        NdisFreeRWLock(DriverGlobals.AdapterTableLock);
        DriverGlobals.AdapterTableLock = nullptr;
    }
    if (DriverGlobals.LookasideReady) {
        ExDeleteNPagedLookasideList(&DriverGlobals.ResendWorkItemLookaside);
        DriverGlobals.LookasideReady = FALSE;
    }
}

// A process that exits takes its frame caches with it: their pages may not stay locked past
// its end, whichever other process still holds a handle to the stream.
VOID ProcessNotify(PEPROCESS process, HANDLE processId, PPS_CREATE_NOTIFY_INFO createInfo)
{
    (void)process;
    if (createInfo == nullptr) {
        ReleaseFrameCachesOfProcess(processId);
    }
}

// Undoes the registration of the process-exit routine, once no port is left to release.
VOID RemoveProcessNotify()
{
    if (DriverGlobals.ProcessNotifyRegistered) {
        PsSetCreateProcessNotifyRoutineEx(ProcessNotify, TRUE);
        DriverGlobals.ProcessNotifyRegistered = FALSE;
    }
}

// Fails the load from any step: what was registered is deregistered (deregistering the filter
// detaches every module attached meanwhile), the state is freed and the failure logged.
NTSTATUS FailLoad(ULONG uniqueValue, NTSTATUS status)
{
    if (DriverGlobals.ControlDeviceHandle != nullptr) {
        NdisDeregisterDeviceEx(DriverGlobals.ControlDeviceHandle);
    }
    if (DriverGlobals.FilterDriverHandle != nullptr) {
        NdisFDeregisterFilterDriver(DriverGlobals.FilterDriverHandle);
    }
    RemoveProcessNotify();
    FreeDriverState();
    WriteEventLog(MSG_DRIVER_LOAD_FAILED, uniqueValue, "Version:%s. Status:0x%x", DriverVersion, status);
    EtwUnregister(DriverGlobals.TraceHandle);
    RtlZeroMemory(&DriverGlobals, sizeof(DriverGlobals));
    return status;
}

}  // namespace

NDIS_STATUS RegisterControlDevice()
{
    PDRIVER_DISPATCH majorFunctions[IRP_MJ_MAXIMUM_FUNCTION + 1] = {};
    majorFunctions[IRP_MJ_CREATE] = DispatchCreateCloseCleanup;
    majorFunctions[IRP_MJ_CLOSE] = DispatchCreateCloseCleanup;
    majorFunctions[IRP_MJ_CLEANUP] = DispatchCreateCloseCleanup;
    majorFunctions[IRP_MJ_DEVICE_CONTROL] = DispatchDeviceControl;

    RtlInitUnicodeString(&ControlDeviceName, GVSP_WIDE("\\Device\\jwGenICamForEthernet"));
    RtlInitUnicodeString(&ControlSymbolicName, GVSP_WIDE("\\DosDevices\\jwGenICamForEthernet"));
    RtlInitUnicodeString(&ControlDeviceSddl, GVSP_WIDE("D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;BU)(A;;GA;;;WD)"));

    NDIS_DEVICE_OBJECT_ATTRIBUTES attributes;
    RtlZeroMemory(&attributes, sizeof(attributes));
    attributes.Header.Type = NDIS_OBJECT_TYPE_DEVICE_OBJECT_ATTRIBUTES;
    attributes.Header.Revision = NDIS_DEVICE_OBJECT_ATTRIBUTES_REVISION_1;
    attributes.Header.Size = NDIS_SIZEOF_DEVICE_OBJECT_ATTRIBUTES_REVISION_1;
    attributes.DeviceName = &ControlDeviceName;
    attributes.SymbolicName = &ControlSymbolicName;
    attributes.MajorFunctions = majorFunctions;
    attributes.ExtensionSize = sizeof(ControlDeviceExtension);
    attributes.DefaultSDDLString = &ControlDeviceSddl;
    attributes.DeviceClassGuid = nullptr;

    NDIS_STATUS status = NdisRegisterDeviceEx(DriverGlobals.FilterDriverHandle, &attributes,
        &DriverGlobals.ControlDeviceObject, &DriverGlobals.ControlDeviceHandle);
    if (status != NDIS_STATUS_SUCCESS) {
        return status;
    }

    auto* extension = static_cast<ControlDeviceExtension*>(NdisGetDeviceReservedExtension(DriverGlobals.ControlDeviceObject));
    RtlCopyMemory(extension->Signature, "RDTF", sizeof(extension->Signature));
    extension->FilterDriverHandle = DriverGlobals.FilterDriverHandle;
    return NDIS_STATUS_SUCCESS;
}

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath)
{
    (void)registryPath;

    // The software-trace provider; it carries no behaviour.
    EtwRegister(&TRACE_PROVIDER_GUID, nullptr, nullptr, &DriverGlobals.TraceHandle);

    // The filter's names; from here on the event log works.
    RtlInitUnicodeString(&FilterServiceName, GVSP_WIDE("kxGenICamForEthernet"));
    RtlInitUnicodeString(&FilterFriendlyName, GVSP_WIDE("GenICam For Ethernet Driver"));
    RtlInitUnicodeString(&FilterUniqueName, GVSP_WIDE("{C4392A18-F3F6-4E0B-81C3-837E37C06420}"));
    DriverGlobals.DriverObject = driverObject;

    // The characteristics and the unload routine.
    NDIS_FILTER_DRIVER_CHARACTERISTICS characteristics;
    FillFilterCharacteristics(&characteristics);
    driverObject->DriverUnload = DriverUnload;
    DriverGlobals.FilterDriverHandle = nullptr;

    // The adapter table lock: filter modules attach as soon as the filter is registered.
    DriverGlobals.AdapterTableLock = NdisAllocateRWLock(nullptr);
    if (DriverGlobals.AdapterTableLock == nullptr) {
        return FailLoad(LOAD_FAILED_LOCK_ALLOCATION, NDIS_STATUS_RESOURCES);
    }

    // The clock the receive path reads for every packet.
    InitializeClock();

    // The worker thread's work items.
    ExInitializeNPagedLookasideList(&DriverGlobals.ResendWorkItemLookaside, nullptr, nullptr, POOL_NX_ALLOCATION,
        RESEND_WORK_ITEM_SIZE, POOL_TAG, 0);
    DriverGlobals.LookasideReady = TRUE;

    // The process-exit routine, before any process can set a frame cache up.
    NTSTATUS notifyStatus = PsSetCreateProcessNotifyRoutineEx(ProcessNotify, FALSE);
    if (!NT_SUCCESS(notifyStatus)) {
        return FailLoad(LOAD_FAILED_PROCESS_NOTIFY, notifyStatus);
    }
    DriverGlobals.ProcessNotifyRegistered = TRUE;

    // Register the filter; modules attach from here on.
    NDIS_STATUS status = NdisFRegisterFilterDriver(driverObject, driverObject, &characteristics,
        &DriverGlobals.FilterDriverHandle);
    if (status != NDIS_STATUS_SUCCESS) {
        DriverGlobals.FilterDriverHandle = nullptr;
        return FailLoad(LOAD_FAILED_FILTER_REGISTRATION, status);
    }

    // The control device; user mode can bind ports from here on.
    status = RegisterControlDevice();
    if (status != NDIS_STATUS_SUCCESS) {
        DriverGlobals.ControlDeviceHandle = nullptr;
        return FailLoad(LOAD_FAILED_CONTROL_DEVICE, status);
    }

    // The worker thread. Without it no quiet frame would ever be asked for again, so a
    // thread that cannot start fails the load.
    KeInitializeEvent(&DriverGlobals.WorkerWake, SynchronizationEvent, FALSE);
    status = PsCreateSystemThread(&DriverGlobals.WorkerThreadHandle, THREAD_ALL_ACCESS, nullptr, nullptr,
        nullptr, ResendWorker, nullptr);
    if (!NT_SUCCESS(status)) {
        DriverGlobals.WorkerThreadHandle = nullptr;
        return FailLoad(LOAD_FAILED_WORKER_THREAD, status);
    }

    // The notification device; the driver runs without notifications when it is missing.
    status = FindNotificationDevice(NOTIFICATION_DRIVER_NAME, &DriverGlobals.NotificationDevice);
    if (NT_SUCCESS(status)) {
        // Held until unload, so that the device stays valid for every port that reports on it.
        ObfReferenceObject(DriverGlobals.NotificationDevice);
        WriteEventLog(MSG_NOTIFICATION_DEVICE_FOUND, 0, "Version:%s. Status:0x%x, PDO:0x%p", DriverVersion,
            status, static_cast<PVOID>(DriverGlobals.NotificationDevice));
    } else {
        WriteEventLog(MSG_NOTIFICATION_DEVICE_NOT_FOUND, 0, "Version:%s. Status:0x%x, PDO:0x%p", DriverVersion,
            status, static_cast<PVOID>(DriverGlobals.NotificationDevice));
        DriverGlobals.NotificationDevice = nullptr;
    }

    WriteEventLog(MSG_DRIVER_LOADED, 0, "Edition:%s. Built %s %s", DriverVersion, __DATE__, __TIME__);
    return STATUS_SUCCESS;
}

VOID DriverUnload(PDRIVER_OBJECT driverObject)
{
    (void)driverObject;

    // Stop the worker thread and wait until it has ended.
    WriteRelease(&DriverGlobals.WorkerStop, 1);
    if (DriverGlobals.WorkerThreadHandle != nullptr) {
        KeSetEvent(&DriverGlobals.WorkerWake, IO_NO_INCREMENT, FALSE);
        PVOID thread = nullptr;
        NTSTATUS status = ObReferenceObjectByHandle(DriverGlobals.WorkerThreadHandle, THREAD_ALL_ACCESS, nullptr,
            KernelMode, &thread, nullptr);
        ZwClose(DriverGlobals.WorkerThreadHandle);
        DriverGlobals.WorkerThreadHandle = nullptr;
        if (NT_SUCCESS(status)) {
            KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
            ObfDereferenceObject(thread);
        }
    }

    // No new control requests from here on.
    if (DriverGlobals.ControlDeviceHandle != nullptr) {
        NdisDeregisterDeviceEx(DriverGlobals.ControlDeviceHandle);
        DriverGlobals.ControlDeviceHandle = nullptr;
    }

    // Every module still attached is detached through FilterDetach.
    NdisFDeregisterFilterDriver(DriverGlobals.FilterDriverHandle);
    DriverGlobals.FilterDriverHandle = nullptr;

    // No port is left to report on the notification device, so the reference taken at load goes;
    // nor is a cache left to release at a process's exit.
    if (DriverGlobals.NotificationDevice != nullptr) {
        ObfDereferenceObject(DriverGlobals.NotificationDevice);
        DriverGlobals.NotificationDevice = nullptr;
    }
    RemoveProcessNotify();
    FreeDriverState();

    WriteEventLog(MSG_DRIVER_UNLOADED, 0, "Version:%s", DriverVersion);
    EtwUnregister(DriverGlobals.TraceHandle);

    // A fresh start for a later load of the same image.
    RtlZeroMemory(&DriverGlobals, sizeof(DriverGlobals));
}
