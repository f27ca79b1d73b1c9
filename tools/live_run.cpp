// The live command's part that the host and Windows share.
#include "tools/live_run.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <chrono>

#include "tools/stop_signal.h"

namespace gvspfilter {

namespace {

constexpr uint64_t CACHE_MAX = uint64_t(3) << 30;   // the stream process's room for frame buffers
constexpr uint32_t LIVE_RESEND_TIMEOUT_MS = 40;
constexpr uint16_t LIVE_RESEND_RETRIES = 8;

}  // namespace

void AddLiveOptions(CLI::App& live, LiveOptions& options)
{
    live.add_option("--port", options.port, "UDP port of the stream (with --camera: default a free one)");
    live.add_option("--frames", options.frames, "Stop after this many frames (0: no limit)")->capture_default_str();
    live.add_option("--seconds", options.seconds, "Stop after this long (0: no limit)")->capture_default_str();
    live.add_option("--packet-size", options.packetSize,
        "Stream packet size in bytes, IP and UDP headers included (with --camera: default the interface's MTU)");
    live.add_option("--frame-size", options.frameSize, "Payload bytes of the largest frame (with --camera: from the camera)");
    AddOutputOptions(live, options.output);
}

void CheckLiveOptions(const LiveOptions& o)
{
    if (!(o.seconds >= 0)) {
        throw UsageError("--seconds takes a duration of 0 (no limit) or more");
    }
    if (o.packetSize != 0 && (o.packetSize < PACKET_SIZE_MIN || o.packetSize > PACKET_SIZE_MAX)) {
        throw UsageError("--packet-size " + std::to_string(o.packetSize) + " is out of range (576 to 16000 bytes)");
    }
    if (o.frameSize > PAYLOAD_MAX) {
        throw UsageError("--frame-size " + std::to_string(o.frameSize) + " is out of range (1 to 256 MiB)");
    }
}

nlohmann::json DescribeLive(const LiveOptions& o, const InterfaceInfo& iface, uint16_t port)
{
    return {{"interface", iface.name}, {"mac", MacText(iface.mac)}, {"port", port}, {"frames", o.frames},
        {"seconds", o.seconds}};
}

std::unique_ptr<CameraControl> ControlCamera(uint32_t cameraAddress, const LiveOptions& o,
    const InterfaceInfo& iface, StreamSettings& settings, nlohmann::json& described)
{
    auto camera = std::make_unique<CameraControl>(cameraAddress, iface.address);
    camera->ReadDescription();
    const CameraStream stream = camera->AimStream(iface, settings.port, o.packetSize, o.frameSize);
    settings.frameSize = static_cast<uint32_t>(stream.payloadBytes);
    settings.packetSize = stream.packetSize - IP_UDP_HEADER_BYTES;
    // Resend requests leave from the controlling socket, which the camera already knows.
    settings.resendSourcePort = camera->Gvcp().LocalPort();
    const auto name = camera->Features().pixelFormatNames.find(stream.pixelFormat);
    described["camera"] = o.cameraAddress;
    described["description"] = camera->XmlFileName();
    described["width"] = stream.width;
    described["height"] = stream.height;
    described["pixel_format"] = name != camera->Features().pixelFormatNames.end()
                                    ? name->second
                                    : GvcpController::Hex(static_cast<uint32_t>(stream.pixelFormat));
    return camera;
}

void SetLiveStream(StreamSettings& settings, nlohmann::json& described)
{
    settings.buffers = static_cast<uint32_t>(
        std::clamp<uint64_t>(CACHE_MAX / (FRAME_BUFFER_MIN_SIZE + uint64_t{settings.frameSize}), 2, 8));
    // A real network and a busy machine delay answers: more time and more retries before a
    // frame is given up than on the virtual clock.
    settings.resendTimeoutMs = LIVE_RESEND_TIMEOUT_MS;
    settings.resendRetryLimit = LIVE_RESEND_RETRIES;
    described["resend_timeout_ms"] = settings.resendTimeoutMs;
    described["resend_retries"] = settings.resendRetryLimit;
    described["packet_size"] = settings.packetSize + IP_UDP_HEADER_BYTES;
    described["frame_size"] = settings.frameSize;
    described["buffers"] = settings.buffers;
}

std::string CollectLive(StreamSession& stream, Reporter& reporter, const FrameSink& sink, const LiveOptions& o,
    CameraControl* camera, const std::function<std::string()>& poll)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.seconds));
    std::string stopped;
    while (stopped.empty()) {
        stream.WaitAndCollect(20, sink);
        const std::string failure = poll ? poll() : std::string();
        reporter.Tick(stream);
        if (o.frames != 0 && stream.Frames().size() >= o.frames) {
            stopped = "frames";
        } else if (o.seconds > 0 && Clock::now() >= end) {
            stopped = "seconds";
        } else if (StopRequested()) {
            stopped = "signal";
        } else if (camera != nullptr && camera->Lost()) {
            stopped = "camera lost";
        } else {
            stopped = failure;
        }
    }
    if (camera != nullptr && camera->Lost()) {
        reporter.Problem(camera->Gvcp().Name() + " stopped answering; the run ended early");
    }
    return stopped;
}

}  // namespace gvspfilter
