// The worker thread that re-asks cameras for frames that fell quiet. PASSIVE_LEVEL, system
// process; started by DriverEntry, stopped by DriverUnload through WorkerStop.
#pragma once

#include "platform/wdm.h"

constexpr LONGLONG WORKER_PASS_INTERVAL = -10'000;   // 1 ms, in 100 ns units
// A retry's snapshot: the first bytes of the frame buffer, its driver region and FrameHeader.
constexpr ULONG RESEND_SNAPSHOT_SIZE = 8964;

_IRQL_requires_(PASSIVE_LEVEL)
VOID ResendWorker(PVOID startContext);
// One pass of the worker over every port, as its thread runs it once a millisecond while any
// frame assembles. TRUE when a frame is assembling somewhere (or the pass ran out of work items):
// the worker then looks again in a millisecond.
_IRQL_requires_(PASSIVE_LEVEL)
BOOLEAN RunResendPass();
// Called by the receive path when it opens a frame: wakes the worker if it sleeps for lack of
// work.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID WakeResendWorker();
