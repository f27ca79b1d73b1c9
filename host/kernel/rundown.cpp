// The emulated kernel's run-down protection: a count of holders in steps of 2 with bit 0 set
// once run-down has begun, as the kernel keeps it. The checker holds acquisition and release to
// DISPATCH_LEVEL, the wait to PASSIVE_LEVEL without a spin lock, and reports a release without a
// holder, a re-initialisation of a reference still in use and a wait that never ends. Host only.
#include <chrono>

#include "host/kernel/kernel.h"
#include "host/kernel/kernel_private.h"
#include "host/verifier/checker.h"

namespace {

constexpr ULONG_PTR RUNDOWN_ACTIVE = 1;
constexpr ULONG_PTR RUNDOWN_HOLDER = 2;
constexpr int64_t RUNDOWN_POLL_INTERVAL = -1'000;   // 100 us, in 100 ns units
constexpr auto RUNDOWN_DEADLOCK_REPORT = std::chrono::seconds(10);

ULONG_PTR CountOf(PEX_RUNDOWN_REF runRef)
{
    return __atomic_load_n(&runRef->Count, __ATOMIC_ACQUIRE);
}

}  // namespace

VOID ExInitializeRundownProtection(PEX_RUNDOWN_REF runRef)
{
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "ExInitializeRundownProtection");
    __atomic_store_n(&runRef->Count, 0, __ATOMIC_RELEASE);
}

VOID ExReInitializeRundownProtection(PEX_RUNDOWN_REF runRef)
{
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "ExReInitializeRundownProtection");
    ULONG_PTR count = CountOf(runRef);
    if (count != RUNDOWN_ACTIVE) {
        host::ReportViolation(host::Rule::LockMisuse,
            "ExReInitializeRundownProtection of %p, which is not run down (%lu holders%s)", static_cast<void*>(runRef),
            static_cast<unsigned long>(count / RUNDOWN_HOLDER), (count & RUNDOWN_ACTIVE) != 0 ? ", run-down begun" : "");
    }
    __atomic_store_n(&runRef->Count, 0, __ATOMIC_RELEASE);
}

BOOLEAN ExAcquireRundownProtection(PEX_RUNDOWN_REF runRef)
{
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "ExAcquireRundownProtection");
    ULONG_PTR count = CountOf(runRef);
    do {
        if ((count & RUNDOWN_ACTIVE) != 0) {
            return FALSE;
        }
    } while (!__atomic_compare_exchange_n(&runRef->Count, &count, count + RUNDOWN_HOLDER, true, __ATOMIC_ACQ_REL,
        __ATOMIC_ACQUIRE));
    return TRUE;
}

VOID ExReleaseRundownProtection(PEX_RUNDOWN_REF runRef)
{
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "ExReleaseRundownProtection");
    ULONG_PTR count = CountOf(runRef);
    do {
        if (count < RUNDOWN_HOLDER) {
            host::ReportViolation(host::Rule::LockMisuse, "ExReleaseRundownProtection of %p, which nobody holds",
                static_cast<void*>(runRef));
            return;
        }
    } while (!__atomic_compare_exchange_n(&runRef->Count, &count, count - RUNDOWN_HOLDER, true, __ATOMIC_ACQ_REL,
        __ATOMIC_ACQUIRE));
}

VOID ExWaitForRundownProtectionRelease(PEX_RUNDOWN_REF runRef)
{
    if (KeGetCurrentIrql() >= DISPATCH_LEVEL || host::LocksHeldByThisThread() != 0) {
        host::ReportViolation(host::Rule::WaitAtDispatch, "ExWaitForRundownProtectionRelease at IRQL %u%s%s",
            unsigned(KeGetCurrentIrql()), host::LocksHeldByThisThread() != 0 ? " holding " : "",
            host::detail::HeldLocksOfThisThread().c_str());
    } else {
        host::RequireIrqlAtMost(PASSIVE_LEVEL, "ExWaitForRundownProtectionRelease");
    }
    __atomic_fetch_or(&runRef->Count, RUNDOWN_ACTIVE, __ATOMIC_ACQ_REL);
    auto reportAt = std::chrono::steady_clock::now() + RUNDOWN_DEADLOCK_REPORT;
    while (CountOf(runRef) != RUNDOWN_ACTIVE) {
        if (std::chrono::steady_clock::now() > reportAt) {
            host::ReportViolation(host::Rule::LockMisuse,
                "ExWaitForRundownProtectionRelease of %p: waited more than 10 s for %lu holders (deadlock?)",
                static_cast<void*>(runRef), static_cast<unsigned long>(CountOf(runRef) / RUNDOWN_HOLDER));
            reportAt = std::chrono::steady_clock::now() + RUNDOWN_DEADLOCK_REPORT;
        }
        host::detail::Delay(RUNDOWN_POLL_INTERVAL);
    }
}
