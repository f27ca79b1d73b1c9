// Streams torn down while they run: frames assembling, frame requests waiting, a frame held by
// the library and the worker retrying a quiet frame, when the adapter goes away, or when the
// library exits and the driver unloads at once. Every request ends, nothing stays locked or
// allocated, and the machine's final checks find nothing.
#include <gtest/gtest.h>

#include "host/memory/memory.h"
#include "tests/support/camera_stream.h"

using namespace gvsptest;

namespace {

constexpr uint32_t PAYLOAD = 64 * 1456;

class RunningStreams : public CameraStreamTest {
protected:
    // Two cameras streaming to two ports: the first delivers whole frames, the second's frames
    // lose their trailer and it ignores resend requests, so the worker keeps retrying them.
    void StartStreaming()
    {
        for (uint8_t which = 0; which < 2; ++which) {
            camera::CameraConfig config;
            config.payloadSize = PAYLOAD;
            config.packetSize = 1464;
            config.cameraMac[5] = static_cast<uint8_t>(0x10 + which);
            config.cameraIp += which;
            config.hostPort = static_cast<uint16_t>(config.hostPort + which);
            config.random.seed = 11 + which;
            config.random.drop = 0.02;
            camera::Camera& cam = NewCamera(config);
            gvsp::StreamConfig streamConfig = ConfigFor(cam);
            streamConfig.resendTimeoutMs = 5;
            OpenStream(cam, streamConfig, 4, BufferFor(PAYLOAD));
        }
        camera::Camera& whole = *cameras[0];
        camera::Camera& quiet = *cameras[1];
        quiet.DropPacket(std::nullopt, quiet.TrailerPacketId());
        quiet.IgnoreResendRequests(true);

        // The library holds one frame of the first stream and waits for more on both.
        whole.SendBlocks(2);
        whole.Pump();
        held = TakeFrame(*streams[0]);
        ASSERT_TRUE(held.Valid());
        for (auto& s : streams) {
            pending.push_back(s->RequestFrame());
            pending.push_back(s->RequestFrame());
        }
        quiet.SendBlock();
        for (int i = 0; i < 3; ++i) {
            Advance(5);
            quiet.Pump();
        }
        retriesBefore = RequestsHeard(quiet);
        ASSERT_GE(retriesBefore, 3u) << "the worker is retrying the quiet frame";
        whole.SendBlock();   // assembling, waiting for its lost packets
        for (const auto& p : pending) {
            EXPECT_EQ(p->Status(), STATUS_PENDING);
        }
    }

    static size_t RequestsHeard(const camera::Camera& cam)
    {
        size_t n = 0;
        for (const camera::ResendRequest& r : cam.ResendRequests()) {
            n += r.addressedToCamera ? 1 : 0;
        }
        return n;
    }

    void ExpectEverythingEnded()
    {
        for (const auto& p : pending) {
            EXPECT_EQ(p->Wait(nullptr), STATUS_CANCELLED);
        }
        EXPECT_EQ(host::LockedMdls(), 0u);
    }

    gvsp::Frame held;
    size_t retriesBefore = 0;
};

TEST_F(RunningStreams, RemovingTheAdapterEndsEveryStream)
{
    StartStreaming();
    cameras.clear();   // the cameras go with their adapter
    host::RemoveAdapter(*adapter);
    ExpectEverythingEnded();
    for (auto& s : streams) {
        EXPECT_EQ(s->Block().Active, 0);
        gvsp::Frame frame;
        EXPECT_EQ(s->GetFrame(&frame), STATUS_UNSUCCESSFUL);
    }
}

// The library's handles go first, as when its process exits (the system unloads a driver only
// once no handle to its device is open); the driver unloads right after, stopping a worker that
// was retrying a moment before.
TEST_F(RunningStreams, ExitingMidStreamThenUnloadingEndsEverything)
{
    StartStreaming();
    camera::Camera& quiet = *cameras[1];
    for (auto& s : streams) {
        s->Close();
    }
    ExpectEverythingEnded();
    m.Unload();
    EXPECT_EQ(host::RunningSystemThreads(), 0);
    EXPECT_EQ(host::PoolUsageOfTag(POOL_TAG).blocks, 0u);
    quiet.Pump();
    EXPECT_EQ(RequestsHeard(quiet), retriesBefore) ;
}

}  // namespace
