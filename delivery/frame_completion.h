// Frame completion: opening slots for new blocks by the hand-over policy, closing frames and
// handing them to waiting frame requests, and giving up older unfinished frames.
// Receive-path operations run at IRQL <= DISPATCH_LEVEL; the caller holds a cache use.
#pragma once

#include "control/stream_port.h"

FrameSlot* OpenFrameSlot(StreamPort* port, BOOLEAN atDispatchLevel);
FrameSlot* FindAssemblingFrame(StreamPort* port, ULONG64 blockId);
VOID CompleteFrame(StreamPort* port, FrameSlot* slot, BOOLEAN onAssemblingList);
VOID RetireOlderFrame(StreamPort* port, FrameSlot* closedSlot);

// Why a frame is given up; each cause has its counter in the StreamControlBlock.
enum GiveUpCause : UCHAR {
    GIVE_UP_OVERWRITTEN,      // complete but never collected, its slot taken for a new block
    GIVE_UP_INCOMPLETE,       // unfinished, making room for newer frames
    GIVE_UP_BY_STREAM_LOSS,   // the same, but counted against MissingPacketLimit once the stream
                              // has lost more packets than it allows
    GIVE_UP_MISSING_LIMIT,    // more packets missing than MissingPacketLimit allows
    GIVE_UP_GAP_LIMIT,        // a gap longer than ResendGapLimit
};

// Gives up the frame in `slot` for `cause`: adds the packets it lacked to MissingPackets (32-bit
// wrap, as user mode reads the counter; an overwritten frame lacked none), counts it under its
// cause and reports the cause: in its FrameStatus when the frame is still handed over
// (`handedOver`), otherwise as a frame event, its slot being reused. Takes no lock.
VOID GiveUpFrame(StreamPort* port, FrameSlot* slot, GiveUpCause cause, BOOLEAN handedOver);
