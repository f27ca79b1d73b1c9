// The wire codec against golden bytes: the fields each GVSP header, PACKETRESEND payload and GVCP
// header decodes to, and the same fields encoded back to the same bytes.
#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "base/wire_format.h"

namespace {

auto Fields(const GvspHeader& h) { return std::tuple(h.Status, h.Format, h.ExtendedIds, h.BlockId, h.PacketId); }
auto Fields(const PacketResend& r) { return std::tuple(r.ExtendedIds, r.StreamChannel, r.BlockId, r.FirstPacketId, r.LastPacketId); }

TEST(WireFormat, GvspHeadersDecodeFromAndEncodeToTheirBytes)
{
    const std::pair<std::vector<uint8_t>, GvspHeader> cases[] = {
        {{0x00, 0x00, 0x00, 0x05, 0x03, 0x00, 0x00, 0x02}, {0x0000, 3, false, 5, 2}},
        {{0x81, 0x00, 0xFF, 0xFE, 0x01, 0xAB, 0xCD, 0xEF}, {0x8100, 1, false, 0xFFFE, 0xABCDEF}},
        {{0x01, 0x00, 0, 0, 0x82, 0, 0, 0, 0, 0, 0x01, 0, 0, 0, 0, 0, 0x00, 0x01, 0x00, 0x00}, {0x0100, 2, true, 1ull << 40, 65536}},
    };
    for (const auto& [bytes, header] : cases) {
        GvspHeader decoded{};
        EXPECT_EQ(DecodeGvspHeader(bytes.data(), uint32_t(bytes.size()), &decoded), bytes.size());
        EXPECT_EQ(Fields(decoded), Fields(header));
        std::vector<uint8_t> encoded(bytes.size(), 0xEE);
        EXPECT_EQ(EncodeGvspHeader(encoded.data(), header), bytes.size());
        EXPECT_EQ(encoded, bytes);
        EXPECT_EQ(DecodeGvspHeader(bytes.data(), 19, &decoded), header.ExtendedIds ? 0u : 8u) << "19 bytes";
    }
}

TEST(WireFormat, PacketResendPayloadsDecodeFromAndEncodeToTheirBytes)
{
    const std::tuple<uint8_t, std::vector<uint8_t>, PacketResend> cases[] = {
        {0x00, {0, 0, 0x23, 0x45, 0, 0, 0, 7, 0, 0, 0, 9}, {false, 0, 0x2345, 7, 9}},
        {0x00, {0, 2, 0x23, 0x45, 0, 0, 0, 7, 0, 0xFF, 0xFF, 0xFF}, {false, 2, 0x2345, 7, RESEND_TO_END_OF_BLOCK}},
        {0x10, {0, 0, 0, 0, 0, 0, 0, 7, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 1, 0x23, 0x45}, {true, 0, 0x12345, 7, RESEND_TO_END_OF_BLOCK}},
    };
    for (const auto& [flags, bytes, request] : cases) {
        PacketResend decoded{};
        EXPECT_TRUE(DecodePacketResend(bytes.data(), uint32_t(bytes.size()), flags, &decoded));
        EXPECT_EQ(Fields(decoded), Fields(request));
        EXPECT_FALSE(DecodePacketResend(bytes.data(), uint32_t(bytes.size() - 1), flags, &decoded));
        std::vector<uint8_t> encoded(bytes.size(), 0xEE);
        EXPECT_EQ(EncodePacketResend(encoded.data(), request), bytes.size());
        EXPECT_EQ(encoded, bytes);
    }
    const std::vector<uint8_t> command = {0x42, 0x10, 0x00, 0x40, 0x00, 0x14, 0x00, 0x01};
    GvcpCommandHeader header{};
    EXPECT_TRUE(DecodeGvcpCommandHeader(command.data(), &header));
    EXPECT_EQ(std::tuple(header.Flags, header.Command, header.Length, header.RequestId), std::tuple(0x10, 0x40, 20, 1));
    std::vector<uint8_t> encoded(8);
    EncodeGvcpCommandHeader(encoded.data(), header);
    EXPECT_EQ(encoded, command);
}

}  // namespace
