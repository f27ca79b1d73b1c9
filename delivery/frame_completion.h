// Frame completion: opening slots for new blocks by the hand-over policy, closing frames and
// handing them to waiting frame requests, and giving up older unfinished frames.
// Receive-path operations run at IRQL <= DISPATCH_LEVEL; the caller holds the port's cache (AcquirePortCache).
#pragma once

#include "base/notification.h"
#include "base/stream_port.h"
#include "delivery/resend_policy.h"
#include "delivery/resend_worker.h"

// The snapshot of a frame whose missing packets are to be asked for (the first bytes of its
// buffer: driver region and FrameHeader), taken while the frame cannot change. From the driver's
// lookaside of resend work items. The worker threads its retries through Next, each holding the
// cache of Port (AcquirePortCache) until its requests are sent.
struct ResendWorkItem {
    ResendWorkItem* Next;
    UCHAR Snapshot[RESEND_SNAPSHOT_SIZE];
    StreamPort* Port;
};
static_assert(sizeof(ResendWorkItem) == RESEND_WORK_ITEM_SIZE);

// What one packet's assembly decided and that must not happen inside the port's assembly, where
// no request may be completed, no packet sent and no event reported: filled while the assembly is
// held, carried out by FinishAssemblyEffects once it is left. One packet completes at most three
// frames (the oldest given up and the current one settled when its block starts, then its own),
// reports at most two events (a slot reused, an older frame retired), asks for one gap and
// settles one frame.
constexpr ULONG ASSEMBLY_HAND_OVER_MAX = 3;
constexpr ULONG ASSEMBLY_EVENT_MAX = 2;
struct AssemblyEffects {
    ULONG HandOverCount;
    PIRP HandOverRequests[ASSEMBLY_HAND_OVER_MAX];   // claimed frame requests, each with its frame
    const FrameSlot* HandOverFrames[ASSEMBLY_HAND_OVER_MAX];
    ULONG EventCount;
    FrameEvent Events[ASSEMBLY_EVENT_MAX];
    // The gap the packet revealed: [GapFirst, GapLast] of block GapBlockId, when GapRequested.
    BOOLEAN GapRequested;
    BOOLEAN ExtendedIds;                             // the id form of the packet's block
    ULONG64 GapBlockId;
    ULONG GapFirst;
    ULONG GapLast;
    ResendWorkItem* Settled;                         // the frame settled by a new block, or NULL
};

// TRUE when the assembly recorded anything to carry out.
inline BOOLEAN HasAssemblyEffects(const AssemblyEffects* effects)
{
    return effects->HandOverCount != 0 || effects->EventCount != 0 || effects->GapRequested || effects->Settled != nullptr;
}

// Carries out what the assembly recorded, in the order it was recorded within each kind: the
// PACKETRESEND requests of the settled frame, then of the gap (built from `headerSource`, the
// packet's own Ethernet, IPv4 and UDP headers), frame events, then hand-overs. IRQL <= DISPATCH_LEVEL, the port's assembly left.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID FinishAssemblyEffects(StreamPort* port, AssemblyEffects* effects, const UCHAR* headerSource);

_IRQL_requires_max_(DISPATCH_LEVEL)
FrameSlot* OpenFrameSlot(StreamPort* port, BOOLEAN atDispatchLevel, AssemblyEffects* effects)
    _Requires_lock_held_(port->AssemblyLock);
_IRQL_requires_max_(DISPATCH_LEVEL)
FrameSlot* FindAssemblingFrame(StreamPort* port, ULONG64 blockId);
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID CompleteFrame(StreamPort* port, FrameSlot* slot, BOOLEAN onAssemblingList, AssemblyEffects* effects)
    _Requires_lock_held_(port->AssemblyLock);


// Gives up the frame in `slot` for `cause`: adds the packets it lacked to MissingPackets (32-bit
// wrap, as user mode reads the counter; an overwritten frame lacked none), counts it under its
// cause and reports the cause: in its FrameStatus when the frame is still handed over
// (`eventsTo` NULL), otherwise as a frame event recorded in `eventsTo`, its slot being reused.
// Takes no lock.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID GiveUpFrame(StreamPort* port, FrameSlot* slot, GiveUpCause cause, AssemblyEffects* eventsTo);
