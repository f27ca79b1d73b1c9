// Stream port binding and the life of a StreamPort: the bind request, the references that keep
// a port alive, the prologue of the stream requests, and the two teardowns (handle cleanup and
// adapter detach), exactly one of which frees a given port. PASSIVE_LEVEL except where marked.
#include "control/port_binding.h"

#include "base/control_interface.h"
#include "base/event_log.h"
#include "control/frame_cache.h"
#include "control/frame_requests.h"

namespace {

// Unique value of MSG_ALLOC_FAILED for the StreamPort record.
constexpr ULONG ALLOC_FAILED_STREAM_PORT = 4;

// Frees a port nobody references any more and nobody can reach.
VOID FreeStreamPort(StreamPort* port)
{
    ExFreePoolWithTag(port, POOL_TAG);
}

// Both teardowns, once the port is unhooked from its slot and its handle, so that nobody finds it
// any more: a set-up, release or flush in progress ends first; the cache is run down (the
// receive path, the worker and requests that hold it finish) and released; waiting requests are
// cancelled and the bind's reference goes. No request can be queued any more: queueing needs the
// cache. A request that still holds a reference (one working without the cache, a cancellation
// under way) drops it when it ends; the last one lets the port be freed.
VOID TearDownStreamPort(StreamPort* port)
{
    AcquireControlBusy(port);
    ReleaseFrameCache(port);
    CancelAllFrameRequests(port);
    ReleaseControlBusy(port);
    ReleaseStreamPortReference(port);
    KeWaitForSingleObject(&port->ReferencesGone, Executive, KernelMode, FALSE, nullptr);
    FreeStreamPort(port);
}

}  // namespace

NTSTATUS BindStreamPort(PIRP irp, PIO_STACK_LOCATION stack)
{
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    NTSTATUS event = STATUS_SUCCESS;   // the entry written once the lock is released, if any
    BindPortInput input = {};
    const UCHAR* mac = input.MacAddress;
    USHORT hostPort = 0;
    USHORT udpPort = 0;
    LOCK_STATE_EX lockState;
    FilterAdapter* adapter = nullptr;
    BOOLEAN duplicate = FALSE;
    StreamPort* port = nullptr;
    LONG freeSlot = -1;
    ULONG outputLength = 0;
    ULONG copied = 0;
    PUCHAR output = nullptr;
    BindPortOutput reported = {};
    ULONG portId = 0;
    PVOID ownerProcessId = nullptr;
    PVOID fileObject = nullptr;

    // A short input cannot name an adapter and a port; nothing is held yet.
    if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(BindPortInput)) {
        return STATUS_UNSUCCESSFUL;
    }
    RtlCopyMemory(&input, irp->AssociatedIrp.SystemBuffer, sizeof(input));
    hostPort = input.UdpPort;

    // Network byte order, as the port field of a received packet has it.
    udpPort = RtlUshortByteSwap(hostPort);

    // One StreamPort per handle.
    NdisAcquireRWLockWrite(DriverGlobals.AdapterTableLock, &lockState, 0);
    if (stack->FileObject->FsContext != nullptr) {
        goto Exit;
    }

    // The adapter by MAC address; the port must not be bound there yet.
    for (LONG slot = MAX_ADAPTERS - 1; slot >= 0 && adapter == nullptr; --slot) {
        FilterAdapter* candidate = DriverGlobals.AdapterTable[slot];
        if (candidate != nullptr && !candidate->Detaching && RtlEqualMemory(candidate->MacAddress, mac, 6)) {
            adapter = candidate;
        }
    }
    if (adapter != nullptr) {
        for (LONG slot = MAX_STREAM_PORTS - 1; slot >= 0; --slot) {
            StreamPort* other = adapter->StreamPorts[slot];
            if (other != nullptr && other->UdpPort == udpPort) {
                duplicate = TRUE;
                break;
            }
        }
    }
    if (adapter == nullptr || duplicate) {
        event = MSG_PORT_ALREADY_BOUND;
        goto Exit;
    }

    // Non-paged: the record is used at DISPATCH_LEVEL, under this lock and on the receive path.
    port = static_cast<StreamPort*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(StreamPort), POOL_TAG));
    if (port == nullptr) {
        event = MSG_ALLOC_FAILED;
        goto Exit;
    }

    // A zeroed record that knows its handle and adapter, with the bind's one reference.
    RtlZeroMemory(port, sizeof(StreamPort));
    port->FileObject = stack->FileObject;
    port->UdpPort = udpPort;
    port->NotificationDevice = DriverGlobals.NotificationDevice;
    port->Adapter = adapter;
    port->NdisFilterHandle = adapter->NdisFilterHandle;
    port->NetBufferListPool = adapter->NetBufferListPool;
    port->ReferenceCount = 1;
    KeInitializeEvent(&port->ReferencesGone, NotificationEvent, FALSE);
    KeInitializeEvent(&port->ControlIdle, SynchronizationEvent, TRUE);
    ExInitializeRundownProtection(&port->CacheRundown);
    InitializeFrameRequestQueue(port);
    InitializeListHead(&port->FreeFrames);
    InitializeListHead(&port->AssemblingFrames);
    InitializeListHead(&port->CompletedFrames);
    KeInitializeSpinLock(&port->AssemblyLock);
    KeInitializeSpinLock(&port->FrameListLock);

    // The highest free slot.
    for (LONG slot = MAX_STREAM_PORTS - 1; slot >= 0; --slot) {
        if (adapter->StreamPorts[slot] == nullptr) {
            freeSlot = slot;
            break;
        }
    }
    if (freeSlot < 0) {
        event = MSG_PORT_LIMIT_REACHED;
        goto Exit;
    }

    // From here the slot and the handle both lead to the port.
    port->AdapterIndex = adapter->AdapterIndex;
    port->SlotIndex = static_cast<ULONG>(freeSlot);
    port->PortId = ((adapter->AdapterIndex + 1) << 16) | (port->SlotIndex + 1);
    adapter->StreamPorts[freeSlot] = port;
    stack->FileObject->FsContext = port;

    // PortId, AdapterIndex and SlotIndex; the rest of the record is not the caller's to see.
    outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    copied = outputLength < STREAM_PORT_RECORD_SIZE ? outputLength : STREAM_PORT_RECORD_SIZE;
    output = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
    RtlZeroMemory(output, copied);
    reported = BindPortOutput{port->PortId, port->AdapterIndex, port->SlotIndex};
    RtlCopyMemory(output, &reported, copied < sizeof(reported) ? copied : sizeof(reported));
    irp->IoStatus.Information = copied;
    portId = port->PortId;
    ownerProcessId = port->OwnerProcessId;
    fileObject = port->FileObject;
    event = MSG_FILTER_BINDING;
    status = STATUS_SUCCESS;

Exit:
    NdisReleaseRWLock(DriverGlobals.AdapterTableLock, &lockState);
    if (!NT_SUCCESS(status) && port != nullptr) {
        FreeStreamPort(port);
    }

    // The event is written once the lock is released: the event log writes nothing above APC_LEVEL.
    switch (event) {
    case MSG_PORT_ALREADY_BOUND:
        WriteEventLog(MSG_PORT_ALREADY_BOUND, 0, "Mac:%02x-%02x-%02x-%02x-%02x-%02x, Port:%hu", mac[0], mac[1],
            mac[2], mac[3], mac[4], mac[5], hostPort);
        break;
    case MSG_ALLOC_FAILED:
        WriteEventLog(MSG_ALLOC_FAILED, ALLOC_FAILED_STREAM_PORT, "Size:%d", static_cast<int>(STREAM_PORT_RECORD_SIZE));
        break;
    case MSG_PORT_LIMIT_REACHED:
        WriteEventLog(MSG_PORT_LIMIT_REACHED, 0, nullptr);
        break;
    case MSG_FILTER_BINDING:
        WriteEventLog(MSG_FILTER_BINDING, 0, "Port:%hu,Id:%d,PID:%p,FObj:%p", hostPort, static_cast<int>(portId),
            ownerProcessId, fileObject);
        break;
    default:
        break;
    }
    return status;
}

StreamPort* AcquireStreamPortOfFile(PFILE_OBJECT fileObject, PortNeed need)
{
    LOCK_STATE_EX lockState;
    NdisAcquireRWLockRead(DriverGlobals.AdapterTableLock, &lockState, 0);
    auto* port = static_cast<StreamPort*>(fileObject->FsContext);
    if (port != nullptr && need != PORT_BOUND && port->CacheReady == 0) {
        port = nullptr;
    }
    if (port != nullptr && need == PORT_CACHE_IN_USE) {
        if (!AcquirePortCache(port)) {
            port = nullptr;
        }
    } else if (port != nullptr) {
        ReferenceStreamPort(port);
    }
    NdisReleaseRWLock(DriverGlobals.AdapterTableLock, &lockState);
    return port;
}

BOOLEAN IsStreamPortOfFile(PFILE_OBJECT fileObject, StreamPort* port)
{
    LOCK_STATE_EX lockState;
    NdisAcquireRWLockRead(DriverGlobals.AdapterTableLock, &lockState, 0);
    BOOLEAN bound = fileObject->FsContext == port;
    NdisReleaseRWLock(DriverGlobals.AdapterTableLock, &lockState);
    return bound;
}

VOID AcquireControlBusy(StreamPort* port)
{
    KeWaitForSingleObject(&port->ControlIdle, Executive, KernelMode, FALSE, nullptr);
}

VOID ReleaseControlBusy(StreamPort* port)
{
    KeSetEvent(&port->ControlIdle, IO_NO_INCREMENT, FALSE);
}

VOID CleanupStreamPortOfFile(PFILE_OBJECT fileObject)
{
    // Unhook the port from its handle and its slot together: whichever of cleanup and
    // detach does this owns the teardown.
    LOCK_STATE_EX lockState;
    NdisAcquireRWLockWrite(DriverGlobals.AdapterTableLock, &lockState, 0);
    auto* port = static_cast<StreamPort*>(fileObject->FsContext);
    if (port == nullptr) {
        NdisReleaseRWLock(DriverGlobals.AdapterTableLock, &lockState);
        return;
    }
    fileObject->FsContext = nullptr;
    port->CacheReady = 0;
    FilterAdapter* adapter = DriverGlobals.AdapterTable[port->AdapterIndex];
    if (adapter != nullptr && adapter->StreamPorts[port->SlotIndex] == port) {
        adapter->StreamPorts[port->SlotIndex] = nullptr;
    }
    NdisReleaseRWLock(DriverGlobals.AdapterTableLock, &lockState);

    TearDownStreamPort(port);
}

VOID DetachStreamPorts(FilterAdapter* adapter, PLOCK_STATE_EX lockState)
{
    for (LONG slot = MAX_STREAM_PORTS - 1; slot >= 0; --slot) {
        StreamPort* port = adapter->StreamPorts[slot];
        if (port == nullptr) {
            continue;
        }

        // Later requests on the handle find no port; the receive path stops taking the
        // stream's packets.
        port->FileObject->FsContext = nullptr;
        adapter->StreamPorts[slot] = nullptr;
        if (port->ControlBlock != nullptr) {
            port->ControlBlock->Active = 0;
        }
        port->CacheReady = 0;
        NdisReleaseRWLock(DriverGlobals.AdapterTableLock, lockState);

        // Without the lock: the teardown waits for the cache's users and the last reference.
        TearDownStreamPort(port);

        // Held again for the next slot, and on return, as the caller expects.
        NdisAcquireRWLockWrite(DriverGlobals.AdapterTableLock, lockState, 0);
    }
}
