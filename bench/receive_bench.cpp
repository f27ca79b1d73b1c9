// Throughput of the whole receive path on the emulated machine: a camera streams blocks through
// the simulated adapter, the driver assembles them in user buffers, a client collects and
// returns each frame. What is measured includes the camera building its packets and the
// emulated NDIS; bytes processed are payload bytes delivered to user mode.
#include <benchmark/benchmark.h>

#include <memory>

#include "camera/camera.h"
#include "client/gvsp_client.h"
#include "driver/handlers.h"
#include "host/machine.h"

namespace {

constexpr gvsp::MacAddress ADAPTER_MAC = {0x02, 0x00, 0x00, 0x00, 0x00, 0x02};
constexpr uint16_t STREAM_PORT = 50000;

struct StreamBench {
    explicit StreamBench(uint32_t payloadSize, uint32_t packetSize, bool extendedIds)
    {
        host::AdapterConfig adapterConfig;
        adapterConfig.mac = ADAPTER_MAC;
        adapter = &host::AddAdapter(adapterConfig);
        machine.LoadDriver(DriverEntry, u"kxGenICamForEthernet", {POOL_TAG, NAME_QUERY_TAG});
        process = &machine.NewProcess();
        stream = std::make_unique<gvsp::Stream>(*process);
        stream->Bind(ADAPTER_MAC, STREAM_PORT);
        stream->AllocateCache(4, FRAME_BUFFER_MIN_SIZE + payloadSize);
        gvsp::StreamConfig config;
        config.frameSize = payloadSize;
        config.packetSize = packetSize;
        config.resendEnabled = true;
        stream->Configure(config);
        stream->SetupCache();
        stream->SetActive(true);
        stream->Start();

        camera::CameraConfig cameraConfig;
        cameraConfig.payloadSize = payloadSize;
        cameraConfig.packetSize = packetSize;
        cameraConfig.extendedIds = extendedIds;
        cameraConfig.logPackets = false;
        cameraConfig.presentation.packetsPerIndication = 32;
        camera = std::make_unique<camera::Camera>(*adapter, cameraConfig);
    }
    ~StreamBench()
    {
        camera.reset();
        stream.reset();
    }

    // One block from the camera to a frame returned by the client.
    bool DeliverOneFrame()
    {
        camera->SendBlock();
        gvsp::Frame frame;
        if (stream->GetFrame(&frame) != STATUS_SUCCESS) {
            return false;
        }
        bool complete = frame.Status() == FRAME_STATUS_COMPLETE;
        stream->ReturnFrame(frame);
        return complete;
    }

    host::Machine machine;
    host::Adapter* adapter = nullptr;
    host::UserProcess* process = nullptr;
    std::unique_ptr<gvsp::Stream> stream;
    std::unique_ptr<camera::Camera> camera;
};

void FullHdFrames(benchmark::State& state)
{
    const auto packetSize = static_cast<uint32_t>(state.range(0));
    constexpr uint32_t FULL_HD = 1920 * 1080;
    StreamBench bench(FULL_HD, packetSize, false);
    int64_t incomplete = 0;
    for (auto _ : state) {
        if (!bench.DeliverOneFrame()) {
            ++incomplete;
        }
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * FULL_HD);
    state.SetItemsProcessed(int64_t(state.iterations()));
    state.counters["incomplete"] = double(incomplete);
    state.counters["packets/frame"] = double(bench.camera->PayloadPacketCount() + 2);
}
BENCHMARK(FullHdFrames)->Arg(1500)->Arg(8000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
