// GenICam device descriptions as the gvspfilter command handles them: the XML the camera device
// serves (plain or zipped; host only, tools/device_description.cpp), its first-URL text, and the
// controller's side that unzips a camera's XML and resolves the features it needs to registers
// (on the host and on Windows).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
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
inline constexpr uint32_t SENSOR_WIDTH = 16384;
inline constexpr uint32_t SENSOR_HEIGHT = 16384;
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

// A feature's value as the register map holds it: an inline constant, or `length` bytes at
// `address`, of which the bits from `shift` under `mask` are the value.
struct FeatureRegister {
    std::optional<int64_t> constant;
    uint32_t address = 0;
    uint32_t length = 4;
    bool bigEndian = true;
    uint32_t shift = 0;
    uint64_t mask = UINT64_MAX;
    bool masked = false;
    // The feature's value from the register's bytes as read, and the bytes to write for `value`
    // over the `current` ones (the other bits of a masked register stay as they were).
    int64_t Extract(std::span<const uint8_t> bytes) const;
    std::vector<uint8_t> Insert(std::span<const uint8_t> current, int64_t value) const;
};

struct CommandFeature {
    FeatureRegister reg;
    int64_t value = 1;   // what executing the command writes
};

// The features the live command needs.
struct CameraFeatures {
    FeatureRegister width, height, pixelFormat;
    CommandFeature acquisitionStart, acquisitionStop;
    std::map<int64_t, std::string> pixelFormatNames;   // the enumeration's entries by value
};
// Resolves Width, Height, PixelFormat, AcquisitionStart and AcquisitionStop through their pValue
// chains (Integer, IntReg, MaskedIntReg, inline Value). RunError naming what is missing or not
// understood.
CameraFeatures ResolveFeatures(const std::string& xml);

}  // namespace gvspfilter
