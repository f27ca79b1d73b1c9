// The emulated kernel where the driver's own tests do not prove it: locks exclude other threads,
// IRQL is per thread, new pool is not zeroed, and events wake their waiter and reset as their
// type says. (IRQL raised by spin locks, pool accounting and thread handles are crossed by the
// checker's table and every driver test's leak checks; the virtual clock and a worker sleeping on
// it by the worker's tests, which pin every retry's time.)
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "host/kernel/kernel.h"
#include "host/verifier/checker.h"
#include "platform/ndis.h"

namespace {

constexpr ULONG TestTag = host::TagOf("Tker");

class KernelTest : public ::testing::Test {
protected:
    void TearDown() override { host::CheckAndResetKernel("end of kernel test"); }
};

// Polls `condition` for up to 5 s of real time.
template <typename Condition>
bool Eventually(Condition condition)
{
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > until) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// ---- IRQL and spin locks ------------------------------------------------------------------------------
TEST_F(KernelTest, TheIrqlIsPerThread)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    KIRQL other = HIGH_LEVEL;
    std::thread([&] { other = KeGetCurrentIrql(); }).join();
    EXPECT_EQ(other, PASSIVE_LEVEL);
    KeLowerIrql(old);
}

TEST_F(KernelTest, ASpinLockExcludesOtherThreads)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    long counter = 0;   // deliberately not atomic: the lock is the only protection
    std::atomic<int> wrongIrql{0};
    constexpr int Threads = 4;
    constexpr int Increments = 20000;
    std::vector<std::thread> threads;
    for (int t = 0; t < Threads; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < Increments; ++i) {
                KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
                if (KeGetCurrentIrql() != DISPATCH_LEVEL) {
                    ++wrongIrql;
                }
                long value = counter;
                if ((i & 255) == 0) {
                    std::this_thread::yield();   // widen the window a broken lock would lose an update in
                }
                counter = value + 1;
                KeReleaseSpinLock(&lock, old);
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(counter, long(Threads) * Increments);
    EXPECT_EQ(wrongIrql.load(), 0);
}

// ---- The NDIS reader/writer lock ------------------------------------------------------------------------
// The holder keeps the lock while a second thread asks for it: reads share, a write excludes
// and waits; a recursive read is granted even with a writer waiting (no deadlock).
TEST_F(KernelTest, RwLockReadsShareAndAWriteExcludesAndWaits)
{
    const struct {
        bool holderWrites, contenderWrites, contenderEntersWhileHeld;
    } cases[] = {{false, false, true}, {true, false, false}, {false, true, false}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "holder writes " << c.holderWrites << ", contender writes "
                                        << c.contenderWrites);
        PNDIS_RW_LOCK_EX lock = NdisAllocateRWLock(nullptr);
        ASSERT_NE(lock, nullptr);
        LOCK_STATE_EX held;
        c.holderWrites ? NdisAcquireRWLockWrite(lock, &held, 0) : NdisAcquireRWLockRead(lock, &held, 0);
        EXPECT_EQ(held.OldIrql, PASSIVE_LEVEL);
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
        std::atomic<bool> entered{false};
        std::thread contender([&] {
            LOCK_STATE_EX state;
            c.contenderWrites ? NdisAcquireRWLockWrite(lock, &state, 0) : NdisAcquireRWLockRead(lock, &state, 0);
            entered = true;
            NdisReleaseRWLock(lock, &state);
        });
        if (c.contenderEntersWhileHeld) {
            EXPECT_TRUE(Eventually([&] { return entered.load(); }));
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            EXPECT_FALSE(entered.load());
        }
        if (!c.holderWrites) {
            LOCK_STATE_EX again;
            NdisAcquireRWLockRead(lock, &again, NDIS_RWL_AT_DISPATCH_LEVEL);
            EXPECT_EQ(again.OldIrql, DISPATCH_LEVEL);
            NdisReleaseRWLock(lock, &again);
            EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
        }
        NdisReleaseRWLock(lock, &held);
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
        contender.join();
        EXPECT_TRUE(entered.load());
        NdisFreeRWLock(lock);
    }
}

// ---- Pool --------------------------------------------------------------------------------------------
TEST_F(KernelTest, NewPoolIsNotZeroedAndIsKnownAsPool)
{
    auto* block = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPoolNx, 64, TestTag));
    ASSERT_NE(block, nullptr);
    bool anyZero = false;
    for (int i = 0; i < 64; ++i) {
        anyZero = anyZero || block[i] == 0;
    }
    EXPECT_FALSE(anyZero);
    EXPECT_TRUE(host::IsPoolAddress(block));
    EXPECT_TRUE(host::IsPoolAddress(block + 63));
    int onStack = 0;
    EXPECT_FALSE(host::IsPoolAddress(&onStack));
    ExFreePoolWithTag(block, TestTag);
    EXPECT_FALSE(host::IsPoolAddress(block));
}

// ---- Events --------------------------------------------------------------------------------------------
// A system thread on the virtual clock: a timed wait ends at its virtual deadline, a wait
// without one when the event is set, and a synchronization event resets as that wait ends; a
// notification event stays set until cleared. AdvanceClock returns once the thread rests again.
struct EventWaiter {
    KEVENT event{};
    NTSTATUS timed = -1;
    NTSTATUS untimed = -1;
};

VOID WaitTwice(PVOID context)
{
    auto* waiter = static_cast<EventWaiter*>(context);
    LARGE_INTEGER tenMilliseconds;
    tenMilliseconds.QuadPart = -100'000;
    waiter->timed = KeWaitForSingleObject(&waiter->event, Executive, KernelMode, FALSE, &tenMilliseconds);
    waiter->untimed = KeWaitForSingleObject(&waiter->event, Executive, KernelMode, FALSE, nullptr);
    PsTerminateSystemThread(STATUS_SUCCESS);
}

TEST_F(KernelTest, EventsWakeTheirWaiterAndResetAsTheirTypeSays)
{
    host::UseVirtualClock();
    EventWaiter waiter;
    KeInitializeEvent(&waiter.event, SynchronizationEvent, FALSE);
    uint64_t sleeps = host::SystemThreadSleeps();
    HANDLE handle = nullptr;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, WaitTwice, &waiter),
        STATUS_SUCCESS);
    host::WaitForSystemThreadSleeps(sleeps + 1);
    host::AdvanceClock(9'999);
    EXPECT_EQ(waiter.timed, -1);
    host::AdvanceClock(1);   // the deadline: the thread goes on to its second wait and rests there
    EXPECT_EQ(waiter.timed, 0x102);   // STATUS_TIMEOUT
    EXPECT_EQ(waiter.untimed, -1);

    PVOID thread = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr, KernelMode, &thread, nullptr), STATUS_SUCCESS);
    ZwClose(handle);
    EXPECT_EQ(KeSetEvent(&waiter.event, IO_NO_INCREMENT, FALSE), 0);
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr);
    ObfDereferenceObject(thread);
    EXPECT_EQ(waiter.untimed, STATUS_SUCCESS);
    EXPECT_EQ(KeSetEvent(&waiter.event, IO_NO_INCREMENT, FALSE), 0) << "the wait did not reset the event";

    LARGE_INTEGER poll{};
    KEVENT notification;
    KeInitializeEvent(&notification, NotificationEvent, TRUE);
    EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
    KeClearEvent(&notification);
    EXPECT_EQ(KeWaitForSingleObject(&notification, Executive, KernelMode, FALSE, &poll), 0x102);

    KEVENT never{};
    host::ExpectViolation unset(host::Rule::LockMisuse);
    KeSetEvent(&never, IO_NO_INCREMENT, FALSE);
    EXPECT_TRUE(unset.Fired());
}

}  // namespace
