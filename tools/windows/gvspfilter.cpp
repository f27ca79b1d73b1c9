// gvspfilter.exe: the installed driver on Windows, asked through its control device with the
// client library. `version` reads the driver's version; `adapter MAC` tells whether the filter
// is attached to the adapter with that MAC address. Windows user mode.
#include <cinttypes>
#include <cstdio>
#include <string>

#include "client/gvsp_client.h"
#include "tools/command_line.h"

namespace {

using namespace gvspfilter;

constexpr char USAGE[] =
    "usage: gvspfilter version       the driver's version, read through its control device\n"
    "       gvspfilter adapter MAC   whether the filter is attached to the adapter with MAC\n";

std::string Failed(const char* what, NTSTATUS status)
{
    char text[96];
    std::snprintf(text, sizeof text, "%s (status 0x%08" PRIX32 ")", what, static_cast<uint32_t>(status));
    return text;
}

int Run(int argc, char** argv)
{
    const std::string command = argc > 1 ? argv[1] : "";
    if (!((command == "version" && argc == 2) || (command == "adapter" && argc == 3))) {
        throw UsageError(argc > 1 ? "unknown or incomplete command '" + command + "'" : "a command is needed");
    }
    const MacAddress mac = command == "adapter" ? ParseMac(argv[2]) : MacAddress{};
    gvsp::UserProcess process;
    gvsp::ControlDevice device(process);
    if (!device.IsOpen()) {
        throw RunError("the driver's control device does not open (error " + std::to_string(GetLastError()) +
                       "): is the filter installed and running?");
    }
    if (command == "version") {
        std::string version;
        const NTSTATUS status = device.Version(&version);
        if (!NT_SUCCESS(status)) {
            throw RunError(Failed("the driver did not tell its version", status));
        }
        std::printf("GvspFilter driver %s\n", version.c_str());
        return 0;
    }
    // The driver answers a full query it finds no such adapter for with STATUS_UNSUCCESSFUL.
    const NTSTATUS status = device.QueryAdapter(mac);
    if (status == STATUS_UNSUCCESSFUL) {
        std::printf("the filter is not attached to an adapter with MAC %s\n", MacText(mac).c_str());
        return 1;
    }
    if (!NT_SUCCESS(status)) {
        throw RunError(Failed("the driver did not answer the adapter query", status));
    }
    std::printf("the filter is attached to the adapter with MAC %s\n", MacText(mac).c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    try {
        return Run(argc, argv);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "gvspfilter: %s\n%s", e.what(), USAGE);
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "gvspfilter: %s\n", e.what());
        return 1;
    }
}
