// The two worked examples of a PACKETRESEND command: camera 02-00-00-00-00-01 at 192.0.2.10,
// host 02-00-00-00-00-02 at 192.0.2.2, request source port 50000, stream channel 0, block
// 0x12345, packets 7 to 9 in the standard form and 7 to the end in the extended-id form; 80
// bytes each, zero-padded as a short Ethernet frame is.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace gvsptest {

inline std::vector<uint8_t> FromHex(const char* text)
{
    std::vector<uint8_t> out;
    for (char* end = nullptr; *text != '\0'; text = end) {
        out.push_back(static_cast<uint8_t>(std::strtoul(text, &end, 16)));
    }
    out.resize(80, 0);
    return out;
}

inline const std::vector<uint8_t> STANDARD_EXAMPLE = FromHex(
    "02 00 00 00 00 01 02 00 00 00 00 02 08 00 45 00 00 30 00 00 00 00 80 11 B6 B0 C0 00 02 02 C0 00 "
    "02 0A C3 50 0F 74 00 1C 43 42 42 00 00 40 00 0C 00 01 00 00 23 45 00 00 00 07 00 00 00 09");
inline const std::vector<uint8_t> EXTENDED_EXAMPLE = FromHex(
    "02 00 00 00 00 01 02 00 00 00 00 02 08 00 45 00 00 38 00 00 00 00 80 11 B6 A8 C0 00 02 02 C0 00 "
    "02 0A C3 50 0F 74 00 24 43 22 42 10 00 40 00 14 00 01 00 00 00 00 00 00 00 07 FF FF FF FF 00 00 "
    "00 00 00 01 23 45");

}  // namespace gvsptest
