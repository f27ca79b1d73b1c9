// live's AF_XDP ring: our XDP program redirects the stream's UDP datagrams arriving on the
// interface to an AF_XDP socket whose frames lie in memory shared with this process; up to 64
// received descriptors go up to the driver as one chain, and each frame goes back to the fill ring
// when its list returns. Host only.
#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <linux/if_link.h>
#include <net/if.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <xdp/xsk.h>

#include <bit>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <utility>

#include "tools/command_line.h"
#include "tools/receive_ring.h"

// The XDP program, compiled for BPF when the command is built (tools/bpf/stream_redirect.bpf.c).
asm(".section .rodata\n"
    ".global gvsp_stream_redirect\n"
    "gvsp_stream_redirect:\n"
    ".incbin \"" GVSP_XDP_OBJECT "\"\n"
    ".global gvsp_stream_redirect_end\n"
    "gvsp_stream_redirect_end:\n"
    ".previous\n");
extern "C" const char gvsp_stream_redirect[], gvsp_stream_redirect_end[];

namespace gvspfilter {

namespace {

constexpr uint32_t FRAME_BYTES = XSK_UMEM__DEFAULT_FRAME_SIZE;
constexpr uint32_t BATCH = 64;   // descriptors indicated in one chain at most
// After a short batch the thread lets the next one gather for this long, as the packet ring's
// kernel retires a block by time: one wake-up per datagram cost more than the datagram.
constexpr auto GATHER = std::chrono::milliseconds(1);
constexpr uint32_t XDP_MODE = XDP_FLAGS_SKB_MODE;

class XdpRing final : public ReceiveRing {
public:
    XdpRing(const InterfaceInfo& interface, uint16_t port, uint32_t frames);
    ~XdpRing() override;
    const char* Kind() const override { return "xdp"; }

private:
    void Loop(host::Adapter& adapter) override;
    void Recycle(uintptr_t address) override;
    std::vector<KernelCount> KernelCounts() override;
    void Close();

    std::string name_;
    int ifindex_ = 0;
    uint32_t frames_ = 0;
    bpf_object* program_ = nullptr;
    bool attached_ = false;
    uint8_t* area_ = nullptr;
    xsk_umem* umem_ = nullptr;
    xsk_ring_prod fill_{};          // under fillMutex_: lists come back on any thread
    xsk_ring_cons completion_{};    // unused: the socket does not send
    xsk_socket* socket_ = nullptr;
    xsk_ring_cons rx_{};            // the receive thread's
    std::mutex fillMutex_;
};

XdpRing::XdpRing(const InterfaceInfo& interface, uint16_t port, uint32_t frames)
    : ReceiveRing(interface, frames), name_(interface.name), ifindex_(static_cast<int>(if_nametoindex(interface.name.c_str()))),
      frames_(frames)
{
    auto fail = [&](const std::string& step, int error) {
        Close();
        throw RunError("AF_XDP on '" + name_ + "': " + step + ": " + std::strerror(error < 0 ? -error : error));
    };
    std::error_code ignored;
    size_t queues = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/sys/class/net/" + name_ + "/queues", ignored)) {
        queues += entry.path().filename().string().rfind("rx-", 0) == 0;
    }
    if (queues != 1) {
        throw RunError("AF_XDP on '" + name_ + "': it has " + std::to_string(queues) + " receive queues, the ring takes one");
    }
    if (interface.mtu + 18 > FRAME_BYTES - XDP_PACKET_HEADROOM) {
        throw RunError("AF_XDP on '" + name_ + "': its MTU " + std::to_string(interface.mtu) + " exceeds a ring frame");
    }
    void* area = mmap(nullptr, size_t{frames_} * FRAME_BYTES, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (area == MAP_FAILED) {
        fail("cannot map its frames", errno);
    }
    area_ = static_cast<uint8_t*>(area);
    xsk_umem_config umemConfig{frames_, BATCH, FRAME_BYTES, 0, 0};
    if (int error = xsk_umem__create(&umem_, area_, size_t{frames_} * FRAME_BYTES, &fill_, &completion_, &umemConfig)) {
        fail("cannot register its frames", error);
    }
    program_ = bpf_object__open_mem(gvsp_stream_redirect, static_cast<size_t>(gvsp_stream_redirect_end - gvsp_stream_redirect), nullptr);
    if (program_ == nullptr) {
        fail("cannot open the XDP program", errno);
    }
    if (int error = bpf_object__load(program_)) {
        fail("cannot load the XDP program", error);
    }
    const uint32_t key = 0, value = port;
    if (bpf_map_update_elem(bpf_object__find_map_fd_by_name(program_, "stream_port"), &key, &value, 0) != 0) {
        fail("cannot give the XDP program the stream's port", errno);
    }
    xsk_socket_config socketConfig{};
    socketConfig.rx_size = frames_;
    socketConfig.libxdp_flags = XSK_LIBXDP_FLAGS__INHIBIT_PROG_LOAD;
    socketConfig.xdp_flags = XDP_MODE;
    socketConfig.bind_flags = XDP_COPY;
    if (int error = xsk_socket__create(&socket_, name_.c_str(), 0, umem_, &rx_, nullptr, &socketConfig)) {
        fail("cannot open the socket", error);
    }
    if (int error = xsk_socket__update_xskmap(socket_, bpf_object__find_map_fd_by_name(program_, "sockets"))) {
        fail("cannot hand the socket to the XDP program", error);
    }
    uint32_t index = 0;
    if (xsk_ring_prod__reserve(&fill_, frames_, &index) != frames_) {
        fail("cannot fill its fill ring", ENOBUFS);
    }
    for (uint32_t i = 0; i < frames_; ++i) {
        *xsk_ring_prod__fill_addr(&fill_, index + i) = uint64_t{i} * FRAME_BYTES;
    }
    xsk_ring_prod__submit(&fill_, frames_);
    const bpf_program* redirect = bpf_object__find_program_by_name(program_, "redirect_stream");
    if (int error = bpf_xdp_attach(ifindex_, bpf_program__fd(redirect), XDP_MODE | XDP_FLAGS_UPDATE_IF_NOEXIST, nullptr)) {
        fail("cannot attach the XDP program (another one may be attached)", error);
    }
    attached_ = true;
}

XdpRing::~XdpRing()
{
    Stop();
    Close();
}

void XdpRing::Close()
{
    if (attached_) {
        bpf_xdp_detach(ifindex_, XDP_MODE, nullptr);
        attached_ = false;
    }
    if (socket_ != nullptr) {
        xsk_socket__delete(std::exchange(socket_, nullptr));
    }
    if (umem_ != nullptr) {
        xsk_umem__delete(std::exchange(umem_, nullptr));
    }
    if (program_ != nullptr) {
        bpf_object__close(std::exchange(program_, nullptr));
    }
    if (area_ != nullptr) {
        munmap(std::exchange(area_, nullptr), size_t{frames_} * FRAME_BYTES);
    }
}

void XdpRing::Loop(host::Adapter& adapter)
{
    pollfd waiting{xsk_socket__fd(socket_), POLLIN, 0};
    while (!stop_) {
        uint32_t index = 0;
        const uint32_t got = xsk_ring_cons__peek(&rx_, BATCH, &index);
        if (got == 0) {
            // Woken when a frame arrives; the timeout only lets Stop be seen.
            if (poll(&waiting, 1, 100) < 0 && errno != EINTR) {
                Fail(std::strerror(errno));
                return;
            }
            continue;
        }
        PNET_BUFFER_LIST head = nullptr, tail = nullptr;
        for (uint32_t i = 0; i < got; ++i) {
            const xdp_desc* descriptor = xsk_ring_cons__rx_desc(&rx_, index + i);
            auto* frame = static_cast<uint8_t*>(xsk_umem__get_data(area_, descriptor->addr));
            PNET_BUFFER_LIST list = pool_.Take(frame, descriptor->len, descriptor->addr);
            if (list == nullptr) {
                ++poolExhausted_;
                Recycle(descriptor->addr);
                continue;
            }
            Append(list, head, tail);
            ++received_;
        }
        xsk_ring_cons__release(&rx_, got);
        if (head != nullptr) {
            adapter.Indicate(head, 0, NDIS_RECEIVE_FLAGS_DISPATCH_LEVEL);
        }
        if (got < BATCH) {
            std::this_thread::sleep_for(GATHER);
        }
    }
}

void XdpRing::Recycle(uintptr_t address)
{
    std::lock_guard lock(fillMutex_);
    uint32_t index = 0;
    // The fill ring holds every frame, so a frame that comes back always finds its place.
    if (xsk_ring_prod__reserve(&fill_, 1, &index) == 1) {
        *xsk_ring_prod__fill_addr(&fill_, index) = address - address % FRAME_BYTES;
        xsk_ring_prod__submit(&fill_, 1);
    }
}

std::vector<KernelCount> XdpRing::KernelCounts()
{
    xdp_statistics stats{};
    socklen_t size = sizeof stats;
    getsockopt(xsk_socket__fd(socket_), SOL_XDP, XDP_STATISTICS, &stats, &size);
    return {{"xdp_rx_dropped", "packet dropped by the kernel, no free frame for the AF_XDP socket", stats.rx_dropped},
        {"xdp_rx_ring_full", "packet dropped by the kernel, the AF_XDP receive ring full", stats.rx_ring_full},
        {"xdp_rx_fill_ring_empty_descs", nullptr, stats.rx_fill_ring_empty_descs}};
}

}  // namespace

std::unique_ptr<ReceiveRing> OpenXdpRing(const InterfaceInfo& interface, uint16_t port, uint32_t mebibytes)
{
    // A power of two of frames, as the rings need.
    return std::make_unique<XdpRing>(interface, port, std::bit_floor((mebibytes << 20) / FRAME_BYTES));
}

}  // namespace gvspfilter
