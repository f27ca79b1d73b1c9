// GVCP messages of the gvspfilter command's camera device and live controller. On the host and on
// Windows.
#include "tools/gvcp.h"

#include <algorithm>

namespace gvspfilter {

using camera::GetBe16;
using camera::GetBe32;
using camera::GetBe64;
using camera::PutBe16;

namespace {

std::vector<uint8_t> Encode(uint16_t first, uint16_t second, uint16_t id, const std::vector<uint8_t>& payload)
{
    std::vector<uint8_t> bytes(GVCP_HEADER_BYTES + payload.size());
    PutBe16(&bytes[0], first);
    PutBe16(&bytes[2], second);
    PutBe16(&bytes[4], static_cast<uint16_t>(payload.size()));
    PutBe16(&bytes[6], id);
    std::copy(payload.begin(), payload.end(), bytes.begin() + GVCP_HEADER_BYTES);
    return bytes;
}

// The payload the header's length announces; nullopt when the datagram is shorter.
std::optional<std::vector<uint8_t>> Payload(std::span<const uint8_t> datagram)
{
    if (datagram.size() < GVCP_HEADER_BYTES) {
        return std::nullopt;
    }
    const size_t length = GetBe16(&datagram[4]);
    if (GVCP_HEADER_BYTES + length > datagram.size()) {
        return std::nullopt;
    }
    return std::vector<uint8_t>(datagram.begin() + GVCP_HEADER_BYTES, datagram.begin() + GVCP_HEADER_BYTES + length);
}

}  // namespace

std::vector<uint8_t> EncodeCommand(const GvcpCommand& command)
{
    return Encode(static_cast<uint16_t>((GVCP_KEY << 8) | command.flags), command.command, command.requestId,
        command.payload);
}

std::vector<uint8_t> EncodeAck(const GvcpAck& ack) { return Encode(ack.status, ack.answer, ack.ackId, ack.payload); }

std::optional<GvcpCommand> ParseCommand(std::span<const uint8_t> datagram)
{
    std::optional<std::vector<uint8_t>> payload = Payload(datagram);
    if (!payload || datagram[0] != GVCP_KEY) {
        return std::nullopt;
    }
    return GvcpCommand{datagram[1], GetBe16(&datagram[2]), GetBe16(&datagram[6]), std::move(*payload)};
}

std::optional<GvcpAck> ParseAck(std::span<const uint8_t> datagram)
{
    std::optional<std::vector<uint8_t>> payload = Payload(datagram);
    if (!payload) {
        return std::nullopt;
    }
    return GvcpAck{GetBe16(&datagram[0]), GetBe16(&datagram[2]), GetBe16(&datagram[6]), std::move(*payload)};
}

const char* GvcpStatusName(uint16_t status)
{
    switch (status) {
    case GVCP_STATUS_SUCCESS: return "success";
    case GVCP_STATUS_NOT_IMPLEMENTED: return "not implemented";
    case GVCP_STATUS_INVALID_PARAMETER: return "invalid parameter";
    case GVCP_STATUS_INVALID_ADDRESS: return "invalid address";
    case GVCP_STATUS_WRITE_PROTECT: return "write protected";
    case GVCP_STATUS_BAD_ALIGNMENT: return "bad alignment";
    case GVCP_STATUS_ACCESS_DENIED: return "access denied";
    default: return "error";
    }
}

std::optional<PacketResendRequest> ParsePacketResend(const GvcpCommand& command)
{
    PacketResendRequest r;
    r.extendedIds = (command.flags & GVCP_FLAG_EXTENDED_ID) != 0;
    const std::vector<uint8_t>& p = command.payload;
    if (command.command != GVCP_PACKETRESEND_CMD || p.size() < (r.extendedIds ? 20u : 12u)) {
        return std::nullopt;
    }
    r.streamChannel = GetBe16(&p[0]);
    r.blockId = r.extendedIds ? GetBe64(&p[12]) : GetBe16(&p[2]);
    r.firstPacketId = GetBe32(&p[4]);
    r.lastPacketId = GetBe32(&p[8]);
    r.toEnd = r.lastPacketId == (r.extendedIds ? camera::RESEND_TO_END_EXTENDED : camera::RESEND_TO_END_STANDARD);
    return r;
}

}  // namespace gvspfilter
