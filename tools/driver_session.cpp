// The driver as the gvspfilter command runs it: one emulated machine, one adapter, one stream
// bound through the client library. Host only.
#include "tools/driver_session.h"

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <deque>
#include <thread>

#include "control/stream_port.h"
#include "driver/driver.h"
#include "host/kernel/kernel.h"
#include "host/machine.h"

namespace gvspfilter {

namespace {

std::string Hex(NTSTATUS status)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<uint32_t>(status));
    return text;
}

}  // namespace

const char* PolicyName(HandOverPolicy policy)
{
    switch (policy) {
    case HandOverPolicy::Queue:
        return "queue";
    case HandOverPolicy::Newest:
        return "newest";
    case HandOverPolicy::Waiting:
        return "waiting";
    case HandOverPolicy::NewestWaiting:
        return "newest-waiting";
    }
    return "?";
}

HandOverPolicy ParsePolicy(const std::string& name)
{
    for (HandOverPolicy policy :
        {HandOverPolicy::Queue, HandOverPolicy::Newest, HandOverPolicy::Waiting, HandOverPolicy::NewestWaiting}) {
        if (name == PolicyName(policy)) {
            return policy;
        }
    }
    throw UsageError("unknown hand-over policy '" + name + "' (queue, newest, waiting or newest-waiting)");
}

// The emulated machine with the driver loaded and the stream's user process.
struct DriverSession::Machine {
    explicit Machine(bool virtualClock)
        : machine(host::MachineOptions{.virtualClock = virtualClock, .clockStart = host::PERFORMANCE_FREQUENCY})
    {
    }
    host::Machine machine;
    host::UserProcess* process = nullptr;
    std::unique_ptr<gvsp::Stream> stream;
    std::deque<std::unique_ptr<gvsp::PendingFrame>> pending;
};

DriverSession::DriverSession(const SessionSettings& settings) : settings_(settings)
{
    host::SetViolationHandler([this](const host::Violation& violation) {
        findings_.push_back(std::string(host::RuleName(violation.rule)) + ": " + violation.what);
    });
    try {
        Open();
    } catch (...) {
        // The machine's end unloads the driver and runs its checks while the handler still
        // has somewhere to put what they find.
        machine_.reset();
        host::SetViolationHandler({});
        throw;
    }
}

void DriverSession::Open()
{
    const SessionSettings& settings = settings_;
    machine_ = std::make_unique<Machine>(settings.virtualClock);

    host::AdapterConfig adapter;
    adapter.mac = settings.adapterMac;
    adapter.mtu = settings.adapterMtu;
    adapter.friendlyName = u"Camera port";
    adapter.deviceName = u"\\DEVICE\\{5A0C6E31-0B1D-4B7C-9A55-00000000CA11}";
    adapter_ = &host::AddAdapter(adapter);

    const uint64_t delays = host::SystemThreadDelays();
    NTSTATUS status = machine_->machine.LoadDriver(DriverEntry, u"kxGenICamForEthernet", {POOL_TAG, NAME_QUERY_TAG});
    if (!NT_SUCCESS(status)) {
        throw RunError("the driver did not load (status " + Hex(status) + ")");
    }
    if (settings.virtualClock) {
        // From its first sleep on, the worker runs its passes only when the clock is moved.
        host::WaitForSystemThreadDelays(delays + 1);
    }
    startCounts_ = host::CounterNow();

    Machine& m = *machine_;
    m.process = &m.machine.NewProcess();
    m.stream = std::make_unique<gvsp::Stream>(*m.process);
    status = m.stream->Bind(settings.adapterMac, settings.port, &portId_);
    if (!NT_SUCCESS(status)) {
        throw RunError("the driver refused to bind UDP port " + std::to_string(settings.port) + " on adapter " +
                       MacText(settings.adapterMac) + " (status " + Hex(status) + ")");
    }
    if (!m.stream->AllocateCache(settings.buffers, FRAME_BUFFER_MIN_SIZE + settings.frameSize)) {
        throw RunError("no room for " + std::to_string(settings.buffers) + " frame buffers of " +
                       std::to_string(settings.frameSize) + " payload bytes in the stream's process");
    }
    gvsp::StreamConfig config;
    config.frameSize = settings.frameSize;
    config.packetSize = settings.packetSize;
    config.streamChannelIndex = settings.streamChannel;
    config.resendSourcePort = settings.resendSourcePort;
    config.resendTimeoutMs = settings.resend ? settings.resendTimeoutMs : 0;
    config.resendRetryLimit = settings.resendRetryLimit;
    config.resendEnabled = settings.resend;
    config.flags = static_cast<uint32_t>(settings.policy);
    m.stream->Configure(config);
    status = m.stream->SetupCache();
    if (!NT_SUCCESS(status)) {
        throw RunError("the driver refused the frame cache (status " + Hex(status) + ")");
    }
    m.stream->SetActive(true);
    status = m.stream->Start();
    if (!NT_SUCCESS(status)) {
        throw RunError("the driver refused to start acquisition (status " + Hex(status) + ")");
    }
    for (uint32_t i = 0; i < settings.requestsInFlight; ++i) {
        m.pending.push_back(m.stream->RequestFrame());
    }
}

DriverSession::~DriverSession()
{
    Close();
    host::SetViolationHandler({});
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

size_t DriverSession::Collect(const FrameSink& sink)
{
    if (closed_) {
        return 0;
    }
    Machine& m = *machine_;
    size_t taken = 0;
    while (!m.pending.empty() && m.pending.front()->Done()) {
        gvsp::Frame frame;
        NTSTATUS status = m.pending.front()->Wait(&frame);
        m.pending.pop_front();
        if (NT_SUCCESS(status) && frame.Valid()) {
            FrameRecord record;
            record.blockId = frame.BlockId();
            record.status = frame.Status();
            record.payloadBytes = frame.Header().PayloadSize;
            frames_.push_back(record);
            payloadBytes_ += record.payloadBytes;
            if (sink) {
                sink(frame);
            }
            m.stream->ReturnFrame(frame);
            ++taken;
        }
        m.pending.push_back(m.stream->RequestFrame());
    }
    return taken;
}

size_t DriverSession::WaitAndCollect(uint32_t milliseconds, const FrameSink& sink)
{
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
    while (!closed_ && !machine_->pending.empty() && !machine_->pending.front()->Done() &&
           std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return Collect(sink);
}

host::UserProcess& DriverSession::Process() const
{
    return *machine_->process;
}

const StreamControlBlock& DriverSession::Block() const
{
    return closed_ ? finalBlock_ : machine_->stream->Block();
}

uint32_t DriverSession::FragmentedDatagrams() const
{
    if (closed_) {
        return finalFragments_;
    }
    // The PortId names the adapter's slot in AdapterTable and the port's slot in the adapter.
    const FilterAdapter* adapter = DriverGlobals.AdapterTable[(portId_ >> 16) - 1];
    const StreamPort* port = adapter != nullptr ? adapter->StreamPorts[(portId_ & 0xFFFF) - 1] : nullptr;
    return port != nullptr ? static_cast<uint32_t>(port->FragmentedDatagrams) : 0;
}

const gvsp::Stream& DriverSession::Stream() const { return *machine_->stream; }

void DriverSession::Close()
{
    if (closed_ || machine_ == nullptr) {
        return;
    }
    Machine& m = *machine_;
    finalBlock_ = m.stream->Block();
    finalFragments_ = FragmentedDatagrams();
    // Stopping cancels the requests in flight; each must have ended before its record goes.
    m.stream->Stop();
    for (auto& request : m.pending) {
        request->Cancel();
        request->Wait(nullptr);
    }
    m.pending.clear();
    finalBlock_ = m.stream->Block();
    m.stream->Close();
    m.stream.reset();
    m.machine.UnloadDriver();
    events_ = host::TheEventLog().Entries();
    // The machine's end runs the final checks: pool, handles, threads, lists.
    machine_.reset();
    closed_ = true;
}

std::vector<host::EventLogEntry> DriverSession::Events() const
{
    return closed_ ? events_ : host::TheEventLog().Entries();
}

}  // namespace gvspfilter
