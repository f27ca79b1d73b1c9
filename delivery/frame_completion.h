// Frame completion: opening slots for new blocks by the hand-over policy, closing frames and
// handing them to waiting frame requests, and giving up older unfinished frames.
// Receive-path operations run at IRQL <= DISPATCH_LEVEL; the caller holds a cache use.
#pragma once

#include "control/stream_port.h"

FrameSlot* OpenFrameSlot(StreamPort* port, BOOLEAN atDispatchLevel);
FrameSlot* FindAssemblingFrame(StreamPort* port, ULONG64 blockId);
VOID CompleteFrame(StreamPort* port, FrameSlot* slot, BOOLEAN onAssemblingList);
VOID RetireOlderFrame(StreamPort* port, FrameSlot* closedSlot);

// Adds the packets a frame given up lacked, those expected and not received, to MissingPackets
// (32-bit wrap, as user mode reads the counter).
VOID CountMissingPackets(StreamControlBlock* block, const FrameSlot* slot);
