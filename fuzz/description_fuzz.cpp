// Fuzz target of the description reader: every input is a camera's description file as the
// controller downloads it, zipped or plain. It is unzipped, parsed into a tree, indexed, and
// every feature under Root is looked at and read through a camera whose registers hold the
// input's bytes. A description it cannot follow is a RunError, a feature it lacks a UsageError.
#include <algorithm>

#include "fuzz/fail.h"
#include "tools/command_line.h"
#include "tools/genicam.h"

using namespace fuzzing;
using namespace gvspfilter;

namespace {

// Registers read as the input's bytes over and over; writes are taken and forgotten.
class InputRegisters : public RegisterPort {
public:
    explicit InputRegisters(std::span<const uint8_t> bytes) : bytes_(bytes) {}
    std::vector<uint8_t> Read(uint32_t address, uint32_t length) override
    {
        std::vector<uint8_t> read(length);
        for (size_t i = 0; i < read.size() && !bytes_.empty(); ++i) {
            read[i] = bytes_[(address + i) % bytes_.size()];
        }
        return read;
    }
    void Write(uint32_t, std::span<const uint8_t>) override {}

private:
    std::span<const uint8_t> bytes_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::span<const uint8_t> file(data, size);
    InputRegisters registers(file);
    try {
        const bool zipped = size >= 4 && data[0] == 'P' && data[1] == 'K' && data[2] == 3 && data[3] == 4;
        const GenICam camera(zipped ? UnzipXml(file) : std::string(file.begin(), file.end()), registers);
        for (const auto& [depth, name] : camera.Tree()) {
            try {
                camera.Kind(name);
                camera.Access(name);
                camera.Range(name);
                camera.Get(name);
            } catch (const UsageError&) {
            } catch (const RunError&) {
            }
        }
    } catch (const RunError&) {
    }
    return 0;
}
