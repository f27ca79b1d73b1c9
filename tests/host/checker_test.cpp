// The verifier's rules: each one fires on a deliberately wrong call sequence (one table of rule
// and provoking action), the reports say what and where, and leftovers are reported at reset.
// The cancel-safe queue whose misuse they report keeps its documented semantics, also in a race.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <set>
#include <span>
#include <utility>
#include <thread>

#include "host/io/errorlog.h"
#include "host/io/io.h"
#include "host/kernel/kernel.h"
#include "host/machine.h"
#include "host/memory/memory.h"
#include "host/ndis/ndis.h"
#include "host/verifier/checker.h"
#include "host/verifier/faults.h"
#include "platform/ndis.h"
#include "tests/support/gvsp_machine.h"

namespace {

using host::ExpectViolation;
using host::Rule;

constexpr ULONG TestTag = host::TagOf("Tchk");

class CheckerTest : public ::testing::Test {
protected:
    void TearDown() override { host::CheckAndResetKernel("end of checker test"); }
};

// ---- A one-device driver whose control requests run the case's handler: the IRP rules' stage.
std::function<NTSTATUS(PIRP)> OnControl;
PIRP Parked = nullptr;   // a request the handler left pending, completed after the handle closed
PDEVICE_OBJECT BenchDevice = nullptr;

void Complete(PIRP irp)
{
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS BenchDispatch(PDEVICE_OBJECT, PIRP irp)
{
    if (IoGetCurrentIrpStackLocation(irp)->MajorFunction == IRP_MJ_DEVICE_CONTROL) {
        return OnControl(irp);
    }
    Complete(irp);
    return STATUS_SUCCESS;
}

UNICODE_STRING Text(const char16_t* s)
{
    UNICODE_STRING u;
    RtlInitUnicodeString(&u, s);
    return u;
}

NTSTATUS BenchEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    PDRIVER_DISPATCH major[IRP_MJ_MAXIMUM_FUNCTION + 1] = {};
    major[IRP_MJ_CREATE] = major[IRP_MJ_CLEANUP] = major[IRP_MJ_CLOSE] = major[IRP_MJ_DEVICE_CONTROL] = BenchDispatch;
    UNICODE_STRING name = Text(u"\\Device\\Bench");
    UNICODE_STRING link = Text(u"\\DosDevices\\Bench");
    NTSTATUS status;
    BenchDevice = host::CreateNamedDevice(driver, &name, major, 0, nullptr, &status);
    host::CreateSymbolicLink(&link, &name);
    driver->DriverUnload = [](PDRIVER_OBJECT) {
        UNICODE_STRING benchLink = Text(u"\\DosDevices\\Bench");
        host::DeleteSymbolicLink(&benchLink);
        host::DeleteNamedDevice(BenchDevice);
    };
    return status;
}

// One overlapped control request of a user process through the bench device, then close. A
// request the handler parked is completed before the close, or after it when `parkAcrossClose`.
void ControlRequest(std::function<NTSTATUS(PIRP)> handler, bool parkAcrossClose = false)
{
    host::Machine machine;
    OnControl = std::move(handler);
    ASSERT_EQ(machine.LoadDriver(BenchEntry, u"kxBench", {}), STATUS_SUCCESS);
    host::UserProcess& process = machine.NewProcess();
    HANDLE h = process.CreateFile(u"\\\\.\\Bench");
    OVERLAPPED overlapped{};
    process.DeviceIoControl(h, CTL_CODE(FILE_DEVICE_PHYSICAL_NETCARD, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS),
        nullptr, 0, nullptr, 0, nullptr, &overlapped);
    if (Parked != nullptr && !parkAcrossClose) {
        Complete(std::exchange(Parked, nullptr));
    }
    process.CloseHandle(h);
    if (Parked != nullptr) {
        Complete(std::exchange(Parked, nullptr));
        host::FlushDeferredCloses();
    }
}

// The filter driver loaded over one adapter: the stage of the rules of NDIS calls.
void WithFilter(const std::function<void(host::Adapter&)>& provoke)
{
    gvsptest::GvspMachine m;
    host::Adapter& adapter = m.AddAdapter(gvsptest::MacOf(1));
    ASSERT_EQ(m.Load(), STATUS_SUCCESS);
    provoke(adapter);
}

// A user page of a fresh process, locked by an MDL in that process's context.
void WithLockedUserMdl(const std::function<void(PMDL)>& provoke)
{
    host::Machine machine;
    host::UserProcess& owner = machine.NewProcess();
    void* user = owner.Allocate(host::HOST_PAGE_SIZE);
    host::ProcessContext context(&owner);
    PMDL mdl = IoAllocateMdl(user, 64, FALSE, FALSE, nullptr);
    ASSERT_EQ(MmProbeAndLockPagesChecked(mdl, UserMode, IoWriteAccess), STATUS_SUCCESS);
    provoke(mdl);
}

// A filter of the test's own over one adapter, with an NBL pool of its module: it frees what comes
// back from its sends and pauses at once, waiting for nothing. The stage of the rules of pause
// and send.
void WithCarelessFilter(const std::function<void(host::Adapter&, NDIS_HANDLE pool)>& provoke)
{
    host::Machine machine;
    PDRIVER_OBJECT driver = host::CreateDriverObject(u"\\Driver\\kxCareless");
    NDIS_FILTER_DRIVER_CHARACTERISTICS c{};
    c.Header = {NDIS_OBJECT_TYPE_FILTER_DRIVER_CHARACTERISTICS, NDIS_FILTER_CHARACTERISTICS_REVISION_2,
        NDIS_SIZEOF_FILTER_DRIVER_CHARACTERISTICS_REVISION_2};
    c.MajorNdisVersion = 6;
    c.MinorNdisVersion = 20;
    c.FriendlyName = c.UniqueName = c.ServiceName = Text(u"kxCareless");
    c.AttachHandler = [](NDIS_HANDLE module, NDIS_HANDLE, PNDIS_FILTER_ATTACH_PARAMETERS) -> NDIS_STATUS {
        NDIS_FILTER_ATTRIBUTES attributes{};
        attributes.Header = {NDIS_OBJECT_TYPE_FILTER_ATTRIBUTES, NDIS_FILTER_ATTRIBUTES_REVISION_1,
            NDIS_SIZEOF_FILTER_ATTRIBUTES_REVISION_1};
        return NdisFSetAttributes(module, module, &attributes);
    };
    c.DetachHandler = [](NDIS_HANDLE) {};
    c.RestartHandler = [](NDIS_HANDLE, PNDIS_FILTER_RESTART_PARAMETERS) -> NDIS_STATUS { return NDIS_STATUS_SUCCESS; };
    c.PauseHandler = [](NDIS_HANDLE, PNDIS_FILTER_PAUSE_PARAMETERS) -> NDIS_STATUS { return NDIS_STATUS_SUCCESS; };
    c.SendNetBufferListsCompleteHandler = [](NDIS_HANDLE, PNET_BUFFER_LIST lists, ULONG) { NdisFreeNetBufferList(lists); };
    NDIS_HANDLE handle = nullptr;
    ASSERT_EQ(NdisFRegisterFilterDriver(driver, driver, &c, &handle), NDIS_STATUS_SUCCESS);
    host::AdapterConfig config;
    config.mac = {0x02, 0, 0, 0, 0, 9};
    host::Adapter& adapter = host::AddAdapter(config);
    NET_BUFFER_LIST_POOL_PARAMETERS p{};
    p.Header = {NDIS_OBJECT_TYPE_DEFAULT, 1, 16};
    p.fAllocateNetBuffer = TRUE;
    NDIS_HANDLE pool = NdisAllocateNetBufferListPool(adapter.FilterModuleHandle(), &p);
    provoke(adapter, pool);
    NdisFreeNetBufferListPool(pool);
    NdisFDeregisterFilterDriver(handle);
    host::DeleteDriverObject(driver);
}

VOID EndAtOnce(PVOID) {}

// A cancel-safe queue kept as a driver keeps one, a list under a spin lock; an IRP it completes
// as cancelled is counted in the IRP's IoStatus.Information instead. TestIrp: an IRP never
// issued, with its one stack location, enough for the queue and host::CancelIrp.
struct TestQueue {
    IO_CSQ csq;
    LIST_ENTRY list;
    KSPIN_LOCK lock = 0;

    static TestQueue* Of(PIO_CSQ csq) { return CONTAINING_RECORD(csq, TestQueue, csq); }
    TestQueue()
    {
        InitializeListHead(&list);
        IoCsqInitializeEx(&csq, [](PIO_CSQ c, PIRP irp, PVOID) {
            InsertTailList(&Of(c)->list, &irp->Tail.Overlay.ListEntry);
            return STATUS_SUCCESS;
        }, [](PIO_CSQ, PIRP irp) { RemoveEntryList(&irp->Tail.Overlay.ListEntry); }, [](PIO_CSQ c, PIRP irp, PVOID) {
            PLIST_ENTRY next = (irp == nullptr ? &Of(c)->list : &irp->Tail.Overlay.ListEntry)->Flink;
            return next == &Of(c)->list ? nullptr : CONTAINING_RECORD(next, IRP, Tail.Overlay.ListEntry);
        }, [](PIO_CSQ c, PKIRQL irql) { *irql = KeAcquireSpinLockRaiseToDpc(&Of(c)->lock); },
        [](PIO_CSQ c, KIRQL irql) { KeReleaseSpinLock(&Of(c)->lock, irql); },
        [](PIO_CSQ, PIRP irp) { irp->IoStatus.Information += 1; });
    }
};
struct TestIrp {
    IRP irp{};
    IO_STACK_LOCATION stack{};
    TestIrp() { irp.Tail.Overlay.CurrentStackLocation = &stack; }
};

struct RuleCase {
    Rule rule;
    const char* action;
    std::function<void()> provoke;   // the wrong sequence, then whatever puts the machine right
};

const RuleCase RULE_CASES[] = {
    {Rule::IrqlTooHigh, "paged pool allocated at DISPATCH_LEVEL", [] {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        PVOID block = ExAllocatePoolWithTag(PagedPool, 16, TestTag);
        KeLowerIrql(old);
        ExFreePoolWithTag(block, TestTag);
    }},
    {Rule::WaitAtDispatch, "a delay with a spin lock held", [] {
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
        LARGE_INTEGER interval;
        interval.QuadPart = -10;
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
        KeReleaseSpinLock(&lock, old);
    }},
    {Rule::SpinLockHeldAcrossCall, "a request completed with a spin lock held", [] {
        ControlRequest([](PIRP irp) {
            KSPIN_LOCK lock;
            KeInitializeSpinLock(&lock);
            KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
            Complete(irp);
            KeReleaseSpinLock(&lock, old);
            return STATUS_SUCCESS;
        });
    }},
    {Rule::LockOrder, "a cycle through three locks on two threads", [] {
        KSPIN_LOCK a, b;
        KeInitializeSpinLock(&a);
        KeInitializeSpinLock(&b);
        PNDIS_RW_LOCK_EX table = NdisAllocateRWLock(nullptr);
        std::thread([&] {   // table -> a -> b
            LOCK_STATE_EX state;
            NdisAcquireRWLockRead(table, &state, 0);
            KeAcquireSpinLockAtDpcLevel(&a);
            KeAcquireSpinLockAtDpcLevel(&b);
            KeReleaseSpinLockFromDpcLevel(&b);
            KeReleaseSpinLockFromDpcLevel(&a);
            NdisReleaseRWLock(table, &state);
        }).join();
        KIRQL old = KeAcquireSpinLockRaiseToDpc(&b);   // b -> table closes the cycle
        LOCK_STATE_EX state;
        NdisAcquireRWLockWrite(table, &state, NDIS_RWL_AT_DISPATCH_LEVEL);
        NdisReleaseRWLock(table, &state);
        KeReleaseSpinLock(&b, old);
        NdisFreeRWLock(table);
    }},
    {Rule::LockMisuse, "a spin lock acquired recursively (and the machine goes on)", [] {
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
        KeAcquireSpinLockAtDpcLevel(&lock);
        KeReleaseSpinLockFromDpcLevel(&lock);
        KeReleaseSpinLock(&lock, old);
        EXPECT_EQ(lock, 0u);
    }},
    {Rule::IrqlNotRestored, "a handler returning at another IRQL", [] {
        host::CallHandlerAt(DISPATCH_LEVEL, "FilterReceiveNetBufferLists", [] { KeLowerIrql(PASSIVE_LEVEL); });
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    }},
    {Rule::IrpCompletedTwice, "a request completed twice", [] {
        ControlRequest([](PIRP irp) {
            Complete(irp);
            Complete(irp);
            return STATUS_SUCCESS;
        });
    }},
    {Rule::IrpNotCompleted, "a dispatch returning success without completing", [] {
        ControlRequest([](PIRP) { return STATUS_SUCCESS; });
    }},
    {Rule::IrpPendingAtCleanup, "a request still pending when its handle's cleanup ends", [] {
        ControlRequest(
            [](PIRP irp) {
                IoMarkIrpPending(irp);
                Parked = irp;
                return STATUS_PENDING;
            },
            true);
    }},
    {Rule::PoolLeak, "memory left under a tag", [] {
        PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 24, TestTag);
        EXPECT_EQ(host::CheckNoPoolUnderTag(TestTag, "unload"), 1u);
        ExFreePoolWithTag(block, TestTag);
    }},
    {Rule::PoolMisuse, "a block freed with another tag", [] {
        ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPoolNx, 8, TestTag), host::TagOf("Oops"));
        EXPECT_EQ(host::PoolUsageOfTag(TestTag).blocks, 0u);
    }},
    {Rule::LookasideOutstanding, "a lookaside list deleted with an entry out", [] {
        NPAGED_LOOKASIDE_LIST list;
        ExInitializeNPagedLookasideList(&list, nullptr, nullptr, POOL_NX_ALLOCATION, 32, TestTag, 0);
        PVOID entry = ExAllocateFromNPagedLookasideList(&list);
        ExDeleteNPagedLookasideList(&list);
        ExFreePoolWithTag(entry, TestTag);   // still a pool block of the list's tag
    }},
    {Rule::NblPoolOutstanding, "an NBL pool freed with a list out", [] {
        NET_BUFFER_LIST_POOL_PARAMETERS p{};
        p.Header = {NDIS_OBJECT_TYPE_DEFAULT, 1, 16};
        p.fAllocateNetBuffer = TRUE;
        NDIS_HANDLE pool = NdisAllocateNetBufferListPool(nullptr, &p);
        PNET_BUFFER_LIST list = NdisAllocateNetBufferAndNetBufferList(pool, 0, 0, nullptr, 0, 0);
        NdisFreeNetBufferListPool(pool);
        NdisFreeNetBufferList(list);   // still freeable after its pool
        EXPECT_EQ(host::LiveNblPools(), 0u);
    }},
    {Rule::NblMisuse, "a protocol's send completed twice", [] {
        WithFilter([](host::Adapter& adapter) {
            auto packet = host::MakeFramePacket(std::vector<uint8_t>(60, 0x31));
            adapter.SendFromProtocol(packet->List(), 0, 0);
            NdisFSendNetBufferListsComplete(adapter.FilterModuleHandle(), packet->List(), 0);
        });
    }},
    {Rule::MdlMisuse, "an MDL freed with its pages locked", [] {
        WithLockedUserMdl([](PMDL mdl) { IoFreeMdl(mdl); });
    }},
    {Rule::LockMisuse, "a spin lock taken at DISPATCH_LEVEL released with KeReleaseSpinLock", [] {
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
        KSPIN_LOCK inner;
        KeInitializeSpinLock(&inner);
        KeAcquireSpinLockAtDpcLevel(&inner);
        KeReleaseSpinLock(&inner, DISPATCH_LEVEL);
        KeReleaseSpinLock(&lock, old);
    }},
    {Rule::ExecutableMemory, "a block of executable pool", [] {
        ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPool, 8, TestTag), TestTag);
    }},
    {Rule::ExecutableMemory, "a lookaside list without POOL_NX_ALLOCATION", [] {
        NPAGED_LOOKASIDE_LIST list;
        ExInitializeNPagedLookasideList(&list, nullptr, nullptr, 0, 32, TestTag, 0);
        ExDeleteNPagedLookasideList(&list);
    }},
    {Rule::ExecutableMemory, "a system mapping without MdlMappingNoExecute", [] {
        WithLockedUserMdl([](PMDL mdl) {
            EXPECT_NE(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), nullptr);
            MmUnlockPages(mdl);
            IoFreeMdl(mdl);
        });
    }},
    {Rule::HandleLeak, "a thread handle left open at unload", [] {
        HANDLE handle = nullptr;
        PsCreateSystemThread(&handle, THREAD_ALL_ACCESS, nullptr, nullptr, nullptr, EndAtOnce, nullptr);
        host::CheckAndResetKernel("unload");
        EXPECT_EQ(host::OpenKernelHandles(), 0);
    }},
    {Rule::NdisContract, "a call with the handle of a detached module", [] {
        WithFilter([](host::Adapter& adapter) {
            NDIS_HANDLE stale = adapter.FilterModuleHandle();
            host::RemoveAdapter(adapter);
            NDIS_STATUS_INDICATION status{};
            NdisFIndicateStatus(stale, &status);
        });
    }},
    {Rule::ErrorLogMisuse, "an entry written twice", [] {
        host::Machine machine;
        PVOID entry = IoAllocateErrorLogEntry(host::CreateDriverObject(u"\\Driver\\kxLog"), 48);
        std::memset(entry, 0, 48);
        IoWriteErrorLogEntry(entry);
        IoWriteErrorLogEntry(entry);
        EXPECT_EQ(machine.Log().Count(), 1u);
    }},
    {Rule::StreamingStoresUnfenced, "a lock released after streaming stores with no fence between", [] {
        alignas(16) static UCHAR to[256];
        static const UCHAR from[256] = {1};
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
        CopyMemoryStreaming(to, from, sizeof to, FALSE);
        KeReleaseSpinLock(&lock, old);
    }},
    {Rule::ExtendedStateMisuse, "256-bit streaming stores without the AVX state saved", [] {
        alignas(64) static UCHAR to[256];
        static const UCHAR from[256] = {1};
        CopyMemoryStreaming(to, from, sizeof to, TRUE);
        StreamingStoreFence();
    }},
    {Rule::ExtendedStateMisuse, "an outer saved state restored before the inner one", [] {
        XSTATE_SAVE outer;
        XSTATE_SAVE inner;
        EXPECT_EQ(KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &outer), STATUS_SUCCESS);
        EXPECT_EQ(KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &inner), STATUS_SUCCESS);
        KeRestoreExtendedProcessorState(&outer);
        KeRestoreExtendedProcessorState(&inner);
        KeRestoreExtendedProcessorState(&outer);
    }},
    {Rule::ExtendedStateMisuse, "a handler returning with the AVX state saved", [] {
        XSTATE_SAVE save;
        host::CallHandlerAt(DISPATCH_LEVEL, "FilterReceiveNetBufferLists",
            [&] { EXPECT_EQ(KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &save), STATUS_SUCCESS); });
    }},
    {Rule::CsqMisuse, "an IRP queued again, its context reused while it is queued, lock callbacks taking none", [] {
        TestQueue q;
        TestIrp a, b;
        IO_CSQ_IRP_CONTEXT context;
        IoCsqInsertIrpEx(&q.csq, &a.irp, &context, nullptr);
        EXPECT_EQ(IoCsqInsertIrpEx(&q.csq, &a.irp, nullptr, nullptr), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(IoCsqInsertIrpEx(&q.csq, &b.irp, &context, nullptr), STATUS_INVALID_PARAMETER);
        q.csq.CsqAcquireLock = [](PIO_CSQ, PKIRQL) {};
        q.csq.CsqReleaseLock = [](PIO_CSQ, KIRQL) {};
        EXPECT_EQ(IoCsqRemoveIrp(&q.csq, &context), &a.irp);
    }},
    {Rule::AssertionFailed, "an assertion whose condition is false (and the machine goes on)", [] {
        volatile int blocks = 2;
        NT_ASSERT(blocks == 3);
    }},
};

// Calls that break the contract of a routine or a handler, each caught by the rule it breaks.
const RuleCase CONTRACT_CASES[] = {
    {Rule::NdisContract, "a pause that returns with the filter's own send at the miniport", [] {
        WithCarelessFilter([](host::Adapter& adapter, NDIS_HANDLE pool) {
            adapter.SetMiniportSends(host::MiniportSends::Hold);
            NdisFSendNetBufferLists(adapter.FilterModuleHandle(),
                NdisAllocateNetBufferAndNetBufferList(pool, 0, 0, nullptr, 0, 0), 0, 0);
            adapter.Pause();
            EXPECT_EQ(adapter.SendsHeldByMiniport(), 0u);   // completed after the pause all the same
        });
    }},
    {Rule::NdisContract, "a send by a paused module", [] {
        WithCarelessFilter([](host::Adapter& adapter, NDIS_HANDLE pool) {
            adapter.Pause();
            PNET_BUFFER_LIST list = NdisAllocateNetBufferAndNetBufferList(pool, 0, 0, nullptr, 0, 0);
            NdisFSendNetBufferLists(adapter.FilterModuleHandle(), list, 0, 0);
            EXPECT_TRUE(adapter.SentToMiniport().empty());
            NdisFreeNetBufferList(list);   // still the filter's
        });
    }},
    {Rule::IrpNotCompleted, "a request marked pending whose dispatch returns its completion status", [] {
        ControlRequest([](PIRP irp) {
            IoMarkIrpPending(irp);
            Complete(irp);
            return STATUS_SUCCESS;
        });
    }},
    {Rule::IrpNotCompleted, "a dispatch returning another status than the one it completed with", [] {
        ControlRequest([](PIRP irp) {
            Complete(irp);
            return STATUS_UNSUCCESSFUL;
        });
    }},
    {Rule::IrqlTooHigh, "a cancel routine exchanged above DISPATCH_LEVEL", [] {
        IRP irp{};
        KIRQL old;
        KeRaiseIrql(HIGH_LEVEL, &old);
        IoSetCancelRoutine(&irp, nullptr);
        KeLowerIrql(old);
    }},
};

// Runs each case in a scope of its rule: the rule fires, with what and where. Returns the rules.
std::set<Rule> ProveEachFires(const RuleCase* cases, size_t count)
{
    std::set<Rule> proven;
    for (const RuleCase& c : std::span(cases, count)) {
        SCOPED_TRACE(testing::Message() << host::RuleName(c.rule) << ": " << c.action);
        {
            ExpectViolation expect(c.rule);
            c.provoke();
            EXPECT_TRUE(expect.Fired());
            for (const host::Violation& v : expect.Caught()) {
                EXPECT_FALSE(v.what.empty());
                EXPECT_FALSE(v.where.empty());
            }
            if (expect.Fired()) {
                proven.insert(c.rule);
            }
        }
        host::CheckAndResetKernel("after the case");
    }
    return proven;
}

TEST_F(CheckerTest, EveryContractRuleFiresOnItsViolatingCall)
{
    ProveEachFires(CONTRACT_CASES, std::size(CONTRACT_CASES));
}

TEST_F(CheckerTest, EveryRuleFiresOnItsProvokingActionWithWhatAndWhere)
{
    std::set<Rule> proven = ProveEachFires(RULE_CASES, std::size(RULE_CASES));
    proven.insert(Rule::MappingUsedAfterUnlock);   // a fault, provoked by the death test below
    EXPECT_EQ(proven.size(), size_t(Rule::AssertionFailed) + 1) << "a rule without a provoking action";
}

// The one rule that is a fault: the access cannot go on.
TEST(CheckerDeathTest, TouchingASystemMappingAfterUnlockKillsTheMachine)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    host::Machine machine;
    host::UserProcess& owner = machine.NewProcess();
    auto* user = static_cast<PUCHAR>(owner.Allocate(host::HOST_PAGE_SIZE));
    PUCHAR system;
    {
        host::ProcessContext context(&owner);
        PMDL mdl = IoAllocateMdl(user, 128, FALSE, FALSE, nullptr);
        ASSERT_EQ(MmProbeAndLockPagesChecked(mdl, UserMode, IoWriteAccess), STATUS_SUCCESS);
        system = static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority | MdlMappingNoExecute));
        ASSERT_NE(system, nullptr);
        MmUnlockPages(mdl);
        IoFreeMdl(mdl);
    }
    EXPECT_DEATH({ *reinterpret_cast<volatile UCHAR*>(system + 5) = 1; }, "MappingUsedAfterUnlock");
}

TEST_F(CheckerTest, LeftoversAreReportedAtResetAndTheNextMachineStartsClean)
{
    PNDIS_RW_LOCK_EX lock = NdisAllocateRWLock(nullptr);
    ASSERT_NE(lock, nullptr);
    NPAGED_LOOKASIDE_LIST list;
    ExInitializeNPagedLookasideList(&list, nullptr, nullptr, POOL_NX_ALLOCATION, 32, TestTag, 0);
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

// The queue's documented semantics: the steps (i, x: insert the IRP named, x with the context;
// c: cancel it; r, R: remove the next IRP, the context's) give the removals' results ('a', 'b',
// '-' for NULL) and the number of IRPs that left as cancelled.
const struct { const char *steps, *removed; ULONG_PTR cancelled; } CSQ_CASES[] = {
    {"ia ib r. r. r.", "ab-", 0},     // oldest first, then none
    {"ia ib ca r. r.", "b-", 1},      // a cancelled IRP leaves by its cancellation only
    {"ca ia r.", "-", 1},             // one cancelled before its insertion leaves at once
    {"xa ib R. R. r.", "a-b", 0},     // removed by its context once
    {"xa ca R.", "-", 1},             // not by its context once cancelled
};

TEST_F(CheckerTest, TheCancelSafeQueueKeepsItsDocumentedSemanticsAlsoWhenACancelRacesARemoval)
{
    for (const auto& [steps, removed, cancelled] : CSQ_CASES) {
        SCOPED_TRACE(steps);
        TestQueue q;
        TestIrp irps[2];
        IO_CSQ_IRP_CONTEXT context{};
        std::string results;
        for (const char* step = steps; step < steps + std::strlen(steps); step += 3) {
            PIRP irp = &irps[step[1] == 'b'].irp;
            if (step[0] == 'i' || step[0] == 'x')
                IoCsqInsertIrpEx(&q.csq, irp, step[0] == 'x' ? &context : nullptr, nullptr);
            if (step[0] == 'c') host::CancelIrp(irp);
            PIRP out = step[0] == 'r' ? IoCsqRemoveNextIrp(&q.csq, nullptr)
                                      : step[0] == 'R' ? IoCsqRemoveIrp(&q.csq, &context) : nullptr;
            if (step[1] == '.') results += out == nullptr ? '-' : out == &irps[0].irp ? 'a' : 'b';
        }
        EXPECT_EQ(results, removed);
        EXPECT_EQ(irps[0].irp.IoStatus.Information + irps[1].irp.IoStatus.Information, cancelled);
    }
    // Removals race cancellations: each IRP leaves the queue once, by one or the other.
    TestQueue q;
    std::vector<TestIrp> irps(500);
    for (TestIrp& t : irps) IoCsqInsertIrpEx(&q.csq, &t.irp, nullptr, nullptr);
    std::thread canceller([&] { for (TestIrp& t : irps) host::CancelIrp(&t.irp); });
    while (PIRP irp = IoCsqRemoveNextIrp(&q.csq, nullptr)) irp->IoStatus.Information += 1;
    canceller.join();
    for (TestIrp& t : irps) EXPECT_EQ(t.irp.IoStatus.Information, 1u);
}

}  // namespace
