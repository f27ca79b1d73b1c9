// `gvspfilter camera`: the camera emulator as a GigE Vision device on real UDP sockets. It answers
// GVCP on port 3956 of its address, serves its own GenICam description, keeps the heartbeat rules
// and streams its test picture over GVSP to the destination a controller set, answering
// PACKETRESEND. Host only: one thread serves GVCP, one streams.
#include <CLI/CLI.hpp>

#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "camera/camera.h"
#include "tools/commands.h"
#include "tools/image.h"
#include "tools/genicam.h"
#include "tools/gvcp.h"
#include "tools/network.h"
#include "tools/stop_signal.h"

namespace gvspfilter {

namespace {

using camera::GetBe16;
using camera::GetBe32;
using camera::PutBe16;
using camera::PutBe32;
using Clock = std::chrono::steady_clock;

constexpr uint64_t PAYLOAD_MAX = uint64_t(256) << 20;
constexpr uint32_t PACKET_SIZE_MIN = 576;     // IPv4 and UDP headers included
constexpr uint32_t PACKET_SIZE_MAX = 16000;
constexpr uint32_t HEARTBEAT_MIN_MS = 500;
constexpr uint32_t BOOTSTRAP_STRINGS_END = 0x0600;   // manufacturer name up to the second URL's end

struct DeviceOptions {
    std::string address;
    uint32_t width = 640;
    uint32_t height = 480;
    std::string pixelFormat = "mono8";
    double fps = 30;
    double loss = 0;
    uint64_t seed = 1;
    bool zipXml = false;
    double seconds = 0;
    uint32_t keptBlocks = 64;
    std::string jsonPath;
};

void PutText(std::vector<uint8_t>& image, uint32_t address, size_t room, const std::string& text)
{
    std::copy_n(text.begin(), std::min(text.size(), room - 1), image.begin() + address);
}

struct KeptBlock {
    uint64_t blockId = 0;
    std::vector<std::vector<uint8_t>> packets;   // GVSP bytes, index = packet id
};

struct DeviceCounters {
    std::atomic<uint64_t> blocksSent{0}, packetsSent{0}, packetsDropped{0}, sendErrors{0};
    std::atomic<uint64_t> gvcpCommands{0}, resendRequests{0}, resendRequestsUnanswered{0}, packetsResent{0};
    std::atomic<uint64_t> controlTaken{0}, heartbeatExpiries{0};
};

class CameraDevice {
public:
    CameraDevice(const DeviceOptions& options, uint32_t address, const InterfaceInfo& interface);
    ~CameraDevice();
    // Serves until `seconds` have passed (0: until stopped by a signal).
    void Run(double seconds);
    const DeviceCounters& Counters() const { return counters_; }
    std::string StatusLine();

private:
    // State under mutex_ (written by the GVCP thread, read by the stream thread).
    struct Control {
        uint32_t ccp = 0;
        uint32_t controllerIp = 0;
        uint16_t controllerPort = 0;
        Clock::time_point lastHeard{};
        uint32_t heartbeatMs = DEFAULT_HEARTBEAT_MS;
        uint32_t scp0 = 0;
        uint32_t scps0 = SCPS_DO_NOT_FRAGMENT | 1500;
        uint32_t scpd0 = 0;
        uint32_t scda0 = 0;
        uint32_t width = 0, height = 0, pixelFormat = 0;
        bool acquiring = false;
        uint64_t nextBlockId = 1;
    };

    void ServeCommand(const std::vector<uint8_t>& datagram, uint32_t from, uint16_t fromPort);
    GvcpAck Answer(const GvcpCommand& command, uint32_t from, uint16_t fromPort);
    // Register access with mutex_ held; the results are GVCP status codes.
    uint16_t ReadRegister(uint32_t address, uint32_t* value) const;
    uint16_t WriteRegister(uint32_t address, uint32_t value, uint32_t from, uint16_t fromPort);
    uint16_t ReadMemory(uint32_t address, size_t count, std::vector<uint8_t>* bytes) const;
    void Resend(const PacketResendRequest& request);
    void CheckHeartbeat();
    void StreamLoop();
    uint64_t PayloadBytes() const { return uint64_t(control_.width) * control_.height * camera::BytesPerPixel(control_.pixelFormat); }

    const DeviceOptions options_;
    const uint32_t address_;
    const InterfaceInfo interface_;
    UdpSocket gvcp_;
    UdpSocket stream_;
    std::vector<uint8_t> bootstrap_;   // the text registers from 0x0048 on, as bytes
    std::vector<uint8_t> xmlFile_;
    const Clock::time_point started_ = Clock::now();

    mutable std::mutex mutex_;
    Control control_;                  // under mutex_
    std::deque<KeptBlock> kept_;       // the last blocks, oldest first: changed by the stream thread
                                       // under mutex_, read by others under mutex_
    std::atomic<bool> stop_{false};
    std::thread streamThread_;
    DeviceCounters counters_;
};

CameraDevice::CameraDevice(const DeviceOptions& options, uint32_t address, const InterfaceInfo& interface)
    : options_(options), address_(address), interface_(interface), gvcp_(address, GVCP_PORT), stream_(address, 0)
{
    stream_.SetSendBuffer(4 << 20);
    stream_.ForbidFragments();
    control_.width = options.width;
    control_.height = options.height;
    control_.pixelFormat = ParsePixelFormat(options.pixelFormat);

    // The description file, plain or zipped, and the first URL that names it.
    const std::string xml = DeviceXml();
    LocalUrl url;
    url.address = XML_FILE_ADDRESS;
    if (options.zipXml) {
        url.fileName = "CameraEmulator.zip";
        xmlFile_ = ZipFile("CameraEmulator.xml", {reinterpret_cast<const uint8_t*>(xml.data()), xml.size()});
    } else {
        url.fileName = "CameraEmulator.xml";
        xmlFile_.assign(xml.begin(), xml.end());
    }
    url.length = static_cast<uint32_t>(xmlFile_.size());

    bootstrap_.assign(BOOTSTRAP_STRINGS_END, 0);
    PutText(bootstrap_, REG_MANUFACTURER, 32, "GvspFilter");
    PutText(bootstrap_, REG_MODEL, 32, "Camera emulator");
    PutText(bootstrap_, REG_DEVICE_VERSION, 32, "1.0");
    PutText(bootstrap_, REG_MANUFACTURER_INFO, 48, "gvspfilter camera");
    PutText(bootstrap_, REG_SERIAL, 16, "EMU-" + Ipv4Text(address).substr(0, 11));
    PutText(bootstrap_, REG_USER_NAME, 16, "emulator");
    PutText(bootstrap_, REG_FIRST_URL, REG_URL_BYTES, LocalUrlText(url));
    streamThread_ = std::thread([this] { StreamLoop(); });
}

CameraDevice::~CameraDevice()
{
    stop_ = true;
    if (streamThread_.joinable()) {
        streamThread_.join();
    }
}

void CameraDevice::Run(double seconds)
{
    const Clock::time_point end = started_ + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    const bool terminal = isatty(STDOUT_FILENO) != 0;
    Clock::time_point lastStatus = Clock::now();
    while (!StopRequested() && (seconds <= 0 || Clock::now() < end)) {
        uint32_t from = 0;
        uint16_t fromPort = 0;
        if (std::optional<std::vector<uint8_t>> datagram = gvcp_.ReceiveFrom(50, &from, &fromPort)) {
            ServeCommand(*datagram, from, fromPort);
        }
        CheckHeartbeat();
        const Clock::time_point now = Clock::now();
        if (now - lastStatus >= std::chrono::seconds(terminal ? 1 : 5)) {
            lastStatus = now;
            std::printf(terminal ? "\r%s\x1b[K" : "%s\n", StatusLine().c_str());
            std::fflush(stdout);
        }
    }
    if (terminal) {
        std::printf("\n");
    }
    stop_ = true;
    streamThread_.join();
}

std::string CameraDevice::StatusLine()
{
    std::string who = "no controller";
    {
        std::lock_guard lock(mutex_);
        if (control_.ccp != 0) {
            who = "controlled by " + Ipv4Text(control_.controllerIp);
            if (control_.acquiring && control_.scp0 != 0) {
                who += ", streaming to " + Ipv4Text(control_.scda0) + ":" + std::to_string(control_.scp0 & 0xFFFF);
            }
        }
    }
    char line[256];
    std::snprintf(line, sizeof line,
        "camera %s: %s | %" PRIu64 " blocks, %" PRIu64 " packets, %" PRIu64 " dropped | resent %" PRIu64
        " packets for %" PRIu64 " requests",
        Ipv4Text(address_).c_str(), who.c_str(), counters_.blocksSent.load(), counters_.packetsSent.load(),
        counters_.packetsDropped.load(), counters_.packetsResent.load(), counters_.resendRequests.load());
    return line;
}

// ---- GVCP -------------------------------------------------------------------------------------
void CameraDevice::ServeCommand(const std::vector<uint8_t>& datagram, uint32_t from, uint16_t fromPort)
{
    std::optional<GvcpCommand> command = ParseCommand(datagram);
    if (!command) {
        return;   // not GVCP: a device stays silent
    }
    ++counters_.gvcpCommands;
    if (command->command == GVCP_PACKETRESEND_CMD) {
        if (std::optional<PacketResendRequest> request = ParsePacketResend(*command)) {
            Resend(*request);
        }
        return;   // never acknowledged
    }
    GvcpAck ack = Answer(*command, from, fromPort);
    if ((command->flags & GVCP_FLAG_ACK_REQUIRED) != 0) {
        ack.ackId = command->requestId;
        gvcp_.SendTo(from, fromPort, EncodeAck(ack));
    }
}

GvcpAck CameraDevice::Answer(const GvcpCommand& command, uint32_t from, uint16_t fromPort)
{
    GvcpAck ack;
    ack.answer = static_cast<uint16_t>(command.command + 1);
    const std::vector<uint8_t>& p = command.payload;
    std::lock_guard lock(mutex_);
    // Any command of the controller keeps its control alive.
    if (control_.ccp != 0 && from == control_.controllerIp && fromPort == control_.controllerPort) {
        control_.lastHeard = Clock::now();
    }
    switch (command.command) {
    case GVCP_DISCOVERY_CMD: {
        ack.payload.assign(GVCP_DISCOVERY_ACK_BYTES, 0);
        uint8_t* d = ack.payload.data();
        uint32_t word = 0;
        ReadRegister(REG_VERSION, &word);
        PutBe32(d, word);
        ReadRegister(REG_DEVICE_MODE, &word);
        PutBe32(d + 4, word);
        std::copy(interface_.mac.begin(), interface_.mac.end(), d + 10);
        PutBe32(d + 16, 0x00000007);   // IP configurations supported: persistent, DHCP, link-local
        PutBe32(d + 20, 0x00000001);   // in use: a persistent address
        PutBe32(d + 36, address_);
        PutBe32(d + 52, interface_.netmask);
        std::copy_n(bootstrap_.begin() + REG_MANUFACTURER, GVCP_DISCOVERY_ACK_BYTES - 72, d + 72);
        return ack;
    }
    case GVCP_READREG_CMD: {
        if (p.empty() || p.size() % 4 != 0) {
            ack.status = GVCP_STATUS_INVALID_PARAMETER;
            return ack;
        }
        for (size_t i = 0; i < p.size(); i += 4) {
            uint32_t value = 0;
            ack.status = ReadRegister(GetBe32(&p[i]), &value);
            if (ack.status != GVCP_STATUS_SUCCESS) {
                break;
            }
            ack.payload.resize(i + 4);
            PutBe32(&ack.payload[i], value);
        }
        return ack;
    }
    case GVCP_WRITEREG_CMD: {
        if (p.empty() || p.size() % 8 != 0) {
            ack.status = GVCP_STATUS_INVALID_PARAMETER;
            return ack;
        }
        uint16_t written = 0;
        for (size_t i = 0; i < p.size(); i += 8) {
            ack.status = WriteRegister(GetBe32(&p[i]), GetBe32(&p[i + 4]), from, fromPort);
            if (ack.status != GVCP_STATUS_SUCCESS) {
                break;
            }
            ++written;
        }
        ack.payload.assign(4, 0);
        PutBe16(&ack.payload[2], written);
        return ack;
    }
    case GVCP_READMEM_CMD: {
        if (p.size() < 8) {
            ack.status = GVCP_STATUS_INVALID_PARAMETER;
            return ack;
        }
        const uint32_t address = GetBe32(&p[0]);
        const uint16_t count = GetBe16(&p[6]);
        ack.payload.assign(4, 0);
        PutBe32(ack.payload.data(), address);
        if (count == 0 || count % 4 != 0 || count > GVCP_READMEM_MAX) {
            ack.status = GVCP_STATUS_INVALID_PARAMETER;
            return ack;
        }
        std::vector<uint8_t> bytes;
        ack.status = ReadMemory(address, count, &bytes);
        if (ack.status == GVCP_STATUS_SUCCESS) {
            ack.payload.insert(ack.payload.end(), bytes.begin(), bytes.end());
        }
        return ack;
    }
    default:
        ack.status = GVCP_STATUS_NOT_IMPLEMENTED;
        return ack;
    }
}

uint16_t CameraDevice::ReadRegister(uint32_t address, uint32_t* value) const
{
    if (address % 4 != 0) {
        return GVCP_STATUS_BAD_ALIGNMENT;
    }
    if (address >= REG_MANUFACTURER && address < BOOTSTRAP_STRINGS_END) {
        *value = GetBe32(&bootstrap_[address]);
        return GVCP_STATUS_SUCCESS;
    }
    const MacAddress& mac = interface_.mac;
    switch (address) {
    case REG_VERSION: *value = 0x00020000; break;       // 2.0
    case REG_DEVICE_MODE: *value = 0x80000000; break;   // big-endian registers, a transmitter
    case REG_MAC_HIGH: *value = uint32_t(mac[0]) << 8 | mac[1]; break;
    case REG_MAC_LOW: *value = GetBe32(&mac[2]); break;
    case REG_IP_CONFIG_OPTIONS: *value = 0x00000007; break;
    case REG_IP_CONFIG_CURRENT: *value = 0x00000001; break;
    case REG_CURRENT_IP: *value = address_; break;
    case REG_SUBNET: *value = interface_.netmask; break;
    case REG_GATEWAY: *value = 0; break;
    case REG_STREAM_CHANNELS: *value = 1; break;
    case REG_GVCP_CAPABILITY: *value = 0xC0000002; break;   // user name, serial number, PACKETRESEND
    case REG_HEARTBEAT_TIMEOUT: *value = control_.heartbeatMs; break;
    case REG_CCP: *value = control_.ccp; break;
    case REG_SCP0: *value = control_.scp0; break;
    case REG_SCPS0: *value = control_.scps0; break;
    case REG_SCPD0: *value = control_.scpd0; break;
    case REG_SCDA0: *value = control_.scda0; break;
    case REG_SCSP0: *value = stream_.LocalPort(); break;
    case REG_WIDTH: *value = control_.width; break;
    case REG_HEIGHT: *value = control_.height; break;
    case REG_PIXEL_FORMAT: *value = control_.pixelFormat; break;
    case REG_PAYLOAD_SIZE: *value = static_cast<uint32_t>(PayloadBytes()); break;
    case REG_ACQUISITION_CONTROL: *value = 0; break;   // write-only: reads as no bit set
    default: return GVCP_STATUS_INVALID_ADDRESS;
    }
    return GVCP_STATUS_SUCCESS;
}

uint16_t CameraDevice::WriteRegister(uint32_t address, uint32_t value, uint32_t from, uint16_t fromPort)
{
    if (address % 4 != 0) {
        return GVCP_STATUS_BAD_ALIGNMENT;
    }
    const bool controller = control_.ccp != 0 && from == control_.controllerIp && fromPort == control_.controllerPort;
    if (address == REG_CCP) {
        if (control_.ccp != 0 && !controller) {
            return GVCP_STATUS_ACCESS_DENIED;
        }
        if ((value & (CCP_CONTROL | CCP_EXCLUSIVE)) == 0) {
            // Released: the stream stops with the control it belonged to.
            Control released;
            released.heartbeatMs = control_.heartbeatMs;
            released.scps0 = control_.scps0;
            released.width = control_.width;
            released.height = control_.height;
            released.pixelFormat = control_.pixelFormat;
            control_ = released;
            return GVCP_STATUS_SUCCESS;
        }
        if (!controller) {
            ++counters_.controlTaken;
            control_.nextBlockId = 1;
            std::printf("camera %s: %s:%u took control\n", Ipv4Text(address_).c_str(), Ipv4Text(from).c_str(), fromPort);
            std::fflush(stdout);
        }
        control_.ccp = value & (CCP_CONTROL | CCP_EXCLUSIVE);
        control_.controllerIp = from;
        control_.controllerPort = fromPort;
        control_.lastHeard = Clock::now();
        return GVCP_STATUS_SUCCESS;
    }
    if (!controller) {
        return GVCP_STATUS_ACCESS_DENIED;
    }
    const auto whileIdle = [&](uint32_t& field, uint32_t low, uint32_t high) {
        if (control_.acquiring) {
            return GVCP_STATUS_WRITE_PROTECT;   // the image format holds while the stream runs
        }
        if (value < low || value > high) {
            return GVCP_STATUS_INVALID_PARAMETER;
        }
        const uint32_t old = field;
        field = value;
        if (PayloadBytes() > PAYLOAD_MAX) {
            field = old;
            return GVCP_STATUS_INVALID_PARAMETER;
        }
        return GVCP_STATUS_SUCCESS;
    };
    switch (address) {
    case REG_HEARTBEAT_TIMEOUT: control_.heartbeatMs = std::max(value, HEARTBEAT_MIN_MS); return GVCP_STATUS_SUCCESS;
    case REG_SCP0: control_.scp0 = value & 0xFFFF; return GVCP_STATUS_SUCCESS;
    case REG_SCPS0: {
        // The test-packet bit asks for nothing this device sends; only size and do-not-fragment stay.
        const uint32_t size = value & SCPS_SIZE_MASK;
        if (size < PACKET_SIZE_MIN || size > PACKET_SIZE_MAX) {
            return GVCP_STATUS_INVALID_PARAMETER;
        }
        control_.scps0 = value & (SCPS_DO_NOT_FRAGMENT | SCPS_SIZE_MASK);
        return GVCP_STATUS_SUCCESS;
    }
    case REG_SCPD0: control_.scpd0 = value; return GVCP_STATUS_SUCCESS;
    case REG_SCDA0: control_.scda0 = value; return GVCP_STATUS_SUCCESS;
    case REG_WIDTH: return whileIdle(control_.width, 1, 16384);
    case REG_HEIGHT: return whileIdle(control_.height, 1, 16384);
    case REG_PIXEL_FORMAT:
        if (camera::BytesPerPixel(value) == 0) {
            return GVCP_STATUS_INVALID_PARAMETER;
        }
        return whileIdle(control_.pixelFormat, 0, UINT32_MAX);
    case REG_ACQUISITION_CONTROL:
        if ((value & ACQUISITION_STOP_BIT) != 0) {
            control_.acquiring = false;
        } else if ((value & ACQUISITION_START_BIT) != 0) {
            control_.acquiring = true;
        }
        return GVCP_STATUS_SUCCESS;
    default: {
        uint32_t unused = 0;
        return ReadRegister(address, &unused) == GVCP_STATUS_SUCCESS ? GVCP_STATUS_WRITE_PROTECT : GVCP_STATUS_INVALID_ADDRESS;
    }
    }
}

uint16_t CameraDevice::ReadMemory(uint32_t address, size_t count, std::vector<uint8_t>* bytes) const
{
    // The description file, padded with zeros to whole words.
    const uint64_t fileEnd = uint64_t{XML_FILE_ADDRESS} + (xmlFile_.size() + 3) / 4 * 4;
    if (address >= XML_FILE_ADDRESS && address + uint64_t{count} <= fileEnd) {
        bytes->assign(count, 0);
        const size_t offset = address - XML_FILE_ADDRESS;
        const size_t n = std::min(count, xmlFile_.size() - std::min(offset, xmlFile_.size()));
        std::copy_n(xmlFile_.begin() + static_cast<std::ptrdiff_t>(std::min(offset, xmlFile_.size())), n, bytes->begin());
        return GVCP_STATUS_SUCCESS;
    }
    bytes->clear();
    for (size_t i = 0; i < count; i += 4) {
        uint32_t value = 0;
        const uint16_t status = ReadRegister(static_cast<uint32_t>(address + i), &value);
        if (status != GVCP_STATUS_SUCCESS) {
            return status;
        }
        bytes->resize(i + 4);
        PutBe32(&(*bytes)[i], value);
    }
    return GVCP_STATUS_SUCCESS;
}

void CameraDevice::CheckHeartbeat()
{
    std::lock_guard lock(mutex_);
    if (control_.ccp != 0 && Clock::now() - control_.lastHeard > std::chrono::milliseconds(control_.heartbeatMs)) {
        std::printf("camera %s: the heartbeat of %s expired; control released and the stream stopped\n",
            Ipv4Text(address_).c_str(), Ipv4Text(control_.controllerIp).c_str());
        std::fflush(stdout);
        ++counters_.heartbeatExpiries;
        control_.ccp = 0;
        control_.acquiring = false;
        control_.scp0 = 0;
        control_.scda0 = 0;
    }
}

// ---- The stream -------------------------------------------------------------------------------
void CameraDevice::Resend(const PacketResendRequest& request)
{
    ++counters_.resendRequests;
    std::vector<std::vector<uint8_t>> packets;
    uint32_t destination = 0;
    uint16_t port = 0;
    {
        std::lock_guard lock(mutex_);
        destination = control_.scda0;
        port = static_cast<uint16_t>(control_.scp0);
        for (const KeptBlock& block : kept_) {
            if (request.streamChannel != 0 || request.extendedIds || (block.blockId & 0xFFFF) != request.blockId) {
                continue;
            }
            const uint32_t trailer = static_cast<uint32_t>(block.packets.size() - 1);
            const uint32_t last = request.toEnd ? trailer : std::min(request.lastPacketId, trailer);
            for (uint64_t id = request.firstPacketId; id <= last; ++id) {
                packets.push_back(block.packets[id]);
            }
        }
    }
    if (packets.empty() || destination == 0 || port == 0) {
        ++counters_.resendRequestsUnanswered;
        return;
    }
    for (std::vector<uint8_t>& packet : packets) {
        PutBe16(packet.data(), camera::GVSP_STATUS_RESEND);
        if (stream_.SendTo(destination, port, packet)) {
            ++counters_.packetsResent;
        } else {
            ++counters_.sendErrors;
        }
    }
}

void CameraDevice::StreamLoop()
{
    std::mt19937_64 random(options_.seed);
    std::uniform_real_distribution<double> unit(0, 100);
    const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1 / options_.fps));
    Clock::time_point next = Clock::now();
    bool reportedSendError = false;
    while (!stop_) {
        camera::CameraConfig config;
        uint32_t destination = 0;
        uint16_t port = 0;
        uint64_t blockId = 0;
        {
            std::lock_guard lock(mutex_);
            if (control_.acquiring && control_.scda0 != 0 && control_.scp0 != 0) {
                destination = control_.scda0;
                port = static_cast<uint16_t>(control_.scp0);
                blockId = control_.nextBlockId;
                control_.nextBlockId = (blockId + 1) & 0xFFFF;   // 16-bit wrap, as the block ids count
                control_.nextBlockId += control_.nextBlockId == 0 ? 1 : 0;
                config.payloadSize = static_cast<uint32_t>(PayloadBytes());
                config.packetSize = (control_.scps0 & SCPS_SIZE_MASK) - IP_UDP_HEADER_BYTES;
                config.pixelFormat = control_.pixelFormat;
                config.sizeX = control_.width;
                config.sizeY = control_.height;
            }
        }
        if (destination == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            next = Clock::now();
            continue;
        }
        config.content = camera::Content::TestPattern;
        const uint64_t timestamp = static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - started_).count());
        // The block is kept before its first packet leaves: a request for a packet lost on the way can
        // come back before the last one is out. Only this thread adds or drops kept blocks, so it
        // reads its own block without the lock while the GVCP thread copies from it under the lock.
        const KeptBlock* block = nullptr;
        {
            KeptBlock built{blockId, camera::BuildGvspPackets(config, blockId, timestamp)};
            std::lock_guard lock(mutex_);
            kept_.push_back(std::move(built));
            while (kept_.size() > std::max<uint32_t>(options_.keptBlocks, 1)) {
                kept_.pop_front();
            }
            block = &kept_.back();
        }
        for (const std::vector<uint8_t>& packet : block->packets) {
            if (unit(random) < options_.loss) {
                ++counters_.packetsDropped;   // lost on the way; a resend can still bring it
                continue;
            }
            if (stream_.SendTo(destination, port, packet)) {
                ++counters_.packetsSent;
            } else {
                ++counters_.sendErrors;
                if (!reportedSendError) {
                    reportedSendError = true;
                    std::fprintf(stderr, "gvspfilter camera: cannot send a %zu-byte stream packet to %s:%u: %s\n",
                        packet.size(), Ipv4Text(destination).c_str(), port, std::strerror(errno));
                }
            }
        }
        ++counters_.blocksSent;
        next += period;
        const Clock::time_point now = Clock::now();
        if (next < now) {
            next = now;   // running late: the next block leaves at once, the rate drops
        }
        std::this_thread::sleep_until(next);
    }
}

int RunCamera(const DeviceOptions& o)
{
    const uint32_t address = ParseIpv4(o.address, "--address");
    const uint32_t pixelFormat = ParsePixelFormat(o.pixelFormat);
    const uint64_t payload = uint64_t(o.width) * o.height * camera::BytesPerPixel(pixelFormat);
    if (o.width == 0 || o.height == 0 || o.width > 16384 || o.height > 16384 || payload > PAYLOAD_MAX) {
        throw UsageError("a " + std::to_string(o.width) + "x" + std::to_string(o.height) + " " + o.pixelFormat +
                         " frame is out of range (1 to 16384 pixels a side, at most 256 MiB of payload)");
    }
    if (!(o.loss >= 0 && o.loss <= 50)) {
        throw UsageError("--loss takes a percentage from 0 to 50");
    }
    if (!(o.fps > 0 && o.fps <= 1000)) {
        throw UsageError("--fps takes a rate above 0 and up to 1000 frames/s");
    }
    if (!(o.seconds >= 0)) {
        throw UsageError("--seconds takes a duration of 0 (until stopped) or more");
    }
    if (o.keptBlocks == 0 || o.keptBlocks > 1024) {
        throw UsageError("--kept-blocks takes 1 to 1024");
    }
    const InterfaceInfo interface = InterfaceWithAddress(address);

    CatchStopSignals();
    CameraDevice device(o, address, interface);
    std::printf("camera %s on %s (%s): GVCP on UDP %u, %ux%u %s at %.1f frames/s, %.2f%% loss, %s description\n",
        o.address.c_str(), interface.name.c_str(), MacText(interface.mac).c_str(), GVCP_PORT, o.width, o.height,
        o.pixelFormat.c_str(), o.fps, o.loss, o.zipXml ? "zipped" : "plain");
    std::fflush(stdout);
    device.Run(o.seconds);

    const DeviceCounters& c = device.Counters();
    std::printf("gvspfilter camera: %" PRIu64 " blocks sent in %" PRIu64 " packets, %" PRIu64
                " dropped on purpose, %" PRIu64 " send errors\n"
                "  resends:   %" PRIu64 " requests, %" PRIu64 " unanswered, %" PRIu64 " packets resent\n"
                "  control:   %" PRIu64 " times taken, %" PRIu64 " heartbeat expiries, %" PRIu64 " GVCP commands\n",
        c.blocksSent.load(), c.packetsSent.load(), c.packetsDropped.load(), c.sendErrors.load(),
        c.resendRequests.load(), c.resendRequestsUnanswered.load(), c.packetsResent.load(), c.controlTaken.load(),
        c.heartbeatExpiries.load(), c.gvcpCommands.load());
    if (!o.jsonPath.empty()) {
        nlohmann::json report;
        report["command"] = "camera";
        report["settings"] = {{"address", o.address}, {"interface", interface.name}, {"width", o.width},
            {"height", o.height}, {"pixel_format", o.pixelFormat}, {"fps", o.fps}, {"loss_percent", o.loss},
            {"seed", o.seed}, {"zip_xml", o.zipXml}, {"kept_blocks", o.keptBlocks}};
        report["blocks_sent"] = c.blocksSent.load();
        report["packets_sent"] = c.packetsSent.load();
        report["packets_dropped"] = c.packetsDropped.load();
        report["send_errors"] = c.sendErrors.load();
        report["resend_requests"] = c.resendRequests.load();
        report["resend_requests_unanswered"] = c.resendRequestsUnanswered.load();
        report["packets_resent"] = c.packetsResent.load();
        report["control_taken"] = c.controlTaken.load();
        report["heartbeat_expiries"] = c.heartbeatExpiries.load();
        report["gvcp_commands"] = c.gvcpCommands.load();
        report["exit_status"] = 0;
        std::ofstream out(o.jsonPath);
        out << report.dump(2) << "\n";
        if (!out) {
            throw RunError("cannot write the report to '" + o.jsonPath + "'");
        }
    }
    return 0;
}

}  // namespace

void AddCameraCommand(CLI::App& app, CommandList& commands)
{
    auto options = std::make_shared<DeviceOptions>();
    CLI::App* command = app.add_subcommand("camera", "Run the camera emulator as a GigE Vision device on a real UDP socket");
    command->add_option("--address", options->address, "IPv4 address of this machine to serve GVCP and stream from")->required();
    command->add_option("--width", options->width, "Image width in pixels")->capture_default_str();
    command->add_option("--height", options->height, "Image height in pixels")->capture_default_str();
    command->add_option("--pixel-format", options->pixelFormat, "mono8, mono16 or rgb8")->capture_default_str();
    command->add_option("--fps", options->fps, "Frames per second while acquiring")->capture_default_str();
    command->add_option("--loss", options->loss, "First transmissions lost at random, in percent")->capture_default_str();
    command->add_option("--seed", options->seed, "Seed of the random loss")->capture_default_str();
    command->add_flag("--zip-xml", options->zipXml, "Serve the GenICam description zipped");
    command->add_option("--seconds", options->seconds, "Stop after this long (0: at Ctrl-C)")->capture_default_str();
    command->add_option("--kept-blocks", options->keptBlocks, "Blocks kept for resends")->capture_default_str();
    command->add_option("--json", options->jsonPath, "Write the final report as JSON to FILE");
    commands.emplace_back(command, [options] { return RunCamera(*options); });
}

}  // namespace gvspfilter
