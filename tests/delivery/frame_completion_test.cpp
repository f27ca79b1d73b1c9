// Frame completion at the level of the frame lists: where a new block's slot comes from when
// nothing is free, which older frame a good frame gives up, and the "no free frame" report.
// Frames are opened and closed the way the receive path does it.
#include <gtest/gtest.h>

#include "tests/support/stream_fixture.h"

using namespace gvsptest;

namespace {

class FrameCompletion : public StreamTest {
protected:
    // Opens a slot for `blockId` as the receive path does for a block's first packet.
    FrameSlot* Open(uint64_t blockId)
    {
        StreamPort* port = PortOf(portId);
        FrameSlot* slot = OpenSlot(port);
        if (slot != nullptr) {
            slot->Header->BlockId = blockId;
        }
        return slot;
    }
    void Close(FrameSlot* slot, uint16_t status)
    {
        slot->Header->FrameStatus = status;
        CloseSlot(PortOf(portId), slot);
    }
    std::vector<uint64_t> AssemblingBlocks()
    {
        std::vector<uint64_t> blocks;
        StreamPort* port = PortOf(portId);
        for (PLIST_ENTRY e = port->AssemblingFrames.Flink; e != &port->AssemblingFrames; e = e->Flink) {
            uint64_t blockId = CONTAINING_RECORD(e, FrameSlot, Links)->Header->BlockId;   // not 8-aligned
            blocks.push_back(blockId);
        }
        return blocks;
    }
    StreamControlBlock& Block() { return stream->Block(); }
};

TEST_F(FrameCompletion, WithNothingFreeOrCompletedTheOldestUnfinishedFrameIsReusedInPlace)
{
    OpenStream(2);
    FrameSlot* oldest = Open(10);
    Open(11);
    ASSERT_EQ(Block().FreeFrameCount, 0u);
    Block().ExpectedPacketCount = 5;
    oldest->Header->ReceivedPackets = 2;

    FrameSlot* reused = Open(12);
    EXPECT_EQ(reused, oldest);
    EXPECT_EQ(AssemblingBlocks(), (std::vector<uint64_t>{12, 11})) << "it keeps its place at the head";
    EXPECT_EQ(Block().AssemblingFrameCount, 2u);
    EXPECT_EQ(Block().FreeFrameCount, 0u);
    EXPECT_EQ(Block().IncompleteFrames, 1u);
    EXPECT_EQ(Block().MissingPackets, 5u - 2u + 1u);
}

TEST_F(FrameCompletion, AGoodFrameGivesUpAtMostOneOlderFrame)
{
    OpenStream(4);
    Open(20);
    Open(21);
    FrameSlot* newest = Open(22);

    // A frame closed with an error gives nothing up.
    FrameSlot* failed = Open(23);
    Close(failed, FRAME_STATUS_DEVICE_ERROR);
    EXPECT_EQ(AssemblingBlocks(), (std::vector<uint64_t>{20, 21, 22}));

    // A good frame gives up the oldest, once.
    Close(newest, FRAME_STATUS_COMPLETE);
    EXPECT_EQ(AssemblingBlocks(), (std::vector<uint64_t>{21}));
    EXPECT_EQ(Block().IncompleteFrames, 1u);
    EXPECT_EQ(Block().FreeFrameCount, 1u);
    EXPECT_EQ(Block().CompletedFrameCount, 2u);
}

TEST_F(FrameCompletion, AGoodFrameNeverGivesUpANewerBlock)
{
    OpenStream(3);
    FrameSlot* older = Open(30);
    Open(31);
    Close(older, FRAME_STATUS_COMPLETE);
    EXPECT_EQ(AssemblingBlocks(), (std::vector<uint64_t>{31}));
    EXPECT_EQ(Block().IncompleteFrames, 0u);
}

TEST_F(FrameCompletion, UnderPolicyElevenOnlyFreeSlotsAreTakenAndAllHeldIsReported)
{
    gvsp::StreamConfig config;
    config.packetSize = 1464;
    config.flags = STREAM_FLAG_NEWEST_FRAME_ONLY | STREAM_FLAG_WAITING_REQUESTS_ONLY;
    OpenStream(2, SMALL_BUFFER, config);
    ASSERT_EQ(stream->Start(), STATUS_SUCCESS);

    // Both frames go to user mode through waiting requests.
    gvsp::Frame held[2];
    for (gvsp::Frame& frame : held) {
        auto pending = stream->RequestFrame();
        Close(Open(40 + (&frame - held)), FRAME_STATUS_COMPLETE);
        ASSERT_EQ(pending->Wait(&frame), STATUS_SUCCESS);
    }
    EXPECT_EQ(Open(50), nullptr);
    EXPECT_EQ(Block().NoFreeFrame, 1);

    // With a frame back but closed while nobody waits, nothing is free, and nothing is reported.
    ASSERT_EQ(stream->ReturnFrame(held[0]), STATUS_SUCCESS);
    FrameSlot* slot = Open(51);
    ASSERT_NE(slot, nullptr);
    EXPECT_EQ(Block().NoFreeFrame, 0) << "cleared as soon as a slot is handed out again";
    Close(slot, FRAME_STATUS_COMPLETE);
    EXPECT_EQ(Open(52), nullptr);
    EXPECT_EQ(Block().NoFreeFrame, 0) << "a slot is still free or completed: not every slot is held";
}

}  // namespace
