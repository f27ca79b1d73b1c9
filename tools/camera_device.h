// `gvspfilter camera`'s device: the camera emulator as a GigE Vision device on real UDP sockets,
// declared here so that the tests can drive it in-process. Host only.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tools/gvcp.h"
#include "tools/network.h"

namespace gvspfilter {

struct DeviceOptions {
    std::string address;
    uint16_t gvcpPort = GVCP_PORT;   // 0: one the system picks (the tests)
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

struct DeviceCounters {
    std::atomic<uint64_t> blocksSent{0}, packetsSent{0}, packetsDropped{0}, sendErrors{0};
    std::atomic<uint64_t> gvcpCommands{0}, resendRequests{0}, resendRequestsUnanswered{0}, packetsResent{0};
    std::atomic<uint64_t> controlTaken{0}, heartbeatExpiries{0};
};

class CameraDevice {
public:
    // GVCP on any address of the machine (broadcast DISCOVERY included) at `options.gvcpPort`; the
    // stream leaves from `address`, an address of `interface`.
    CameraDevice(const DeviceOptions& options, uint32_t address, const InterfaceInfo& interface);
    ~CameraDevice();
    // Serves until `seconds` have passed (0: until stopped by a signal or Stop()).
    void Run(double seconds);
    void Stop() { stop_ = true; }
    uint16_t GvcpPort() const { return gvcp_.LocalPort(); }
    const DeviceCounters& Counters() const { return counters_; }
    std::string StatusLine();

private:
    using Clock = std::chrono::steady_clock;
    struct KeptBlock {
        uint64_t blockId = 0;
        std::vector<std::vector<uint8_t>> packets;   // GVSP bytes, index = packet id
    };
    // State under mutex_ (written by the GVCP thread, read by the stream thread).
    struct Control {
        // The controller and its stream: cleared when control ends.
        uint32_t ccp = 0;
        uint32_t controllerIp = 0;
        uint16_t controllerPort = 0;
        Clock::time_point lastHeard{};
        uint32_t scp0 = 0;
        uint32_t scda0 = 0;
        bool acquiring = false;
        bool triggered = false;   // a software trigger waits for its frame
        uint64_t nextBlockId = 1;
        // Settings, kept from one controller to the next.
        uint32_t heartbeatMs = DEFAULT_HEARTBEAT_MS;
        uint32_t scps0 = SCPS_DO_NOT_FRAGMENT | 1500;
        uint32_t scpd0 = 0;
        uint32_t width = 0, height = 0, offsetX = 0, offsetY = 0, pixelFormat = 0;
        uint32_t triggerMode = 0;
        float frameRate = 0, exposureTime = 10000, gain = 0;
        Clock::time_point timestampZero{};
        uint64_t latchedTimestamp = 0;
    };

    void ServeCommand(const std::vector<uint8_t>& datagram, uint32_t from, uint16_t fromPort);
    GvcpAck Answer(const GvcpCommand& command, uint32_t from, uint16_t fromPort);
    // Register and memory access with mutex_ held; the results are GVCP status codes.
    uint16_t ReadRegister(uint32_t address, uint32_t* value) const;
    uint16_t WriteRegister(uint32_t address, uint32_t value, uint32_t from, uint16_t fromPort);
    uint16_t ReadMemory(uint32_t address, size_t count, std::vector<uint8_t>* bytes) const;
    void EndControl();
    void FireTestPacket(uint32_t packetSize);
    void Resend(const PacketResendRequest& request);
    void CheckHeartbeat();
    void StreamLoop();
    uint64_t PayloadBytes() const;
    uint64_t Timestamp() const;   // microseconds since the last reset

    const DeviceOptions options_;
    const uint32_t address_;
    const InterfaceInfo interface_;
    UdpSocket gvcp_;
    UdpSocket stream_;
    std::vector<uint8_t> xmlFile_;     // padded to whole words
    const Clock::time_point started_ = Clock::now();

    mutable std::mutex mutex_;
    std::vector<uint8_t> bootstrap_;   // under mutex_: the text registers from 0x0048 on, as bytes
    Control control_;                  // under mutex_
    std::deque<KeptBlock> kept_;       // the last blocks, oldest first: changed by the stream thread
                                       // under mutex_, read by others under mutex_
    std::atomic<bool> stop_{false};
    std::thread streamThread_;
    DeviceCounters counters_;
};

}  // namespace gvspfilter
