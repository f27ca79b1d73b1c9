// gvspfilter.exe: the installed driver on Windows, asked through its control device with the
// client library. `version` reads the driver's version; `adapter MAC` tells whether the filter
// is attached to the adapter with that MAC address; `live --camera IP` controls a camera over
// GVCP, aims its stream at this host and receives the frames through the driver, reporting and
// saving them as the host's `gvspfilter live` does. Windows user mode.
#include <CLI/CLI.hpp>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <string>

#include "client/gvsp_client.h"
#include "tools/command_line.h"
#include "tools/live_run.h"
#include "tools/stop_signal.h"

namespace {

using namespace gvspfilter;

struct WindowsLiveOptions : LiveOptions {
    std::string adapter;   // MAC address; default the adapter the camera is reached through
};

std::string Failed(const char* what, NTSTATUS status)
{
    char text[96];
    std::snprintf(text, sizeof text, "%s (status 0x%08" PRIX32 ")", what, static_cast<uint32_t>(status));
    return text;
}

// The driver's control device, opened for this process; RunError when the driver is not there.
std::unique_ptr<gvsp::ControlDevice> OpenDevice(gvsp::UserProcess& process)
{
    auto device = std::make_unique<gvsp::ControlDevice>(process);
    if (!device->IsOpen()) {
        throw RunError("the driver's control device does not open (error " + std::to_string(GetLastError()) +
                       "): is the filter installed and running?");
    }
    return device;
}

// Whether the filter sits on the adapter with `mac`: the driver answers a full query it finds no
// such adapter for with STATUS_UNSUCCESSFUL.
bool FilterAttached(const gvsp::ControlDevice& device, const MacAddress& mac)
{
    const NTSTATUS status = device.QueryAdapter(mac);
    if (status == STATUS_UNSUCCESSFUL) {
        return false;
    }
    if (!NT_SUCCESS(status)) {
        throw RunError(Failed("the driver did not answer the adapter query", status));
    }
    return true;
}

int RunVersion()
{
    gvsp::UserProcess process;
    std::string version;
    const NTSTATUS status = OpenDevice(process)->Version(&version);
    if (!NT_SUCCESS(status)) {
        throw RunError(Failed("the driver did not tell its version", status));
    }
    std::printf("GvspFilter driver %s\n", version.c_str());
    return 0;
}

int RunAdapter(const std::string& macText)
{
    const MacAddress mac = ParseMac(macText);
    gvsp::UserProcess process;
    const bool attached = FilterAttached(*OpenDevice(process), mac);
    std::printf("the filter is %sattached to the adapter with MAC %s\n", attached ? "" : "not ", MacText(mac).c_str());
    return attached ? 0 : 1;
}

int RunLive(const WindowsLiveOptions& o)
{
    CheckLiveOptions(o);
    const uint32_t cameraAddress = ParseIpv4(o.cameraAddress, "--camera");
    const InterfaceInfo iface = o.adapter.empty() ? InterfaceToward(cameraAddress) : InterfaceWithMac(ParseMac(o.adapter));
    if (iface.address == 0) {
        throw UsageError("adapter '" + iface.name + "' has no IPv4 address to control a camera from");
    }
    // The driver must take the stream on that adapter before anything is sent to the camera.
    gvsp::UserProcess process;
    if (!FilterAttached(*OpenDevice(process), iface.mac)) {
        throw UsageError("the filter is not attached to adapter '" + iface.name + "' (" + MacText(iface.mac) + ")");
    }
    // The driver takes the stream's packets below the system's stack; a socket held on the port
    // keeps it this run's (the system picks a free one unless --port names it).
    UdpSocket portGuard(iface.address, o.port);
    portGuard.SetReceiveBuffer(4096);

    CatchStopSignals();
    StreamSettings settings;
    settings.adapterMac = iface.mac;
    settings.port = portGuard.LocalPort();
    nlohmann::json described = DescribeLive(o, iface, settings.port);
    std::unique_ptr<CameraControl> camera = ControlCamera(cameraAddress, o, iface, settings, described);
    SetLiveStream(settings, described);

    Reporter reporter("live", o.output, described);
    StreamSession stream(process, settings);
    const auto started = std::chrono::steady_clock::now();
    camera->Start();
    const FrameSink sink = reporter.Sink();
    const std::string stopped = CollectLive(stream, reporter, sink, o, camera.get(), {});
    camera->Release();
    stream.Collect(sink);
    reporter.Add("stopped_by", stopped);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    reporter.StopsMidStream();
    return reporter.Finish(stream, o.frames, seconds);
}

}  // namespace

int main(int argc, char** argv)
{
    CLI::App app{"Receive GigE Vision streams through the installed GvspFilter driver.", "gvspfilter"};
    app.require_subcommand(1);
    CLI::App* version = app.add_subcommand("version", "The driver's version, read through its control device");
    std::string mac;
    CLI::App* adapter = app.add_subcommand("adapter", "Whether the filter is attached to the adapter with MAC");
    adapter->add_option("MAC", mac, "The adapter's MAC address, as 00:1b:2c:3d:4e:b0")->required();
    WindowsLiveOptions options;
    CLI::App* live = app.add_subcommand("live",
        "Control a camera over GVCP and receive its stream through the driver; --save writes PGM (PPM for RGB8) or "
        "raw images, no PNG on Windows");
    live->add_option("--camera", options.cameraAddress, "IPv4 address of the GigE Vision camera to control")->required();
    live->add_option("--adapter", options.adapter,
        "MAC address of the adapter to receive on (default: the one the camera is reached through)");
    AddLiveOptions(*live, options);

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) {
            return app.exit(e);   // --help
        }
        std::fprintf(stderr, "gvspfilter: %s (see gvspfilter --help)\n", e.what());
        return 2;
    }
    return RunCommand([&] {
        if (version->parsed()) {
            return RunVersion();
        }
        if (adapter->parsed()) {
            return RunAdapter(mac);
        }
        return RunLive(options);
    });
}
