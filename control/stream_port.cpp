// Stream port binding and the life of a StreamPort: the bind request, the references that keep
// a port alive, the prologue of the stream requests, and the two teardowns (handle cleanup and
// adapter detach), exactly one of which frees a given port. PASSIVE_LEVEL except where marked.
#include "control/stream_port.h"

#include "control/frame_cache.h"
#include "control/frame_requests.h"
#include "driver/event_log.h"
#include "stream/rate_statistics.h"

namespace {

constexpr ULONG RATE_SAMPLE_SIZE = 32;

// Unique value of MSG_ALLOC_FAILED for the StreamPort record.
constexpr ULONG ALLOC_FAILED_STREAM_PORT = 4;

USHORT NetworkOrder(USHORT value)
{
    return static_cast<USHORT>((value >> 8) | (value << 8));
}

// Frees a port nobody references any more and nobody can reach.
VOID FreeStreamPort(StreamPort* port)
{
    ResetRateSamples(port);
    ExDeleteNPagedLookasideList(&port->RateSampleLookaside);
    ExFreePoolWithTag(port, POOL_TAG);
}

// Both teardowns, once the port is unhooked from its slot and its handle, so that nobody finds it
// any more: a set-up, release or flush in progress ends first; the cache is run down (the
// receive path, the worker and requests that hold it finish) and released; waiting requests are
// cancelled and the bind's reference goes. A request that still holds a reference drops it when
// it ends; requests queued meanwhile are cancelled every 5 ms until none is left, and then the
// port is freed.
VOID TearDownStreamPort(StreamPort* port)
{
    AcquireControlBusy(port);
    ReleaseFrameCache(port);
    CancelAllFrameRequests(port);
    ReleaseControlBusy(port);
    ReleaseStreamPortReference(port);
    while (InterlockedCompareExchange(&port->ReferenceCount, 0, 0) != 0) {
        CancelAllFrameRequests(port);
        SleepPortWaitInterval();
    }
    FreeStreamPort(port);
}

}  // namespace

VOID SleepPortWaitInterval()
{
    LARGE_INTEGER interval;
    interval.QuadPart = PORT_WAIT_INTERVAL;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

NTSTATUS BindStreamPort(PIRP irp, PIO_STACK_LOCATION stack)
{
    // A short input cannot name an adapter and a port.
    if (stack->Parameters.DeviceIoControl.InputBufferLength < 8) {
        return STATUS_UNSUCCESSFUL;
    }
    const UCHAR* input = static_cast<const UCHAR*>(irp->AssociatedIrp.SystemBuffer);
    UCHAR mac[6];
    RtlCopyMemory(mac, input, sizeof(mac));
    USHORT hostPort = static_cast<USHORT>(input[6] | (input[7] << 8));

    // Network byte order, as the port field of a received packet has it.
    USHORT udpPort = NetworkOrder(hostPort);

    // One StreamPort per handle.
    LOCK_STATE_EX lockState;
    NdisAcquireRWLockWrite(DriverGlobals.AdapterTableLock, &lockState, 0);
    if (stack->FileObject->FsContext != nullptr) {
        NdisReleaseRWLock(DriverGlobals.AdapterTableLock, &lockState);
        return STATUS_UNSUCCESSFUL;
    }

    // The adapter by MAC address; the port must not be bound there yet.
    FilterAdapter* adapter = nullptr;
    for (LONG slot = MAX_ADAPTERS - 1; slot >= 0 && adapter == nullptr; --slot) {
        FilterAdapter* candidate = DriverGlobals.AdapterTable[slot];
        if (candidate != nullptr && !candidate->Detaching && RtlCompareMemory(candidate->MacAddress, mac, 6) == 6) {
            adapter = candidate;
        }
    }
    BOOLEAN duplicate = FALSE;
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
        NdisReleaseRWLock(DriverGlobals.AdapterTableLock, &lockState);
        WriteEventLog(MSG_PORT_ALREADY_BOUND, 0, "Mac:%02x-%02x-%02x-%02x-%02x-%02x, Port:%hu", mac[0], mac[1], mac[2],
            mac[3], mac[4], mac[5], hostPort);
        return STATUS_UNSUCCESSFUL;
    }

    // Non-paged: the record is used at DISPATCH_LEVEL, under this lock and on the receive path.
    auto* port = static_cast<StreamPort*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(StreamPort), POOL_TAG));
    if (port == nullptr) {
        NdisReleaseRWLock(DriverGlobals.AdapterTableLock, &lockState);
        WriteEventLog(MSG_ALLOC_FAILED, ALLOC_FAILED_STREAM_PORT, "Size:%d", static_cast<int>(STREAM_PORT_RECORD_SIZE));
        return STATUS_UNSUCCESSFUL;
    }

    // A zeroed record that knows its handle and adapter, with the bind's one reference.
    RtlZeroMemory(port, sizeof(StreamPort));
    port->FileObject = stack->FileObject;
    port->UdpPort = udpPort;
    port->NotificationDevice = DriverGlobals.NotificationDevice;
    port->Adapter = adapter;
    port->NdisFilterHandle = adapter->NdisFilterHandle;
    port->NetBufferListPool = adapter->NetBufferListPool;
    port->Acquiring = 0;
    port->ReferenceCount = 1;
    ExInitializeRundownProtection(&port->CacheRundown);
    InitializeListHead(&port->PendingRequests);
    InitializeListHead(&port->FreeFrames);
    InitializeListHead(&port->AssemblingFrames);
    InitializeListHead(&port->CompletedFrames);
    InitializeListHead(&port->RateSamples);
    KeInitializeSpinLock(&port->FrameListLock);
    KeInitializeSpinLock(&port->RequestListLock);
    ExInitializeNPagedLookasideList(&port->RateSampleLookaside, nullptr, nullptr, 0, RATE_SAMPLE_SIZE, POOL_TAG, 0);

    // The highest free slot.
    LONG freeSlot = -1;
    for (LONG slot = MAX_STREAM_PORTS - 1; slot >= 0; --slot) {
        if (adapter->StreamPorts[slot] == nullptr) {
            freeSlot = slot;
            break;
        }
    }
    if (freeSlot < 0) {
        NdisReleaseRWLock(DriverGlobals.AdapterTableLock, &lockState);
        FreeStreamPort(port);
        WriteEventLog(MSG_PORT_LIMIT_REACHED, 0, nullptr);
        return STATUS_UNSUCCESSFUL;
    }

    // From here the slot and the handle both lead to the port.
    port->AdapterIndex = adapter->AdapterIndex;
    port->SlotIndex = static_cast<ULONG>(freeSlot);
    port->PortId = ((adapter->AdapterIndex + 1) << 16) | (port->SlotIndex + 1);
    adapter->StreamPorts[freeSlot] = port;
    stack->FileObject->FsContext = port;

    // PortId, AdapterIndex and SlotIndex; the rest of the record is not the caller's to see.
    ULONG outputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    ULONG copied = outputLength < STREAM_PORT_RECORD_SIZE ? outputLength : STREAM_PORT_RECORD_SIZE;
    auto* output = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
    RtlZeroMemory(output, copied);
    ULONG reported[3] = {port->PortId, port->AdapterIndex, port->SlotIndex};
    RtlCopyMemory(output, reported, copied < STREAM_PORT_REPORTED_BYTES ? copied : STREAM_PORT_REPORTED_BYTES);
    irp->IoStatus.Information = copied;

    // The event is written once the lock is released: the event log writes nothing above APC_LEVEL.
    ULONG portId = port->PortId;
    PVOID ownerProcessId = port->OwnerProcessId;
    PVOID fileObject = port->FileObject;
    NdisReleaseRWLock(DriverGlobals.AdapterTableLock, &lockState);
    WriteEventLog(MSG_FILTER_BINDING, 0, "Port:%hu,Id:%d,PID:%p,FObj:%p", hostPort, static_cast<int>(portId),
        ownerProcessId, fileObject);
    return STATUS_SUCCESS;
}

BOOLEAN AcquirePortCache(StreamPort* port)
{
    return port->ControlBlock != nullptr && ExAcquireRundownProtection(&port->CacheRundown);
}

VOID ReleasePortCache(StreamPort* port)
{
    ExReleaseRundownProtection(&port->CacheRundown);
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
    while (InterlockedCompareExchange(&port->ControlBusy, 1, 0) != 0) {
        SleepPortWaitInterval();
    }
}

VOID ReleaseControlBusy(StreamPort* port)
{
    InterlockedExchange(&port->ControlBusy, 0);
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
