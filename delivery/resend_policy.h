// The resend policy: which packets of a frame are asked for again and when a frame is judged
// hopeless. Receive path (IRQL <= DISPATCH_LEVEL, assembly held) and worker thread (PASSIVE_LEVEL,
// on a private snapshot of a frame).
#pragma once

#include "base/stream_port.h"

// The first clear bit at or after `start` in `byteCount` bytes, or byteCount x 8.
ULONG FindClearBit(const UCHAR* bitmap, ULONG byteCount, ULONG start);
// The first set bit at or after `start` in `byteCount` bytes, or `limit`.
ULONG FindSetBit(const UCHAR* bitmap, ULONG byteCount, ULONG limit, ULONG start);

// Why a frame is given up; each cause has its counter in the StreamControlBlock.
enum GiveUpCause : UCHAR {
    GIVE_UP_OVERWRITTEN,      // complete but never collected, its slot taken for a new block
    GIVE_UP_INCOMPLETE,       // unfinished, making room for newer frames
    GIVE_UP_BY_STREAM_LOSS,   // the same, but counted against MissingPacketLimit once the stream
                              // has lost more packets than it allows
    GIVE_UP_MISSING_LIMIT,    // more packets missing than MissingPacketLimit allows
    GIVE_UP_GAP_LIMIT,        // a gap longer than ResendGapLimit
    GIVE_UP_NONE,             // not given up
};

// After every placed packet: the cause to give the frame up for when the newest gap exceeds a
// limit, the smaller non-zero limit naming it; otherwise GIVE_UP_NONE, and TakeGap accounts for
// the gap.
_IRQL_requires_max_(DISPATCH_LEVEL)
GiveUpCause CheckGapLimits(StreamPort* port, FrameSlot* frame);
// Accounts for the newest gap of `frame`; TRUE, with its ids in [first, last], when it is to be
// requested (resends are on), which the caller does once the assembly is left.
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN TakeGap(StreamPort* port, FrameSlot* frame, ULONG* first, ULONG* last);

// When a newer block starts: the cause to give the frame up for when it is hopeless; otherwise
// GIVE_UP_NONE, and the caller requests its missing packets.
_IRQL_requires_max_(DISPATCH_LEVEL)
GiveUpCause EvaluateIncompleteFrame(StreamPort* port, FrameSlot* frame);
// Requests every missing run of `frame` (a live FrameHeader, or a snapshot of one), and the rest
// of the block when its trailer has not come. Stops at the first request that cannot be sent.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID RequestMissingPackets(StreamPort* port, const FrameHeader* frame, BOOLEAN extendedIds, const UCHAR* headerSource);
