// The live controller's reading of a camera's GenICam description: the first URL, the zip
// archive through zlib, the features resolved over the XML's element tree (tools/xml.h). On the
// host and on Windows.
#include "tools/genicam.h"

#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <unordered_map>

#include "camera/wire.h"
#include "tools/command_line.h"
#include "tools/xml.h"

namespace gvspfilter {

namespace {

// A description file larger than this is refused as hostile.
constexpr uint32_t MAX_XML_BYTES = 64u << 20;

}  // namespace

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
namespace {

uint16_t Le16(std::span<const uint8_t> bytes, size_t at) { return static_cast<uint16_t>(bytes[at] | bytes[at + 1] << 8); }
uint32_t Le32(std::span<const uint8_t> bytes, size_t at) { return Le16(bytes, at) | uint32_t{Le16(bytes, at + 2)} << 16; }

bool IsXmlName(const std::string& name)
{
    return name.size() >= 4 && (name.compare(name.size() - 4, 4, ".xml") == 0 || name.compare(name.size() - 4, 4, ".XML") == 0);
}

// Stored or deflated, as zip archives hold their files; false when the bytes do not unpack to
// `size` bytes.
bool Unpack(std::span<const uint8_t> packed, uint16_t method, std::string& text)
{
    if (method == 0) {
        text.assign(packed.begin(), packed.end());
        return true;
    }
    z_stream z{};
    if (method != 8 || inflateInit2(&z, -MAX_WBITS) != Z_OK) {   // raw deflate, no zlib header
        return false;
    }
    const size_t size = text.size();
    z.next_in = const_cast<Bytef*>(packed.data());
    z.avail_in = static_cast<uInt>(packed.size());
    z.next_out = reinterpret_cast<Bytef*>(text.data());
    z.avail_out = static_cast<uInt>(size);
    const int result = inflate(&z, Z_FINISH);
    inflateEnd(&z);
    return result == Z_STREAM_END && z.total_out == size;
}

}  // namespace

std::string UnzipXml(std::span<const uint8_t> archive)
{
    // The central directory is found through its end record, the archive's last 22 bytes before a
    // comment of at most 64 KiB.
    constexpr uint32_t END_SIGNATURE = 0x06054B50, ENTRY_SIGNATURE = 0x02014B50, LOCAL_SIGNATURE = 0x04034B50;
    constexpr size_t END_BYTES = 22, ENTRY_BYTES = 46, LOCAL_BYTES = 30;
    const std::string notZip = "the camera's description archive is not a zip archive: ";
    if (archive.size() < END_BYTES) {
        throw RunError(notZip + "it is too short");
    }
    size_t end = archive.size() - END_BYTES;
    const size_t lowest = end > 0xFFFF ? end - 0xFFFF : 0;
    while (Le32(archive, end) != END_SIGNATURE) {
        if (end == lowest) {
            throw RunError(notZip + "it has no central directory");
        }
        --end;
    }
    const uint16_t entries = Le16(archive, end + 10);
    size_t at = Le32(archive, end + 16);
    for (uint16_t i = 0; i < entries; ++i) {
        if (at + ENTRY_BYTES > archive.size() || Le32(archive, at) != ENTRY_SIGNATURE ||
            at + ENTRY_BYTES + Le16(archive, at + 28) > archive.size()) {
            throw RunError(notZip + "its central directory is damaged");
        }
        const uint16_t flags = Le16(archive, at + 8);
        const uint16_t method = Le16(archive, at + 10);
        const uint32_t crc = Le32(archive, at + 16);
        const uint32_t packedBytes = Le32(archive, at + 20);
        const uint32_t size = Le32(archive, at + 24);
        const size_t local = Le32(archive, at + 42);
        const std::string name(reinterpret_cast<const char*>(&archive[at + ENTRY_BYTES]), Le16(archive, at + 28));
        at += ENTRY_BYTES + name.size() + Le16(archive, at + 30) + Le16(archive, at + 32);
        if (!IsXmlName(name)) {
            continue;
        }
        if (size > MAX_XML_BYTES) {
            throw RunError("the camera's description " + name + " is larger than the 64 MiB it may be");
        }
        // The file's bytes follow its local header, whose name and extra field may differ in length
        // from the directory's; an encrypted file (flag bit 0) is not read.
        const size_t data = local + LOCAL_BYTES <= archive.size() && Le32(archive, local) == LOCAL_SIGNATURE
                                ? local + LOCAL_BYTES + Le16(archive, local + 26) + Le16(archive, local + 28)
                                : archive.size() + 1;
        std::string text(size, '\0');
        if (data > archive.size() || archive.size() - data < packedBytes || (flags & 1) != 0 ||
            !Unpack(archive.subspan(data, packedBytes), method, text) || text.size() != size ||
            crc32(0, reinterpret_cast<const Bytef*>(text.data()), static_cast<uInt>(text.size())) != crc) {
            throw RunError("cannot unpack " + name + " from the camera's description archive");
        }
        return text;
    }
    throw RunError("the camera's description archive holds no .xml file");
}

namespace {

class FeatureResolver {
public:
    explicit FeatureResolver(const XmlElement& root) { Index(root); }

    const XmlElement& Node(const std::string& name) const
    {
        auto it = nodes_.find(name);
        if (it == nodes_.end()) {
            throw RunError("the camera's description has no node " + name);
        }
        return *it->second;
    }

    // Follows `name`'s pValue chain to a register or an inline value.
    FeatureRegister Resolve(const std::string& name, int depth = 0) const
    {
        if (depth > 16) {
            throw RunError("the camera's description loops through " + name);
        }
        const XmlElement& node = Node(name);
        const std::string& kind = node.name;
        if (kind == "IntReg" || kind == "MaskedIntReg" || kind == "StructEntry") {
            return Register(node, name);
        }
        if (kind == "Integer" || kind == "Enumeration" || kind == "Command" || kind == "Boolean") {
            if (const XmlElement* value = node.Child("pValue")) {
                return Resolve(Text(*value), depth + 1);
            }
            if (const XmlElement* value = node.Child("Value")) {
                FeatureRegister constant;
                constant.constant = Number(*value, name);
                return constant;
            }
            throw RunError("node " + name + " of the camera's description has neither pValue nor Value");
        }
        throw RunError("node " + name + " of the camera's description is a " + kind + ", which is not supported");
    }

    static std::string Text(const XmlElement& node)
    {
        const std::string& text = node.text;
        const size_t first = text.find_first_not_of(" \t\r\n");
        const size_t last = text.find_last_not_of(" \t\r\n");
        return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
    }

    static int64_t Number(const XmlElement& node, const std::string& owner)
    {
        const std::string text = Text(node);
        char* end = nullptr;
        const long long value = std::strtoll(text.c_str(), &end, 0);
        if (text.empty() || *end != 0) {
            throw RunError("node " + owner + " of the camera's description has a " + node.name + " '" + text +
                           "' that is no number");
        }
        return value;
    }

private:
    // Every element with a Name attribute, the first of each name.
    void Index(const XmlElement& element)
    {
        if (!element.nameAttribute.empty()) {
            nodes_.emplace(element.nameAttribute, &element);
        }
        for (const std::unique_ptr<XmlElement>& child : element.children) {
            Index(*child);
        }
    }

    // A register's element: its own, or for a StructEntry the StructReg around it.
    static const XmlElement* Field(const XmlElement& node, const char* field)
    {
        const XmlElement* child = node.Child(field);
        if (child == nullptr && node.name == "StructEntry" && node.parent != nullptr) {
            child = node.parent->Child(field);
        }
        return child;
    }

    FeatureRegister Register(const XmlElement& node, const std::string& name) const
    {
        FeatureRegister reg;
        if (Field(node, "pAddress") || Field(node, "pIndex") || Field(node, "IntSwissKnife")) {
            throw RunError("register " + name + " has a computed address, which is not supported");
        }
        // The address is the sum of the Address elements.
        int64_t address = 0;
        const XmlElement* holder = node.Child("Address") != nullptr ? &node : node.parent;
        bool addressed = false;
        for (const std::unique_ptr<XmlElement>& part : holder != nullptr ? holder->children : node.children) {
            if (part->name == "Address") {
                address += Number(*part, name);
                addressed = true;
            }
        }
        if (!addressed || address < 0 || address > int64_t{UINT32_MAX}) {
            throw RunError("register " + name + " has no usable Address");
        }
        reg.address = static_cast<uint32_t>(address);
        if (const XmlElement* length = Field(node, "Length")) {
            const int64_t bytes = Number(*length, name);
            if (bytes < 1 || bytes > 8) {
                throw RunError("register " + name + " has a length of " + std::to_string(bytes) + " bytes, not 1 to 8");
            }
            reg.length = static_cast<uint32_t>(bytes);
        }
        // Registers are little-endian unless they say otherwise.
        const XmlElement* endianess = Field(node, "Endianess");
        reg.bigEndian = endianess != nullptr && Text(*endianess) == "BigEndian";

        // Bits are numbered from the least significant bit in a little-endian register and from the
        // most significant one in a big-endian register.
        const int64_t top = int64_t{reg.length} * 8 - 1;
        std::optional<int64_t> lsb, msb;
        if (const XmlElement* bit = node.Child("Bit")) {
            lsb = msb = Number(*bit, name);
        } else if (node.Child("LSB") != nullptr || node.Child("MSB") != nullptr) {
            lsb = node.Child("LSB") != nullptr ? Number(*node.Child("LSB"), name) : (reg.bigEndian ? top : 0);
            msb = node.Child("MSB") != nullptr ? Number(*node.Child("MSB"), name) : (reg.bigEndian ? 0 : top);
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

    std::unordered_map<std::string, const XmlElement*> nodes_;
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
    const std::unique_ptr<XmlElement> root = ParseXml(xml);
    const FeatureResolver resolver(*root);
    CameraFeatures features;
    features.width = resolver.Resolve("Width");
    features.height = resolver.Resolve("Height");
    features.pixelFormat = resolver.Resolve("PixelFormat");
    for (const char* name : {"AcquisitionStart", "AcquisitionStop"}) {
        CommandFeature& command = std::string(name) == "AcquisitionStart" ? features.acquisitionStart : features.acquisitionStop;
        command.reg = resolver.Resolve(name);
        if (const XmlElement* value = resolver.Node(name).Child("CommandValue")) {
            command.value = FeatureResolver::Number(*value, name);
        } else if (const XmlElement* pointer = resolver.Node(name).Child("pCommandValue")) {
            const FeatureRegister target = resolver.Resolve(FeatureResolver::Text(*pointer));
            if (!target.constant) {
                throw RunError(std::string("the command value of ") + name + " lies in a register, which is not supported");
            }
            command.value = *target.constant;
        }
    }
    for (const std::unique_ptr<XmlElement>& entry : resolver.Node("PixelFormat").children) {
        if (entry->name != "EnumEntry") {
            continue;
        }
        if (const XmlElement* value = entry->Child("Value")) {
            features.pixelFormatNames[FeatureResolver::Number(*value, entry->nameAttribute)] = entry->nameAttribute;
        }
    }
    return features;
}

}  // namespace gvspfilter
