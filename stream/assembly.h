// GVSP frame assembly: which frame a packet belongs to, duplicates, errors and unsupported
// formats, placement, and the completion check. Receive path, IRQL <= DISPATCH_LEVEL, with the
// port's assembly and its cache (AcquirePortCache) held.
#pragma once

#include "base/stream_port.h"
#include "delivery/frame_completion.h"

// Assembles one stream packet. `gvspBytes` (at least 8) covers the GVSP header and the data after
// it in the header's buffer segment. Returns the frame the packet was placed in while that frame
// is still assembling; NULL when the packet was dropped or closed its frame. Either way the packet
// is consumed. What must happen once the assembly is left is recorded in `effects`. `now` is the
// packet's arrival in the clock's microseconds.
_IRQL_requires_max_(DISPATCH_LEVEL)
FrameSlot* AssembleGvspPacket(StreamPort* port, const UCHAR* ethernetFrame, const UCHAR* gvspHeader, ULONG gvspBytes,
    LONGLONG now, BOOLEAN atDispatchLevel, AssemblyEffects* effects) _Requires_lock_held_(port->AssemblyLock);

// The in-order fast path: the payload packet after the last one of the current frame, with a
// standard header and success status, whole in `gvspBytes` and wholly inside the frame buffer, on
// a stream whose configuration has not changed, is placed with only the checks it needs and the
// same effect as AssembleGvspPacket. Returns its frame; NULL, with nothing changed, for any other
// packet, which takes AssembleGvspPacket.
_IRQL_requires_max_(DISPATCH_LEVEL)
FrameSlot* AssembleNextPayloadPacket(StreamPort* port, const UCHAR* gvspHeader, ULONG gvspBytes, LONGLONG now)
    _Requires_lock_held_(port->AssemblyLock);

// Closes the frame whose every packet up to its trailer has been placed; `counter`, the
// performance counter at the packet's arrival, times the frame's rate sample.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID CompleteAssembledFrame(StreamPort* port, FrameSlot* frame, LONGLONG counter, AssemblyEffects* effects)
    _Requires_lock_held_(port->AssemblyLock);

// Every packet placed: nothing completes before its trailer, as TotalPackets stays 0 until then.
_IRQL_requires_max_(DISPATCH_LEVEL)
inline VOID CheckFrameCompletion(StreamPort* port, FrameSlot* frame, LONGLONG counter, AssemblyEffects* effects)
    _Requires_lock_held_(port->AssemblyLock)
{
    if (frame->Header->ReceivedPackets == frame->Header->TotalPackets) {
        CompleteAssembledFrame(port, frame, counter, effects);
    }
}
