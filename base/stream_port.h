// The StreamPort, the driver's record of one bound camera stream, and the FrameSlot, its record
// of one frame buffer. Everything the driver relies on lives here, in the driver's own memory;
// the StreamControlBlock and the frame buffers in user memory only carry a report of it.
#pragma once

#include "base/driver.h"
#include "base/stream_memory.h"

// Where a frame buffer is. Changed only under its port's FrameListLock.
enum FramePlace : UCHAR {
    FRAME_PLACE_FREE = 0,         // on FreeFrames
    FRAME_PLACE_ASSEMBLING = 1,   // on AssemblingFrames
    FRAME_PLACE_COMPLETED = 2,    // on CompletedFrames
    FRAME_PLACE_USER = 3,         // handed to user mode by a frame request
    FRAME_PLACE_NONE = 4,         // off every list, owned by the code moving it
};

// The part of a frame buffer a packet was placed in.
enum FrameRegion : UCHAR {
    FRAME_REGION_PAYLOAD = 0,   // the PayloadArea and the overflow chunks beyond it
    FRAME_REGION_LEADER = 1,    // the LeaderArea: what does not fit is dropped
    FRAME_REGION_TRAILER = 2,   // the TrailerArea: likewise
};

// One completed frame of a port's rate window: its payload bytes and the performance counter when
// it closed.
struct RateSample {
    ULONG64 PayloadBytes;
    LONGLONG Counter;
};
constexpr ULONG RATE_SAMPLE_MAX = 50;

// Frame caches larger than this receive with streaming stores: a last-level cache of this size
// or less cannot keep a frame until user mode reads it.
constexpr ULONG64 STREAMING_CACHE_BYTES = 32ull << 20;

// One frame buffer of a mapped frame cache. The array of a cache is allocated by MapFrameCache
// and freed by ReleaseFrameCache; between the two only the fields marked so change.
struct FrameSlot {
    LIST_ENTRY Links;                 // FrameListLock: membership in one of the three lists
    FramePlace Place;                 // FrameListLock
    USHORT FrameIndex;                // the buffer's descriptor index
    ULONG Size;                       // bytes of the buffer, at least FRAME_BUFFER_MIN_SIZE
    ULONG64 UserAddress;              // the buffer's user-space address
    PMDL Mdl;                         // locks the buffer's pages
    PUCHAR SystemAddress;             // the buffer's system mapping
    FramePrivate* Private;            // the driver region of the buffer: a report to user mode
    FrameHeader* Header;              // SystemAddress + FRAME_PRIVATE_SIZE
    // Receive path and frame return: payload beyond the buffer's end.
    PVOID OverflowChunks[OVERFLOW_CHUNK_MAX];
    ULONG OverflowChunkSize;          // the chunk size the chunks were allocated with
    ULONG OverflowBytes;
    BOOLEAN Overflowed;
    BOOLEAN ExtendedIds;              // assembly: the id form of the block the slot was opened for
    ULONG64 FirstPacketTime;          // microseconds when the slot was opened for its block
    ULONG64 AssemblyTime;             // microseconds from FirstPacketTime to completion
    LONGLONG LastPacketTime;          // assembly: microseconds of the last packet seen, 0 until the
                                      // first; the receive path and the worker thread's retries write it
    // Receive path: where the last placement ended, for the rest of that packet in later buffer
    // segments: an offset from the buffer's start (offsets from Size on continue in the overflow
    // chunks) in the region the packet went to. The FrameHeader's region fields only report it.
    ULONG64 WriteOffset;
    FrameRegion WriteRegion;
};

// One bound UDP port on one adapter. Allocated by BindStreamPort; freed by the one path that
// unhooks it from its StreamPorts slot (handle cleanup or adapter detach), which first runs the
// frame cache down and releases it, then waits for the last reference. "assembly" marks the
// fields changed only by the holder of AssemblyLock (and by set-up while the cache is withdrawn).
struct StreamPort {
    ULONG PortId;                     // ((AdapterIndex + 1) << 16) | (SlotIndex + 1); constant
    ULONG AdapterIndex;               // constant
    ULONG SlotIndex;                  // constant
    // Bind: 1, dropped by the teardown; a request working without the cache (set-up, release,
    // flush, the process-exit search) and every queued frame request hold one more.
    _Interlocked_ volatile LONG ReferenceCount;
    // A notification event, set by the release of the last reference: the teardown waits on it.
    KEVENT ReferencesGone;
    // ControlBusy, a synchronization event set while nobody holds it: taken and given back by
    // set-up, cache release, flush, the process-exit release and the two teardowns, one at a time.
    KEVENT ControlIdle;
    USHORT UdpPort;                   // network byte order; constant
    _Write_guarded_by_(AssemblyLock) UCHAR TemplateExtendedIds;   // set once, by the first accepted packet
    HANDLE OwnerProcessId;            // ControlBusy: process that mapped the frame cache; the
                                      // process-exit search reads it under AdapterTableLock and
                                      // checks it again under ControlBusy
    _Guarded_by_(DriverGlobals.AdapterTableLock) PFILE_OBJECT FileObject;   // the handle that bound the port
    // The frame cache, published under AdapterTableLock held exclusively once it is mapped
    // whole, and taken away under the same lock when it is released; only holders of ControlBusy
    // change it. The holders of the cache read the block (ControlBlock: its system address) and
    // the slots without the lock.
    _Write_guarded_by_(DriverGlobals.AdapterTableLock) StreamControlBlock* ControlBlock;
    _Guarded_by_(DriverGlobals.AdapterTableLock) PMDL ControlBlockMdl;
    _Write_guarded_by_(DriverGlobals.AdapterTableLock) FrameSlot* FrameSlots;   // one per mapped frame buffer
    _Write_guarded_by_(DriverGlobals.AdapterTableLock) ULONG FrameSlotCount;
    // Users of the cache (the receive path, the worker's retries, stream requests) hold its
    // run-down protection (AcquirePortCache). Set-up, release and teardown run it down before
    // they rebuild or take the cache away, and initialise it again afterwards; the pointers above
    // stay valid for the holders until the wait returns.
    EX_RUNDOWN_REF CacheRundown;
    _Guarded_by_(AssemblyLock) FrameSlot* CurrentFrame;   // the newest block's slot
    _Guarded_by_(AssemblyLock) ULONG64 LastBlockId;
    FilterAdapter* Adapter;           // constant: the adapter the port is bound to; it outlives the port
    NDIS_HANDLE NetBufferListPool;    // constant: the adapter's pool of own packets
    NDIS_HANDLE NdisFilterHandle;     // constant
    PDEVICE_OBJECT NotificationDevice;  // constant
    _Write_guarded_by_(AssemblyLock) UCHAR HeaderTemplate[42];   // Ethernet, IPv4 and UDP headers of that packet
    // 1 once TemplateExtendedIds and HeaderTemplate hold the first accepted packet's: written
    // with a release after them, read by the worker with an acquire before it reads them.
    volatile LONG HeaderTemplateValid;
    KSPIN_LOCK AssemblyLock;          // the fields guarded by it or marked "assembly"; taken before FrameListLock
    KSPIN_LOCK FrameListLock;         // FreeFrames, AssemblingFrames, CompletedFrames, their counts, slot places
    KIRQL FrameListIrql;
    BOOLEAN FrameListAtDpcLevel;      // FrameListLock was taken with the caller at DISPATCH_LEVEL
    KSPIN_LOCK RequestListLock;       // PendingRequests and Acquiring; the lock of RequestQueue
    KIRQL RequestListIrql;
    // The cancel-safe queue of the waiting frame requests (control/frame_requests.cpp); its list,
    // oldest first, is PendingRequests.
    IO_CSQ RequestQueue;
    _Guarded_by_(RequestListLock) LIST_ENTRY PendingRequests;
    _Guarded_by_(FrameListLock) LIST_ENTRY FreeFrames;
    _Guarded_by_(FrameListLock) LIST_ENTRY AssemblingFrames;   // oldest first
    _Guarded_by_(FrameListLock) LIST_ENTRY CompletedFrames;    // oldest first
    _Guarded_by_(FrameListLock) ULONG FreeFrameCount;   // the lists' lengths, published in the block
    _Guarded_by_(FrameListLock) ULONG AssemblingFrameCount;
    _Guarded_by_(FrameListLock) ULONG CompletedFrameCount;
    // Frame requests are accepted: set by a completed set-up, cleared by a cache release, the
    // owner's exit and teardown, each under AdapterTableLock held exclusively.
    _Guarded_by_(DriverGlobals.AdapterTableLock) volatile UCHAR CacheReady;
    _Guarded_by_(RequestListLock) ULONG Acquiring;
    // The rate window (base/rate_statistics.h): a ring of RateSampleCount samples, the oldest
    // at RateSampleOldest; assembly.
    _Guarded_by_(AssemblyLock) RateSample RateSamples[RATE_SAMPLE_MAX];
    _Guarded_by_(AssemblyLock) ULONG RateSampleOldest;
    _Guarded_by_(AssemblyLock) ULONG RateSampleCount;
    LONGLONG CounterFrequency;        // set-up: performance-counter counts per second
    // Set-up: payload is copied into the frame buffers with streaming stores, which bypass the
    // processor's caches, because the cache's buffers together exceed STREAMING_CACHE_BYTES.
    // The assembly fences them before it lets go of anything another processor may read. Wide:
    // the system enables the AVX registers, so that the receive path may save them while it holds
    // the assembly and copy with 256-bit stores.
    BOOLEAN StreamingStores;
    BOOLEAN WideStreamingStores;
    // The holder of the assembly saved the AVX registers (KeSaveExtendedProcessorState) and
    // restores them before it lets go: its copies use 256-bit stores.
    _Guarded_by_(AssemblyLock) BOOLEAN WideRegistersSaved;
    // The last (FrameSize, payload per packet) of the block and the packet count they give:
    // assembly, recomputed only when the block's values change.
    _Guarded_by_(AssemblyLock) ULONG ExpectedFrameSize;
    _Guarded_by_(AssemblyLock) ULONG ExpectedPayloadPerPacket;
    _Guarded_by_(AssemblyLock) ULONG ExpectedPackets;
    // IP-fragmented datagrams seen for the port (their first fragments, the only ones that carry
    // the UDP port): the camera's packets exceed the path's MTU. Never reset while the port lives.
    _Interlocked_ volatile LONG FragmentedDatagrams;
};

constexpr ULONG STREAM_PORT_RECORD_SIZE = 448;   // what a bind reports of the record, at most

// ---- The port's spin locks ------------------------------------------------------------------
// FrameListLock, from any IRQL <= DISPATCH_LEVEL (`atDispatchLevel`: the caller already runs at
// DISPATCH_LEVEL). The holder keeps how it took the lock, and the IRQL to return to, for the
// matching release.
inline VOID AcquireFrameListLock(StreamPort* port, BOOLEAN atDispatchLevel = FALSE)
    _Acquires_lock_(port->FrameListLock)
{
    if (atDispatchLevel) {
        KeAcquireSpinLockAtDpcLevel(&port->FrameListLock);
    } else {
        port->FrameListIrql = KeAcquireSpinLockRaiseToDpc(&port->FrameListLock);
    }
    port->FrameListAtDpcLevel = atDispatchLevel;
}
inline VOID ReleaseFrameListLock(StreamPort* port) _Releases_lock_(port->FrameListLock)
{
    if (port->FrameListAtDpcLevel) {
        KeReleaseSpinLockFromDpcLevel(&port->FrameListLock);
    } else {
        KeReleaseSpinLock(&port->FrameListLock, port->FrameListIrql);
    }
}
inline VOID AcquireRequestListLock(StreamPort* port) _Acquires_lock_(port->RequestListLock)
{
    port->RequestListIrql = KeAcquireSpinLockRaiseToDpc(&port->RequestListLock);
}
inline VOID ReleaseRequestListLock(StreamPort* port) _Releases_lock_(port->RequestListLock)
{
    KeReleaseSpinLock(&port->RequestListLock, port->RequestListIrql);
}

// The assembly state of a port (CurrentFrame, LastBlockId, the frames being written, the rate
// samples) is changed by one processor at a time, under the port's AssemblyLock: the receive path
// for each packet, the control requests that move assembling frames and the worker's retries. Its
// holder completes no request, sends no packet and reports no event: the receive path records
// those and carries them out once the lock is released (AssemblyEffects).
inline KIRQL AcquireAssembly(StreamPort* port) _Acquires_lock_(port->AssemblyLock)
{
    return KeAcquireSpinLockRaiseToDpc(&port->AssemblyLock);
}
inline VOID ReleaseAssembly(StreamPort* port, KIRQL oldIrql) _Releases_lock_(port->AssemblyLock)
{
    KeReleaseSpinLock(&port->AssemblyLock, oldIrql);
}

// ---- References and the cache ---------------------------------------------------------------
// One more reference, for a holder that already keeps the port alive (a reference, the cache's
// run-down protection or AdapterTableLock with the port in its slot). Any IRQL <= DISPATCH_LEVEL.
inline VOID ReferenceStreamPort(StreamPort* port)
{
    InterlockedIncrement(&port->ReferenceCount);
}
// Drops one reference; the teardown frees the port once none is left. IRQL <= DISPATCH_LEVEL.
inline VOID ReleaseStreamPortReference(StreamPort* port)
{
    if (InterlockedDecrement(&port->ReferenceCount) == 0) {
        KeSetEvent(&port->ReferencesGone, IO_NO_INCREMENT, FALSE);
    }
}

// The port and its frame cache for one user (the receive path, a worker's retry, a stream
// request): TRUE when the cache is published, and then the port and the cache stay until
// ReleasePortCache, since every teardown runs the cache down before it drops the bind's
// reference. The caller found the port under AdapterTableLock and still holds it.
// IRQL <= DISPATCH_LEVEL.
_IRQL_requires_max_(DISPATCH_LEVEL)
inline BOOLEAN AcquirePortCache(StreamPort* port) _Requires_shared_lock_held_(DriverGlobals.AdapterTableLock)
{
    return port->ControlBlock != nullptr && ExAcquireRundownProtection(&port->CacheRundown);
}
_IRQL_requires_max_(DISPATCH_LEVEL)
inline VOID ReleasePortCache(StreamPort* port)
{
    ExReleaseRundownProtection(&port->CacheRundown);
}

