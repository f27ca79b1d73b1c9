// Frame requests. A queued request holds a port reference until it is completed; whoever first
// takes its cancel routine away (frame completion, CancelAllFrameRequests) owns it, unless the
// cancel routine is already running, which then completes it.
// PASSIVE_LEVEL in the caller's thread, except CancelFrameRequest and the completion path's
// ClaimWaitingFrameRequest and CompleteFrameRequest (IRQL <= DISPATCH_LEVEL).
#include "control/frame_requests.h"

#include "control/control_interface.h"
#include "control/frame_slots.h"

namespace {

constexpr LONG CANCEL_IN_PROGRESS_WAIT_MICROSECONDS = 100;
constexpr USHORT REQUEST_MODE_FAIL_WHEN_IDLE = 1;
constexpr CHAR FRAME_HAND_OVER_BOOST = 8;

VOID CompleteCancelled(PIRP irp)
{
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// Takes a queued request off the queue unless its cancel routine is already running, which then
// unlinks and completes it. RequestListLock held.
BOOLEAN ClaimQueuedRequest(PIRP irp)
{
    if (IoSetCancelRoutine(irp, nullptr) == nullptr) {
        return FALSE;
    }
    RemoveEntryList(&irp->Tail.Overlay.ListEntry);
    return TRUE;
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

    // In request mode 1 a request fails at once while the port is not acquiring.
    AcquireRequestListLock(port);
    if (port->ControlBlock->RequestMode == REQUEST_MODE_FAIL_WHEN_IDLE && port->Acquiring == 0) {
        ReleaseRequestListLock(port);
        ReleasePortCache(port);
        return STATUS_CANCELLED;
    }

    // Queue it with a reference of its own. A cancellation that came before the cancel routine
    // was in place is honoured here; the reference then goes with the completion.
    ReferenceStreamPort(port);
    irp->Tail.Overlay.DriverContext[0] = port;
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, CancelFrameRequest);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        ReleaseRequestListLock(port);
        ReleasePortCache(port);
        CompleteCancelled(irp);
        ReleaseStreamPortReference(port);
        return STATUS_PENDING;
    }
    InsertTailList(&port->PendingRequests, &irp->Tail.Overlay.ListEntry);
    ReleaseRequestListLock(port);

    // The cache is this call's only; the queued request keeps the port by its reference.
    ReleasePortCache(port);
    return STATUS_PENDING;
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
    while (!IsListEmpty(&port->PendingRequests)) {
        PIRP irp = CONTAINING_RECORD(port->PendingRequests.Flink, IRP, Tail.Overlay.ListEntry);
        if (ClaimQueuedRequest(irp)) {
            // Claimed: complete it outside the lock.
            ReleaseRequestListLock(port);
            CompleteCancelled(irp);
            ReleaseStreamPortReference(port);
        } else {
            // Its cancel routine is running and will unlink and complete it.
            ReleaseRequestListLock(port);
            NdisMSleep(CANCEL_IN_PROGRESS_WAIT_MICROSECONDS);
        }
        AcquireRequestListLock(port);
    }
    ReleaseRequestListLock(port);
}

VOID CancelFrameRequest(PDEVICE_OBJECT deviceObject, PIRP irp)
{
    (void)deviceObject;
    IoReleaseCancelSpinLock(irp->CancelIrql);

    auto* port = static_cast<StreamPort*>(irp->Tail.Overlay.DriverContext[0]);
    BOOLEAN found = FALSE;
    AcquireRequestListLock(port);
    for (PLIST_ENTRY entry = port->PendingRequests.Flink; entry != &port->PendingRequests; entry = entry->Flink) {
        if (entry == &irp->Tail.Overlay.ListEntry) {
            RemoveEntryList(entry);
            found = TRUE;
            break;
        }
    }
    ReleaseRequestListLock(port);

    // Not found: completion or CancelAllFrameRequests claimed it first and completes it.
    if (found) {
        CompleteCancelled(irp);
        ReleaseStreamPortReference(port);
    }
}

PIRP ClaimWaitingFrameRequest(StreamPort* port)
{
    PIRP claimed = nullptr;
    AcquireRequestListLock(port);
    for (PLIST_ENTRY entry = port->PendingRequests.Flink; entry != &port->PendingRequests; entry = entry->Flink) {
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if (ClaimQueuedRequest(irp)) {
            claimed = irp;
            break;
        }
    }
    ReleaseRequestListLock(port);
    return claimed;
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
