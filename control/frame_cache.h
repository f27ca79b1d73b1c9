// The frame cache of a StreamPort: locking and mapping the user's StreamControlBlock and frame
// buffers and releasing them; the set-up, release, frame return and flush requests; and the
// release of every cache a process set up when it exits.
#pragma once

#include "control/stream_port.h"

// Locks and maps the block and every frame buffer and publishes the cache; on failure nothing
// stays locked or published. PASSIVE_LEVEL, in the calling process, ControlBusy held.
NTSTATUS MapFrameCache(ULONG64 userAddress, USHORT length, StreamPort* port);

// Takes the cache away from the port, waits for its users (at PASSIVE_LEVEL) and unlocks and
// unmaps everything. IRQL <= DISPATCH_LEVEL (the last reference may be dropped by the receive
// path, which then is the cache's only user); no spin lock held.
VOID ReleaseFrameCache(StreamPort* port);

// The process `processId` is exiting: releases every frame cache it set up, whatever handles to
// the ports remain in other processes, since its pages must not stay locked past its end. The
// ports stay bound until their handles close. PASSIVE_LEVEL, in the exiting process.
VOID ReleaseFrameCachesOfProcess(HANDLE processId);

NTSTATUS SetupFrameCache(PIRP irp, PIO_STACK_LOCATION stack);
NTSTATUS ReturnFrame(PIRP irp, PIO_STACK_LOCATION stack);
NTSTATUS ReleaseCacheRequest(PIRP irp, PIO_STACK_LOCATION stack);
NTSTATUS FlushFramesRequest(PIRP irp, PIO_STACK_LOCATION stack);
