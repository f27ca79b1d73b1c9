// What the gvspfilter command shows and writes about a run: the live status line, saved frame
// images, the final summary and the JSON report, from the stream (tools/stream_session.h). On the
// host and on Windows; what the emulated machine adds comes through Add and Line
// (tools/driver_session.h).
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/image.h"
#include "tools/stream_session.h"

namespace CLI {
class App;
}

namespace gvspfilter {

struct OutputOptions {
    std::string saveDir;              // --save: every complete frame as an image
    ImageFormat format = DEFAULT_IMAGE_FORMAT;
    std::string jsonPath;             // --json: the final report
};
// Adds --save, --format and --json to a subcommand.
void AddOutputOptions(CLI::App& command, OutputOptions& options);

class Reporter {
public:
    // `command`: the subcommand's name; `settings`: what the run was asked to do, as the report
    // lists it.
    Reporter(std::string command, const OutputOptions& options, nlohmann::json settings);

    // The sink a session's Collect takes: saves complete frames when asked to.
    FrameSink Sink();
    // Refreshes the status line (a few times a second on a terminal, every few seconds as plain
    // lines otherwise).
    void Tick(const StreamSession& stream);
    // Adds a field to the report's top level (a subcommand's own findings).
    void Add(const std::string& key, nlohmann::json value) { extra_[key] = std::move(value); }
    // Something that makes the run fail whatever the frame counts say (a frame that is not the
    // camera's picture): listed in the summary and the report, exit status 1.
    void Problem(std::string text) { problems_.push_back(std::move(text)); }
    // A line of the summary, `label: text`, after the images (further lines of `text` as they
    // are); `fails`: what it says fails the run (exit status 1).
    void Line(std::string label, std::string text, bool fails = false);
    // Packets lost before the driver could see them; `what` says where, in the singular ("packet
    // dropped by the capture"). `fails`: the loss fails the run, as it does unless the user asked
    // for it.
    void LostBeforeDriver(uint64_t packets, std::string what, bool fails = true);
    // The run stops while the camera still streams: blocks still assembling at the end were cut
    // off by the stop, not lost.
    void StopsMidStream() { stopsMidStream_ = true; }
    const std::string& Command() const { return command_; }

    // Closes the stream, prints the summary and writes the JSON report, with every block the
    // driver saw and its final status. `expectedComplete`: the frames the run must hand over
    // complete at least; `streamSeconds`: the time the stream spanned. Returns the exit status:
    // 0 when every block the driver saw arrived complete, at least that many, nothing was lost
    // before the driver and nothing else failed the run; 1 otherwise.
    int Finish(StreamSession& stream, uint64_t expectedComplete, double streamSeconds);

private:
    struct Totals;
    Totals Count(const StreamSession& stream) const;

    std::string command_;
    OutputOptions options_;
    nlohmann::json settings_;
    nlohmann::json extra_ = nlohmann::json::object();
    std::vector<std::string> problems_;
    std::vector<std::pair<std::string, std::string>> lines_;
    struct Loss {
        uint64_t packets;
        std::string what;
        bool fails;
    };
    std::vector<Loss> lostBeforeDriver_;
    bool failed_ = false;
    bool stopsMidStream_ = false;
    bool terminal_ = false;
    std::chrono::steady_clock::time_point started_;
    std::chrono::steady_clock::time_point lastStatus_;
    uint64_t imagesSaved_ = 0;
    std::string imageError_;
};

}  // namespace gvspfilter
