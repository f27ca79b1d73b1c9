// The camera device against a scripted controller on loopback: every answer to GVCP commands as
// the bytes on the wire carry them, from the registers a controller reads to memory access edges.
#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <initializer_list>
#include <thread>

#include "camera/wire.h"
#include "tools/camera_device.h"
#include "tools/genicam.h"

namespace {

using namespace gvspfilter;

constexpr uint32_t LOOPBACK = 0x7F000001;

std::vector<uint8_t> Words(std::initializer_list<uint32_t> words)
{
    std::vector<uint8_t> bytes(words.size() * 4);
    size_t at = 0;
    for (uint32_t w : words) {
        WriteBigEndian32(&bytes[at], w);
        at += 4;
    }
    return bytes;
}
std::vector<uint8_t> ReadMem(uint32_t address, uint32_t count) { return Words({address, count}); }
std::vector<uint8_t> Text(const char* text, size_t room)
{
    std::vector<uint8_t> bytes(room, 0);
    std::copy(text, text + strlen(text), bytes.begin());
    return bytes;
}
std::vector<uint8_t> operator+(std::vector<uint8_t> a, const std::vector<uint8_t>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

class CameraDeviceTest : public testing::Test {
protected:
    CameraDeviceTest() : device_(Options(), LOOPBACK, InterfaceWithAddress(LOOPBACK))
    {
        serving_ = std::thread([this] { device_.Run(0); });
    }
    ~CameraDeviceTest() override
    {
        device_.Stop();
        serving_.join();
    }
    static DeviceOptions Options()
    {
        DeviceOptions o;
        o.address = "127.0.0.1";
        o.gvcpPort = 0;
        return o;
    }
    GvcpAck Transact(UdpSocket& from, uint16_t command, const std::vector<uint8_t>& payload)
    {
        from.SendTo(LOOPBACK, device_.GvcpPort(), EncodeCommand(GvcpCommand{GVCP_FLAG_ACK_REQUIRED, command, ++id_, payload}));
        uint32_t address = 0;
        uint16_t port = 0;
        const std::optional<std::vector<uint8_t>> datagram = from.ReceiveFrom(2000, &address, &port);
        const std::optional<GvcpAck> ack = datagram ? ParseAck(*datagram) : std::nullopt;
        EXPECT_TRUE(ack && ack->ackId == id_ && ack->answer == command + 1) << "no answer to command " << command;
        return ack.value_or(GvcpAck{0xFFFF, 0, 0, {}});
    }

    CameraDevice device_;
    std::thread serving_;
    uint16_t id_ = 0;
    UdpSocket controller_{LOOPBACK, 0};
    UdpSocket other_{LOOPBACK, 0};
};

TEST_F(CameraDeviceTest, AnswersEachCommandAsTheStandardDefines)
{
    std::string xml = DeviceXml();
    xml.resize((xml.size() + 3) / 4 * 4, '\0');   // served in whole words
    const uint32_t xmlEnd = XML_FILE_ADDRESS + static_cast<uint32_t>(xml.size());
    const uint32_t gain6 = std::bit_cast<uint32_t>(6.0f);
    struct Case {
        const char* what;
        UdpSocket* from;
        uint16_t command;
        std::vector<uint8_t> payload;
        uint16_t status;
        std::vector<uint8_t> answer;   // the acknowledge's payload
    };
    const Case cases[] = {
        {"capabilities: user name, serial, CCP port/IP, PACKETRESEND, WRITEMEM", &other_, GVCP_READREG_CMD,
            Words({REG_GVCP_CAPABILITY, REG_GVSP_CAPABILITY}), GVCP_STATUS_SUCCESS, Words({0xC8000006, 0xC0000000})},
        {"tick frequency of 1 MHz", &other_, GVCP_READREG_CMD, Words({REG_TIMESTAMP_FREQUENCY_HIGH, REG_TIMESTAMP_FREQUENCY_LOW}),
            GVCP_STATUS_SUCCESS, Words({0, 1000000})},
        {"write without control", &other_, GVCP_WRITEREG_CMD, Words({REG_WIDTH, 320}), GVCP_STATUS_ACCESS_DENIED, Words({0})},
        {"control taken", &controller_, GVCP_WRITEREG_CMD, Words({REG_CCP, CCP_CONTROL}), GVCP_STATUS_SUCCESS, Words({1})},
        {"control taken by another", &other_, GVCP_WRITEREG_CMD, Words({REG_CCP, CCP_CONTROL}), GVCP_STATUS_ACCESS_DENIED, Words({0})},
        {"unaligned READMEM", &other_, GVCP_READMEM_CMD, ReadMem(0x0002, 4), GVCP_STATUS_BAD_ALIGNMENT, Words({0x0002})},
        {"READMEM of 0 bytes", &other_, GVCP_READMEM_CMD, ReadMem(0, 0), GVCP_STATUS_INVALID_PARAMETER, Words({0})},
        {"READMEM of 6 bytes", &other_, GVCP_READMEM_CMD, ReadMem(0, 6), GVCP_STATUS_INVALID_PARAMETER, Words({0})},
        {"READMEM of 540 bytes", &other_, GVCP_READMEM_CMD, ReadMem(0, 540), GVCP_STATUS_INVALID_PARAMETER, Words({0})},
        {"READMEM of the description's last word", &other_, GVCP_READMEM_CMD, ReadMem(xmlEnd - 4, 4), GVCP_STATUS_SUCCESS,
            Words({xmlEnd - 4}) + std::vector<uint8_t>(xml.end() - 4, xml.end())},
        {"READMEM running off the description", &other_, GVCP_READMEM_CMD, ReadMem(xmlEnd - 4, 8), GVCP_STATUS_INVALID_ADDRESS,
            Words({xmlEnd - 4})},
        {"READMEM of the strings", &other_, GVCP_READMEM_CMD, ReadMem(REG_SERIAL, 16), GVCP_STATUS_SUCCESS,
            Words({REG_SERIAL}) + Text("EMU-127.0.0.1", 16)},
        {"WRITEREG of a read-only register", &controller_, GVCP_WRITEREG_CMD, Words({REG_PAYLOAD_SIZE, 1}),
            GVCP_STATUS_WRITE_PROTECT, Words({0})},
        {"WRITEREG of no register", &controller_, GVCP_WRITEREG_CMD, Words({0x00030000, 1}), GVCP_STATUS_INVALID_ADDRESS, Words({0})},
        {"WRITEMEM of Width and Height", &controller_, GVCP_WRITEMEM_CMD, Words({REG_WIDTH, 320, 240}), GVCP_STATUS_SUCCESS, Words({8})},
        {"the payload follows", &controller_, GVCP_READREG_CMD, Words({REG_PAYLOAD_SIZE}), GVCP_STATUS_SUCCESS, Words({76800})},
        {"WRITEMEM stops at a read-only word", &controller_, GVCP_WRITEMEM_CMD,
            Words({REG_PIXEL_FORMAT, camera::PIXEL_FORMAT_MONO16, 0}), GVCP_STATUS_WRITE_PROTECT, Words({4})},
        {"unaligned WRITEMEM", &controller_, GVCP_WRITEMEM_CMD, Words({REG_WIDTH + 2, 320}), GVCP_STATUS_BAD_ALIGNMENT, Words({0})},
        {"WRITEMEM without data", &controller_, GVCP_WRITEMEM_CMD, Words({REG_WIDTH}), GVCP_STATUS_INVALID_PARAMETER, Words({0})},
        {"Width past the sensor", &controller_, GVCP_WRITEREG_CMD, Words({REG_WIDTH, 16384}), GVCP_STATUS_INVALID_PARAMETER,
            Words({0})},
        {"OffsetX past the sensor", &controller_, GVCP_WRITEREG_CMD, Words({REG_OFFSET_X, SENSOR_WIDTH - 319}),
            GVCP_STATUS_INVALID_PARAMETER, Words({0})},
        {"Gain in range, then out of it", &controller_, GVCP_WRITEREG_CMD,
            Words({REG_GAIN, gain6, REG_GAIN, std::bit_cast<uint32_t>(25.0f)}), GVCP_STATUS_INVALID_PARAMETER, Words({1})},
        {"Gain kept", &controller_, GVCP_READREG_CMD, Words({REG_GAIN}), GVCP_STATUS_SUCCESS, Words({gain6})},
        {"user name written", &controller_, GVCP_WRITEMEM_CMD, Words({REG_USER_NAME}) + Text("cam1", 16), GVCP_STATUS_SUCCESS,
            Words({16})},
        {"user name read", &other_, GVCP_READMEM_CMD, ReadMem(REG_USER_NAME, 16), GVCP_STATUS_SUCCESS,
            Words({REG_USER_NAME}) + Text("cam1", 16)},
        {"unknown command", &other_, 0x0100, {}, GVCP_STATUS_NOT_IMPLEMENTED, {}},
        {"exclusive control", &controller_, GVCP_WRITEREG_CMD, Words({REG_CCP, CCP_EXCLUSIVE}), GVCP_STATUS_SUCCESS, Words({1})},
        {"others may not read", &other_, GVCP_READREG_CMD, Words({REG_CCP}), GVCP_STATUS_ACCESS_DENIED, {}},
    };
    for (const Case& c : cases) {
        const GvcpAck ack = Transact(*c.from, c.command, c.payload);
        EXPECT_EQ(ack.status, c.status) << c.what;
        EXPECT_EQ(ack.payload, c.answer) << c.what;
    }

    // DISCOVERY is answered whoever asks, with version, mode, MAC, address and names.
    const GvcpAck discovery = Transact(other_, GVCP_DISCOVERY_CMD, {});
    ASSERT_EQ(discovery.payload.size(), GVCP_DISCOVERY_ACK_BYTES);
    const std::vector<uint8_t>& d = discovery.payload;
    EXPECT_EQ(std::vector<uint8_t>(d.begin(), d.begin() + 8), Words({0x00020000, 0x80000001}));
    EXPECT_EQ(std::vector<uint8_t>(d.begin() + 36, d.begin() + 40), Words({LOOPBACK}));
    EXPECT_EQ(std::vector<uint8_t>(d.begin() + 72, d.begin() + 104), Text("GvspFilter", 32));
    EXPECT_EQ(std::vector<uint8_t>(d.begin() + 216, d.begin() + 248), Text("EMU-127.0.0.1", 16) + Text("cam1", 16));

    // A test packet of the size asked for reaches the stream's destination.
    UdpSocket receiver(LOOPBACK, 0);
    const GvcpAck aimed = Transact(controller_, GVCP_WRITEREG_CMD,
        Words({REG_SCDA0, LOOPBACK, REG_SCP0, receiver.LocalPort(), REG_SCPS0, SCPS_FIRE_TEST_PACKET | 600}));
    EXPECT_EQ(aimed.status, GVCP_STATUS_SUCCESS);
    uint32_t from = 0;
    uint16_t port = 0;
    const std::optional<std::vector<uint8_t>> test = receiver.ReceiveFrom(2000, &from, &port);
    ASSERT_TRUE(test.has_value());
    EXPECT_EQ(test->size(), 600u - IP_UDP_HEADERS_SIZE);
}

// A controller's resends: answered for the controller's host and the stream's destination only,
// within the per-block limit, and a storm of them leaves DISCOVERY answered.
TEST_F(CameraDeviceTest, ResendsAnswerOnlyTheControllerAndTheDestinationAndCannotDrownDiscovery)
{
    UdpSocket stranger(LOOPBACK + 1, 0);   // 127.0.0.2 and .3: hosts of their own on loopback
    UdpSocket receiver(LOOPBACK + 2, 0);
    // One block on a software trigger: 4096 x 1024 Mono8 in 576-byte packets, nearly 7,800 of them.
    const GvcpAck started = Transact(controller_, GVCP_WRITEREG_CMD,
        Words({REG_CCP, CCP_CONTROL, REG_WIDTH, 4096, REG_HEIGHT, 1024, REG_SCPS0, 576, REG_SCDA0, LOOPBACK + 2, REG_SCP0,
            receiver.LocalPort(), REG_TRIGGER_MODE, 1, REG_ACQUISITION_CONTROL, ACQUISITION_START_BIT | TRIGGER_SOFTWARE_BIT}));
    ASSERT_EQ(started.status, GVCP_STATUS_SUCCESS);
    for (int wait = 0; wait < 200 && device_.Counters().blocksSent == 0; ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ASSERT_EQ(device_.Counters().blocksSent, 1u);
    uint32_t address = 0;
    uint16_t port = 0;
    while (receiver.ReceiveFrom(100, &address, &port)) {
    }
    const auto resend = [&](UdpSocket& from, uint32_t first, uint32_t last) {
        const GvcpCommand command{0, GVCP_PACKETRESEND_CMD, ++id_, Words({1, first, last})};   // block 1
        from.SendTo(LOOPBACK, device_.GvcpPort(), EncodeCommand(command));
    };

    // Packet 7 of block 1 comes back marked as resent, or nothing does.
    const std::vector<uint8_t> resent = Words({uint32_t{GVSP_STATUS_RESEND} << 16 | 1, uint32_t{GVSP_FORMAT_PAYLOAD} << 24 | 7});
    struct Case {
        const char* what;
        UdpSocket* from;
        bool answered;
    };
    const Case cases[] = {
        {"a stranger", &stranger, false},
        {"the stream's destination", &receiver, true},
        {"the controller", &controller_, true},
    };
    for (const Case& c : cases) {
        resend(*c.from, 7, 7);
        const std::optional<std::vector<uint8_t>> packet = receiver.ReceiveFrom(500, &address, &port);
        ASSERT_EQ(packet.has_value(), c.answered) << c.what;
        if (packet) {
            EXPECT_EQ(std::vector<uint8_t>(packet->begin(), packet->begin() + 8), resent) << c.what;
        }
    }
    EXPECT_EQ(device_.Counters().resendRequestsRefused, 1u);

    // 2,000 requests for the whole block (nearly 7,800 packets each): most over the limit, and
    // what is queued leaves at the resend pace from another thread while DISCOVERY is answered.
    for (int i = 0; i < 2000; ++i) {
        resend(controller_, 1, RESEND_TO_END_STANDARD);
    }
    const GvcpAck discovery = Transact(stranger, GVCP_DISCOVERY_CMD, {});
    EXPECT_EQ(discovery.payload.size(), GVCP_DISCOVERY_ACK_BYTES);
    const DeviceCounters& c = device_.Counters();
    EXPECT_LE(c.resendRequests - c.resendRequestsRefused - c.resendRequestsLimited, CameraDevice::RESEND_REQUESTS_PER_BLOCK);
    EXPECT_EQ(c.resendRequestsUnanswered, 0u);
}

}  // namespace
