// Every failure the host can inject, at every call of it that one whole session makes: the
// session (load, two adapters, a stream on each, cache set-up, three lossy frames each with
// resends, stop, close, detach, unload) must end with the checker clean, nothing under either
// pool tag, and only statuses the control interface allows.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include "host/memory/memory.h"
#include "tests/support/camera_stream.h"

using namespace gvsptest;

namespace {

constexpr uint32_t PAYLOAD = 12 * 1456;
constexpr NDIS_OID OID_GEN_CURRENT_PACKET_FILTER = 0x0001010E;

struct FaultCase {
    const char* name;
    host::Fault fault;
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

bool AllowedStatus(NTSTATUS status, std::initializer_list<NTSTATUS> allowed)
{
    for (NTSTATUS a : allowed) {
        if (status == a) {
            return true;
        }
    }
    return false;
}

// One session with the `nth` call of `fault` failing (0: none fails). Returns what went wrong,
// each problem on a line of its own; `calls` receives how often the session called `fault`.
std::string RunSession(host::Fault fault, uint32_t nth, uint32_t* calls = nullptr)
{
    std::string problems;
    auto check = [&](const char* step, NTSTATUS status, std::initializer_list<NTSTATUS> allowed) {
        if (!AllowedStatus(status, allowed)) {
            char text[96];
            std::snprintf(text, sizeof text, "%s returned 0x%08x\n", step, static_cast<unsigned>(status));
            problems += text;
        }
    };
    constexpr NTSTATUS OK = STATUS_SUCCESS, FAILED = STATUS_UNSUCCESSFUL;

    GvspMachine m{host::MachineOptions{.virtualClock = true, .clockStart = CLOCK_START}};
    host::ResetFaults();
    if (nth != 0) {
        host::FailCall(fault, nth);
    }
    uint64_t delays = host::SystemThreadSleeps();
    NTSTATUS load = m.Load();
    if (load == STATUS_SUCCESS) {
        host::WaitForSystemThreadSleeps(delays + 1);
        host::UserProcess& process = m.NewProcess();
        std::vector<host::Adapter*> adapters;
        std::vector<std::unique_ptr<camera::Camera>> cameras;
        std::vector<std::unique_ptr<gvsp::Stream>> streams;
        for (uint8_t which = 0; which < 2; ++which) {
            Mac mac = MacOf(static_cast<uint8_t>(0xA0 + which));
            adapters.push_back(&m.AddAdapter(mac));
            // The protocol above reads the packet filter, through the filter module when it attached.
            ULONG packetFilter = 0;
            NDIS_OID_REQUEST query{};
            query.Header = {NDIS_OBJECT_TYPE_OID_REQUEST, 1, sizeof(NDIS_OID_REQUEST)};
            query.RequestType = NdisRequestQueryInformation;
            query.DATA.QUERY_INFORMATION.Oid = OID_GEN_CURRENT_PACKET_FILTER;
            query.DATA.QUERY_INFORMATION.InformationBuffer = &packetFilter;
            query.DATA.QUERY_INFORMATION.InformationBufferLength = sizeof packetFilter;
            check("OID request", adapters.back()->OidRequestFromProtocol(&query),
                {NDIS_STATUS_SUCCESS, NDIS_STATUS_PENDING, NDIS_STATUS_RESOURCES});
            camera::CameraConfig config;
            config.payloadSize = PAYLOAD;
            config.cameraMac[5] = static_cast<uint8_t>(0x10 + which);
            config.random.seed = 5 + which;
            config.random.drop = 0.1;
            config.logPackets = false;
            cameras.push_back(std::make_unique<camera::Camera>(*adapters.back(), config));

            streams.push_back(std::make_unique<gvsp::Stream>(process));
            gvsp::Stream& s = *streams.back();
            check("bind", s.Bind(mac, config.hostPort), {OK, FAILED});
            if (!s.AllocateCache(4, FRAME_BUFFER_MIN_SIZE + PAYLOAD)) {
                return "the library could not allocate its cache";
            }
            gvsp::StreamConfig streamConfig;
            streamConfig.frameSize = PAYLOAD;
            streamConfig.packetSize = config.packetSize;
            streamConfig.resendEnabled = true;
            streamConfig.resendSourcePort = 50001;
            streamConfig.resendTimeoutMs = 5;
            streamConfig.resendRetryLimit = 2;
            s.Configure(streamConfig);
            check("cache set-up", s.SetupCache(), {OK, FAILED});
            s.SetActive(true);
            check("start", s.Start(), {OK, FAILED});
        }

        // Three lossy blocks per camera, each with a frame request waiting for it; what a
        // request hands over as complete must be the camera's block.
        for (int block = 0; block < 3; ++block) {
            for (size_t i = 0; i < cameras.size(); ++i) {
                auto request = streams[i]->RequestFrame();
                check("frame request", request->Status(), {OK, STATUS_PENDING, FAILED});
                uint64_t blockId = cameras[i]->SendBlock();
                cameras[i]->Pump();
                for (int pass = 0; pass < 3; ++pass) {
                    host::AdvanceClock(5000);
                    cameras[i]->Pump();
                }
                if (!request->Done()) {
                    request->Cancel();
                }
                gvsp::Frame frame;
                NTSTATUS got = request->Wait(&frame);
                check("frame request", got, {OK, STATUS_CANCELLED, FAILED});
                if (got != STATUS_SUCCESS) {
                    continue;
                }
                if (frame.Status() == FRAME_STATUS_COMPLETE && frame.BlockId() == blockId) {
                    std::string wrong = FrameProblem(frame, blockId, PAYLOAD, *cameras[i]);
                    if (!wrong.empty()) {
                        problems += wrong + "\n";
                    }
                }
                check("frame return", streams[i]->ReturnFrame(frame), {OK, FAILED});
            }
        }

        if (nth == 0 && (cameras[0]->Counters().packetsResent == 0 || cameras[1]->Counters().packetsResent == 0)) {
            problems += "a camera resent nothing: the session was not lossy\n";
        }
        for (auto& s : streams) {
            check("stop", s->Stop(), {OK, FAILED});
            check("cache release", s->ReleaseCache(), {OK, FAILED});
            s->Close();
        }
        streams.clear();
        cameras.clear();   // the cameras go with their adapters
        for (host::Adapter* adapter : adapters) {
            host::RemoveAdapter(*adapter);
        }
        if (host::LockedMdls() != 0) {
            problems += "pages still locked after detach\n";
        }
        m.Unload();
    } else if (NT_SUCCESS(load)) {
        problems += "the load returned a success status other than STATUS_SUCCESS\n";
    }
    for (uint32_t tag : {POOL_TAG, NAME_QUERY_TAG}) {
        if (host::PoolUsageOfTag(tag).blocks != 0) {
            problems += "memory left under a pool tag\n";
        }
    }
    if (calls != nullptr) {
        *calls = host::CallCount(fault);
    }
    return problems;
}

constexpr FaultCase FAULTS[] = {{"PoolAllocation", host::Fault::PoolAllocation},
    {"RwLockAllocation", host::Fault::RwLockAllocation}, {"NblPoolAllocation", host::Fault::NblPoolAllocation},
    {"NblAllocation", host::Fault::NblAllocation}, {"MdlAllocation", host::Fault::MdlAllocation},
    {"PageLocking", host::Fault::PageLocking}, {"Mapping", host::Fault::Mapping},
    {"ThreadCreation", host::Fault::ThreadCreation}, {"FilterRegistration", host::Fault::FilterRegistration},
    {"DeviceRegistration", host::Fault::DeviceRegistration}, {"SetAttributes", host::Fault::SetAttributes},
    {"CloneOidRequest", host::Fault::CloneOidRequest}, {"ErrorLogEntry", host::Fault::ErrorLogEntry},
    {"ObjectReference", host::Fault::ObjectReference}, {"ProcessNotify", host::Fault::ProcessNotify},
    {"ExtendedStateSave", host::Fault::ExtendedStateSave}};
static_assert(std::size(FAULTS) == static_cast<size_t>(host::Fault::Count), "every kind of failure is swept");

class FaultSweep : public ::testing::TestWithParam<FaultCase> {};

TEST_P(FaultSweep, EverySessionEndsCleanWhicheverCallFails)
{
    const host::Fault fault = GetParam().fault;
    uint32_t calls = 0;
    ASSERT_EQ(RunSession(fault, 0, &calls), "") << "the session without a failure";
    for (uint32_t nth = 1; nth <= calls; ++nth) {
        EXPECT_EQ(RunSession(fault, nth), "") << "call " << nth << " of " << calls << " failed";
    }
}

INSTANTIATE_TEST_SUITE_P(AllFaults, FaultSweep, ::testing::ValuesIn(FAULTS),
    [](const ::testing::TestParamInfo<FaultCase>& param) { return std::string(param.param.name); });

}  // namespace
