// What `gvspfilter live` does alike on the host (tools/live.cpp, the driver on the emulated
// machine fed through a receive ring) and on Windows (tools/windows/gvspfilter.cpp, the installed
// driver): its shared options, the camera taken under control with its stream aimed at this host,
// the stream's settings, and the collection of frames until the run ends.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/camera_control.h"
#include "tools/report.h"
#include "tools/stream_session.h"

namespace CLI {
class App;
}

namespace gvspfilter {

struct LiveOptions {
    std::string cameraAddress;
    uint16_t port = 0;
    uint64_t frames = 0;
    double seconds = 0;
    uint32_t packetSize = 0;
    uint64_t frameSize = 0;
    uint32_t timeoutSeconds = static_cast<uint32_t>(DESCRIPTION_TIMEOUT.count());   // for the camera's description
    // The camera's features to set, as text ("" leaves one as it is); `features` holds Name=Value.
    std::string width, height, offsetX, offsetY, pixelFormat, fps, exposure, gain;
    std::vector<std::string> features;
    OutputOptions output;
};
// Adds --port, --frames, --seconds, --packet-size, --frame-size, --timeout, the camera's settings (--width,
// --height, --offset-x, --offset-y, --pixel-format, --fps, --exposure, --gain, --feature) and the
// output options.
void AddLiveOptions(CLI::App& live, LiveOptions& options);
// UsageError for a duration, packet size or frame size out of range, or a --feature that is not
// Name=Value.
void CheckLiveOptions(const LiveOptions& options);

// What the report lists of a live run before it starts: the interface, the port, the limits.
nlohmann::json DescribeLive(const LiveOptions& options, const InterfaceInfo& iface, uint16_t port);
// Takes control of the camera at `cameraAddress` from `iface`, reads its description, sets the
// features the options name (UsageError for one it lacks or a value it cannot take) and aims its
// stream at `iface` and `settings.port`; sets the settings' frame and packet size and resend
// source port, turns resends off when the camera cannot answer them (and says so), and adds the
// camera's to `described`.
std::unique_ptr<CameraControl> ControlCamera(uint32_t cameraAddress, const LiveOptions& options,
    const InterfaceInfo& iface, StreamSettings& settings, nlohmann::json& described);
// The rest of a live stream's settings, from its frame size: frame buffers, and the real clock's
// resend time-out and retries; listed in `described`.
void SetLiveStream(StreamSettings& settings, nlohmann::json& described);

// Collects frames into `sink` until the run ends: the frames asked for handed over, the time up,
// Ctrl-C, the camera lost, or `poll` naming a failure. The thread sleeps until a frame arrives,
// 100 ms at most; `poll` runs after every wake. Returns why it stopped ("frames", "seconds",
// "signal", "camera lost" or what `poll` said); a camera lost is also the report's problem. The
// caller releases the camera and collects what is left.
std::string CollectLive(StreamSession& stream, Reporter& reporter, const FrameSink& sink, const LiveOptions& options,
    CameraControl* camera, const std::function<std::string()>& poll);

}  // namespace gvspfilter
