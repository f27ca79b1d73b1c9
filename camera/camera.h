// A GigE Vision camera emulator on a simulated adapter: it streams GVSP blocks to the driver,
// impairs them on request and answers PACKETRESEND commands; its block builder also feeds the
// emulated device on a real socket. Host only, one thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "base/wire_format.h"
#include "camera/wire.h"
#include "host/ndis/ndis.h"

namespace camera {

using Mac = std::array<uint8_t, 6>;

// The Internet checksum (one's complement of the one's complement sum of 16-bit words).
uint16_t InternetChecksum(std::span<const uint8_t> bytes);

// ---- Self-describing content ------------------------------------------------------------------
// The payload byte at `offset` of block `blockId`. Two bytes of one 256-byte-aligned run of
// offsets never match when shifted against each other, blocks whose ids differ only in their low
// 8 bits differ at every offset, and any other misplacement differs with odds 255/256 per byte,
// so a run of more than a few misplaced bytes never goes unnoticed.
uint8_t PayloadByte(uint64_t blockId, uint64_t offset);
// The `size` payload bytes of block `blockId`, from payload offset `firstOffset`.
std::vector<uint8_t> ExpectedPayload(uint64_t blockId, size_t size, uint64_t firstOffset = 0);
// The index of the first byte of `bytes` that is not PayloadByte(blockId, firstOffset + index).
std::optional<size_t> FindPayloadMismatch(uint64_t blockId, std::span<const uint8_t> bytes, uint64_t firstOffset = 0);
// What a block's payload holds.
enum class Content {
    Positional,    // PayloadByte: every byte names its block and offset
    TestPattern,   // a picture for people: colour bars, a gradient and a band that moves per block
};
// The test pattern's payload bytes of block `blockId` for a `width` × `height` image, from
// payload offset `firstOffset` on; and one such byte.
void FillTestPattern(uint32_t pixelFormat, uint32_t width, uint32_t height, uint64_t blockId, uint64_t firstOffset,
    std::span<uint8_t> out);
uint8_t TestPatternByte(uint32_t pixelFormat, uint32_t width, uint32_t height, uint64_t blockId, uint64_t offset);
// Leader and trailer bytes beyond their defined fields carry PayloadByte(blockId, FILLER_BASE + k)
// at GVSP offset k, so that a stale leader or trailer shows which block it came from.
inline constexpr uint64_t FILLER_BASE = uint64_t(1) << 48;

// ---- Configuration ----------------------------------------------------------------------------
// How each packet is put into buffer segments and handed to the adapter's receive path.
enum class SegmentLayout {
    OneSegment,        // the whole frame in one segment
    HeaderDataSplit,   // the 42 Ethernet, IPv4 and UDP bytes, then the GVSP bytes
    FixedSegments,     // segments of `segmentBytes` each, the last one shorter
};

struct Presentation {
    SegmentLayout layout = SegmentLayout::OneSegment;
    size_t segmentBytes = 256;    // FixedSegments only
    ULONG currentMdlOffset = 0;   // filler bytes ahead of the frame in its first segment
    host::SegmentMapping mapping = host::SegmentMapping::NonPagedPool;
    size_t packetsPerIndication = 1;   // chain length; a block's last chain may be shorter
    ULONG receiveFlags = NDIS_RECEIVE_FLAGS_DISPATCH_LEVEL;
};

// Impairments drawn at random for every first transmission, from a generator seeded by `seed`:
// the same seed and the same sequence of calls give the same packets on the wire.
struct RandomImpairments {
    uint64_t seed = 1;
    double drop = 0;        // fraction of packets not sent
    double duplicate = 0;   // fraction sent twice in a row
    double corrupt = 0;     // fraction with one GVSP byte flipped (header or data)
    bool payloadOnly = false;   // leaders and trailers are never touched
    size_t shuffleWindow = 0;   // > 1: each block's packets are shuffled within windows of this many
};

struct CameraConfig {
    // Addresses. A zero host MAC means the adapter's own address.
    Mac cameraMac{0x02, 0x00, 0x00, 0x00, 0x00, 0x01};
    uint32_t cameraIp = 0xC000020A;   // 192.0.2.10
    uint16_t cameraPort = 20000;      // UDP source port of the stream (GVCP is heard on 3956)
    Mac hostMac{};
    uint32_t hostIp = 0xC0000202;     // 192.0.2.2
    uint16_t hostPort = 50000;        // the stream's destination port, the one the driver binds

    // The stream.
    uint16_t streamChannel = 0;
    uint32_t payloadSize = 4096;   // payload bytes of one block
    uint32_t packetSize = 1464;    // GVSP bytes of a full payload packet, header included
    bool extendedIds = false;
    uint64_t firstBlockId = 1;     // taken as given (standard ids keep their low 16 bits); the ids
                                   // that follow skip 0: 65535 is followed by 1 in standard ids
    uint32_t leaderSize = 0;       // GVSP bytes of a leader; 0: H + 36; at least H + 12
    uint32_t trailerSize = 0;      // GVSP bytes of a trailer; 0: H + 8; at least H + 8
    uint16_t payloadType = GVSP_PAYLOAD_TYPE_IMAGE;
    uint32_t pixelFormat = PIXEL_FORMAT_MONO8;
    uint32_t sizeX = 64, sizeY = 64, offsetX = 0, offsetY = 0;
    Content content = Content::Positional;
    uint16_t paddingX = 0, paddingY = 0;
    uint64_t timestampStart = 1'000'000;   // the first block's timestamp; each block adds the step
    uint64_t timestampStep = 33'333;
    bool padToMinimum = true;   // short frames get zero filler up to 60 bytes, as a NIC sends them

    Presentation presentation;
    RandomImpairments random;
    size_t keptBlocks = 8;      // blocks still resendable
    bool logPackets = true;     // keep a SentPacket record of everything indicated
    // Sees every Ethernet frame as it goes on the wire (after impairments), e.g. to record it.
    std::function<void(const std::vector<uint8_t>& frame)> wireTap;
};

// ---- Blocks --------------------------------------------------------------------------------
// Payload bytes P of a full payload packet (packetSize - H, at least 1, H the configuration's
// GVSP header size) and payload packets N of one block (ceil(payloadSize / P)).
uint32_t PayloadPerPacket(const CameraConfig& config);
uint32_t PayloadPacketCount(const CameraConfig& config);
// The GVSP bytes (header first) of every packet of block `blockId` as first sent, index = packet
// id: the leader, N payload packets, the trailer. What the UDP datagrams of the block carry.
std::vector<std::vector<uint8_t>> BuildGvspPackets(const CameraConfig& config, uint64_t blockId, uint64_t timestamp);
// The Ethernet frame from the camera to the host that carries `gvsp` in one UDP datagram.
std::vector<uint8_t> BuildFrame(const CameraConfig& config, std::span<const uint8_t> gvsp, uint16_t ipIdentification);

// ---- What the camera reports ------------------------------------------------------------------
enum class PacketKind : uint8_t { Leader, Payload, Trailer };

// One packet as it left the camera (after impairments).
struct SentPacket {
    uint64_t blockId = 0;
    uint32_t packetId = 0;
    PacketKind kind = PacketKind::Payload;
    uint16_t status = 0;
    bool resent = false;      // an answer to PACKETRESEND
    bool corrupted = false;   // bytes flipped on purpose
    size_t frameBytes = 0;
};

// One PACKETRESEND command as it reached the wire.
struct ResendRequest {
    uint64_t blockId = 0;         // 16 bits in the standard form, 64 in the extended-id form
    uint32_t firstPacketId = 0;
    uint32_t lastPacketId = 0;    // RESEND_TO_END_OF_BLOCK: up to the end of the block, in either form
    bool extendedIds = false;     // the flag byte's extended-id bit
    uint8_t flag = 0;             // the whole flag byte
    uint16_t streamChannel = 0;
    uint16_t requestId = 0;
    uint16_t gvcpLength = 0;
    uint16_t sourcePort = 0;      // UDP source port of the request
    bool ipChecksumOk = false;
    bool udpChecksumPresent = false;   // not zero
    bool udpChecksumOk = false;        // present and verifies
    bool addressedToCamera = false;   // Ethernet and IPv4 destination are the camera's
    bool answered = false;        // the camera still had the block and took the request (what it
                                  // sends may still be lost on purpose)
    std::vector<uint8_t> frame;   // the bytes as sent
};

struct CameraCounters {
    uint64_t blocksSent = 0;
    uint64_t packetsSent = 0;   // every frame indicated: first transmissions, duplicates, resends
    uint64_t leadersSent = 0, payloadPacketsSent = 0, trailersSent = 0;
    uint64_t indications = 0;
    uint64_t dropped = 0;
    uint64_t duplicated = 0;
    uint64_t delayed = 0;
    uint64_t corrupted = 0;
    uint64_t resendRequests = 0;         // PACKETRESEND commands seen addressed to the camera
    uint64_t resendRequestsIgnored = 0;  // ignored by policy, failed checksum, another camera or
                                         // channel, or the block is no longer kept
    uint64_t packetsResent = 0;          // resent packets indicated
    uint64_t resentPacketsLost = 0;      // resent packets lost on purpose
};

// A packet of a block the tests name: `blockId` as it goes on the wire.
struct PacketRef {
    uint64_t blockId = 0;
    uint32_t packetId = 0;
};

// Delay `afterPackets` value that holds a packet until ReleaseDelayed().
inline constexpr size_t UNTIL_RELEASED = SIZE_MAX;

// ---- The camera -------------------------------------------------------------------------------
class Camera {
public:
    // The adapter must outlive the camera, and the camera the return of every list it indicated.
    Camera(host::Adapter& adapter, const CameraConfig& config = {});
    ~Camera();
    Camera(const Camera&) = delete;
    Camera& operator=(const Camera&) = delete;

    const CameraConfig& Config() const { return config_; }
    // Header size H and the derived counts of one block.
    size_t HeaderBytes() const;
    uint32_t PayloadPerPacket() const;       // P = packetSize - H
    uint32_t PayloadPacketCount() const;     // N = ceil(payloadSize / P)
    uint32_t TrailerPacketId() const { return PayloadPacketCount() + 1; }
    uint64_t NextBlockId() const { return nextBlockId_; }
    void SetNextBlockId(uint64_t blockId);   // taken as firstBlockId is
    void SetPresentation(const Presentation& presentation) { config_.presentation = presentation; }

    // ---- Chosen impairments: they apply to the first transmission of the packet named. A
    // PacketRef whose block is `std::nullopt` names that packet of every block.
    void DropPacket(std::optional<uint64_t> blockId, uint32_t packetId);
    void DuplicatePacket(std::optional<uint64_t> blockId, uint32_t packetId);
    // The packet is sent after the next `laterPackets` packets of its block instead of in place.
    void SwapLater(std::optional<uint64_t> blockId, uint32_t packetId, size_t laterPackets = 1);
    // The packet is held and sent once `afterPackets` more packets went out (UNTIL_RELEASED: on
    // ReleaseDelayed).
    void DelayPacket(std::optional<uint64_t> blockId, uint32_t packetId, size_t afterPackets);
    // XORs `mask` into byte `frameOffset` of the Ethernet frame (GVSP starts at offset 42).
    void CorruptPacket(std::optional<uint64_t> blockId, uint32_t packetId, size_t frameOffset, uint8_t mask = 0xFF);
    void SetPacketStatus(std::optional<uint64_t> blockId, uint32_t packetId, uint16_t status);
    void SetPacketFormat(std::optional<uint64_t> blockId, uint32_t packetId, uint8_t format);
    void ClearImpairments();
    void SetRandomImpairments(const RandomImpairments& random);

    // ---- Resend behaviour.
    void IgnoreResendRequests(bool ignore) { ignoreResends_ = ignore; }
    void LoseAllResends(bool lose) { loseAllResends_ = lose; }
    void LoseResendFraction(double fraction, uint64_t seed = 7);
    void LoseResentPacket(std::optional<uint64_t> blockId, uint32_t packetId);

    // ---- Driving.
    // Sends the next block and returns its id as it went on the wire.
    uint64_t SendBlock();
    // Sends `count` blocks; returns their ids.
    std::vector<uint64_t> SendBlocks(size_t count);
    // Reads what the host sent on the adapter since the last look, records every PACKETRESEND
    // addressed to the camera and answers it; repeats while answers draw new requests (bounded).
    // Returns the packets resent.
    size_t Pump();
    // Sends every delayed packet still held.
    size_t ReleaseDelayed();
    size_t DelayedCount() const { return delayed_.size(); }
    // While holding, nothing is indicated: packets queue until FlushHeld.
    void HoldOutput();
    size_t FlushHeld();
    size_t HeldCount() const { return held_.size(); }
    // Frees the packets the adapter has had back; true when none is still out.
    bool ReleaseReturned();

    // ---- What happened.
    const CameraCounters& Counters() const { return counters_; }
    const std::vector<ResendRequest>& ResendRequests() const { return requests_; }
    const std::vector<SentPacket>& PacketLog() const { return log_; }
    void ClearPacketLog() { log_.clear(); }
    // The pristine frames of a block still kept for resends (leader first), or empty.
    std::vector<std::vector<uint8_t>> BlockFrames(uint64_t blockId) const;
    std::optional<uint64_t> BlockTimestamp(uint64_t blockId) const;

private:
    struct Frame {
        std::vector<uint8_t> bytes;
        SentPacket info;
    };
    struct Block {
        uint64_t blockId = 0;
        uint64_t timestamp = 0;
        std::vector<std::vector<uint8_t>> frames;   // index = packet id
    };
    enum class RuleKind { Drop, Duplicate, SwapLater, Delay, Corrupt, Status, Format, LoseResend };
    struct Rule {
        RuleKind kind;
        std::optional<uint64_t> blockId;
        uint32_t packetId;
        size_t amount = 0;    // SwapLater / Delay distance, Corrupt offset
        uint32_t value = 0;   // Corrupt mask, status, format
    };
    struct Delayed {
        Frame frame;
        size_t remaining;
    };

    uint64_t WireBlockId(uint64_t blockId) const;
    uint64_t FollowingBlockId(uint64_t blockId) const;
    Block BuildBlock(uint64_t blockId, uint64_t timestamp);
    bool Matches(const Rule& rule, uint64_t blockId, uint32_t packetId) const;
    void Emit(Frame frame);          // into the chain being gathered (or the hold queue)
    void Transmit(Frame frame);      // past the hold queue: chain, then tick the delayed ones
    void FlushChain();               // indicates the gathered chain
    std::unique_ptr<host::Packet> Present(const std::vector<uint8_t>& frame) const;
    size_t AnswerRequest(ResendRequest& request);
    std::optional<ResendRequest> ParseRequest(const std::vector<uint8_t>& frame) const;
    static double NextUnit(uint64_t& state);

    host::Adapter& adapter_;
    CameraConfig config_;
    uint64_t nextBlockId_ = 0;
    uint64_t blocksBuilt_ = 0;
    uint16_t ipIdentification_ = 0;
    std::deque<Block> kept_;                 // the last `keptBlocks` blocks, oldest first
    std::vector<Rule> rules_;
    uint64_t randomState_ = 0;               // first-transmission impairments
    uint64_t shuffleState_ = 0;
    uint64_t loseState_ = 0;                 // resend losses
    double loseFraction_ = 0;
    bool ignoreResends_ = false;
    bool loseAllResends_ = false;
    std::vector<Delayed> delayed_;
    bool holding_ = false;
    std::vector<Frame> held_;
    std::vector<Frame> chain_;               // gathered for the next indication
    std::vector<std::unique_ptr<host::Packet>> outstanding_;   // indicated, maybe not yet back
    size_t sendsSeen_ = 0;                   // SendRecords of the adapter already read
    std::vector<ResendRequest> requests_;
    std::vector<SentPacket> log_;
    CameraCounters counters_;
};

}  // namespace camera
