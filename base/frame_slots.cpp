// The frame slots' bookkeeping: list moves under FrameListLock, the counts they publish, and the
// state a slot sheds before it is reused. IRQL <= DISPATCH_LEVEL.
#include "base/frame_slots.h"

namespace {

PLIST_ENTRY ListOfPlace(StreamPort* port, FramePlace place)
{
    switch (place) {
    case FRAME_PLACE_FREE:
        return &port->FreeFrames;
    case FRAME_PLACE_ASSEMBLING:
        return &port->AssemblingFrames;
    case FRAME_PLACE_COMPLETED:
        return &port->CompletedFrames;
    default:
        return nullptr;
    }
}

ULONG* CountOfPlace(StreamPort* port, FramePlace place)
{
    switch (place) {
    case FRAME_PLACE_FREE:
        return &port->FreeFrameCount;
    case FRAME_PLACE_ASSEMBLING:
        return &port->AssemblingFrameCount;
    case FRAME_PLACE_COMPLETED:
        return &port->CompletedFrameCount;
    default:
        return nullptr;
    }
}

}  // namespace

FrameSlot* SlotOfLinks(PLIST_ENTRY links)
{
    return CONTAINING_RECORD(links, FrameSlot, Links);
}

VOID PublishFrameCounts(StreamPort* port)
{
    StreamControlBlock* block = port->ControlBlock;
    if (block != nullptr) {
        block->FreeFrameCount = port->FreeFrameCount;
        block->AssemblingFrameCount = port->AssemblingFrameCount;
        block->CompletedFrameCount = port->CompletedFrameCount;
    }
}

VOID MoveFrameSlot(StreamPort* port, FrameSlot* slot, FramePlace place, BOOLEAN atHead)
{
    if (ULONG* count = CountOfPlace(port, slot->Place)) {
        NT_ASSERT(*count > 0);
        RemoveEntryList(&slot->Links);
        WriteULongNoFence(count, *count - 1);   // the worker reads the counts without the lock
    }
    if (PLIST_ENTRY list = ListOfPlace(port, place)) {
        if (atHead) {
            InsertHeadList(list, &slot->Links);
        } else {
            InsertTailList(list, &slot->Links);
        }
        ULONG* count = CountOfPlace(port, place);
        WriteULongNoFence(count, *count + 1);
    }
    slot->Place = place;
    PublishFrameCounts(port);
}

VOID MoveAllFrameSlots(StreamPort* port, FramePlace from, FramePlace to)
{
    PLIST_ENTRY list = ListOfPlace(port, from);
    while (!IsListEmpty(list)) {
        MoveFrameSlot(port, SlotOfLinks(list->Flink), to);
    }
}

VOID ResetFrameLists(StreamPort* port)
{
    InitializeListHead(&port->FreeFrames);
    InitializeListHead(&port->AssemblingFrames);
    InitializeListHead(&port->CompletedFrames);
    port->FreeFrameCount = 0;
    WriteULongNoFence(&port->AssemblingFrameCount, 0);
    port->CompletedFrameCount = 0;
    port->CurrentFrame = nullptr;
    for (ULONG i = 0; i < port->FrameSlotCount; ++i) {
        FrameSlot* slot = &port->FrameSlots[i];
        slot->Place = FRAME_PLACE_NONE;
        MoveFrameSlot(port, slot, FRAME_PLACE_FREE);
    }
}

VOID FlushFrames(StreamPort* port)
{
    // No packet is being placed into a frame that becomes free here.
    KIRQL assemblyIrql = AcquireAssembly(port);
    AcquireFrameListLock(port);
    MoveAllFrameSlots(port, FRAME_PLACE_COMPLETED, FRAME_PLACE_FREE);
    MoveAllFrameSlots(port, FRAME_PLACE_ASSEMBLING, FRAME_PLACE_FREE);
    port->CurrentFrame = nullptr;   // the rest of that block's packets are ignored
    ReleaseFrameListLock(port);
    ReleaseAssembly(port, assemblyIrql);
}

VOID ResetFrameSlot(FrameSlot* slot)
{
    RtlZeroMemory(slot->Header, FRAME_HEADER_SIZE);
    slot->WriteOffset = 0;
    slot->WriteRegion = FRAME_REGION_PAYLOAD;
    slot->FirstPacketTime = 0;
    slot->AssemblyTime = 0;
    slot->LastPacketTime = 0;
}

VOID ClearFrameOverflow(FrameSlot* slot)
{
    // Chunks are allocated where payload lands, so the table may have holes.
    for (ULONG k = 0; k < OVERFLOW_CHUNK_MAX; ++k) {
        if (slot->OverflowChunks[k] != nullptr) {
            NdisFreeMemory(slot->OverflowChunks[k], slot->OverflowChunkSize, 0);
            slot->OverflowChunks[k] = nullptr;
        }
    }
    slot->OverflowBytes = 0;
    slot->OverflowChunkSize = 0;
    slot->Overflowed = FALSE;
    RtlZeroMemory(slot->Private->OverflowChunks, sizeof(slot->Private->OverflowChunks));
    slot->Private->OverflowBytes = 0;
    slot->Private->Overflowed = 0;
}
