// GVSP frame assembly: which frame a packet belongs to, duplicates, errors and unsupported
// formats, placement, and the completion check. Receive path, IRQL <= DISPATCH_LEVEL, with the
// port's assembly and its cache (AcquirePortCache) held.
#pragma once

#include "control/stream_port.h"
#include "delivery/frame_completion.h"

// Assembles one stream packet. `gvspBytes` (at least 8) covers the GVSP header and the data after
// it in the header's buffer segment. Returns the frame the packet was placed in while that frame
// is still assembling; NULL when the packet was dropped or closed its frame. Either way the packet
// is consumed. What must happen once the assembly is left is recorded in `effects`. `now` is the
// packet's arrival in the clock's microseconds.
_IRQL_requires_max_(DISPATCH_LEVEL)
FrameSlot* AssembleGvspPacket(StreamPort* port, const UCHAR* ethernetFrame, const UCHAR* gvspHeader, ULONG gvspBytes,
    LONGLONG now, BOOLEAN atDispatchLevel, AssemblyEffects* effects) _Requires_lock_held_(port->AssemblyLock);

// Closes the frame when every packet up to its trailer has been placed; `counter`, the
// performance counter at the packet's arrival, times the frame's rate sample.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID CheckFrameCompletion(StreamPort* port, FrameSlot* frame, LONGLONG counter, AssemblyEffects* effects)
    _Requires_lock_held_(port->AssemblyLock);
