// GVSP traffic as the camera emulator puts it on the wire, with any ids, statuses, formats and
// lengths, including those the camera never sends; and a stream fixture that indicates such
// frames on the camera adapter, reads the frames the driver hands over and decodes the resend
// requests it puts on the wire.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "camera/camera.h"
#include "tests/support/stream_fixture.h"

namespace gvsptest {

// "" when `bytes` hold block `block`'s payload from payload offset `offset` on (the camera's
// position encoding); otherwise the first misplaced byte.
inline std::string Misplaced(std::span<const uint8_t> bytes, uint64_t block, uint64_t offset)
{
    auto at = camera::FindPayloadMismatch(block, bytes, offset);
    return at ? "payload offset " + std::to_string(offset + *at) + " is not block " + std::to_string(block) + "'s"
              : "";
}

// ---- GVSP packets -------------------------------------------------------------------------------
// The GVSP header `f` followed by `data`.
inline std::vector<uint8_t> GvspBytes(const GvspHeader& f, std::span<const uint8_t> data)
{
    std::vector<uint8_t> bytes(GvspHeaderSize(f.ExtendedIds) + data.size());
    const size_t h = EncodeGvspHeader(bytes.data(), f);
    std::copy(data.begin(), data.end(), bytes.begin() + long(h));
    return bytes;
}

struct UdpOptions {
    uint16_t destinationPort = 50000;
    uint8_t protocol = 17;
    size_t filler = 0;   // bytes after the UDP datagram that the IPv4 total length does not cover
};

// The camera's Ethernet frame to this host carrying `datagram` in one UDP datagram.
inline std::vector<uint8_t> EthernetFrame(std::span<const uint8_t> datagram, UdpOptions o = {})
{
    camera::CameraConfig config;
    config.hostMac = {0x02, 0x00, 0x00, 0x00, 0x00, 0x02};
    config.hostPort = o.destinationPort;
    config.padToMinimum = false;
    std::vector<uint8_t> frame = camera::BuildFrame(config, datagram, 0);
    frame[23] = o.protocol;
    frame.insert(frame.end(), o.filler, 0xEE);
    return frame;
}

// A camera's packets for one stream configuration: P = packetSize - H payload bytes per packet.
// Leaders and trailers are the camera's own, cut to or extended to the size asked for.
class GvspCamera {
public:
    explicit GvspCamera(uint32_t packetSize, bool extended = false)
    {
        config_.packetSize = packetSize;
        config_.extendedIds = extended;
        config_.payloadSize = 0;
    }

    uint32_t PayloadPerPacket() const { return camera::PayloadPerPacket(config_); }

    static uint64_t TimestampOf(uint64_t block) { return 0x1122334455660000ull | (block & 0xFFFF); }

    std::vector<uint8_t> LeaderGvsp(uint64_t block, size_t size = 56, uint16_t status = 0, uint32_t packetId = 0) const
    {
        return Framing(0, size, {status, GVSP_FORMAT_LEADER, config_.extendedIds, block, packetId});
    }

    // Payload packet `packetId` (1-based) carrying the payload from (packetId - 1) x P on.
    std::vector<uint8_t> PayloadGvsp(uint64_t block, uint32_t packetId, size_t length = SIZE_MAX, uint16_t status = 0,
        uint8_t format = GVSP_FORMAT_PAYLOAD) const
    {
        size_t n = length == SIZE_MAX ? PayloadPerPacket() : length;
        std::vector<uint8_t> data = camera::ExpectedPayload(block, n, uint64_t(packetId - 1) * PayloadPerPacket());
        return GvspBytes({status, format, config_.extendedIds, block, packetId}, data);
    }

    std::vector<uint8_t> TrailerGvsp(uint64_t block, uint32_t packetId, size_t size = 16, uint16_t status = 0) const
    {
        return Framing(1, size, {status, GVSP_FORMAT_TRAILER, config_.extendedIds, block, packetId});
    }

    std::vector<uint8_t> Leader(uint64_t block, size_t size = 56, uint16_t status = 0) const
    {
        return EthernetFrame(LeaderGvsp(block, size, status));
    }
    std::vector<uint8_t> Payload(uint64_t block, uint32_t packetId, size_t length = SIZE_MAX, uint16_t status = 0,
        uint8_t format = GVSP_FORMAT_PAYLOAD) const
    {
        return EthernetFrame(PayloadGvsp(block, packetId, length, status, format));
    }
    std::vector<uint8_t> Trailer(uint64_t block, uint32_t packetId, size_t size = 16, uint16_t status = 0) const
    {
        return EthernetFrame(TrailerGvsp(block, packetId, size, status));
    }

private:
    // The data of the camera's leader (index 0) or trailer (index 1) of an empty block, cut to or
    // extended to `size` GVSP bytes, under the header `f`.
    std::vector<uint8_t> Framing(size_t index, size_t size, const GvspHeader& f) const
    {
        camera::CameraConfig config = config_;
        config.leaderSize = config.trailerSize = uint32_t(size);
        std::vector<uint8_t> packet = camera::BuildGvspPackets(config, f.BlockId, TimestampOf(f.BlockId))[index];
        const size_t h = GvspHeaderSize(f.ExtendedIds);
        packet.resize(std::max(size, h));
        return GvspBytes(f, std::span(packet).subspan(h));
    }

    camera::CameraConfig config_;
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
              << (r.last == RESEND_TO_END_OF_BLOCK ? std::string("end") : std::to_string(r.last));
}

// A PACKETRESEND command as its frame says; either form's "to the end" reads as
// RESEND_TO_END_OF_BLOCK.
inline ResendRequest DecodeResend(std::span<const uint8_t> frame)
{
    GvcpCommandHeader header{};
    PacketResend r{};
    EXPECT_TRUE(frame.size() >= FRAME_HEADERS_SIZE + GVCP_HEADER_SIZE &&
                DecodeGvcpCommandHeader(&frame[FRAME_HEADERS_SIZE], &header) &&
                DecodePacketResend(&frame[FRAME_HEADERS_SIZE + GVCP_HEADER_SIZE],
                    uint32_t(frame.size() - FRAME_HEADERS_SIZE - GVCP_HEADER_SIZE), header.Flags, &r))
        << "not a PACKETRESEND command";
    return {r.BlockId, r.FirstPacketId, r.LastPacketId, r.ExtendedIds};
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
        config.frameSize = payloadPackets * (packetSize - GvspHeaderSize(extended));
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
