// The frame cache: the user's StreamControlBlock and frame buffers, locked and mapped once per
// set-up and released again; frames that user mode gives back; the set-up, release and flush
// requests. PASSIVE_LEVEL, in the calling process, except ReleaseFrameCache.
//
// The block and the buffers are user memory that user mode may rewrite at any moment: every
// value read from them is read once, bounded, and never followed as a pointer. What the driver
// relies on is kept in its FrameSlots; the block and the buffers' driver regions get a report.
#include "control/frame_cache.h"

#include "base/control_interface.h"
#include "base/event_log.h"
#include "base/frame_slots.h"
#include "base/rate_statistics.h"
#include "control/port_binding.h"

namespace {

// Unique values of the cache events.
constexpr ULONG ALLOC_FAILED_BLOCK_MDL = 2;
constexpr ULONG ALLOC_FAILED_BUFFER_MDL = 3;
constexpr ULONG ALLOC_FAILED_BLOCK_MAPPING = 6;
constexpr ULONG ALLOC_FAILED_BUFFER_MAPPING = 7;
constexpr ULONG ALLOC_FAILED_FRAME_SLOTS = 8;
constexpr ULONG MAP_FAILED_BLOCK = 0;
constexpr ULONG MAP_FAILED_BUFFER = 1;
constexpr ULONG MAP_FAILED_BUFFER_TOO_SMALL = 2;
constexpr ULONG FILE_CONTEXT_NULL_SETUP = 1;
constexpr ULONG FILE_CONTEXT_NULL_RELEASE = 3;

FrameDescriptor* DescriptorOf(StreamControlBlock* block, ULONG index)
{
    return reinterpret_cast<FrameDescriptor*>(reinterpret_cast<PUCHAR>(block) + STREAM_CONTROL_HEADER_SIZE) + index;
}

// Locks (write access, as user mode) and maps a user range; NULL with the MDL freed on failure.
// `failure` tells which step failed: the MDL (STATUS_INSUFFICIENT_RESOURCES), the lock
// (STATUS_ACCESS_VIOLATION) or the mapping (STATUS_UNSUCCESSFUL).
PUCHAR LockAndMapUserRange(ULONG64 userAddress, ULONG length, PMDL* mdl, NTSTATUS* failure)
{
    *mdl = IoAllocateMdl(reinterpret_cast<PVOID>(userAddress), length, FALSE, FALSE, nullptr);
    if (*mdl == nullptr) {
        *failure = STATUS_INSUFFICIENT_RESOURCES;
        return nullptr;
    }
    NTSTATUS status = MmProbeAndLockPagesChecked(*mdl, UserMode, IoWriteAccess);
    if (!NT_SUCCESS(status)) {
        IoFreeMdl(*mdl);
        *mdl = nullptr;
        *failure = STATUS_ACCESS_VIOLATION;
        return nullptr;
    }
    auto* systemAddress =
        static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(*mdl, NormalPagePriority | MdlMappingNoExecute));
    if (systemAddress == nullptr) {
        MmUnlockPages(*mdl);
        IoFreeMdl(*mdl);
        *mdl = nullptr;
        *failure = STATUS_UNSUCCESSFUL;
        return nullptr;
    }
    return systemAddress;
}

VOID UnlockUserRange(PMDL mdl)
{
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
}

// Unlocks every mapped buffer of `slots` and reports it unmapped in its descriptor.
VOID UnmapFrameSlots(StreamControlBlock* block, FrameSlot* slots, ULONG count)
{
    for (ULONG i = 0; i < count; ++i) {
        FrameSlot* slot = &slots[i];
        if (slot->Mdl == nullptr) {
            continue;
        }
        ClearFrameOverflow(slot);
        UnlockUserRange(slot->Mdl);
        slot->Mdl = nullptr;
        FrameDescriptor* descriptor = DescriptorOf(block, i);
        descriptor->SystemAddress = 0;
        descriptor->Mdl = 0;
        descriptor->SystemEnd = 0;
        descriptor->Size = 0;   // user mode writes it again before the next set-up
    }
}

// The slot takes over a locked and mapped buffer; its driver region and descriptor report it.
VOID AttachBuffer(FrameSlot* slot, FrameDescriptor* descriptor, ULONG64 userAddress, ULONG size, PMDL mdl,
    PUCHAR systemAddress)
{
    slot->UserAddress = userAddress;
    slot->Size = size;
    slot->Mdl = mdl;
    slot->SystemAddress = systemAddress;
    slot->Private = reinterpret_cast<FramePrivate*>(systemAddress);
    slot->Header = reinterpret_cast<FrameHeader*>(systemAddress + FRAME_PRIVATE_SIZE);

    descriptor->UserAddress = userAddress;
    descriptor->SystemAddress = 0;
    descriptor->Mdl = FRAME_BUFFER_LOCKED;
    descriptor->SystemEnd = size;
    descriptor->Size = size;
}

// Locks and maps frame buffer `index` into `slot`; logs and fails like the set-up does.
NTSTATUS MapFrameBuffer(StreamControlBlock* block, ULONG index, FrameSlot* slot)
{
    FrameDescriptor* descriptor = DescriptorOf(block, index);
    ULONG64 userAddress = descriptor->UserAddress;
    ULONG size = descriptor->Size;

    // A buffer must hold the FrameHeader and both areas.
    if (size < FRAME_BUFFER_MIN_SIZE) {
        WriteEventLog(MSG_MAP_BUFFER_FAILED, MAP_FAILED_BUFFER_TOO_SMALL, nullptr);
        return STATUS_UNSUCCESSFUL;
    }
    PMDL mdl = nullptr;
    NTSTATUS failure = STATUS_SUCCESS;
    PUCHAR systemAddress = LockAndMapUserRange(userAddress, size, &mdl, &failure);
    if (systemAddress == nullptr) {
        if (failure == STATUS_ACCESS_VIOLATION) {
            WriteEventLog(MSG_MAP_BUFFER_FAILED, MAP_FAILED_BUFFER, nullptr);
        } else {
            WriteEventLog(MSG_ALLOC_FAILED,
                failure == STATUS_INSUFFICIENT_RESOURCES ? ALLOC_FAILED_BUFFER_MDL : ALLOC_FAILED_BUFFER_MAPPING,
                "Size:%d", static_cast<int>(size));
        }
        return STATUS_UNSUCCESSFUL;
    }

    // The slot, and the report in the buffer's driver region.
    slot->FrameIndex = static_cast<USHORT>(index);
    slot->Place = FRAME_PLACE_NONE;
    AttachBuffer(slot, descriptor, userAddress, size, mdl, systemAddress);
    RtlZeroMemory(slot->Private, sizeof(FramePrivate));
    slot->Private->Descriptor = StreamControlBlockSize(index);   // the descriptor follows `index` others
    slot->Private->FrameIndex = static_cast<USHORT>(index);
    return STATUS_SUCCESS;
}

// Moves an overflowed frame into the larger buffer user mode offers in its descriptor: the old
// buffer's bytes, then every overflow chunk in order. The frame then waits at the head of
// CompletedFrames under its new address.
NTSTATUS MoveOverflowedFrame(StreamPort* port, FrameSlot* slot)
{
    FrameDescriptor* descriptor = DescriptorOf(port->ControlBlock, slot->FrameIndex);
    ULONG64 replacementAddress = descriptor->ReplacementUserAddress;
    ULONG replacementSize = descriptor->ReplacementSize;

    // The payload beyond the buffer reaches as far as the last chunk allocated; chunks in between
    // that nothing landed in are holes of the frame.
    ULONG chunks = 0;
    for (ULONG k = 0; k < OVERFLOW_CHUNK_MAX; ++k) {
        if (slot->OverflowChunks[k] != nullptr) {
            chunks = k + 1;
        }
    }
    ULONG64 needed = ULONG64{slot->Size} + ULONG64{chunks} * slot->OverflowChunkSize;
    if (replacementSize < needed) {
        return STATUS_UNSUCCESSFUL;
    }

    PMDL mdl = nullptr;
    NTSTATUS failure = STATUS_SUCCESS;
    PUCHAR replacement = LockAndMapUserRange(replacementAddress, replacementSize, &mdl, &failure);
    if (replacement == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }

    // The old bytes, the chunks behind them, a clean driver region and a complete frame.
    RtlCopyMemory(replacement, slot->SystemAddress, slot->Size);
    auto* replacementPrivate = reinterpret_cast<FramePrivate*>(replacement);
    RtlZeroMemory(replacementPrivate->OverflowChunks, sizeof(replacementPrivate->OverflowChunks));
    replacementPrivate->FirstPacketTime = 0;
    replacementPrivate->AssemblyTime = 0;
    for (ULONG k = 0; k < chunks; ++k) {
        if (slot->OverflowChunks[k] != nullptr) {
            RtlCopyMemory(replacement + slot->Size + k * slot->OverflowChunkSize, slot->OverflowChunks[k],
                slot->OverflowChunkSize);
        }
    }
    ClearFrameOverflow(slot);
    auto* replacementHeader = reinterpret_cast<FrameHeader*>(replacement + FRAME_PRIVATE_SIZE);
    replacementHeader->FrameStatus = FRAME_STATUS_COMPLETE;
    replacementPrivate->Overflowed = 0;
    replacementPrivate->OverflowBytes = 0;

    // The old buffer is user mode's again; the slot and its descriptor name the new one.
    UnlockUserRange(slot->Mdl);
    AttachBuffer(slot, descriptor, replacementAddress, replacementSize, mdl, replacement);
    descriptor->ReplacementSize = 0;
    descriptor->ReplacementMdl = 0;
    descriptor->ReplacementUserAddress = 0;
    descriptor->ReplacementSystemAddress = 0;

    // The next frame request hands it over first.
    AcquireFrameListLock(port);
    MoveFrameSlot(port, slot, FRAME_PLACE_COMPLETED, TRUE);
    ReleaseFrameListLock(port);
    return STATUS_SUCCESS;
}

// Makes the cache the port holds (if any) usable again, every slot on FreeFrames. AdapterTableLock
// held exclusively.
VOID ResumeFrameCache(StreamPort* port) _Requires_exclusive_lock_held_(DriverGlobals.AdapterTableLock)
{
    KIRQL assemblyIrql = AcquireAssembly(port);
    AcquireFrameListLock(port);
    ResetFrameLists(port);
    ReleaseFrameListLock(port);
    ReleaseAssembly(port, assemblyIrql);
    ExReInitializeRundownProtection(&port->CacheRundown);
}

// A frame cache off its port: taken away from it, or mapped and not yet published.
struct TakenFrameCache {
    StreamControlBlock* ControlBlock;
    PMDL ControlBlockMdl;
    FrameSlot* FrameSlots;
    ULONG FrameSlotCount;
};

// Takes the cache away from the port once nobody uses it. Returns what was published.
TakenFrameCache TakeFrameCache(StreamPort* port)
{
    // Withdrawn: no new user finds it, and the users that had found it are done; its pointers
    // stayed in place for them until then.
    ExWaitForRundownProtectionRelease(&port->CacheRundown);
    LOCK_STATE_EX lockState;
    NdisAcquireRWLockWrite(DriverGlobals.AdapterTableLock, &lockState, 0);
    TakenFrameCache taken = {port->ControlBlock, port->ControlBlockMdl, port->FrameSlots, port->FrameSlotCount};
    port->ControlBlock = nullptr;
    port->ControlBlockMdl = nullptr;
    port->FrameSlots = nullptr;
    port->FrameSlotCount = 0;
    ResumeFrameCache(port);
    NdisReleaseRWLock(DriverGlobals.AdapterTableLock, &lockState);
    return taken;
}

// Publishes a newly mapped cache: the port holds none, and its run-down protection is live.
VOID PublishFrameCache(StreamPort* port, const TakenFrameCache& cache)
{
    LOCK_STATE_EX lockState;
    NdisAcquireRWLockWrite(DriverGlobals.AdapterTableLock, &lockState, 0);
    port->ControlBlock = cache.ControlBlock;
    port->ControlBlockMdl = cache.ControlBlockMdl;
    port->FrameSlots = cache.FrameSlots;
    port->FrameSlotCount = cache.FrameSlotCount;
    ULONG64 cacheBytes = 0;
    for (ULONG i = 0; i < cache.FrameSlotCount; ++i) {
        cacheBytes += cache.FrameSlots[i].Size;
    }
    port->StreamingStores = cacheBytes > STREAMING_CACHE_BYTES;
    port->WideStreamingStores =
        port->StreamingStores && (RtlGetEnabledExtendedFeatures(XSTATE_MASK_AVX) & XSTATE_MASK_AVX) != 0;
    KIRQL assemblyIrql = AcquireAssembly(port);
    AcquireFrameListLock(port);
    ResetFrameLists(port);
    ReleaseFrameListLock(port);
    ReleaseAssembly(port, assemblyIrql);
    NdisReleaseRWLock(DriverGlobals.AdapterTableLock, &lockState);
}

// A fresh assembly state: no block seen, an empty rate window, the counter's frequency. Nothing
// assembles meanwhile (the cache is not published); the lock is the fields' contract.
VOID ResetAssemblyState(StreamPort* port)
{
    KIRQL assemblyIrql = AcquireAssembly(port);
    port->CurrentFrame = nullptr;
    port->LastBlockId = 0;
    ResetRateSamples(port);
    ReleaseAssembly(port, assemblyIrql);
    LARGE_INTEGER frequency;
    KeQueryPerformanceCounter(&frequency);
    port->CounterFrequency = frequency.QuadPart;
}

VOID SetCacheReady(StreamPort* port, UCHAR ready)
{
    LOCK_STATE_EX lockState;
    NdisAcquireRWLockWrite(DriverGlobals.AdapterTableLock, &lockState, 0);
    port->CacheReady = ready;
    NdisReleaseRWLock(DriverGlobals.AdapterTableLock, &lockState);
}

}  // namespace

NTSTATUS MapFrameCache(ULONG64 userAddress, USHORT length, StreamPort* port)
{
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    NTSTATUS failure = STATUS_SUCCESS;
    TakenFrameCache cache = {};
    StreamControlBlock* block = nullptr;
    ULONG frameCount = 0;
    ULONG slotsSize = 0;
    ULONG mapped = 0;

    // The process whose pages are locked; its exit releases the cache.
    port->OwnerProcessId = PsGetCurrentProcessId();

    // The block must at least hold its header.
    if (length < STREAM_CONTROL_HEADER_SIZE) {
        goto Exit;
    }

    // The StreamControlBlock.
    block = reinterpret_cast<StreamControlBlock*>(
        LockAndMapUserRange(userAddress, length, &cache.ControlBlockMdl, &failure));
    if (block == nullptr) {
        if (failure == STATUS_ACCESS_VIOLATION) {
            WriteEventLog(MSG_MAP_BUFFER_FAILED, MAP_FAILED_BLOCK, nullptr);
        } else {
            WriteEventLog(MSG_ALLOC_FAILED,
                failure == STATUS_INSUFFICIENT_RESOURCES ? ALLOC_FAILED_BLOCK_MDL : ALLOC_FAILED_BLOCK_MAPPING,
                "Size:%d", static_cast<int>(length));
        }
        goto Exit;
    }
    cache.ControlBlock = block;

    // FrameCount is read once; every descriptor must lie inside the mapped block.
    frameCount = block->FrameCount;
    if (frameCount > (length - STREAM_CONTROL_HEADER_SIZE) / FRAME_DESCRIPTOR_SIZE) {
        goto Exit;
    }

    // Tells user mode where the driver region ends and how large the FrameHeader is.
    block->FrameHeaderSize = FRAME_HEADER_SIZE;
    block->FramePrivateSize = FRAME_PRIVATE_SIZE;

    // Every frame buffer, into the driver's own slots.
    if (frameCount > 0) {
        slotsSize = frameCount * ULONG{sizeof(FrameSlot)};
        cache.FrameSlots = static_cast<FrameSlot*>(ExAllocatePoolWithTag(NonPagedPoolNx, slotsSize, POOL_TAG));
        if (cache.FrameSlots == nullptr) {
            WriteEventLog(MSG_ALLOC_FAILED, ALLOC_FAILED_FRAME_SLOTS, "Size:%d", static_cast<int>(slotsSize));
            goto Exit;
        }
        RtlZeroMemory(cache.FrameSlots, slotsSize);
    }
    for (; mapped < frameCount; ++mapped) {
        if (!NT_SUCCESS(MapFrameBuffer(block, mapped, &cache.FrameSlots[mapped]))) {
            goto Exit;
        }
    }
    cache.FrameSlotCount = frameCount;

    // From here the receive path may take the stream's packets.
    PublishFrameCache(port, cache);
    status = STATUS_SUCCESS;

Exit:
    // A failed set-up keeps nothing locked: the buffers mapped so far, the slots, the block.
    if (!NT_SUCCESS(status)) {
        if (cache.FrameSlots != nullptr) {
            UnmapFrameSlots(block, cache.FrameSlots, mapped);
            ExFreePoolWithTag(cache.FrameSlots, POOL_TAG);
        }
        if (cache.ControlBlockMdl != nullptr) {
            UnlockUserRange(cache.ControlBlockMdl);
        }
    }
    return status;
}

VOID ReleaseFrameCache(StreamPort* port)
{
    WriteEventLog(MSG_CONTEXT_CLEANUP, 0, "Id:%d", static_cast<int>(port->PortId));

    // Nobody uses the cache once it is taken; unlock and free whatever it held.
    TakenFrameCache cache = TakeFrameCache(port);
    if (cache.ControlBlock != nullptr) {
        UnmapFrameSlots(cache.ControlBlock, cache.FrameSlots, cache.FrameSlotCount);
    }
    if (cache.FrameSlots != nullptr) {
        ExFreePoolWithTag(cache.FrameSlots, POOL_TAG);
    }
    if (cache.ControlBlockMdl != nullptr) {
        UnlockUserRange(cache.ControlBlockMdl);
    }
}

NTSTATUS SetupFrameCache(PIRP irp, PIO_STACK_LOCATION stack)
{
    // The input names the block; a short one names nothing.
    if (irp->AssociatedIrp.SystemBuffer == nullptr ||
        stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(SetupCacheInput)) {
        return STATUS_UNSUCCESSFUL;
    }
    SetupCacheInput input;
    RtlCopyMemory(&input, irp->AssociatedIrp.SystemBuffer, sizeof(input));

    // A bound port, cache or not; set-up, release, flush and cleanup of a port run one at a time.
    StreamPort* port = AcquireStreamPortOfFile(stack->FileObject, PORT_BOUND);
    if (port == nullptr) {
        WriteEventLog(MSG_FILE_CONTEXT_NULL, FILE_CONTEXT_NULL_SETUP, nullptr);
        return STATUS_UNSUCCESSFUL;
    }
    AcquireControlBusy(port);

    // A teardown that unhooked the port meanwhile releases the cache only once, after this
    // ControlBusy: nothing may be mapped behind it.
    if (!IsStreamPortOfFile(stack->FileObject, port)) {
        ReleaseControlBusy(port);
        ReleaseStreamPortReference(port);
        WriteEventLog(MSG_FILE_CONTEXT_NULL, FILE_CONTEXT_NULL_SETUP, nullptr);
        return STATUS_UNSUCCESSFUL;
    }

    // A fresh frame state; map the cache, or take every slot of the mapped one back.
    if (port->ControlBlock == nullptr) {
        ResetAssemblyState(port);
        if (!NT_SUCCESS(MapFrameCache(input.ControlBlockAddress, input.ControlBlockLength, port))) {
            port->OwnerProcessId = nullptr;
            WriteEventLog(MSG_CACHE_INIT_FAILED, 0, "Id:%d,Cnt:%d,Idx:%d,Sz:%d", static_cast<int>(input.LoggedId),
                static_cast<int>(input.LoggedCount), 0, static_cast<int>(input.LoggedSize));
            ReleaseFrameCache(port);
            ReleaseControlBusy(port);
            ReleaseStreamPortReference(port);
            return STATUS_UNSUCCESSFUL;
        }
    } else {
        // The receive path, the worker and other requests leave the cache alone meanwhile.
        SetCacheReady(port, 0);
        ExWaitForRundownProtectionRelease(&port->CacheRundown);
        ResetAssemblyState(port);
        for (ULONG i = 0; i < port->FrameSlotCount; ++i) {
            ClearFrameOverflow(&port->FrameSlots[i]);
        }
        LOCK_STATE_EX lockState;
        NdisAcquireRWLockWrite(DriverGlobals.AdapterTableLock, &lockState, 0);
        ResumeFrameCache(port);
        NdisReleaseRWLock(DriverGlobals.AdapterTableLock, &lockState);
    }

    // The block shows every frame free and no packet expected.
    StreamControlBlock* block = port->ControlBlock;
    AcquireFrameListLock(port);
    PublishFrameCounts(port);
    ReleaseFrameListLock(port);
    block->NoFreeFrame = 0;
    block->ExpectedPacketCount = 0;

    // Frame, start, stop, return and flush requests are accepted from here on.
    SetCacheReady(port, 1);
    WriteEventLog(MSG_CACHE_INIT_COMPLETE, 0, "Id:%d,PSz:%d,FSz:%d,FCnt:%d", static_cast<int>(port->PortId),
        static_cast<int>(block->PacketSize), static_cast<int>(block->FrameSize), static_cast<int>(block->FrameCount));
    ReleaseControlBusy(port);
    ReleaseStreamPortReference(port);
    return STATUS_SUCCESS;
}

NTSTATUS ReturnFrame(PIRP irp, PIO_STACK_LOCATION stack)
{
    // A short input names no frame; the cache stays mapped until the request ends.
    if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(FrameHandOver)) {
        return STATUS_UNSUCCESSFUL;
    }
    StreamPort* port = AcquireStreamPortOfFile(stack->FileObject, PORT_CACHE_IN_USE);
    if (port == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }

    // The frame by the address user mode was given for it.
    FrameHandOver input;
    RtlCopyMemory(&input, irp->AssociatedIrp.SystemBuffer, sizeof(input));
    ULONG64 headerAddress = input.HeaderAddress;
    FrameSlot* slot = nullptr;
    for (ULONG i = 0; i < port->FrameSlotCount; ++i) {
        if (port->FrameSlots[i].UserAddress == headerAddress - FRAME_PRIVATE_SIZE) {
            slot = &port->FrameSlots[i];
            break;
        }
    }
    HANDLE processId = PsGetCurrentProcessId();
    if (processId != port->OwnerProcessId) {
        WriteEventLog(MSG_INVALID_CONTEXT, 0, "Id:%d,UA:0x%p,PID:0x%p", static_cast<int>(port->PortId),
            reinterpret_cast<PVOID>(headerAddress), processId);
    }
    if (slot == nullptr) {
        ReleasePortCache(port);
        return STATUS_SUCCESS;
    }

    // Only a frame user mode holds comes back, and only once.
    AcquireFrameListLock(port);
    if (slot->Place != FRAME_PLACE_USER) {
        ReleaseFrameListLock(port);
        ReleasePortCache(port);
        return STATUS_UNSUCCESSFUL;
    }
    MoveFrameSlot(port, slot, FRAME_PLACE_NONE);
    ReleaseFrameListLock(port);

    // An overflowed frame moves into its replacement, or loses its chunks.
    NTSTATUS status = STATUS_SUCCESS;
    if (slot->Overflowed && slot->Header->FrameStatus == FRAME_STATUS_OVERFLOW) {
        status = MoveOverflowedFrame(port, slot);
        if (!NT_SUCCESS(status)) {
            // The frame stays with user mode, which may return it again.
            AcquireFrameListLock(port);
            MoveFrameSlot(port, slot, FRAME_PLACE_USER);
            ReleaseFrameListLock(port);
        }
    } else {
        if (slot->Overflowed) {
            ClearFrameOverflow(slot);
        }
        // Free for a new block again.
        AcquireFrameListLock(port);
        MoveFrameSlot(port, slot, FRAME_PLACE_FREE);
        ReleaseFrameListLock(port);
    }

    ReleasePortCache(port);
    return status;
}

NTSTATUS ReleaseCacheRequest(PIRP irp, PIO_STACK_LOCATION stack)
{
    (void)irp;

    // Later frame, start, stop and flush requests fail until a new set-up.
    LOCK_STATE_EX lockState;
    NdisAcquireRWLockWrite(DriverGlobals.AdapterTableLock, &lockState, 0);
    auto* port = static_cast<StreamPort*>(stack->FileObject->FsContext);
    if (port == nullptr || port->CacheReady == 0) {
        NdisReleaseRWLock(DriverGlobals.AdapterTableLock, &lockState);
        WriteEventLog(MSG_FILE_CONTEXT_NULL, FILE_CONTEXT_NULL_RELEASE, nullptr);
        return STATUS_UNSUCCESSFUL;
    }
    port->CacheReady = 0;
    ReferenceStreamPort(port);
    NdisReleaseRWLock(DriverGlobals.AdapterTableLock, &lockState);

    // Cleanup, detach or the owner's exit may have released the cache meanwhile; it goes once.
    // Only holders of ControlBusy map or take away the cache.
    AcquireControlBusy(port);
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    if (port->ControlBlock != nullptr) {
        ReleaseFrameCache(port);
        status = STATUS_SUCCESS;
    }
    // ControlBusy first: once the reference is dropped a detach may free the port.
    ReleaseControlBusy(port);
    ReleaseStreamPortReference(port);
    return status;
}

namespace {

// A port whose cache the process `processId` set up, with a reference; or NULL.
StreamPort* FindPortOwnedBy(HANDLE processId)
{
    StreamPort* found = nullptr;
    LOCK_STATE_EX lockState;
    NdisAcquireRWLockRead(DriverGlobals.AdapterTableLock, &lockState, 0);
    for (LONG a = MAX_ADAPTERS - 1; a >= 0 && found == nullptr; --a) {
        FilterAdapter* adapter = DriverGlobals.AdapterTable[a];
        if (adapter == nullptr) {
            continue;
        }
        for (LONG slot = MAX_STREAM_PORTS - 1; slot >= 0; --slot) {
            StreamPort* port = adapter->StreamPorts[slot];
            if (port != nullptr && port->OwnerProcessId == processId) {
                ReferenceStreamPort(port);
                found = port;
                break;
            }
        }
    }
    NdisReleaseRWLock(DriverGlobals.AdapterTableLock, &lockState);
    return found;
}

}  // namespace

VOID ReleaseFrameCachesOfProcess(HANDLE processId)
{
    // Each port found has its owner cleared under ControlBusy, so the search ends.
    while (StreamPort* port = FindPortOwnedBy(processId)) {
        AcquireControlBusy(port);
        if (port->OwnerProcessId == processId) {
            port->OwnerProcessId = nullptr;
            if (port->ControlBlock != nullptr) {
                // Later frame, start, stop and flush requests fail, as after a cache release.
                LOCK_STATE_EX lockState;
                NdisAcquireRWLockWrite(DriverGlobals.AdapterTableLock, &lockState, 0);
                port->CacheReady = 0;
                NdisReleaseRWLock(DriverGlobals.AdapterTableLock, &lockState);
                ReleaseFrameCache(port);
            }
        }
        ReleaseControlBusy(port);
        ReleaseStreamPortReference(port);
    }
}

NTSTATUS FlushFramesRequest(PIRP irp, PIO_STACK_LOCATION stack)
{
    (void)irp;
    StreamPort* port = AcquireStreamPortOfFile(stack->FileObject, PORT_CACHE_READY);
    if (port == nullptr) {
        return STATUS_UNSUCCESSFUL;
    }
    AcquireControlBusy(port);
    FlushFrames(port);
    ReleaseControlBusy(port);
    ReleaseStreamPortReference(port);
    return STATUS_SUCCESS;
}
