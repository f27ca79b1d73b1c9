// The shared harness of the fuzz targets: an emulated machine built once per fuzzing process
// with GvspFilter loaded on a virtual clock, a reader over the fuzzer's input, wire frames from a
// camera, a stream opened through the client library, and the reset between inputs that proves
// the driver holds exactly what it held after loading. Host only, one thread.
#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <thread>
#include <vector>

#include "base/stream_memory.h"
#include "base/wire_format.h"
#include "client/gvsp_client.h"
#include "driver/handlers.h"
#include "fuzz/fail.h"
#include "host/io/errorlog.h"
#include "host/kernel/kernel.h"
#include "host/machine.h"
#include "host/ndis/ndis.h"

namespace fuzzing {

using Mac = std::array<uint8_t, 6>;

inline constexpr Mac CAMERA_MAC = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
inline constexpr std::array<uint8_t, 4> CAMERA_IP = {192, 0, 2, 10};
inline constexpr std::array<uint8_t, 4> HOST_IP = {192, 0, 2, 2};
inline constexpr uint16_t STREAM_PORT = 50000;

constexpr Mac AdapterMac(uint8_t index) { return {0x00, 0x1B, 0x2C, 0x3D, 0x4E, uint8_t(0xA0 + index)}; }

// The fuzzer's input read front to back; past its end every read yields zeros.
class Input {
public:
    Input(const uint8_t* data, size_t size) : at_(data), end_(data + size) {}
    bool Empty() const { return at_ >= end_; }
    uint8_t U8() { return at_ < end_ ? *at_++ : 0; }
    uint16_t U16() { return uint16_t(U8() | U8() << 8); }
    uint32_t U32() { return U16() | uint32_t(U16()) << 16; }
    std::vector<uint8_t> Bytes(size_t n)
    {
        n = std::min(n, size_t(end_ - at_));
        std::vector<uint8_t> out(at_, at_ + n);
        at_ += n;
        return out;
    }

private:
    const uint8_t* at_;
    const uint8_t* end_;
};

// An Ethernet/IPv4/UDP frame from the camera to adapter `to`, carrying `datagram`.
inline std::vector<uint8_t> UdpFrame(const Mac& to, uint16_t destinationPort, std::span<const uint8_t> datagram)
{
    std::vector<uint8_t> f(FRAME_HEADERS_SIZE + datagram.size());
    std::copy(to.begin(), to.end(), f.begin() + ETHERNET_DESTINATION);
    std::copy(CAMERA_MAC.begin(), CAMERA_MAC.end(), f.begin() + ETHERNET_SOURCE);
    WriteBigEndian16(&f[ETHERNET_TYPE], ETHERTYPE_IPV4);
    f[IPV4_VERSION_LENGTH] = 0x45;
    WriteBigEndian16(&f[IPV4_TOTAL_LENGTH], uint16_t(IP_UDP_HEADERS_SIZE + datagram.size()));
    f[IPV4_TIME_TO_LIVE] = 64;
    f[IPV4_PROTOCOL] = IP_PROTOCOL_UDP;
    std::copy(CAMERA_IP.begin(), CAMERA_IP.end(), f.begin() + IPV4_SOURCE);
    std::copy(HOST_IP.begin(), HOST_IP.end(), f.begin() + IPV4_DESTINATION);
    WriteBigEndian16(&f[UDP_SOURCE_PORT], 20202);
    WriteBigEndian16(&f[UDP_DESTINATION_PORT], destinationPort);
    WriteBigEndian16(&f[UDP_LENGTH], uint16_t(UDP_HEADER_SIZE + datagram.size()));
    std::copy(datagram.begin(), datagram.end(), f.begin() + FRAME_HEADERS_SIZE);
    return f;
}

// A GVSP header (standard or extended ids) followed by `data`.
inline std::vector<uint8_t> Gvsp(uint8_t format, uint64_t blockId, uint32_t packetId, bool extended,
    std::span<const uint8_t> data, uint16_t status = 0)
{
    std::vector<uint8_t> g(GvspHeaderSize(extended) + data.size());
    const size_t h = EncodeGvspHeader(g.data(), {status, format, extended, blockId, packetId});
    std::copy(data.begin(), data.end(), g.begin() + long(h));
    return g;
}

// Camera adapter `index` of the machine, with jumbo frames.
inline host::Adapter& AddCameraAdapter(uint8_t index)
{
    static const char16_t* const DEVICE_NAMES[] = {u"\\DEVICE\\{5A0C6E31-0B1D-4B7C-9A55-0000000000A0}",
        u"\\DEVICE\\{5A0C6E31-0B1D-4B7C-9A55-0000000000A1}"};
    host::AdapterConfig config;
    config.mac = AdapterMac(index);
    config.mtu = 9000;
    config.friendlyName = u"Camera port";
    config.deviceName = DEVICE_NAMES[index % 2];
    return host::AddAdapter(config);
}

inline NTSTATUS LoadGvspFilter(host::Machine& machine)
{
    return machine.LoadDriver(DriverEntry, u"kxGenICamForEthernet", {POOL_TAG, NAME_QUERY_TAG});
}

// The machine of the fuzzing process: built at the first input and kept, so that an execution
// costs what the driver does with it, not a load.
class Rig {
public:
    // Camera adapters with jumbo frames, then the driver.
    explicit Rig(uint8_t adapters) : machine_(host::MachineOptions{.virtualClock = true, .clockStart = host::PERFORMANCE_FREQUENCY})
    {
        for (uint8_t i = 0; i < adapters; ++i) {
            adapters_.push_back(&AddCameraAdapter(i));
        }
        uint64_t delays = host::SystemThreadSleeps();
        if (LoadGvspFilter(machine_) != STATUS_SUCCESS) {
            Fail("the driver did not load");
        }
        // From its first sleep on, the worker runs a pass only when the clock moves.
        host::WaitForSystemThreadSleeps(delays + 1);
        baseline_ = Held();
    }

    host::Adapter& Adapter(size_t index) { return *adapters_[index]; }
    host::Machine& Machine() { return machine_; }

    // Indicates `frame` as the adapter's miniport does, whole or cut into segments; every list
    // must be back with the miniport when the call returns, or soon after when another thread
    // (the drain of a pause) is returning it: only then may the miniport reuse the packet.
    static void Indicate(host::Adapter& adapter, const std::vector<uint8_t>& frame, ULONG flags, size_t splitAt = 0,
        host::SegmentMapping mapping = host::SegmentMapping::NonPagedPool)
    {
        host::PacketBuilder builder;
        if (splitAt > 0 && splitAt < frame.size()) {
            builder.SplitFrame(frame, splitAt, mapping);
        } else {
            builder.Segment(frame.empty() ? std::vector<uint8_t>(1) : frame, mapping);
            builder.Length(ULONG(frame.size()));
        }
        std::unique_ptr<host::Packet> packet = builder.Build();
        adapter.Indicate(packet->List(), 0, flags);
        for (auto giveUpAt = std::chrono::steady_clock::now() + std::chrono::seconds(5);
             adapter.OutstandingAtMiniport() != 0 && std::chrono::steady_clock::now() < giveUpAt;) {
            std::this_thread::yield();
        }
        if (adapter.OutstandingAtMiniport() != 0) {
            Fail("%zu received lists not returned to the miniport", adapter.OutstandingAtMiniport());
        }
    }

    // Moves the clock on 1 ms at a time: the worker runs every pass of that time.
    static void AdvanceMs(uint32_t milliseconds)
    {
        for (uint32_t i = 0; i < milliseconds; ++i) {
            host::AdvanceClock(1000);
        }
    }

    // After every process of the input has ended: the driver holds exactly what it held after
    // loading, no user page stays locked and no system mapping of user memory is left. The event
    // log is forgotten (the adapters' traffic records are bounded), so that memory stays bounded.
    void CheckReset()
    {
        host::TheEventLog().Clear();
        uint64_t out = host::LookasideUsageOfTag(POOL_TAG).outstanding;
        host::PoolUsage now = Held();
        if (out != 0 || now.blocks != baseline_.blocks || now.bytes != baseline_.bytes) {
            Fail("pool under the driver's tag: %llu lookaside entries out, %llu blocks / %llu bytes after the input, "
                 "%llu / %llu after loading",
                (unsigned long long)out, (unsigned long long)now.blocks, (unsigned long long)now.bytes, (unsigned long long)baseline_.blocks,
                (unsigned long long)baseline_.bytes);
        }
        if (host::LockedMdls() != 0 || host::LiveSystemMappings() != 0) {
            Fail("%zu locked MDLs and %zu system mappings of user pages left", host::LockedMdls(),
                host::LiveSystemMappings());
        }
    }

private:
    // The pool under the driver's tag; entries parked on a lookaside list are kept for reuse, not leaked.
    static host::PoolUsage Held()
    {
        host::PoolUsage held = host::PoolUsageOfTag(POOL_TAG);
        host::PoolUsage parked = host::LookasideUsageOfTag(POOL_TAG).parked;
        held.blocks -= parked.blocks;
        held.bytes -= parked.bytes;
        return held;
    }

    host::Machine machine_;
    std::vector<host::Adapter*> adapters_;
    host::PoolUsage baseline_;
};

// The rig of this fuzzing process (never destroyed: the fuzzer exits without unloading).
inline Rig& TheRig(uint8_t adapters = 1)
{
    static Rig* rig = new Rig(adapters);
    return *rig;
}

// A stream the way a camera library opens it: bound, `frames` buffers with `payloadRoom` bytes of
// payload each, configured, set up, Active and started. Null when the driver refused a step.
inline std::unique_ptr<gvsp::Stream> OpenStream(host::UserProcess& process, const Mac& adapter, uint16_t port,
    uint32_t frames, uint32_t payloadRoom, const gvsp::StreamConfig& config)
{
    auto stream = std::make_unique<gvsp::Stream>(process);
    if (stream->Bind(adapter, port) != STATUS_SUCCESS || !stream->AllocateCache(frames, FRAME_BUFFER_MIN_SIZE + payloadRoom)) {
        return nullptr;
    }
    stream->Configure(config);
    if (stream->SetupCache() != STATUS_SUCCESS) {
        return nullptr;
    }
    stream->SetActive(true);
    return stream->Start() == STATUS_SUCCESS ? std::move(stream) : nullptr;
}

// Takes every frame ready for `request`, checks that it names a buffer of `stream`, returns it
// and asks for the next; the frame request is re-issued as long as frames come.
inline void CollectFrames(gvsp::Stream& stream, std::unique_ptr<gvsp::PendingFrame>& request)
{
    while (request != nullptr && request->Done()) {
        gvsp::Frame frame;
        NTSTATUS status = request->Wait(&frame);
        if (status != STATUS_SUCCESS) {
            request = nullptr;
            return;
        }
        bool known = false;
        for (uint32_t i = 0; i < stream.Block().FrameCount; ++i) {
            known |= stream.BufferAddress(i) + FRAME_PRIVATE_SIZE == frame.HeaderAddress();
        }
        if (!known) {
            Fail("a frame handed over at 0x%llx names no buffer of the stream", (unsigned long long)frame.HeaderAddress());
        }
        NTSTATUS returned = stream.ReturnFrame(frame);
        if (returned != STATUS_SUCCESS && returned != STATUS_UNSUCCESSFUL) {
            Fail("frame return ended with 0x%08x", unsigned(returned));
        }
        request = stream.RequestFrame();
    }
}

// Ends the request (cancelling it if it still waits) and checks how it ended.
inline void EndRequest(std::unique_ptr<gvsp::PendingFrame>& request)
{
    if (request == nullptr) {
        return;
    }
    if (!request->Done()) {
        request->Cancel();
    }
    NTSTATUS status = request->Wait(nullptr);
    if (status != STATUS_SUCCESS && status != STATUS_CANCELLED && status != STATUS_UNSUCCESSFUL) {
        Fail("a frame request ended with 0x%08x", unsigned(status));
    }
    request = nullptr;
}

}  // namespace fuzzing
