// The driver as the gvspfilter command runs it: one emulated machine, one adapter, one stream
// bound through the client library; and what a run on it adds to the report. Host only.
#include "tools/driver_session.h"

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>

#include "base/control_interface.h"
#include "base/stream_port.h"
#include "driver/handlers.h"
#include "host/io/io.h"
#include "host/kernel/kernel.h"
#include "host/machine.h"
#include "host/verifier/checker.h"
#include "tools/report.h"

namespace gvspfilter {

namespace {

// The event viewer's level of an entry: the severity in the top two bits of its message id.
const char* Level(uint32_t messageId)
{
    switch (messageId >> 30) {
    case 2:
        return "Warning";
    case 3:
        return "Error";
    default:
        return "Information";
    }
}

std::string LocalTime(std::chrono::system_clock::time_point when)
{
    const std::time_t t = std::chrono::system_clock::to_time_t(when);
    std::tm local{};
    localtime_r(&t, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

nlohmann::json EventsJson(const std::vector<host::EventLogEntry>& entries)
{
    nlohmann::json events = nlohmann::json::array();
    for (const host::EventLogEntry& e : entries) {
        std::string message = e.Render();
        while (!message.empty() && (message.back() == '\n' || message.back() == '\r')) {
            message.pop_back();
        }
        events.push_back({{"time", LocalTime(e.Written())}, {"level", Level(e.ErrorCode())}, {"source", e.Source()},
            {"id", e.ErrorCode() & 0xFFFF}, {"symbol", e.Symbol()}, {"unique_value", e.UniqueErrorValue()},
            {"message", message}});
    }
    return events;
}

// Appends the frame events of port `portId` that `listener` heard since the `seen` first
// notifications: the FrameEventData of each frame-event notification.
void TakeFrameEvents(const host::DeviceNotificationListener& listener, uint32_t portId, size_t& seen,
    std::vector<FrameEventRecord>& to)
{
    if (listener.Count() == seen) {
        return;
    }
    constexpr size_t DATA_AT = offsetof(TARGET_DEVICE_CUSTOM_NOTIFICATION, CustomDataBuffer);
    const std::vector<std::vector<uint8_t>> received = listener.Received();
    for (; seen < received.size(); ++seen) {
        FrameEventData data{};
        if (received[seen].size() != DATA_AT + sizeof data) {
            continue;
        }
        std::memcpy(&data, received[seen].data() + DATA_AT, sizeof data);
        if (data.Version == FRAME_EVENT_DATA_VERSION && data.Kind == FRAME_EVENT_DATA_KIND && data.PortId == portId) {
            to.push_back({.blockId = data.BlockId, .eventCode = data.EventCode, .gvspStatus = data.GvspStatus});
        }
    }
}

}  // namespace

// The emulated machine with the driver loaded and the stream's user process.
struct EmulatedMachine::Machine {
    explicit Machine(bool virtualClock)
        : machine(host::MachineOptions{.virtualClock = virtualClock, .clockStart = host::PERFORMANCE_FREQUENCY})
    {
    }
    host::Machine machine;
    host::UserProcess* process = nullptr;
    // A program registered on the volume the driver reports frame events on.
    std::shared_ptr<host::DeviceNotificationListener> frameEvents;
    size_t frameEventsSeen = 0;
};

EmulatedMachine::EmulatedMachine(const SessionSettings& settings)
{
    host::SetViolationHandler([this](const host::Violation& violation) {
        findings_.push_back(std::string(host::RuleName(violation.rule)) + ": " + violation.what);
    });
    try {
        machine_ = std::make_unique<Machine>(settings.virtualClock);
        host::AdapterConfig adapter;
        adapter.mac = settings.adapterMac;
        adapter.mtu = settings.adapterMtu;
        adapter.recordDataPath = settings.recordDataPath;
        adapter.friendlyName = u"Camera port";
        adapter.deviceName = u"\\DEVICE\\{5A0C6E31-0B1D-4B7C-9A55-00000000CA11}";
        adapter_ = &host::AddAdapter(adapter);
        // The volume manager's first volume, as every Windows machine has it: the driver finds it
        // at load and reports frame events on it.
        PDRIVER_OBJECT volumeManager = host::CreateDriverObject(u"\\Driver\\volmgr");
        PDEVICE_OBJECT volume = host::CreateDevice(volumeManager, u"\\Device\\HarddiskVolume1");
        machine_->frameEvents = host::RegisterDeviceNotificationListener(volume);

        const uint64_t delays = host::SystemThreadSleeps();
        const NTSTATUS status = machine_->machine.LoadDriver(DriverEntry, u"kxGenICamForEthernet", {POOL_TAG, NAME_QUERY_TAG});
        if (!NT_SUCCESS(status)) {
            throw RunError("the driver did not load (status " + StatusText(status) + ")");
        }
        if (settings.virtualClock) {
            // From its first sleep on, the worker runs its passes only when the clock is moved.
            host::WaitForSystemThreadSleeps(delays + 1);
        }
        startCounts_ = host::CounterNow();
        machine_->process = &machine_->machine.NewProcess();
    } catch (...) {
        // The machine's end unloads the driver and runs its checks while the handler still
        // has somewhere to put what they find.
        machine_.reset();
        host::SetViolationHandler({});
        throw;
    }
}

EmulatedMachine::~EmulatedMachine()
{
    Unload();
    host::SetViolationHandler({});
}

void EmulatedMachine::Unload()
{
    if (machine_ == nullptr) {
        return;
    }
    machine_->machine.UnloadDriver();
    events_ = host::TheEventLog().Entries();
    // The machine's end runs the final checks: pool, handles, threads, lists.
    machine_.reset();
}

DriverSession::DriverSession(const SessionSettings& settings)
    : EmulatedMachine(settings), StreamSession(*machine_->process, settings), settings_(settings)
{
    HearFrameEvents([this](std::vector<FrameEventRecord>& to) {
        TakeFrameEvents(*machine_->frameEvents, PortId(), machine_->frameEventsSeen, to);
    });
}

void DriverSession::Advance(int64_t microseconds)
{
    if (settings_.virtualClock && microseconds > 0) {
        host::AdvanceClock(microseconds);
    }
}

double DriverSession::ClockSeconds() const
{
    return double(host::CounterNow() - startCounts_) / double(host::PERFORMANCE_FREQUENCY);
}

host::UserProcess& DriverSession::Process() const { return *machine_->process; }

uint32_t DriverSession::FragmentedDatagrams() const
{
    if (closed_) {
        return finalFragments_;
    }
    // The PortId names the adapter's slot in AdapterTable and the port's slot in the adapter.
    const FilterAdapter* adapter = DriverGlobals.AdapterTable[(PortId() >> 16) - 1];
    const StreamPort* port = adapter != nullptr ? adapter->StreamPorts[(PortId() & 0xFFFF) - 1] : nullptr;
    return port != nullptr ? static_cast<uint32_t>(port->FragmentedDatagrams) : 0;
}

void DriverSession::Close()
{
    if (closed_) {
        return;
    }
    finalFragments_ = FragmentedDatagrams();
    StreamSession::Close();
    Unload();
    closed_ = true;
}

std::vector<host::EventLogEntry> DriverSession::Events() const
{
    return closed_ ? events_ : host::TheEventLog().Entries();
}

int FinishReport(Reporter& reporter, DriverSession& session, uint64_t expectedComplete)
{
    const double streamSeconds = session.ClockSeconds();
    session.Close();
    if (session.FragmentedDatagrams() != 0) {
        reporter.Problem(std::to_string(session.FragmentedDatagrams()) +
                         " IP-fragmented datagrams reached the stream's port: the camera's packet size exceeds the "
                         "path's MTU; lower it or raise the MTU");
    }
    reporter.Add("fragmented_datagrams", session.FragmentedDatagrams());
    const nlohmann::json events = EventsJson(session.Events());
    reporter.Add("events", events);
    reporter.Line("event log", std::to_string(events.size()) + " entries (gvspfilter events shows them)");
    const std::vector<std::string>& findings = session.CheckerFindings();
    reporter.Add("checker", findings);
    std::string checker = findings.empty() ? "clean" : std::to_string(findings.size()) + " findings";
    for (const std::string& finding : findings) {
        checker += "\n    " + finding;
    }
    // A finding of the checker fails the run.
    reporter.Line("checker", checker, !findings.empty());
    const int exitStatus = reporter.Finish(session, expectedComplete, streamSeconds);

    // The event log is kept for `gvspfilter events`; a run that cannot keep it still reports.
    const std::string eventsPath = LastRunEventsPath();
    std::error_code error;
    std::filesystem::create_directories(std::filesystem::path(eventsPath).parent_path(), error);
    std::ofstream kept(eventsPath);
    kept << nlohmann::json{{"command", reporter.Command()}, {"events", events}}.dump(2) << "\n";
    return exitStatus;
}

std::string FormatEvents(const nlohmann::json& events)
{
    std::string out;
    char line[96];
    std::snprintf(line, sizeof line, "%-19s  %-11s  %-20s  %8s  %s\n", "Date and Time", "Level", "Source", "Event ID",
        "Message");
    out += line;
    for (const nlohmann::json& e : events) {
        std::snprintf(line, sizeof line, "%-19s  %-11s  %-20s  %8u  ", e.value("time", "").c_str(),
            e.value("level", "").c_str(), e.value("source", "").c_str(), e.value("id", 0u));
        out += line;
        out += e.value("message", "");
        out += "\n";
    }
    return out;
}

std::string LastRunEventsPath()
{
    if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && *state != 0) {
        return std::string(state) + "/gvspfilter/last-run-events.json";
    }
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != 0) {
        return std::string(home) + "/.local/state/gvspfilter/last-run-events.json";
    }
    return ".gvspfilter-last-run-events.json";
}

}  // namespace gvspfilter
