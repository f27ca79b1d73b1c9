// Tests of the emulated NDIS with a small test filter: registration checks, the module
// lifecycle, receive/return and send/complete bookkeeping, OID requests, status and PnP, NBL
// pools, the control device. Host tests only.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <set>

#include "host/checker.h"
#include "host/faults.h"
#include "host/io.h"
#include "host/kernel.h"
#include "host/ndis.h"
#include "tests/host/ndis_test_filter.h"

using namespace ndistest;
using host::Adapter;
using host::AdapterConfig;
using host::ExpectViolation;
using host::Rule;

namespace {

// A frame whose bytes encode their position; the first byte says whether the filter keeps it.
std::vector<uint8_t> Frame(uint8_t first, size_t length = 60, uint8_t seed = 0)
{
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<uint8_t>(seed + i);
    }
    bytes[0] = first;
    return bytes;
}

AdapterConfig Config(const char* name, uint8_t macLast, ULONG lookahead = 256)
{
    AdapterConfig c;
    c.mac = {0x02, 0x00, 0x00, 0x00, 0x00, macLast};
    std::string n = name;
    c.friendlyName.assign(n.begin(), n.end());
    std::string device = std::string("\\DEVICE\\{11111111-2222-3333-4444-0000000000") +
                         (macLast < 16 ? "0" : "") + std::to_string(macLast % 10) + "}";
    c.deviceName.assign(device.begin(), device.end());
    c.lookahead = lookahead;
    return c;
}

TestModule* ModuleOf(Adapter& adapter) { return static_cast<TestModule*>(adapter.ModuleContext()); }

class NdisTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetTestFilter();
        g_filter.driverObject = host::CreateDriverObject(u"\\Driver\\TestFilter");
        ResetTestFilter();
    }
    void TearDown() override
    {
        if (host::IsFilterRegistered()) {
            NdisFDeregisterFilterDriver(host::FilterDriverHandle());
        }
        host::ResetNdis();
        host::CheckNoPoolUnderTag(TEST_TAG, "after the NDIS test");
        host::DeleteDriverObject(g_filter.driverObject);
        host::ResetFaults();
        ResetTestFilter();
    }
};

// One suite per area, all on the same fixture.
class NdisRegistration : public NdisTest {};
class NdisFilterModule : public NdisTest {};
class NdisReceive : public NdisTest {};
class NdisPackets : public NdisTest {};
class NdisSend : public NdisTest {};
class NdisPools : public NdisTest {};
class NdisOid : public NdisTest {};
class NdisStatusAndPnP : public NdisTest {};
class NdisControlDevice : public NdisTest {};
class NdisReset : public NdisTest {};

std::vector<std::unique_ptr<host::Packet>> Frames(std::initializer_list<uint8_t> firsts)
{
    std::vector<std::unique_ptr<host::Packet>> out;
    uint8_t seed = 0;
    for (uint8_t first : firsts) {
        out.push_back(host::MakeFramePacket(Frame(first, 60, seed += 16)));
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// Registration.
struct BadCharacteristics {
    const char* what;
    std::function<void(NDIS_FILTER_DRIVER_CHARACTERISTICS&)> change;
    NDIS_STATUS expected;
};

TEST_F(NdisRegistration, RegistrationRefusesCharacteristicsNdisWouldRefuse)
{
    const BadCharacteristics cases[] = {
        {"header type", [](auto& c) { c.Header.Type = NDIS_OBJECT_TYPE_DEFAULT; }, NDIS_STATUS_BAD_CHARACTERISTICS},
        {"revision 0", [](auto& c) { c.Header.Revision = 0; }, NDIS_STATUS_BAD_CHARACTERISTICS},
        {"revision 3", [](auto& c) { c.Header.Revision = 3; }, NDIS_STATUS_BAD_CHARACTERISTICS},
        {"revision 2, short", [](auto& c) { c.Header.Size = 223; }, NDIS_STATUS_BAD_CHARACTERISTICS},
        {"revision 1, short", [](auto& c) { c.Header.Revision = 1; c.Header.Size = 199; }, NDIS_STATUS_BAD_CHARACTERISTICS},
        {"NDIS 5.1", [](auto& c) { c.MajorNdisVersion = 5; c.MinorNdisVersion = 1; }, NDIS_STATUS_BAD_VERSION},
        {"NDIS 6.40", [](auto& c) { c.MinorNdisVersion = 40; }, NDIS_STATUS_BAD_VERSION},
        {"NDIS 6.2", [](auto& c) { c.MinorNdisVersion = 2; }, NDIS_STATUS_BAD_VERSION},
        {"NDIS 7.20", [](auto& c) { c.MajorNdisVersion = 7; }, NDIS_STATUS_BAD_VERSION},
        {"no attach", [](auto& c) { c.AttachHandler = nullptr; }, NDIS_STATUS_BAD_CHARACTERISTICS},
        {"no detach", [](auto& c) { c.DetachHandler = nullptr; }, NDIS_STATUS_BAD_CHARACTERISTICS},
        {"no restart", [](auto& c) { c.RestartHandler = nullptr; }, NDIS_STATUS_BAD_CHARACTERISTICS},
        {"no pause", [](auto& c) { c.PauseHandler = nullptr; }, NDIS_STATUS_BAD_CHARACTERISTICS},
        {"empty unique name", [](auto& c) { c.UniqueName.Length = 0; }, NDIS_STATUS_BAD_CHARACTERISTICS},
        {"no friendly name", [](auto& c) { c.FriendlyName.Buffer = nullptr; }, NDIS_STATUS_BAD_CHARACTERISTICS},
        {"empty service name", [](auto& c) { c.ServiceName.Length = 0; }, NDIS_STATUS_BAD_CHARACTERISTICS},
    };
    host::AddAdapter(Config("A", 1));
    for (const auto& c : cases) {
        NDIS_FILTER_DRIVER_CHARACTERISTICS chars = TestCharacteristics();
        c.change(chars);
        EXPECT_EQ(RegisterTestFilter(&chars), c.expected) << c.what;
        EXPECT_FALSE(host::IsFilterRegistered()) << c.what;
    }
    EXPECT_TRUE(g_filter.events.empty()) << "no handler runs for a refused registration";
}

TEST_F(NdisRegistration, RegistrationAcceptsRevisionOneAndTheNdisSixVersions)
{
    for (UCHAR minor : {UCHAR(0), UCHAR(1), UCHAR(20), UCHAR(30)}) {
        NDIS_FILTER_DRIVER_CHARACTERISTICS chars = TestCharacteristics();
        chars.Header.Revision = 1;
        chars.Header.Size = 200;
        chars.MinorNdisVersion = minor;
        ASSERT_EQ(RegisterTestFilter(&chars), NDIS_STATUS_SUCCESS) << int(minor);
        NdisFDeregisterFilterDriver(g_filter.driverHandle);
    }
}

TEST_F(NdisRegistration, InjectedRegistrationFailureReturnsTheFaultStatusAndAttachesNothing)
{
    host::AddAdapter(Config("A", 1));
    host::FailCall(host::Fault::FilterRegistration, 1);
    EXPECT_EQ(RegisterTestFilter(), NDIS_STATUS_RESOURCES);
    host::FailCall(host::Fault::FilterRegistration, 1, NDIS_STATUS_FAILURE);
    EXPECT_EQ(RegisterTestFilter(), NDIS_STATUS_FAILURE);
    EXPECT_FALSE(host::IsFilterRegistered());
    EXPECT_TRUE(g_filter.events.empty());
}

TEST_F(NdisRegistration, SetOptionsRunsOnceWithTheNewHandleBeforeAnyAttach)
{
    host::AddAdapter(Config("A", 1));
    NDIS_HANDLE handle = nullptr;
    NDIS_FILTER_DRIVER_CHARACTERISTICS chars = TestCharacteristics();
    ASSERT_EQ(NdisFRegisterFilterDriver(g_filter.driverObject, g_filter.driverObject, &chars, &handle),
        NDIS_STATUS_SUCCESS);
    ASSERT_GE(g_filter.events.size(), 2u);
    EXPECT_EQ(g_filter.events[0], "setoptions");
    EXPECT_EQ(g_filter.events[1], "attach A irql 0");
    EXPECT_EQ(g_filter.driverHandle, handle);
    EXPECT_EQ(host::FilterDriverHandle(), handle);
}

TEST_F(NdisRegistration, ARefusingSetOptionsFailsTheRegistration)
{
    host::AddAdapter(Config("A", 1));
    NDIS_HANDLE handle = reinterpret_cast<NDIS_HANDLE>(1);
    NDIS_FILTER_DRIVER_CHARACTERISTICS chars = TestCharacteristics();
    int foreign = 0;
    EXPECT_EQ(NdisFRegisterFilterDriver(g_filter.driverObject, &foreign, &chars, &handle),
        NDIS_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(handle, nullptr);
    EXPECT_FALSE(host::IsFilterRegistered());
    EXPECT_EQ(g_filter.events, std::vector<std::string>{"setoptions"});
}

TEST_F(NdisRegistration, NdisKeepsItsOwnCopyOfTheCharacteristics)
{
    auto chars = std::make_unique<NDIS_FILTER_DRIVER_CHARACTERISTICS>(TestCharacteristics());
    ASSERT_EQ(RegisterTestFilter(chars.get()), NDIS_STATUS_SUCCESS);
    std::memset(chars.get(), 0xCC, sizeof *chars);
    chars.reset();
    Adapter& a = host::AddAdapter(Config("Late", 7));
    EXPECT_TRUE(a.HasFilterModule());
    EXPECT_EQ(a.ModuleStateNow(), host::ModuleState::Running);
}

// ---------------------------------------------------------------------------------------------
// Filter module lifecycle.
TEST_F(NdisFilterModule, ModulesAttachToPresentAndLaterAdaptersWithTheirParameters)
{
    AdapterConfig wan = Config("Wan", 2);
    wan.medium = NdisMediumWan;
    Adapter& a = host::AddAdapter(Config("A", 1));
    Adapter& b = host::AddAdapter(wan);
    ASSERT_EQ(RegisterTestFilter(), NDIS_STATUS_SUCCESS);
    Adapter& c = host::AddAdapter(Config("C", 3));
    for (Adapter* adapter : {&a, &b, &c}) {
        ASSERT_TRUE(adapter->HasFilterModule());
        EXPECT_EQ(adapter->ModuleStateNow(), host::ModuleState::Running);
        TestModule* m = ModuleOf(*adapter);
        ASSERT_NE(m, nullptr);
        EXPECT_EQ(m->filterHandle, adapter->FilterModuleHandle());
        EXPECT_EQ(m->friendlyName, adapter->Config().friendlyName);
        EXPECT_EQ(m->deviceName, adapter->Config().deviceName);
        std::u16string guid = adapter->Config().deviceName.substr(adapter->Config().deviceName.rfind(u'\\') + 1);
        EXPECT_EQ(m->moduleName, guid + u"-{0B6E1E7A-7E0D-4C4A-9E57-5D6B3C2A1F00}-0000");
        EXPECT_EQ(adapter->FilterModuleNameBytes(), m->moduleName.size() * 2);
        EXPECT_EQ(adapter->LastAttachStatus(), NDIS_STATUS_SUCCESS);
        EXPECT_EQ(m->mac, std::vector<uint8_t>(adapter->Config().mac.begin(), adapter->Config().mac.end()));
        EXPECT_EQ(m->attachMtu, 1500u);
        EXPECT_EQ(m->attachLookahead, 256u);
    }
    EXPECT_EQ(ModuleOf(b)->medium, NdisMediumWan);
    EXPECT_EQ(g_filter.events, (std::vector<std::string>{"setoptions", "attach A irql 0", "restart A",
                                   "attach Wan irql 0", "restart Wan", "attach C irql 0", "restart C"}));
}

TEST_F(NdisFilterModule, RestartCarriesTheMiniportLookaheadAndTheProtocolsSeeWhatTheFilterLeaves)
{
    Adapter& plain = host::AddAdapter(Config("Plain", 1, 256));
    EXPECT_EQ(plain.LookaheadVisibleAbove(), 256u);
    g_filter.lookaheadToSet = 128;
    ASSERT_EQ(RegisterTestFilter(), NDIS_STATUS_SUCCESS);
    Adapter& other = host::AddAdapter(Config("Other", 2, 512));
    EXPECT_EQ(ModuleOf(plain)->restartLookahead, 256u);
    EXPECT_EQ(ModuleOf(other)->restartLookahead, 512u);
    EXPECT_EQ(ModuleOf(plain)->restartOid, OID_GEN_MINIPORT_RESTART_ATTRIBUTES);
    EXPECT_FALSE(ModuleOf(plain)->restartHadNext);
    EXPECT_EQ(plain.LookaheadVisibleAbove(), 128u);
    EXPECT_EQ(other.LookaheadVisibleAbove(), 128u);
    NdisFDeregisterFilterDriver(g_filter.driverHandle);
    EXPECT_EQ(plain.LookaheadVisibleAbove(), 256u) << "without the filter the protocols see the miniport again";
    EXPECT_EQ(other.LookaheadVisibleAbove(), 512u);
}

TEST_F(NdisFilterModule, AFailedAttachLeavesTheAdapterUnfiltered)
{
    g_filter.attachStatus = NDIS_STATUS_NOT_SUPPORTED;
    ASSERT_EQ(RegisterTestFilter(), NDIS_STATUS_SUCCESS);
    Adapter& a = host::AddAdapter(Config("A", 1));
    EXPECT_FALSE(a.HasFilterModule());
    EXPECT_EQ(a.ModuleStateNow(), host::ModuleState::None);
    EXPECT_EQ(a.LastAttachStatus(), NDIS_STATUS_NOT_SUPPORTED);
    auto packets = Frames({CONSUME_MARK});
    a.Indicate(host::LinkPackets(packets), 0, 0);
    ASSERT_EQ(a.IndicatedAbove().size(), 1u) << "with no module the protocol receives what the miniport indicates";
    EXPECT_EQ(a.IndicatedAbove()[0].lists[0], packets[0]->List());
    EXPECT_EQ(a.OutstandingAtMiniport(), 0u);
}

TEST_F(NdisFilterModule, AnAttachThatSucceedsWithoutSetAttributesBreaksTheContract)
{
    g_filter.setAttributes = false;
    ASSERT_EQ(RegisterTestFilter(), NDIS_STATUS_SUCCESS);
    ExpectViolation expect(Rule::NdisContract);
    Adapter& a = host::AddAdapter(Config("A", 1));
    EXPECT_TRUE(expect.Fired());
    EXPECT_FALSE(a.HasFilterModule());
    // The module the filter believes in is its own leak to clean up here.
    for (TestModule* m : g_filter.modules) {
        NdisFreeNetBufferListPool(m->pool);
        delete m;
    }
    g_filter.modules.clear();
}

TEST_F(NdisFilterModule, AnInjectedSetAttributesFailureFailsTheAttach)
{
    ASSERT_EQ(RegisterTestFilter(), NDIS_STATUS_SUCCESS);
    host::FailCall(host::Fault::SetAttributes, 1);
    Adapter& a = host::AddAdapter(Config("A", 1));
    EXPECT_FALSE(a.HasFilterModule());
    EXPECT_EQ(host::LiveNblPools(), 0u);
    Adapter& b = host::AddAdapter(Config("B", 2));
    EXPECT_TRUE(b.HasFilterModule());
}

TEST_F(NdisFilterModule, DeregistrationPausesThenDetachesEveryModule)
{
    host::AddAdapter(Config("A", 1));
    host::AddAdapter(Config("B", 2));
    ASSERT_EQ(RegisterTestFilter(), NDIS_STATUS_SUCCESS);
    g_filter.events.clear();
    host::SetDetachObserver([] { g_filter.events.push_back("observer"); });
    NdisFDeregisterFilterDriver(g_filter.driverHandle);
    host::SetDetachObserver(nullptr);
    EXPECT_EQ(g_filter.events,
        (std::vector<std::string>{"pause A", "observer", "detach A", "pause B", "observer", "detach B"}));
    EXPECT_FALSE(host::IsFilterRegistered());
    for (Adapter* a : host::Adapters()) {
        EXPECT_FALSE(a->HasFilterModule());
    }
    EXPECT_EQ(host::LiveNblPools(), 0u);
}

TEST_F(NdisFilterModule, RemovingAnAdapterPausesAndDetachesItsModuleOnly)
{
    Adapter& a = host::AddAdapter(Config("A", 1));
    Adapter& b = host::AddAdapter(Config("B", 2));
    ASSERT_EQ(RegisterTestFilter(), NDIS_STATUS_SUCCESS);
    g_filter.events.clear();
    host::RemoveAdapter(a);
    EXPECT_EQ(g_filter.events, (std::vector<std::string>{"pause A", "detach A"}));
    EXPECT_EQ(host::Adapters(), std::vector<Adapter*>{&b});
    EXPECT_TRUE(b.HasFilterModule());
}

TEST_F(NdisFilterModule, APausedStackTakesNoTrafficUntilItRestarts)
{
    g_filter.lookaheadToSet = 128;
    ASSERT_EQ(RegisterTestFilter(), NDIS_STATUS_SUCCESS);
    Adapter& a = host::AddAdapter(Config("A", 1));
    a.SetProtocolReturns(host::ProtocolReturns::Hold);
    auto held = Frames({0x01});
    a.Indicate(held[0]->List(), 0, 0);
    g_filter.events.clear();
    a.Pause();
    EXPECT_EQ(a.ModuleStateNow(), host::ModuleState::Paused);
    EXPECT_EQ(g_filter.events, std::vector<std::string>{"pause A"});
    EXPECT_EQ(a.OutstandingAtMiniport(), 0u) << "the protocol returned what it held before the pause";

    auto packets = Frames({0x02});
    a.Indicate(packets[0]->List(), 0, 0);
    EXPECT_EQ(a.IndicatedAbove().size(), 1u) << "nothing reaches the protocol while paused";
    a.SendFromProtocol(packets[0]->List(), 0, 0);
    EXPECT_TRUE(a.SentToMiniport().empty());
    ASSERT_EQ(a.SendCompletionsAbove().size(), 1u);
    EXPECT_NE(a.SendCompletionsAbove()[0].statuses[0], NDIS_STATUS_SUCCESS);

    a.Restart();
    EXPECT_EQ(a.ModuleStateNow(), host::ModuleState::Running);
    EXPECT_EQ(g_filter.events, (std::vector<std::string>{"pause A", "restart A"}));
    EXPECT_EQ(a.LookaheadVisibleAbove(), 128u);
}

TEST_F(NdisFilterModule, ThirtyThreeAdaptersEachGetAModule)
{
    ASSERT_EQ(RegisterTestFilter(), NDIS_STATUS_SUCCESS);
    std::vector<Adapter*> adapters;
    for (uint8_t i = 0; i < 33; ++i) {
        AdapterConfig c;
        c.mac = {0x02, 0, 0, 0, 1, i};
        adapters.push_back(&host::AddAdapter(c));
    }
    std::set<NDIS_HANDLE> handles;
    for (Adapter* a : adapters) {
        EXPECT_TRUE(a->HasFilterModule());
        handles.insert(a->FilterModuleHandle());
    }
    EXPECT_EQ(handles.size(), 33u);
    EXPECT_EQ(g_filter.modules.size(), 33u);
}

// ---------------------------------------------------------------------------------------------
// Receive and return.
TEST_F(NdisReceive, PassedListsGoUpInOneChainAndConsumedOnesComeStraightBack)
{
    ASSERT_EQ(RegisterTestFilter(), NDIS_STATUS_SUCCESS);
    Adapter& a = host::AddAdapter(Config("A", 1));
    auto packets = Frames({0x01, CONSUME_MARK, 0x03, CONSUME_MARK, 0x05});
    a.Indicate(host::LinkPackets(packets), 3, NDIS_RECEIVE_FLAGS_DISPATCH_LEVEL);

    EXPECT_EQ(ModuleOf(a)->receiveIrql, DISPATCH_LEVEL);
    auto up = a.IndicatedAbove();
    ASSERT_EQ(up.size(), 1u);
    EXPECT_EQ(up[0].lists, (std::vector<PNET_BUFFER_LIST>{packets[0]->List(), packets[2]->List(), packets[4]->List()}));
    EXPECT_EQ(up[0].count, 3u);
    EXPECT_EQ(up[0].port, 3u);
    EXPECT_EQ(up[0].flags, NDIS_RECEIVE_FLAGS_DISPATCH_LEVEL);
    auto back = a.ReturnedToMiniport();
    ASSERT_EQ(back.size(), 2u) << "the consumed chain, then the protocol's return through the filter";
    EXPECT_EQ(back[0].lists, (std::vector<PNET_BUFFER_LIST>{packets[1]->List(), packets[3]->List()}));
    EXPECT_EQ(back[0].flags, NDIS_RETURN_FLAGS_DISPATCH_LEVEL);
    EXPECT_EQ(back[1].lists, up[0].lists);
    EXPECT_EQ(a.OutstandingAtMiniport(), 0u);
    EXPECT_EQ(a.HeldByProtocol(), 0u);
}

TEST_F(NdisReceive, AtPassiveLevelTheReceiveHandlerRunsAtPassive)
{
    ASSERT_EQ(RegisterTestFilter(), NDIS_STATUS_SUCCESS);
    Adapter& a = host::AddAdapter(Config("A", 1));
    auto packets = Frames({0x01});
    a.Indicate(host::LinkPackets(packets), 0, 0);
    EXPECT_EQ(ModuleOf(a)->receiveIrql, PASSIVE_LEVEL);
}

TEST_F(NdisReceive, ListsHeldByTheProtocolComeBackThroughTheFilterWhenReturned)
{
    ASSERT_EQ(RegisterTestFilter(), NDIS_STATUS_SUCCESS);
    Adapter& a = host::AddAdapter(Config("A", 1));
    a.SetProtocolReturns(host::ProtocolReturns::Hold);
    auto first = Frames({0x01, 0x02});
    auto second = Frames({0x03});
    a.Indicate(host::LinkPackets(first), 0, 0);
    a.Indicate(host::LinkPackets(second), 0, 0);
    EXPECT_EQ(a.HeldByProtocol(), 3u);
    EXPECT_EQ(a.OutstandingAtMiniport(), 3u);
    EXPECT_TRUE(a.ReturnedToMiniport().empty());
    a.ReturnHeldReceives();
    ASSERT_EQ(a.ReturnedToMiniport().size(), 1u);
    EXPECT_EQ(a.ReturnedToMiniport()[0].lists,
        (std::vector<PNET_BUFFER_LIST>{first[0]->List(), first[1]->List(), second[0]->List()}));
    EXPECT_EQ(a.OutstandingAtMiniport(), 0u);
}

TEST_F(NdisReceive, AProtocolThatReturnsImmediatelyReturnsInsideTheIndication)
{
    ASSERT_EQ(RegisterTestFilter(), NDIS_STATUS_SUCCESS);
    Adapter& a = host::AddAdapter(Config("A", 1));
    a.SetProtocolReturns(host::ProtocolReturns::Immediately);
    auto packets = Frames({0x01, CONSUME_MARK});
    a.Indicate(host::LinkPackets(packets), 0, 0);
    auto back = a.ReturnedToMiniport();
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(back[0].lists, std::vector<PNET_BUFFER_LIST>{packets[0]->List()}) << "returned before the filter returns";
    EXPECT_EQ(back[1].lists, std::vector<PNET_BUFFER_LIST>{packets[1]->List()});
}

TEST_F(NdisReceive, ResourcesIndicationsAreHandledOneByOneAndKeepTheirLinks)
{
    ASSERT_EQ(RegisterTestFilter(), NDIS_STATUS_SUCCESS);
    Adapter& a = host::AddAdapter(Config("A", 1));
    auto packets = Frames({0x01, CONSUME_MARK, 0x03, CONSUME_MARK, 0x05});
    PNET_BUFFER_LIST chain = host::LinkPackets(packets);
    a.Indicate(chain, 0, NDIS_RECEIVE_FLAGS_RESOURCES);
    auto up = a.IndicatedAbove();
    ASSERT_EQ(up.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(up[i].lists, std::vector<PNET_BUFFER_LIST>{packets[i * 2]->List()});
        EXPECT_EQ(up[i].count, 1u);
        EXPECT_EQ(up[i].flags, NDIS_RECEIVE_FLAGS_RESOURCES);
    }
    EXPECT_TRUE(a.ReturnedToMiniport().empty());
    EXPECT_EQ(host::ChainToVector(chain).size(), 5u);
    EXPECT_EQ(a.OutstandingAtMiniport(), 0u);
}

TEST_F(NdisReceive, ResourcesListsWhoseLinksAreNotRestoredAreCaught)
{
    ASSERT_EQ(RegisterTestFilter(), NDIS_STATUS_SUCCESS);
    Adapter& a = host::AddAdapter(Config("A", 1));
    g_filter.receiveMode = ReceiveMode::Drop;   // cuts the links and leaves them cut
    auto packets = Frames({0x01, 0x02});
    ExpectViolation expect(Rule::NblMisuse);
    a.Indicate(host::LinkPackets(packets), 0, NDIS_RECEIVE_FLAGS_RESOURCES);
    EXPECT_TRUE(expect.Fired());
}

TEST_F(NdisReceive, AListReturnedTwiceIsCaught)
{
    ASSERT_EQ(RegisterTestFilter(), NDIS_STATUS_SUCCESS);
    Adapter& a = host::AddAdapter(Config("A", 1));
    g_filter.receiveMode = ReceiveMode::ReturnTwice;
    auto packets = Frames({0x01});
    ExpectViolation expect(Rule::NblMisuse);
    a.Indicate(host::LinkPackets(packets), 0, 0);
    ASSERT_EQ(expect.Caught().size(), 1u);
    EXPECT_NE(expect.Caught()[0].what.find("returned twice"), std::string::npos) << expect.Caught()[0].what;
}

TEST_F(NdisReceive, AListReturnedChangedIsCaught)
{
    ASSERT_EQ(RegisterTestFilter(), NDIS_STATUS_SUCCESS);
    Adapter& a = host::AddAdapter(Config("A", 1));
    g_filter.receiveMode = ReceiveMode::ChangeLength;
    auto packets = Frames({0x01});
    ExpectViolation expect(Rule::NblMisuse);
    a.Indicate(host::LinkPackets(packets), 0, 0);
    ASSERT_EQ(expect.Caught().size(), 1u);
    EXPECT_NE(expect.Caught()[0].what.find("DataLength"), std::string::npos) << expect.Caught()[0].what;
}

TEST_F(NdisReceive, AListNeverReturnedIsCaughtWhenTheAdapterGoes)
{
    ASSERT_EQ(RegisterTestFilter(), NDIS_STATUS_SUCCESS);
    Adapter& a = host::AddAdapter(Config("A", 1));
    g_filter.receiveMode = ReceiveMode::Drop;
    auto packets = Frames({0x01, 0x02});
    a.Indicate(host::LinkPackets(packets), 0, 0);
    EXPECT_EQ(a.OutstandingAtMiniport(), 2u);
    ExpectViolation expect(Rule::NblMisuse);
    host::RemoveAdapter(a);
    EXPECT_EQ(expect.Caught().size(), 2u);
}

TEST_F(NdisReceive, AnIndicationWhoseCountIsNotTheChainLengthBreaksTheContract)
{
    ASSERT_EQ(RegisterTestFilter(), NDIS_STATUS_SUCCESS);
    Adapter& a = host::AddAdapter(Config("A", 1));
    g_filter.receiveMode = ReceiveMode::WrongCount;
    auto packets = Frames({0x01, 0x02});
    ExpectViolation expect(Rule::NdisContract);
    a.Indicate(host::LinkPackets(packets), 0, 0);
    EXPECT_TRUE(expect.Fired());
    EXPECT_EQ(a.OutstandingAtMiniport(), 0u) << "the protocol still returned what it got";
}

TEST_F(NdisReceive, AFilterWithoutDataHandlersIsBypassed)
{
    NDIS_FILTER_DRIVER_CHARACTERISTICS chars = TestCharacteristics();
    chars.ReceiveNetBufferListsHandler = nullptr;
    chars.ReturnNetBufferListsHandler = nullptr;
    chars.SendNetBufferListsHandler = nullptr;
    chars.SendNetBufferListsCompleteHandler = nullptr;
    ASSERT_EQ(RegisterTestFilter(&chars), NDIS_STATUS_SUCCESS);
    Adapter& a = host::AddAdapter(Config("A", 1));
    auto packets = Frames({CONSUME_MARK, 0x02});
    a.Indicate(host::LinkPackets(packets), 0, 0);
    EXPECT_EQ(ModuleOf(a)->receiveIrql, 0xFF) << "the filter's receive handler never ran";
    ASSERT_EQ(a.IndicatedAbove().size(), 1u);
    EXPECT_EQ(a.IndicatedAbove()[0].count, 2u);
    EXPECT_EQ(a.OutstandingAtMiniport(), 0u);
    auto sends = Frames({0x07});
    a.SendFromProtocol(host::LinkPackets(sends), 0, 0);
    ASSERT_EQ(a.SendCompletionsAbove().size(), 1u);
    EXPECT_EQ(a.SendCompletionsAbove()[0].lists, std::vector<PNET_BUFFER_LIST>{sends[0]->List()});
}

// ---------------------------------------------------------------------------------------------
// Packets.
TEST_F(NdisPackets, BuiltPacketsDescribeTheirBytesThroughEveryKindOfSegment)
{
    std::vector<uint8_t> frame = Frame(0x01, 100, 0x40);
    auto split = host::PacketBuilder().SplitFrame(frame, 42, host::SegmentMapping::MappedToSystemVa).Build();
    EXPECT_EQ(host::NetBufferBytes(split->NetBuffer(0)), frame);
    PMDL first = split->NetBuffer(0)->MdlChain;
    EXPECT_EQ(first->ByteCount, 42u);
    ASSERT_NE(first->Next, nullptr);
    EXPECT_EQ(first->Next->ByteCount, 58u);

    std::vector<uint8_t> padded(10 + 30, 0xEE);
    std::copy(frame.begin(), frame.begin() + 30, padded.begin() + 10);
    auto offset = host::PacketBuilder()
                      .Segment(padded)
                      .Segment(std::vector<uint8_t>(frame.begin() + 30, frame.end()), host::SegmentMapping::Unmapped)
                      .Offset(10)
                      .Build();
    EXPECT_EQ(offset->NetBuffer(0)->CurrentMdlOffset, 10u);
    EXPECT_EQ(offset->NetBuffer(0)->DataLength, 100u);
    EXPECT_EQ(host::NetBufferBytes(offset->NetBuffer(0)), frame);
    PMDL unmapped = offset->NetBuffer(0)->MdlChain->Next;
    EXPECT_EQ(unmapped->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL), 0);
    auto* mapped = static_cast<uint8_t*>(MmGetSystemAddressForMdlSafe(unmapped, NormalPagePriority));
    ASSERT_NE(mapped, nullptr);
    EXPECT_EQ(mapped[0], frame[30]);

    auto two = host::PacketBuilder().Segment(Frame(1, 20)).NextNetBuffer().Segment(Frame(2, 30)).Length(25).Build();
    ASSERT_EQ(two->NetBufferCount(), 2u);
    EXPECT_EQ(two->List()->FirstNetBuffer->Next, two->NetBuffer(1));
    EXPECT_EQ(host::NetBufferBytes(two->NetBuffer(1)).size(), 25u);
}

// ---------------------------------------------------------------------------------------------
// Send and completion.
TEST_F(NdisSend, ASendFromTheProtocolReachesTheMiniportUnchangedAndCompletesBack)
{
    ASSERT_EQ(RegisterTestFilter(), NDIS_STATUS_SUCCESS);
    Adapter& a = host::AddAdapter(Config("A", 1));
    auto packets = Frames({0x11, 0x12});
    a.SendFromProtocol(host::LinkPackets(packets), 5, 0);
    auto sent = a.SentToMiniport();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].lists, (std::vector<PNET_BUFFER_LIST>{packets[0]->List(), packets[1]->List()}));
    EXPECT_EQ(sent[0].port, 5u);
    EXPECT_EQ(sent[0].flags, 0u);
    EXPECT_EQ(host::NetBufferBytes(sent[0].lists[1]->FirstNetBuffer), Frame(0x12, 60, 32));
    auto done = a.SendCompletionsAbove();
    ASSERT_EQ(done.size(), 2u) << "the test filter completes one list at a time";
    EXPECT_EQ(done[0].lists, std::vector<PNET_BUFFER_LIST>{packets[0]->List()});
    EXPECT_EQ(done[1].lists, std::vector<PNET_BUFFER_LIST>{packets[1]->List()});
    EXPECT_EQ(done[0].statuses, std::vector<NDIS_STATUS>{NDIS_STATUS_SUCCESS});
}

TEST_F(NdisSend, HeldSendsCompleteInBatchesMixingOwnAndForwardedLists)
{
    ASSERT_EQ(RegisterTestFilter(), NDIS_STATUS_SUCCESS);
    Adapter& a = host::AddAdapter(Config("A", 1));
    a.SetMiniportSends(host::MiniportSends::Hold);
    auto forwarded = Frames({0x21, 0x22});
    a.SendFromProtocol(forwarded[0]->List(), 0, 0);
    ASSERT_TRUE(SendOwnPacket(*ModuleOf(a), 0xAB));
    a.SendFromProtocol(forwarded[1]->List(), 0, 0);
    ASSERT_EQ(a.SendsHeldByMiniport(), 3u);
    auto sent = a.SentToMiniport();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(host::NetBufferBytes(sent[1].lists[0]->FirstNetBuffer), std::vector<uint8_t>(80, 0xAB));

    EXPECT_EQ(a.CompleteSends(2, NDIS_STATUS_FAILURE), 2u);
    EXPECT_EQ(g_filter.ownCompletions, 1u);
    ASSERT_EQ(a.SendCompletionsAbove().size(), 1u);
    EXPECT_EQ(a.SendCompletionsAbove()[0].lists, std::vector<PNET_BUFFER_LIST>{forwarded[0]->List()});
    EXPECT_EQ(a.SendCompletionsAbove()[0].statuses, std::vector<NDIS_STATUS>{NDIS_STATUS_FAILURE});
    EXPECT_EQ(a.SendCompletionsAbove()[0].flags, NDIS_SEND_COMPLETE_FLAGS_DISPATCH_LEVEL);

    EXPECT_EQ(a.CompleteSends(), 1u);
    ASSERT_EQ(a.SendCompletionsAbove().size(), 2u);
    EXPECT_EQ(a.SendCompletionsAbove()[1].lists, std::vector<PNET_BUFFER_LIST>{forwarded[1]->List()});
    EXPECT_EQ(a.SendsHeldByMiniport(), 0u);
    EXPECT_EQ(host::PoolUsageOfTag(TEST_TAG).blocks, 0u) << "the own packet's buffer was freed";
}

TEST_F(NdisSend, ASendCompletedTwiceIsCaught)
{
    ASSERT_EQ(RegisterTestFilter(), NDIS_STATUS_SUCCESS);
    Adapter& a = host::AddAdapter(Config("A", 1));
    auto packets = Frames({0x31});
    a.SendFromProtocol(packets[0]->List(), 0, 0);
    ExpectViolation expect(Rule::NblMisuse);
    NdisFSendNetBufferListsComplete(a.FilterModuleHandle(), packets[0]->List(), 0);
    EXPECT_TRUE(expect.Fired());
}

TEST_F(NdisSend, AProtocolSendTheFilterNeverCompletesIsCaughtAtRemoval)
{
    NDIS_FILTER_DRIVER_CHARACTERISTICS chars = TestCharacteristics();
    chars.SendNetBufferListsHandler = [](NDIS_HANDLE, PNET_BUFFER_LIST, NDIS_PORT_NUMBER, ULONG) {};
    ASSERT_EQ(RegisterTestFilter(&chars), NDIS_STATUS_SUCCESS);
    Adapter& a = host::AddAdapter(Config("A", 1));
    auto packets = Frames({0x31});
    a.SendFromProtocol(packets[0]->List(), 0, 0);
    ExpectViolation expect(Rule::NblMisuse);
    host::RemoveAdapter(a);
    EXPECT_EQ(expect.Caught().size(), 1u);
}

TEST_F(NdisSend, ADispatchLevelFlagGivenAtPassiveLevelBreaksTheContract)
{
    ASSERT_EQ(RegisterTestFilter(), NDIS_STATUS_SUCCESS);
    Adapter& a = host::AddAdapter(Config("A", 1));
    g_filter.receiveMode = ReceiveMode::Drop;   // the filter keeps the list; the test returns it
    auto packets = Frames({0x01});
    a.Indicate(packets[0]->List(), 0, 0);
    ExpectViolation expect(Rule::NdisContract);
    NdisFReturnNetBufferLists(a.FilterModuleHandle(), packets[0]->List(), NDIS_RETURN_FLAGS_DISPATCH_LEVEL);
    EXPECT_TRUE(expect.Fired());
    EXPECT_EQ(a.OutstandingAtMiniport(), 0u);
}

// ---------------------------------------------------------------------------------------------
// NBL pools and MDLs.
TEST_F(NdisPools, APoolFreedWithListsOutIsCaught)
{
    NET_BUFFER_LIST_POOL_PARAMETERS p{};
    p.Header = {NDIS_OBJECT_TYPE_DEFAULT, 1, 16};
    p.fAllocateNetBuffer = TRUE;
    p.PoolTag = TEST_TAG;
    NDIS_HANDLE pool = NdisAllocateNetBufferListPool(nullptr, &p);
    ASSERT_NE(pool, nullptr);
    PNET_BUFFER_LIST list = NdisAllocateNetBufferAndNetBufferList(pool, 0, 0, nullptr, 0, 0);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->NdisPoolHandle, pool);
    {
        ExpectViolation expect(Rule::NblPoolOutstanding);
        NdisFreeNetBufferListPool(pool);
        EXPECT_TRUE(expect.Fired());
    }
    NdisFreeNetBufferList(list);   // still freeable after its pool
    EXPECT_EQ(host::LiveNblPools(), 0u);
}

TEST_F(NdisPools, PoolParametersAndFaultsAreChecked)
{
    NET_BUFFER_LIST_POOL_PARAMETERS p{};
    p.Header = {NDIS_OBJECT_TYPE_DEFAULT, 1, 12};
    p.fAllocateNetBuffer = TRUE;
    {
        ExpectViolation expect(Rule::NdisContract);
        EXPECT_EQ(NdisAllocateNetBufferListPool(nullptr, &p), nullptr);
        EXPECT_TRUE(expect.Fired());
    }
    p.Header.Size = 16;
    host::FailCall(host::Fault::NblPoolAllocation, 1);
    EXPECT_EQ(NdisAllocateNetBufferListPool(nullptr, &p), nullptr);
    NDIS_HANDLE pool = NdisAllocateNetBufferListPool(nullptr, &p);
    ASSERT_NE(pool, nullptr);
    host::FailCall(host::Fault::NblAllocation, 1);
    EXPECT_EQ(NdisAllocateNetBufferAndNetBufferList(pool, 0, 0, nullptr, 0, 0), nullptr);
    NdisFreeNetBufferListPool(pool);
}

TEST_F(NdisPools, AllocatedListsStartAtTheDataOffsetAcrossTheirMdls)
{
    NET_BUFFER_LIST_POOL_PARAMETERS p{};
    p.Header = {NDIS_OBJECT_TYPE_DEFAULT, 1, 16};
    p.fAllocateNetBuffer = TRUE;
    NDIS_HANDLE pool = NdisAllocateNetBufferListPool(nullptr, &p);
    auto* memory = static_cast<uint8_t*>(NdisAllocateMemoryWithTagPriority(nullptr, 100, TEST_TAG, LowPoolPriority));
    for (int i = 0; i < 100; ++i) memory[i] = uint8_t(i);
    PMDL first = NdisAllocateMdl(nullptr, memory, 40);
    PMDL second = NdisAllocateMdl(nullptr, memory + 40, 60);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->MdlFlags, MDL_SOURCE_IS_NONPAGED_POOL);
    EXPECT_EQ(first->MappedSystemVa, memory);
    EXPECT_EQ(first->ByteCount, 40u);
    first->Next = second;
    PNET_BUFFER_LIST list = NdisAllocateNetBufferAndNetBufferList(pool, 0, 0, first, 50, 30);
    PNET_BUFFER nb = list->FirstNetBuffer;
    EXPECT_EQ(nb->MdlChain, first);
    EXPECT_EQ(nb->CurrentMdl, second);
    EXPECT_EQ(nb->CurrentMdlOffset, 10u);
    EXPECT_EQ(nb->DataOffset, 50u);
    std::vector<uint8_t> expected(memory + 50, memory + 80);
    EXPECT_EQ(host::NetBufferBytes(nb), expected);
    NdisFreeNetBufferList(list);
    NdisFreeMdl(first);
    NdisFreeMdl(second);
    NdisFreeMemory(memory, 100, 0);
    NdisFreeNetBufferListPool(pool);
    ExpectViolation expect(Rule::MdlMisuse);
    NdisFreeMdl(first);
    EXPECT_TRUE(expect.Fired()) << "an MDL freed twice";
}

TEST_F(NdisPools, AnNdisMdlOverMemoryThatIsNotPoolIsCaught)
{
    uint8_t stack[16];
    ExpectViolation expect(Rule::MdlMisuse);
    PMDL mdl = NdisAllocateMdl(nullptr, stack, sizeof stack);
    EXPECT_TRUE(expect.Fired());
    NdisFreeMdl(mdl);
}

// ---------------------------------------------------------------------------------------------
// OID requests.
NDIS_OID_REQUEST Query(NDIS_OID oid, void* buffer, ULONG length)
{
    NDIS_OID_REQUEST r{};
    r.Header = {NDIS_OBJECT_TYPE_OID_REQUEST, 1, sizeof(NDIS_OID_REQUEST)};
    r.RequestType = NdisRequestQueryInformation;
    r.RequestId = reinterpret_cast<PVOID>(0x77);
    r.DATA.QUERY_INFORMATION.Oid = oid;
    r.DATA.QUERY_INFORMATION.InformationBuffer = buffer;
    r.DATA.QUERY_INFORMATION.InformationBufferLength = length;
    return r;
}

TEST_F(NdisOid, AnOidTheMiniportAnswersAtOnceCompletesUpwardBeforePending)
{
    ASSERT_EQ(RegisterTestFilter(), NDIS_STATUS_SUCCESS);
    Adapter& a = host::AddAdapter(Config("A", 1));
    a.SetMiniportOidAnswer([](NDIS_OID_REQUEST& r) {
        *static_cast<ULONG*>(r.DATA.QUERY_INFORMATION.InformationBuffer) = 1500;
        r.DATA.QUERY_INFORMATION.BytesWritten = 4;
        r.DATA.QUERY_INFORMATION.BytesNeeded = 9;
        return NDIS_STATUS_SUCCESS;
    });
    ULONG value = 0;
    NDIS_OID_REQUEST request = Query(0x00010106, &value, sizeof value);
    EXPECT_EQ(a.OidRequestFromProtocol(&request), NDIS_STATUS_PENDING);
    auto below = a.OidRequestsBelow();
    ASSERT_EQ(below.size(), 1u);
    EXPECT_NE(below[0].request, &request) << "a clone went down";
    EXPECT_EQ(below[0].oid, 0x00010106u);
    auto done = a.OidCompletionsAbove();
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].request, &request);
    EXPECT_EQ(done[0].status, NDIS_STATUS_SUCCESS);
    EXPECT_FALSE(done[0].synchronous);
    EXPECT_EQ(done[0].bytesWritten, 4u);
    EXPECT_EQ(done[0].bytesNeeded, 9u);
    EXPECT_EQ(value, 1500u);
    EXPECT_EQ(host::OutstandingClones(), 0u);
}

TEST_F(NdisOid, AnOidTheMiniportPendsCompletesWhenTheMiniportFinishes)
{
    ASSERT_EQ(RegisterTestFilter(), NDIS_STATUS_SUCCESS);
    Adapter& a = host::AddAdapter(Config("A", 1));
    a.SetMiniportOidAnswer([](NDIS_OID_REQUEST&) { return NDIS_STATUS_PENDING; });
    NDIS_OID_REQUEST request = Query(0x00010106, nullptr, 0);
    EXPECT_EQ(a.OidRequestFromProtocol(&request), NDIS_STATUS_PENDING);
    EXPECT_TRUE(a.OidCompletionsAbove().empty());
    ASSERT_EQ(a.OidsPendingBelow().size(), 1u);
    EXPECT_EQ(host::OutstandingClones(), 1u);
    a.CancelOidFromProtocol(request.RequestId);
    EXPECT_EQ(a.OidCancelsBelow(), std::vector<PVOID>{request.RequestId});
    PNDIS_OID_REQUEST clone = a.OidsPendingBelow()[0];
    clone->DATA.QUERY_INFORMATION.BytesNeeded = 64;
    a.CompletePendingOid(clone, NDIS_STATUS_NOT_SUPPORTED);
    auto done = a.OidCompletionsAbove();
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].status, NDIS_STATUS_NOT_SUPPORTED);
    EXPECT_EQ(done[0].bytesNeeded, 64u);
    EXPECT_EQ(host::OutstandingClones(), 0u);
}

TEST_F(NdisOid, ACloneFailureFailsTheRequestSynchronously)
{
    ASSERT_EQ(RegisterTestFilter(), NDIS_STATUS_SUCCESS);
    Adapter& a = host::AddAdapter(Config("A", 1));
    host::FailCall(host::Fault::CloneOidRequest, 1);
    NDIS_OID_REQUEST request = Query(0x00010106, nullptr, 0);
    EXPECT_EQ(a.OidRequestFromProtocol(&request), NDIS_STATUS_RESOURCES);
    ASSERT_EQ(a.OidCompletionsAbove().size(), 1u);
    EXPECT_TRUE(a.OidCompletionsAbove()[0].synchronous);
    EXPECT_TRUE(a.OidRequestsBelow().empty());
}

TEST_F(NdisOid, ACloneNeverFreedIsCaughtWhenItsModuleDetaches)
{
    ASSERT_EQ(RegisterTestFilter(), NDIS_STATUS_SUCCESS);
    Adapter& a = host::AddAdapter(Config("A", 1));
    g_filter.freeCloneOnComplete = false;
    NDIS_OID_REQUEST request = Query(0x00010106, nullptr, 0);
    a.OidRequestFromProtocol(&request);
    EXPECT_EQ(host::OutstandingClones(), 1u);
    EXPECT_EQ(host::PoolUsageOfTag(TEST_TAG).blocks, 1u) << "the clone lives under the filter's tag";
    ExpectViolation expect(Rule::NdisContract);
    host::RemoveAdapter(a);
    EXPECT_EQ(expect.Caught().size(), 1u);
    EXPECT_EQ(host::OutstandingClones(), 0u);
}

TEST_F(NdisOid, CompletingAProtocolRequestTwiceBreaksTheContract)
{
    ASSERT_EQ(RegisterTestFilter(), NDIS_STATUS_SUCCESS);
    Adapter& a = host::AddAdapter(Config("A", 1));
    NDIS_OID_REQUEST request = Query(0x00010106, nullptr, 0);
    a.OidRequestFromProtocol(&request);
    ExpectViolation expect(Rule::NdisContract);
    NdisFOidRequestComplete(a.FilterModuleHandle(), &request, NDIS_STATUS_SUCCESS);
    EXPECT_TRUE(expect.Fired());
}

// ---------------------------------------------------------------------------------------------
// Status, PnP, cancel send.
TEST_F(NdisStatusAndPnP, StatusPnPAndCancelPassThroughTheFilter)
{
    ASSERT_EQ(RegisterTestFilter(), NDIS_STATUS_SUCCESS);
    Adapter& a = host::AddAdapter(Config("A", 1));
    ULONG linkState = 0x1234;
    NDIS_STATUS_INDICATION status{};
    status.StatusCode = 0x40010013;
    status.PortNumber = 2;
    status.StatusBuffer = &linkState;
    status.StatusBufferSize = sizeof linkState;
    a.IndicateStatusFromMiniport(&status);
    ASSERT_EQ(a.StatusIndicationsAbove().size(), 1u);
    EXPECT_EQ(a.StatusIndicationsAbove()[0].statusCode, 0x40010013);
    EXPECT_EQ(a.StatusIndicationsAbove()[0].port, 2u);
    EXPECT_EQ(a.StatusIndicationsAbove()[0].buffer, (std::vector<uint8_t>{0x34, 0x12, 0, 0}));

    NET_DEVICE_PNP_EVENT device{};
    device.DevicePnPEvent = NdisDevicePnPEventSurpriseRemoved;
    a.DevicePnPEventFromMiniport(&device);
    EXPECT_EQ(a.DevicePnPEventsBelow(), std::vector<NDIS_DEVICE_PNP_EVENT>{NdisDevicePnPEventSurpriseRemoved});

    NET_PNP_EVENT_NOTIFICATION net{};
    net.NetPnPEvent.NetEvent = 7;
    a.SetProtocolNetPnPStatus(NDIS_STATUS_NOT_SUPPORTED);
    EXPECT_EQ(a.NetPnPEventFromNdis(&net), NDIS_STATUS_NOT_SUPPORTED);
    EXPECT_EQ(a.NetPnPEventsAbove(), std::vector<ULONG>{7});

    int cancelId = 0;
    a.CancelSendFromProtocol(&cancelId);
    EXPECT_EQ(a.SendCancelsBelow(), std::vector<PVOID>{&cancelId});
}

TEST_F(NdisStatusAndPnP, AnNdisCallWithASpinLockHeldIsCaught)
{
    ASSERT_EQ(RegisterTestFilter(), NDIS_STATUS_SUCCESS);
    Adapter& a = host::AddAdapter(Config("A", 1));
    NET_DEVICE_PNP_EVENT device{};
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    ExpectViolation expect(Rule::SpinLockHeldAcrossCall);
    KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
    NDIS_STATUS_INDICATION status{};
    NdisFIndicateStatus(a.FilterModuleHandle(), &status);
    KeReleaseSpinLock(&lock, old);
    EXPECT_TRUE(expect.Fired());
    (void)device;
}

TEST_F(NdisStatusAndPnP, ACallWithAStaleModuleHandleIsCaught)
{
    ASSERT_EQ(RegisterTestFilter(), NDIS_STATUS_SUCCESS);
    Adapter& a = host::AddAdapter(Config("A", 1));
    NDIS_HANDLE handle = a.FilterModuleHandle();
    host::RemoveAdapter(a);
    ExpectViolation expect(Rule::NdisContract);
    NDIS_STATUS_INDICATION status{};
    NdisFIndicateStatus(handle, &status);
    EXPECT_TRUE(expect.Fired());
}

// ---------------------------------------------------------------------------------------------
// Control device.
NDIS_DEVICE_OBJECT_ATTRIBUTES DeviceAttributes(UNICODE_STRING* name, UNICODE_STRING* link, UNICODE_STRING* sddl,
    PDRIVER_DISPATCH* major)
{
    NDIS_DEVICE_OBJECT_ATTRIBUTES d{};
    d.Header = {NDIS_OBJECT_TYPE_DEVICE_OBJECT_ATTRIBUTES, 1, 56};
    d.DeviceName = name;
    d.SymbolicName = link;
    d.MajorFunctions = major;
    d.ExtensionSize = 16;
    d.DefaultSDDLString = sddl;
    return d;
}

TEST_F(NdisControlDevice, TheControlDeviceIsNamedLinkedAndHasAReservedExtension)
{
    ASSERT_EQ(RegisterTestFilter(), NDIS_STATUS_SUCCESS);
    UNICODE_STRING name, link, sddl;
    RtlInitUnicodeString(&name, u"\\Device\\TestFilterControl");
    RtlInitUnicodeString(&link, u"\\DosDevices\\TestFilterControl");
    RtlInitUnicodeString(&sddl, u"D:P(A;;GA;;;SY)");
    PDRIVER_DISPATCH major[IRP_MJ_MAXIMUM_FUNCTION + 1] = {};
    NDIS_DEVICE_OBJECT_ATTRIBUTES attributes = DeviceAttributes(&name, &link, &sddl, major);

    attributes.Header.Size = 48;
    PDEVICE_OBJECT device = nullptr;
    NDIS_HANDLE handle = nullptr;
    EXPECT_EQ(NdisRegisterDeviceEx(g_filter.driverHandle, &attributes, &device, &handle), NDIS_STATUS_INVALID_PARAMETER);
    attributes.Header.Size = 56;
    host::FailCall(host::Fault::DeviceRegistration, 1);
    EXPECT_EQ(NdisRegisterDeviceEx(g_filter.driverHandle, &attributes, &device, &handle), NDIS_STATUS_RESOURCES);
    EXPECT_EQ(host::FindDevice(u"\\Device\\TestFilterControl"), nullptr);

    ASSERT_EQ(NdisRegisterDeviceEx(g_filter.driverHandle, &attributes, &device, &handle), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(host::FindDevice(u"\\Device\\TestFilterControl"), device);
    EXPECT_EQ(host::SymbolicLinkTarget(u"\\DosDevices\\TestFilterControl"), u"\\Device\\TestFilterControl");
    EXPECT_EQ(host::DeviceSddl(device), u"D:P(A;;GA;;;SY)");
    auto* extension = static_cast<uint8_t*>(NdisGetDeviceReservedExtension(device));
    ASSERT_NE(extension, nullptr);
    std::memset(extension, 0x5A, 16);   // all 16 bytes are the driver's
    NdisDeregisterDeviceEx(handle);
    EXPECT_EQ(host::FindDevice(u"\\Device\\TestFilterControl"), nullptr);
    EXPECT_FALSE(host::SymbolicLinkExists(u"\\DosDevices\\TestFilterControl"));
}

// ---------------------------------------------------------------------------------------------
// Reset.
TEST_F(NdisReset, ResetReportsAFilterStillRegisteredAndDetachesIt)
{
    host::AddAdapter(Config("A", 1));
    ASSERT_EQ(RegisterTestFilter(), NDIS_STATUS_SUCCESS);
    g_filter.events.clear();
    ExpectViolation expect(Rule::NdisContract);
    host::ResetNdis();
    EXPECT_EQ(expect.Caught().size(), 1u);
    EXPECT_EQ(g_filter.events, (std::vector<std::string>{"pause A", "detach A"}));
    EXPECT_FALSE(host::IsFilterRegistered());
    EXPECT_TRUE(host::Adapters().empty());
}

}  // namespace
