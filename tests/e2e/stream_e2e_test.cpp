// Streams from the camera emulator through the adapter and the driver into a client's buffers,
// the way a camera library runs an acquisition: frame requests in flight, frames checked byte by
// byte in user memory, lost packets asked for again by the receive path and by the worker's
// time-outs on the virtual clock, and the stream's counters balanced against the camera's.
#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "tests/support/camera_stream.h"

using namespace gvsptest;

namespace {

constexpr uint32_t FULL_HD_MONO8 = 1920 * 1080;
constexpr int64_t FRAME_PERIOD_MS = 33;
constexpr uint32_t RESEND_TIMEOUT_MS = 20;

class StreamEndToEnd : public CameraStreamTest {
protected:
    // Runs an acquisition of `blocks` blocks, one per frame period: `depth` frame requests always
    // in flight, each frame checked as it is handed over and returned at once. Within its period
    // a block is sent, the receive path's requests are answered, and the worker asks again for
    // what is still missing once the time-out has passed. Every block must come back complete, in
    // order, within its own period.
    void Acquire(camera::Camera& cam, gvsp::Stream& s, size_t blocks, size_t depth)
    {
        for (size_t i = 0; i < depth; ++i) {
            pending.push_back(s.RequestFrame());
            ASSERT_EQ(pending.back()->Status(), STATUS_PENDING);
        }
        int problems = 0;
        for (size_t n = 0; n < blocks && problems < 5; ++n) {
            uint64_t blockId = cam.SendBlock();
            cam.Pump();
            Advance(FRAME_PERIOD_MS);
            cam.Pump();

            if (!pending.front()->Done()) {
                ADD_FAILURE() << "block " << blockId << " was not handed over within its frame period";
                ++problems;
                continue;
            }
            gvsp::Frame frame;
            EXPECT_EQ(pending.front()->Wait(&frame), STATUS_SUCCESS);
            pending.pop_front();
            std::string problem = FrameProblem(frame, blockId, cam.Config().payloadSize, cam);
            if (!problem.empty()) {
                ADD_FAILURE() << problem;
                ++problems;
            }
            EXPECT_EQ(s.ReturnFrame(frame), STATUS_SUCCESS);
            pending.push_back(s.RequestFrame());
        }
    }
};

struct AcquisitionCase {
    const char* name;
    uint32_t packetSize;
    bool extendedIds;
    camera::Presentation presentation;
    size_t blocks;
};

void PrintTo(const AcquisitionCase& c, std::ostream* os) { *os << c.name; }

class Acquisition : public StreamEndToEnd, public ::testing::WithParamInterface<AcquisitionCase> {};

TEST_P(Acquisition, EveryFullHdFrameArrivesWholeThroughOnePercentLoss)
{
    const AcquisitionCase& c = GetParam();
    camera::CameraConfig config;
    config.payloadSize = FULL_HD_MONO8;
    config.sizeX = 1920;
    config.sizeY = 1080;
    config.packetSize = c.packetSize;
    config.extendedIds = c.extendedIds;
    config.presentation = c.presentation;
    config.random.seed = 20240611;
    config.random.drop = 0.01;
    config.keptBlocks = 4;
    camera::Camera& cam = NewCamera(config);
    gvsp::StreamConfig streamConfig = ConfigFor(cam);
    streamConfig.resendTimeoutMs = RESEND_TIMEOUT_MS;
    streamConfig.resendRetryLimit = 3;
    gvsp::Stream& s = OpenStream(cam, streamConfig, 4, BufferFor(FULL_HD_MONO8));

    Acquire(cam, s, c.blocks, 2);

    const StreamControlBlock& b = s.Block();
    const camera::CameraCounters& sent = cam.Counters();
    EXPECT_EQ(sent.blocksSent, c.blocks);
    EXPECT_EQ(b.AssembledFrames, c.blocks);
    EXPECT_EQ(FramesAccountedFor(b), sent.blocksSent);
    EXPECT_EQ(b.AssemblingFrameCount, 0u);
    EXPECT_EQ(b.MissingPackets, 0u);
    EXPECT_EQ(b.SkippedBlocks, 0u);
    // Each lost packet was asked for exactly once, resent once, and taken as a resend.
    EXPECT_GT(sent.dropped, c.blocks / 2) << "the loss was exercised";
    EXPECT_EQ(sent.packetsResent, sent.dropped);
    EXPECT_EQ(sent.resentPacketsLost, 0u);
    EXPECT_EQ(b.ResendPacketsRequested, sent.dropped);
    EXPECT_EQ(b.ResentPackets, sent.packetsResent);
    EXPECT_EQ(b.DuplicatePackets, 0u);
    EXPECT_EQ(b.ResendRequests, sent.resendRequests);
    EXPECT_EQ(sent.resendRequestsIgnored, 0u);
    for (const camera::ResendRequest& r : cam.ResendRequests()) {
        EXPECT_EQ(r.extendedIds, c.extendedIds);
        EXPECT_TRUE(r.udpChecksumOk || !r.udpChecksumPresent);
        EXPECT_TRUE(r.ipChecksumOk);
    }
}

camera::Presentation SplitWithOffset()
{
    camera::Presentation p;
    p.layout = camera::SegmentLayout::HeaderDataSplit;
    p.currentMdlOffset = 14;
    p.packetsPerIndication = 8;
    return p;
}

INSTANTIATE_TEST_SUITE_P(StreamEndToEnd, Acquisition,
    ::testing::Values(AcquisitionCase{"Jumbo", 8000, false, {}, 300},
        AcquisitionCase{"StandardEthernet", 1500, false, {}, 20},
        AcquisitionCase{"ExtendedIds", 1500, true, {}, 20},
        AcquisitionCase{"ExtendedIdsHeaderDataSplit", 8000, true, SplitWithOffset(), 40}),
    [](const ::testing::TestParamInfo<AcquisitionCase>& param) { return std::string(param.param.name); });

// Resent packets lost again are made good only by the worker's time-out retries.
TEST_F(StreamEndToEnd, LostResendsAreRecoveredByTimeOutRetries)
{
    camera::CameraConfig config;
    config.payloadSize = 200'000;
    config.packetSize = 1464;
    config.random.seed = 77;
    config.random.drop = 0.03;
    camera::Camera& cam = NewCamera(config);
    cam.LoseResendFraction(0.5, 99);
    gvsp::StreamConfig streamConfig = ConfigFor(cam);
    streamConfig.resendTimeoutMs = 5;
    gvsp::Stream& s = OpenStream(cam, streamConfig, 3, BufferFor(config.payloadSize));

    constexpr size_t BLOCKS = 40;
    size_t workerRounds = 0;
    for (size_t n = 0; n < BLOCKS; ++n) {
        pending.push_back(s.RequestFrame());
        gvsp::PendingFrame* request = pending.back().get();
        // The receive path's own requests all go unanswered: only time-outs can help.
        cam.LoseAllResends(true);
        uint64_t blockId = cam.SendBlock();
        cam.Pump();
        cam.LoseAllResends(false);
        for (int round = 0; round < 100 && !request->Done(); ++round) {
            Advance(5);
            cam.Pump();
            ++workerRounds;
        }
        ASSERT_TRUE(request->Done()) << "block " << blockId << " never completed";
        gvsp::Frame frame;
        ASSERT_EQ(request->Wait(&frame), STATUS_SUCCESS);
        EXPECT_EQ(FrameProblem(frame, blockId, config.payloadSize, cam), "");
        EXPECT_EQ(s.ReturnFrame(frame), STATUS_SUCCESS);
        pending.clear();
    }

    const StreamControlBlock& b = s.Block();
    const camera::CameraCounters& sent = cam.Counters();
    EXPECT_GT(workerRounds, BLOCKS) << "frames needed more than one retry";
    EXPECT_GT(sent.resentPacketsLost, sent.dropped) << "resends were lost again";
    EXPECT_EQ(b.AssembledFrames, BLOCKS);
    EXPECT_EQ(FramesAccountedFor(b), BLOCKS);
    EXPECT_EQ(b.ResentPackets, sent.packetsResent);
    EXPECT_EQ(b.DuplicatePackets, 0u);
}

// A frame the camera never completes gets its retries up to the limit, then waits, and newer
// frames wait behind it, until the blocks after it push it out; it reaches the library given up.
TEST_F(StreamEndToEnd, AFrameQuietPastItsRetryLimitIsGivenUpWhenNewerBlocksPushItOut)
{
    camera::CameraConfig config;
    config.payloadSize = 20'000;
    config.packetSize = 1464;
    camera::Camera& cam = NewCamera(config);
    const uint32_t trailer = cam.TrailerPacketId();
    cam.LoseAllResends(true);
    gvsp::StreamConfig streamConfig = ConfigFor(cam);
    streamConfig.resendTimeoutMs = 10;
    streamConfig.resendRetryLimit = 2;
    gvsp::Stream& s = OpenStream(cam, streamConfig, 4, BufferFor(config.payloadSize));
    pending.push_back(s.RequestFrame());

    cam.DropPacket(std::nullopt, trailer);
    uint64_t quiet = cam.SendBlock();
    for (int i = 0; i < 20; ++i) {
        Advance(10);
        cam.Pump();
    }
    EXPECT_EQ(RequestsFor(cam, quiet), 2u);
    EXPECT_EQ(s.Block().AssemblingFrameCount, 1u);
    EXPECT_FALSE(pending.front()->Done());

    // The next block, its trailer lost too, asks once for the quiet frame's tail as it starts;
    // the worker then retries neither: only the oldest frame is looked at.
    uint64_t behind = cam.SendBlock();
    cam.Pump();
    size_t before = cam.ResendRequests().size();
    EXPECT_EQ(RequestsFor(cam, quiet), 3u);
    for (int i = 0; i < 20; ++i) {
        Advance(10);
        cam.Pump();
    }
    EXPECT_EQ(cam.ResendRequests().size(), before);
    EXPECT_EQ(s.Block().AssemblingFrameCount, 2u);

    // A third block pushes the quiet frame out; it completes and gives up the one behind.
    cam.ClearImpairments();
    uint64_t whole = cam.SendBlock();
    cam.Pump();
    gvsp::Frame frame;
    ASSERT_TRUE(pending.front()->Done());
    ASSERT_EQ(pending.front()->Wait(&frame), STATUS_SUCCESS);
    EXPECT_EQ(frame.BlockId(), quiet);
    EXPECT_EQ(frame.Status(), FRAME_STATUS_INCOMPLETE);
    EXPECT_EQ(frame.Payload().size(), config.payloadSize);
    EXPECT_EQ(camera::FindPayloadMismatch(quiet, frame.Payload()), std::nullopt);
    EXPECT_EQ(frame.Trailer().size(), 0u);
    frame = TakeFrame(s);
    EXPECT_EQ(FrameProblem(frame, whole, config.payloadSize, cam), "");

    const StreamControlBlock& b = s.Block();
    EXPECT_EQ(b.IncompleteFrames, 2u) << "block " << behind << " was given up when " << whole << " completed";
    EXPECT_EQ(b.AssembledFrames, 1u);
    EXPECT_EQ(FramesAccountedFor(b), 3u);
    // Each lacked its trailer. The one behind was given up the moment the newest frame's trailer
    // arrived, when the expected packet count is that frame's packet count, one more than the
    // count of a frame of the configured size.
    EXPECT_EQ(b.MissingPackets, 1u + 2u);
}

// Block ids wrap to 1 after the last one (0 is never sent). A stream crossing the wrap, with
// block W, the last id before it, impaired: what is lost is asked for again and arrives after
// block 1 has started, and must land in W's frame; each block reaches the library once, in order.
enum class WrapOutcome { Complete, Skipped, Retired };

struct WrapCase {
    const char* name;
    bool extendedIds;
    bool lateTrailers;        // each trailer goes out after the next block's leader
    std::vector<uint32_t> dropped;   // packet ids of W lost at their first transmission
    bool resendsLost;         // and every resend of them too
    WrapOutcome outcome;
};

void PrintTo(const WrapCase& c, std::ostream* os) { *os << c.name; }

class BlockIdWrap : public StreamEndToEnd, public ::testing::WithParamInterface<WrapCase> {};

TEST_P(BlockIdWrap, EachBlockReachesTheLibraryOnceInOrder)
{
    const WrapCase& c = GetParam();
    constexpr size_t BLOCKS = 8;
    constexpr size_t W = 3;   // the index of the last id before the wrap
    camera::CameraConfig config;
    config.payloadSize = 5000;
    config.extendedIds = c.extendedIds;
    config.firstBlockId = (c.extendedIds ? ~0ull : 65535ull) - W;
    camera::Camera& cam = NewCamera(config);
    const uint64_t wrapBlock = c.extendedIds ? ~0ull : 65535ull;
    if (c.lateTrailers) {
        cam.DelayPacket(std::nullopt, cam.TrailerPacketId(), 1);
    }
    for (uint32_t id : c.dropped) {
        cam.DropPacket(wrapBlock, id);
        if (c.resendsLost) {
            cam.LoseResentPacket(wrapBlock, id);
        }
    }
    gvsp::Stream& s = OpenStream(cam, ConfigFor(cam), BLOCKS + 2, BufferFor(config.payloadSize));
    for (size_t i = 0; i <= BLOCKS; ++i) {
        pending.push_back(s.RequestFrame());
    }

    std::vector<uint64_t> sent;
    for (size_t i = 0; i < BLOCKS; ++i) {
        sent.push_back(cam.SendBlock());
        cam.Pump();
    }
    cam.ReleaseDelayed();
    cam.Pump();
    ASSERT_EQ(sent[W], wrapBlock);
    ASSERT_EQ(sent[W + 1], 1u);

    for (size_t i = 0; i < BLOCKS; ++i) {
        if (i == W && (c.outcome == WrapOutcome::Skipped || c.outcome == WrapOutcome::Retired)) {
            continue;
        }
        SCOPED_TRACE(testing::Message() << "block " << sent[i]);
        ASSERT_FALSE(pending.empty());
        ASSERT_TRUE(pending.front()->Done());
        gvsp::Frame frame;
        ASSERT_EQ(pending.front()->Wait(&frame), STATUS_SUCCESS);
        pending.pop_front();
        EXPECT_EQ(FrameProblem(frame, sent[i], config.payloadSize, cam), "");
    }
    EXPECT_FALSE(pending.front()->Done()) << "a block was handed over twice";

    const StreamControlBlock& b = s.Block();
    bool lost = c.outcome != WrapOutcome::Complete;
    EXPECT_EQ(b.AssembledFrames, BLOCKS - (lost ? 1 : 0));
    EXPECT_EQ(b.SkippedBlocks, c.outcome == WrapOutcome::Skipped ? 1u : 0u);
    EXPECT_EQ(b.IncompleteFrames, c.outcome == WrapOutcome::Retired ? 1u : 0u);
    EXPECT_EQ(b.AssemblingFrameCount, 0u);
    EXPECT_EQ(b.DuplicatePackets, 0u);
}

const std::vector<uint32_t> WHOLE_BLOCK{0, 1, 2, 3, 4, 5};

INSTANTIATE_TEST_SUITE_P(StreamEndToEnd, BlockIdWrap,
    ::testing::Values(WrapCase{"LostLeader", false, true, {0}, false, WrapOutcome::Complete},
        WrapCase{"LostTrailer", false, true, {5}, false, WrapOutcome::Complete},
        WrapCase{"LostFrame", false, true, WHOLE_BLOCK, false, WrapOutcome::Skipped},
        WrapCase{"RetiredWhenBlockOneCompletes", false, false, {2}, true, WrapOutcome::Retired},
        WrapCase{"ExtendedLostLeader", true, true, {0}, false, WrapOutcome::Complete},
        WrapCase{"ExtendedRetiredWhenBlockOneCompletes", true, false, {2}, true, WrapOutcome::Retired}),
    [](const ::testing::TestParamInfo<WrapCase>& param) { return std::string(param.param.name); });

// A frame larger than its buffer spills into overflow chunks and closes as overflowed; returned
// with a larger replacement buffer it comes back whole through the next frame request.
TEST_F(StreamEndToEnd, AnOverflowedFrameComesBackWholeInItsReplacementBuffer)
{
    constexpr uint32_t ROOM = 40'000;
    constexpr uint32_t CHUNK = 16'384;
    camera::CameraConfig config;
    config.payloadSize = 100'000;
    config.packetSize = 1464;
    config.random.seed = 5;
    config.random.drop = 0.02;
    camera::Camera& cam = NewCamera(config);
    gvsp::StreamConfig streamConfig = ConfigFor(cam);
    streamConfig.overflowChunkSize = CHUNK;
    gvsp::Stream& s = OpenStream(cam, streamConfig, 2, BufferFor(ROOM));

    uint64_t big = cam.SendBlock();
    cam.Pump();
    cam.SendBlock();   // its start asks for whatever the first block still lacks
    cam.Pump();
    gvsp::Frame frame = TakeFrame(s);
    ASSERT_TRUE(frame.Valid());
    EXPECT_EQ(frame.BlockId(), big);
    EXPECT_EQ(frame.Status(), FRAME_STATUS_OVERFLOW);
    EXPECT_EQ(frame.Header().PayloadSize, config.payloadSize);
    EXPECT_EQ(camera::FindPayloadMismatch(big, frame.Payload().first(ROOM)), std::nullopt);

    auto index = reinterpret_cast<const FramePrivate*>(frame.HeaderAddress() - FRAME_PRIVATE_SIZE)->FrameIndex;
    FrameDescriptor& d = s.Descriptor(index);
    const uint32_t replacementSize = BufferFor(ROOM) + 4 * CHUNK;
    void* replacement = process->Allocate(replacementSize);
    d.ReplacementUserAddress = reinterpret_cast<uint64_t>(replacement);
    d.ReplacementSize = replacementSize;
    ASSERT_EQ(s.ReturnFrame(frame), STATUS_SUCCESS);

    auto next = s.RequestFrame();
    ASSERT_TRUE(next->Done());
    ASSERT_EQ(next->Wait(&frame), STATUS_SUCCESS);
    EXPECT_EQ(frame.HeaderAddress(), reinterpret_cast<uint64_t>(replacement) + FRAME_PRIVATE_SIZE);
    EXPECT_EQ(FrameProblem(frame, big, config.payloadSize, cam), "");
}

}  // namespace
