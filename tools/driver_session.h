// The driver as the gvspfilter command runs it: GvspFilter loaded on an emulated machine with
// one adapter, one stream bound through the client library as a camera library binds it, and
// the finished frames collected, shown to the caller and returned. Host only, one thread drives
// it (the adapter's receive path may be indicated from another).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "client/gvsp_client.h"
#include "control/stream_memory.h"
#include "host/io/errorlog.h"
#include "host/ndis/ndis.h"
#include "host/verifier/checker.h"
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

struct SessionSettings {
    MacAddress adapterMac{0x00, 0x1B, 0x2C, 0x3D, 0x4E, 0xB0};
    uint32_t adapterMtu = 9000;
    bool virtualClock = true;     // the machine's clock moves only by Advance (demo, replay)

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

// Called for every frame handed over, while it still lies in its buffer.
using FrameSink = std::function<void(const gvsp::Frame& frame)>;

class DriverSession {
public:
    // Loads the driver on a new machine, attaches the adapter, binds the port, sets up the cache,
    // starts acquisition and issues the first frame requests. RunError when a step fails.
    explicit DriverSession(const SessionSettings& settings);
    ~DriverSession();
    DriverSession(const DriverSession&) = delete;
    DriverSession& operator=(const DriverSession&) = delete;

    const SessionSettings& Settings() const { return settings_; }
    // The simulated adapter below the filter: indicate received frames on it, read what the
    // driver sent from it.
    host::Adapter& Adapter() { return *adapter_; }
    // Moves the virtual clock on by `microseconds`; the driver's worker runs its passes.
    void Advance(int64_t microseconds);
    // Seconds of the machine's clock since the session opened.
    double ClockSeconds() const;

    // Takes every frame handed over since the last call, passes it to `sink`, returns it to the
    // driver and asks for the next. Returns the number taken.
    size_t Collect(const FrameSink& sink = {});
    // As Collect, after waiting up to `milliseconds` of real time for the oldest request.
    size_t WaitAndCollect(uint32_t milliseconds, const FrameSink& sink = {});

    // The process the stream lives in, where more streams can be bound.
    host::UserProcess& Process() const;
    const StreamControlBlock& Block() const;
    // The client's stream: its buffers, as a benchmark copies into the same memory.
    const gvsp::Stream& Stream() const;
    const std::vector<FrameRecord>& Frames() const { return frames_; }
    uint64_t PayloadBytes() const { return payloadBytes_; }

    // Stops acquisition, closes the stream and unloads the driver; the machine's final checks
    // run. Idempotent. The event log and the checker's findings stay readable.
    void Close();
    // The event log so far (after Close: the whole run's).
    std::vector<host::EventLogEntry> Events() const;
    // What the checker found (rule and text); empty for a clean run.
    const std::vector<std::string>& CheckerFindings() const { return findings_; }
    // The last values of the block's counters, kept at Close.
    const StreamControlBlock& FinalBlock() const { return finalBlock_; }
    // IP-fragmented datagrams that reached the stream's port (the driver's own count, read as a
    // kernel debugger would; kept at Close): the camera's packets exceed the path's MTU.
    uint32_t FragmentedDatagrams() const;

private:
    struct Machine;
    void Open();

    SessionSettings settings_;
    std::unique_ptr<Machine> machine_;
    host::Adapter* adapter_ = nullptr;
    std::vector<FrameRecord> frames_;
    uint64_t payloadBytes_ = 0;
    std::vector<std::string> findings_;
    std::vector<host::EventLogEntry> events_;
    StreamControlBlock finalBlock_{};
    bool closed_ = false;
    int64_t startCounts_ = 0;
    uint32_t portId_ = 0;
    uint32_t finalFragments_ = 0;
};

}  // namespace gvspfilter
