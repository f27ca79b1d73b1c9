// The user-mode notification channel: which volume-manager device frame events are reported
// on, and the bytes a program registered on that device receives for each frame event.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <memory>
#include <vector>

#include "base/notification.h"
#include "delivery/frame_completion.h"
#include "host/io/io.h"
#include "host/kernel/kernel.h"
#include "host/verifier/faults.h"
#include "tests/support/gvsp_machine.h"
#include "tests/support/stream_fixture.h"

using namespace gvsptest;

namespace {

constexpr NTSTATUS STATUS_NOTIFICATION_DEVICE_NOT_FOUND = static_cast<NTSTATUS>(0xC0000452);
constexpr NTSTATUS STATUS_ACCESS_DENIED_ = static_cast<NTSTATUS>(0xC0000022);
constexpr size_t NOTIFICATION_SIZE = 122;
constexpr size_t DATA = 36;   // FrameEventData within the notification
constexpr uint8_t FRAME_EVENT_GUID_BYTES[16] = {0xA7, 0x59, 0xD0, 0x6C, 0x21, 0x20, 0xED, 0x49, 0xA8, 0xFC, 0xD5, 0x69,
    0x29, 0x38, 0x3A, 0x07};

uint64_t Le(const std::vector<uint8_t>& bytes, size_t offset, size_t size)
{
    uint64_t value = 0;
    for (size_t i = 0; i < size; ++i) {
        value |= uint64_t(bytes.at(offset + i)) << (8 * i);
    }
    return value;
}

// ---- FindNotificationDevice ------------------------------------------------------------------------
// A volume manager as a machine may have it; the driver itself is not loaded, the look-up is
// called as DriverEntry calls it.
class NotificationDeviceLookup : public ::testing::Test {
protected:
    void SetUp() override { volmgr = host::CreateDriverObject(u"\\Driver\\volmgr"); }

    // The look-up as DriverEntry makes it; checks that it keeps no reference and no memory.
    NTSTATUS Find(PDEVICE_OBJECT* found)
    {
        NTSTATUS status = FindNotificationDevice(u"\\Driver\\volmgr", found);
        EXPECT_EQ(host::DriverObjectReferences(volmgr), 0) << "the driver object's reference is released";
        EXPECT_EQ(host::PoolUsageOfTag(NAME_QUERY_TAG).blocks, 0u);
        EXPECT_EQ(host::PoolUsageOfTag(POOL_TAG).blocks, 0u);
        return status;
    }
    // The device found, or nullptr when the look-up fails (then nothing may be stored).
    PDEVICE_OBJECT Found()
    {
        auto* untouched = reinterpret_cast<PDEVICE_OBJECT>(uintptr_t(0x5A5A5A5A));
        PDEVICE_OBJECT found = untouched;
        NTSTATUS status = Find(&found);
        if (status == STATUS_SUCCESS) {
            return found;
        }
        EXPECT_EQ(status, STATUS_NOTIFICATION_DEVICE_NOT_FOUND);
        EXPECT_EQ(found, untouched) << "nothing is stored when nothing matches";
        return nullptr;
    }

    GvspMachine m;
    PDRIVER_OBJECT volmgr = nullptr;
};

struct Topology {
    const char* what;
    // Builds devices around the volume manager; returns the device the look-up must find.
    std::function<PDEVICE_OBJECT(PDRIVER_OBJECT volmgr)> build;
};

PDEVICE_OBJECT Device(PDRIVER_OBJECT driver, const char16_t* name) { return host::CreateDevice(driver, name); }
PDRIVER_OBJECT Other(const char16_t* name) { return host::CreateDriverObject(name); }
constexpr char16_t VOLUME[] = u"\\Device\\HarddiskVolume1";

const Topology TOPOLOGIES[] = {
    {"the volume among the volume manager's devices", [](PDRIVER_OBJECT v) {
        Device(v, u"\\Device\\VolMgrControl");
        Device(v, nullptr);
        PDEVICE_OBJECT volume = Device(v, VOLUME);
        Device(v, u"\\Device\\HarddiskVolume2");
        return volume;
    }},
    {"a device attached above a volume manager device, over a filter", [](PDRIVER_OBJECT v) {
        PDRIVER_OBJECT partmgr = Other(u"\\Driver\\partmgr");
        PDEVICE_OBJECT lower = Device(v, u"\\Device\\VolumeLower");
        PDEVICE_OBJECT volume = Device(partmgr, VOLUME);
        host::AttachDevice(Device(partmgr, u"\\Device\\VolumeFilter"), lower);
        host::AttachDevice(volume, lower);
        return volume;
    }},
    {"the volume mounted on a volume manager device", [](PDRIVER_OBJECT v) {
        PDEVICE_OBJECT mounted = Device(Other(u"\\FileSystem\\Ntfs"), VOLUME);
        host::MountVolume(Device(v, u"\\Device\\VolumeReal"), mounted);
        return mounted;
    }},
    {"a device attached above the mounted volume", [](PDRIVER_OBJECT v) {
        PDRIVER_OBJECT fs = Other(u"\\FileSystem\\Ntfs");
        PDEVICE_OBJECT mounted = Device(fs, nullptr);
        PDEVICE_OBJECT above = Device(fs, VOLUME);
        host::AttachDevice(Device(fs, u"\\Device\\FsFilter"), mounted);
        host::AttachDevice(above, mounted);
        host::MountVolume(Device(v, u"\\Device\\VolumeReal"), mounted);
        return above;
    }},
    {"the first match of the walk: own stack, then mounted volume, then the next device", [](PDRIVER_OBJECT v) {
        PDRIVER_OBJECT other = Other(u"\\Driver\\other");
        PDEVICE_OBJECT first = Device(v, u"\\Device\\VolumeReal");
        PDEVICE_OBJECT inStack = Device(other, VOLUME);
        Device(v, VOLUME);
        host::AttachDevice(inStack, first);
        host::MountVolume(first, Device(other, VOLUME));
        return inStack;
    }},
    {"near names only, in stacks and volumes too", [](PDRIVER_OBJECT v) -> PDEVICE_OBJECT {
        PDRIVER_OBJECT fs = Other(u"\\FileSystem\\Ntfs");
        std::vector<PDEVICE_OBJECT> near;
        for (const char16_t* name : {u"\\Device\\HarddiskVolume10", u"\\Device\\harddiskvolume1",
                 u"\\DEVICE\\HARDDISKVOLUME1", u"\\Device\\HarddiskVolume", u"\\Device\\HarddiskVolume1\\",
                 u"HarddiskVolume1"}) {
            near.push_back(Device(v, name));
        }
        host::AttachDevice(Device(fs, u"\\Device\\HarddiskVolume11"), near[0]);
        host::MountVolume(near[1], Device(fs, u"\\Device\\Harddiskvolume1"));
        return nullptr;
    }},
    {"unnamed devices, stacks and volumes", [](PDRIVER_OBJECT v) -> PDEVICE_OBJECT {
        PDEVICE_OBJECT unnamed = Device(v, nullptr);
        host::AttachDevice(Device(v, nullptr), unnamed);
        host::MountVolume(unnamed, Device(v, nullptr));
        return nullptr;
    }},
    {"a volume manager without devices", [](PDRIVER_OBJECT) -> PDEVICE_OBJECT { return nullptr; }},
};

TEST(NotificationDeviceTopology, FindsTheVolumeInEveryTopologyOrNothing)
{
    for (const Topology& t : TOPOLOGIES) {
        SCOPED_TRACE(t.what);
        for (bool otherCase : {false, true}) {   // the volume manager's name is matched whatever its case
            GvspMachine fresh;
            PDRIVER_OBJECT v = host::CreateDriverObject(otherCase ? u"\\Driver\\VolMgr" : u"\\Driver\\volmgr");
            PDEVICE_OBJECT expected = t.build(v);
            auto* untouched = reinterpret_cast<PDEVICE_OBJECT>(uintptr_t(0x5A5A5A5A));
            PDEVICE_OBJECT found = untouched;
            NTSTATUS status = FindNotificationDevice(u"\\Driver\\volmgr", &found);
            EXPECT_EQ(status, expected != nullptr ? STATUS_SUCCESS : STATUS_NOTIFICATION_DEVICE_NOT_FOUND);
            EXPECT_EQ(found, expected != nullptr ? expected : untouched) << "nothing is stored when nothing matches";
            EXPECT_EQ(host::DriverObjectReferences(v), 0) << "the driver object's reference is released";
            EXPECT_EQ(host::PoolUsageOfTag(NAME_QUERY_TAG).blocks, 0u);
        }
    }
}

TEST_F(NotificationDeviceLookup, AFailedLookUpOfTheVolumeManagerReturnsItsStatus)
{
    host::CreateDevice(volmgr, VOLUME);
    host::FailCall(host::Fault::ObjectReference, 1, STATUS_ACCESS_DENIED_);
    auto* untouched = reinterpret_cast<PDEVICE_OBJECT>(uintptr_t(0x5A5A5A5A));
    PDEVICE_OBJECT found = untouched;
    EXPECT_EQ(Find(&found), STATUS_ACCESS_DENIED_);
    EXPECT_EQ(found, untouched);

    host::DeleteDriverObject(volmgr);
    volmgr = nullptr;
    host::CreateDevice(host::CreateDriverObject(u"\\Driver\\volmgrx"), VOLUME);
    EXPECT_EQ(FindNotificationDevice(u"\\Driver\\volmgr", &found), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(found, untouched);
    EXPECT_EQ(host::PoolUsageOfTag(NAME_QUERY_TAG).blocks, 0u);
}

// A device whose name cannot be read (no memory for the query) counts as not matching; the
// walk goes on with the next one.
TEST_F(NotificationDeviceLookup, ADeviceWhoseNameCannotBeQueriedDoesNotMatch)
{
    host::CreateDevice(volmgr, u"\\Device\\VolMgrControl");
    PDEVICE_OBJECT volume = host::CreateDevice(volmgr, VOLUME);
    uint32_t before = host::CallCount(host::Fault::PoolAllocation);
    ASSERT_EQ(Found(), volume);
    ASSERT_EQ(host::CallCount(host::Fault::PoolAllocation) - before, 2u) << "one query per device examined";

    host::FailCall(host::Fault::PoolAllocation, 2);   // the volume's query
    EXPECT_EQ(Found(), nullptr);
    PDEVICE_OBJECT second = host::CreateDevice(volmgr, VOLUME);
    host::FailCall(host::Fault::PoolAllocation, 2);   // the first volume's: the second one is found
    EXPECT_EQ(Found(), second);
    host::FailCall(host::Fault::PoolAllocation, 1);   // the control device's: no effect on the volume
    EXPECT_EQ(Found(), volume);
}

// ---- SendFrameEventNotification ------------------------------------------------------------------
// Scribbles over the stack where the notification is about to be built, so that a byte the
// driver leaves unset shows up.
__attribute__((noinline)) void ScribbleStack()
{
    volatile uint8_t junk[2048];
    for (size_t i = 0; i < sizeof junk; ++i) {
        junk[i] = 0xCC;
    }
}

// A loaded driver that found its notification device, with a program listening on it, and a
// bound stream whose frame events it reports.
class Notification : public StreamTest {
protected:
    static constexpr uint16_t CHANNEL = 0x0203;

    void SetUp() override
    {
        volmgr = host::CreateDriverObject(u"\\Driver\\volmgr");
        host::CreateDevice(volmgr, u"\\Device\\VolMgrControl");
        volume = host::CreateDevice(volmgr, u"\\Device\\HarddiskVolume1");
        listener = host::RegisterDeviceNotificationListener(volume);
        StreamTest::SetUp();
        ASSERT_EQ(DriverGlobals.NotificationDevice, volume);
    }
    void TearDown() override
    {
        StreamTest::TearDown();
        listener.reset();
    }

    void Open(uint32_t frames = 4, uint32_t missingPacketLimit = 0)
    {
        gvsp::StreamConfig config;
        config.packetSize = 1464;
        config.frameSize = 4096;
        config.streamChannelIndex = CHANNEL;
        config.missingPacketLimit = missingPacketLimit;
        OpenStream(frames, SMALL_BUFFER, config);
    }

    // Fills the frame header the way assembly leaves it.
    static void Describe(FrameSlot* slot, uint64_t blockId, uint64_t timestamp, uint16_t gvspStatus)
    {
        slot->Header->BlockId = blockId;
        slot->Header->Timestamp = timestamp;
        slot->Header->GvspStatus = gvspStatus;
    }

    std::vector<std::vector<uint8_t>> Received() const { return listener->Received(); }

    PDRIVER_OBJECT volmgr = nullptr;
    PDEVICE_OBJECT volume = nullptr;
    std::shared_ptr<host::DeviceNotificationListener> listener;
};

// The event of the frame in `slot`, as frame completion captures it when it gives the frame up.
FrameEvent EventOf(const FrameSlot* slot, ULONG code)
{
    return FrameEvent{code, slot->Header->BlockId, slot->Header->Timestamp, slot->Header->GvspStatus};
}

// What a listener must receive for one frame event.
void ExpectFrameEvent(const std::vector<uint8_t>& n, uint32_t portId, uint32_t eventCode, uint64_t blockId,
    uint64_t timestamp, uint16_t channel, uint16_t gvspStatus)
{
    ASSERT_EQ(n.size(), NOTIFICATION_SIZE);
    EXPECT_EQ(Le(n, 0, 2), 1u) << "Version";
    EXPECT_EQ(Le(n, 2, 2), NOTIFICATION_SIZE) << "Size";
    EXPECT_EQ(std::vector<uint8_t>(n.begin() + 4, n.begin() + 20),
        std::vector<uint8_t>(std::begin(FRAME_EVENT_GUID_BYTES), std::end(FRAME_EVENT_GUID_BYTES)))
        << "Event";
    EXPECT_EQ(Le(n, 24, 8), 0u) << "FileObject";
    EXPECT_EQ(Le(n, 32, 4), 0xFFFFFFFFu) << "NameBufferOffset";
    EXPECT_EQ(Le(n, DATA + 0, 2), 1u);
    EXPECT_EQ(Le(n, DATA + 2, 2), 83u);
    EXPECT_EQ(Le(n, DATA + 4, 4), 0u);
    EXPECT_EQ(Le(n, DATA + 8, 4), portId) << "PortId";
    EXPECT_EQ(Le(n, DATA + 12, 4), eventCode) << "EventCode";
    EXPECT_EQ(Le(n, DATA + 16, 8), blockId) << "BlockId";
    EXPECT_EQ(Le(n, DATA + 24, 8), timestamp) << "Timestamp";
    EXPECT_EQ(Le(n, DATA + 32, 4), channel) << "StreamChannelIndex";
    EXPECT_EQ(Le(n, DATA + 36, 2), gvspStatus) << "GvspStatus";
    EXPECT_EQ(std::vector<uint8_t>(n.begin() + DATA + 38, n.end()), std::vector<uint8_t>(48, 0))
        << "the tail of the data carries nothing stale";
}

// Each event carries its code and the slot's values at that moment, whatever was on the stack;
// completion reports at DISPATCH_LEVEL with the frame list lock held; only the listeners of the
// notification device hear it.
TEST_F(Notification, EachFrameEventArrivesAs122BytesLaidOutForTheListener)
{
    PDEVICE_OBJECT other = host::CreateDevice(volmgr, u"\\Device\\HarddiskVolume2");
    auto bystander = host::RegisterDeviceNotificationListener(other);
    Open();
    StreamPort* port = PortOf(portId);
    const struct {
        ULONG code;
        uint64_t blockId, timestamp;
        uint16_t gvspStatus;
    } events[] = {
        {FRAME_EVENT_GIVEN_UP, 0x1122334455667788ull, 0x0102030405060708ull, 0x8006},
        {FRAME_EVENT_OVERWRITTEN, 1, 1000, 0},
        {FRAME_EVENT_MISSING_LIMIT, 0xFFFFFFFFFFFFFFFFull, 0xFFFFFFFFFFFFFFFFull, 0xFFFF},
        {0xA5A5A5A5, 65536, 0, 0x0001},
    };
    for (size_t i = 0; i < std::size(events); ++i) {
        FrameSlot* slot = &port->FrameSlots[(i + 1) % port->FrameSlotCount];
        Describe(slot, events[i].blockId, events[i].timestamp, events[i].gvspStatus);
        ScribbleStack();
        SendFrameEventNotification(port, EventOf(slot, events[i].code));
    }
    auto received = Received();
    ASSERT_EQ(received.size(), std::size(events));
    for (size_t i = 0; i < std::size(events); ++i) {
        SCOPED_TRACE(i);
        ExpectFrameEvent(received[i], portId, events[i].code, events[i].blockId, events[i].timestamp, CHANNEL,
            events[i].gvspStatus);
    }
    EXPECT_EQ(bystander->Count(), 0u);
}

TEST_F(Notification, TheStreamChannelIndexIsReadFromTheBlockAsUserModeLeftIt)
{
    Open();
    StreamPort* port = PortOf(portId);
    FrameSlot* slot = &port->FrameSlots[0];
    Describe(slot, 5, 6, 0);
    stream->Block().StreamChannelIndex = 0xFFFF;
    SendFrameEventNotification(port, EventOf(slot, FRAME_EVENT_GIVEN_UP));
    auto received = Received();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(Le(received[0], DATA + 32, 4), 0xFFFFu) << "widened, not sign-extended";
}

// The device found at load is used only while it still looks like a live device object.
TEST_F(Notification, ADeviceWithoutReferencesOrNotADeviceGetsNothing)
{
    Open();
    StreamPort* port = PortOf(portId);
    FrameSlot* slot = &port->FrameSlots[0];
    Describe(slot, 9, 10, 0);

    const LONG references = volume->ReferenceCount;
    volume->ReferenceCount = 0;
    SendFrameEventNotification(port, EventOf(slot, FRAME_EVENT_GIVEN_UP));
    volume->ReferenceCount = references;
    EXPECT_EQ(listener->Count(), 0u);

    const CSHORT type = volume->Type;
    volume->Type = IO_TYPE_DRIVER;
    SendFrameEventNotification(port, EventOf(slot, FRAME_EVENT_GIVEN_UP));
    volume->Type = type;
    EXPECT_EQ(listener->Count(), 0u);

    // The same device, live again, is reported on.
    SendFrameEventNotification(port, EventOf(slot, FRAME_EVENT_GIVEN_UP));
    EXPECT_EQ(listener->Count(), 1u);
}

// ---- A port bound while there was no notification device -------------------------------------------
class NotificationWithoutDevice : public StreamTest {};

TEST_F(NotificationWithoutDevice, APortBoundWithoutADeviceNeverNotifiesEvenOnceOneExists)
{
    ASSERT_EQ(DriverGlobals.NotificationDevice, nullptr) << "no volume manager at load";
    OpenStream();
    StreamPort* early = PortOf(portId);
    ASSERT_NE(early, nullptr);

    // A volume appears and the driver-wide device is set afterwards.
    PDRIVER_OBJECT volmgr = host::CreateDriverObject(u"\\Driver\\volmgr");
    PDEVICE_OBJECT volume = host::CreateDevice(volmgr, u"\\Device\\HarddiskVolume1");
    auto listener = host::RegisterDeviceNotificationListener(volume);
    DriverGlobals.NotificationDevice = volume;

    early->FrameSlots[0].Header->BlockId = 1;
    SendFrameEventNotification(early, EventOf(&early->FrameSlots[0], FRAME_EVENT_GIVEN_UP));
    for (uint64_t block = 1; block <= 6; ++block) {   // overwrites two completed frames
        StageFrame(portId, block);
    }
    EXPECT_EQ(stream->Block().OverwrittenFrames, 2u);
    EXPECT_EQ(listener->Count(), 0u);

    // A port bound now takes the device and reports.
    gvsp::Stream late(*process);
    uint32_t lateId = 0;
    ASSERT_EQ(late.Bind(CAMERA_ADAPTER, STREAM_PORT + 1, &lateId), STATUS_SUCCESS);
    ASSERT_TRUE(late.AllocateCache(2, SMALL_BUFFER));
    gvsp::StreamConfig config;
    config.packetSize = 1464;
    config.frameSize = 4096;
    late.Configure(config);
    ASSERT_EQ(late.SetupCache(), STATUS_SUCCESS);
    StreamPort* port = PortOf(lateId);
    port->FrameSlots[0].Header->BlockId = 2;
    SendFrameEventNotification(port, EventOf(&port->FrameSlots[0], FRAME_EVENT_GIVEN_UP));
    auto received = listener->Received();
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(Le(received[0], DATA + 8, 4), lateId);

    DriverGlobals.NotificationDevice = nullptr;
}

// ---- Frame events raised by frame completion ------------------------------------------------------
// Opens a slot for a new block as the receive path does, and fills in what assembly would.
FrameSlot* OpenForBlock(StreamPort* port, uint64_t blockId, uint64_t timestamp, uint16_t gvspStatus = 0)
{
    FrameSlot* slot = OpenSlot(port);
    EXPECT_NE(slot, nullptr);
    if (slot != nullptr) {
        slot->Header->BlockId = blockId;
        slot->Header->Timestamp = timestamp;
        slot->Header->GvspStatus = gvspStatus;
    }
    return slot;
}

// How the frame came to be reused or retired: every slot unfinished and a new block arrives (the
// oldest is given up), every slot completed but not collected (the oldest is overwritten), or an
// older unfinished frame and a newer one completes.
enum class Scene { AllUnfinished, AllComplete, NewerComplete };

struct GivenUpCase {
    const char* name;
    Scene scene;
    uint32_t missingPacketLimit;
    uint32_t expectedPacketCount;
    uint32_t receivedPackets;
    ULONG code;
};

void PrintTo(const GivenUpCase& c, std::ostream* out) { *out << c.name; }

class NotificationGivenUp : public Notification, public ::testing::WithParamInterface<GivenUpCase> {};

TEST_P(NotificationGivenUp, AReusedOrRetiredFrameIsReportedWithItsCause)
{
    const GivenUpCase& c = GetParam();
    Open(3, c.missingPacketLimit);
    StreamPort* port = PortOf(portId);
    ASSERT_TRUE(ExAcquireRundownProtection(&port->CacheRundown));
    const uint64_t opened = c.scene == Scene::NewerComplete ? 1 : 3;
    for (uint64_t block = 10; block < 10 + opened; ++block) {
        FrameSlot* slot = OpenForBlock(port, block, 100 + block, 0x8000 | uint16_t(block));
        slot->Header->ReceivedPackets = c.receivedPackets;
        if (c.scene == Scene::AllComplete) {
            slot->Header->FrameStatus = FRAME_STATUS_COMPLETE;
            CloseSlot(port, slot);
        }
    }
    stream->Block().ExpectedPacketCount = c.expectedPacketCount;
    EXPECT_EQ(listener->Count(), 0u) << "a free slot was there for each";

    FrameSlot* next = OpenForBlock(port, 10 + opened, 110 + opened);
    if (c.scene == Scene::NewerComplete) {
        next->Header->FrameStatus = FRAME_STATUS_COMPLETE;
        CloseSlot(port, next);
    }
    ExReleaseRundownProtection(&port->CacheRundown);

    auto received = Received();
    ASSERT_EQ(received.size(), 1u);
    ExpectFrameEvent(received[0], portId, c.code, 10, 110, CHANNEL, 0x800A);
}

INSTANTIATE_TEST_SUITE_P(NotificationLimits, NotificationGivenUp,
    ::testing::Values(GivenUpCase{"NoLimit", Scene::AllUnfinished, 0, 40, 2, FRAME_EVENT_GIVEN_UP},
        GivenUpCase{"WithinTheLimit", Scene::AllUnfinished, 100, 40, 2, FRAME_EVENT_GIVEN_UP},
        // Missing: 40 - 2 + 1 = 39.
        GivenUpCase{"AtTheLimit", Scene::AllUnfinished, 39, 40, 2, FRAME_EVENT_GIVEN_UP},
        GivenUpCase{"OverTheLimit", Scene::AllUnfinished, 38, 40, 2, FRAME_EVENT_MISSING_LIMIT},
        GivenUpCase{"FarOverTheLimit", Scene::AllUnfinished, 1, 1000, 0, FRAME_EVENT_MISSING_LIMIT},
        GivenUpCase{"CompletedButNotCollected", Scene::AllComplete, 0, 40, 2, FRAME_EVENT_OVERWRITTEN},
        GivenUpCase{"RetiredByANewerGoodFrame", Scene::NewerComplete, 0, 40, 2, FRAME_EVENT_GIVEN_UP}),
    [](const ::testing::TestParamInfo<GivenUpCase>& p) { return std::string(p.param.name); });

}  // namespace
