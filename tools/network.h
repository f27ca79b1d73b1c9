// The network as the gvspfilter command uses it: IPv4 addresses, the interface a camera is reached
// through, and UDP sockets. One interface with two implementations: POSIX sockets and the
// interface list of Linux (tools/network.cpp), Winsock and the IP helper's adapter list on Windows
// (tools/windows/network.cpp).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tools/command_line.h"

namespace gvspfilter {

// "192.0.2.10" as a host-order address; UsageError naming `what` otherwise.
uint32_t ParseIpv4(const std::string& text, const std::string& what);
std::string Ipv4Text(uint32_t address);

// A network interface as the tools use it.
struct InterfaceInfo {
    std::string name;       // Linux: its name; Windows: the adapter's friendly name
    MacAddress mac{};
    uint32_t address = 0;   // its first IPv4 address, host order; 0 when it has none
    uint32_t netmask = 0;
    uint32_t mtu = 1500;
};
#if defined(_WIN32)
// The adapter with MAC address `mac` (as `gvspfilter adapter` names it); UsageError when none is.
InterfaceInfo InterfaceWithMac(const MacAddress& mac);
// The adapter the system sends to IPv4 `address` through; UsageError when no route leads there.
InterfaceInfo InterfaceToward(uint32_t address);
#else
// The interface called `name`; UsageError "no such interface 'X'" when there is none.
InterfaceInfo FindInterface(const std::string& name);
// The interface that holds IPv4 `address`; UsageError when none of this machine's does.
InterfaceInfo InterfaceWithAddress(uint32_t address);
#endif

// A UDP socket, closed with the object. Failures throw RunError (UsageError for a bind to an
// address this machine does not have, or to a port in use).
class UdpSocket {
public:
    // Bound to `address`:`port` (host order; 0 for any address or an ephemeral port).
    UdpSocket(uint32_t address, uint16_t port);
    ~UdpSocket();
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    uint16_t LocalPort() const;
    void SetReceiveBuffer(int bytes);
    // Lets the socket send to a broadcast address (DISCOVERY); receiving broadcasts needs a socket
    // bound to any address.
    void EnableBroadcast();
#if !defined(_WIN32)
    // The camera device's stream socket (host only): a deep send queue, and datagrams larger than
    // the path's MTU fail instead of leaving as IPv4 fragments.
    void SetSendBuffer(int bytes);
    void ForbidFragments();
#endif
    // False when the datagram could not be sent (the error is left in errno; on Windows, in
    // WSAGetLastError).
    bool SendTo(uint32_t address, uint16_t port, std::span<const uint8_t> bytes);
    // Waits up to `timeoutMs` for a datagram; nullopt on time-out. The sender lands in `address`
    // and `port`.
    std::optional<std::vector<uint8_t>> ReceiveFrom(int timeoutMs, uint32_t* address, uint16_t* port);

private:
#if defined(_WIN32)
    uintptr_t socket_;   // a Winsock SOCKET
#else
    int fd_ = -1;
#endif
};

}  // namespace gvspfilter
