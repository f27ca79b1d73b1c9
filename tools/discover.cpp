// `gvspfilter discover`: the GigE Vision devices that answer a broadcast DISCOVERY on an interface
// or on every IPv4 interface that is up, with their address, MAC, vendor, model and serial. Host
// only.
#include <CLI/CLI.hpp>

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>

#include "tools/commands.h"
#include "tools/gvcp.h"
#include "tools/network.h"

namespace gvspfilter {

namespace {

constexpr auto ANSWER_TIME = std::chrono::seconds(1);

struct Device {
    uint32_t address = 0;
    MacAddress mac{};
    std::string vendor, model, serial;
};

// The interfaces that are up, not loopback, and hold an IPv4 address.
std::vector<InterfaceInfo> UpInterfaces()
{
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        throw RunError("cannot list the network interfaces");
    }
    std::vector<InterfaceInfo> found;
    for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
        const bool usable = entry->ifa_addr != nullptr && entry->ifa_addr->sa_family == AF_INET &&
                            (entry->ifa_flags & IFF_UP) != 0 && (entry->ifa_flags & IFF_LOOPBACK) == 0;
        const std::string name = entry->ifa_name;
        if (usable && std::none_of(found.begin(), found.end(), [&](const InterfaceInfo& i) { return i.name == name; })) {
            found.push_back(FindInterface(name));
        }
    }
    freeifaddrs(list);
    return found;
}

// A text field of the DISCOVERY acknowledge, up to its first NUL.
std::string Field(const std::vector<uint8_t>& ack, size_t at, size_t bytes)
{
    const auto begin = ack.begin() + static_cast<std::ptrdiff_t>(at);
    return std::string(begin, std::find(begin, begin + static_cast<std::ptrdiff_t>(bytes), 0));
}

// The device a DISCOVERY acknowledge describes, once however often it answers.
void AddDevice(const std::vector<uint8_t>& ack, std::vector<Device>& devices)
{
    Device device;
    device.address = ReadBigEndian32(&ack[36]);
    std::copy_n(ack.begin() + 10, 6, device.mac.begin());
    device.vendor = Field(ack, 72, 32);
    device.model = Field(ack, 104, 32);
    device.serial = Field(ack, 216, 16);
    const bool known = std::any_of(devices.begin(), devices.end(),
        [&](const Device& d) { return d.address == device.address && d.mac == device.mac; });
    if (!known) {
        devices.push_back(device);
    }
}

int RunDiscover(const std::string& interfaceName)
{
    std::vector<InterfaceInfo> interfaces;
    if (!interfaceName.empty()) {
        interfaces.push_back(FindInterface(interfaceName));
        if (interfaces.front().address == 0) {
            throw UsageError("interface '" + interfaceName + "' has no IPv4 address to discover from");
        }
    } else {
        interfaces = UpInterfaces();
        if (interfaces.empty()) {
            throw UsageError("no network interface is up with an IPv4 address to discover from");
        }
    }
    // A socket on each interface's address: the limited broadcast it sends leaves through that
    // interface, and the answers come back to it. They are asked for without the broadcast-ack
    // flag, since a socket bound to one address does not receive broadcasts.
    const std::vector<uint8_t> discovery = EncodeCommand(GvcpCommand{GVCP_FLAG_ACK_REQUIRED, GVCP_DISCOVERY_CMD, 1, {}});
    std::vector<std::unique_ptr<UdpSocket>> sockets;
    for (const InterfaceInfo& iface : interfaces) {
        sockets.push_back(std::make_unique<UdpSocket>(iface.address, 0));
        sockets.back()->EnableBroadcast();
        if (!sockets.back()->SendTo(0xFFFFFFFF, GVCP_PORT, discovery)) {
            throw RunError("cannot broadcast DISCOVERY on '" + iface.name + "'");
        }
    }

    std::vector<Device> devices;
    const auto until = std::chrono::steady_clock::now() + ANSWER_TIME;
    while (std::chrono::steady_clock::now() < until) {
        for (const std::unique_ptr<UdpSocket>& socket : sockets) {
            uint32_t from = 0;
            uint16_t port = 0;
            const std::optional<std::vector<uint8_t>> datagram = socket->ReceiveFrom(10, &from, &port);
            const std::optional<GvcpAck> ack = datagram ? ParseAck(*datagram) : std::nullopt;
            if (ack && ack->answer == GVCP_DISCOVERY_ACK && ack->status == GVCP_STATUS_SUCCESS &&
                ack->payload.size() >= GVCP_DISCOVERY_ACK_BYTES) {
                AddDevice(ack->payload, devices);
            }
        }
    }

    if (devices.empty()) {
        std::printf("no camera answered within 1 s on %s\n", interfaceName.empty() ? "any interface" : interfaceName.c_str());
        return 1;
    }
    std::printf("%-15s  %-17s  %-20s  %-20s  %s\n", "address", "MAC", "vendor", "model", "serial");
    for (const Device& d : devices) {
        std::printf("%-15s  %-17s  %-20s  %-20s  %s\n", Ipv4Text(d.address).c_str(), MacText(d.mac).c_str(),
            d.vendor.c_str(), d.model.c_str(), d.serial.c_str());
    }
    return 0;
}

}  // namespace

void AddDiscoverCommand(CLI::App& app, CommandList& commands)
{
    auto interfaceName = std::make_shared<std::string>();
    CLI::App* discover = app.add_subcommand("discover",
        "List the GigE Vision cameras that answer a broadcast DISCOVERY within 1 s: address, MAC, vendor, model, "
        "serial. Exit status 0 when at least one answered, 1 when none did");
    discover->add_option("--interface", *interfaceName,
        "Linux network interface to broadcast on (default: every IPv4 interface that is up, loopback aside)");
    commands.emplace_back(discover, [interfaceName] { return RunDiscover(*interfaceName); });
}

}  // namespace gvspfilter
