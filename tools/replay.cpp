// `gvspfilter replay`: a pcap or pcapng capture of a GigE Vision stream played through the driver
// in virtual time, packet by packet with the capture's own timing, optionally answering the
// driver's PACKETRESEND requests from the captured packets as the camera would. Host only.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "camera/camera.h"
#include "tools/capture.h"
#include "tools/commands.h"
#include "tools/driver_session.h"
#include "tools/gvcp.h"
#include "tools/image.h"
#include "tools/report.h"

namespace gvspfilter {

namespace {


constexpr uint64_t MAX_FRAME_BYTES = 128ull << 20;     // larger is taken as a damaged capture
constexpr uint64_t MAX_CACHE_BYTES = 512ull << 20;     // frame buffers of one run, together
constexpr int64_t MAX_GAP_NS = 2'000'000'000;          // a longer silence in the capture is cut to this
constexpr size_t KEPT_BLOCKS = 8;                      // blocks still resendable, as a camera keeps them
constexpr int MAX_ANSWER_ROUNDS = 16;                  // answers may draw further requests

// ---- Reading captured packets ----------------------------------------------------------------
// A GVSP packet as its Ethernet frame carries it.
struct StreamPacket {
    uint16_t port = 0;        // UDP destination port
    size_t gvspAt = 0;        // offset of the GVSP header in the frame
    size_t gvspBytes = 0;     // GVSP header and data, by the UDP length
    uint16_t status = 0;
    uint64_t blockId = 0;     // 16 bits in the standard header, 64 in the extended-id header
    uint32_t packetId = 0;
    uint8_t format = 0;
    bool extendedIds = false;
    size_t HeaderBytes() const { return GvspHeaderSize(extendedIds); }
};

// The IPv4 UDP datagram of an Ethernet frame: where its UDP header starts and how long it is by
// its own length field (at most what the frame holds). Fragments are not datagrams on their own.
std::optional<std::pair<size_t, size_t>> FindUdp(const std::vector<uint8_t>& frame)
{
    if (frame.size() < ETHERNET_HEADER_SIZE + IPV4_HEADER_SIZE || ReadBigEndian16(&frame[ETHERNET_TYPE]) != ETHERTYPE_IPV4 ||
        (frame[IPV4_VERSION_LENGTH] >> 4) != IPV4_VERSION) {
        return std::nullopt;
    }
    const size_t ihl = size_t(frame[IPV4_VERSION_LENGTH] & IPV4_IHL_MASK) * 4;
    const bool fragment = (ReadBigEndian16(&frame[IPV4_FLAGS_FRAGMENT_OFFSET]) &
                              (IPV4_MORE_FRAGMENTS | IPV4_FRAGMENT_OFFSET_MASK)) != 0;
    const size_t udpAt = ETHERNET_HEADER_SIZE + ihl;
    if (ihl < IPV4_HEADER_SIZE || frame[IPV4_PROTOCOL] != IP_PROTOCOL_UDP || fragment || frame.size() < udpAt + UDP_HEADER_SIZE) {
        return std::nullopt;
    }
    const size_t udpLength = ReadBigEndian16(&frame[udpAt + UDP_HEADER_LENGTH]);
    if (udpLength < UDP_HEADER_SIZE) {
        return std::nullopt;
    }
    return std::make_pair(udpAt, std::min(udpLength, frame.size() - udpAt));
}

// A frame that holds a well-formed GVSP leader, trailer or payload packet (the formats the driver
// places), not to or from the GVCP port.
std::optional<StreamPacket> ParseStreamPacket(const std::vector<uint8_t>& frame)
{
    const auto udp = FindUdp(frame);
    if (!udp) {
        return std::nullopt;
    }
    const auto [udpAt, udpLength] = *udp;
    StreamPacket p;
    p.port = ReadBigEndian16(&frame[udpAt + UDP_HEADER_DESTINATION_PORT]);
    p.gvspAt = udpAt + UDP_HEADER_SIZE;
    p.gvspBytes = udpLength - UDP_HEADER_SIZE;
    if (p.gvspBytes < GVSP_STANDARD_HEADER_SIZE || p.port == GVCP_PORT || ReadBigEndian16(&frame[udpAt]) == GVCP_PORT) {
        return std::nullopt;
    }
    GvspHeader header;
    const size_t h = DecodeGvspHeader(&frame[p.gvspAt], static_cast<uint32_t>(p.gvspBytes), &header);
    if (h == 0) {
        return std::nullopt;
    }
    p.status = header.Status;
    p.blockId = header.BlockId;
    p.packetId = header.PacketId;
    p.format = header.Format;
    p.extendedIds = header.ExtendedIds;
    bool wellFormed = p.blockId != 0 && p.packetId <= GVSP_MAX_PACKET_ID;
    switch (p.format) {
    case GVSP_FORMAT_LEADER: wellFormed = wellFormed && p.packetId == 0 && p.gvspBytes >= h + GVSP_LEADER_MIN_SIZE; break;
    case GVSP_FORMAT_TRAILER: wellFormed = wellFormed && p.packetId != 0 && p.gvspBytes >= h + GVSP_IMAGE_TRAILER_SIZE; break;
    case GVSP_FORMAT_PAYLOAD:
    case GVSP_FORMAT_H264:
    case GVSP_FORMAT_MULTI_ZONE:
        wellFormed = wellFormed && p.packetId != 0 && p.gvspBytes > h;
        break;
    default: wellFormed = false;
    }
    return wellFormed ? std::optional<StreamPacket>(p) : std::nullopt;
}

// ---- Choices of the command line -------------------------------------------------------------
// --drop: packet ids and ranges removed from every block before the driver sees them.
struct DropList {
    std::vector<std::pair<uint32_t, uint32_t>> ranges;
    bool trailer = false;

    bool Matches(const StreamPacket& p) const
    {
        if (trailer && p.format == GVSP_FORMAT_TRAILER) {
            return true;
        }
        return std::any_of(ranges.begin(), ranges.end(),
            [&](const auto& r) { return r.first <= p.packetId && p.packetId <= r.second; });
    }
};

uint32_t ParsePacketId(const std::string& text, const std::string& item)
{
    size_t used = 0;
    unsigned long value = 0;
    try {
        value = std::stoul(text, &used, 10);
    } catch (const std::exception&) {
        used = 0;
    }
    if (text.empty() || used != text.size() || !std::isdigit(static_cast<unsigned char>(text[0])) ||
        value > GVSP_MAX_PACKET_ID) {
        throw UsageError("--drop: '" + item + "' is not a packet id (0 to 65535), a range A-B, 'leader' or 'trailer'");
    }
    return static_cast<uint32_t>(value);
}

DropList ParseDropList(const std::string& text)
{
    DropList list;
    size_t start = 0;
    while (!text.empty() && start <= text.size()) {
        const size_t comma = std::min(text.find(',', start), text.size());
        const std::string item = text.substr(start, comma - start);
        start = comma + 1;
        if (item == "trailer") {
            list.trailer = true;
        } else if (item == "leader") {
            list.ranges.emplace_back(0, 0);
        } else if (const size_t dash = item.find('-'); dash != std::string::npos) {
            const uint32_t first = ParsePacketId(item.substr(0, dash), item);
            const uint32_t last = ParsePacketId(item.substr(dash + 1), item);
            if (first > last) {
                throw UsageError("--drop: the range '" + item + "' runs backwards");
            }
            list.ranges.emplace_back(first, last);
        } else {
            const uint32_t id = ParsePacketId(item, item);
            list.ranges.emplace_back(id, id);
        }
    }
    return list;
}

struct ReplayOptions {
    std::string capture;
    std::optional<uint16_t> port;
    std::string interfaceMac;
    bool answerResends = false;
    std::string drop;
    std::string sentPath;
    OutputOptions output;
};

// ---- What the capture holds ------------------------------------------------------------------
// The stream found by a first pass over the capture: which port and adapter it goes to and the
// largest frame and packet it holds.
struct StreamSurvey {
    uint16_t port = 0;
    MacAddress interfaceMac{};
    uint64_t streamPackets = 0;
    uint64_t frameBytes = 0;      // payload bytes of the largest frame
    uint32_t packetSize = 0;      // GVSP bytes of the largest payload packet
};

StreamSurvey SurveyCapture(const ReplayOptions& options)
{
    StreamSurvey survey;
    uint64_t leaderBytes = 0;
    uint32_t highestTrailerId = 0;
    std::optional<StreamPacket> first;   // the stream's first packet: its header kind is the stream's

    CaptureReader reader(options.capture);
    CapturedFrame frame;
    while (reader.Next(&frame)) {
        const std::optional<StreamPacket> p = ParseStreamPacket(frame.bytes);
        if (!p || (options.port && p->port != *options.port) || (first && p->port != survey.port)) {
            continue;
        }
        if (!first) {
            first = p;
            survey.port = p->port;
            std::copy(frame.bytes.begin(), frame.bytes.begin() + 6, survey.interfaceMac.begin());
        }
        // The driver takes one header kind per stream; frame sizes follow from its header size.
        if (p->extendedIds != first->extendedIds) {
            throw UsageError(options.capture + ": block " + std::to_string(p->blockId) + " to UDP port " +
                             std::to_string(survey.port) + " has " + (p->extendedIds ? "extended-id" : "standard") +
                             " GVSP headers, block " + std::to_string(first->blockId) + " before it " +
                             (first->extendedIds ? "extended-id" : "standard") + " ones");
        }
        ++survey.streamPackets;
        const std::span<const uint8_t> gvsp(&frame.bytes[p->gvspAt], p->gvspBytes);
        ImageGeometry geometry;
        if (p->format == GVSP_FORMAT_LEADER && ReadLeaderGeometry(gvsp, &geometry)) {
            // Bits per pixel are bits 16 to 23 of the pixel format. Width x height fits in 64 bits;
            // times the bits it may not, so the bound is checked before multiplying.
            const uint64_t bits = (geometry.pixelFormat >> 16) & 0xFF;
            const uint64_t pixels = uint64_t(geometry.width) * geometry.height;
            if (bits != 0 && pixels > MAX_FRAME_BYTES * 8 / bits) {
                throw UsageError(options.capture + ": the leader of block " + std::to_string(p->blockId) +
                                 " describes a " + std::to_string(geometry.width) + " x " +
                                 std::to_string(geometry.height) + " image of more than " +
                                 std::to_string(MAX_FRAME_BYTES) + " bytes");
            }
            leaderBytes = std::max(leaderBytes, (pixels * bits + 7) / 8);
        } else if (p->format == GVSP_FORMAT_TRAILER) {
            highestTrailerId = std::max(highestTrailerId, p->packetId);
        } else if (p->format != GVSP_FORMAT_LEADER) {
            survey.packetSize = std::max(survey.packetSize, static_cast<uint32_t>(p->gvspBytes));
        }
    }
    if (!first) {
        throw UsageError(options.capture + ": no GigE Vision stream packets" +
                         (options.port ? " to UDP port " + std::to_string(*options.port) : std::string()));
    }
    if (survey.packetSize == 0) {
        throw UsageError(options.capture + ": no stream payload packets to UDP port " + std::to_string(survey.port));
    }
    // The trailer's id is one more than the block's payload packets: so many full packets make a
    // frame size whose packet count the driver computes to be exactly that. A payload packet holds
    // more than its header, so the frame size is never 0.
    const size_t headerBytes = first->HeaderBytes();
    const uint64_t trailerBytes = uint64_t(highestTrailerId > 0 ? highestTrailerId - 1 : 0) * (survey.packetSize - headerBytes);
    survey.frameBytes = std::max(leaderBytes, trailerBytes);
    if (survey.frameBytes > MAX_FRAME_BYTES) {
        throw UsageError(options.capture + ": trailers of up to packet id " + std::to_string(highestTrailerId) +
                         " make frames of " + std::to_string(survey.frameBytes) + " bytes, more than " +
                         std::to_string(MAX_FRAME_BYTES));
    }
    survey.frameBytes = std::max<uint64_t>(survey.frameBytes, survey.packetSize - headerBytes);
    return survey;
}

// A captured stream packet with its frame, kept for resends.
struct KeptPacket {
    StreamPacket info;
    std::vector<uint8_t> frame;
};

// The recent blocks of the stream in capture order, with the frames that carried each packet:
// what a camera still holds for resends. A block id seen again after its block left the window
// (a wrapped counter) starts a new block. Counts the blocks whole in the capture: trailer, leader
// and every packet in between present, none with an error status.
class BlockWindow {
public:
    void Add(const StreamPacket& p, const std::vector<uint8_t>& frame)
    {
        Block* block = nullptr;
        for (auto it = blocks_.rbegin(); it != blocks_.rend() && block == nullptr; ++it) {
            block = it->blockId == p.blockId ? &*it : nullptr;
        }
        if (block == nullptr) {
            if (blocks_.size() == KEPT_BLOCKS) {
                Retire();
            }
            blocks_.emplace_back();
            ++blocksSeen_;
            block = &blocks_.back();
            block->blockId = p.blockId;
        }
        // A later copy of a packet replaces the earlier one: the most recent is resent.
        block->packets[p.packetId] = KeptPacket{p, frame};
        block->errorStatus = block->errorStatus || (p.status & GVSP_STATUS_ERROR) != 0;
        if (p.format == GVSP_FORMAT_TRAILER) {
            block->trailerId = p.packetId;
        }
    }

    // The most recent frames of the block `request` names (standard requests carry the low 16 bits
    // of the id), from its first to its last packet (to the trailer for RESEND_TO_END_OF_BLOCK);
    // the ids of a kept block that the capture does not hold are counted in `missing`. Nothing for
    // a block no longer kept.
    std::vector<const KeptPacket*> Find(const PacketResend& request, uint64_t* missing) const
    {
        const Block* block = nullptr;
        for (auto it = blocks_.rbegin(); it != blocks_.rend() && block == nullptr; ++it) {
            block = (request.ExtendedIds ? it->blockId : (it->blockId & 0xFFFF)) == request.BlockId ? &*it : nullptr;
        }
        std::vector<const KeptPacket*> found;
        if (block == nullptr) {
            return found;
        }
        uint32_t last = request.LastPacketId;
        if (last == RESEND_TO_END_OF_BLOCK) {
            last = block->trailerId.value_or(block->packets.empty() ? 0 : block->packets.rbegin()->first);
        }
        last = std::min(last, GVSP_MAX_PACKET_ID);
        for (uint64_t id = request.FirstPacketId; id <= last; ++id) {
            const auto it = block->packets.find(static_cast<uint32_t>(id));
            if (it == block->packets.end()) {
                ++*missing;
            } else {
                found.push_back(&it->second);
            }
        }
        return found;
    }

    // Settles the blocks still in the window, at the capture's end.
    void RetireAll()
    {
        while (!blocks_.empty()) {
            Retire();
        }
    }
    uint64_t BlocksSeen() const { return blocksSeen_; }
    uint64_t BlocksWhole() const { return blocksWhole_; }

private:
    struct Block {
        uint64_t blockId = 0;
        std::map<uint32_t, KeptPacket> packets;
        std::optional<uint32_t> trailerId;
        bool errorStatus = false;
    };

    void Retire()
    {
        const Block& block = blocks_.front();
        // Ids are unique keys: all of 0 to the trailer are present when there are that many.
        if (block.trailerId && !block.errorStatus && block.packets.size() == *block.trailerId + 1u &&
            block.packets.rbegin()->first == *block.trailerId) {
            ++blocksWhole_;
        }
        blocks_.pop_front();
    }

    std::deque<Block> blocks_;   // oldest first, at most KEPT_BLOCKS
    uint64_t blocksSeen_ = 0;
    uint64_t blocksWhole_ = 0;
};

// ---- PACKETRESEND as the camera reads it -----------------------------------------------------
// The request in one of the driver's frames: a GVCP command to port 3956.
std::optional<PacketResend> ParseResendRequest(const std::vector<uint8_t>& frame)
{
    const auto udp = FindUdp(frame);
    if (!udp || ReadBigEndian16(&frame[udp->first + UDP_HEADER_DESTINATION_PORT]) != GVCP_PORT) {
        return std::nullopt;
    }
    const auto command =
        ParseCommand(std::span<const uint8_t>(&frame[udp->first + UDP_HEADER_SIZE], udp->second - UDP_HEADER_SIZE));
    return command ? ParsePacketResend(*command) : std::nullopt;
}

// A captured packet as the camera sends it again: a success status becomes the resend status,
// and a UDP checksum present is brought up to date for the changed word.
std::vector<uint8_t> AsResent(const StreamPacket& p, std::vector<uint8_t> frame)
{
    uint8_t* status = &frame[p.gvspAt + GVSP_HEADER_STATUS];
    if (p.status != GVSP_STATUS_SUCCESS) {
        return frame;
    }
    WriteBigEndian16(status, GVSP_STATUS_RESEND);
    uint8_t* checksum = &frame[p.gvspAt - UDP_HEADER_SIZE + UDP_HEADER_CHECKSUM];
    const uint16_t old = ReadBigEndian16(checksum);
    if (old != 0) {
        // Incremental update of a one's complement sum: ~(~old + ~oldWord + newWord).
        uint32_t sum = uint32_t(uint16_t(~old)) + uint16_t(~GVSP_STATUS_SUCCESS) + GVSP_STATUS_RESEND;
        sum = (sum & 0xFFFF) + (sum >> 16);
        sum = (sum & 0xFFFF) + (sum >> 16);
        const uint16_t updated = static_cast<uint16_t>(~sum);
        WriteBigEndian16(checksum, updated == 0 ? 0xFFFF : updated);
    }
    return frame;
}

// ---- The replay ------------------------------------------------------------------------------
class Replay {
public:
    Replay(const ReplayOptions& options, const SessionSettings& settings)
        : options_(options), drop_(ParseDropList(options.drop)),
          sent_(options.sentPath.empty() ? nullptr : std::make_unique<CaptureWriter>(options.sentPath)),
          session_(settings), reporter_("replay", options.output, SettingsReport(options, settings))
    {
    }

    int Run()
    {
        CaptureReader reader(options_.capture);
        CapturedFrame frame;
        while (reader.Next(&frame)) {
            Play(frame);
        }
        Drain();
        window_.RetireAll();
        if (sent_) {
            sent_->Close();
        }
        reporter_.Add("replay", nlohmann::json{
            {"capture", options_.capture},
            {"linkType", reader.LinkTypeName()},
            {"packetsRead", packetsRead_},
            {"packetsCut", packetsCut_},
            {"streamPackets", streamPackets_},
            {"packetsDropped", packetsDropped_},
            {"blocksInCapture", window_.BlocksSeen()},
            {"blocksWholeInCapture", window_.BlocksWhole()},
            {"gapsShortened", gapsShortened_},
            {"packetsSentByDriver", packetsSent_},
            {"resendRequests", resendRequests_},
            {"resendRequestsAnswered", requestsAnswered_},
            {"resendRequestsUnanswered", requestsUnanswered_},
            {"packetsResent", packetsResent_},
            {"packetsNotInCapture", packetsNotInCapture_},
        });
        reporter_.LostBeforeDriver(packetsDropped_, "packet withheld as --drop asked", false);
        reporter_.LostBeforeDriver(packetsCut_, "frame cut short in the capture", false);
        return FinishReport(reporter_, session_, window_.BlocksSeen());
    }

private:
    static nlohmann::json SettingsReport(const ReplayOptions& options, const SessionSettings& settings)
    {
        return nlohmann::json{{"capture", options.capture}, {"port", settings.port},
            {"interfaceMac", MacText(settings.adapterMac)}, {"frameSize", settings.frameSize},
            {"packetSize", settings.packetSize}, {"answerResends", options.answerResends}, {"drop", options.drop},
            {"sent", options.sentPath}};
    }

    void Play(const CapturedFrame& frame)
    {
        ++packetsRead_;
        MoveClock(frame.timeNs);
        if (frame.cut || frame.bytes.size() < ETHERNET_HEADER_SIZE) {
            // A NIC hands up whole frames only.
            ++packetsCut_;
            return;
        }
        const std::optional<StreamPacket> p = ParseStreamPacket(frame.bytes);
        const bool stream = p && p->port == session_.Settings().port;
        if (stream) {
            ++streamPackets_;
            window_.Add(*p, frame.bytes);
            if (drop_.Matches(*p)) {
                ++packetsDropped_;
                return;
            }
        }
        Indicate(frame.bytes);
        AnswerSends();
        session_.Collect(reporter_.Sink());
        reporter_.Tick(session_);
    }

    // Moves the virtual clock by the capture's time since the previous packet: a time stamp that
    // goes back does not move it, a long silence moves it by MAX_GAP_NS.
    void MoveClock(int64_t timeNs)
    {
        if (!started_) {
            started_ = true;
            captureNs_ = virtualNs_ = startNs_ = timeNs;
            return;
        }
        int64_t delta = std::max<int64_t>(timeNs - captureNs_, 0);
        if (delta > MAX_GAP_NS) {
            delta = MAX_GAP_NS;
            ++gapsShortened_;
        }
        captureNs_ = std::max(captureNs_, timeNs);
        virtualNs_ += delta;
        const int64_t elapsedUs = (virtualNs_ - startNs_) / 1000;
        if (elapsedUs > advancedUs_) {
            session_.Advance(elapsedUs - advancedUs_);
            advancedUs_ = elapsedUs;
        }
    }

    void Indicate(std::vector<uint8_t> frame)
    {
        // Captures taken on a veth or loopback interface lack the filler a NIC adds to short frames.
        if (frame.size() < ETHERNET_MIN_FRAME_SIZE) {
            frame.resize(ETHERNET_MIN_FRAME_SIZE, 0);
        }
        ReleaseReturned();
        outstanding_.push_back(host::MakeFramePacket(frame));
        session_.Adapter().Indicate(outstanding_.back()->List(), 0, NDIS_RECEIVE_FLAGS_DISPATCH_LEVEL);
        ReleaseReturned();
    }

    void ReleaseReturned()
    {
        // The adapter counts every list out: when none is, all of ours have come back.
        if (!outstanding_.empty() && session_.Adapter().OutstandingAtMiniport() == 0) {
            outstanding_.clear();
        }
    }

    // Reads what the driver sent since the last look: keeps it for --sent and, with
    // --answer-resends, answers each PACKETRESEND with the captured packets it names.
    void AnswerSends()
    {
        for (int round = 0; round < MAX_ANSWER_ROUNDS; ++round) {
            const std::vector<host::SendRecord> records = session_.Adapter().SentToMiniportSince(sendsSeen_);
            if (records.empty()) {
                return;
            }
            sendsSeen_ += records.size();
            std::vector<std::vector<uint8_t>> answers;
            for (const host::SendRecord& record : records) {
                for (const std::vector<uint8_t>& frame : record.frames) {
                    ++packetsSent_;
                    if (sent_) {
                        sent_->Write(virtualNs_, frame);
                    }
                    const std::optional<PacketResend> request = ParseResendRequest(frame);
                    if (!request) {
                        continue;
                    }
                    ++resendRequests_;
                    if (!options_.answerResends) {
                        continue;
                    }
                    const auto found = window_.Find(*request, &packetsNotInCapture_);
                    ++(found.empty() ? requestsUnanswered_ : requestsAnswered_);
                    for (const KeptPacket* kept : found) {
                        answers.push_back(AsResent(kept->info, kept->frame));
                    }
                }
            }
            for (std::vector<uint8_t>& answer : answers) {
                ++packetsResent_;
                Indicate(std::move(answer));
            }
        }
    }

    // After the last packet: time for the driver's time-outs to ask for what is still missing,
    // and for the answers to arrive.
    void Drain()
    {
        const SessionSettings& settings = session_.Settings();
        const int64_t steps = int64_t(settings.resendTimeoutMs) * (settings.resendRetryLimit + 2);
        for (int64_t ms = 0; ms < steps; ++ms) {
            session_.Advance(1000);
            virtualNs_ += 1'000'000;
            AnswerSends();
            session_.Collect(reporter_.Sink());
        }
        reporter_.Tick(session_);
    }

    const ReplayOptions& options_;
    DropList drop_;
    std::unique_ptr<CaptureWriter> sent_;   // opened before the driver loads: a bad path is bad usage
    DriverSession session_;
    Reporter reporter_;
    BlockWindow window_;
    std::vector<std::unique_ptr<host::Packet>> outstanding_;   // indicated, maybe not yet returned
    size_t sendsSeen_ = 0;

    bool started_ = false;
    int64_t startNs_ = 0;      // the first packet's time stamp
    int64_t captureNs_ = 0;    // the latest time stamp read
    int64_t virtualNs_ = 0;    // the virtual clock, on the capture's time scale
    int64_t advancedUs_ = 0;   // how far the session's clock has been moved

    uint64_t packetsRead_ = 0, packetsCut_ = 0, streamPackets_ = 0, packetsDropped_ = 0, gapsShortened_ = 0;
    uint64_t packetsSent_ = 0, resendRequests_ = 0, requestsAnswered_ = 0, requestsUnanswered_ = 0, packetsResent_ = 0;
    uint64_t packetsNotInCapture_ = 0;
};

int RunReplay(const ReplayOptions& options)
{
    ParseDropList(options.drop);   // bad usage is reported before the capture is read
    const StreamSurvey survey = SurveyCapture(options);
    SessionSettings settings;
    if (!options.interfaceMac.empty()) {
        settings.adapterMac = ParseMac(options.interfaceMac);
    } else if (survey.interfaceMac != MacAddress{}) {
        settings.adapterMac = survey.interfaceMac;
    }
    settings.port = survey.port;
    settings.frameSize = static_cast<uint32_t>(survey.frameBytes);
    settings.packetSize = survey.packetSize;
    settings.buffers = static_cast<uint32_t>(
        std::clamp<uint64_t>(MAX_CACHE_BYTES / survey.frameBytes, 2, settings.buffers));
    Replay replay(options, settings);
    return replay.Run();
}

}  // namespace

void AddReplayCommand(CLI::App& app, CommandList& commands)
{
    auto options = std::make_shared<ReplayOptions>();
    CLI::App* command = app.add_subcommand("replay", "Play a pcap or pcapng capture of a stream through the driver");
    command->add_option("capture", options->capture, "The capture file (pcap or pcapng)")->required();
    command->add_option("--port", options->port,
        "UDP port of the stream (default: the destination port of the first stream packet)");
    command->add_option("--interface-mac", options->interfaceMac,
        "MAC address of the adapter (default: the destination of the first stream packet)");
    command->add_flag("--answer-resends", options->answerResends,
        "Answer the driver's PACKETRESEND requests with the captured packets, as the camera");
    command->add_option("--drop", options->drop,
        "Packet ids dropped from every block before the driver sees them, e.g. 0,5-7,trailer");
    command->add_option("--sent", options->sentPath, "Write every packet the driver sent to this pcap file");
    AddOutputOptions(*command, options->output);
    commands.emplace_back(command, [options] { return RunReplay(*options); });
}

}  // namespace gvspfilter
