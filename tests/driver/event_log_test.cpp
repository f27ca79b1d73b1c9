// The event-log writer, byte for byte: packet members, insertion strings, the size limit and
// the IRQL rule; and the message table as the event viewer renders it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "driver/event_log.h"
#include "host/errorlog.h"
#include "tests/support/gvsp_machine.h"

using namespace gvsptest;

namespace {

uint16_t U16(const std::vector<uint8_t>& b, size_t at) { return uint16_t(b[at] | b[at + 1] << 8); }
uint32_t U32(const std::vector<uint8_t>& b, size_t at) { return uint32_t(U16(b, at) | U16(b, at + 2) << 16); }

class EventLogWriter : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(m.Load(), STATUS_SUCCESS);
        m.ClearEvents();
    }
    host::EventLogEntry OnlyEntry()
    {
        auto entries = m.Events();
        EXPECT_EQ(entries.size(), 1u);
        return entries.at(0);
    }
    GvspMachine m;
};

TEST_F(EventLogWriter, AnEntryWithoutInsertionIsTheBarePacket)
{
    WriteEventLog(MSG_PORT_LIMIT_REACHED, 0, nullptr);
    host::EventLogEntry e = OnlyEntry();
    const std::vector<uint8_t>& b = e.Bytes();
    ASSERT_EQ(b.size(), 48u);
    EXPECT_EQ(U16(b, 4), 0u);    // NumberOfStrings
    EXPECT_EQ(U16(b, 6), 0u);    // StringOffset
    EXPECT_EQ(U32(b, 12), 0xC0078005u);
    EXPECT_EQ(U32(b, 16), 0u);   // UniqueErrorValue
    EXPECT_EQ(U32(b, 20), 0u);   // FinalStatus
    for (size_t i : {0u, 1u, 2u, 3u, 8u, 9u, 24u, 28u, 32u, 40u, 44u}) {
        EXPECT_EQ(b[i], 0u) << "byte " << i;
    }
    EXPECT_EQ(e.Render(), "The port quantity limit has been reached.\r\n");
}

TEST_F(EventLogWriter, AnInsertionFollowsThePacketInUtf16)
{
    WriteEventLog(MSG_ALLOC_FAILED, 4, "Size:%d", 448);
    host::EventLogEntry e = OnlyEntry();
    const std::vector<uint8_t>& b = e.Bytes();
    ASSERT_EQ(b.size(), 58u);
    EXPECT_EQ(U16(b, 4), 1u);
    EXPECT_EQ(U16(b, 6), 40u);
    EXPECT_EQ(U32(b, 12), 0xC0078004u);
    EXPECT_EQ(U32(b, 16), 4u);
    const char* text = "Size:448";
    for (size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(U16(b, 40 + 2 * i), uint16_t(text[i])) << i;
    }
    EXPECT_EQ(U16(b, 56), 0u);
    EXPECT_EQ(e.Render(), "Alloc memory failed. Size:448.\r\n");
}

TEST_F(EventLogWriter, NinetyNineCharactersFitAndAHundredDoNot)
{
    std::string ninetyNine(99, 'x');
    WriteEventLog(MSG_ALLOC_FAILED, 0, "%s", ninetyNine.c_str());
    host::EventLogEntry e = OnlyEntry();
    EXPECT_EQ(e.Size(), 240u);
    EXPECT_EQ(e.Insertion(), ninetyNine);
    EXPECT_EQ(U16(e.Bytes(), 238), 0u);
    m.ClearEvents();

    std::string hundred(100, 'y');
    WriteEventLog(MSG_ALLOC_FAILED, 0, "%s", hundred.c_str());
    WriteEventLog(MSG_ALLOC_FAILED, 0, "Size:%d%s", 1, ninetyNine.c_str());
    EXPECT_TRUE(m.Events().empty());
}

TEST_F(EventLogWriter, WritesNothingAboveApcLevel)
{
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    WriteEventLog(MSG_ALLOC_FAILED, 0, "Size:%d", 1);
    KeLowerIrql(old);
    EXPECT_TRUE(m.Events().empty());

    KeRaiseIrql(APC_LEVEL, &old);
    WriteEventLog(MSG_ALLOC_FAILED, 0, "Size:%d", 2);
    KeLowerIrql(old);
    EXPECT_EQ(m.Events().size(), 1u);
}

TEST_F(EventLogWriter, AnExhaustedLogDropsTheEntrySilently)
{
    host::FailCall(host::Fault::ErrorLogEntry, 1);
    WriteEventLog(MSG_ALLOC_FAILED, 0, "Size:%d", 3);
    EXPECT_TRUE(m.Events().empty());
}

TEST_F(EventLogWriter, PrintsPointersAndShortsTheWayTheKernelDoes)
{
    WriteEventLog(MSG_FILTER_BINDING, 0, "Port:%hu,Id:%d,PID:%p,FObj:%p", static_cast<unsigned short>(0x1234),
        0x00010020, reinterpret_cast<PVOID>(0x1A2B), nullptr);
    EXPECT_EQ(OnlyEntry().Render(),
        "Filter bindind. Port:4660,Id:65568,PID:0000000000001A2B,FObj:0000000000000000.\r\n");
}

// The viewer's table is the one message-table source the driver is built with.
TEST(MessageTable, HoldsTheTwentyEightMessagesWithTheirTexts)
{
    ASSERT_EQ(host::MessageTable().size(), 28u);
    struct Expected {
        uint32_t id;
        const char* symbol;
        const char* text;
    };
    const Expected table[] = {
        {0x40070001, "MSG_FILTER_BINDING", "Filter bindind. %2.\r\n"},
        {0x40070002, "MSG_CACHE_INIT_COMPLETE", "Cache initialization is complete. %2.\r\n"},
        {0x40070005, "MSG_CONTEXT_CLEANUP", "Context clean up. %2.\r\n"},
        {0x40071000, "MSG_DRIVER_LOADED", "GigE Driver Loaded. %2.\r\n"},
        {0x40071004, "MSG_NOTIFICATION_DEVICE_FOUND", "Get the PDO for notification success. %2.\r\n"},
        {0x80074000, "MSG_NOTIFICATION_DEVICE_NOT_FOUND", "Get the PDO for notification failed. %2.\r\n"},
        {0x80074001, "MSG_MEDIA_TYPE_REJECTED", "MiniportMediaType Not Access. %2.\r\n"},
        {0x80074002, "MSG_FILE_CONTEXT_NULL", "The file context is null. \r\n"},
        {0x80074003, "MSG_INVALID_CONTEXT", "Invalid context. %2. \r\n"},
        {0xC0078000, "MSG_DRIVER_LOAD_FAILED", "GigE driver load failed. %2.\r\n"},
        {0xC0078001, "MSG_MAP_BUFFER_FAILED", "Map the buffer failed.\r\n"},
        {0xC0078006, "MSG_PORT_ALREADY_BOUND", "The port has already bind to %2.\r\n"},
        {0xC007800C, "MSG_VERSION_MISMATCH", "Version mismatch. %2.\r\n"},
    };
    for (const Expected& e : table) {
        const host::MessageTableEntry* found = host::FindMessage(e.id);
        ASSERT_NE(found, nullptr) << e.symbol;
        EXPECT_STREQ(found->symbol, e.symbol);
        EXPECT_STREQ(found->text, e.text);
    }
    EXPECT_EQ(MSG_CACHE_INIT_FAILED, static_cast<NTSTATUS>(0xC0078009));
    EXPECT_EQ(MSG_NIC_DETACHED, static_cast<NTSTATUS>(0x40071002));
}

TEST(MessageTable, NamesTheReportingDriverForPercentOne)
{
    EXPECT_EQ(host::RenderMessage("%1: %2.\r\n", "kxGenICamForEthernet", {"Size:8"}), "kxGenICamForEthernet: Size:8.\r\n");
}

}  // namespace
