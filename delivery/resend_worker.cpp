// The worker thread: about once a millisecond it looks for frames that fell quiet. It runs
// from load to unload at PASSIVE_LEVEL in the system process and ends itself once unload has
// set WorkerStop.
#include "delivery/resend_worker.h"

#include "driver/driver.h"

VOID ResendWorker(PVOID startContext)
{
    (void)startContext;
    for (;;) {
        LARGE_INTEGER interval;
        interval.QuadPart = WORKER_PASS_INTERVAL;
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
        if (DriverGlobals.WorkerStop != 0) {
            break;
        }
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}
