// The emulated error log and its viewer: entries are kept as the bytes the driver wrote and
// rendered with the driver's message table; the checker's error-log rules.
#include <gtest/gtest.h>

#include <cstring>

#include "host/checker.h"
#include "host/errorlog.h"
#include "host/faults.h"
#include "host/io.h"
#include "host/machine.h"

namespace {

using host::ExpectViolation;
using host::Rule;

constexpr uint32_t MSG_PORT_LIMIT_REACHED_ID = 0xC0078005u;
constexpr uint32_t MSG_ALLOC_FAILED_ID = 0xC0078004u;

// Writes an entry the way the driver's writer lays it out: the packet, then the insertion string
// in UTF-16 at byte 40 with its NUL.
void WriteEntry(PVOID ioObject, uint32_t id, uint32_t unique, const char* insertion)
{
    size_t n = insertion != nullptr ? std::strlen(insertion) : 0;
    size_t size = std::max<size_t>(48, 42 + 2 * n);
    auto* packet = static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(ioObject, UCHAR(size)));
    ASSERT_NE(packet, nullptr);
    std::memset(packet, 0, 48);
    if (n > 0) {
        packet->NumberOfStrings = 1;
        packet->StringOffset = 40;
        auto* text = reinterpret_cast<PUCHAR>(packet) + 40;
        for (size_t i = 0; i <= n; ++i) {
            WCHAR c = i < n ? WCHAR(insertion[i]) : 0;
            std::memcpy(text + 2 * i, &c, 2);
        }
    }
    packet->ErrorCode = NTSTATUS(id);
    packet->UniqueErrorValue = unique;
    IoWriteErrorLogEntry(packet);
}

class ErrorLogTest : public ::testing::Test {
protected:
    host::Machine machine;
    PDRIVER_OBJECT driver = host::CreateDriverObject(u"\\Driver\\kxErrorLogTest");
};

TEST_F(ErrorLogTest, AnEntryWithoutInsertionIsKeptAsWrittenAndRendered)
{
    WriteEntry(driver, MSG_PORT_LIMIT_REACHED_ID, 17, nullptr);
    std::vector<host::EventLogEntry> entries = machine.Log().Entries();
    ASSERT_EQ(entries.size(), 1u);
    const host::EventLogEntry& e = entries[0];
    EXPECT_EQ(e.Size(), 48u);
    EXPECT_EQ(e.ErrorCode(), MSG_PORT_LIMIT_REACHED_ID);
    EXPECT_EQ(e.UniqueErrorValue(), 17u);
    EXPECT_EQ(e.NumberOfStrings(), 0);
    EXPECT_EQ(e.Symbol(), "MSG_PORT_LIMIT_REACHED");
    EXPECT_EQ(e.Render(), "The port quantity limit has been reached.\r\n");
    EXPECT_EQ(e.Source(), "kxErrorLogTest");
}

TEST_F(ErrorLogTest, AnInsertionStringIsRenderedInPlaceOfPercentTwo)
{
    WriteEntry(driver, MSG_ALLOC_FAILED_ID, 3, "Size:448");
    std::vector<host::EventLogEntry> entries = machine.Log().Entries();
    ASSERT_EQ(entries.size(), 1u);
    const host::EventLogEntry& e = entries[0];
    EXPECT_EQ(e.Size(), 58u);
    EXPECT_EQ(e.NumberOfStrings(), 1);
    EXPECT_EQ(e.StringOffset(), 40);
    EXPECT_EQ(e.Insertion(), "Size:448");
    EXPECT_TRUE(e.InsertionsWellFormed());
    EXPECT_EQ(e.Bytes()[56], 0);
    EXPECT_EQ(e.Bytes()[57], 0);
    EXPECT_EQ(e.Render(), "Alloc memory failed. Size:448.\r\n");
}

TEST_F(ErrorLogTest, RenderingReplacesPercentOneWithTheDriversName)
{
    EXPECT_EQ(host::RenderMessage("%1 says %2 and %3.\r\n", "kxErrorLogTest", {"hello"}),
        "kxErrorLogTest says hello and %3.\r\n");
    EXPECT_EQ(host::RenderMessage("Filter bindind. %2.\r\n", "x", {}), "Filter bindind. %2.\r\n");
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

TEST_F(ErrorLogTest, EntriesLargerThanTheMaximumAreRefusedAndFailuresCanBeInjected)
{
    EXPECT_EQ(IoAllocateErrorLogEntry(driver, UCHAR(ERROR_LOG_MAXIMUM_SIZE + 1)), nullptr);
    EXPECT_EQ(IoAllocateErrorLogEntry(driver, 255), nullptr);
    PVOID largest = IoAllocateErrorLogEntry(driver, UCHAR(ERROR_LOG_MAXIMUM_SIZE));
    ASSERT_NE(largest, nullptr);
    std::memset(largest, 0, ERROR_LOG_MAXIMUM_SIZE);
    IoWriteErrorLogEntry(largest);
    EXPECT_EQ(machine.Log().Entries().at(0).Size(), ERROR_LOG_MAXIMUM_SIZE);

    host::FailCall(host::Fault::ErrorLogEntry, 1);
    EXPECT_EQ(IoAllocateErrorLogEntry(driver, 48), nullptr);
    EXPECT_EQ(machine.Log().Count(), 1u);
}

TEST_F(ErrorLogTest, ANewEntryIsNotZeroed)
{
    auto* bytes = static_cast<PUCHAR>(IoAllocateErrorLogEntry(driver, 48));
    ASSERT_NE(bytes, nullptr);
    size_t zeros = 0;
    for (size_t i = 0; i < 48; ++i) {
        zeros += bytes[i] == 0 ? 1 : 0;
    }
    EXPECT_EQ(zeros, 0u);
    IoWriteErrorLogEntry(bytes);
}

TEST_F(ErrorLogTest, AnEntryNeverWrittenOrWrittenTwiceIsErrorLogMisuse)
{
    PVOID entry = IoAllocateErrorLogEntry(driver, 48);
    ASSERT_NE(entry, nullptr);
    {
        ExpectViolation expect(Rule::ErrorLogMisuse);
        EXPECT_EQ(host::CheckNoUnwrittenErrorLogEntries("at the test's end"), 1u);
    }
    PVOID written = IoAllocateErrorLogEntry(driver, 48);
    std::memset(written, 0, 48);
    IoWriteErrorLogEntry(written);
    {
        ExpectViolation expect(Rule::ErrorLogMisuse);
        IoWriteErrorLogEntry(written);
        EXPECT_TRUE(expect.Fired());
    }
    EXPECT_EQ(machine.Log().Count(), 1u);
}

NTSTATUS EntryThatAllocatesAnEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING)
{
    IoAllocateErrorLogEntry(driverObject, 48);
    driverObject->DriverUnload = [](PDRIVER_OBJECT) {};
    return STATUS_SUCCESS;
}

TEST(ErrorLogMachineTest, AnEntryLeftUnwrittenIsReportedAtUnload)
{
    host::Machine machine;
    ASSERT_EQ(machine.LoadDriver(EntryThatAllocatesAnEntry, u"kxUnwritten", {}), STATUS_SUCCESS);
    ExpectViolation expect(Rule::ErrorLogMisuse);
    machine.UnloadDriver();
    ASSERT_EQ(expect.Caught().size(), 1u);
    EXPECT_NE(expect.Caught()[0].what.find("kxUnwritten"), std::string::npos);
}

TEST(MessageTableTest, TheTableHoldsEveryMessageOfTheDriverWithItsClosingLineBreak)
{
    EXPECT_EQ(host::MessageTable().size(), 28u);
    for (const host::MessageTableEntry& m : host::MessageTable()) {
        std::string text = m.text;
        EXPECT_TRUE(text.size() >= 2 && text.substr(text.size() - 2) == "\r\n") << m.symbol;
        EXPECT_EQ(m.id >> 16 & 0xFFF, 7u) << m.symbol;
    }
    ASSERT_NE(host::FindMessage(0x40070001u), nullptr);
    EXPECT_STREQ(host::FindMessage(0x40070001u)->symbol, "MSG_FILTER_BINDING");
}

}  // namespace
