// How the live command reads a camera's GenICam description: features resolved to registers and
// bits in either byte order, and the camera device's own zipped description read back.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/driver_session.h"
#include "tools/genicam.h"

namespace {

using gvspfilter::FeatureRegister;

// A description whose Width is given by `width`; the other features the live command needs are
// plain registers.
std::string Description(const std::string& width)
{
    return "<RegisterDescription>" + width +
           "<Integer Name='Height'><Value>480</Value></Integer>"
           "<Enumeration Name='PixelFormat'><EnumEntry Name='Mono8'><Value>17301505</Value></EnumEntry>"
           "<pValue>FormatReg</pValue></Enumeration>"
           "<IntReg Name='FormatReg'><Address>0x2008</Address><Length>4</Length><Endianess>BigEndian</Endianess></IntReg>"
           "<Command Name='AcquisitionStart'><pValue>StartReg</pValue><CommandValue>1</CommandValue></Command>"
           "<Command Name='AcquisitionStop'><pValue>StartReg</pValue><CommandValue>0</CommandValue></Command>"
           "<IntReg Name='StartReg'><Address>0x2010</Address><Length>4</Length><Endianess>BigEndian</Endianess></IntReg>"
           "</RegisterDescription>";
}

TEST(GenICamDescription, WidthResolvesToItsRegisterBitsInEitherByteOrder)
{
    struct Case {
        const char* what;
        std::string width;
        std::vector<uint8_t> registerBytes;
    };
    const std::string reg = "<Integer Name='Width'><pValue>WidthReg</pValue></Integer>";
    const Case cases[] = {
        {"big-endian register", reg + "<IntReg Name='WidthReg'><Address>0x1000</Address><Length>4</Length>"
                                      "<Endianess>BigEndian</Endianess></IntReg>", {0x00, 0x00, 0x02, 0x80}},
        {"little-endian by default", reg + "<IntReg Name='WidthReg'><Address>4096</Address><Length>4</Length></IntReg>",
            {0x80, 0x02, 0x00, 0x00}},
        {"address in parts", reg + "<IntReg Name='WidthReg'><Address>0x0F00</Address><Address>0x100</Address>"
                                   "<Length>4</Length></IntReg>", {0x80, 0x02, 0x00, 0x00}},
        {"big-endian bits 16 to 31 from the top", reg + "<MaskedIntReg Name='WidthReg'><Address>0x1000</Address><Length>4</Length>"
                                       "<LSB>31</LSB><MSB>16</MSB><Endianess>BigEndian</Endianess></MaskedIntReg>",
            {0x12, 0x34, 0x02, 0x80}},
        {"little-endian upper half", reg + "<MaskedIntReg Name='WidthReg'><Address>0x1000</Address><Length>4</Length>"
                                           "<LSB>16</LSB><MSB>31</MSB></MaskedIntReg>", {0x34, 0x12, 0x80, 0x02}},
        {"through another Integer", "<Integer Name='Width'><pValue>Inner</pValue></Integer>"
                                    "<Integer Name='Inner'><pValue>WidthReg</pValue></Integer>"
                                    "<IntReg Name='WidthReg'><Address>0x1000</Address><Length>2</Length>"
                                    "<Endianess>BigEndian</Endianess></IntReg>", {0x02, 0x80}},
        {"inline value", "<Integer Name='Width'><Value>640</Value></Integer>", {}},
    };
    for (const Case& c : cases) {
        const gvspfilter::CameraFeatures f = gvspfilter::ResolveFeatures(Description(c.width));
        EXPECT_EQ(f.width.Extract(c.registerBytes), 640) << c.what;
        EXPECT_EQ(f.width.constant.has_value() ? 0x1000u : f.width.address, 0x1000u) << c.what;
        EXPECT_EQ(f.height.Extract({}), 480) << c.what;
        EXPECT_EQ(f.pixelFormatNames.at(17301505), "Mono8") << c.what;
    }
    EXPECT_THROW(gvspfilter::ResolveFeatures(Description("")), gvspfilter::RunError);
    EXPECT_THROW(gvspfilter::ResolveFeatures(Description(reg + "<IntReg Name='WidthReg'><pAddress>Base</pAddress></IntReg>")),
        gvspfilter::RunError);
    EXPECT_THROW(gvspfilter::ResolveFeatures("<RegisterDescription>"), gvspfilter::RunError);
}

TEST(GenICamDescription, TheCameraDevicesZippedDescriptionDrivesItsOwnRegisters)
{
    const std::string xml = gvspfilter::DeviceXml();
    const std::vector<uint8_t> archive = gvspfilter::ZipFile("CameraEmulator.xml", {reinterpret_cast<const uint8_t*>(xml.data()), xml.size()});
    ASSERT_EQ(gvspfilter::UnzipXml(archive), xml);
    EXPECT_THROW(gvspfilter::UnzipXml(std::vector<uint8_t>(xml.begin(), xml.end())), gvspfilter::RunError);

    const gvspfilter::CameraFeatures f = gvspfilter::ResolveFeatures(xml);
    EXPECT_EQ(f.width.address, gvspfilter::REG_WIDTH);
    EXPECT_EQ(f.height.address, gvspfilter::REG_HEIGHT);
    EXPECT_EQ(f.pixelFormat.address, gvspfilter::REG_PIXEL_FORMAT);
    // The commands are single bits of one register; executing one keeps the other bit as it was.
    const std::vector<uint8_t> none = {0, 0, 0, 0};
    const std::vector<uint8_t> started = {0, 0, 0, 1};
    EXPECT_EQ(f.acquisitionStart.reg.Insert(none, f.acquisitionStart.value), (std::vector<uint8_t>{0, 0, 0, gvspfilter::ACQUISITION_START_BIT}));
    EXPECT_EQ(f.acquisitionStop.reg.Insert(started, f.acquisitionStop.value), (std::vector<uint8_t>{0, 0, 0, 3}));

    const std::optional<gvspfilter::LocalUrl> url = gvspfilter::ParseLocalUrl("Local:camera.zip;100000;2F3A?SchemaVersion=1.1.0");
    ASSERT_TRUE(url.has_value());
    EXPECT_EQ(url->address, 0x100000u);
    EXPECT_EQ(url->length, 0x2F3Au);
    EXPECT_TRUE(url->zipped());
    EXPECT_EQ(gvspfilter::ParseLocalUrl(gvspfilter::LocalUrlText(*url))->fileName, "camera.zip");
    EXPECT_FALSE(gvspfilter::ParseLocalUrl("http://camera.example/camera.xml").has_value());
}

}  // namespace
