// Placement of a GVSP packet's bytes in its frame buffer: the leader and trailer in their
// areas, payload packet n at (n - 1) x P in the PayloadArea, and payload beyond the buffer's end
// in up to 64 overflow chunks. Receive path, IRQL <= DISPATCH_LEVEL, assembly held.
#pragma once

#include "base/stream_port.h"

// Each succeeds or fails; success sets the packet's bit and counts it in ReceivedPackets.
// `gvspBytes` covers the GVSP header and the data after it in the header's buffer segment.
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN PlaceLeader(StreamPort* port, FrameSlot* frame, const UCHAR* gvspHeader, ULONG gvspBytes, ULONG headerSize,
    ULONG64 blockId, ULONG packetId) _Requires_lock_held_(port->AssemblyLock);
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN PlaceTrailer(StreamPort* port, FrameSlot* frame, const UCHAR* gvspHeader, ULONG gvspBytes, ULONG packetId)
    _Requires_lock_held_(port->AssemblyLock);
// `payloadPerPacket` is P = PacketSize - H, as the caller read and checked it.
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN PlacePayload(StreamPort* port, FrameSlot* frame, const UCHAR* gvspHeader, ULONG gvspBytes, ULONG headerSize,
    ULONG payloadPerPacket, ULONG packetId) _Requires_lock_held_(port->AssemblyLock);

// The PayloadArea's offset from the start of the frame buffer.
constexpr ULONG PAYLOAD_AREA_START = FRAME_PRIVATE_SIZE + PAYLOAD_AREA_OFFSET;   // 10108

// Every placed packet: its bit in the bitmap and its count.
inline VOID SetPacketBit(FrameSlot* frame, ULONG packetId)
{
    frame->Header->PacketBitmap[packetId >> 3] |= static_cast<UCHAR>(1u << (packetId & 7));
    frame->Header->ReceivedPackets += 1;
}

// The FrameHeader's region fields for a write position `offset` (a frame offset: user memory gets
// no kernel address) inside the buffer itself.
inline VOID ReportBufferRegion(FrameSlot* frame, ULONG64 offset)
{
    FrameHeader* header = frame->Header;
    header->WritePointer = offset;
    header->RegionIndex = 0;
    header->RegionEnd = frame->Size;
}

// Payload into the frame buffer: with streaming stores when the port's buffers will not be read
// from the caches, 256-bit ones while the assembly's holder has the AVX registers saved.
inline VOID CopyIntoBuffer(StreamPort* port, PUCHAR destination, const UCHAR* data, ULONG length)
    _Requires_lock_held_(port->AssemblyLock)
{
    if (port->StreamingStores) {
        CopyMemoryStreaming(destination, data, length, port->WideRegistersSaved);
    } else {
        RtlCopyMemory(destination, data, length);
    }
}

// The placement of payload that lies wholly inside the frame buffer, at `payloadOffset` into the
// PayloadArea: FALSE, with nothing written, for payload that does not. Inline: every in-order
// packet takes it.
_IRQL_requires_max_(DISPATCH_LEVEL)
inline BOOLEAN PlacePayloadInBuffer(StreamPort* port, FrameSlot* frame, const UCHAR* data, ULONG length,
    ULONG payloadOffset, ULONG packetId) _Requires_lock_held_(port->AssemblyLock)
{
    ULONG64 offset = ULONG64{PAYLOAD_AREA_START} + payloadOffset;
    ULONG64 end = offset + length;
    if (end > frame->Size) {
        return FALSE;
    }
    CopyIntoBuffer(port, frame->SystemAddress + offset, data, length);
    frame->WriteRegion = FRAME_REGION_PAYLOAD;
    frame->WriteOffset = end;
    frame->Header->PayloadSize += length;
    SetPacketBit(frame, packetId);
    ReportBufferRegion(frame, end);
    return TRUE;
}

// Copies the `remaining` bytes of the packet that lie in `segment` and the segments after it
// to where the header segment's placement ended. Fails when the payload runs out of room, or when a
// segment has no system address (the receive path maps them all before placing the packet).
_IRQL_requires_max_(DISPATCH_LEVEL)
BOOLEAN CopyPacketContinuation(StreamPort* port, FrameSlot* frame, PMDL segment, ULONG remaining)
    _Requires_lock_held_(port->AssemblyLock);

// The system address of a received buffer segment that already has one; NULL rather than
// mapping it. Every packet asks: inline.
_IRQL_requires_max_(DISPATCH_LEVEL)
inline PUCHAR MappedSegmentAddress(PMDL segment)
{
    if (segment->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) {
        return static_cast<PUCHAR>(segment->MappedSystemVa);
    }
    return nullptr;
}

// A system mapping of a received buffer segment that has none, or NULL.
_IRQL_requires_max_(DISPATCH_LEVEL)
PUCHAR MapSegment(PMDL segment);

// The readable system address of a received buffer segment, or NULL.
_IRQL_requires_max_(DISPATCH_LEVEL)
inline PUCHAR SegmentAddress(PMDL segment)
{
    PUCHAR mapped = MappedSegmentAddress(segment);
    return mapped != nullptr ? mapped : MapSegment(segment);
}
