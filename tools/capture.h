// Capture files for the gvspfilter command: pcap and pcapng read through libpcap as Ethernet
// frames with nanosecond time stamps, and pcap written. Host only.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct pcap;
struct pcap_dumper;

namespace gvspfilter {

// One frame of a capture, as the Ethernet frame a NIC would have received.
struct CapturedFrame {
    int64_t timeNs = 0;          // the capture's time stamp, nanoseconds since 1970
    std::vector<uint8_t> bytes;  // Ethernet header first
    bool cut = false;            // the capture kept fewer bytes than the frame had (snap length)
};

// Reads a pcap or pcapng file front to back. Ethernet captures are taken as they are; Linux
// cooked captures get an Ethernet header rebuilt from theirs (destination address zero).
class CaptureReader {
public:
    // UsageError with one line naming the file when it is missing, unreadable, truncated in its
    // header or of another link type.
    explicit CaptureReader(const std::string& path);
    ~CaptureReader();
    CaptureReader(const CaptureReader&) = delete;
    CaptureReader& operator=(const CaptureReader&) = delete;

    // The next frame; false at the end. UsageError when the file is truncated or damaged.
    bool Next(CapturedFrame* frame);
    // "Ethernet", "Linux cooked", "Linux cooked v2".
    const char* LinkTypeName() const;

private:
    std::string path_;
    pcap* handle_ = nullptr;
    int linkType_ = 0;
};

// Writes Ethernet frames to a pcap file with microsecond time stamps.
class CaptureWriter {
public:
    // UsageError when the file cannot be created.
    explicit CaptureWriter(const std::string& path);
    ~CaptureWriter();
    CaptureWriter(const CaptureWriter&) = delete;
    CaptureWriter& operator=(const CaptureWriter&) = delete;

    void Write(int64_t timeNs, const std::vector<uint8_t>& frame);
    // Flushes and closes; RunError when the data could not be written. Idempotent.
    void Close();

private:
    std::string path_;
    pcap* handle_ = nullptr;
    pcap_dumper* dumper_ = nullptr;
};

}  // namespace gvspfilter
