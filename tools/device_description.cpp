// The camera device's own GenICam description, and the zip archive it serves it in (libzip).
// Host only.
#include <zip.h>

#include <cstdio>

#include "tools/command_line.h"
#include "tools/genicam.h"

namespace gvspfilter {

namespace {

std::string Hex(uint64_t value)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%08llX", static_cast<unsigned long long>(value));
    return text;
}

}  // namespace

// ---- The device's description ------------------------------------------------------------------
std::string DeviceXml()
{
    const auto intReg = [](const char* name, uint32_t address, const char* access) {
        return std::string("  <IntReg Name=\"") + name + "\">\n    <Address>" + Hex(address) +
               "</Address>\n    <Length>4</Length>\n    <AccessMode>" + access +
               "</AccessMode>\n    <pPort>Device</pPort>\n    <Sign>Unsigned</Sign>\n"
               "    <Endianess>BigEndian</Endianess>\n  </IntReg>\n";
    };
    // The commands are single bits of one write-only register; bits count from the register's most
    // significant bit in a big-endian register, so bit 31 is its least significant.
    const auto commandBit = [](const char* name, uint32_t bit) {
        return std::string("  <MaskedIntReg Name=\"") + name + "\">\n    <Address>" + Hex(REG_ACQUISITION_CONTROL) +
               "</Address>\n    <Length>4</Length>\n    <AccessMode>WO</AccessMode>\n    <pPort>Device</pPort>\n"
               "    <Bit>" + std::to_string(bit) + "</Bit>\n    <Sign>Unsigned</Sign>\n"
               "    <Endianess>BigEndian</Endianess>\n  </MaskedIntReg>\n";
    };
    std::string xml =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
        "<RegisterDescription ModelName=\"CameraEmulator\" VendorName=\"GvspFilter\" StandardNameSpace=\"GEV\"\n"
        "    SchemaMajorVersion=\"1\" SchemaMinorVersion=\"1\" SchemaSubMinorVersion=\"0\"\n"
        "    MajorVersion=\"1\" MinorVersion=\"0\" SubMinorVersion=\"0\" ToolTip=\"GvspFilter camera emulator\"\n"
        "    ProductGuid=\"6A1F3C1E-2D53-4C1B-9B0E-3F6C2E7A9D10\" VersionGuid=\"0B7E5D2A-8C41-4E6F-A3B9-1D2C4E6F8A01\"\n"
        "    xmlns=\"http://www.genicam.org/GenApi/Version_1_1\">\n"
        "  <Category Name=\"Root\" NameSpace=\"Standard\">\n"
        "    <pFeature>ImageFormatControl</pFeature>\n    <pFeature>AcquisitionControl</pFeature>\n"
        "  </Category>\n"
        "  <Category Name=\"ImageFormatControl\" NameSpace=\"Standard\">\n"
        "    <pFeature>Width</pFeature>\n    <pFeature>Height</pFeature>\n    <pFeature>PixelFormat</pFeature>\n"
        "  </Category>\n"
        "  <Category Name=\"AcquisitionControl\" NameSpace=\"Standard\">\n"
        "    <pFeature>AcquisitionStart</pFeature>\n    <pFeature>AcquisitionStop</pFeature>\n"
        "    <pFeature>PayloadSize</pFeature>\n"
        "  </Category>\n"
        "  <Integer Name=\"Width\" NameSpace=\"Standard\">\n    <pValue>WidthReg</pValue>\n"
        "    <Min>1</Min>\n    <Max>16384</Max>\n  </Integer>\n"
        "  <Integer Name=\"Height\" NameSpace=\"Standard\">\n    <pValue>HeightReg</pValue>\n"
        "    <Min>1</Min>\n    <Max>16384</Max>\n  </Integer>\n"
        "  <Enumeration Name=\"PixelFormat\" NameSpace=\"Standard\">\n"
        "    <EnumEntry Name=\"Mono8\">\n      <Value>17301505</Value>\n    </EnumEntry>\n"
        "    <EnumEntry Name=\"Mono16\">\n      <Value>17825799</Value>\n    </EnumEntry>\n"
        "    <EnumEntry Name=\"RGB8\">\n      <Value>35127316</Value>\n    </EnumEntry>\n"
        "    <pValue>PixelFormatReg</pValue>\n  </Enumeration>\n"
        "  <Integer Name=\"PayloadSize\" NameSpace=\"Standard\">\n    <pValue>PayloadSizeReg</pValue>\n"
        "  </Integer>\n"
        "  <Command Name=\"AcquisitionStart\" NameSpace=\"Standard\">\n    <pValue>AcquisitionStartReg</pValue>\n"
        "    <CommandValue>1</CommandValue>\n  </Command>\n"
        "  <Command Name=\"AcquisitionStop\" NameSpace=\"Standard\">\n    <pValue>AcquisitionStopReg</pValue>\n"
        "    <CommandValue>1</CommandValue>\n  </Command>\n";
    xml += intReg("WidthReg", REG_WIDTH, "RW");
    xml += intReg("HeightReg", REG_HEIGHT, "RW");
    xml += intReg("PixelFormatReg", REG_PIXEL_FORMAT, "RW");
    xml += intReg("PayloadSizeReg", REG_PAYLOAD_SIZE, "RO");
    xml += commandBit("AcquisitionStartReg", 31);
    xml += commandBit("AcquisitionStopReg", 30);
    xml += "  <Port Name=\"Device\" NameSpace=\"Standard\"/>\n</RegisterDescription>\n";
    return xml;
}

std::vector<uint8_t> ZipFile(const std::string& name, std::span<const uint8_t> bytes)
{
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* archive = zip_source_buffer_create(nullptr, 0, 0, &error);
    if (archive == nullptr) {
        throw RunError(std::string("cannot create a zip archive: ") + zip_error_strerror(&error));
    }
    zip_t* writer = zip_open_from_source(archive, ZIP_TRUNCATE, &error);
    if (writer == nullptr) {
        zip_source_free(archive);
        throw RunError("cannot write the zip archive of " + name);
    }
    // The archive's source outlives the zip_t that writes into it, so that its bytes can be read.
    zip_source_keep(archive);
    zip_source_t* file = zip_source_buffer(writer, bytes.data(), bytes.size(), 0);
    const bool added = file != nullptr && zip_file_add(writer, name.c_str(), file, ZIP_FL_ENC_UTF_8) >= 0;
    if (!added && file != nullptr) {
        zip_source_free(file);
    }
    if (!added || zip_close(writer) != 0) {
        zip_discard(writer);
        zip_source_free(archive);
        throw RunError("cannot write the zip archive of " + name);
    }
    std::vector<uint8_t> out;
    if (zip_source_open(archive) == 0) {
        zip_source_seek(archive, 0, SEEK_END);
        const zip_int64_t size = zip_source_tell(archive);
        zip_source_seek(archive, 0, SEEK_SET);
        out.resize(size > 0 ? static_cast<size_t>(size) : 0);
        const zip_int64_t got = zip_source_read(archive, out.data(), out.size());
        out.resize(got > 0 ? static_cast<size_t>(got) : 0);
        zip_source_close(archive);
    }
    zip_source_free(archive);
    if (out.empty()) {
        throw RunError("cannot read back the zip archive of " + name);
    }
    return out;
}

}  // namespace gvspfilter
