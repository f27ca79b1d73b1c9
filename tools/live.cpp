// `gvspfilter live`: the driver on the emulated machine receives from a real Linux interface
// through libpcap and its PACKETRESEND packets go out on the same interface; with --camera the
// command also controls the camera over GVCP. Host only: a receive thread indicates captured
// frames, a heartbeat thread keeps control of the camera, the main thread collects frames.
#include <CLI/CLI.hpp>

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>
#include <poll.h>

#include <pcap/pcap.h>

#include "camera/camera.h"
#include "tools/commands.h"
#include "tools/genicam.h"
#include "tools/gvcp.h"
#include "tools/report.h"
#include "tools/stop_signal.h"

namespace gvspfilter {

namespace {

using camera::GetBe32;
using camera::PutBe32;
using Clock = std::chrono::steady_clock;

constexpr uint64_t PAYLOAD_MAX = uint64_t(256) << 20;
constexpr uint64_t CACHE_MAX = uint64_t(3) << 30;   // the stream process's room for frame buffers
constexpr uint32_t LIVE_RESEND_TIMEOUT_MS = 40;
constexpr uint16_t LIVE_RESEND_RETRIES = 8;
constexpr uint32_t PACKET_SIZE_MIN = 576;           // IPv4 and UDP headers included
constexpr uint32_t PACKET_SIZE_MAX = 16000;
constexpr uint32_t XML_MAX = 64u << 20;
constexpr int CAPTURE_BUFFER = 64 << 20;
constexpr int GVCP_TRIES = 3;
constexpr int GVCP_TIMEOUT_MS = 500;
constexpr auto HEARTBEAT_PERIOD = std::chrono::milliseconds(1000);
constexpr size_t INDICATION_BATCH = 64;   // captured frames indicated in one chain at most

struct LiveOptions {
    std::string interfaceName;
    std::string cameraAddress;
    uint16_t port = 0;
    uint64_t frames = 0;
    double seconds = 0;
    uint32_t packetSize = 0;
    uint64_t frameSize = 0;
    bool verifyPattern = false;
    OutputOptions output;
};

// ---- GVCP controller --------------------------------------------------------------------------
// Talks to one camera from a socket on the interface's address. Thread-safe: the heartbeat thread
// and the main thread share it, one transaction at a time.
class GvcpController {
public:
    GvcpController(uint32_t localAddress, uint32_t camera) : camera_(camera), socket_(localAddress, 0) {}

    uint16_t LocalPort() const { return socket_.LocalPort(); }
    std::string Name() const { return "camera " + Ipv4Text(camera_); }

    uint32_t ReadRegister(uint32_t address)
    {
        std::vector<uint8_t> payload(4);
        PutBe32(payload.data(), address);
        const GvcpAck ack = Expect(GVCP_READREG_CMD, payload, "READREG", address);
        if (ack.payload.size() < 4) {
            throw RunError(Name() + " answered READREG of " + Hex(address) + " without a value");
        }
        return GetBe32(ack.payload.data());
    }

    void WriteRegister(uint32_t address, uint32_t value)
    {
        std::vector<uint8_t> payload(8);
        PutBe32(payload.data(), address);
        PutBe32(payload.data() + 4, value);
        Expect(GVCP_WRITEREG_CMD, payload, "WRITEREG", address);
    }

    std::vector<uint8_t> ReadMemory(uint32_t address, size_t count)
    {
        std::vector<uint8_t> bytes;
        while (bytes.size() < count) {
            const uint32_t at = static_cast<uint32_t>(address + bytes.size());
            const size_t chunk = std::min<size_t>(GVCP_READMEM_MAX / 4 * 4, (count - bytes.size() + 3) / 4 * 4);
            std::vector<uint8_t> payload(8);
            PutBe32(payload.data(), at);
            camera::PutBe16(payload.data() + 6, static_cast<uint16_t>(chunk));
            const GvcpAck ack = Expect(GVCP_READMEM_CMD, payload, "READMEM", at);
            if (ack.payload.size() < 4 + chunk) {
                throw RunError(Name() + " answered READMEM of " + Hex(at) + " with too few bytes");
            }
            bytes.insert(bytes.end(), ack.payload.begin() + 4, ack.payload.begin() + 4 + static_cast<std::ptrdiff_t>(chunk));
        }
        bytes.resize(count);
        return bytes;
    }

    static std::string Hex(uint32_t value)
    {
        char text[16];
        std::snprintf(text, sizeof text, "0x%04X", value);
        return text;
    }

private:
    // Sends a command and waits for its acknowledge, trying again on silence; a camera that never
    // answered is a usage error, one that stopped answering a run error.
    GvcpAck Expect(uint16_t command, const std::vector<uint8_t>& payload, const char* name, uint32_t address)
    {
        std::lock_guard lock(mutex_);
        const uint16_t id = nextId_;
        nextId_ = static_cast<uint16_t>(nextId_ == 0xFFFF ? 1 : nextId_ + 1);   // 16-bit wrap, 0 is never an id
        const std::vector<uint8_t> datagram = EncodeCommand(GvcpCommand{GVCP_FLAG_ACK_REQUIRED, command, id, payload});
        for (int attempt = 0; attempt < GVCP_TRIES; ++attempt) {
            socket_.SendTo(camera_, GVCP_PORT, datagram);
            const Clock::time_point until = Clock::now() + std::chrono::milliseconds(GVCP_TIMEOUT_MS);
            for (Clock::time_point now = Clock::now(); now < until; now = Clock::now()) {
                uint32_t from = 0;
                uint16_t fromPort = 0;
                const int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(until - now).count());
                std::optional<std::vector<uint8_t>> answer = socket_.ReceiveFrom(std::max(left, 1), &from, &fromPort);
                std::optional<GvcpAck> ack = answer ? ParseAck(*answer) : std::nullopt;
                if (!ack || from != camera_ || ack->ackId != id || ack->answer != command + 1) {
                    continue;   // late or foreign: not this transaction's answer
                }
                answered_ = true;
                if (ack->status != GVCP_STATUS_SUCCESS) {
                    throw RunError(Name() + " refused " + name + " of " + Hex(address) + ": " +
                                   GvcpStatusName(ack->status) + " (status " + Hex(ack->status) + ")");
                }
                return *ack;
            }
        }
        if (!answered_) {
            throw UsageError(Name() + " does not answer GVCP");
        }
        throw RunError(Name() + " stopped answering GVCP");
    }

    const uint32_t camera_;
    std::mutex mutex_;
    UdpSocket socket_;          // under mutex_
    uint16_t nextId_ = 1;       // under mutex_
    bool answered_ = false;     // under mutex_
};

// The camera under control for the length of a run: control taken, stream aimed at this
// interface, acquisition started, heartbeat kept; undone in reverse order at the end.
class CameraControl {
public:
    CameraControl(uint32_t cameraAddress, const InterfaceInfo& interface) : gvcp_(interface.address, cameraAddress)
    {
        // The first contact tells whether anything answers at all.
        const uint32_t ccp = gvcp_.ReadRegister(REG_CCP);
        try {
            gvcp_.WriteRegister(REG_CCP, CCP_CONTROL);
        } catch (const RunError&) {
            if (ccp != 0) {
                throw UsageError(gvcp_.Name() + " is controlled by another application");
            }
            throw;
        }
        controlled_ = true;
        heartbeat_ = std::thread([this] { KeepHeartbeat(); });
    }

    ~CameraControl() { Release(); }

    GvcpController& Gvcp() { return gvcp_; }
    const CameraFeatures& Features() const { return features_; }
    const std::string& XmlFileName() const { return xmlFile_; }
    bool Lost() const { return lost_; }

    // Reads the description through the first URL and resolves the features the run needs.
    void ReadDescription()
    {
        const std::vector<uint8_t> urlBytes = gvcp_.ReadMemory(REG_FIRST_URL, REG_URL_BYTES);
        const std::string urlText(reinterpret_cast<const char*>(urlBytes.data()),
            strnlen(reinterpret_cast<const char*>(urlBytes.data()), urlBytes.size()));
        const std::optional<LocalUrl> url = ParseLocalUrl(urlText);
        if (!url) {
            throw RunError(gvcp_.Name() + "'s first URL '" + urlText + "' is not a Local: URL, the only kind read");
        }
        if (url->length > XML_MAX) {
            throw RunError(gvcp_.Name() + "'s description is said to be " + std::to_string(url->length) +
                           " bytes, more than the 64 MiB it may be");
        }
        xmlFile_ = url->fileName;
        const std::vector<uint8_t> file = gvcp_.ReadMemory(url->address, url->length);
        const bool zipped = url->zipped() || (file.size() >= 4 && file[0] == 'P' && file[1] == 'K' && file[2] == 3 && file[3] == 4);
        const std::string xml = zipped ? UnzipXml(file) : std::string(file.begin(), file.end());
        features_ = ResolveFeatures(xml);
    }

    int64_t Read(const FeatureRegister& reg)
    {
        if (reg.constant) {
            return *reg.constant;
        }
        return reg.Extract(ReadBytes(reg));
    }

    void Execute(const CommandFeature& command, const char* name)
    {
        const FeatureRegister& reg = command.reg;
        if (reg.constant || reg.length != 4 || reg.address % 4 != 0) {
            throw RunError(std::string("the camera's ") + name + " is not a 4-byte register, the only kind written");
        }
        // A masked command keeps the register's other bits; a write-only register reads as zeros.
        std::vector<uint8_t> current(4, 0);
        if (reg.masked) {
            try {
                current = ReadBytes(reg);
            } catch (const RunError&) {
            }
        }
        gvcp_.WriteRegister(reg.address, GetBe32(reg.Insert(current, command.value).data()));
    }

    // Ends acquisition and gives control back; failures are reported, not thrown (it runs on the
    // way out, also after an error).
    void Release()
    {
        if (!controlled_) {
            return;
        }
        controlled_ = false;
        stop_ = true;
        if (heartbeat_.joinable()) {
            heartbeat_.join();
        }
        try {
            if (acquiring_) {
                Execute(features_.acquisitionStop, "AcquisitionStop");
                acquiring_ = false;
            }
            gvcp_.WriteRegister(REG_SCP0, 0);
            gvcp_.WriteRegister(REG_CCP, 0);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "gvspfilter live: could not stop and release %s: %s\n", gvcp_.Name().c_str(), e.what());
        }
    }

    void Start()
    {
        Execute(features_.acquisitionStart, "AcquisitionStart");
        acquiring_ = true;
    }

private:
    std::vector<uint8_t> ReadBytes(const FeatureRegister& reg)
    {
        if (reg.length == 4 && reg.address % 4 == 0) {
            std::vector<uint8_t> bytes(4);
            PutBe32(bytes.data(), gvcp_.ReadRegister(reg.address));
            return bytes;
        }
        const uint32_t first = reg.address / 4 * 4;
        const std::vector<uint8_t> words = gvcp_.ReadMemory(first, reg.address - first + reg.length);
        return {words.begin() + (reg.address - first), words.end()};
    }

    void KeepHeartbeat()
    {
        // Any command keeps control; reading CCP also shows that control is still ours.
        Clock::time_point next = Clock::now() + HEARTBEAT_PERIOD;
        while (!stop_) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            if (Clock::now() < next) {
                continue;
            }
            next += HEARTBEAT_PERIOD;
            try {
                gvcp_.ReadRegister(REG_CCP);
            } catch (const std::exception& e) {
                std::fprintf(stderr, "\ngvspfilter live: heartbeat failed: %s\n", e.what());
                lost_ = true;
                return;
            }
        }
    }

    GvcpController gvcp_;
    CameraFeatures features_;
    std::string xmlFile_;
    bool controlled_ = false;
    bool acquiring_ = false;
    std::atomic<bool> stop_{false};
    std::atomic<bool> lost_{false};
    std::thread heartbeat_;
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
uint64_t PayloadBytes(int64_t width, int64_t height, int64_t pixelFormat)
{
    // The pixel format's code carries its bits per pixel in bits 16 to 23.
    const uint64_t bits = (static_cast<uint64_t>(pixelFormat) >> 16) & 0xFF;
    return (static_cast<uint64_t>(width) * static_cast<uint64_t>(height) * bits + 7) / 8;
}

int RunLive(const LiveOptions& o)
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
    const uint16_t port = portGuard ? portGuard->LocalPort() : o.port;

    CatchStopSignals();
    std::unique_ptr<CameraControl> camera;
    SessionSettings settings;
    settings.virtualClock = false;
    settings.adapterMac = interface.mac;
    settings.adapterMtu = interface.mtu;
    settings.port = port;
    uint32_t packetSize = o.packetSize;
    uint64_t payload = o.frameSize;
    nlohmann::json described = {{"interface", interface.name}, {"mac", MacText(interface.mac)}, {"port", port},
        {"frames", o.frames}, {"seconds", o.seconds}, {"verify_pattern", o.verifyPattern}};
    if (controlling) {
        camera = std::make_unique<CameraControl>(cameraAddress, interface);
        camera->ReadDescription();
        const CameraFeatures& f = camera->Features();
        const int64_t width = camera->Read(f.width);
        const int64_t height = camera->Read(f.height);
        const int64_t pixelFormat = camera->Read(f.pixelFormat);
        payload = o.frameSize != 0 ? o.frameSize : PayloadBytes(width, height, pixelFormat);
        if (width <= 0 || height <= 0 || payload == 0 || payload > PAYLOAD_MAX) {
            throw UsageError(camera->Gvcp().Name() + " reports a " + std::to_string(width) + "x" + std::to_string(height) +
                             " frame of pixel format " + GvcpController::Hex(static_cast<uint32_t>(pixelFormat)) +
                             ", out of range (1 to 256 MiB of payload)");
        }
        if (packetSize == 0) {
            packetSize = std::clamp<uint32_t>(interface.mtu, PACKET_SIZE_MIN, PACKET_SIZE_MAX);
        }
        // The stream comes to this interface's address and port, in packets that fit its MTU.
        GvcpController& gvcp = camera->Gvcp();
        gvcp.WriteRegister(REG_SCDA0, interface.address);
        gvcp.WriteRegister(REG_SCP0, port);
        gvcp.WriteRegister(REG_SCPS0, SCPS_DO_NOT_FRAGMENT | packetSize);
        // Resend requests leave from the controlling socket, which the camera already knows.
        settings.resendSourcePort = gvcp.LocalPort();
        const auto name = f.pixelFormatNames.find(pixelFormat);
        described["camera"] = o.cameraAddress;
        described["description"] = camera->XmlFileName();
        described["width"] = width;
        described["height"] = height;
        described["pixel_format"] = name != f.pixelFormatNames.end() ? name->second : GvcpController::Hex(static_cast<uint32_t>(pixelFormat));
    }
    settings.frameSize = static_cast<uint32_t>(payload);
    settings.packetSize = packetSize - IP_UDP_HEADER_BYTES;
    settings.buffers = static_cast<uint32_t>(std::clamp<uint64_t>(CACHE_MAX / (FRAME_BUFFER_MIN_SIZE + payload), 2, 8));
    // A real network and a busy machine delay answers: more time and more retries before a
    // frame is given up than on the virtual clock.
    settings.resendTimeoutMs = LIVE_RESEND_TIMEOUT_MS;
    settings.resendRetryLimit = LIVE_RESEND_RETRIES;
    described["resend_timeout_ms"] = settings.resendTimeoutMs;
    described["resend_retries"] = settings.resendRetryLimit;
    described["packet_size"] = packetSize;
    described["frame_size"] = payload;
    described["buffers"] = settings.buffers;

    Reporter reporter("live", o.output, described);
    DriverSession session(settings);
    Injector injector(session.Adapter(), interface.name);
    Receiver receiver(interface.name, port);
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

    const Clock::time_point end = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.seconds));
    std::string stopped;
    while (stopped.empty()) {
        session.WaitAndCollect(20, sink);
        injector.Pump();
        reporter.Tick(session);
        if (o.frames != 0 && session.Frames().size() >= o.frames) {
            stopped = "frames";
        } else if (o.seconds > 0 && Clock::now() >= end) {
            stopped = "seconds";
        } else if (StopRequested()) {
            stopped = "signal";
        } else if (camera && camera->Lost()) {
            stopped = "camera lost";
        } else if (!receiver.Error().empty()) {
            stopped = "capture failed";
        }
    }
    const bool cameraLost = camera && camera->Lost();
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
    if (!receiver.Error().empty()) {
        reporter.Problem("the capture on '" + interface.name + "' failed: " + receiver.Error());
    }
    if (cameraLost) {
        reporter.Problem(camera->Gvcp().Name() + " stopped answering; the run ended early");
    }
    if (o.verifyPattern) {
        reporter.Add("frames_corrupt", corrupt);
        if (corrupt != 0) {
            reporter.Problem(std::to_string(corrupt) + " complete frames did not hold the test picture");
        }
    }
    const uint64_t expectedComplete = o.frames != 0 ? o.frames : session.Frames().size();
    return reporter.Finish(session, expectedComplete);
}

}  // namespace

void AddLiveCommand(CLI::App& app, CommandList& commands)
{
    auto options = std::make_shared<LiveOptions>();
    CLI::App* live = app.add_subcommand("live", "Receive from a real network interface through the driver (libpcap)");
    live->add_option("--interface", options->interfaceName, "Linux network interface to receive on")->required();
    live->add_option("--camera", options->cameraAddress, "IPv4 address of a GigE Vision camera to control over GVCP");
    live->add_option("--port", options->port, "UDP port of the stream (with --camera: default a free one)");
    live->add_option("--frames", options->frames, "Stop after this many frames (0: no limit)")->capture_default_str();
    live->add_option("--seconds", options->seconds, "Stop after this long (0: no limit)")->capture_default_str();
    live->add_option("--packet-size", options->packetSize,
        "Stream packet size in bytes, IP and UDP headers included (with --camera: default the interface's MTU)");
    live->add_option("--frame-size", options->frameSize, "Payload bytes of the largest frame (with --camera: from the camera)");
    live->add_flag("--verify-pattern", options->verifyPattern,
        "Check every complete frame byte for byte against the camera emulator's test picture");
    AddOutputOptions(*live, options->output);
    commands.emplace_back(live, [options] { return RunLive(*options); });
}

}  // namespace gvspfilter
