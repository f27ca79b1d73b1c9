// Frame images: a complete frame written as PNG (8-bit grey for Mono8, 16-bit grey for Mono16,
// RGB for RGB8; host only, through libpng), PGM/PPM or raw payload bytes (on the host and on
// Windows).
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace gvspfilter {

enum class ImageFormat { Png, Pgm, Raw };
#if defined(_WIN32)
// No libpng for Windows here: PGM/PPM by default.
inline constexpr ImageFormat DEFAULT_IMAGE_FORMAT = ImageFormat::Pgm;
inline constexpr const char* IMAGE_FORMATS_HELP = "Image format for --save: pgm (default; PPM for RGB8) or raw";
#else
inline constexpr ImageFormat DEFAULT_IMAGE_FORMAT = ImageFormat::Png;
inline constexpr const char* IMAGE_FORMATS_HELP = "Image format for --save: png (default), pgm or raw";
#endif
// "png" (host only), "pgm", "raw"; UsageError otherwise.
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

// The largest picture written as an image.
inline constexpr uint64_t MAX_IMAGE_BYTES = 1ull << 30;

// Writes `payload` as `path` + the format's extension. Pixel formats other than Mono8, Mono16
// and RGB8 are written raw. Returns "" or what went wrong: a geometry whose picture the payload
// does not hold, or larger than MAX_IMAGE_BYTES, writes nothing.
std::string WriteImage(const std::string& pathWithoutExtension, ImageFormat format, const ImageGeometry& geometry,
    std::span<const uint8_t> payload);

}  // namespace gvspfilter
