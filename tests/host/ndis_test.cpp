// Filter registration on the emulated NDIS: characteristics NDIS would refuse are refused before
// any handler runs, and the NDIS 6 versions with either revision are accepted. (The module
// lifecycle, receive, send, OID, status and PnP paths are crossed by the driver's own tests.)
#include <gtest/gtest.h>

#include <functional>
#include <set>
#include <vector>

#include "host/io/io.h"
#include "host/machine.h"
#include "host/ndis/ndis.h"
#include "host/verifier/faults.h"

namespace {

int HandlerCalls = 0;   // every handler of the registering filter counts itself
WCHAR FRIENDLY[] = u"Test Lightweight Filter";
WCHAR UNIQUE[] = u"{0B6E1E7A-7E0D-4C4A-9E57-5D6B3C2A1F00}";
WCHAR SERVICE[] = u"testfilter";

UNICODE_STRING Name(WCHAR* text)
{
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, text);
    return s;
}

// A filter whose attach fails, so that a registration that gets through attaches nothing.
NDIS_FILTER_DRIVER_CHARACTERISTICS Characteristics()
{
    NDIS_FILTER_DRIVER_CHARACTERISTICS c{};
    c.Header = {NDIS_OBJECT_TYPE_FILTER_DRIVER_CHARACTERISTICS, NDIS_FILTER_CHARACTERISTICS_REVISION_2,
        NDIS_SIZEOF_FILTER_DRIVER_CHARACTERISTICS_REVISION_2};
    c.MajorNdisVersion = 6;
    c.MinorNdisVersion = 20;
    c.FriendlyName = Name(FRIENDLY);
    c.UniqueName = Name(UNIQUE);
    c.ServiceName = Name(SERVICE);
    c.AttachHandler = [](NDIS_HANDLE, NDIS_HANDLE, PNDIS_FILTER_ATTACH_PARAMETERS) -> NDIS_STATUS {
        ++HandlerCalls;
        return NDIS_STATUS_FAILURE;
    };
    c.DetachHandler = [](NDIS_HANDLE) { ++HandlerCalls; };
    c.RestartHandler = [](NDIS_HANDLE, PNDIS_FILTER_RESTART_PARAMETERS) -> NDIS_STATUS { return NDIS_STATUS_SUCCESS; };
    c.PauseHandler = [](NDIS_HANDLE, PNDIS_FILTER_PAUSE_PARAMETERS) -> NDIS_STATUS { return NDIS_STATUS_SUCCESS; };
    return c;
}

struct RegistrationCase {
    const char* what;
    std::function<void(NDIS_FILTER_DRIVER_CHARACTERISTICS&)> change;
    NDIS_STATUS expected;
};

TEST(NdisRegistration, CharacteristicsAreCheckedBeforeAnyHandlerRuns)
{
    const RegistrationCase cases[] = {
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
        {"revision 1, NDIS 6.0", [](auto& c) { c.Header = {c.Header.Type, 1, 200}; c.MinorNdisVersion = 0; }, NDIS_STATUS_SUCCESS},
        {"NDIS 6.1", [](auto& c) { c.MinorNdisVersion = 1; }, NDIS_STATUS_SUCCESS},
        {"NDIS 6.30", [](auto& c) { c.MinorNdisVersion = 30; }, NDIS_STATUS_SUCCESS},
    };
    host::Machine machine;
    PDRIVER_OBJECT driver = host::CreateDriverObject(u"\\Driver\\TestFilter");
    host::AdapterConfig config;
    config.mac = {0x02, 0, 0, 0, 0, 1};
    host::AddAdapter(config);
    for (const RegistrationCase& c : cases) {
        NDIS_FILTER_DRIVER_CHARACTERISTICS chars = Characteristics();
        c.change(chars);
        HandlerCalls = 0;
        NDIS_HANDLE handle = nullptr;
        EXPECT_EQ(NdisFRegisterFilterDriver(driver, driver, &chars, &handle), c.expected) << c.what;
        EXPECT_EQ(host::IsFilterRegistered(), c.expected == NDIS_STATUS_SUCCESS) << c.what;
        EXPECT_EQ(HandlerCalls, c.expected == NDIS_STATUS_SUCCESS ? 1 : 0) << c.what << ": the attach alone";
        if (host::IsFilterRegistered()) {
            NdisFDeregisterFilterDriver(handle);
        }
    }
    host::FailCall(host::Fault::FilterRegistration, 1, NDIS_STATUS_FAILURE);
    NDIS_FILTER_DRIVER_CHARACTERISTICS chars = Characteristics();
    NDIS_HANDLE handle = nullptr;
    EXPECT_EQ(NdisFRegisterFilterDriver(driver, driver, &chars, &handle), NDIS_STATUS_FAILURE);
    EXPECT_FALSE(host::IsFilterRegistered());
    host::DeleteDriverObject(driver);
}

// A miniport's receive pool over its own memory: frames beyond the lists it holds are dropped at
// once, the lists come back through the miniport's return handler, and the same lists serve again.
TEST(NdisReceivePool, FramesBeyondTheListsOutAreDroppedAndTheListsComeBackThroughTheReturn)
{
    host::Machine machine;
    host::AdapterConfig config;
    config.mac = {0x02, 0, 0, 0, 0, 2};
    host::Adapter& adapter = host::AddAdapter(config);
    host::ReceivePool pool(4);
    std::vector<uint8_t> ring(6 * 64);
    std::set<uintptr_t> returned;
    adapter.SetMiniportReturn([&](PNET_BUFFER_LIST list) { returned.insert(pool.Give(list)); });
    adapter.SetProtocolReturns(host::ProtocolReturns::Hold);

    std::set<PNET_BUFFER_LIST> lists;
    PNET_BUFFER_LIST head = nullptr, tail = nullptr;
    size_t dropped = 0;
    for (size_t i = 0; i < 6; ++i) {
        ring[i * 64] = static_cast<uint8_t>(i);
        PNET_BUFFER_LIST list = pool.Take(&ring[i * 64], 64, i);
        if (list == nullptr) {
            ++dropped;
            continue;
        }
        (head == nullptr ? head : tail->Next) = list;
        tail = list;
        lists.insert(list);
    }
    EXPECT_EQ(dropped, 2u);
    adapter.Indicate(head, 0, 0);
    ASSERT_EQ(adapter.HeldByProtocol(), 4u);
    // The protocol reads the miniport's memory in place.
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(head->Next->FirstNetBuffer->MdlChain, MdlMappingNoExecute), &ring[64]);
    EXPECT_EQ(host::NetBufferBytes(head->Next->FirstNetBuffer), std::vector<uint8_t>(ring.begin() + 64, ring.begin() + 128));
    EXPECT_TRUE(returned.empty());

    adapter.ReturnHeldReceives();
    EXPECT_EQ(returned, (std::set<uintptr_t>{0, 1, 2, 3}));
    EXPECT_EQ(pool.Available(), 4u);
    PNET_BUFFER_LIST again = pool.Take(&ring[4 * 64], 64, 4);
    EXPECT_TRUE(lists.count(again));
    pool.Give(again);
    adapter.SetMiniportReturn({});
}

}  // namespace
