// The driver's event-log entries, byte for byte as the event viewer reads them: packet members,
// the insertion string in UTF-16 after the packet, and the entries the writer drops.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "base/event_log.h"
#include "host/io/errorlog.h"
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
    GvspMachine m;
};

struct EntryCase {
    const char* what;
    std::function<void()> write;
    uint32_t id, unique;
    std::string insertion;   // empty: no insertion string
    std::string rendered;    // empty: not checked
};

TEST_F(EventLogWriter, EachEntryIsThePacketFollowedByItsInsertionInUtf16)
{
    const std::string ninetyNine(99, 'x');
    const EntryCase cases[] = {
        {"no insertion", [] { WriteEventLog(MSG_PORT_LIMIT_REACHED, 0, nullptr); }, 0xC0078005u, 0, "",
            "The port quantity limit has been reached.\r\n"},
        {"a number", [] { WriteEventLog(MSG_ALLOC_FAILED, 4, "Size:%d", 448); }, 0xC0078004u, 4, "Size:448",
            "Alloc memory failed. Size:448.\r\n"},
        {"ninety-nine characters, the most that fit",
            [&] { WriteEventLog(MSG_ALLOC_FAILED, 0, "%s", ninetyNine.c_str()); }, 0xC0078004u, 0, ninetyNine, ""},
        {"shorts and pointers as the kernel prints them",
            [] {
                WriteEventLog(MSG_FILTER_BINDING, 7, "Port:%hu,Id:%d,PID:%p,FObj:%p", static_cast<unsigned short>(0x1234),
                    0x00010020, reinterpret_cast<PVOID>(0x1A2B), static_cast<PVOID>(nullptr));
            },
            0x40070001u, 7, "Port:4660,Id:65568,PID:0000000000001A2B,FObj:0000000000000000",
            "Filter bindind. Port:4660,Id:65568,PID:0000000000001A2B,FObj:0000000000000000.\r\n"},
    };
    for (const EntryCase& c : cases) {
        SCOPED_TRACE(c.what);
        m.ClearEvents();
        c.write();
        auto entries = m.Events();
        ASSERT_EQ(entries.size(), 1u);
        const std::vector<uint8_t>& b = entries[0].Bytes();
        const size_t n = c.insertion.size();
        ASSERT_EQ(b.size(), n == 0 ? 48u : 40 + 2 * (n + 1));
        EXPECT_EQ(U16(b, 4), n == 0 ? 0u : 1u);    // NumberOfStrings
        EXPECT_EQ(U16(b, 6), n == 0 ? 0u : 40u);   // StringOffset
        EXPECT_EQ(U32(b, 12), c.id);
        EXPECT_EQ(U32(b, 16), c.unique);
        EXPECT_EQ(U32(b, 20), 0u);   // FinalStatus
        for (size_t i : {0u, 1u, 2u, 3u, 8u, 9u, 24u, 28u, 32u}) {
            EXPECT_EQ(b[i], 0u) << "byte " << i;
        }
        for (size_t i = 0; i <= n; ++i) {
            EXPECT_EQ(U16(b, 40 + 2 * i), i < n ? uint16_t(c.insertion[i]) : 0u) << "character " << i;
        }
        if (!c.rendered.empty()) {
            EXPECT_EQ(entries[0].Render(), c.rendered);
        }
    }
}

TEST_F(EventLogWriter, EntriesItCannotWriteAreDroppedSilently)
{
    const std::string ninetyNine(99, 'x');
    const std::pair<const char*, std::function<void()>> cases[] = {
        {"a hundred characters", [] { WriteEventLog(MSG_ALLOC_FAILED, 0, "%s", std::string(100, 'y').c_str()); }},
        {"a format growing past the limit",
            [&] { WriteEventLog(MSG_ALLOC_FAILED, 0, "Size:%d%s", 1, ninetyNine.c_str()); }},
        {"at DISPATCH_LEVEL",
            [] {
                KIRQL old;
                KeRaiseIrql(DISPATCH_LEVEL, &old);
                WriteEventLog(MSG_ALLOC_FAILED, 0, "Size:%d", 1);
                KeLowerIrql(old);
            }},
        {"an exhausted log",
            [] {
                host::FailCall(host::Fault::ErrorLogEntry, 1);
                WriteEventLog(MSG_ALLOC_FAILED, 0, "Size:%d", 3);
            }},
    };
    for (const auto& [what, write] : cases) {
        write();
        EXPECT_TRUE(m.Events().empty()) << what;
    }
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    WriteEventLog(MSG_ALLOC_FAILED, 0, "Size:%d", 2);
    KeLowerIrql(old);
    EXPECT_EQ(m.Events().size(), 1u) << "APC_LEVEL is still low enough";
}

}  // namespace
