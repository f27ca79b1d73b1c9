// The driver's own packet transmission and the send-complete handler that reclaims it.
// IRQL <= DISPATCH_LEVEL.
#pragma once

#include "base/stream_port.h"

// Frees one of the driver's own packets, back from the miniport or never sent: its buffer, its
// MDL and its NET_BUFFER_LIST. The send-complete handler (driver/) gives each back here.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID FreeOwnPacket(PNET_BUFFER_LIST netBufferList);

// Builds a GVCP PACKETRESEND for packets [firstPacketId, lastPacketId] of a block (lastPacketId
// 0xFFFFFFFF: to the end of the block) from the Ethernet and IPv4 addresses of `headerSource`, a
// stream packet of the camera, and sends it on the port's adapter. TRUE when NDIS has it.
// IRQL <= DISPATCH_LEVEL; no lock held.
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN SendPacketResend(StreamPort* port, const UCHAR* headerSource, ULONG64 blockId, BOOLEAN extendedIds,
    ULONG firstPacketId, ULONG lastPacketId);
// Fills the UDP and IPv4 header checksums of a packet laid out as the driver sends it.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID FillPacketChecksums(StreamPort* port, PUCHAR packet);
// The Internet checksum (RFC 1071) of `length` bytes, as a big-endian value.
USHORT InternetChecksum(const UCHAR* bytes, ULONG length);
