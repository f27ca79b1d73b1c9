// The gvspfilter command's network on Windows: Winsock sockets, adapters from the IP helper's
// list. Windows user mode only.
#include "tools/network.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>

#include <memory>
#include <mutex>

namespace gvspfilter {

namespace {

// Winsock is started once for the process and left running until it ends.
void StartWinsock()
{
    static std::once_flag started;
    std::call_once(started, [] {
        WSADATA data;
        const int error = WSAStartup(MAKEWORD(2, 2), &data);
        if (error != 0) {
            throw RunError("Winsock does not start (error " + std::to_string(error) + ")");
        }
    });
}

std::string Utf8(const wchar_t* text)
{
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(bytes > 0 ? static_cast<size_t>(bytes) : 1, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), bytes, nullptr, nullptr);
    out.resize(out.size() - 1);
    return out;
}

// The adapter of the IP helper's list that `matches` picks, with its first IPv4 address.
template <typename Match>
std::optional<InterfaceInfo> FindAdapter(const Match& matches)
{
    ULONG size = 16 << 10;
    std::unique_ptr<uint8_t[]> buffer;
    ULONG result = ERROR_BUFFER_OVERFLOW;
    for (int attempt = 0; attempt < 4 && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
        buffer = std::make_unique<uint8_t[]>(size);
        result = GetAdaptersAddresses(AF_INET, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER,
            nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.get()), &size);
    }
    if (result != NO_ERROR) {
        throw RunError("the system's adapter list cannot be read (error " + std::to_string(result) + ")");
    }
    for (auto* a = reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(buffer.get()); a != nullptr; a = a->Next) {
        if (a->PhysicalAddressLength != 6 || !matches(*a)) {
            continue;
        }
        InterfaceInfo info;
        info.name = Utf8(a->FriendlyName);
        std::copy(a->PhysicalAddress, a->PhysicalAddress + 6, info.mac.begin());
        info.mtu = a->Mtu;
        for (const IP_ADAPTER_UNICAST_ADDRESS* u = a->FirstUnicastAddress; u != nullptr; u = u->Next) {
            if (u->Address.lpSockaddr->sa_family == AF_INET) {
                info.address = ntohl(reinterpret_cast<const sockaddr_in*>(u->Address.lpSockaddr)->sin_addr.s_addr);
                info.netmask = u->OnLinkPrefixLength == 0 ? 0 : ~uint32_t{0} << (32 - u->OnLinkPrefixLength);
                break;
            }
        }
        return info;
    }
    return std::nullopt;
}

}  // namespace

uint32_t ParseIpv4(const std::string& text, const std::string& what)
{
    StartWinsock();
    in_addr address{};
    if (inet_pton(AF_INET, text.c_str(), &address) != 1) {
        throw UsageError(what + " '" + text + "' is not an IPv4 address");
    }
    return ntohl(address.s_addr);
}

std::string Ipv4Text(uint32_t address)
{
    StartWinsock();
    in_addr a{};
    a.s_addr = htonl(address);
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

InterfaceInfo InterfaceWithMac(const MacAddress& mac)
{
    std::optional<InterfaceInfo> found = FindAdapter(
        [&mac](const IP_ADAPTER_ADDRESSES& a) { return std::equal(mac.begin(), mac.end(), a.PhysicalAddress); });
    if (!found) {
        throw UsageError("no adapter has MAC address " + MacText(mac));
    }
    return *found;
}

InterfaceInfo InterfaceToward(uint32_t address)
{
    DWORD index = 0;
    if (GetBestInterface(htonl(address), &index) != NO_ERROR) {
        throw UsageError("no adapter leads to " + Ipv4Text(address));
    }
    std::optional<InterfaceInfo> found =
        FindAdapter([index](const IP_ADAPTER_ADDRESSES& a) { return a.IfIndex == index; });
    if (!found) {
        throw UsageError("the adapter that leads to " + Ipv4Text(address) + " is not an Ethernet adapter");
    }
    return *found;
}

// ---- UdpSocket --------------------------------------------------------------------------------
UdpSocket::UdpSocket(uint32_t address, uint16_t port)
{
    StartWinsock();
    const SOCKET s = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (s == INVALID_SOCKET) {
        throw RunError("cannot open a UDP socket (error " + std::to_string(WSAGetLastError()) + ")");
    }
    // A port in use is refused, as on Linux, rather than shared with its holder.
    BOOL exclusive = TRUE;
    setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive), sizeof exclusive);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(address);
    local.sin_port = htons(port);
    if (bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
        const int error = WSAGetLastError();
        closesocket(s);
        const std::string where = Ipv4Text(address) + ":" + std::to_string(port);
        if (error == WSAEADDRNOTAVAIL) {
            throw UsageError("address " + Ipv4Text(address) + " is not an address of this machine");
        }
        if (error == WSAEADDRINUSE || error == WSAEACCES) {
            throw UsageError("UDP " + where + " is already in use");
        }
        throw RunError("cannot bind UDP " + where + " (error " + std::to_string(error) + ")");
    }
    socket_ = s;
}

UdpSocket::~UdpSocket() { closesocket(socket_); }

uint16_t UdpSocket::LocalPort() const
{
    sockaddr_in local{};
    int length = sizeof local;
    getsockname(socket_, reinterpret_cast<sockaddr*>(&local), &length);
    return ntohs(local.sin_port);
}

void UdpSocket::SetReceiveBuffer(int bytes)
{
    setsockopt(socket_, SOL_SOCKET, SO_RCVBUF, reinterpret_cast<const char*>(&bytes), sizeof bytes);
}

void UdpSocket::EnableBroadcast()
{
    const BOOL on = TRUE;
    setsockopt(socket_, SOL_SOCKET, SO_BROADCAST, reinterpret_cast<const char*>(&on), sizeof on);
}

bool UdpSocket::SendTo(uint32_t address, uint16_t port, std::span<const uint8_t> bytes)
{
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(address);
    to.sin_port = htons(port);
    return sendto(socket_, reinterpret_cast<const char*>(bytes.data()), static_cast<int>(bytes.size()), 0,
               reinterpret_cast<const sockaddr*>(&to), sizeof to) == static_cast<int>(bytes.size());
}

std::optional<std::vector<uint8_t>> UdpSocket::ReceiveFrom(int timeoutMs, uint32_t* address, uint16_t* port)
{
    WSAPOLLFD waiting{};
    waiting.fd = socket_;
    waiting.events = POLLRDNORM;
    if (WSAPoll(&waiting, 1, timeoutMs) <= 0) {
        return std::nullopt;
    }
    std::vector<uint8_t> bytes(65536);
    sockaddr_in from{};
    int length = sizeof from;
    const int got = recvfrom(socket_, reinterpret_cast<char*>(bytes.data()), static_cast<int>(bytes.size()), 0,
        reinterpret_cast<sockaddr*>(&from), &length);
    if (got < 0) {
        // An ICMP error reported on the socket (WSAECONNRESET), or nothing after all: no datagram
        // this time.
        return std::nullopt;
    }
    bytes.resize(static_cast<size_t>(got));
    *address = ntohl(from.sin_addr.s_addr);
    *port = ntohs(from.sin_port);
    return bytes;
}

}  // namespace gvspfilter
