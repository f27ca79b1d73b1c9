// Fuzz target of the GVCP codec in both directions: every input is a datagram read as a command
// (and its PACKETRESEND payload) and as an acknowledge, as the camera device and the controller
// read what arrives. What parses encodes back to the datagram's bytes, and what is encoded parses
// back to itself.
#include <span>

#include "fuzz/fail.h"
#include "tools/gvcp.h"

using namespace fuzzing;
using namespace gvspfilter;

namespace {

// The datagram's header and the payload its length field announces: what an encoder writes.
void ExpectPrefix(const std::vector<uint8_t>& encoded, std::span<const uint8_t> datagram, const char* kind)
{
    if (encoded.size() > datagram.size() || !std::equal(encoded.begin(), encoded.end(), datagram.begin()) ||
        encoded.size() != GVCP_HEADER_SIZE + ReadBigEndian16(&datagram[4])) {
        Fail("a parsed %s of a %zu-byte datagram encodes to %zu other bytes", kind, datagram.size(), encoded.size());
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::span<const uint8_t> datagram(data, size);
    if (const std::optional<GvcpCommand> command = ParseCommand(datagram)) {
        ExpectPrefix(EncodeCommand(*command), datagram, "command");
        ParsePacketResend(*command);
    }
    if (const std::optional<GvcpAck> ack = ParseAck(datagram)) {
        ExpectPrefix(EncodeAck(*ack), datagram, "acknowledge");
    }
    // The other direction: the bytes as the payload of a command and of an acknowledge, read back.
    const std::vector<uint8_t> payload(data, data + std::min<size_t>(size, 0xFFFF));
    const uint16_t word = size >= 2 ? ReadBigEndian16(data) : 0;
    const GvcpCommand command{uint8_t(word), word, uint16_t(~word), payload};
    const std::optional<GvcpCommand> readCommand = ParseCommand(EncodeCommand(command));
    const GvcpAck ack{word, uint16_t(word + 1), uint16_t(~word), payload};
    const std::optional<GvcpAck> readAck = ParseAck(EncodeAck(ack));
    if (!readCommand || readCommand->flags != command.flags || readCommand->command != command.command ||
        readCommand->requestId != command.requestId || readCommand->payload != payload || !readAck ||
        readAck->status != ack.status || readAck->answer != ack.answer || readAck->ackId != ack.ackId ||
        readAck->payload != payload) {
        Fail("a command or acknowledge of %zu payload bytes does not read back", payload.size());
    }
    return 0;
}
