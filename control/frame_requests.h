// Frame requests: handing finished frames to user mode at once or through a queue, starting and
// stopping acquisition, and cancelling queued requests. PASSIVE_LEVEL, except the cancel routine.
#pragma once

#include "control/stream_port.h"

NTSTATUS GetFrame(PIRP irp, PIO_STACK_LOCATION stack);
NTSTATUS StartAcquisition(PIRP irp, PIO_STACK_LOCATION stack);
NTSTATUS StopAcquisition(PIRP irp, PIO_STACK_LOCATION stack);

// Acquiring := 0 and every queued frame request completes with STATUS_CANCELLED. PASSIVE_LEVEL.
VOID CancelAllFrameRequests(StreamPort* port);
// The cancel routine of a queued frame request; entered holding the global cancel lock.
VOID CancelFrameRequest(PDEVICE_OBJECT deviceObject, PIRP irp);

// The completion path's side of the queue, IRQL <= DISPATCH_LEVEL, no spin lock held: claims the
// oldest queued frame request whose cancellation is not under way (or NULL), then hands it the
// frame `slot`, which user mode holds from then on.
PIRP ClaimWaitingFrameRequest(StreamPort* port);
VOID CompleteFrameRequest(PIRP irp, const FrameSlot* slot);
