// The control device: create, close and cleanup of handles, and the dispatch of control
// requests to their handlers. PASSIVE_LEVEL, in the thread of the calling process.
#include "control/control_device.h"

#include "base/driver.h"
#include "base/stream_port.h"
#include "control/frame_cache.h"
#include "control/frame_requests.h"
#include "control/port_binding.h"

namespace {

constexpr CHAR STREAM_REQUEST_BOOST = 8;   // a frame handed to a waiting camera library

NTSTATUS GetDriverVersion(PIRP irp, PIO_STACK_LOCATION stack)
{
    if (stack->Parameters.DeviceIoControl.OutputBufferLength < DRIVER_VERSION_SIZE) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    RtlCopyMemory(irp->AssociatedIrp.SystemBuffer, DriverVersion, DRIVER_VERSION_SIZE);
    irp->IoStatus.Information = DRIVER_VERSION_SIZE;
    return STATUS_SUCCESS;
}

NTSTATUS QueryAdapter(PIRP irp, PIO_STACK_LOCATION stack)
{
    if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(AdapterQueryInput)) {
        return STATUS_UNSUCCESSFUL;
    }
    const auto* input = static_cast<const AdapterQueryInput*>(irp->AssociatedIrp.SystemBuffer);

    NTSTATUS status = STATUS_UNSUCCESSFUL;
    LOCK_STATE_EX lockState;
    NdisAcquireRWLockRead(DriverGlobals.AdapterTableLock, &lockState, 0);
    for (LONG slot = MAX_ADAPTERS - 1; slot >= 0; --slot) {
        FilterAdapter* adapter = DriverGlobals.AdapterTable[slot];
        if (adapter != nullptr && RtlEqualMemory(adapter->MacAddress, input->MacAddress, 6)) {
            status = STATUS_SUCCESS;
            break;
        }
    }
    NdisReleaseRWLock(DriverGlobals.AdapterTableLock, &lockState);
    return status;
}

}  // namespace

NTSTATUS DispatchCreateCloseCleanup(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    (void)deviceObject;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_CREATE) {
        stack->FileObject->FsContext = nullptr;   // no StreamPort yet
    } else if (stack->MajorFunction == IRP_MJ_CLEANUP) {
        CleanupStreamPortOfFile(stack->FileObject);
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS DispatchDeviceControl(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    (void)deviceObject;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    irp->IoStatus.Information = 0;

    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    NTSTATUS status;
    switch (code) {
    case IOCTL_STREAM_BIND_PORT:
        status = BindStreamPort(irp, stack);
        break;
    case IOCTL_STREAM_SETUP_CACHE:
        status = SetupFrameCache(irp, stack);
        break;
    case IOCTL_STREAM_GET_FRAME:
        status = GetFrame(irp, stack);
        if (status == STATUS_PENDING) {
            return status;   // the frame queue owns the request now
        }
        break;
    case IOCTL_STREAM_RETURN_FRAME:
        status = ReturnFrame(irp, stack);
        break;
    case IOCTL_STREAM_START:
        status = StartAcquisition(irp, stack);
        break;
    case IOCTL_STREAM_STOP:
        status = StopAcquisition(irp, stack);
        break;
    case IOCTL_ADAPTER_QUERY:
        status = QueryAdapter(irp, stack);
        break;
    case IOCTL_DRIVER_GET_VERSION:
        status = GetDriverVersion(irp, stack);
        break;
    case IOCTL_STREAM_RELEASE_CACHE:
        status = ReleaseCacheRequest(irp, stack);
        break;
    case IOCTL_STREAM_FLUSH_FRAMES:
        status = FlushFramesRequest(irp, stack);
        break;
    default:
        status = STATUS_NOT_SUPPORTED;
        break;
    }

    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, code == IOCTL_STREAM_GET_FRAME ? STREAM_REQUEST_BOOST : IO_NO_INCREMENT);
    return status;
}
