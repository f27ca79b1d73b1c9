// A GigE Vision camera under the gvspfilter command's control over GVCP: commands answered or
// tried again, registers and memory read and written, control taken and kept by heartbeat, the
// GenICam description read, the stream channel aimed at this host, acquisition started and
// stopped. On the host and on Windows.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/genicam.h"
#include "tools/gvcp.h"
#include "tools/network.h"

namespace gvspfilter {

inline constexpr uint64_t PAYLOAD_MAX = uint64_t(256) << 20;   // payload bytes of a frame at most
inline constexpr uint32_t PACKET_SIZE_MIN = 576;               // IPv4 and UDP headers included
inline constexpr uint32_t PACKET_SIZE_MAX = 16000;
// How long reading a camera's description may take by default.
inline constexpr std::chrono::seconds DESCRIPTION_TIMEOUT{30};

// A command given up: its deadline passed, or a stop was requested while it waited.
struct GvcpGaveUp : RunError {
    using RunError::RunError;
};

// Talks to one camera from a socket on a local address. Thread-safe: the heartbeat thread and the
// main thread share it, one transaction at a time. A camera that never answered is a usage error,
// one that stopped answering a run error; a refused command is a run error. A command waits for its
// answer in slices of at most 100 ms that look at the stop request. As a register port,
// aligned 4-byte registers go through READREG/WRITEREG, everything else through READMEM/WRITEMEM
// of the aligned words around it.
class GvcpController : public RegisterPort {
public:
    using Clock = std::chrono::steady_clock;

    GvcpController(uint32_t localAddress, uint32_t camera) : camera_(camera), socket_(localAddress, 0) {}

    uint16_t LocalPort() const { return socket_.LocalPort(); }
    std::string Name() const { return "camera " + Ipv4Text(camera_); }

    uint32_t ReadRegister(uint32_t address);
    void WriteRegister(uint32_t address, uint32_t value);
    std::vector<uint8_t> ReadMemory(uint32_t address, size_t count);
    // `bytes` to an aligned address, a multiple of 4 bytes long.
    void WriteMemory(uint32_t address, std::span<const uint8_t> bytes);
    std::vector<uint8_t> Read(uint32_t address, uint32_t length) override;
    void Write(uint32_t address, std::span<const uint8_t> bytes) override;
    // The camera's features as the description its first URL names defines them (unzipped); its file
    // name in `fileName`. UsageError when the download takes longer than `timeout`, or when the
    // description is too large, nested too deep, malformed or beyond what the command follows: the
    // camera's input is bad, as when it does not answer.
    std::unique_ptr<GenICam> ReadDescription(std::string& fileName, std::chrono::seconds timeout);
    // Commands still unanswered at `deadline` fail with GvcpGaveUp (Clock::time_point::max(): never).
    // Before it a stop request (SIGINT, SIGTERM) fails a command at once, unless `pastStop`: the
    // release, which must reach the camera after one too.
    void SetDeadline(Clock::time_point deadline, bool pastStop);

    static std::string Hex(uint32_t value);

private:
    // The description file's bytes, as the first URL names them.
    std::vector<uint8_t> DownloadDescription(std::string& fileName);
    // Sends a command and waits for its acknowledge, trying again on silence.
    GvcpAck Expect(uint16_t command, const std::vector<uint8_t>& payload, const char* name, uint32_t address);

    const uint32_t camera_;
    std::mutex mutex_;
    UdpSocket socket_;          // under mutex_
    uint16_t nextId_ = 1;       // under mutex_
    bool answered_ = false;     // under mutex_
    Clock::time_point deadline_ = Clock::time_point::max();   // under mutex_
    bool pastStop_ = false;     // under mutex_
};

// The camera's stream as a live run receives it.
struct CameraStream {
    int64_t width = 0;
    int64_t height = 0;
    int64_t pixelFormat = 0;
    uint64_t payloadBytes = 0;   // of the largest frame
    uint32_t packetSize = 0;     // IPv4 and UDP headers included, as SCPS0 holds it
};

// The camera under control for the length of a run: control taken, stream aimed at this host,
// acquisition started, heartbeat kept; undone in reverse order at the end.
class CameraControl {
public:
    // Takes control from a socket on `localAddress`. UsageError when the camera does not answer or
    // another application controls it.
    CameraControl(uint32_t cameraAddress, uint32_t localAddress);
    ~CameraControl() { Release(); }

    GvcpController& Gvcp() { return gvcp_; }
    const GenICam& Features() const { return *features_; }
    const std::string& XmlFileName() const { return xmlFile_; }
    bool Lost() const { return lost_; }

    // Reads the description through the first URL, within `timeout` (GvcpController::ReadDescription).
    void ReadDescription(std::chrono::seconds timeout);
    // Whether the GVCP capability register says that the camera answers PACKETRESEND.
    bool CanResend();
    // Reads the frame's geometry and aims the stream channel at `iface`'s address and `port`,
    // in packets of `packetSize` bytes (0: the interface's MTU). `frameSize` overrides the payload
    // size the camera gives (0: its PayloadSize, or else the geometry's). UsageError for a frame out
    // of range.
    CameraStream AimStream(const InterfaceInfo& iface, uint16_t port, uint32_t packetSize, uint64_t frameSize);
    void Start();
    // Ends acquisition and gives control back; failures are reported, not thrown (it runs on the
    // way out, also after an error). After a stop request it gives the camera 0.8 s at most.
    void Release();

private:
    void KeepHeartbeat();

    GvcpController gvcp_;
    std::unique_ptr<GenICam> features_;
    std::string xmlFile_;
    bool controlled_ = false;
    bool acquiring_ = false;
    std::mutex stopMutex_;
    std::condition_variable stopped_;   // wakes the heartbeat thread when stop_ is set
    bool stop_ = false;                 // under stopMutex_
    std::atomic<bool> lost_{false};
    std::thread heartbeat_;
};

}  // namespace gvspfilter
