// One camera stream as the gvspfilter command receives it through the driver: a port bound
// through the client library as a camera library binds it, the frame cache set up, frame
// requests kept in flight, and the finished frames collected, shown to the caller and returned.
// Over any process's user-mode face: the emulated machine's (tools/driver_session.h) or the real
// one on Windows. One thread drives it.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/stream_memory.h"
#include "client/gvsp_client.h"
#include "tools/command_line.h"

namespace gvspfilter {

// The four hand-over policies, named by what they do; the values are the StreamControlBlock's
// Flags bits.
enum class HandOverPolicy : uint32_t {
    Queue = 0,                                    // every finished frame, oldest first
    Newest = STREAM_FLAG_NEWEST_FRAME_ONLY,       // the newest finished frame; older ones are dropped
    Waiting = STREAM_FLAG_WAITING_REQUESTS_ONLY,  // only frames that close while a request waits
    NewestWaiting = STREAM_FLAG_NEWEST_FRAME_ONLY | STREAM_FLAG_WAITING_REQUESTS_ONLY,
};
const char* PolicyName(HandOverPolicy policy);
// The policy called `name` ("queue", "newest", "waiting", "newest-waiting"); UsageError otherwise.
HandOverPolicy ParsePolicy(const std::string& name);

struct StreamSettings {
    MacAddress adapterMac{0x00, 0x1B, 0x2C, 0x3D, 0x4E, 0xB0};
    uint16_t port = 0;            // the stream's UDP destination port, host order
    uint32_t frameSize = 0;       // payload bytes of the largest frame expected
    uint32_t packetSize = 0;      // GVSP bytes of a full data packet, header included
    uint16_t streamChannel = 0;
    uint32_t buffers = 8;         // frame buffers in the cache
    uint32_t requestsInFlight = 2;
    HandOverPolicy policy = HandOverPolicy::Queue;
    bool resend = true;
    uint32_t resendTimeoutMs = 20;
    uint16_t resendRetryLimit = 3;
    uint16_t resendSourcePort = 50001;
};

// One frame as the driver handed it over.
struct FrameRecord {
    uint64_t blockId = 0;
    uint16_t status = 0;
    uint32_t payloadBytes = 0;
};

// A frame the driver gave up without handing it over, as its frame event reported it.
struct FrameEventRecord {
    uint64_t blockId = 0;
    uint32_t eventCode = 0;     // 2 completed but reused before collected, 3 unfinished, 7 missing-packet limit
    uint16_t gvspStatus = 0;
    size_t framesBefore = 0;    // frames handed over when it was heard: its place among them
};
// Appends the frame events the driver reported for the stream since the last call.
using FrameEventSource = std::function<void(std::vector<FrameEventRecord>& to)>;

// A frame the driver was still assembling when the stream closed, as its FrameHeader showed it.
struct AssemblingRecord {
    uint64_t blockId = 0;
    uint32_t receivedPackets = 0;   // leader and trailer included
    uint32_t totalPackets = 0;      // 0 until the trailer has arrived
};

// Called for every frame handed over, while it still lies in its buffer.
using FrameSink = std::function<void(const gvsp::Frame& frame)>;

class StreamSession {
public:
    // Binds the port on the adapter, sets up the cache in `process`'s memory, starts acquisition
    // and issues the first frame requests. RunError when a step fails.
    StreamSession(gvsp::UserProcess& process, const StreamSettings& settings);
    ~StreamSession() { Close(); }
    StreamSession(const StreamSession&) = delete;
    StreamSession& operator=(const StreamSession&) = delete;

    // Takes every frame handed over since the last call, passes it to `sink`, returns it to the
    // driver and asks for the next. Returns the number taken.
    size_t Collect(const FrameSink& sink = {});
    // As Collect, after sleeping until the oldest request completes, for `milliseconds` of real
    // time at most.
    size_t WaitAndCollect(uint32_t milliseconds, const FrameSink& sink = {});

    // The stream's block; after Close, its last values.
    const StreamControlBlock& Block() const;
    // The client's stream until Close: its buffers, as a benchmark copies into the same memory.
    const gvsp::Stream& Stream() const { return *stream_; }
    // The PortId the driver gave the bound port.
    uint32_t PortId() const { return portId_; }
    const std::vector<FrameRecord>& Frames() const { return frames_; }
    uint64_t PayloadBytes() const { return payloadBytes_; }
    // Hears the driver's frame events through `source` at every Collect and at Close. Where the
    // notification does not reach this program there is no source, and no events (nullptr).
    void HearFrameEvents(FrameEventSource source) { eventSource_ = std::move(source); }
    const std::vector<FrameEventRecord>* FrameEvents() const { return eventSource_ ? &frameEvents_ : nullptr; }
    // The frames in assembly when Close began, read from their buffers.
    const std::vector<AssemblingRecord>& AssemblingAtClose() const { return assembling_; }

    // Stops acquisition, ends the requests in flight and closes the stream's handle. Idempotent.
    void Close();

private:
    void HearEvents();

    std::unique_ptr<gvsp::Stream> stream_;
    std::deque<std::unique_ptr<gvsp::PendingFrame>> pending_;
    uint32_t portId_ = 0;
    std::vector<FrameRecord> frames_;
    uint64_t payloadBytes_ = 0;
    FrameEventSource eventSource_;
    std::vector<FrameEventRecord> frameEvents_;
    std::vector<AssemblingRecord> assembling_;
    StreamControlBlock finalBlock_{};
    bool closed_ = false;
};

}  // namespace gvspfilter
