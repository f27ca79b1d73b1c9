// Filter modules as NDIS and the event log see them: which adapters are accepted, the slots
// they take (visible in the PortId of a port bound to them), attach failures, pause and restart.
#include <gtest/gtest.h>

#include "control/control_device.h"
#include "host/verifier/checker.h"
#include "tests/support/gvsp_machine.h"

using namespace gvsptest;

namespace {

// The adapter slot a bind on `mac` lands in, from the PortId's upper half; -1 when refused.
int AdapterSlotOf(host::UserProcess& process, HANDLE handle, Mac mac, uint16_t udpPort)
{
    uint8_t input[8] = {mac[0], mac[1], mac[2], mac[3], mac[4], mac[5], uint8_t(udpPort), uint8_t(udpPort >> 8)};
    uint32_t portId = 0;
    ULONG_PTR information = 0;
    NTSTATUS status = process.NtDeviceIoControlFile(handle, IOCTL_STREAM_BIND_PORT, input, sizeof input, &portId,
        sizeof portId, &information);
    return status == STATUS_SUCCESS ? int(portId >> 16) - 1 : -1;
}

class FilterModule : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(m.Load(), STATUS_SUCCESS); }

    int SlotOf(Mac mac)
    {
        HANDLE handle = process().CreateFile(u"\\\\.\\jwGenICamForEthernet");
        int slot = AdapterSlotOf(process(), handle, mac, 50000);
        process().CloseHandle(handle);
        return slot;
    }
    host::UserProcess& process()
    {
        if (process_ == nullptr) {
            process_ = &m.NewProcess();
        }
        return *process_;
    }

    GvspMachine m;
    host::UserProcess* process_ = nullptr;
};

TEST_F(FilterModule, AdaptersTakeTheHighestFreeSlot)
{
    host::Adapter& first = m.AddAdapter(MacOf(0x10));
    m.AddAdapter(MacOf(0x11));
    EXPECT_EQ(SlotOf(MacOf(0x10)), 31);
    EXPECT_EQ(SlotOf(MacOf(0x11)), 30);

    host::RemoveAdapter(first);
    m.AddAdapter(MacOf(0x12));
    EXPECT_EQ(SlotOf(MacOf(0x12)), 31);
}

TEST_F(FilterModule, AcceptsEthernetAndWanAndRefusesOtherMedia)
{
    EXPECT_TRUE(m.AddAdapter(MacOf(0x20), NdisMedium802_3).HasFilterModule());
    EXPECT_TRUE(m.AddAdapter(MacOf(0x21), NdisMediumWan).HasFilterModule());
    m.ClearEvents();

    host::Adapter& wireless = m.AddAdapter(MacOf(0x22), NdisMediumNative802_11);
    EXPECT_FALSE(wireless.HasFilterModule());
    EXPECT_EQ(wireless.LastAttachStatus(), NDIS_STATUS_INVALID_PARAMETER);
    auto rejected = m.EventsOf(MSG_MEDIA_TYPE_REJECTED);
    ASSERT_EQ(rejected.size(), 1u);
    EXPECT_EQ(rejected[0].Insertion(), "MediaType:16");
    EXPECT_EQ(m.Events().size(), 1u);
}

TEST_F(FilterModule, RefusesASecondModuleForAnAttachedMacSilently)
{
    m.AddAdapter(MacOf(0x30));
    m.ClearEvents();
    host::Adapter& twin = m.AddAdapter(MacOf(0x30));
    EXPECT_FALSE(twin.HasFilterModule());
    EXPECT_EQ(twin.LastAttachStatus(), NDIS_STATUS_NOT_SUPPORTED);
    EXPECT_TRUE(m.Events().empty());
}

TEST_F(FilterModule, LogsTheMacInLowerCaseHexPairs)
{
    host::Adapter& adapter = m.AddAdapter({0x00, 0x1B, 0x2C, 0x3D, 0x4E, 0x5F});
    host::RemoveAdapter(adapter);
    auto attached = m.EventsOf(MSG_NIC_ATTACHED);
    auto detached = m.EventsOf(MSG_NIC_DETACHED);
    ASSERT_EQ(attached.size(), 1u);
    ASSERT_EQ(detached.size(), 1u);
    EXPECT_EQ(attached[0].Insertion(), "MAC:00-1b-2c-3d-4e-5f");
    EXPECT_EQ(attached[0].Render(), "NIC attached. MAC:00-1b-2c-3d-4e-5f.\r\n");
    EXPECT_EQ(detached[0].Insertion(), "MAC:00-1b-2c-3d-4e-5f");
}

TEST_F(FilterModule, EachAttachFailureLogsItsCauseAndLeavesNothing)
{
    m.ClearEvents();

    host::FailCall(host::Fault::PoolAllocation, 1);
    host::Adapter& noRecord = m.AddAdapter(MacOf(0x40));
    EXPECT_EQ(noRecord.LastAttachStatus(), NDIS_STATUS_RESOURCES);
    auto recordFailure = m.EventsOf(MSG_ALLOC_FAILED);
    ASSERT_EQ(recordFailure.size(), 1u);
    EXPECT_EQ(recordFailure[0].UniqueErrorValue(), 0u);
    // The record and the three names copied behind it.
    size_t names = 2 * (noRecord.Config().friendlyName.size() + noRecord.Config().deviceName.size()) +
                   noRecord.FilterModuleNameBytes();
    EXPECT_EQ(recordFailure[0].Insertion(), "Size:" + std::to_string(sizeof(FilterAdapter) + names));
    m.ClearEvents();

    host::FailCall(host::Fault::NblPoolAllocation, 1);
    host::Adapter& noPool = m.AddAdapter(MacOf(0x41));
    EXPECT_EQ(noPool.LastAttachStatus(), NDIS_STATUS_RESOURCES);
    auto poolFailure = m.EventsOf(MSG_ALLOC_FAILED);
    ASSERT_EQ(poolFailure.size(), 1u);
    EXPECT_EQ(poolFailure[0].UniqueErrorValue(), 1u);
    EXPECT_EQ(poolFailure[0].Insertion(), "Size:0");
    m.ClearEvents();

    host::FailCall(host::Fault::SetAttributes, 1, static_cast<int32_t>(NDIS_STATUS_FAILURE));
    host::Adapter& noAttributes = m.AddAdapter(MacOf(0x42));
    EXPECT_EQ(noAttributes.LastAttachStatus(), NDIS_STATUS_FAILURE);
    auto attributesFailure = m.EventsOf(MSG_SET_ATTRIBUTES_FAILED);
    ASSERT_EQ(attributesFailure.size(), 1u);
    EXPECT_EQ(attributesFailure[0].Insertion(), "Status:0xC0000001");

    for (host::Adapter* a : {&noRecord, &noPool, &noAttributes}) {
        EXPECT_FALSE(a->HasFilterModule());
    }
    EXPECT_EQ(host::PoolUsageOfTag(POOL_TAG).blocks, 0u);
    EXPECT_EQ(SlotOf(MacOf(0x40)), -1);
}

TEST_F(FilterModule, PortsStayBoundAcrossAPause)
{
    host::Adapter& adapter = m.AddAdapter(MacOf(0x60));
    HANDLE handle = process().CreateFile(u"\\\\.\\jwGenICamForEthernet");
    ASSERT_EQ(AdapterSlotOf(process(), handle, MacOf(0x60), 40000), 31);

    adapter.Pause();
    EXPECT_EQ(adapter.ModuleStateNow(), host::ModuleState::Paused);
    adapter.Restart();
    EXPECT_EQ(adapter.ModuleStateNow(), host::ModuleState::Running);

    // Still bound: the same port again on the same adapter is a duplicate.
    HANDLE other = process().CreateFile(u"\\\\.\\jwGenICamForEthernet");
    EXPECT_EQ(AdapterSlotOf(process(), other, MacOf(0x60), 40000), -1);
    process().CloseHandle(other);
    process().CloseHandle(handle);
}

// The general attributes come behind another OID's entry: the filter finds them by their OID.
TEST_F(FilterModule, ARestartShowsTheProtocolsTheFiltersLookahead)
{
    EXPECT_EQ(m.AddAdapter(MacOf(0x61)).LookaheadVisibleAbove(), 128u);
}

TEST_F(FilterModule, AThirtyThirdAdapterIsRefused)
{
    for (uint8_t i = 0; i < MAX_ADAPTERS; ++i) {
        ASSERT_TRUE(m.AddAdapter(MacOf(0x80 + i)).HasFilterModule()) << int(i);
    }
    host::Adapter& extra = m.AddAdapter(MacOf(0xF0));
    EXPECT_FALSE(extra.HasFilterModule());
    EXPECT_EQ(extra.LastAttachStatus(), NDIS_STATUS_RESOURCES);
    EXPECT_EQ(SlotOf(MacOf(0x80)), 31);
    EXPECT_EQ(SlotOf(MacOf(0x80 + 31)), 0);
}

TEST_F(FilterModule, SetOptionsAcceptsOnlyTheDriversOwnHandleAndContext)
{
    EXPECT_EQ(FilterSetOptions(host::FilterDriverHandle(), m.Machine().DriverObject()), NDIS_STATUS_SUCCESS);
    EXPECT_EQ(FilterSetOptions(nullptr, m.Machine().DriverObject()), NDIS_STATUS_INVALID_PARAMETER);
    EXPECT_EQ(FilterSetOptions(host::FilterDriverHandle(), nullptr), NDIS_STATUS_INVALID_PARAMETER);
}

}  // namespace
