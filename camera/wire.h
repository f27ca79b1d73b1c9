// The wire as GigE Vision devices and their hosts see it: the constants of GVSP and GVCP the
// camera emulator and the gvspfilter command share, and big-endian byte helpers. Plain C++, for
// the host and for Windows user mode alike.
#pragma once

#include <cstddef>
#include <cstdint>

namespace camera {

// ---- Wire constants ---------------------------------------------------------------------------
inline constexpr size_t ETHERNET_IP_UDP_BYTES = 42;     // 14 + 20 + 8: where GVSP starts
inline constexpr size_t ETHERNET_MIN_FRAME = 60;        // without the frame check sequence
inline constexpr uint16_t GVCP_PORT = 3956;
inline constexpr size_t GVSP_STANDARD_HEADER = 8;
inline constexpr size_t GVSP_EXTENDED_HEADER = 20;

inline constexpr uint8_t GVSP_FORMAT_LEADER = 1;
inline constexpr uint8_t GVSP_FORMAT_TRAILER = 2;
inline constexpr uint8_t GVSP_FORMAT_PAYLOAD = 3;
inline constexpr uint8_t GVSP_FORMAT_ALL_IN = 4;   // a format the driver does not take

inline constexpr uint16_t GVSP_STATUS_SUCCESS = 0x0000;
inline constexpr uint16_t GVSP_STATUS_RESEND = 0x0100;
inline constexpr uint16_t GVSP_STATUS_ERROR = 0x8001;   // bit 15: an error status

inline constexpr uint8_t GVCP_KEY = 0x42;
inline constexpr uint8_t GVCP_FLAG_EXTENDED_ID = 0x10;
inline constexpr uint16_t GVCP_PACKETRESEND_CMD = 0x0040;
inline constexpr uint32_t RESEND_TO_END_STANDARD = 0x00FFFFFF;
inline constexpr uint32_t RESEND_TO_END_EXTENDED = 0xFFFFFFFF;

inline constexpr uint16_t PAYLOAD_TYPE_IMAGE = 1;
inline constexpr uint32_t PIXEL_FORMAT_MONO8 = 0x01080001;
inline constexpr uint32_t PIXEL_FORMAT_MONO16 = 0x01100007;   // little-endian 16-bit samples
inline constexpr uint32_t PIXEL_FORMAT_RGB8 = 0x02180014;     // R, G, B bytes per pixel

// ---- Big-endian byte helpers ------------------------------------------------------------------
inline void PutBe16(uint8_t* p, uint16_t v)
{
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
inline void PutBe32(uint8_t* p, uint32_t v)
{
    PutBe16(p, static_cast<uint16_t>(v >> 16));
    PutBe16(p + 2, static_cast<uint16_t>(v));
}
inline void PutBe64(uint8_t* p, uint64_t v)
{
    PutBe32(p, static_cast<uint32_t>(v >> 32));
    PutBe32(p + 4, static_cast<uint32_t>(v));
}
inline uint16_t GetBe16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
inline uint32_t GetBe32(const uint8_t* p) { return (uint32_t(GetBe16(p)) << 16) | GetBe16(p + 2); }
inline uint64_t GetBe64(const uint8_t* p) { return (uint64_t(GetBe32(p)) << 32) | GetBe32(p + 4); }

// Bytes per pixel of the pixel formats the test pattern draws (Mono8, Mono16, RGB8); 0 otherwise.
inline uint32_t BytesPerPixel(uint32_t pixelFormat)
{
    switch (pixelFormat) {
    case PIXEL_FORMAT_MONO8:
        return 1;
    case PIXEL_FORMAT_MONO16:
        return 2;
    case PIXEL_FORMAT_RGB8:
        return 3;
    default:
        return 0;
    }
}

}  // namespace camera
