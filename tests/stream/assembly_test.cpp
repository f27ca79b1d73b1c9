// GVSP frame assembly as a camera library sees it: which packets make a frame, how block ids move
// forward and wrap, what is counted in the StreamControlBlock, and with which status each frame
// reaches user mode.
#include <gtest/gtest.h>

#include "tests/support/gvsp_packets.h"

using namespace gvsptest;

namespace {

class Assembly : public ReceiveTest {
protected:
    void SetUp() override { ReceiveTest::SetUp(); }

    StreamControlBlock& Block() { return stream->Block(); }

    GvspCamera camera{PACKET_SIZE};
};

TEST_F(Assembly, AStandardFrameIsHandedOverWhole)
{
    Open(Config(4));
    ReceiveWholeFrame(camera, 5, 4);

    gvsp::Frame frame = TakeFrame();
    ASSERT_TRUE(frame.Valid());
    const FrameHeader& h = frame.Header();
    EXPECT_EQ(frame.Status(), FRAME_STATUS_COMPLETE);
    EXPECT_EQ(frame.BlockId(), 5u);
    EXPECT_EQ(h.ReceivedPackets, 6u);
    EXPECT_EQ(h.TotalPackets, 6u);
    EXPECT_EQ(h.HighestPacketId, 5u);
    ASSERT_EQ(frame.Payload().size(), 4 * P);
    EXPECT_EQ(Misplaced(frame.Payload(), 5, 0), "");
    auto trailer = camera.TrailerGvsp(5, 5);
    ASSERT_EQ(frame.Trailer().size(), trailer.size());
    EXPECT_TRUE(std::equal(trailer.begin(), trailer.end(), frame.Trailer().begin()));
    EXPECT_EQ(Block().AssembledFrames, 1u);
}

TEST_F(Assembly, AnExtendedHeaderShorterThanTwentyBytesIsDropped)
{
    GvspCamera extended{PACKET_SIZE, true};
    Open(Config(3, PACKET_SIZE, true));
    auto leader = extended.LeaderGvsp(uint64_t{1} << 40);
    leader.resize(16);
    EXPECT_TRUE(Receive(EthernetFrame(leader)));
    EXPECT_EQ(Block().AssemblingFrameCount, 0u);
}

// Which ids open a frame: block id 0 and packet ids beyond the bitmap are dropped.
struct IdCase {
    uint64_t blockId;
    uint32_t packetId;
    bool accepted;
};

class AssemblyIds : public Assembly, public ::testing::WithParamInterface<IdCase> {};

TEST_P(AssemblyIds, TrailerIdDecidesWhetherTheFrameOpens)
{
    Open(Config(4));
    const IdCase& c = GetParam();
    EXPECT_TRUE(Receive(camera.Trailer(c.blockId, c.packetId)));
    EXPECT_EQ(Block().AssemblingFrameCount, c.accepted ? 1u : 0u);
    if (c.accepted) {
        EXPECT_EQ(CurrentHeader().TotalPackets, c.packetId + 1);
        EXPECT_EQ(Block().ExpectedPacketCount, c.packetId + 1);
    }
}

INSTANTIATE_TEST_SUITE_P(Limits, AssemblyIds,
    ::testing::Values(IdCase{0, 5, false}, IdCase{1, 5, true}, IdCase{65535, 5, true}, IdCase{3, 65535, true},
        IdCase{3, 65536, false}, IdCase{3, 0xFFFFFF, false}));

// Block ids moving forward, late, and wrapping.
struct BlockStep {
    const char* name;
    uint64_t first;
    uint64_t second;
    bool extended;
    bool opens;
    uint32_t skipped;
};

void PrintTo(const BlockStep& c, std::ostream* os) { *os << c.name; }

class AssemblyBlockIds : public Assembly, public ::testing::WithParamInterface<BlockStep> {};

TEST_P(AssemblyBlockIds, SkippedBlocksAndNewFrames)
{
    const BlockStep& c = GetParam();
    GvspCamera source{PACKET_SIZE, c.extended};
    Open(Config(4, PACKET_SIZE, c.extended));
    EXPECT_TRUE(Receive(source.Leader(c.first)));
    EXPECT_EQ(Block().SkippedBlocks, 0u);
    EXPECT_TRUE(Receive(source.Leader(c.second)));
    EXPECT_EQ(Block().SkippedBlocks, c.skipped);
    EXPECT_EQ(Block().AssemblingFrameCount, c.opens ? 2u : 1u);
    uint64_t current = CurrentHeader().BlockId;
    EXPECT_EQ(current, c.opens ? c.second : c.first);
}

INSTANTIATE_TEST_SUITE_P(Table, AssemblyBlockIds,
    ::testing::Values(BlockStep{"Next", 10, 11, false, true, 0}, BlockStep{"FourAhead", 10, 14, false, true, 3},
        BlockStep{"LateWithinWindow", 100, 90, false, false, 0},
        BlockStep{"LateAtWindowEdge", 40000, 10000, false, false, 0},
        BlockStep{"WrapJustBeyondWindow", 40000, 9999, false, true, 35533},
        BlockStep{"StandardWrap", 65530, 3, false, true, 7},
        BlockStep{"StandardWrapToOne", 65535, 1, false, true, 0},
        BlockStep{"ExtendedForward", uint64_t{1} << 40, (uint64_t{1} << 40) + 2, true, true, 1},
        BlockStep{"ExtendedWrap", 100000, 5, true, true, 4294867299u}),
    [](const ::testing::TestParamInfo<BlockStep>& param) { return std::string(param.param.name); });

TEST_F(Assembly, APacketOfAClosedBlockIsDropped)
{
    Open(Config(2));
    ReceiveWholeFrame(camera, 20, 2);
    ASSERT_EQ(Block().AssembledFrames, 1u);
    EXPECT_TRUE(Receive(camera.Payload(20, 1, SIZE_MAX, GVSP_STATUS_RESEND)));
    EXPECT_EQ(Block().AssemblingFrameCount, 0u);
    EXPECT_EQ(Block().ResentPackets, 0u);
    EXPECT_EQ(Block().CompletedFrameCount, 1u);
}

class AssemblyOnVirtualClock : public Assembly {
protected:
    AssemblyOnVirtualClock() { host::UseVirtualClock(1'000'000'000); }
};

TEST_F(AssemblyOnVirtualClock, ADuplicateIsCountedAndChangesNothingButItsTime)
{
    Open(Config(4));
    EXPECT_TRUE(Receive(camera.Leader(30)));
    EXPECT_TRUE(Receive(camera.Payload(30, 1)));
    const FrameHeader& h = CurrentHeader();
    uint64_t timeBefore = h.LastPacketTime;
    uint32_t receivedBefore = h.ReceivedPackets;
    std::vector<uint8_t> before(CurrentBuffer() + FRAME_BUFFER_MIN_SIZE, CurrentBuffer() + FRAME_BUFFER_MIN_SIZE + P);

    host::AdvanceClock(250);
    auto other = camera.PayloadGvsp(31, 1);   // same ids, other bytes
    other[3] = 30;
    EXPECT_TRUE(Receive(EthernetFrame(other)));

    EXPECT_EQ(Block().DuplicatePackets, 1u);
    EXPECT_EQ(h.ReceivedPackets, receivedBefore);
    EXPECT_EQ(h.PayloadSize, P);
    uint64_t timeAfter = h.LastPacketTime;
    EXPECT_EQ(timeAfter, timeBefore + 250);
    EXPECT_EQ(Misplaced({CurrentBuffer() + FRAME_BUFFER_MIN_SIZE, P}, 30, 0), "");
    EXPECT_EQ(Block().ResentPackets, 0u);
}

// Resend statuses: 0x0100, and a device-specific status with bit 3.
struct StatusCase {
    uint16_t status;
    bool resent;
};

class AssemblyResentStatus : public Assembly, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(AssemblyResentStatus, IsCountedAndThePacketPlaced)
{
    Open(Config(4));
    EXPECT_TRUE(Receive(camera.Leader(40)));
    EXPECT_TRUE(Receive(camera.Payload(40, 2, SIZE_MAX, GetParam().status)));
    EXPECT_EQ(Block().ResentPackets, GetParam().resent ? 1u : 0u);
    EXPECT_EQ(CurrentHeader().PayloadSize, P);
    EXPECT_EQ(Misplaced({CurrentBuffer() + FRAME_BUFFER_MIN_SIZE + P, P}, 40, P), "");
    // Sent again with the same status: a duplicate, not counted as resent a second time.
    EXPECT_TRUE(Receive(camera.Payload(40, 2, SIZE_MAX, GetParam().status)));
    EXPECT_EQ(Block().ResentPackets, GetParam().resent ? 1u : 0u);
    EXPECT_EQ(Block().DuplicatePackets, 1u);
}

INSTANTIATE_TEST_SUITE_P(Statuses, AssemblyResentStatus,
    ::testing::Values(StatusCase{0x0100, true}, StatusCase{0x4008, true}, StatusCase{0x400F, true},
        StatusCase{0x4000, false}, StatusCase{0x0008, false}, StatusCase{0x0101, false}, StatusCase{0x0000, false}));

constexpr uint8_t FORMAT_H264 = 5;
constexpr uint8_t FORMAT_MULTI_ZONE = 6;

struct FormatCase {
    uint8_t format;
    bool placed;
};

class AssemblyFormats : public Assembly, public ::testing::WithParamInterface<FormatCase> {};

TEST_P(AssemblyFormats, PayloadFormatsArePlacedOthersCountedUnsupported)
{
    Open(Config(4));
    EXPECT_TRUE(Receive(camera.Leader(50)));
    EXPECT_TRUE(Receive(camera.Payload(50, 1, SIZE_MAX, GVSP_STATUS_RESEND, GetParam().format)));
    EXPECT_EQ(Block().ResentPackets, 1u);
    EXPECT_EQ(Block().UnsupportedPackets, GetParam().placed ? 0u : 1u);
    EXPECT_EQ(CurrentHeader().ReceivedPackets, GetParam().placed ? 2u : 1u);
    EXPECT_EQ(CurrentHeader().PayloadSize, GetParam().placed ? P : 0u);
}

INSTANTIATE_TEST_SUITE_P(Formats, AssemblyFormats,
    ::testing::Values(FormatCase{GVSP_FORMAT_PAYLOAD, true}, FormatCase{FORMAT_H264, true},
        FormatCase{FORMAT_MULTI_ZONE, true}, FormatCase{GVSP_FORMAT_ALL_IN, false}, FormatCase{0, false},
        FormatCase{7, false}, FormatCase{15, false}));

TEST_F(Assembly, AnErrorStatusClosesTheFrameWithWhatItHas)
{
    Open(Config(4));
    EXPECT_TRUE(Receive(camera.Leader(60)));
    EXPECT_TRUE(Receive(camera.Payload(60, 1)));
    EXPECT_TRUE(Receive(camera.Payload(60, 2, SIZE_MAX, 0x8001)));

    gvsp::Frame frame = TakeFrame();
    ASSERT_TRUE(frame.Valid());
    EXPECT_EQ(frame.Status(), FRAME_STATUS_DEVICE_ERROR);
    EXPECT_EQ(frame.Header().GvspStatus, 0x8001);
    EXPECT_EQ(frame.BlockId(), 60u);
    ASSERT_EQ(frame.Payload().size(), P);
    EXPECT_EQ(Misplaced(frame.Payload(), 60, 0), "");
    EXPECT_EQ(Block().ErrorStatusFrames, 1u);
    EXPECT_EQ(Block().AssemblingFrameCount, 0u);

    // The block's later packets find no frame.
    EXPECT_TRUE(Receive(camera.Payload(60, 3)));
    EXPECT_TRUE(Receive(camera.Trailer(60, 5)));
    EXPECT_EQ(Block().AssemblingFrameCount, 0u);
    EXPECT_EQ(Block().CompletedFrameCount, 0u);
    EXPECT_EQ(Block().AssembledFrames, 0u);
}

TEST_F(Assembly, AnErrorStatusOnTheFirstPacketOfABlockOpensAndClosesItsFrame)
{
    Open(Config(4));
    EXPECT_TRUE(Receive(camera.Payload(61, 1, SIZE_MAX, 0xC007)));
    gvsp::Frame frame = TakeFrame();
    ASSERT_TRUE(frame.Valid());
    EXPECT_EQ(frame.Status(), FRAME_STATUS_DEVICE_ERROR);
    EXPECT_EQ(frame.Header().GvspStatus, 0xC007);
    EXPECT_EQ(frame.Header().ReceivedPackets, 0u);
}

// A gap beyond a limit gives the frame up at once; the smaller non-zero limit names the cause.
struct GapCase {
    uint32_t gapLimit;
    uint32_t missingLimit;
    uint32_t skipped;      // ids jumped over after packet 1
    uint16_t status;       // FRAME_STATUS_COMPLETE: not given up
};

class AssemblyGapLimits : public Assembly, public ::testing::WithParamInterface<GapCase> {};

TEST_P(AssemblyGapLimits, GiveUpOnArrival)
{
    const GapCase& c = GetParam();
    gvsp::StreamConfig config = Config(14);
    config.resendGapLimit = c.gapLimit;
    config.missingPacketLimit = c.missingLimit;
    Open(config);
    EXPECT_TRUE(Receive(camera.Leader(80)));
    EXPECT_TRUE(Receive(camera.Payload(80, 1)));
    EXPECT_TRUE(Receive(camera.Payload(80, 2 + c.skipped)));

    if (c.status == FRAME_STATUS_COMPLETE) {
        EXPECT_EQ(Block().AssemblingFrameCount, 1u);
        EXPECT_EQ(Block().CompletedFrameCount, 0u);
        EXPECT_EQ(Block().GapLimitFrames + Block().MissingLimitFrames, 0u);
        EXPECT_EQ(Block().MissingPackets, 0u);
        return;
    }
    gvsp::Frame frame = TakeFrame();
    ASSERT_TRUE(frame.Valid());
    EXPECT_EQ(frame.Status(), c.status);
    EXPECT_EQ(Block().GapLimitFrames, c.status == FRAME_STATUS_GAP_LIMIT ? 1u : 0u);
    EXPECT_EQ(Block().MissingLimitFrames, c.status == FRAME_STATUS_MISSING_LIMIT ? 1u : 0u);
    // Expected trailer id 15, three packets received.
    EXPECT_EQ(Block().MissingPackets, 15u - 3 + 1);
    EXPECT_EQ(Block().AssemblingFrameCount, 0u);
    // The rest of the block is dropped.
    EXPECT_TRUE(Receive(camera.Payload(80, 3 + c.skipped)));
    EXPECT_EQ(Block().AssemblingFrameCount, 0u);
}

INSTANTIATE_TEST_SUITE_P(Limits, AssemblyGapLimits,
    ::testing::Values(GapCase{2, 0, 3, FRAME_STATUS_GAP_LIMIT}, GapCase{0, 2, 3, FRAME_STATUS_MISSING_LIMIT},
        GapCase{5, 3, 6, FRAME_STATUS_MISSING_LIMIT}, GapCase{3, 5, 6, FRAME_STATUS_GAP_LIMIT},
        GapCase{4, 4, 5, FRAME_STATUS_MISSING_LIMIT}, GapCase{3, 0, 3, FRAME_STATUS_COMPLETE},
        GapCase{0, 3, 3, FRAME_STATUS_COMPLETE}, GapCase{3, 9, 4, FRAME_STATUS_GAP_LIMIT},
        GapCase{0, 0, 12, FRAME_STATUS_COMPLETE}));

TEST_F(Assembly, ALostLeaderCountsInTheFirstGap)
{
    gvsp::StreamConfig config = Config(8);
    config.resendGapLimit = 2;
    Open(config);
    // Packets 0, 1 and 2 are missing: three ids, beyond the limit of 2.
    EXPECT_TRUE(Receive(camera.Payload(81, 3)));
    gvsp::Frame frame = TakeFrame();
    ASSERT_TRUE(frame.Valid());
    EXPECT_EQ(frame.Status(), FRAME_STATUS_GAP_LIMIT);
}

struct PacketSizeCase {
    uint32_t packetSize;
    bool extended;
    bool opens;
};

class AssemblyPacketSize : public Assembly, public ::testing::WithParamInterface<PacketSizeCase> {};

TEST_P(AssemblyPacketSize, APacketSizeWithoutRoomForPayloadDropsTheStreamsPackets)
{
    const PacketSizeCase& c = GetParam();
    Open(Config(4));
    Block().PacketSize = c.packetSize;
    GvspCamera source{PACKET_SIZE, c.extended};
    EXPECT_TRUE(Receive(source.Leader(1)));
    EXPECT_EQ(Block().AssemblingFrameCount, c.opens ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(Sizes, AssemblyPacketSize,
    ::testing::Values(PacketSizeCase{0, false, false}, PacketSizeCase{0, true, false}, PacketSizeCase{8, false, false}, PacketSizeCase{9, false, true},
        PacketSizeCase{20, true, false}, PacketSizeCase{21, true, true}, PacketSizeCase{9, true, false}));

// What user mode may change between two packets that arrive in order: the next packet must see it
// as a packet after any other would.
struct InOrderCase {
    const char* name;
    void (*change)(StreamControlBlock& block, FrameHeader& header);
    uint32_t packetSize;   // of the camera that sends packet 2
    uint32_t payloadAt;    // where packet 2's payload lands, from the PayloadArea's start
    uint32_t duplicates;
    uint32_t expectedPackets;
};

class AssemblyInOrder : public Assembly, public ::testing::WithParamInterface<InOrderCase> {};

TEST_P(AssemblyInOrder, TheNextPacketSeesWhatUserModeChanged)
{
    const InOrderCase& c = GetParam();
    Open(Config(4));
    EXPECT_TRUE(Receive(camera.Leader(70)));
    EXPECT_TRUE(Receive(camera.Payload(70, 1)));
    // The header lies in user memory: user mode may write it.
    c.change(Block(), const_cast<FrameHeader&>(CurrentHeader()));
    GvspCamera sender{c.packetSize};
    EXPECT_TRUE(Receive(sender.Payload(70, 2)));

    const uint32_t size = sender.PayloadPerPacket();
    EXPECT_EQ(Misplaced({CurrentBuffer() + FRAME_BUFFER_MIN_SIZE + c.payloadAt, c.duplicates == 0 ? size : 0}, 70,
                  size),
        "");
    EXPECT_EQ(Block().DuplicatePackets, c.duplicates);
    EXPECT_EQ(CurrentHeader().ReceivedPackets, c.duplicates == 0 ? 3u : 2u);
    EXPECT_EQ(Block().ExpectedPacketCount, c.expectedPackets);
}

INSTANTIATE_TEST_SUITE_P(Changes, AssemblyInOrder,
    ::testing::Values(
        InOrderCase{"Nothing", [](StreamControlBlock&, FrameHeader&) {}, 1448, 1440, 0, 5},
        InOrderCase{"PacketSize", [](StreamControlBlock& b, FrameHeader&) { b.PacketSize = 1008; }, 1008, 1000, 0,
            4 * 1440 / 1000 + 1 + 1},
        InOrderCase{"FrameSize", [](StreamControlBlock& b, FrameHeader&) { b.FrameSize = 8 * 1440; }, 1448, 1440, 0, 9},
        InOrderCase{"ExpectedPacketCount", [](StreamControlBlock& b, FrameHeader&) { b.ExpectedPacketCount = 99; },
            1448, 1440, 0, 5},
        InOrderCase{"PacketBitmap", [](StreamControlBlock&, FrameHeader& h) { h.PacketBitmap[0] |= 1u << 2; }, 1448,
            1440, 1, 5}),
    [](const ::testing::TestParamInfo<InOrderCase>& param) { return std::string(param.param.name); });

TEST_F(Assembly, EveryFrameHandedOverIsCountedOnceByHowItEnded)
{
    gvsp::StreamConfig config = Config(2);
    config.resendGapLimit = 5;
    Open(config, 16 * P, 6);
    ReceiveWholeFrame(camera, 1, 2);                              // complete
    EXPECT_TRUE(Receive(camera.Leader(2)));
    EXPECT_TRUE(Receive(camera.Payload(2, 1, SIZE_MAX, 0x8002)));  // device error
    EXPECT_TRUE(Receive(camera.Leader(3)));                        // pushed out later: incomplete
    EXPECT_TRUE(Receive(camera.Leader(4)));
    EXPECT_TRUE(Receive(camera.Payload(4, 1)));
    EXPECT_TRUE(Receive(camera.Leader(5)));                        // block 3 is the oldest of two
    EXPECT_TRUE(Receive(camera.Payload(5, 8)));                    // gap of 7: beyond the limit
    ReceiveWholeFrame(camera, 6, 2);                              // complete: retires block 4

    std::vector<uint16_t> statuses;
    while (Block().CompletedFrameCount > 0) {
        gvsp::Frame frame = TakeFrame();
        ASSERT_TRUE(frame.Valid());
        statuses.push_back(frame.Status());
        EXPECT_EQ(stream->ReturnFrame(frame), STATUS_SUCCESS);
    }
    EXPECT_EQ(statuses, (std::vector<uint16_t>{FRAME_STATUS_COMPLETE, FRAME_STATUS_DEVICE_ERROR,
                            FRAME_STATUS_INCOMPLETE, FRAME_STATUS_GAP_LIMIT, FRAME_STATUS_COMPLETE}));
    const StreamControlBlock& b = Block();
    EXPECT_EQ(b.AssembledFrames, 2u);
    EXPECT_EQ(b.ErrorStatusFrames, 1u);
    EXPECT_EQ(b.IncompleteFrames, 2u);   // block 3 handed over, block 4 retired unseen
    EXPECT_EQ(b.GapLimitFrames, 1u);
    EXPECT_EQ(b.MissingLimitFrames, 0u);
    EXPECT_EQ(b.AssembledFrames + b.ErrorStatusFrames + b.IncompleteFrames + b.GapLimitFrames + b.MissingLimitFrames,
        statuses.size() + 1);
    EXPECT_EQ(b.AssemblingFrameCount, 0u);
    EXPECT_EQ(b.FreeFrameCount, 6u);
    EXPECT_EQ(b.SkippedBlocks, 0u);
    // Given up with the trailer expected at id 3: block 3 lacked 3 - 1 + 1, block 5 3 - 2 + 1. Block
    // 4 was retired right after block 6's trailer, which leaves the count at its 4 packets: 4 - 2 + 1.
    EXPECT_EQ(b.MissingPackets, 3u + 2 + 3);
}

}  // namespace
