// The emulated I/O manager where the driver's own tests do not reach: METHOD_BUFFERED output
// copied back by Information and the output length whatever a driver reports, cancellation of
// one pending request under the cancel lock, and the bound on its completion records. Driven through a small test driver defined here.
// (Opening through the link, overlapped completion, cancel by close and by process end are
// crossed by the control tests; the IRP rules are in the checker's table.)
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "host/io/io.h"
#include "host/kernel/kernel.h"
#include "host/machine.h"

namespace {

constexpr ULONG IOCTL_ECHO = CTL_CODE(FILE_DEVICE_PHYSICAL_NETCARD, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG IOCTL_PEND = CTL_CODE(FILE_DEVICE_PHYSICAL_NETCARD, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS);

// ---- The test driver ----------------------------------------------------------------------------
// One device "\Device\IoTest", linked as "\DosDevices\IoTest". IOCTL_ECHO fills the output with
// the input followed by bytes that encode their offset and reports as many bytes as the input's
// first ULONG asks; IOCTL_PEND queues the request with a cancel routine that records what it saw.
struct TestDriver {
    std::mutex lock;
    std::deque<PIRP> queue;   // pending requests, guarded by lock
    std::atomic<int> cancelCalls{0};
    std::atomic<bool> cancelSawLockAtDispatch{false};
    std::atomic<bool> cancelSawCancelFlag{false};
    PDEVICE_OBJECT device = nullptr;
};
TestDriver* Driver = nullptr;

UNICODE_STRING Text(const char16_t* s)
{
    UNICODE_STRING u;
    RtlInitUnicodeString(&u, s);
    return u;
}

void CompleteWith(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

VOID CancelQueued(PDEVICE_OBJECT, PIRP irp)
{
    Driver->cancelCalls++;
    Driver->cancelSawLockAtDispatch = KeGetCurrentIrql() == DISPATCH_LEVEL && host::LocksHeldByThisThread() == 1;
    Driver->cancelSawCancelFlag = irp->Cancel != FALSE;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    {
        std::lock_guard<std::mutex> guard(Driver->lock);
        std::erase(Driver->queue, irp);
    }
    CompleteWith(irp, STATUS_CANCELLED, 0);
}

NTSTATUS Dispatch(PDEVICE_OBJECT, PIRP irp)
{
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction != IRP_MJ_DEVICE_CONTROL) {
        CompleteWith(irp, STATUS_SUCCESS, 0);
        return STATUS_SUCCESS;
    }
    if (stack->Parameters.DeviceIoControl.IoControlCode == IOCTL_PEND) {
        IoMarkIrpPending(irp);
        IoSetCancelRoutine(irp, CancelQueued);
        std::lock_guard<std::mutex> guard(Driver->lock);
        Driver->queue.push_back(irp);
        return STATUS_PENDING;
    }
    auto* buffer = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
    ULONG report = 0;
    std::memcpy(&report, buffer, sizeof report);
    for (ULONG i = stack->Parameters.DeviceIoControl.InputBufferLength;
         i < stack->Parameters.DeviceIoControl.OutputBufferLength; ++i) {
        buffer[i] = UCHAR(0x80 + i);
    }
    CompleteWith(irp, STATUS_SUCCESS, report);
    return STATUS_SUCCESS;
}

NTSTATUS TestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    PDRIVER_DISPATCH major[IRP_MJ_MAXIMUM_FUNCTION + 1] = {};
    major[IRP_MJ_CREATE] = major[IRP_MJ_CLEANUP] = major[IRP_MJ_CLOSE] = major[IRP_MJ_DEVICE_CONTROL] = Dispatch;
    UNICODE_STRING name = Text(u"\\Device\\IoTest");
    UNICODE_STRING link = Text(u"\\DosDevices\\IoTest");
    NTSTATUS status;
    Driver->device = host::CreateNamedDevice(driver, &name, major, 0, nullptr, &status);
    host::CreateSymbolicLink(&link, &name);
    driver->DriverUnload = [](PDRIVER_OBJECT) {
        UNICODE_STRING testLink = Text(u"\\DosDevices\\IoTest");
        host::DeleteSymbolicLink(&testLink);
        host::DeleteNamedDevice(Driver->device);
    };
    return status;
}

class IoManagerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Driver = &driver;
        ASSERT_EQ(machine.LoadDriver(TestDriverEntry, u"kxIoTest", {}), STATUS_SUCCESS);
    }

    size_t Queued()
    {
        std::lock_guard<std::mutex> guard(driver.lock);
        return driver.queue.size();
    }

    // Opens the test device and leaves two requests pending on it.
    HANDLE PendTwo(host::UserProcess& process, OVERLAPPED& first, OVERLAPPED& second)
    {
        HANDLE h = process.CreateFile(u"\\\\.\\IoTest");
        process.DeviceIoControl(h, IOCTL_PEND, nullptr, 0, nullptr, 0, nullptr, &first);
        process.DeviceIoControl(h, IOCTL_PEND, nullptr, 0, nullptr, 0, nullptr, &second);
        return h;
    }

    TestDriver driver;
    host::Machine machine;
};

TEST_F(IoManagerTest, BufferedOutputIsCopiedBackUpToInformationAndTheOutputLength)
{
    struct Case {
        ULONG outputLength;
        ULONG information;
        size_t copied;
    };
    const Case cases[] = {
        {64, 64, 64}, {64, 10, 10}, {64, 0, 0}, {16, 64, 16}, {4, 4, 4}, {0, 8, 0},
    };
    host::UserProcess& process = machine.NewProcess();
    HANDLE h = process.CreateFile(u"\\\\.\\IoTest");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "output " << c.outputLength << ", information " << c.information);
        UCHAR input[4];
        std::memcpy(input, &c.information, sizeof input);
        std::vector<UCHAR> output(80, 0x11);
        DWORD returned = 12345;
        ASSERT_TRUE(process.DeviceIoControl(h, IOCTL_ECHO, input, sizeof input, output.data(), c.outputLength,
            &returned, nullptr));
        EXPECT_EQ(returned, c.information);
        for (size_t i = 0; i < output.size(); ++i) {
            UCHAR expected = i >= c.copied ? 0x11 : i < sizeof input ? input[i] : UCHAR(0x80 + i);
            ASSERT_EQ(output[i], expected) << "byte " << i;
        }
    }
    process.CloseHandle(h);
}

// A long run keeps the last completions only, still numbered from the machine's start.
TEST_F(IoManagerTest, CompletionRecordsStayBoundedOverALongRun)
{
    host::UserProcess& process = machine.NewProcess();
    HANDLE h = process.CreateFile(u"\\\\.\\IoTest");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    const uint64_t first = host::CompletedIrpCount();
    for (ULONG i = 0; i <= host::IRP_COMPLETION_HISTORY; ++i) {
        ULONG information = i % 4 + 1;
        UCHAR output[4];
        DWORD returned = 0;
        ASSERT_TRUE(process.DeviceIoControl(h, IOCTL_ECHO, &information, sizeof information, output, sizeof output,
            &returned, nullptr));
    }
    EXPECT_EQ(host::CompletedIrpCount(), first + host::IRP_COMPLETION_HISTORY + 1);
    auto kept = host::CompletedIrpsSince(0);
    ASSERT_EQ(kept.size(), host::IRP_COMPLETION_HISTORY);
    EXPECT_EQ(kept.back().information, host::IRP_COMPLETION_HISTORY % 4 + 1);
    process.CloseHandle(h);
}

TEST_F(IoManagerTest, CancelIoExCallsTheCancelRoutineUnderTheCancelLock)
{
    host::UserProcess& process = machine.NewProcess();
    OVERLAPPED first{};
    OVERLAPPED second{};
    HANDLE h = PendTwo(process, first, second);
    ASSERT_EQ(Queued(), 2u);

    // Only the request of that OVERLAPPED is cancelled.
    EXPECT_TRUE(process.CancelIoEx(h, &second));
    EXPECT_EQ(driver.cancelCalls, 1);
    EXPECT_TRUE(driver.cancelSawLockAtDispatch);
    EXPECT_TRUE(driver.cancelSawCancelFlag);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    DWORD transferred = 0;
    EXPECT_FALSE(process.GetOverlappedResult(h, &second, &transferred, TRUE));
    EXPECT_EQ(process.GetLastError(), ERROR_OPERATION_ABORTED);
    EXPECT_EQ(NTSTATUS(second.Internal), STATUS_CANCELLED);
    EXPECT_FALSE(HasOverlappedIoCompleted(&first));

    // NULL cancels the rest; nothing left to cancel is ERROR_NOT_FOUND.
    EXPECT_TRUE(process.CancelIoEx(h, nullptr));
    EXPECT_EQ(NTSTATUS(first.Internal), STATUS_CANCELLED);
    EXPECT_FALSE(process.CancelIoEx(h, nullptr));
    EXPECT_EQ(process.GetLastError(), ERROR_NOT_FOUND);
    process.CloseHandle(h);
}

// A wait for one request sleeps through its time-out and through another request's completion,
// and returns with its own.
TEST_F(IoManagerTest, AWaitForARequestEndsWithItsCompletionOrItsTimeOut)
{
    host::UserProcess& process = machine.NewProcess();
    OVERLAPPED first{};
    OVERLAPPED second{};
    HANDLE h = PendTwo(process, first, second);
    DWORD transferred = 0;
    for (const auto& [milliseconds, error] : {std::pair{DWORD{0}, ERROR_IO_INCOMPLETE}, std::pair{DWORD{20}, WAIT_TIMEOUT}}) {
        EXPECT_FALSE(process.GetOverlappedResultEx(h, &first, &transferred, milliseconds, FALSE));
        EXPECT_EQ(process.GetLastError(), error);
    }
    std::thread driverSide([&] {
        for (size_t index : {1, 0}) {   // the second request, then the first
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            PIRP irp = driver.queue[index];
            IoSetCancelRoutine(irp, nullptr);
            CompleteWith(irp, STATUS_SUCCESS, 0);
        }
    });
    EXPECT_TRUE(process.GetOverlappedResultEx(h, &first, &transferred, INFINITE, FALSE));
    EXPECT_EQ(NTSTATUS(first.Internal), STATUS_SUCCESS);
    driverSide.join();
    process.CloseHandle(h);
}

}  // namespace
