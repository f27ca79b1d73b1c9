// The frame slots' bookkeeping: the lists FreeFrames, AssemblingFrames and CompletedFrames, the
// moves between them and user mode, their counts in the StreamControlBlock, and the state a slot
// sheds before it is reused. Used by the control requests, the completion path and the receive
// path alike. IRQL <= DISPATCH_LEVEL.
#pragma once

#include "base/stream_port.h"

// The block's FreeFrameCount, AssemblingFrameCount and CompletedFrameCount are written only
// here, from the lists' lengths the driver keeps, and only under FrameListLock, so that no
// writer's count overwrites a newer one.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID PublishFrameCounts(StreamPort* port) _Requires_lock_held_(port->FrameListLock);

// ---- List moves: FrameListLock held ---------------------------------------------------------
// Takes `slot` off its list (if it is on one) and puts it at the tail (or head) of the list of
// `place`; FRAME_PLACE_USER and FRAME_PLACE_NONE put it on no list. Publishes the counts.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID MoveFrameSlot(StreamPort* port, FrameSlot* slot, FramePlace place, BOOLEAN atHead = FALSE)
    _Requires_lock_held_(port->FrameListLock);
// Moves every slot of the list of `from` to the tail of the list of `to`, keeping their order.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID MoveAllFrameSlots(StreamPort* port, FramePlace from, FramePlace to) _Requires_lock_held_(port->FrameListLock);
// Every slot of the cache back on FreeFrames, in index order; no frame is assembling any more.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID ResetFrameLists(StreamPort* port) _Requires_lock_held_(port->AssemblyLock)
    _Requires_lock_held_(port->FrameListLock);

// ---- The hand-over policy: StreamControlBlock.Flags, read once by the caller ----------------
constexpr ULONG HAND_OVER_FLAGS = STREAM_FLAG_NEWEST_FRAME_ONLY | STREAM_FLAG_WAITING_REQUESTS_ONLY;
// A frame request takes the newest completed frame and frees the older ones (else the oldest).
inline BOOLEAN HandsOverNewestFrame(ULONG flags)
{
    return (flags & STREAM_FLAG_NEWEST_FRAME_ONLY) != 0;
}
// A frame that closes while no request waits frees the completed frames before it.
inline BOOLEAN KeepsOnlyNewestCompletedFrame(ULONG flags)
{
    return (flags & STREAM_FLAG_WAITING_REQUESTS_ONLY) != 0;
}
// A frame request takes only a frame that closes while it waits: it frees every frame it finds.
inline BOOLEAN ServesWaitingRequestsOnly(ULONG flags)
{
    return (flags & HAND_OVER_FLAGS) == STREAM_FLAG_WAITING_REQUESTS_ONLY;
}
// No frame is ever overwritten: a new block takes a free slot or is dropped.
inline BOOLEAN NeverOverwritesFrames(ULONG flags)
{
    return (flags & HAND_OVER_FLAGS) == HAND_OVER_FLAGS;
}

// The slot whose Links are `links`.
FrameSlot* SlotOfLinks(PLIST_ENTRY links);

// Every completed and assembling frame free again, and the rest of the current block ignored.
// Takes the port's assembly and FrameListLock.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID FlushFrames(StreamPort* port);

// ---- A slot before reuse --------------------------------------------------------------------
// Zeroes the FrameHeader of a slot about to be opened for a new block, and its write region.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID ResetFrameSlot(FrameSlot* slot);
// Frees the overflow chunks of the slot's last frame and clears its overflow state. The slot is
// off every list, or owned by the receive path that is about to write it.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID ClearFrameOverflow(FrameSlot* slot);
