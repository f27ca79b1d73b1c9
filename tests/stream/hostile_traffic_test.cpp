// Hostile traffic: seeded streams of malformed, truncated, out-of-range and oddly segmented
// packets to a bound, active port, while user mode rewrites the stream's configuration and takes
// and returns frames. Nothing may crash, no frame may be linked twice, and the checker must find
// nothing when the machine ends; frames handed over always name a buffer of the stream.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "tests/support/gvsp_packets.h"

using namespace gvsptest;

namespace {

class HostileTraffic : public ReceiveTest, public ::testing::WithParamInterface<uint32_t> {
protected:
    // A GVSP packet with fields drawn near the limits the driver checks.
    std::vector<uint8_t> RandomGvsp(std::mt19937& rng)
    {
        auto pick = [&](uint32_t n) { return uint32_t(rng() % n); };
        GvspHeader f{};
        f.ExtendedIds = pick(4) == 0;
        const uint64_t blocks[] = {0, 1, 2, 3, 65535, 65534, 1ull << 40, ~0ull, 30001, 100};
        f.BlockId = pick(3) == 0 ? blocks[pick(10)] : 1 + pick(6);
        const uint32_t ids[] = {0, 1, 2, 3, 4, 5, 65535, 65536, 0xFFFFFF, 0xFFFFFFFF, 63, 64, 1000};
        f.PacketId = ids[pick(13)];
        f.Format = uint8_t(pick(16));
        const uint16_t statuses[] = {0, 0, 0, 0x0100, 0x8001, 0x4008, 0xFFFF};
        f.Status = statuses[pick(7)];
        std::vector<uint8_t> data(pick(4) == 0 ? 0 : pick(5) == 0 ? pick(8) : pick(3000));
        for (size_t i = 0; i < data.size(); ++i) {
            data[i] = uint8_t(rng());
        }
        std::vector<uint8_t> gvsp = GvspBytes(f, data);
        if (pick(8) == 0) {
            gvsp.resize(pick(uint32_t(gvsp.size()) + 1));   // cut anywhere, even inside the header
        }
        return gvsp;
    }

    // The frame as an adapter might present it: offsets, split segments, unmapped memory.
    std::unique_ptr<host::Packet> Present(std::mt19937& rng, const std::vector<uint8_t>& frame)
    {
        auto pick = [&](uint32_t n) { return uint32_t(rng() % n); };
        const host::SegmentMapping mappings[] = {host::SegmentMapping::NonPagedPool,
            host::SegmentMapping::MappedToSystemVa, host::SegmentMapping::Unmapped};
        host::PacketBuilder builder;
        ULONG offset = pick(3) == 0 ? pick(64) : 0;
        std::vector<uint8_t> bytes(offset, 0xA5);
        bytes.insert(bytes.end(), frame.begin(), frame.end());
        size_t at = 0;
        while (at < bytes.size()) {
            size_t n = pick(2) == 0 ? bytes.size() - at : 1 + pick(uint32_t(bytes.size() - at));
            builder.Segment(std::vector<uint8_t>(bytes.begin() + long(at), bytes.begin() + long(at + n)),
                mappings[pick(3)]);
            at += n;
        }
        builder.Offset(offset);
        if (pick(10) == 0) {
            builder.Length(ULONG(pick(uint32_t(frame.size()) + 1)));   // a DataLength that lies
        }
        return builder.Build();
    }

    // User mode rewriting the configuration under the driver's feet.
    void RewriteConfiguration(std::mt19937& rng)
    {
        auto pick = [&](uint32_t n) { return uint32_t(rng() % n); };
        StreamControlBlock& b = stream->Block();
        const uint32_t packetSizes[] = {0, 8, 9, 20, 21, 1448, 1448, 8000, 0xFFFFFFFF};
        const uint32_t chunkSizes[] = {0, 1, 100, 1440, 4096, 1u << 20, 0xFFFFFFFF};
        switch (pick(6)) {
        case 0: b.PacketSize = packetSizes[pick(9)]; break;
        case 1: b.FrameSize = pick(2) == 0 ? 0 : uint32_t(rng()); break;
        case 2: b.OverflowChunkSize = chunkSizes[pick(7)]; break;
        case 3: b.Flags = pick(4); break;
        case 4: b.ResendGapLimit = pick(4); b.MissingPacketLimit = pick(4); break;
        default: b.ResendEnabled = uint8_t(pick(2)); break;
        }
    }
};

TEST_P(HostileTraffic, NeitherThePacketsNorTheConfigurationBreakTheDriver)
{
    std::mt19937 rng(GetParam());
    gvsp::StreamConfig config = Config(3);
    config.overflowChunkSize = 1440;
    config.resendEnabled = true;
    Open(config, 2 * P, 3);
    ASSERT_EQ(stream->Start(), STATUS_SUCCESS);

    std::vector<uint64_t> buffers;
    for (uint32_t i = 0; i < 3; ++i) {
        buffers.push_back(stream->Descriptor(i).UserAddress + FRAME_PRIVATE_SIZE);
    }
    uint32_t held = 0;
    for (int round = 0; round < 600; ++round) {
        std::vector<uint8_t> gvsp = RandomGvsp(rng);
        UdpOptions options;
        options.filler = rng() % 4 == 0 ? rng() % 32 : 0;
        std::vector<uint8_t> frame = EthernetFrame(gvsp, options);
        if (rng() % 5 == 0) {
            // A header byte that lies: EtherType, version and header length, IPv4 total length,
            // UDP length.
            const size_t lies[] = {12, 13, 14, 14, 16, 17, 38, 39};
            frame[lies[rng() % 8]] = uint8_t(rng());
        }
        ReceivePacket(Present(rng, frame), rng() % 2 == 0 ? NDIS_RECEIVE_FLAGS_DISPATCH_LEVEL : 0);
        if (rng() % 20 == 0) {
            RewriteConfiguration(rng);
        }
        if (rng() % 15 == 0) {
            stream->Flush();
        }
        // Take what is there and give it back; each frame names one of the stream's buffers. An
        // overflowed frame without a replacement buffer stays with user mode.
        auto request = stream->RequestFrame();
        if (!request->Done()) {
            request->Cancel();
        }
        gvsp::Frame taken;
        if (request->Wait(&taken) == STATUS_SUCCESS) {
            EXPECT_NE(std::find(buffers.begin(), buffers.end(), taken.HeaderAddress()), buffers.end());
            if (stream->ReturnFrame(taken) == STATUS_SUCCESS) {
                EXPECT_EQ(stream->ReturnFrame(taken), STATUS_UNSUCCESSFUL) << "never linked twice";
            } else {
                held += 1;
            }
        }
    }
    const StreamControlBlock& b = stream->Block();
    EXPECT_EQ(b.FreeFrameCount + b.AssemblingFrameCount + b.CompletedFrameCount + held, 3u);
}

INSTANTIATE_TEST_SUITE_P(Seeds, HostileTraffic, ::testing::Values(1u, 2u, 3u, 4u, 5u, 6u, 7u, 8u));

}  // namespace
