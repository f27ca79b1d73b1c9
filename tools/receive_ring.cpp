// live's receive rings: what both kinds share (the interface's checks, the receive pool, the
// driver's sends through a packet socket, the receive thread), and the TPACKET_V3 ring, whose
// blocks of frames the kernel retires into memory shared with this process; a block goes back to
// the kernel when the stack has returned its last list. Host only.
#include "tools/receive_ring.h"

#include <arpa/inet.h>
#include <linux/filter.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>

#include <pcap/pcap.h>

#include "tools/command_line.h"
#include "tools/gvcp.h"

namespace gvspfilter {

namespace {

constexpr int RETIRE_MS = 2;                  // a block that is not full goes up after this long
constexpr uint32_t BLOCK_BYTES = 128 << 10;   // at camera rates a block fills in about RETIRE_MS

std::string Why() { return std::strerror(errno); }

// The socket's filter, compiled by libpcap for an Ethernet link.
void AttachFilter(int fd, const std::string& filter)
{
    pcap_t* dead = pcap_open_dead(DLT_EN10MB, 65535);
    bpf_program program{};
    if (dead == nullptr || pcap_compile(dead, &program, filter.c_str(), 1, PCAP_NETMASK_UNKNOWN) != 0) {
        const std::string why = dead != nullptr ? pcap_geterr(dead) : "out of memory";
        if (dead != nullptr) pcap_close(dead);
        throw RunError("cannot compile the ring's filter '" + filter + "': " + why);
    }
    sock_fprog socketProgram{static_cast<unsigned short>(program.bf_len), reinterpret_cast<sock_filter*>(program.bf_insns)};
    const int status = setsockopt(fd, SOL_SOCKET, SO_ATTACH_FILTER, &socketProgram, sizeof socketProgram);
    const std::string why = Why();
    pcap_freecode(&program);
    pcap_close(dead);
    if (status != 0) {
        throw RunError("cannot attach the ring's filter: " + why);
    }
}

tpacket_block_desc* BlockAt(uint8_t* ring, uint32_t blockBytes, uint32_t index)
{
    return reinterpret_cast<tpacket_block_desc*>(ring + size_t{index} * blockBytes);
}

class PacketRing final : public ReceiveRing {
public:
    PacketRing(const InterfaceInfo& interface, uint16_t port, uint32_t mebibytes);
    ~PacketRing() override;
    const char* Kind() const override { return "tpacket"; }

private:
    void Loop(host::Adapter& adapter) override;
    void Recycle(uintptr_t cookie) override;
    std::vector<KernelCount> KernelCounts() override;
    void IndicateBlock(host::Adapter& adapter, uint32_t index);

    int fd_ = -1;
    uint8_t* ring_ = nullptr;
    size_t ringBytes_ = 0;
    uint32_t blocks_ = 0;
    std::unique_ptr<std::atomic<uint32_t>[]> outstanding_;   // per block: lists out, +1 while indicating
    std::mutex statsMutex_;
    uint64_t drops_ = 0, freezes_ = 0;   // under statsMutex_: the kernel resets its counts on each read
};

PacketRing::PacketRing(const InterfaceInfo& interface, uint16_t port, uint32_t mebibytes)
    // One list per KiB of ring: a ring full of stream packets never runs out of lists.
    : ReceiveRing(interface, size_t{mebibytes} << 10), blocks_(mebibytes * ((1u << 20) / BLOCK_BYTES)),
      outstanding_(std::make_unique<std::atomic<uint32_t>[]>(blocks_))
{
    const std::string& name = interface.name;
    // Protocol 0 receives nothing until the bind below, when the filter and the ring are in place.
    fd_ = socket(AF_PACKET, SOCK_RAW, 0);
    if (fd_ < 0) {
        throw RunError("cannot open a packet socket: " + Why());
    }
    try {
        AttachFilter(fd_, "udp and (dst port " + std::to_string(port) + " or port " + std::to_string(GVCP_PORT) + ")");
        const int version = TPACKET_V3, one = 1;
        tpacket_req3 geometry{};
        geometry.tp_block_size = BLOCK_BYTES;
        geometry.tp_block_nr = blocks_;
        geometry.tp_frame_size = 2048;   // V3 packs frames of any size; the kernel only checks this divides a block
        geometry.tp_frame_nr = BLOCK_BYTES / geometry.tp_frame_size * blocks_;
        geometry.tp_retire_blk_tov = RETIRE_MS;
        if (setsockopt(fd_, SOL_PACKET, PACKET_VERSION, &version, sizeof version) != 0 ||
            setsockopt(fd_, SOL_PACKET, PACKET_IGNORE_OUTGOING, &one, sizeof one) != 0 ||
            setsockopt(fd_, SOL_PACKET, PACKET_RX_RING, &geometry, sizeof geometry) != 0) {
            throw RunError("cannot set up a receive ring on '" + name + "': " + Why());
        }
        ringBytes_ = size_t{blocks_} * BLOCK_BYTES;
        void* ring = mmap(nullptr, ringBytes_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_LOCKED, fd_, 0);
        if (ring == MAP_FAILED) {
            ring = mmap(nullptr, ringBytes_, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
        }
        if (ring == MAP_FAILED) {
            throw RunError("cannot map the receive ring of '" + name + "': " + Why());
        }
        ring_ = static_cast<uint8_t*>(ring);
        sockaddr_ll address{};
        address.sll_family = AF_PACKET;
        address.sll_protocol = htons(ETH_P_ALL);
        address.sll_ifindex = static_cast<int>(if_nametoindex(name.c_str()));
        if (address.sll_ifindex == 0 || bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            throw RunError("cannot bind the receive ring to '" + name + "': " + Why());
        }
    } catch (...) {
        if (ring_ != nullptr) munmap(ring_, ringBytes_);
        close(fd_);
        throw;
    }
}

PacketRing::~PacketRing()
{
    Stop();
    munmap(ring_, ringBytes_);
    close(fd_);
}

void PacketRing::Loop(host::Adapter& adapter)
{
    pollfd waiting{fd_, POLLIN | POLLERR, 0};
    for (uint32_t index = 0; !stop_;) {
        tpacket_block_desc* block = BlockAt(ring_, BLOCK_BYTES, index);
        if (!(__atomic_load_n(&block->hdr.bh1.block_status, __ATOMIC_ACQUIRE) & TP_STATUS_USER)) {
            // Woken when the kernel retires a block; the timeout only lets Stop be seen.
            const int ready = poll(&waiting, 1, 100);
            int error = ready < 0 && errno != EINTR ? errno : 0;
            socklen_t size = sizeof error;
            if (ready > 0 && (waiting.revents & POLLERR)) {
                getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &size);   // the interface went down, say
            }
            if (error != 0) {
                Fail(std::strerror(error));
                return;
            }
            continue;
        }
        IndicateBlock(adapter, index);
        index = (index + 1) % blocks_;
    }
}

void PacketRing::IndicateBlock(host::Adapter& adapter, uint32_t index)
{
    tpacket_block_desc* block = BlockAt(ring_, BLOCK_BYTES, index);
    outstanding_[index].store(1, std::memory_order_relaxed);   // this thread's hold, until the chain is up
    PNET_BUFFER_LIST head = nullptr, tail = nullptr;
    uint32_t offset = block->hdr.bh1.offset_to_first_pkt;
    for (uint32_t n = 0; n < block->hdr.bh1.num_pkts; ++n) {
        auto* frame = reinterpret_cast<tpacket3_hdr*>(reinterpret_cast<uint8_t*>(block) + offset);
        offset += frame->tp_next_offset;
        if (frame->tp_snaplen < frame->tp_len) {
            ++truncated_;
            continue;
        }
        PNET_BUFFER_LIST list = pool_.Take(reinterpret_cast<uint8_t*>(frame) + frame->tp_mac, frame->tp_snaplen, index);
        if (list == nullptr) {
            ++poolExhausted_;
            continue;
        }
        outstanding_[index].fetch_add(1, std::memory_order_relaxed);
        Append(list, head, tail);
        ++received_;
    }
    if (head != nullptr) {
        adapter.Indicate(head, 0, NDIS_RECEIVE_FLAGS_DISPATCH_LEVEL);
    }
    Recycle(index);
}

void PacketRing::Recycle(uintptr_t index)
{
    if (outstanding_[index].fetch_sub(1, std::memory_order_acq_rel) == 1) {
        __atomic_store_n(&BlockAt(ring_, BLOCK_BYTES, static_cast<uint32_t>(index))->hdr.bh1.block_status, TP_STATUS_KERNEL,
            __ATOMIC_RELEASE);
    }
}

std::vector<KernelCount> PacketRing::KernelCounts()
{
    std::lock_guard lock(statsMutex_);
    tpacket_stats_v3 stats{};
    socklen_t size = sizeof stats;
    if (getsockopt(fd_, SOL_PACKET, PACKET_STATISTICS, &stats, &size) == 0) {
        drops_ += stats.tp_drops;
        freezes_ += stats.tp_freeze_q_cnt;
    }
    return {{"packets_dropped_by_kernel", "packet dropped by the kernel, the receive ring full", drops_},
        {"kernel_queue_freezes", nullptr, freezes_}};
}

}  // namespace

// ---- What both kinds share --------------------------------------------------------------------
std::unique_ptr<ReceiveRing> OpenPacketRing(const InterfaceInfo& interface, uint16_t port, uint32_t mebibytes)
{
    return std::make_unique<PacketRing>(interface, port, mebibytes);
}

std::unique_ptr<ReceiveRing> ReceiveRing::Open(const std::string& kind, const InterfaceInfo& interface, uint16_t port,
    uint32_t mebibytes)
{
    if (kind == "tpacket") {
        return OpenPacketRing(interface, port, mebibytes);
    }
    if (kind == "xdp") {
        return OpenXdpRing(interface, port, mebibytes);
    }
    try {
        return OpenXdpRing(interface, port, mebibytes);
    } catch (const RunError& error) {
        std::unique_ptr<ReceiveRing> ring = OpenPacketRing(interface, port, mebibytes);
        ring->fallback_ = error.what();
        return ring;
    }
}

ReceiveRing::ReceiveRing(const InterfaceInfo& interface, size_t poolLists) : pool_(poolLists)
{
    const std::string& name = interface.name;
    // Protocol 0 and no bind to a protocol: the socket only sends.
    sendFd_ = socket(AF_PACKET, SOCK_RAW, 0);
    if (sendFd_ < 0) {
        if (errno == EPERM || errno == EACCES) {
            throw UsageError("capturing on '" + name + "' needs root or CAP_NET_RAW");
        }
        throw RunError("cannot open a packet socket: " + Why());
    }
    ifreq request{};
    std::strncpy(request.ifr_name, name.c_str(), IFNAMSIZ - 1);
    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_ifindex = static_cast<int>(if_nametoindex(name.c_str()));
    std::string problem;
    if (ioctl(sendFd_, SIOCGIFHWADDR, &request) != 0 || request.ifr_hwaddr.sa_family != ARPHRD_ETHER) {
        problem = "interface '" + name + "' is not an Ethernet interface";
    } else if (ioctl(sendFd_, SIOCGIFFLAGS, &request) != 0 || !(request.ifr_flags & IFF_UP)) {
        problem = "interface '" + name + "' is down";
    } else if (bind(sendFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        const std::string why = Why();
        close(sendFd_);
        throw RunError("cannot bind a packet socket to '" + name + "': " + why);
    }
    if (!problem.empty()) {
        close(sendFd_);
        throw UsageError(problem);
    }
}

ReceiveRing::~ReceiveRing() { close(sendFd_); }

void ReceiveRing::Start(host::Adapter& adapter)
{
    adapter.SetMiniportReturn([this](PNET_BUFFER_LIST list) { Recycle(pool_.Give(list)); });
    adapter.SetMiniportTransmit([this](PNET_BUFFER netBuffer) { return Transmit(netBuffer); });
    thread_ = std::thread([this, &adapter] { Loop(adapter); });
}

void ReceiveRing::Stop()
{
    stop_ = true;
    if (!thread_.joinable()) {
        return;
    }
    thread_.join();
    // Ring memory still out would be unmapped under the stack's feet: wait for it a while. What
    // stays out after that is reported by the adapter's removal, which the ring outlives.
    for (int i = 0; i < 1000 && pool_.Available() != pool_.Capacity(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

void ReceiveRing::Append(PNET_BUFFER_LIST list, PNET_BUFFER_LIST& head, PNET_BUFFER_LIST& tail)
{
    (head == nullptr ? head : tail->Next) = list;
    tail = list;
}

bool ReceiveRing::Transmit(PNET_BUFFER netBuffer)
{
    // The driver sends from its receive path and from its worker: a buffer per thread.
    thread_local std::array<uint8_t, 65536> frame;
    const size_t length = host::CopyNetBufferBytes(netBuffer, frame);
    const bool sent = length <= frame.size() && send(sendFd_, frame.data(), length, 0) == static_cast<ssize_t>(length);
    ++(sent ? sent_ : sendFailed_);
    return sent;
}

RingCounts ReceiveRing::Counts()
{
    return RingCounts{received_, truncated_, poolExhausted_, sent_, sendFailed_, KernelCounts()};
}

void ReceiveRing::Fail(const std::string& why)
{
    std::lock_guard lock(errorMutex_);
    error_ = why;
}

std::string ReceiveRing::Error() const
{
    std::lock_guard lock(errorMutex_);
    return error_;
}

}  // namespace gvspfilter
