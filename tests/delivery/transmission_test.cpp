// The PACKETRESEND commands the driver puts on the wire, byte for byte, with their checksums and
// counters; the send-complete path that frees the driver's own packets and hands every other
// completion up; and sends that cannot be built.
#include <gtest/gtest.h>

#include "delivery/transmit.h"
#include "host/kernel/kernel.h"
#include "tests/support/gvsp_packets.h"
#include "tests/support/resend_examples.h"

using namespace gvsptest;

namespace {

std::string Hex(const std::vector<uint8_t>& bytes)
{
    std::string text;
    char b[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(b, sizeof b, "%02X ", bytes[i]);
        text += b;
        if (i % 16 == 15) {
            text += "| ";
        }
    }
    return text;
}

class Transmission : public ReceiveTest {
protected:
    static gvsp::StreamConfig ResendConfig(uint32_t payloadPackets, bool extended = false)
    {
        gvsp::StreamConfig config = Config(payloadPackets, PACKET_SIZE, extended);
        config.resendEnabled = true;
        config.resendSourcePort = 50000;
        config.streamChannelIndex = 0;
        return config;
    }

    // A stream packet's first 42 bytes, as the camera sent it: the source of a request's addresses.
    static std::vector<uint8_t> HeaderSource()
    {
        auto frame = GvspCamera(PACKET_SIZE).Leader(1);
        frame.resize(42);
        return frame;
    }

    bool Send(uint64_t blockId, bool extended, uint32_t first, uint32_t last)
    {
        auto source = HeaderSource();
        return SendPacketResend(PortOf(portId), source.data(), blockId, extended ? TRUE : FALSE, first, last) != FALSE;
    }

    static uint64_t PoolBytes() { return host::PoolUsageOfTag(POOL_TAG).bytes; }
    static uint64_t PoolBlocks() { return host::PoolUsageOfTag(POOL_TAG).blocks; }
};

// The worked examples, as the receive path sends them: a gap in the standard form, and the open
// tail of a block that a new block closes in the extended-id form (trailer expected at id 13).
class WorkedExample : public Transmission, public ::testing::WithParamInterface<bool> {};

TEST_P(WorkedExample, TheReceivePathSendsItByteForByte)
{
    const bool extended = GetParam();
    Open(ResendConfig(12, extended));
    GvspCamera camera{PACKET_SIZE, extended};
    for (uint32_t id = 0; id <= 6; ++id) {
        EXPECT_TRUE(Receive(id == 0 ? camera.Leader(0x12345) : camera.Payload(0x12345, id)));
    }
    ASSERT_TRUE(SentFrames().empty());
    EXPECT_TRUE(Receive(extended ? camera.Leader(0x12346) : camera.Payload(0x12345, 10)));

    auto sent = SentFrames();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(Hex(sent[0]), Hex(extended ? EXTENDED_EXAMPLE : STANDARD_EXAMPLE));
    EXPECT_EQ(stream->Block().ResendRequests, 1u);
    EXPECT_EQ(stream->Block().ResendPacketsRequested, extended ? 13u - 7 + 1 : 3u);
}

INSTANTIATE_TEST_SUITE_P(StandardAndExtended, WorkedExample, ::testing::Bool());

// Every request verifies, and counts the packets it asks for (32-bit wrap).
struct RequestCase {
    const char* name;
    bool extended;
    uint32_t first;
    uint32_t last;
    uint32_t counted;
    uint32_t lastOnWire;
};

void PrintTo(const RequestCase& c, std::ostream* os) { *os << c.name; }

class TransmissionRequests : public Transmission, public ::testing::WithParamInterface<RequestCase> {};

TEST_P(TransmissionRequests, ChecksumsVerifyAndThePacketsAreCounted)
{
    const RequestCase& c = GetParam();
    Open(ResendConfig(8));
    stream->Block().ExpectedPacketCount = 9;
    stream->Block().StreamChannelIndex = 0x0102;
    camera::Camera listener(*adapter);
    listener.IgnoreResendRequests(true);
    ASSERT_TRUE(Send(0xABCDEF0123ull, c.extended, c.first, c.last));

    auto sent = SentFrames();
    ASSERT_EQ(sent.size(), 1u);
    const std::vector<uint8_t>& f = sent[0];
    ASSERT_EQ(f.size(), 80u);
    // The camera hears it: both checksums verify.
    listener.Pump();
    ASSERT_EQ(listener.ResendRequests().size(), 1u);
    EXPECT_TRUE(listener.ResendRequests()[0].ipChecksumOk);
    EXPECT_TRUE(listener.ResendRequests()[0].udpChecksumOk);
    EXPECT_EQ(ReadBigEndian16(&f[16]), c.extended ? 56u : 48u);
    EXPECT_EQ(ReadBigEndian16(&f[38]), c.extended ? 36u : 28u);
    EXPECT_EQ(ReadBigEndian16(&f[46]), c.extended ? 20u : 12u);
    EXPECT_EQ(ReadBigEndian16(&f[50]), 0x0102u);
    EXPECT_EQ(ReadBigEndian32(&f[54]), c.first);
    EXPECT_EQ(ReadBigEndian32(&f[58]), c.lastOnWire);
    EXPECT_EQ(ReadBigEndian16(&f[52]), c.extended ? 0u : 0x0123u);
    EXPECT_EQ(ReadBigEndian64(&f[62]), c.extended ? 0xABCDEF0123ull : 0u);
    for (size_t i = c.extended ? 70 : 62; i < 80; ++i) {
        EXPECT_EQ(f[i], 0) << "padding byte " << i;
    }
    EXPECT_EQ(stream->Block().ResendRequests, 1u);
    EXPECT_EQ(stream->Block().ResendPacketsRequested, c.counted);
}

INSTANTIATE_TEST_SUITE_P(Table, TransmissionRequests,
    ::testing::Values(RequestCase{"StandardRange", false, 7, 9, 3, 9}, RequestCase{"StandardOne", false, 5, 5, 1, 5},
        RequestCase{"StandardToEnd", false, 3, RESEND_TO_END_OF_BLOCK, 7, 0x00FFFFFF},
        RequestCase{"StandardFromLeaderToEnd", false, 0, RESEND_TO_END_OF_BLOCK, 10, 0x00FFFFFF},
        RequestCase{"StandardToEndPastTheExpectedTrailer", false, 10, RESEND_TO_END_OF_BLOCK, 0, 0x00FFFFFF},
        RequestCase{"ExtendedRange", true, 7, 9, 3, 9},
        RequestCase{"ExtendedToEnd", true, 3, RESEND_TO_END_OF_BLOCK, 7, 0xFFFFFFFF},
        RequestCase{"ExtendedAlmostEverything", true, 0, 0xFFFFFFFE, 0xFFFFFFFF, 0xFFFFFFFE}),
    [](const ::testing::TestParamInfo<RequestCase>& param) { return std::string(param.param.name); });

TEST_F(Transmission, CompletionsFreeOwnPacketsAndHandTheOthersUpOneByOne)
{
    Open(ResendConfig(8));
    adapter->SetMiniportSends(host::MiniportSends::Hold);
    auto first = host::MakeFramePacket(EthernetFrame(std::vector<uint8_t>(30, 1), {GVCP_PORT}));
    auto second = host::MakeFramePacket(EthernetFrame(std::vector<uint8_t>(30, 2), {GVCP_PORT}));
    uint64_t bytes = PoolBytes();
    uint64_t blocks = PoolBlocks();

    adapter->SendFromProtocol(first->List(), 0, 0);
    ASSERT_TRUE(Send(5, false, 1, 2));
    adapter->SendFromProtocol(second->List(), 0, 0);
    ASSERT_EQ(adapter->SendsHeldByMiniport(), 3u);
    EXPECT_GT(PoolBlocks(), blocks);

    // A failed completion frees an own packet all the same.
    ULONG flags = NDIS_SEND_COMPLETE_FLAGS_DISPATCH_LEVEL;
    EXPECT_EQ(adapter->CompleteSends(SIZE_MAX, NDIS_STATUS_FAILURE, flags), 3u);

    auto above = adapter->SendCompletionsAbove();
    ASSERT_EQ(above.size(), 2u);
    EXPECT_EQ(above[0].lists, std::vector<PNET_BUFFER_LIST>{first->List()});
    EXPECT_EQ(above[1].lists, std::vector<PNET_BUFFER_LIST>{second->List()});
    EXPECT_EQ(above[0].flags, flags);
    EXPECT_EQ(above[1].flags, flags);
    EXPECT_EQ(above[1].statuses, std::vector<NDIS_STATUS>{NDIS_STATUS_FAILURE});
    EXPECT_EQ(PoolBytes(), bytes);
    EXPECT_EQ(PoolBlocks(), blocks);
}

// The pause waits for the own packet the miniport still holds (the emulated NDIS completes it only
// once the pause handler has had time to return, and fails a pause that returns first); a paused
// module sends nothing, and after the restart requests go out again.
TEST_F(Transmission, APauseWaitsForTheResendInFlightAndThenNothingIsSent)
{
    Open(ResendConfig(8));
    adapter->SetMiniportSends(host::MiniportSends::Hold);
    uint64_t blocks = PoolBlocks();
    ASSERT_TRUE(Send(5, false, 1, 2));
    ASSERT_EQ(adapter->SendsHeldByMiniport(), 1u);

    adapter->Pause();
    EXPECT_EQ(adapter->ModuleStateNow(), host::ModuleState::Paused);
    EXPECT_EQ(adapter->SendsHeldByMiniport(), 0u);
    EXPECT_EQ(PoolBlocks(), blocks);
    EXPECT_FALSE(Send(5, false, 3, 4));
    EXPECT_EQ(SentFrames().size(), 1u);

    adapter->Restart();
    adapter->SetMiniportSends(host::MiniportSends::CompleteAtOnce);
    EXPECT_TRUE(Send(5, false, 3, 4));
    EXPECT_EQ(SentFrames().size(), 2u);
}

// A request that cannot be built sends nothing and leaves nothing allocated, but was counted.
struct FailureCase {
    const char* name;
    host::Fault fault;
    uint32_t nth;
};

void PrintTo(const FailureCase& c, std::ostream* os) { *os << c.name; }

class TransmissionFailure : public Transmission, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(TransmissionFailure, SendsNothingAndLeaksNothing)
{
    Open(ResendConfig(8));
    uint64_t bytes = PoolBytes();
    uint64_t blocks = PoolBlocks();
    host::FailCall(GetParam().fault, GetParam().nth);
    EXPECT_FALSE(Send(5, false, 2, 4));
    EXPECT_TRUE(SentFrames().empty());
    EXPECT_EQ(PoolBytes(), bytes);
    EXPECT_EQ(PoolBlocks(), blocks);
    EXPECT_EQ(stream->Block().ResendRequests, 1u);
    EXPECT_EQ(stream->Block().ResendPacketsRequested, 3u);
    // The next request goes out.
    EXPECT_TRUE(Send(5, false, 2, 4));
    EXPECT_EQ(SentFrames().size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Allocations, TransmissionFailure,
    ::testing::Values(FailureCase{"PacketBuffer", host::Fault::PoolAllocation, 1},
        FailureCase{"Mdl", host::Fault::MdlAllocation, 1}, FailureCase{"NetBufferList", host::Fault::NblAllocation, 1}),
    [](const ::testing::TestParamInfo<FailureCase>& param) { return std::string(param.param.name); });

TEST_F(Transmission, WithoutAChecksumScratchBufferTheRequestGoesWithZeroChecksums)
{
    Open(ResendConfig(8));
    uint64_t blocks = PoolBlocks();
    host::FailCall(host::Fault::PoolAllocation, 2);
    EXPECT_TRUE(Send(0x12345, false, 7, 9));
    auto sent = SentFrames();
    ASSERT_EQ(sent.size(), 1u);
    std::vector<uint8_t> expected = STANDARD_EXAMPLE;
    expected[24] = expected[25] = 0;
    expected[40] = expected[41] = 0;
    EXPECT_EQ(Hex(sent[0]), Hex(expected));
    EXPECT_EQ(PoolBlocks(), blocks);
}

}  // namespace
