// The camera device's GenICam description and the live controller's reading of a camera's one:
// libzip for the archive, pugixml for the XML. Host only.
#include "tools/genicam.h"

#include <cstdio>
#include <memory>
#include <unordered_map>

#include <pugixml.hpp>
#include <zip.h>

#include "tools/driver_session.h"

namespace gvspfilter {

namespace {

std::string Hex(uint64_t value)
{
    char text[24];
    std::snprintf(text, sizeof text, "0x%08llX", static_cast<unsigned long long>(value));
    return text;
}

// A description file larger than this is refused as hostile.
constexpr zip_uint64_t MAX_XML_BYTES = 64u << 20;

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

bool LocalUrl::zipped() const { return fileName.size() >= 4 && fileName.compare(fileName.size() - 4, 4, ".zip") == 0; }

std::string LocalUrlText(const LocalUrl& url)
{
    char text[64];
    std::snprintf(text, sizeof text, ";%X;%X", url.address, url.length);
    return "Local:" + url.fileName + text;
}

std::optional<LocalUrl> ParseLocalUrl(const std::string& text)
{
    // Case-insensitive scheme; the rest is name;address;length with hexadecimal numbers. Anything
    // after the length (a "?SchemaVersion=" query) is ignored.
    if (text.size() < 6 || (text.compare(0, 6, "Local:") != 0 && text.compare(0, 6, "local:") != 0)) {
        return std::nullopt;
    }
    const size_t first = text.find(';', 6);
    const size_t second = first == std::string::npos ? std::string::npos : text.find(';', first + 1);
    if (second == std::string::npos || first == 6) {
        return std::nullopt;
    }
    LocalUrl url;
    url.fileName = text.substr(6, first - 6);
    char* end = nullptr;
    const unsigned long long address = std::strtoull(text.c_str() + first + 1, &end, 16);
    if (end != text.c_str() + second) {
        return std::nullopt;
    }
    const unsigned long long length = std::strtoull(text.c_str() + second + 1, &end, 16);
    if (end == text.c_str() + second + 1 || address > UINT32_MAX || length == 0 || length > UINT32_MAX) {
        return std::nullopt;
    }
    url.address = static_cast<uint32_t>(address);
    url.length = static_cast<uint32_t>(length);
    return url;
}

// ---- The controller's side ---------------------------------------------------------------------
std::string UnzipXml(std::span<const uint8_t> archive)
{
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = zip_source_buffer_create(archive.data(), archive.size(), 0, &error);
    if (source == nullptr) {
        throw RunError(std::string("cannot read the camera's description archive: ") + zip_error_strerror(&error));
    }
    zip_t* reader = zip_open_from_source(source, ZIP_RDONLY, &error);
    if (reader == nullptr) {
        zip_source_free(source);
        const std::string why = zip_error_strerror(&error);
        zip_error_fini(&error);
        throw RunError("the camera's description archive is not a zip archive: " + why);
    }
    std::unique_ptr<zip_t, decltype(&zip_discard)> owner(reader, &zip_discard);
    const zip_int64_t entries = zip_get_num_entries(reader, 0);
    for (zip_int64_t i = 0; i < entries; ++i) {
        zip_stat_t stat;
        zip_stat_init(&stat);
        const zip_uint64_t index = static_cast<zip_uint64_t>(i);
        if (zip_stat_index(reader, index, 0, &stat) != 0 || (stat.valid & ZIP_STAT_NAME) == 0) {
            continue;
        }
        const std::string name = stat.name;
        if (name.size() < 4 || (name.compare(name.size() - 4, 4, ".xml") != 0 && name.compare(name.size() - 4, 4, ".XML") != 0)) {
            continue;
        }
        if ((stat.valid & ZIP_STAT_SIZE) == 0 || stat.size > MAX_XML_BYTES) {
            throw RunError("the camera's description " + name + " is larger than the 64 MiB it may be");
        }
        zip_file_t* file = zip_fopen_index(reader, index, 0);
        if (file == nullptr) {
            throw RunError("cannot unpack " + name + " from the camera's description archive");
        }
        std::string text(static_cast<size_t>(stat.size), '\0');
        const zip_int64_t got = zip_fread(file, text.data(), text.size());
        zip_fclose(file);
        if (got < 0 || static_cast<zip_uint64_t>(got) != stat.size) {
            throw RunError("cannot unpack " + name + " from the camera's description archive");
        }
        return text;
    }
    throw RunError("the camera's description archive holds no .xml file");
}

namespace {

class FeatureResolver {
public:
    explicit FeatureResolver(const pugi::xml_document& document)
    {
        for (const pugi::xpath_node& found : document.select_nodes("//*[@Name]")) {
            nodes_.emplace(found.node().attribute("Name").value(), found.node());
        }
    }

    pugi::xml_node Node(const std::string& name) const
    {
        auto it = nodes_.find(name);
        if (it == nodes_.end()) {
            throw RunError("the camera's description has no node " + name);
        }
        return it->second;
    }

    // Follows `name`'s pValue chain to a register or an inline value.
    FeatureRegister Resolve(const std::string& name, int depth = 0) const
    {
        if (depth > 16) {
            throw RunError("the camera's description loops through " + name);
        }
        const pugi::xml_node node = Node(name);
        const std::string kind = node.name();
        if (kind == "IntReg" || kind == "MaskedIntReg" || kind == "StructEntry") {
            return Register(node, name);
        }
        if (kind == "Integer" || kind == "Enumeration" || kind == "Command" || kind == "Boolean") {
            if (pugi::xml_node value = node.child("pValue")) {
                return Resolve(Text(value), depth + 1);
            }
            if (pugi::xml_node value = node.child("Value")) {
                FeatureRegister constant;
                constant.constant = Number(value, name);
                return constant;
            }
            throw RunError("node " + name + " of the camera's description has neither pValue nor Value");
        }
        throw RunError("node " + name + " of the camera's description is a " + kind + ", which is not supported");
    }

    static std::string Text(pugi::xml_node node)
    {
        std::string text = node.text().get();
        const size_t first = text.find_first_not_of(" \t\r\n");
        const size_t last = text.find_last_not_of(" \t\r\n");
        return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
    }

    static int64_t Number(pugi::xml_node node, const std::string& owner)
    {
        const std::string text = Text(node);
        char* end = nullptr;
        const long long value = std::strtoll(text.c_str(), &end, 0);
        if (text.empty() || *end != 0) {
            throw RunError("node " + owner + " of the camera's description has a " + node.name() + " '" + text +
                           "' that is no number");
        }
        return value;
    }

private:
    // A register's element: its own, or for a StructEntry the StructReg around it.
    static pugi::xml_node Field(pugi::xml_node node, const char* field)
    {
        pugi::xml_node child = node.child(field);
        if (!child && std::string(node.name()) == "StructEntry") {
            child = node.parent().child(field);
        }
        return child;
    }

    FeatureRegister Register(pugi::xml_node node, const std::string& name) const
    {
        FeatureRegister reg;
        if (Field(node, "pAddress") || Field(node, "pIndex") || Field(node, "IntSwissKnife")) {
            throw RunError("register " + name + " has a computed address, which is not supported");
        }
        // The address is the sum of the Address elements.
        int64_t address = 0;
        const pugi::xml_node holder = node.child("Address") ? node : node.parent();
        for (pugi::xml_node part : holder.children("Address")) {
            address += Number(part, name);
        }
        if (!holder.child("Address") || address < 0 || address > int64_t{UINT32_MAX}) {
            throw RunError("register " + name + " has no usable Address");
        }
        reg.address = static_cast<uint32_t>(address);
        if (pugi::xml_node length = Field(node, "Length")) {
            const int64_t bytes = Number(length, name);
            if (bytes < 1 || bytes > 8) {
                throw RunError("register " + name + " has a length of " + std::to_string(bytes) + " bytes, not 1 to 8");
            }
            reg.length = static_cast<uint32_t>(bytes);
        }
        // Registers are little-endian unless they say otherwise.
        const pugi::xml_node endianess = Field(node, "Endianess");
        reg.bigEndian = endianess && Text(endianess) == "BigEndian";

        // Bits are numbered from the least significant bit in a little-endian register and from the
        // most significant one in a big-endian register.
        const int64_t top = int64_t{reg.length} * 8 - 1;
        std::optional<int64_t> lsb, msb;
        if (pugi::xml_node bit = Field(node, "Bit"); bit && node.child("Bit")) {
            lsb = msb = Number(bit, name);
        } else if (node.child("LSB") || node.child("MSB")) {
            lsb = node.child("LSB") ? Number(node.child("LSB"), name) : (reg.bigEndian ? top : 0);
            msb = node.child("MSB") ? Number(node.child("MSB"), name) : (reg.bigEndian ? 0 : top);
        }
        if (lsb) {
            const int64_t low = reg.bigEndian ? top - *lsb : *lsb;
            const int64_t high = reg.bigEndian ? top - *msb : *msb;
            if (low < 0 || high > top || low > high) {
                throw RunError("register " + name + " names bits outside its " + std::to_string(reg.length) + " bytes");
            }
            reg.shift = static_cast<uint32_t>(low);
            const int64_t width = high - low + 1;
            reg.mask = width >= 64 ? UINT64_MAX : (uint64_t(1) << width) - 1;
            reg.masked = true;
        }
        return reg;
    }

    std::unordered_map<std::string, pugi::xml_node> nodes_;
};

uint64_t Assemble(std::span<const uint8_t> bytes, bool bigEndian)
{
    uint64_t value = 0;
    for (size_t i = 0; i < bytes.size(); ++i) {
        const uint8_t byte = bigEndian ? bytes[i] : bytes[bytes.size() - 1 - i];
        value = (value << 8) | byte;
    }
    return value;
}

}  // namespace

int64_t FeatureRegister::Extract(std::span<const uint8_t> bytes) const
{
    if (constant) {
        return *constant;
    }
    const uint64_t raw = Assemble(bytes.first(std::min<size_t>(bytes.size(), length)), bigEndian);
    return static_cast<int64_t>(masked ? (raw >> shift) & mask : raw);
}

std::vector<uint8_t> FeatureRegister::Insert(std::span<const uint8_t> current, int64_t value) const
{
    uint64_t raw = current.size() >= length ? Assemble(current.first(length), bigEndian) : 0;
    if (masked) {
        raw = (raw & ~(mask << shift)) | ((static_cast<uint64_t>(value) & mask) << shift);
    } else {
        raw = static_cast<uint64_t>(value);
    }
    std::vector<uint8_t> bytes(length);
    for (size_t i = 0; i < length; ++i) {
        const uint8_t byte = static_cast<uint8_t>(raw >> (8 * i));
        bytes[bigEndian ? length - 1 - i : i] = byte;
    }
    return bytes;
}

CameraFeatures ResolveFeatures(const std::string& xml)
{
    pugi::xml_document document;
    const pugi::xml_parse_result parsed = document.load_buffer(xml.data(), xml.size());
    if (!parsed) {
        throw RunError(std::string("the camera's description is not valid XML: ") + parsed.description() +
                       " at byte " + std::to_string(parsed.offset));
    }
    const FeatureResolver resolver(document);
    CameraFeatures features;
    features.width = resolver.Resolve("Width");
    features.height = resolver.Resolve("Height");
    features.pixelFormat = resolver.Resolve("PixelFormat");
    for (const char* name : {"AcquisitionStart", "AcquisitionStop"}) {
        CommandFeature& command = std::string(name) == "AcquisitionStart" ? features.acquisitionStart : features.acquisitionStop;
        command.reg = resolver.Resolve(name);
        if (pugi::xml_node value = resolver.Node(name).child("CommandValue")) {
            command.value = FeatureResolver::Number(value, name);
        } else if (pugi::xml_node pointer = resolver.Node(name).child("pCommandValue")) {
            const FeatureRegister target = resolver.Resolve(FeatureResolver::Text(pointer));
            if (!target.constant) {
                throw RunError(std::string("the command value of ") + name + " lies in a register, which is not supported");
            }
            command.value = *target.constant;
        }
    }
    for (pugi::xml_node entry : resolver.Node("PixelFormat").children("EnumEntry")) {
        if (pugi::xml_node value = entry.child("Value")) {
            features.pixelFormatNames[FeatureResolver::Number(value, entry.attribute("Name").value())] =
                entry.attribute("Name").value();
        }
    }
    return features;
}

}  // namespace gvspfilter
