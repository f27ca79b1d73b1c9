// Frame images through libpng (PNG, host only), as PGM/PPM or as raw payload bytes.
#include "tools/image.h"

#if !defined(_WIN32)
#include <png.h>
#endif

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include "base/wire_format.h"
#include "camera/wire.h"
#include "tools/command_line.h"

namespace gvspfilter {

namespace {

using File = std::unique_ptr<FILE, int (*)(FILE*)>;

File Open(const std::string& path) { return File(std::fopen(path.c_str(), "wb"), &std::fclose); }

#if !defined(_WIN32)
std::string WritePng(FILE* file, const ImageGeometry& g, uint32_t bytesPerPixel, std::span<const uint8_t> payload)
{
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    if (info == nullptr) {
        png_destroy_write_struct(&png, nullptr);
        return "libpng could not start";
    }
    // libpng reports its errors by longjmp; the rows vector is built before, so nothing leaks.
    std::vector<png_bytep> rows(g.height);
    for (uint32_t y = 0; y < g.height; ++y) {
        rows[y] = const_cast<png_bytep>(payload.data() + size_t(y) * g.width * bytesPerPixel);
    }
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return "libpng failed to write the image";
    }
    png_init_io(png, file);
    const int depth = bytesPerPixel == 2 ? 16 : 8;
    const int colour = bytesPerPixel == 3 ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY;
    png_set_IHDR(png, info, g.width, g.height, depth, colour, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
        PNG_FILTER_TYPE_DEFAULT);
    png_set_compression_level(png, 1);   // frames arrive at camera rate: speed over size
    png_write_info(png, info);
    if (depth == 16) {
        png_set_swap(png);   // the camera's samples are little-endian, PNG's big-endian
    }
    png_write_image(png, rows.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return "";
}
#endif

}  // namespace

uint32_t ParsePixelFormat(const std::string& name)
{
    if (name == "mono8") {
        return camera::PIXEL_FORMAT_MONO8;
    }
    if (name == "mono16") {
        return camera::PIXEL_FORMAT_MONO16;
    }
    if (name == "rgb8") {
        return camera::PIXEL_FORMAT_RGB8;
    }
    throw UsageError("unknown pixel format '" + name + "' (mono8, mono16 or rgb8)");
}

ImageFormat ParseImageFormat(const std::string& name)
{
#if defined(_WIN32)
    if (name == "png") {
        throw UsageError("png is not written on Windows (pgm or raw)");
    }
#else
    if (name == "png") {
        return ImageFormat::Png;
    }
#endif
    if (name == "pgm") {
        return ImageFormat::Pgm;
    }
    if (name == "raw") {
        return ImageFormat::Raw;
    }
    throw UsageError("unknown image format '" + name + "' (png, pgm or raw)");
}

const char* ImageFormatName(ImageFormat format)
{
    switch (format) {
    case ImageFormat::Png:
        return "png";
    case ImageFormat::Pgm:
        return "pgm";
    case ImageFormat::Raw:
        return "raw";
    }
    return "?";
}

bool ReadLeaderGeometry(std::span<const uint8_t> leader, ImageGeometry* geometry)
{
    // The GVSP header, standard or with extended ids; the image leader's fields follow.
    GvspHeader header;
    const size_t h = leader.size() < GVSP_STANDARD_HEADER_SIZE
                         ? 0
                         : DecodeGvspHeader(leader.data(), static_cast<uint32_t>(leader.size()), &header);
    if (h == 0 || leader.size() < h + GVSP_LEADER_SIZE_Y + 4 ||
        ReadBigEndian16(&leader[h + GVSP_LEADER_PAYLOAD_TYPE]) != GVSP_PAYLOAD_TYPE_IMAGE) {
        return false;
    }
    geometry->pixelFormat = ReadBigEndian32(&leader[h + GVSP_LEADER_PIXEL_FORMAT]);
    geometry->width = ReadBigEndian32(&leader[h + GVSP_LEADER_SIZE_X]);
    geometry->height = ReadBigEndian32(&leader[h + GVSP_LEADER_SIZE_Y]);
    return true;
}

std::string WriteImage(const std::string& pathWithoutExtension, ImageFormat format, const ImageGeometry& geometry,
    std::span<const uint8_t> payload)
{
    const uint32_t bpp = camera::BytesPerPixel(geometry.pixelFormat);
    // Width x height fits in 64 bits; the bytes are compared by pixels so that nothing wraps.
    const uint64_t pixels = uint64_t(geometry.width) * geometry.height;
    if (bpp != 0 && format != ImageFormat::Raw &&
        (pixels == 0 || pixels > std::min<uint64_t>(payload.size(), MAX_IMAGE_BYTES) / bpp)) {
        return pathWithoutExtension + ": a " + std::to_string(geometry.width) + " x " + std::to_string(geometry.height) +
               " image of " + std::to_string(bpp) + " bytes per pixel is not in the frame's " +
               std::to_string(payload.size()) + " bytes (or the " + std::to_string(MAX_IMAGE_BYTES) +
               " an image may have); not written";
    }
    const uint64_t pictureBytes = pixels * bpp;
    if (bpp == 0 || format == ImageFormat::Raw) {
        const std::string path = pathWithoutExtension + ".raw";
        File file = Open(path);
        if (!file || std::fwrite(payload.data(), 1, payload.size(), file.get()) != payload.size()) {
            return "cannot write " + path;
        }
        return "";
    }
#if !defined(_WIN32)
    if (format == ImageFormat::Png) {
        const std::string path = pathWithoutExtension + ".png";
        File file = Open(path);
        if (!file) {
            return "cannot write " + path;
        }
        std::string problem = WritePng(file.get(), geometry, bpp, payload);
        return problem.empty() ? problem : path + ": " + problem;
    }
#endif
    // Netpbm: P5 grey (16-bit samples big-endian) or P6 colour.
    const std::string path = pathWithoutExtension + (bpp == 3 ? ".ppm" : ".pgm");
    File file = Open(path);
    if (!file) {
        return "cannot write " + path;
    }
    std::fprintf(file.get(), "%s\n%u %u\n%u\n", bpp == 3 ? "P6" : "P5", geometry.width, geometry.height,
        bpp == 2 ? 65535u : 255u);
    std::vector<uint8_t> bytes(payload.begin(), payload.begin() + static_cast<ptrdiff_t>(pictureBytes));
    if (bpp == 2) {
        for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
            std::swap(bytes[i], bytes[i + 1]);
        }
    }
    if (std::fwrite(bytes.data(), 1, bytes.size(), file.get()) != bytes.size()) {
        return "cannot write " + path;
    }
    return "";
}

}  // namespace gvspfilter
