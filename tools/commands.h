// The subcommands of the gvspfilter command. Each adds its options to the command line and the
// routine that runs it, which returns the exit status (0 success, 1 the run fell short, 2 bad
// usage) or throws UsageError / RunError. Host only.
#pragma once

#include <functional>
#include <utility>
#include <vector>

namespace CLI {
class App;
}

namespace gvspfilter {

using CommandRoutine = std::function<int()>;
using CommandList = std::vector<std::pair<CLI::App*, CommandRoutine>>;

// The built-in camera emulator streaming to the driver on a simulated adapter; what a bare
// `gvspfilter` runs.
CommandRoutine AddDemoCommand(CLI::App& app, CommandList& commands);
// A pcap or pcapng capture played through the driver in virtual time.
void AddReplayCommand(CLI::App& app, CommandList& commands);
// A real Linux interface through a receive ring, optionally controlling the camera over GVCP.
void AddLiveCommand(CLI::App& app, CommandList& commands);
// The camera emulator as a GigE Vision device on a real UDP socket.
void AddCameraCommand(CLI::App& app, CommandList& commands);
// A camera's features with their values, read over GVCP.
void AddFeaturesCommand(CLI::App& app, CommandList& commands);
// The cameras that answer a broadcast DISCOVERY.
void AddDiscoverCommand(CLI::App& app, CommandList& commands);
// The event log of the last run.
void AddEventsCommand(CLI::App& app, CommandList& commands);

}  // namespace gvspfilter
