// Placement of a GVSP packet's bytes in its frame buffer: the leader and trailer in their
// areas, payload packet n at (n - 1) x P in the PayloadArea, and payload beyond the buffer's end
// in up to 64 overflow chunks. Receive path, IRQL <= DISPATCH_LEVEL, assembly held.
#pragma once

#include "control/stream_port.h"

// Each succeeds or fails; success sets the packet's bit and counts it in ReceivedPackets.
// `gvspBytes` covers the GVSP header and the data after it in the header's buffer segment.
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN PlaceLeader(StreamPort* port, FrameSlot* frame, const UCHAR* gvspHeader, ULONG gvspBytes, ULONG headerSize,
    ULONG64 blockId, ULONG packetId);
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN PlaceTrailer(StreamPort* port, FrameSlot* frame, const UCHAR* gvspHeader, ULONG gvspBytes, ULONG packetId);
// `payloadPerPacket` is P = PacketSize - H, as the caller read and checked it.
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN PlacePayload(StreamPort* port, FrameSlot* frame, const UCHAR* gvspHeader, ULONG gvspBytes, ULONG headerSize,
    ULONG payloadPerPacket, ULONG packetId);

// Copies the `remaining` bytes of the packet that lie in `segment` and the segments after it
// to where the header segment's placement ended. Fails when the payload runs out of room, or when a
// segment has no system address (the receive path maps them all before placing the packet).
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN CopyPacketContinuation(StreamPort* port, FrameSlot* frame, PMDL segment, ULONG remaining);

// The readable system address of a received buffer segment, or NULL.
_IRQL_requires_max_(DISPATCH_LEVEL)
PUCHAR SegmentAddress(PMDL segment);
// The same when the segment already has a system address; NULL rather than mapping it.
_IRQL_requires_max_(DISPATCH_LEVEL)
PUCHAR MappedSegmentAddress(PMDL segment);
