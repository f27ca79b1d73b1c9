// `gvspfilter features`: the features of a camera's GenICam description with their kinds, access,
// values and ranges, by category, read over GVCP without taking control of the camera. Host only.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <memory>

#include "tools/camera_control.h"
#include "tools/commands.h"

namespace gvspfilter {

namespace {

struct FeaturesOptions {
    std::string camera;
    std::string interfaceName;
};

int RunFeatures(const FeaturesOptions& o)
{
    const uint32_t cameraAddress = ParseIpv4(o.camera, "--camera");
    uint32_t local = 0;   // any: the system picks the interface toward the camera
    if (!o.interfaceName.empty()) {
        local = FindInterface(o.interfaceName).address;
        if (local == 0) {
            throw UsageError("interface '" + o.interfaceName + "' has no IPv4 address to reach a camera from");
        }
    }
    GvcpController gvcp(local, cameraAddress);
    std::string fileName;
    const std::unique_ptr<GenICam> description = gvcp.ReadDescription(fileName, DESCRIPTION_TIMEOUT);
    const GenICam& features = *description;
    const std::vector<std::pair<int, std::string>> tree = features.Tree();
    size_t column = 0;
    for (const auto& [depth, name] : tree) {
        column = std::max(column, 2 * static_cast<size_t>(depth) + name.size());
    }
    std::printf("%s, description %s\n", gvcp.Name().c_str(), fileName.c_str());
    for (const auto& [depth, name] : tree) {
        const std::string kind = features.Kind(name);
        const int indent = 2 * depth + 2;
        if (kind == "Category") {
            std::printf("%*s%s\n", indent, "", name.c_str());
            continue;
        }
        // A feature that cannot be read is listed with the reason, and the listing goes on.
        const std::string access = features.Access(name);
        std::string value, range;
        try {
            value = access[0] == 'R' ? features.Get(name) : "-";
            range = features.Range(name);
        } catch (const RunError& e) {
            value = std::string("(unreadable: ") + e.what() + ")";
        }
        std::printf("%*s%-*s  %-13s %s  %s%s%s\n", indent, "", static_cast<int>(column - indent + 2), name.c_str(),
            kind.c_str(), access.c_str(), value.c_str(), range.empty() ? "" : "  ", range.c_str());
    }
    return 0;
}

}  // namespace

void AddFeaturesCommand(CLI::App& app, CommandList& commands)
{
    auto options = std::make_shared<FeaturesOptions>();
    CLI::App* features = app.add_subcommand("features",
        "List a camera's features by category: kind, access, value and range or entries (read over GVCP, "
        "without taking control)");
    features->add_option("--camera", options->camera, "IPv4 address of the GigE Vision camera")->required();
    features->add_option("--interface", options->interfaceName, "Linux network interface to reach it from (default: the route's)");
    commands.emplace_back(features, [options] { return RunFeatures(*options); });
}

}  // namespace gvspfilter
