// The camera emulator on an adapter without a filter, where the driver's tests lean on it: what
// it puts on the wire, read by independent readers, and which PACKETRESEND commands it answers or
// refuses, built from the worked examples. (Its impairments, payload encoding and resent bytes
// are crossed by the end-to-end tests.)
#include <gtest/gtest.h>

#include <string>

#include "camera/camera.h"
#include "host/machine.h"
#include "host/ndis/ndis.h"
#include "tests/support/resend_examples.h"

namespace {

using camera::Camera;
using camera::CameraConfig;
using gvsptest::EXTENDED_EXAMPLE;
using gvsptest::STANDARD_EXAMPLE;

// Independent big-endian readers: the tests do not borrow the camera's own helpers.
uint32_t Be(const std::vector<uint8_t>& f, size_t at, size_t bytes)
{
    uint32_t v = 0;
    for (size_t i = 0; i < bytes; ++i) v = (v << 8) | f.at(at + i);
    return v;
}
uint64_t Be64(const std::vector<uint8_t>& f, size_t at) { return (uint64_t(Be(f, at, 4)) << 32) | Be(f, at + 4, 4); }

struct Gvsp {   // a GVSP header as read from a frame
    uint16_t status;
    uint64_t blockId;
    bool ei;
    uint8_t format;
    uint32_t packetId;
    size_t h;
    size_t bytes;   // GVSP bytes by the IPv4 total length
};

Gvsp ReadGvsp(const std::vector<uint8_t>& f)
{
    Gvsp g{};
    g.status = static_cast<uint16_t>(Be(f, 42, 2));
    g.ei = (f.at(46) & 0x80) != 0;
    g.format = f.at(46) & 0x0F;
    g.h = g.ei ? 20 : 8;
    g.blockId = g.ei ? Be64(f, 50) : Be(f, 44, 2);
    g.packetId = g.ei ? Be(f, 58, 4) : Be(f, 47, 3);
    g.bytes = Be(f, 16, 2) - 28;
    return g;
}

class CameraTest : public ::testing::Test {
protected:
    static constexpr camera::Mac HOST_MAC{0x02, 0x00, 0x00, 0x00, 0x00, 0x02};

    void SetUp() override
    {
        host::AdapterConfig config;
        config.mac = HOST_MAC;
        config.friendlyName = u"Camera port";
        config.deviceName = u"\\DEVICE\\{5A0C6E31-0B1D-4B7C-9A55-0000000000C0}";
        adapter = &host::AddAdapter(config);
        // The protocol above keeps what it receives, so that the tests can read the bytes.
        adapter->SetProtocolReturns(host::ProtocolReturns::Hold);
    }
    void TearDown() override
    {
        adapter->ReturnHeldReceives();
        for (auto& c : cameras) {
            EXPECT_TRUE(c->ReleaseReturned());
        }
        cameras.clear();
    }

    Camera& NewCamera(CameraConfig config = {})
    {
        cameras.push_back(std::make_unique<Camera>(*adapter, config));
        return *cameras.back();
    }

    // Every frame the protocol above received since the last Forget, in order.
    std::vector<std::vector<uint8_t>> Received() const
    {
        std::vector<std::vector<uint8_t>> out;
        auto records = adapter->IndicatedAbove();
        for (size_t i = seen; i < records.size(); ++i) {
            for (PNET_BUFFER_LIST list : records[i].lists) out.push_back(host::NetBufferBytes(list->FirstNetBuffer));
        }
        return out;
    }
    std::vector<uint32_t> ReceivedPacketIds() const
    {
        std::vector<uint32_t> out;
        for (const auto& f : Received()) out.push_back(ReadGvsp(f).packetId);
        return out;
    }
    // The protocol returns what it holds (the camera may free it then); later reads start here.
    void Forget()
    {
        adapter->ReturnHeldReceives();
        seen = adapter->IndicatedAbove().size();
    }

    // A frame "from the driver": sent by the protocol on the filter-less adapter.
    void SendFromHost(const std::vector<uint8_t>& frame)
    {
        sends.push_back(host::MakeFramePacket(frame));
        adapter->SendFromProtocol(sends.back()->List(), 0, 0);
    }

    host::Machine machine;
    host::Adapter* adapter = nullptr;
    std::vector<std::unique_ptr<Camera>> cameras;
    std::vector<std::unique_ptr<host::Packet>> sends;
    size_t seen = 0;
};

class CameraWire : public CameraTest {};
class CameraResend : public CameraTest {};

// ---------------------------------------------------------------------------------------------
// The wire.
void CheckNetworkHeaders(const std::vector<uint8_t>& f, const CameraConfig& c, const camera::Mac& hostMac)
{
    EXPECT_EQ(std::vector<uint8_t>(f.begin(), f.begin() + 6), std::vector<uint8_t>(hostMac.begin(), hostMac.end()));
    EXPECT_EQ(std::vector<uint8_t>(f.begin() + 6, f.begin() + 12),
        std::vector<uint8_t>(c.cameraMac.begin(), c.cameraMac.end()));
    EXPECT_EQ(Be(f, 12, 2), 0x0800u);
    EXPECT_EQ(f[14], 0x45);
    const uint32_t total = Be(f, 16, 2);
    EXPECT_LE(14 + total, f.size());
    EXPECT_GE(f.size(), 60u) << "short frames carry filler up to the Ethernet minimum";
    if (f.size() > 60) {
        EXPECT_EQ(14 + total, f.size()) << "no filler after a long datagram";
    }
    EXPECT_EQ(f[23], 17);
    EXPECT_EQ(camera::InternetChecksum(std::span(f).subspan(14, 20)), 0) << "IPv4 header checksum";
    EXPECT_EQ(Be(f, 26, 4), c.cameraIp);
    EXPECT_EQ(Be(f, 30, 4), c.hostIp);
    EXPECT_EQ(Be(f, 34, 2), c.cameraPort);
    EXPECT_EQ(Be(f, 36, 2), c.hostPort);
    EXPECT_EQ(Be(f, 38, 2), total - 20) << "UDP length";
    EXPECT_EQ(Be(f, 40, 2), 0u);
}

TEST_F(CameraWire, ABlockIsLeaderPayloadTrailerInEitherIdForm)
{
    struct Case {
        bool extended;
        uint32_t payloadSize, packetSize, leaderSize;
        uint64_t first;
        std::vector<size_t> bytes;   // GVSP bytes of each packet of a block
    };
    const Case cases[] = {
        // P = 992: three full payload packets and one of 24 bytes; the leader of its defined fields.
        {false, 3000, 1000, 0, 0x0102, {44, 1000, 1000, 1000, 32, 16}},
        // P = 1000: two payload packets; a leader longer than its defined fields.
        {true, 2000, 1020, 60, 0x0123456789ABCDEFull, {60, 1020, 1020, 28}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.extended);
        CameraConfig c;
        c.extendedIds = k.extended;
        c.payloadSize = k.payloadSize;
        c.packetSize = k.packetSize;
        c.leaderSize = k.leaderSize;
        c.firstBlockId = k.first;
        c.sizeX = 100;
        c.sizeY = 30;
        c.offsetX = 7;
        c.offsetY = 9;
        c.paddingX = 3;
        c.paddingY = 4;
        c.timestampStart = 0x1122334455667788ull;
        c.timestampStep = 250;
        Camera& cam = NewCamera(c);
        Forget();
        ASSERT_EQ(cam.SendBlocks(2), (std::vector<uint64_t>{k.first, k.first + 1}));
        const auto frames = Received();
        const size_t n = k.bytes.size();
        ASSERT_EQ(frames.size(), 2 * n);
        for (uint64_t block = 0; block < 2; ++block) {
            std::vector<uint8_t> payload;
            for (size_t i = 0; i < n; ++i) {
                const auto& f = frames[block * n + i];
                SCOPED_TRACE(i);
                CheckNetworkHeaders(f, c, HOST_MAC);
                Gvsp g = ReadGvsp(f);
                EXPECT_EQ(g.status, 0u);
                EXPECT_EQ(g.ei, k.extended);
                EXPECT_EQ(f[46] & 0x70, 0) << "the bits beside EI clear";
                EXPECT_EQ(g.blockId, k.first + block);
                EXPECT_EQ(g.packetId, i);
                EXPECT_EQ(g.bytes, k.bytes[i]);
                const size_t at = 42 + g.h;   // the fields after the header
                EXPECT_EQ(g.format, i == 0 ? 1 : i + 1 == n ? 2 : 3);
                if (i == 0 || i + 1 == n) {
                    EXPECT_EQ(Be(f, at + 2, 2), 1u) << "payload type image";
                }
                if (i == 0) {
                    EXPECT_EQ(Be64(f, at + 4), 0x1122334455667788ull + 250 * block) << "timestamp";
                    EXPECT_EQ(Be(f, at + 12, 4), camera::PIXEL_FORMAT_MONO8);
                    EXPECT_EQ((std::vector<uint32_t>{Be(f, at + 16, 4), Be(f, at + 20, 4), Be(f, at + 24, 4),
                                  Be(f, at + 28, 4), Be(f, at + 32, 2), Be(f, at + 34, 2)}),
                        (std::vector<uint32_t>{100, 30, 7, 9, 3, 4}));
                } else if (i + 1 == n) {
                    EXPECT_EQ(Be(f, at + 4, 4), 30u) << "size y";
                } else {
                    payload.insert(payload.end(), f.begin() + static_cast<std::ptrdiff_t>(at),
                        f.begin() + 42 + static_cast<std::ptrdiff_t>(g.bytes));
                }
            }
            EXPECT_EQ(payload.size(), k.payloadSize);
            EXPECT_EQ(camera::FindPayloadMismatch(k.first + block, payload), std::nullopt);
        }
        EXPECT_EQ(cam.Counters().packetsSent, 2 * n);
        EXPECT_NE(Be(frames[0], 18, 2), Be(frames[1], 18, 2)) << "each datagram its own IPv4 identification";
    }
}

// ---------------------------------------------------------------------------------------------
// PACKETRESEND.
// A worked example for another block, packet range and channel, its checksums filled again as
// the driver fills them (with the camera's checksum, which the worked examples pin down).
std::vector<uint8_t> ResendFrame(bool extended, uint64_t block, uint32_t first, uint32_t last, uint16_t channel = 0)
{
    std::vector<uint8_t> f = extended ? EXTENDED_EXAMPLE : STANDARD_EXAMPLE;
    auto put = [&](size_t at, uint64_t v, size_t bytes) {
        for (size_t i = 0; i < bytes; ++i) f[at + i] = static_cast<uint8_t>(v >> (8 * (bytes - 1 - i)));
    };
    put(50, channel, 2);
    put(52, extended ? 0 : (block & 0xFFFF), 2);
    put(54, first, 4);
    put(58, last, 4);
    if (extended) put(62, block, 8);
    put(24, 0, 2);
    put(40, 0, 2);
    const size_t udpLength = extended ? 36 : 28;
    std::vector<uint8_t> pseudo(f.begin() + 26, f.begin() + 34);
    pseudo.insert(pseudo.end(), {0, 17, 0, static_cast<uint8_t>(udpLength)});
    pseudo.insert(pseudo.end(), f.begin() + 34, f.begin() + 34 + static_cast<std::ptrdiff_t>(udpLength));
    put(40, camera::InternetChecksum(pseudo), 2);
    put(24, camera::InternetChecksum(std::span(f).subspan(14, 20)), 2);
    return f;
}

CameraConfig ExampleCamera(bool extended)
{
    CameraConfig c;
    c.extendedIds = extended;
    c.firstBlockId = 0x12345;
    c.payloadSize = 10 * 1000;
    c.packetSize = extended ? 1020 : 1008;   // P = 1000: packets 0..11
    return c;
}

TEST_F(CameraResend, OurRequestBuilderReproducesTheWorkedExamples)
{
    EXPECT_EQ(ResendFrame(false, 0x12345, 7, 9), STANDARD_EXAMPLE);
    EXPECT_EQ(ResendFrame(true, 0x12345, 7, 0xFFFFFFFF), EXTENDED_EXAMPLE);
}

TEST_F(CameraResend, RequestsAreAnsweredByTheirForm)
{
    struct Case {
        const char* what;
        bool extendedCamera;
        bool extendedRequest;
        uint64_t block;   // as the request names it
        uint32_t first, last;
        uint16_t channel;
        std::vector<uint32_t> answered;
    };
    const Case cases[] = {
        {"standard to the end", false, false, 0x2345, 10, 0x00FFFFFF, 0, {10, 11}},
        {"standard (the worked example)", false, false, 0x2345, 7, 9, 0, {7, 8, 9}},
        {"standard, beyond the trailer is cut", false, false, 0x2345, 11, 40, 0, {11}},
        {"standard, first after last", false, false, 0x2345, 5, 4, 0, {}},
        {"standard, another block", false, false, 0x2344, 1, 2, 0, {}},
        {"standard, another channel", false, false, 0x2345, 1, 2, 1, {}},
        {"extended, 64-bit id", true, true, 0x12345, 1, 2, 0, {1, 2}},
        {"extended, to the end (the worked example)", true, true, 0x12345, 7, 0xFFFFFFFF, 0, {7, 8, 9, 10, 11}},
        {"extended, low 16 bits alone are not the block", true, true, 0x2345, 1, 2, 0, {}},
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(k.what);
        Camera& cam = NewCamera(ExampleCamera(k.extendedCamera));
        cam.SendBlock();
        Forget();
        SendFromHost(ResendFrame(k.extendedRequest, k.block, k.first, k.last, k.channel));
        cam.Pump();
        EXPECT_EQ(ReceivedPacketIds(), k.answered);
        for (const auto& f : Received()) EXPECT_EQ(ReadGvsp(f).status, GVSP_STATUS_RESEND);
        ASSERT_EQ(cam.ResendRequests().size(), 1u);
        EXPECT_EQ(cam.ResendRequests()[0].blockId, k.block);
        EXPECT_EQ(cam.ResendRequests()[0].extendedIds, k.extendedRequest);
        EXPECT_EQ(cam.Counters().packetsResent, k.answered.size());
        Forget();
        cameras.pop_back();
    }
}

TEST_F(CameraResend, WhatTheCameraHearsIsRecordedAsItWasOnTheWire)
{
    Camera& cam = NewCamera(ExampleCamera(false));
    cam.SendBlock();
    Forget();
    auto badUdp = ResendFrame(false, 0x2345, 1, 1);
    badUdp[61] ^= 0x01;   // the last packet id: only the UDP checksum covers it
    auto badIp = ResendFrame(false, 0x2345, 2, 2);
    badIp[22] = 0x40;     // the TTL: only the IPv4 checksum covers it
    auto noUdpChecksum = ResendFrame(false, 0x2345, 3, 3);
    noUdpChecksum[40] = noUdpChecksum[41] = 0;
    auto otherCamera = ResendFrame(false, 0x2345, 4, 4);
    otherCamera[5] = 0x09;
    auto notResend = ResendFrame(false, 0x2345, 5, 5);
    notResend[45] = 0x42;   // another command
    auto otherPort = ResendFrame(false, 0x2345, 5, 5);
    otherPort[37] = 0x75;
    for (const auto& f : {badUdp, badIp, noUdpChecksum, otherCamera, notResend, otherPort}) SendFromHost(f);
    cam.Pump();

    const auto& r = cam.ResendRequests();
    ASSERT_EQ(r.size(), 4u) << "other commands and ports are not requests";
    EXPECT_TRUE(r[0].ipChecksumOk);
    EXPECT_FALSE(r[0].udpChecksumOk);
    EXPECT_EQ(r[0].lastPacketId, 0x00000000u) << "as it arrived";
    EXPECT_FALSE(r[1].ipChecksumOk);
    EXPECT_TRUE(r[1].udpChecksumOk);
    EXPECT_FALSE(r[2].udpChecksumPresent);
    EXPECT_FALSE(r[2].udpChecksumOk) << "no checksum is not a verified one";
    EXPECT_TRUE(r[3].ipChecksumOk && r[3].udpChecksumOk);
    EXPECT_FALSE(r[3].addressedToCamera);
    // A failed checksum or another camera's address: the camera never sees it; no checksum is fine.
    EXPECT_EQ((std::vector<bool>{r[0].answered, r[1].answered, r[2].answered, r[3].answered}),
        (std::vector<bool>{false, false, true, false}));
    EXPECT_EQ(ReceivedPacketIds(), std::vector<uint32_t>{3});
    EXPECT_EQ(cam.Counters().resendRequests, 4u);
    EXPECT_EQ(cam.Counters().resendRequestsIgnored, 3u);
}

}  // namespace
