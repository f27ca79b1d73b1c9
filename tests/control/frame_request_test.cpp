// Frame requests as a camera library sees them: frames handed over at once or after waiting,
// the hand-over policies, start and stop, cancellation by stop, by close, by the request alone;
// and the teardown of ports by handle cleanup and by adapter detach.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "host/io/io.h"
#include "host/verifier/checker.h"
#include "tests/support/stream_fixture.h"

using namespace gvsptest;

namespace {

uint64_t HeaderOf(const gvsp::Stream& s, USHORT index) { return s.Descriptor(index).UserAddress + FRAME_PRIVATE_SIZE; }

class FrameRequests : public StreamTest {};

TEST_F(FrameRequests, NewestOnlyHandsTheNewestAndFreesTheOlder)
{
    OpenStream(3, SMALL_BUFFER, {.packetSize = 1464, .flags = STREAM_FLAG_NEWEST_FRAME_ONLY});
    StageFrame(portId, 1);
    USHORT newest = StageFrame(portId, 2);
    gvsp::Frame frame;
    ASSERT_EQ(stream->GetFrame(&frame), STATUS_SUCCESS);
    EXPECT_EQ(frame.HeaderAddress(), HeaderOf(*stream, newest));
    EXPECT_EQ(stream->Block().CompletedFrameCount, 0u);
    EXPECT_EQ(stream->Block().FreeFrameCount, 2u);
}

TEST_F(FrameRequests, WaitingRequestsOnlyDiscardsWhatClosedBeforeTheRequest)
{
    OpenStream(3, SMALL_BUFFER, {.packetSize = 1464, .flags = STREAM_FLAG_WAITING_REQUESTS_ONLY});
    StageFrame(portId, 1);
    ASSERT_EQ(stream->Start(), STATUS_SUCCESS);
    auto pending = stream->RequestFrame();
    EXPECT_EQ(pending->Status(), STATUS_PENDING);
    EXPECT_EQ(stream->Block().FreeFrameCount, 3u);

    StageFrame(portId, 2);
    gvsp::Frame frame;
    EXPECT_EQ(pending->Wait(&frame), STATUS_SUCCESS);
    EXPECT_EQ(frame.BlockId(), 2u);
}

// A frame is handed over at once or when it closes while the request waits; the hand-over record
// is cut to the output buffer, down to none at all.
struct OutputCase {
    const char* name;
    ULONG outputLength;
    bool waits;
};

void PrintTo(const OutputCase& c, std::ostream* os) { *os << c.name; }

class FrameRequestOutput : public FrameRequests, public ::testing::WithParamInterface<OutputCase> {};

TEST_P(FrameRequestOutput, GetsAsMuchOfTheRecordAsItHasRoomFor)
{
    const OutputCase& c = GetParam();
    OpenStream(2);
    ASSERT_EQ(stream->Start(), STATUS_SUCCESS);
    uint64_t record = ~0ull;
    void* output = c.outputLength != 0 ? &record : nullptr;
    USHORT index = 0;
    DWORD returned = 0;
    if (c.waits) {
        OVERLAPPED overlapped{};
        EXPECT_FALSE(process->DeviceIoControl(stream->Handle(), IOCTL_STREAM_GET_FRAME, nullptr, 0, output,
            c.outputLength, &returned, &overlapped));
        index = StageFrame(portId, 3);
        ASSERT_TRUE(process->GetOverlappedResult(stream->Handle(), &overlapped, &returned, TRUE));
        EXPECT_EQ(host::CompletedIrpsSince(host::CompletedIrpCount() - 1).at(0).priorityBoost, 8) << "a waiting request completes boosted";
    } else {
        index = StageFrame(portId, 3);
        ASSERT_TRUE(process->DeviceIoControl(stream->Handle(), IOCTL_STREAM_GET_FRAME, nullptr, 0, output,
            c.outputLength, &returned, nullptr));
    }
    EXPECT_EQ(returned, c.outputLength);
    uint64_t kept = ~0ull << (8 * c.outputLength);
    EXPECT_EQ(record, (HeaderOf(*stream, index) & ~kept) | kept);
}

INSTANTIATE_TEST_SUITE_P(Lengths, FrameRequestOutput,
    ::testing::Values(OutputCase{"FourBytesAtOnce", 4, false}, OutputCase{"FourBytesAfterWaiting", 4, true},
        OutputCase{"NoneAtOnce", 0, false}, OutputCase{"NoneAfterWaiting", 0, true}),
    [](const ::testing::TestParamInfo<OutputCase>& param) { return std::string(param.param.name); });

TEST_F(FrameRequests, StopCancelsEveryWaitingRequestHeadFirst)
{
    OpenStream(2);
    ASSERT_EQ(stream->Start(), STATUS_SUCCESS);
    std::vector<std::unique_ptr<gvsp::PendingFrame>> pending;
    for (int i = 0; i < 3; ++i) {
        pending.push_back(stream->RequestFrame());
        ASSERT_EQ(pending.back()->Status(), STATUS_PENDING);
    }
    uint64_t completedBefore = host::CompletedIrpCount();
    ASSERT_EQ(stream->Stop(), STATUS_SUCCESS);
    for (auto& p : pending) {
        EXPECT_EQ(p->Wait(nullptr), STATUS_CANCELLED);
        EXPECT_EQ(p->BytesReturned(), 0u);
    }
    // Head first: the completions after the stop's own are the requests in queue order.
    auto completions = host::CompletedIrpsSince(completedBefore);
    ASSERT_GE(completions.size(), 4u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(completions[i].status, STATUS_CANCELLED);
        EXPECT_EQ(completions[i].outputBuffer, pending[i]->OutputAddress());
    }
    EXPECT_EQ(stream->Stop(), STATUS_UNSUCCESSFUL);
}

TEST_F(FrameRequests, CancellingOneRequestLeavesTheOthersWaiting)
{
    OpenStream(2);
    ASSERT_EQ(stream->Start(), STATUS_SUCCESS);
    auto first = stream->RequestFrame();
    auto second = stream->RequestFrame();
    auto third = stream->RequestFrame();
    EXPECT_TRUE(second->Cancel());
    EXPECT_EQ(second->Wait(nullptr), STATUS_CANCELLED);
    EXPECT_EQ(first->Status(), STATUS_PENDING);
    EXPECT_EQ(third->Status(), STATUS_PENDING);

    StageFrame(portId, 1);
    StageFrame(portId, 2);
    gvsp::Frame a, b;
    EXPECT_EQ(first->Wait(&a), STATUS_SUCCESS);
    EXPECT_EQ(third->Wait(&b), STATUS_SUCCESS);
    EXPECT_EQ(a.BlockId(), 1u);
    EXPECT_EQ(b.BlockId(), 2u);
}

TEST_F(FrameRequests, RequestModeOneFailsAtOnceWhileNotAcquiring)
{
    OpenStream(2, SMALL_BUFFER, {.packetSize = 1464, .requestMode = 1});
    gvsp::Frame frame;
    EXPECT_EQ(stream->GetFrame(&frame), STATUS_CANCELLED);

    ASSERT_EQ(stream->Start(), STATUS_SUCCESS);
    auto pending = stream->RequestFrame();
    EXPECT_EQ(pending->Status(), STATUS_PENDING);
    ASSERT_EQ(stream->Stop(), STATUS_SUCCESS);
    EXPECT_EQ(pending->Wait(nullptr), STATUS_CANCELLED);
    EXPECT_EQ(stream->GetFrame(&frame), STATUS_CANCELLED);
}

// Start shows the free count as the lists have it, frames held by user mode not counted.
TEST_F(FrameRequests, StartingTwiceFailsAndRestoresTheFreeCount)
{
    OpenStream(3);
    ASSERT_EQ(stream->Start(), STATUS_SUCCESS);
    stream->Block().FreeFrameCount = 0;
    EXPECT_EQ(stream->Start(), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(stream->Block().FreeFrameCount, 3u);

    StageFrame(portId, 1);
    gvsp::Frame held;
    ASSERT_EQ(stream->GetFrame(&held), STATUS_SUCCESS);
    ASSERT_EQ(stream->Stop(), STATUS_SUCCESS);
    stream->Block().FreeFrameCount = 0;
    ASSERT_EQ(stream->Start(), STATUS_SUCCESS);
    EXPECT_EQ(stream->Block().FreeFrameCount, 2u);
}

TEST_F(FrameRequests, FlushFreesCompletedAndAssemblingFrames)
{
    OpenStream(3);
    StageFrame(portId, 1);
    StreamPort* port = PortOf(portId);
    ASSERT_TRUE(ExAcquireRundownProtection(&port->CacheRundown));
    ASSERT_NE(OpenSlot(port), nullptr);
    ExReleaseRundownProtection(&port->CacheRundown);
    EXPECT_EQ(stream->Block().AssemblingFrameCount, 1u);
    EXPECT_EQ(stream->Flush(), STATUS_SUCCESS);
    EXPECT_EQ(stream->Block().FreeFrameCount, 3u);
    EXPECT_EQ(stream->Block().CompletedFrameCount, 0u);
    EXPECT_EQ(stream->Block().AssemblingFrameCount, 0u);
}

class PortTeardown : public StreamTest {};

// What a detach does to running streams is followed end to end; here, the ports and the handles.
TEST_F(PortTeardown, DetachUnbindsHandlesAndFreesPorts)
{
    OpenStream(2);
    gvsp::Stream other(*process);
    ASSERT_EQ(other.Bind(CAMERA_ADAPTER, STREAM_PORT + 1), STATUS_SUCCESS);
    host::RemoveAdapter(*adapter);
    EXPECT_EQ(host::PoolUsageOfTag(POOL_TAG).blocks, 0u);

    // The handle is unbound: stream requests fail, a new bind is allowed.
    EXPECT_EQ(other.Start(), STATUS_UNSUCCESSFUL);
    adapter = &m.AddAdapter(MacOf(0xC0));
    EXPECT_EQ(other.Bind(MacOf(0xC0), STREAM_PORT), STATUS_SUCCESS);
}

TEST_F(PortTeardown, DetachWaitsForAReferenceHeldByARunningRequest)
{
    OpenStream(2);
    StreamPort* port = PortOf(portId);
    InterlockedIncrement(&port->ReferenceCount);   // a request in progress on another thread

    std::atomic<bool> released{false};
    std::thread request([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        released = true;
        ReleaseStreamPortReference(port);
    });
    host::RemoveAdapter(*adapter);
    EXPECT_TRUE(released.load());
    request.join();
    EXPECT_EQ(host::PoolUsageOfTag(POOL_TAG).blocks, 0u);
}

TEST_F(PortTeardown, CleanupAndDetachFreeAPortExactlyOnce)
{
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        host::Adapter& a = m.AddAdapter(MacOf(uint8_t(round)));
        gvsp::Stream s(*process);
        ASSERT_EQ(s.Bind(MacOf(uint8_t(round)), 7000), STATUS_SUCCESS);
        std::thread closer([&] { s.Close(); });
        host::RemoveAdapter(a);
        closer.join();
        EXPECT_EQ(host::PoolUsageOfTag(POOL_TAG).blocks, 1u);   // the camera adapter's record only
    }
}

}  // namespace
