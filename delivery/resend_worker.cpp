// The worker thread: about once a millisecond, while any frame is assembling, it visits every
// port of every adapter, and for the oldest assembling frame of a port that has been silent for
// the port's resend time-out it asks the camera again for every packet that frame still lacks.
// The scan only collects work under the locks; the requests are sent after every lock is
// released, from a private snapshot. With nothing assembling anywhere it sleeps on an event that
// the receive path sets when it opens a frame, so an idle machine pays nothing for it.
// PASSIVE_LEVEL, system process, from load to unload.
#include "delivery/resend_worker.h"

#include "base/clock.h"
#include "base/stream_port.h"
#include "delivery/frame_completion.h"
#include "delivery/resend_policy.h"

namespace {

// TRUE when the port has a frame assembling, read without its lock: a frame begun meanwhile is
// visited at the next pass, a millisecond later, well within any time-out (and one begun while
// the worker sleeps wakes it).
BOOLEAN MayHaveAssemblingFrame(StreamPort* port) _Function_ignore_lock_checking_(port->FrameListLock)
{
    return ReadULongNoFence(&port->AssemblingFrameCount) != 0;
}

// Takes a retry of the port's oldest assembling frame when it is due at `now` (the pass's
// time), or NULL. FALSE in `itemAvailable` when no work item could be had: the scan then ends.
// TRUE in `watching` when the port has a frame assembling, due or not, or is inactive: then its
// lists are its set-up's and cannot be looked at, and frames it kept may be due once it is
// active again.
ResendWorkItem* CollectRetry(StreamPort* port, ULONG64 now, BOOLEAN* itemAvailable, BOOLEAN* watching)
    _Requires_shared_lock_held_(DriverGlobals.AdapterTableLock)
{
    if (!AcquirePortCache(port)) {
        return nullptr;
    }
    StreamControlBlock* block = port->ControlBlock;
    if (block->Active == 0) {
        *watching = TRUE;
        ReleasePortCache(port);
        return nullptr;
    }
    if (!MayHaveAssemblingFrame(port)) {
        ReleasePortCache(port);
        return nullptr;
    }
    ULONG timeout = block->ResendTimeout;
    BOOLEAN retrying = ReadAcquire(&port->HeaderTemplateValid) != 0 && timeout != 0;

    // The port's assembly keeps the receive path out while the retry reads and rewrites the
    // frame: its LastPacketTime and the FrameHeader the snapshot copies are the receive path's
    // to write otherwise. Taken before FrameListLock, as the receive path takes them.
    ResendWorkItem* item = nullptr;
    KIRQL assemblyIrql = AcquireAssembly(port);
    AcquireFrameListLock(port, TRUE);
    if (!IsListEmpty(&port->AssemblingFrames)) {
        *watching = TRUE;
    }
    if (retrying && !IsListEmpty(&port->AssemblingFrames)) {
        FrameSlot* oldest = CONTAINING_RECORD(port->AssemblingFrames.Flink, FrameSlot, Links);
        auto lastPacketTime = static_cast<ULONG64>(oldest->LastPacketTime);
        // Due at LastPacketTime + the time-out (the product in 32 bits, the sum in 64).
        ULONG timeoutMicroseconds = timeout * 1000;
        if (lastPacketTime != 0 && now >= lastPacketTime + timeoutMicroseconds) {
            // Every due pass counts, also past the limit and when no work item is had.
            USHORT limit = block->ResendRetryLimit;
            BOOLEAN withinLimit = TRUE;
            if (limit != 0) {
                auto retries = static_cast<USHORT>(oldest->Header->ResendRetries + 1);
                oldest->Header->ResendRetries = retries;
                withinLimit = retries <= limit;
            }
            if (withinLimit) {
                item = static_cast<ResendWorkItem*>(ExAllocateFromNPagedLookasideList(&DriverGlobals.ResendWorkItemLookaside));
                if (item == nullptr) {
                    *itemAvailable = FALSE;
                } else {
                    oldest->LastPacketTime = static_cast<LONGLONG>(now);
                    oldest->Header->LastPacketTime = now;
                    RtlCopyMemory(item->Snapshot, oldest->SystemAddress, sizeof(item->Snapshot));
                }
            }
        }
    }
    ReleaseFrameListLock(port);
    ReleaseAssembly(port, assemblyIrql);

    if (item == nullptr) {
        ReleasePortCache(port);
        return nullptr;
    }
    item->Port = port;
    return item;
}

}  // namespace

// Collects under the locks, then sends. One clock reading serves the whole pass.
BOOLEAN RunResendPass()
{
    ResendWorkItem* chain = nullptr;
    BOOLEAN itemAvailable = TRUE;
    BOOLEAN watching = FALSE;
    auto now = static_cast<ULONG64>(QueryMicroseconds());

    LOCK_STATE_EX lockState;
    NdisAcquireRWLockRead(DriverGlobals.AdapterTableLock, &lockState, 0);
    for (LONG a = MAX_ADAPTERS - 1; a >= 0 && itemAvailable; --a) {
        FilterAdapter* adapter = DriverGlobals.AdapterTable[a];
        if (adapter == nullptr) {
            continue;
        }
        for (LONG s = MAX_STREAM_PORTS - 1; s >= 0 && itemAvailable; --s) {
            StreamPort* port = adapter->StreamPorts[s];
            if (port == nullptr) {
                continue;
            }
            if (ResendWorkItem* item = CollectRetry(port, now, &itemAvailable, &watching)) {
                item->Next = chain;
                chain = item;
            }
        }
    }
    NdisReleaseRWLock(DriverGlobals.AdapterTableLock, &lockState);

    // The newest item first: the reverse of the scan.
    while (chain != nullptr) {
        ResendWorkItem* item = chain;
        chain = item->Next;
        StreamPort* port = item->Port;
        auto* snapshot = reinterpret_cast<const FrameHeader*>(item->Snapshot + FRAME_PRIVATE_SIZE);
        RequestMissingPackets(port, snapshot, port->TemplateExtendedIds, port->HeaderTemplate);
        ReleasePortCache(port);
        ExFreeToNPagedLookasideList(&DriverGlobals.ResendWorkItemLookaside, item);
    }
    // A scan cut short for lack of a work item has more to do.
    return watching || !itemAvailable;
}

VOID ResendWorker(PVOID startContext)
{
    (void)startContext;
    while (ReadAcquire(&DriverGlobals.WorkerStop) == 0) {
        BOOLEAN watching = RunResendPass();
        if (!watching) {
            // Idle from here on, then one more look: a frame opened before the flag went up is
            // seen by that look, one opened after it sets the event.
            InterlockedExchange(&DriverGlobals.WorkerIdle, 1);
            watching = RunResendPass();
            if (!watching && ReadAcquire(&DriverGlobals.WorkerStop) == 0) {
                KeWaitForSingleObject(&DriverGlobals.WorkerWake, Executive, KernelMode, FALSE, nullptr);
            }
            InterlockedExchange(&DriverGlobals.WorkerIdle, 0);
        }
        if (watching) {
            LARGE_INTEGER interval;
            interval.QuadPart = WORKER_PASS_INTERVAL;
            KeDelayExecutionThread(KernelMode, FALSE, &interval);
        }
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

VOID WakeResendWorker()
{
    // A full barrier, as the worker's raising of the flag is: either its second look sees the
    // frame just counted, or this sees the flag.
    if (InterlockedCompareExchange(&DriverGlobals.WorkerIdle, 0, 1) == 1) {
        KeSetEvent(&DriverGlobals.WorkerWake, IO_NO_INCREMENT, FALSE);
    }
}
