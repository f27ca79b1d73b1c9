// `gvspfilter demo`: the camera emulator streams a test picture to the driver on a simulated
// adapter, in virtual time, losing packets at random; every complete frame is checked byte for
// byte against the picture the camera sent. Host only.
#include <CLI/CLI.hpp>
#include <cstring>
#include <memory>
#include <vector>

#include "camera/camera.h"
#include "tools/capture.h"
#include "tools/commands.h"
#include "tools/driver_session.h"
#include "tools/report.h"

namespace gvspfilter {

namespace {

constexpr uint32_t IP_UDP_BYTES = 28;             // what a packet size counts beyond GVSP
constexpr int64_t FRAME_PERIOD_US = 33'333;       // a 30 frames/s camera
constexpr uint64_t PAYLOAD_MAX = uint64_t(256) << 20;
constexpr uint64_t CACHE_MAX = uint64_t(3) << 30; // the stream process's room for frame buffers

struct DemoOptions {
    uint64_t frames = 300;
    uint32_t width = 1920;
    uint32_t height = 1080;
    std::string pixelFormat = "mono8";
    uint32_t packetSize = 1500;
    double loss = 1;
    std::string policy = "queue";
    std::string resend = "on";
    uint64_t seed = 1;
    std::string capture;
    OutputOptions output;
};

int RunDemo(const DemoOptions& o)
{
    const uint32_t pixelFormat = ParsePixelFormat(o.pixelFormat);
    const HandOverPolicy policy = ParsePolicy(o.policy);
    if (o.resend != "on" && o.resend != "off") {
        throw UsageError("--resend takes on or off, not '" + o.resend + "'");
    }
    const bool resend = o.resend == "on";
    const uint64_t payload = uint64_t(o.width) * o.height * camera::BytesPerPixel(pixelFormat);
    if (o.width == 0 || o.height == 0 || payload > PAYLOAD_MAX) {
        throw UsageError("a " + std::to_string(o.width) + "x" + std::to_string(o.height) + " " + o.pixelFormat +
                         " frame is out of range (1 to 256 MiB of payload)");
    }
    if (o.packetSize < 576 || o.packetSize > 16000) {
        throw UsageError("--packet-size " + std::to_string(o.packetSize) + " is out of range (576 to 16000 bytes)");
    }
    if (!(o.loss >= 0 && o.loss <= 50)) {
        throw UsageError("--loss takes a percentage from 0 to 50");
    }
    if (o.frames == 0 || o.frames > 10'000'000) {
        throw UsageError("--frames takes 1 to 10000000");
    }

    SessionSettings settings;
    settings.adapterMtu = std::max<uint32_t>(1500, o.packetSize);
    settings.port = 50000;
    settings.frameSize = static_cast<uint32_t>(payload);
    settings.packetSize = o.packetSize - IP_UDP_BYTES;
    settings.buffers = static_cast<uint32_t>(std::clamp<uint64_t>(CACHE_MAX / (FRAME_BUFFER_MIN_SIZE + payload), 2, 8));
    settings.policy = policy;
    settings.resend = resend;

    nlohmann::json described = {{"frames", o.frames}, {"width", o.width}, {"height", o.height},
        {"pixel_format", o.pixelFormat}, {"packet_size", o.packetSize}, {"loss_percent", o.loss},
        {"policy", PolicyName(policy)}, {"resend", resend}, {"seed", o.seed}, {"port", settings.port},
        {"buffers", settings.buffers}, {"capture", o.capture}};
    Reporter reporter("demo", o.output, described);
    std::unique_ptr<CaptureWriter> capture;
    if (!o.capture.empty()) {
        capture = std::make_unique<CaptureWriter>(o.capture);
    }
    DriverSession session(settings);
    // The wire as a capture shows it: the camera's packets and the driver's requests, stamped
    // with the machine's clock.
    auto wireTime = [&session] { return static_cast<int64_t>(session.ClockSeconds() * 1e9); };
    size_t sendsRecorded = 0;
    auto recordSends = [&] {
        if (capture) {
            for (const host::SendRecord& send : session.Adapter().SentToMiniportSince(sendsRecorded)) {
                for (const std::vector<uint8_t>& frame : send.frames) {
                    capture->Write(wireTime(), frame);
                }
                ++sendsRecorded;
            }
        }
    };

    camera::CameraConfig config;
    config.hostPort = settings.port;
    config.payloadSize = settings.frameSize;
    config.packetSize = settings.packetSize;
    config.pixelFormat = pixelFormat;
    config.sizeX = o.width;
    config.sizeY = o.height;
    config.content = camera::Content::TestPattern;
    config.random.seed = o.seed;
    config.random.drop = o.loss / 100;
    config.keptBlocks = 8;
    if (capture) {
        config.wireTap = [&](const std::vector<uint8_t>& frame) { capture->Write(wireTime(), frame); };
    }
    auto cam = std::make_unique<camera::Camera>(session.Adapter(), config);

    // Every complete frame must hold the camera's picture exactly.
    uint64_t corrupt = 0;
    std::vector<uint8_t> expected(payload);
    FrameSink save = reporter.Sink();
    FrameSink check = [&](const gvsp::Frame& frame) {
        if (frame.Status() == FRAME_STATUS_COMPLETE) {
            camera::FillTestPattern(pixelFormat, o.width, o.height, frame.BlockId(), 0, expected);
            std::span<const uint8_t> got = frame.Payload();
            if (got.size() != expected.size() || std::memcmp(got.data(), expected.data(), got.size()) != 0) {
                ++corrupt;
            }
        }
        save(frame);
    };

    for (uint64_t n = 0; n < o.frames; ++n) {
        cam->SendBlock();
        cam->ClearPacketLog();
        recordSends();
        cam->Pump();
        session.Advance(FRAME_PERIOD_US);
        recordSends();
        cam->Pump();
        session.Collect(check);
        cam->ReleaseReturned();
        reporter.Tick(session);
    }
    // Let the worker's time-outs settle the last frames.
    for (int i = 0; i < 10 && session.Block().AssemblingFrameCount != 0; ++i) {
        session.Advance(FRAME_PERIOD_US);
        recordSends();
        cam->Pump();
        session.Collect(check);
    }
    recordSends();
    if (capture) {
        capture->Close();
    }
    cam->ReleaseReturned();
    const camera::CameraCounters sent = cam->Counters();
    cam.reset();

    reporter.Add("camera", {{"blocks_sent", sent.blocksSent}, {"packets_sent", sent.packetsSent},
                               {"packets_dropped", sent.dropped}, {"resend_requests_heard", sent.resendRequests},
                               {"packets_resent", sent.packetsResent}});
    reporter.LostBeforeDriver(sent.dropped, "packet lost on the wire as --loss asked", false);
    reporter.Add("frames_corrupt", corrupt);
    if (corrupt != 0) {
        reporter.Problem(std::to_string(corrupt) + " complete frames did not hold the camera's picture");
    }
    return FinishReport(reporter, session, o.frames);
}

}  // namespace

CommandRoutine AddDemoCommand(CLI::App& app, CommandList& commands)
{
    auto options = std::make_shared<DemoOptions>();
    CLI::App* demo = app.add_subcommand("demo", "Stream from the built-in camera emulator through the driver (the default)");
    demo->add_option("--frames", options->frames, "Frames to stream")->capture_default_str();
    demo->add_option("--width", options->width, "Image width in pixels")->capture_default_str();
    demo->add_option("--height", options->height, "Image height in pixels")->capture_default_str();
    demo->add_option("--pixel-format", options->pixelFormat, "mono8, mono16 or rgb8")->capture_default_str();
    demo->add_option("--packet-size", options->packetSize, "Stream packet size in bytes, IP and UDP headers included (jumbo allowed)")
        ->capture_default_str();
    demo->add_option("--loss", options->loss, "Packets lost at random, in percent")->capture_default_str();
    demo->add_option("--policy", options->policy, "Hand-over policy: queue, newest, waiting or newest-waiting")
        ->capture_default_str();
    demo->add_option("--resend", options->resend, "Ask the camera again for lost packets: on or off")->capture_default_str();
    demo->add_option("--seed", options->seed, "Seed of the random loss")->capture_default_str();
    demo->add_option("--capture", options->capture, "Write the wire as a pcap: the camera's packets and the driver's requests");
    AddOutputOptions(*demo, options->output);
    CommandRoutine run = [options] { return RunDemo(*options); };
    commands.emplace_back(demo, run);
    return run;
}

}  // namespace gvspfilter
