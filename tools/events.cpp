// `gvspfilter events`: the emulated machine's event log of the last run, as the event viewer
// shows it. Host only.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <fstream>
#include <memory>

#include "tools/commands.h"
#include "tools/driver_session.h"

namespace gvspfilter {

void AddEventsCommand(CLI::App& app, CommandList& commands)
{
    auto file = std::make_shared<std::string>();
    CLI::App* events = app.add_subcommand("events", "Show the event log of the last run");
    events->add_option("--file", *file, "A JSON report or kept event log to read instead of the last run's");
    commands.emplace_back(events, [file] {
        const std::string path = file->empty() ? LastRunEventsPath() : *file;
        std::ifstream in(path);
        if (!in) {
            throw UsageError(file->empty() ? "no run has kept an event log yet (" + path + ")"
                                           : "cannot read '" + path + "'");
        }
        nlohmann::json kept = nlohmann::json::parse(in, nullptr, false);
        if (kept.is_discarded() || !kept.contains("events") || !kept["events"].is_array()) {
            throw UsageError("'" + path + "' holds no event log");
        }
        std::printf("Event log of gvspfilter %s\n%s", kept.value("command", "?").c_str(),
            FormatEvents(kept["events"]).c_str());
        return 0;
    });
}

}  // namespace gvspfilter
