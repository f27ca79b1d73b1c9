// GVSP frame assembly: the user's frame buffers are filled here, at line rate. Every field of a
// received packet is hostile: ids and sizes are bounded before anything is placed.
// Receive path, IRQL <= DISPATCH_LEVEL, with the port's assembly and its cache held; no lock held
// on entry.
#include "stream/assembly.h"

#include "base/frame_slots.h"
#include "base/rate_statistics.h"
#include "base/wire_format.h"
#include "delivery/frame_completion.h"
#include "delivery/resend_policy.h"
#include "delivery/resend_worker.h"
#include "stream/placement.h"

namespace {

constexpr ULONG64 LATE_BLOCK_WINDOW = 30000;   // older ids within this distance are late packets

BOOLEAN IsResendStatus(USHORT status)
{
    return status == GVSP_STATUS_RESEND ||
           ((status & (GVSP_STATUS_ERROR | GVSP_STATUS_DEVICE_SPECIFIC)) == GVSP_STATUS_DEVICE_SPECIFIC &&
               (status & GVSP_STATUS_DEVICE_RESEND_BIT) != 0);
}

VOID NoteLastPacketTime(FrameSlot* frame, LONGLONG now)
{
    frame->LastPacketTime = now;
    frame->Header->LastPacketTime = static_cast<ULONG64>(now);
}

VOID CloseFrame(StreamPort* port, FrameSlot* frame, AssemblyEffects* effects) _Requires_lock_held_(port->AssemblyLock)
{
    if (port->CurrentFrame == frame) {
        port->CurrentFrame = nullptr;
    }
    CompleteFrame(port, frame, TRUE, effects);
}

// A hopeless frame: given up for `cause`, which its FrameStatus reports, and closed.
VOID GiveUpAndClose(StreamPort* port, FrameSlot* frame, GiveUpCause cause, AssemblyEffects* effects)
    _Requires_lock_held_(port->AssemblyLock)
{
    GiveUpFrame(port, frame, cause, nullptr);
    CloseFrame(port, frame, effects);
}

// The current frame, when a newer block starts: given up when hopeless, otherwise every packet it
// still lacks is requested, from a snapshot taken now, once the assembly is left. Without a
// snapshot buffer the worker's time-out asks instead.
VOID SettleCurrentFrame(StreamPort* port, AssemblyEffects* effects) _Requires_lock_held_(port->AssemblyLock)
{
    FrameSlot* current = port->CurrentFrame;
    if (current == nullptr) {
        return;
    }
    GiveUpCause cause = EvaluateIncompleteFrame(port, current);
    if (cause != GIVE_UP_NONE) {
        GiveUpAndClose(port, current, cause, effects);
        return;
    }
    if (port->ControlBlock->ResendEnabled == 0) {
        return;
    }
    auto* item = static_cast<ResendWorkItem*>(ExAllocateFromNPagedLookasideList(&DriverGlobals.ResendWorkItemLookaside));
    if (item != nullptr) {
        RtlCopyMemory(item->Snapshot, current->SystemAddress, sizeof(item->Snapshot));
        effects->Settled = item;
    }
}

// At most two frames assemble: a new block settles the current frame, and gives up the older
// one first when there are two.
VOID MakeRoom(StreamPort* port, AssemblyEffects* effects) _Requires_lock_held_(port->AssemblyLock)
{
    AcquireFrameListLock(port);
    ULONG assembling = port->AssemblingFrameCount;
    FrameSlot* oldest = nullptr;
    if (assembling == 2) {
        oldest = CONTAINING_RECORD(port->AssemblingFrames.Flink, FrameSlot, Links);
        MoveFrameSlot(port, oldest, FRAME_PLACE_NONE);
    }
    ReleaseFrameListLock(port);
    if (assembling != 1 && assembling != 2) {
        return;
    }

    if (oldest != nullptr) {
        if (port->CurrentFrame == oldest) {
            port->CurrentFrame = nullptr;
        }
        GiveUpFrame(port, oldest, GIVE_UP_BY_STREAM_LOSS, nullptr);
        CompleteFrame(port, oldest, FALSE, effects);
    }
    SettleCurrentFrame(port, effects);
}

FrameSlot* OpenSlotForBlock(StreamPort* port, const GvspHeader& packet, LONGLONG now, BOOLEAN atDispatchLevel,
    AssemblyEffects* effects) _Requires_lock_held_(port->AssemblyLock)
{
    FrameSlot* frame = OpenFrameSlot(port, atDispatchLevel, effects);
    if (frame == nullptr) {
        return nullptr;
    }
    WakeResendWorker();
    ULONG64 blockId = packet.BlockId;
    frame->ExtendedIds = packet.ExtendedIds;
    frame->Header->BlockId = blockId;
    port->CurrentFrame = frame;
    port->LastBlockId = blockId;
    frame->FirstPacketTime = static_cast<ULONG64>(now);
    frame->Private->FirstPacketTime = frame->FirstPacketTime;
    return frame;
}

// A new block: room is made, the blocks jumped over are counted (32-bit wrap, as user mode reads
// the counter) and a slot is opened.
FrameSlot* StartBlock(StreamPort* port, const GvspHeader& packet, LONGLONG now, BOOLEAN atDispatchLevel,
    AssemblyEffects* effects) _Requires_lock_held_(port->AssemblyLock)
{
    ULONG64 lastBlockId = port->LastBlockId;
    MakeRoom(port, effects);
    if (lastBlockId != 0) {
        ULONG64 ahead = BlockIdDistance(lastBlockId, packet.BlockId, packet.ExtendedIds);
        port->ControlBlock->SkippedBlocks += static_cast<ULONG>(ahead - 1);
    }
    return OpenSlotForBlock(port, packet, now, atDispatchLevel, effects);
}

// The frame a packet belongs to, opening a slot for a new block; NULL: drop. Ids are compared
// across the wrap: block 65535 is older than block 1 that follows it.
FrameSlot* FindFrame(StreamPort* port, const GvspHeader& packet, LONGLONG now, BOOLEAN atDispatchLevel,
    AssemblyEffects* effects) _Requires_lock_held_(port->AssemblyLock)
{
    ULONG64 lastBlockId = port->LastBlockId;

    // The current block.
    if (packet.BlockId == lastBlockId) {
        return port->CurrentFrame;
    }
    // Any other takes the frame lists' lock: the payload copied so far is fenced first.
    StreamingStoreFence();
    // A new block: the first one, or one ahead of the newest.
    if (lastBlockId == 0 || BlockIdPrecedes(lastBlockId, packet.BlockId, packet.ExtendedIds)) {
        return StartBlock(port, packet, now, atDispatchLevel, effects);
    }
    // An older block: still assembling, a late packet, or the camera's counter restarted.
    if (FrameSlot* older = FindAssemblingFrame(port, packet.BlockId)) {
        return older;
    }
    if (BlockIdDistance(packet.BlockId, lastBlockId, packet.ExtendedIds) <= LATE_BLOCK_WINDOW) {
        return nullptr;
    }
    return StartBlock(port, packet, now, atDispatchLevel, effects);
}

}  // namespace

FrameSlot* AssembleGvspPacket(StreamPort* port, const UCHAR* ethernetFrame, const UCHAR* gvspHeader, ULONG gvspBytes,
    LONGLONG now, BOOLEAN atDispatchLevel, AssemblyEffects* effects)
{
    StreamControlBlock* block = port->ControlBlock;

    // The header, standard or with extended ids.
    GvspHeader packet;
    ULONG headerSize = DecodeGvspHeader(gvspHeader, gvspBytes, &packet);
    if (headerSize == 0) {
        return nullptr;
    }

    // The trailer's id of a frame of the configured size. A packet size that leaves no room
    // for payload makes the stream's configuration unusable: its packets are dropped.
    ULONG packetSize = block->PacketSize;
    if (packetSize <= headerSize) {
        return nullptr;
    }
    // Computed again only when the block's values differ from the last ones; the block is read
    // afresh for every packet.
    ULONG payloadPerPacket = packetSize - headerSize;
    ULONG frameSize = block->FrameSize;
    if (frameSize != port->ExpectedFrameSize || payloadPerPacket != port->ExpectedPayloadPerPacket) {
        port->ExpectedFrameSize = frameSize;
        port->ExpectedPayloadPerPacket = payloadPerPacket;
        port->ExpectedPackets = frameSize / payloadPerPacket + (frameSize % payloadPerPacket != 0 ? 1 : 0) + 1;
    }
    ULONG expected = port->ExpectedPackets;
    if (ReadULongNoFence(&block->ExpectedPacketCount) != expected) {
        WriteULongNoFence(&block->ExpectedPacketCount, expected);
    }

    // Block id 0 is never a frame; the bitmap covers no packet id beyond its limit.
    if (packet.BlockId == 0 || packet.PacketId > GVSP_MAX_PACKET_ID) {
        return nullptr;
    }

    // One time for the whole packet: its block's first packet time and the frame's last.
    effects->ExtendedIds = packet.ExtendedIds;
    FrameSlot* frame = FindFrame(port, packet, now, atDispatchLevel, effects);
    if (frame == nullptr) {
        return nullptr;
    }

    // An error status closes the frame with what it has.
    if ((packet.Status & GVSP_STATUS_ERROR) != 0) {
        frame->Header->FrameStatus = FRAME_STATUS_DEVICE_ERROR;
        frame->Header->GvspStatus = packet.Status;
        block->ErrorStatusFrames += 1;
        CloseFrame(port, frame, effects);
        return nullptr;
    }

    // A duplicate still shows the camera is sending: the frame's packet time moves on first.
    NoteLastPacketTime(frame, now);
    UCHAR bit = static_cast<UCHAR>(1u << (packet.PacketId & 7));
    if ((frame->Header->PacketBitmap[packet.PacketId >> 3] & bit) != 0) {
        block->DuplicatePackets += 1;
        return nullptr;
    }

    // A resent packet is counted even when its format turns out unsupported.
    if (IsResendStatus(packet.Status)) {
        block->ResentPackets += 1;
    }
    BOOLEAN placed = FALSE;
    switch (packet.Format) {
    case GVSP_FORMAT_LEADER:
        placed = PlaceLeader(port, frame, gvspHeader, gvspBytes, headerSize, packet.BlockId, packet.PacketId);
        break;
    case GVSP_FORMAT_TRAILER:
        placed = PlaceTrailer(port, frame, gvspHeader, gvspBytes, packet.PacketId);
        break;
    case GVSP_FORMAT_PAYLOAD:
    case GVSP_FORMAT_H264:
    case GVSP_FORMAT_MULTI_ZONE:
        placed = PlacePayload(port, frame, gvspHeader, gvspBytes, headerSize, payloadPerPacket, packet.PacketId);
        break;
    default:
        block->UnsupportedPackets += 1;
        return nullptr;
    }
    if (!placed) {
        return nullptr;
    }

    FrameHeader* header = frame->Header;
    if (packet.PacketId > header->HighestPacketId) {
        header->HighestPacketId = packet.PacketId;
    }
    header->LastPacketId = packet.PacketId;

    // A gap beyond the limits gives the frame up.
    GiveUpCause cause = CheckGapLimits(port, frame);
    if (cause != GIVE_UP_NONE) {
        GiveUpAndClose(port, frame, cause, effects);
        return nullptr;
    }

    // The gap is requested at once, once the assembly is left; the first accepted packet is the
    // template of the worker's requests.
    ULONG gapFirst = 0;
    ULONG gapLast = 0;
    if (TakeGap(port, frame, &gapFirst, &gapLast)) {
        effects->GapRequested = TRUE;
        effects->GapBlockId = header->BlockId;
        effects->GapFirst = gapFirst;
        effects->GapLast = gapLast;
    }
    if (port->HeaderTemplateValid == 0) {
        port->TemplateExtendedIds = packet.ExtendedIds;
        RtlCopyMemory(port->HeaderTemplate, ethernetFrame, sizeof(port->HeaderTemplate));
        WriteRelease(&port->HeaderTemplateValid, 1);
    }
    return frame;
}

FrameSlot* AssembleNextPayloadPacket(StreamPort* port, const UCHAR* gvspHeader, ULONG gvspBytes, LONGLONG now)
{
    // A success status, standard ids and the payload format, of the current block. Anything else
    // may open or close a frame, or count something.
    FrameSlot* frame = port->CurrentFrame;
    if (frame == nullptr || ReadBigEndian16(gvspHeader + GVSP_HEADER_STATUS) != GVSP_STATUS_SUCCESS ||
        gvspHeader[GVSP_HEADER_FORMAT] != GVSP_FORMAT_PAYLOAD ||
        ReadBigEndian16(gvspHeader + GVSP_HEADER_BLOCK_ID) != port->LastBlockId || port->HeaderTemplateValid == 0) {
        return nullptr;
    }
    // The stream's configuration as the last packet found it. A packet size that leaves no payload
    // wraps to a P that is never kept, so it never matches.
    StreamControlBlock* block = port->ControlBlock;
    ULONG payloadPerPacket = block->PacketSize - GVSP_STANDARD_HEADER_SIZE;
    if (payloadPerPacket != port->ExpectedPayloadPerPacket || block->FrameSize != port->ExpectedFrameSize ||
        ReadULongNoFence(&block->ExpectedPacketCount) != port->ExpectedPackets) {
        return nullptr;
    }
    // The id after the last one accounted for, not yet received: no gap, no duplicate.
    FrameHeader* header = frame->Header;
    ULONG packetId = ReadBigEndian24(gvspHeader + GVSP_HEADER_PACKET_ID);
    if (packetId != header->ResendCursor + 1 || packetId > GVSP_MAX_PACKET_ID ||
        (header->PacketBitmap[packetId >> 3] & (1u << (packetId & 7))) != 0) {
        return nullptr;
    }
    if (!PlacePayloadInBuffer(port, frame, gvspHeader + GVSP_STANDARD_HEADER_SIZE,
            gvspBytes - GVSP_STANDARD_HEADER_SIZE, (packetId - 1) * payloadPerPacket, packetId)) {
        return nullptr;
    }
    NoteLastPacketTime(frame, now);
    if (packetId > header->HighestPacketId) {
        header->HighestPacketId = packetId;
    }
    header->LastPacketId = packetId;
    header->ResendCursor = packetId;
    return frame;
}

VOID CompleteAssembledFrame(StreamPort* port, FrameSlot* frame, LONGLONG counter, AssemblyEffects* effects)
{
    FrameHeader* header = frame->Header;

    // An overflowed frame stops the current block as well, even when it is an older frame.
    if (frame->Overflowed) {
        header->FrameStatus = FRAME_STATUS_OVERFLOW;
        port->CurrentFrame = nullptr;
    }
    if (port->CurrentFrame == frame) {
        port->CurrentFrame = nullptr;
    }
    // The rate sample takes the raw performance counter, not microseconds.
    port->ControlBlock->AssembledFrames += 1;
    RecordRateSample(port, header->PayloadSize, counter);
    CompleteFrame(port, frame, TRUE, effects);
}
