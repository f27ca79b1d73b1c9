// The worker thread that re-asks cameras for frames that fell quiet. PASSIVE_LEVEL, system
// process; started by DriverEntry, stopped by DriverUnload through WorkerStop.
#pragma once

#include "platform/wdm.h"

constexpr LONGLONG WORKER_PASS_INTERVAL = -10'000;   // 1 ms, in 100 ns units

VOID ResendWorker(PVOID startContext);
