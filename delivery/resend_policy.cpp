// The resend policy. Each gap is requested once, as soon as the packet after it arrives; when
// the next block starts, an unfinished frame gets one request per missing run (and the rest of
// the block while its trailer has not come) unless it is hopeless; after that only the worker's
// time-outs ask again. Packet ids and counts are unsigned 32-bit and wrap, as the camera counts.
// Receive path: IRQL <= DISPATCH_LEVEL, assembly held. Worker: PASSIVE_LEVEL, on a snapshot.
#include "delivery/resend_policy.h"

#include "base/wire_format.h"
#include "delivery/transmit.h"

namespace {

constexpr ULONG64 BITMAP_PACKETS = 8 * ULONG64{PACKET_BITMAP_BYTES};   // 65536

// The runs of missing packet ids of a frame, lowest first: each run is followed by a received
// packet; while the trailer has not come the walk ends with the open tail after the highest id.
struct MissingRunWalk {
    const FrameHeader* Frame;
    ULONG Highest;
    ULONG Count;
    ULONG ByteCount;
    ULONG Start;
    BOOLEAN Done;
};

// FALSE when there is nothing to walk: every id up to the highest is present and the trailer has
// come, or the highest id lies beyond what the bitmap covers.
BOOLEAN BeginMissingRunWalk(const FrameHeader* frame, MissingRunWalk* walk)
{
    ULONG highest = frame->HighestPacketId;
    ULONG received = frame->ReceivedPackets;
    ULONG total = frame->TotalPackets;
    if (ULONG64{highest} + 1 > BITMAP_PACKETS) {
        return FALSE;
    }
    ULONG count = highest + 1;
    if (count == received && total != 0) {
        return FALSE;
    }
    *walk = MissingRunWalk{frame, highest, count, (count + 7) / 8, 0, FALSE};
    return TRUE;
}

// The next missing run [first, last]; `openTail` for the rest of the block after the highest id.
BOOLEAN NextMissingRun(MissingRunWalk* walk, ULONG* first, ULONG* last, BOOLEAN* openTail)
{
    if (walk->Done) {
        return FALSE;
    }
    BOOLEAN trailerReceived = walk->Frame->TotalPackets != 0;
    const UCHAR* bitmap = walk->Frame->PacketBitmap;

    // Past the highest id, only a block whose trailer has not come still lacks packets.
    *first = FindClearBit(bitmap, walk->ByteCount, walk->Start);
    if (*first > walk->Highest && trailerReceived) {
        walk->Done = TRUE;
        return FALSE;
    }
    // The run ends before the next received packet, which the next search skips.
    *last = *first + 1 < walk->Count ? FindSetBit(bitmap, walk->ByteCount, walk->Count, *first + 1) - 1 : walk->Highest;
    walk->Start = *last + 2;
    // Without its trailer, a run that reaches the highest id is the rest of the block.
    *openTail = *last == walk->Highest && !trailerReceived;
    walk->Done = *openTail || walk->Start > walk->Count;
    return TRUE;
}

// The first id not yet accounted for by gap detection: the leader too when it is missing and
// nothing has been accounted for.
ULONG FirstUnaccounted(const FrameHeader* header, ULONG cursor)
{
    return header->LeaderReceived == 0 && cursor == 0 ? 0 : cursor + 1;
}

// The cause of a give-up by the limits: when both are exceeded, the smaller non-zero limit.
GiveUpCause LimitCause(const StreamControlBlock* block, BOOLEAN gapExceeded, BOOLEAN missingExceeded)
{
    if (gapExceeded && (!missingExceeded || block->MissingPacketLimit > block->ResendGapLimit)) {
        return GIVE_UP_GAP_LIMIT;
    }
    return missingExceeded ? GIVE_UP_MISSING_LIMIT : GIVE_UP_NONE;
}

}  // namespace

ULONG FindClearBit(const UCHAR* bitmap, ULONG byteCount, ULONG start)
{
    for (ULONG index = start >> 3; index < byteCount; ++index) {
        ULONG clear = ~ULONG{bitmap[index]} & 0xFF;
        if (index == start >> 3) {
            clear &= 0xFFu << (start & 7);
        }
        ULONG bit;
        if (BitScanForward(&bit, clear)) {
            return index * 8 + bit;
        }
    }
    return byteCount * 8;
}

ULONG FindSetBit(const UCHAR* bitmap, ULONG byteCount, ULONG limit, ULONG start)
{
    for (ULONG index = start >> 3; index < byteCount; ++index) {
        ULONG set = ULONG{bitmap[index]};
        if (index == start >> 3) {
            set &= 0xFFu << (start & 7);
        }
        ULONG bit;
        if (BitScanForward(&bit, set)) {
            return index * 8 + bit;
        }
    }
    return limit;
}

GiveUpCause CheckGapLimits(StreamPort* port, FrameSlot* frame)
{
    const FrameHeader* header = frame->Header;
    const StreamControlBlock* block = port->ControlBlock;

    // In order, late or resent: no gap.
    ULONG cursor = header->ResendCursor;
    ULONG last = header->LastPacketId;
    if (last == cursor + 1 || last <= cursor) {
        return GIVE_UP_NONE;
    }
    // The gap: every id skipped since the last one accounted for. Either limit gives the frame up.
    ULONG gap = last - FirstUnaccounted(header, cursor);
    ULONG gapLimit = block->ResendGapLimit;
    ULONG missingLimit = block->MissingPacketLimit;
    return LimitCause(block, gapLimit != 0 && gap > gapLimit, missingLimit != 0 && gap > missingLimit);
}

BOOLEAN TakeGap(StreamPort* port, FrameSlot* frame, ULONG* first, ULONG* last)
{
    FrameHeader* header = frame->Header;
    ULONG cursor = header->ResendCursor;
    ULONG lastId = header->LastPacketId;
    if (lastId == cursor + 1) {
        header->ResendCursor = lastId;
        return FALSE;
    }
    if (lastId <= cursor) {
        return FALSE;
    }
    // With resends switched off the gap is only accounted for, so that the limits measure each
    // gap on its own rather than everything since the frame began.
    *first = FirstUnaccounted(header, cursor);
    *last = lastId - 1;
    header->ResendCursor = lastId;
    return port->ControlBlock->ResendEnabled != 0;
}

VOID RequestMissingPackets(StreamPort* port, const FrameHeader* frame, BOOLEAN extendedIds, const UCHAR* headerSource)
{
    if (frame == nullptr || port->ControlBlock->ResendEnabled == 0) {
        return;
    }
    MissingRunWalk walk;
    if (!BeginMissingRunWalk(frame, &walk)) {
        return;
    }
    ULONG64 blockId = frame->BlockId;
    ULONG first = 0;
    ULONG last = 0;
    BOOLEAN openTail = FALSE;
    while (NextMissingRun(&walk, &first, &last, &openTail)) {
        if (!SendPacketResend(port, headerSource, blockId, extendedIds, first, openTail ? RESEND_TO_END_OF_BLOCK : last)) {
            return;
        }
    }
}

GiveUpCause EvaluateIncompleteFrame(StreamPort* port, FrameSlot* frame)
{
    MissingRunWalk walk;
    if (frame == nullptr || !BeginMissingRunWalk(frame->Header, &walk)) {
        return GIVE_UP_NONE;
    }
    StreamControlBlock* block = port->ControlBlock;
    ULONG gapLimit = block->ResendGapLimit;
    ULONG missingLimit = block->MissingPacketLimit;
    ULONG expected = block->ExpectedPacketCount;

    // The first run longer than the gap limit decides.
    BOOLEAN gapExceeded = FALSE;
    ULONG first = 0;
    ULONG last = 0;
    BOOLEAN openTail = FALSE;
    while (!gapExceeded && NextMissingRun(&walk, &first, &last, &openTail)) {
        ULONG length = openTail ? expected - first + 1 : last - first + 1;
        gapExceeded = gapLimit != 0 && length > gapLimit;
    }

    // A frame has ExpectedPacketCount + 1 packets, from the leader's id 0 to the trailer's.
    ULONG lost = expected - frame->Header->ReceivedPackets + 1;
    return LimitCause(block, gapExceeded, missingLimit != 0 && lost > missingLimit);
}
