// live's receive ring: a packet socket with a TPACKET_V3 ring the kernel fills with the stream's
// and GVCP's frames, block by block; each block goes to the driver's adapter in place, and the
// driver's own packets leave through the same socket. Host only.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "host/ndis/ndis.h"
#include "tools/network.h"

namespace gvspfilter {

// What was lost where, and what the driver sent, since the ring opened.
struct RingCounts {
    uint64_t received = 0;        // frames indicated to the driver
    uint64_t truncated = 0;       // frames the ring cut short (not indicated)
    uint64_t poolExhausted = 0;   // frames dropped because every receive list was out
    uint64_t kernelDrops = 0;     // frames the kernel dropped: the ring was full
    uint64_t kernelFreezes = 0;   // times the kernel found the ring full and froze its queue
    uint64_t sent = 0;            // the driver's packets sent
    uint64_t sendFailed = 0;
};

class ReceiveRing {
public:
    // Opens the ring on `interface` for UDP to `port` and GVCP; UsageError when the interface
    // cannot be captured on (no rights, down, not Ethernet), RunError for anything else.
    // `mebibytes`: the ring's size.
    ReceiveRing(const InterfaceInfo& interface, uint16_t port, uint32_t mebibytes);
    ~ReceiveRing();
    ReceiveRing(const ReceiveRing&) = delete;
    ReceiveRing& operator=(const ReceiveRing&) = delete;

    static constexpr const char* KIND = "tpacket";

    // Becomes `adapter`'s miniport (its returns and its transmit) and starts indicating; the
    // adapter must be gone before the ring is.
    void Start(host::Adapter& adapter);
    // Stops indicating and waits a while for the lists still out.
    void Stop();
    RingCounts Counts();
    std::string Error() const;

private:
    void Loop(host::Adapter& adapter);
    void IndicateBlock(host::Adapter& adapter, uint32_t index);
    void Release(uint32_t index);
    bool Transmit(PNET_BUFFER netBuffer);

    int fd_ = -1;
    uint8_t* ring_ = nullptr;
    size_t ringBytes_ = 0;
    uint32_t blocks_ = 0, blockBytes_ = 0;
    std::unique_ptr<std::atomic<uint32_t>[]> outstanding_;   // per block: lists out, +1 while indicating
    host::ReceivePool pool_;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> received_{0}, truncated_{0}, poolExhausted_{0}, sent_{0}, sendFailed_{0};
    std::mutex statsMutex_;
    uint64_t kernelDrops_ = 0, kernelFreezes_ = 0;   // under statsMutex_: the kernel resets its counts on each read
    mutable std::mutex errorMutex_;
    std::string error_;
};

}  // namespace gvspfilter
