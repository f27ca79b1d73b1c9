// Fuzz target of PACKETRESEND building and the worker on the virtual clock: every input opens a
// resending stream, then interleaves GVSP packets of a few blocks (any packet id, any order,
// standard or extended ids), steps of the clock that let the worker run its passes, and user-mode
// rewrites of the resend settings. Every frame the driver puts on the wire must be a well-formed
// PACKETRESEND to the camera for a block the camera sent.
//
// Input: 8 bytes of resend settings, then operations of one byte and their arguments.
#include <set>

#include "fuzz/harness.h"

using namespace fuzzing;

namespace {

constexpr uint32_t PACKET_SIZE = 1448;

// The one's-complement sum of big-endian 16-bit words, folded.
uint32_t Sum16(const uint8_t* p, size_t n)
{
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < n; i += 2) {
        sum += uint32_t(ReadBigEndian16(p + i));
    }
    if (n & 1) {
        sum += uint32_t(p[n - 1]) << 8;
    }
    while (sum > 0xFFFF) {
        sum = (sum >> 16) + (sum & 0xFFFF);
    }
    return sum;
}

// Checks one frame the miniport took: a PACKETRESEND from this host to the camera's GVCP port,
// with valid checksums, for a block in `sent` (standard ids compare in 16 bits).
void CheckResend(const std::vector<uint8_t>& f, const std::set<uint64_t>& sent)
{
    if (f.size() < 62 || ReadBigEndian16(&f[12]) != 0x0800 || !std::equal(CAMERA_MAC.begin(), CAMERA_MAC.end(), f.begin())) {
        Fail("a %zu-byte frame on the wire is no IPv4 frame to the camera", f.size());
    }
    size_t total = ReadBigEndian16(&f[16]);
    bool extended = (f[43] & 0x10) != 0;
    if (total != (extended ? 56u : 48u) || f.size() < 14 + total || f[23] != 17 || Sum16(&f[14], 20) != 0xFFFF) {
        Fail("a resend request with IPv4 total length %zu in a %zu-byte frame, or a bad IPv4 header", total, f.size());
    }
    if (ReadBigEndian16(&f[36]) != GVCP_PORT || ReadBigEndian16(&f[38]) != total - 20 || f[42] != 0x42 || ReadBigEndian16(&f[44]) != 0x0040 ||
        ReadBigEndian16(&f[46]) != total - 36) {
        Fail("a resend request with a wrong UDP or GVCP header");
    }
    std::vector<uint8_t> cover(12 + total - 20);
    std::copy(f.begin() + 26, f.begin() + 34, cover.begin());
    cover[9] = 17;
    WriteBigEndian16(&cover[10], uint16_t(total - 20));
    std::copy(f.begin() + 34, f.begin() + 14 + long(total), cover.begin() + 12);
    if (ReadBigEndian16(&f[40]) != 0 && Sum16(cover.data(), cover.size()) != 0xFFFF) {
        Fail("a resend request with a wrong UDP checksum");
    }
    uint64_t block = extended ? ReadBigEndian64(&f[62]) : ReadBigEndian16(&f[52]);
    uint32_t first = uint32_t(ReadBigEndian32(&f[54]));
    uint32_t last = uint32_t(ReadBigEndian32(&f[58]));
    bool known = false;
    for (uint64_t b : sent) {
        known |= extended ? b == block : (b & 0xFFFF) == block;
    }
    if (!known || first > last || (!extended && last > 0x00FFFFFF)) {
        Fail("a resend request for block %llu packets %u..%u, which the camera did not send that way",
            (unsigned long long)block, first, last);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Rig& rig = TheRig();
    host::Adapter& adapter = rig.Adapter(0);
    Input in(data, size);

    gvsp::StreamConfig config;
    config.packetSize = PACKET_SIZE;
    uint32_t packets = 1 + in.U8() % 24;   // payload packets of a full frame
    config.resendEnabled = true;
    config.resendSourcePort = 50001;
    config.resendTimeoutMs = 1 + in.U8() % 40;
    config.resendRetryLimit = in.U8() % 5;
    config.resendGapLimit = in.U8() % 8;
    config.missingPacketLimit = in.U8() % 8;
    config.flags = in.U8() & 3;
    config.streamChannelIndex = in.U8() % 2;
    bool extended = (in.U8() & 1) != 0;
    config.frameSize = packets * (PACKET_SIZE - (extended ? 20 : 8));

    uint64_t seenSends = adapter.SendsToMiniport();
    std::set<uint64_t> sent;
    host::UserProcess& process = rig.Machine().NewProcess();
    {
        std::unique_ptr<gvsp::Stream> stream =
            OpenStream(process, AdapterMac(0), STREAM_PORT, 3, config.frameSize, config);
        if (stream == nullptr) {
            Fail("a resending stream of %u packets could not be opened", packets);
        }
        std::unique_ptr<gvsp::PendingFrame> request = stream->RequestFrame();
        std::vector<uint8_t> payload(PACKET_SIZE, 0x5A);
        while (!in.Empty()) {
            uint8_t op = in.U8();
            switch (op % 4) {
            case 0:
            case 1: {   // a packet of one of four blocks: leader, payload or trailer, or the next
                uint64_t block = (extended ? 0x1'0000'FFF0ull : 0xFFF0) + (op >> 2) % 4 * 5;
                uint32_t id = in.U8() % (packets + 3);
                uint8_t format = id == 0 ? 1 : id == packets + 1 ? 2 : 3;
                size_t length = format == 3 ? PACKET_SIZE - (extended ? 20 : 8) : 36;
                sent.insert(block);
                bool resent = (op & 0x40) != 0;
                Rig::Indicate(adapter, UdpFrame(AdapterMac(0), STREAM_PORT, Gvsp(format, block, id, extended,
                                                 std::span(payload).first(length), resent ? 0x0100 : 0)),
                    NDIS_RECEIVE_FLAGS_DISPATCH_LEVEL);
                break;
            }
            case 2:   // the clock moves on; the worker runs every pass of that time
                Rig::AdvanceMs(in.U8() % 64);
                break;
            default: {   // user mode rewrites a resend setting
                StreamControlBlock& b = stream->Block();
                uint32_t value = in.U32();
                switch ((op >> 2) % 6) {
                case 0: b.ResendTimeout = value % 64; break;
                case 1: b.ResendRetryLimit = uint16_t(value); break;
                case 2: b.ResendEnabled = uint8_t(value); break;
                case 3: b.ResendGapLimit = value; break;
                case 4: b.MissingPacketLimit = value; break;
                default: b.ResendSourcePort = uint16_t(value); break;
                }
                break;
            }
            }
            for (const host::SendRecord& r : adapter.SentToMiniportSince(seenSends)) {
                for (const auto& f : r.frames) {
                    CheckResend(f, sent);
                }
            }
            seenSends = adapter.SendsToMiniport();
            CollectFrames(*stream, request);
        }
        EndRequest(request);
    }
    rig.Machine().EndProcess(process);
    rig.CheckReset();
    return 0;
}
