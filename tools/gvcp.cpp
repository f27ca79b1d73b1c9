// GVCP messages of the gvspfilter command's camera device and live controller. On the host and on
// Windows.
#include "tools/gvcp.h"

#include <algorithm>

namespace gvspfilter {

namespace {

// `header` filled in with the payload's length by `encode`, followed by the payload.
template <typename Header, typename Encoder>
std::vector<uint8_t> Encode(Header header, const std::vector<uint8_t>& payload, Encoder encode)
{
    std::vector<uint8_t> bytes(GVCP_HEADER_SIZE + payload.size());
    header.Length = static_cast<uint16_t>(payload.size());
    encode(bytes.data(), header);
    std::copy(payload.begin(), payload.end(), bytes.begin() + GVCP_HEADER_SIZE);
    return bytes;
}

// The payload the header's length announces; nullopt when the datagram is shorter.
std::optional<std::vector<uint8_t>> Payload(std::span<const uint8_t> datagram, uint16_t length)
{
    if (GVCP_HEADER_SIZE + length > datagram.size()) {
        return std::nullopt;
    }
    return std::vector<uint8_t>(datagram.begin() + GVCP_HEADER_SIZE, datagram.begin() + GVCP_HEADER_SIZE + length);
}

}  // namespace

std::vector<uint8_t> EncodeCommand(const GvcpCommand& command)
{
    return Encode(GvcpCommandHeader{command.flags, command.command, 0, command.requestId}, command.payload,
        EncodeGvcpCommandHeader);
}

std::vector<uint8_t> EncodeAck(const GvcpAck& ack)
{
    return Encode(GvcpAckHeader{ack.status, ack.answer, 0, ack.ackId}, ack.payload, EncodeGvcpAckHeader);
}

std::optional<GvcpCommand> ParseCommand(std::span<const uint8_t> datagram)
{
    GvcpCommandHeader header;
    if (datagram.size() < GVCP_HEADER_SIZE || !DecodeGvcpCommandHeader(datagram.data(), &header)) {
        return std::nullopt;
    }
    std::optional<std::vector<uint8_t>> payload = Payload(datagram, header.Length);
    if (!payload) {
        return std::nullopt;
    }
    return GvcpCommand{header.Flags, header.Command, header.RequestId, std::move(*payload)};
}

std::optional<GvcpAck> ParseAck(std::span<const uint8_t> datagram)
{
    if (datagram.size() < GVCP_HEADER_SIZE) {
        return std::nullopt;
    }
    const GvcpAckHeader header = DecodeGvcpAckHeader(datagram.data());
    std::optional<std::vector<uint8_t>> payload = Payload(datagram, header.Length);
    if (!payload) {
        return std::nullopt;
    }
    return GvcpAck{header.Status, header.Answer, header.AckId, std::move(*payload)};
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

std::optional<PacketResend> ParsePacketResend(const GvcpCommand& command)
{
    PacketResend request;
    if (command.command != GVCP_PACKETRESEND_CMD ||
        !DecodePacketResend(command.payload.data(), static_cast<uint32_t>(command.payload.size()), command.flags, &request)) {
        return std::nullopt;
    }
    return request;
}

}  // namespace gvspfilter
