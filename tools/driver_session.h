// The driver as the gvspfilter command runs it on the host: GvspFilter loaded on an emulated
// machine with one adapter, and one stream through it (tools/stream_session.h). Host only, one
// thread drives it (the adapter's receive path may be indicated from another).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "host/io/errorlog.h"
#include "host/ndis/ndis.h"
#include "tools/stream_session.h"

namespace gvspfilter {

class Reporter;

struct SessionSettings : StreamSettings {
    uint32_t adapterMtu = 9000;
    bool virtualClock = true;     // the machine's clock moves only by Advance (demo, replay)
    bool recordDataPath = true;   // the adapter keeps the records of its data path (host::AdapterConfig)
};

// The emulated machine beneath a DriverSession, with the driver loaded, the adapter attached and
// the stream's user process: built before the stream and taken down after it.
class EmulatedMachine {
protected:
    // RunError when the driver does not load.
    explicit EmulatedMachine(const SessionSettings& settings);
    // Unloads the driver if Unload has not; the machine's final checks run.
    ~EmulatedMachine();
    EmulatedMachine(const EmulatedMachine&) = delete;
    EmulatedMachine& operator=(const EmulatedMachine&) = delete;

    // Unloads the driver and ends the machine; the event log and the checker's findings are kept.
    void Unload();

    struct Machine;
    std::unique_ptr<Machine> machine_;
    host::Adapter* adapter_ = nullptr;
    std::vector<std::string> findings_;
    std::vector<host::EventLogEntry> events_;
    int64_t startCounts_ = 0;
};

class DriverSession : private EmulatedMachine, public StreamSession {
public:
    // Loads the driver on a new machine, attaches the adapter, then binds the port, sets up the
    // cache, starts acquisition and issues the first frame requests. RunError when a step fails.
    explicit DriverSession(const SessionSettings& settings);
    ~DriverSession() { Close(); }

    const SessionSettings& Settings() const { return settings_; }
    // The simulated adapter below the filter: indicate received frames on it, read what the
    // driver sent from it.
    host::Adapter& Adapter() { return *adapter_; }
    // Moves the virtual clock on by `microseconds`; the driver's worker runs its passes.
    void Advance(int64_t microseconds);
    // Seconds of the machine's clock since the session opened.
    double ClockSeconds() const;
    // The process the stream lives in, where more streams can be bound.
    host::UserProcess& Process() const;

    // Closes the stream and unloads the driver; the machine's final checks run. Idempotent. The
    // event log and the checker's findings stay readable.
    void Close();
    // The event log so far (after Close: the whole run's).
    std::vector<host::EventLogEntry> Events() const;
    // What the checker found (rule and text); empty for a clean run.
    const std::vector<std::string>& CheckerFindings() const { return findings_; }
    // IP-fragmented datagrams that reached the stream's port (the driver's own count, read as a
    // kernel debugger would; kept at Close): the camera's packets exceed the path's MTU.
    uint32_t FragmentedDatagrams() const;

private:
    const SessionSettings settings_;
    bool closed_ = false;
    uint32_t finalFragments_ = 0;
};

// Ends a run on the emulated machine: closes the session, adds its event log, checker findings
// and fragmented datagrams to the report, finishes it (Reporter::Finish) and keeps the event log
// for `gvspfilter events`. Returns the exit status.
int FinishReport(Reporter& reporter, DriverSession& session, uint64_t expectedComplete);

// The event log of a run as the event viewer shows it: one line per entry with time, level,
// source, event id and the rendered message.
std::string FormatEvents(const nlohmann::json& events);
// Where a run keeps its event log for `gvspfilter events`.
std::string LastRunEventsPath();

}  // namespace gvspfilter
