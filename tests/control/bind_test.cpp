// The control device's small requests and the binding of stream ports, through the client and
// raw control requests, as a camera library sees them.
#include <gtest/gtest.h>

#include <cstring>

#include "tests/support/stream_fixture.h"

using namespace gvsptest;

namespace {

NTSTATUS Bind(host::UserProcess& process, HANDLE handle, Mac mac, uint16_t port, void* output, ULONG outputLength,
    ULONG_PTR* information, ULONG inputLength = 8)
{
    uint8_t input[8] = {mac[0], mac[1], mac[2], mac[3], mac[4], mac[5], uint8_t(port), uint8_t(port >> 8)};
    return process.NtDeviceIoControlFile(handle, IOCTL_STREAM_BIND_PORT, input, inputLength, output, outputLength,
        information);
}

class ControlRequests : public StreamTest {};

TEST_F(ControlRequests, TheVersionAnswersOnAnyHandle)
{
    HANDLE handle = process->CreateFile(u"\\\\.\\jwGenICamForEthernet");
    char version[40];
    std::memset(version, 0x55, sizeof version);
    ULONG_PTR information = 99;
    EXPECT_EQ(process->NtDeviceIoControlFile(handle, IOCTL_DRIVER_GET_VERSION, nullptr, 0, version, 31, &information),
        STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(information, 0u);

    EXPECT_EQ(process->NtDeviceIoControlFile(handle, IOCTL_DRIVER_GET_VERSION, nullptr, 0, version, 40, &information),
        STATUS_SUCCESS);
    EXPECT_EQ(information, 32u);
    EXPECT_STREQ(version, VERSION_TEXT);
    for (size_t i = std::strlen(VERSION_TEXT); i < 32; ++i) {
        EXPECT_EQ(version[i], 0) << i;
    }
    EXPECT_EQ(uint8_t(version[32]), 0x55);   // nothing beyond the field
    process->CloseHandle(handle);

    std::string text;
    gvsp::ControlDevice device(*process);
    EXPECT_EQ(device.Version(&text), STATUS_SUCCESS);
    EXPECT_EQ(text, VERSION_TEXT);
}

TEST_F(ControlRequests, TheAdapterQueryComparesAllSixBytes)
{
    gvsp::ControlDevice device(*process);
    EXPECT_EQ(device.QueryAdapter(CAMERA_ADAPTER), STATUS_SUCCESS);
    Mac other = CAMERA_ADAPTER;
    other[0] ^= 0x80;
    EXPECT_EQ(device.QueryAdapter(other), STATUS_UNSUCCESSFUL);
}

TEST_F(ControlRequests, CodesOutsideTheTableAreNotSupported)
{
    HANDLE handle = process->CreateFile(u"\\\\.\\jwGenICamForEthernet");
    const ULONG codes[] = {
        CTL_CODE(0x22, 24, METHOD_BUFFERED, FILE_ANY_ACCESS),   // another device type
        IOCTL_DRIVER_GET_VERSION | 1,                          // another method
        CTL_CODE(FILE_DEVICE_PHYSICAL_NETCARD, 15, METHOD_BUFFERED, FILE_ANY_ACCESS),
        CTL_CODE(FILE_DEVICE_PHYSICAL_NETCARD, 21, METHOD_BUFFERED, FILE_ANY_ACCESS),
        CTL_CODE(FILE_DEVICE_PHYSICAL_NETCARD, 22, METHOD_BUFFERED, FILE_ANY_ACCESS),
        CTL_CODE(FILE_DEVICE_PHYSICAL_NETCARD, 25, METHOD_BUFFERED, FILE_ANY_ACCESS),
        CTL_CODE(FILE_DEVICE_PHYSICAL_NETCARD, 26, METHOD_BUFFERED, FILE_ANY_ACCESS),
        CTL_CODE(FILE_DEVICE_PHYSICAL_NETCARD, 29, METHOD_BUFFERED, FILE_ANY_ACCESS),
    };
    for (ULONG code : codes) {
        char output[64];
        ULONG_PTR information = 77;
        EXPECT_EQ(process->NtDeviceIoControlFile(handle, code, nullptr, 0, output, sizeof output, &information),
            STATUS_NOT_SUPPORTED)
            << std::hex << code;
        EXPECT_EQ(information, 0u);
    }
    process->CloseHandle(handle);
}

class Binding : public StreamTest {};

TEST_F(Binding, PortsTakeTheHighestFreeSlotOfTheirAdapter)
{
    // Adapter index 0 is the last of 32 adapters.
    for (uint8_t i = 1; i < MAX_ADAPTERS; ++i) {
        m.AddAdapter(MacOf(uint8_t(0xA0 + i)));
    }
    Mac last = MacOf(uint8_t(0xA0 + MAX_ADAPTERS - 1));
    gvsp::Stream first(*process), second(*process);
    uint32_t id = 0;
    ASSERT_EQ(first.Bind(last, 1000, &id), STATUS_SUCCESS);
    EXPECT_EQ(id, 0x00010020u);
    ASSERT_EQ(second.Bind(last, 1001, &id), STATUS_SUCCESS);
    EXPECT_EQ(id, 0x0001001Fu);
}

TEST_F(Binding, TheThirtyThirdPortIsRefusedUntilASlotIsFree)
{
    std::vector<std::unique_ptr<gvsp::Stream>> streams;
    for (uint16_t i = 0; i < MAX_STREAM_PORTS; ++i) {
        streams.push_back(std::make_unique<gvsp::Stream>(*process));
        ASSERT_EQ(streams.back()->Bind(CAMERA_ADAPTER, uint16_t(2000 + i)), STATUS_SUCCESS) << i;
    }
    m.ClearEvents();
    gvsp::Stream extra(*process);
    EXPECT_EQ(extra.Bind(CAMERA_ADAPTER, 3000), STATUS_UNSUCCESSFUL);
    ASSERT_EQ(m.EventSymbols(), std::vector<std::string>{"MSG_PORT_LIMIT_REACHED"});
    EXPECT_EQ(m.Events()[0].Size(), 48u);

    // Closing the handle of the port in slot 29 frees that slot; it is the only free one.
    streams[2]->Close();
    uint32_t id = 0;
    EXPECT_EQ(extra.Bind(CAMERA_ADAPTER, 3000, &id), STATUS_SUCCESS);
    EXPECT_EQ(id & 0xFFFF, 30u);
}

// A second bind of a port on its adapter is refused, and so is a bind on an adapter that does not
// exist, both with the same event naming the MAC and port.
TEST_F(Binding, APortIsBoundOncePerAdapter)
{
    Mac second = MacOf(0xB1);
    m.AddAdapter(second);
    gvsp::Stream a(*process), b(*process), c(*process);
    EXPECT_EQ(a.Bind(CAMERA_ADAPTER, STREAM_PORT), STATUS_SUCCESS);
    EXPECT_EQ(b.Bind(second, STREAM_PORT), STATUS_SUCCESS);
    m.ClearEvents();
    EXPECT_EQ(c.Bind(CAMERA_ADAPTER, STREAM_PORT), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(c.Bind({0x00, 0x1B, 0x2C, 0x3D, 0x4E, 0x99}, 50001), STATUS_UNSUCCESSFUL);
    auto refused = m.EventsOf(MSG_PORT_ALREADY_BOUND);
    ASSERT_EQ(refused.size(), 2u);
    EXPECT_EQ(refused[0].Insertion(), "Mac:00-1b-2c-3d-4e-a0, Port:50000");
    EXPECT_EQ(refused[1].Render(), "The port has already bind to Mac:00-1b-2c-3d-4e-99, Port:50001.\r\n");
}

TEST_F(Binding, AHandleOwnsOnePort)
{
    ASSERT_EQ(stream->Bind(CAMERA_ADAPTER, STREAM_PORT), STATUS_SUCCESS);
    m.ClearEvents();
    EXPECT_EQ(stream->Bind(CAMERA_ADAPTER, STREAM_PORT + 1), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(m.Events().empty());
}

TEST_F(Binding, ThePortIsGivenInHostOrderAndKeptInNetworkOrder)
{
    uint32_t id = 0;
    ASSERT_EQ(stream->Bind(CAMERA_ADAPTER, 0x1234, &id), STATUS_SUCCESS);
    StreamPort* port = PortOf(id);
    ASSERT_NE(port, nullptr);
    const auto* bytes = reinterpret_cast<const uint8_t*>(&port->UdpPort);
    EXPECT_EQ(bytes[0], 0x12);
    EXPECT_EQ(bytes[1], 0x34);
    auto bound = m.EventsOf(MSG_FILTER_BINDING);
    ASSERT_EQ(bound.size(), 1u);
    char expected[128];
    std::snprintf(expected, sizeof expected, "Port:4660,Id:%u,PID:0000000000000000,FObj:", id);
    EXPECT_EQ(bound[0].Insertion().rfind(expected, 0), 0u) << bound[0].Insertion();
}

TEST_F(Binding, TheOutputReportsPortIdAdapterIndexAndSlotIndexOnly)
{
    HANDLE handle = process->CreateFile(u"\\\\.\\jwGenICamForEthernet");
    uint8_t output[512];
    std::memset(output, 0xEE, sizeof output);
    ULONG_PTR information = 0;
    ASSERT_EQ(Bind(*process, handle, CAMERA_ADAPTER, 40000, output, 12, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, 12u);
    uint32_t fields[3];
    std::memcpy(fields, output, sizeof fields);
    EXPECT_EQ(fields[0], 0x00200020u);   // adapter slot 31, port slot 31
    EXPECT_EQ(fields[1], 31u);
    EXPECT_EQ(fields[2], 31u);
    EXPECT_EQ(output[12], 0xEE);
    process->CloseHandle(handle);

    handle = process->CreateFile(u"\\\\.\\jwGenICamForEthernet");
    EXPECT_EQ(Bind(*process, handle, CAMERA_ADAPTER, 40001, nullptr, 0, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, 0u);
    process->CloseHandle(handle);

    // A long output buffer gets the whole record's length, internals zeroed.
    handle = process->CreateFile(u"\\\\.\\jwGenICamForEthernet");
    std::memset(output, 0xEE, sizeof output);
    ASSERT_EQ(Bind(*process, handle, CAMERA_ADAPTER, 40002, output, sizeof output, &information), STATUS_SUCCESS);
    EXPECT_EQ(information, 448u);
    for (size_t i = 12; i < 448; ++i) {
        ASSERT_EQ(output[i], 0u) << i;
    }
    EXPECT_EQ(output[448], 0xEE);
    process->CloseHandle(handle);
}

// Requests refused for the handle's state or a short input: the one stream failure status, an
// event only where cache set-up or release names the cause, and the handle left as it was.
enum class HandleState { Unbound, Bound, Released };

struct RefusedCase {
    const char* name;
    HandleState state;
    ULONG code;
    ULONG inputLength;
    uint32_t eventValue;   // unique value of the MSG_FILE_CONTEXT_NULL written, or NO_EVENT
};

constexpr uint32_t NO_EVENT = 0xFFFFFFFF;

void PrintTo(const RefusedCase& c, std::ostream* os) { *os << c.name; }

class RefusedRequests : public StreamTest, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(RefusedRequests, FailWithTheOneStreamStatusAndChangeNothing)
{
    const RefusedCase& c = GetParam();
    if (c.state != HandleState::Unbound) {
        ASSERT_EQ(stream->Bind(CAMERA_ADAPTER, STREAM_PORT, &portId), STATUS_SUCCESS);
        ASSERT_TRUE(stream->AllocateCache(2, SMALL_BUFFER));
        stream->Configure({.frameSize = 4096, .packetSize = 1464});
    }
    if (c.state == HandleState::Released) {
        ASSERT_EQ(stream->SetupCache(), STATUS_SUCCESS);
        ASSERT_EQ(stream->ReleaseCache(), STATUS_SUCCESS);
    }
    uint8_t input[40] = {};
    std::memcpy(input, CAMERA_ADAPTER.data(), 6);
    input[6] = uint8_t(STREAM_PORT);
    input[7] = uint8_t(STREAM_PORT >> 8);
    uint8_t output[16];
    ULONG_PTR information = 77;
    m.ClearEvents();
    EXPECT_EQ(process->NtDeviceIoControlFile(stream->Handle(), c.code, input, c.inputLength, output, sizeof output,
                  &information),
        STATUS_UNSUCCESSFUL);
    EXPECT_EQ(information, 0u);
    auto events = m.Events();
    if (c.eventValue == NO_EVENT) {
        EXPECT_TRUE(events.empty());
    } else {
        ASSERT_EQ(events.size(), 1u);
        EXPECT_EQ(events[0].Symbol(), "MSG_FILE_CONTEXT_NULL");
        EXPECT_EQ(events[0].UniqueErrorValue(), c.eventValue);
        EXPECT_EQ(events[0].Size(), 48u);
    }
    if (c.state == HandleState::Unbound) {
        EXPECT_EQ(stream->Bind(CAMERA_ADAPTER, STREAM_PORT), STATUS_SUCCESS) << "the handle is still free to bind";
    } else {
        stream->DescribeBuffers();   // a release cleared the sizes
        EXPECT_EQ(stream->SetupCache(), STATUS_SUCCESS) << "the port is still there to set up";
    }
}

INSTANTIATE_TEST_SUITE_P(Table, RefusedRequests,
    ::testing::Values(RefusedCase{"UnboundStart", HandleState::Unbound, IOCTL_STREAM_START, 0, NO_EVENT},
        RefusedCase{"UnboundStop", HandleState::Unbound, IOCTL_STREAM_STOP, 0, NO_EVENT},
        RefusedCase{"UnboundGetFrame", HandleState::Unbound, IOCTL_STREAM_GET_FRAME, 0, NO_EVENT},
        RefusedCase{"UnboundReturnFrame", HandleState::Unbound, IOCTL_STREAM_RETURN_FRAME, 8, NO_EVENT},
        RefusedCase{"UnboundFlush", HandleState::Unbound, IOCTL_STREAM_FLUSH_FRAMES, 0, NO_EVENT},
        RefusedCase{"UnboundSetUp", HandleState::Unbound, IOCTL_STREAM_SETUP_CACHE, 34, 1},
        RefusedCase{"UnboundRelease", HandleState::Unbound, IOCTL_STREAM_RELEASE_CACHE, 0, 3},
        RefusedCase{"ShortSetUpInput", HandleState::Unbound, IOCTL_STREAM_SETUP_CACHE, 33, NO_EVENT},
        RefusedCase{"ShortBindInput", HandleState::Unbound, IOCTL_STREAM_BIND_PORT, 7, NO_EVENT},
        RefusedCase{"ShortAdapterQuery", HandleState::Unbound, IOCTL_ADAPTER_QUERY, 5, NO_EVENT},
        RefusedCase{"NoCacheStart", HandleState::Bound, IOCTL_STREAM_START, 0, NO_EVENT},
        RefusedCase{"NoCacheGetFrame", HandleState::Bound, IOCTL_STREAM_GET_FRAME, 0, NO_EVENT},
        RefusedCase{"NoCacheRelease", HandleState::Bound, IOCTL_STREAM_RELEASE_CACHE, 0, 3},
        RefusedCase{"ReleasedGetFrame", HandleState::Released, IOCTL_STREAM_GET_FRAME, 0, NO_EVENT},
        RefusedCase{"ReleasedStop", HandleState::Released, IOCTL_STREAM_STOP, 0, NO_EVENT},
        RefusedCase{"ReleasedFlush", HandleState::Released, IOCTL_STREAM_FLUSH_FRAMES, 0, NO_EVENT},
        RefusedCase{"ReleasedTwice", HandleState::Released, IOCTL_STREAM_RELEASE_CACHE, 0, 3}),
    [](const ::testing::TestParamInfo<RefusedCase>& param) { return std::string(param.param.name); });

}  // namespace
