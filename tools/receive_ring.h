// live's receive rings, shared with the kernel: an AF_XDP socket fed by an XDP program of ours, or
// a packet socket with a TPACKET_V3 ring. The frames go to the driver's adapter in place, from a
// receive pool sized to the ring, and the driver's own packets leave through a packet socket.
// Host only.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "host/ndis/ndis.h"
#include "tools/network.h"

namespace gvspfilter {

// A count the kernel keeps for the ring: `key` names it in the report, `what` (a loss, in the
// singular) in the summary; counts without `what` are not losses.
struct KernelCount {
    const char* key;
    const char* what;
    uint64_t value;
};

// What was received, lost and sent since the ring opened.
struct RingCounts {
    uint64_t received = 0;        // frames indicated to the driver
    uint64_t truncated = 0;       // frames the ring cut short (not indicated)
    uint64_t poolExhausted = 0;   // frames dropped because every receive list was out
    uint64_t sent = 0;            // the driver's packets sent
    uint64_t sendFailed = 0;
    std::vector<KernelCount> kernel;
};

class ReceiveRing {
public:
    // The ring of `kind` ("xdp" or "tpacket"; empty: AF_XDP where the interface and kernel allow
    // it, else TPACKET_V3) on `interface`, for UDP to `port`, of `mebibytes`. UsageError when the
    // interface cannot be received on (no rights, down, not Ethernet), RunError for a ring that
    // cannot be set up.
    static std::unique_ptr<ReceiveRing> Open(const std::string& kind, const InterfaceInfo& interface, uint16_t port,
        uint32_t mebibytes);
    virtual ~ReceiveRing();
    ReceiveRing(const ReceiveRing&) = delete;
    ReceiveRing& operator=(const ReceiveRing&) = delete;

    virtual const char* Kind() const = 0;
    // Why AF_XDP was not used, when it was not asked for and did not work.
    const std::string& Fallback() const { return fallback_; }
    // Becomes `adapter`'s miniport (its returns and its transmit) and starts indicating; the
    // adapter must be gone before the ring is.
    void Start(host::Adapter& adapter);
    // Stops indicating and waits a while for the lists still out.
    void Stop();
    RingCounts Counts();
    std::string Error() const;

protected:
    ReceiveRing(const InterfaceInfo& interface, size_t poolLists);
    // Indicates what arrives until stop_.
    virtual void Loop(host::Adapter& adapter) = 0;
    // A list the ring indicated came back, with the cookie it was taken with.
    virtual void Recycle(uintptr_t cookie) = 0;
    virtual std::vector<KernelCount> KernelCounts() = 0;
    // Links `list` after `tail` (or makes it the chain's head).
    static void Append(PNET_BUFFER_LIST list, PNET_BUFFER_LIST& head, PNET_BUFFER_LIST& tail);
    void Fail(const std::string& why);

    host::ReceivePool pool_;
    std::atomic<bool> stop_{false};
    std::atomic<uint64_t> received_{0}, truncated_{0}, poolExhausted_{0};

private:
    bool Transmit(PNET_BUFFER netBuffer);

    int sendFd_ = -1;   // a packet socket that receives nothing
    std::string fallback_;
    std::thread thread_;
    std::atomic<uint64_t> sent_{0}, sendFailed_{0};
    mutable std::mutex errorMutex_;
    std::string error_;
};

// The two kinds (tools/receive_ring.cpp, tools/xdp_ring.cpp).
std::unique_ptr<ReceiveRing> OpenPacketRing(const InterfaceInfo& interface, uint16_t port, uint32_t mebibytes);
std::unique_ptr<ReceiveRing> OpenXdpRing(const InterfaceInfo& interface, uint16_t port, uint32_t mebibytes);

}  // namespace gvspfilter
