// `gvspfilter camera`'s device: the camera emulator as a GigE Vision device on real UDP sockets,
// declared here so that the tests can drive it in-process. Host only.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
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
    std::atomic<uint64_t> gvcpCommands{0}, packetsResent{0};
    // Every PACKETRESEND counts in `resendRequests`, and in one of the others when it is not answered:
    // from a host that neither controls the device nor receives its stream, over the limits (the
    // requests per block or the sender's queue), or for packets no longer kept.
    std::atomic<uint64_t> resendRequests{0}, resendRequestsRefused{0}, resendRequestsLimited{0}, resendRequestsUnanswered{0};
    std::atomic<uint64_t> controlTaken{0}, heartbeatExpiries{0};
};

class CameraDevice {
public:
    // Requests served per block, from its controller or stream destination; later ones are dropped.
    static constexpr uint32_t RESEND_REQUESTS_PER_BLOCK = 256;

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
    using Packets = std::vector<std::vector<uint8_t>>;   // GVSP bytes, index = packet id
    struct KeptBlock {
        uint64_t blockId = 0;
        // Shared with the thread sending this block or resending from it, so that dropping it
        // from kept_ never pulls it from under them.
        std::shared_ptr<const Packets> packets;
        uint64_t bytes = 0;
        uint32_t resendRequests = 0;   // queued so far
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
    // PACKETRESEND on the GVCP thread: checked and counted, then queued for the sender thread.
    void QueueResend(const PacketResend& request, uint32_t from);
    KeptBlock* FindKept(const PacketResend& request);   // with mutex_ held
    void Resend(const PacketResend& request, Clock::time_point& paced);
    void CheckHeartbeat();
    void StreamLoop();
    void SendLoop();
    void Shutdown();   // stops and joins both threads
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
    uint64_t keptBytes_ = 0;           // under mutex_: the bytes of kept_'s packets
    std::mutex resendMutex_;
    std::condition_variable resendQueued_;
    std::deque<PacketResend> resends_;   // under resendMutex_: waiting for the sender thread
    std::atomic<bool> stop_{false};
    std::thread streamThread_;
    std::thread senderThread_;
    DeviceCounters counters_;
};

}  // namespace gvspfilter
