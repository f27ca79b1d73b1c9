// The live command's part that the host and Windows share.
#include "tools/live_run.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>

#include "tools/stop_signal.h"

namespace gvspfilter {

namespace {

constexpr uint64_t CACHE_MAX = uint64_t(3) << 30;   // the stream process's room for frame buffers
constexpr uint32_t LIVE_RESEND_TIMEOUT_MS = 40;
constexpr uint16_t LIVE_RESEND_RETRIES = 8;
// The longest the collecting thread sleeps without a frame: how soon it sees a stop request, a
// lost camera or what the caller's poll finds.
constexpr std::chrono::milliseconds LIVE_WAKE_PERIOD{100};

struct Assignment {
    std::string feature, value;
};

// The first of `names` the camera has; UsageError naming the option otherwise.
std::string FirstOf(const GenICam& camera, std::initializer_list<const char*> names, const char* option)
{
    std::string tried;
    for (const char* name : names) {
        if (camera.Has(name)) {
            return name;
        }
        tried += (tried.empty() ? "" : " nor ") + std::string(name);
    }
    throw UsageError(std::string(option) + ": the camera has neither " + tried);
}

// The features the options set, in the order they are applied: the --feature settings outside
// the groups below as given; PixelFormat; each axis's size and offset, the size first when it
// shrinks and the offset first otherwise, so that the frame stays on the sensor at every step;
// then frame rate, exposure and gain.
std::vector<Assignment> PlanSettings(const LiveOptions& o, const GenICam& camera)
{
    std::vector<Assignment> plan;
    std::map<std::string, std::string> geometry;
    for (const std::string& setting : o.features) {
        const size_t equals = setting.find('=');
        const std::string name = setting.substr(0, equals);
        const std::string value = setting.substr(equals + 1);
        if (name == "PixelFormat" || name == "Width" || name == "Height" || name == "OffsetX" || name == "OffsetY") {
            geometry[name] = value;
        } else {
            plan.push_back({name, value});
        }
    }
    for (const auto& [name, value] : {std::pair{"PixelFormat", &o.pixelFormat}, std::pair{"Width", &o.width},
             std::pair{"Height", &o.height}, std::pair{"OffsetX", &o.offsetX}, std::pair{"OffsetY", &o.offsetY}}) {
        if (!value->empty()) {
            geometry[name] = *value;
        }
    }
    if (geometry.count("PixelFormat") != 0) {
        plan.push_back({"PixelFormat", geometry["PixelFormat"]});
    }
    for (const auto& [size, offset] : {std::pair{"Width", "OffsetX"}, std::pair{"Height", "OffsetY"}}) {
        const auto newSize = geometry.find(size);
        const auto newOffset = geometry.find(offset);
        const bool shrinks = newSize != geometry.end() && newOffset != geometry.end() && camera.Has(size) &&
                             std::strtoll(newSize->second.c_str(), nullptr, 0) < camera.GetInteger(size);
        if (newOffset != geometry.end() && !shrinks) {
            plan.push_back({offset, newOffset->second});
        }
        if (newSize != geometry.end()) {
            plan.push_back({size, newSize->second});
        }
        if (newOffset != geometry.end() && shrinks) {
            plan.push_back({offset, newOffset->second});
        }
    }
    if (!o.fps.empty()) {
        const std::string rate = FirstOf(camera, {"AcquisitionFrameRate", "AcquisitionFramePeriod"}, "--fps");
        if (rate == "AcquisitionFramePeriod") {
            plan.push_back({rate, std::to_string(std::llround(1e6 / std::strtod(o.fps.c_str(), nullptr)))});
        } else {
            if (camera.Has("AcquisitionFrameRateEnable")) {
                plan.push_back({"AcquisitionFrameRateEnable", "true"});
            }
            plan.push_back({rate, o.fps});
        }
    }
    if (!o.exposure.empty()) {
        plan.push_back({FirstOf(camera, {"ExposureTime", "ExposureTimeAbs"}, "--exposure"), o.exposure});
    }
    if (!o.gain.empty()) {
        plan.push_back({FirstOf(camera, {"Gain", "GainRaw"}, "--gain"), o.gain});
    }
    return plan;
}

}  // namespace

void AddLiveOptions(CLI::App& live, LiveOptions& options)
{
    live.add_option("--port", options.port, "UDP port of the stream (with --camera: default a free one)");
    live.add_option("--frames", options.frames, "Stop after this many frames (0: no limit)")->capture_default_str();
    live.add_option("--seconds", options.seconds, "Stop after this long (0: no limit)")->capture_default_str();
    live.add_option("--packet-size", options.packetSize,
        "Stream packet size in bytes, IP and UDP headers included (with --camera: default the interface's MTU)");
    live.add_option("--frame-size", options.frameSize, "Payload bytes of the largest frame (with --camera: from the camera)");
    live.add_option("--timeout", options.timeoutSeconds, "With --camera: the longest the camera's description may take to read, in seconds")
        ->capture_default_str()
        ->check(CLI::Range(1, 3600));
    live.add_option("--width", options.width, "With --camera: the frame's width (Width)");
    live.add_option("--height", options.height, "With --camera: the frame's height (Height)");
    live.add_option("--offset-x", options.offsetX, "With --camera: the frame's left edge on the sensor (OffsetX)");
    live.add_option("--offset-y", options.offsetY, "With --camera: the frame's top edge on the sensor (OffsetY)");
    live.add_option("--pixel-format", options.pixelFormat, "With --camera: the pixel format by its name, as Mono8 (PixelFormat)");
    live.add_option("--fps", options.fps,
        "With --camera: frames per second (AcquisitionFrameRate, enabled by AcquisitionFrameRateEnable where there is "
        "one; or else AcquisitionFramePeriod, 1e6/fps us)");
    live.add_option("--exposure", options.exposure, "With --camera: the exposure time in us (ExposureTime, or else ExposureTimeAbs)");
    live.add_option("--gain", options.gain, "With --camera: the gain (Gain, or else GainRaw)");
    live.add_option("--feature", options.features,
           "With --camera: set a feature of the camera's description, Name=Value (repeatable; a command executes). "
           "Applied in this order: the --feature settings other than the ones below, as given; PixelFormat; Width and "
           "OffsetX, Height and OffsetY (the size first when it shrinks, else the offset first); the frame rate; "
           "exposure; gain")
        ->expected(1)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
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
    for (const std::string& setting : o.features) {
        if (setting.find('=') == std::string::npos || setting.front() == '=') {
            throw UsageError("--feature takes Name=Value, not '" + setting + "'");
        }
    }
    if (!o.fps.empty()) {
        char* end = nullptr;
        const double fps = std::strtod(o.fps.c_str(), &end);
        if (*end != 0 || !(fps > 0 && fps <= 1e6)) {
            throw UsageError("--fps takes frames per second above 0, not '" + o.fps + "'");
        }
    }
    const bool setsCamera = !o.features.empty() ||
                            !(o.width + o.height + o.offsetX + o.offsetY + o.pixelFormat + o.fps + o.exposure + o.gain).empty();
    if (setsCamera && o.cameraAddress.empty()) {
        throw UsageError("the camera's settings (--width ... --feature) need --camera");
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
    camera->ReadDescription(std::chrono::seconds(o.timeoutSeconds));
    const GenICam& features = camera->Features();
    nlohmann::json set = nlohmann::json::object();
    for (const Assignment& a : PlanSettings(o, features)) {
        features.Set(a.feature, a.value);
        set[a.feature] = features.Access(a.feature)[0] == 'R' ? features.Get(a.feature) : a.value;
    }
    // Without resends from the camera the driver's requests would go unanswered.
    settings.resend = camera->CanResend();
    described["resend"] = settings.resend;
    if (!settings.resend) {
        const std::string why = camera->Gvcp().Name() + " does not resend packets (its GVCP capabilities lack PACKETRESEND)";
        std::printf("gvspfilter live: %s: the driver asks for no lost packets\n", why.c_str());
        described["resend_off_because"] = why;
    }
    const CameraStream stream = camera->AimStream(iface, settings.port, o.packetSize, o.frameSize);
    settings.frameSize = static_cast<uint32_t>(stream.payloadBytes);
    settings.packetSize = stream.packetSize - IP_UDP_HEADERS_SIZE;
    // Resend requests leave from the controlling socket, which the camera already knows.
    settings.resendSourcePort = camera->Gvcp().LocalPort();
    described["camera"] = o.cameraAddress;
    described["description"] = camera->XmlFileName();
    described["width"] = stream.width;
    described["height"] = stream.height;
    described["pixel_format"] = features.Get("PixelFormat");
    described["features_set"] = set;
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
    described["packet_size"] = settings.packetSize + IP_UDP_HEADERS_SIZE;
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
        Clock::duration wait = LIVE_WAKE_PERIOD;
        if (o.seconds > 0) {
            wait = std::clamp(end - Clock::now(), Clock::duration::zero(), wait);
        }
        stream.WaitAndCollect(static_cast<uint32_t>(std::chrono::ceil<std::chrono::milliseconds>(wait).count()), sink);
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
