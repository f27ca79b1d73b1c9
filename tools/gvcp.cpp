// GVCP messages and the UDP socket of the gvspfilter command's camera device and live
// controller. Host only.
#include "tools/gvcp.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <ifaddrs.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "camera/camera.h"
#include "tools/driver_session.h"

namespace gvspfilter {

using camera::GetBe16;
using camera::GetBe32;
using camera::GetBe64;
using camera::PutBe16;

namespace {

std::vector<uint8_t> Encode(uint16_t first, uint16_t second, uint16_t id, const std::vector<uint8_t>& payload)
{
    std::vector<uint8_t> bytes(GVCP_HEADER_BYTES + payload.size());
    PutBe16(&bytes[0], first);
    PutBe16(&bytes[2], second);
    PutBe16(&bytes[4], static_cast<uint16_t>(payload.size()));
    PutBe16(&bytes[6], id);
    std::copy(payload.begin(), payload.end(), bytes.begin() + GVCP_HEADER_BYTES);
    return bytes;
}

// The payload the header's length announces; nullopt when the datagram is shorter.
std::optional<std::vector<uint8_t>> Payload(std::span<const uint8_t> datagram)
{
    if (datagram.size() < GVCP_HEADER_BYTES) {
        return std::nullopt;
    }
    const size_t length = GetBe16(&datagram[4]);
    if (GVCP_HEADER_BYTES + length > datagram.size()) {
        return std::nullopt;
    }
    return std::vector<uint8_t>(datagram.begin() + GVCP_HEADER_BYTES, datagram.begin() + GVCP_HEADER_BYTES + length);
}

}  // namespace

std::vector<uint8_t> EncodeCommand(const GvcpCommand& command)
{
    return Encode(static_cast<uint16_t>((GVCP_KEY << 8) | command.flags), command.command, command.requestId,
        command.payload);
}

std::vector<uint8_t> EncodeAck(const GvcpAck& ack) { return Encode(ack.status, ack.answer, ack.ackId, ack.payload); }

std::optional<GvcpCommand> ParseCommand(std::span<const uint8_t> datagram)
{
    std::optional<std::vector<uint8_t>> payload = Payload(datagram);
    if (!payload || datagram[0] != GVCP_KEY) {
        return std::nullopt;
    }
    return GvcpCommand{datagram[1], GetBe16(&datagram[2]), GetBe16(&datagram[6]), std::move(*payload)};
}

std::optional<GvcpAck> ParseAck(std::span<const uint8_t> datagram)
{
    std::optional<std::vector<uint8_t>> payload = Payload(datagram);
    if (!payload) {
        return std::nullopt;
    }
    return GvcpAck{GetBe16(&datagram[0]), GetBe16(&datagram[2]), GetBe16(&datagram[6]), std::move(*payload)};
}

const char* GvcpStatusName(uint16_t status)
{
    switch (status) {
    case GVCP_STATUS_SUCCESS: return "success";
    case GVCP_STATUS_NOT_IMPLEMENTED: return "not implemented";
    case GVCP_STATUS_INVALID_PARAMETER: return "invalid parameter";
    case GVCP_STATUS_INVALID_ADDRESS: return "invalid address";
    case GVCP_STATUS_WRITE_PROTECT: return "write protected";
    case GVCP_STATUS_BAD_ALIGNMENT: return "bad alignment";
    case GVCP_STATUS_ACCESS_DENIED: return "access denied";
    default: return "error";
    }
}

std::optional<PacketResendRequest> ParsePacketResend(const GvcpCommand& command)
{
    PacketResendRequest r;
    r.extendedIds = (command.flags & GVCP_FLAG_EXTENDED_ID) != 0;
    const std::vector<uint8_t>& p = command.payload;
    if (command.command != GVCP_PACKETRESEND_CMD || p.size() < (r.extendedIds ? 20u : 12u)) {
        return std::nullopt;
    }
    r.streamChannel = GetBe16(&p[0]);
    r.blockId = r.extendedIds ? GetBe64(&p[12]) : GetBe16(&p[2]);
    r.firstPacketId = GetBe32(&p[4]);
    r.lastPacketId = GetBe32(&p[8]);
    r.toEnd = r.lastPacketId == (r.extendedIds ? camera::RESEND_TO_END_EXTENDED : camera::RESEND_TO_END_STANDARD);
    return r;
}

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

UdpSocket::UdpSocket(UdpSocket&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

UdpSocket& UdpSocket::operator=(UdpSocket&& other) noexcept
{
    if (this != &other) {
        if (fd_ >= 0) {
            close(fd_);
        }
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

uint16_t UdpSocket::LocalPort() const
{
    sockaddr_in local{};
    socklen_t length = sizeof local;
    getsockname(fd_, reinterpret_cast<sockaddr*>(&local), &length);
    return ntohs(local.sin_port);
}

void UdpSocket::SetReceiveBuffer(int bytes) { setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes); }

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
