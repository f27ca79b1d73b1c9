// `gvspfilter camera`: the camera emulator as a GigE Vision device on real UDP sockets. It answers
// GVCP on port 3956 of every address of its machine (DISCOVERY, registers, memory, its own GenICam
// description), keeps the heartbeat rules and streams its test picture over GVSP to the
// destination a controller set, answering PACKETRESEND. Host only: one thread serves GVCP, one
// streams, one resends.
#include "tools/camera_device.h"

#include <CLI/CLI.hpp>

#include <bit>
#include <cinttypes>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <random>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "camera/camera.h"
#include "tools/commands.h"
#include "tools/genicam.h"
#include "tools/image.h"
#include "tools/stop_signal.h"

namespace gvspfilter {

namespace {


// The largest payload, a whole sensor of RGB8 (the widest pixel), 48 MiB: the leader and the
// PayloadSize register carry it in 32 bits.
static_assert(uint64_t{SENSOR_WIDTH} * SENSOR_HEIGHT * 3 == uint64_t(48) << 20);
// The blocks kept for resends hold at most this many bytes together; the newest is kept whatever
// its size.
constexpr uint64_t KEPT_BYTES_MAX = uint64_t(64) << 20;
// The pace resent packets leave at, with a burst of a quarter of a second's worth after a quiet
// spell; requests beyond the queue's room are dropped.
constexpr double RESEND_BYTES_PER_SECOND = 32 << 20;
constexpr std::chrono::milliseconds RESEND_BURST{250};
constexpr size_t RESEND_QUEUE_MAX = 64;
// Room for a storm of small commands while the GVCP thread catches up.
constexpr int GVCP_RECEIVE_BUFFER = 1 << 20;
constexpr uint32_t PACKET_SIZE_MIN = 576;     // IPv4 and UDP headers included
constexpr uint32_t PACKET_SIZE_MAX = 16000;
constexpr uint32_t HEARTBEAT_MIN_MS = 500;
constexpr uint32_t PACKET_DELAY_MAX = 100000;   // timestamp ticks (us) between two stream packets
constexpr uint32_t TICKS_PER_SECOND = 1000000;  // the timestamp counts microseconds
constexpr uint32_t PENDING_TIMEOUT_MS = 200;    // no command takes longer to answer
constexpr uint32_t BOOTSTRAP_STRINGS_END = 0x0600;   // manufacturer name up to the second URL's end
constexpr uint32_t USER_NAME_BYTES = 16;
// What this device implements of the optional GVCP.
constexpr uint32_t GVCP_CAPABILITIES = GVCP_CAPABILITY_USER_NAME | GVCP_CAPABILITY_SERIAL_NUMBER |
    GVCP_CAPABILITY_PRIMARY_APPLICATION | GVCP_CAPABILITY_PACKETRESEND | GVCP_CAPABILITY_WRITEMEM;
// Largest GVCP payload of a command or acknowledge: a 576-byte datagram less its headers.
constexpr size_t GVCP_PAYLOAD_MAX = 540;

void PutText(std::vector<uint8_t>& image, uint32_t address, size_t room, const std::string& text)
{
    std::copy_n(text.begin(), std::min(text.size(), room - 1), image.begin() + address);
}

bool InRange(uint32_t address, uint32_t first, uint32_t bytes) { return address >= first && address - first < bytes; }

}  // namespace

CameraDevice::CameraDevice(const DeviceOptions& options, uint32_t address, const InterfaceInfo& interface)
    : options_(options), address_(address), interface_(interface), gvcp_(0, options.gvcpPort), stream_(address, 0)
{
    gvcp_.SetReceiveBuffer(GVCP_RECEIVE_BUFFER);
    stream_.SetSendBuffer(4 << 20);
    stream_.ForbidFragments();
    control_.width = options.width;
    control_.height = options.height;
    control_.pixelFormat = ParsePixelFormat(options.pixelFormat);
    control_.frameRate = static_cast<float>(options.fps);
    control_.timestampZero = started_;

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
    xmlFile_.resize((xmlFile_.size() + 3) / 4 * 4, 0);   // read in whole words

    bootstrap_.assign(BOOTSTRAP_STRINGS_END, 0);
    PutText(bootstrap_, REG_MANUFACTURER, 32, "GvspFilter");
    PutText(bootstrap_, REG_MODEL, 32, "Camera emulator");
    PutText(bootstrap_, REG_DEVICE_VERSION, 32, "1.1");
    PutText(bootstrap_, REG_MANUFACTURER_INFO, 48, "gvspfilter camera");
    PutText(bootstrap_, REG_SERIAL, 16, "EMU-" + Ipv4Text(address).substr(0, 11));
    PutText(bootstrap_, REG_USER_NAME, USER_NAME_BYTES, "emulator");
    PutText(bootstrap_, REG_FIRST_URL, REG_URL_BYTES, LocalUrlText(url));
    streamThread_ = std::thread([this] { StreamLoop(); });
    senderThread_ = std::thread([this] { SendLoop(); });
}

CameraDevice::~CameraDevice() { Shutdown(); }

void CameraDevice::Shutdown()
{
    {
        std::lock_guard lock(resendMutex_);   // the sender sees it before it waits again
        stop_ = true;
    }
    resendQueued_.notify_all();
    for (std::thread* thread : {&streamThread_, &senderThread_}) {
        if (thread->joinable()) {
            thread->join();
        }
    }
}

void CameraDevice::Run(double seconds)
{
    const Clock::time_point end = started_ + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    const bool terminal = isatty(STDOUT_FILENO) != 0;
    Clock::time_point lastStatus = Clock::now();
    while (!stop_ && !StopRequested() && (seconds <= 0 || Clock::now() < end)) {
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
    Shutdown();
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

uint64_t CameraDevice::PayloadBytes() const
{
    return uint64_t(control_.width) * control_.height * camera::BytesPerPixel(control_.pixelFormat);
}

uint64_t CameraDevice::Timestamp() const
{
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - control_.timestampZero).count());
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
        if (std::optional<PacketResend> request = ParsePacketResend(*command)) {
            QueueResend(*request, from);
        }
        return;   // never acknowledged
    }
    if (command->command == GVCP_FORCEIP_CMD &&
        (command->payload.size() < 8 || !std::equal(interface_.mac.begin(), interface_.mac.end(), &command->payload[2]))) {
        return;   // meant for another device
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
    const bool controller = control_.ccp != 0 && from == control_.controllerIp && fromPort == control_.controllerPort;
    if (controller) {
        control_.lastHeard = Clock::now();   // any command of the controller keeps its control alive
    }
    const bool access = controller || (control_.ccp & CCP_EXCLUSIVE) == 0;   // exclusive control: others may not read
    switch (command.command) {
    case GVCP_DISCOVERY_CMD: {
        ack.payload.assign(GVCP_DISCOVERY_ACK_BYTES, 0);
        uint8_t* d = ack.payload.data();
        uint32_t word = 0;
        ReadRegister(REG_VERSION, &word);
        WriteBigEndian32(d, word);
        ReadRegister(REG_DEVICE_MODE, &word);
        WriteBigEndian32(d + 4, word);
        std::copy(interface_.mac.begin(), interface_.mac.end(), d + 10);
        ReadRegister(REG_IP_CONFIG_OPTIONS, &word);
        WriteBigEndian32(d + 16, word);
        ReadRegister(REG_IP_CONFIG_CURRENT, &word);
        WriteBigEndian32(d + 20, word);
        WriteBigEndian32(d + 36, address_);
        WriteBigEndian32(d + 52, interface_.netmask);
        std::copy_n(bootstrap_.begin() + REG_MANUFACTURER, GVCP_DISCOVERY_ACK_BYTES - 72, d + 72);
        return ack;
    }
    case GVCP_READREG_CMD: {
        if (p.empty() || p.size() % 4 != 0 || p.size() > GVCP_PAYLOAD_MAX) {
            ack.status = GVCP_STATUS_INVALID_PARAMETER;
            return ack;
        }
        for (size_t i = 0; i < p.size(); i += 4) {
            uint32_t value = 0;
            ack.status = access ? ReadRegister(ReadBigEndian32(&p[i]), &value) : GVCP_STATUS_ACCESS_DENIED;
            if (ack.status != GVCP_STATUS_SUCCESS) {
                break;
            }
            ack.payload.resize(i + 4);
            WriteBigEndian32(&ack.payload[i], value);
        }
        return ack;
    }
    case GVCP_WRITEREG_CMD: {
        if (p.empty() || p.size() % 8 != 0 || p.size() > GVCP_PAYLOAD_MAX) {
            ack.status = GVCP_STATUS_INVALID_PARAMETER;
            return ack;
        }
        uint16_t written = 0;
        for (size_t i = 0; i < p.size(); i += 8) {
            ack.status = WriteRegister(ReadBigEndian32(&p[i]), ReadBigEndian32(&p[i + 4]), from, fromPort);
            if (ack.status != GVCP_STATUS_SUCCESS) {
                break;
            }
            ++written;
        }
        ack.payload.assign(4, 0);
        WriteBigEndian16(&ack.payload[2], written);
        return ack;
    }
    case GVCP_READMEM_CMD: {
        if (p.size() < 8) {
            ack.status = GVCP_STATUS_INVALID_PARAMETER;
            return ack;
        }
        const uint32_t address = ReadBigEndian32(&p[0]);
        const uint16_t count = ReadBigEndian16(&p[6]);
        ack.payload.assign(4, 0);
        WriteBigEndian32(ack.payload.data(), address);
        if (count == 0 || count % 4 != 0 || count > GVCP_READMEM_MAX) {
            ack.status = GVCP_STATUS_INVALID_PARAMETER;
            return ack;
        }
        std::vector<uint8_t> bytes;
        ack.status = access ? ReadMemory(address, count, &bytes) : GVCP_STATUS_ACCESS_DENIED;
        if (ack.status == GVCP_STATUS_SUCCESS) {
            ack.payload.insert(ack.payload.end(), bytes.begin(), bytes.end());
        }
        return ack;
    }
    case GVCP_WRITEMEM_CMD: {
        // The address, then the data: whole words, written in order until one is refused; the
        // answer says how many bytes were written.
        const size_t count = p.size() < 4 ? 0 : p.size() - 4;
        ack.payload.assign(4, 0);
        if (count == 0 || count % 4 != 0 || count > GVCP_WRITEMEM_MAX) {
            ack.status = GVCP_STATUS_INVALID_PARAMETER;
            return ack;
        }
        const uint64_t address = ReadBigEndian32(&p[0]);
        size_t written = 0;
        for (; written < count; written += 4) {
            ack.status = address + written > UINT32_MAX
                             ? GVCP_STATUS_INVALID_ADDRESS
                             : WriteRegister(static_cast<uint32_t>(address + written), ReadBigEndian32(&p[4 + written]), from, fromPort);
            if (ack.status != GVCP_STATUS_SUCCESS) {
                break;
            }
        }
        WriteBigEndian16(&ack.payload[2], static_cast<uint16_t>(written));
        return ack;
    }
    default:
        // FORCEIP for this device too: its address is the machine's, not the device's to change.
        ack.status = GVCP_STATUS_NOT_IMPLEMENTED;
        return ack;
    }
}

uint16_t CameraDevice::ReadRegister(uint32_t address, uint32_t* value) const
{
    if (address % 4 != 0) {
        return GVCP_STATUS_BAD_ALIGNMENT;
    }
    if (InRange(address, REG_MANUFACTURER, BOOTSTRAP_STRINGS_END - REG_MANUFACTURER)) {
        *value = ReadBigEndian32(&bootstrap_[address]);
        return GVCP_STATUS_SUCCESS;
    }
    if (InRange(address, XML_FILE_ADDRESS, static_cast<uint32_t>(xmlFile_.size()))) {
        *value = ReadBigEndian32(&xmlFile_[address - XML_FILE_ADDRESS]);
        return GVCP_STATUS_SUCCESS;
    }
    const MacAddress& mac = interface_.mac;
    switch (address) {
    case REG_VERSION: *value = 0x00020000; break;       // 2.0
    case REG_DEVICE_MODE: *value = 0x80000001; break;   // big-endian registers, a transmitter, UTF-8 texts
    case REG_MAC_HIGH: *value = uint32_t(mac[0]) << 8 | mac[1]; break;
    case REG_MAC_LOW: *value = ReadBigEndian32(&mac[2]); break;
    case REG_IP_CONFIG_OPTIONS: *value = 0x00000007; break;   // persistent, DHCP, link-local
    case REG_IP_CONFIG_CURRENT: *value = 0x00000005; break;   // persistent, and link-local as always
    case REG_CURRENT_IP:
    case REG_PERSISTENT_IP: *value = address_; break;
    case REG_SUBNET:
    case REG_PERSISTENT_SUBNET: *value = interface_.netmask; break;
    case REG_GATEWAY:
    case REG_PERSISTENT_GATEWAY: *value = 0; break;
    case REG_NETWORK_INTERFACES: *value = 1; break;
    case REG_MESSAGE_CHANNELS: *value = 0; break;
    case REG_STREAM_CHANNELS: *value = 1; break;
    case REG_GVSP_CAPABILITY: *value = GVSP_CAPABILITY_SCSP | GVSP_CAPABILITY_16_BIT_BLOCK_ID; break;
    case REG_MESSAGE_CAPABILITY: *value = 0; break;
    case REG_GVCP_CAPABILITY: *value = GVCP_CAPABILITIES; break;
    case REG_HEARTBEAT_TIMEOUT: *value = control_.heartbeatMs; break;
    case REG_TIMESTAMP_FREQUENCY_HIGH: *value = 0; break;
    case REG_TIMESTAMP_FREQUENCY_LOW: *value = TICKS_PER_SECOND; break;
    case REG_TIMESTAMP_VALUE_HIGH: *value = static_cast<uint32_t>(control_.latchedTimestamp >> 32); break;
    case REG_TIMESTAMP_VALUE_LOW: *value = static_cast<uint32_t>(control_.latchedTimestamp); break;
    case REG_GVCP_CONFIGURATION: *value = 0; break;   // no optional behaviour to switch on
    case REG_PENDING_TIMEOUT: *value = PENDING_TIMEOUT_MS; break;
    case REG_CCP: *value = control_.ccp; break;
    case REG_PRIMARY_APPLICATION_PORT: *value = control_.controllerPort; break;
    case REG_PRIMARY_APPLICATION_IP: *value = control_.controllerIp; break;
    case REG_SCP0: *value = control_.scp0; break;
    case REG_SCPS0: *value = control_.scps0; break;
    case REG_SCPD0: *value = control_.scpd0; break;
    case REG_SCDA0: *value = control_.scda0; break;
    case REG_SCSP0: *value = stream_.LocalPort(); break;
    case REG_SCC0:
    case REG_SCCFG0: *value = 0; break;   // none of the optional stream features
    case REG_WIDTH: *value = control_.width; break;
    case REG_HEIGHT: *value = control_.height; break;
    case REG_OFFSET_X: *value = control_.offsetX; break;
    case REG_OFFSET_Y: *value = control_.offsetY; break;
    case REG_PIXEL_FORMAT: *value = control_.pixelFormat; break;
    case REG_PAYLOAD_SIZE: *value = static_cast<uint32_t>(PayloadBytes()); break;
    case REG_ACQUISITION_MODE: *value = 0; break;
    case REG_TRIGGER_MODE: *value = control_.triggerMode; break;
    case REG_ACQUISITION_FRAME_RATE: *value = std::bit_cast<uint32_t>(control_.frameRate); break;
    case REG_EXPOSURE_TIME: *value = std::bit_cast<uint32_t>(control_.exposureTime); break;
    case REG_GAIN: *value = std::bit_cast<uint32_t>(control_.gain); break;
    // Write-only: they read as no bit set.
    case REG_ACQUISITION_CONTROL:
    case REG_TIMESTAMP_CONTROL: *value = 0; break;
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
            EndControl();
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
    // The image format holds while the stream runs.
    const auto whileIdle = [&](uint32_t& field, uint32_t low, uint32_t high) {
        if (control_.acquiring) {
            return GVCP_STATUS_WRITE_PROTECT;
        }
        if (value < low || value > high) {
            return GVCP_STATUS_INVALID_PARAMETER;
        }
        field = value;
        return GVCP_STATUS_SUCCESS;
    };
    const auto setFloat = [&](float& field, float low, float high) {
        const float number = std::bit_cast<float>(value);
        if (!(number >= low && number <= high)) {   // NaN too
            return GVCP_STATUS_INVALID_PARAMETER;
        }
        field = number;
        return GVCP_STATUS_SUCCESS;
    };
    if (InRange(address, REG_USER_NAME, USER_NAME_BYTES)) {
        WriteBigEndian32(&bootstrap_[address], value);
        return GVCP_STATUS_SUCCESS;
    }
    switch (address) {
    case REG_HEARTBEAT_TIMEOUT: control_.heartbeatMs = std::max(value, HEARTBEAT_MIN_MS); return GVCP_STATUS_SUCCESS;
    case REG_TIMESTAMP_CONTROL:
        if ((value & TIMESTAMP_LATCH) != 0) {
            control_.latchedTimestamp = Timestamp();
        }
        if ((value & TIMESTAMP_RESET) != 0) {
            control_.timestampZero = Clock::now();
        }
        return GVCP_STATUS_SUCCESS;
    case REG_SCP0: control_.scp0 = value & 0xFFFF; return GVCP_STATUS_SUCCESS;
    case REG_SCPS0: {
        const uint32_t size = value & SCPS_SIZE_MASK;
        if (size < PACKET_SIZE_MIN || size > PACKET_SIZE_MAX) {
            return GVCP_STATUS_INVALID_PARAMETER;
        }
        control_.scps0 = value & (SCPS_DO_NOT_FRAGMENT | SCPS_SIZE_MASK);
        if ((value & SCPS_FIRE_TEST_PACKET) != 0) {
            FireTestPacket(size);
        }
        return GVCP_STATUS_SUCCESS;
    }
    case REG_SCPD0:
        if (value > PACKET_DELAY_MAX) {
            return GVCP_STATUS_INVALID_PARAMETER;
        }
        control_.scpd0 = value;
        return GVCP_STATUS_SUCCESS;
    case REG_SCDA0: control_.scda0 = value; return GVCP_STATUS_SUCCESS;
    case REG_SCCFG0: return GVCP_STATUS_SUCCESS;   // SCC0 offers no feature: every bit stays off
    case REG_WIDTH: return whileIdle(control_.width, 1, SENSOR_WIDTH - control_.offsetX);
    case REG_HEIGHT: return whileIdle(control_.height, 1, SENSOR_HEIGHT - control_.offsetY);
    case REG_OFFSET_X: return whileIdle(control_.offsetX, 0, SENSOR_WIDTH - control_.width);
    case REG_OFFSET_Y: return whileIdle(control_.offsetY, 0, SENSOR_HEIGHT - control_.height);
    case REG_PIXEL_FORMAT:
        if (camera::BytesPerPixel(value) == 0) {
            return GVCP_STATUS_INVALID_PARAMETER;
        }
        return whileIdle(control_.pixelFormat, 0, UINT32_MAX);
    case REG_ACQUISITION_MODE: return value == 0 ? GVCP_STATUS_SUCCESS : GVCP_STATUS_INVALID_PARAMETER;
    case REG_TRIGGER_MODE:
        if (value > 1) {
            return GVCP_STATUS_INVALID_PARAMETER;
        }
        control_.triggerMode = value;
        return GVCP_STATUS_SUCCESS;
    case REG_ACQUISITION_CONTROL:
        if ((value & ACQUISITION_STOP_BIT) != 0) {
            control_.acquiring = false;
            control_.triggered = false;
        } else if ((value & ACQUISITION_START_BIT) != 0) {
            control_.acquiring = true;
        }
        // A trigger while the last one's frame is still to come, or outside triggered
        // acquisition, is lost, as on a camera.
        control_.triggered |= (value & TRIGGER_SOFTWARE_BIT) != 0 && control_.acquiring && control_.triggerMode == 1;
        return GVCP_STATUS_SUCCESS;
    case REG_ACQUISITION_FRAME_RATE: return setFloat(control_.frameRate, 0.1f, 1000);
    case REG_EXPOSURE_TIME: return setFloat(control_.exposureTime, 10, 1000000);
    case REG_GAIN: return setFloat(control_.gain, 0, 24);
    default: {
        uint32_t unused = 0;
        return ReadRegister(address, &unused) == GVCP_STATUS_SUCCESS ? GVCP_STATUS_WRITE_PROTECT : GVCP_STATUS_INVALID_ADDRESS;
    }
    }
}

uint16_t CameraDevice::ReadMemory(uint32_t address, size_t count, std::vector<uint8_t>* bytes) const
{
    bytes->assign(count, 0);
    for (size_t i = 0; i < count; i += 4) {
        uint32_t value = 0;
        const uint16_t status = address + uint64_t{i} > UINT32_MAX ? GVCP_STATUS_INVALID_ADDRESS
                                                                   : ReadRegister(static_cast<uint32_t>(address + i), &value);
        if (status != GVCP_STATUS_SUCCESS) {
            return status;
        }
        WriteBigEndian32(&(*bytes)[i], value);
    }
    return GVCP_STATUS_SUCCESS;
}

void CameraDevice::EndControl()
{
    // The stream ends with the control it belonged to; the settings stay for the next controller.
    control_.ccp = 0;
    control_.controllerIp = 0;
    control_.controllerPort = 0;
    control_.scp0 = 0;
    control_.scda0 = 0;
    control_.acquiring = false;
    control_.triggered = false;
}

void CameraDevice::CheckHeartbeat()
{
    std::lock_guard lock(mutex_);
    if (control_.ccp != 0 && Clock::now() - control_.lastHeard > std::chrono::milliseconds(control_.heartbeatMs)) {
        std::printf("camera %s: the heartbeat of %s expired; control released and the stream stopped\n",
            Ipv4Text(address_).c_str(), Ipv4Text(control_.controllerIp).c_str());
        std::fflush(stdout);
        ++counters_.heartbeatExpiries;
        EndControl();
    }
}

// ---- The stream -------------------------------------------------------------------------------
void CameraDevice::FireTestPacket(uint32_t packetSize)
{
    // A datagram of the packet size asked for, with the stream's do-not-fragment rule: one that
    // does not fit the link fails to leave, which is what the controller probes for.
    if (control_.scda0 == 0 || control_.scp0 == 0) {
        return;
    }
    const std::vector<uint8_t> packet(packetSize - IP_UDP_HEADERS_SIZE, 0);
    if (!stream_.SendTo(control_.scda0, static_cast<uint16_t>(control_.scp0), packet)) {
        ++counters_.sendErrors;
    }
}

void CameraDevice::QueueResend(const PacketResend& request, uint32_t from)
{
    ++counters_.resendRequests;
    {
        // Only the controller's host and the stream's destination may ask: a request costs a few
        // bytes, its answer up to a whole block.
        std::lock_guard lock(mutex_);
        if (control_.ccp == 0 || (from != control_.controllerIp && from != control_.scda0)) {
            ++counters_.resendRequestsRefused;
            return;
        }
        KeptBlock* block = FindKept(request);
        if (block == nullptr || request.FirstPacketId >= block->packets->size() ||
            request.LastPacketId < request.FirstPacketId) {
            ++counters_.resendRequestsUnanswered;
            return;
        }
        if (block->resendRequests == RESEND_REQUESTS_PER_BLOCK) {
            ++counters_.resendRequestsLimited;
            return;
        }
        ++block->resendRequests;
    }
    {
        std::lock_guard lock(resendMutex_);
        if (resends_.size() == RESEND_QUEUE_MAX) {
            ++counters_.resendRequestsLimited;
            return;
        }
        resends_.push_back(request);
    }
    resendQueued_.notify_one();
}

CameraDevice::KeptBlock* CameraDevice::FindKept(const PacketResend& request)
{
    for (KeptBlock& block : kept_) {
        const uint64_t id = request.ExtendedIds ? block.blockId : block.blockId & 0xFFFF;
        if (request.StreamChannel == 0 && id == request.BlockId) {
            return &block;
        }
    }
    return nullptr;
}

void CameraDevice::SendLoop()
{
    Clock::time_point paced = Clock::now();
    std::unique_lock lock(resendMutex_);
    while (true) {
        resendQueued_.wait(lock, [this] { return stop_ || !resends_.empty(); });
        if (stop_) {
            return;
        }
        const PacketResend request = resends_.front();
        resends_.pop_front();
        lock.unlock();
        Resend(request, paced);
        lock.lock();
    }
}

void CameraDevice::Resend(const PacketResend& request, Clock::time_point& paced)
{
    std::shared_ptr<const Packets> packets;
    uint32_t destination = 0;
    uint16_t port = 0;
    {
        std::lock_guard lock(mutex_);
        destination = control_.scda0;
        port = static_cast<uint16_t>(control_.scp0);
        if (const KeptBlock* block = FindKept(request)) {
            packets = block->packets;
        }
    }
    if (!packets || destination == 0 || port == 0) {
        ++counters_.resendRequestsUnanswered;   // dropped, or the stream ended, while it waited
        return;
    }
    const uint32_t trailer = static_cast<uint32_t>(packets->size() - 1);
    const uint32_t last = std::min(request.LastPacketId, trailer);   // RESEND_TO_END_OF_BLOCK: the trailer
    std::vector<uint8_t> packet;
    for (uint64_t packetId = request.FirstPacketId; packetId <= last && !stop_; ++packetId) {
        // Each packet leaves when the pace allows, and moves it on by its own time; a quiet
        // spell lends at most a burst.
        paced = std::max(paced, Clock::now() - std::chrono::duration_cast<Clock::duration>(RESEND_BURST));
        std::this_thread::sleep_until(paced);
        packet = (*packets)[packetId];
        const std::chrono::duration<double> time(static_cast<double>(packet.size()) / RESEND_BYTES_PER_SECOND);
        paced += std::chrono::duration_cast<Clock::duration>(time);
        WriteBigEndian16(packet.data(), GVSP_STATUS_RESEND);
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
    Clock::time_point next = Clock::now();
    bool reportedSendError = false;
    while (!stop_) {
        camera::CameraConfig config;
        uint32_t destination = 0;
        uint16_t port = 0;
        uint64_t blockId = 0;
        uint64_t timestamp = 0;
        Clock::duration period{}, packetDelay{};
        {
            std::lock_guard lock(mutex_);
            const bool due = control_.triggerMode == 0 || control_.triggered;
            if (control_.acquiring && due && control_.scda0 != 0 && control_.scp0 != 0) {
                control_.triggered = false;
                destination = control_.scda0;
                port = static_cast<uint16_t>(control_.scp0);
                blockId = control_.nextBlockId;
                control_.nextBlockId = (blockId + 1) & 0xFFFF;   // 16-bit wrap, as the block ids count
                control_.nextBlockId += control_.nextBlockId == 0 ? 1 : 0;
                config.payloadSize = static_cast<uint32_t>(PayloadBytes());
                config.packetSize = (control_.scps0 & SCPS_SIZE_MASK) - IP_UDP_HEADERS_SIZE;
                config.pixelFormat = control_.pixelFormat;
                config.sizeX = control_.width;
                config.sizeY = control_.height;
                config.offsetX = control_.offsetX;
                config.offsetY = control_.offsetY;
                timestamp = Timestamp();
                period = control_.triggerMode == 0 ? std::chrono::duration_cast<Clock::duration>(
                                                         std::chrono::duration<double>(1 / double(control_.frameRate)))
                                                   : Clock::duration{};
                packetDelay = std::chrono::microseconds(control_.scpd0);   // in timestamp ticks
            }
        }
        if (destination == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            next = Clock::now();
            continue;
        }
        config.content = camera::Content::TestPattern;
        // The block is kept before its first packet leaves: a request for a packet lost on the way can
        // come back before the last one is out. The oldest blocks go while there are more than
        // --kept-blocks or more bytes than KEPT_BYTES_MAX.
        const auto packets = std::make_shared<const Packets>(camera::BuildGvspPackets(config, blockId, timestamp));
        uint64_t bytes = 0;
        for (const std::vector<uint8_t>& packet : *packets) {
            bytes += packet.size();
        }
        {
            std::lock_guard lock(mutex_);
            kept_.push_back(KeptBlock{blockId, packets, bytes});
            keptBytes_ += bytes;
            while (kept_.size() > std::max<uint32_t>(options_.keptBlocks, 1) ||
                   (keptBytes_ > KEPT_BYTES_MAX && kept_.size() > 1)) {
                keptBytes_ -= kept_.front().bytes;
                kept_.pop_front();
            }
        }
        for (const std::vector<uint8_t>& packet : *packets) {
            if (packetDelay != Clock::duration{}) {
                std::this_thread::sleep_for(packetDelay);
            }
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

namespace {

int RunCamera(const DeviceOptions& o)
{
    const uint32_t address = ParseIpv4(o.address, "--address");
    ParsePixelFormat(o.pixelFormat);   // an unknown name is refused here
    if (o.width == 0 || o.height == 0 || o.width > SENSOR_WIDTH || o.height > SENSOR_HEIGHT) {
        throw UsageError("a " + std::to_string(o.width) + "x" + std::to_string(o.height) + " " + o.pixelFormat +
                         " frame is out of range (1 to " + std::to_string(SENSOR_WIDTH) + "x" + std::to_string(SENSOR_HEIGHT) +
                         " pixels)");
    }
    if (!(o.loss >= 0 && o.loss <= 50)) {
        throw UsageError("--loss takes a percentage from 0 to 50");
    }
    if (!(o.fps >= 0.1 && o.fps <= 1000)) {
        throw UsageError("--fps takes a rate from 0.1 to 1000 frames/s");
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
        o.address.c_str(), interface.name.c_str(), MacText(interface.mac).c_str(), device.GvcpPort(), o.width, o.height,
        o.pixelFormat.c_str(), o.fps, o.loss, o.zipXml ? "zipped" : "plain");
    std::fflush(stdout);
    device.Run(o.seconds);

    const DeviceCounters& c = device.Counters();
    std::printf("gvspfilter camera: %" PRIu64 " blocks sent in %" PRIu64 " packets, %" PRIu64
                " dropped on purpose, %" PRIu64 " send errors\n"
                "  resends:   %" PRIu64 " requests, %" PRIu64 " from strangers refused, %" PRIu64 " over the limits, %" PRIu64
                " unanswered, %" PRIu64 " packets resent\n"
                "  control:   %" PRIu64 " times taken, %" PRIu64 " heartbeat expiries, %" PRIu64 " GVCP commands\n",
        c.blocksSent.load(), c.packetsSent.load(), c.packetsDropped.load(), c.sendErrors.load(), c.resendRequests.load(),
        c.resendRequestsRefused.load(), c.resendRequestsLimited.load(), c.resendRequestsUnanswered.load(), c.packetsResent.load(),
        c.controlTaken.load(), c.heartbeatExpiries.load(), c.gvcpCommands.load());
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
        report["resend_requests_refused"] = c.resendRequestsRefused.load();
        report["resend_requests_limited"] = c.resendRequestsLimited.load();
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
    command->add_option("--fps", options->fps, "AcquisitionFrameRate's start value: frames per second while acquiring")->capture_default_str();
    command->add_option("--loss", options->loss, "First transmissions lost at random, in percent")->capture_default_str();
    command->add_option("--seed", options->seed, "Seed of the random loss")->capture_default_str();
    command->add_flag("--zip-xml", options->zipXml, "Serve the GenICam description zipped");
    command->add_option("--seconds", options->seconds, "Stop after this long (0: at Ctrl-C)")->capture_default_str();
    command->add_option("--kept-blocks", options->keptBlocks, "Blocks kept for resends, together at most 64 MiB")->capture_default_str();
    command->add_option("--json", options->jsonPath, "Write the final report as JSON to FILE");
    commands.emplace_back(command, [options] { return RunCamera(*options); });
}

}  // namespace gvspfilter
