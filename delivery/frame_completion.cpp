// Frame completion: opening slots for new blocks (reusing finished or unfinished ones by the
// hand-over policy), closing frames and handing them to waiting frame requests, giving up
// older unfinished frames, and the frame lists' moves that the control requests make.
// IRQL <= DISPATCH_LEVEL; the caller holds the port's cache (AcquirePortCache).
#include "delivery/frame_completion.h"

#include "delivery/wire_format.h"
#include "driver/notification.h"
#include "stream/clock.h"

namespace {

constexpr CHAR FRAME_HAND_OVER_BOOST = 8;

PLIST_ENTRY ListOfPlace(StreamPort* port, FramePlace place)
{
    switch (place) {
    case FRAME_PLACE_FREE:
        return &port->FreeFrames;
    case FRAME_PLACE_ASSEMBLING:
        return &port->AssemblingFrames;
    case FRAME_PLACE_COMPLETED:
        return &port->CompletedFrames;
    default:
        return nullptr;
    }
}

ULONG* CountOfPlace(StreamPort* port, FramePlace place)
{
    switch (place) {
    case FRAME_PLACE_FREE:
        return &port->FreeFrameCount;
    case FRAME_PLACE_ASSEMBLING:
        return &port->AssemblingFrameCount;
    case FRAME_PLACE_COMPLETED:
        return &port->CompletedFrameCount;
    default:
        return nullptr;
    }
}

FrameSlot* SlotOfLinks(PLIST_ENTRY links)
{
    return CONTAINING_RECORD(links, FrameSlot, Links);
}

// Claims the oldest queued frame request whose cancellation is not under way, or NULL.
PIRP ClaimWaitingRequest(StreamPort* port)
{
    PIRP claimed = nullptr;
    AcquireRequestListLock(port);
    for (PLIST_ENTRY entry = port->PendingRequests.Flink; entry != &port->PendingRequests; entry = entry->Flink) {
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        if (IoSetCancelRoutine(irp, nullptr) != nullptr) {
            RemoveEntryList(entry);
            claimed = irp;
            break;
        }
        // Its cancel routine is running and will complete it.
    }
    ReleaseRequestListLock(port);
    return claimed;
}

}  // namespace

VOID PublishFrameCounts(StreamPort* port)
{
    StreamControlBlock* block = port->ControlBlock;
    if (block != nullptr) {
        block->FreeFrameCount = port->FreeFrameCount;
        block->AssemblingFrameCount = port->AssemblingFrameCount;
        block->CompletedFrameCount = port->CompletedFrameCount;
    }
}

VOID MoveFrameSlot(StreamPort* port, FrameSlot* slot, FramePlace place, BOOLEAN atHead)
{
    if (ULONG* count = CountOfPlace(port, slot->Place)) {
        RemoveEntryList(&slot->Links);
        *count -= 1;
    }
    if (PLIST_ENTRY list = ListOfPlace(port, place)) {
        if (atHead) {
            InsertHeadList(list, &slot->Links);
        } else {
            InsertTailList(list, &slot->Links);
        }
        *CountOfPlace(port, place) += 1;
    }
    slot->Place = place;
    PublishFrameCounts(port);
}

VOID MoveAllFrameSlots(StreamPort* port, FramePlace from, FramePlace to)
{
    PLIST_ENTRY list = ListOfPlace(port, from);
    while (!IsListEmpty(list)) {
        MoveFrameSlot(port, SlotOfLinks(list->Flink), to);
    }
}

VOID ResetFrameLists(StreamPort* port)
{
    InitializeListHead(&port->FreeFrames);
    InitializeListHead(&port->AssemblingFrames);
    InitializeListHead(&port->CompletedFrames);
    port->FreeFrameCount = 0;
    port->AssemblingFrameCount = 0;
    port->CompletedFrameCount = 0;
    port->CurrentFrame = nullptr;
    for (ULONG i = 0; i < port->FrameSlotCount; ++i) {
        FrameSlot* slot = &port->FrameSlots[i];
        slot->Place = FRAME_PLACE_NONE;
        MoveFrameSlot(port, slot, FRAME_PLACE_FREE);
    }
}

VOID ResetFrameSlot(FrameSlot* slot)
{
    RtlZeroMemory(slot->Header, FRAME_HEADER_SIZE);
    slot->WriteOffset = 0;
    slot->WriteRegion = FRAME_REGION_PAYLOAD;
    slot->FirstPacketTime = 0;
    slot->AssemblyTime = 0;
    InterlockedExchange64(&slot->LastPacketTime, 0);
}

VOID CountMissingPackets(StreamControlBlock* block, const FrameSlot* slot)
{
    block->MissingPackets += block->ExpectedPacketCount - slot->Header->ReceivedPackets + 1;
}

VOID ClearFrameOverflow(FrameSlot* slot)
{
    // Chunks are allocated where payload lands, so the table may have holes.
    for (ULONG k = 0; k < OVERFLOW_CHUNK_MAX; ++k) {
        if (slot->OverflowChunks[k] != nullptr) {
            NdisFreeMemory(slot->OverflowChunks[k], slot->OverflowChunkSize, 0);
            slot->OverflowChunks[k] = nullptr;
        }
    }
    slot->OverflowBytes = 0;
    slot->OverflowChunkSize = 0;
    slot->Overflowed = FALSE;
    RtlZeroMemory(slot->Private->OverflowChunks, sizeof(slot->Private->OverflowChunks));
    slot->Private->OverflowBytes = 0;
    slot->Private->Overflowed = 0;
}

ULONG WriteFrameHandOver(const FrameSlot* slot, PVOID output, ULONG outputLength)
{
    ULONG64 record = slot->UserAddress + FRAME_PRIVATE_SIZE;
    UCHAR bytes[8];
    for (ULONG i = 0; i < sizeof(bytes); ++i) {
        bytes[i] = static_cast<UCHAR>(record >> (8 * i));
    }
    ULONG written = outputLength < sizeof(bytes) ? outputLength : sizeof(bytes);
    // A request with no output buffer is legal and has no system buffer to copy into.
    if (written != 0 && output != nullptr) {
        RtlCopyMemory(output, bytes, written);
    } else {
        written = 0;
    }
    return written;
}

FrameSlot* OpenFrameSlot(StreamPort* port, BOOLEAN atDispatchLevel)
{
    StreamControlBlock* block = port->ControlBlock;
    FrameSlot* slot = nullptr;

    AcquireFrameListLock(port, atDispatchLevel);
    ULONG flags = block->Flags;

    // A free slot.
    if (!IsListEmpty(&port->FreeFrames)) {
        slot = SlotOfLinks(port->FreeFrames.Flink);
        MoveFrameSlot(port, slot, FRAME_PLACE_ASSEMBLING);
        block->NoFreeFrame = 0;
        ResetFrameSlot(slot);
        ReleaseFrameListLock(port);
        ClearFrameOverflow(slot);
        return slot;
    }

    // Newest frame to waiting requests only: a frame is never overwritten, so only free slots
    // are taken; NoFreeFrame tells user mode that it holds them all.
    if ((flags & (STREAM_FLAG_NEWEST_FRAME_ONLY | STREAM_FLAG_WAITING_REQUESTS_ONLY)) ==
        (STREAM_FLAG_NEWEST_FRAME_ONLY | STREAM_FLAG_WAITING_REQUESTS_ONLY)) {
        if (port->FreeFrameCount == 0 && port->CompletedFrameCount == 0 && port->AssemblingFrameCount == 0) {
            block->NoFreeFrame = 1;
        }
        ReleaseFrameListLock(port);
        return nullptr;
    }

    // The oldest completed frame nobody collected.
    if (!IsListEmpty(&port->CompletedFrames)) {
        slot = SlotOfLinks(port->CompletedFrames.Flink);
        MoveFrameSlot(port, slot, FRAME_PLACE_NONE);
        ReleaseFrameListLock(port);
        block->OverwrittenFrames += 1;
        block->NoFreeFrame = 0;
        SendFrameEventNotification(port, slot, FRAME_EVENT_OVERWRITTEN);
        ResetFrameSlot(slot);
        ClearFrameOverflow(slot);
        AcquireFrameListLock(port, atDispatchLevel);
        MoveFrameSlot(port, slot, FRAME_PLACE_ASSEMBLING);
        ReleaseFrameListLock(port);
        return slot;
    }

    // The oldest unfinished frame, reused in place at the head of AssemblingFrames.
    if (!IsListEmpty(&port->AssemblingFrames)) {
        slot = SlotOfLinks(port->AssemblingFrames.Flink);
        block->NoFreeFrame = 0;
        CountMissingPackets(block, slot);
        ULONG limit = block->MissingPacketLimit;
        if (limit != 0 && block->MissingPackets > limit) {
            SendFrameEventNotification(port, slot, FRAME_EVENT_MISSING_LIMIT);
            block->MissingLimitFrames += 1;
        } else {
            SendFrameEventNotification(port, slot, FRAME_EVENT_GIVEN_UP);
            block->IncompleteFrames += 1;
        }
        ResetFrameSlot(slot);
        if (port->CurrentFrame == slot) {
            port->CurrentFrame = nullptr;
        }
        ReleaseFrameListLock(port);
        ClearFrameOverflow(slot);
        return slot;
    }

    // Every slot is held by user mode: the packet is dropped.
    ReleaseFrameListLock(port);
    return nullptr;
}

FrameSlot* FindAssemblingFrame(StreamPort* port, ULONG64 blockId)
{
    FrameSlot* found = nullptr;
    AcquireFrameListLock(port);
    for (PLIST_ENTRY entry = port->AssemblingFrames.Flink; entry != &port->AssemblingFrames; entry = entry->Flink) {
        FrameSlot* slot = SlotOfLinks(entry);
        if (slot->Header->BlockId == blockId) {
            found = slot;
            break;
        }
    }
    ReleaseFrameListLock(port);
    return found;
}

VOID CompleteFrame(StreamPort* port, FrameSlot* slot, BOOLEAN onAssemblingList)
{
    StreamControlBlock* block = port->ControlBlock;

    PIRP irp = ClaimWaitingRequest(port);
    slot->AssemblyTime = static_cast<ULONG64>(QueryMicroseconds()) - slot->FirstPacketTime;
    slot->Private->AssemblyTime = slot->AssemblyTime;

    // A waiting request takes the frame at once.
    if (irp != nullptr) {
        AcquireFrameListLock(port);
        MoveFrameSlot(port, slot, FRAME_PLACE_USER);
        ReleaseFrameListLock(port);
        if (onAssemblingList) {
            RetireOlderFrame(port, slot);
        }
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        irp->IoStatus.Information = WriteFrameHandOver(slot, irp->AssociatedIrp.SystemBuffer,
            stack->Parameters.DeviceIoControl.OutputBufferLength);
        irp->IoStatus.Status = STATUS_SUCCESS;
        auto* requestPort = static_cast<StreamPort*>(irp->Tail.Overlay.DriverContext[0]);
        IoCompleteRequest(irp, FRAME_HAND_OVER_BOOST);
        ReleaseStreamPortReference(requestPort);
        return;
    }

    // No request waits: the frame waits on CompletedFrames.
    AcquireFrameListLock(port);
    if ((block->Flags & STREAM_FLAG_WAITING_REQUESTS_ONLY) != 0) {
        MoveAllFrameSlots(port, FRAME_PLACE_COMPLETED, FRAME_PLACE_FREE);
    }
    if (onAssemblingList) {
        MoveFrameSlot(port, slot, FRAME_PLACE_NONE);
        ReleaseFrameListLock(port);
        RetireOlderFrame(port, slot);
        AcquireFrameListLock(port);
    }
    MoveFrameSlot(port, slot, FRAME_PLACE_COMPLETED);
    ReleaseFrameListLock(port);
}

VOID RetireOlderFrame(StreamPort* port, FrameSlot* closedSlot)
{
    StreamControlBlock* block = port->ControlBlock;

    // Only a good frame gives up an older one, and at most one.
    AcquireFrameListLock(port);
    if (IsListEmpty(&port->AssemblingFrames) || closedSlot->Header->FrameStatus != FRAME_STATUS_COMPLETE) {
        ReleaseFrameListLock(port);
        return;
    }
    FrameSlot* oldest = SlotOfLinks(port->AssemblingFrames.Flink);
    if (!BlockIdPrecedes(oldest->Header->BlockId, closedSlot->Header->BlockId, closedSlot->ExtendedIds)) {
        ReleaseFrameListLock(port);
        return;
    }
    MoveFrameSlot(port, oldest, FRAME_PLACE_NONE);
    if (port->CurrentFrame == oldest) {
        port->CurrentFrame = nullptr;
    }
    ReleaseFrameListLock(port);

    // Off every list, the slot is reached by nobody else: no lock while it is reported and zeroed.
    CountMissingPackets(block, oldest);
    block->IncompleteFrames += 1;
    SendFrameEventNotification(port, oldest, FRAME_EVENT_GIVEN_UP);
    ResetFrameSlot(oldest);
    ClearFrameOverflow(oldest);

    AcquireFrameListLock(port);
    MoveFrameSlot(port, oldest, FRAME_PLACE_FREE);
    ReleaseFrameListLock(port);
}

FrameSlot* TakeCompletedFrame(StreamPort* port)
{
    FrameSlot* slot = nullptr;
    ULONG flags = port->ControlBlock->Flags;
    BOOLEAN freesAssembling = (flags & (STREAM_FLAG_NEWEST_FRAME_ONLY | STREAM_FLAG_WAITING_REQUESTS_ONLY)) ==
                              STREAM_FLAG_WAITING_REQUESTS_ONLY;
    KIRQL assemblyIrql = PASSIVE_LEVEL;
    if (freesAssembling) {
        assemblyIrql = AcquireAssembly(port);
    }
    AcquireFrameListLock(port);
    if ((flags & STREAM_FLAG_NEWEST_FRAME_ONLY) != 0) {
        // The newest completed frame; the older ones are free again.
        if (!IsListEmpty(&port->CompletedFrames)) {
            slot = SlotOfLinks(port->CompletedFrames.Blink);
            MoveFrameSlot(port, slot, FRAME_PLACE_USER);
            MoveAllFrameSlots(port, FRAME_PLACE_COMPLETED, FRAME_PLACE_FREE);
        }
    } else if ((flags & STREAM_FLAG_WAITING_REQUESTS_ONLY) != 0) {
        // Only a frame that closes while the request waits reaches it. The receive path must not
        // go on writing into a slot that is free again.
        MoveAllFrameSlots(port, FRAME_PLACE_COMPLETED, FRAME_PLACE_FREE);
        MoveAllFrameSlots(port, FRAME_PLACE_ASSEMBLING, FRAME_PLACE_FREE);
        port->CurrentFrame = nullptr;
    } else if (!IsListEmpty(&port->CompletedFrames)) {
        slot = SlotOfLinks(port->CompletedFrames.Flink);
        MoveFrameSlot(port, slot, FRAME_PLACE_USER);
    }
    ReleaseFrameListLock(port);
    if (freesAssembling) {
        ReleaseAssembly(port, assemblyIrql);
    }
    return slot;
}

VOID FlushFrames(StreamPort* port)
{
    // No packet is being placed into a frame that becomes free here.
    KIRQL assemblyIrql = AcquireAssembly(port);
    AcquireFrameListLock(port);
    MoveAllFrameSlots(port, FRAME_PLACE_COMPLETED, FRAME_PLACE_FREE);
    MoveAllFrameSlots(port, FRAME_PLACE_ASSEMBLING, FRAME_PLACE_FREE);
    port->CurrentFrame = nullptr;   // the rest of that block's packets are ignored
    ReleaseFrameListLock(port);
    ReleaseAssembly(port, assemblyIrql);
}
