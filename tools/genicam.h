// GenICam device descriptions as the gvspfilter command handles them: the XML the camera device
// serves (plain or zipped; host only, tools/device_description.cpp), its first-URL text, and the
// controller's side that unzips a camera's XML and reads and sets its features through their
// registers (on the host and on Windows).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace gvspfilter {

// ---- The camera device's own registers and description ----------------------------------------
inline constexpr uint32_t REG_WIDTH = 0x00020000;
inline constexpr uint32_t REG_HEIGHT = 0x00020004;
inline constexpr uint32_t REG_PIXEL_FORMAT = 0x00020008;
inline constexpr uint32_t REG_PAYLOAD_SIZE = 0x0002000C;
// Write-only: bit 0 (the register's least significant) starts acquisition, bit 1 stops it, bit 2
// is the software trigger.
inline constexpr uint32_t REG_ACQUISITION_CONTROL = 0x00020010;
inline constexpr uint32_t ACQUISITION_START_BIT = 0x1;
inline constexpr uint32_t ACQUISITION_STOP_BIT = 0x2;
inline constexpr uint32_t TRIGGER_SOFTWARE_BIT = 0x4;
inline constexpr uint32_t REG_OFFSET_X = 0x00020014;
inline constexpr uint32_t REG_OFFSET_Y = 0x00020018;
inline constexpr uint32_t REG_ACQUISITION_MODE = 0x0002001C;   // 0: Continuous, the only mode
inline constexpr uint32_t REG_TRIGGER_MODE = 0x00020020;       // 0: Off, 1: On
// IEEE 754 single precision, big-endian: frames/s, microseconds, dB.
inline constexpr uint32_t REG_ACQUISITION_FRAME_RATE = 0x00020024;
inline constexpr uint32_t REG_EXPOSURE_TIME = 0x00020028;
inline constexpr uint32_t REG_GAIN = 0x0002002C;
// The sensor the image is cut from: Width + OffsetX and Height + OffsetY stay within it.
inline constexpr uint32_t SENSOR_WIDTH = 4096;
inline constexpr uint32_t SENSOR_HEIGHT = 4096;
// Where the description file lies in the device's memory.
inline constexpr uint32_t XML_FILE_ADDRESS = 0x00100000;

#if !defined(_WIN32)
// The device's GenICam description: the device's names, the image format (Width, Height,
// OffsetX/Y, PixelFormat Mono8, Mono16, RGB8), acquisition, trigger, exposure and gain, and the
// transport layer's Gev* features over the bootstrap registers.
std::string DeviceXml();
// A zip archive holding one file `name` with `bytes`; RunError when libzip fails.
std::vector<uint8_t> ZipFile(const std::string& name, std::span<const uint8_t> bytes);
#endif

// A first-URL text "Local:name;address;length" (address and length in hex).
struct LocalUrl {
    std::string fileName;
    uint32_t address = 0;
    uint32_t length = 0;
    bool zipped() const;   // the file name ends in .zip
};
std::string LocalUrlText(const LocalUrl& url);
// nullopt for any other kind of URL or a malformed one.
std::optional<LocalUrl> ParseLocalUrl(const std::string& text);

// ---- The controller's side ---------------------------------------------------------------------
// The text of the first .xml file (stored or deflated) of a zip archive; RunError when it is no
// archive or holds none.
std::string UnzipXml(std::span<const uint8_t> archive);

// Where a description's registers live: a camera over GVCP, or a map of bytes in a test.
class RegisterPort {
public:
    virtual ~RegisterPort() = default;
    virtual std::vector<uint8_t> Read(uint32_t address, uint32_t length) = 0;
    virtual void Write(uint32_t address, std::span<const uint8_t> bytes) = 0;
};

struct XmlElement;

// A camera's features as its description defines them, read and set through a register port.
// Values travel as text: integers and floats as numbers, enumerations by entry name, booleans as
// true/false, strings as they are. A feature the description lacks, a value it cannot take (out
// of range, no such entry, not a number) and a write to a read-only feature are UsageErrors
// naming the feature; a description it cannot follow is a RunError.
class GenICam {
public:
    GenICam(std::string xml, RegisterPort& port);
    ~GenICam();
    GenICam(const GenICam&) = delete;
    GenICam& operator=(const GenICam&) = delete;

    bool Has(const std::string& name) const;
    // The node's element name: Integer, Float, Enumeration, Boolean, Command, String, IntReg...
    std::string Kind(const std::string& name) const;
    // "RO", "WO", "RW", or "NA" when neither readable nor writable through its chain.
    std::string Access(const std::string& name) const;
    // "(16 to 2048, step 4)" for numbers, "(Mono8, Mono16)" for enumerations, "" otherwise.
    std::string Range(const std::string& name) const;
    std::string Get(const std::string& name) const;
    int64_t GetInteger(const std::string& name) const;
    void Set(const std::string& name, const std::string& value) const;
    void Execute(const std::string& name) const;
    // The categories under Root and their features, depth first: (depth, name), depth 0 for Root's
    // own entries. Features of no category are not listed.
    std::vector<std::pair<int, std::string>> Tree() const;

private:
    class Resolver;
    std::unique_ptr<XmlElement> root_;
    std::unique_ptr<Resolver> resolver_;
};

}  // namespace gvspfilter
