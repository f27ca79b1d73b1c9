// The controller's reading of a camera's GenICam description: the first URL, the zip archive
// through zlib, the features read and set over the XML's element tree (tools/xml.h). On the host
// and on Windows.
#include "tools/genicam.h"

#include <zlib.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <type_traits>
#include <unordered_map>

#include "tools/command_line.h"
#include "tools/xml.h"

namespace gvspfilter {

namespace {

// A description file larger than this is refused as hostile.
constexpr uint32_t MAX_XML_BYTES = 64u << 20;
// A part of a register's address beyond this is refused.
constexpr int64_t ADDRESS_PART_MAX = int64_t(1) << 32;

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

std::string Text(const XmlElement& node)
{
    const std::string& text = node.text;
    const size_t first = text.find_first_not_of(" \t\r\n");
    const size_t last = text.find_last_not_of(" \t\r\n");
    return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

// `text` as a whole number or float; nullopt when it is not one.
template <typename T>
std::optional<T> ParseNumber(const std::string& text)
{
    char* end = nullptr;
    errno = 0;
    T value{};
    if constexpr (std::is_same_v<T, int64_t>) {
        value = std::strtoll(text.c_str(), &end, 0);
    } else {
        value = std::strtod(text.c_str(), &end);
    }
    if (text.empty() || *end != 0 || errno == ERANGE) {
        return std::nullopt;
    }
    return value;
}

template <typename T>
T Number(const XmlElement& node, const std::string& owner)
{
    const std::optional<T> value = ParseNumber<T>(Text(node));
    if (!value) {
        throw RunError("node " + owner + " of the camera's description has a " + node.name + " '" + Text(node) +
                       "' that is no number");
    }
    return *value;
}

// A double as an integer without undefined behaviour for values out of range.
int64_t ToInteger(double value)
{
    if (!(value > -9.2e18 && value < 9.2e18)) {
        return value > 0 ? INT64_MAX : INT64_MIN;
    }
    return static_cast<int64_t>(value);
}

std::string FloatText(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.10g", value);
    return text;
}

template <typename T>
std::string NumberText(T value)
{
    if constexpr (std::is_same_v<T, int64_t>) {
        return std::to_string(value);
    } else {
        return FloatText(value);
    }
}

// A formula of a SwissKnife or Converter, evaluated in integers (IntSwissKnife, IntConverter) or
// floats. Operators from lowest to highest precedence: ?:, ||, &&, |, ^, &, = <>, < > <= >=,
// << >>, + -, * / %, **, the unary - + ~ !; functions NEG ABS SGN TRUNC ROUND CEIL FLOOR SQRT EXP
// LN LG; constants PI and E. The branch of ?: and the side of && || not taken are parsed without
// failing on their arithmetic, so that a guarded division by zero stays harmless.
template <typename T>
class Formula {
public:
    using Lookup = std::function<T(const std::string&)>;
    Formula(const std::string& text, const Lookup& variable, const std::string& owner)
        : text_(text), variable_(variable), owner_(owner) {}

    T Evaluate()
    {
        const T value = Conditional();
        Skip();
        if (at_ != text_.size()) {
            Fail("unexpected '" + text_.substr(at_, 8) + "'");
        }
        return value;
    }

private:
    [[noreturn]] void Fail(const std::string& why) const
    {
        throw RunError("the formula '" + text_ + "' of " + owner_ + " in the camera's description: " + why);
    }
    void Skip()
    {
        while (at_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[at_]))) {
            ++at_;
        }
    }
    bool Take(const char* token)
    {
        Skip();
        const size_t n = std::strlen(token);
        if (text_.compare(at_, n, token) == 0) {
            at_ += n;
            return true;
        }
        return false;
    }
    void Expect(const char* token)
    {
        if (!Take(token)) {
            Fail(std::string("'") + token + "' expected");
        }
    }

    // The binary operator at the cursor, the longest that matches, and its precedence level.
    std::pair<std::string, int> PeekOperator()
    {
        static const std::pair<const char*, int> OPERATORS[] = {{"||", 0}, {"&&", 1}, {"**", 10}, {"<<", 7}, {">>", 7},
            {"<=", 6}, {">=", 6}, {"<>", 5}, {"!=", 5}, {"==", 5}, {"|", 2}, {"^", 3}, {"&", 4}, {"=", 5}, {"<", 6},
            {">", 6}, {"+", 8}, {"-", 8}, {"*", 9}, {"/", 9}, {"%", 9}};
        Skip();
        for (const auto& [token, level] : OPERATORS) {
            if (text_.compare(at_, std::strlen(token), token) == 0) {
                return {token, level};
            }
        }
        return {"", -1};
    }

    T Conditional()
    {
        const T condition = Binary(0);
        if (!Take("?")) {
            return condition;
        }
        const bool skipping = skipping_;
        skipping_ = skipping || condition == 0;
        const T yes = Conditional();
        Expect(":");
        skipping_ = skipping || condition != 0;
        const T no = Conditional();
        skipping_ = skipping;
        return condition != 0 ? yes : no;
    }

    T Binary(int level)
    {
        if (level > 10) {
            return Unary();
        }
        T left = Binary(level + 1);
        for (;;) {
            const auto [token, found] = PeekOperator();
            if (found != level) {
                return left;
            }
            at_ += token.size();
            const bool skipping = skipping_;
            if ((token == "&&" && left == 0) || (token == "||" && left != 0)) {
                skipping_ = true;
            }
            const T right = Binary(level + 1);
            skipping_ = skipping;
            left = Apply(token, left, right);
        }
    }

    static T FromDouble(double value)
    {
        if constexpr (std::is_same_v<T, int64_t>) {
            return ToInteger(value);
        } else {
            return value;
        }
    }

    static int64_t Int(T value)
    {
        if constexpr (std::is_same_v<T, int64_t>) {
            return value;
        } else {
            return ToInteger(value);
        }
    }

    T Apply(const std::string& op, T a, T b) const
    {
        using U = uint64_t;
        const bool integer = std::is_same_v<T, int64_t>;
        if (op == "+") return integer ? T(int64_t(U(Int(a)) + U(Int(b)))) : a + b;
        if (op == "-") return integer ? T(int64_t(U(Int(a)) - U(Int(b)))) : a - b;
        if (op == "*") return integer ? T(int64_t(U(Int(a)) * U(Int(b)))) : a * b;
        if (op == "/" || op == "%") {
            if (b == 0 || (integer && Int(b) == -1 && Int(a) == INT64_MIN)) {
                if (skipping_) {
                    return 0;
                }
                Fail("division by zero");
            }
            if (op == "/") return a / b;
            if constexpr (std::is_same_v<T, int64_t>) {
                return a % b;
            } else {
                return std::fmod(a, b);
            }
        }
        if (op == "**") return FromDouble(std::pow(static_cast<double>(a), static_cast<double>(b)));
        if (op == "<<") return T(int64_t(U(Int(a)) << (Int(b) & 63)));
        if (op == ">>") return T(int64_t(U(Int(a)) >> (Int(b) & 63)));
        if (op == "&") return T(Int(a) & Int(b));
        if (op == "|") return T(Int(a) | Int(b));
        if (op == "^") return T(Int(a) ^ Int(b));
        if (op == "&&") return T(a != 0 && b != 0);
        if (op == "||") return T(a != 0 || b != 0);
        if (op == "=" || op == "==") return T(a == b);
        if (op == "<>" || op == "!=") return T(a != b);
        if (op == "<") return T(a < b);
        if (op == ">") return T(a > b);
        if (op == "<=") return T(a <= b);
        return T(a >= b);   // ">=", the last of the table
    }

    T Unary()
    {
        // Every nesting passes here: a hostile formula cannot exhaust the stack.
        struct Nesting {
            explicit Nesting(Formula& f) : formula(f)
            {
                if (++formula.nesting_ > 256) {
                    formula.Fail("it nests too deeply");
                }
            }
            ~Nesting() { --formula.nesting_; }
            Formula& formula;
        } nesting(*this);
        if (Take("-")) return T(0) - Unary();
        if (Take("+")) return Unary();
        if (Take("~")) return T(~Int(Unary()));
        if (Take("!")) return T(Unary() == 0);
        return Primary();
    }

    T Primary()
    {
        if (Take("(")) {
            const T value = Conditional();
            Expect(")");
            return value;
        }
        Skip();
        const size_t start = at_;
        if (at_ < text_.size() && std::isdigit(static_cast<unsigned char>(text_[at_]))) {
            const char* begin = text_.c_str() + at_;
            char* end = nullptr;
            T value{};
            if (text_.compare(at_, 2, "0x") == 0 || text_.compare(at_, 2, "0X") == 0) {
                value = static_cast<T>(static_cast<int64_t>(std::strtoull(begin + 2, &end, 16)));
            } else {
                // A fraction or an exponent makes a float; an integer formula truncates it.
                char* wholeEnd = nullptr;
                const long long whole = std::strtoll(begin, &wholeEnd, 10);
                const double real = std::strtod(begin, &end);
                value = end > wholeEnd ? FromDouble(real) : static_cast<T>(whole);
                end = std::max(end, wholeEnd);
            }
            at_ = static_cast<size_t>(end - text_.c_str());
            return value;
        }
        while (at_ < text_.size() && (std::isalnum(static_cast<unsigned char>(text_[at_])) || text_[at_] == '_' || text_[at_] == '.')) {
            ++at_;
        }
        const std::string name = text_.substr(start, at_ - start);
        if (name.empty()) {
            Fail(at_ < text_.size() ? "unexpected '" + text_.substr(at_, 1) + "'" : "it ends too early");
        }
        if (Take("(")) {
            std::vector<T> arguments{Conditional()};
            while (Take(",")) {
                arguments.push_back(Conditional());
            }
            Expect(")");
            return Call(name, arguments);
        }
        if (name == "PI") return FromDouble(3.14159265358979323846);
        if (name == "E") return FromDouble(2.71828182845904523536);
        return variable_(name);
    }

    T Call(const std::string& name, const std::vector<T>& args) const
    {
        const double x = static_cast<double>(args[0]);
        double result = 0;
        if (name == "NEG") return T(0) - args[0];
        if (name == "ABS") return args[0] < 0 ? T(0) - args[0] : args[0];
        if (name == "SGN") return T((args[0] > 0) - (args[0] < 0));
        if (name == "TRUNC") result = std::trunc(x);
        else if (name == "ROUND") {
            const double scale = args.size() > 1 ? std::pow(10.0, static_cast<double>(args[1])) : 1.0;
            result = std::round(x * scale) / scale;
        } else if (name == "CEIL") result = std::ceil(x);
        else if (name == "FLOOR") result = std::floor(x);
        else if (name == "SQRT") result = std::sqrt(x);
        else if (name == "EXP") result = std::exp(x);
        else if (name == "LN") result = std::log(x);
        else if (name == "LG") result = std::log10(x);
        else Fail("unknown function " + name);
        return FromDouble(result);
    }

    const std::string& text_;
    const Lookup& variable_;
    const std::string& owner_;
    size_t at_ = 0;
    bool skipping_ = false;
    int nesting_ = 0;
};

bool IsRegister(const std::string& kind)
{
    return kind == "IntReg" || kind == "MaskedIntReg" || kind == "StructEntry";
}
bool IsInteger(const std::string& kind) { return IsRegister(kind) || kind == "Integer" || kind == "IntSwissKnife" || kind == "IntConverter"; }
bool IsFloat(const std::string& kind) { return kind == "Float" || kind == "FloatReg" || kind == "SwissKnife" || kind == "Converter"; }

uint64_t Assemble(std::span<const uint8_t> bytes, bool bigEndian)
{
    uint64_t value = 0;
    for (size_t i = 0; i < bytes.size(); ++i) {
        value = (value << 8) | (bigEndian ? bytes[i] : bytes[bytes.size() - 1 - i]);
    }
    return value;
}

std::vector<uint8_t> Disassemble(uint64_t value, uint32_t length, bool bigEndian)
{
    std::vector<uint8_t> bytes(length);
    for (uint32_t i = 0; i < length; ++i) {
        bytes[bigEndian ? length - 1 - i : i] = static_cast<uint8_t>(value >> (8 * i));
    }
    return bytes;
}

// Whether a node can be read and written through its chain.
struct Rights {
    bool read = true;
    bool write = true;
};

// Where a register's value lies: `length` bytes at `address`, of which the `width` bits from
// `shift` up are the value.
struct Layout {
    uint32_t address = 0;
    uint32_t length = 4;
    bool bigEndian = false;
    bool isSigned = false;
    uint32_t shift = 0;
    uint32_t width = 32;
    bool masked = false;
};

}  // namespace

class GenICam::Resolver {
public:
    Resolver(const XmlElement& root, RegisterPort& port) : port_(port) { Index(root); }

    const XmlElement* Find(const std::string& name) const
    {
        const auto it = nodes_.find(name);
        return it == nodes_.end() ? nullptr : it->second;
    }
    const XmlElement& Node(const std::string& name) const
    {
        const XmlElement* node = Find(name);
        if (node == nullptr) {
            throw RunError("the camera's description has no node " + name);
        }
        return *node;
    }
    const XmlElement& Feature(const std::string& name) const
    {
        const XmlElement* node = Find(name);
        if (node == nullptr) {
            throw UsageError("the camera has no feature " + name);
        }
        return *node;
    }
    const XmlElement* Pointer(const XmlElement& node, const char* field) const
    {
        const XmlElement* child = node.Child(field);
        return child != nullptr ? &Node(Text(*child)) : nullptr;
    }
    const XmlElement& Target(const XmlElement& node) const
    {
        if (const XmlElement* target = Pointer(node, "pValue")) {
            return *target;
        }
        throw UsageError(node.nameAttribute + " cannot be written: it has a fixed value");
    }

    // ---- Reading ----
    int64_t Int(const XmlElement& node) const
    {
        const Depth depth(*this, node);
        const std::string& kind = node.name;
        if (IsRegister(kind)) {
            return ReadInt(node);
        }
        if (kind == "IntSwissKnife") {
            return Evaluate<int64_t>(node, "Formula");
        }
        if (kind == "IntConverter") {
            return Evaluate<int64_t>(node, "FormulaFrom", "TO", Int(Target(node)));
        }
        if (IsFloat(kind)) {
            return ToInteger(std::round(Float(node)));
        }
        if (const XmlElement* target = Pointer(node, "pValue")) {
            return Int(*target);
        }
        if (const XmlElement* value = node.Child("Value")) {
            return Number<int64_t>(*value, node.nameAttribute);
        }
        throw RunError("node " + node.nameAttribute + " (" + kind + ") of the camera's description has no integer value");
    }

    double Float(const XmlElement& node) const
    {
        const Depth depth(*this, node);
        const std::string& kind = node.name;
        if (kind == "FloatReg") {
            const Layout layout = RegisterLayout(node);
            const uint64_t raw = Assemble(port_.Read(layout.address, layout.length), layout.bigEndian);
            if (layout.length == 4) {
                return std::bit_cast<float>(static_cast<uint32_t>(raw));
            }
            return std::bit_cast<double>(raw);
        }
        if (kind == "SwissKnife") {
            return Evaluate<double>(node, "Formula");
        }
        if (kind == "Converter") {
            return Evaluate<double>(node, "FormulaFrom", "TO", Float(Target(node)));
        }
        if (kind != "Float") {
            return static_cast<double>(Int(node));
        }
        if (const XmlElement* target = Pointer(node, "pValue")) {
            return Float(*target);
        }
        if (const XmlElement* value = node.Child("Value")) {
            return Number<double>(*value, node.nameAttribute);
        }
        throw RunError("node " + node.nameAttribute + " of the camera's description has no value");
    }

    std::string String(const XmlElement& node) const
    {
        const Depth depth(*this, node);
        if (node.name == "StringReg") {
            const Layout layout = RegisterLayout(node);
            const std::vector<uint8_t> bytes = port_.Read(layout.address, layout.length);
            const auto end = std::find(bytes.begin(), bytes.end(), 0);
            return std::string(bytes.begin(), end);
        }
        if (const XmlElement* target = Pointer(node, "pValue")) {
            return String(*target);
        }
        if (const XmlElement* value = node.Child("Value")) {
            return Text(*value);
        }
        throw RunError("node " + node.nameAttribute + " of the camera's description has no string value");
    }

    // ---- Writing, with the range of every Integer and Float on the way checked ----
    void SetInt(const XmlElement& node, int64_t value) const
    {
        const Depth depth(*this, node);
        const std::string& kind = node.name;
        if (IsRegister(kind)) {
            WriteInt(node, value);
        } else if (kind == "IntConverter") {
            SetInt(Target(node), Evaluate<int64_t>(node, "FormulaTo", "FROM", value));
        } else if (IsFloat(kind)) {
            SetFloat(node, static_cast<double>(value));
        } else if (kind == "IntSwissKnife") {
            throw UsageError(node.nameAttribute + " is read-only");
        } else {
            if (kind == "Integer") {
                CheckRange(node, value);
            }
            SetInt(Target(node), value);
        }
    }

    void SetFloat(const XmlElement& node, double value) const
    {
        const Depth depth(*this, node);
        const std::string& kind = node.name;
        if (kind == "FloatReg") {
            const Layout layout = RegisterLayout(node);
            const uint64_t raw = layout.length == 4 ? std::bit_cast<uint32_t>(static_cast<float>(value)) : std::bit_cast<uint64_t>(value);
            port_.Write(layout.address, Disassemble(raw, layout.length, layout.bigEndian));
        } else if (kind == "Converter") {
            SetFloat(Target(node), Evaluate<double>(node, "FormulaTo", "FROM", value));
        } else if (kind == "Float") {
            CheckRange(node, value);
            SetFloat(Target(node), value);
        } else if (kind == "SwissKnife") {
            throw UsageError(node.nameAttribute + " is read-only");
        } else {
            SetInt(node, ToInteger(std::round(value)));
        }
    }

    void SetString(const XmlElement& node, const std::string& value) const
    {
        const Depth depth(*this, node);
        if (node.name != "StringReg") {
            SetString(Target(node), value);
            return;
        }
        const Layout layout = RegisterLayout(node);
        if (value.size() > layout.length) {
            throw UsageError(node.nameAttribute + " '" + value + "' is longer than its " + std::to_string(layout.length) + " bytes");
        }
        std::vector<uint8_t> bytes(value.begin(), value.end());
        bytes.resize(layout.length, 0);
        port_.Write(layout.address, bytes);
    }

    // ---- Ranges, entries, access ----
    template <typename T>
    struct Bounds {
        std::optional<T> min, max;
        T inc = 1;
    };
    template <typename T>
    std::optional<T> Bound(const XmlElement& node, const char* plain, const char* pointer) const
    {
        if (const XmlElement* value = node.Child(plain)) {
            return Number<T>(*value, node.nameAttribute);
        }
        if (const XmlElement* target = Pointer(node, pointer)) {
            if constexpr (std::is_same_v<T, int64_t>) {
                return Int(*target);
            } else {
                return Float(*target);
            }
        }
        return std::nullopt;
    }
    template <typename T>
    Bounds<T> BoundsOf(const XmlElement& node) const
    {
        Bounds<T> bounds{Bound<T>(node, "Min", "pMin"), Bound<T>(node, "Max", "pMax"), 1};
        if (const std::optional<T> inc = Bound<T>(node, "Inc", "pInc"); inc && *inc > 0) {
            bounds.inc = *inc;
        }
        return bounds;
    }
    template <typename T>
    static std::string RangeText(const Bounds<T>& b)
    {
        if (!b.min && !b.max) {
            return "";
        }
        std::string text = "(" + (b.min ? NumberText(*b.min) : "any") + " to " + (b.max ? NumberText(*b.max) : "any");
        if (std::is_same_v<T, int64_t> && b.inc != 1) {
            text += ", step " + NumberText(b.inc);
        }
        return text + ")";
    }
    template <typename T>
    void CheckRange(const XmlElement& node, T value) const
    {
        const Bounds<T> b = BoundsOf<T>(node);
        bool off = (b.min && value < *b.min) || (b.max && value > *b.max);
        if constexpr (std::is_same_v<T, int64_t>) {
            off = off || (b.inc > 1 && (static_cast<uint64_t>(value) - static_cast<uint64_t>(b.min.value_or(0))) % static_cast<uint64_t>(b.inc) != 0);
        }
        if (off) {
            throw UsageError(node.nameAttribute + " " + NumberText(value) + " is out of range " + RangeText(b));
        }
    }
    std::string Range(const XmlElement& node) const
    {
        if (node.name == "Integer") {
            return RangeText(BoundsOf<int64_t>(node));
        }
        if (node.name == "Float") {
            return RangeText(BoundsOf<double>(node));
        }
        if (node.name == "Enumeration") {
            std::string text;
            for (const auto& [name, value] : Entries(node)) {
                text += (text.empty() ? "(" : ", ") + name;
            }
            return text.empty() ? text : text + ")";
        }
        return "";
    }

    // The entries of an enumeration that are implemented and available, in document order.
    std::vector<std::pair<std::string, int64_t>> Entries(const XmlElement& node) const
    {
        std::vector<std::pair<std::string, int64_t>> entries;
        for (const std::unique_ptr<XmlElement>& entry : node.children) {
            if (entry->name != "EnumEntry" || entry->Child("Value") == nullptr) {
                continue;
            }
            const XmlElement* implemented = Pointer(*entry, "pIsImplemented");
            const XmlElement* available = Pointer(*entry, "pIsAvailable");
            if ((implemented != nullptr && Int(*implemented) == 0) || (available != nullptr && Int(*available) == 0)) {
                continue;
            }
            entries.emplace_back(entry->nameAttribute, Number<int64_t>(*entry->Child("Value"), entry->nameAttribute));
        }
        return entries;
    }

    Rights RightsOf(const XmlElement& node) const
    {
        const Depth depth(*this, node);
        Rights rights;
        if (const XmlElement* mode = Field(node, "AccessMode")) {
            const std::string text = Text(*mode);
            rights = {text != "WO", text == "RW" || text == "WO"};
        }
        const std::string& kind = node.name;
        if (kind == "IntSwissKnife" || kind == "SwissKnife" || kind == "Category") {
            rights.write = false;
        } else if (const XmlElement* target = Pointer(node, "pValue")) {
            const Rights inner = RightsOf(*target);
            rights = {rights.read && inner.read, rights.write && inner.write};
        } else if (!IsRegister(kind) && kind != "FloatReg" && kind != "StringReg") {
            rights.write = false;   // a fixed Value
        }
        if (kind == "Command") {
            rights.read = false;
        }
        return rights;
    }

    // Depth first from Root, each category once.
    void Walk(const XmlElement& category, int depth, std::vector<std::pair<int, std::string>>& out,
        std::vector<const XmlElement*>& seen) const
    {
        if (std::find(seen.begin(), seen.end(), &category) != seen.end()) {
            return;
        }
        seen.push_back(&category);
        for (const std::unique_ptr<XmlElement>& child : category.children) {
            if (child->name != "pFeature") {
                continue;
            }
            const XmlElement* feature = Find(Text(*child));
            if (feature == nullptr) {
                continue;
            }
            out.emplace_back(depth, feature->nameAttribute);
            if (feature->name == "Category") {
                Walk(*feature, depth + 1, out, seen);
            }
        }
    }

private:
    // Deep pointer chains are followed up to a bound, so that a description that loops fails.
    struct Depth {
        Depth(const Resolver& resolver, const XmlElement& node) : r(resolver)
        {
            if (++r.depth_ > 64) {
                r.depth_ = 0;
                throw RunError("the camera's description loops through " + node.nameAttribute);
            }
        }
        ~Depth() { r.depth_ = r.depth_ > 0 ? r.depth_ - 1 : 0; }
        const Resolver& r;
    };

    // Every element with a Name attribute, the first of each name in document order.
    void Index(const XmlElement& root)
    {
        std::vector<const XmlElement*> pending{&root};
        while (!pending.empty()) {
            const XmlElement& element = *pending.back();
            pending.pop_back();
            if (!element.nameAttribute.empty()) {
                nodes_.emplace(element.nameAttribute, &element);
            }
            for (auto child = element.children.rbegin(); child != element.children.rend(); ++child) {
                pending.push_back(child->get());
            }
        }
    }

    // A formula's value: its variables are the nodes its pVariable elements name, its Constant and
    // Expression elements, and `extra` (a converter's FROM or TO).
    template <typename T>
    T Evaluate(const XmlElement& node, const char* formulaName, const char* extra = nullptr, T extraValue = 0) const
    {
        const std::string owner = node.nameAttribute.empty() ? node.name : node.nameAttribute;
        const XmlElement* formula = node.Child(formulaName);
        if (formula == nullptr) {
            throw RunError(owner + " of the camera's description has no " + formulaName);
        }
        std::function<T(const std::string&)> lookup = [&](const std::string& name) -> T {
            if (extra != nullptr && name == extra) {
                return extraValue;
            }
            for (const std::unique_ptr<XmlElement>& child : node.children) {
                if (child->nameAttribute != name) {
                    continue;
                }
                if (child->name == "pVariable") {
                    const XmlElement& target = Node(Text(*child));
                    if constexpr (std::is_same_v<T, int64_t>) {
                        return Int(target);
                    } else {
                        return Float(target);
                    }
                }
                if (child->name == "Constant") {
                    return Number<T>(*child, owner);
                }
                if (child->name == "Expression") {
                    const Depth depth(*this, node);
                    const std::string text = Text(*child);
                    return Formula<T>(text, lookup, owner).Evaluate();
                }
            }
            throw RunError("the formula of " + owner + " in the camera's description names " + name + ", which it does not define");
        };
        const std::string text = Text(*formula);
        return Formula<T>(text, lookup, owner).Evaluate();
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

    Layout RegisterLayout(const XmlElement& node) const
    {
        const std::string& name = node.nameAttribute;
        Layout layout;
        // The address is the sum of its parts: numbers, other nodes' values, inline formulas.
        const XmlElement& holder = node.name == "StructEntry" && node.parent != nullptr ? *node.parent : node;
        int64_t address = 0;
        bool addressed = false;
        for (const std::unique_ptr<XmlElement>& part : holder.children) {
            int64_t value = 0;
            if (part->name == "Address") {
                value = Number<int64_t>(*part, name);
            } else if (part->name == "pAddress") {
                value = Int(Node(Text(*part)));
            } else if (part->name == "IntSwissKnife") {
                value = Evaluate<int64_t>(*part, "Formula");
            } else if (part->name == "pIndex") {
                // An element of an array: the index node's value times the Offset or pOffset stride.
                constexpr int64_t FACTOR_MAX = int64_t(1) << 31;   // so that the product cannot overflow
                const std::string* offset = part->Attribute("Offset");
                const std::string* pointer = part->Attribute("pOffset");
                const int64_t stride = offset != nullptr    ? ParseNumber<int64_t>(*offset).value_or(FACTOR_MAX + 1)
                                       : pointer != nullptr ? Int(Node(*pointer))
                                                            : FACTOR_MAX + 1;
                const int64_t index = Int(Node(Text(*part)));
                if (stride < -FACTOR_MAX || stride > FACTOR_MAX || index < -FACTOR_MAX || index > FACTOR_MAX) {
                    throw RunError("register " + name + " has a pIndex without a usable Offset");
                }
                value = index * stride;
            } else {
                continue;
            }
            // Parts are bounded so that their sum cannot overflow.
            if (value < -ADDRESS_PART_MAX || value > ADDRESS_PART_MAX) {
                throw RunError("register " + name + " has no usable address");
            }
            address += value;
            addressed = true;
        }
        if (!addressed || address < 0 || address > int64_t{UINT32_MAX}) {
            throw RunError("register " + name + " has no usable address");
        }
        layout.address = static_cast<uint32_t>(address);
        const XmlElement* lengthNode = Field(node, "Length");
        const int64_t length = lengthNode != nullptr ? Number<int64_t>(*lengthNode, name)
                               : Pointer(holder, "pLength") != nullptr ? Int(*Pointer(holder, "pLength"))
                                                                        : 4;
        const bool wide = node.name == "StringReg";
        if (length < 1 || length > (wide ? int64_t{MAX_XML_BYTES} : 8) || (node.name == "FloatReg" && length != 4 && length != 8)) {
            throw RunError("register " + name + " has a length of " + std::to_string(length) + " bytes, which is not supported");
        }
        layout.length = static_cast<uint32_t>(length);
        // Registers are little-endian unless they say otherwise.
        const XmlElement* endianess = Field(node, "Endianess");
        layout.bigEndian = endianess != nullptr && Text(*endianess) == "BigEndian";
        const XmlElement* sign = Field(node, "Sign");
        layout.isSigned = sign != nullptr && Text(*sign) == "Signed";
        layout.width = std::min<uint32_t>(layout.length * 8, 64);

        // Bits are numbered from the least significant bit in a little-endian register and from the
        // most significant one in a big-endian register.
        const int64_t top = int64_t{layout.length} * 8 - 1;
        std::optional<int64_t> lsb, msb;
        if (const XmlElement* bit = node.Child("Bit")) {
            lsb = msb = Number<int64_t>(*bit, name);
        } else if (node.Child("LSB") != nullptr || node.Child("MSB") != nullptr) {
            lsb = node.Child("LSB") != nullptr ? Number<int64_t>(*node.Child("LSB"), name) : (layout.bigEndian ? top : 0);
            msb = node.Child("MSB") != nullptr ? Number<int64_t>(*node.Child("MSB"), name) : (layout.bigEndian ? 0 : top);
        }
        if (lsb) {
            const int64_t low = layout.bigEndian ? top - *lsb : *lsb;
            const int64_t high = layout.bigEndian ? top - *msb : *msb;
            if (low < 0 || high > top || low > high) {
                throw RunError("register " + name + " names bits outside its " + std::to_string(layout.length) + " bytes");
            }
            layout.shift = static_cast<uint32_t>(low);
            layout.width = static_cast<uint32_t>(high - low + 1);
            layout.masked = true;
        }
        return layout;
    }

    static uint64_t Mask(uint32_t width) { return width >= 64 ? UINT64_MAX : (uint64_t(1) << width) - 1; }

    int64_t ReadInt(const XmlElement& node) const
    {
        const Layout layout = RegisterLayout(node);
        const uint64_t raw = (Assemble(port_.Read(layout.address, layout.length), layout.bigEndian) >> layout.shift) & Mask(layout.width);
        if (layout.isSigned && layout.width < 64 && (raw >> (layout.width - 1)) != 0) {
            return static_cast<int64_t>(raw | ~Mask(layout.width));
        }
        return static_cast<int64_t>(raw);
    }

    void WriteInt(const XmlElement& node, int64_t value) const
    {
        const Layout layout = RegisterLayout(node);
        const bool fits = layout.width >= 64 ||
                          (layout.isSigned ? value >= -(int64_t(1) << (layout.width - 1)) && value < (int64_t(1) << (layout.width - 1))
                                           : value >= 0 && static_cast<uint64_t>(value) <= Mask(layout.width));
        if (!fits) {
            throw UsageError(node.nameAttribute + " " + std::to_string(value) + " does not fit its " +
                             std::to_string(layout.width) + " bits");
        }
        uint64_t raw = static_cast<uint64_t>(value) & Mask(layout.width);
        if (layout.masked) {
            // The other bits stay as they are; a write-only register's read as zeros.
            const XmlElement* mode = Field(node, "AccessMode");
            const bool readable = mode == nullptr || Text(*mode) != "WO";
            const uint64_t current = readable ? Assemble(port_.Read(layout.address, layout.length), layout.bigEndian) : 0;
            raw = (current & ~(Mask(layout.width) << layout.shift)) | (raw << layout.shift);
        }
        port_.Write(layout.address, Disassemble(raw, layout.length, layout.bigEndian));
    }

    RegisterPort& port_;
    std::unordered_map<std::string, const XmlElement*> nodes_;
    mutable int depth_ = 0;
};

// ---- GenICam ----------------------------------------------------------------------------------
GenICam::GenICam(std::string xml, RegisterPort& port)
    : root_(ParseXml(std::move(xml))), resolver_(std::make_unique<Resolver>(*root_, port)) {}

GenICam::~GenICam() = default;

bool GenICam::Has(const std::string& name) const { return resolver_->Find(name) != nullptr; }

std::string GenICam::Kind(const std::string& name) const { return resolver_->Feature(name).name; }

std::string GenICam::Access(const std::string& name) const
{
    const Rights rights = resolver_->RightsOf(resolver_->Feature(name));
    return rights.read ? (rights.write ? "RW" : "RO") : (rights.write ? "WO" : "NA");
}

std::string GenICam::Range(const std::string& name) const { return resolver_->Range(resolver_->Feature(name)); }

int64_t GenICam::GetInteger(const std::string& name) const { return resolver_->Int(resolver_->Feature(name)); }

std::string GenICam::Get(const std::string& name) const
{
    const XmlElement& node = resolver_->Feature(name);
    const std::string& kind = node.name;
    if (kind == "Enumeration") {
        const int64_t value = resolver_->Int(node);
        for (const auto& [entry, entryValue] : resolver_->Entries(node)) {
            if (entryValue == value) {
                return entry;
            }
        }
        return std::to_string(value);
    }
    if (kind == "Boolean") {
        const XmlElement* on = node.Child("OnValue");
        return resolver_->Int(node) == (on != nullptr ? Number<int64_t>(*on, name) : 1) ? "true" : "false";
    }
    if (IsInteger(kind)) {
        return std::to_string(resolver_->Int(node));
    }
    if (IsFloat(kind)) {
        return FloatText(resolver_->Float(node));
    }
    if (kind == "String" || kind == "StringReg") {
        return resolver_->String(node);
    }
    return "";   // a command or a category has no value
}

void GenICam::Set(const std::string& name, const std::string& value) const
{
    const XmlElement& node = resolver_->Feature(name);
    const std::string& kind = node.name;
    if (kind == "Command") {
        Execute(name);
        return;
    }
    if (!resolver_->RightsOf(node).write) {
        throw UsageError(name + " is read-only");
    }
    if (kind == "Enumeration") {
        for (const auto& [entry, entryValue] : resolver_->Entries(node)) {
            if (entry == value) {
                resolver_->SetInt(resolver_->Target(node), entryValue);
                return;
            }
        }
        throw UsageError(name + " has no entry '" + value + "' " + resolver_->Range(node));
    }
    if (kind == "Boolean") {
        const bool on = value == "true" || value == "1" || value == "on" || value == "On" || value == "True";
        if (!on && value != "false" && value != "0" && value != "off" && value != "Off" && value != "False") {
            throw UsageError(name + " takes true or false, not '" + value + "'");
        }
        const XmlElement* chosen = node.Child(on ? "OnValue" : "OffValue");
        resolver_->SetInt(resolver_->Target(node), chosen != nullptr ? Number<int64_t>(*chosen, name) : on);
        return;
    }
    if (IsInteger(kind)) {
        const std::optional<int64_t> number = ParseNumber<int64_t>(value);
        if (!number) {
            throw UsageError(name + " takes an integer, not '" + value + "'");
        }
        resolver_->SetInt(node, *number);
    } else if (IsFloat(kind)) {
        const std::optional<double> number = ParseNumber<double>(value);
        if (!number || !std::isfinite(*number)) {
            throw UsageError(name + " takes a number, not '" + value + "'");
        }
        resolver_->SetFloat(node, *number);
    } else if (kind == "String" || kind == "StringReg") {
        resolver_->SetString(node, value);
    } else {
        throw UsageError(name + " is a " + kind + ", which takes no value");
    }
}

void GenICam::Execute(const std::string& name) const
{
    const XmlElement& node = resolver_->Feature(name);
    if (node.name != "Command") {
        throw UsageError(name + " is not a command");
    }
    if (!resolver_->RightsOf(node).write) {
        throw UsageError(name + " cannot be executed: it is read-only");
    }
    const XmlElement* value = node.Child("CommandValue");
    const XmlElement* pointer = resolver_->Pointer(node, "pCommandValue");
    resolver_->SetInt(resolver_->Target(node),
        value != nullptr ? Number<int64_t>(*value, name) : pointer != nullptr ? resolver_->Int(*pointer) : 1);
}

std::vector<std::pair<int, std::string>> GenICam::Tree() const
{
    std::vector<std::pair<int, std::string>> tree;
    std::vector<const XmlElement*> seen;
    if (const XmlElement* root = resolver_->Find("Root")) {
        resolver_->Walk(*root, 0, tree, seen);
    }
    return tree;
}

}  // namespace gvspfilter
