// GVCP as the gvspfilter command speaks it on real UDP sockets: command and acknowledge messages,
// the bootstrap register map and the PACKETRESEND payload, for the camera device and the live
// controller. On the host and on Windows.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "base/wire_format.h"

namespace gvspfilter {

// ---- Messages -------------------------------------------------------------------------------
// The header, the port, the key, the flags and PACKETRESEND are the wire codec's.
inline constexpr uint8_t GVCP_FLAG_BROADCAST_ACK = 0x10;   // DISCOVERY: the answer may be broadcast

inline constexpr uint16_t GVCP_DISCOVERY_CMD = 0x0002;
inline constexpr uint16_t GVCP_DISCOVERY_ACK = 0x0003;
inline constexpr uint16_t GVCP_FORCEIP_CMD = 0x0004;
inline constexpr uint16_t GVCP_FORCEIP_ACK = 0x0005;
inline constexpr uint16_t GVCP_READREG_CMD = 0x0080;
inline constexpr uint16_t GVCP_READREG_ACK = 0x0081;
inline constexpr uint16_t GVCP_WRITEREG_CMD = 0x0082;
inline constexpr uint16_t GVCP_WRITEREG_ACK = 0x0083;
inline constexpr uint16_t GVCP_READMEM_CMD = 0x0084;
inline constexpr uint16_t GVCP_READMEM_ACK = 0x0085;
inline constexpr uint16_t GVCP_WRITEMEM_CMD = 0x0086;
inline constexpr uint16_t GVCP_WRITEMEM_ACK = 0x0087;
inline constexpr uint16_t GVCP_PENDING_ACK = 0x0089;
inline constexpr size_t GVCP_READMEM_MAX = 536;   // data bytes of one READMEM
inline constexpr size_t GVCP_WRITEMEM_MAX = 536;  // data bytes of one WRITEMEM
inline constexpr size_t GVCP_DISCOVERY_ACK_BYTES = 248;

inline constexpr uint16_t GVCP_STATUS_SUCCESS = 0x0000;
inline constexpr uint16_t GVCP_STATUS_NOT_IMPLEMENTED = 0x8001;
inline constexpr uint16_t GVCP_STATUS_INVALID_PARAMETER = 0x8002;
inline constexpr uint16_t GVCP_STATUS_INVALID_ADDRESS = 0x8003;
inline constexpr uint16_t GVCP_STATUS_WRITE_PROTECT = 0x8004;
inline constexpr uint16_t GVCP_STATUS_BAD_ALIGNMENT = 0x8005;
inline constexpr uint16_t GVCP_STATUS_ACCESS_DENIED = 0x8006;
inline constexpr uint16_t GVCP_STATUS_BUSY = 0x8007;

struct GvcpCommand {
    uint8_t flags = GVCP_FLAG_ACK_REQUIRED;
    uint16_t command = 0;
    uint16_t requestId = 0;
    std::vector<uint8_t> payload;
};
struct GvcpAck {
    uint16_t status = GVCP_STATUS_SUCCESS;
    uint16_t answer = 0;
    uint16_t ackId = 0;
    std::vector<uint8_t> payload;
};
std::vector<uint8_t> EncodeCommand(const GvcpCommand& command);
std::vector<uint8_t> EncodeAck(const GvcpAck& ack);
// The message in a datagram; nullopt when it is not one (wrong key, short, length past the end).
std::optional<GvcpCommand> ParseCommand(std::span<const uint8_t> datagram);
std::optional<GvcpAck> ParseAck(std::span<const uint8_t> datagram);
const char* GvcpStatusName(uint16_t status);

// A PACKETRESEND command's payload; nullopt for another command or a payload short of its form.
std::optional<PacketResend> ParsePacketResend(const GvcpCommand& command);

// ---- Bootstrap registers --------------------------------------------------------------------
inline constexpr uint32_t REG_VERSION = 0x0000;
inline constexpr uint32_t REG_DEVICE_MODE = 0x0004;
inline constexpr uint32_t REG_MAC_HIGH = 0x0008;
inline constexpr uint32_t REG_MAC_LOW = 0x000C;
inline constexpr uint32_t REG_IP_CONFIG_OPTIONS = 0x0010;
inline constexpr uint32_t REG_IP_CONFIG_CURRENT = 0x0014;
inline constexpr uint32_t REG_CURRENT_IP = 0x0024;
inline constexpr uint32_t REG_SUBNET = 0x0034;
inline constexpr uint32_t REG_GATEWAY = 0x0044;
inline constexpr uint32_t REG_MANUFACTURER = 0x0048;        // 32 bytes
inline constexpr uint32_t REG_MODEL = 0x0068;               // 32 bytes
inline constexpr uint32_t REG_DEVICE_VERSION = 0x0088;      // 32 bytes
inline constexpr uint32_t REG_MANUFACTURER_INFO = 0x00A8;   // 48 bytes
inline constexpr uint32_t REG_SERIAL = 0x00D8;              // 16 bytes
inline constexpr uint32_t REG_USER_NAME = 0x00E8;           // 16 bytes
inline constexpr uint32_t REG_FIRST_URL = 0x0200;           // 512 bytes
inline constexpr uint32_t REG_SECOND_URL = 0x0400;          // 512 bytes
inline constexpr uint32_t REG_URL_BYTES = 512;
inline constexpr uint32_t REG_NETWORK_INTERFACES = 0x0600;
inline constexpr uint32_t REG_PERSISTENT_IP = 0x064C;
inline constexpr uint32_t REG_PERSISTENT_SUBNET = 0x065C;
inline constexpr uint32_t REG_PERSISTENT_GATEWAY = 0x066C;
inline constexpr uint32_t REG_MESSAGE_CHANNELS = 0x0900;
inline constexpr uint32_t REG_STREAM_CHANNELS = 0x0904;
inline constexpr uint32_t REG_GVSP_CAPABILITY = 0x092C;
inline constexpr uint32_t REG_MESSAGE_CAPABILITY = 0x0930;
inline constexpr uint32_t REG_GVCP_CAPABILITY = 0x0934;
inline constexpr uint32_t REG_HEARTBEAT_TIMEOUT = 0x0938;
inline constexpr uint32_t REG_TIMESTAMP_FREQUENCY_HIGH = 0x093C;
inline constexpr uint32_t REG_TIMESTAMP_FREQUENCY_LOW = 0x0940;
inline constexpr uint32_t REG_TIMESTAMP_CONTROL = 0x0944;        // write-only: reset, latch
inline constexpr uint32_t REG_TIMESTAMP_VALUE_HIGH = 0x0948;     // the latched value
inline constexpr uint32_t REG_TIMESTAMP_VALUE_LOW = 0x094C;
inline constexpr uint32_t REG_GVCP_CONFIGURATION = 0x0954;
inline constexpr uint32_t REG_PENDING_TIMEOUT = 0x0958;
inline constexpr uint32_t REG_CCP = 0x0A00;
inline constexpr uint32_t REG_PRIMARY_APPLICATION_PORT = 0x0A04;
inline constexpr uint32_t REG_PRIMARY_APPLICATION_IP = 0x0A14;
inline constexpr uint32_t REG_MCP = 0x0B00;
inline constexpr uint32_t REG_SCP0 = 0x0D00;
inline constexpr uint32_t REG_SCPS0 = 0x0D04;
inline constexpr uint32_t REG_SCPD0 = 0x0D08;
inline constexpr uint32_t REG_SCDA0 = 0x0D18;
inline constexpr uint32_t REG_SCSP0 = 0x0D1C;
inline constexpr uint32_t REG_SCC0 = 0x0D20;     // the stream channel's optional features
inline constexpr uint32_t REG_SCCFG0 = 0x0D24;   // which of them are on

// The GVCP capability register's bits, numbered from its most significant bit (bit 0) down.
inline constexpr uint32_t GVCP_CAPABILITY_USER_NAME = 0x80000000;          // bit 0
inline constexpr uint32_t GVCP_CAPABILITY_SERIAL_NUMBER = 0x40000000;      // bit 1
inline constexpr uint32_t GVCP_CAPABILITY_HEARTBEAT_DISABLE = 0x20000000;  // bit 2
inline constexpr uint32_t GVCP_CAPABILITY_PRIMARY_APPLICATION = 0x08000000;  // bit 4: CCP's port and IP registers
inline constexpr uint32_t GVCP_CAPABILITY_PENDING_ACK = 0x00000020;        // bit 26
inline constexpr uint32_t GVCP_CAPABILITY_EVENT_DATA = 0x00000010;         // bit 27
inline constexpr uint32_t GVCP_CAPABILITY_EVENT = 0x00000008;              // bit 28
inline constexpr uint32_t GVCP_CAPABILITY_PACKETRESEND = 0x00000004;       // bit 29
inline constexpr uint32_t GVCP_CAPABILITY_WRITEMEM = 0x00000002;           // bit 30
inline constexpr uint32_t GVCP_CAPABILITY_CONCATENATION = 0x00000001;      // bit 31

// The GVSP capability register's bits, numbered as the GVCP capability's.
inline constexpr uint32_t GVSP_CAPABILITY_SCSP = 0x80000000;              // bit 0: SCSPx registers
inline constexpr uint32_t GVSP_CAPABILITY_16_BIT_BLOCK_ID = 0x40000000;   // bit 1

inline constexpr uint32_t TIMESTAMP_RESET = 0x1;
inline constexpr uint32_t TIMESTAMP_LATCH = 0x2;
inline constexpr uint32_t CCP_EXCLUSIVE = 0x1;
inline constexpr uint32_t CCP_CONTROL = 0x2;
inline constexpr uint32_t SCPS_FIRE_TEST_PACKET = 0x80000000;
inline constexpr uint32_t SCPS_DO_NOT_FRAGMENT = 0x40000000;
inline constexpr uint32_t SCPS_SIZE_MASK = 0xFFFF;
// The stream packet size in SCPS0 counts the IPv4 and UDP headers (IP_UDP_HEADERS_SIZE) before
// the GVSP bytes.
inline constexpr uint32_t DEFAULT_HEARTBEAT_MS = 3000;

}  // namespace gvspfilter
