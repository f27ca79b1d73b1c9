// Fuzz target of the image writer's size checks: every input is a frame as --save receives it,
// its GVSP image leader first (any geometry), then the frame's payload, written in each image
// format. An image is written only when the payload holds its picture; what is written is the
// picture and nothing beyond.
#include <sys/stat.h>

#include "base/wire_format.h"
#include "camera/wire.h"
#include "fuzz/fail.h"
#include "tools/image.h"

using namespace fuzzing;
using namespace gvspfilter;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::string path = ScratchPath("_image");
    // The leader as the driver keeps it: a GVSP header of either kind and the image leader's 24 bytes.
    ImageGeometry geometry;
    const size_t leaderBytes =
        GvspHeaderSize(size > GVSP_HEADER_FORMAT && (data[GVSP_HEADER_FORMAT] & GVSP_EXTENDED_ID_FLAG) != 0) + 24;
    if (size < leaderBytes + 1 || !ReadLeaderGeometry(std::span(data, leaderBytes), &geometry)) {
        return 0;
    }
    const ImageFormat format = data[leaderBytes] % 3 == 0 ? ImageFormat::Png
                               : data[leaderBytes] % 3 == 1 ? ImageFormat::Pgm : ImageFormat::Raw;
    const std::span<const uint8_t> payload(data + leaderBytes + 1, size - leaderBytes - 1);
    const std::string problem = WriteImage(path, format, geometry, payload);
    const uint64_t bpp = camera::BytesPerPixel(geometry.pixelFormat);
    const uint64_t pixels = uint64_t(geometry.width) * geometry.height;
    const bool fits = bpp == 0 || format == ImageFormat::Raw || (pixels != 0 && pixels <= payload.size() / bpp);
    if (problem.empty() != fits) {
        Fail("a %u x %u image of %u bytes per pixel in %zu bytes: '%s'", geometry.width, geometry.height,
            unsigned(bpp), payload.size(), problem.c_str());
    }
    // A netpbm file is its header and the picture's bytes.
    struct stat written{};
    if (fits && bpp != 0 && format == ImageFormat::Pgm &&
        (stat((path + (bpp == 3 ? ".ppm" : ".pgm")).c_str(), &written) != 0 || uint64_t(written.st_size) <= pixels * bpp ||
            uint64_t(written.st_size) > pixels * bpp + 32)) {
        Fail("a %u x %u netpbm image of %u bytes per pixel written as %lld bytes", geometry.width, geometry.height,
            unsigned(bpp), static_cast<long long>(written.st_size));
    }
    return 0;
}
