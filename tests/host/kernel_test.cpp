// The emulated kernel behaves as the driver expects Windows to: locks exclude, IRQL follows
// them, pool is accounted per tag, faults fire at the chosen call, threads run and end, and
// the virtual clock moves only when the test moves it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "host/faults.h"
#include "host/kernel.h"
#include "platform/ndis.h"

namespace {

constexpr ULONG TestTag = host::TagOf("Tker");
constexpr NTSTATUS STATUS_TIMEOUT = 0x00000102;

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
TEST_F(KernelTest, ASpinLockRaisesToDispatchLevelAndItsReleaseRestoresTheIrql)
{
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_EQ(host::LocksHeldByThisThread(), 1);

    KSPIN_LOCK inner;
    KeInitializeSpinLock(&inner);
    KeAcquireSpinLockAtDpcLevel(&inner);
    EXPECT_EQ(host::LocksHeldByThisThread(), 2);
    KeReleaseSpinLockFromDpcLevel(&inner);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);

    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_EQ(host::LocksHeldByThisThread(), 0);
}

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
TEST_F(KernelTest, RwLockReadersShare)
{
    PNDIS_RW_LOCK_EX lock = NdisAllocateRWLock(nullptr);
    ASSERT_NE(lock, nullptr);
    std::atomic<int> inside{0};
    std::atomic<bool> bothInside{false};
    auto reader = [&] {
        LOCK_STATE_EX state;
        NdisAcquireRWLockRead(lock, &state, 0);
        EXPECT_EQ(state.OldIrql, PASSIVE_LEVEL);
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
        ++inside;
        // Stay until the other reader is inside too (it can only be if reads share).
        bothInside = Eventually([&] { return inside.load() == 2; });
        NdisReleaseRWLock(lock, &state);
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    };
    std::thread first(reader), second(reader);
    first.join();
    second.join();
    EXPECT_TRUE(bothInside.load());
    NdisFreeRWLock(lock);
}

TEST_F(KernelTest, RwLockWriterExcludesReaders)
{
    PNDIS_RW_LOCK_EX lock = NdisAllocateRWLock(nullptr);
    LOCK_STATE_EX write;
    NdisAcquireRWLockWrite(lock, &write, 0);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    std::atomic<bool> readerIn{false};
    std::thread reader([&] {
        LOCK_STATE_EX read;
        NdisAcquireRWLockRead(lock, &read, 0);
        readerIn = true;
        NdisReleaseRWLock(lock, &read);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(readerIn.load());
    NdisReleaseRWLock(lock, &write);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    reader.join();
    EXPECT_TRUE(readerIn.load());
    NdisFreeRWLock(lock);
}

TEST_F(KernelTest, RwLockWriterWaitsForReaders)
{
    PNDIS_RW_LOCK_EX lock = NdisAllocateRWLock(nullptr);
    LOCK_STATE_EX read;
    NdisAcquireRWLockRead(lock, &read, 0);
    std::atomic<bool> writerIn{false};
    std::thread writer([&] {
        LOCK_STATE_EX write;
        NdisAcquireRWLockWrite(lock, &write, 0);
        writerIn = true;
        NdisReleaseRWLock(lock, &write);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(writerIn.load());
    // A recursive read is granted even with a writer waiting (NDIS allows it; no deadlock).
    LOCK_STATE_EX again;
    NdisAcquireRWLockRead(lock, &again, NDIS_RWL_AT_DISPATCH_LEVEL);
    EXPECT_EQ(again.OldIrql, DISPATCH_LEVEL);
    NdisReleaseRWLock(lock, &again);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    NdisReleaseRWLock(lock, &read);
    writer.join();
    EXPECT_TRUE(writerIn.load());
    NdisFreeRWLock(lock);
}

// ---- Pool --------------------------------------------------------------------------------------------
TEST_F(KernelTest, PoolIsAccountedPerTag)
{
    constexpr ULONG OtherTag = host::TagOf("Toth");
    PVOID a = ExAllocatePoolWithTag(NonPagedPoolNx, 100, TestTag);
    PVOID b = NdisAllocateMemoryWithTagPriority(nullptr, 28, TestTag, LowPoolPriority);
    PVOID c = ExAllocatePoolWithTag(NonPagedPoolNx, 7, OtherTag);
    ASSERT_TRUE(a && b && c);
    EXPECT_EQ(host::PoolUsageOfTag(TestTag).blocks, 2u);
    EXPECT_EQ(host::PoolUsageOfTag(TestTag).bytes, 128u);
    EXPECT_EQ(host::PoolUsageOfTag(OtherTag).bytes, 7u);
    ExFreePoolWithTag(a, TestTag);
    NdisFreeMemory(b, 0, 0);
    EXPECT_EQ(host::PoolUsageOfTag(TestTag).blocks, 0u);
    EXPECT_EQ(host::PoolUsageOfTag(TestTag).bytes, 0u);
    EXPECT_EQ(host::CheckNoPoolUnderTag(TestTag, "test"), 0u);
    ExFreePoolWithTag(c, OtherTag);
}

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

TEST_F(KernelTest, TheNthAllocationFailsAndTheOthersSucceed)
{
    host::FailCall(host::Fault::PoolAllocation, 3);
    std::vector<PVOID> blocks;
    for (int i = 0; i < 5; ++i) {
        blocks.push_back(ExAllocatePoolWithTag(NonPagedPoolNx, 8, TestTag));
    }
    EXPECT_NE(blocks[0], nullptr);
    EXPECT_NE(blocks[1], nullptr);
    EXPECT_EQ(blocks[2], nullptr);
    EXPECT_NE(blocks[3], nullptr);
    EXPECT_NE(blocks[4], nullptr);
    EXPECT_EQ(host::CallCount(host::Fault::PoolAllocation), 5u);
    for (PVOID block : blocks) {
        if (block != nullptr) {
            ExFreePoolWithTag(block, TestTag);
        }
    }
}

// ---- Lookaside lists -------------------------------------------------------------------------------------
TEST_F(KernelTest, ALookasideListReusesItsEntriesAndFreesThemAtDelete)
{
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, 48, TestTag, 0);
    EXPECT_EQ(list.Size, 48u);
    EXPECT_EQ(list.Tag, TestTag);
    PVOID first = ExAllocateFromNPagedLookasideList(&list);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(host::PoolUsageOfTag(TestTag).blocks, 1u);
    ExFreeToNPagedLookasideList(&list, first);
    EXPECT_EQ(host::PoolUsageOfTag(TestTag).blocks, 1u);   // parked on the list
    PVOID second = ExAllocateFromNPagedLookasideList(&list);
    EXPECT_EQ(second, first);
    ExFreeToNPagedLookasideList(&list, second);
    ExDeleteNPagedLookasideList(&list);
    EXPECT_EQ(host::PoolUsageOfTag(TestTag).blocks, 0u);
}

// ---- Threads ---------------------------------------------------------------------------------------------
struct ThreadProbe {
    std::atomic<int> ran{0};
    std::atomic<bool> release{false};
    KIRQL irql = HIGH_LEVEL;
    HANDLE processId = nullptr;
    bool system = false;
};

VOID ProbeRoutine(PVOID context)
{
    auto* probe = static_cast<ThreadProbe*>(context);
    probe->irql = KeGetCurrentIrql();
    probe->processId = PsGetCurrentProcessId();
    probe->system = host::IsSystemThread();
    while (!probe->release.load()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    probe->ran = 1;
}

TEST_F(KernelTest, ASystemThreadRunsAtPassiveLevelInTheSystemProcess)
{
    ThreadProbe probe;
    HANDLE handle = nullptr;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, ProbeRoutine, &probe),
        STATUS_SUCCESS);
    ASSERT_NE(handle, nullptr);
    EXPECT_EQ(host::OpenKernelHandles(), 1);
    PVOID thread = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr, KernelMode, &thread, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(ZwClose(handle), STATUS_SUCCESS);
    EXPECT_EQ(host::OpenKernelHandles(), 0);
    EXPECT_EQ(host::ReferencedThreadObjects(), 1);

    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
    LARGE_INTEGER shortWait;
    shortWait.QuadPart = -10 * 1000;   // 1 ms
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &shortWait), STATUS_TIMEOUT);
    EXPECT_EQ(host::RunningSystemThreads(), 1);

    probe.release = true;
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
    ObfDereferenceObject(thread);
    EXPECT_EQ(host::ReferencedThreadObjects(), 0);
    EXPECT_EQ(host::RunningSystemThreads(), 0);
    EXPECT_EQ(probe.ran.load(), 1);
    EXPECT_EQ(probe.irql, PASSIVE_LEVEL);
    EXPECT_EQ(probe.processId, reinterpret_cast<HANDLE>(4));
    EXPECT_TRUE(probe.system);
}

// ---- Clock ---------------------------------------------------------------------------------------------------
TEST_F(KernelTest, ThePerformanceCounterRunsAt10MHzOnTheRealClock)
{
    LARGE_INTEGER frequency;
    LARGE_INTEGER before = KeQueryPerformanceCounter(&frequency);
    EXPECT_EQ(frequency.QuadPart, 10'000'000);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    LARGE_INTEGER after = KeQueryPerformanceCounter(nullptr);
    EXPECT_GE(after.QuadPart - before.QuadPart, 50'000);
    EXPECT_LT(after.QuadPart - before.QuadPart, 50'000'000);
    EXPECT_FALSE(host::IsVirtualClock());
}

TEST_F(KernelTest, TheVirtualClockMovesOnlyWhenAdvanced)
{
    host::UseVirtualClock(1000);
    EXPECT_TRUE(host::IsVirtualClock());
    EXPECT_EQ(KeQueryPerformanceCounter(nullptr).QuadPart, 1000);
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    EXPECT_EQ(host::CounterNow(), 1000);
    host::AdvanceClock(250);
    EXPECT_EQ(host::CounterNow(), 1000 + 2500);
    // A test thread's delay is real time: it neither waits for AdvanceClock nor moves the clock.
    LARGE_INTEGER interval;
    interval.QuadPart = -10 * 1000;
    EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &interval), STATUS_SUCCESS);
    EXPECT_EQ(host::CounterNow(), 3500);
    host::UseRealClock();
    EXPECT_FALSE(host::IsVirtualClock());
}

// A worker shaped like the driver's: one pass, then a 1 ms delay, until told to stop.
struct Worker {
    std::atomic<int> passes{0};
    std::atomic<UCHAR> stop{0};
};

VOID WorkerRoutine(PVOID context)
{
    auto* worker = static_cast<Worker*>(context);
    for (;;) {
        worker->passes += 1;
        if (worker->stop) {
            break;
        }
        LARGE_INTEGER interval;
        interval.QuadPart = -10 * 1000;   // 1 ms, relative
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }
    PsTerminateSystemThread(STATUS_SUCCESS);
}

TEST_F(KernelTest, ASystemThreadSleepsInVirtualTimeUntilTheClockIsAdvanced)
{
    host::UseVirtualClock();
    Worker worker;
    uint64_t delaysBefore = host::SystemThreadDelays();
    HANDLE handle = nullptr;
    ASSERT_EQ(PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, WorkerRoutine, &worker),
        STATUS_SUCCESS);
    host::WaitForSystemThreadDelays(delaysBefore + 1);
    EXPECT_EQ(worker.passes.load(), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));   // real time passes: the worker still sleeps
    EXPECT_EQ(worker.passes.load(), 1);

    host::AdvanceClock(999);
    EXPECT_EQ(worker.passes.load(), 1);
    host::AdvanceClock(1);
    EXPECT_EQ(worker.passes.load(), 2);   // AdvanceClock returned after the pass, once it slept again
    EXPECT_EQ(host::SystemThreadDelays(), delaysBefore + 2);
    host::AdvanceClock(5000);
    EXPECT_EQ(worker.passes.load(), 3);   // one pass: its next delay counts from its wake-up

    // Unload: the wait on a sleeper jumps the clock to its deadline, so it never hangs.
    int64_t before = host::CounterNow();
    worker.stop = 1;
    PVOID thread = nullptr;
    ASSERT_EQ(ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr, KernelMode, &thread, nullptr), STATUS_SUCCESS);
    ZwClose(handle);
    EXPECT_EQ(KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    ObfDereferenceObject(thread);
    EXPECT_EQ(worker.passes.load(), 4);
    EXPECT_EQ(host::CounterNow(), before + 10'000);
    EXPECT_EQ(host::RunningSystemThreads(), 0);
}

}  // namespace
