// Capture files for the gvspfilter command: libpcap reads pcap and pcapng with nanosecond time
// stamps and writes pcap. Host only.
#include "tools/capture.h"

#include <pcap/pcap.h>

#include <algorithm>
#include <cstdio>

#include "tools/driver_session.h"

namespace gvspfilter {

namespace {

constexpr size_t ETHERNET_HEADER = 14;
constexpr size_t COOKED_HEADER = 16;      // Linux cooked: type, address type, length, address, protocol
constexpr size_t COOKED_V2_HEADER = 20;   // v2: protocol, reserved, interface, address type, type, length, address

// The Ethernet frame behind a Linux cooked header: the source address is the one the header
// carries, the destination (not recorded) is zero, the EtherType is the header's protocol.
std::vector<uint8_t> EthernetFromCooked(const uint8_t* data, size_t length, bool version2)
{
    const size_t header = version2 ? COOKED_V2_HEADER : COOKED_HEADER;
    if (length < header) {
        return {};
    }
    const size_t addressLength = version2 ? data[11] : ((size_t(data[4]) << 8) | data[5]);
    const uint8_t* address = data + (version2 ? 12 : 6);
    const uint8_t* protocol = data + (version2 ? 0 : 14);
    std::vector<uint8_t> frame(ETHERNET_HEADER + length - header, 0);
    if (addressLength == 6) {
        std::copy(address, address + 6, frame.begin() + 6);
    }
    frame[12] = protocol[0];
    frame[13] = protocol[1];
    std::copy(data + header, data + length, frame.begin() + ETHERNET_HEADER);
    return frame;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Reading.
CaptureReader::CaptureReader(const std::string& path) : path_(path)
{
    char error[PCAP_ERRBUF_SIZE] = {};
    handle_ = pcap_open_offline_with_tstamp_precision(path.c_str(), PCAP_TSTAMP_PRECISION_NANO, error);
    if (handle_ == nullptr) {
        // libpcap names the file when it cannot open it, not when it cannot read it.
        const std::string reason = error;
        throw UsageError(reason.find(path) == std::string::npos ? path + ": " + reason : reason);
    }
    linkType_ = pcap_datalink(handle_);
    if (linkType_ != DLT_EN10MB && linkType_ != DLT_LINUX_SLL && linkType_ != DLT_LINUX_SLL2) {
        const char* name = pcap_datalink_val_to_name(linkType_);
        pcap_close(handle_);
        handle_ = nullptr;
        throw UsageError(path + ": link type " + (name != nullptr ? name : std::to_string(linkType_)) +
                         " is not Ethernet or Linux cooked");
    }
}

CaptureReader::~CaptureReader()
{
    if (handle_ != nullptr) {
        pcap_close(handle_);
    }
}

const char* CaptureReader::LinkTypeName() const
{
    switch (linkType_) {
    case DLT_LINUX_SLL: return "Linux cooked";
    case DLT_LINUX_SLL2: return "Linux cooked v2";
    default: return "Ethernet";
    }
}

bool CaptureReader::Next(CapturedFrame* frame)
{
    pcap_pkthdr* header = nullptr;
    const u_char* data = nullptr;
    const int result = pcap_next_ex(handle_, &header, &data);
    if (result == PCAP_ERROR_BREAK) {
        return false;
    }
    if (result != 1) {
        throw UsageError(path_ + ": " + pcap_geterr(handle_));
    }
    // With nanosecond precision libpcap puts nanoseconds in tv_usec. A hostile capture's time (a
    // pcapng interface's time offset included) saturates at 0 and about the year 2262, so that
    // neither the time nor the difference of two overflows.
    constexpr int64_t NS_PER_S = 1'000'000'000;
    const int64_t seconds = std::clamp<int64_t>(header->ts.tv_sec, 0, INT64_MAX / NS_PER_S - 1);
    frame->timeNs = seconds * NS_PER_S + std::clamp<int64_t>(header->ts.tv_usec, 0, NS_PER_S - 1);
    frame->cut = header->caplen < header->len;
    if (linkType_ == DLT_EN10MB) {
        frame->bytes.assign(data, data + header->caplen);
    } else {
        frame->bytes = EthernetFromCooked(data, header->caplen, linkType_ == DLT_LINUX_SLL2);
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Writing.
CaptureWriter::CaptureWriter(const std::string& path) : path_(path)
{
    constexpr int SNAP_LENGTH = 262144;
    handle_ = pcap_open_dead(DLT_EN10MB, SNAP_LENGTH);
    if (handle_ == nullptr) {
        throw UsageError(path + ": cannot set up a pcap writer");
    }
    dumper_ = pcap_dump_open(handle_, path.c_str());
    if (dumper_ == nullptr) {
        const std::string reason = pcap_geterr(handle_);
        pcap_close(handle_);
        handle_ = nullptr;
        throw UsageError(reason.find(path) == std::string::npos ? path + ": " + reason : reason);
    }
}

CaptureWriter::~CaptureWriter()
{
    if (dumper_ != nullptr) {
        pcap_dump_close(dumper_);
    }
    if (handle_ != nullptr) {
        pcap_close(handle_);
    }
}

void CaptureWriter::Write(int64_t timeNs, const std::vector<uint8_t>& frame)
{
    pcap_pkthdr header{};
    header.ts.tv_sec = static_cast<time_t>(timeNs / 1'000'000'000);
    header.ts.tv_usec = static_cast<suseconds_t>(timeNs % 1'000'000'000 / 1000);
    header.caplen = static_cast<bpf_u_int32>(frame.size());
    header.len = header.caplen;
    pcap_dump(reinterpret_cast<u_char*>(dumper_), &header, frame.data());
}

void CaptureWriter::Close()
{
    if (dumper_ == nullptr) {
        return;
    }
    const bool flushed = pcap_dump_flush(dumper_) == 0 && std::ferror(pcap_dump_file(dumper_)) == 0;
    pcap_dump_close(dumper_);
    dumper_ = nullptr;
    pcap_close(handle_);
    handle_ = nullptr;
    if (!flushed) {
        throw RunError(path_ + ": the sent packets could not be written");
    }
}

}  // namespace gvspfilter
