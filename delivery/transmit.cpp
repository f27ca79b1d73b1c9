// The driver's own packets: PACKETRESEND requests built from a port's header template, with
// their IPv4 and UDP checksums, sent on the port's adapter; and send completion, where the
// driver's own packets are recognised by their SourceHandle and freed and every other completed
// list goes up the stack. IRQL <= DISPATCH_LEVEL; no lock held on entry.
#include "delivery/transmit.h"

#include "base/wire_format.h"

namespace {

constexpr ULONG OWN_PACKET_MAPPING_PRIORITY = NormalPagePriority | MdlMappingNoExecute;

constexpr UCHAR RESEND_TIME_TO_LIVE = 128;
constexpr USHORT GVCP_REQUEST_ID = 1;
constexpr ULONG PSEUDO_HEADER_SIZE = 12;

PVOID AllocateSmallBuffer(StreamPort* port, ULONG length)
{
    return NdisAllocateMemoryWithTagPriority(port->NdisFilterHandle, length, POOL_TAG, LowPoolPriority);
}


// The PACKETRESEND packet for `blockId`, ready to send as one of the driver's own; NULL when
// memory for it cannot be had.
PNET_BUFFER_LIST BuildPacketResend(StreamPort* port, const UCHAR* headerSource, ULONG64 blockId, BOOLEAN extendedIds,
    ULONG firstPacketId, ULONG lastPacketId)
{
    StreamControlBlock* block = port->ControlBlock;

    // Zeroed: every field not written below, and the bytes after the payload, stay 0.
    auto* packet = static_cast<PUCHAR>(AllocateSmallBuffer(port, RESEND_PACKET_SIZE));
    if (packet == nullptr) {
        return nullptr;
    }
    RtlZeroMemory(packet, RESEND_PACKET_SIZE);

    // Back to the camera, from this host, as the stream packet came the other way.
    RtlCopyMemory(packet + ETHERNET_DESTINATION, headerSource + ETHERNET_SOURCE, 6);
    RtlCopyMemory(packet + ETHERNET_SOURCE, headerSource + ETHERNET_DESTINATION, 6);
    WriteBigEndian16(packet + ETHERNET_TYPE, ETHERTYPE_IPV4);
    packet[IPV4_VERSION_LENGTH] = 0x45;
    auto totalLength = static_cast<USHORT>(IP_UDP_HEADERS_SIZE + GVCP_HEADER_SIZE + PacketResendSize(extendedIds));
    WriteBigEndian16(packet + IPV4_TOTAL_LENGTH, totalLength);
    packet[IPV4_TIME_TO_LIVE] = RESEND_TIME_TO_LIVE;
    packet[IPV4_PROTOCOL] = IP_PROTOCOL_UDP;
    RtlCopyMemory(packet + IPV4_SOURCE, headerSource + IPV4_DESTINATION, 4);
    RtlCopyMemory(packet + IPV4_DESTINATION, headerSource + IPV4_SOURCE, 4);
    RtlCopyMemory(packet + UDP_SOURCE_PORT, &block->ResendSourcePort, 2);   // already in network order
    WriteBigEndian16(packet + UDP_DESTINATION_PORT, GVCP_PORT);
    WriteBigEndian16(packet + UDP_LENGTH, static_cast<USHORT>(totalLength - IPV4_HEADER_SIZE));

    // Which packets of which block, in the form of the stream's own ids; no acknowledgement asked.
    PUCHAR gvcp = packet + FRAME_HEADERS_SIZE;
    auto length = static_cast<USHORT>(EncodePacketResend(gvcp + GVCP_HEADER_SIZE,
        {extendedIds != FALSE, block->StreamChannelIndex, blockId, firstPacketId, lastPacketId}));
    EncodeGvcpCommandHeader(
        gvcp, {static_cast<UCHAR>(extendedIds ? GVCP_FLAG_EXTENDED_ID : 0), GVCP_PACKETRESEND_CMD, length, GVCP_REQUEST_ID});

    // A request that cannot be sent is not retried here: the worker asks again after its time-out.
    FillPacketChecksums(port, packet);
    PMDL mdl = NdisAllocateMdl(port->NdisFilterHandle, packet, RESEND_PACKET_SIZE);
    if (mdl == nullptr) {
        NdisFreeMemory(packet, RESEND_PACKET_SIZE, 0);
        return nullptr;
    }
    PNET_BUFFER_LIST netBufferList =
        NdisAllocateNetBufferAndNetBufferList(port->NetBufferListPool, 0, 0, mdl, 0, RESEND_PACKET_SIZE);
    if (netBufferList == nullptr) {
        NdisFreeMdl(mdl);
        NdisFreeMemory(packet, RESEND_PACKET_SIZE, 0);
        return nullptr;
    }

    // The mark by which the send-complete handler knows its own packets.
    netBufferList->SourceHandle = port->NdisFilterHandle;
    return netBufferList;
}

}  // namespace

VOID FreeOwnPacket(PNET_BUFFER_LIST netBufferList)
{
    PMDL mdl = NET_BUFFER_FIRST_MDL(NET_BUFFER_LIST_FIRST_NB(netBufferList));
    PVOID buffer = nullptr;
    if (mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) {
        buffer = mdl->MappedSystemVa;
    } else {
        buffer = MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE, OWN_PACKET_MAPPING_PRIORITY);
    }
    ULONG byteCount = MmGetMdlByteCount(mdl);
    NdisFreeMdl(mdl);
    if (buffer != nullptr) {
        NdisFreeMemory(buffer, byteCount, 0);
    }
    NdisFreeNetBufferList(netBufferList);
}

USHORT InternetChecksum(const UCHAR* bytes, ULONG length)
{
    ULONG sum = 0;
    for (ULONG i = 0; i + 1 < length; i += 2) {
        sum += ReadBigEndian16(bytes + i);
    }
    if (length & 1) {
        sum += ULONG{bytes[length - 1]} << 8;
    }
    sum = (sum >> 16) + (sum & 0xFFFF);
    sum = (sum >> 16) + (sum & 0xFFFF);
    return static_cast<USHORT>(~sum);
}

VOID FillPacketChecksums(StreamPort* port, PUCHAR packet)
{
    // The pseudo-header: addresses, protocol and the UDP length the IPv4 header declares.
    auto udpLength = static_cast<USHORT>(ReadBigEndian16(packet + IPV4_TOTAL_LENGTH) - IPV4_HEADER_SIZE);
    ULONG scratchLength = ULONG{udpLength} + PSEUDO_HEADER_SIZE;
    auto* scratch = static_cast<PUCHAR>(AllocateSmallBuffer(port, scratchLength));
    if (scratch == nullptr) {
        return;
    }
    RtlZeroMemory(scratch, scratchLength);
    RtlCopyMemory(scratch, packet + IPV4_SOURCE, 4);
    RtlCopyMemory(scratch + 4, packet + IPV4_DESTINATION, 4);
    scratch[9] = IP_PROTOCOL_UDP;
    WriteBigEndian16(scratch + 10, udpLength);

    // The UDP header and the GVCP data after it.
    WriteBigEndian16(packet + UDP_CHECKSUM, 0);
    RtlCopyMemory(scratch + PSEUDO_HEADER_SIZE, packet + UDP_SOURCE_PORT, udpLength);
    WriteBigEndian16(packet + UDP_CHECKSUM, InternetChecksum(scratch, scratchLength));
    NdisFreeMemory(scratch, scratchLength, 0);

    // The IPv4 checksum covers its own header only.
    WriteBigEndian16(packet + IPV4_CHECKSUM, 0);
    WriteBigEndian16(packet + IPV4_CHECKSUM, InternetChecksum(packet + IPV4_VERSION_LENGTH, IPV4_HEADER_SIZE));
}

BOOLEAN SendPacketResend(StreamPort* port, const UCHAR* headerSource, ULONG64 blockId, BOOLEAN extendedIds,
    ULONG firstPacketId, ULONG lastPacketId)
{
    StreamControlBlock* block = port->ControlBlock;

    // Counted before anything can fail (32-bit wrap, as user mode reads the counters).
    InterlockedIncrement(reinterpret_cast<volatile LONG*>(&block->ResendRequests));
    // The worker sends too, while the receive path rewrites ExpectedPacketCount: read it once.
    ULONG requested = lastPacketId == RESEND_TO_END_OF_BLOCK ? ReadULongNoFence(&block->ExpectedPacketCount) - firstPacketId + 1
                                                             : lastPacketId - firstPacketId + 1;
    InterlockedExchangeAdd(reinterpret_cast<volatile LONG*>(&block->ResendPacketsRequested), static_cast<LONG>(requested));

    // A paused module sends nothing. A packet handed to NDIS keeps the run-down held until its
    // completion releases it, so FilterPause (and so FilterDetach, which frees the pool of own
    // packets) waits for it to come back.
    FilterAdapter* adapter = port->Adapter;
    if (!ExAcquireRundownProtection(&adapter->DataPathRundown)) {
        return FALSE;
    }
    PNET_BUFFER_LIST netBufferList =
        BuildPacketResend(port, headerSource, blockId, extendedIds, firstPacketId, lastPacketId);
    if (netBufferList == nullptr) {
        ExReleaseRundownProtection(&adapter->DataPathRundown);
        return FALSE;
    }
    NdisFSendNetBufferLists(port->NdisFilterHandle, netBufferList, NDIS_DEFAULT_PORT_NUMBER, 0);
    return TRUE;
}

