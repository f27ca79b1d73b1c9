// The worker thread as the camera sees it on the virtual clock: a quiet frame asked for again one
// time-out after its last packet and one time-out after each retry, up to the retry limit; only
// the oldest assembling frame of a port; nothing for a port without time-outs or not active; a
// pass without a work item ends early and the next pass resumes; a stream closed while its frame
// is being retried leaves nothing behind; with nothing assembling the worker does not wake.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ostream>
#include <thread>
#include <string>

#include "host/memory/memory.h"
#include "host/verifier/faults.h"
#include "tests/support/camera_stream.h"
#include "tests/support/stream_fixture.h"

using namespace gvsptest;

namespace {

constexpr uint32_t PAYLOAD = 8 * 1456;   // eight full packets of 1464 GVSP bytes
constexpr uint64_t CLOCK_START_US = CLOCK_START / (host::PERFORMANCE_FREQUENCY / 1'000'000);

class Worker : public CameraStreamTest {
protected:
    // A camera whose blocks all lose their trailer and which ignores every resend request: its
    // frames stay quiet for as long as the test wants.
    camera::Camera& QuietCamera(uint8_t which = 0)
    {
        camera::CameraConfig config;
        config.cameraMac[5] = static_cast<uint8_t>(0x10 + which);
        config.cameraIp += which;
        config.firstBlockId = 1 + 100 * which;
        config.hostPort = static_cast<uint16_t>(config.hostPort + 2 * which);
        config.payloadSize = PAYLOAD;
        config.packetSize = 1464;
        camera::Camera& cam = NewCamera(config);
        cam.DropPacket(std::nullopt, cam.TrailerPacketId());
        cam.IgnoreResendRequests(true);
        return cam;
    }

    gvsp::Stream& Open(const camera::Camera& cam, uint32_t timeoutMs, uint16_t retryLimit = 0,
        uint32_t* portId = nullptr)
    {
        gvsp::StreamConfig config = ConfigFor(cam);
        config.resendTimeoutMs = timeoutMs;
        config.resendRetryLimit = retryLimit;
        return OpenStream(cam, config, 4, BufferFor(PAYLOAD), portId);
    }

    // The time-out retries `cam` heard for `blockId`: each asks for the lost trailer and whatever
    // follows it (the receive path never asks for that while the block is the newest).
    static size_t Retries(const camera::Camera& cam, uint64_t blockId)
    {
        size_t n = 0;
        for (const camera::ResendRequest& r : cam.ResendRequests()) {
            n += r.addressedToCamera && r.blockId == blockId && r.firstPacketId == cam.TrailerPacketId() &&
                         r.lastPacketId == RESEND_TO_END_OF_BLOCK
                     ? 1
                     : 0;
        }
        return n;
    }
    // Moves the clock on `milliseconds`, pass by pass, and lets the camera read the wire.
    static size_t RetriesAfter(camera::Camera& cam, uint64_t blockId, int64_t milliseconds)
    {
        AdvanceByPasses(milliseconds);
        cam.Pump();
        return Retries(cam, blockId);
    }
};

struct SwitchedOff {
    const char* name;
    uint32_t timeoutMs;
    bool active;
};
void PrintTo(const SwitchedOff& c, std::ostream* os) { *os << c.name; }

class WorkerSwitchedOff : public Worker, public ::testing::WithParamInterface<SwitchedOff> {};

TEST_P(WorkerSwitchedOff, AQuietFrameIsNeverRetriedUntilTimeOutsAreOn)
{
    camera::Camera& cam = QuietCamera();
    gvsp::Stream& s = Open(cam, GetParam().timeoutMs);
    uint64_t block = cam.SendBlock();
    s.SetActive(GetParam().active);
    for (int i = 0; i < 40; ++i) {
        Advance(50);
    }
    cam.Pump();
    EXPECT_TRUE(cam.ResendRequests().empty());

    // The same frame, once the port is active with a time-out, is due at the next pass.
    s.Block().ResendTimeout = 50;
    s.SetActive(true);
    EXPECT_EQ(RetriesAfter(cam, block, 1), 1u);
}

TEST_F(Worker, WithNothingAssemblingItSleepsUntilAFrameOpens)
{
    camera::Camera& cam = QuietCamera();
    Open(cam, 50);
    Advance(1);   // the pass that finds the port active with nothing assembling
    uint64_t sleeps = host::SystemThreadSleeps();
    AdvanceByPasses(100);
    EXPECT_EQ(host::SystemThreadSleeps(), sleeps) << "the worker woke with nothing to do";
    uint64_t block = cam.SendBlock();
    EXPECT_EQ(RetriesAfter(cam, block, 49), 0u);
    EXPECT_EQ(RetriesAfter(cam, block, 1), 1u);
}

INSTANTIATE_TEST_SUITE_P(Worker, WorkerSwitchedOff,
    ::testing::Values(SwitchedOff{"NoTimeOut", 0, true}, SwitchedOff{"NotActive", 50, false}),
    [](const ::testing::TestParamInfo<SwitchedOff>& param) { return std::string(param.param.name); });

TEST_F(Worker, RetriesComeOneTimeOutAfterTheLastPacketOrTheLastRetry)
{
    camera::Camera& cam = QuietCamera();
    cam.DelayPacket(std::nullopt, 3, camera::UNTIL_RELEASED);
    gvsp::Stream& s = Open(cam, 50);
    uint64_t block = cam.SendBlock();   // at t
    cam.Pump();
    const FrameHeader* header = HeaderOfBlock(s, block);
    ASSERT_NE(header, nullptr);

    EXPECT_EQ(RetriesAfter(cam, block, 49), 0u);
    EXPECT_EQ(RetriesAfter(cam, block, 1), 1u) << "at t + 50 ms";
    EXPECT_EQ(header->LastPacketTime, CLOCK_START_US + 50'000) << "the retry restarts the time-out";
    EXPECT_EQ(RetriesAfter(cam, block, 49), 1u);
    EXPECT_EQ(RetriesAfter(cam, block, 1), 2u) << "at t + 100 ms";

    // A packet at t + 130 ms restarts the time-out as well: no retry at t + 150 ms.
    EXPECT_EQ(RetriesAfter(cam, block, 30), 2u);
    ASSERT_EQ(cam.ReleaseDelayed(), 1u);
    EXPECT_EQ(RetriesAfter(cam, block, 49), 2u);
    EXPECT_EQ(RetriesAfter(cam, block, 1), 3u) << "at t + 180 ms";
    EXPECT_EQ(header->ResendRetries, 0u) << "without a limit nothing is counted";
}

TEST_F(Worker, ARetryLimitOfTwoSendsTwoRetriesAndCountsEveryDuePass)
{
    camera::Camera& cam = QuietCamera();
    gvsp::Stream& s = Open(cam, 50, 2);
    uint64_t block = cam.SendBlock();
    const FrameHeader* header = HeaderOfBlock(s, block);
    ASSERT_NE(header, nullptr);

    for (int pass = 1; pass <= 10; ++pass) {   // one pass every 50 ms: each finds the frame due
        Advance(50);
    }
    cam.Pump();
    EXPECT_EQ(Retries(cam, block), 2u);
    EXPECT_EQ(header->ResendRetries, 10u);

    // Past the limit the frame is due at every pass, and every pass counts.
    EXPECT_EQ(RetriesAfter(cam, block, 5), 2u);
    EXPECT_EQ(header->ResendRetries, 15u);
    EXPECT_EQ(s.Block().AssemblingFrameCount, 1u) << "the worker never gives a frame up";
}

TEST_F(Worker, OnlyTheOldestAssemblingFrameIsRetried)
{
    camera::Camera& cam = QuietCamera();
    gvsp::Stream& s = Open(cam, 50);
    uint64_t older = cam.SendBlock();
    uint64_t newer = cam.SendBlock();   // its start asks once for the older frame's tail
    cam.Pump();
    ASSERT_EQ(s.Block().AssemblingFrameCount, 2u);
    EXPECT_EQ(Retries(cam, older), 1u);

    EXPECT_EQ(RetriesAfter(cam, older, 200), 1u + 4);
    EXPECT_EQ(Retries(cam, newer), 0u);

    // The next retry is answered: the older frame completes, and the newer one, quiet all along,
    // is retried at the very next pass.
    cam.IgnoreResendRequests(false);
    EXPECT_EQ(RetriesAfter(cam, older, 50), 1u + 5);
    EXPECT_EQ(s.Block().AssemblingFrameCount, 1u);
    EXPECT_EQ(RetriesAfter(cam, newer, 1), 1u);
    EXPECT_EQ(FrameProblem(TakeFrame(s), older, PAYLOAD, cam), "");
    EXPECT_EQ(FrameProblem(TakeFrame(s), newer, PAYLOAD, cam), "");
}

TEST_F(Worker, APassWithoutAWorkItemEndsItsScanAndTheNextPassResumes)
{
    camera::Camera& first = QuietCamera(0);
    camera::Camera& second = QuietCamera(1);
    uint32_t firstPort = 0;
    uint32_t secondPort = 0;
    gvsp::Stream& a = Open(first, 50, 10, &firstPort);
    gvsp::Stream& b = Open(second, 50, 10, &secondPort);
    uint64_t blockA = first.SendBlock();
    uint64_t blockB = second.SendBlock();
    AdvanceByPasses(49);
    // Ports are visited from the highest slot down; the first one visited finds no work item.
    bool secondFirst = (secondPort & 0xFFFF) > (firstPort & 0xFFFF);
    const FrameHeader* visitedFirst = HeaderOfBlock(secondFirst ? b : a, secondFirst ? blockB : blockA);
    const FrameHeader* visitedLater = HeaderOfBlock(secondFirst ? a : b, secondFirst ? blockA : blockB);
    ASSERT_NE(visitedFirst, nullptr);
    ASSERT_NE(visitedLater, nullptr);

    host::FailCall(host::Fault::PoolAllocation, 1);   // the work-item list is empty: it refills from pool
    EXPECT_EQ(RetriesAfter(first, blockA, 1) + RetriesAfter(second, blockB, 0), 0u);
    EXPECT_EQ(visitedFirst->ResendRetries, 1u) << "the due pass counts without a work item";
    EXPECT_EQ(visitedLater->ResendRetries, 0u) << "the scan ended before this port";

    EXPECT_EQ(RetriesAfter(first, blockA, 1), 1u);
    EXPECT_EQ(RetriesAfter(second, blockB, 0), 1u);
    EXPECT_EQ(visitedFirst->ResendRetries, 2u);
    EXPECT_EQ(visitedLater->ResendRetries, 1u);
}

TEST_F(Worker, AStreamClosedWhileItsRetryIsSentEndsWhenTheRetryDropsItsPort)
{
    camera::Camera& cam = QuietCamera();
    uint32_t portId = 0;
    gvsp::Stream& s = Open(cam, 50, 0, &portId);
    auto request = s.RequestFrame();
    uint64_t block = cam.SendBlock();
    cam.Pump();
    m.ClearEvents();

    // While the worker's retry is on its way to the miniport, the library closes the stream. The
    // close unhooks the port at once but must wait for the reference the retry holds.
    std::thread closer;
    std::atomic<bool> closed{false};
    bool closeWaitedForTheRetry = false;
    adapter->SetSendObserver([&] {
        if (closer.joinable()) {
            return;
        }
        closer = std::thread([&] {
            s.Close();
            closed = true;
        });
        while (PortOf(portId) != nullptr) {
            std::this_thread::yield();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        closeWaitedForTheRetry = !closed;
    });
    Advance(50);
    adapter->SetSendObserver(nullptr);
    closer.join();

    EXPECT_TRUE(closeWaitedForTheRetry);
    EXPECT_EQ(request->Wait(nullptr), STATUS_CANCELLED);
    cam.Pump();
    EXPECT_EQ(Retries(cam, block), 1u) << "the retry went out on its snapshot";
    // The retry's reference was the last: the worker released the frame cache.
    EXPECT_EQ(m.EventsOf(MSG_CONTEXT_CLEANUP).size(), 1u);
    EXPECT_EQ(host::LockedMdls(), 0u);
    EXPECT_EQ(RetriesAfter(cam, block, 100), 1u) << "nothing more for a stream that is gone";
}

}  // namespace
