// Everything that is not a bound stream crosses the filter unchanged, as its neighbours see it:
// the protocol above (sends, completions, receives, OID completions, status, net PnP) and the
// miniport below (sends, returns, OID requests and cancels, device PnP).
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "host/kernel/kernel.h"
#include "host/verifier/faults.h"
#include "tests/support/gvsp_machine.h"
#include "tests/support/gvsp_packets.h"
#include "tests/support/stream_fixture.h"

using namespace gvsptest;

namespace {

constexpr ULONG NDIS_SEND_FLAGS_CHECK_FOR_LOOPBACK = 0x00000002;
constexpr NDIS_STATUS NDIS_STATUS_LINK_STATE = 0x40010017;
constexpr NDIS_STATUS NDIS_STATUS_INVALID_LENGTH = static_cast<NDIS_STATUS>(0xC0010014);
constexpr NDIS_OID OID_GEN_MAXIMUM_FRAME_SIZE = 0x00010106;
constexpr NDIS_OID OID_GEN_CURRENT_PACKET_FILTER = 0x0001010E;
constexpr ULONG NET_EVENT_SET_POWER = 1;
constexpr ULONG NET_EVENT_QUERY_REMOVE_DEVICE = 4;

// A frame to `port` carrying position-encoded bytes (`tag` stands for the block), so that a
// byte out of place names itself.
std::vector<uint8_t> UdpFrame(uint16_t port, size_t payload, uint8_t tag, uint8_t protocol = 17)
{
    return EthernetFrame(camera::ExpectedPayload(tag, payload), {port, protocol});
}

std::vector<uint8_t> ArpFrame()
{
    std::vector<uint8_t> f = UdpFrame(0, 28, 0x5A);
    WriteBigEndian16(&f[12], 0x0806);
    return f;
}

using Packets = std::vector<std::unique_ptr<host::Packet>>;

// The bytes every NET_BUFFER of every list shows, in order.
std::vector<std::vector<uint8_t>> BytesOf(const std::vector<PNET_BUFFER_LIST>& lists)
{
    std::vector<std::vector<uint8_t>> out;
    for (PNET_BUFFER_LIST list : lists) {
        for (PNET_BUFFER nb = list->FirstNetBuffer; nb != nullptr; nb = nb->Next) {
            out.push_back(host::NetBufferBytes(nb));
        }
    }
    return out;
}

std::vector<PNET_BUFFER_LIST> ListsOf(const Packets& packets)
{
    std::vector<PNET_BUFFER_LIST> out;
    for (const auto& p : packets) {
        out.push_back(p->List());
    }
    return out;
}

// Protocol sends of every shape: one NET_BUFFER, several NET_BUFFERs, several MDLs.
Packets ProtocolSends(uint8_t tag)
{
    Packets p;
    p.push_back(host::MakeFramePacket(UdpFrame(3956, 20, tag)));
    p.push_back(host::PacketBuilder()
                    .Segment(UdpFrame(3956, 100, uint8_t(tag + 1)))
                    .NextNetBuffer()
                    .Segment(UdpFrame(3956, 200, uint8_t(tag + 2)))
                    .Build());
    p.push_back(host::PacketBuilder().SplitFrame(UdpFrame(3956, 300, uint8_t(tag + 3)), 42).Build());
    return p;
}

// Every list the protocol above was told is complete, in order, with the flags of its record.
struct CompletedList {
    PNET_BUFFER_LIST list;
    NDIS_STATUS status;
    ULONG flags;
};
std::vector<CompletedList> CompletedAbove(const host::Adapter& adapter, size_t fromRecord = 0)
{
    std::vector<CompletedList> out;
    auto records = adapter.SendCompletionsAbove();
    for (size_t r = fromRecord; r < records.size(); ++r) {
        for (size_t i = 0; i < records[r].lists.size(); ++i) {
            out.push_back({records[r].lists[i], records[r].statuses[i], records[r].flags});
        }
    }
    return out;
}

class PassThrough : public ::testing::Test {
protected:
    void SetUp() override
    {
        adapter = &m.AddAdapter(MacOf(0x31));
        ASSERT_EQ(m.Load(), STATUS_SUCCESS);
        ASSERT_TRUE(adapter->HasFilterModule());
    }

    GvspMachine m;
    host::Adapter* adapter = nullptr;
};

// ---- Sends ----------------------------------------------------------------------------------------
// A chain the miniport completes from inside the send, or holds and completes in batches: a
// failed one that ends inside the chain at dispatch, then the rest.
TEST_F(PassThrough, AProtocolChainReachesTheMiniportAsSentAndEveryListCompletesUp)
{
    const struct {
        NDIS_PORT_NUMBER port;
        ULONG sendFlags;
        ULONG completeFlags;   // what the miniport reports when it completes from inside the send
        bool held;
    } cases[] = {
        {0, 0, 0, false},
        {5, NDIS_SEND_FLAGS_DISPATCH_LEVEL | NDIS_SEND_FLAGS_CHECK_FOR_LOOPBACK, NDIS_SEND_COMPLETE_FLAGS_DISPATCH_LEVEL,
            false},
        {2, NDIS_SEND_FLAGS_CHECK_FOR_LOOPBACK, 0, false},
        {3, NDIS_SEND_FLAGS_CHECK_FOR_LOOPBACK, 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "port " << c.port << ", flags " << c.sendFlags);
        const size_t sentMark = adapter->SentToMiniport().size();
        const size_t doneMark = adapter->SendCompletionsAbove().size();
        Packets packets = ProtocolSends(0x10);
        std::vector<PNET_BUFFER_LIST> lists = ListsOf(packets);
        auto bytes = BytesOf(lists);

        if (c.held) {
            adapter->SetMiniportSends(host::MiniportSends::Hold);
        }
        adapter->SendFromProtocol(host::LinkPackets(packets), c.port, c.sendFlags);

        auto sent = adapter->SentToMiniportSince(sentMark);
        ASSERT_EQ(sent.size(), 1u) << "one chain sent is one send below";
        EXPECT_EQ(sent[0].lists, lists);
        EXPECT_EQ(sent[0].port, c.port);
        EXPECT_EQ(sent[0].flags, c.sendFlags);
        EXPECT_EQ(BytesOf(sent[0].lists), bytes);
        if (c.held) {
            EXPECT_EQ(adapter->SendCompletionsAbove().size(), doneMark) << "nothing completes before the miniport does";
            ASSERT_EQ(adapter->CompleteSends(2, NDIS_STATUS_FAILURE, NDIS_SEND_COMPLETE_FLAGS_DISPATCH_LEVEL), 2u);
            ASSERT_EQ(adapter->CompleteSends(1, NDIS_STATUS_SUCCESS, 0), 1u);
            EXPECT_EQ(adapter->SendsHeldByMiniport(), 0u);
        }
        auto done = CompletedAbove(*adapter, doneMark);
        ASSERT_EQ(done.size(), lists.size()) << "every list completed up exactly once";
        for (size_t i = 0; i < lists.size(); ++i) {
            const bool failed = c.held && i < 2;
            EXPECT_EQ(done[i].list, lists[i]) << i;
            EXPECT_EQ(done[i].status, failed ? NDIS_STATUS_FAILURE : NDIS_STATUS_SUCCESS) << i;
            EXPECT_EQ(done[i].flags, failed ? NDIS_SEND_COMPLETE_FLAGS_DISPATCH_LEVEL : c.completeFlags) << i;
        }
    }
}

// ---- Cancel send, status, PnP --------------------------------------------------------------------
TEST_F(PassThrough, CancelSendsAndDevicePnPEventsReachTheMiniportInOrder)
{
    int a = 0;
    int b = 0;
    for (int* id : {&a, &b, &a}) {
        adapter->CancelSendFromProtocol(id);
    }
    EXPECT_EQ(adapter->SendCancelsBelow(), (std::vector<PVOID>{&a, &b, &a}));

    const NDIS_DEVICE_PNP_EVENT events[] = {NdisDevicePnPEventPowerProfileChanged, NdisDevicePnPEventQueryRemoved,
        NdisDevicePnPEventSurpriseRemoved};
    for (NDIS_DEVICE_PNP_EVENT e : events) {
        NET_DEVICE_PNP_EVENT event{};
        event.Header = {NDIS_OBJECT_TYPE_DEFAULT, 1, sizeof(NET_DEVICE_PNP_EVENT)};
        event.DevicePnPEvent = e;
        adapter->DevicePnPEventFromMiniport(&event);
    }
    EXPECT_EQ(adapter->DevicePnPEventsBelow(),
        (std::vector<NDIS_DEVICE_PNP_EVENT>(std::begin(events), std::end(events))));
}

TEST_F(PassThrough, StatusAndNetPnPEventsReachTheProtocolWhichAnswersThem)
{
    std::vector<uint8_t> linkState = camera::ExpectedPayload(0xC0, 24);
    NDIS_STATUS_INDICATION link{};
    link.Header = {NDIS_OBJECT_TYPE_DEFAULT, 1, sizeof(NDIS_STATUS_INDICATION)};
    link.StatusCode = NDIS_STATUS_LINK_STATE;
    link.PortNumber = 4;
    link.StatusBuffer = linkState.data();
    link.StatusBufferSize = ULONG(linkState.size());
    NDIS_STATUS_INDICATION bare{};
    bare.Header = link.Header;
    bare.StatusCode = static_cast<NDIS_STATUS>(0x4001000C);
    adapter->IndicateStatusFromMiniport(&link);
    adapter->IndicateStatusFromMiniport(&bare);
    auto above = adapter->StatusIndicationsAbove();
    ASSERT_EQ(above.size(), 2u);
    EXPECT_EQ(above[0].statusCode, NDIS_STATUS_LINK_STATE);
    EXPECT_EQ(above[0].port, 4u);
    EXPECT_EQ(above[0].buffer, linkState);
    EXPECT_EQ(above[1].statusCode, bare.StatusCode);
    EXPECT_EQ(above[1].port, 0u);
    EXPECT_TRUE(above[1].buffer.empty());

    const std::pair<ULONG, NDIS_STATUS> netEvents[] = {{NET_EVENT_SET_POWER, NDIS_STATUS_SUCCESS},
        {NET_EVENT_QUERY_REMOVE_DEVICE, NDIS_STATUS_FAILURE}, {NET_EVENT_SET_POWER, NDIS_STATUS_RESOURCES}};
    std::vector<ULONG> expected;
    for (const auto& [netEvent, answer] : netEvents) {
        adapter->SetProtocolNetPnPStatus(answer);
        NET_PNP_EVENT_NOTIFICATION notification{};
        notification.Header = {NDIS_OBJECT_TYPE_DEFAULT, 1, sizeof(NET_PNP_EVENT_NOTIFICATION)};
        notification.NetPnPEvent.NetEvent = netEvent;
        EXPECT_EQ(adapter->NetPnPEventFromNdis(&notification), answer) << netEvent;
        expected.push_back(netEvent);
    }
    EXPECT_EQ(adapter->NetPnPEventsAbove(), expected);
}

// ---- Receive: what is not a bound stream goes up unchanged ----------------------------------------
// A camera stream is bound and active on the adapter, so the receive path has a port to compare
// every packet with; none of the packets below is for it.
class PassThroughReceive : public StreamTest {
protected:
    void SetUp() override
    {
        StreamTest::SetUp();
        OpenStream();
        stream->SetActive(true);
    }

    // Packets a camera adapter sees besides its stream.
    Packets OtherTraffic(uint8_t tag)
    {
        Packets p;
        p.push_back(host::MakeFramePacket(ArpFrame()));
        p.push_back(host::MakeFramePacket(UdpFrame(STREAM_PORT + 1, 600, tag)));   // a neighbouring UDP port
        p.push_back(host::MakeFramePacket(UdpFrame(STREAM_PORT, 200, uint8_t(tag + 1), 6)));   // TCP to the stream's port
        p.push_back(host::MakeFramePacket(UdpFrame(3956, 64, uint8_t(tag + 2)), host::SegmentMapping::Unmapped));
        p.push_back(host::PacketBuilder()   // two NET_BUFFERs
                        .Segment(UdpFrame(STREAM_PORT + 2, 100, uint8_t(tag + 3)))
                        .NextNetBuffer()
                        .Segment(UdpFrame(STREAM_PORT + 3, 100, uint8_t(tag + 4)))
                        .Build());
        p.push_back(host::PacketBuilder().Segment(std::vector<uint8_t>(30, 0xEE)).Build());   // a runt
        return p;
    }
};

TEST_F(PassThroughReceive, OtherTrafficGoesUpAsOneIndicationAndEachListComesBackOnce)
{
    const struct {
        const char* what;
        host::ProtocolReturns returns;
        ULONG receiveFlags;
        ULONG returnFlags;   // for ProtocolReturns::Hold
    } cases[] = {
        {"returned during the indication", host::ProtocolReturns::Immediately, 0, 0},
        {"returned after it, at dispatch", host::ProtocolReturns::AfterIndication, NDIS_RECEIVE_FLAGS_DISPATCH_LEVEL, 0},
        {"held, returned at dispatch", host::ProtocolReturns::Hold, 0, NDIS_RETURN_FLAGS_DISPATCH_LEVEL},
        {"held, returned passive", host::ProtocolReturns::Hold, NDIS_RECEIVE_FLAGS_DISPATCH_LEVEL, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const size_t upMark = adapter->IndicatedAbove().size();
        const size_t backMark = adapter->ReturnedToMiniport().size();
        adapter->SetProtocolReturns(c.returns);
        Packets packets = OtherTraffic(0x40);
        std::vector<PNET_BUFFER_LIST> lists = ListsOf(packets);
        auto bytes = BytesOf(lists);

        adapter->Indicate(host::LinkPackets(packets), 7, c.receiveFlags);
        if (c.returns == host::ProtocolReturns::Hold) {
            EXPECT_EQ(adapter->HeldByProtocol(), lists.size());
            EXPECT_EQ(adapter->ReturnedToMiniport().size(), backMark) << "the protocol still holds them";
            adapter->ReturnHeldReceives(c.returnFlags);
        }

        auto above = adapter->IndicatedAbove();
        ASSERT_EQ(above.size(), upMark + 1);
        EXPECT_EQ(above.back().lists, lists);
        EXPECT_EQ(above.back().count, lists.size());
        EXPECT_EQ(above.back().port, 7u);
        EXPECT_EQ(above.back().flags, c.receiveFlags);
        EXPECT_EQ(BytesOf(above.back().lists), bytes);
        std::vector<PNET_BUFFER_LIST> returned;
        auto back = adapter->ReturnedToMiniport();
        for (size_t r = backMark; r < back.size(); ++r) {
            returned.insert(returned.end(), back[r].lists.begin(), back[r].lists.end());
            if (c.returns == host::ProtocolReturns::Hold) {
                EXPECT_EQ(back[r].flags, c.returnFlags);
            }
        }
        EXPECT_EQ(returned, lists) << "each list back to the miniport exactly once";
        EXPECT_EQ(adapter->OutstandingAtMiniport(), 0u);
        EXPECT_EQ(adapter->HeldByProtocol(), 0u);
    }
}

// ---- OID requests ----------------------------------------------------------------------------------
// A request of `type` whose counters hold a marker the filter must overwrite or pass on.
NDIS_OID_REQUEST OidRequest(NDIS_REQUEST_TYPE type, NDIS_OID oid, PVOID requestId, void* buffer, ULONG length)
{
    NDIS_OID_REQUEST r{};
    r.Header = {NDIS_OBJECT_TYPE_OID_REQUEST, 1, sizeof(NDIS_OID_REQUEST)};
    r.RequestType = type;
    r.RequestId = requestId;
    // The three forms share their Oid and buffer members; the counters differ.
    r.DATA.QUERY_INFORMATION.Oid = oid;
    r.DATA.QUERY_INFORMATION.InformationBuffer = buffer;
    r.DATA.QUERY_INFORMATION.InformationBufferLength = length;
    if (type == NdisRequestMethod) {
        r.DATA.METHOD_INFORMATION.InputBufferLength = length / 2;
        r.DATA.METHOD_INFORMATION.OutputBufferLength = length;
        r.DATA.METHOD_INFORMATION.MethodId = 3;
        r.DATA.METHOD_INFORMATION.BytesWritten = r.DATA.METHOD_INFORMATION.BytesRead = 0xDEAD;
        r.DATA.METHOD_INFORMATION.BytesNeeded = 0xDEAD;
    } else if (type == NdisRequestSetInformation) {
        r.DATA.SET_INFORMATION.BytesRead = r.DATA.SET_INFORMATION.BytesNeeded = 0xDEAD;
    } else {
        r.DATA.QUERY_INFORMATION.BytesWritten = r.DATA.QUERY_INFORMATION.BytesNeeded = 0xDEAD;
    }
    return r;
}

PVOID IdOf(uintptr_t value) { return reinterpret_cast<PVOID>(value); }

// The counters a miniport sets in its answer, per request type.
void Answer(NDIS_OID_REQUEST& r, ULONG written, ULONG read, ULONG needed)
{
    if (r.RequestType == NdisRequestMethod) {
        r.DATA.METHOD_INFORMATION.OutputBufferLength = 24;
        r.DATA.METHOD_INFORMATION.BytesWritten = written;
        r.DATA.METHOD_INFORMATION.BytesRead = read;
        r.DATA.METHOD_INFORMATION.BytesNeeded = needed;
    } else if (r.RequestType == NdisRequestSetInformation) {
        r.DATA.SET_INFORMATION.BytesRead = read;
        r.DATA.SET_INFORMATION.BytesNeeded = needed;
    } else {
        r.DATA.QUERY_INFORMATION.BytesWritten = written;
        r.DATA.QUERY_INFORMATION.BytesNeeded = needed;
    }
}

// Every request type, whatever the miniport answers and whenever: a clone goes down, and the
// protocol's request completes (never synchronously) with the miniport's status and counters.
TEST_F(PassThrough, EveryRequestTypeGetsTheMiniportsAnswerAtOnceOrLater)
{
    const NDIS_REQUEST_TYPE types[] = {NdisRequestQueryInformation, NdisRequestQueryStatistics,
        NdisRequestSetInformation, NdisRequestMethod};
    const struct {
        const char* what;
        NDIS_STATUS status;
        bool pend;
    } answers[] = {
        {"success at once", NDIS_STATUS_SUCCESS, false},
        {"success later", NDIS_STATUS_SUCCESS, true},
        {"too short at once", NDIS_STATUS_INVALID_LENGTH, false},
        {"aborted later", NDIS_STATUS_REQUEST_ABORTED, true},
    };
    uintptr_t id = 0x100;
    for (NDIS_REQUEST_TYPE type : types) {
        for (const auto& a : answers) {
            SCOPED_TRACE(testing::Message() << "type " << type << ", " << a.what);
            const size_t doneMark = adapter->OidCompletionsAbove().size();
            const size_t belowMark = adapter->OidRequestsBelow().size();
            adapter->SetMiniportOidAnswer([&a](NDIS_OID_REQUEST& r) {
                EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
                std::memcpy(r.DATA.QUERY_INFORMATION.InformationBuffer, "\xDC\x05\x00\x00", 4);
                Answer(r, 4, 3, 11);
                return a.pend ? NDIS_STATUS_PENDING : a.status;
            });
            uint8_t buffer[8] = {};
            NDIS_OID_REQUEST request = OidRequest(type, OID_GEN_CURRENT_PACKET_FILTER, IdOf(++id), buffer, 8);
            EXPECT_EQ(adapter->OidRequestFromProtocol(&request), NDIS_STATUS_PENDING);

            auto below = adapter->OidRequestsBelow();
            ASSERT_EQ(below.size(), belowMark + 1);
            EXPECT_NE(below.back().request, &request) << "the miniport gets a clone";
            EXPECT_EQ(below.back().type, type);
            EXPECT_EQ(below.back().oid, OID_GEN_CURRENT_PACKET_FILTER);
            EXPECT_EQ(below.back().requestId, IdOf(id));
            if (a.pend) {
                EXPECT_EQ(adapter->OidCompletionsAbove().size(), doneMark) << "not before the miniport finishes";
                ASSERT_EQ(adapter->OidsPendingBelow().size(), 1u);
                adapter->CompletePendingOid(adapter->OidsPendingBelow()[0], a.status);
            }
            auto done = adapter->OidCompletionsAbove();
            ASSERT_EQ(done.size(), doneMark + 1);
            const host::OidCompletionRecord& d = done.back();
            EXPECT_EQ(d.request, &request);
            EXPECT_EQ(d.status, a.status);
            EXPECT_FALSE(d.synchronous) << "completed through NdisFOidRequestComplete, not by the return value";
            const bool writes = type != NdisRequestSetInformation;
            const bool reads = type == NdisRequestSetInformation || type == NdisRequestMethod;
            EXPECT_EQ(d.bytesWritten, writes ? 4u : 0u);
            EXPECT_EQ(d.bytesRead, reads ? 3u : 0u);
            EXPECT_EQ(d.bytesNeeded, 11u);
            EXPECT_EQ(d.outputBufferLength, type == NdisRequestMethod ? 24u : 0u);
            EXPECT_EQ(buffer[0], 0xDC) << "the miniport wrote into the protocol's buffer";
            EXPECT_EQ(host::OutstandingClones(), 0u);
        }
    }
}

TEST_F(PassThrough, ACancelReachesTheMiniportOnlyForAPendingRequestsId)
{
    adapter->CancelOidFromProtocol(IdOf(0x75));   // nothing pending yet
    adapter->SetMiniportOidAnswer([](NDIS_OID_REQUEST&) { return NDIS_STATUS_PENDING; });
    ULONG value = 0;
    NDIS_OID_REQUEST request = OidRequest(NdisRequestQueryInformation, OID_GEN_MAXIMUM_FRAME_SIZE, IdOf(0x75), &value,
        sizeof value);
    ASSERT_EQ(adapter->OidRequestFromProtocol(&request), NDIS_STATUS_PENDING);
    adapter->CancelOidFromProtocol(IdOf(0x76));
    adapter->CancelOidFromProtocol(nullptr);
    EXPECT_TRUE(adapter->OidCancelsBelow().empty()) << "no pending request has these ids";

    adapter->CancelOidFromProtocol(IdOf(0x75));
    EXPECT_EQ(adapter->OidCancelsBelow(), std::vector<PVOID>{IdOf(0x75)});
    EXPECT_TRUE(adapter->OidCompletionsAbove().empty()) << "the miniport decides when a cancelled request ends";
    ASSERT_EQ(adapter->OidsPendingBelow().size(), 1u);
    adapter->CompletePendingOid(adapter->OidsPendingBelow()[0], NDIS_STATUS_REQUEST_ABORTED);
    ASSERT_EQ(adapter->OidCompletionsAbove().size(), 1u);
    EXPECT_EQ(adapter->OidCompletionsAbove()[0].status, NDIS_STATUS_REQUEST_ABORTED);

    adapter->CancelOidFromProtocol(IdOf(0x75));   // complete: its id matches nothing any more
    EXPECT_EQ(adapter->OidCancelsBelow().size(), 1u);
    EXPECT_EQ(host::OutstandingClones(), 0u);
}

// A request that cannot be cloned fails at once with the allocation's status and cleared
// counters; the next one goes through as usual.
TEST_F(PassThrough, ARequestThatCannotBeClonedFailsAtOnceWithZeroCounters)
{
    const struct {
        NDIS_REQUEST_TYPE type;
        int32_t injected;   // 0: the allocation's natural failure
        NDIS_STATUS expected;
    } cases[] = {
        {NdisRequestQueryInformation, 0, NDIS_STATUS_RESOURCES},
        {NdisRequestSetInformation, static_cast<int32_t>(NDIS_STATUS_FAILURE), NDIS_STATUS_FAILURE},
        {NdisRequestMethod, 0, NDIS_STATUS_RESOURCES},
    };
    uintptr_t id = 0x200;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type);
        const size_t doneMark = adapter->OidCompletionsAbove().size();
        const size_t belowMark = adapter->OidRequestsBelow().size();
        host::FailCall(host::Fault::CloneOidRequest, 1, c.injected);
        uint8_t buffer[16] = {};
        NDIS_OID_REQUEST request = OidRequest(c.type, OID_GEN_CURRENT_PACKET_FILTER, IdOf(++id), buffer, 16);
        EXPECT_EQ(adapter->OidRequestFromProtocol(&request), c.expected);
        auto done = adapter->OidCompletionsAbove();
        ASSERT_EQ(done.size(), doneMark + 1);
        EXPECT_TRUE(done.back().synchronous) << "the status is the return value; nothing completes later";
        EXPECT_EQ(done.back().status, c.expected);
        EXPECT_EQ(done.back().bytesWritten, 0u);
        EXPECT_EQ(done.back().bytesRead, 0u);
        EXPECT_EQ(done.back().bytesNeeded, 0u);
        EXPECT_EQ(adapter->OidRequestsBelow().size(), belowMark);

        NDIS_OID_REQUEST next = OidRequest(c.type, OID_GEN_CURRENT_PACKET_FILTER, IdOf(++id), buffer, 16);
        EXPECT_EQ(adapter->OidRequestFromProtocol(&next), NDIS_STATUS_PENDING);
        EXPECT_EQ(adapter->OidRequestsBelow().size(), belowMark + 1);
        EXPECT_EQ(adapter->OidCompletionsAbove().back().status, NDIS_STATUS_SUCCESS);
        EXPECT_EQ(host::OutstandingClones(), 0u);
    }
}

}  // namespace
