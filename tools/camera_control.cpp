// The live command's control of a camera over GVCP. On the host and on Windows.
#include "tools/camera_control.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>

#include "tools/stop_signal.h"

namespace gvspfilter {

namespace {

using Clock = GvcpController::Clock;

constexpr uint32_t XML_MAX = 64u << 20;
constexpr int GVCP_TRIES = 3;
constexpr auto GVCP_TIMEOUT = std::chrono::milliseconds(500);
// The longest wait between two looks at the stop request.
constexpr auto GVCP_WAIT_SLICE = std::chrono::milliseconds(100);
constexpr auto HEARTBEAT_PERIOD = std::chrono::milliseconds(1000);
// How long the release may still take after a stop request: with the wake-up that sees the
// request and the teardown, the run ends within a second.
constexpr auto RELEASE_AFTER_STOP = std::chrono::milliseconds(800);

uint64_t PayloadBytes(int64_t width, int64_t height, int64_t pixelFormat)
{
    // The pixel format's code carries its bits per pixel in bits 16 to 23.
    const uint64_t bits = (static_cast<uint64_t>(pixelFormat) >> 16) & 0xFF;
    return (static_cast<uint64_t>(width) * static_cast<uint64_t>(height) * bits + 7) / 8;
}

}  // namespace

// ---- GvcpController ---------------------------------------------------------------------------
uint32_t GvcpController::ReadRegister(uint32_t address)
{
    std::vector<uint8_t> payload(4);
    WriteBigEndian32(payload.data(), address);
    const GvcpAck ack = Expect(GVCP_READREG_CMD, payload, "READREG", address);
    if (ack.payload.size() < 4) {
        throw RunError(Name() + " answered READREG of " + Hex(address) + " without a value");
    }
    return ReadBigEndian32(ack.payload.data());
}

void GvcpController::WriteRegister(uint32_t address, uint32_t value)
{
    std::vector<uint8_t> payload(8);
    WriteBigEndian32(payload.data(), address);
    WriteBigEndian32(payload.data() + 4, value);
    Expect(GVCP_WRITEREG_CMD, payload, "WRITEREG", address);
}

std::vector<uint8_t> GvcpController::ReadMemory(uint32_t address, size_t count)
{
    std::vector<uint8_t> bytes;
    bytes.reserve(count + GVCP_READMEM_MAX);
    while (bytes.size() < count) {
        const uint32_t at = static_cast<uint32_t>(address + bytes.size());
        const size_t chunk = std::min<size_t>(GVCP_READMEM_MAX / 4 * 4, (count - bytes.size() + 3) / 4 * 4);
        std::vector<uint8_t> payload(8);
        WriteBigEndian32(payload.data(), at);
        WriteBigEndian16(payload.data() + 6, static_cast<uint16_t>(chunk));
        const GvcpAck ack = Expect(GVCP_READMEM_CMD, payload, "READMEM", at);
        if (ack.payload.size() < 4 + chunk) {
            throw RunError(Name() + " answered READMEM of " + Hex(at) + " with too few bytes");
        }
        bytes.insert(bytes.end(), ack.payload.begin() + 4, ack.payload.begin() + 4 + static_cast<std::ptrdiff_t>(chunk));
    }
    bytes.resize(count);
    return bytes;
}

void GvcpController::WriteMemory(uint32_t address, std::span<const uint8_t> bytes)
{
    for (size_t done = 0; done < bytes.size();) {
        const uint32_t at = static_cast<uint32_t>(address + done);
        const size_t chunk = std::min(GVCP_WRITEMEM_MAX, bytes.size() - done);
        std::vector<uint8_t> payload(4);
        WriteBigEndian32(payload.data(), at);
        payload.insert(payload.end(), bytes.begin() + static_cast<std::ptrdiff_t>(done),
            bytes.begin() + static_cast<std::ptrdiff_t>(done + chunk));
        Expect(GVCP_WRITEMEM_CMD, payload, "WRITEMEM", at);
        done += chunk;
    }
}

std::vector<uint8_t> GvcpController::Read(uint32_t address, uint32_t length)
{
    if (length == 4 && address % 4 == 0) {
        std::vector<uint8_t> bytes(4);
        WriteBigEndian32(bytes.data(), ReadRegister(address));
        return bytes;
    }
    const uint32_t first = address / 4 * 4;
    const std::vector<uint8_t> words = ReadMemory(first, address - first + length);
    return {words.begin() + (address - first), words.end()};
}

void GvcpController::Write(uint32_t address, std::span<const uint8_t> bytes)
{
    if (bytes.size() == 4 && address % 4 == 0) {
        WriteRegister(address, ReadBigEndian32(bytes.data()));
        return;
    }
    // The words around an unaligned span keep their other bytes.
    const uint32_t first = address / 4 * 4;
    const size_t words = (address - first + bytes.size() + 3) / 4 * 4;
    std::vector<uint8_t> memory = words == bytes.size() ? std::vector<uint8_t>(words) : ReadMemory(first, words);
    std::copy(bytes.begin(), bytes.end(), memory.begin() + (address - first));
    WriteMemory(first, memory);
}

std::unique_ptr<GenICam> GvcpController::ReadDescription(std::string& fileName, std::chrono::seconds timeout)
{
    SetDeadline(Clock::now() + timeout, false);
    std::vector<uint8_t> file;
    try {
        file = DownloadDescription(fileName);
    } catch (const GvcpGaveUp&) {
        if (StopRequested()) {
            throw;
        }
        throw UsageError(Name() + "'s description was not read within " + std::to_string(timeout.count()) + " s");
    }
    SetDeadline(Clock::time_point::max(), false);
    // A description the reader refuses is the camera's bad input, as is a camera that does not answer.
    try {
        const bool zipped = LocalUrl{fileName}.zipped() || (file.size() >= 4 && file[0] == 'P' && file[1] == 'K' && file[2] == 3 && file[3] == 4);
        std::string xml = zipped ? UnzipXml(file) : std::string(file.begin(), file.end());
        file = std::vector<uint8_t>();   // freed, not kept beside the tree
        return std::make_unique<GenICam>(std::move(xml), *this);
    } catch (const RunError& e) {
        throw UsageError(e.what());
    }
}

std::vector<uint8_t> GvcpController::DownloadDescription(std::string& fileName)
{
    const std::vector<uint8_t> urlBytes = ReadMemory(REG_FIRST_URL, REG_URL_BYTES);
    const std::string urlText(reinterpret_cast<const char*>(urlBytes.data()),
        strnlen(reinterpret_cast<const char*>(urlBytes.data()), urlBytes.size()));
    const std::optional<LocalUrl> url = ParseLocalUrl(urlText);
    if (!url) {
        throw UsageError(Name() + "'s first URL '" + urlText + "' is not a Local: URL, the only kind read");
    }
    if (url->length > XML_MAX) {
        throw UsageError(Name() + "'s description is said to be " + std::to_string(url->length) +
                         " bytes, more than the 64 MiB it may be");
    }
    fileName = url->fileName;
    return ReadMemory(url->address, url->length);
}

void GvcpController::SetDeadline(Clock::time_point deadline, bool pastStop)
{
    std::lock_guard lock(mutex_);
    deadline_ = deadline;
    pastStop_ = pastStop;
}

std::string GvcpController::Hex(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%04X", value);
    return text;
}

GvcpAck GvcpController::Expect(uint16_t command, const std::vector<uint8_t>& payload, const char* name, uint32_t address)
{
    std::lock_guard lock(mutex_);
    const uint16_t id = nextId_;
    nextId_ = static_cast<uint16_t>(nextId_ == 0xFFFF ? 1 : nextId_ + 1);   // 16-bit wrap, 0 is never an id
    const std::vector<uint8_t> datagram = EncodeCommand(GvcpCommand{GVCP_FLAG_ACK_REQUIRED, command, id, payload});
    for (int attempt = 0; attempt < GVCP_TRIES; ++attempt) {
        socket_.SendTo(camera_, GVCP_PORT, datagram);
        const Clock::time_point until = std::min(Clock::now() + GVCP_TIMEOUT, deadline_);
        for (Clock::time_point now = Clock::now(); now < until; now = Clock::now()) {
            if (!pastStop_ && StopRequested()) {
                throw GvcpGaveUp("stopped by a signal while waiting for " + Name());
            }
            uint32_t from = 0;
            uint16_t fromPort = 0;
            const auto wait = std::chrono::ceil<std::chrono::milliseconds>(std::min<Clock::duration>(until - now, GVCP_WAIT_SLICE));
            std::optional<std::vector<uint8_t>> answer = socket_.ReceiveFrom(static_cast<int>(wait.count()), &from, &fromPort);
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
        if (Clock::now() >= deadline_) {
            throw GvcpGaveUp(Name() + " did not answer " + name + " of " + Hex(address) + " in time");
        }
    }
    if (!answered_) {
        throw UsageError(Name() + " does not answer GVCP");
    }
    throw RunError(Name() + " stopped answering GVCP");
}

// ---- CameraControl ----------------------------------------------------------------------------
CameraControl::CameraControl(uint32_t cameraAddress, uint32_t localAddress) : gvcp_(localAddress, cameraAddress)
{
    // The first contact tells whether anything answers at all.
    const uint32_t ccp = gvcp_.ReadRegister(REG_CCP);
    try {
        gvcp_.WriteRegister(REG_CCP, CCP_CONTROL);
    } catch (const GvcpGaveUp&) {
        throw;
    } catch (const RunError&) {
        if (ccp != 0) {
            throw UsageError(gvcp_.Name() + " is controlled by another application");
        }
        throw;
    }
    controlled_ = true;
    heartbeat_ = std::thread([this] { KeepHeartbeat(); });
}

void CameraControl::ReadDescription(std::chrono::seconds timeout) { features_ = gvcp_.ReadDescription(xmlFile_, timeout); }

bool CameraControl::CanResend()
{
    return (gvcp_.ReadRegister(REG_GVCP_CAPABILITY) & GVCP_CAPABILITY_PACKETRESEND) != 0;
}

CameraStream CameraControl::AimStream(const InterfaceInfo& iface, uint16_t port, uint32_t packetSize, uint64_t frameSize)
{
    CameraStream stream;
    stream.width = features_->GetInteger("Width");
    stream.height = features_->GetInteger("Height");
    stream.pixelFormat = features_->GetInteger("PixelFormat");
    stream.payloadBytes = frameSize != 0                     ? frameSize
                          : features_->Has("PayloadSize") ? static_cast<uint64_t>(features_->GetInteger("PayloadSize"))
                                                           : PayloadBytes(stream.width, stream.height, stream.pixelFormat);
    if (stream.width <= 0 || stream.height <= 0 || stream.payloadBytes == 0 || stream.payloadBytes > PAYLOAD_MAX) {
        throw UsageError(gvcp_.Name() + " reports a " + std::to_string(stream.width) + "x" + std::to_string(stream.height) +
                         " frame of pixel format " + GvcpController::Hex(static_cast<uint32_t>(stream.pixelFormat)) +
                         ", out of range (1 to 256 MiB of payload)");
    }
    stream.packetSize = packetSize != 0 ? packetSize : std::clamp<uint32_t>(iface.mtu, PACKET_SIZE_MIN, PACKET_SIZE_MAX);
    // The stream comes to this interface's address and port, in packets that fit its MTU.
    gvcp_.WriteRegister(REG_SCDA0, iface.address);
    gvcp_.WriteRegister(REG_SCP0, port);
    gvcp_.WriteRegister(REG_SCPS0, SCPS_DO_NOT_FRAGMENT | stream.packetSize);
    return stream;
}

void CameraControl::Release()
{
    if (!controlled_) {
        return;
    }
    controlled_ = false;
    {
        std::lock_guard lock(stopMutex_);
        stop_ = true;
    }
    stopped_.notify_all();
    if (heartbeat_.joinable()) {
        heartbeat_.join();
    }
    gvcp_.SetDeadline(StopRequested() ? Clock::now() + RELEASE_AFTER_STOP : Clock::time_point::max(), true);
    try {
        if (acquiring_) {
            features_->Execute("AcquisitionStop");
            acquiring_ = false;
        }
        gvcp_.WriteRegister(REG_SCP0, 0);
        gvcp_.WriteRegister(REG_CCP, 0);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "gvspfilter live: could not stop and release %s: %s\n", gvcp_.Name().c_str(), e.what());
    }
}

void CameraControl::Start()
{
    features_->Execute("AcquisitionStart");
    acquiring_ = true;
}

void CameraControl::KeepHeartbeat()
{
    // Any command keeps control; reading CCP also shows that control is still ours.
    Clock::time_point next = Clock::now() + HEARTBEAT_PERIOD;
    std::unique_lock lock(stopMutex_);
    while (!stopped_.wait_until(lock, next, [this] { return stop_; })) {
        next += HEARTBEAT_PERIOD;
        lock.unlock();
        try {
            gvcp_.ReadRegister(REG_CCP);
        } catch (const GvcpGaveUp&) {
            return;   // the main thread's deadline or stop, which it reports
        } catch (const std::exception& e) {
            std::fprintf(stderr, "\ngvspfilter live: heartbeat failed: %s\n", e.what());
            lost_ = true;
            return;
        }
        lock.lock();
    }
}

}  // namespace gvspfilter
