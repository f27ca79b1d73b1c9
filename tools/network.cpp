// The gvspfilter command's network on Linux: POSIX sockets, interfaces from getifaddrs and sysfs.
// Host only.
#include "tools/network.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <ifaddrs.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace gvspfilter {

uint32_t ParseIpv4(const std::string& text, const std::string& what)
{
    in_addr address{};
    if (inet_pton(AF_INET, text.c_str(), &address) != 1) {
        throw UsageError(what + " '" + text + "' is not an IPv4 address");
    }
    return ntohl(address.s_addr);
}

std::string Ipv4Text(uint32_t address)
{
    in_addr a{htonl(address)};
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

// ---- Interfaces --------------------------------------------------------------------------------
namespace {

std::string SysClassNet(const std::string& name, const char* file)
{
    std::ifstream in("/sys/class/net/" + name + "/" + file);
    std::string text;
    std::getline(in, text);
    return text;
}

// Fills the IPv4 address and mask of `info.name`, or of the interface holding `address` when it
// is not 0 (then also the name).
bool FillAddress(InterfaceInfo& info, uint32_t address)
{
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return false;
    }
    bool found = false;
    for (ifaddrs* a = list; a != nullptr && !found; a = a->ifa_next) {
        if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET) {
            continue;
        }
        const uint32_t here = ntohl(reinterpret_cast<const sockaddr_in*>(a->ifa_addr)->sin_addr.s_addr);
        if (address != 0 ? here == address : info.name == a->ifa_name) {
            info.name = a->ifa_name;
            info.address = here;
            info.netmask = a->ifa_netmask != nullptr
                               ? ntohl(reinterpret_cast<const sockaddr_in*>(a->ifa_netmask)->sin_addr.s_addr)
                               : 0;
            found = true;
        }
    }
    freeifaddrs(list);
    return found;
}

}  // namespace

InterfaceInfo FindInterface(const std::string& name)
{
    if (name.empty() || name.size() >= IF_NAMESIZE || name.find('/') != std::string::npos || if_nametoindex(name.c_str()) == 0) {
        throw UsageError("no such interface '" + name + "'");
    }
    InterfaceInfo info;
    info.name = name;
    const std::string mac = SysClassNet(name, "address");
    if (mac.size() == 17) {
        info.mac = ParseMac(mac);
    }
    info.mtu = static_cast<uint32_t>(std::strtoul(SysClassNet(name, "mtu").c_str(), nullptr, 10));
    if (info.mtu == 0) {
        info.mtu = 1500;
    }
    FillAddress(info, 0);
    return info;
}

InterfaceInfo InterfaceWithAddress(uint32_t address)
{
    InterfaceInfo info;
    if (!FillAddress(info, address)) {
        throw UsageError("address " + Ipv4Text(address) + " is not an address of this machine");
    }
    const uint32_t netmask = info.netmask;
    info = FindInterface(info.name);
    info.address = address;
    info.netmask = netmask;
    return info;
}

// ---- UdpSocket --------------------------------------------------------------------------------
UdpSocket::UdpSocket(uint32_t address, uint16_t port)
{
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        throw RunError(std::string("cannot open a UDP socket: ") + std::strerror(errno));
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(address);
    local.sin_port = htons(port);
    if (bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        const int error = errno;
        close(fd_);
        fd_ = -1;
        const std::string where = Ipv4Text(address) + ":" + std::to_string(port);
        if (error == EADDRNOTAVAIL) {
            throw UsageError("address " + Ipv4Text(address) + " is not an address of this machine");
        }
        if (error == EADDRINUSE) {
            throw UsageError("UDP " + where + " is already in use");
        }
        if (error == EACCES) {
            throw UsageError("binding UDP " + where + " needs root or CAP_NET_BIND_SERVICE");
        }
        throw RunError("cannot bind UDP " + where + ": " + std::strerror(error));
    }
}

UdpSocket::~UdpSocket()
{
    if (fd_ >= 0) {
        close(fd_);
    }
}

uint16_t UdpSocket::LocalPort() const
{
    sockaddr_in local{};
    socklen_t length = sizeof local;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length);
    return ntohs(local.sin_port);
}

void UdpSocket::SetReceiveBuffer(int bytes) { setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes); }

void UdpSocket::EnableBroadcast()
{
    const int on = 1;
    setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
}

void UdpSocket::SetSendBuffer(int bytes) { setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes); }

void UdpSocket::ForbidFragments()
{
    const int discover = IP_PMTUDISC_DO;
    setsockopt(fd_, IPPROTO_IP, IP_MTU_DISCOVER, &discover, sizeof discover);
}

bool UdpSocket::SendTo(uint32_t address, uint16_t port, std::span<const uint8_t> bytes)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(address);
    to.sin_port = htons(port);
    return sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) ==
           static_cast<ssize_t>(bytes.size());
}

std::optional<std::vector<uint8_t>> UdpSocket::ReceiveFrom(int timeoutMs, uint32_t* address, uint16_t* port)
{
    pollfd waiting{fd_, POLLIN, 0};
    if (poll(&waiting, 1, timeoutMs) <= 0) {
        return std::nullopt;
    }
    std::vector<uint8_t> bytes(65536);
    sockaddr_in from{};
    socklen_t length = sizeof from;
    const ssize_t got = recvfrom(fd_, bytes.data(), bytes.size(), MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from), &length);
    if (got < 0) {
        // An ICMP error reported on the socket, or nothing after all: no datagram this time.
        return std::nullopt;
    }
    bytes.resize(static_cast<size_t>(got));
    *address = ntohl(from.sin_addr.s_addr);
    *port = ntohs(from.sin_port);
    return bytes;
}

}  // namespace gvspfilter
