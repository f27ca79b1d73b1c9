// Cancel-safe IRP queues: the system's half of a queue whose list and lock the driver keeps. The
// system owns the cancel routine of a queued IRP, so a removal and a cancellation never both
// take the IRP; the driver's callbacks are called under the lock discipline Microsoft documents,
// and the misuses the documentation forbids are reported (CsqMisuse). Host only.
#include <map>
#include <mutex>

#include "host/io/io_internal.h"
#include "host/kernel/kernel.h"
#include "host/verifier/checker.h"
#include "platform/wdm.h"

namespace host {
namespace {

// The IRPs queued by IoCsqInsertIrpEx and not yet taken out, with their queues. The mutex is
// never held while a callback of the driver runs.
std::mutex QueuedLock;
std::map<PIRP, PIO_CSQ> Queued;

PIO_CSQ QueueOf(PIRP irp)
{
    std::lock_guard<std::mutex> guard(QueuedLock);
    auto it = Queued.find(irp);
    return it == Queued.end() ? nullptr : it->second;
}

void RememberQueued(PIRP irp, PIO_CSQ csq)
{
    std::lock_guard<std::mutex> guard(QueuedLock);
    Queued[irp] = csq;
}

// The IRQL and the queue of a call.
bool CheckQueue(PIO_CSQ csq, const char* routine)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, routine);
    if (csq == nullptr || csq->Type != IO_TYPE_CSQ_EX) {
        ReportViolation(Rule::CsqMisuse, "%s on queue %p, which IoCsqInitializeEx did not initialise", routine,
            static_cast<void*>(csq));
        return false;
    }
    return true;
}

// The queue's lock through the driver's callbacks: each must take, or give back, exactly one lock.
KIRQL AcquireQueueLock(PIO_CSQ csq)
{
    int before = LocksHeldByThisThread();
    KIRQL irql = PASSIVE_LEVEL;
    csq->CsqAcquireLock(csq, &irql);
    if (LocksHeldByThisThread() != before + 1) {
        ReportViolation(Rule::CsqMisuse, "the CsqAcquireLock callback of queue %p returned holding %d locks more "
            "instead of one: the queue's callbacks run under the lock it takes", static_cast<void*>(csq),
            LocksHeldByThisThread() - before);
    }
    return irql;
}

void ReleaseQueueLock(PIO_CSQ csq, KIRQL irql)
{
    int before = LocksHeldByThisThread();
    csq->CsqReleaseLock(csq, irql);
    if (LocksHeldByThisThread() != before - 1) {
        ReportViolation(Rule::CsqMisuse, "the CsqReleaseLock callback of queue %p gave back %d locks instead of "
            "the one CsqAcquireLock took", static_cast<void*>(csq), before - LocksHeldByThisThread());
    }
}

// Takes a claimed IRP out, under the queue's lock: the driver unlinks it, the context forgets it.
void TakeOut(PIO_CSQ csq, PIRP irp)
{
    csq->CsqRemoveIrp(csq, irp);
    io_internal::ForgetQueuedIrp(irp);
    auto* context = static_cast<PIO_CSQ_IRP_CONTEXT>(irp->Tail.Overlay.DriverContext[3]);
    if (context != nullptr && context->Type == IO_TYPE_CSQ_IRP_CONTEXT) {
        context->Irp = nullptr;
    }
    irp->Tail.Overlay.DriverContext[3] = nullptr;
}

// Takes the IRP out if this call claims its cancel routine; a cancel routine that claimed it
// first takes it out itself once it has the lock. Under the queue's lock.
bool ClaimAndTakeOut(PIO_CSQ csq, PIRP irp)
{
    if (IoSetCancelRoutine(irp, nullptr) == nullptr) {
        return false;
    }
    TakeOut(csq, irp);
    return true;
}

// The cancel routine of every queued IRP: DriverContext[3] leads to the queue (through the
// IRP's context, if it was inserted with one).
VOID CancelQueuedIrp(PDEVICE_OBJECT, PIRP irp)
{
    IoReleaseCancelSpinLock(irp->CancelIrql);
    auto* context = static_cast<PIO_CSQ_IRP_CONTEXT>(irp->Tail.Overlay.DriverContext[3]);
    PIO_CSQ csq = context->Type == IO_TYPE_CSQ_IRP_CONTEXT ? context->Csq : reinterpret_cast<PIO_CSQ>(context);
    KIRQL irql = AcquireQueueLock(csq);
    TakeOut(csq, irp);
    ReleaseQueueLock(csq, irql);
    csq->CsqCompleteCanceledIrp(csq, irp);
}

}  // namespace

void io_internal::ForgetQueuedIrp(PIRP irp)
{
    std::lock_guard<std::mutex> guard(QueuedLock);
    if (irp == nullptr) {
        Queued.clear();
    } else {
        Queued.erase(irp);
    }
}

}  // namespace host

using host::ReportViolation;
using host::Rule;

NTSTATUS IoCsqInitializeEx(PIO_CSQ csq, PIO_CSQ_INSERT_IRP_EX csqInsertIrp, PIO_CSQ_REMOVE_IRP csqRemoveIrp,
    PIO_CSQ_PEEK_NEXT_IRP csqPeekNextIrp, PIO_CSQ_ACQUIRE_LOCK csqAcquireLock, PIO_CSQ_RELEASE_LOCK csqReleaseLock,
    PIO_CSQ_COMPLETE_CANCELED_IRP csqCompleteCanceledIrp)
{
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "IoCsqInitializeEx");
    *csq = IO_CSQ{IO_TYPE_CSQ_EX, csqInsertIrp, csqRemoveIrp, csqPeekNextIrp, csqAcquireLock, csqReleaseLock,
        csqCompleteCanceledIrp, nullptr};
    return STATUS_SUCCESS;
}

NTSTATUS IoCsqInsertIrpEx(PIO_CSQ csq, PIRP irp, PIO_CSQ_IRP_CONTEXT context, PVOID insertContext)
{
    if (!host::CheckQueue(csq, "IoCsqInsertIrpEx")) {
        return STATUS_INVALID_PARAMETER;
    }
    if (PIO_CSQ queue = host::QueueOf(irp)) {
        ReportViolation(Rule::CsqMisuse, "IRP %p inserted into queue %p while it is still queued in queue %p",
            static_cast<void*>(irp), static_cast<void*>(csq), static_cast<void*>(queue));
        return STATUS_INVALID_PARAMETER;
    }
    if (context != nullptr && context->Irp != nullptr && host::QueueOf(context->Irp) != nullptr) {
        ReportViolation(Rule::CsqMisuse, "IRP context %p reused for IRP %p while its IRP %p is still queued",
            static_cast<void*>(context), static_cast<void*>(irp), static_cast<void*>(context->Irp));
        return STATUS_INVALID_PARAMETER;
    }
    if (context != nullptr) {
        *context = IO_CSQ_IRP_CONTEXT{IO_TYPE_CSQ_IRP_CONTEXT, irp, csq};
        irp->Tail.Overlay.DriverContext[3] = context;
    } else {
        irp->Tail.Overlay.DriverContext[3] = csq;
    }

    KIRQL irql = host::AcquireQueueLock(csq);
    NTSTATUS status = csq->CsqInsertIrp(csq, irp, insertContext);
    if (!NT_SUCCESS(status)) {
        irp->Tail.Overlay.DriverContext[3] = nullptr;
        if (context != nullptr) {
            context->Irp = nullptr;
        }
        host::ReleaseQueueLock(csq, irql);
        return status;
    }
    host::RememberQueued(irp, csq);
    IoMarkIrpPending(irp);
    IoSetCancelRoutine(irp, host::CancelQueuedIrp);
    // Cancelled before the cancel routine was in place: taken out again here, unless the cancel
    // routine was called meanwhile, which then waits for the lock and takes it out itself.
    if (__atomic_load_n(&irp->Cancel, __ATOMIC_ACQUIRE) && host::ClaimAndTakeOut(csq, irp)) {
        host::ReleaseQueueLock(csq, irql);
        csq->CsqCompleteCanceledIrp(csq, irp);
        return status;
    }
    host::ReleaseQueueLock(csq, irql);
    return status;
}

PIRP IoCsqRemoveNextIrp(PIO_CSQ csq, PVOID peekContext)
{
    if (!host::CheckQueue(csq, "IoCsqRemoveNextIrp")) {
        return nullptr;
    }
    KIRQL irql = host::AcquireQueueLock(csq);
    PIRP irp = csq->CsqPeekNextIrp(csq, nullptr, peekContext);
    while (irp != nullptr) {
        if (host::QueueOf(irp) != csq) {
            ReportViolation(Rule::CsqMisuse, "the CsqPeekNextIrp callback of queue %p returned IRP %p, which is not "
                "queued there (did CsqRemoveIrp leave it linked?)", static_cast<void*>(csq), static_cast<void*>(irp));
            irp = nullptr;
            break;
        }
        if (host::ClaimAndTakeOut(csq, irp)) {
            break;
        }
        irp = csq->CsqPeekNextIrp(csq, irp, peekContext);
    }
    host::ReleaseQueueLock(csq, irql);
    return irp;
}

PIRP IoCsqRemoveIrp(PIO_CSQ csq, PIO_CSQ_IRP_CONTEXT context)
{
    if (!host::CheckQueue(csq, "IoCsqRemoveIrp")) {
        return nullptr;
    }
    if (context->Type != IO_TYPE_CSQ_IRP_CONTEXT || context->Csq != csq) {
        ReportViolation(Rule::CsqMisuse, "IoCsqRemoveIrp on queue %p with context %p, which IoCsqInsertIrpEx filled "
            "for another queue or never", static_cast<void*>(csq), static_cast<void*>(context));
        return nullptr;
    }
    KIRQL irql = host::AcquireQueueLock(csq);
    PIRP irp = context->Irp;
    if (irp == nullptr || !host::ClaimAndTakeOut(csq, irp)) {
        irp = nullptr;
    }
    host::ReleaseQueueLock(csq, irql);
    return irp;
}
