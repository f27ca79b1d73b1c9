// Payload placement as user memory shows it: where each packet's bytes land, the leader and
// trailer areas, payload beyond the buffer's end kept in overflow chunks and delivered whole once
// user mode offers a larger buffer, and continuation of packets spread over several segments.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/support/gvsp_packets.h"

using namespace gvsptest;

namespace {

class Placement : public ReceiveTest {
protected:
    static gvsp::StreamConfig ChunkedConfig(uint32_t payloadPackets, uint32_t chunkSize)
    {
        gvsp::StreamConfig config = Config(payloadPackets);
        config.overflowChunkSize = chunkSize;
        return config;
    }

    static const FramePrivate& PrivateOf(const gvsp::Frame& frame)
    {
        return *reinterpret_cast<const FramePrivate*>(frame.HeaderAddress() - FRAME_PRIVATE_SIZE);
    }

    // Returns an overflowed frame with a replacement buffer `extra` bytes larger than its own, and
    // takes it back through the next frame request.
    gvsp::Frame MoveIntoReplacement(const gvsp::Frame& frame, uint32_t extra)
    {
        FrameDescriptor& d = stream->Descriptor(PrivateOf(frame).FrameIndex);
        uint32_t size = d.Size;
        auto* replacement = static_cast<uint8_t*>(process->Allocate(size + extra));
        d.ReplacementUserAddress = reinterpret_cast<uint64_t>(replacement);
        d.ReplacementSize = size + extra;
        EXPECT_EQ(stream->ReturnFrame(frame), STATUS_SUCCESS);
        gvsp::Frame moved = TakeFrame();
        EXPECT_EQ(moved.HeaderAddress(), reinterpret_cast<uint64_t>(replacement) + FRAME_PRIVATE_SIZE);
        return moved;
    }

    GvspCamera camera{PACKET_SIZE};
};

TEST_F(Placement, EachPacketLandsAtItsIdTimesThePayloadPerPacket)
{
    Open(Config(4));
    EXPECT_TRUE(Receive(camera.Payload(3, 3)));
    EXPECT_TRUE(Receive(camera.Payload(3, 1)));
    const uint8_t* payload = CurrentBuffer() + FRAME_BUFFER_MIN_SIZE;
    EXPECT_EQ(Misplaced({payload, P}, 3, 0), "");
    EXPECT_EQ(Misplaced({payload + 2880, P}, 3, 2880), "");
    EXPECT_EQ(payload[P], 0) << "packet 2's place was written";

    EXPECT_TRUE(Receive(camera.Leader(3)));
    EXPECT_TRUE(Receive(camera.Trailer(3, 5)));
    EXPECT_TRUE(Receive(camera.Payload(3, 4)));
    EXPECT_TRUE(Receive(camera.Payload(3, 2)));
    gvsp::Frame frame = TakeFrame();
    ASSERT_TRUE(frame.Valid());
    EXPECT_EQ(frame.Status(), FRAME_STATUS_COMPLETE);
    ASSERT_EQ(frame.Payload().size(), 4 * P);
    EXPECT_EQ(Misplaced(frame.Payload(), 3, 0), "");
}

TEST_F(Placement, AShortLastPacketLandsAfterTheFullOnes)
{
    Open(Config(3));
    stream->Block().FrameSize = 2 * P + 77;
    EXPECT_TRUE(Receive(camera.Leader(5)));
    EXPECT_TRUE(Receive(camera.Payload(5, 3, 77)));
    EXPECT_EQ(stream->Block().ExpectedPacketCount, 4u);
    EXPECT_TRUE(Receive(camera.Payload(5, 1)));
    EXPECT_TRUE(Receive(camera.Payload(5, 2)));
    EXPECT_TRUE(Receive(camera.Trailer(5, 4)));
    gvsp::Frame frame = TakeFrame();
    ASSERT_TRUE(frame.Valid());
    EXPECT_EQ(frame.Status(), FRAME_STATUS_COMPLETE);
    ASSERT_EQ(frame.Payload().size(), 2 * P + 77);
    EXPECT_EQ(Misplaced(frame.Payload(), 5, 0), "");
}

TEST_F(Placement, APacketEndingExactlyAtTheBufferEndIsNoOverflow)
{
    Open(ChunkedConfig(3, 4096), 3 * P);
    ReceiveWholeFrame(camera, 6, 3);
    gvsp::Frame frame = TakeFrame();
    ASSERT_TRUE(frame.Valid());
    EXPECT_EQ(frame.Status(), FRAME_STATUS_COMPLETE);
    EXPECT_EQ(PrivateOf(frame).Overflowed, 0);
    EXPECT_EQ(PrivateOf(frame).OverflowBytes, 0u);
    EXPECT_EQ(Misplaced(frame.Payload(), 6, 0), "");
}

// A payload packet that carries only its header, aimed beyond the buffer (id 0 is 2^32 - P bytes
// in, or id 1000 beyond chunk 63) has no room to go to: it is dropped and the frame still completes
// from what follows.
TEST_F(Placement, AnEmptyPayloadPacketBeyondTheBufferIsDropped)
{
    for (uint32_t chunkSize : {0u, 4096u}) {
        SCOPED_TRACE(chunkSize);
        Open(ChunkedConfig(3, chunkSize), 3 * P);
        EXPECT_TRUE(Receive(camera.Payload(7, 0, 0)));
        EXPECT_TRUE(Receive(camera.Payload(7, 1000, 0)));
        ReceiveWholeFrame(camera, 7, 3);
        gvsp::Frame frame = TakeFrame();
        ASSERT_TRUE(frame.Valid());
        EXPECT_EQ(Misplaced(frame.Payload(), 7, 0), "");
        EXPECT_EQ(frame.Header().LeaderReceived, 1);
        stream->ReturnFrame(frame);
        stream->Close();
        stream = std::make_unique<gvsp::Stream>(*process);
    }
}

TEST_F(Placement, APacketStraddlingTheBufferEndContinuesInChunkZero)
{
    constexpr uint32_t S = 4096;
    Open(ChunkedConfig(3, S), 3 * P - 100);
    ReceiveWholeFrame(camera, 7, 3);

    gvsp::Frame frame = TakeFrame();
    ASSERT_TRUE(frame.Valid());
    EXPECT_EQ(frame.Status(), FRAME_STATUS_OVERFLOW);
    EXPECT_EQ(PrivateOf(frame).OverflowBytes, S);
    EXPECT_NE(PrivateOf(frame).OverflowChunks[0], 0u);
    EXPECT_EQ(PrivateOf(frame).OverflowChunks[1], 0u);
    EXPECT_EQ(frame.Header().PayloadSize, 3 * P);
    // The buffer is full up to its last byte.
    std::span<const uint8_t> inBuffer(frame.Payload().data(), 3 * P - 100);
    EXPECT_EQ(Misplaced(inBuffer, 7, 0), "");
    EXPECT_EQ(stream->Block().AssembledFrames, 1u);

    gvsp::Frame moved = MoveIntoReplacement(frame, S);
    ASSERT_TRUE(moved.Valid());
    EXPECT_EQ(moved.Status(), FRAME_STATUS_COMPLETE);
    ASSERT_EQ(moved.Payload().size(), 3 * P);
    EXPECT_EQ(Misplaced(moved.Payload(), 7, 0), "");
    EXPECT_EQ(stream->ReturnFrame(moved), STATUS_SUCCESS);
}

TEST_F(Placement, FarBeyondTheEndOnlyTheChunkThatIsWrittenIsAllocated)
{
    // The buffer holds packet 1; packet 9 starts 8 x 1440 = 5 x 2000 + 80 beyond its end.
    constexpr uint32_t S = 2000;
    Open(ChunkedConfig(9, S), P);
    EXPECT_TRUE(Receive(camera.Leader(8)));
    EXPECT_TRUE(Receive(camera.Payload(8, 1)));
    EXPECT_TRUE(Receive(camera.Payload(8, 9)));
    const FramePrivate& assembling = CurrentPrivate();
    for (int k = 0; k < 5; ++k) {
        EXPECT_EQ(assembling.OverflowChunks[k], 0u) << "chunk " << k;
    }
    EXPECT_NE(assembling.OverflowChunks[5], 0u);
    EXPECT_EQ(assembling.OverflowChunks[6], 0u);
    EXPECT_EQ(assembling.OverflowBytes, S);
    EXPECT_EQ(assembling.Overflowed, 1);

    for (uint32_t id = 2; id <= 8; ++id) {
        EXPECT_TRUE(Receive(camera.Payload(8, id)));
    }
    EXPECT_TRUE(Receive(camera.Trailer(8, 10)));
    gvsp::Frame frame = TakeFrame();
    ASSERT_TRUE(frame.Valid());
    EXPECT_EQ(frame.Status(), FRAME_STATUS_OVERFLOW);
    EXPECT_EQ(PrivateOf(frame).OverflowBytes, 6 * S);

    gvsp::Frame moved = MoveIntoReplacement(frame, 6 * S);
    ASSERT_TRUE(moved.Valid());
    ASSERT_EQ(moved.Payload().size(), 9 * P);
    EXPECT_EQ(Misplaced(moved.Payload(), 8, 0), "");
    EXPECT_EQ(stream->ReturnFrame(moved), STATUS_SUCCESS);
}

TEST_F(Placement, ChunksSmallerThanAPacketAreFilledOneAfterAnother)
{
    constexpr uint32_t S = 1000;
    Open(ChunkedConfig(3, S), P);
    ReceiveWholeFrame(camera, 9, 3);
    gvsp::Frame frame = TakeFrame();
    ASSERT_TRUE(frame.Valid());
    EXPECT_EQ(frame.Status(), FRAME_STATUS_OVERFLOW);
    EXPECT_EQ(PrivateOf(frame).OverflowBytes, 3 * S);   // 2880 bytes beyond the end

    gvsp::Frame moved = MoveIntoReplacement(frame, 3 * S);
    ASSERT_TRUE(moved.Valid());
    ASSERT_EQ(moved.Payload().size(), 3 * P);
    EXPECT_EQ(Misplaced(moved.Payload(), 9, 0), "");
    EXPECT_EQ(stream->ReturnFrame(moved), STATUS_SUCCESS);
}

TEST_F(Placement, AFrameKeepsTheChunkSizeItFirstUsed)
{
    Open(ChunkedConfig(4, 1000), P);
    EXPECT_TRUE(Receive(camera.Leader(10)));
    EXPECT_TRUE(Receive(camera.Payload(10, 1)));
    EXPECT_TRUE(Receive(camera.Payload(10, 2)));
    stream->Block().OverflowChunkSize = 4000;
    EXPECT_TRUE(Receive(camera.Payload(10, 3)));
    EXPECT_TRUE(Receive(camera.Payload(10, 4)));
    EXPECT_TRUE(Receive(camera.Trailer(10, 5)));
    gvsp::Frame frame = TakeFrame();
    ASSERT_TRUE(frame.Valid());
    EXPECT_EQ(PrivateOf(frame).OverflowBytes, 5 * 1000u);   // 4320 bytes beyond the end

    gvsp::Frame moved = MoveIntoReplacement(frame, 5 * 1000);
    ASSERT_TRUE(moved.Valid());
    ASSERT_EQ(moved.Payload().size(), 4 * P);
    EXPECT_EQ(Misplaced(moved.Payload(), 10, 0), "");
    EXPECT_EQ(stream->ReturnFrame(moved), STATUS_SUCCESS);
}

// Payload with no room: beyond chunk 63, packet id 0 (a wrapped offset), or no chunk size. Data
// that start in chunk 63 and run out of it take that chunk first, as any packet landing there.
struct NoRoomCase {
    const char* name;
    uint32_t chunkSize;
    uint32_t packetId;
    bool takesChunk63 = false;
};

void PrintTo(const NoRoomCase& c, std::ostream* os) { *os << c.name; }

class PlacementNoRoom : public Placement, public ::testing::WithParamInterface<NoRoomCase> {};

TEST_P(PlacementNoRoom, ThePacketIsDroppedAndTheFrameMarkedOverflowed)
{
    Open(ChunkedConfig(4, GetParam().chunkSize), 4 * P);
    EXPECT_TRUE(Receive(camera.Trailer(11, 200)));
    EXPECT_TRUE(Receive(camera.Payload(11, GetParam().packetId)));
    const FrameHeader& h = CurrentHeader();
    EXPECT_EQ(h.ReceivedPackets, 1u);
    EXPECT_EQ(h.PayloadSize, 0u);
    EXPECT_EQ(h.PacketBitmap[GetParam().packetId >> 3] & (1u << (GetParam().packetId & 7)), 0u);
    EXPECT_EQ(CurrentPrivate().Overflowed, 1);
    EXPECT_EQ(CurrentPrivate().OverflowBytes, GetParam().takesChunk63 ? GetParam().chunkSize : 0u);
    EXPECT_EQ(CurrentPrivate().OverflowChunks[63] != 0, GetParam().takesChunk63);
}

INSTANTIATE_TEST_SUITE_P(Cases, PlacementNoRoom,
    ::testing::Values(NoRoomCase{"BeyondChunk63", 1024, 4 + 64 + 1 + 1},
        NoRoomCase{"StraddlingOutOfChunk63", 1500, 71, true},
        NoRoomCase{"PacketIdZero", 65536, 0}, NoRoomCase{"NoChunkSize", 0, 5}),
    [](const ::testing::TestParamInfo<NoRoomCase>& param) { return std::string(param.param.name); });

TEST_F(Placement, TheLastChunkIsFilledToItsEnd)
{
    // With chunks of one packet, packet 4 + 64 fills chunk 63 exactly.
    Open(ChunkedConfig(4, P), 4 * P);
    EXPECT_TRUE(Receive(camera.Leader(12)));
    EXPECT_TRUE(Receive(camera.Payload(12, 4 + 64)));
    EXPECT_EQ(CurrentHeader().ReceivedPackets, 2u);
    EXPECT_EQ(CurrentPrivate().OverflowBytes, P);
    EXPECT_NE(CurrentPrivate().OverflowChunks[63], 0u);
}

TEST_F(Placement, TheChunksOfAnUnfinishedFrameAreFreedWithIt)
{
    // Only chunk 5 is written before the frame ends with an error status.
    Open(ChunkedConfig(9, 2000), P);
    uint64_t blocks = host::PoolUsageOfTag(POOL_TAG).blocks;
    EXPECT_TRUE(Receive(camera.Leader(20)));
    EXPECT_TRUE(Receive(camera.Payload(20, 9)));
    EXPECT_EQ(host::PoolUsageOfTag(POOL_TAG).blocks, blocks + 1);
    EXPECT_TRUE(Receive(camera.Payload(20, 1, SIZE_MAX, 0x8001)));
    gvsp::Frame frame = TakeFrame();
    ASSERT_TRUE(frame.Valid());
    EXPECT_EQ(frame.Status(), FRAME_STATUS_DEVICE_ERROR);
    EXPECT_EQ(stream->ReturnFrame(frame), STATUS_SUCCESS);
    EXPECT_EQ(host::PoolUsageOfTag(POOL_TAG).blocks, blocks) << "the overflow chunk was not freed";
}

TEST_F(Placement, AChunkThatCannotBeAllocatedDropsThePacketUntilItComesAgain)
{
    Open(ChunkedConfig(3, 4096), 2 * P);
    EXPECT_TRUE(Receive(camera.Leader(13)));
    EXPECT_TRUE(Receive(camera.Payload(13, 1)));
    EXPECT_TRUE(Receive(camera.Payload(13, 2)));
    host::FailCall(host::Fault::PoolAllocation, 1);
    EXPECT_TRUE(Receive(camera.Payload(13, 3)));
    EXPECT_EQ(CurrentHeader().ReceivedPackets, 3u);
    EXPECT_EQ(CurrentHeader().PayloadSize, 2 * P);
    EXPECT_EQ(CurrentPrivate().OverflowBytes, 0u);
    EXPECT_TRUE(Receive(camera.Trailer(13, 4)));
    EXPECT_EQ(stream->Block().CompletedFrameCount, 0u);

    EXPECT_TRUE(Receive(camera.Payload(13, 3, SIZE_MAX, STATUS_RESENT)));
    gvsp::Frame frame = TakeFrame();
    ASSERT_TRUE(frame.Valid());
    EXPECT_EQ(frame.Status(), FRAME_STATUS_OVERFLOW);
    EXPECT_EQ(PrivateOf(frame).OverflowBytes, 4096u);
    gvsp::Frame moved = MoveIntoReplacement(frame, 4096);
    ASSERT_TRUE(moved.Valid());
    EXPECT_EQ(Misplaced(moved.Payload(), 13, 0), "");
    EXPECT_EQ(stream->ReturnFrame(moved), STATUS_SUCCESS);
}

// The leader is kept whole up to its area's 576 bytes; its timestamp needs H + 12 bytes.
struct LeaderCase {
    const char* name;
    bool extended;
    size_t size;
    bool timestamp;
    uint32_t kept;
};

void PrintTo(const LeaderCase& c, std::ostream* os) { *os << c.name; }

class PlacementLeader : public Placement, public ::testing::WithParamInterface<LeaderCase> {};

TEST_P(PlacementLeader, IsKeptInItsAreaWithItsTimestamp)
{
    const LeaderCase& c = GetParam();
    GvspCamera source{PACKET_SIZE, c.extended};
    Open(Config(4, PACKET_SIZE, c.extended));
    auto leader = source.LeaderGvsp(14, c.size);
    EXPECT_TRUE(Receive(EthernetFrame(leader)));

    const FrameHeader& h = CurrentHeader();
    EXPECT_EQ(h.LeaderSize, c.kept);
    uint64_t timestamp = h.Timestamp;
    EXPECT_EQ(timestamp, c.timestamp ? GvspCamera::TimestampOf(14) : 0u);
    EXPECT_EQ(h.LeaderOffset, LEADER_AREA_OFFSET);
    EXPECT_EQ(h.PayloadOffset, PAYLOAD_AREA_OFFSET);
    EXPECT_EQ(h.TrailerOffset, TRAILER_AREA_OFFSET);
    EXPECT_EQ(h.LeaderReceived, 1);
    const uint8_t* area = reinterpret_cast<const uint8_t*>(&h) + LEADER_AREA_OFFSET;
    EXPECT_EQ(std::memcmp(area, leader.data(), c.kept), 0);
    EXPECT_EQ(area[LEADER_AREA_SIZE], 0) << "the trailer area was written";
}

INSTANTIATE_TEST_SUITE_P(Sizes, PlacementLeader,
    ::testing::Values(LeaderCase{"Standard56", false, 56, true, 56}, LeaderCase{"StandardJustTheTimestamp", false, 20, true, 20},
        LeaderCase{"StandardOneShort", false, 19, false, 19}, LeaderCase{"StandardHeaderOnly", false, 8, false, 8},
        LeaderCase{"StandardAreaSize", false, 576, true, 576}, LeaderCase{"StandardLonger", false, 600, true, 576},
        LeaderCase{"ExtendedJustTheTimestamp", true, 32, true, 32}, LeaderCase{"ExtendedOneShort", true, 31, false, 31},
        LeaderCase{"ExtendedLonger", true, 1000, true, 576}),
    [](const ::testing::TestParamInfo<LeaderCase>& param) { return std::string(param.param.name); });

TEST_F(Placement, ALongTrailerIsCutToItsArea)
{
    Open(Config(4));
    auto trailer = camera.TrailerGvsp(15, 5, 700);
    EXPECT_TRUE(Receive(EthernetFrame(trailer)));
    const FrameHeader& h = CurrentHeader();
    EXPECT_EQ(h.TrailerSize, TRAILER_AREA_SIZE);
    EXPECT_EQ(h.TrailerReceived, 1);
    const uint8_t* area = reinterpret_cast<const uint8_t*>(&h) + TRAILER_AREA_OFFSET;
    EXPECT_EQ(std::memcmp(area, trailer.data(), TRAILER_AREA_SIZE), 0);
    EXPECT_EQ(area[TRAILER_AREA_SIZE], 0) << "the payload area was written";
}

TEST_F(Placement, ALeaderThatNeverArrivesLeavesTheAreaOffsetsZero)
{
    Open(Config(4));
    for (uint32_t id = 1; id <= 3; ++id) {
        EXPECT_TRUE(Receive(camera.Payload(16, id)));
    }
    EXPECT_TRUE(Receive(camera.Trailer(16, 5)));
    EXPECT_TRUE(Receive(camera.Payload(16, 4, SIZE_MAX, 0x8003)));
    gvsp::Frame frame = TakeFrame();
    ASSERT_TRUE(frame.Valid());
    const FrameHeader& h = frame.Header();
    EXPECT_EQ(h.LeaderOffset, 0u);
    EXPECT_EQ(h.PayloadOffset, 0u);
    EXPECT_EQ(h.TrailerOffset, 0u);
    EXPECT_EQ(h.LeaderReceived, 0);
    EXPECT_EQ(h.TrailerSize, 16u);
    EXPECT_EQ(h.PayloadSize, 3 * P);
    std::span<const uint8_t> payload(reinterpret_cast<const uint8_t*>(&h) + PAYLOAD_AREA_OFFSET, 3 * P);
    EXPECT_EQ(Misplaced(payload, 16, 0), "");
}

std::unique_ptr<host::Packet> InSegments(const std::vector<uint8_t>& frame, std::vector<size_t> cuts)
{
    host::PacketBuilder builder;
    size_t at = 0;
    cuts.push_back(frame.size());
    for (size_t cut : cuts) {
        builder.Segment(std::vector<uint8_t>(frame.begin() + long(at), frame.begin() + long(cut)));
        at = cut;
    }
    return builder.Build();
}

TEST_F(Placement, APacketSpreadOverSeveralSegmentsIsPlacedWhole)
{
    Open(Config(4));
    EXPECT_TRUE(ReceivePacket(InSegments(camera.Leader(17, 300), {42 + 30, 42 + 100})));
    EXPECT_TRUE(ReceivePacket(InSegments(camera.Payload(17, 1), {50 + 100, 50 + 600, 50 + 601})));
    EXPECT_TRUE(ReceivePacket(InSegments(camera.Payload(17, 2), {50})));
    EXPECT_TRUE(ReceivePacket(InSegments(camera.Payload(17, 3), {50 + 1, 50 + 2, 50 + 3, 50 + 1000})));
    EXPECT_TRUE(ReceivePacket(InSegments(camera.Payload(17, 4), {42, 50 + 720})));
    EXPECT_TRUE(ReceivePacket(InSegments(camera.Trailer(17, 5, 40), {42 + 20})));
    gvsp::Frame frame = TakeFrame();
    ASSERT_TRUE(frame.Valid());
    EXPECT_EQ(frame.Status(), FRAME_STATUS_COMPLETE);
    ASSERT_EQ(frame.Payload().size(), 4 * P);
    EXPECT_EQ(Misplaced(frame.Payload(), 17, 0), "");
    auto leader = camera.LeaderGvsp(17, 300);
    ASSERT_EQ(frame.Leader().size(), 300u);
    EXPECT_TRUE(std::equal(leader.begin(), leader.end(), frame.Leader().begin()));
    auto trailer = camera.TrailerGvsp(17, 5, 40);
    ASSERT_EQ(frame.Trailer().size(), 40u);
    EXPECT_TRUE(std::equal(trailer.begin(), trailer.end(), frame.Trailer().begin()));
}

// A packet whose later segment cannot be mapped goes up unplaced: its bit stays clear and the
// frame completes only once the packet comes again.
TEST_F(Placement, APacketWithAnUnmappableSegmentCountsOnlyWhenItComesAgain)
{
    Open(Config(2));
    EXPECT_TRUE(Receive(camera.Leader(21)));
    EXPECT_TRUE(Receive(camera.Payload(21, 1)));
    auto payload = camera.Payload(21, 2);
    host::PacketBuilder builder;
    builder.Segment({payload.begin(), payload.begin() + 150})
        .Segment({payload.begin() + 150, payload.end()}, host::SegmentMapping::Unmapped);
    host::FailCall(host::Fault::Mapping, 1);
    EXPECT_FALSE(ReceivePacket(builder.Build()));
    EXPECT_TRUE(Receive(camera.Trailer(21, 3)));
    EXPECT_EQ(stream->Block().CompletedFrameCount, 0u) << "completed with bytes missing";
    EXPECT_EQ(CurrentHeader().ReceivedPackets, 3u);
    EXPECT_EQ(CurrentHeader().PayloadSize, P);

    EXPECT_TRUE(Receive(camera.Payload(21, 2, SIZE_MAX, STATUS_RESENT)));
    gvsp::Frame frame = TakeFrame();
    ASSERT_TRUE(frame.Valid());
    EXPECT_EQ(frame.Status(), FRAME_STATUS_COMPLETE);
    ASSERT_EQ(frame.Payload().size(), 2 * P);
    EXPECT_EQ(Misplaced(frame.Payload(), 21, 0), "");
}

TEST_F(Placement, ALeaderContinuedInLaterSegmentsIsCutToItsArea)
{
    Open(Config(4));
    auto leader = camera.LeaderGvsp(18, 800);
    EXPECT_TRUE(ReceivePacket(InSegments(EthernetFrame(leader), {42 + 100, 42 + 500})));
    const FrameHeader& h = CurrentHeader();
    EXPECT_EQ(h.LeaderSize, LEADER_AREA_SIZE);
    const uint8_t* area = reinterpret_cast<const uint8_t*>(&h) + LEADER_AREA_OFFSET;
    EXPECT_EQ(std::memcmp(area, leader.data(), LEADER_AREA_SIZE), 0);
    EXPECT_EQ(area[LEADER_AREA_SIZE], 0) << "the trailer area was written";
}

TEST_F(Placement, AContinuationCrossesTheBufferEndIntoTheChunks)
{
    constexpr uint32_t S = 512;
    Open(ChunkedConfig(3, S), 2 * P + 700);
    EXPECT_TRUE(Receive(camera.Leader(19)));
    EXPECT_TRUE(Receive(camera.Payload(19, 1)));
    EXPECT_TRUE(Receive(camera.Payload(19, 2)));
    // Packet 3: 200 bytes with its header, then 400, then 840 of which 100 fit before the end.
    EXPECT_TRUE(ReceivePacket(InSegments(camera.Payload(19, 3), {50 + 200, 50 + 600})));
    EXPECT_TRUE(Receive(camera.Trailer(19, 4)));
    gvsp::Frame frame = TakeFrame();
    ASSERT_TRUE(frame.Valid());
    EXPECT_EQ(frame.Status(), FRAME_STATUS_OVERFLOW);
    EXPECT_EQ(frame.Header().PayloadSize, 3 * P);
    EXPECT_EQ(PrivateOf(frame).OverflowBytes, 2 * S);   // 740 bytes beyond the end

    gvsp::Frame moved = MoveIntoReplacement(frame, 2 * S);
    ASSERT_TRUE(moved.Valid());
    ASSERT_EQ(moved.Payload().size(), 3 * P);
    EXPECT_EQ(Misplaced(moved.Payload(), 19, 0), "");
    EXPECT_EQ(stream->ReturnFrame(moved), STATUS_SUCCESS);
}

}  // namespace
