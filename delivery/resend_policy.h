// The resend policy: which packets of a frame are asked for again and when a frame is judged
// hopeless. Receive path (IRQL <= DISPATCH_LEVEL, assembly held) and worker thread (PASSIVE_LEVEL,
// on a private snapshot of a frame).
#pragma once

#include "control/stream_port.h"
#include "delivery/frame_completion.h"


// The first clear bit at or after `start` in `byteCount` bytes, or byteCount x 8.
ULONG FindClearBit(const UCHAR* bitmap, ULONG byteCount, ULONG start);
// The first set bit at or after `start` in `byteCount` bytes, or `limit`.
ULONG FindSetBit(const UCHAR* bitmap, ULONG byteCount, ULONG limit, ULONG start);

// After every placed packet: TRUE when the newest gap exceeds a limit (the caller gives the
// frame up); otherwise the gap is requested by RequestGapResend, recorded in `effects` and sent
// once the assembly is left.
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN CheckGapLimits(StreamPort* port, FrameSlot* frame);
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID RequestGapResend(StreamPort* port, FrameSlot* frame, AssemblyEffects* effects);

// When a newer block starts: TRUE when the frame is hopeless (FrameStatus and the loss counters
// set); otherwise the caller requests its missing packets.
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN EvaluateIncompleteFrame(StreamPort* port, FrameSlot* frame);
// Requests every missing run of `frame` (a live FrameHeader, or a snapshot of one), and the rest
// of the block when its trailer has not come. Stops at the first request that cannot be sent.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID RequestMissingPackets(StreamPort* port, const FrameHeader* frame, BOOLEAN extendedIds, const UCHAR* headerSource);
