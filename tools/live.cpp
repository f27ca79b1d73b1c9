// `gvspfilter live`: the driver on the emulated machine receives from a real Linux interface
// through libpcap and its PACKETRESEND packets go out on the same interface; with --camera the
// command also controls the camera over GVCP. Host only: a receive thread indicates captured
// frames, a heartbeat thread keeps control of the camera, the main thread collects frames.
#include <CLI/CLI.hpp>

#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <poll.h>

#include <pcap/pcap.h>

#include "camera/camera.h"
#include "tools/commands.h"
#include "tools/driver_session.h"
#include "tools/live_run.h"
#include "tools/stop_signal.h"

namespace gvspfilter {

namespace {

constexpr int CAPTURE_BUFFER = 64 << 20;
constexpr size_t INDICATION_BATCH = 64;   // captured frames indicated in one chain at most

struct HostLiveOptions : LiveOptions {
    std::string interfaceName;
    bool verifyPattern = false;
};

// ---- Capture and injection --------------------------------------------------------------------
struct PcapCloser {
    void operator()(pcap_t* p) const { pcap_close(p); }
};
using PcapHandle = std::unique_ptr<pcap_t, PcapCloser>;

PcapHandle OpenPcap(const std::string& interface, bool capture)
{
    char error[PCAP_ERRBUF_SIZE] = {};
    PcapHandle pcap(pcap_create(interface.c_str(), error));
    if (!pcap) {
        throw RunError("cannot open '" + interface + "' for capture: " + error);
    }
    if (capture) {
        pcap_set_snaplen(pcap.get(), 65535);
        pcap_set_immediate_mode(pcap.get(), 1);
        pcap_set_buffer_size(pcap.get(), CAPTURE_BUFFER);
    }
    const int status = pcap_activate(pcap.get());
    if (status == PCAP_ERROR_NO_SUCH_DEVICE) {
        throw UsageError("no such interface '" + interface + "'");
    }
    if (status == PCAP_ERROR_PERM_DENIED) {
        throw UsageError("capturing on '" + interface + "' needs root or CAP_NET_RAW");
    }
    if (status == PCAP_ERROR_IFACE_NOT_UP) {
        throw UsageError("interface '" + interface + "' is down");
    }
    if (status < 0) {
        throw RunError("cannot capture on '" + interface + "': " + pcap_geterr(pcap.get()));
    }
    if (pcap_datalink(pcap.get()) != DLT_EN10MB) {
        throw UsageError("interface '" + interface + "' is not an Ethernet interface");
    }
    return pcap;
}

// Sends what the driver transmitted on the adapter out of the real interface.
class Injector {
public:
    Injector(host::Adapter& adapter, const std::string& interface) : adapter_(adapter), pcap_(OpenPcap(interface, false)) {}

    void Pump()
    {
        std::lock_guard lock(mutex_);
        const std::vector<host::SendRecord> records = adapter_.SentToMiniportSince(seen_);
        seen_ += records.size();
        for (const host::SendRecord& record : records) {
            for (const std::vector<uint8_t>& frame : record.frames) {
                if (pcap_inject(pcap_.get(), frame.data(), frame.size()) == static_cast<int>(frame.size())) {
                    ++injected_;
                } else {
                    ++failed_;
                }
            }
        }
    }
    uint64_t Injected() const { return injected_; }
    uint64_t Failed() const { return failed_; }

private:
    host::Adapter& adapter_;
    std::mutex mutex_;
    PcapHandle pcap_;                      // under mutex_
    size_t seen_ = 0;                      // under mutex_
    std::atomic<uint64_t> injected_{0}, failed_{0};
};

// Captures the stream and GVCP on the interface and indicates each batch to the adapter.
class Receiver {
public:
    Receiver(const std::string& interface, uint16_t port) : pcap_(OpenPcap(interface, true))
    {
        pcap_setdirection(pcap_.get(), PCAP_D_IN);
        const std::string filter = "udp and (dst port " + std::to_string(port) + " or port " + std::to_string(GVCP_PORT) + ")";
        bpf_program program{};
        if (pcap_compile(pcap_.get(), &program, filter.c_str(), 1, PCAP_NETMASK_UNKNOWN) != 0 ||
            pcap_setfilter(pcap_.get(), &program) != 0) {
            const std::string why = pcap_geterr(pcap_.get());
            pcap_freecode(&program);
            throw RunError("cannot filter the capture with '" + filter + "': " + why);
        }
        pcap_freecode(&program);
        char error[PCAP_ERRBUF_SIZE] = {};
        pcap_setnonblock(pcap_.get(), 1, error);
    }

    ~Receiver() { Stop(); }

    void Start(host::Adapter& adapter, Injector& injector)
    {
        thread_ = std::thread([this, &adapter, &injector] { Loop(adapter, injector); });
    }

    void Stop()
    {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
    }

    uint64_t Captured() const { return captured_; }
    uint64_t Truncated() const { return truncated_; }
    std::string Error() const
    {
        std::lock_guard lock(errorMutex_);
        return error_;
    }
    // What the capture itself dropped (its buffer was full), as libpcap counts it.
    uint64_t DroppedByCapture()
    {
        pcap_stat stats{};
        return pcap_stats(pcap_.get(), &stats) == 0 ? stats.ps_drop : 0;
    }

private:
    static void OnPacket(u_char* user, const pcap_pkthdr* header, const u_char* bytes)
    {
        Receiver& self = *reinterpret_cast<Receiver*>(user);
        if (header->caplen < header->len) {
            ++self.truncated_;
            return;
        }
        ++self.captured_;
        self.batch_.emplace_back(bytes, bytes + header->caplen);
    }

    void Loop(host::Adapter& adapter, Injector& injector)
    {
        pollfd waiting{pcap_get_selectable_fd(pcap_.get()), POLLIN, 0};
        std::vector<std::unique_ptr<host::Packet>> outstanding;
        while (!stop_) {
            poll(&waiting, 1, 20);
            const int got = pcap_dispatch(pcap_.get(), static_cast<int>(INDICATION_BATCH), OnPacket, reinterpret_cast<u_char*>(this));
            if (got < 0) {
                std::lock_guard lock(errorMutex_);
                error_ = pcap_geterr(pcap_.get());
                break;
            }
            if (batch_.empty()) {
                continue;
            }
            // The packets stay the miniport's until the stack returns them.
            std::vector<std::unique_ptr<host::Packet>> packets;
            for (const std::vector<uint8_t>& frame : batch_) {
                packets.push_back(host::MakeFramePacket(frame));
            }
            batch_.clear();
            adapter.Indicate(host::LinkPackets(packets), 0, NDIS_RECEIVE_FLAGS_DISPATCH_LEVEL);
            for (auto& packet : packets) {
                outstanding.push_back(std::move(packet));
            }
            if (adapter.OutstandingAtMiniport() == 0) {
                outstanding.clear();
            }
            // Gap requests the driver made while it took these packets leave at once.
            injector.Pump();
        }
        // Lists still out would be freed under the stack's feet: wait for them.
        for (int i = 0; i < 1000 && adapter.OutstandingAtMiniport() != 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        if (adapter.OutstandingAtMiniport() == 0) {
            outstanding.clear();
        } else {
            parked_ = std::move(outstanding);
        }
    }

    PcapHandle pcap_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::vector<std::vector<uint8_t>> batch_;   // receive thread only
    std::vector<std::unique_ptr<host::Packet>> parked_;   // never returned: kept to the end
    std::atomic<uint64_t> captured_{0}, truncated_{0};
    mutable std::mutex errorMutex_;
    std::string error_;
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
    // Capture rights are checked before anything is sent to the camera.
    OpenPcap(interface.name, false);

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
    nlohmann::json described = DescribeLive(o, interface, settings.port);
    described["verify_pattern"] = o.verifyPattern;
    std::unique_ptr<CameraControl> camera;
    if (controlling) {
        camera = ControlCamera(cameraAddress, o, interface, settings, described);
    } else {
        settings.frameSize = static_cast<uint32_t>(o.frameSize);
        settings.packetSize = o.packetSize - IP_UDP_HEADER_BYTES;
    }
    SetLiveStream(settings, described);

    Reporter reporter("live", o.output, described);
    DriverSession session(settings);
    Injector injector(session.Adapter(), interface.name);
    Receiver receiver(interface.name, settings.port);
    receiver.Start(session.Adapter(), injector);
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
        injector.Pump();
        return receiver.Error().empty() ? std::string() : std::string("capture failed");
    });
    if (camera) {
        camera->Release();
    }
    receiver.Stop();
    session.Collect(sink);
    injector.Pump();
    reporter.Add("stopped_by", stopped);
    reporter.Add("capture", {{"packets_captured", receiver.Captured()}, {"packets_truncated", receiver.Truncated()},
                                {"packets_dropped_by_capture", receiver.DroppedByCapture()},
                                {"packets_injected", injector.Injected()}, {"injections_failed", injector.Failed()}});
    reporter.LostBeforeDriver(receiver.DroppedByCapture(), "packet dropped by the capture");
    reporter.LostBeforeDriver(receiver.Truncated(), "packet truncated by the capture");
    if (injector.Failed() != 0) {
        reporter.Problem(std::to_string(injector.Failed()) + " of the driver's packets (its resend requests) could not be sent on '" +
                         interface.name + "'");
    }
    reporter.StopsMidStream();
    if (!receiver.Error().empty()) {
        reporter.Problem("the capture on '" + interface.name + "' failed: " + receiver.Error());
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
    CLI::App* live = app.add_subcommand("live", "Receive from a real network interface through the driver (libpcap)");
    live->add_option("--interface", options->interfaceName, "Linux network interface to receive on")->required();
    live->add_option("--camera", options->cameraAddress, "IPv4 address of a GigE Vision camera to control over GVCP");
    live->add_flag("--verify-pattern", options->verifyPattern,
        "Check every complete frame byte for byte against the camera emulator's test picture");
    AddLiveOptions(*live, *options);
    commands.emplace_back(live, [options] { return RunLive(*options); });
}

}  // namespace gvspfilter
