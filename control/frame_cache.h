// The frame cache of a StreamPort: locking and mapping the user's StreamControlBlock and frame
// buffers and releasing them; the set-up, release, frame return and flush requests; and the
// release of every cache a process set up when it exits.
#pragma once

#include "base/stream_port.h"

// Locks and maps the block and every frame buffer and publishes the cache; on failure nothing
// stays locked or published. PASSIVE_LEVEL, in the calling process, ControlBusy held.
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS MapFrameCache(ULONG64 userAddress, USHORT length, StreamPort* port);

// Runs the cache down (no new user finds it; the users inside finish), takes it away from the
// port and unlocks and unmaps everything. PASSIVE_LEVEL, ControlBusy held.
_IRQL_requires_(PASSIVE_LEVEL)
VOID ReleaseFrameCache(StreamPort* port);

// The process `processId` is exiting: releases every frame cache it set up, whatever handles to
// the ports remain in other processes, since its pages must not stay locked past its end. The
// ports stay bound until their handles close. PASSIVE_LEVEL, in the exiting process.
_IRQL_requires_(PASSIVE_LEVEL)
VOID ReleaseFrameCachesOfProcess(HANDLE processId);

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS SetupFrameCache(PIRP irp, PIO_STACK_LOCATION stack);
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ReturnFrame(PIRP irp, PIO_STACK_LOCATION stack);
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS ReleaseCacheRequest(PIRP irp, PIO_STACK_LOCATION stack);
_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS FlushFramesRequest(PIRP irp, PIO_STACK_LOCATION stack);
