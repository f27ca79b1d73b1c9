// Frame requests: handing finished frames to user mode at once or through a queue, starting and
// stopping acquisition, and cancelling queued requests. PASSIVE_LEVEL, except where marked.
#pragma once

#include "base/stream_port.h"

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS GetFrame(PIRP irp, PIO_STACK_LOCATION stack);
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS StartAcquisition(PIRP irp, PIO_STACK_LOCATION stack);
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS StopAcquisition(PIRP irp, PIO_STACK_LOCATION stack);

// Acquiring := 0 and every queued frame request completes with STATUS_CANCELLED; one whose
// cancellation is under way is completed by the queue. PASSIVE_LEVEL.
_IRQL_requires_(PASSIVE_LEVEL)
VOID CancelAllFrameRequests(StreamPort* port);
// The port's empty request queue, for a new port. Any IRQL <= DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID InitializeFrameRequestQueue(StreamPort* port);

// The completion path's side of the queue, IRQL <= DISPATCH_LEVEL, no spin lock held: takes the
// oldest queued frame request whose cancellation is not under way out of the queue (or NULL),
// then hands it the frame `slot`, which user mode holds from then on.
_IRQL_requires_max_(DISPATCH_LEVEL)
PIRP ClaimWaitingFrameRequest(StreamPort* port);
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID CompleteFrameRequest(PIRP irp, const FrameSlot* slot);
