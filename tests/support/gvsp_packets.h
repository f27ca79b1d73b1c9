// GVSP traffic as a camera puts it on the wire, built byte by byte: Ethernet/IPv4/UDP frames
// carrying standard or extended-id GVSP leaders, payload packets and trailers, whose payload
// bytes encode their own block and position; and a stream fixture that indicates such frames on
// the camera adapter, reads the frames the driver hands over and decodes the resend requests it
// puts on the wire.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "tests/support/stream_fixture.h"

namespace gvsptest {

// ---- Addresses of the camera and of this host -------------------------------------------------
inline constexpr std::array<uint8_t, 6> CAMERA_MAC = {0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
inline constexpr std::array<uint8_t, 6> HOST_MAC = {0x02, 0x00, 0x00, 0x00, 0x00, 0x02};
inline constexpr std::array<uint8_t, 4> CAMERA_IP = {192, 0, 2, 10};
inline constexpr std::array<uint8_t, 4> HOST_IP = {192, 0, 2, 2};
constexpr uint16_t CAMERA_STREAM_PORT = 20202;   // the camera's UDP source port for stream packets
constexpr uint16_t GVCP_PORT_NUMBER = 3956;

// GVSP packet formats.
constexpr uint8_t FORMAT_LEADER = 1;
constexpr uint8_t FORMAT_TRAILER = 2;
constexpr uint8_t FORMAT_PAYLOAD = 3;
constexpr uint8_t FORMAT_ALL_IN = 4;
constexpr uint8_t FORMAT_H264 = 5;
constexpr uint8_t FORMAT_MULTI_ZONE = 6;

constexpr uint16_t STATUS_RESENT = 0x0100;
constexpr uint32_t TO_END_OF_BLOCK = 0xFFFFFFFF;

inline void PutBigEndian(std::vector<uint8_t>& bytes, size_t at, uint64_t value, size_t width)
{
    for (size_t i = 0; i < width; ++i) {
        bytes[at + i] = uint8_t(value >> (8 * (width - 1 - i)));
    }
}

inline uint64_t GetBigEndian(std::span<const uint8_t> bytes, size_t at, size_t width)
{
    uint64_t value = 0;
    for (size_t i = 0; i < width; ++i) {
        value = value << 8 | bytes[at + i];
    }
    return value;
}

// ---- Position-encoded payload -------------------------------------------------------------------
// Payload byte at payload offset o of block b is byte (o & 3) of the little-endian word
// (b & 0xFF) << 24 | (o & ~3): any four aligned bytes name the block and offset they belong to.
inline uint8_t PositionByte(uint64_t block, uint64_t offset)
{
    uint32_t word = uint32_t(block & 0xFF) << 24 | (uint32_t(offset & ~uint64_t{3}) & 0xFFFFFF);
    return uint8_t(word >> (8 * (offset & 3)));
}

inline std::vector<uint8_t> PositionBytes(uint64_t block, uint64_t offset, size_t length)
{
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = PositionByte(block, offset + i);
    }
    return bytes;
}

// "" when `bytes` hold block `block`'s payload from payload offset `offset` on; otherwise the first
// misplaced byte, named with what it holds.
inline std::string Misplaced(std::span<const uint8_t> bytes, uint64_t block, uint64_t offset)
{
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == PositionByte(block, offset + i)) {
            continue;
        }
        char text[160];
        size_t word = i - ((offset + i) & 3);
        if ((offset + i) >= ((offset + i) & 3) && word + 4 <= bytes.size() && i >= ((offset + i) & 3)) {
            uint32_t held = uint32_t(bytes[word]) | uint32_t(bytes[word + 1]) << 8 | uint32_t(bytes[word + 2]) << 16 |
                            uint32_t(bytes[word + 3]) << 24;
            std::snprintf(text, sizeof text, "payload offset %llu holds 0x%02x: its word names block %u offset %u",
                static_cast<unsigned long long>(offset + i), bytes[i], held >> 24, held & 0xFFFFFF);
        } else {
            std::snprintf(text, sizeof text, "payload offset %llu holds 0x%02x, expected 0x%02x",
                static_cast<unsigned long long>(offset + i), bytes[i], PositionByte(block, offset + i));
        }
        return text;
    }
    return "";
}

// ---- GVSP packets -------------------------------------------------------------------------------
struct GvspFields {
    uint16_t status = 0;
    uint64_t blockId = 1;
    uint32_t packetId = 0;
    uint8_t format = FORMAT_PAYLOAD;
    bool extended = false;
};

inline size_t GvspHeaderSize(bool extended) { return extended ? 20 : 8; }

// The GVSP header followed by `data`.
inline std::vector<uint8_t> GvspBytes(const GvspFields& f, std::span<const uint8_t> data)
{
    size_t h = GvspHeaderSize(f.extended);
    std::vector<uint8_t> bytes(h + data.size());
    PutBigEndian(bytes, 0, f.status, 2);
    if (f.extended) {
        bytes[4] = uint8_t(0x80 | f.format);
        PutBigEndian(bytes, 8, f.blockId, 8);
        PutBigEndian(bytes, 16, f.packetId, 4);
    } else {
        PutBigEndian(bytes, 2, f.blockId & 0xFFFF, 2);
        bytes[4] = f.format;
        PutBigEndian(bytes, 5, f.packetId & 0xFFFFFF, 3);
    }
    std::copy(data.begin(), data.end(), bytes.begin() + long(h));
    return bytes;
}

struct UdpOptions {
    uint16_t destinationPort = 50000;
    uint8_t protocol = 17;
    size_t filler = 0;   // bytes after the UDP datagram that the IPv4 total length does not cover
};

// An Ethernet frame from the camera to this host carrying `datagram` in one UDP datagram.
inline std::vector<uint8_t> EthernetFrame(std::span<const uint8_t> datagram, UdpOptions o = {})
{
    std::vector<uint8_t> frame(42 + datagram.size() + o.filler, 0xEE);
    std::copy(HOST_MAC.begin(), HOST_MAC.end(), frame.begin());
    std::copy(CAMERA_MAC.begin(), CAMERA_MAC.end(), frame.begin() + 6);
    PutBigEndian(frame, 12, 0x0800, 2);
    frame[14] = 0x45;
    frame[15] = 0;
    PutBigEndian(frame, 16, 28 + datagram.size(), 2);
    PutBigEndian(frame, 18, 0, 4);
    frame[22] = 64;
    frame[23] = o.protocol;
    PutBigEndian(frame, 24, 0, 2);
    std::copy(CAMERA_IP.begin(), CAMERA_IP.end(), frame.begin() + 26);
    std::copy(HOST_IP.begin(), HOST_IP.end(), frame.begin() + 30);
    PutBigEndian(frame, 34, CAMERA_STREAM_PORT, 2);
    PutBigEndian(frame, 36, o.destinationPort, 2);
    PutBigEndian(frame, 38, 8 + datagram.size(), 2);
    PutBigEndian(frame, 40, 0, 2);
    std::copy(datagram.begin(), datagram.end(), frame.begin() + 42);
    return frame;
}

// A camera's packets for one stream configuration: P = packetSize - H payload bytes per packet.
class GvspCamera {
public:
    explicit GvspCamera(uint32_t packetSize, bool extended = false) : packetSize_(packetSize), extended_(extended) {}

    uint32_t PayloadPerPacket() const { return packetSize_ - uint32_t(GvspHeaderSize(extended_)); }
    bool Extended() const { return extended_; }

    static uint64_t TimestampOf(uint64_t block) { return 0x1122334455660000ull | (block & 0xFFFF); }

    // A leader of `size` GVSP bytes: 2 reserved, payload type 1, the timestamp, then bytes that
    // encode their index in the packet.
    std::vector<uint8_t> LeaderGvsp(uint64_t block, size_t size = 56, uint16_t status = 0, uint32_t packetId = 0) const
    {
        size_t h = GvspHeaderSize(extended_);
        std::vector<uint8_t> data(size > h ? size - h : 0);
        for (size_t i = 0; i < data.size(); ++i) {
            data[i] = uint8_t(0x40 + i * 3);
        }
        if (data.size() >= 4) {
            data[0] = 0;
            data[1] = 0;
            data[2] = 0;
            data[3] = 1;
        }
        std::vector<uint8_t> timestamp(8);
        PutBigEndian(timestamp, 0, TimestampOf(block), 8);
        for (size_t i = 0; i < 8 && 4 + i < data.size(); ++i) {
            data[4 + i] = timestamp[i];
        }
        return GvspBytes({status, block, packetId, FORMAT_LEADER, extended_}, data);
    }

    // Payload packet `packetId` (1-based) carrying the payload from (packetId - 1) x P on.
    std::vector<uint8_t> PayloadGvsp(uint64_t block, uint32_t packetId, size_t length = SIZE_MAX, uint16_t status = 0,
        uint8_t format = FORMAT_PAYLOAD) const
    {
        size_t n = length == SIZE_MAX ? PayloadPerPacket() : length;
        std::vector<uint8_t> data = PositionBytes(block, uint64_t(packetId - 1) * PayloadPerPacket(), n);
        return GvspBytes({status, block, packetId, format, extended_}, data);
    }

    // A trailer of `size` GVSP bytes whose data encode their index.
    std::vector<uint8_t> TrailerGvsp(uint64_t block, uint32_t packetId, size_t size = 16, uint16_t status = 0) const
    {
        size_t h = GvspHeaderSize(extended_);
        std::vector<uint8_t> data(size > h ? size - h : 0);
        for (size_t i = 0; i < data.size(); ++i) {
            data[i] = uint8_t(0xA0 + i * 5);
        }
        return GvspBytes({status, block, packetId, FORMAT_TRAILER, extended_}, data);
    }

    std::vector<uint8_t> Leader(uint64_t block, size_t size = 56, uint16_t status = 0) const
    {
        return EthernetFrame(LeaderGvsp(block, size, status));
    }
    std::vector<uint8_t> Payload(uint64_t block, uint32_t packetId, size_t length = SIZE_MAX, uint16_t status = 0,
        uint8_t format = FORMAT_PAYLOAD) const
    {
        return EthernetFrame(PayloadGvsp(block, packetId, length, status, format));
    }
    std::vector<uint8_t> Trailer(uint64_t block, uint32_t packetId, size_t size = 16, uint16_t status = 0) const
    {
        return EthernetFrame(TrailerGvsp(block, packetId, size, status));
    }

private:
    uint32_t packetSize_;
    bool extended_;
};

// ---- Resend requests on the wire ------------------------------------------------------------------
struct ResendRequest {
    uint64_t blockId = 0;
    uint32_t first = 0;
    uint32_t last = 0;
    bool extended = false;
    bool operator==(const ResendRequest&) const = default;
};

inline std::ostream& operator<<(std::ostream& os, const ResendRequest& r)
{
    return os << (r.extended ? "extended " : "") << "block " << r.blockId << " packets " << r.first << ".."
              << (r.last == TO_END_OF_BLOCK || (!r.extended && r.last == 0x00FFFFFF) ? std::string("end")
                                                                                      : std::to_string(r.last));
}

// A PACKETRESEND command as its 80 bytes say; the standard form's "to the end" (00 FF FF FF) reads
// as TO_END_OF_BLOCK.
inline ResendRequest DecodeResend(std::span<const uint8_t> frame)
{
    ResendRequest r;
    r.extended = (frame[43] & 0x10) != 0;
    r.first = uint32_t(GetBigEndian(frame, 54, 4));
    r.last = uint32_t(GetBigEndian(frame, 58, 4));
    if (r.extended) {
        r.blockId = GetBigEndian(frame, 62, 8);
    } else {
        r.blockId = GetBigEndian(frame, 52, 2);
        if (r.last == 0x00FFFFFF) {
            r.last = TO_END_OF_BLOCK;
        }
    }
    return r;
}

// The one's-complement sum of 16-bit big-endian words, folded: 0xFFFF over data carrying a valid
// Internet checksum.
inline uint16_t OnesComplementSum(std::span<const uint8_t> bytes)
{
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        sum += uint32_t(bytes[i]) << 8 | bytes[i + 1];
    }
    if (bytes.size() & 1) {
        sum += uint32_t(bytes.back()) << 8;
    }
    while (sum > 0xFFFF) {
        sum = (sum >> 16) + (sum & 0xFFFF);
    }
    return uint16_t(sum);
}

// The UDP pseudo-header and the UDP datagram as the IPv4 total length declares it.
inline std::vector<uint8_t> UdpChecksumCover(std::span<const uint8_t> frame)
{
    size_t udpLength = GetBigEndian(frame, 16, 2) - 20;
    std::vector<uint8_t> cover(12 + udpLength);
    std::copy(frame.begin() + 26, frame.begin() + 34, cover.begin());
    cover[9] = 17;
    PutBigEndian(cover, 10, udpLength, 2);
    std::copy(frame.begin() + 34, frame.begin() + 34 + long(udpLength), cover.begin() + 12);
    return cover;
}

// ---- A stream receiving on the camera adapter -----------------------------------------------------
class ReceiveTest : public StreamTest {
protected:
    static constexpr uint32_t PACKET_SIZE = 1448;   // P = 1440 with standard headers
    static constexpr uint32_t P = 1440;

    // A configuration for frames of `payloadPackets` full packets.
    static gvsp::StreamConfig Config(uint32_t payloadPackets, uint32_t packetSize = PACKET_SIZE, bool extended = false)
    {
        gvsp::StreamConfig config;
        config.packetSize = packetSize;
        config.frameSize = payloadPackets * (packetSize - uint32_t(GvspHeaderSize(extended)));
        config.resendSourcePort = 50000;
        return config;
    }

    // Opens the stream with buffers of `payloadRoom` payload bytes and makes it Active.
    void Open(gvsp::StreamConfig config, uint32_t payloadRoom = 16 * P, uint32_t frames = 4)
    {
        OpenStream(frames, FRAME_BUFFER_MIN_SIZE + payloadRoom, config);
        stream->SetActive(true);
    }

    // Indicates `packet` alone; true when the driver consumed it (it did not go up).
    bool ReceivePacket(std::unique_ptr<host::Packet> packet, ULONG flags = NDIS_RECEIVE_FLAGS_DISPATCH_LEVEL)
    {
        PNET_BUFFER_LIST list = packet->List();
        kept_.push_back(std::move(packet));
        size_t before = adapter->IndicatedAbove().size();
        adapter->Indicate(list, 0, flags);
        auto above = adapter->IndicatedAbove();
        for (size_t i = before; i < above.size(); ++i) {
            for (PNET_BUFFER_LIST l : above[i].lists) {
                if (l == list) {
                    return false;
                }
            }
        }
        return true;
    }
    bool Receive(const std::vector<uint8_t>& frame, host::SegmentMapping mapping = host::SegmentMapping::NonPagedPool)
    {
        return ReceivePacket(host::MakeFramePacket(frame, mapping));
    }

    // Leader, payload packets 1..n of full size, trailer n + 1.
    void ReceiveWholeFrame(const GvspCamera& camera, uint64_t block, uint32_t payloadPackets)
    {
        EXPECT_TRUE(Receive(camera.Leader(block)));
        for (uint32_t id = 1; id <= payloadPackets; ++id) {
            EXPECT_TRUE(Receive(camera.Payload(block, id)));
        }
        EXPECT_TRUE(Receive(camera.Trailer(block, payloadPackets + 1)));
    }

    // The next frame the driver hands over; fails the test when none is ready.
    gvsp::Frame TakeFrame()
    {
        auto pending = stream->RequestFrame();
        gvsp::Frame frame;
        if (!pending->Done()) {
            ADD_FAILURE() << "no frame was ready to hand over";
            pending->Cancel();
            pending->Wait(&frame);
            return gvsp::Frame();
        }
        EXPECT_EQ(pending->Wait(&frame), STATUS_SUCCESS);
        return frame;
    }

    // The buffer of the frame being assembled for the newest block (as a debugger would find it).
    uint8_t* CurrentBuffer()
    {
        StreamPort* port = PortOf(portId);
        if (port == nullptr || port->CurrentFrame == nullptr) {
            ADD_FAILURE() << "no frame is assembling";
            return nullptr;
        }
        return reinterpret_cast<uint8_t*>(stream->BufferAddress(port->CurrentFrame->FrameIndex));
    }
    const FrameHeader& CurrentHeader() { return *reinterpret_cast<const FrameHeader*>(CurrentBuffer() + FRAME_PRIVATE_SIZE); }
    const FramePrivate& CurrentPrivate() { return *reinterpret_cast<const FramePrivate*>(CurrentBuffer()); }

    // Every frame the miniport was given, from record `since` on.
    std::vector<std::vector<uint8_t>> SentFrames(size_t since = 0) const
    {
        std::vector<std::vector<uint8_t>> out;
        for (const host::SendRecord& r : adapter->SentToMiniportSince(since)) {
            for (const auto& f : r.frames) {
                out.push_back(f);
            }
        }
        return out;
    }
    std::vector<ResendRequest> Requests(size_t since = 0) const
    {
        std::vector<ResendRequest> out;
        for (const auto& f : SentFrames(since)) {
            out.push_back(DecodeResend(f));
        }
        return out;
    }
    size_t SendRecords() const { return adapter->SentToMiniport().size(); }

    std::vector<std::unique_ptr<host::Packet>> kept_;
};

}  // namespace gvsptest
