// A camera emulator streaming through the loaded driver into a client's stream, on the virtual
// clock: the fixture of the tests that follow frames from the camera's wire to user memory and
// the driver's resend requests back to the camera.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <span>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "camera/camera.h"
#include "client/gvsp_client.h"
#include "tests/support/gvsp_machine.h"

namespace gvsptest {

// The virtual clock starts one second into the machine's life: to the driver a packet time of 0
// means "no packet yet".
inline constexpr int64_t CLOCK_START = host::PERFORMANCE_FREQUENCY;

// "" when `frame` holds block `blockId` complete, with `payloadSize` payload bytes that are the
// camera's own and the leader and trailer the camera sent; otherwise what is wrong.
inline std::string FrameProblem(const gvsp::Frame& frame, uint64_t blockId, uint32_t payloadSize,
    const camera::Camera& cam, uint16_t status = FRAME_STATUS_COMPLETE)
{
    char text[200];
    if (!frame.Valid()) {
        return "no frame";
    }
    if (frame.BlockId() != blockId || frame.Status() != status) {
        std::snprintf(text, sizeof text, "block %llu with status %u, expected block %llu with status %u",
            static_cast<unsigned long long>(frame.BlockId()), frame.Status(), static_cast<unsigned long long>(blockId),
            status);
        return text;
    }
    if (frame.Payload().size() != payloadSize) {
        std::snprintf(text, sizeof text, "block %llu: %zu payload bytes, expected %u",
            static_cast<unsigned long long>(blockId), frame.Payload().size(), payloadSize);
        return text;
    }
    if (auto at = camera::FindPayloadMismatch(blockId, frame.Payload())) {
        std::snprintf(text, sizeof text, "block %llu: payload byte %zu is not the camera's",
            static_cast<unsigned long long>(blockId), *at);
        return text;
    }
    std::vector<std::vector<uint8_t>> sent = cam.BlockFrames(blockId);
    if (sent.empty()) {
        return "the camera no longer keeps block " + std::to_string(blockId);
    }
    // The packet as sent, but for its status: a resent leader or trailer says so in its status.
    auto asSent = [&](std::span<const uint8_t> kept, const std::vector<uint8_t>& f) {
        // The GVSP bytes by the IPv4 total length: a short frame carries filler after them.
        std::span<const uint8_t> gvsp(f.data() + FRAME_HEADERS_SIZE, ReadBigEndian16(&f[16]) - 28u);
        if (kept.size() != gvsp.size() || !std::equal(kept.begin() + 2, kept.end(), gvsp.begin() + 2)) {
            return false;
        }
        uint16_t packetStatus = ReadBigEndian16(kept.data());
        return packetStatus == GVSP_STATUS_SUCCESS || packetStatus == GVSP_STATUS_RESEND;
    };
    if (!asSent(frame.Leader(), sent.front())) {
        return "block " + std::to_string(blockId) + ": the leader is not the one sent";
    }
    if (!asSent(frame.Trailer(), sent.back())) {
        return "block " + std::to_string(blockId) + ": the trailer is not the one sent";
    }
    return "";
}

class CameraStreamTest : public ::testing::Test {
protected:
    static constexpr Mac HOST_ADAPTER = MacOf(0xB0);

    void SetUp() override
    {
        host::AdapterConfig config;
        config.mac = HOST_ADAPTER;
        config.mtu = 9000;   // jumbo frames
        config.friendlyName = u"Camera port b0";
        config.deviceName = u"\\DEVICE\\{5A0C6E31-0B1D-4B7C-9A55-0000000000B0}";
        adapter = &host::AddAdapter(config);
        uint64_t delays = host::SystemThreadSleeps();
        ASSERT_EQ(m.Load(), STATUS_SUCCESS);
        // From its first sleep on, the worker runs a pass only when the test moves the clock.
        host::WaitForSystemThreadSleeps(delays + 1);
        process = &m.NewProcess();
    }
    void TearDown() override
    {
        // Closing a stream cancels its requests, which write into the pending records: those go last.
        streams.clear();
        pending.clear();
        cameras.clear();
    }

    camera::Camera& NewCamera(camera::CameraConfig config)
    {
        config.logPackets = false;
        cameras.push_back(std::make_unique<camera::Camera>(*adapter, config));
        return *cameras.back();
    }

    // What a library asks of the driver for this camera's stream: resends on, no time-out retries.
    static gvsp::StreamConfig ConfigFor(const camera::Camera& cam)
    {
        gvsp::StreamConfig config;
        config.frameSize = cam.Config().payloadSize;
        config.packetSize = cam.Config().packetSize;
        config.streamChannelIndex = cam.Config().streamChannel;
        config.resendEnabled = true;
        config.resendSourcePort = 50001;
        return config;
    }

    // A buffer with room for `payloadBytes` payload bytes.
    static uint32_t BufferFor(uint32_t payloadBytes) { return FRAME_BUFFER_MIN_SIZE + payloadBytes; }

    // Binds the camera's destination port, maps `frames` buffers of `bufferSize` bytes, configures
    // the stream, makes it Active and starts it.
    gvsp::Stream& OpenStream(const camera::Camera& cam, const gvsp::StreamConfig& config, uint32_t frames,
        uint32_t bufferSize, uint32_t* portId = nullptr)
    {
        streams.push_back(std::make_unique<gvsp::Stream>(*process));
        gvsp::Stream& s = *streams.back();
        EXPECT_EQ(s.Bind(HOST_ADAPTER, cam.Config().hostPort, portId), STATUS_SUCCESS);
        EXPECT_TRUE(s.AllocateCache(frames, bufferSize));
        s.Configure(config);
        EXPECT_EQ(s.SetupCache(), STATUS_SUCCESS);
        s.SetActive(true);
        EXPECT_EQ(s.Start(), STATUS_SUCCESS);
        return s;
    }

    // The frame a request gets at once; a failure when the request would have to wait.
    static gvsp::Frame TakeFrame(gvsp::Stream& s)
    {
        auto request = s.RequestFrame();
        gvsp::Frame frame;
        if (!request->Done()) {
            ADD_FAILURE() << "no frame was ready to hand over";
            request->Cancel();
            request->Wait(nullptr);
            return frame;
        }
        EXPECT_EQ(request->Wait(&frame), STATUS_SUCCESS);
        return frame;
    }

    // Moves the virtual clock on by `milliseconds` in one step: the worker runs one pass at the
    // new time.
    static void Advance(int64_t milliseconds) { host::AdvanceClock(milliseconds * 1000); }
    // Moves it on 1 ms at a time: the worker runs every pass of that time.
    static void AdvanceByPasses(int64_t milliseconds)
    {
        for (int64_t i = 0; i < milliseconds; ++i) {
            host::AdvanceClock(1000);
        }
    }

    // The resend requests the camera has heard, from index `since` on, for `blockId` only.
    static size_t RequestsFor(const camera::Camera& cam, uint64_t blockId, size_t since = 0)
    {
        size_t n = 0;
        const auto& requests = cam.ResendRequests();
        for (size_t i = since; i < requests.size(); ++i) {
            n += requests[i].blockId == blockId ? 1 : 0;
        }
        return n;
    }

    // The FrameHeader in `s`'s buffers that carries `blockId` (as the library finds a frame it has
    // not been handed yet), or null.
    static const FrameHeader* HeaderOfBlock(const gvsp::Stream& s, uint64_t blockId)
    {
        const FrameHeader* found = nullptr;
        for (uint32_t i = 0; i < s.Block().FrameCount; ++i) {
            auto* h = reinterpret_cast<const FrameHeader*>(s.BufferAddress(i) + FRAME_PRIVATE_SIZE);
            if (h->BlockId == blockId) {
                found = h;
            }
        }
        return found;
    }

    // Every frame the stream closed so far, however it closed, plus those still assembling.
    static uint64_t FramesAccountedFor(const StreamControlBlock& b)
    {
        return uint64_t{b.AssembledFrames} + b.IncompleteFrames + b.ErrorStatusFrames + b.GapLimitFrames +
               b.MissingLimitFrames + b.AssemblingFrameCount;
    }

    GvspMachine m{host::MachineOptions{.virtualClock = true, .clockStart = CLOCK_START}};
    host::Adapter* adapter = nullptr;
    host::UserProcess* process = nullptr;
    std::vector<std::unique_ptr<camera::Camera>> cameras;
    std::vector<std::unique_ptr<gvsp::Stream>> streams;
    std::deque<std::unique_ptr<gvsp::PendingFrame>> pending;
};

}  // namespace gvsptest
