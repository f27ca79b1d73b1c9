// The resend policy as the camera sees it on the wire: each gap asked for once as the packet after
// it arrives, every missing run and the open tail asked for when the next block starts, hopeless
// frames given up instead, and nothing at all while resends are off.
#include <gtest/gtest.h>

#include "tests/support/gvsp_packets.h"

using namespace gvsptest;

namespace {

constexpr uint64_t BLOCK = 0x321;
constexpr uint32_t RESENT = 0x40000000;    // marks an id: the packet comes again, with the resend status
constexpr uint32_t TRAILER = 0x80000000;   // marks an id: the trailer, at this id

class ResendPolicy : public ReceiveTest {
protected:
    // Frames of 12 payload packets: the trailer is expected at id 13.
    static gvsp::StreamConfig PolicyConfig(bool resendEnabled = true, uint32_t gapLimit = 0, uint32_t missingLimit = 0)
    {
        gvsp::StreamConfig config = Config(12);
        config.resendEnabled = resendEnabled;
        config.resendGapLimit = gapLimit;
        config.missingPacketLimit = missingLimit;
        return config;
    }

    // Packets `ids` of BLOCK, in that order (id 0 is the leader).
    void ReceiveIds(const std::vector<uint32_t>& ids)
    {
        for (uint32_t id : ids) {
            uint32_t packetId = id & ~(RESENT | TRAILER);
            uint16_t status = (id & RESENT) != 0 ? GVSP_STATUS_RESEND : 0;
            EXPECT_TRUE(Receive((id & TRAILER) != 0 ? camera.Trailer(BLOCK, packetId)
                                    : packetId == 0 ? camera.Leader(BLOCK)
                                                    : camera.Payload(BLOCK, packetId, SIZE_MAX, status)))
                << "packet " << packetId;
        }
    }

    GvspCamera camera{PACKET_SIZE};
};

ResendRequest Range(uint32_t first, uint32_t last) { return {BLOCK, first, last, false}; }
constexpr uint32_t TO_END = RESEND_TO_END_OF_BLOCK;

// The requests sent while the block's packets arrive and when the next block starts; every one
// counts its packets up to the expected trailer at 13.
struct WalkCase {
    const char* name;
    uint32_t gapLimit;
    std::vector<uint32_t> ids;
    std::vector<ResendRequest> onArrival;
    std::vector<ResendRequest> atNextBlock;
};

void PrintTo(const WalkCase& c, std::ostream* os) { *os << c.name; }

class ResendPolicyWalk : public ResendPolicy, public ::testing::WithParamInterface<WalkCase> {};

TEST_P(ResendPolicyWalk, AsksForExactlyTheMissingRuns)
{
    const WalkCase& c = GetParam();
    Open(PolicyConfig(true, c.gapLimit));
    ReceiveIds(c.ids);
    EXPECT_EQ(Requests(), c.onArrival);
    size_t before = SendRecords();
    EXPECT_TRUE(Receive(camera.Leader(BLOCK + 1)));
    EXPECT_EQ(Requests(before), c.atNextBlock);
    EXPECT_EQ(stream->Block().AssemblingFrameCount, 2u) << "nothing given up";

    uint32_t packets = 0;
    for (const auto& list : {c.onArrival, c.atNextBlock}) {
        for (const ResendRequest& r : list) {
            packets += std::min(r.last, 13u) - r.first + 1;
        }
    }
    EXPECT_EQ(stream->Block().ResendRequests, c.onArrival.size() + c.atNextBlock.size());
    EXPECT_EQ(stream->Block().ResendPacketsRequested, packets);
}

INSTANTIATE_TEST_SUITE_P(Walks, ResendPolicyWalk,
    ::testing::Values(WalkCase{"AGapIsAskedForOnceWhenThePacketAfterItArrives", 0, {0, 1, 2, 5, 3 | RESENT, 6},
                          {Range(3, 4)}, {Range(4, 4), Range(7, TO_END)}},
        WalkCase{"ALostLeaderIsPartOfTheFirstGap", 0, {3}, {Range(0, 2)}, {Range(0, 2), Range(4, TO_END)}},
        WalkCase{"ALostLeaderBeforePacketOneWaitsForTheNextBlock", 0, {1, 2}, {}, {Range(0, 0), Range(3, TO_END)}},
        WalkCase{"ANewBlockAsksForEveryMissingRunThenTheOpenTail", 0, {0, 1, 2, 3, 5, 6, 8, 9},
            {Range(4, 4), Range(7, 7)}, {Range(4, 4), Range(7, 7), Range(10, TO_END)}},
        WalkCase{"AfterTheTrailerOnlyTheMissingRuns", 0, {0, 1, 2, 3, 5, 6, 8, 9 | TRAILER},
            {Range(4, 4), Range(7, 7)}, {Range(4, 4), Range(7, 7)}},
        // Only the trailer is missing: one id, within a gap limit of 1.
        WalkCase{"EverythingButTheTrailerIsNotJudgedByTheMissingRuns", 1, {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12},
            {}, {Range(13, TO_END)}}),
    [](const ::testing::TestParamInfo<WalkCase>& param) { return std::string(param.param.name); });

TEST_F(ResendPolicy, ThePreviousFrameStillTakesItsResentPackets)
{
    Open(PolicyConfig());
    ReceiveIds({0, 1, 2, 3, 5, 6 | TRAILER});
    EXPECT_TRUE(Receive(camera.Leader(BLOCK + 1)));
    ReceiveIds({4 | RESENT});
    gvsp::Frame frame = TakeFrame();
    ASSERT_TRUE(frame.Valid());
    EXPECT_EQ(frame.BlockId(), BLOCK);
    EXPECT_EQ(frame.Status(), FRAME_STATUS_COMPLETE);
    EXPECT_EQ(Misplaced(frame.Payload(), BLOCK, 0), "");
}

// When the next block starts, a frame with the open tail after packet 2 (11 ids to the expected
// trailer at 13, 11 packets lost) is given up or asked for, by its limits.
struct SettleCase {
    uint32_t gapLimit;
    uint32_t missingLimit;
    uint16_t status;   // FRAME_STATUS_COMPLETE: not given up, the tail is asked for
};

class ResendPolicySettle : public ResendPolicy, public ::testing::WithParamInterface<SettleCase> {};

TEST_P(ResendPolicySettle, GivesUpOrAsksForTheTail)
{
    const SettleCase& c = GetParam();
    Open(PolicyConfig(true, c.gapLimit, c.missingLimit));
    ReceiveIds({0, 1, 2});
    EXPECT_TRUE(Receive(camera.Leader(BLOCK + 1)));

    const StreamControlBlock& b = stream->Block();
    if (c.status == FRAME_STATUS_COMPLETE) {
        EXPECT_EQ(Requests(), std::vector<ResendRequest>{Range(3, TO_END)});
        EXPECT_EQ(b.AssemblingFrameCount, 2u);
        EXPECT_EQ(b.CompletedFrameCount, 0u);
        EXPECT_EQ(b.MissingPackets, 0u);
        return;
    }
    EXPECT_TRUE(Requests().empty());
    gvsp::Frame frame = TakeFrame();
    ASSERT_TRUE(frame.Valid());
    EXPECT_EQ(frame.BlockId(), BLOCK);
    EXPECT_EQ(frame.Status(), c.status);
    EXPECT_EQ(b.GapLimitFrames, c.status == FRAME_STATUS_GAP_LIMIT ? 1u : 0u);
    EXPECT_EQ(b.MissingLimitFrames, c.status == FRAME_STATUS_MISSING_LIMIT ? 1u : 0u);
    EXPECT_EQ(b.MissingPackets, 11u);
    EXPECT_EQ(b.AssemblingFrameCount, 1u);
    // Its late packets find no frame.
    ReceiveIds({3 | RESENT});
    EXPECT_EQ(b.ResentPackets, 0u);
}

INSTANTIATE_TEST_SUITE_P(Limits, ResendPolicySettle,
    ::testing::Values(SettleCase{10, 0, FRAME_STATUS_GAP_LIMIT}, SettleCase{11, 0, FRAME_STATUS_COMPLETE},
        SettleCase{0, 10, FRAME_STATUS_MISSING_LIMIT}, SettleCase{0, 11, FRAME_STATUS_COMPLETE},
        SettleCase{12, 10, FRAME_STATUS_MISSING_LIMIT}, SettleCase{10, 12, FRAME_STATUS_GAP_LIMIT},
        SettleCase{10, 10, FRAME_STATUS_MISSING_LIMIT}, SettleCase{9, 10, FRAME_STATUS_GAP_LIMIT},
        SettleCase{11, 11, FRAME_STATUS_COMPLETE}));

// With resends off nothing is sent, but the limits still give frames up: each gap measured on
// its own, as it arrives or when the next block starts.
struct OffCase {
    const char* name;
    uint32_t gapLimit;
    std::vector<uint32_t> ids;
    bool nextBlock;
    uint16_t status;   // 0: not given up
};

void PrintTo(const OffCase& c, std::ostream* os) { *os << c.name; }

class ResendPolicyOff : public ResendPolicy, public ::testing::WithParamInterface<OffCase> {};

TEST_P(ResendPolicyOff, NothingIsSentButTheLimitsStillGiveFramesUp)
{
    const OffCase& c = GetParam();
    Open(PolicyConfig(false, c.gapLimit));
    ReceiveIds(c.ids);
    if (c.nextBlock) {
        EXPECT_TRUE(Receive(camera.Leader(BLOCK + 1)));
    }
    EXPECT_TRUE(Requests().empty());
    EXPECT_EQ(stream->Block().ResendRequests, 0u);
    if (c.status == 0) {
        EXPECT_EQ(stream->Block().GapLimitFrames, 0u);
        EXPECT_EQ(stream->Block().AssemblingFrameCount, c.nextBlock ? 2u : 1u);
        return;
    }
    gvsp::Frame frame = TakeFrame();
    ASSERT_TRUE(frame.Valid());
    EXPECT_EQ(frame.Status(), c.status);
    EXPECT_EQ(stream->Block().GapLimitFrames, 1u);
}

INSTANTIATE_TEST_SUITE_P(Limits, ResendPolicyOff,
    ::testing::Values(OffCase{"NoLimit", 0, {0, 1, 2, 3, 5, 6, 8, 9}, true, 0},
        OffCase{"AGapBeyondTheLimit", 2, {0, 1, 5}, false, FRAME_STATUS_GAP_LIMIT},
        OffCase{"EachGapOnItsOwn", 2, {0, 1, 3, 5, 7, 9, 11}, false, 0},
        OffCase{"TheNextBlockStillJudgesTheFrame", 3, {0, 1}, true, FRAME_STATUS_GAP_LIMIT}),
    [](const ::testing::TestParamInfo<OffCase>& param) { return std::string(param.param.name); });

// A request that cannot be sent ends the walk; a missing checksum scratch buffer does not. The
// walk runs on a snapshot of the frame, the first allocation; without it the worker asks later.
struct WalkFailureCase {
    const char* name;
    host::Fault fault;
    uint32_t nth;
    size_t sent;        // requests of the walk that reach the wire
    uint32_t attempts;  // requests counted
};

void PrintTo(const WalkFailureCase& c, std::ostream* os) { *os << c.name; }

class ResendPolicyWalkFailure : public ResendPolicy, public ::testing::WithParamInterface<WalkFailureCase> {};

TEST_P(ResendPolicyWalkFailure, StopsAtTheFirstRequestThatCannotBeSent)
{
    const WalkFailureCase& c = GetParam();
    Open(PolicyConfig());
    ReceiveIds({0, 1, 2, 3, 5, 6, 8, 9});
    size_t before = SendRecords();
    uint32_t attemptsBefore = stream->Block().ResendRequests;

    host::FailCall(c.fault, c.nth);
    EXPECT_TRUE(Receive(camera.Leader(BLOCK + 1)));
    host::FailCall(c.fault, 0);

    std::vector<ResendRequest> all{Range(4, 4), Range(7, 7), Range(10, TO_END)};
    EXPECT_EQ(Requests(before), std::vector<ResendRequest>(all.begin(), all.begin() + long(c.sent)));
    EXPECT_EQ(stream->Block().ResendRequests - attemptsBefore, c.attempts);
    EXPECT_EQ(stream->Block().AssemblingFrameCount, 2u);
}

INSTANTIATE_TEST_SUITE_P(Allocations, ResendPolicyWalkFailure,
    ::testing::Values(WalkFailureCase{"NoFrameSnapshot", host::Fault::PoolAllocation, 1, 0, 0},
        WalkFailureCase{"FirstPacketBuffer", host::Fault::PoolAllocation, 2, 0, 1},
        WalkFailureCase{"FirstChecksumScratch", host::Fault::PoolAllocation, 3, 3, 3},
        WalkFailureCase{"SecondPacketBuffer", host::Fault::PoolAllocation, 4, 1, 2},
        WalkFailureCase{"ThirdPacketBuffer", host::Fault::PoolAllocation, 6, 2, 3},
        WalkFailureCase{"FirstMdl", host::Fault::MdlAllocation, 1, 0, 1},
        WalkFailureCase{"SecondNetBufferList", host::Fault::NblAllocation, 2, 1, 2}),
    [](const ::testing::TestParamInfo<WalkFailureCase>& param) { return std::string(param.param.name); });

}  // namespace
