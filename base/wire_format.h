// The wire codec: offsets in Ethernet/IPv4/UDP frames, the GVSP header, leader and trailer, the
// GVCP command and acknowledge headers and the PACKETRESEND command, with the routines that
// encode and decode them over base/byte_order.h. The driver, the camera emulator, the
// gvspfilter command, the tests and the fuzz targets all speak GVSP and GVCP through it. Wire
// fields are never read by casting a struct over packet bytes. Self-contained (fixed-width types
// only), so that user-mode code includes it alone. Any IRQL.
#pragma once

#include <cstdint>

#include "base/byte_order.h"

// Ethernet II + IPv4 (20-byte header) + UDP: the driver's own packets, and the offsets of a
// received packet up to its IPv4 options. A received packet's UDP header lies after its real IPv4
// header, at ETHERNET_HEADER_SIZE + 4 x IHL.
constexpr uint32_t ETHERNET_HEADER_SIZE = 14;
constexpr uint32_t IPV4_HEADER_SIZE = 20;
constexpr uint32_t UDP_HEADER_SIZE = 8;
constexpr uint32_t FRAME_HEADERS_SIZE = ETHERNET_HEADER_SIZE + IPV4_HEADER_SIZE + UDP_HEADER_SIZE;   // 42
constexpr uint32_t IP_UDP_HEADERS_SIZE = IPV4_HEADER_SIZE + UDP_HEADER_SIZE;                          // 28
constexpr uint32_t ETHERNET_MIN_FRAME_SIZE = 60;   // the shortest frame, without its check sequence

constexpr uint32_t ETHERNET_DESTINATION = 0;
constexpr uint32_t ETHERNET_SOURCE = 6;
constexpr uint32_t ETHERNET_TYPE = 12;
constexpr uint32_t IPV4_VERSION_LENGTH = 14;
constexpr uint32_t IPV4_TOTAL_LENGTH = 16;
constexpr uint32_t IPV4_FLAGS_FRAGMENT_OFFSET = 20;
constexpr uint32_t IPV4_TIME_TO_LIVE = 22;
constexpr uint32_t IPV4_PROTOCOL = 23;
constexpr uint32_t IPV4_CHECKSUM = 24;
constexpr uint32_t IPV4_SOURCE = 26;
constexpr uint32_t IPV4_DESTINATION = 30;
constexpr uint32_t UDP_SOURCE_PORT = 34;
constexpr uint32_t UDP_DESTINATION_PORT = 36;
constexpr uint32_t UDP_LENGTH = 38;
constexpr uint32_t UDP_CHECKSUM = 40;
// From the start of a UDP header wherever it lies.
constexpr uint32_t UDP_HEADER_DESTINATION_PORT = UDP_DESTINATION_PORT - UDP_SOURCE_PORT;
constexpr uint32_t UDP_HEADER_LENGTH = UDP_LENGTH - UDP_SOURCE_PORT;
constexpr uint32_t UDP_HEADER_CHECKSUM = UDP_CHECKSUM - UDP_SOURCE_PORT;

constexpr uint16_t ETHERTYPE_IPV4 = 0x0800;   // a VLAN tag left in place shows 0x8100 here instead
constexpr uint8_t IPV4_VERSION = 4;            // the high nibble of IPV4_VERSION_LENGTH
constexpr uint8_t IPV4_IHL_MASK = 0x0F;        // the low nibble: the header's length in 32-bit words
constexpr uint8_t IP_PROTOCOL_UDP = 17;
constexpr uint16_t IPV4_MORE_FRAGMENTS = 0x2000;
constexpr uint16_t IPV4_FRAGMENT_OFFSET_MASK = 0x1FFF;   // in 8-byte units

// ---- GVSP -------------------------------------------------------------------------------------
// The standard header (16-bit block id, 24-bit packet id) and the extended-id header (64-bit
// block id, 32-bit packet id); the header's size is the offset of the packet's data.
constexpr uint32_t GVSP_STANDARD_HEADER_SIZE = 8;
constexpr uint32_t GVSP_EXTENDED_HEADER_SIZE = 20;
constexpr uint32_t GVSP_HEADER_STATUS = 0;
constexpr uint32_t GVSP_HEADER_BLOCK_ID = 2;       // standard: 16 bits; extended: flags, not examined
constexpr uint32_t GVSP_HEADER_FORMAT = 4;         // the EI flag and the packet format
constexpr uint32_t GVSP_HEADER_PACKET_ID = 5;      // standard: 24 bits; extended: reserved
constexpr uint32_t GVSP_HEADER_BLOCK_ID_64 = 8;    // extended only
constexpr uint32_t GVSP_HEADER_PACKET_ID_32 = 16;  // extended only
constexpr uint8_t GVSP_EXTENDED_ID_FLAG = 0x80;    // bit 7 of the format byte
constexpr uint8_t GVSP_PACKET_FORMAT_MASK = 0x0F;

constexpr uint8_t GVSP_FORMAT_LEADER = 1;
constexpr uint8_t GVSP_FORMAT_TRAILER = 2;
constexpr uint8_t GVSP_FORMAT_PAYLOAD = 3;
constexpr uint8_t GVSP_FORMAT_ALL_IN = 4;   // a format the driver does not take
constexpr uint8_t GVSP_FORMAT_H264 = 5;
constexpr uint8_t GVSP_FORMAT_MULTI_ZONE = 6;

// Statuses: bit 15 marks every error status (a device's concrete error codes all carry it), bit 14
// a device-specific one.
constexpr uint16_t GVSP_STATUS_SUCCESS = 0x0000;
constexpr uint16_t GVSP_STATUS_ERROR = 0x8000;              // the bit of every error: an error closes the frame
constexpr uint16_t GVSP_STATUS_RESEND = 0x0100;             // a packet sent again on request
constexpr uint16_t GVSP_STATUS_DEVICE_SPECIFIC = 0x4000;
constexpr uint16_t GVSP_STATUS_DEVICE_RESEND_BIT = 0x0008;  // a device-specific resend marker

constexpr uint32_t GVSP_MAX_PACKET_ID = 65535;  // the ids the PacketBitmap covers

struct GvspHeader {
    uint16_t Status;
    uint8_t Format;      // the packet format, without the EI flag
    bool ExtendedIds;    // the EI flag
    uint64_t BlockId;    // 16 bits in the standard header
    uint32_t PacketId;   // 24 bits in the standard header
};

// The header at `bytes`, of a packet of `length` bytes, which the caller has seen to hold at least
// the standard header; returns the header's size, or 0 when an extended-id header does not fit.
inline uint32_t DecodeGvspHeader(const uint8_t* bytes, uint32_t length, GvspHeader* header)
{
    header->ExtendedIds = (bytes[GVSP_HEADER_FORMAT] & GVSP_EXTENDED_ID_FLAG) != 0;
    header->Status = ReadBigEndian16(bytes + GVSP_HEADER_STATUS);
    header->Format = bytes[GVSP_HEADER_FORMAT] & GVSP_PACKET_FORMAT_MASK;
    if (header->ExtendedIds) {
        if (length < GVSP_EXTENDED_HEADER_SIZE) {
            return 0;
        }
        header->BlockId = ReadBigEndian64(bytes + GVSP_HEADER_BLOCK_ID_64);
        header->PacketId = ReadBigEndian32(bytes + GVSP_HEADER_PACKET_ID_32);
        return GVSP_EXTENDED_HEADER_SIZE;
    }
    header->BlockId = ReadBigEndian16(bytes + GVSP_HEADER_BLOCK_ID);
    header->PacketId = ReadBigEndian24(bytes + GVSP_HEADER_PACKET_ID);
    return GVSP_STANDARD_HEADER_SIZE;
}

// Writes `header` at `bytes`, the standard header's ids cut to 16 and 24 bits and the extended
// header's flags and reserved bytes zero; returns the header's size.
inline uint32_t EncodeGvspHeader(uint8_t* bytes, const GvspHeader& header)
{
    uint8_t format = header.Format & GVSP_PACKET_FORMAT_MASK;
    WriteBigEndian16(bytes + GVSP_HEADER_STATUS, header.Status);
    if (header.ExtendedIds) {
        WriteBigEndian16(bytes + GVSP_HEADER_BLOCK_ID, 0);
        bytes[GVSP_HEADER_FORMAT] = GVSP_EXTENDED_ID_FLAG | format;
        WriteBigEndian24(bytes + GVSP_HEADER_PACKET_ID, 0);
        WriteBigEndian64(bytes + GVSP_HEADER_BLOCK_ID_64, header.BlockId);
        WriteBigEndian32(bytes + GVSP_HEADER_PACKET_ID_32, header.PacketId);
        return GVSP_EXTENDED_HEADER_SIZE;
    }
    WriteBigEndian16(bytes + GVSP_HEADER_BLOCK_ID, static_cast<uint16_t>(header.BlockId));
    bytes[GVSP_HEADER_FORMAT] = format;
    WriteBigEndian24(bytes + GVSP_HEADER_PACKET_ID, header.PacketId);
    return GVSP_STANDARD_HEADER_SIZE;
}

inline uint32_t GvspHeaderSize(bool extendedIds)
{
    return extendedIds ? GVSP_EXTENDED_HEADER_SIZE : GVSP_STANDARD_HEADER_SIZE;
}

// An image leader's and trailer's fields, from the start of the packet's data (after the header).
constexpr uint32_t GVSP_LEADER_PAYLOAD_TYPE = 2;   // after 2 reserved bytes
constexpr uint32_t GVSP_LEADER_TIMESTAMP = 4;
constexpr uint32_t GVSP_LEADER_MIN_SIZE = 12;      // data up to the timestamp's end
constexpr uint32_t GVSP_LEADER_PIXEL_FORMAT = 12;
constexpr uint32_t GVSP_LEADER_SIZE_X = 16;
constexpr uint32_t GVSP_LEADER_SIZE_Y = 20;
constexpr uint32_t GVSP_LEADER_OFFSET_X = 24;
constexpr uint32_t GVSP_LEADER_OFFSET_Y = 28;
constexpr uint32_t GVSP_LEADER_PADDING_X = 32;
constexpr uint32_t GVSP_LEADER_PADDING_Y = 34;
constexpr uint32_t GVSP_IMAGE_LEADER_SIZE = 36;
constexpr uint32_t GVSP_TRAILER_PAYLOAD_TYPE = 2;  // after 2 reserved bytes
constexpr uint32_t GVSP_TRAILER_SIZE_Y = 4;
constexpr uint32_t GVSP_IMAGE_TRAILER_SIZE = 8;
constexpr uint16_t GVSP_PAYLOAD_TYPE_IMAGE = 1;

// Block ids run 1..65535 in standard headers and 1..2^64 - 1 with extended ids, then wrap to 1:
// 0 is never a block id. Ids are ordered by serial-number arithmetic over that space, never as
// plain numbers: a block is newer than another when it lies less than half the space ahead.
constexpr uint64_t STANDARD_BLOCK_ID_SPACE = 65535;

// The steps forward from block `from` to block `to`, modulo the id space (0 when equal).
inline uint64_t BlockIdDistance(uint64_t from, uint64_t to, bool extendedIds)
{
    if (!extendedIds) {
        // Ids 1..65535 are 1..65534 and 0 modulo the space.
        uint64_t a = from % STANDARD_BLOCK_ID_SPACE;
        uint64_t b = to % STANDARD_BLOCK_ID_SPACE;
        return b >= a ? b - a : b + STANDARD_BLOCK_ID_SPACE - a;
    }
    // 64-bit wrap, one step less across it: the id after 2^64 - 1 is 1.
    return to >= from ? to - from : to - from - 1;
}

// True when block `older` comes before block `newer`.
inline bool BlockIdPrecedes(uint64_t older, uint64_t newer, bool extendedIds)
{
    uint64_t distance = BlockIdDistance(older, newer, extendedIds);
    uint64_t half = extendedIds ? ~uint64_t{0} / 2 : STANDARD_BLOCK_ID_SPACE / 2;
    return distance != 0 && distance <= half;
}

// ---- GVCP -------------------------------------------------------------------------------------
// Every message starts with an 8-byte header: a command's key, flags, command code, payload length
// and request id; an acknowledge's status, answer code, payload length and acknowledge id.
constexpr uint16_t GVCP_PORT = 3956;
constexpr uint32_t GVCP_HEADER_SIZE = 8;
constexpr uint8_t GVCP_KEY = 0x42;
constexpr uint8_t GVCP_FLAG_ACK_REQUIRED = 0x01;
constexpr uint8_t GVCP_FLAG_EXTENDED_ID = 0x10;   // PACKETRESEND: the extended-id form
constexpr uint16_t GVCP_PACKETRESEND_CMD = 0x0040;

struct GvcpCommandHeader {
    uint8_t Flags;
    uint16_t Command;
    uint16_t Length;   // payload bytes after the header
    uint16_t RequestId;
};

struct GvcpAckHeader {
    uint16_t Status;
    uint16_t Answer;
    uint16_t Length;   // payload bytes after the header
    uint16_t AckId;
};

inline void EncodeGvcpCommandHeader(uint8_t* bytes, const GvcpCommandHeader& header)
{
    bytes[0] = GVCP_KEY;
    bytes[1] = header.Flags;
    WriteBigEndian16(bytes + 2, header.Command);
    WriteBigEndian16(bytes + 4, header.Length);
    WriteBigEndian16(bytes + 6, header.RequestId);
}

// False when the 8 bytes at `bytes` do not start with GVCP's key.
inline bool DecodeGvcpCommandHeader(const uint8_t* bytes, GvcpCommandHeader* header)
{
    header->Flags = bytes[1];
    header->Command = ReadBigEndian16(bytes + 2);
    header->Length = ReadBigEndian16(bytes + 4);
    header->RequestId = ReadBigEndian16(bytes + 6);
    return bytes[0] == GVCP_KEY;
}

inline void EncodeGvcpAckHeader(uint8_t* bytes, const GvcpAckHeader& header)
{
    WriteBigEndian16(bytes, header.Status);
    WriteBigEndian16(bytes + 2, header.Answer);
    WriteBigEndian16(bytes + 4, header.Length);
    WriteBigEndian16(bytes + 6, header.AckId);
}

inline GvcpAckHeader DecodeGvcpAckHeader(const uint8_t* bytes)
{
    return {ReadBigEndian16(bytes), ReadBigEndian16(bytes + 2), ReadBigEndian16(bytes + 4), ReadBigEndian16(bytes + 6)};
}

// PACKETRESEND's payload: stream channel, 16-bit block id, first and last packet id; the
// extended-id form leaves the 16-bit block id 0 and carries the 64-bit one after the packet ids.
// "Up to the end of the block" is the last packet id 00 FF FF FF in the standard form and
// FF FF FF FF in the extended-id form; both decode to RESEND_TO_END_OF_BLOCK.
constexpr uint32_t PACKETRESEND_STANDARD_SIZE = 12;
constexpr uint32_t PACKETRESEND_EXTENDED_SIZE = 20;
constexpr uint32_t RESEND_TO_END_STANDARD = 0x00FFFFFF;
constexpr uint32_t RESEND_TO_END_OF_BLOCK = 0xFFFFFFFF;

struct PacketResend {
    bool ExtendedIds;   // the command's GVCP_FLAG_EXTENDED_ID
    uint16_t StreamChannel;
    uint64_t BlockId;   // 16 bits in the standard form
    uint32_t FirstPacketId;
    uint32_t LastPacketId;   // RESEND_TO_END_OF_BLOCK: up to the end of the block
};

inline uint32_t PacketResendSize(bool extendedIds)
{
    return extendedIds ? PACKETRESEND_EXTENDED_SIZE : PACKETRESEND_STANDARD_SIZE;
}

// Writes the payload of `request` at `payload`; returns its size. The command's flags carry
// GVCP_FLAG_EXTENDED_ID for the extended-id form.
inline uint32_t EncodePacketResend(uint8_t* payload, const PacketResend& request)
{
    WriteBigEndian16(payload, request.StreamChannel);
    WriteBigEndian32(payload + 4, request.FirstPacketId);
    if (request.ExtendedIds) {
        WriteBigEndian16(payload + 2, 0);
        WriteBigEndian32(payload + 8, request.LastPacketId);
        WriteBigEndian64(payload + 12, request.BlockId);
        return PACKETRESEND_EXTENDED_SIZE;
    }
    WriteBigEndian16(payload + 2, static_cast<uint16_t>(request.BlockId));
    WriteBigEndian32(payload + 8, request.LastPacketId == RESEND_TO_END_OF_BLOCK ? RESEND_TO_END_STANDARD : request.LastPacketId);
    return PACKETRESEND_STANDARD_SIZE;
}

// The payload of `length` bytes of a PACKETRESEND command with flag byte `flags`; false when it is
// shorter than its form.
inline bool DecodePacketResend(const uint8_t* payload, uint32_t length, uint8_t flags, PacketResend* request)
{
    request->ExtendedIds = (flags & GVCP_FLAG_EXTENDED_ID) != 0;
    if (length < PacketResendSize(request->ExtendedIds)) {
        return false;
    }
    request->StreamChannel = ReadBigEndian16(payload);
    request->FirstPacketId = ReadBigEndian32(payload + 4);
    request->LastPacketId = ReadBigEndian32(payload + 8);
    if (request->ExtendedIds) {
        request->BlockId = ReadBigEndian64(payload + 12);
    } else {
        request->BlockId = ReadBigEndian16(payload + 2);
        if (request->LastPacketId == RESEND_TO_END_STANDARD) {
            request->LastPacketId = RESEND_TO_END_OF_BLOCK;
        }
    }
    return true;
}

// The driver's PACKETRESEND commands: 80-byte frames, the GVCP header right after the frame's 42
// bytes of Ethernet, IPv4 and UDP headers.
constexpr uint32_t RESEND_PACKET_SIZE = 80;
