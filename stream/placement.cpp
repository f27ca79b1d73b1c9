// Payload placement and overflow storage. A packet's bytes go straight from the received
// segment into the user's frame buffer; only payload beyond the buffer's end allocates, in
// chunks of the size user mode chose. Every position is computed from ids and sizes the network
// or user mode chose, so every copy is bounded by the buffer, its area or the 64 chunks.
// Receive path, IRQL <= DISPATCH_LEVEL, the port's assembly held, no lock held.
#include "stream/placement.h"

#include "base/wire_format.h"

namespace {

constexpr ULONG SEGMENT_MAPPING_PRIORITY = NormalPagePriority | MdlMappingNoExecute;

// The largest overflow chunk user mode may ask for: 64 of them bound what one frame can take of
// non-paged pool (256 MiB).
constexpr ULONG OVERFLOW_CHUNK_SIZE_MAX = 4u << 20;

// Offsets from the start of the frame buffer.
constexpr ULONG LEADER_AREA_START = FRAME_PRIVATE_SIZE + LEADER_AREA_OFFSET;     // 8956
constexpr ULONG TRAILER_AREA_START = FRAME_PRIVATE_SIZE + TRAILER_AREA_OFFSET;   // 9532

// The frame offset at which overflow chunk `index` continues the buffer.
ULONG64 ChunkOffset(const FrameSlot* frame, ULONG index)
{
    return ULONG64{frame->Size} + ULONG64{index} * frame->OverflowChunkSize;
}

// The FrameHeader's region fields, as a report of where the slot's write position is, in frame
// offsets (user memory gets no kernel address). A leader or trailer moves only the write pointer.
VOID ReportWriteRegion(FrameSlot* frame)
{
    FrameHeader* header = frame->Header;
    ULONG64 offset = frame->WriteOffset;
    if (frame->WriteRegion != FRAME_REGION_PAYLOAD) {
        header->WritePointer = offset;
        return;
    }
    if (offset <= frame->Size) {
        ReportBufferRegion(frame, offset);
        return;
    }
    header->WritePointer = offset;
    // Beyond the buffer the position lies in a chunk that exists: placement checked the room.
    auto index = static_cast<ULONG>((offset - frame->Size - 1) / frame->OverflowChunkSize);
    header->RegionIndex = index;
    header->RegionEnd = ChunkOffset(frame, index + 1);
}

// Overflow chunk `index`, allocated on first use with the frame's chunk size.
PUCHAR OverflowChunk(StreamPort* port, FrameSlot* frame, ULONG index)
{
    if (frame->OverflowChunks[index] == nullptr) {
        PVOID chunk = NdisAllocateMemoryWithTagPriority(port->NdisFilterHandle, frame->OverflowChunkSize, POOL_TAG,
            LowPoolPriority);
        if (chunk == nullptr) {
            return nullptr;
        }
        frame->OverflowChunks[index] = chunk;
        frame->OverflowBytes += frame->OverflowChunkSize;
        frame->Private->OverflowChunks[index] = ChunkOffset(frame, index);
        frame->Private->OverflowBytes = frame->OverflowBytes;
    }
    return static_cast<PUCHAR>(frame->OverflowChunks[index]);
}

// Writes `length` bytes at `offset` from the buffer's start; what lies at or beyond the buffer's
// end goes to the overflow chunks (byte E + k x S + r at offset r of chunk k). The frame keeps the
// chunk size it first used, whatever user mode writes into the block later.
BOOLEAN WritePayloadBytes(StreamPort* port, FrameSlot* frame, ULONG64 offset, const UCHAR* data, ULONG length)
    _Requires_lock_held_(port->AssemblyLock)
{
    ULONG64 size = frame->Size;
    if (offset < size) {
        ULONG64 room = size - offset;
        ULONG n = length < room ? length : static_cast<ULONG>(room);
        CopyIntoBuffer(port, frame->SystemAddress + offset, data, n);
        offset += n;
        data += n;
        length -= n;
    }
    frame->WriteOffset = offset;
    if (offset <= size && length == 0) {
        return TRUE;
    }

    // Aimed beyond the buffer's end, even with no byte to place there.
    frame->Overflowed = TRUE;
    frame->Private->Overflowed = 1;
    if (frame->OverflowBytes == 0) {
        frame->OverflowChunkSize = port->ControlBlock->OverflowChunkSize;
    }
    ULONG chunkSize = frame->OverflowChunkSize;
    if (chunkSize == 0 || chunkSize > OVERFLOW_CHUNK_SIZE_MAX) {
        return FALSE;
    }
    ULONG64 beyond = offset - size;
    if (beyond / chunkSize >= OVERFLOW_CHUNK_MAX) {
        return FALSE;   // no room beyond the last chunk
    }
    // The chunk the data start in is taken first, as for every packet that lands there; data
    // that run out of the last chunk are then refused with nothing copied into the chunks.
    if (OverflowChunk(port, frame, static_cast<ULONG>(beyond / chunkSize)) == nullptr) {
        return FALSE;
    }
    ULONG64 lastByte = length > 0 ? beyond + length - 1 : beyond;
    if (lastByte / chunkSize >= OVERFLOW_CHUNK_MAX) {
        return FALSE;
    }
    while (length > 0) {
        auto index = static_cast<ULONG>(beyond / chunkSize);
        auto at = static_cast<ULONG>(beyond % chunkSize);
        PUCHAR chunk = OverflowChunk(port, frame, index);
        if (chunk == nullptr) {
            return FALSE;
        }
        ULONG n = chunkSize - at < length ? chunkSize - at : length;
        RtlCopyMemory(chunk + at, data, n);
        beyond += n;
        data += n;
        length -= n;
        frame->WriteOffset = size + beyond;
    }
    return TRUE;
}

// Copies into the leader or trailer area what fits; the rest of a longer packet is dropped.
ULONG WriteAreaBytes(FrameSlot* frame, ULONG areaStart, const UCHAR* data, ULONG length)
{
    ULONG64 areaEnd = ULONG64{areaStart} + LEADER_AREA_SIZE;
    ULONG64 room = frame->WriteOffset < areaEnd ? areaEnd - frame->WriteOffset : 0;
    ULONG kept = length < room ? length : static_cast<ULONG>(room);
    RtlCopyMemory(frame->SystemAddress + frame->WriteOffset, data, kept);
    frame->WriteOffset += kept;
    return kept;
}

}  // namespace

PUCHAR MapSegment(PMDL segment)
{
    return static_cast<PUCHAR>(
        MmMapLockedPagesSpecifyCache(segment, KernelMode, MmCached, nullptr, FALSE, SEGMENT_MAPPING_PRIORITY));
}

BOOLEAN PlaceLeader(StreamPort* port, FrameSlot* frame, const UCHAR* gvspHeader, ULONG gvspBytes, ULONG headerSize,
    ULONG64 blockId, ULONG packetId)
{
    (void)port;
    FrameHeader* header = frame->Header;
    header->BlockId = blockId;
    // A leader too short for its timestamp reports none.
    header->Timestamp = gvspBytes >= headerSize + GVSP_LEADER_MIN_SIZE
                            ? ReadBigEndian64(gvspHeader + headerSize + GVSP_LEADER_TIMESTAMP)
                            : 0;
    header->LeaderOffset = LEADER_AREA_OFFSET;
    header->PayloadOffset = PAYLOAD_AREA_OFFSET;
    header->TrailerOffset = TRAILER_AREA_OFFSET;

    frame->WriteRegion = FRAME_REGION_LEADER;
    frame->WriteOffset = LEADER_AREA_START;
    header->LeaderSize = WriteAreaBytes(frame, LEADER_AREA_START, gvspHeader, gvspBytes);
    SetPacketBit(frame, packetId);
    header->LeaderReceived = 1;
    ReportWriteRegion(frame);
    return TRUE;
}

BOOLEAN PlaceTrailer(StreamPort* port, FrameSlot* frame, const UCHAR* gvspHeader, ULONG gvspBytes, ULONG packetId)
{
    FrameHeader* header = frame->Header;
    frame->WriteRegion = FRAME_REGION_TRAILER;
    frame->WriteOffset = TRAILER_AREA_START;
    header->TrailerSize = WriteAreaBytes(frame, TRAILER_AREA_START, gvspHeader, gvspBytes);
    SetPacketBit(frame, packetId);
    header->TrailerReceived = 1;
    header->TotalPackets = packetId + 1;
    WriteULongNoFence(&port->ControlBlock->ExpectedPacketCount, header->TotalPackets);
    ReportWriteRegion(frame);
    return TRUE;
}

BOOLEAN PlacePayload(StreamPort* port, FrameSlot* frame, const UCHAR* gvspHeader, ULONG gvspBytes, ULONG headerSize,
    ULONG payloadPerPacket, ULONG packetId)
{
    // Payload packet n belongs at (n - 1) x P: a 32-bit product, as the camera counts.
    ULONG payloadOffset = (packetId - 1) * payloadPerPacket;
    const UCHAR* data = gvspHeader + headerSize;
    ULONG length = gvspBytes - headerSize;
    if (PlacePayloadInBuffer(port, frame, data, length, payloadOffset, packetId)) {
        return TRUE;
    }

    // Payload that reaches beyond the buffer's end.
    frame->WriteRegion = FRAME_REGION_PAYLOAD;
    if (!WritePayloadBytes(port, frame, ULONG64{PAYLOAD_AREA_START} + payloadOffset, data, length)) {
        return FALSE;
    }
    frame->Header->PayloadSize += length;
    SetPacketBit(frame, packetId);
    ReportWriteRegion(frame);
    return TRUE;
}

BOOLEAN CopyPacketContinuation(StreamPort* port, FrameSlot* frame, PMDL segment, ULONG remaining)
{
    if (remaining == 0) {
        return TRUE;   // the packet was whole in its first segments; its placement reported
    }
    FrameHeader* header = frame->Header;
    for (; segment != nullptr && remaining > 0; segment = segment->Next) {
        // The receive path mapped every segment before the packet was placed; a segment without
        // an address here fails the packet rather than leave its bytes out.
        const UCHAR* bytes = SegmentAddress(segment);
        if (bytes == nullptr) {
            return FALSE;
        }
        ULONG count = MmGetMdlByteCount(segment);
        ULONG n = remaining < count ? remaining : count;
        switch (frame->WriteRegion) {
        case FRAME_REGION_LEADER:
            header->LeaderSize += WriteAreaBytes(frame, LEADER_AREA_START, bytes, n);
            break;
        case FRAME_REGION_TRAILER:
            header->TrailerSize += WriteAreaBytes(frame, TRAILER_AREA_START, bytes, n);
            break;
        default:
            if (!WritePayloadBytes(port, frame, frame->WriteOffset, bytes, n)) {
                return FALSE;
            }
            header->PayloadSize += n;
            break;
        }
        remaining -= n;
    }
    ReportWriteRegion(frame);
    return TRUE;
}
