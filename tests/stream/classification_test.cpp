// Receive classification as the adapter and the protocols above see it: which packets the driver
// keeps, which go up unchanged, how a chain is split into one indication and one return, and how
// the GVSP bytes are found in segmented, split and padded packets.
#include <gtest/gtest.h>

#include "tests/support/gvsp_packets.h"

using namespace gvsptest;

namespace {

class Classification : public ReceiveTest {
protected:
    void SetUp() override
    {
        ReceiveTest::SetUp();
        Open(Config(4));
    }

    // The payload the frame of `block` holds once its trailer closes it.
    void ExpectPayloadOfPackets(const gvsp::Frame& frame, uint64_t block, uint32_t packets)
    {
        ASSERT_TRUE(frame.Valid());
        EXPECT_EQ(frame.Status(), FRAME_STATUS_COMPLETE);
        ASSERT_EQ(frame.Payload().size(), size_t{packets} * P);
        EXPECT_EQ(Misplaced(frame.Payload(), block, 0), "");
    }

    GvspCamera camera{PACKET_SIZE};
};

std::vector<uint8_t> OtherUdpFrame(uint16_t port)
{
    std::vector<uint8_t> data(64, 0x5A);
    return EthernetFrame(data, {port});
}

// A chain of stream and other packets: without NDIS_RECEIVE_FLAGS_RESOURCES the others go up as
// one indication and the stream's packets back down as one return; with it each other packet goes
// up alone, nothing is returned and the chain stays linked as the miniport gave it.
TEST_F(Classification, AChainSplitsIntoWhatGoesUpAndWhatIsKept)
{
    for (ULONG flags : {ULONG{NDIS_RECEIVE_FLAGS_DISPATCH_LEVEL},
             ULONG{NDIS_RECEIVE_FLAGS_DISPATCH_LEVEL | NDIS_RECEIVE_FLAGS_RESOURCES}}) {
        const bool resources = (flags & NDIS_RECEIVE_FLAGS_RESOURCES) != 0;
        SCOPED_TRACE(resources);
        const uint64_t block = resources ? 8 : 7;
        std::vector<std::unique_ptr<host::Packet>> chain;
        chain.push_back(host::MakeFramePacket(OtherUdpFrame(50001)));
        chain.push_back(host::MakeFramePacket(camera.Leader(block)));
        chain.push_back(host::MakeFramePacket(EthernetFrame(std::vector<uint8_t>(40, 1), {50000, 6})));
        chain.push_back(host::MakeFramePacket(camera.Payload(block, 1)));
        chain.push_back(host::MakeFramePacket(OtherUdpFrame(137)));
        const size_t upBefore = adapter->IndicatedAbove().size();
        const size_t returnsBefore = adapter->ReturnedToMiniport().size();

        adapter->Indicate(host::LinkPackets(chain), 0, flags);

        auto above = adapter->IndicatedAbove();
        std::vector<PNET_BUFFER_LIST> up;
        for (size_t i = upBefore; i < above.size(); ++i) {
            EXPECT_EQ(above[i].count, above[i].lists.size());
            EXPECT_EQ(above[i].flags, flags);
            up.insert(up.end(), above[i].lists.begin(), above[i].lists.end());
        }
        EXPECT_EQ(above.size() - upBefore, resources ? 3u : 1u);
        EXPECT_EQ(up, (std::vector<PNET_BUFFER_LIST>{chain[0]->List(), chain[2]->List(), chain[4]->List()}));
        auto returns = adapter->ReturnedToMiniport();
        if (resources) {
            EXPECT_EQ(returns.size(), returnsBefore);
            for (size_t i = 0; i + 1 < chain.size(); ++i) {
                EXPECT_EQ(chain[i]->List()->Next, chain[i + 1]->List()) << "link after packet " << i + 1;
            }
            EXPECT_EQ(chain.back()->List()->Next, nullptr);
        } else {
            ASSERT_GT(returns.size(), returnsBefore);
            EXPECT_EQ(returns[returnsBefore].lists, (std::vector<PNET_BUFFER_LIST>{chain[1]->List(), chain[3]->List()}));
            EXPECT_EQ(returns[returnsBefore].flags, ULONG{NDIS_RETURN_FLAGS_DISPATCH_LEVEL});
        }
        EXPECT_EQ(CurrentHeader().ReceivedPackets, 2u);
    }
}

TEST_F(Classification, AnInactiveStreamsPacketsGoUp)
{
    stream->SetActive(false);
    EXPECT_FALSE(Receive(camera.Leader(3)));
    EXPECT_EQ(stream->Block().AssemblingFrameCount, 0u);
    stream->SetActive(true);
    EXPECT_TRUE(Receive(camera.Leader(3)));
    EXPECT_EQ(stream->Block().AssemblingFrameCount, 1u);
}

// Packets that are not a locatable stream packet of this port go up exactly as they came.
struct PassUpCase {
    const char* name;
    std::function<std::unique_ptr<host::Packet>(const GvspCamera&)> build;
};

void PrintTo(const PassUpCase& c, std::ostream* os) { *os << c.name; }

class ClassificationPassUp : public Classification, public ::testing::WithParamInterface<PassUpCase> {};

TEST_P(ClassificationPassUp, GoesUpUnchangedAndNothingIsAssembled)
{
    std::unique_ptr<host::Packet> packet = GetParam().build(camera);
    std::vector<uint8_t> before = host::NetBufferBytes(packet->NetBuffer(0));
    host::Packet* kept = packet.get();

    EXPECT_FALSE(ReceivePacket(std::move(packet)));
    EXPECT_EQ(host::NetBufferBytes(kept->NetBuffer(0)), before);
    EXPECT_EQ(stream->Block().AssemblingFrameCount, 0u);
    EXPECT_EQ(stream->Block().ExpectedPacketCount, 0u);
}

std::vector<uint8_t> Head(const std::vector<uint8_t>& frame, size_t n) { return {frame.begin(), frame.begin() + long(n)}; }
std::vector<uint8_t> Tail(const std::vector<uint8_t>& frame, size_t n) { return {frame.begin() + long(n), frame.end()}; }

// A stream packet's frame with `set(frame)` applied: other protocols and broken headers whose bytes
// 23 and 36-37 still read as UDP to the bound port.
std::function<std::unique_ptr<host::Packet>(const GvspCamera&)> Altered(std::function<void(std::vector<uint8_t>&)> set)
{
    return [set](const GvspCamera& c) {
        auto f = c.Leader(3);
        set(f);
        return host::MakeFramePacket(f);
    };
}

// `frame` with `n` bytes of IPv4 options (no-operations) after its 20-byte header.
std::vector<uint8_t> WithIpOptions(std::vector<uint8_t> frame, uint8_t n)
{
    frame.insert(frame.begin() + 34, n, 0x01);
    frame[14] = uint8_t(0x45 + n / 4);
    WriteBigEndian16(&frame[16], uint16_t(ReadBigEndian16(&frame[16]) + n));
    return frame;
}

INSTANTIATE_TEST_SUITE_P(Packets, ClassificationPassUp,
    ::testing::Values(
        PassUpCase{"NotUdp",
            [](const GvspCamera& c) {
                auto f = c.Leader(3);
                f[23] = 6;
                return host::MakeFramePacket(f);
            }},
        PassUpCase{"AnotherPort",
            [](const GvspCamera& c) {
                auto f = c.Leader(3);
                f[37] += 1;
                return host::MakeFramePacket(f);
            }},
        PassUpCase{"PortBytesSwapped",
            [](const GvspCamera& c) {
                auto f = c.Leader(3);
                std::swap(f[36], f[37]);
                return host::MakeFramePacket(f);
            }},
        PassUpCase{"ExactlyTheHeadersAndNoFurtherSegment",
            [](const GvspCamera& c) { return host::MakeFramePacket(Head(c.Leader(3), 42)); }},
        PassUpCase{"ShorterThanTheHeaders",
            [](const GvspCamera& c) { return host::MakeFramePacket(Head(c.Leader(3), 41)); }},
        PassUpCase{"FirstSegmentShorterThanTheHeaders",
            [](const GvspCamera& c) {
                auto f = c.Leader(3);
                return host::PacketBuilder().Segment(Head(f, 30)).Segment(Tail(f, 30)).Build();
            }},
        PassUpCase{"FirstSegmentShorterThanTheHeadersAfterItsOffset",
            [](const GvspCamera& c) {
                auto f = c.Leader(3);
                std::vector<uint8_t> first(16, 0xCC);
                first.insert(first.end(), f.begin(), f.begin() + 41);
                return host::PacketBuilder().Segment(first).Offset(16).Segment(Tail(f, 41)).Build();
            }},
        PassUpCase{"SplitWithASecondSegmentShorterThanAGvspHeader",
            [](const GvspCamera& c) {
                auto f = c.Leader(3);
                return host::PacketBuilder().Segment(Head(f, 42)).Segment(std::vector<uint8_t>(f.begin() + 42, f.begin() + 49)).Build();
            }},
        PassUpCase{"SplitWithAnEmptySecondSegment",
            [](const GvspCamera& c) {
                auto f = c.Leader(3);
                return host::PacketBuilder().Segment(Head(f, 42)).Segment({}).Segment(Tail(f, 42)).Build();
            }},
        PassUpCase{"Ipv6", Altered([](auto& f) { f[12] = 0x86, f[13] = 0xDD, f[14] = 0x60; })},
        PassUpCase{"Arp", Altered([](auto& f) { f[12] = 0x08, f[13] = 0x06; })},
        PassUpCase{"VlanTagged", Altered([](auto& f) {
            f.insert(f.begin() + 12, {0x81, 0x00, 0x00, 0x05});
            f[20] = f[21] = 0, f[23] = 17, f[36] = f[40], f[37] = f[41];
        })},
        PassUpCase{"IpVersion5", Altered([](auto& f) { f[14] = 0x55; })},
        PassUpCase{"IhlBelowFive", Altered([](auto& f) { f[14] = 0x44; })},
        PassUpCase{"UdpHeaderBeyondTheFirstSegment",
            [](const GvspCamera& c) {
                auto f = c.Leader(3, 64);
                f[14] = 0x4F;
                return host::PacketBuilder().SplitFrame(f, 80).Build();
            }},
        PassUpCase{"IpTotalLengthBeyondTheFrame", Altered([](auto& f) { WriteBigEndian16(&f[16], uint16_t(f.size() - 13)); })},
        PassUpCase{"UdpLengthBeyondTheIpDatagram", Altered([](auto& f) { WriteBigEndian16(&f[38], uint16_t(f.size() - 33)); })},
        PassUpCase{"UdpLengthShorterThanItsHeader", Altered([](auto& f) { WriteBigEndian16(&f[38], 7); })},
        PassUpCase{"OptionsHideTheBoundPort",
            [](const GvspCamera& c) {
                auto f = WithIpOptions(c.Leader(3), 4);
                std::copy(f.begin() + 40, f.begin() + 42, f.begin() + 36);   // bound port in the header's old place
                WriteBigEndian16(&f[40], 137);
                return host::MakeFramePacket(f);
            }},
        PassUpCase{"FirstNetBufferNotAStreamPacket",
            [](const GvspCamera& c) {
                return host::PacketBuilder().Segment(OtherUdpFrame(50001)).NextNetBuffer().Segment(c.Leader(3)).Build();
            }}),
    [](const ::testing::TestParamInfo<PassUpCase>& param) { return std::string(param.param.name); });

// A datagram larger than the path's MTU arrives in IP fragments: none of them is a stream packet.
// They go up unchanged, the port counts the fragmented datagram, and the frame completes only
// once the packet comes whole.
TEST_F(Classification, IpFragmentsGoUpAndAreCountedButNeverCompleteAFrame)
{
    std::vector<uint8_t> whole = camera.Payload(5, 2);
    constexpr size_t FIRST_IP_PAYLOAD = 8 + 8 + 600;   // UDP header, GVSP header, data; 8-byte units
    std::vector<uint8_t> first = Head(whole, 34 + FIRST_IP_PAYLOAD);
    WriteBigEndian16(&first[16], 20 + FIRST_IP_PAYLOAD);
    WriteBigEndian16(&first[20], 0x2000);   // more fragments, offset 0
    std::vector<uint8_t> second = Head(whole, 34);
    second.insert(second.end(), whole.begin() + long(34 + FIRST_IP_PAYLOAD), whole.end());
    WriteBigEndian16(&second[16], uint16_t(second.size() - 14));
    WriteBigEndian16(&second[20], FIRST_IP_PAYLOAD / 8);

    EXPECT_TRUE(Receive(camera.Leader(5)));
    for (uint32_t id : {1u, 3u, 4u}) {
        EXPECT_TRUE(Receive(camera.Payload(5, id)));
    }
    EXPECT_FALSE(Receive(first));
    EXPECT_FALSE(Receive(second));
    EXPECT_TRUE(Receive(camera.Trailer(5, 5)));
    EXPECT_EQ(stream->Block().CompletedFrameCount, 0u) << "completed with a packet's bytes missing";
    EXPECT_EQ(PortOf(portId)->FragmentedDatagrams, 1);

    EXPECT_TRUE(Receive(camera.Payload(5, 2, SIZE_MAX, GVSP_STATUS_RESEND)));
    ExpectPayloadOfPackets(TakeFrame(), 5, 4);
}

// The UDP header follows the real IPv4 header, options included, whole or split from the data.
TEST_F(Classification, Ipv4OptionsMoveTheUdpAndGvspHeaders)
{
    for (uint8_t options : {uint8_t{4}, uint8_t{12}, uint8_t{40}}) {
        SCOPED_TRACE(int(options));
        const uint64_t block = 20 + options;
        const size_t split = 42 + options;
        EXPECT_TRUE(Receive(WithIpOptions(camera.Leader(block), options)));
        for (uint32_t id = 1; id <= 4; ++id) {
            auto f = WithIpOptions(camera.Payload(block, id), options);
            EXPECT_TRUE(id % 2 == 0 ? Receive(f) : ReceivePacket(host::PacketBuilder().SplitFrame(f, split).Build()));
        }
        EXPECT_TRUE(Receive(WithIpOptions(camera.Trailer(block, 5), options)));
        ExpectPayloadOfPackets(TakeFrame(), block, 4);
    }
}

TEST_F(Classification, UnmappedFirstSegmentThatCannotBeMappedGoesUp)
{
    host::FailCall(host::Fault::Mapping, 1);
    EXPECT_FALSE(Receive(camera.Leader(3), host::SegmentMapping::Unmapped));
    EXPECT_EQ(stream->Block().AssemblingFrameCount, 0u);
}

TEST_F(Classification, UnmappedSegmentsAreMappedAndAssembled)
{
    EXPECT_TRUE(Receive(camera.Leader(9), host::SegmentMapping::Unmapped));
    for (uint32_t id = 1; id <= 4; ++id) {
        auto f = camera.Payload(9, id);
        EXPECT_TRUE(ReceivePacket(host::PacketBuilder()
                                      .Segment(Head(f, 42 + 8 + 100), host::SegmentMapping::Unmapped)
                                      .Segment(Tail(f, 42 + 8 + 100), host::SegmentMapping::Unmapped)
                                      .Build()));
    }
    EXPECT_TRUE(Receive(camera.Trailer(9, 5), host::SegmentMapping::MappedToSystemVa));
    ExpectPayloadOfPackets(TakeFrame(), 9, 4);
}

TEST_F(Classification, HeaderDataSplitReadsTheGvspHeaderFromTheSecondSegment)
{
    auto split = [](const std::vector<uint8_t>& f) { return host::PacketBuilder().SplitFrame(f, 42).Build(); };
    EXPECT_TRUE(ReceivePacket(split(camera.Leader(11, 56))));
    for (uint32_t id = 4; id >= 1; --id) {
        EXPECT_TRUE(ReceivePacket(split(camera.Payload(11, id))));
    }
    EXPECT_TRUE(ReceivePacket(split(camera.Trailer(11, 5, 24))));
    gvsp::Frame frame = TakeFrame();
    ExpectPayloadOfPackets(frame, 11, 4);
    EXPECT_EQ(frame.Header().LeaderSize, 56u);
    EXPECT_EQ(frame.Header().TrailerSize, 24u);
    auto leader = camera.LeaderGvsp(11, 56);
    EXPECT_TRUE(std::equal(leader.begin(), leader.end(), frame.Leader().begin()));
}

TEST_F(Classification, TheIpv4TotalLengthBoundsTheGvspBytesNotTheSegment)
{
    auto leader = camera.LeaderGvsp(13, 44);
    EXPECT_TRUE(Receive(EthernetFrame(leader, {50000, 17, 60})));
    EXPECT_TRUE(Receive(EthernetFrame(camera.PayloadGvsp(13, 1, 1000), {50000, 17, 300})));
    const FrameHeader& header = CurrentHeader();
    EXPECT_EQ(header.LeaderSize, 44u);
    EXPECT_EQ(header.PayloadSize, 1000u);
    const uint8_t* payload = CurrentBuffer() + FRAME_BUFFER_MIN_SIZE;
    EXPECT_EQ(Misplaced({payload, 1000}, 13, 0), "");
    EXPECT_NE(payload[1000], 0xEE) << "the filler after the datagram was placed";
}

TEST_F(Classification, SeveralNetBuffersAreJudgedByTheFirstAndReturnedWhole)
{
    size_t returnsBefore = adapter->ReturnedToMiniport().size();
    auto packet = host::PacketBuilder()
                      .Segment(camera.Leader(14))
                      .NextNetBuffer()
                      .Segment(camera.Payload(14, 1))
                      .Build();
    PNET_BUFFER_LIST list = packet->List();
    EXPECT_TRUE(ReceivePacket(std::move(packet)));
    auto returns = adapter->ReturnedToMiniport();
    ASSERT_EQ(returns.size(), returnsBefore + 1);
    EXPECT_EQ(returns.back().lists, std::vector<PNET_BUFFER_LIST>{list});
    const FrameHeader& header = CurrentHeader();
    EXPECT_EQ(header.ReceivedPackets, 1u);
    EXPECT_EQ(header.LeaderReceived, 1);
    EXPECT_EQ(header.PayloadSize, 0u);
}

TEST_F(Classification, AContinuationThatCannotBeStoredGoesUp)
{
    gvsp::StreamConfig config = Config(4);
    config.overflowChunkSize = 4096;
    stream->Configure(config);
    // The buffer holds 16 packets; packet 17 starts at its end and continues in a second segment.
    EXPECT_TRUE(Receive(camera.Leader(15)));
    auto f = camera.Payload(15, 17);
    host::FailCall(host::Fault::PoolAllocation, 1);
    EXPECT_FALSE(ReceivePacket(host::PacketBuilder().Segment(Head(f, 42 + 8)).Segment(Tail(f, 42 + 8)).Build()));
}

}  // namespace
