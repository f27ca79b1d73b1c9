// The driver's clock and the stream's rate statistics as user mode reads them: frame and data
// rates in hundredths, written from the frames that complete, on the virtual clock.
#include <gtest/gtest.h>

#include "base/clock.h"
#include "tests/support/gvsp_packets.h"

using namespace gvsptest;

namespace {

constexpr int64_t DAY_COUNTS = int64_t{86400} * host::PERFORMANCE_FREQUENCY;

class RateStatistics : public ReceiveTest {
protected:
    RateStatistics() { host::UseVirtualClock(DAY_COUNTS); }

    static constexpr uint32_t BIG_PACKET = 8008;   // P = 8000
    static constexpr uint32_t FIVE_MB_PACKETS = 625;

    void SetUp() override
    {
        ReceiveTest::SetUp();
        Open(Config(FIVE_MB_PACKETS, BIG_PACKET), FIVE_MB_PACKETS * 8000, 3);
    }

    // A frame of `packets` payload packets, closed by its trailer.
    void CompleteFrame(uint64_t block, uint32_t packets)
    {
        ReceiveWholeFrame(camera, block, packets);
        gvsp::Frame frame = TakeFrame();
        ASSERT_TRUE(frame.Valid());
        ASSERT_EQ(frame.Status(), FRAME_STATUS_COMPLETE);
        ASSERT_EQ(stream->ReturnFrame(frame), STATUS_SUCCESS);
    }

    GvspCamera camera{BIG_PACKET};
};

TEST_F(RateStatistics, TwoFramesAFrameTimeApartGiveTheRates)
{
    CompleteFrame(1, 1);
    EXPECT_EQ(stream->Block().FrameRate, 0u) << "one frame gives no rate";
    host::AdvanceClock(40'000);
    CompleteFrame(2, FIVE_MB_PACKETS);   // 5,000,000 payload bytes
    EXPECT_EQ(stream->Block().FrameRate, 2500u);
    EXPECT_EQ(stream->Block().DataRate, 12'500'000'000u);
}

TEST_F(RateStatistics, FramesThatDoNotCompleteLeaveTheRates)
{
    CompleteFrame(1, 1);
    host::AdvanceClock(40'000);
    CompleteFrame(2, 2);
    uint64_t frameRate = stream->Block().FrameRate;
    uint64_t dataRate = stream->Block().DataRate;
    ASSERT_EQ(frameRate, 2500u);
    ASSERT_EQ(dataRate, 16000u * 25 * 100);

    host::AdvanceClock(10'000);
    EXPECT_TRUE(Receive(camera.Leader(3)));
    EXPECT_TRUE(Receive(camera.Payload(3, 1, SIZE_MAX, 0x8001)));   // closed by a device error
    gvsp::Frame frame = TakeFrame();
    ASSERT_TRUE(frame.Valid());
    EXPECT_EQ(frame.Status(), FRAME_STATUS_DEVICE_ERROR);
    EXPECT_EQ(stream->ReturnFrame(frame), STATUS_SUCCESS);
    EXPECT_EQ(stream->Block().FrameRate, frameRate);
    EXPECT_EQ(stream->Block().DataRate, dataRate);

    // The next completed frame measures from frame 1: three samples over 100 ms.
    host::AdvanceClock(50'000);
    CompleteFrame(4, 1);
    EXPECT_EQ(stream->Block().FrameRate, 2000u);
    EXPECT_EQ(stream->Block().DataRate, (16000u + 8000) * 10 * 100);
}

// The window: at most 50 samples, or five seconds while at least three remain. A slow start
// followed by a steady rate: the rate reads the steady rate only once the window has let the
// slow frames go.
struct WindowCase {
    const char* name;
    uint32_t slowFrames;
    int64_t slowIntervalUs;
    uint32_t steadyFrames;
    int64_t steadyIntervalUs;
    uint64_t frameRate;
};

void PrintTo(const WindowCase& c, std::ostream* os) { *os << c.name; }

class RateWindow : public RateStatistics, public ::testing::WithParamInterface<WindowCase> {};

TEST_P(RateWindow, HoldsOnlyTheRecentFrames)
{
    const WindowCase& c = GetParam();
    uint64_t block = 1;
    for (uint32_t i = 0; i < c.slowFrames; ++i) {
        host::AdvanceClock(c.slowIntervalUs);
        CompleteFrame(block++, 1);
    }
    for (uint32_t i = 0; i < c.steadyFrames; ++i) {
        host::AdvanceClock(c.steadyIntervalUs);
        CompleteFrame(block++, 1);
    }
    EXPECT_EQ(stream->Block().FrameRate, c.frameRate);
}

INSTANTIATE_TEST_SUITE_P(Table, RateWindow,
    ::testing::Values(
        // 100 frames per second after a slow start: 50 samples, 49 intervals of 10 ms.
        WindowCase{"FiftySamples", 5, 1'000'000, 60, 10'000, 10000},
        // Still within 50 samples: the slow start counts.
        WindowCase{"SlowStartStillInside", 5, 1'000'000, 30, 10'000, 3400 * 100 / 430},
        // A frame every 300 ms: 17 samples span 4.8 s, an 18th would span 5.1 s.
        WindowCase{"FiveSeconds", 5, 1'000'000, 30, 300'000, 1600 * 10 / 48},
        // Frames at 2, 4, 6 s, then every 500 ms up to 9 s: the frame at 4 s is exactly five
        // seconds old and stays, so 8 samples span 5 s.
        WindowCase{"ExactlyFiveSecondsOldStays", 3, 2'000'000, 6, 500'000, 140}),
    [](const ::testing::TestParamInfo<WindowCase>& param) { return std::string(param.param.name); });

// The clock in microseconds since the counter's origin, at long uptimes.
struct UptimeCase {
    const char* name;
    int64_t counts;
    int64_t microseconds;
};

void PrintTo(const UptimeCase& c, std::ostream* os) { *os << c.name; }

class ClockUptime : public ::testing::TestWithParam<UptimeCase> {};

TEST_P(ClockUptime, MicrosecondsAreExact)
{
    GvspMachine machine({true, GetParam().counts});
    ASSERT_EQ(machine.Load(), STATUS_SUCCESS);
    EXPECT_EQ(QueryMicroseconds(), GetParam().microseconds);
}

INSTANTIATE_TEST_SUITE_P(Table, ClockUptime,
    ::testing::Values(UptimeCase{"Origin", 0, 0}, UptimeCase{"BelowOneMicrosecond", 9, 0},
        UptimeCase{"ThirtyDays", 30 * DAY_COUNTS, int64_t{30} * 86400 * 1'000'000},
        UptimeCase{"ThirtyDaysAndAFraction", 30 * DAY_COUNTS + 9'999'999, int64_t{30} * 86400 * 1'000'000 + 999'999},
        UptimeCase{"TenYears", 3650 * DAY_COUNTS + 12'345'678, int64_t{3650} * 86400 * 1'000'000 + 1'234'567}),
    [](const ::testing::TestParamInfo<UptimeCase>& param) { return std::string(param.param.name); });

class ClockInFrames : public ReceiveTest {
protected:
    ClockInFrames() { host::UseVirtualClock(30 * DAY_COUNTS + 7); }
};

TEST_F(ClockInFrames, PacketTimesAfterThirtyDaysAreTheUptimeInMicroseconds)
{
    constexpr uint64_t THIRTY_DAYS_US = uint64_t{30} * 86400 * 1'000'000;
    Open(Config(2));
    GvspCamera camera{PACKET_SIZE};
    EXPECT_TRUE(Receive(camera.Leader(1)));
    host::AdvanceClock(1500);
    EXPECT_TRUE(Receive(camera.Payload(1, 1)));
    uint64_t first = CurrentPrivate().FirstPacketTime;
    uint64_t last = CurrentHeader().LastPacketTime;
    EXPECT_EQ(first, THIRTY_DAYS_US);
    EXPECT_EQ(last, THIRTY_DAYS_US + 1500);
}

}  // namespace
