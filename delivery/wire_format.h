// The wire formats the driver reads and writes: offsets in Ethernet/IPv4/UDP frames and in GVSP
// and GVCP packets; delivery/byte_order.h reads and writes their fields. Wire fields are never
// read by casting a struct over packet bytes. Any IRQL.
#pragma once

#include "delivery/byte_order.h"
#include "platform/wdm.h"

// Ethernet II + IPv4 (20-byte header) + UDP: the driver's own packets, and the offsets of a
// received packet up to its IPv4 options. A received packet's UDP header lies after its real IPv4
// header, at ETHERNET_HEADER_SIZE + 4 x IHL.
constexpr ULONG ETHERNET_HEADER_SIZE = 14;
constexpr ULONG IPV4_HEADER_SIZE = 20;
constexpr ULONG UDP_HEADER_SIZE = 8;
constexpr ULONG FRAME_HEADERS_SIZE = ETHERNET_HEADER_SIZE + IPV4_HEADER_SIZE + UDP_HEADER_SIZE;   // 42
constexpr ULONG IP_UDP_HEADERS_SIZE = IPV4_HEADER_SIZE + UDP_HEADER_SIZE;                          // 28

constexpr ULONG ETHERNET_DESTINATION = 0;
constexpr ULONG ETHERNET_SOURCE = 6;
constexpr ULONG ETHERNET_TYPE = 12;
constexpr ULONG IPV4_VERSION_LENGTH = 14;
constexpr ULONG IPV4_TOTAL_LENGTH = 16;
constexpr ULONG IPV4_FLAGS_FRAGMENT_OFFSET = 20;
constexpr ULONG IPV4_TIME_TO_LIVE = 22;
constexpr ULONG IPV4_PROTOCOL = 23;
constexpr ULONG IPV4_CHECKSUM = 24;
constexpr ULONG IPV4_SOURCE = 26;
constexpr ULONG IPV4_DESTINATION = 30;
constexpr ULONG UDP_SOURCE_PORT = 34;
constexpr ULONG UDP_DESTINATION_PORT = 36;
constexpr ULONG UDP_LENGTH = 38;
constexpr ULONG UDP_CHECKSUM = 40;
// From the start of a UDP header wherever it lies.
constexpr ULONG UDP_HEADER_DESTINATION_PORT = UDP_DESTINATION_PORT - UDP_SOURCE_PORT;
constexpr ULONG UDP_HEADER_LENGTH = UDP_LENGTH - UDP_SOURCE_PORT;

constexpr USHORT ETHERTYPE_IPV4 = 0x0800;   // a VLAN tag left in place shows 0x8100 here instead
constexpr UCHAR IPV4_VERSION = 4;            // the high nibble of IPV4_VERSION_LENGTH
constexpr UCHAR IPV4_IHL_MASK = 0x0F;        // the low nibble: the header's length in 32-bit words
constexpr UCHAR IP_PROTOCOL_UDP = 17;
constexpr USHORT IPV4_MORE_FRAGMENTS = 0x2000;
constexpr USHORT IPV4_FRAGMENT_OFFSET_MASK = 0x1FFF;   // in 8-byte units

// GVSP: the standard header (16-bit block id, 24-bit packet id) and the extended-id header.
constexpr ULONG GVSP_STANDARD_HEADER_SIZE = 8;
constexpr ULONG GVSP_EXTENDED_HEADER_SIZE = 20;
constexpr UCHAR GVSP_EXTENDED_ID_FLAG = 0x80;   // bit 7 of header byte 4
constexpr UCHAR GVSP_PACKET_FORMAT_MASK = 0x0F;

constexpr UCHAR GVSP_FORMAT_LEADER = 1;
constexpr UCHAR GVSP_FORMAT_TRAILER = 2;
constexpr UCHAR GVSP_FORMAT_PAYLOAD = 3;
constexpr UCHAR GVSP_FORMAT_H264 = 5;
constexpr UCHAR GVSP_FORMAT_MULTI_ZONE = 6;

constexpr USHORT GVSP_STATUS_SUCCESS = 0x0000;
constexpr USHORT GVSP_STATUS_ERROR = 0x8000;              // bit 15: an error closes the frame
constexpr USHORT GVSP_STATUS_RESEND = 0x0100;             // a packet sent again on request
constexpr USHORT GVSP_STATUS_DEVICE_SPECIFIC = 0x4000;    // bit 14
constexpr USHORT GVSP_STATUS_DEVICE_RESEND_BIT = 0x0008;  // a device-specific resend marker

// Block ids run 1..65535 in standard headers and 1..2^64 - 1 with extended ids, then wrap to 1:
// 0 is never a block id. Ids are ordered by serial-number arithmetic over that space, never as
// plain numbers: a block is newer than another when it lies less than half the space ahead.
constexpr ULONG64 STANDARD_BLOCK_ID_SPACE = 65535;

// The steps forward from block `from` to block `to`, modulo the id space (0 when equal).
inline ULONG64 BlockIdDistance(ULONG64 from, ULONG64 to, BOOLEAN extendedIds)
{
    if (!extendedIds) {
        // Ids 1..65535 are 1..65534 and 0 modulo the space.
        ULONG64 a = from % STANDARD_BLOCK_ID_SPACE;
        ULONG64 b = to % STANDARD_BLOCK_ID_SPACE;
        return b >= a ? b - a : b + STANDARD_BLOCK_ID_SPACE - a;
    }
    // 64-bit wrap, one step less across it: the id after 2^64 - 1 is 1.
    return to >= from ? to - from : to - from - 1;
}

// TRUE when block `older` comes before block `newer`.
inline BOOLEAN BlockIdPrecedes(ULONG64 older, ULONG64 newer, BOOLEAN extendedIds)
{
    ULONG64 distance = BlockIdDistance(older, newer, extendedIds);
    ULONG64 half = extendedIds ? ~ULONG64{0} / 2 : STANDARD_BLOCK_ID_SPACE / 2;
    return distance != 0 && distance <= half;
}

constexpr ULONG GVSP_LEADER_TIMESTAMP = 4;   // after the header: 2 reserved, 2 payload type
constexpr ULONG GVSP_MAX_PACKET_ID = 65535;  // the ids the PacketBitmap covers

// GVCP PACKETRESEND, as the driver sends it.
constexpr USHORT GVCP_PORT = 3956;
constexpr UCHAR GVCP_KEY = 0x42;
constexpr UCHAR GVCP_FLAG_EXTENDED_ID = 0x10;
constexpr USHORT GVCP_PACKETRESEND_CMD = 0x0040;
constexpr ULONG RESEND_PACKET_SIZE = 80;
constexpr ULONG GVCP_HEADER = FRAME_HEADERS_SIZE;   // 42
constexpr ULONG RESEND_TO_END_OF_BLOCK = 0xFFFFFFFF;   // a last packet id asking for the rest of the block
