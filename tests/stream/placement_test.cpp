// Payload placement as user memory shows it: where each packet's bytes land, the leader and
// trailer areas, payload beyond the buffer's end kept in overflow chunks and delivered whole once
// user mode offers a larger buffer, and continuation of packets spread over several segments.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "host/memory/memory.h"
#include "tests/support/gvsp_packets.h"

using namespace gvsptest;

namespace {

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

    // Every value in the block or a frame buffer, at any byte offset, that is a kernel address.
    std::string KernelAddressesInUserMemory()
    {
        std::string found;
        auto scan = [&found](const std::string& what, uint64_t address, size_t bytes) {
            for (size_t at = 0; at + sizeof(uint64_t) <= bytes; ++at) {
                uint64_t value;
                std::memcpy(&value, reinterpret_cast<const uint8_t*>(address) + at, sizeof value);
                if (host::IsKernelAddress(value)) {
                    found += what + " +" + std::to_string(at) + "; ";
                }
            }
        };
        uint32_t frames = stream->Block().FrameCount;
        scan("block", reinterpret_cast<uint64_t>(&stream->Block()), StreamControlBlockSize(frames));
        for (uint32_t i = 0; i < frames; ++i) {
            scan("buffer " + std::to_string(i), stream->Descriptor(i).UserAddress, stream->Descriptor(i).Size);
        }
        return found;
    }

    GvspCamera camera{PACKET_SIZE};
};

// The descriptors, driver regions and region fields report offsets, not the kernel addresses the
// driver holds: while a frame spills into chunks, once it is complete, and once it has moved.
TEST_F(Placement, NoKernelAddressReachesUserMemory)
{
    constexpr uint32_t S = 1000;
    Open(ChunkedConfig(4, S), 2 * P);
    const uint32_t size = stream->Descriptor(0).Size;
    EXPECT_TRUE(Receive(camera.Leader(7)));
    EXPECT_TRUE(Receive(camera.Payload(7, 4)));   // 2 x 1440 beyond the end: into chunks 1 and 2
    EXPECT_EQ(CurrentPrivate().OverflowChunks[2], size + 2 * S);
    EXPECT_EQ(CurrentHeader().RegionIndex, 2u);
    EXPECT_EQ(uint64_t{CurrentHeader().RegionEnd}, size + 3 * S);   // packed: copied, not bound
    EXPECT_EQ(uint64_t{CurrentHeader().WritePointer}, FRAME_BUFFER_MIN_SIZE + 4 * P);
    EXPECT_EQ(KernelAddressesInUserMemory(), "");
    for (uint32_t id = 1; id <= 3; ++id) {
        EXPECT_TRUE(Receive(camera.Payload(7, id)));
    }
    EXPECT_TRUE(Receive(camera.Trailer(7, 5)));
    gvsp::Frame frame = TakeFrame();
    ASSERT_TRUE(frame.Valid());
    EXPECT_EQ(KernelAddressesInUserMemory(), "");
    gvsp::Frame moved = MoveIntoReplacement(frame, 3 * S);
    EXPECT_EQ(KernelAddressesInUserMemory(), "");
    EXPECT_EQ(stream->ReturnFrame(moved), STATUS_SUCCESS);
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

}

// Payload beyond the buffer's end goes to overflow chunks, and the frame comes back whole in a
// replacement buffer as large as the buffer and its chunks.
struct OverflowCase {
    const char* name;
    uint32_t packets;
    uint32_t chunkSize;
    uint32_t room;                 // payload bytes of the buffer
    uint32_t laterChunkSize = 0;   // user mode's chunk size after packet 2 (0: unchanged)
    std::vector<size_t> lastPacketCuts = {};   // segments of the last payload packet
    uint32_t overflowBytes = 0;
};

void PrintTo(const OverflowCase& c, std::ostream* os) { *os << c.name; }

class PlacementOverflow : public Placement, public ::testing::WithParamInterface<OverflowCase> {};

TEST_P(PlacementOverflow, TheFrameComesBackWholeInItsReplacement)
{
    const OverflowCase& c = GetParam();
    Open(ChunkedConfig(c.packets, c.chunkSize), c.room);
    EXPECT_TRUE(Receive(camera.Leader(7)));
    for (uint32_t id = 1; id < c.packets; ++id) {
        EXPECT_TRUE(Receive(camera.Payload(7, id)));
        if (id == 2 && c.laterChunkSize != 0) {
            stream->Block().OverflowChunkSize = c.laterChunkSize;
        }
    }
    EXPECT_TRUE(ReceivePacket(InSegments(camera.Payload(7, c.packets), c.lastPacketCuts)));
    EXPECT_TRUE(Receive(camera.Trailer(7, c.packets + 1)));

    gvsp::Frame frame = TakeFrame();
    ASSERT_TRUE(frame.Valid());
    EXPECT_EQ(frame.Status(), c.overflowBytes != 0 ? FRAME_STATUS_OVERFLOW : FRAME_STATUS_COMPLETE);
    EXPECT_EQ(PrivateOf(frame).Overflowed, c.overflowBytes != 0 ? 1 : 0);
    EXPECT_EQ(PrivateOf(frame).OverflowBytes, c.overflowBytes);
    EXPECT_EQ(frame.Header().PayloadSize, c.packets * P);
    EXPECT_EQ(Misplaced({frame.Payload().data(), std::min(c.room, c.packets * P)}, 7, 0), "");
    EXPECT_EQ(stream->Block().AssembledFrames, 1u);
    if (c.overflowBytes == 0) {
        return;
    }
    gvsp::Frame moved = MoveIntoReplacement(frame, c.overflowBytes);
    ASSERT_TRUE(moved.Valid());
    EXPECT_EQ(moved.Status(), FRAME_STATUS_COMPLETE);
    ASSERT_EQ(moved.Payload().size(), c.packets * P);
    EXPECT_EQ(Misplaced(moved.Payload(), 7, 0), "");
    EXPECT_EQ(stream->ReturnFrame(moved), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Table, PlacementOverflow,
    ::testing::Values(OverflowCase{"EndingExactlyAtTheBufferEnd", 3, 4096, 3 * 1440},
        OverflowCase{"StraddlingTheEndIntoChunkZero", 3, 4096, 3 * 1440 - 100, 0, {}, 4096},
        OverflowCase{"ChunksSmallerThanAPacket", 3, 1000, 1440, 0, {}, 3 * 1000},
        OverflowCase{"KeepsTheChunkSizeItFirstUsed", 4, 1000, 1440, 4000, {}, 5 * 1000},
        // Packet 3 in segments of 200, 400 and 840 bytes, of which 100 fit before the end.
        OverflowCase{"ContinuationAcrossTheEnd", 3, 512, 2 * 1440 + 700, 0, {50 + 200, 50 + 600}, 2 * 512}),
    [](const ::testing::TestParamInfo<OverflowCase>& param) { return std::string(param.param.name); });

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

    EXPECT_TRUE(Receive(camera.Payload(13, 3, SIZE_MAX, GVSP_STATUS_RESEND)));
    gvsp::Frame frame = TakeFrame();
    ASSERT_TRUE(frame.Valid());
    EXPECT_EQ(frame.Status(), FRAME_STATUS_OVERFLOW);
    EXPECT_EQ(PrivateOf(frame).OverflowBytes, 4096u);
    gvsp::Frame moved = MoveIntoReplacement(frame, 4096);
    ASSERT_TRUE(moved.Valid());
    EXPECT_EQ(Misplaced(moved.Payload(), 13, 0), "");
    EXPECT_EQ(stream->ReturnFrame(moved), STATUS_SUCCESS);
}

// The leader and the trailer are kept whole up to their areas' 576 bytes, in one segment or
// continued in later ones; the leader's timestamp needs H + 12 bytes.
struct AreaCase {
    const char* name;
    bool extended;
    bool trailer;
    size_t size;
    std::vector<size_t> cuts;   // where the frame is split into segments
    bool timestamp;
    uint32_t kept;
};

void PrintTo(const AreaCase& c, std::ostream* os) { *os << c.name; }

class PlacementArea : public Placement, public ::testing::WithParamInterface<AreaCase> {};

TEST_P(PlacementArea, IsKeptInItsAreaWithItsTimestamp)
{
    const AreaCase& c = GetParam();
    GvspCamera source{PACKET_SIZE, c.extended};
    Open(Config(4, PACKET_SIZE, c.extended));
    auto gvsp = c.trailer ? source.TrailerGvsp(14, 5, c.size) : source.LeaderGvsp(14, c.size);
    EXPECT_TRUE(ReceivePacket(InSegments(EthernetFrame(gvsp), c.cuts)));

    const FrameHeader& h = CurrentHeader();
    const uint32_t kept = c.trailer ? h.TrailerSize : h.LeaderSize;
    const int received = c.trailer ? h.TrailerReceived : h.LeaderReceived;
    EXPECT_EQ(kept, c.kept);
    EXPECT_EQ(received, 1);
    if (!c.trailer) {
        uint64_t timestamp = h.Timestamp;
        EXPECT_EQ(timestamp, c.timestamp ? GvspCamera::TimestampOf(14) : 0u);
        EXPECT_EQ(h.LeaderOffset, LEADER_AREA_OFFSET);
        EXPECT_EQ(h.PayloadOffset, PAYLOAD_AREA_OFFSET);
        EXPECT_EQ(h.TrailerOffset, TRAILER_AREA_OFFSET);
    }
    const uint8_t* area = reinterpret_cast<const uint8_t*>(&h) + (c.trailer ? TRAILER_AREA_OFFSET : LEADER_AREA_OFFSET);
    EXPECT_EQ(std::memcmp(area, gvsp.data(), c.kept), 0);
    EXPECT_EQ(area[c.trailer ? TRAILER_AREA_SIZE : LEADER_AREA_SIZE], 0) << "the next area was written";
}

INSTANTIATE_TEST_SUITE_P(Sizes, PlacementArea,
    ::testing::Values(AreaCase{"StandardJustTheTimestamp", false, false, 20, {}, true, 20},
        AreaCase{"StandardOneShort", false, false, 19, {}, false, 19},
        AreaCase{"StandardHeaderOnly", false, false, 8, {}, false, 8},
        AreaCase{"StandardAreaSize", false, false, 576, {}, true, 576},
        AreaCase{"StandardLonger", false, false, 600, {}, true, 576},
        AreaCase{"ExtendedJustTheTimestamp", true, false, 32, {}, true, 32},
        AreaCase{"ExtendedOneShort", true, false, 31, {}, false, 31},
        AreaCase{"ExtendedLonger", true, false, 1000, {}, true, 576},
        AreaCase{"LeaderContinuedInLaterSegments", false, false, 800, {42 + 100, 42 + 500}, true, 576},
        AreaCase{"LongTrailer", false, true, 700, {}, false, 576}),
    [](const ::testing::TestParamInfo<AreaCase>& param) { return std::string(param.param.name); });

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

    EXPECT_TRUE(Receive(camera.Payload(21, 2, SIZE_MAX, GVSP_STATUS_RESEND)));
    gvsp::Frame frame = TakeFrame();
    ASSERT_TRUE(frame.Valid());
    EXPECT_EQ(frame.Status(), FRAME_STATUS_COMPLETE);
    ASSERT_EQ(frame.Payload().size(), 2 * P);
    EXPECT_EQ(Misplaced(frame.Payload(), 21, 0), "");
}

// Payload copies into a frame cache larger than STREAMING_CACHE_BYTES use streaming stores:
// 256-bit ones where the AVX registers could be saved, 128-bit ones where the save failed. For
// every packet size and layout the buffer they leave holds the same bytes as an ordinary copy's:
// the camera's payload, each packet in its place. The checker fails a lock released with
// streaming stores not fenced and wide stores without a saved state, so every case also proves
// the fences and the saves.
struct StreamingCase {
    const char* name;
    uint32_t packetSize;
    std::vector<size_t> cuts;   // segment boundaries of each payload packet's frame
    size_t lastLength;          // data bytes of the last payload packet
};

void PrintTo(const StreamingCase& c, std::ostream* os) { *os << c.name; }

enum class Copies { Ordinary, Streaming, Wide };

const char* CopiesName(Copies copies)
{
    return copies == Copies::Ordinary ? "Ordinary" : copies == Copies::Streaming ? "Streaming" : "Wide";
}

class StreamingStores : public ReceiveTest, public ::testing::WithParamInterface<std::tuple<StreamingCase, Copies>> {};

TEST_P(StreamingStores, LeaveTheBytesOfOrdinaryCopies)
{
    const auto& [c, copies] = GetParam();
    const bool avx = RtlGetEnabledExtendedFeatures(XSTATE_MASK_AVX) != 0;
    if (copies == Copies::Wide && !avx) {
        GTEST_SKIP() << "the processor has no AVX registers";
    }
    if (copies == Copies::Streaming) {
        host::FailAlways(host::Fault::ExtendedStateSave);
    }
    constexpr uint32_t PACKETS = 6;
    const uint32_t room = 9u << 20;
    Open(Config(PACKETS, c.packetSize), room, copies == Copies::Ordinary ? 2 : 4);
    ASSERT_EQ(PortOf(portId)->StreamingStores, copies != Copies::Ordinary);
    ASSERT_EQ(PortOf(portId)->WideStreamingStores, copies != Copies::Ordinary && avx);

    GvspCamera camera(c.packetSize);
    const uint32_t p = camera.PayloadPerPacket();
    EXPECT_TRUE(Receive(camera.Leader(2)));
    // Packet 2 after a gap, 1 late, the rest in order.
    for (uint32_t id : {2u, 1u, 3u, 4u, 5u, 6u}) {
        auto f = camera.Payload(2, id, id == PACKETS ? c.lastLength : SIZE_MAX);
        EXPECT_TRUE(ReceivePacket(InSegments(f, c.cuts)));
    }
    EXPECT_TRUE(Receive(camera.Trailer(2, PACKETS + 1)));
    host::FailCall(host::Fault::ExtendedStateSave, 0);
    gvsp::Frame frame = TakeFrame();
    ASSERT_EQ(frame.Status(), FRAME_STATUS_COMPLETE);
    const size_t bytes = (PACKETS - 1) * size_t{p} + c.lastLength;
    ASSERT_EQ(frame.Payload().size(), bytes);
    EXPECT_EQ(Misplaced(frame.Payload(), 2, 0), "");
    EXPECT_EQ(frame.Payload().data()[bytes], 0) << "written beyond the payload";
}

INSTANTIATE_TEST_SUITE_P(Layouts, StreamingStores,
    ::testing::Combine(::testing::Values(
        StreamingCase{"Whole", 1448, {}, 1440},
        StreamingCase{"OddPayloadUnalignedOffsets", 1001, {}, 77},
        StreamingCase{"ShorterThanABlock", 60, {}, 9},
        StreamingCase{"HeaderDataSplit", 8968, {42}, 100},
        StreamingCase{"SplitMidBlock", 1448, {50, 57, 300, 1201}, 1440},
        StreamingCase{"Jumbo", 8968, {}, 8960}),
        ::testing::Values(Copies::Ordinary, Copies::Streaming, Copies::Wide)),
    [](const auto& param) { return std::string(std::get<0>(param.param).name) + CopiesName(std::get<1>(param.param)); });

}  // namespace
