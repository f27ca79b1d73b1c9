// The camera emulator: GVSP blocks built byte by byte, impaired, presented to the adapter's
// receive path, and PACKETRESEND commands read back from what the host sent. Host only.
#include "camera/camera.h"

#include <algorithm>
#include <cstring>
#include <utility>

namespace camera {

namespace {

constexpr uint64_t GOLDEN = 0x9E3779B97F4A7C15ull;

uint64_t Mix(uint64_t z)
{
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

uint64_t NextRandom(uint64_t& state)
{
    state += GOLDEN;   // 64-bit wrap, as the generator intends
    return Mix(state);
}

constexpr uint8_t FILLER_OFFSET_BYTE = 0xEE;   // bytes ahead of a frame in its first segment

bool Eligible(const RandomImpairments& random, uint32_t packetId, uint32_t trailerId)
{
    return !random.payloadOnly || (packetId != 0 && packetId != trailerId);
}

}  // namespace

uint16_t InternetChecksum(std::span<const uint8_t> bytes)
{
    uint32_t sum = 0;
    size_t i = 0;
    for (; i + 1 < bytes.size(); i += 2) {
        sum += ReadBigEndian16(&bytes[i]);
    }
    if (i < bytes.size()) {
        sum += uint32_t(bytes[i]) << 8;
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

uint8_t PayloadByte(uint64_t blockId, uint64_t offset)
{
    // Within a 256-byte run the byte is (blockId + offset + c) mod 256 with c fixed for the run:
    // a shift inside the run, or a neighbouring block, always changes it. Across runs c is a
    // hash of the run and of the block's upper bits.
    const uint64_t run = Mix(Mix(blockId >> 8) ^ (offset >> 8) * GOLDEN);
    return static_cast<uint8_t>(blockId + offset + run);
}

namespace {

// The test picture: eight colour bars over the top three quarters, a grey ramp below them, and a
// bright band that moves a few pixels per block so that consecutive frames tell themselves apart.
constexpr uint64_t BAND_WIDTH = 24;

struct PatternRows {
    uint32_t pixelFormat = 0, width = 0;
    std::vector<uint8_t> bars, ramp;   // one row of each without the band
};

// The bytes of one pixel of colour `rgb` at column `x`: RGB8 as it is, Mono8 as luma, Mono16 as
// a little-endian sample with the luma high and a fine ramp in the low byte.
void PixelBytes(uint32_t pixelFormat, uint64_t x, const uint8_t rgb[3], uint8_t* out)
{
    const auto luma = static_cast<uint8_t>((rgb[0] * 77 + rgb[1] * 150 + rgb[2] * 29) >> 8);
    if (pixelFormat == PIXEL_FORMAT_RGB8) {
        out[0] = rgb[0], out[1] = rgb[1], out[2] = rgb[2];
    } else if (pixelFormat == PIXEL_FORMAT_MONO16) {
        out[0] = static_cast<uint8_t>(x), out[1] = luma;
    } else {
        out[0] = luma;
    }
}

const PatternRows& RowsFor(uint32_t pixelFormat, uint32_t width, uint32_t bpp)
{
    static constexpr uint8_t BARS[8][3] = {{235, 235, 235}, {235, 235, 16}, {16, 235, 235}, {16, 235, 16},
        {235, 16, 235}, {235, 16, 16}, {16, 16, 235}, {16, 16, 16}};
    thread_local PatternRows rows;
    if (rows.pixelFormat != pixelFormat || rows.width != width || rows.bars.empty()) {
        rows.pixelFormat = pixelFormat;
        rows.width = width;
        rows.bars.resize(size_t(width) * bpp);
        rows.ramp.resize(size_t(width) * bpp);
        for (uint64_t x = 0; x < width; ++x) {
            const uint8_t grey = static_cast<uint8_t>(x * 255 / width);
            const uint8_t ramp[3] = {grey, grey, grey};
            PixelBytes(pixelFormat, x, BARS[x * 8 / width], &rows.bars[x * bpp]);
            PixelBytes(pixelFormat, x, ramp, &rows.ramp[x * bpp]);
        }
    }
    return rows;
}

}  // namespace

void FillTestPattern(uint32_t pixelFormat, uint32_t width, uint32_t height, uint64_t blockId, uint64_t firstOffset,
    std::span<uint8_t> out)
{
    const uint32_t bpp = std::max<uint32_t>(BytesPerPixel(pixelFormat), 1);
    const uint32_t w = std::max<uint32_t>(width, 1);
    const PatternRows& rows = RowsFor(pixelFormat, w, bpp);
    const uint64_t rowBytes = uint64_t(w) * bpp;
    const uint8_t white[3] = {255, 255, 255};
    uint8_t band[3];
    uint64_t offset = firstOffset;
    size_t done = 0;
    while (done < out.size()) {
        const uint64_t y = offset / rowBytes;
        const uint64_t column = offset % rowBytes;
        const size_t count = static_cast<size_t>(std::min<uint64_t>(rowBytes - column, out.size() - done));
        const std::vector<uint8_t>& base = y * 4 < uint64_t{height} * 3 ? rows.bars : rows.ramp;
        std::memcpy(&out[done], &base[column], count);
        // The band covers the pixels where (x + y + 8 × block) mod (width + 256) < 24: a run that
        // starts at width + 256 - phase, and the end of the previous one at the row's start.
        const uint64_t period = uint64_t(w) + 256;
        const uint64_t phase = (y + blockId * 8) % period;
        auto paint = [&](uint64_t first, uint64_t end) {
            for (uint64_t x = first; x < std::min<uint64_t>(end, w); ++x) {
                PixelBytes(pixelFormat, x, white, band);
                for (uint32_t k = 0; k < bpp; ++k) {
                    const uint64_t at = x * bpp + k;
                    if (at >= column && at < column + count) {
                        out[done + (at - column)] = band[k];
                    }
                }
            }
        };
        if (phase < BAND_WIDTH) {
            paint(0, BAND_WIDTH - phase);
        }
        if (phase != 0) {
            paint(period - phase, period - phase + BAND_WIDTH);
        }
        done += count;
        offset += count;
    }
}

uint8_t TestPatternByte(uint32_t pixelFormat, uint32_t width, uint32_t height, uint64_t blockId, uint64_t offset)
{
    uint8_t byte = 0;
    FillTestPattern(pixelFormat, width, height, blockId, offset, {&byte, 1});
    return byte;
}

std::vector<uint8_t> ExpectedPayload(uint64_t blockId, size_t size, uint64_t firstOffset)
{
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = PayloadByte(blockId, firstOffset + i);
    }
    return bytes;
}

std::optional<size_t> FindPayloadMismatch(uint64_t blockId, std::span<const uint8_t> bytes, uint64_t firstOffset)
{
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] != PayloadByte(blockId, firstOffset + i)) {
            return i;
        }
    }
    return std::nullopt;
}

// ---------------------------------------------------------------------------------------------
// Set-up and geometry.
Camera::Camera(host::Adapter& adapter, const CameraConfig& config) : adapter_(adapter), config_(config)
{
    if (config_.hostMac == Mac{}) {
        config_.hostMac = adapter.Config().mac;
    }
    config_.packetSize = std::max<uint32_t>(config_.packetSize, static_cast<uint32_t>(HeaderBytes() + 1));
    SetNextBlockId(config_.firstBlockId);
    SetRandomImpairments(config_.random);
    LoseResendFraction(0);
    // What was sent before the camera existed is not addressed to it.
    sendsSeen_ = adapter_.SendsToMiniport();
}

Camera::~Camera() = default;

uint32_t PayloadPerPacket(const CameraConfig& config)
{
    // A packet size not above the header still carries one payload byte.
    const uint32_t h = GvspHeaderSize(config.extendedIds);
    return std::max<uint32_t>(config.packetSize, h + 1) - h;
}

uint32_t PayloadPacketCount(const CameraConfig& config)
{
    const uint64_t p = PayloadPerPacket(config);
    return static_cast<uint32_t>((config.payloadSize + p - 1) / p);
}

size_t Camera::HeaderBytes() const { return GvspHeaderSize(config_.extendedIds); }

uint32_t Camera::PayloadPerPacket() const { return camera::PayloadPerPacket(config_); }

uint32_t Camera::PayloadPacketCount() const { return camera::PayloadPacketCount(config_); }

void Camera::SetNextBlockId(uint64_t blockId) { nextBlockId_ = WireBlockId(blockId); }

uint64_t Camera::WireBlockId(uint64_t blockId) const { return config_.extendedIds ? blockId : (blockId & 0xFFFF); }

uint64_t Camera::FollowingBlockId(uint64_t blockId) const
{
    // 16-bit or 64-bit wrap, as the camera counts; 0 is never a block id.
    uint64_t next = WireBlockId(blockId + 1);
    return next == 0 ? 1 : next;
}

void Camera::SetRandomImpairments(const RandomImpairments& random)
{
    config_.random = random;
    randomState_ = Mix(random.seed);
    shuffleState_ = Mix(random.seed ^ 0x5348554646ull);
}

void Camera::LoseResendFraction(double fraction, uint64_t seed)
{
    loseFraction_ = fraction;
    loseState_ = Mix(seed ^ 0x4C4F5345ull);
}

double Camera::NextUnit(uint64_t& state) { return double(NextRandom(state) >> 11) * 0x1.0p-53; }

// ---------------------------------------------------------------------------------------------
// Chosen impairments.
void Camera::DropPacket(std::optional<uint64_t> blockId, uint32_t packetId)
{
    rules_.push_back({RuleKind::Drop, blockId, packetId});
}

void Camera::DuplicatePacket(std::optional<uint64_t> blockId, uint32_t packetId)
{
    rules_.push_back({RuleKind::Duplicate, blockId, packetId});
}

void Camera::SwapLater(std::optional<uint64_t> blockId, uint32_t packetId, size_t laterPackets)
{
    rules_.push_back({RuleKind::SwapLater, blockId, packetId, laterPackets});
}

void Camera::DelayPacket(std::optional<uint64_t> blockId, uint32_t packetId, size_t afterPackets)
{
    rules_.push_back({RuleKind::Delay, blockId, packetId, afterPackets});
}

void Camera::CorruptPacket(std::optional<uint64_t> blockId, uint32_t packetId, size_t frameOffset, uint8_t mask)
{
    rules_.push_back({RuleKind::Corrupt, blockId, packetId, frameOffset, mask});
}

void Camera::SetPacketStatus(std::optional<uint64_t> blockId, uint32_t packetId, uint16_t status)
{
    rules_.push_back({RuleKind::Status, blockId, packetId, 0, status});
}

void Camera::SetPacketFormat(std::optional<uint64_t> blockId, uint32_t packetId, uint8_t format)
{
    rules_.push_back({RuleKind::Format, blockId, packetId, 0, format});
}

void Camera::LoseResentPacket(std::optional<uint64_t> blockId, uint32_t packetId)
{
    rules_.push_back({RuleKind::LoseResend, blockId, packetId});
}

void Camera::ClearImpairments()
{
    rules_.clear();
    SetRandomImpairments(RandomImpairments{});
    ignoreResends_ = false;
    loseAllResends_ = false;
    LoseResendFraction(0);
}

bool Camera::Matches(const Rule& rule, uint64_t blockId, uint32_t packetId) const
{
    return rule.packetId == packetId && (!rule.blockId || WireBlockId(*rule.blockId) == blockId);
}

// ---------------------------------------------------------------------------------------------
// Building blocks.
std::vector<std::vector<uint8_t>> BuildGvspPackets(const CameraConfig& config, uint64_t blockId, uint64_t timestamp)
{
    const size_t h = GvspHeaderSize(config.extendedIds);
    const uint32_t n = PayloadPacketCount(config);
    const uint32_t p = PayloadPerPacket(config);
    std::vector<std::vector<uint8_t>> packets;
    packets.reserve(size_t{n} + 2);
    for (uint32_t packetId = 0; packetId <= n + 1; ++packetId) {
        const bool leader = packetId == 0;
        const bool trailer = packetId == n + 1;
        size_t gvspBytes = 0;
        uint8_t format = GVSP_FORMAT_PAYLOAD;
        if (leader) {
            gvspBytes = config.leaderSize != 0 ? std::max<size_t>(config.leaderSize, h + GVSP_LEADER_MIN_SIZE)
                                               : h + GVSP_IMAGE_LEADER_SIZE;
            format = GVSP_FORMAT_LEADER;
        } else if (trailer) {
            gvspBytes = std::max<size_t>(config.trailerSize, h + GVSP_IMAGE_TRAILER_SIZE);
            format = GVSP_FORMAT_TRAILER;
        } else {
            const uint32_t before = (packetId - 1) * p;
            gvspBytes = h + std::min<uint32_t>(p, config.payloadSize - before);
        }
        std::vector<uint8_t> packet(gvspBytes, 0);
        uint8_t* g = packet.data();

        EncodeGvspHeader(g, {GVSP_STATUS_SUCCESS, format, config.extendedIds, blockId, packetId});

        // GVSP data.
        uint8_t* d = g + h;
        size_t defined = 0;   // bytes of defined fields after the header
        if (leader) {
            uint8_t fields[GVSP_IMAGE_LEADER_SIZE] = {};
            WriteBigEndian16(fields + GVSP_LEADER_PAYLOAD_TYPE, config.payloadType);
            WriteBigEndian64(fields + GVSP_LEADER_TIMESTAMP, timestamp);
            WriteBigEndian32(fields + GVSP_LEADER_PIXEL_FORMAT, config.pixelFormat);
            WriteBigEndian32(fields + GVSP_LEADER_SIZE_X, config.sizeX);
            WriteBigEndian32(fields + GVSP_LEADER_SIZE_Y, config.sizeY);
            WriteBigEndian32(fields + GVSP_LEADER_OFFSET_X, config.offsetX);
            WriteBigEndian32(fields + GVSP_LEADER_OFFSET_Y, config.offsetY);
            WriteBigEndian16(fields + GVSP_LEADER_PADDING_X, config.paddingX);
            WriteBigEndian16(fields + GVSP_LEADER_PADDING_Y, config.paddingY);
            defined = std::min<size_t>(GVSP_IMAGE_LEADER_SIZE, gvspBytes - h);
            std::copy(fields, fields + defined, d);
        } else if (trailer) {
            WriteBigEndian16(d + GVSP_TRAILER_PAYLOAD_TYPE, config.payloadType);
            WriteBigEndian32(d + GVSP_TRAILER_SIZE_Y, config.sizeY);
            defined = GVSP_IMAGE_TRAILER_SIZE;
        } else {
            const uint64_t first = uint64_t(packetId - 1) * p;
            if (config.content == Content::TestPattern) {
                FillTestPattern(config.pixelFormat, config.sizeX, config.sizeY, blockId, first, {d, gvspBytes - h});
            } else {
                for (size_t k = 0; k < gvspBytes - h; ++k) {
                    d[k] = PayloadByte(blockId, first + k);
                }
            }
            defined = gvspBytes - h;
        }
        for (size_t k = h + defined; k < gvspBytes; ++k) {
            g[k] = PayloadByte(blockId, FILLER_BASE + k);
        }
        packets.push_back(std::move(packet));
    }
    return packets;
}

Camera::Block Camera::BuildBlock(uint64_t blockId, uint64_t timestamp)
{
    Block block;
    block.blockId = blockId;
    block.timestamp = timestamp;
    for (const std::vector<uint8_t>& gvsp : BuildGvspPackets(config_, blockId, timestamp)) {
        block.frames.push_back(BuildFrame(config_, gvsp, ipIdentification_++));
    }
    return block;
}

std::vector<uint8_t> BuildFrame(const CameraConfig& config, std::span<const uint8_t> gvsp, uint16_t ipIdentification)
{
    const size_t udpBytes = UDP_HEADER_SIZE + gvsp.size();
    const size_t ipBytes = IPV4_HEADER_SIZE + udpBytes;
    size_t frameBytes = ETHERNET_HEADER_SIZE + ipBytes;
    if (config.padToMinimum) {
        frameBytes = std::max<size_t>(frameBytes, ETHERNET_MIN_FRAME_SIZE);
    }
    std::vector<uint8_t> f(frameBytes, 0);
    uint8_t* b = f.data();

    // Ethernet II.
    std::copy(config.hostMac.begin(), config.hostMac.end(), b + ETHERNET_DESTINATION);
    std::copy(config.cameraMac.begin(), config.cameraMac.end(), b + ETHERNET_SOURCE);
    WriteBigEndian16(b + ETHERNET_TYPE, ETHERTYPE_IPV4);

    // IPv4, 20 bytes, don't fragment.
    uint8_t* ip = b + ETHERNET_HEADER_SIZE;
    ip[0] = 0x45;
    WriteBigEndian16(ip + 2, static_cast<uint16_t>(ipBytes));
    WriteBigEndian16(ip + 4, ipIdentification);
    WriteBigEndian16(ip + 6, 0x4000);
    ip[8] = 64;
    ip[9] = IP_PROTOCOL_UDP;
    WriteBigEndian32(ip + 12, config.cameraIp);
    WriteBigEndian32(ip + 16, config.hostIp);
    WriteBigEndian16(ip + 10, InternetChecksum({ip, 20}));

    // UDP; a zero checksum says none was computed.
    uint8_t* udp = b + UDP_SOURCE_PORT;
    WriteBigEndian16(udp, config.cameraPort);
    WriteBigEndian16(udp + 2, config.hostPort);
    WriteBigEndian16(udp + 4, static_cast<uint16_t>(udpBytes));

    std::copy(gvsp.begin(), gvsp.end(), b + FRAME_HEADERS_SIZE);
    return f;
}

std::vector<std::vector<uint8_t>> Camera::BlockFrames(uint64_t blockId) const
{
    for (const Block& block : kept_) {
        if (block.blockId == blockId) {
            return block.frames;
        }
    }
    return {};
}

std::optional<uint64_t> Camera::BlockTimestamp(uint64_t blockId) const
{
    for (const Block& block : kept_) {
        if (block.blockId == blockId) {
            return block.timestamp;
        }
    }
    return std::nullopt;
}

// ---------------------------------------------------------------------------------------------
// Sending.
uint64_t Camera::SendBlock()
{
    ReleaseReturned();
    const uint64_t blockId = nextBlockId_;
    nextBlockId_ = FollowingBlockId(blockId);
    Block block = BuildBlock(blockId, config_.timestampStart + blocksBuilt_ * config_.timestampStep);
    ++blocksBuilt_;
    ++counters_.blocksSent;

    // Impair each packet's first transmission, in packet order. Every packet draws the same
    // number of random values, so one fraction's setting never moves another's choices.
    const uint32_t trailer = TrailerPacketId();
    const RandomImpairments& random = config_.random;
    struct Placed {
        Frame frame;
        size_t key;                  // 2 x position; a packet sent later takes 2 x (its target) + 1
        size_t delay = 0;            // held at its turn for this many packets (0: sent at once)
    };
    std::vector<Placed> sequence;
    for (uint32_t id = 0; id <= trailer; ++id) {
        const double dropDraw = NextUnit(randomState_);
        const double duplicateDraw = NextUnit(randomState_);
        const double corruptDraw = NextUnit(randomState_);
        const uint64_t corruptWhere = NextRandom(randomState_);
        const bool eligible = Eligible(random, id, trailer);

        bool drop = eligible && dropDraw < random.drop;
        bool duplicate = eligible && duplicateDraw < random.duplicate;
        size_t later = 0;
        std::optional<size_t> delay;
        Frame frame{block.frames[id], SentPacket{}};
        std::vector<uint8_t>& f = frame.bytes;
        for (const Rule& rule : rules_) {
            if (!Matches(rule, blockId, id)) {
                continue;
            }
            switch (rule.kind) {
            case RuleKind::Drop: drop = true; break;
            case RuleKind::Duplicate: duplicate = true; break;
            case RuleKind::SwapLater: later = rule.amount; break;
            case RuleKind::Delay: delay = rule.amount; break;
            case RuleKind::Corrupt:
                if (rule.amount < f.size()) {
                    f[rule.amount] ^= static_cast<uint8_t>(rule.value);
                    frame.info.corrupted = true;
                }
                break;
            case RuleKind::Status:
                WriteBigEndian16(&f[FRAME_HEADERS_SIZE + GVSP_HEADER_STATUS], static_cast<uint16_t>(rule.value));
                break;
            case RuleKind::Format: {
                uint8_t& formatByte = f[FRAME_HEADERS_SIZE + GVSP_HEADER_FORMAT];
                formatByte = static_cast<uint8_t>((formatByte & ~GVSP_PACKET_FORMAT_MASK) | (rule.value & GVSP_PACKET_FORMAT_MASK));
                break;
            }
            case RuleKind::LoseResend: break;
            }
        }
        if (drop) {
            ++counters_.dropped;
            continue;
        }
        if (eligible && corruptDraw < random.corrupt) {
            const size_t gvspBytes = ReadBigEndian16(&block.frames[id][IPV4_TOTAL_LENGTH]) - IP_UDP_HEADERS_SIZE;
            f[FRAME_HEADERS_SIZE + corruptWhere % gvspBytes] ^= 0xFF;
            frame.info.corrupted = true;
        }
        if (frame.info.corrupted) {
            ++counters_.corrupted;
        }
        frame.info.blockId = blockId;
        frame.info.packetId = id;
        frame.info.kind = id == 0 ? PacketKind::Leader : id == trailer ? PacketKind::Trailer : PacketKind::Payload;
        frame.info.status = ReadBigEndian16(&f[FRAME_HEADERS_SIZE + GVSP_HEADER_STATUS]);
        frame.info.frameBytes = f.size();
        const size_t position = sequence.size();
        const size_t key = later != 0 ? 2 * (position + later) + 1 : 2 * position;
        if (delay && *delay != 0) {
            sequence.push_back(Placed{std::move(frame), key, *delay});
            continue;
        }
        if (duplicate) {
            ++counters_.duplicated;
            sequence.push_back(Placed{frame, key});
        }
        sequence.push_back(Placed{std::move(frame), key});
    }
    std::stable_sort(sequence.begin(), sequence.end(), [](const Placed& a, const Placed& b) { return a.key < b.key; });
    if (random.shuffleWindow > 1) {
        for (size_t start = 0; start < sequence.size(); start += random.shuffleWindow) {
            const size_t end = std::min(sequence.size(), start + random.shuffleWindow);
            for (size_t i = end - 1; i > start; --i) {
                std::swap(sequence[i], sequence[start + NextRandom(shuffleState_) % (i - start + 1)]);
            }
        }
    }

    kept_.push_back(std::move(block));
    while (kept_.size() > std::max<size_t>(config_.keptBlocks, 1)) {
        kept_.pop_front();
    }
    for (Placed& placed : sequence) {
        if (placed.delay != 0) {
            // Held from its turn on: the packets that follow it count down its delay.
            ++counters_.delayed;
            delayed_.push_back(Delayed{std::move(placed.frame), placed.delay});
            continue;
        }
        Emit(std::move(placed.frame));
    }
    FlushChain();
    return blockId;
}

std::vector<uint64_t> Camera::SendBlocks(size_t count)
{
    std::vector<uint64_t> ids;
    for (size_t i = 0; i < count; ++i) {
        ids.push_back(SendBlock());
    }
    return ids;
}

void Camera::Emit(Frame frame)
{
    if (holding_) {
        held_.push_back(std::move(frame));
        return;
    }
    Transmit(std::move(frame));
}

void Camera::Transmit(Frame frame)
{
    ++counters_.packetsSent;
    switch (frame.info.kind) {
    case PacketKind::Leader: ++counters_.leadersSent; break;
    case PacketKind::Payload: ++counters_.payloadPacketsSent; break;
    case PacketKind::Trailer: ++counters_.trailersSent; break;
    }
    if (config_.logPackets) {
        log_.push_back(frame.info);
    }
    chain_.push_back(std::move(frame));
    if (chain_.size() >= std::max<size_t>(config_.presentation.packetsPerIndication, 1)) {
        FlushChain();
    }

    // One more packet went out: delayed packets whose turn it is follow it.
    std::vector<Frame> due;
    for (auto it = delayed_.begin(); it != delayed_.end();) {
        if (it->remaining != UNTIL_RELEASED && --it->remaining == 0) {
            due.push_back(std::move(it->frame));
            it = delayed_.erase(it);
        } else {
            ++it;
        }
    }
    for (Frame& f : due) {
        Transmit(std::move(f));
    }
}

std::unique_ptr<host::Packet> Camera::Present(const std::vector<uint8_t>& frame) const
{
    const Presentation& how = config_.presentation;
    std::vector<uint8_t> filler(how.currentMdlOffset, FILLER_OFFSET_BYTE);
    size_t firstBytes = frame.size();
    if (how.layout == SegmentLayout::HeaderDataSplit) {
        firstBytes = std::min<size_t>(frame.size(), FRAME_HEADERS_SIZE);
    } else if (how.layout == SegmentLayout::FixedSegments) {
        firstBytes = std::min(frame.size(), std::max<size_t>(how.segmentBytes, 1));
    }
    const auto at = [&](size_t offset) { return frame.begin() + static_cast<std::ptrdiff_t>(offset); };

    host::PacketBuilder builder;
    filler.insert(filler.end(), frame.begin(), at(firstBytes));
    builder.Segment(std::move(filler), how.mapping).Offset(how.currentMdlOffset);
    const size_t rest = how.layout == SegmentLayout::FixedSegments ? std::max<size_t>(how.segmentBytes, 1) : frame.size();
    for (size_t offset = firstBytes; offset < frame.size(); offset += rest) {
        builder.Segment(std::vector<uint8_t>(at(offset), at(std::min(frame.size(), offset + rest))), how.mapping);
    }
    return builder.Build();
}

void Camera::FlushChain()
{
    if (chain_.empty()) {
        return;
    }
    std::vector<std::unique_ptr<host::Packet>> packets;
    for (const Frame& frame : chain_) {
        if (config_.wireTap) {
            config_.wireTap(frame.bytes);
        }
        packets.push_back(Present(frame.bytes));
    }
    chain_.clear();
    const ULONG flags = config_.presentation.receiveFlags;
    adapter_.Indicate(host::LinkPackets(packets), 0, flags);
    ++counters_.indications;
    if ((flags & NDIS_RECEIVE_FLAGS_RESOURCES) == 0) {
        for (auto& packet : packets) {
            outstanding_.push_back(std::move(packet));
        }
    }
    // With NDIS_RECEIVE_FLAGS_RESOURCES the lists are the miniport's again already.
    ReleaseReturned();
}

bool Camera::ReleaseReturned()
{
    // The adapter counts every list out, the camera's among them: when none is out, all of the
    // camera's have come back.
    if (!outstanding_.empty() && adapter_.OutstandingAtMiniport() == 0) {
        outstanding_.clear();
    }
    return outstanding_.empty();
}

void Camera::HoldOutput() { holding_ = true; }

size_t Camera::FlushHeld()
{
    holding_ = false;
    std::vector<Frame> frames = std::move(held_);
    held_.clear();
    for (Frame& frame : frames) {
        Transmit(std::move(frame));
    }
    FlushChain();
    return frames.size();
}

size_t Camera::ReleaseDelayed()
{
    std::vector<Delayed> frames = std::move(delayed_);
    delayed_.clear();
    for (Delayed& d : frames) {
        Emit(std::move(d.frame));
    }
    FlushChain();
    return frames.size();
}

// ---------------------------------------------------------------------------------------------
// PACKETRESEND.
std::optional<ResendRequest> Camera::ParseRequest(const std::vector<uint8_t>& frame) const
{
    // Ethernet II, IPv4 with its own header length, UDP to the GVCP port, a GVCP command header.
    if (frame.size() < ETHERNET_HEADER_SIZE + IPV4_HEADER_SIZE || ReadBigEndian16(&frame[ETHERNET_TYPE]) != ETHERTYPE_IPV4 ||
        (frame[IPV4_VERSION_LENGTH] >> 4) != IPV4_VERSION) {
        return std::nullopt;
    }
    const uint8_t* ip = &frame[ETHERNET_HEADER_SIZE];
    const size_t ihl = size_t(ip[0] & IPV4_IHL_MASK) * 4;
    const size_t udpAt = ETHERNET_HEADER_SIZE + ihl;
    const size_t gvcpAt = udpAt + UDP_HEADER_SIZE;
    if (ihl < IPV4_HEADER_SIZE || frame[IPV4_PROTOCOL] != IP_PROTOCOL_UDP ||
        frame.size() < gvcpAt + GVCP_HEADER_SIZE) {
        return std::nullopt;
    }
    const uint8_t* udp = &frame[udpAt];
    GvcpCommandHeader header;
    if (ReadBigEndian16(udp + UDP_HEADER_DESTINATION_PORT) != GVCP_PORT || !DecodeGvcpCommandHeader(&frame[gvcpAt], &header) ||
        header.Command != GVCP_PACKETRESEND_CMD) {
        return std::nullopt;
    }

    ResendRequest r;
    r.frame = frame;
    r.flag = header.Flags;
    r.extendedIds = (r.flag & GVCP_FLAG_EXTENDED_ID) != 0;
    r.gvcpLength = header.Length;
    r.requestId = header.RequestId;
    r.sourcePort = ReadBigEndian16(udp);
    r.addressedToCamera = std::equal(config_.cameraMac.begin(), config_.cameraMac.end(), frame.begin()) &&
                          ReadBigEndian32(&frame[IPV4_DESTINATION]) == config_.cameraIp;
    r.ipChecksumOk = InternetChecksum({ip, ihl}) == 0;

    // The UDP checksum over the pseudo-header and the segment as the UDP length declares it.
    const size_t udpLength = ReadBigEndian16(udp + UDP_HEADER_LENGTH);
    r.udpChecksumPresent = ReadBigEndian16(udp + UDP_HEADER_CHECKSUM) != 0;
    if (r.udpChecksumPresent && udpLength >= UDP_HEADER_SIZE && udpAt + udpLength <= frame.size()) {
        std::vector<uint8_t> pseudo(12 + udpLength, 0);
        std::copy(&frame[IPV4_SOURCE], &frame[IPV4_DESTINATION + 4], pseudo.begin());
        pseudo[9] = IP_PROTOCOL_UDP;
        WriteBigEndian16(&pseudo[10], static_cast<uint16_t>(udpLength));
        std::copy(udp, udp + udpLength, pseudo.begin() + 12);
        r.udpChecksumOk = InternetChecksum(pseudo) == 0;
    }

    // The payload as far as the frame holds it, whatever the GVCP length says.
    PacketResend payload;
    const size_t gvcpPayloadAt = gvcpAt + GVCP_HEADER_SIZE;
    if (DecodePacketResend(frame.data() + gvcpPayloadAt, static_cast<uint32_t>(frame.size() - gvcpPayloadAt), header.Flags, &payload)) {
        r.streamChannel = payload.StreamChannel;
        r.blockId = payload.BlockId;
        r.firstPacketId = payload.FirstPacketId;
        r.lastPacketId = payload.LastPacketId;
    }
    return r;
}

size_t Camera::AnswerRequest(ResendRequest& request)
{
    // The camera's network stack drops what fails a checksum; a zero UDP checksum means none.
    const bool intact = request.ipChecksumOk && (request.udpChecksumOk || !request.udpChecksumPresent);
    if (ignoreResends_ || !intact || !request.addressedToCamera || request.streamChannel != config_.streamChannel) {
        ++counters_.resendRequestsIgnored;
        return 0;
    }
    const Block* block = nullptr;
    for (const Block& kept : kept_) {
        const uint64_t id = request.extendedIds ? kept.blockId : (kept.blockId & 0xFFFF);
        if (id == request.blockId) {
            block = &kept;
        }
    }
    if (block == nullptr) {
        ++counters_.resendRequestsIgnored;
        return 0;
    }
    request.answered = true;

    const uint32_t trailer = static_cast<uint32_t>(block->frames.size() - 1);
    const uint32_t last = std::min(request.lastPacketId, trailer);   // RESEND_TO_END_OF_BLOCK: the trailer
    size_t sent = 0;
    for (uint64_t id = request.firstPacketId; id <= last; ++id) {
        const uint32_t packetId = static_cast<uint32_t>(id);
        bool lose = NextUnit(loseState_) < loseFraction_ || loseAllResends_;
        for (const Rule& rule : rules_) {
            lose = lose || (rule.kind == RuleKind::LoseResend && Matches(rule, block->blockId, packetId));
        }
        if (lose) {
            ++counters_.resentPacketsLost;
            continue;
        }
        Frame frame{block->frames[packetId], SentPacket{}};
        WriteBigEndian16(&frame.bytes[FRAME_HEADERS_SIZE + GVSP_HEADER_STATUS], GVSP_STATUS_RESEND);
        frame.info.blockId = block->blockId;
        frame.info.packetId = packetId;
        frame.info.kind = packetId == 0 ? PacketKind::Leader : packetId == trailer ? PacketKind::Trailer : PacketKind::Payload;
        frame.info.status = GVSP_STATUS_RESEND;
        frame.info.resent = true;
        frame.info.frameBytes = frame.bytes.size();
        ++counters_.packetsResent;
        Emit(std::move(frame));
        ++sent;
    }
    return sent;
}

size_t Camera::Pump()
{
    ReleaseReturned();
    // Answers can make the host ask again; a few rounds settle any exchange a test sets up.
    constexpr int MAX_ROUNDS = 16;
    size_t sent = 0;
    for (int round = 0; round < MAX_ROUNDS; ++round) {
        std::vector<host::SendRecord> records = adapter_.SentToMiniportSince(sendsSeen_);
        if (records.empty()) {
            break;
        }
        sendsSeen_ += records.size();
        for (const host::SendRecord& record : records) {
            for (const std::vector<uint8_t>& frame : record.frames) {
                std::optional<ResendRequest> request = ParseRequest(frame);
                if (!request) {
                    continue;
                }
                ++counters_.resendRequests;
                requests_.push_back(std::move(*request));
                sent += AnswerRequest(requests_.back());
            }
        }
        FlushChain();
    }
    return sent;
}

}  // namespace camera
