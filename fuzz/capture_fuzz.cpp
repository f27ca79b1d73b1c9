// Fuzz target of the capture reader: every input is a pcap or pcapng file read front to back as
// replay reads it. A damaged file is a one-line UsageError; every frame it yields has a time of
// no less than 0 ns (so that no difference of two overflows) and no more bytes than the file.
#include <fstream>

#include "fuzz/fail.h"
#include "tools/capture.h"
#include "tools/command_line.h"

using namespace fuzzing;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::string path = ScratchPath(".pcap");
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(reinterpret_cast<const char*>(data), long(size));
    try {
        gvspfilter::CaptureReader reader(path);
        gvspfilter::CapturedFrame frame;
        // A record is at least 16 bytes of the file: no more frames than that can come.
        for (size_t frames = 0; reader.Next(&frame); ++frames) {
            if (frames > size / 16 || frame.timeNs < 0) {
                Fail("frame %zu of a %zu-byte capture at %lld ns", frames, size, static_cast<long long>(frame.timeNs));
            }
            if (frame.bytes.size() > size) {
                Fail("a %zu-byte frame from a %zu-byte capture", frame.bytes.size(), size);
            }
        }
    } catch (const gvspfilter::UsageError& error) {
        if (std::string(error.what()).find('\n') != std::string::npos) {
            Fail("a capture error of more than one line: %s", error.what());
        }
    }
    return 0;
}
