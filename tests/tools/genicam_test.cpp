// How the controller reads a camera's GenICam description: features read and set through their
// registers (byte orders, bits, formulas, converters, ranges, access) over a map of bytes, and the
// camera device's own zipped description read back.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "tools/driver_session.h"
#include "tools/genicam.h"
#include "tools/xml.h"

namespace {

using gvspfilter::GenICam;
using Bytes = std::vector<uint8_t>;

// The registers as a map of bytes; every write is kept.
class RegisterMap : public gvspfilter::RegisterPort {
public:
    std::vector<uint8_t> Read(uint32_t address, uint32_t length) override
    {
        Bytes bytes;
        for (uint32_t i = 0; i < length; ++i) {
            bytes.push_back(memory[address + i]);
        }
        return bytes;
    }
    void Write(uint32_t address, std::span<const uint8_t> bytes) override
    {
        for (size_t i = 0; i < bytes.size(); ++i) {
            memory[static_cast<uint32_t>(address + i)] = bytes[i];
        }
    }
    void Put(uint32_t address, const Bytes& bytes) { Write(address, bytes); }
    std::map<uint32_t, uint8_t> memory;
};

std::string Reg(const std::string& kind, const std::string& name, const std::string& body)
{
    return "<" + kind + " Name='" + name + "'>" + body + "</" + kind + ">";
}
std::string BigEndian(const std::string& name, uint32_t address, const std::string& more = "")
{
    return Reg("IntReg", name, "<Address>" + std::to_string(address) + "</Address><Length>4</Length>"
                               "<Endianess>BigEndian</Endianess>" + more);
}

// A camera of the usual kind: a sensor 2048 wide, Width in steps of 4, a frame rate through a
// converter to its period, a masked trigger bit, a boolean, names in a string register.
const std::string CAMERA =
    "<RegisterDescription><Category Name='Root'><pFeature>Format</pFeature><pFeature>Nowhere</pFeature></Category>"
    "<Category Name='Format'><pFeature>Width</pFeature><pFeature>PixelFormat</pFeature></Category>" +
    Reg("Integer", "Width", "<pValue>WidthReg</pValue><Min>16</Min><pMax>SensorWidth</pMax><Inc>4</Inc>") +
    BigEndian("WidthReg", 0x100) + Reg("Integer", "SensorWidth", "<pValue>SensorReg</pValue>") +
    BigEndian("SensorReg", 0x104, "<AccessMode>RO</AccessMode>") +
    Reg("Enumeration", "PixelFormat", "<EnumEntry Name='Mono8'><Value>17301505</Value></EnumEntry>"
                                      "<EnumEntry Name='Mono16'><Value>17825799</Value></EnumEntry>"
                                      "<EnumEntry Name='RGB8'><Value>35127316</Value><pIsAvailable>No</pIsAvailable></EnumEntry>"
                                      "<pValue>FormatReg</pValue>") +
    BigEndian("FormatReg", 0x108) + Reg("Integer", "No", "<Value>0</Value>") +
    Reg("IntSwissKnife", "PayloadSize", "<pVariable Name='W'>Width</pVariable><pVariable Name='PF'>PixelFormat</pVariable>"
                                        "<Constant Name='H'>2</Constant><Formula>W * H * ((PF&gt;&gt;16)&amp;0xFF) / 8</Formula>") +
    Reg("Float", "AcquisitionFrameRate", "<pValue>RateConverter</pValue>") +
    Reg("Converter", "RateConverter", "<FormulaTo>1000000 / FROM</FormulaTo><FormulaFrom>1000000 / TO</FormulaFrom>"
                                      "<pValue>AcquisitionFramePeriod</pValue>") +
    Reg("Integer", "AcquisitionFramePeriod", "<pValue>PeriodReg</pValue><Min>1000</Min><Max>10000000</Max>") +
    BigEndian("PeriodReg", 0x10C) +
    Reg("Enumeration", "TriggerMode", "<EnumEntry Name='Off'><Value>0</Value></EnumEntry>"
                                      "<EnumEntry Name='On'><Value>1</Value></EnumEntry><pValue>TriggerBit</pValue>") +
    Reg("MaskedIntReg", "TriggerBit", "<Address>0x110</Address><Length>4</Length><Bit>30</Bit><Endianess>BigEndian</Endianess>") +
    Reg("Boolean", "Invert", "<pValue>InvertReg</pValue><OnValue>321</OnValue><OffValue>123</OffValue>") +
    Reg("IntReg", "InvertReg", "<Address>0x114</Address><Length>2</Length>") +
    Reg("Command", "AcquisitionStart", "<pValue>CommandReg</pValue><pCommandValue>StartCode</pCommandValue>") +
    Reg("Integer", "StartCode", "<Value>7</Value>") +
    BigEndian("CommandReg", 0x118, "<AccessMode>WO</AccessMode>") +
    Reg("StringReg", "DeviceUserID", "<Address>0x120</Address><Length>8</Length><AccessMode>RW</AccessMode>") +
    "</RegisterDescription>";

RegisterMap CameraRegisters()
{
    RegisterMap map;
    map.Put(0x100, {0, 0, 2, 0x80});            // Width 640
    map.Put(0x104, {0, 0, 8, 0});               // SensorWidth 2048
    map.Put(0x108, {1, 0x08, 0, 1});            // Mono8
    map.Put(0x10C, {0, 0, 0x82, 0x35});         // a period of 33333 us
    map.Put(0x110, {0xAA, 0xAA, 0xAA, 0xA8});   // every other bit set, TriggerMode's (1 << 1) clear
    map.Put(0x114, {0x41, 0x01});               // 321 little-endian
    map.Put(0x120, {'c', 'a', 'm', 0, 'x', 'x', 'x', 'x'});
    return map;
}

TEST(GenICamDescription, FeaturesReadThroughTheirRegistersFormulasAndConverters)
{
    struct Case {
        const char* what;
        std::string nodes;   // the description's body; the feature asked for is always "F"
        Bytes bytes;         // at 0x1000
        std::string value;
    };
    const std::string reg = "<Integer Name='F'><pValue>R</pValue></Integer>";
    const Case cases[] = {
        {"little-endian by default", reg + Reg("IntReg", "R", "<Address>4096</Address><Length>4</Length>"), {0x80, 2, 0, 0}, "640"},
        {"address in parts and pAddress", reg + Reg("IntReg", "R", "<Address>0x0F00</Address><pAddress>Base</pAddress><Length>2</Length>"
                                                                  "<Endianess>BigEndian</Endianess>") +
                                              Reg("Integer", "Base", "<Value>0x100</Value>"), {2, 0x80}, "640"},
        {"indexed address", reg + Reg("IntReg", "R", "<Address>0x0F00</Address><pIndex Offset='0x40'>Sel</pIndex><Length>1</Length>") +
                                Reg("Integer", "Sel", "<Value>4</Value>"), {7}, "7"},
        {"inline formula address", reg + Reg("IntReg", "R", "<IntSwissKnife><pVariable Name='B'>Base</pVariable>"
                                                            "<Formula>B * 16</Formula></IntSwissKnife><Length>1</Length>") +
                                       Reg("Integer", "Base", "<Value>256</Value>"), {200}, "200"},
        {"big-endian bits counted from the top", reg + Reg("MaskedIntReg", "R", "<Address>0x1000</Address><Length>4</Length>"
                                                        "<LSB>31</LSB><MSB>16</MSB><Endianess>BigEndian</Endianess>"), {0x12, 0x34, 2, 0x80}, "640"},
        {"little-endian upper half", reg + Reg("MaskedIntReg", "R", "<Address>0x1000</Address><Length>4</Length><LSB>16</LSB>"
                                                                    "<MSB>31</MSB>"), {0x34, 0x12, 0x80, 0x02}, "640"},
        {"signed field", reg + Reg("MaskedIntReg", "R", "<Address>0x1000</Address><Length>2</Length><LSB>4</LSB><MSB>11</MSB>"
                                                        "<Sign>Signed</Sign>"), {0xEF, 0x0F}, "-2"},
        {"8-byte big-endian float", Reg("FloatReg", "F", "<Address>0x1000</Address><Length>8</Length><Endianess>BigEndian</Endianess>"),
            {0x40, 0x04, 0, 0, 0, 0, 0, 0}, "2.5"},
        {"4-byte little-endian float", Reg("FloatReg", "F", "<Address>0x1000</Address><Length>4</Length>"), {0, 0, 0xC0, 0xBF}, "-1.5"},
        {"float formula: functions, logic, guarded division", Reg("SwissKnife", "F", "<pVariable Name='X'>R</pVariable>"
            "<Expression Name='HALF'>X / 2</Expression><Constant Name='Z'>0</Constant><Formula>ROUND(HALF, 1) + TRUNC(-2.7) + "
            "ABS(NEG(1)) + (X &gt; 4 &amp;&amp; X &lt;&gt; 5) + ((Z = 0) ? 0 : 1 / Z)</Formula>") + Reg("IntReg", "R", "<Address>0x1000</Address><Length>1</Length>"), {9}, "4.5"},
        {"integer formula: shifts, masks, precedence", Reg("IntSwissKnife", "F", "<pVariable Name='X'>R</pVariable>"
            "<Formula>-(X &lt;&lt; 4 | 3) % 7 + (~X &amp; 0xF) * 2 ** 3 - 7 / 2</Formula>") +
            Reg("IntReg", "R", "<Address>0x1000</Address><Length>1</Length>"), {5}, "71"},
        {"integer converter", Reg("IntConverter", "F", "<pValue>R</pValue><FormulaTo>FROM * 4</FormulaTo>"
            "<FormulaFrom>TO / 4</FormulaFrom>") + Reg("IntReg", "R", "<Address>0x1000</Address><Length>1</Length>"), {200}, "50"},
        {"enumeration by its entry", Reg("Enumeration", "F", "<EnumEntry Name='On'><Value>3</Value></EnumEntry><pValue>R</pValue>") +
            Reg("IntReg", "R", "<Address>0x1000</Address><Length>1</Length>"), {3}, "On"},
        {"string register up to its NUL", Reg("StringReg", "F", "<Address>0x1000</Address><Length>6</Length>"), {'G', 'V', 0, 'x'}, "GV"},
        {"string constant", Reg("String", "F", "<Value>plain</Value>"), {}, "plain"},
    };
    for (const Case& c : cases) {
        RegisterMap map;
        map.Put(0x1000, c.bytes);
        const GenICam camera("<RegisterDescription>" + c.nodes + "</RegisterDescription>", map);
        EXPECT_EQ(camera.Get("F"), c.value) << c.what;
    }

    RegisterMap map = CameraRegisters();
    const GenICam camera(CAMERA, map);
    EXPECT_EQ(camera.GetInteger("PayloadSize"), 640 * 2);
    EXPECT_EQ(camera.Get("AcquisitionFrameRate"), "30.0003");
    EXPECT_EQ(camera.Get("TriggerMode"), "Off");
    EXPECT_EQ(camera.Get("Invert"), "true");
    EXPECT_EQ(camera.Get("DeviceUserID"), "cam");
    EXPECT_EQ(camera.Range("Width"), "(16 to 2048, step 4)");
    EXPECT_EQ(camera.Range("PixelFormat"), "(Mono8, Mono16)");
    EXPECT_EQ(camera.Access("SensorWidth"), "RO");
    EXPECT_EQ(camera.Access("AcquisitionStart"), "WO");
    EXPECT_EQ(camera.Access("PayloadSize"), "RO");
    EXPECT_EQ(camera.Tree(), (std::vector<std::pair<int, std::string>>{{0, "Format"}, {1, "Width"}, {1, "PixelFormat"}}));
    EXPECT_THROW(GenICam("<RegisterDescription>" + reg + reg.substr(0, 20), map), gvspfilter::RunError);
    const GenICam loop("<RegisterDescription><Integer Name='F'><pValue>F</pValue></Integer>" +
                       Reg("IntSwissKnife", "Deep", "<Formula>" + std::string(5000, '(') + "</Formula>") + "</RegisterDescription>", map);
    EXPECT_THROW(loop.Get("F"), gvspfilter::RunError);
    EXPECT_THROW(loop.Get("Deep"), gvspfilter::RunError);
}

TEST(GenICamDescription, SettingsReachTheirRegistersOrAreRefusedWithTheFeaturesRange)
{
    struct Case {
        std::string feature, value;
        uint32_t address;
        Bytes written;         // the register's bytes afterwards; empty when refused
        std::string refusal;   // the UsageError's text
    };
    const Case cases[] = {
        {"Width", "320", 0x100, {0, 0, 1, 0x40}, ""},
        {"Width", "9000", 0, {}, "Width 9000 is out of range (16 to 2048, step 4)"},
        {"Width", "322", 0, {}, "Width 322 is out of range (16 to 2048, step 4)"},
        {"Width", "wide", 0, {}, "Width takes an integer, not 'wide'"},
        {"PixelFormat", "Mono16", 0x108, {1, 0x10, 0, 7}, ""},
        {"PixelFormat", "RGB8", 0, {}, "PixelFormat has no entry 'RGB8' (Mono8, Mono16)"},
        {"AcquisitionFrameRate", "20", 0x10C, {0, 0, 0xC3, 0x50}, ""},
        {"AcquisitionFrameRate", "2000", 0, {}, "AcquisitionFramePeriod 500 is out of range (1000 to 10000000)"},
        {"TriggerMode", "On", 0x110, {0xAA, 0xAA, 0xAA, 0xAA}, ""},
        {"Invert", "false", 0x114, {123, 0}, ""},
        {"AcquisitionStart", "", 0x118, {0, 0, 0, 7}, ""},
        {"DeviceUserID", "gv", 0x120, {'g', 'v', 0, 0, 0, 0, 0, 0}, ""},
        {"DeviceUserID", "far too long", 0, {}, "DeviceUserID 'far too long' is longer than its 8 bytes"},
        {"SensorWidth", "1024", 0, {}, "SensorWidth is read-only"},
        {"PayloadSize", "1", 0, {}, "PayloadSize is read-only"},
        {"Nope", "1", 0, {}, "the camera has no feature Nope"},
    };
    for (const Case& c : cases) {
        RegisterMap map = CameraRegisters();
        const RegisterMap before = map;
        const GenICam camera(CAMERA, map);
        try {
            camera.Set(c.feature, c.value);
            EXPECT_EQ(map.Read(c.address, static_cast<uint32_t>(c.written.size())), c.written) << c.feature << "=" << c.value;
            EXPECT_TRUE(c.refusal.empty()) << c.feature << "=" << c.value;
        } catch (const gvspfilter::UsageError& e) {
            EXPECT_EQ(e.what(), c.refusal) << c.feature << "=" << c.value;
            EXPECT_EQ(map.memory, before.memory) << c.feature << "=" << c.value;
        }
    }
}

TEST(GenICamDescription, TheCameraDevicesZippedDescriptionDrivesItsOwnRegisters)
{
    const std::string xml = gvspfilter::DeviceXml();
    const std::vector<uint8_t> archive = gvspfilter::ZipFile("CameraEmulator.xml", {reinterpret_cast<const uint8_t*>(xml.data()), xml.size()});
    ASSERT_EQ(gvspfilter::UnzipXml(archive), xml);
    EXPECT_THROW(gvspfilter::UnzipXml(std::vector<uint8_t>(xml.begin(), xml.end())), gvspfilter::RunError);

    RegisterMap map;
    const GenICam camera(xml, map);
    camera.Set("Width", "320");
    camera.Execute("AcquisitionStart");
    EXPECT_EQ(map.Read(gvspfilter::REG_WIDTH, 4), (Bytes{0, 0, 1, 0x40}));
    EXPECT_EQ(map.Read(gvspfilter::REG_ACQUISITION_CONTROL, 4), (Bytes{0, 0, 0, gvspfilter::ACQUISITION_START_BIT}));

    const std::optional<gvspfilter::LocalUrl> url = gvspfilter::ParseLocalUrl("Local:camera.zip;100000;2F3A?SchemaVersion=1.1.0");
    ASSERT_TRUE(url.has_value());
    EXPECT_EQ(url->address, 0x100000u);
    EXPECT_EQ(url->length, 0x2F3Au);
    EXPECT_TRUE(url->zipped());
    EXPECT_EQ(gvspfilter::ParseLocalUrl(gvspfilter::LocalUrlText(*url))->fileName, "camera.zip");
    EXPECT_FALSE(gvspfilter::ParseLocalUrl("http://camera.example/camera.xml").has_value());
}

// A hostile camera's zipped description, nested 200,000 deep or a bomb of empty elements or of
// attributes: one clear error, no stack overflow, no tree of gigabytes.
TEST(GenICamDescription, AHostileDescriptionIsRefusedWithOneError)
{
    std::string deep;
    for (int i = 0; i < 200'000; ++i) {
        deep += "<a>";
    }
    for (int i = 0; i < 200'000; ++i) {
        deep += "</a>";
    }
    std::string bomb = "<RegisterDescription>";
    std::string attributes = "<RegisterDescription><a";
    for (size_t i = 0; i < gvspfilter::MAX_XML_NODES; ++i) {
        bomb += "<a/>";
        attributes += " b=''";
    }
    bomb += "</RegisterDescription>";
    attributes += "/></RegisterDescription>";
    const struct {
        const std::string& xml;
        std::string error;
    } cases[] = {
        {deep, "the camera's description nests elements deeper than the 256 levels it may have"},
        {bomb, "the camera's description has more than the 1000000 elements and attributes it may have"},
        {attributes, "the camera's description has more than the 1000000 elements and attributes it may have"},
    };
    for (const auto& c : cases) {
        const std::vector<uint8_t> archive = gvspfilter::ZipFile("Hostile.xml", {reinterpret_cast<const uint8_t*>(c.xml.data()), c.xml.size()});
        RegisterMap map;
        try {
            const GenICam camera(gvspfilter::UnzipXml(archive), map);
            ADD_FAILURE() << c.error;
        } catch (const gvspfilter::RunError& e) {
            EXPECT_EQ(e.what(), c.error);
        }
    }
}

}  // namespace
