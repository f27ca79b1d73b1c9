// Frame images: a complete frame written as PNG (8-bit grey for Mono8, 16-bit grey for Mono16,
// RGB for RGB8), PGM/PPM or raw payload bytes. Host only.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace gvspfilter {

enum class ImageFormat { Png, Pgm, Raw };
// "png", "pgm", "raw"; UsageError otherwise.
ImageFormat ParseImageFormat(const std::string& name);
const char* ImageFormatName(ImageFormat format);

// The pixel format code of "mono8", "mono16" or "rgb8"; UsageError otherwise.
uint32_t ParsePixelFormat(const std::string& name);

// A frame's picture as its leader describes it.
struct ImageGeometry {
    uint32_t pixelFormat = 0;
    uint32_t width = 0;
    uint32_t height = 0;
};
// The geometry in a GVSP image leader (the packet as the driver keeps it, GVSP header first);
// false when the leader is not an image leader.
bool ReadLeaderGeometry(std::span<const uint8_t> leader, ImageGeometry* geometry);

// Writes `payload` as `path` + the format's extension. Pixel formats other than Mono8, Mono16
// and RGB8 are written raw. Returns "" or what went wrong.
std::string WriteImage(const std::string& pathWithoutExtension, ImageFormat format, const ImageGeometry& geometry,
    std::span<const uint8_t> payload);

}  // namespace gvspfilter
