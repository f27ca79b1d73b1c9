// Frame requests. Queued requests wait in the port's cancel-safe queue (RequestQueue, its list
// PendingRequests under RequestListLock); the system owns their cancel routine, so a request
// leaves the queue once: taken out by frame completion or CancelAllFrameRequests, or cancelled,
// when the queue completes it through CompleteCancelledRequest. A queued request holds a port
// reference until it is completed.
// PASSIVE_LEVEL in the caller's thread, except the queue's callbacks and the completion path's
// ClaimWaitingFrameRequest and CompleteFrameRequest (IRQL <= DISPATCH_LEVEL).
#include "control/frame_requests.h"

#include "base/control_interface.h"
#include "base/frame_slots.h"
#include "control/port_binding.h"

namespace {

constexpr USHORT REQUEST_MODE_FAIL_WHEN_IDLE = 1;
constexpr CHAR FRAME_HAND_OVER_BOOST = 8;

StreamPort* PortOfQueue(PIO_CSQ csq)
{
    return CONTAINING_RECORD(csq, StreamPort, RequestQueue);
}

VOID CompleteCancelled(PIRP irp)
{
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// ---- The queue's callbacks. The system calls the insert, remove and peek callbacks holding
// RequestListLock, which it takes and gives back through the two lock callbacks, and completes a
// cancelled request without it; the lock analysis cannot follow the lock through the system.
// Queues a request at the tail with a port reference of its own; in request mode 1 a request
// fails at once while the port is not acquiring.
NTSTATUS InsertFrameRequest(PIO_CSQ csq, PIRP irp, PVOID insertContext) _Function_ignore_lock_checking_(RequestListLock)
{
    (void)insertContext;
    StreamPort* port = PortOfQueue(csq);
    if (port->ControlBlock->RequestMode == REQUEST_MODE_FAIL_WHEN_IDLE && port->Acquiring == 0) {
        return STATUS_CANCELLED;
    }
    ReferenceStreamPort(port);
    irp->Tail.Overlay.DriverContext[0] = port;
    InsertTailList(&port->PendingRequests, &irp->Tail.Overlay.ListEntry);
    return STATUS_SUCCESS;
}

VOID RemoveFrameRequest(PIO_CSQ csq, PIRP irp)
{
    (void)csq;
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
}

// The oldest request after `irp` (NULL: the oldest of all).
PIRP PeekFrameRequest(PIO_CSQ csq, PIRP irp, PVOID peekContext) _Function_ignore_lock_checking_(RequestListLock)
{
    (void)peekContext;
    StreamPort* port = PortOfQueue(csq);
    PLIST_ENTRY next = irp == nullptr ? port->PendingRequests.Flink : irp->Tail.Overlay.ListEntry.Flink;
    return next == &port->PendingRequests ? nullptr : CONTAINING_RECORD(next, IRP, Tail.Overlay.ListEntry);
}

VOID AcquireRequestQueueLock(PIO_CSQ csq, PKIRQL irql) _Function_ignore_lock_checking_(RequestListLock)
{
    *irql = KeAcquireSpinLockRaiseToDpc(&PortOfQueue(csq)->RequestListLock);
}

VOID ReleaseRequestQueueLock(PIO_CSQ csq, KIRQL irql) _Function_ignore_lock_checking_(RequestListLock)
{
    KeReleaseSpinLock(&PortOfQueue(csq)->RequestListLock, irql);
}

// A request cancelled while queued, taken out by the queue: completed with its reference.
VOID CompleteCancelledRequest(PIO_CSQ csq, PIRP irp)
{
    CompleteCancelled(irp);
    ReleaseStreamPortReference(PortOfQueue(csq));
}

// Writes the frame hand-over record (the FrameHeader's user address) into an output buffer of
// `outputLength` bytes; returns the bytes written (at most 8).
ULONG WriteFrameHandOver(const FrameSlot* slot, PVOID output, ULONG outputLength)
{
    FrameHandOver record = {slot->UserAddress + FRAME_PRIVATE_SIZE};
    ULONG written = outputLength < sizeof(record) ? outputLength : sizeof(record);
    // A request with no output buffer is legal and has no system buffer to copy into.
    if (written != 0 && output != nullptr) {
        RtlCopyMemory(output, &record, written);
    } else {
        written = 0;
    }
    return written;
}

// A completed frame for a frame request, by the hand-over policy, or NULL.
FrameSlot* TakeCompletedFrame(StreamPort* port)
{
    ULONG flags = port->ControlBlock->Flags;

    // Only a frame that closes while the request waits reaches it: every frame found is freed,
    // and the receive path must not go on writing into a slot that is free again.
    if (ServesWaitingRequestsOnly(flags)) {
        FlushFrames(port);
        return nullptr;
    }

    FrameSlot* slot = nullptr;
    AcquireFrameListLock(port);
    if (HandsOverNewestFrame(flags)) {
        // The newest completed frame; the older ones are free again.
        if (!IsListEmpty(&port->CompletedFrames)) {
            slot = SlotOfLinks(port->CompletedFrames.Blink);
            MoveFrameSlot(port, slot, FRAME_PLACE_USER);
            MoveAllFrameSlots(port, FRAME_PLACE_COMPLETED, FRAME_PLACE_FREE);
        }
    } else if (!IsListEmpty(&port->CompletedFrames)) {
        slot = SlotOfLinks(port->CompletedFrames.Flink);
        MoveFrameSlot(port, slot, FRAME_PLACE_USER);
    }
    ReleaseFrameListLock(port);
    return slot;
}

}  // namespace

NTSTATUS GetFrame(PIRP irp, PIO_STACK_LOCATION stack)
{
    StreamPort* port = AcquireStreamPortOfFile(stack->FileObject, PORT_CACHE_IN_USE);
    if (port == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }

    // A completed frame is handed over at once.
    FrameSlot* slot = TakeCompletedFrame(port);
    if (slot != nullptr) {
        irp->IoStatus.Information = WriteFrameHandOver(slot, irp->AssociatedIrp.SystemBuffer,
            stack->Parameters.DeviceIoControl.OutputBufferLength);
        ReleasePortCache(port);
        return STATUS_SUCCESS;
    }

    // Queued, or refused in request mode 1 while the port is not acquiring. A request cancelled
    // before it was queued is completed by the queue, and pends all the same.
    NTSTATUS status = IoCsqInsertIrpEx(&port->RequestQueue, irp, nullptr, nullptr);
    // The cache is this call's only; a queued request keeps the port by its reference.
    ReleasePortCache(port);
    return NT_SUCCESS(status) ? STATUS_PENDING : status;
}

NTSTATUS StartAcquisition(PIRP irp, PIO_STACK_LOCATION stack)
{
    (void)irp;
    StreamPort* port = AcquireStreamPortOfFile(stack->FileObject, PORT_CACHE_IN_USE);
    if (port == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }

    NTSTATUS status = STATUS_UNSUCCESSFUL;
    AcquireRequestListLock(port);
    if (port->Acquiring == 0) {
        port->Acquiring = 1;
        status = STATUS_SUCCESS;
    }
    ReleaseRequestListLock(port);

    // Either way the block shows the lists' counts again, as after a set-up.
    AcquireFrameListLock(port);
    PublishFrameCounts(port);
    ReleaseFrameListLock(port);

    ReleasePortCache(port);
    return status;
}

NTSTATUS StopAcquisition(PIRP irp, PIO_STACK_LOCATION stack)
{
    (void)irp;
    StreamPort* port = AcquireStreamPortOfFile(stack->FileObject, PORT_CACHE_IN_USE);
    if (port == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }

    AcquireRequestListLock(port);
    ULONG acquiring = port->Acquiring;
    ReleaseRequestListLock(port);
    if (acquiring != 1) {
        ReleasePortCache(port);
        return STATUS_UNSUCCESSFUL;
    }
    CancelAllFrameRequests(port);
    ReleasePortCache(port);
    return STATUS_SUCCESS;
}

VOID CancelAllFrameRequests(StreamPort* port)
{
    AcquireRequestListLock(port);
    port->Acquiring = 0;
    ReleaseRequestListLock(port);
    // A request whose cancellation is under way is left to the queue, which completes it.
    while (PIRP irp = IoCsqRemoveNextIrp(&port->RequestQueue, nullptr)) {
        CompleteCancelled(irp);
        ReleaseStreamPortReference(port);
    }
}

VOID InitializeFrameRequestQueue(StreamPort* port)
{
    InitializeListHead(&port->PendingRequests);
    KeInitializeSpinLock(&port->RequestListLock);
    IoCsqInitializeEx(&port->RequestQueue, InsertFrameRequest, RemoveFrameRequest, PeekFrameRequest,
        AcquireRequestQueueLock, ReleaseRequestQueueLock, CompleteCancelledRequest);
}

PIRP ClaimWaitingFrameRequest(StreamPort* port)
{
    return IoCsqRemoveNextIrp(&port->RequestQueue, nullptr);
}

VOID CompleteFrameRequest(PIRP irp, const FrameSlot* slot)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    irp->IoStatus.Information = WriteFrameHandOver(slot, irp->AssociatedIrp.SystemBuffer,
        stack->Parameters.DeviceIoControl.OutputBufferLength);
    irp->IoStatus.Status = STATUS_SUCCESS;
    auto* port = static_cast<StreamPort*>(irp->Tail.Overlay.DriverContext[0]);
    IoCompleteRequest(irp, FRAME_HAND_OVER_BOOST);
    ReleaseStreamPortReference(port);
}
