// Frame completion: the moves of frame slots between FreeFrames, AssemblingFrames,
// CompletedFrames and user mode, and the hand-over of finished frames to frame requests.
// Receive-path operations run at IRQL <= DISPATCH_LEVEL; the caller holds the port's cache.
#pragma once

#include "control/stream_port.h"

// Frame event codes reported to user mode.
constexpr ULONG FRAME_EVENT_OVERWRITTEN = 2;
constexpr ULONG FRAME_EVENT_GIVEN_UP = 3;
constexpr ULONG FRAME_EVENT_MISSING_LIMIT = 7;

// The block's FreeFrameCount, AssemblingFrameCount and CompletedFrameCount are written only
// here, from the lists' lengths the driver keeps, and only under FrameListLock, so that no
// writer's count overwrites a newer one.
_Requires_lock_held_(port->FrameListLock)
VOID PublishFrameCounts(StreamPort* port);

// ---- List primitives: FrameListLock held ------------------------------------------------------
// Takes `slot` off its list (if it is on one) and puts it at the tail (or head) of the list of
// `place`; FRAME_PLACE_USER and FRAME_PLACE_NONE put it on no list. Publishes the counts.
_Requires_lock_held_(port->FrameListLock)
VOID MoveFrameSlot(StreamPort* port, FrameSlot* slot, FramePlace place, BOOLEAN atHead = FALSE);
// Moves every slot of the list of `from` to the tail of the list of `to`, keeping their order.
_Requires_lock_held_(port->FrameListLock)
VOID MoveAllFrameSlots(StreamPort* port, FramePlace from, FramePlace to);
// Every slot of the cache back on FreeFrames, in index order; no frame is assembling any more.
_Requires_lock_held_(port->FrameListLock)
VOID ResetFrameLists(StreamPort* port);

// ---- Frame completion -----------------------------------------------------------------------
FrameSlot* OpenFrameSlot(StreamPort* port, BOOLEAN atDispatchLevel);
FrameSlot* FindAssemblingFrame(StreamPort* port, ULONG64 blockId);
VOID CompleteFrame(StreamPort* port, FrameSlot* slot, BOOLEAN onAssemblingList);
VOID RetireOlderFrame(StreamPort* port, FrameSlot* closedSlot);
// A completed frame for a frame request, by the hand-over policy, or NULL. PASSIVE_LEVEL.
FrameSlot* TakeCompletedFrame(StreamPort* port);
VOID FlushFrames(StreamPort* port);

// Writes the frame hand-over record (the FrameHeader's user address) into an output buffer of
// `outputLength` bytes; returns the bytes written (at most 8).
ULONG WriteFrameHandOver(const FrameSlot* slot, PVOID output, ULONG outputLength);

// Adds the packets a frame given up lacked, those expected and not received, to MissingPackets
// (32-bit wrap, as user mode reads the counter).
VOID CountMissingPackets(StreamControlBlock* block, const FrameSlot* slot);

// Zeroes the FrameHeader of a slot about to be opened for a new block, and its write region.
VOID ResetFrameSlot(FrameSlot* slot);
// Frees the overflow chunks of the slot's last frame and clears its overflow state. The slot is
// off every list, or owned by the receive path that is about to write it.
VOID ClearFrameOverflow(FrameSlot* slot);
