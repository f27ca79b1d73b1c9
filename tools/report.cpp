// The gvspfilter command's output: status line, images, summary and JSON report. On the host and
// on Windows.
#include "tools/report.h"

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

#include <CLI/CLI.hpp>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <fstream>

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

Reporter::Totals Reporter::Count(const StreamSession& stream) const
{
    Totals t;
    for (const FrameRecord& frame : stream.Frames()) {
        (frame.status == FRAME_STATUS_COMPLETE ? t.complete : t.incomplete) += 1;
    }
    const StreamControlBlock& b = stream.Block();
    t.givenUp = uint64_t{b.IncompleteFrames} + b.GapLimitFrames + b.MissingLimitFrames;
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
    const bool enough = t.complete >= expectedComplete;
    const int exitStatus = enough && !failed_ && problems_.empty() ? 0 : 1;

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
    report["images_saved"] = imagesSaved_;
    report["problems"] = problems_;
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
    std::printf("  recovery:  %u packets asked for again in %u requests, %u resent packets taken; %" PRIu64
                " frames given up, %u blocks skipped, %u missing packets\n",
        b.ResendPacketsRequested, b.ResendRequests, b.ResentPackets, t.givenUp, b.SkippedBlocks, b.MissingPackets);
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
    if (enough) {
        std::printf("  result:    every frame the input allowed arrived complete (%" PRIu64 " of %" PRIu64 ")\n",
            t.complete, expectedComplete);
    } else {
        std::printf("  result:    %" PRIu64 " of %" PRIu64 " frames that could arrive complete did\n", t.complete,
            expectedComplete);
    }
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
