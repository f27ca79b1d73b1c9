// The emulated error log where it must be stricter than a driver's good manners: entries are
// handed out unzeroed and no larger than the maximum, and the viewer never reads past an entry.
// (The driver's own entries, bytes and rendering, are tested with its writer.)
#include <gtest/gtest.h>

#include <cstring>

#include "host/io/errorlog.h"
#include "host/io/io.h"
#include "host/machine.h"
#include "host/verifier/faults.h"

namespace {

constexpr uint32_t MSG_ALLOC_FAILED_ID = 0xC0078004u;

class ErrorLogTest : public ::testing::Test {
protected:
    host::Machine machine;
    PDRIVER_OBJECT driver = host::CreateDriverObject(u"\\Driver\\kxErrorLogTest");
};

TEST_F(ErrorLogTest, ANewEntryIsNotZeroed)
{
    auto* bytes = static_cast<PUCHAR>(IoAllocateErrorLogEntry(driver, 48));
    ASSERT_NE(bytes, nullptr);
    size_t zeros = 0;
    for (size_t i = 0; i < 48; ++i) {
        zeros += bytes[i] == 0 ? 1 : 0;
    }
    EXPECT_EQ(zeros, 0u);
    std::memset(bytes, 0, 48);
    IoWriteErrorLogEntry(bytes);
}

TEST_F(ErrorLogTest, EntriesLargerThanTheMaximumAreRefusedAndFailuresCanBeInjected)
{
    EXPECT_EQ(IoAllocateErrorLogEntry(driver, UCHAR(ERROR_LOG_MAXIMUM_SIZE + 1)), nullptr);
    PVOID largest = IoAllocateErrorLogEntry(driver, UCHAR(ERROR_LOG_MAXIMUM_SIZE));
    ASSERT_NE(largest, nullptr);
    std::memset(largest, 0, ERROR_LOG_MAXIMUM_SIZE);
    IoWriteErrorLogEntry(largest);
    EXPECT_EQ(machine.Log().Entries().at(0).Size(), ERROR_LOG_MAXIMUM_SIZE);

    host::FailCall(host::Fault::ErrorLogEntry, 1);
    EXPECT_EQ(IoAllocateErrorLogEntry(driver, 48), nullptr);
    EXPECT_EQ(machine.Log().Count(), 1u);
}

TEST_F(ErrorLogTest, AnInsertionRunningPastTheEntryIsNotRead)
{
    auto* packet = static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(driver, 48));
    std::memset(packet, 'A', 48);   // no NUL anywhere after byte 40
    packet->NumberOfStrings = 1;
    packet->StringOffset = 40;
    packet->ErrorCode = NTSTATUS(MSG_ALLOC_FAILED_ID);
    IoWriteErrorLogEntry(packet);
    const host::EventLogEntry e = machine.Log().Entries().at(0);
    EXPECT_FALSE(e.InsertionsWellFormed());
    EXPECT_EQ(e.Insertion(), "");
}

}  // namespace
