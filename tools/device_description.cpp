// The camera device's own GenICam description, and the zip archive it serves it in (libzip).
// Host only.
#include <zip.h>

#include <cstdio>
#include <utility>

#include "camera/wire.h"
#include "tools/command_line.h"
#include "tools/genicam.h"
#include "tools/gvcp.h"

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
    // A register node of the Device port; bits count from the register's most significant bit in
    // a big-endian register, so bit 31 is its least significant.
    const auto reg = [](const std::string& kind, const std::string& name, uint32_t address, uint32_t length,
                         const char* access, const std::string& extra = "") {
        const bool integer = kind == "IntReg" || kind == "MaskedIntReg";
        return "  <" + kind + " Name=\"" + name + "\">\n    <Address>" + Hex(address) + "</Address>\n    <Length>" +
               std::to_string(length) + "</Length>\n    <AccessMode>" + access + "</AccessMode>\n    <pPort>Device</pPort>\n" +
               extra + (integer ? "    <Sign>Unsigned</Sign>\n" : "") +
               (kind == "StringReg" ? "" : "    <Endianess>BigEndian</Endianess>\n") + "  </" + kind + ">\n";
    };
    const auto bits = [](uint32_t msb, uint32_t lsb) {
        return msb == lsb ? "    <Bit>" + std::to_string(lsb) + "</Bit>\n"
                          : "    <LSB>" + std::to_string(lsb) + "</LSB>\n    <MSB>" + std::to_string(msb) + "</MSB>\n";
    };
    // A feature node in the standard name space; `body` holds its value, range and such.
    const auto feature = [](const std::string& kind, const std::string& name, const std::string& body) {
        return "  <" + kind + " Name=\"" + name + "\" NameSpace=\"Standard\">\n" + body + "  </" + kind + ">\n";
    };
    const auto enumeration = [&](const std::string& name, const std::vector<std::pair<std::string, uint32_t>>& entries,
                                 const std::string& value) {
        std::string body;
        for (const auto& [entry, code] : entries) {
            body += "    <EnumEntry Name=\"" + entry + "\">\n      <Value>" + std::to_string(code) + "</Value>\n    </EnumEntry>\n";
        }
        return feature("Enumeration", name, body + value);
    };
    const auto category = [&](const std::string& name, const std::vector<std::string>& features) {
        std::string body;
        for (const std::string& f : features) {
            body += "    <pFeature>" + f + "</pFeature>\n";
        }
        return feature("Category", name, body);
    };
    const auto pValue = [](const std::string& node) { return "    <pValue>" + node + "</pValue>\n"; };
    const auto text = [](const char* element, const std::string& value) {
        return std::string("    <") + element + ">" + value + "</" + element + ">\n";
    };
    // Width's and OffsetX's upper bounds leave the other within the sensor.
    const auto rest = [&](const std::string& name, const char* sensor, const char* other) {
        return "  <IntSwissKnife Name=\"" + name + "\" NameSpace=\"Standard\">\n    <pVariable Name=\"SENSOR\">" + sensor +
               "</pVariable>\n    <pVariable Name=\"OTHER\">" + other + "</pVariable>\n" + text("Formula", "SENSOR-OTHER") +
               "  </IntSwissKnife>\n";
    };
    const std::string command = text("CommandValue", "1");

    std::string xml =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
        "<RegisterDescription ModelName=\"CameraEmulator\" VendorName=\"GvspFilter\" StandardNameSpace=\"GEV\"\n"
        "    SchemaMajorVersion=\"1\" SchemaMinorVersion=\"1\" SchemaSubMinorVersion=\"0\"\n"
        "    MajorVersion=\"1\" MinorVersion=\"1\" SubMinorVersion=\"0\" ToolTip=\"GvspFilter camera emulator\"\n"
        "    ProductGuid=\"6A1F3C1E-2D53-4C1B-9B0E-3F6C2E7A9D10\" VersionGuid=\"0B7E5D2A-8C41-4E6F-A3B9-1D2C4E6F8A02\"\n"
        "    xmlns=\"http://www.genicam.org/GenApi/Version_1_1\">\n";
    xml += category("Root", {"DeviceControl", "ImageFormatControl", "AcquisitionControl", "AnalogControl", "TransportLayerControl"});
    xml += category("DeviceControl", {"DeviceVendorName", "DeviceModelName", "DeviceVersion", "DeviceSerialNumber", "DeviceUserID"});
    xml += reg("StringReg", "DeviceVendorName", REG_MANUFACTURER, 32, "RO");
    xml += reg("StringReg", "DeviceModelName", REG_MODEL, 32, "RO");
    xml += reg("StringReg", "DeviceVersion", REG_DEVICE_VERSION, 32, "RO");
    xml += reg("StringReg", "DeviceSerialNumber", REG_SERIAL, 16, "RO");
    xml += reg("StringReg", "DeviceUserID", REG_USER_NAME, 16, "RW");

    xml += category("ImageFormatControl",
        {"SensorWidth", "SensorHeight", "WidthMax", "HeightMax", "Width", "Height", "OffsetX", "OffsetY", "PixelFormat", "PayloadSize"});
    xml += feature("Integer", "SensorWidth", text("ImposedAccessMode", "RO") + text("Value", std::to_string(SENSOR_WIDTH)));
    xml += feature("Integer", "SensorHeight", text("ImposedAccessMode", "RO") + text("Value", std::to_string(SENSOR_HEIGHT)));
    xml += rest("WidthMax", "SensorWidth", "OffsetXReg");
    xml += rest("HeightMax", "SensorHeight", "OffsetYReg");
    xml += rest("OffsetXMax", "SensorWidth", "WidthReg");
    xml += rest("OffsetYMax", "SensorHeight", "HeightReg");
    xml += feature("Integer", "Width", pValue("WidthReg") + text("Min", "1") + text("pMax", "WidthMax"));
    xml += feature("Integer", "Height", pValue("HeightReg") + text("Min", "1") + text("pMax", "HeightMax"));
    xml += feature("Integer", "OffsetX", pValue("OffsetXReg") + text("Min", "0") + text("pMax", "OffsetXMax"));
    xml += feature("Integer", "OffsetY", pValue("OffsetYReg") + text("Min", "0") + text("pMax", "OffsetYMax"));
    xml += enumeration("PixelFormat",
        {{"Mono8", camera::PIXEL_FORMAT_MONO8}, {"Mono16", camera::PIXEL_FORMAT_MONO16}, {"RGB8", camera::PIXEL_FORMAT_RGB8}},
        pValue("PixelFormatReg"));
    xml += feature("Integer", "PayloadSize", pValue("PayloadSizeReg"));
    xml += reg("IntReg", "WidthReg", REG_WIDTH, 4, "RW");
    xml += reg("IntReg", "HeightReg", REG_HEIGHT, 4, "RW");
    xml += reg("IntReg", "OffsetXReg", REG_OFFSET_X, 4, "RW");
    xml += reg("IntReg", "OffsetYReg", REG_OFFSET_Y, 4, "RW");
    xml += reg("IntReg", "PixelFormatReg", REG_PIXEL_FORMAT, 4, "RW");
    xml += reg("IntReg", "PayloadSizeReg", REG_PAYLOAD_SIZE, 4, "RO");

    xml += category("AcquisitionControl", {"AcquisitionMode", "AcquisitionStart", "AcquisitionStop", "AcquisitionFrameRate",
        "ExposureTime", "TriggerSelector", "TriggerMode", "TriggerSource", "TriggerSoftware"});
    xml += enumeration("AcquisitionMode", {{"Continuous", 0}}, pValue("AcquisitionModeReg"));
    xml += feature("Command", "AcquisitionStart", pValue("AcquisitionStartReg") + command);
    xml += feature("Command", "AcquisitionStop", pValue("AcquisitionStopReg") + command);
    xml += feature("Float", "AcquisitionFrameRate",
        pValue("AcquisitionFrameRateReg") + text("Min", "0.1") + text("Max", "1000") + text("Unit", "Hz"));
    xml += feature("Float", "ExposureTime", pValue("ExposureTimeReg") + text("Min", "10") + text("Max", "1000000") + text("Unit", "us"));
    // One trigger, started by software: what a client selects before turning it on.
    xml += enumeration("TriggerSelector", {{"FrameStart", 0}}, text("Value", "0"));
    xml += enumeration("TriggerMode", {{"Off", 0}, {"On", 1}}, pValue("TriggerModeReg"));
    xml += enumeration("TriggerSource", {{"Software", 0}}, text("Value", "0"));
    xml += feature("Command", "TriggerSoftware", pValue("TriggerSoftwareReg") + command);
    xml += reg("IntReg", "AcquisitionModeReg", REG_ACQUISITION_MODE, 4, "RW");
    xml += reg("MaskedIntReg", "AcquisitionStartReg", REG_ACQUISITION_CONTROL, 4, "WO", bits(31, 31));
    xml += reg("MaskedIntReg", "AcquisitionStopReg", REG_ACQUISITION_CONTROL, 4, "WO", bits(30, 30));
    xml += reg("MaskedIntReg", "TriggerSoftwareReg", REG_ACQUISITION_CONTROL, 4, "WO", bits(29, 29));
    xml += reg("FloatReg", "AcquisitionFrameRateReg", REG_ACQUISITION_FRAME_RATE, 4, "RW");
    xml += reg("FloatReg", "ExposureTimeReg", REG_EXPOSURE_TIME, 4, "RW");
    xml += reg("IntReg", "TriggerModeReg", REG_TRIGGER_MODE, 4, "RW");

    xml += category("AnalogControl", {"Gain"});
    xml += feature("Float", "Gain", pValue("GainReg") + text("Min", "0") + text("Max", "24") + text("Unit", "dB"));
    xml += reg("FloatReg", "GainReg", REG_GAIN, 4, "RW");

    xml += category("TransportLayerControl", {"GevTimestampTickFrequency", "GevTimestampControlLatch",
        "GevTimestampControlReset", "GevTimestampValue", "GevHeartbeatTimeout", "GevCCP", "GevSCPHostPort",
        "GevSCDA", "GevSCSP", "GevSCPSPacketSize", "GevSCPD"});
    xml += feature("Integer", "GevTimestampTickFrequency", pValue("GevTimestampTickFrequencyReg"));
    xml += feature("Command", "GevTimestampControlLatch", pValue("GevTimestampControlReg") + text("CommandValue", "2"));
    xml += feature("Command", "GevTimestampControlReset", pValue("GevTimestampControlReg") + command);
    xml += feature("Integer", "GevTimestampValue", pValue("GevTimestampValueReg"));
    xml += feature("Integer", "GevHeartbeatTimeout", pValue("GevHeartbeatTimeoutReg") + text("Min", "500") + text("Unit", "ms"));
    xml += enumeration("GevCCP", {{"OpenAccess", 0}, {"ExclusiveAccess", 1}, {"ControlAccess", 2}}, pValue("GevCCPReg"));
    xml += feature("Integer", "GevSCPHostPort", pValue("GevSCPHostPortReg"));
    xml += feature("Integer", "GevSCDA", pValue("GevSCDAReg"));
    xml += feature("Integer", "GevSCSP", pValue("GevSCSPReg"));
    xml += feature("Integer", "GevSCPSPacketSize", pValue("GevSCPSPacketSizeReg") + text("Min", "576") + text("Max", "16000"));
    xml += feature("Integer", "GevSCPD", pValue("GevSCPDReg") + text("Unit", "us"));
    xml += reg("IntReg", "GevTimestampTickFrequencyReg", REG_TIMESTAMP_FREQUENCY_HIGH, 8, "RO");
    xml += reg("IntReg", "GevTimestampControlReg", REG_TIMESTAMP_CONTROL, 4, "WO");
    xml += reg("IntReg", "GevTimestampValueReg", REG_TIMESTAMP_VALUE_HIGH, 8, "RO");
    xml += reg("IntReg", "GevHeartbeatTimeoutReg", REG_HEARTBEAT_TIMEOUT, 4, "RW");
    xml += reg("IntReg", "GevCCPReg", REG_CCP, 4, "RW");
    xml += reg("MaskedIntReg", "GevSCPHostPortReg", REG_SCP0, 4, "RW", bits(16, 31));
    xml += reg("IntReg", "GevSCDAReg", REG_SCDA0, 4, "RW");
    xml += reg("IntReg", "GevSCSPReg", REG_SCSP0, 4, "RO");
    xml += reg("MaskedIntReg", "GevSCPSPacketSizeReg", REG_SCPS0, 4, "RW", bits(16, 31));
    xml += reg("IntReg", "GevSCPDReg", REG_SCPD0, 4, "RW");
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
