// The emulated NDIS: one lightweight filter's registration, its filter modules above simulated
// miniports, the protocol above each adapter, NET_BUFFER_LIST pools, the receive/return and
// send/complete paths, OID requests, status and PnP, the control device. Host only.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/ndis.h"

namespace host {

// ---- Adapters -------------------------------------------------------------------------------
struct AdapterConfig {
    NDIS_MEDIUM medium = NdisMedium802_3;
    std::array<uint8_t, 6> mac{};
    std::u16string friendlyName;   // BaseMiniportInstanceName, e.g. u"Camera Port 1"
    std::u16string deviceName;     // BaseMiniportName, e.g. u"\\DEVICE\\{GUID}"
    ULONG lookahead = 256;         // the miniport's lookahead, as NDIS restarts the stack with it
    ULONG mtu = 1500;
    // Keeps the records of the data path the tests read (IndicatedAbove, ReturnedToMiniport,
    // SentToMiniport, SendCompletionsAbove); off for an adapter whose packets nobody reads back.
    bool recordDataPath = true;
};

// A filter module's state as NDIS sees it.
enum class ModuleState { None, Attaching, Paused, Restarting, Running, Pausing, Detaching };
const char* ModuleStateName(ModuleState state);

// How the protocol above gives back the lists indicated to it without NDIS_RECEIVE_FLAGS_RESOURCES.
enum class ProtocolReturns {
    Immediately,       // from inside the indication call
    AfterIndication,   // when the miniport's indication has been handled (the default)
    Hold,              // when the test calls ReturnHeldReceives
};

// How the miniport finishes the sends it receives.
enum class MiniportSends {
    CompleteAtOnce,   // completes each send from inside NdisFSendNetBufferLists (the default)
    Hold,             // keeps them until CompleteSends (or a pause: see Adapter::Pause)
};

struct IndicationRecord {   // one NdisFIndicateReceiveNetBufferLists as the protocol above saw it
    std::vector<PNET_BUFFER_LIST> lists;
    NDIS_PORT_NUMBER port = 0;
    ULONG count = 0;
    ULONG flags = 0;
};

struct ReturnRecord {   // one return to the miniport (NdisFReturnNetBufferLists, or a bypassed return)
    std::vector<PNET_BUFFER_LIST> lists;
    ULONG flags = 0;
};

struct SendRecord {   // one send that reached the miniport
    std::vector<PNET_BUFFER_LIST> lists;
    NDIS_PORT_NUMBER port = 0;
    ULONG flags = 0;
    // The bytes of each list's first NET_BUFFER as the miniport took them: still readable after
    // the sender has freed its lists in the send completion.
    std::vector<std::vector<uint8_t>> frames;
};

struct SendCompletionRecord {   // one send completion that reached the protocol above
    std::vector<PNET_BUFFER_LIST> lists;
    std::vector<NDIS_STATUS> statuses;
    ULONG flags = 0;
};

struct OidCompletionRecord {   // one OID request finished towards the protocol above
    PNDIS_OID_REQUEST request = nullptr;
    NDIS_STATUS status = 0;
    bool synchronous = false;   // the request handler returned the status instead of pending
    ULONG bytesWritten = 0;     // QUERY: BytesWritten; METHOD: BytesWritten
    ULONG bytesRead = 0;        // SET: BytesRead; METHOD: BytesRead
    ULONG bytesNeeded = 0;
    ULONG outputBufferLength = 0;   // METHOD only
};

struct OidBelowRecord {   // one OID request that reached the miniport
    PNDIS_OID_REQUEST request = nullptr;
    NDIS_REQUEST_TYPE type = NdisRequestQueryInformation;
    NDIS_OID oid = 0;
    PVOID requestId = nullptr;
};

struct StatusRecord {   // one status indication that reached the protocol above
    NDIS_STATUS statusCode = 0;
    NDIS_PORT_NUMBER port = 0;
    std::vector<uint8_t> buffer;
};

// The miniport's answer to an OID request: fill the request's counters and return a status;
// NDIS_STATUS_PENDING keeps the request until CompletePendingOid.
using OidAnswer = std::function<NDIS_STATUS(NDIS_OID_REQUEST& request)>;

class Adapter {
public:
    struct State;   // the emulation's record of the adapter (host/ndis/ndis_internal.h)
    explicit Adapter(const AdapterConfig& config);
    ~Adapter();
    Adapter(const Adapter&) = delete;
    Adapter& operator=(const Adapter&) = delete;

    const AdapterConfig& Config() const;

    // The filter module above this adapter.
    bool HasFilterModule() const;
    ModuleState ModuleStateNow() const;
    NDIS_HANDLE ModuleContext() const;        // what the filter gave NdisFSetAttributes
    NDIS_HANDLE FilterModuleHandle() const;   // the handle NDIS passed to the attach handler
    ULONG LookaheadVisibleAbove() const;      // the lookahead the protocols see after the last restart
    // NDIS pauses the stack (the protocol returns what it holds, the miniport finishes the
    // protocol's sends, then the module's pause handler runs while a holding miniport completes
    // the filter's own sends) and restarts it (restart handler, lookahead above).
    void Pause();
    void Restart();
    // What the filter's attach handler returned the last time it ran for this adapter
    // (NDIS_STATUS_FAILURE when it never ran).
    NDIS_STATUS LastAttachStatus() const;
    // Byte length of the FilterModuleGuidName NDIS passes (or would pass) to the attach handler.
    size_t FilterModuleNameBytes() const;

    // ---- Receive: the miniport indicates, the protocol above receives and returns.
    // Hands `chain` to the filter's receive handler (at DISPATCH_LEVEL when `receiveFlags` holds
    // NDIS_RECEIVE_FLAGS_DISPATCH_LEVEL, PASSIVE_LEVEL otherwise) or straight up when the filter
    // has none. Without NDIS_RECEIVE_FLAGS_RESOURCES every list must come back exactly once.
    void Indicate(PNET_BUFFER_LIST chain, NDIS_PORT_NUMBER portNumber, ULONG receiveFlags);
    void SetProtocolReturns(ProtocolReturns mode);
    // Returns every list the protocol holds, in one chain, through the filter's return handler.
    void ReturnHeldReceives(ULONG returnFlags = 0);
    size_t HeldByProtocol() const;
    size_t OutstandingAtMiniport() const;   // lists indicated by the miniport and not yet returned
    // The miniport's MiniportReturnNetBufferLists: runs for every list of the miniport's that
    // comes back (or that a paused stack refused), inside the return, on the returner's thread,
    // with NDIS's lock held. Not for NDIS_RECEIVE_FLAGS_RESOURCES indications, whose lists are the
    // miniport's again when Indicate returns. An empty function removes it.
    void SetMiniportReturn(std::function<void(PNET_BUFFER_LIST)> handler);
    // The records of the data path are the last 4096 of each kind, oldest first: a long run does
    // not grow them.
    std::vector<IndicationRecord> IndicatedAbove() const;
    std::vector<ReturnRecord> ReturnedToMiniport() const;

    // ---- Send: the protocol above sends, the miniport completes.
    void SendFromProtocol(PNET_BUFFER_LIST chain, NDIS_PORT_NUMBER portNumber, ULONG sendFlags);
    void CancelSendFromProtocol(PVOID cancelId);
    void SetMiniportSends(MiniportSends mode);
    // Runs `observer` inside every NdisFSendNetBufferLists on this adapter, on the sender's thread
    // and at its IRQL, before the miniport takes the lists (a test's window into a send in
    // progress). An empty function removes it.
    void SetSendObserver(std::function<void()> observer);
    // The miniport's transmit: runs for each NET_BUFFER_LIST's first NET_BUFFER when the miniport
    // takes a send, outside NDIS's lock; a list it fails is completed with NDIS_STATUS_FAILURE.
    void SetMiniportTransmit(std::function<bool(PNET_BUFFER)> transmit);
    size_t SendsHeldByMiniport() const;
    // Completes up to `maxLists` held lists, oldest first, as one chain with `status` in each.
    size_t CompleteSends(size_t maxLists = SIZE_MAX, NDIS_STATUS status = NDIS_STATUS_SUCCESS,
        ULONG completeFlags = NDIS_SEND_COMPLETE_FLAGS_DISPATCH_LEVEL);
    std::vector<SendRecord> SentToMiniport() const;
    // Sends that ever reached the miniport: where a poller of SentToMiniportSince starts.
    uint64_t SendsToMiniport() const;
    // The records from number `first` on (counted from the first send ever made, the oldest kept
    // at most), for a poller that remembers how many it has seen.
    std::vector<SendRecord> SentToMiniportSince(size_t first) const;
    std::vector<SendCompletionRecord> SendCompletionsAbove() const;
    std::vector<PVOID> SendCancelsBelow() const;

    // ---- OID requests.
    // The protocol above issues `request`; the returned status is what the protocol sees from
    // the call (NDIS_STATUS_PENDING when it completes later through NdisFOidRequestComplete).
    NDIS_STATUS OidRequestFromProtocol(PNDIS_OID_REQUEST request);
    void CancelOidFromProtocol(PVOID requestId);
    void SetMiniportOidAnswer(OidAnswer answer);
    std::vector<PNDIS_OID_REQUEST> OidsPendingBelow() const;
    void CompletePendingOid(PNDIS_OID_REQUEST request, NDIS_STATUS status);
    std::vector<OidBelowRecord> OidRequestsBelow() const;
    std::vector<OidCompletionRecord> OidCompletionsAbove() const;
    std::vector<PVOID> OidCancelsBelow() const;

    // ---- Status and PnP.
    void IndicateStatusFromMiniport(PNDIS_STATUS_INDICATION indication);
    void DevicePnPEventFromMiniport(PNET_DEVICE_PNP_EVENT event);
    NDIS_STATUS NetPnPEventFromNdis(PNET_PNP_EVENT_NOTIFICATION notification);
    void SetProtocolNetPnPStatus(NDIS_STATUS status);   // what the protocol above answers
    std::vector<StatusRecord> StatusIndicationsAbove() const;
    std::vector<NDIS_DEVICE_PNP_EVENT> DevicePnPEventsBelow() const;
    std::vector<ULONG> NetPnPEventsAbove() const;   // the NetEvent codes

    State& Internal() { return *state_; }

private:
    std::unique_ptr<State> state_;
};

Adapter& AddAdapter(const AdapterConfig& config);
// Pauses and detaches the adapter's filter module (after the protocol has returned what it
// holds and the miniport has completed its sends), checks that every list came back, and
// forgets the adapter.
void RemoveAdapter(Adapter& adapter);
std::vector<Adapter*> Adapters();

// Runs `observer` each time NDIS is about to call a filter's detach handler (null removes it): a
// test looks at the machine as the filter sees it at that moment.
void SetDetachObserver(std::function<void()> observer);

bool IsFilterRegistered();
NDIS_HANDLE FilterDriverHandle();
// Clones allocated with NdisAllocateCloneOidRequest and not freed.
size_t OutstandingClones();
// NET_BUFFER_LIST pools allocated and not freed.
size_t LiveNblPools();

// The bytes a NET_BUFFER describes (DataLength bytes from CurrentMdlOffset), read through its MDLs.
std::vector<uint8_t> NetBufferBytes(PNET_BUFFER netBuffer);
// Copies them into `out` instead; returns how many there are (none copied when `out` is smaller).
size_t CopyNetBufferBytes(PNET_BUFFER netBuffer, std::span<uint8_t> out);
// Chain helpers for tests and adapters.
std::vector<PNET_BUFFER_LIST> ChainToVector(PNET_BUFFER_LIST chain);
PNET_BUFFER_LIST LinkChain(const std::vector<PNET_BUFFER_LIST>& lists);

// Removes every adapter (detaching modules if a filter is still registered), reports what was
// left behind (a registered filter, pools, lists not returned, clones not freed) and clears all
// NDIS state. The machine calls it when it is torn down.
void ResetNdis();

// ---- Packets the tests and the camera build ---------------------------------------------------
// How a buffer segment's MDL presents its memory to the driver.
enum class SegmentMapping {
    NonPagedPool,      // MDL_SOURCE_IS_NONPAGED_POOL, MappedSystemVa = the bytes
    MappedToSystemVa,  // MDL_MAPPED_TO_SYSTEM_VA, MappedSystemVa = the bytes
    Unmapped,          // locked pages without a system address: MmMapLockedPagesSpecifyCache needed
};

// One NET_BUFFER_LIST with its NET_BUFFERs, MDLs and bytes, owned by the host (the miniport's or
// the protocol's memory). It must outlive every use of List() by NDIS and the driver.
class Packet {
public:
    Packet() = default;
    Packet(const Packet&) = delete;
    Packet& operator=(const Packet&) = delete;
    ~Packet();

    PNET_BUFFER_LIST List() { return &list_; }
    size_t NetBufferCount() const { return buffers_.size(); }
    PNET_BUFFER NetBuffer(size_t index) { return &buffers_[index]->netBuffer; }

private:
    friend class PacketBuilder;
    struct Segment {
        std::unique_ptr<uint8_t[]> bytes;
        size_t length = 0;
        MDL mdl{};
    };
    struct Buffer {
        NET_BUFFER netBuffer{};
        std::vector<std::unique_ptr<Segment>> segments;
    };
    NET_BUFFER_LIST list_{};
    std::vector<std::unique_ptr<Buffer>> buffers_;
};

// Builds a Packet: segments are appended to the current NET_BUFFER; NextNetBuffer starts another.
class PacketBuilder {
public:
    PacketBuilder();
    PacketBuilder& Segment(std::vector<uint8_t> bytes, SegmentMapping mapping = SegmentMapping::NonPagedPool);
    // Bytes of the first segment before the packet's first byte (CurrentMdlOffset = DataOffset).
    PacketBuilder& Offset(ULONG currentMdlOffset);
    // DataLength of the current NET_BUFFER; by default every segment byte after the offset.
    PacketBuilder& Length(ULONG dataLength);
    // A frame split by a header–data splitting NIC: the first `headerBytes` in one segment, the
    // rest in a second one.
    PacketBuilder& SplitFrame(const std::vector<uint8_t>& frame, size_t headerBytes,
        SegmentMapping mapping = SegmentMapping::NonPagedPool);
    PacketBuilder& NextNetBuffer();
    std::unique_ptr<Packet> Build();

private:
    struct Pending {
        std::vector<std::pair<std::vector<uint8_t>, SegmentMapping>> segments;
        ULONG offset = 0;
        bool lengthSet = false;
        ULONG length = 0;
    };
    std::vector<Pending> buffers_;
};

// A whole frame in one non-paged segment.
std::unique_ptr<Packet> MakeFramePacket(const std::vector<uint8_t>& frame,
    SegmentMapping mapping = SegmentMapping::NonPagedPool);
// Links the packets' lists in order and returns the head.
PNET_BUFFER_LIST LinkPackets(const std::vector<std::unique_ptr<Packet>>& packets);

// A miniport's receive pool: NET_BUFFER_LISTs with one NET_BUFFER and one MDL each, allocated
// once, that describe frames in memory the miniport owns (a receive ring) without copying them.
// One thread takes lists; any thread gives them back: a take or a give is a few atomics.
class ReceivePool {
public:
    explicit ReceivePool(size_t capacity);
    ~ReceivePool();
    ReceivePool(const ReceivePool&) = delete;
    ReceivePool& operator=(const ReceivePool&) = delete;

    // A list over `length` bytes at `bytes`, carrying `cookie` for the miniport; null when every
    // list is out: the caller drops the frame, nothing waits and nothing is allocated.
    PNET_BUFFER_LIST Take(uint8_t* bytes, size_t length, uintptr_t cookie,
        SegmentMapping mapping = SegmentMapping::MappedToSystemVa);
    // Gives back a list of this pool; returns its cookie.
    uintptr_t Give(PNET_BUFFER_LIST list);
    size_t Capacity() const { return capacity_; }
    size_t Available() const { return available_.load(std::memory_order_relaxed); }

private:
    struct Entry;
    size_t capacity_;
    std::unique_ptr<Entry[]> entries_;
    std::atomic<Entry*> free_{nullptr};   // a stack: one popper, so no ABA
    std::atomic<size_t> available_{0};
};

}  // namespace host
