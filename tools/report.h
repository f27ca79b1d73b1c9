// What the gvspfilter command shows and writes about a run: the live status line, saved frame
// images, the final summary, the JSON report and the event log kept for `gvspfilter events`.
// Host only.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/driver_session.h"
#include "tools/image.h"

namespace CLI {
class App;
}

namespace gvspfilter {

struct OutputOptions {
    std::string saveDir;              // --save: every complete frame as an image
    ImageFormat format = ImageFormat::Png;
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
    void Tick(const DriverSession& session);
    // Adds a field to the report's top level (a subcommand's own findings).
    void Add(const std::string& key, nlohmann::json value) { extra_[key] = std::move(value); }
    // Something that makes the run fail whatever the frame counts say (a frame that is not the
    // camera's picture): listed in the summary and the report, exit status 1.
    void Problem(std::string text) { problems_.push_back(std::move(text)); }

    // Closes the session, prints the summary, writes the JSON report and keeps the event log for
    // `gvspfilter events`. `expectedComplete`: the frames the input allows to arrive complete.
    // Returns the exit status: 0 when at least that many arrived complete and the checker found
    // nothing, 1 otherwise.
    int Finish(DriverSession& session, uint64_t expectedComplete);

private:
    struct Totals;
    Totals Count(const DriverSession& session) const;

    std::string command_;
    OutputOptions options_;
    nlohmann::json settings_;
    nlohmann::json extra_ = nlohmann::json::object();
    std::vector<std::string> problems_;
    bool terminal_ = false;
    std::chrono::steady_clock::time_point started_;
    std::chrono::steady_clock::time_point lastStatus_;
    uint64_t imagesSaved_ = 0;
    std::string imageError_;
};

// The event log of a run as the event viewer shows it: one line per entry with time, level,
// source, event id and the rendered message.
std::string FormatEvents(const nlohmann::json& events);
// Where a run keeps its event log for `gvspfilter events`.
std::string LastRunEventsPath();

}  // namespace gvspfilter
