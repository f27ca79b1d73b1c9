// `gvspfilter live`: the driver on the emulated machine receives from a real Linux interface
// through a receive ring shared with the kernel (AF_XDP or TPACKET_V3) and its PACKETRESEND
// packets go out on the same interface as it sends them; with --camera the command also controls
// the camera over GVCP. Host only: the ring's thread indicates received frames, a heartbeat
// thread keeps control of the camera, the main thread collects frames.
#include <CLI/CLI.hpp>

#include <cstring>
#include <memory>
#include <optional>

#include "camera/camera.h"
#include "tools/commands.h"
#include "tools/driver_session.h"
#include "tools/live_run.h"
#include "tools/receive_ring.h"
#include "tools/stop_signal.h"

namespace gvspfilter {

namespace {

struct HostLiveOptions : LiveOptions {
    std::string interfaceName;
    std::string ring;   // empty: AF_XDP where it works, else TPACKET_V3
    uint32_t ringMiB = 64;
    bool verifyPattern = false;
};

// ---- The run ----------------------------------------------------------------------------------
int RunLive(const HostLiveOptions& o)
{
    CheckLiveOptions(o);
    const InterfaceInfo interface = FindInterface(o.interfaceName);
    const bool controlling = !o.cameraAddress.empty();
    const uint32_t cameraAddress = controlling ? ParseIpv4(o.cameraAddress, "--camera") : 0;
    if (!controlling && (o.port == 0 || o.packetSize == 0 || o.frameSize == 0)) {
        throw UsageError("without --camera, give the stream's --port, --packet-size and --frame-size");
    }
    if (controlling && interface.address == 0) {
        throw UsageError("interface '" + o.interfaceName + "' has no IPv4 address to control a camera from");
    }
    // A socket on the stream port keeps the Linux stack from answering the stream with ICMP.
    std::optional<UdpSocket> portGuard;
    try {
        portGuard.emplace(interface.address, o.port);
        portGuard->SetReceiveBuffer(4096);
    } catch (const UsageError&) {
        if (controlling || o.port == 0) {
            throw;
        }
        // Another program holds the port already: the one that started the stream.
    }

    CatchStopSignals();
    SessionSettings settings;
    settings.virtualClock = false;
    settings.adapterMac = interface.mac;
    settings.adapterMtu = interface.mtu;
    settings.port = portGuard ? portGuard->LocalPort() : o.port;
    // Receive rights are checked before anything is sent to the camera. The ring outlives the
    // session: lists the stack still holds at the end point into it.
    const std::unique_ptr<ReceiveRing> ring = ReceiveRing::Open(o.ring, interface, settings.port, o.ringMiB);
    nlohmann::json described = DescribeLive(o, interface, settings.port);
    described["verify_pattern"] = o.verifyPattern;
    std::unique_ptr<CameraControl> camera;
    if (controlling) {
        camera = ControlCamera(cameraAddress, o, interface, settings, described);
    } else {
        settings.frameSize = static_cast<uint32_t>(o.frameSize);
        settings.packetSize = o.packetSize - IP_UDP_HEADERS_SIZE;
    }
    SetLiveStream(settings, described);

    Reporter reporter("live", o.output, described);
    settings.recordDataPath = false;
    DriverSession session(settings);
    ring->Start(session.Adapter());
    if (camera) {
        camera->Start();
    }

    // Every complete frame must hold the camera emulator's picture exactly, when asked.
    uint64_t corrupt = 0;
    std::vector<uint8_t> expected;
    const FrameSink save = reporter.Sink();
    const FrameSink sink = [&](const gvsp::Frame& frame) {
        ImageGeometry geometry;
        if (o.verifyPattern && frame.Status() == FRAME_STATUS_COMPLETE) {
            std::span<const uint8_t> got = frame.Payload();
            expected.resize(got.size());
            if (!ReadLeaderGeometry(frame.Leader(), &geometry) ||
                uint64_t{geometry.width} * geometry.height * camera::BytesPerPixel(geometry.pixelFormat) != got.size()) {
                ++corrupt;
            } else {
                camera::FillTestPattern(geometry.pixelFormat, geometry.width, geometry.height, frame.BlockId(), 0, expected);
                corrupt += std::memcmp(got.data(), expected.data(), got.size()) != 0 ? 1 : 0;
            }
        }
        save(frame);
    };

    const std::string stopped = CollectLive(session, reporter, sink, o, camera.get(), [&] {
        return ring->Error().empty() ? std::string() : std::string("capture failed");
    });
    if (camera) {
        camera->Release();
    }
    ring->Stop();
    session.Collect(sink);
    const RingCounts counts = ring->Counts();
    reporter.Add("stopped_by", stopped);
    nlohmann::json capture = {{"ring", ring->Kind()}, {"packets_captured", counts.received},
        {"packets_truncated", counts.truncated}, {"packets_dropped_pool_exhausted", counts.poolExhausted},
        {"packets_injected", counts.sent}, {"injections_failed", counts.sendFailed}};
    if (!ring->Fallback().empty()) {
        capture["xdp_not_used"] = ring->Fallback();
    }
    for (const KernelCount& count : counts.kernel) {
        capture[count.key] = count.value;
        if (count.what != nullptr) {
            reporter.LostBeforeDriver(count.value, count.what);
        }
    }
    reporter.Add("capture", capture);
    reporter.Line("ring", std::string(ring->Kind()) + ": " + std::to_string(counts.received) + " frames received in place, " +
                              std::to_string(counts.sent) + " sent for the driver" +
                              (ring->Fallback().empty() ? "" : " (" + ring->Fallback() + ")"));
    reporter.LostBeforeDriver(counts.poolExhausted, "packet dropped by the ring, every receive list out");
    reporter.LostBeforeDriver(counts.truncated, "packet truncated by the ring");
    if (counts.sendFailed != 0) {
        reporter.Problem(std::to_string(counts.sendFailed) + " of the driver's packets (its resend requests) could not be sent on '" +
                         interface.name + "'");
    }
    reporter.StopsMidStream();
    if (!ring->Error().empty()) {
        reporter.Problem("the receive ring on '" + interface.name + "' failed: " + ring->Error());
    }
    if (o.verifyPattern) {
        reporter.Add("frames_corrupt", corrupt);
        if (corrupt != 0) {
            reporter.Problem(std::to_string(corrupt) + " complete frames did not hold the test picture");
        }
    }
    return FinishReport(reporter, session, o.frames);
}

}  // namespace

void AddLiveCommand(CLI::App& app, CommandList& commands)
{
    auto options = std::make_shared<HostLiveOptions>();
    CLI::App* live = app.add_subcommand("live", "Receive from a real network interface through the driver");
    live->add_option("--interface", options->interfaceName, "Linux network interface to receive on")->required();
    live->add_option("--camera", options->cameraAddress, "IPv4 address of a GigE Vision camera to control over GVCP");
    live->add_option("--ring", options->ring,
           "How frames are received: xdp (an AF_XDP socket) or tpacket (a TPACKET_V3 ring); by default AF_XDP where it works")
        ->check(CLI::IsMember({"xdp", "tpacket"}));
    live->add_option("--ring-mib", options->ringMiB, "The ring's size in MiB (64)")
        ->check(CLI::Range(1, 1024));
    live->add_flag("--verify-pattern", options->verifyPattern,
        "Check every complete frame byte for byte against the camera emulator's test picture");
    AddLiveOptions(*live, *options);
    commands.emplace_back(live, [options] { return RunLive(*options); });
}

}  // namespace gvspfilter
