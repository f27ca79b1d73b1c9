// The pixel formats the camera emulator draws its test pattern in, as an image leader names them,
// and their sizes; the camera emulator and the gvspfilter command share them. Everything else of
// the wire is the codec's (base/wire_format.h). Plain C++, for the host and for Windows user
// mode alike.
#pragma once

#include <cstdint>

namespace camera {

inline constexpr uint32_t PIXEL_FORMAT_MONO8 = 0x01080001;
inline constexpr uint32_t PIXEL_FORMAT_MONO16 = 0x01100007;   // little-endian 16-bit samples
inline constexpr uint32_t PIXEL_FORMAT_RGB8 = 0x02180014;     // R, G, B bytes per pixel

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
