// The emulated I/O manager as the driver relies on it: opening a device through its link,
// METHOD_BUFFERED requests, pending requests with cancellation under the cancel lock, cleanup
// before close. Driven through a small test driver defined here. (The IRP
// rules are in the checker's table; the object manager is crossed by the notification tests.)
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "host/faults.h"
#include "host/io.h"
#include "host/kernel.h"
#include "host/machine.h"

namespace {

constexpr ULONG IOCTL_ECHO = CTL_CODE(FILE_DEVICE_PHYSICAL_NETCARD, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG IOCTL_PEND = CTL_CODE(FILE_DEVICE_PHYSICAL_NETCARD, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG IOCTL_FAIL_WITH = CTL_CODE(FILE_DEVICE_PHYSICAL_NETCARD, 0x807, METHOD_BUFFERED, FILE_ANY_ACCESS);

// ---- The test driver ----------------------------------------------------------------------------
// One device "\Device\IoTest", linked as "\DosDevices\IoTest". IOCTL_ECHO fills the output with
// the input followed by bytes that encode their offset and reports as many bytes as the input's
// first ULONG asks; IOCTL_PEND* queue the request; cleanup completes what is queued. Everything the dispatch routines see is recorded.
struct TestDriver {
    std::mutex lock;
    std::deque<PIRP> queue;                   // pending requests, guarded by lock
    std::vector<UCHAR> majors;                // dispatch order, guarded by lock
    std::vector<HANDLE> processIds;           // PsGetCurrentProcessId at each dispatch
    std::vector<PVOID> fsContexts;            // FileObject->FsContext at each dispatch
    std::atomic<int> cancelCalls{0};
    std::atomic<bool> cancelSawLockAtDispatch{false};
    std::atomic<bool> cancelSawCancelFlag{false};
    PDEVICE_OBJECT device = nullptr;
};
TestDriver* Driver = nullptr;
int FileContextTag = 0;

UNICODE_STRING Text(const char16_t* s)
{
    UNICODE_STRING u;
    RtlInitUnicodeString(&u, s);
    return u;
}

void CompleteWith(PIRP irp, NTSTATUS status, ULONG_PTR information, CHAR boost = IO_NO_INCREMENT)
{
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, boost);
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
    {
        std::lock_guard<std::mutex> guard(Driver->lock);
        Driver->majors.push_back(stack->MajorFunction);
        Driver->processIds.push_back(PsGetCurrentProcessId());
        Driver->fsContexts.push_back(stack->FileObject->FsContext);
    }
    switch (stack->MajorFunction) {
    case IRP_MJ_CREATE:
        stack->FileObject->FsContext = &FileContextTag;
        break;
    case IRP_MJ_CLEANUP:
        for (;;) {
            PIRP queued;
            {
                std::lock_guard<std::mutex> guard(Driver->lock);
                if (Driver->queue.empty()) {
                    break;
                }
                queued = Driver->queue.front();
                Driver->queue.pop_front();
            }
            if (IoSetCancelRoutine(queued, nullptr) != nullptr) {
                CompleteWith(queued, STATUS_CANCELLED, 0);
            }
        }
        break;
    case IRP_MJ_DEVICE_CONTROL: {
        ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
        auto* buffer = static_cast<PUCHAR>(irp->AssociatedIrp.SystemBuffer);
        ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
        ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
        if (code == IOCTL_ECHO) {
            ULONG report = 0;
            std::memcpy(&report, buffer, sizeof report);
            for (ULONG i = in; i < out; ++i) {
                buffer[i] = UCHAR(0x80 + i);
            }
            CompleteWith(irp, STATUS_SUCCESS, report, IO_NETWORK_INCREMENT);
            return STATUS_SUCCESS;
        }
        if (code == IOCTL_FAIL_WITH) {
            NTSTATUS status;
            std::memcpy(&status, buffer, sizeof status);
            CompleteWith(irp, status, 0);
            return status;
        }
        if (code == IOCTL_PEND) {
            IoMarkIrpPending(irp);
            IoSetCancelRoutine(irp, CancelQueued);
            std::lock_guard<std::mutex> guard(Driver->lock);
            Driver->queue.push_back(irp);
            return STATUS_PENDING;
        }
        CompleteWith(irp, STATUS_INVALID_PARAMETER, 0);
        return STATUS_INVALID_PARAMETER;
    }
    default:
        break;
    }
    CompleteWith(irp, STATUS_SUCCESS, 0);
    return STATUS_SUCCESS;
}

VOID TestDriverUnload(PDRIVER_OBJECT)
{
    UNICODE_STRING link = Text(u"\\DosDevices\\IoTest");
    host::DeleteSymbolicLink(&link);
    host::DeleteNamedDevice(Driver->device);
}

NTSTATUS TestDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING)
{
    PDRIVER_DISPATCH major[IRP_MJ_MAXIMUM_FUNCTION + 1] = {};
    major[IRP_MJ_CREATE] = major[IRP_MJ_CLEANUP] = major[IRP_MJ_CLOSE] = major[IRP_MJ_DEVICE_CONTROL] = Dispatch;
    UNICODE_STRING name = Text(u"\\Device\\IoTest");
    UNICODE_STRING link = Text(u"\\DosDevices\\IoTest");
    UNICODE_STRING sddl = Text(u"D:P(A;;GA;;;SY)(A;;GA;;;BA)");
    NTSTATUS status;
    Driver->device = host::CreateNamedDevice(driver, &name, major, 16, &sddl, &status);
    if (Driver->device == nullptr) {
        return status;
    }
    status = host::CreateSymbolicLink(&link, &name);
    if (!NT_SUCCESS(status)) {
        host::DeleteNamedDevice(Driver->device);
        return status;
    }
    driver->DriverUnload = TestDriverUnload;
    return STATUS_SUCCESS;
}

class IoManagerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        Driver = &driver;
        ASSERT_EQ(machine.LoadDriver(TestDriverEntry, u"kxIoTest", {}), STATUS_SUCCESS);
    }

    std::vector<UCHAR> Majors()
    {
        std::lock_guard<std::mutex> guard(driver.lock);
        return driver.majors;
    }
    size_t Queued()
    {
        std::lock_guard<std::mutex> guard(driver.lock);
        return driver.queue.size();
    }
    // Completes the oldest queued request as a driver does: claims it from its cancel routine.
    void CompleteQueued(NTSTATUS status, ULONG_PTR information, const void* bytes = nullptr, size_t size = 0)
    {
        PIRP irp;
        {
            std::lock_guard<std::mutex> guard(driver.lock);
            ASSERT_FALSE(driver.queue.empty());
            irp = driver.queue.front();
            driver.queue.pop_front();
        }
        IoSetCancelRoutine(irp, nullptr);
        if (bytes != nullptr) {
            std::memcpy(irp->AssociatedIrp.SystemBuffer, bytes, size);
        }
        CompleteWith(irp, status, information);
    }

    TestDriver driver;
    host::Machine machine;
};

// ---- Opening and closing ------------------------------------------------------------------------

TEST_F(IoManagerTest, OpenResolvesThroughTheDosDevicesLinkAndCloseSendsCleanupThenClose)
{
    EXPECT_TRUE(host::SymbolicLinkExists(u"\\DosDevices\\IoTest"));
    EXPECT_EQ(host::SymbolicLinkTarget(u"\\??\\iotest"), u"\\Device\\IoTest");
    EXPECT_EQ(host::DeviceSddl(driver.device), u"D:P(A;;GA;;;SY)(A;;GA;;;BA)");
    EXPECT_EQ(host::FindDevice(u"\\Device\\IoTest"), driver.device);

    host::UserProcess& process = machine.NewProcess();
    HANDLE h = process.CreateFile(u"\\\\.\\IoTest");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ULONG report = 0;
    ULONG_PTR information = 99;
    EXPECT_EQ(process.NtDeviceIoControlFile(h, IOCTL_ECHO, &report, sizeof report, nullptr, 0, &information),
        STATUS_SUCCESS);
    EXPECT_EQ(information, 0u);
    EXPECT_TRUE(process.CloseHandle(h));
    EXPECT_FALSE(process.CloseHandle(h));
    EXPECT_EQ(process.GetLastError(), ERROR_INVALID_HANDLE);

    EXPECT_EQ(Majors(), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_DEVICE_CONTROL, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
    // The per-open context set at create reaches every later request of the handle, each
    // dispatched in the context of the calling process.
    EXPECT_EQ(driver.fsContexts[0], nullptr);
    for (size_t i = 1; i < driver.fsContexts.size(); ++i) {
        EXPECT_EQ(driver.fsContexts[i], &FileContextTag) << "dispatch " << i;
    }
    for (HANDLE id : driver.processIds) {
        EXPECT_EQ(id, process.Id());
    }
    EXPECT_NE(process.Id(), reinterpret_cast<HANDLE>(4));
}

TEST_F(IoManagerTest, EachProcessGetsItsOwnIdAndHandles)
{
    host::UserProcess& a = machine.NewProcess();
    host::UserProcess& b = machine.NewProcess();
    EXPECT_NE(a.Id(), b.Id());
    HANDLE ha = a.CreateFile(u"\\\\.\\IoTest");
    ASSERT_NE(ha, INVALID_HANDLE_VALUE);
    ULONG report = 0;
    // A handle of one process means nothing in another.
    EXPECT_EQ(b.NtDeviceIoControlFile(ha, IOCTL_ECHO, &report, sizeof report, nullptr, 0, nullptr),
        STATUS_INVALID_HANDLE);
    EXPECT_EQ(a.OpenHandles(), 1u);
    EXPECT_EQ(b.OpenHandles(), 0u);
    a.CloseHandle(ha);
}

// ---- METHOD_BUFFERED ----------------------------------------------------------------------------

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

TEST_F(IoManagerTest, FailuresReachTheCallerAsStatusesAndWin32Errors)
{
    struct Case {
        NTSTATUS status;
        DWORD error;
    };
    const Case cases[] = {
        {STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE},
        {STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
        {STATUS_NOT_SUPPORTED, ERROR_NOT_SUPPORTED},
        {STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
        {STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
    };
    host::UserProcess& process = machine.NewProcess();
    HANDLE h = process.CreateFile(u"\\\\.\\IoTest");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.status);
        NTSTATUS status = c.status;
        UCHAR output[8] = {};
        ULONG_PTR information = 0;
        EXPECT_EQ(process.NtDeviceIoControlFile(h, IOCTL_FAIL_WITH, &status, sizeof status, output, sizeof output,
                      &information),
            c.status);
        DWORD returned = 7;
        EXPECT_FALSE(process.DeviceIoControl(h, IOCTL_FAIL_WITH, &status, sizeof status, output, sizeof output,
            &returned, nullptr));
        EXPECT_EQ(process.GetLastError(), c.error);
        EXPECT_EQ(returned, 0u);
    }
    process.CloseHandle(h);
}

// ---- Pending requests ---------------------------------------------------------------------------

TEST_F(IoManagerTest, AnOverlappedRequestPendsAndItsCompletionFillsTheOverlapped)
{
    host::UserProcess& process = machine.NewProcess();
    HANDLE h = process.CreateFile(u"\\\\.\\IoTest");
    UCHAR output[16];
    std::memset(output, 0x11, sizeof output);
    OVERLAPPED overlapped{};
    DWORD returned = 0;
    EXPECT_FALSE(process.DeviceIoControl(h, IOCTL_PEND, nullptr, 0, output, sizeof output, &returned, &overlapped));
    EXPECT_EQ(process.GetLastError(), ERROR_IO_PENDING);
    EXPECT_FALSE(HasOverlappedIoCompleted(&overlapped));
    EXPECT_EQ(host::PendingIrps(), 1u);
    EXPECT_FALSE(process.GetOverlappedResult(h, &overlapped, &returned, FALSE));
    EXPECT_EQ(process.GetLastError(), ERROR_IO_INCOMPLETE);

    const UCHAR result[6] = {1, 2, 3, 4, 5, 6};
    std::thread completer([&] { CompleteQueued(STATUS_SUCCESS, sizeof result, result, sizeof result); });
    EXPECT_TRUE(process.GetOverlappedResult(h, &overlapped, &returned, TRUE));
    completer.join();
    EXPECT_EQ(NTSTATUS(overlapped.Internal), STATUS_SUCCESS);
    EXPECT_EQ(overlapped.InternalHigh, sizeof result);
    EXPECT_EQ(returned, sizeof result);
    EXPECT_EQ(std::memcmp(output, result, sizeof result), 0);
    EXPECT_EQ(output[sizeof result], 0x11);
    EXPECT_EQ(host::PendingIrps(), 0u);
    process.CloseHandle(h);
}

TEST_F(IoManagerTest, CancelIoExCallsTheCancelRoutineUnderTheCancelLock)
{
    host::UserProcess& process = machine.NewProcess();
    HANDLE h = process.CreateFile(u"\\\\.\\IoTest");
    OVERLAPPED first{};
    OVERLAPPED second{};
    process.DeviceIoControl(h, IOCTL_PEND, nullptr, 0, nullptr, 0, nullptr, &first);
    process.DeviceIoControl(h, IOCTL_PEND, nullptr, 0, nullptr, 0, nullptr, &second);
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

TEST_F(IoManagerTest, EndingAProcessCancelsItsRequestsThenCleansUpAndCloses)
{
    host::UserProcess& process = machine.NewProcess();
    HANDLE h = process.CreateFile(u"\\\\.\\IoTest");
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    OVERLAPPED overlapped{};
    process.DeviceIoControl(h, IOCTL_PEND, nullptr, 0, nullptr, 0, nullptr, &overlapped);
    machine.EndProcess(process);
    EXPECT_EQ(driver.cancelCalls, 1);
    EXPECT_EQ(Majors(), (std::vector<UCHAR>{IRP_MJ_CREATE, IRP_MJ_DEVICE_CONTROL, IRP_MJ_CLEANUP, IRP_MJ_CLOSE}));
    EXPECT_EQ(host::PendingIrps(), 0u);
}

}  // namespace
