// Driver load and unload as the machine sees them: what exists after a load, the event-log
// milestones, the order of teardown, and the complete unwinding of every failed load.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>

#include "host/io/io.h"
#include "host/verifier/checker.h"
#include "tests/support/gvsp_machine.h"

using namespace gvsptest;

namespace {

std::string StatusText(NTSTATUS status)
{
    char text[64];
    std::snprintf(text, sizeof text, "Version:%s. Status:0x%x", VERSION_TEXT, static_cast<unsigned>(status));
    return text;
}

TEST(DriverLoad, BringsUpTheFilterTheControlDeviceAndTheWorker)
{
    GvspMachine m;
    m.AddAdapter(MacOf(0x01));
    ASSERT_EQ(m.Load(), STATUS_SUCCESS);

    EXPECT_TRUE(host::IsFilterRegistered());
    PDEVICE_OBJECT control = host::FindDevice(u"\\Device\\jwGenICamForEthernet");
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(host::DeviceSddl(control), u"D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;BU)(A;;GA;;;WD)");
    EXPECT_EQ(host::SymbolicLinkTarget(u"\\DosDevices\\jwGenICamForEthernet"), u"\\Device\\jwGenICamForEthernet");
    EXPECT_EQ(host::RunningSystemThreads(), 1);

    // The extension carries the signature and the filter driver handle.
    auto* extension = static_cast<const uint8_t*>(NdisGetDeviceReservedExtension(control));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(extension), 4), "RDTF");
    NDIS_HANDLE handle = nullptr;
    std::memcpy(&handle, extension + 8, sizeof handle);
    EXPECT_EQ(handle, host::FilterDriverHandle());

    // No volume manager on this machine: a warning, then the milestone.
    EXPECT_EQ(m.EventSymbols(), (std::vector<std::string>{"MSG_NIC_ATTACHED", "MSG_NOTIFICATION_DEVICE_NOT_FOUND",
                                    "MSG_DRIVER_LOADED"}));
    host::EventLogEntry warning = m.EventsOf(MSG_NOTIFICATION_DEVICE_NOT_FOUND).at(0);
    EXPECT_EQ(warning.Insertion().rfind(std::string("Version:") + VERSION_TEXT + ". Status:0xc", 0), 0u)
        << warning.Insertion();
    EXPECT_NE(warning.Insertion().find(", PDO:0x0000000000000000"), std::string::npos) << warning.Insertion();
    host::EventLogEntry loaded = m.EventsOf(MSG_DRIVER_LOADED).at(0);
    EXPECT_EQ(loaded.Insertion().rfind(std::string("Edition:") + VERSION_TEXT + ". Built ", 0), 0u);
    EXPECT_EQ(loaded.Render().rfind("GigE Driver Loaded. Edition:2.2.1.167663. Built ", 0), 0u) << loaded.Render();
}

TEST(DriverLoad, FindsTheNotificationVolumeOfTheVolumeManager)
{
    GvspMachine m;
    PDRIVER_OBJECT volmgr = host::CreateDriverObject(u"\\Driver\\volmgr");
    host::CreateDevice(volmgr, u"\\Device\\VolMgrControl");
    PDEVICE_OBJECT volume = host::CreateDevice(volmgr, u"\\Device\\HarddiskVolume1");
    ASSERT_EQ(m.Load(), STATUS_SUCCESS);

    host::EventLogEntry found = m.EventsOf(MSG_NOTIFICATION_DEVICE_FOUND).at(0);
    char expected[128];
    std::snprintf(expected, sizeof expected, "Version:%s. Status:0x0, PDO:0x%016llX", VERSION_TEXT,
        static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(volume)));
    EXPECT_EQ(found.Insertion(), expected);
    EXPECT_EQ(DriverGlobals.NotificationDevice, volume);
    m.Unload();
    host::DeleteDevice(volume);
    host::DeleteDriverObject(volmgr);
}

TEST(DriverUnload, StopsTheWorkerAndRemovesEverything)
{
    GvspMachine m(host::MachineOptions{.virtualClock = true});
    host::Adapter& adapter = m.AddAdapter(MacOf(0x02));
    ASSERT_EQ(m.Load(), STATUS_SUCCESS);
    m.ClearEvents();

    // The worker sleeps in virtual time; unload still waits for it to end.
    m.Unload();
    EXPECT_EQ(host::RunningSystemThreads(), 0);
    EXPECT_FALSE(host::IsFilterRegistered());
    EXPECT_FALSE(adapter.HasFilterModule());
    EXPECT_EQ(host::FindDevice(u"\\Device\\jwGenICamForEthernet"), nullptr);
    EXPECT_FALSE(host::SymbolicLinkExists(u"\\DosDevices\\jwGenICamForEthernet"));
    EXPECT_EQ(m.EventSymbols(), (std::vector<std::string>{"MSG_NIC_DETACHED", "MSG_DRIVER_UNLOADED"}));
    EXPECT_EQ(m.EventsOf(MSG_DRIVER_UNLOADED).at(0).Insertion(), std::string("Version:") + VERSION_TEXT);
    EXPECT_EQ(host::PoolUsageOfTag(POOL_TAG).blocks, 0u);
}

TEST(DriverUnload, ClosesTheControlDeviceBeforeTheFilterGoes)
{
    GvspMachine m;
    m.AddAdapter(MacOf(0x03));
    ASSERT_EQ(m.Load(), STATUS_SUCCESS);
    host::UserProcess& process = m.NewProcess();
    HANDLE handle = process.CreateFile(u"\\\\.\\jwGenICamForEthernet");
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    process.CloseHandle(handle);

    // While the filter detaches its modules the control device must already be gone.
    bool deviceGoneAtDetach = false;
    host::SetDetachObserver([&] { deviceGoneAtDetach = host::FindDevice(u"\\Device\\jwGenICamForEthernet") == nullptr; });
    m.Unload();
    host::SetDetachObserver(nullptr);
    EXPECT_TRUE(deviceGoneAtDetach);
}

TEST(DriverUnload, WaitsForTheLastHandleToTheControlDevice)
{
    GvspMachine m;
    ASSERT_EQ(m.Load(), STATUS_SUCCESS);
    host::UserProcess& process = m.NewProcess();
    HANDLE handle = process.CreateFile(u"\\\\.\\jwGenICamForEthernet");
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    {
        host::ExpectViolation refused(host::Rule::HandleLeak);
        m.Unload();
        EXPECT_EQ(refused.Caught().size(), 1u);
    }
    EXPECT_TRUE(m.Machine().DriverLoaded());
    EXPECT_TRUE(host::IsFilterRegistered());

    process.CloseHandle(handle);
    m.Unload();
    EXPECT_FALSE(m.Machine().DriverLoaded());
}

// A failed load leaves nothing registered and nothing allocated (the machine checks the pool
// tags), and logs exactly one MSG_DRIVER_LOAD_FAILED naming the step, after the detach of a
// module attached before the step failed.
struct FailedLoad {
    const char* name;
    host::Fault fault;
    int32_t status;
    uint32_t uniqueValue;
    bool attached;   // a module was attached before the step failed
};

void PrintTo(const FailedLoad& c, std::ostream* out) { *out << c.name; }

class DriverLoadFailure : public ::testing::TestWithParam<FailedLoad> {};

TEST_P(DriverLoadFailure, UnwindsCompletelyAndLogsOnce)
{
    const FailedLoad& c = GetParam();
    GvspMachine m;
    host::Adapter& adapter = m.AddAdapter(MacOf(0x04));
    host::FailCall(c.fault, 1, c.status);

    NTSTATUS status = m.Load();
    NTSTATUS expected = c.status != 0 ? c.status : NDIS_STATUS_RESOURCES;
    EXPECT_EQ(status, expected);
    EXPECT_FALSE(m.Machine().DriverLoaded());
    EXPECT_FALSE(host::IsFilterRegistered());
    EXPECT_FALSE(adapter.HasFilterModule());
    EXPECT_EQ(host::FindDevice(u"\\Device\\jwGenICamForEthernet"), nullptr);
    EXPECT_EQ(host::RunningSystemThreads(), 0);
    EXPECT_EQ(host::PoolUsageOfTag(POOL_TAG).blocks, 0u);

    std::vector<std::string> events{"MSG_NIC_ATTACHED", "MSG_NIC_DETACHED", "MSG_DRIVER_LOAD_FAILED"};
    EXPECT_EQ(m.EventSymbols(), c.attached ? events : std::vector<std::string>{events.back()});
    auto failures = m.EventsOf(MSG_DRIVER_LOAD_FAILED);
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].UniqueErrorValue(), c.uniqueValue);
    EXPECT_EQ(failures[0].Insertion(), StatusText(expected));
}

INSTANTIATE_TEST_SUITE_P(EachStep, DriverLoadFailure,
    ::testing::Values(FailedLoad{"FilterRegistration", host::Fault::FilterRegistration,
                          static_cast<int32_t>(NDIS_STATUS_BAD_CHARACTERISTICS), 0, false},
        FailedLoad{"ControlDevice", host::Fault::DeviceRegistration, static_cast<int32_t>(NDIS_STATUS_RESOURCES), 1,
            true},
        FailedLoad{"AdapterTableLock", host::Fault::RwLockAllocation, 0, 2, false},
        FailedLoad{"WorkerThread", host::Fault::ThreadCreation, static_cast<int32_t>(STATUS_INSUFFICIENT_RESOURCES),
            3, true},
        FailedLoad{"ProcessNotify", host::Fault::ProcessNotify, static_cast<int32_t>(STATUS_ACCESS_DENIED), 4, false}),
    [](const ::testing::TestParamInfo<FailedLoad>& p) { return std::string(p.param.name); });

}  // namespace
