// Everything that is not a bound stream crosses the filter unchanged, as its neighbours see it:
// the protocol above (sends, completions, receives, OID completions, status, net PnP) and the
// miniport below (sends, returns, OID requests and cancels, device PnP).
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "host/faults.h"
#include "host/kernel.h"
#include "tests/support/gvsp_machine.h"
#include "tests/support/stream_fixture.h"

using namespace gvsptest;

namespace {

constexpr ULONG NDIS_SEND_FLAGS_CHECK_FOR_LOOPBACK = 0x00000002;
constexpr NDIS_STATUS NDIS_STATUS_LINK_STATE = 0x40010017;
constexpr NDIS_STATUS NDIS_STATUS_INVALID_LENGTH = static_cast<NDIS_STATUS>(0xC0010014);
constexpr NDIS_OID OID_GEN_MAXIMUM_FRAME_SIZE = 0x00010106;
constexpr NDIS_OID OID_GEN_CURRENT_PACKET_FILTER = 0x0001010E;
constexpr NDIS_OID OID_GEN_STATISTICS = 0x00020106;
constexpr NDIS_OID OID_TCP_TASK_OFFLOAD_METHOD = 0xFC010201;
constexpr ULONG NET_EVENT_SET_POWER = 1;
constexpr ULONG NET_EVENT_QUERY_REMOVE_DEVICE = 4;
constexpr ULONG NET_EVENT_PAUSE = 0x0F;

// ---- Packets ------------------------------------------------------------------------------------
// An Ethernet frame whose payload bytes encode their position (and `tag`), so that a byte out of
// place names itself.
std::vector<uint8_t> Payload(size_t length, uint8_t tag)
{
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<uint8_t>(i ^ tag);
    }
    return bytes;
}

std::vector<uint8_t> EthernetHeader(uint16_t etherType)
{
    std::vector<uint8_t> f = {0x00, 0x1B, 0x2C, 0x3D, 0x4E, 0xA0, 0x00, 0x30, 0x53, 0x01, 0x02, 0x03};
    f.push_back(static_cast<uint8_t>(etherType >> 8));
    f.push_back(static_cast<uint8_t>(etherType));
    return f;
}

// IPv4 (20-byte header) carrying `protocol`, whose transport header begins with the two ports.
std::vector<uint8_t> Ipv4Frame(uint8_t protocol, uint16_t sourcePort, uint16_t destinationPort, size_t payload,
    uint8_t tag)
{
    std::vector<uint8_t> f = EthernetHeader(0x0800);
    const size_t transportHeader = protocol == 17 ? 8 : 20;
    const size_t total = 20 + transportHeader + payload;
    const uint8_t ip[20] = {0x45, 0, uint8_t(total >> 8), uint8_t(total), 0x12, 0x34, 0, 0, 64, protocol, 0, 0,
        192, 168, 1, 20, 192, 168, 1, 10};
    f.insert(f.end(), ip, ip + 20);
    f.push_back(uint8_t(sourcePort >> 8));
    f.push_back(uint8_t(sourcePort));
    f.push_back(uint8_t(destinationPort >> 8));
    f.push_back(uint8_t(destinationPort));
    if (protocol == 17) {
        const size_t udpLength = 8 + payload;
        f.push_back(uint8_t(udpLength >> 8));
        f.push_back(uint8_t(udpLength));
        f.push_back(0);
        f.push_back(0);
    } else {
        f.insert(f.end(), 16, 0);
    }
    std::vector<uint8_t> p = Payload(payload, tag);
    f.insert(f.end(), p.begin(), p.end());
    return f;
}

std::vector<uint8_t> UdpFrame(uint16_t destinationPort, size_t payload, uint8_t tag)
{
    return Ipv4Frame(17, 40000, destinationPort, payload, tag);
}

std::vector<uint8_t> ArpFrame()
{
    std::vector<uint8_t> f = EthernetHeader(0x0806);
    std::vector<uint8_t> arp = Payload(28, 0x5A);
    f.insert(f.end(), arp.begin(), arp.end());
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
struct SendCase {
    const char* name;
    NDIS_PORT_NUMBER port;
    ULONG sendFlags;
    ULONG completeFlags;   // what the miniport reports when it completes from inside the send
};

void PrintTo(const SendCase& c, std::ostream* out) { *out << c.name; }

class PassThroughSend : public PassThrough, public ::testing::WithParamInterface<SendCase> {};

TEST_P(PassThroughSend, AProtocolChainReachesTheMiniportAsSentAndEveryListCompletesUp)
{
    const SendCase& c = GetParam();
    Packets packets = ProtocolSends(0x10);
    std::vector<PNET_BUFFER_LIST> lists = ListsOf(packets);
    auto bytes = BytesOf(lists);

    adapter->SendFromProtocol(host::LinkPackets(packets), c.port, c.sendFlags);

    auto sent = adapter->SentToMiniport();
    ASSERT_EQ(sent.size(), 1u) << "one chain sent is one send below";
    EXPECT_EQ(sent[0].lists, lists);
    EXPECT_EQ(sent[0].port, c.port);
    EXPECT_EQ(sent[0].flags, c.sendFlags);
    EXPECT_EQ(BytesOf(sent[0].lists), bytes);

    auto done = CompletedAbove(*adapter);
    ASSERT_EQ(done.size(), lists.size());
    for (size_t i = 0; i < lists.size(); ++i) {
        EXPECT_EQ(done[i].list, lists[i]) << i;
        EXPECT_EQ(done[i].status, NDIS_STATUS_SUCCESS) << i;
        EXPECT_EQ(done[i].flags, c.completeFlags) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(PassThroughPortsAndFlags, PassThroughSend,
    ::testing::Values(SendCase{"DefaultPortPassive", 0, 0, 0},
        SendCase{"Port5AtDispatchWithLoopbackCheck", 5, NDIS_SEND_FLAGS_DISPATCH_LEVEL | NDIS_SEND_FLAGS_CHECK_FOR_LOOPBACK,
            NDIS_SEND_COMPLETE_FLAGS_DISPATCH_LEVEL},
        SendCase{"Port2LoopbackCheckPassive", 2, NDIS_SEND_FLAGS_CHECK_FOR_LOOPBACK, 0}),
    [](const ::testing::TestParamInfo<SendCase>& p) { return std::string(p.param.name); });

TEST_F(PassThrough, SendsTheMiniportHoldsCompleteUpInItsBatchesWithItsStatusesAndFlags)
{
    adapter->SetMiniportSends(host::MiniportSends::Hold);
    Packets first = ProtocolSends(0x20);
    Packets second = ProtocolSends(0x30);
    adapter->SendFromProtocol(host::LinkPackets(first), 1, 0);
    adapter->SendFromProtocol(host::LinkPackets(second), 3, NDIS_SEND_FLAGS_CHECK_FOR_LOOPBACK);

    auto sent = adapter->SentToMiniport();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].lists, ListsOf(first));
    EXPECT_EQ(sent[0].port, 1u);
    EXPECT_EQ(sent[1].lists, ListsOf(second));
    EXPECT_EQ(sent[1].port, 3u);
    EXPECT_EQ(sent[1].flags, NDIS_SEND_FLAGS_CHECK_FOR_LOOPBACK);
    EXPECT_TRUE(adapter->SendCompletionsAbove().empty()) << "nothing completes before the miniport does";

    std::vector<PNET_BUFFER_LIST> all = ListsOf(first);
    for (PNET_BUFFER_LIST list : ListsOf(second)) {
        all.push_back(list);
    }

    // A batch that ends inside the first chain, one that spans both chains, then the rest.
    ASSERT_EQ(adapter->CompleteSends(2, NDIS_STATUS_FAILURE, NDIS_SEND_COMPLETE_FLAGS_DISPATCH_LEVEL), 2u);
    auto done = CompletedAbove(*adapter);
    ASSERT_EQ(done.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(done[i].list, all[i]);
        EXPECT_EQ(done[i].status, NDIS_STATUS_FAILURE);
        EXPECT_EQ(done[i].flags, NDIS_SEND_COMPLETE_FLAGS_DISPATCH_LEVEL);
    }

    size_t mark = adapter->SendCompletionsAbove().size();
    ASSERT_EQ(adapter->CompleteSends(3, NDIS_STATUS_SUCCESS, 0), 3u);
    done = CompletedAbove(*adapter, mark);
    ASSERT_EQ(done.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(done[i].list, all[2 + i]);
        EXPECT_EQ(done[i].status, NDIS_STATUS_SUCCESS);
        EXPECT_EQ(done[i].flags, 0u);
    }

    mark = adapter->SendCompletionsAbove().size();
    ASSERT_EQ(adapter->CompleteSends(), 1u);
    done = CompletedAbove(*adapter, mark);
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].list, all[5]);
    EXPECT_EQ(done[0].flags, NDIS_SEND_COMPLETE_FLAGS_DISPATCH_LEVEL);
    EXPECT_EQ(adapter->SendsHeldByMiniport(), 0u);
    EXPECT_EQ(CompletedAbove(*adapter).size(), all.size()) << "every list completed up exactly once";
}

// ---- Cancel send, status, PnP --------------------------------------------------------------------
TEST_F(PassThrough, CancelSendsReachTheMiniportWithTheirIdsInOrder)
{
    int a = 0;
    int b = 0;
    adapter->CancelSendFromProtocol(&a);
    adapter->CancelSendFromProtocol(&b);
    adapter->CancelSendFromProtocol(&a);
    EXPECT_EQ(adapter->SendCancelsBelow(), (std::vector<PVOID>{&a, &b, &a}));
}

TEST_F(PassThrough, StatusIndicationsReachTheProtocolWithCodePortAndBuffer)
{
    uint8_t linkState[24];
    for (size_t i = 0; i < sizeof linkState; ++i) {
        linkState[i] = static_cast<uint8_t>(0xC0 + i);
    }
    NDIS_STATUS_INDICATION link{};
    link.Header = {NDIS_OBJECT_TYPE_DEFAULT, 1, sizeof(NDIS_STATUS_INDICATION)};
    link.StatusCode = NDIS_STATUS_LINK_STATE;
    link.PortNumber = 4;
    link.StatusBuffer = linkState;
    link.StatusBufferSize = sizeof linkState;
    NDIS_STATUS_INDICATION bare{};
    bare.Header = link.Header;
    bare.StatusCode = static_cast<NDIS_STATUS>(0x4001000C);
    bare.PortNumber = 0;

    adapter->IndicateStatusFromMiniport(&link);
    adapter->IndicateStatusFromMiniport(&bare);

    auto above = adapter->StatusIndicationsAbove();
    ASSERT_EQ(above.size(), 2u);
    EXPECT_EQ(above[0].statusCode, NDIS_STATUS_LINK_STATE);
    EXPECT_EQ(above[0].port, 4u);
    EXPECT_EQ(above[0].buffer, std::vector<uint8_t>(linkState, linkState + sizeof linkState));
    EXPECT_EQ(above[1].statusCode, bare.StatusCode);
    EXPECT_EQ(above[1].port, 0u);
    EXPECT_TRUE(above[1].buffer.empty());
}

TEST_F(PassThrough, DevicePnPEventsReachTheMiniportInOrder)
{
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

TEST_F(PassThrough, NetPnPEventsReachTheProtocolAndReturnItsAnswer)
{
    struct Case {
        ULONG netEvent;
        NDIS_STATUS protocolAnswer;
    };
    const Case cases[] = {
        {NET_EVENT_SET_POWER, NDIS_STATUS_SUCCESS},
        {NET_EVENT_QUERY_REMOVE_DEVICE, NDIS_STATUS_FAILURE},
        {NET_EVENT_PAUSE, NDIS_STATUS_NOT_SUPPORTED},
        {NET_EVENT_SET_POWER, NDIS_STATUS_RESOURCES},
    };
    std::vector<ULONG> expected;
    for (const Case& c : cases) {
        adapter->SetProtocolNetPnPStatus(c.protocolAnswer);
        NET_PNP_EVENT_NOTIFICATION notification{};
        notification.Header = {NDIS_OBJECT_TYPE_DEFAULT, 1, sizeof(NET_PNP_EVENT_NOTIFICATION)};
        notification.NetPnPEvent.NetEvent = c.netEvent;
        EXPECT_EQ(adapter->NetPnPEventFromNdis(&notification), c.protocolAnswer) << c.netEvent;
        expected.push_back(c.netEvent);
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
        p.push_back(host::MakeFramePacket(Ipv4Frame(6, 40000, STREAM_PORT, 200, uint8_t(tag + 1))));   // TCP to the stream's port number
        p.push_back(host::MakeFramePacket(UdpFrame(3956, 64, uint8_t(tag + 2)), host::SegmentMapping::Unmapped));   // control channel
        p.push_back(host::PacketBuilder()   // two NET_BUFFERs
                        .Segment(UdpFrame(STREAM_PORT + 2, 100, uint8_t(tag + 3)))
                        .NextNetBuffer()
                        .Segment(UdpFrame(STREAM_PORT + 3, 100, uint8_t(tag + 4)))
                        .Build());
        p.push_back(host::PacketBuilder().Segment(std::vector<uint8_t>(30, 0xEE)).Build());   // a runt
        return p;
    }
};

struct ReceiveCase {
    const char* name;
    host::ProtocolReturns returns;
    ULONG receiveFlags;
    ULONG returnFlags;   // for ProtocolReturns::Hold
};

void PrintTo(const ReceiveCase& c, std::ostream* out) { *out << c.name; }

class PassThroughReceiveOwned : public PassThroughReceive, public ::testing::WithParamInterface<ReceiveCase> {};

TEST_P(PassThroughReceiveOwned, OtherTrafficGoesUpAsOneIndicationAndEachListComesBackOnce)
{
    const ReceiveCase& c = GetParam();
    adapter->SetProtocolReturns(c.returns);
    Packets packets = OtherTraffic(0x40);
    std::vector<PNET_BUFFER_LIST> lists = ListsOf(packets);
    auto bytes = BytesOf(lists);
    const NDIS_PORT_NUMBER port = 7;

    adapter->Indicate(host::LinkPackets(packets), port, c.receiveFlags);
    if (c.returns == host::ProtocolReturns::Hold) {
        EXPECT_EQ(adapter->HeldByProtocol(), lists.size());
        EXPECT_TRUE(adapter->ReturnedToMiniport().empty()) << "the protocol still holds them";
        adapter->ReturnHeldReceives(c.returnFlags);
    }

    auto above = adapter->IndicatedAbove();
    ASSERT_EQ(above.size(), 1u);
    EXPECT_EQ(above[0].lists, lists);
    EXPECT_EQ(above[0].count, lists.size());
    EXPECT_EQ(above[0].port, port);
    EXPECT_EQ(above[0].flags, c.receiveFlags);
    EXPECT_EQ(BytesOf(above[0].lists), bytes);

    std::vector<PNET_BUFFER_LIST> returned;
    for (const host::ReturnRecord& r : adapter->ReturnedToMiniport()) {
        returned.insert(returned.end(), r.lists.begin(), r.lists.end());
        if (c.returns == host::ProtocolReturns::Hold) {
            EXPECT_EQ(r.flags, c.returnFlags);
        }
    }
    EXPECT_EQ(returned, lists) << "each list back to the miniport exactly once";
    EXPECT_EQ(adapter->OutstandingAtMiniport(), 0u);
    EXPECT_EQ(adapter->HeldByProtocol(), 0u);
}

INSTANTIATE_TEST_SUITE_P(PassThroughReturnModes, PassThroughReceiveOwned,
    ::testing::Values(ReceiveCase{"ReturnedDuringTheIndication", host::ProtocolReturns::Immediately, 0, 0},
        ReceiveCase{"ReturnedAfterTheIndicationAtDispatch", host::ProtocolReturns::AfterIndication,
            NDIS_RECEIVE_FLAGS_DISPATCH_LEVEL, 0},
        ReceiveCase{"HeldThenReturnedAtDispatch", host::ProtocolReturns::Hold, 0, NDIS_RETURN_FLAGS_DISPATCH_LEVEL},
        ReceiveCase{"HeldThenReturnedPassive", host::ProtocolReturns::Hold, NDIS_RECEIVE_FLAGS_DISPATCH_LEVEL, 0}),
    [](const ::testing::TestParamInfo<ReceiveCase>& p) { return std::string(p.param.name); });

// With NDIS_RECEIVE_FLAGS_RESOURCES the miniport takes its lists back when the indication
// returns: the protocol sees each of them once, in order, and nothing is returned.
TEST_F(PassThroughReceive, OtherTrafficIndicatedWithResourcesGoesUpInOrderAndStaysWithTheMiniport)
{
    for (ULONG flags : {NDIS_RECEIVE_FLAGS_RESOURCES, NDIS_RECEIVE_FLAGS_RESOURCES | NDIS_RECEIVE_FLAGS_DISPATCH_LEVEL}) {
        SCOPED_TRACE(flags);
        size_t mark = adapter->IndicatedAbove().size();
        Packets packets = OtherTraffic(0x60);
        std::vector<PNET_BUFFER_LIST> lists = ListsOf(packets);
        auto bytes = BytesOf(lists);
        adapter->Indicate(host::LinkPackets(packets), 2, flags);

        auto above = adapter->IndicatedAbove();
        std::vector<PNET_BUFFER_LIST> seen;
        for (size_t i = mark; i < above.size(); ++i) {
            EXPECT_EQ(above[i].count, above[i].lists.size());
            EXPECT_EQ(above[i].port, 2u);
            EXPECT_EQ(above[i].flags, flags);
            seen.insert(seen.end(), above[i].lists.begin(), above[i].lists.end());
        }
        EXPECT_EQ(seen, lists);
        EXPECT_EQ(BytesOf(seen), bytes);
        EXPECT_TRUE(adapter->ReturnedToMiniport().empty());
        EXPECT_EQ(adapter->HeldByProtocol(), 0u);
        // The chain is the miniport's again, linked as it was.
        EXPECT_EQ(host::ChainToVector(lists.front()), lists);
    }
}

// ---- OID requests ----------------------------------------------------------------------------------
NDIS_OID_REQUEST OidRequest(NDIS_REQUEST_TYPE type, NDIS_OID oid, PVOID requestId, void* buffer, ULONG length)
{
    NDIS_OID_REQUEST r{};
    r.Header = {NDIS_OBJECT_TYPE_OID_REQUEST, 1, sizeof(NDIS_OID_REQUEST)};
    r.RequestType = type;
    r.RequestId = requestId;
    r.PortNumber = 0;
    switch (type) {
    case NdisRequestSetInformation:
        r.DATA.SET_INFORMATION.Oid = oid;
        r.DATA.SET_INFORMATION.InformationBuffer = buffer;
        r.DATA.SET_INFORMATION.InformationBufferLength = length;
        r.DATA.SET_INFORMATION.BytesRead = 0xDEAD;
        r.DATA.SET_INFORMATION.BytesNeeded = 0xDEAD;
        break;
    case NdisRequestMethod:
        r.DATA.METHOD_INFORMATION.Oid = oid;
        r.DATA.METHOD_INFORMATION.InformationBuffer = buffer;
        r.DATA.METHOD_INFORMATION.InputBufferLength = length / 2;
        r.DATA.METHOD_INFORMATION.OutputBufferLength = length;
        r.DATA.METHOD_INFORMATION.MethodId = 3;
        r.DATA.METHOD_INFORMATION.BytesWritten = 0xDEAD;
        r.DATA.METHOD_INFORMATION.BytesRead = 0xDEAD;
        r.DATA.METHOD_INFORMATION.BytesNeeded = 0xDEAD;
        break;
    default:
        r.DATA.QUERY_INFORMATION.Oid = oid;
        r.DATA.QUERY_INFORMATION.InformationBuffer = buffer;
        r.DATA.QUERY_INFORMATION.InformationBufferLength = length;
        r.DATA.QUERY_INFORMATION.BytesWritten = 0xDEAD;
        r.DATA.QUERY_INFORMATION.BytesNeeded = 0xDEAD;
        break;
    }
    return r;
}

PVOID IdOf(uintptr_t value) { return reinterpret_cast<PVOID>(value); }

TEST_F(PassThrough, AQueryTheMiniportAnswersAtOnceIsCompletedUpwardBeforeThePendingReturn)
{
    adapter->SetMiniportOidAnswer([](NDIS_OID_REQUEST& r) {
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
        std::memcpy(r.DATA.QUERY_INFORMATION.InformationBuffer, "\xDC\x05\x00\x00", 4);
        r.DATA.QUERY_INFORMATION.BytesWritten = 4;
        r.DATA.QUERY_INFORMATION.BytesNeeded = 11;
        return NDIS_STATUS_SUCCESS;
    });
    uint8_t value[8] = {};
    NDIS_OID_REQUEST request = OidRequest(NdisRequestQueryInformation, OID_GEN_MAXIMUM_FRAME_SIZE, IdOf(0x71), value,
        sizeof value);

    EXPECT_EQ(adapter->OidRequestFromProtocol(&request), NDIS_STATUS_PENDING);

    // By the time the pending status reaches the protocol, the request is already complete.
    auto done = adapter->OidCompletionsAbove();
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].request, &request);
    EXPECT_EQ(done[0].status, NDIS_STATUS_SUCCESS);
    EXPECT_FALSE(done[0].synchronous) << "completed through NdisFOidRequestComplete, not by the return value";
    EXPECT_EQ(done[0].bytesWritten, 4u);
    EXPECT_EQ(done[0].bytesNeeded, 11u);
    EXPECT_EQ(value[0], 0xDC);
    EXPECT_EQ(value[1], 0x05);

    auto below = adapter->OidRequestsBelow();
    ASSERT_EQ(below.size(), 1u);
    EXPECT_NE(below[0].request, &request) << "the miniport gets a clone";
    EXPECT_EQ(below[0].type, NdisRequestQueryInformation);
    EXPECT_EQ(below[0].oid, OID_GEN_MAXIMUM_FRAME_SIZE);
    EXPECT_EQ(below[0].requestId, IdOf(0x71));
    EXPECT_EQ(host::OutstandingClones(), 0u);
}

TEST_F(PassThrough, APendedSetCompletesWhenTheMiniportDoesWithItsCounters)
{
    adapter->SetMiniportOidAnswer([](NDIS_OID_REQUEST&) { return NDIS_STATUS_PENDING; });
    ULONG filter = 0x0000000B;
    NDIS_OID_REQUEST request = OidRequest(NdisRequestSetInformation, OID_GEN_CURRENT_PACKET_FILTER, IdOf(0x72),
        &filter, sizeof filter);

    EXPECT_EQ(adapter->OidRequestFromProtocol(&request), NDIS_STATUS_PENDING);
    EXPECT_TRUE(adapter->OidCompletionsAbove().empty());
    auto pending = adapter->OidsPendingBelow();
    ASSERT_EQ(pending.size(), 1u);
    PNDIS_OID_REQUEST clone = pending[0];
    EXPECT_NE(clone, &request);
    EXPECT_EQ(clone->RequestType, NdisRequestSetInformation);
    EXPECT_EQ(clone->DATA.SET_INFORMATION.Oid, OID_GEN_CURRENT_PACKET_FILTER);
    EXPECT_EQ(clone->DATA.SET_INFORMATION.InformationBuffer, &filter);
    EXPECT_EQ(clone->DATA.SET_INFORMATION.InformationBufferLength, sizeof filter);
    EXPECT_EQ(clone->RequestId, IdOf(0x72));
    EXPECT_EQ(host::OutstandingClones(), 1u);

    clone->DATA.SET_INFORMATION.BytesRead = 4;
    clone->DATA.SET_INFORMATION.BytesNeeded = 6;
    adapter->CompletePendingOid(clone, NDIS_STATUS_SUCCESS);

    auto done = adapter->OidCompletionsAbove();
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].request, &request);
    EXPECT_EQ(done[0].status, NDIS_STATUS_SUCCESS);
    EXPECT_FALSE(done[0].synchronous);
    EXPECT_EQ(done[0].bytesRead, 4u);
    EXPECT_EQ(done[0].bytesNeeded, 6u);
    EXPECT_EQ(host::OutstandingClones(), 0u);
}

TEST_F(PassThrough, AMethodRequestGetsBackOutputLengthAndAllThreeCounters)
{
    for (bool pend : {false, true}) {
        SCOPED_TRACE(pend ? "pended" : "answered at once");
        size_t mark = adapter->OidCompletionsAbove().size();
        adapter->SetMiniportOidAnswer([pend](NDIS_OID_REQUEST& r) {
            r.DATA.METHOD_INFORMATION.OutputBufferLength = 24;
            r.DATA.METHOD_INFORMATION.BytesWritten = 20;
            r.DATA.METHOD_INFORMATION.BytesRead = 12;
            r.DATA.METHOD_INFORMATION.BytesNeeded = 40;
            return pend ? NDIS_STATUS_PENDING : NDIS_STATUS_SUCCESS;
        });
        uint8_t buffer[64] = {};
        NDIS_OID_REQUEST request = OidRequest(NdisRequestMethod, OID_TCP_TASK_OFFLOAD_METHOD, IdOf(0x73), buffer,
            sizeof buffer);
        EXPECT_EQ(adapter->OidRequestFromProtocol(&request), NDIS_STATUS_PENDING);
        if (pend) {
            ASSERT_EQ(adapter->OidsPendingBelow().size(), 1u);
            adapter->CompletePendingOid(adapter->OidsPendingBelow()[0], NDIS_STATUS_SUCCESS);
        }
        auto done = adapter->OidCompletionsAbove();
        ASSERT_EQ(done.size(), mark + 1);
        EXPECT_EQ(done[mark].request, &request);
        EXPECT_EQ(done[mark].status, NDIS_STATUS_SUCCESS);
        EXPECT_EQ(done[mark].outputBufferLength, 24u);
        EXPECT_EQ(done[mark].bytesWritten, 20u);
        EXPECT_EQ(done[mark].bytesRead, 12u);
        EXPECT_EQ(done[mark].bytesNeeded, 40u);
        EXPECT_EQ(host::OutstandingClones(), 0u);
    }
}

// A miniport's failure reaches the protocol as it was given, with the counters that explain it.
struct OidFailureCase {
    const char* name;
    NDIS_REQUEST_TYPE type;
    NDIS_STATUS status;
    bool pend;
};

void PrintTo(const OidFailureCase& c, std::ostream* out) { *out << c.name; }

class PassThroughOidFailure : public PassThrough, public ::testing::WithParamInterface<OidFailureCase> {};

TEST_P(PassThroughOidFailure, TheMiniportsStatusAndBytesNeededReachTheProtocolUnchanged)
{
    const OidFailureCase& c = GetParam();
    adapter->SetMiniportOidAnswer([&c](NDIS_OID_REQUEST& r) {
        switch (r.RequestType) {
        case NdisRequestSetInformation:
            r.DATA.SET_INFORMATION.BytesRead = 0;
            r.DATA.SET_INFORMATION.BytesNeeded = 16;
            break;
        case NdisRequestMethod:
            r.DATA.METHOD_INFORMATION.BytesWritten = 0;
            r.DATA.METHOD_INFORMATION.BytesRead = 0;
            r.DATA.METHOD_INFORMATION.BytesNeeded = 16;
            break;
        default:
            r.DATA.QUERY_INFORMATION.BytesWritten = 0;
            r.DATA.QUERY_INFORMATION.BytesNeeded = 16;
            break;
        }
        return c.pend ? NDIS_STATUS_PENDING : c.status;
    });
    uint8_t buffer[2] = {};
    NDIS_OID_REQUEST request = OidRequest(c.type, OID_GEN_STATISTICS, IdOf(0x74), buffer, sizeof buffer);
    EXPECT_EQ(adapter->OidRequestFromProtocol(&request), NDIS_STATUS_PENDING);
    if (c.pend) {
        ASSERT_EQ(adapter->OidsPendingBelow().size(), 1u);
        adapter->CompletePendingOid(adapter->OidsPendingBelow()[0], c.status);
    }
    auto done = adapter->OidCompletionsAbove();
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].status, c.status);
    EXPECT_EQ(done[0].bytesNeeded, 16u);
    EXPECT_EQ(done[0].bytesWritten, 0u);
    EXPECT_EQ(done[0].bytesRead, 0u);
    EXPECT_EQ(host::OutstandingClones(), 0u);
}

INSTANTIATE_TEST_SUITE_P(PassThroughMiniportFailures, PassThroughOidFailure,
    ::testing::Values(OidFailureCase{"QueryTooShortAtOnce", NdisRequestQueryInformation, NDIS_STATUS_INVALID_LENGTH, false},
        OidFailureCase{"StatisticsNotSupportedLater", NdisRequestQueryStatistics, NDIS_STATUS_NOT_SUPPORTED, true},
        OidFailureCase{"SetFailsAtOnce", NdisRequestSetInformation, NDIS_STATUS_FAILURE, false},
        OidFailureCase{"SetAbortedLater", NdisRequestSetInformation, NDIS_STATUS_REQUEST_ABORTED, true},
        OidFailureCase{"MethodTooShortLater", NdisRequestMethod, NDIS_STATUS_INVALID_LENGTH, true}),
    [](const ::testing::TestParamInfo<OidFailureCase>& p) { return std::string(p.param.name); });

TEST_F(PassThrough, ACancelReachesTheMiniportOnlyForThePendingRequestsId)
{
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

    // Once it is complete, its id matches nothing any more.
    adapter->CancelOidFromProtocol(IdOf(0x75));
    EXPECT_EQ(adapter->OidCancelsBelow().size(), 1u);
    EXPECT_EQ(host::OutstandingClones(), 0u);
}

TEST_F(PassThrough, ACancelWithNothingPendingDoesNothing)
{
    adapter->CancelOidFromProtocol(IdOf(0x77));
    ULONG value = 0;
    NDIS_OID_REQUEST request = OidRequest(NdisRequestQueryInformation, OID_GEN_MAXIMUM_FRAME_SIZE, IdOf(0x77), &value,
        sizeof value);
    ASSERT_EQ(adapter->OidRequestFromProtocol(&request), NDIS_STATUS_PENDING);   // answered at once
    adapter->CancelOidFromProtocol(IdOf(0x77));
    EXPECT_TRUE(adapter->OidCancelsBelow().empty());
}

// A request that cannot be cloned fails at once with the allocation's status and cleared counters.
struct CloneFailureCase {
    const char* name;
    NDIS_REQUEST_TYPE type;
    int32_t injected;          // 0: the allocation's natural failure
    NDIS_STATUS expected;
};

void PrintTo(const CloneFailureCase& c, std::ostream* out) { *out << c.name; }

class PassThroughCloneFailure : public PassThrough, public ::testing::WithParamInterface<CloneFailureCase> {};

TEST_P(PassThroughCloneFailure, FailsTheRequestWithZeroCountersAndSendsNothingDown)
{
    const CloneFailureCase& c = GetParam();
    host::FailCall(host::Fault::CloneOidRequest, 1, c.injected);
    uint8_t buffer[16] = {};
    NDIS_OID_REQUEST request = OidRequest(c.type, OID_GEN_CURRENT_PACKET_FILTER, IdOf(0x78), buffer, sizeof buffer);

    EXPECT_EQ(adapter->OidRequestFromProtocol(&request), c.expected);

    auto done = adapter->OidCompletionsAbove();
    ASSERT_EQ(done.size(), 1u);
    EXPECT_TRUE(done[0].synchronous) << "the status is the return value; nothing completes later";
    EXPECT_EQ(done[0].status, c.expected);
    EXPECT_EQ(done[0].bytesWritten, 0u);
    EXPECT_EQ(done[0].bytesRead, 0u);
    EXPECT_EQ(done[0].bytesNeeded, 0u);
    EXPECT_TRUE(adapter->OidRequestsBelow().empty());
    EXPECT_EQ(host::OutstandingClones(), 0u);

    // The next request goes through as usual.
    NDIS_OID_REQUEST next = OidRequest(c.type, OID_GEN_CURRENT_PACKET_FILTER, IdOf(0x79), buffer, sizeof buffer);
    EXPECT_EQ(adapter->OidRequestFromProtocol(&next), NDIS_STATUS_PENDING);
    EXPECT_EQ(adapter->OidRequestsBelow().size(), 1u);
    ASSERT_EQ(adapter->OidCompletionsAbove().size(), 2u);
    EXPECT_EQ(adapter->OidCompletionsAbove()[1].status, NDIS_STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(PassThroughRequestTypes, PassThroughCloneFailure,
    ::testing::Values(CloneFailureCase{"Set", NdisRequestSetInformation, 0, NDIS_STATUS_RESOURCES},
        CloneFailureCase{"SetWithAnotherStatus", NdisRequestSetInformation, static_cast<int32_t>(NDIS_STATUS_FAILURE),
            NDIS_STATUS_FAILURE},
        CloneFailureCase{"Query", NdisRequestQueryInformation, 0, NDIS_STATUS_RESOURCES},
        CloneFailureCase{"Statistics", NdisRequestQueryStatistics, 0, NDIS_STATUS_RESOURCES},
        CloneFailureCase{"Method", NdisRequestMethod, 0, NDIS_STATUS_RESOURCES}),
    [](const ::testing::TestParamInfo<CloneFailureCase>& p) { return std::string(p.param.name); });

}  // namespace
