// The gvspfilter command's output: status line, images, summary and JSON report. On the host and
// on Windows.
#include "tools/report.h"

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>

namespace gvspfilter {

namespace {

// The counters of the StreamControlBlock that the driver writes, by name.
nlohmann::json Counters(const StreamControlBlock& b)
{
    nlohmann::json c;
#define GVSP_COUNTER(name) c[#name] = b.name
    GVSP_COUNTER(ExpectedPacketCount);
    GVSP_COUNTER(ResendPacketsRequested);
    GVSP_COUNTER(MissingPackets);
    GVSP_COUNTER(ResendRequests);
    GVSP_COUNTER(DuplicatePackets);
    GVSP_COUNTER(ResentPackets);
    GVSP_COUNTER(UnsupportedPackets);
    GVSP_COUNTER(ErrorStatusFrames);
    GVSP_COUNTER(IncompleteFrames);
    GVSP_COUNTER(OverwrittenFrames);
    GVSP_COUNTER(GapLimitFrames);
    GVSP_COUNTER(MissingLimitFrames);
    GVSP_COUNTER(SkippedBlocks);
    GVSP_COUNTER(AssembledFrames);
    GVSP_COUNTER(FreeFrameCount);
    GVSP_COUNTER(CompletedFrameCount);
    GVSP_COUNTER(AssemblingFrameCount);
    GVSP_COUNTER(NoFreeFrame);
    GVSP_COUNTER(FrameRate);
    GVSP_COUNTER(DataRate);
#undef GVSP_COUNTER
    return c;
}

std::string FrameStatusName(uint16_t status)
{
    switch (status) {
    case FRAME_STATUS_COMPLETE: return "complete";
    case FRAME_STATUS_INCOMPLETE: return "incomplete";
    case FRAME_STATUS_DEVICE_ERROR: return "device error";
    case FRAME_STATUS_OVERFLOW: return "overflow";
    case FRAME_STATUS_GAP_LIMIT: return "gap limit";
    case FRAME_STATUS_MISSING_LIMIT: return "missing-packet limit";
    default: return "unknown";
    }
}

// Why the driver gave a frame up, by the code of its frame event.
std::string GiveUpCause(uint32_t eventCode)
{
    switch (eventCode) {
    case 2: return "completed but reused before it was collected";
    case 3: return "unfinished when a newer block took its place";
    case 7: return "over the missing-packet limit";
    default: return "event " + std::to_string(eventCode);
    }
}

// Frames the driver gave up without handing them over, by its counters: the frames it counted as
// given up (unfinished, over a limit, reused before collected) less those it handed over so.
uint64_t GivenUpByCounters(const StreamControlBlock& b, const std::vector<FrameRecord>& frames)
{
    uint64_t handedOver = 0;
    for (const FrameRecord& f : frames) {
        handedOver += f.status == FRAME_STATUS_INCOMPLETE || f.status == FRAME_STATUS_GAP_LIMIT ||
                              f.status == FRAME_STATUS_MISSING_LIMIT
                          ? 1
                          : 0;
    }
    const uint64_t counted = uint64_t{b.IncompleteFrames} + b.GapLimitFrames + b.MissingLimitFrames + b.OverwrittenFrames;
    return counted > handedOver ? counted - handedOver : 0;
}

constexpr uint64_t STANDARD_ID_MAX = 0xFFFF;        // standard headers: ids 1 to 65535, then 1 again
constexpr uint64_t UNWRAPPED_ORIGIN = STANDARD_ID_MAX << 24;   // far from 0, and a whole number of wraps
constexpr uint64_t SKIPPED_LISTED_ONE_BY_ONE = 1024;  // a longer run of skipped blocks is one entry

// Every block the driver saw with its final status, in block order, and their numbers.
struct BlockAccount {
    nlohmann::json blocks = nlohmann::json::array();
    uint64_t givenUp = 0;
    uint64_t assembling = 0;
    std::map<std::string, uint64_t> incompleteBy;   // by frame status
    std::map<std::string, uint64_t> givenUpBy;      // by cause
};

// The frames handed over, the frames given up (when the events were heard) and the frames still
// assembling, each placed by its block id; the blocks between them were skipped. Standard ids
// wrap, so each is unwrapped next to the one heard before it, in the order they were heard.
BlockAccount AccountBlocks(const StreamSession& stream)
{
    struct Seen {
        uint64_t id;
        nlohmann::json entry;
        uint64_t key = 0;
    };
    BlockAccount a;
    std::vector<Seen> seen;
    const std::vector<FrameRecord>& frames = stream.Frames();
    const std::vector<FrameEventRecord>* events = stream.FrameEvents();
    size_t e = 0;
    for (size_t f = 0; f <= frames.size(); ++f) {
        for (; events != nullptr && e < events->size() && (*events)[e].framesBefore <= f; ++e) {
            const FrameEventRecord& event = (*events)[e];
            const std::string cause = GiveUpCause(event.eventCode);
            a.givenUpBy[cause] += 1;
            seen.push_back({event.blockId, {{"block", event.blockId}, {"status", "given up"}, {"cause", cause},
                                               {"gvsp_status", event.gvspStatus}}});
        }
        if (f < frames.size()) {
            const FrameRecord& frame = frames[f];
            const bool complete = frame.status == FRAME_STATUS_COMPLETE;
            if (!complete) {
                a.incompleteBy["with status " + std::to_string(frame.status) + " " + FrameStatusName(frame.status)] += 1;
            }
            seen.push_back({frame.blockId, {{"block", frame.blockId}, {"status", complete ? "complete" : "incomplete"},
                                               {"frame_status", frame.status}}});
            if (!complete) {
                seen.back().entry["frame_status_name"] = FrameStatusName(frame.status);
            }
        }
    }
    for (const AssemblingRecord& r : stream.AssemblingAtClose()) {
        seen.push_back({r.blockId, {{"block", r.blockId}, {"status", "assembling"}, {"received_packets", r.receivedPackets},
                                       {"total_packets", r.totalPackets}}});
    }
    a.givenUp = events != nullptr ? events->size() : GivenUpByCounters(stream.Block(), frames);
    a.assembling = stream.AssemblingAtClose().size();

    const bool extended = std::any_of(seen.begin(), seen.end(), [](const Seen& s) { return s.id > STANDARD_ID_MAX; });
    uint64_t previous = 0;
    for (Seen& s : seen) {
        if (extended) {
            s.key = s.id;
            continue;
        }
        const uint64_t residue = (s.id + STANDARD_ID_MAX - 1) % STANDARD_ID_MAX;
        if (previous == 0) {
            s.key = UNWRAPPED_ORIGIN + residue;
        } else {
            const uint64_t ahead = (residue + STANDARD_ID_MAX - previous % STANDARD_ID_MAX) % STANDARD_ID_MAX;
            s.key = ahead <= STANDARD_ID_MAX / 2 ? previous + ahead : previous - (STANDARD_ID_MAX - ahead);
        }
        previous = s.key;
    }
    std::stable_sort(seen.begin(), seen.end(), [](const Seen& x, const Seen& y) { return x.key < y.key; });
    auto idOf = [extended](uint64_t key) { return extended ? key : key % STANDARD_ID_MAX + 1; };

    // Without the frame events a block between two seen ones may have been given up or skipped:
    // only the counters tell their numbers then.
    const uint64_t skippedCounted = stream.Block().SkippedBlocks;
    uint64_t gaps = 0;
    for (size_t i = 1; events != nullptr && i < seen.size(); ++i) {
        gaps += seen[i].key > seen[i - 1].key ? seen[i].key - seen[i - 1].key - 1 : 0;
    }
    // Frames the newest and waiting policies let go leave no trace but the gap.
    const char* skipped = gaps == skippedCounted ? "skipped" : "skipped or let go by the hand-over policy";
    for (size_t i = 0; i < seen.size(); ++i) {
        if (i > 0 && events != nullptr && seen[i].key > seen[i - 1].key + 1) {
            const uint64_t first = seen[i - 1].key + 1;
            const uint64_t count = seen[i].key - first;
            if (count > SKIPPED_LISTED_ONE_BY_ONE) {
                a.blocks.push_back({{"block", idOf(first)}, {"through", idOf(seen[i].key - 1)}, {"count", count},
                    {"status", skipped}});
            } else {
                for (uint64_t k = first; k < seen[i].key; ++k) {
                    a.blocks.push_back({{"block", idOf(k)}, {"status", skipped}});
                }
            }
        }
        a.blocks.push_back(std::move(seen[i].entry));
    }
    return a;
}

// "3 frames given up (2 for this, 1 for that)" from `what` in the singular ("frame given up"),
// with the parts of `by`.
std::string Counted(uint64_t n, const std::string& what, const std::map<std::string, uint64_t>& by = {})
{
    const size_t firstWord = std::min(what.find(' '), what.size());
    std::string text = std::to_string(n) + " " + what.substr(0, firstWord) + (n == 1 ? "" : "s") + what.substr(firstWord);
    const char* separator = " (";
    for (const auto& [name, count] : by) {
        text += separator + std::to_string(count) + " " + name;
        separator = ", ";
    }
    return by.empty() ? text : text + ")";
}

}  // namespace

struct Reporter::Totals {
    uint64_t complete = 0;
    uint64_t incomplete = 0;
    uint64_t givenUp = 0;
    double wallSeconds = 0;
    double fps = 0;
    double mbps = 0;
};

void AddOutputOptions(CLI::App& command, OutputOptions& options)
{
    command.add_option("--save", options.saveDir,
        std::string("Write every complete frame as an image into DIR (block_<id>.") + ImageFormatName(DEFAULT_IMAGE_FORMAT) + ")");
    command.add_option_function<std::string>(
        "--format", [&options](const std::string& name) { options.format = ParseImageFormat(name); },
        IMAGE_FORMATS_HELP);
    command.add_option("--json", options.jsonPath, "Write the final report as JSON to FILE");
}

Reporter::Reporter(std::string command, const OutputOptions& options, nlohmann::json settings)
    : command_(std::move(command)), options_(options), settings_(std::move(settings)),
      terminal_(isatty(fileno(stdout)) != 0), started_(std::chrono::steady_clock::now()), lastStatus_(started_)
{
    if (!options_.saveDir.empty()) {
        std::error_code error;
        std::filesystem::create_directories(options_.saveDir, error);
        if (error || !std::filesystem::is_directory(options_.saveDir)) {
            throw UsageError("cannot create the image directory '" + options_.saveDir + "'");
        }
    }
}

FrameSink Reporter::Sink()
{
    return [this](const gvsp::Frame& frame) {
        if (options_.saveDir.empty() || frame.Status() != FRAME_STATUS_COMPLETE) {
            return;
        }
        ImageGeometry geometry;
        if (!ReadLeaderGeometry(frame.Leader(), &geometry)) {
            geometry = ImageGeometry{};
        }
        const std::string path = options_.saveDir + "/block_" + std::to_string(frame.BlockId());
        std::string problem = WriteImage(path, options_.format, geometry, frame.Payload());
        if (problem.empty()) {
            ++imagesSaved_;
        } else if (imageError_.empty()) {
            imageError_ = problem;
        }
    };
}

void Reporter::Line(std::string label, std::string text, bool fails)
{
    lines_.emplace_back(std::move(label), std::move(text));
    failed_ = failed_ || fails;
}

void Reporter::LostBeforeDriver(uint64_t packets, std::string what, bool fails)
{
    if (packets != 0) {
        lostBeforeDriver_.push_back({packets, std::move(what), fails});
    }
}

Reporter::Totals Reporter::Count(const StreamSession& stream) const
{
    Totals t;
    for (const FrameRecord& frame : stream.Frames()) {
        (frame.status == FRAME_STATUS_COMPLETE ? t.complete : t.incomplete) += 1;
    }
    t.givenUp = GivenUpByCounters(stream.Block(), stream.Frames());
    t.wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started_).count();
    if (t.wallSeconds > 0) {
        t.fps = double(t.complete) / t.wallSeconds;
        t.mbps = double(stream.PayloadBytes()) / 1e6 / t.wallSeconds;
    }
    return t;
}

void Reporter::Tick(const StreamSession& stream)
{
    const auto now = std::chrono::steady_clock::now();
    const auto period = terminal_ ? std::chrono::milliseconds(250) : std::chrono::milliseconds(2000);
    if (now - lastStatus_ < period) {
        return;
    }
    lastStatus_ = now;
    const Totals t = Count(stream);
    const StreamControlBlock& b = stream.Block();
    char line[256];
    std::snprintf(line, sizeof line,
        "frames %" PRIu64 " complete, %" PRIu64 " incomplete | %.1f fps %.1f MB/s | resent %u packets, %u requests | "
        "given up %" PRIu64,
        t.complete, t.incomplete, t.fps, t.mbps, b.ResentPackets, b.ResendRequests, t.givenUp);
    if (terminal_) {
        std::printf("\r%s\x1b[K", line);
    } else {
        std::printf("%s\n", line);
    }
    std::fflush(stdout);
}

int Reporter::Finish(StreamSession& stream, uint64_t expectedComplete, double streamSeconds)
{
    stream.Close();
    const Totals t = Count(stream);
    const StreamControlBlock& b = stream.Block();
    const std::vector<FrameRecord>& frames = stream.Frames();
    const BlockAccount a = AccountBlocks(stream);

    // Where frames and packets were lost, a line per place; what fails the run.
    std::vector<std::string> losses;
    bool lossesFail = false;
    std::string before;
    nlohmann::json lostBefore = nlohmann::json::object();
    for (const Loss& loss : lostBeforeDriver_) {
        before += (before.empty() ? "" : ", ") + Counted(loss.packets, loss.what);
        lostBefore[loss.what] = loss.packets;
        lossesFail = lossesFail || loss.fails;
    }
    if (!before.empty()) {
        losses.push_back("before the driver: " + before);
    }
    const uint64_t assemblingLost = stopsMidStream_ ? 0 : a.assembling;
    std::vector<std::string> inDriver;
    if (a.givenUp != 0) {
        inDriver.push_back(stream.FrameEvents() != nullptr ? Counted(a.givenUp, "frame given up", a.givenUpBy)
                                                           : Counted(a.givenUp, "frame given up (by the counters)"));
    }
    if (b.SkippedBlocks != 0) {
        inDriver.push_back(Counted(b.SkippedBlocks, "block skipped"));
    }
    if (t.incomplete != 0) {
        inDriver.push_back(Counted(t.incomplete, "frame handed over incomplete", a.incompleteBy));
    }
    if (assemblingLost != 0) {
        inDriver.push_back(Counted(assemblingLost, "frame still assembling at the end"));
    }
    if (!inDriver.empty()) {
        std::string text = "in the driver: ";
        for (size_t i = 0; i < inDriver.size(); ++i) {
            text += (i == 0 ? "" : ", ") + inDriver[i];
        }
        losses.push_back(text);
    }
    lossesFail = lossesFail || a.givenUp + b.SkippedBlocks + t.incomplete + assemblingLost != 0;
    const uint64_t blocksSeen = t.complete + t.incomplete + a.givenUp + b.SkippedBlocks + assemblingLost;
    const bool enough = t.complete >= expectedComplete;
    const bool problems = failed_ || !problems_.empty();
    const int exitStatus = enough && !lossesFail && !problems ? 0 : 1;

    std::string result = blocksSeen == 0 ? "no block reached the driver"
                         : t.complete == blocksSeen
                             ? "every block the driver saw arrived complete (" + std::to_string(t.complete) + " of " +
                                   std::to_string(blocksSeen) + ")"
                             : std::to_string(t.complete) + " of " + std::to_string(blocksSeen) +
                                   " blocks the driver saw arrived complete";
    if (!enough) {
        result += ", " + std::to_string(expectedComplete) + " expected";
    }
    if (stopsMidStream_ && a.assembling != 0) {
        result += "; " + std::to_string(a.assembling) + (a.assembling == 1 ? " more was" : " more were") +
                  " still arriving when the run stopped";
    }
    if (exitStatus != 0) {
        std::vector<std::string> why;
        if (lossesFail) {
            why.push_back("the losses");
        }
        if (problems) {
            why.push_back("the problems");
        }
        result += why.empty() ? "; too few for the run"
                              : "; " + why[0] + (why.size() > 1 ? " and " + why[1] : "") + " above fail the run";
    }

    nlohmann::json report;
    report["command"] = command_;
    report["settings"] = settings_;
    report["frames_complete"] = t.complete;
    report["frames_incomplete"] = t.incomplete;
    report["frames_expected_complete"] = expectedComplete;
    report["first_block"] = frames.empty() ? nlohmann::json(nullptr) : nlohmann::json(frames.front().blockId);
    report["last_block"] = frames.empty() ? nlohmann::json(nullptr) : nlohmann::json(frames.back().blockId);
    report["fps"] = t.fps;
    report["mbps"] = t.mbps;
    report["wall_seconds"] = t.wallSeconds;
    report["stream_seconds"] = streamSeconds;
    report["counters"] = Counters(b);
    nlohmann::json list = nlohmann::json::array();
    for (const FrameRecord& f : frames) {
        list.push_back({{"block", f.blockId}, {"status", f.status}, {"payload_bytes", f.payloadBytes}});
    }
    report["frames"] = std::move(list);
    report["blocks"] = a.blocks;
    report["block_counts"] = {{"complete", t.complete}, {"incomplete", t.incomplete}, {"given_up", a.givenUp},
        {"skipped", b.SkippedBlocks}, {"assembling", a.assembling}};
    report["frame_events"] = stream.FrameEvents() != nullptr ? "heard" : "not available";
    report["lost_before_driver"] = lostBefore;
    report["images_saved"] = imagesSaved_;
    report["problems"] = problems_;
    report["result"] = result;
    report["exit_status"] = exitStatus;
    for (auto& [key, value] : extra_.items()) {
        report[key] = value;
    }

    if (terminal_) {
        std::printf("\r\x1b[K");   // the summary replaces the status line
    }
    std::printf("gvspfilter %s: %zu frames handed over, %" PRIu64 " complete, %" PRIu64 " incomplete", command_.c_str(),
        frames.size(), t.complete, t.incomplete);
    if (!frames.empty()) {
        std::printf(" (blocks %" PRIu64 " to %" PRIu64 ")", frames.front().blockId, frames.back().blockId);
    }
    std::printf("\n  rate:      %.1f frames/s, %.1f MB/s of payload over %.2f s; %.2f s of stream time\n", t.fps,
        t.mbps, t.wallSeconds, streamSeconds);
    std::printf("  recovery:  %u packets asked for again in %u requests, %u resent packets taken; %u packets still "
                "missing when frames were handed over or given up\n",
        b.ResendPacketsRequested, b.ResendRequests, b.ResentPackets, b.MissingPackets);
    for (size_t i = 0; i < std::max<size_t>(losses.size(), 1); ++i) {
        std::printf("  %-10s %s\n", i == 0 ? "losses:" : "", losses.empty() ? "none" : losses[i].c_str());
    }
    if (!options_.saveDir.empty()) {
        std::printf("  images:    %" PRIu64 " written to %s%s%s\n", imagesSaved_, options_.saveDir.c_str(),
            imageError_.empty() ? "" : "; ", imageError_.c_str());
    }
    for (const auto& [label, text] : lines_) {
        std::printf("  %-10s %s\n", (label + ":").c_str(), text.c_str());
    }
    for (const std::string& problem : problems_) {
        std::printf("  problem:   %s\n", problem.c_str());
    }
    std::printf("  result:    %s\n", result.c_str());
    std::fflush(stdout);

    if (!options_.jsonPath.empty()) {
        std::ofstream out(options_.jsonPath);
        out << report.dump(2) << "\n";
        if (!out) {
            throw RunError("cannot write the report to '" + options_.jsonPath + "'");
        }
    }
    return exitStatus;
}

}  // namespace gvspfilter
