// The gvspfilter command: GvspFilter loaded on an emulated Windows machine, fed from the camera
// emulator, a capture, a live interface, and showing what the driver assembled. Host only.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <string_view>
#include <vector>

#include "tools/commands.h"
#include "tools/driver_session.h"

int main(int argc, char** argv)
{
    using namespace gvspfilter;
    CLI::App app{"Receive GigE Vision streams through the GvspFilter driver on an emulated Windows machine.\n"
                 "Without a subcommand, runs the demo: the built-in camera streams to the driver (its options\n"
                 "work without naming it: gvspfilter --frames 10).",
        "gvspfilter"};
    app.require_subcommand(0, 1);
    CommandList commands;
    CommandRoutine demo = AddDemoCommand(app, commands);
    AddReplayCommand(app, commands);
    AddLiveCommand(app, commands);
    AddCameraCommand(app, commands);
    AddFeaturesCommand(app, commands);
    AddDiscoverCommand(app, commands);
    AddEventsCommand(app, commands);

    // Options without a subcommand are the demo's (`gvspfilter --frames 10`); help stays the command's.
    std::vector<const char*> arguments(argv, argv + argc);
    if (argc > 1 && argv[1][0] == '-' && std::string_view(argv[1]) != "-h" && std::string_view(argv[1]) != "--help") {
        arguments.insert(arguments.begin() + 1, "demo");
    }
    try {
        app.parse(static_cast<int>(arguments.size()), arguments.data());
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForAllHelp& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "gvspfilter: %s (see gvspfilter --help)\n", e.what());
        return 2;
    } catch (const UsageError& e) {
        std::fprintf(stderr, "gvspfilter: %s\n", e.what());
        return 2;
    }
    CommandRoutine run = demo;
    for (const auto& [command, routine] : commands) {
        if (command->parsed()) {
            run = routine;
        }
    }
    return RunCommand(run);
}
