// The verifier's rules: each one fires on a deliberately wrong call sequence, and the reports
// say what and where.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "host/checker.h"
#include "host/faults.h"
#include "host/kernel.h"
#include "platform/ndis.h"

namespace {

using host::ExpectViolation;
using host::Rule;

constexpr ULONG TestTag = host::TagOf("Tchk");

class CheckerTest : public ::testing::Test {
protected:
    void TearDown() override { host::CheckAndResetKernel("end of checker test"); }
};

// A named helper, so that a report can be seen to name a local (non-exported) function.
void FreeTwiceInNamedHelper(void* block)
{
    ExFreePoolWithTag(block, TestTag);
    ExFreePoolWithTag(block, TestTag);
}

void EndAtOnce(PVOID) {}

TEST_F(CheckerTest, AllocatingPagedPoolAtDispatchLevelIsIrqlTooHigh)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    PVOID block;
    {
        ExpectViolation expect(Rule::IrqlTooHigh);
        block = ExAllocatePoolWithTag(PagedPool, 16, TestTag);
        ASSERT_TRUE(expect.Fired());
        EXPECT_NE(expect.Caught()[0].what.find("ExAllocatePoolWithTag"), std::string::npos);
    }
    KeLowerIrql(old);
    ExFreePoolWithTag(block, TestTag);
}

TEST_F(CheckerTest, CreatingAThreadAtDispatchLevelIsIrqlTooHigh)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    host::FailAlways(host::Fault::ThreadCreation);
    HANDLE handle = nullptr;
    {
        ExpectViolation expect(Rule::IrqlTooHigh);
        PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, EndAtOnce, nullptr);
        EXPECT_TRUE(expect.Fired());
    }
    KeLowerIrql(old);
}

TEST_F(CheckerTest, DelayingWhileHoldingASpinLockIsWaitAtDispatch)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
    {
        ExpectViolation expect(Rule::WaitAtDispatch);
        LARGE_INTEGER interval;
        interval.QuadPart = -10;
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
        EXPECT_TRUE(expect.Fired());
    }
    KeReleaseSpinLock(&lock, old);
}

TEST_F(CheckerTest, SleepingInNdisAtDispatchLevelIsWaitAtDispatch)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    {
        ExpectViolation expect(Rule::WaitAtDispatch);
        NdisMSleep(1);
        EXPECT_TRUE(expect.Fired());
    }
    KeLowerIrql(old);
}

TEST_F(CheckerTest, ANdisCallWithASpinLockHeldIsSpinLockHeldAcrossCall)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
    {
        ExpectViolation expect(Rule::SpinLockHeldAcrossCall);
        host::RequireNoSpinLockHeld("NdisFSendNetBufferLists");
        ASSERT_TRUE(expect.Fired());
        EXPECT_NE(expect.Caught()[0].what.find("NdisFSendNetBufferLists"), std::string::npos);
    }
    KeReleaseSpinLock(&lock, old);
    host::RequireNoSpinLockHeld("NdisFSendNetBufferLists");   // nothing held: no report
}

TEST_F(CheckerTest, ANdisCallUnderTheRwLockIsSpinLockHeldAcrossCall)
{
    PNDIS_RW_LOCK_EX lock = NdisAllocateRWLock(nullptr);
    LOCK_STATE_EX state;
    NdisAcquireRWLockRead(lock, &state, 0);
    {
        ExpectViolation expect(Rule::SpinLockHeldAcrossCall);
        host::RequireNoSpinLockHeld("IofCompleteRequest");
        EXPECT_TRUE(expect.Fired());
    }
    NdisReleaseRWLock(lock, &state);
    NdisFreeRWLock(lock);
}

TEST_F(CheckerTest, TwoSpinLocksTakenInBothOrdersAreLockOrder)
{
    KSPIN_LOCK a, b;
    KeInitializeSpinLock(&a);
    KeInitializeSpinLock(&b);
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&a);
    KeAcquireSpinLockAtDpcLevel(&b);
    KeReleaseSpinLockFromDpcLevel(&b);
    KeReleaseSpinLock(&a, old);

    old = KeAcquireSpinLockRaiseToDpc(&b);
    {
        ExpectViolation expect(Rule::LockOrder);
        KeAcquireSpinLockAtDpcLevel(&a);
        ASSERT_EQ(expect.Caught().size(), 1u);
        EXPECT_NE(expect.Caught()[0].what.find("opposite order"), std::string::npos);
        EXPECT_NE(expect.Caught()[0].where.find("TestBody"), std::string::npos) << expect.Caught()[0].where;
    }
    KeReleaseSpinLockFromDpcLevel(&a);
    KeReleaseSpinLock(&b, old);
}

TEST_F(CheckerTest, ACycleThroughThreeLocksOnTwoThreadsIsLockOrder)
{
    KSPIN_LOCK a, b;
    KeInitializeSpinLock(&a);
    KeInitializeSpinLock(&b);
    PNDIS_RW_LOCK_EX table = NdisAllocateRWLock(nullptr);
    // Another thread: table -> a -> b.
    std::thread([&] {
        LOCK_STATE_EX state;
        NdisAcquireRWLockRead(table, &state, 0);
        KeAcquireSpinLockAtDpcLevel(&a);
        KeAcquireSpinLockAtDpcLevel(&b);
        KeReleaseSpinLockFromDpcLevel(&b);
        KeReleaseSpinLockFromDpcLevel(&a);
        NdisReleaseRWLock(table, &state);
    }).join();
    // This thread: b -> table closes the cycle.
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&b);
    LOCK_STATE_EX state;
    {
        ExpectViolation expect(Rule::LockOrder);
        NdisAcquireRWLockWrite(table, &state, NDIS_RWL_AT_DISPATCH_LEVEL);
        EXPECT_TRUE(expect.Fired());
    }
    NdisReleaseRWLock(table, &state);
    KeReleaseSpinLock(&b, old);
    NdisFreeRWLock(table);
}

TEST_F(CheckerTest, RecursiveReadOfTheRwLockIsNotALockOrderEdge)
{
    PNDIS_RW_LOCK_EX lock = NdisAllocateRWLock(nullptr);
    KSPIN_LOCK spin;
    KeInitializeSpinLock(&spin);
    LOCK_STATE_EX outer, inner;
    NdisAcquireRWLockRead(lock, &outer, 0);
    KeAcquireSpinLockAtDpcLevel(&spin);
    NdisAcquireRWLockRead(lock, &inner, NDIS_RWL_AT_DISPATCH_LEVEL);   // recursive read: allowed, no edge spin -> lock
    NdisReleaseRWLock(lock, &inner);
    KeReleaseSpinLockFromDpcLevel(&spin);
    NdisReleaseRWLock(lock, &outer);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    NdisFreeRWLock(lock);
}

TEST_F(CheckerTest, FreeingTheMemoryOfLocksForgetsTheirOrder)
{
    auto* locks = static_cast<PKSPIN_LOCK>(ExAllocatePoolWithTag(NonPagedPoolNx, 2 * sizeof(KSPIN_LOCK), TestTag));
    KSPIN_LOCK outside;
    KeInitializeSpinLock(&locks[0]);
    KeInitializeSpinLock(&locks[1]);
    KeInitializeSpinLock(&outside);
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&locks[0]);
    KeAcquireSpinLockAtDpcLevel(&locks[1]);
    KeAcquireSpinLockAtDpcLevel(&outside);
    KeReleaseSpinLockFromDpcLevel(&outside);
    KeReleaseSpinLockFromDpcLevel(&locks[1]);
    KeReleaseSpinLock(&locks[0], old);
    EXPECT_EQ(host::LockOrderEdges(), 3u);   // [0] -> [1], [0] -> outside, [1] -> outside
    ExFreePoolWithTag(locks, TestTag);
    EXPECT_EQ(host::LockOrderEdges(), 0u);   // every edge touched a freed lock
}

TEST_F(CheckerTest, RecursiveSpinLockAcquisitionIsLockMisuseAndDoesNotHang)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
    {
        ExpectViolation expect(Rule::LockMisuse);
        KeAcquireSpinLockAtDpcLevel(&lock);
        EXPECT_TRUE(expect.Fired());
        KeReleaseSpinLockFromDpcLevel(&lock);
        EXPECT_EQ(expect.Caught().size(), 1u);
    }
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(lock, 0u);
}

TEST_F(CheckerTest, ReleasingASpinLockNotHeldIsLockMisuse)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    {
        ExpectViolation expect(Rule::LockMisuse);
        KeReleaseSpinLock(&lock, old);
        EXPECT_TRUE(expect.Fired());
    }
}

TEST_F(CheckerTest, ReleasingAnotherThreadsSpinLockIsLockMisuse)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
    std::thread([&] {
        KIRQL otherOld;
        KeRaiseIrql(DISPATCH_LEVEL, &otherOld);
        ExpectViolation expect(Rule::LockMisuse);
        KeReleaseSpinLockFromDpcLevel(&lock);
        EXPECT_TRUE(expect.Fired());
        KeLowerIrql(otherOld);
    }).join();
    KeReleaseSpinLock(&lock, old);
}

TEST_F(CheckerTest, AcquiringAnUninitialisedSpinLockIsLockMisuse)
{
    auto* lock = static_cast<PKSPIN_LOCK>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(KSPIN_LOCK), TestTag));
    KIRQL old;
    {
        ExpectViolation expect(Rule::LockMisuse);
        old = KeAcquireSpinLockRaiseToDpc(lock);   // the pool's fill pattern, not zero
        EXPECT_TRUE(expect.Fired());
    }
    KeReleaseSpinLock(lock, old);
    ExFreePoolWithTag(lock, TestTag);
}

TEST_F(CheckerTest, WriteAcquisitionUnderOwnReadIsLockMisuse)
{
    PNDIS_RW_LOCK_EX lock = NdisAllocateRWLock(nullptr);
    LOCK_STATE_EX read, write;
    NdisAcquireRWLockRead(lock, &read, 0);
    {
        ExpectViolation expect(Rule::LockMisuse);
        NdisAcquireRWLockWrite(lock, &write, NDIS_RWL_AT_DISPATCH_LEVEL);
        EXPECT_TRUE(expect.Fired());
    }
    NdisReleaseRWLock(lock, &write);
    NdisReleaseRWLock(lock, &read);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    NdisFreeRWLock(lock);
}

TEST_F(CheckerTest, TheDispatchLevelFlagAtPassiveLevelIsLockMisuse)
{
    PNDIS_RW_LOCK_EX lock = NdisAllocateRWLock(nullptr);
    LOCK_STATE_EX state;
    {
        ExpectViolation expect(Rule::LockMisuse);
        NdisAcquireRWLockRead(lock, &state, NDIS_RWL_AT_DISPATCH_LEVEL);
        EXPECT_TRUE(expect.Fired());
    }
    NdisReleaseRWLock(lock, &state);
    NdisFreeRWLock(lock);
}

TEST_F(CheckerTest, LoweringTheIrqlWithASpinLockHeldIsLockMisuse)
{
    KSPIN_LOCK a, b;
    KeInitializeSpinLock(&a);
    KeInitializeSpinLock(&b);
    KIRQL oldA = KeAcquireSpinLockRaiseToDpc(&a);
    KIRQL oldB = KeAcquireSpinLockRaiseToDpc(&b);
    {
        ExpectViolation expect(Rule::LockMisuse);
        KeReleaseSpinLock(&a, oldA);   // out of order: lowers to PASSIVE with b still held
        EXPECT_TRUE(expect.Fired());
    }
    KeRaiseIrql(DISPATCH_LEVEL, &oldA);
    KeReleaseSpinLock(&b, oldB);   // b was taken at DISPATCH_LEVEL: its release stays there
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeLowerIrql(oldA);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(CheckerTest, RaisingToALowerIrqlIsLockMisuse)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    {
        ExpectViolation expect(Rule::LockMisuse);
        KIRQL ignored;
        KeRaiseIrql(PASSIVE_LEVEL, &ignored);
        EXPECT_TRUE(expect.Fired());
    }
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(CheckerTest, AHandlerLeavingASpinLockHeldIsIrqlNotRestoredAndLockMisuse)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    ExpectViolation irql(Rule::IrqlNotRestored);
    ExpectViolation misuse(Rule::LockMisuse);
    host::CallHandlerAt(PASSIVE_LEVEL, "FilterRestart", [&] { KeAcquireSpinLockRaiseToDpc(&lock); });
    ASSERT_TRUE(irql.Fired());
    EXPECT_NE(irql.Caught()[0].what.find("FilterRestart"), std::string::npos);
    EXPECT_TRUE(misuse.Fired());
    // The machine took the lock back and restored the caller's IRQL.
    EXPECT_EQ(lock, 0u);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(host::LocksHeldByThisThread(), 0);
}

TEST_F(CheckerTest, AHandlerReturningAtAnotherIrqlIsIrqlNotRestored)
{
    ExpectViolation expect(Rule::IrqlNotRestored);
    host::CallHandlerAt(DISPATCH_LEVEL, "FilterReceiveNetBufferLists", [] { KeLowerIrql(PASSIVE_LEVEL); });
    EXPECT_TRUE(expect.Fired());
}

TEST_F(CheckerTest, AHandlerRunsAtTheIrqlItIsCalledAt)
{
    KIRQL seen = HIGH_LEVEL;
    host::CallHandlerAt(DISPATCH_LEVEL, "FilterReceiveNetBufferLists", [&] { seen = KeGetCurrentIrql(); });
    EXPECT_EQ(seen, DISPATCH_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(CheckerTest, MemoryLeftUnderATagIsPoolLeak)
{
    PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 24, TestTag);
    {
        ExpectViolation expect(Rule::PoolLeak);
        EXPECT_EQ(host::CheckNoPoolUnderTag(TestTag, "unload"), 1u);
        ASSERT_TRUE(expect.Fired());
        const std::string& what = expect.Caught()[0].what;
        EXPECT_NE(what.find("24 bytes"), std::string::npos) << what;
        EXPECT_NE(what.find("'Tchk'"), std::string::npos) << what;
        EXPECT_NE(what.find("TestBody"), std::string::npos) << "allocation stack: " << what;
    }
    ExFreePoolWithTag(block, TestTag);
    EXPECT_EQ(host::CheckNoPoolUnderTag(TestTag, "unload"), 0u);
}

TEST_F(CheckerTest, FreeingTwiceIsPoolMisuseNamingTheCaller)
{
    PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 8, TestTag);
    ExpectViolation expect(Rule::PoolMisuse);
    FreeTwiceInNamedHelper(block);
    ASSERT_EQ(expect.Caught().size(), 1u);
    EXPECT_NE(expect.Caught()[0].what.find("double free"), std::string::npos) << expect.Caught()[0].what;
    EXPECT_NE(expect.Caught()[0].where.find("FreeTwiceInNamedHelper"), std::string::npos) << expect.Caught()[0].where;
}

TEST_F(CheckerTest, FreeingWithTheWrongTagIsPoolMisuse)
{
    PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 8, TestTag);
    ExpectViolation expect(Rule::PoolMisuse);
    ExFreePoolWithTag(block, host::TagOf("Oops"));
    EXPECT_TRUE(expect.Fired());
    EXPECT_EQ(host::PoolUsageOfTag(TestTag).blocks, 0u);
}

TEST_F(CheckerTest, FreeingWhatIsNotAPoolBlockIsPoolMisuse)
{
    char onStack[16];
    auto* block = static_cast<char*>(ExAllocatePoolWithTag(NonPagedPoolNx, 64, TestTag));
    {
        ExpectViolation expect(Rule::PoolMisuse);
        ExFreePoolWithTag(onStack, TestTag);
        ExFreePoolWithTag(block + 8, TestTag);
        NdisFreeMemory(nullptr, 0, 0);
        EXPECT_EQ(expect.Caught().size(), 3u);
    }
    ExFreePoolWithTag(block, TestTag);
}

TEST_F(CheckerTest, DeletingALookasideWithAnEntryOutIsLookasideOutstanding)
{
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, 32, TestTag, 0);
    PVOID entry = ExAllocateFromNPagedLookasideList(&list);
    {
        ExpectViolation expect(Rule::LookasideOutstanding);
        ExDeleteNPagedLookasideList(&list);
        EXPECT_TRUE(expect.Fired());
    }
    ExFreePoolWithTag(entry, TestTag);   // the entry is still a pool block of the list's tag
}

TEST_F(CheckerTest, DeletingALookasideTwiceIsPoolMisuse)
{
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, 32, TestTag, 0);
    ExDeleteNPagedLookasideList(&list);
    ExpectViolation expect(Rule::PoolMisuse);
    ExDeleteNPagedLookasideList(&list);
    EXPECT_TRUE(expect.Fired());
}

TEST_F(CheckerTest, AThreadHandleNotClosedIsHandleLeakAtReset)
{
    HANDLE handle = nullptr;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, EndAtOnce, nullptr),
        STATUS_SUCCESS);
    ExpectViolation expect(Rule::HandleLeak);
    host::CheckAndResetKernel("unload");
    ASSERT_EQ(expect.Caught().size(), 1u);
    EXPECT_NE(expect.Caught()[0].what.find("still open"), std::string::npos) << expect.Caught()[0].what;
    EXPECT_EQ(host::OpenKernelHandles(), 0);
}

TEST_F(CheckerTest, AReferenceNotReleasedIsHandleLeakAtReset)
{
    HANDLE handle = nullptr;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, EndAtOnce, nullptr),
        STATUS_SUCCESS);
    PVOID thread = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr, KernelMode, &thread, nullptr), STATUS_SUCCESS);
    ZwClose(handle);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(host::ReferencedThreadObjects(), 1);
    ExpectViolation expect(Rule::HandleLeak);
    host::CheckAndResetKernel("unload");
    EXPECT_EQ(expect.Caught().size(), 1u);
}

TEST_F(CheckerTest, ClosingAHandleTwiceIsReported)
{
    HANDLE handle = nullptr;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, EndAtOnce, nullptr),
        STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    ExpectViolation expect(Rule::HandleLeak);
    EXPECT_EQ(ZwClose(handle), STATUS_INVALID_HANDLE);
    EXPECT_TRUE(expect.Fired());
}

TEST_F(CheckerTest, LeftoversAreReportedAtResetAndTheNextMachineStartsClean)
{
    PNDIS_RW_LOCK_EX lock = NdisAllocateRWLock(nullptr);
    ASSERT_NE(lock, nullptr);
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, 32, TestTag, 0);
    REGHANDLE provider = 0;
    EtwRegister(nullptr, nullptr, nullptr, &provider);
    KSPIN_LOCK spin;
    KeInitializeSpinLock(&spin);
    KeAcquireSpinLockRaiseToDpc(&spin);
    ExAllocatePoolWithTag(NonPagedPoolNx, 10, TestTag);
    host::FailAlways(host::Fault::PoolAllocation);
    {
        ExpectViolation handles(Rule::HandleLeak);   // the RW lock, the ETW registration
        ExpectViolation leaks(Rule::PoolLeak);       // the lookaside list
        ExpectViolation locks(Rule::LockMisuse);     // the spin lock still held
        ExpectViolation irql(Rule::IrqlNotRestored); // and the IRQL it raised
        host::CheckAndResetKernel("unload");
        EXPECT_EQ(handles.Caught().size(), 2u);
        EXPECT_EQ(leaks.Caught().size(), 1u);
        EXPECT_EQ(locks.Caught().size(), 1u);
        EXPECT_EQ(irql.Caught().size(), 1u);
    }
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(host::LocksHeldByThisThread(), 0);
    EXPECT_EQ(host::PoolUsageOfTag(TestTag).blocks, 0u);
    EXPECT_EQ(host::CallCount(host::Fault::PoolAllocation), 0u);
    EXPECT_NE(ExAllocatePoolWithTag(NonPagedPoolNx, 10, TestTag), nullptr);   // faults disarmed
    host::ResetPool();
}

TEST_F(CheckerTest, ViolationsGoToTheInnermostScopeOfTheirRuleOnAnyThread)
{
    ExpectViolation outer(Rule::PoolMisuse);
    {
        ExpectViolation inner(Rule::LockOrder);
        std::thread([] { ExFreePoolWithTag(nullptr, TestTag); }).join();
        EXPECT_FALSE(inner.Fired());
    }
    EXPECT_EQ(outer.Caught().size(), 1u);
    {
        ExpectViolation inner(Rule::PoolMisuse);
        ExFreePoolWithTag(nullptr, TestTag);
        EXPECT_EQ(inner.Caught().size(), 1u);
    }
    EXPECT_EQ(outer.Caught().size(), 1u);
}

TEST_F(CheckerTest, AnUnexpectedViolationGoesToTheHandler)
{
    std::vector<host::Violation> seen;
    host::ViolationHandler previous =
        host::SetViolationHandler([&](const host::Violation& violation) { seen.push_back(violation); });
    ExFreePoolWithTag(nullptr, TestTag);
    host::SetViolationHandler(previous);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].rule, Rule::PoolMisuse);
    EXPECT_STREQ(host::RuleName(seen[0].rule), "PoolMisuse");
}

TEST(CheckerDeathTest, WithoutAHandlerAViolationPrintsAndAborts)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            host::SetViolationHandler({});
            host::ReportViolation(Rule::PoolMisuse, "free of %p", static_cast<void*>(nullptr));
        },
        "GvspFilter checker: PoolMisuse: free of .*\n  at ");
}

}  // namespace
