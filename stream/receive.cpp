// The receive path: every chain an adapter indicates passes here. UDP packets to a port
// bound on the adapter whose StreamControlBlock is Active are consumed (their bytes assembled
// into the user's frame buffers) and handed back to the miniport at once; everything else goes
// up to the protocols exactly as it came.
// IRQL <= DISPATCH_LEVEL, possibly on several processors at once; no lock held on entry.
#include "stream/receive.h"

#include "base/clock.h"
#include "base/stream_port.h"
#include "base/wire_format.h"
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

// A run of consecutive packets of one indicated chain that go to the same stream: its port's
// cache (AcquirePortCache) and assembly are taken at the run's first packet and given back when a
// packet for anything else comes, before a packet goes up alone, and at the chain's end.
struct ReceiveRun {
    FilterAdapter* Adapter;
    BOOLEAN AtDispatchLevel;
    StreamPort* Port;   // NULL between runs
    KIRQL AssemblyIrql;
    // What the current packet's assembly leaves to do; empty between packets, as carrying the
    // effects out empties it.
    AssemblyEffects Effects;
    // The chain's time, read once at its first stream packet: the performance counter and its
    // microseconds. A chain is indicated within microseconds; the times it feeds are
    // milliseconds.
    BOOLEAN TimeRead;
    LONGLONG Counter;
    LONGLONG Now;
    // The AVX registers, saved while the run holds an assembly whose copies use them.
    XSTATE_SAVE ExtendedState;
};

// Takes the run's port's assembly. Where the port's copies may use 256-bit stores, the AVX
// registers are saved for the hold: once per run rather than per packet, since a save and its
// restore take about as long as the 256-bit stores gain on three jumbo packets.
VOID HoldAssembly(ReceiveRun* run) _Function_ignore_lock_checking_(run->Port->AssemblyLock)
{
    StreamPort* port = run->Port;
    run->AssemblyIrql = AcquireAssembly(port);
    if (port->WideStreamingStores && NT_SUCCESS(KeSaveExtendedProcessorState(XSTATE_MASK_AVX, &run->ExtendedState))) {
        port->WideRegistersSaved = TRUE;
    }
}

// Lets go of the assembly: the payload stored so far is fenced and the registers restored first.
VOID LeaveAssembly(ReceiveRun* run) _Function_ignore_lock_checking_(run->Port->AssemblyLock)
{
    StreamPort* port = run->Port;
    StreamingStoreFence();
    if (port->WideRegistersSaved) {
        port->WideRegistersSaved = FALSE;
        KeRestoreExtendedProcessorState(&run->ExtendedState);
    }
    ReleaseAssembly(port, run->AssemblyIrql);
}

VOID EndRun(ReceiveRun* run)
{
    if (run->Port != nullptr) {
        LeaveAssembly(run);
        ReleasePortCache(run->Port);
        run->Port = nullptr;
    }
}

// Starts fetching the headers of the packet after the one being classified, so that they arrive
// while that one is copied.
VOID PrefetchHeaders(PNET_BUFFER_LIST netBufferList)
{
    PNET_BUFFER netBuffer = netBufferList != nullptr ? NET_BUFFER_LIST_FIRST_NB(netBufferList) : nullptr;
    PMDL first = netBuffer != nullptr ? NET_BUFFER_CURRENT_MDL(netBuffer) : nullptr;
    PUCHAR mapped = first != nullptr ? MappedSegmentAddress(first) : nullptr;
    if (mapped != nullptr) {
        const UCHAR* headers = mapped + NET_BUFFER_CURRENT_MDL_OFFSET(netBuffer);
        PreFetchCacheLine(PF_TEMPORAL_LEVEL_1, headers);
        PreFetchCacheLine(PF_TEMPORAL_LEVEL_1, headers + FRAME_HEADERS_SIZE + GVSP_HEADER_MIN - 1);
    }
}

// A packet for no stream: the run ends; the packet goes up.
BOOLEAN NotForAStream(ReceiveRun* run)
{
    EndRun(run);
    return FALSE;
}

// The StreamPort of a bound, active stream that a packet to `destinationPort` belongs to, with
// its cache and assembly held for the run; or NULL (and no run).
StreamPort* PortOfPacket(ReceiveRun* run, const UCHAR* destinationPort)
    _Function_ignore_lock_checking_(run->Port->AssemblyLock)
{
    StreamPort* port = run->Port;
    if (port != nullptr && RtlEqualMemory(&port->UdpPort, destinationPort, sizeof(port->UdpPort))) {
        if (port->ControlBlock->Active != 0) {
            return port;
        }
        EndRun(run);
        return nullptr;
    }
    EndRun(run);
    port = nullptr;
    LOCK_STATE_EX lockState;
    NdisAcquireRWLockRead(DriverGlobals.AdapterTableLock, &lockState,
        run->AtDispatchLevel ? NDIS_RWL_AT_DISPATCH_LEVEL : 0);
    for (LONG slot = MAX_STREAM_PORTS - 1; slot >= 0; --slot) {
        StreamPort* candidate = run->Adapter->StreamPorts[slot];
        if (candidate != nullptr &&
            RtlEqualMemory(&candidate->UdpPort, destinationPort, sizeof(candidate->UdpPort))) {
            if (AcquirePortCache(candidate)) {
                if (candidate->ControlBlock->Active != 0) {
                    port = candidate;
                } else {
                    ReleasePortCache(candidate);
                }
            }
            break;
        }
    }
    NdisReleaseRWLock(DriverGlobals.AdapterTableLock, &lockState);
    if (port != nullptr) {
        run->Port = port;
        HoldAssembly(run);
    }
    return port;
}

// What a packet's assembly decided to complete, send and report happens outside the assembly,
// with the cache still held; the run then takes the assembly again.
VOID FinishPacket(ReceiveRun* run, const UCHAR* headerSource)
    _Function_ignore_lock_checking_(run->Port->AssemblyLock)
{
    if (HasAssemblyEffects(&run->Effects)) {
        LeaveAssembly(run);
        FinishAssemblyEffects(run->Port, &run->Effects, headerSource);
        HoldAssembly(run);
    }
}

// An IP fragment is not a stream packet: its GVSP bytes are incomplete, and a later fragment has
// no UDP header at all. A first fragment to a bound port is counted on the port, so that the
// user learns that the camera's packets exceed the path's MTU.
VOID NoteFragment(FilterAdapter* adapter, const UCHAR* ethernetFrame, const UCHAR* udpHeader, BOOLEAN atDispatchLevel)
{
    if ((ReadBigEndian16(ethernetFrame + IPV4_FLAGS_FRAGMENT_OFFSET) & IPV4_FRAGMENT_OFFSET_MASK) != 0) {
        return;
    }
    LOCK_STATE_EX lockState;
    NdisAcquireRWLockRead(DriverGlobals.AdapterTableLock, &lockState, atDispatchLevel ? NDIS_RWL_AT_DISPATCH_LEVEL : 0);
    for (LONG slot = MAX_STREAM_PORTS - 1; slot >= 0; --slot) {
        StreamPort* port = adapter->StreamPorts[slot];
        if (port != nullptr &&
            RtlEqualMemory(&port->UdpPort, udpHeader + UDP_HEADER_DESTINATION_PORT, sizeof(port->UdpPort))) {
            InterlockedIncrement(&port->FragmentedDatagrams);
            break;
        }
    }
    NdisReleaseRWLock(DriverGlobals.AdapterTableLock, &lockState);
}

// The decision for one packet: TRUE when it was consumed by a stream, FALSE when it goes up
// unchanged. A packet that is not a whole UDP datagram to a stream ends the run.
BOOLEAN ClassifyReceivedPacket(ReceiveRun* run, PNET_BUFFER_LIST netBufferList)
    _Function_ignore_lock_checking_(run->Port->AssemblyLock)
{
    // Nothing to read, or too short for the Ethernet, IPv4 and UDP headers: not a stream packet.
    PNET_BUFFER netBuffer = NET_BUFFER_LIST_FIRST_NB(netBufferList);
    if (netBuffer == nullptr || NET_BUFFER_CURRENT_MDL(netBuffer) == nullptr) {
        return NotForAStream(run);
    }
    ULONG dataLength = NET_BUFFER_DATA_LENGTH(netBuffer);
    if (dataLength < FRAME_HEADERS_SIZE) {
        return NotForAStream(run);
    }

    // The first segment must hold the three headers whole.
    PMDL first = NET_BUFFER_CURRENT_MDL(netBuffer);
    ULONG offset = NET_BUFFER_CURRENT_MDL_OFFSET(netBuffer);
    PUCHAR address = SegmentAddress(first);
    ULONG firstBytes = MmGetMdlByteCount(first);
    if (address == nullptr || firstBytes < offset || firstBytes - offset < FRAME_HEADERS_SIZE) {
        return NotForAStream(run);
    }
    const UCHAR* ethernetFrame = address + offset;

    // Only UDP over IPv4 in an untagged Ethernet II frame, as its own fields say: everything else
    // (IPv6, ARP, a frame whose VLAN tag was left in place) goes up untouched. The UDP header lies
    // after the real IPv4 header, options included.
    UCHAR versionLength = ethernetFrame[IPV4_VERSION_LENGTH];
    ULONG udpAt = ETHERNET_HEADER_SIZE + (ULONG{versionLength} & IPV4_IHL_MASK) * 4;
    if (ReadBigEndian16(ethernetFrame + ETHERNET_TYPE) != ETHERTYPE_IPV4 || (versionLength >> 4) != IPV4_VERSION ||
        ethernetFrame[IPV4_PROTOCOL] != IP_PROTOCOL_UDP || udpAt < ETHERNET_HEADER_SIZE + IPV4_HEADER_SIZE ||
        Smaller(firstBytes - offset, dataLength) < udpAt + UDP_HEADER_SIZE) {
        return NotForAStream(run);
    }
    const UCHAR* udpHeader = ethernetFrame + udpAt;
    if ((ReadBigEndian16(ethernetFrame + IPV4_FLAGS_FRAGMENT_OFFSET) &
            (IPV4_MORE_FRAGMENTS | IPV4_FRAGMENT_OFFSET_MASK)) != 0) {
        EndRun(run);
        NoteFragment(run->Adapter, ethernetFrame, udpHeader, run->AtDispatchLevel);
        return FALSE;
    }
    // A whole datagram: the UDP length within the IPv4 total length, that within the frame. What
    // follows the datagram (Ethernet padding) is no part of the packet.
    ULONG totalLength = ReadBigEndian16(ethernetFrame + IPV4_TOTAL_LENGTH);
    ULONG udpLength = ReadBigEndian16(udpHeader + UDP_HEADER_LENGTH);
    if (totalLength > dataLength - ETHERNET_HEADER_SIZE || udpLength < UDP_HEADER_SIZE ||
        udpAt + udpLength > ETHERNET_HEADER_SIZE + totalLength) {
        return NotForAStream(run);
    }
    StreamPort* port = PortOfPacket(run, udpHeader + UDP_HEADER_DESTINATION_PORT);
    if (port == nullptr) {
        return FALSE;
    }

    // The GVSP header: after the UDP header, or at the start of the next segment when the
    // adapter split the headers from the data. Never beyond the datagram or its segment.
    ULONG packetLength = udpAt + udpLength;
    ULONG gvspAt = udpAt + UDP_HEADER_SIZE;
    ULONG consumedBytes = firstBytes - offset;
    ULONG gvspBytes = Smaller(consumedBytes, packetLength) - gvspAt;
    const UCHAR* gvspHeader = ethernetFrame + gvspAt;
    PMDL continuation = first->Next;
    if (gvspBytes < GVSP_HEADER_MIN) {
        // Only a packet that goes on beyond its first segment has its header in the next one.
        if (packetLength <= consumedBytes) {
            return FALSE;
        }
        PMDL second = first->Next;
        PUCHAR secondAddress = second != nullptr ? SegmentAddress(second) : nullptr;
        ULONG secondBytes = second != nullptr ? MmGetMdlByteCount(second) : 0;
        if (gvspBytes != 0 || secondAddress == nullptr || secondBytes < GVSP_HEADER_MIN) {
            return FALSE;
        }
        gvspHeader = secondAddress;
        gvspBytes = Smaller(secondBytes, packetLength - consumedBytes);
        consumedBytes += secondBytes;
        continuation = second->Next;
        if (gvspBytes < GVSP_HEADER_MIN) {
            return FALSE;
        }
    }

    // A packet that cannot be read whole is not placed at all: counted as received with bytes
    // missing, it could complete its frame. It goes up; a resend brings it back.
    ULONG remaining = packetLength > consumedBytes ? packetLength - consumedBytes : 0;
    if (!ContinuationMaps(continuation, remaining)) {
        return FALSE;
    }

    if (!run->TimeRead) {
        run->Counter = KeQueryPerformanceCounter(nullptr).QuadPart;
        run->Now = CounterMicroseconds(run->Counter);
        run->TimeRead = TRUE;
    }

    // Assembly (the next payload packet of the current frame on the fast path), then the rest of
    // the packet in later segments, then completion.
    BOOLEAN consumed = TRUE;
    FrameSlot* frame = remaining == 0 ? AssembleNextPayloadPacket(port, gvspHeader, gvspBytes, run->Now) : nullptr;
    if (frame == nullptr) {
        frame = AssembleGvspPacket(port, ethernetFrame, gvspHeader, gvspBytes, run->Now, run->AtDispatchLevel,
            &run->Effects);
        if (frame != nullptr && !CopyPacketContinuation(port, frame, continuation, remaining)) {
            consumed = FALSE;
            frame = nullptr;
        }
    }
    if (frame != nullptr) {
        CheckFrameCompletion(port, frame, run->Counter, &run->Effects);
    }

    FinishPacket(run, ethernetFrame);
    return consumed;
}

}  // namespace

VOID ReceiveNetBufferLists(FilterAdapter* adapter, PNET_BUFFER_LIST netBufferLists, NDIS_PORT_NUMBER portNumber,
    ULONG receiveFlags)
{
    ULONG returnFlags = receiveFlags & NDIS_RETURN_FLAGS_DISPATCH_LEVEL;

    // A module that is not running indicates nothing: the lists go back to the miniport at once,
    // or, under the resources flag, stay with it. FilterPause waits for a receive that got past
    // this point.
    if (!ExAcquireRundownProtection(&adapter->DataPathRundown)) {
        if ((receiveFlags & NDIS_RECEIVE_FLAGS_RESOURCES) == 0) {
            NdisFReturnNetBufferLists(adapter->NdisFilterHandle, netBufferLists, returnFlags);
        }
        return;
    }
    ReceiveRun run = {
        adapter, (receiveFlags & NDIS_RECEIVE_FLAGS_DISPATCH_LEVEL) != 0, nullptr, PASSIVE_LEVEL, {}, FALSE, 0, 0, {}};
    // The locks of the path are taken at DISPATCH_LEVEL on the flag's word.
    NT_ASSERT(!run.AtDispatchLevel || KeGetCurrentIrql() == DISPATCH_LEVEL);

    if ((receiveFlags & NDIS_RECEIVE_FLAGS_RESOURCES) != 0) {
        // The lists stay the miniport's: each one not consumed goes up alone, outside any run,
        // and the chain is left as it came.
        for (PNET_BUFFER_LIST current = netBufferLists; current != nullptr;) {
            PNET_BUFFER_LIST next = NET_BUFFER_LIST_NEXT_NBL(current);
            NET_BUFFER_LIST_NEXT_NBL(current) = nullptr;
            PrefetchHeaders(next);
            if (!ClassifyReceivedPacket(&run, current)) {
                EndRun(&run);
                NdisFIndicateReceiveNetBufferLists(adapter->NdisFilterHandle, current, portNumber, 1, receiveFlags);
            }
            NET_BUFFER_LIST_NEXT_NBL(current) = next;
            current = next;
        }
        EndRun(&run);
        ExReleaseRundownProtection(&adapter->DataPathRundown);
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
        PrefetchHeaders(next);
        if (ClassifyReceivedPacket(&run, current)) {
            *consumedTail = current;
            consumedTail = &NET_BUFFER_LIST_NEXT_NBL(current);
        } else {
            *passTail = current;
            passTail = &NET_BUFFER_LIST_NEXT_NBL(current);
            passCount += 1;
        }
        current = next;
    }
    EndRun(&run);
    if (passHead != nullptr) {
        NdisFIndicateReceiveNetBufferLists(adapter->NdisFilterHandle, passHead, portNumber, passCount, receiveFlags);
    }
    if (consumedHead != nullptr) {
        NdisFReturnNetBufferLists(adapter->NdisFilterHandle, consumedHead, returnFlags);
    }
    ExReleaseRundownProtection(&adapter->DataPathRundown);
}
