// The receive handler: every chain an adapter indicates passes here. UDP packets to a port
// bound on the adapter whose StreamControlBlock is Active are consumed (their bytes assembled
// into the user's frame buffers) and handed back to the miniport at once; everything else goes
// up to the protocols exactly as it came.
// IRQL <= DISPATCH_LEVEL, possibly on several processors at once; no lock held on entry.
#include "stream/receive.h"

#include "control/stream_port.h"
#include "delivery/wire_format.h"
#include "stream/assembly.h"
#include "stream/placement.h"

namespace {

constexpr ULONG GVSP_HEADER_MIN = GVSP_STANDARD_HEADER_SIZE;

ULONG Smaller(ULONG a, ULONG b) { return a < b ? a : b; }

// TRUE when every segment from `segment` on that holds the packet's remaining bytes has a system
// address. Mapped once, a segment keeps its mapping for the continuation's copy.
BOOLEAN ContinuationMaps(PMDL segment, ULONG remaining)
{
    for (; segment != nullptr && remaining > 0; segment = segment->Next) {
        if (SegmentAddress(segment) == nullptr) {
            return FALSE;
        }
        ULONG count = MmGetMdlByteCount(segment);
        remaining -= Smaller(remaining, count);
    }
    return TRUE;
}

// The StreamPort of a bound, active stream that a packet to `destinationPort` belongs to, with a
// reference and a cache use; or NULL.
StreamPort* FindActivePort(FilterAdapter* adapter, const UCHAR* destinationPort, BOOLEAN atDispatchLevel)
{
    StreamPort* found = nullptr;
    LOCK_STATE_EX lockState;
    NdisAcquireRWLockRead(DriverGlobals.AdapterTableLock, &lockState, atDispatchLevel ? NDIS_RWL_AT_DISPATCH_LEVEL : 0);
    for (LONG slot = MAX_STREAM_PORTS - 1; slot >= 0; --slot) {
        StreamPort* port = adapter->StreamPorts[slot];
        if (port != nullptr && RtlCompareMemory(&port->UdpPort, destinationPort, sizeof(port->UdpPort)) == 2) {
            if (port->CachePublished != 0 && port->ControlBlock->Active != 0) {
                InterlockedIncrement(&port->ReferenceCount);
                InterlockedIncrement(&port->CacheUsers);
                found = port;
            }
            break;
        }
    }
    NdisReleaseRWLock(DriverGlobals.AdapterTableLock, &lockState);
    return found;
}

// An IP fragment is not a stream packet: its GVSP bytes are incomplete, and a later fragment has
// no UDP header at all. A first fragment to a bound port is counted on the port, so that the
// user learns that the camera's packets exceed the path's MTU.
VOID NoteFragment(FilterAdapter* adapter, const UCHAR* ethernetFrame, BOOLEAN atDispatchLevel)
{
    if ((ReadBigEndian16(ethernetFrame + IPV4_FLAGS_FRAGMENT_OFFSET) & IPV4_FRAGMENT_OFFSET_MASK) != 0) {
        return;
    }
    LOCK_STATE_EX lockState;
    NdisAcquireRWLockRead(DriverGlobals.AdapterTableLock, &lockState, atDispatchLevel ? NDIS_RWL_AT_DISPATCH_LEVEL : 0);
    for (LONG slot = MAX_STREAM_PORTS - 1; slot >= 0; --slot) {
        StreamPort* port = adapter->StreamPorts[slot];
        if (port != nullptr &&
            RtlCompareMemory(&port->UdpPort, ethernetFrame + UDP_DESTINATION_PORT, sizeof(port->UdpPort)) == 2) {
            InterlockedIncrement(&port->FragmentedDatagrams);
            break;
        }
    }
    NdisReleaseRWLock(DriverGlobals.AdapterTableLock, &lockState);
}

}  // namespace

// TRUE when the packet was consumed; FALSE: it goes up unchanged.
BOOLEAN ClassifyReceivedPacket(FilterAdapter* adapter, PNET_BUFFER_LIST netBufferList, BOOLEAN atDispatchLevel)
{
    // Nothing to read, or too short for the Ethernet, IPv4 and UDP headers: not a stream packet.
    PNET_BUFFER netBuffer = NET_BUFFER_LIST_FIRST_NB(netBufferList);
    if (netBuffer == nullptr || NET_BUFFER_CURRENT_MDL(netBuffer) == nullptr) {
        return FALSE;
    }
    ULONG dataLength = NET_BUFFER_DATA_LENGTH(netBuffer);
    if (dataLength < FRAME_HEADERS_SIZE) {
        return FALSE;
    }

    // The first segment must hold the three headers whole.
    PMDL first = NET_BUFFER_CURRENT_MDL(netBuffer);
    ULONG offset = NET_BUFFER_CURRENT_MDL_OFFSET(netBuffer);
    PUCHAR address = SegmentAddress(first);
    ULONG firstBytes = MmGetMdlByteCount(first);
    if (address == nullptr || firstBytes < offset || firstBytes - offset < FRAME_HEADERS_SIZE) {
        return FALSE;
    }
    const UCHAR* ethernetFrame = address + offset;

    // Only a whole UDP datagram to a port bound and active on this adapter is ours.
    if (ethernetFrame[IPV4_PROTOCOL] != IP_PROTOCOL_UDP) {
        return FALSE;
    }
    if ((ReadBigEndian16(ethernetFrame + IPV4_FLAGS_FRAGMENT_OFFSET) &
            (IPV4_MORE_FRAGMENTS | IPV4_FRAGMENT_OFFSET_MASK)) != 0) {
        NoteFragment(adapter, ethernetFrame, atDispatchLevel);
        return FALSE;
    }
    StreamPort* port = FindActivePort(adapter, ethernetFrame + UDP_DESTINATION_PORT, atDispatchLevel);
    if (port == nullptr) {
        return FALSE;
    }

    // The GVSP header: after the UDP header, or at the start of the next segment when the
    // adapter split the headers from the data. Never beyond the packet or its segment.
    ULONG packetInFirst = Smaller(firstBytes - offset, dataLength);
    ULONG consumedBytes = firstBytes - offset;
    ULONG gvspBytes = Smaller(ReadBigEndian16(ethernetFrame + IPV4_TOTAL_LENGTH) - IP_UDP_HEADERS_SIZE,
        packetInFirst - FRAME_HEADERS_SIZE);
    const UCHAR* gvspHeader = ethernetFrame + FRAME_HEADERS_SIZE;
    PMDL continuation = first->Next;
    if (gvspBytes < GVSP_HEADER_MIN) {
        // Only a packet that goes on beyond its first segment has its header in the next one.
        if (dataLength <= consumedBytes) {
            ReleaseCacheUseAndPort(port);
            return FALSE;
        }
        PMDL second = first->Next;
        PUCHAR secondAddress = second != nullptr ? SegmentAddress(second) : nullptr;
        ULONG secondBytes = second != nullptr ? MmGetMdlByteCount(second) : 0;
        if (secondAddress == nullptr || secondBytes < GVSP_HEADER_MIN) {
            ReleaseCacheUseAndPort(port);
            return FALSE;
        }
        gvspHeader = secondAddress;
        gvspBytes = Smaller(secondBytes, dataLength - consumedBytes);
        consumedBytes += secondBytes;
        continuation = second->Next;
        if (gvspBytes < GVSP_HEADER_MIN) {
            ReleaseCacheUseAndPort(port);
            return FALSE;
        }
    }

    // A packet that cannot be read whole is not placed at all: counted as received with bytes
    // missing, it could complete its frame. It goes up; a resend brings it back.
    ULONG remaining = dataLength > consumedBytes ? dataLength - consumedBytes : 0;
    if (!ContinuationMaps(continuation, remaining)) {
        ReleaseCacheUseAndPort(port);
        return FALSE;
    }

    // Assembly, then the rest of the packet in later segments, then completion; what they decided
    // to complete, send and report happens once the assembly is left.
    AssemblyEffects effects = {};
    KIRQL assemblyIrql = AcquireAssembly(port);
    BOOLEAN consumed = TRUE;
    FrameSlot* frame = AssembleGvspPacket(port, ethernetFrame, gvspHeader, gvspBytes, atDispatchLevel, &effects);
    if (frame != nullptr) {
        if (CopyPacketContinuation(port, frame, continuation, remaining)) {
            CheckFrameCompletion(port, frame, &effects);
        } else {
            consumed = FALSE;
        }
    }
    ReleaseAssembly(port, assemblyIrql);
    FinishAssemblyEffects(port, &effects, ethernetFrame);
    ReleaseCacheUseAndPort(port);
    return consumed;
}

VOID FilterReceiveNetBufferLists(NDIS_HANDLE filterModuleContext, PNET_BUFFER_LIST netBufferLists,
    NDIS_PORT_NUMBER portNumber, ULONG numberOfNetBufferLists, ULONG receiveFlags)
{
    (void)numberOfNetBufferLists;
    auto* adapter = static_cast<FilterAdapter*>(filterModuleContext);
    BOOLEAN atDispatchLevel = (receiveFlags & NDIS_RECEIVE_FLAGS_DISPATCH_LEVEL) != 0;
    // The locks of the path are taken at DISPATCH_LEVEL on the flag's word.
    NT_ASSERT(!atDispatchLevel || KeGetCurrentIrql() == DISPATCH_LEVEL);

    if ((receiveFlags & NDIS_RECEIVE_FLAGS_RESOURCES) != 0) {
        // The lists stay the miniport's: each one not consumed goes up alone, and the chain is
        // left as it came.
        for (PNET_BUFFER_LIST current = netBufferLists; current != nullptr;) {
            PNET_BUFFER_LIST next = NET_BUFFER_LIST_NEXT_NBL(current);
            NET_BUFFER_LIST_NEXT_NBL(current) = nullptr;
            if (!ClassifyReceivedPacket(adapter, current, atDispatchLevel)) {
                NdisFIndicateReceiveNetBufferLists(adapter->NdisFilterHandle, current, portNumber, 1, receiveFlags);
            }
            NET_BUFFER_LIST_NEXT_NBL(current) = next;
            current = next;
        }
        return;
    }

    // Two chains in arrival order: one indication up, one return down.
    PNET_BUFFER_LIST passHead = nullptr;
    PNET_BUFFER_LIST* passTail = &passHead;
    ULONG passCount = 0;
    PNET_BUFFER_LIST consumedHead = nullptr;
    PNET_BUFFER_LIST* consumedTail = &consumedHead;
    for (PNET_BUFFER_LIST current = netBufferLists; current != nullptr;) {
        PNET_BUFFER_LIST next = NET_BUFFER_LIST_NEXT_NBL(current);
        NET_BUFFER_LIST_NEXT_NBL(current) = nullptr;
        if (ClassifyReceivedPacket(adapter, current, atDispatchLevel)) {
            *consumedTail = current;
            consumedTail = &NET_BUFFER_LIST_NEXT_NBL(current);
        } else {
            *passTail = current;
            passTail = &NET_BUFFER_LIST_NEXT_NBL(current);
            passCount += 1;
        }
        current = next;
    }
    if (passHead != nullptr) {
        NdisFIndicateReceiveNetBufferLists(adapter->NdisFilterHandle, passHead, portNumber, passCount, receiveFlags);
    }
    if (consumedHead != nullptr) {
        NdisFReturnNetBufferLists(adapter->NdisFilterHandle, consumedHead,
            receiveFlags & NDIS_RETURN_FLAGS_DISPATCH_LEVEL);
    }
}
