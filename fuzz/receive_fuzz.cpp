// Fuzz target of the receive path: every input opens a stream on the loaded driver with a
// configuration it chooses, then indicates a sequence of Ethernet frames through the emulated
// NDIS, in either receive mode and cut into segments as it says, collecting and returning the
// frames handed over as they complete. Most records are GVSP datagrams wrapped in a well-formed
// Ethernet/IPv4/UDP frame to the bound port, so that mutations land in GVSP parsing.
//
// Input: 12 bytes of stream configuration, then records of
//   control (1) | length (2, little-endian) | bytes
// control bit 0: indicate at DISPATCH_LEVEL; bit 1: NDIS_RECEIVE_FLAGS_RESOURCES; bit 2: the bytes
// are a whole Ethernet frame (otherwise a GVSP datagram to the bound port); bits 3-4: segments
// (whole, header-data split at 42, split at the next input byte, whole but unmapped); bit 5: a
// leading byte of the record rewrites one configuration field; bit 6: move the clock on 1 ms.
#include "fuzz/harness.h"

using namespace fuzzing;

namespace {

// One user-mode write of the configuration, with a field and a value chosen by the input.
void RewriteConfiguration(StreamControlBlock& b, uint8_t field, uint32_t value)
{
    switch (field % 7) {
    case 0: b.PacketSize = value; break;
    case 1: b.FrameSize = value; break;
    case 2: b.OverflowChunkSize = value; break;
    case 3: b.Flags = value; break;
    case 4: b.ResendGapLimit = value; break;
    case 5: b.MissingPacketLimit = value; break;
    default: b.ResendEnabled = uint8_t(value); break;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Rig& rig = TheRig();
    Input in(data, size);

    gvsp::StreamConfig config;
    config.packetSize = 20 + in.U16() % 9000;
    config.frameSize = in.U16() * 4u;
    config.flags = in.U8() & 3;
    config.overflowChunkSize = in.U16();
    config.resendEnabled = (in.U8() & 1) != 0;
    config.resendSourcePort = 50001;
    config.resendTimeoutMs = in.U8() % 8;
    uint32_t frames = 1 + in.U8() % 4;
    uint32_t payloadRoom = in.U16() % 16384;

    host::UserProcess& process = rig.Machine().NewProcess();
    {
        std::unique_ptr<gvsp::Stream> stream = OpenStream(process, AdapterMac(0), STREAM_PORT, frames, payloadRoom, config);
        if (stream == nullptr) {
            Fail("a stream with %u frames of %u payload bytes could not be opened", frames, payloadRoom);
        }
        std::unique_ptr<gvsp::PendingFrame> request = stream->RequestFrame();
        while (!in.Empty()) {
            uint8_t control = in.U8();
            uint16_t length = in.U16();
            if (control & 0x20) {
                uint8_t field = in.U8();
                RewriteConfiguration(stream->Block(), field, in.U32());
            }
            std::vector<uint8_t> bytes = in.Bytes(length);
            std::vector<uint8_t> frame = (control & 0x04) ? bytes : UdpFrame(AdapterMac(0), STREAM_PORT, bytes);
            ULONG flags = ((control & 1) ? NDIS_RECEIVE_FLAGS_DISPATCH_LEVEL : 0) |
                          ((control & 2) ? NDIS_RECEIVE_FLAGS_RESOURCES : 0);
            switch ((control >> 3) & 3) {
            case 0: Rig::Indicate(rig.Adapter(0), frame, flags); break;
            case 1: Rig::Indicate(rig.Adapter(0), frame, flags, 42); break;
            case 2: Rig::Indicate(rig.Adapter(0), frame, flags, 1 + in.U8()); break;
            default: Rig::Indicate(rig.Adapter(0), frame, flags, 0, host::SegmentMapping::Unmapped); break;
            }
            if (control & 0x40) {
                Rig::AdvanceMs(1);
            }
            CollectFrames(*stream, request);
            if (request == nullptr) {
                request = stream->RequestFrame();
            }
        }
        EndRequest(request);
        const StreamControlBlock& b = stream->Block();
        if (b.FreeFrameCount + b.CompletedFrameCount + b.AssemblingFrameCount > frames) {
            Fail("the frame lists count %u frames of %u", b.FreeFrameCount + b.CompletedFrameCount + b.AssemblingFrameCount,
                frames);
        }
    }
    rig.Machine().EndProcess(process);
    rig.CheckReset();
    return 0;
}
