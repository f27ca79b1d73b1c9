// Frame completion: opening slots for new blocks (reusing finished or unfinished ones by the
// hand-over policy), closing frames and handing them to waiting frame requests, and giving up
// older unfinished frames.
// IRQL <= DISPATCH_LEVEL; the caller holds the port's cache (AcquirePortCache).
#include "delivery/frame_completion.h"

#include "base/clock.h"
#include "base/frame_slots.h"
#include "base/notification.h"
#include "base/wire_format.h"
#include "control/frame_requests.h"
#include "delivery/resend_policy.h"
#include "delivery/transmit.h"

namespace {

// Gives up the oldest assembling frame when the good frame `closedSlot` completes after it: only
// a good frame gives up an older one, and at most one. The retired slot goes straight to
// FreeFrames, where only the assembly, which the caller holds, takes slots; returns it, so that
// it is zeroed and its overflow chunks freed once the lock is released.
FrameSlot* RetireOlderFrame(StreamPort* port, FrameSlot* closedSlot, AssemblyEffects* effects)
    _Requires_lock_held_(port->AssemblyLock) _Requires_lock_held_(port->FrameListLock)
{
    if (IsListEmpty(&port->AssemblingFrames) || closedSlot->Header->FrameStatus != FRAME_STATUS_COMPLETE) {
        return nullptr;
    }
    FrameSlot* oldest = SlotOfLinks(port->AssemblingFrames.Flink);
    if (!BlockIdPrecedes(oldest->Header->BlockId, closedSlot->Header->BlockId, closedSlot->ExtendedIds)) {
        return nullptr;
    }
    GiveUpFrame(port, oldest, GIVE_UP_INCOMPLETE, effects);
    MoveFrameSlot(port, oldest, FRAME_PLACE_FREE);
    if (port->CurrentFrame == oldest) {
        port->CurrentFrame = nullptr;
    }
    return oldest;
}

}  // namespace

VOID FinishAssemblyEffects(StreamPort* port, AssemblyEffects* effects, const UCHAR* headerSource)
{
    if (ResendWorkItem* settled = effects->Settled) {
        auto* header = reinterpret_cast<const FrameHeader*>(settled->Snapshot + FRAME_PRIVATE_SIZE);
        RequestMissingPackets(port, header, effects->ExtendedIds, headerSource);
        ExFreeToNPagedLookasideList(&DriverGlobals.ResendWorkItemLookaside, settled);
    }
    if (effects->GapRequested) {
        SendPacketResend(port, headerSource, effects->GapBlockId, effects->ExtendedIds, effects->GapFirst,
            effects->GapLast);
    }
    for (ULONG i = 0; i < effects->EventCount; ++i) {
        SendFrameEventNotification(port, effects->Events[i]);
    }
    for (ULONG i = 0; i < effects->HandOverCount; ++i) {
        CompleteFrameRequest(effects->HandOverRequests[i], effects->HandOverFrames[i]);
    }
    RtlZeroMemory(effects, sizeof(*effects));
}

VOID GiveUpFrame(StreamPort* port, FrameSlot* slot, GiveUpCause cause, AssemblyEffects* eventsTo)
{
    StreamControlBlock* block = port->ControlBlock;
    if (cause != GIVE_UP_OVERWRITTEN) {
        block->MissingPackets += block->ExpectedPacketCount - slot->Header->ReceivedPackets + 1;
    }
    if (cause == GIVE_UP_BY_STREAM_LOSS) {
        ULONG limit = block->MissingPacketLimit;
        cause = limit != 0 && block->MissingPackets > limit ? GIVE_UP_MISSING_LIMIT : GIVE_UP_INCOMPLETE;
    }

    ULONG eventCode = 0;
    USHORT frameStatus = 0;
    switch (cause) {
    case GIVE_UP_OVERWRITTEN:
        block->OverwrittenFrames += 1;
        eventCode = FRAME_EVENT_OVERWRITTEN;
        break;
    case GIVE_UP_MISSING_LIMIT:
        block->MissingLimitFrames += 1;
        eventCode = FRAME_EVENT_MISSING_LIMIT;
        frameStatus = FRAME_STATUS_MISSING_LIMIT;
        break;
    case GIVE_UP_GAP_LIMIT:
        block->GapLimitFrames += 1;
        frameStatus = FRAME_STATUS_GAP_LIMIT;
        break;
    default:
        block->IncompleteFrames += 1;
        eventCode = FRAME_EVENT_GIVEN_UP;
        frameStatus = FRAME_STATUS_INCOMPLETE;
        break;
    }
    if (eventsTo == nullptr) {
        slot->Header->FrameStatus = frameStatus;
    } else if (eventsTo->EventCount < ASSEMBLY_EVENT_MAX) {
        const FrameHeader* header = slot->Header;
        eventsTo->Events[eventsTo->EventCount++] = FrameEvent{eventCode, header->BlockId, header->Timestamp, header->GvspStatus};
    }
}

FrameSlot* OpenFrameSlot(StreamPort* port, BOOLEAN atDispatchLevel, AssemblyEffects* effects)
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

    // Only free slots are taken; NoFreeFrame tells user mode that it holds them all.
    if (NeverOverwritesFrames(flags)) {
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
        block->NoFreeFrame = 0;
        GiveUpFrame(port, slot, GIVE_UP_OVERWRITTEN, effects);
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
        GiveUpFrame(port, slot, GIVE_UP_BY_STREAM_LOSS, effects);
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

VOID CompleteFrame(StreamPort* port, FrameSlot* slot, BOOLEAN onAssemblingList, AssemblyEffects* effects)
{
    StreamControlBlock* block = port->ControlBlock;

    // The frame's payload reaches memory before anything that hands the frame over.
    StreamingStoreFence();
    slot->AssemblyTime = static_cast<ULONG64>(QueryMicroseconds()) - slot->FirstPacketTime;
    slot->Private->AssemblyTime = slot->AssemblyTime;

    // A waiting request takes the frame, which completes once the assembly is left; otherwise the
    // frame waits on CompletedFrames. One hold of the lists' lock moves it there and retires the
    // older frame it finishes after.
    PIRP irp = effects->HandOverCount < ASSEMBLY_HAND_OVER_MAX ? ClaimWaitingFrameRequest(port) : nullptr;
    AcquireFrameListLock(port);
    if (irp == nullptr && KeepsOnlyNewestCompletedFrame(block->Flags)) {
        MoveAllFrameSlots(port, FRAME_PLACE_COMPLETED, FRAME_PLACE_FREE);
    }
    MoveFrameSlot(port, slot, irp != nullptr ? FRAME_PLACE_USER : FRAME_PLACE_COMPLETED);
    FrameSlot* retired = onAssemblingList ? RetireOlderFrame(port, slot, effects) : nullptr;
    ReleaseFrameListLock(port);

    if (retired != nullptr) {
        ResetFrameSlot(retired);
        ClearFrameOverflow(retired);
    }
    if (irp != nullptr) {
        effects->HandOverRequests[effects->HandOverCount] = irp;
        effects->HandOverFrames[effects->HandOverCount] = slot;
        effects->HandOverCount += 1;
    }
}
