// The receive path against the floor it cannot beat: one memory copy of each payload into the
// user's frame buffer. Packets of many full-HD frames are built once, then indicated to the
// driver's receive handler as NDIS calls it (DISPATCH_LEVEL, lists kept by the miniport) or
// through the whole emulated NDIS, interleaved with a plain memcpy of the same bytes to the same
// offsets of the same buffers. Run by hand: build/release/gvsp_receive_path [repetitions [line]].
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "camera/camera.h"
#include "delivery/resend_worker.h"
#include "driver/driver.h"
#include "host/kernel/kernel.h"
#include "stream/receive.h"
#include "tools/driver_session.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t WIDTH = 1920, HEIGHT = 1080;
constexpr uint32_t FRAME_BYTES = WIDTH * HEIGHT;   // Mono8
constexpr size_t CHAIN = 32;                       // packets per indication, as a NIC's interrupt batches them
constexpr size_t GVSP_AT = camera::ETHERNET_IP_UDP_BYTES;

struct Case {
    const char* name;
    uint32_t payload;   // payload bytes per packet
    bool cold;          // buffers and packets far beyond the caches
};

enum class Path { Handler, Ndis };

struct Result {
    std::vector<double> driverNs, floorNs;   // per packet, one value per repetition
};

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

class Bench {
public:
    Bench(const Case& c, Path path) : case_(c), path_(path)
    {
        // Cold: at least 256 MiB of buffers and packets together, so that every byte comes from
        // memory; hot: two buffers reused, one frame of packets.
        frames_ = c.cold ? 64 : 2;
        gvspfilter::SessionSettings settings;
        settings.port = 50000;
        settings.frameSize = FRAME_BYTES;
        settings.packetSize = c.payload + uint32_t(camera::GVSP_STANDARD_HEADER);
        settings.buffers = frames_;
        settings.requestsInFlight = 2;
        settings.resend = false;
        settings.virtualClock = false;
        session_ = std::make_unique<gvspfilter::DriverSession>(settings);

        // The packets, as the camera would send them; the camera sits on an adapter of its own so
        // that nothing it builds reaches the stream's.
        host::AdapterConfig side;
        side.mac = {0x02, 0, 0, 0, 0, 0x77};
        side.mtu = 9000;
        camera::CameraConfig config;
        config.hostMac = settings.adapterMac;
        config.hostPort = settings.port;
        config.payloadSize = FRAME_BYTES;
        config.packetSize = settings.packetSize;
        config.sizeX = WIDTH;
        config.sizeY = HEIGHT;
        config.keptBlocks = 1;
        config.logPackets = false;
        camera::Camera cam(host::AddAdapter(side), config);
        for (uint32_t f = 0; f < frames_; ++f) {
            const uint64_t id = cam.SendBlock();
            cam.ReleaseReturned();
            for (const std::vector<uint8_t>& frame : cam.BlockFrames(id)) {
                packets_.push_back(host::MakeFramePacket(frame));
                packetIds_.push_back(camera::GetBe32(&frame[GVSP_AT + 4]) & 0xFFFFFF);
            }
        }
        payloadPerPacket_ = c.payload;
    }

    // One repetition: every frame through the driver, then the same bytes by memcpy.
    void Run(Result& result, uint16_t firstBlockId)
    {
        // New block ids, so that the driver takes each frame as a new block.
        const size_t perFrame = packets_.size() / frames_;
        StampBlockIds(firstBlockId);
        const size_t complete = session_->Frames().size();
        Clock::duration driver{};
        for (size_t first = 0; first < packets_.size(); first += CHAIN) {
            const size_t n = std::min(CHAIN, packets_.size() - first);
            for (size_t k = 0; k + 1 < n; ++k) {
                NET_BUFFER_LIST_NEXT_NBL(packets_[first + k]->List()) = packets_[first + k + 1]->List();
            }
            NET_BUFFER_LIST_NEXT_NBL(packets_[first + n - 1]->List()) = nullptr;
            PNET_BUFFER_LIST chain = packets_[first]->List();
            const auto start = Clock::now();
            if (path_ == Path::Handler) {
                KIRQL old;
                KeRaiseIrql(DISPATCH_LEVEL, &old);
                FilterReceiveNetBufferLists(session_->Adapter().ModuleContext(), chain, 0, ULONG(n),
                    NDIS_RECEIVE_FLAGS_DISPATCH_LEVEL | NDIS_RECEIVE_FLAGS_RESOURCES);
                KeLowerIrql(old);
            } else {
                session_->Adapter().Indicate(chain, 0, NDIS_RECEIVE_FLAGS_DISPATCH_LEVEL);
            }
            driver += Clock::now() - start;
            session_->Collect();
        }
        session_->WaitAndCollect(100);
        const auto& frames = session_->Frames();
        for (size_t i = complete; i < frames.size(); ++i) {
            if (frames[i].status != FRAME_STATUS_COMPLETE) {
                std::fprintf(stderr, "frame of block %llu arrived with status %u\n",
                    static_cast<unsigned long long>(frames[i].blockId), frames[i].status);
                std::exit(1);
            }
        }
        if (frames.size() - complete != frames_) {
            std::fprintf(stderr, "%zu of %u frames arrived\n", frames.size() - complete, frames_);
            std::exit(1);
        }

        // The floor: the same payload bytes to the same places of the same buffers, after the same
        // pass over the packets' headers that went before the driver's run, so that both start
        // from the same caches.
        StampBlockIds(firstBlockId);
        const gvsp::Stream& stream = session_->Stream();
        const auto start = Clock::now();
        for (size_t i = 0; i < packets_.size(); ++i) {
            const uint32_t id = packetIds_[i];
            const uint32_t dataBytes = Length(i) - uint32_t(GVSP_AT + camera::GVSP_STANDARD_HEADER);
            if (id == 0 || dataBytes > payloadPerPacket_ || Bytes(i)[4] != camera::GVSP_FORMAT_PAYLOAD) {
                continue;
            }
            auto* buffer = reinterpret_cast<uint8_t*>(stream.BufferAddress(uint32_t(i / perFrame)));
            std::memcpy(buffer + FRAME_PRIVATE_SIZE + PAYLOAD_AREA_OFFSET + uint64_t(id - 1) * payloadPerPacket_,
                Bytes(i) + camera::GVSP_STANDARD_HEADER, dataBytes);
        }
        const Clock::duration floor = Clock::now() - start;
        result.driverNs.push_back(std::chrono::duration<double, std::nano>(driver).count() / double(packets_.size()));
        result.floorNs.push_back(std::chrono::duration<double, std::nano>(floor).count() / double(packets_.size()));
    }

    size_t Packets() const { return packets_.size(); }

private:
    void StampBlockIds(uint16_t firstBlockId)
    {
        const size_t perFrame = packets_.size() / frames_;
        for (size_t i = 0; i < packets_.size(); ++i) {
            camera::PutBe16(Bytes(i) + 2, static_cast<uint16_t>(firstBlockId + i / perFrame));
        }
    }

    uint8_t* Bytes(size_t i)
    {
        PMDL mdl = NET_BUFFER_CURRENT_MDL(packets_[i]->NetBuffer(0));
        return static_cast<uint8_t*>(mdl->MappedSystemVa) + GVSP_AT;
    }
    uint32_t Length(size_t i) { return NET_BUFFER_DATA_LENGTH(packets_[i]->NetBuffer(0)); }

    Case case_;
    Path path_;
    uint32_t frames_ = 0;
    uint32_t payloadPerPacket_ = 0;
    std::unique_ptr<gvspfilter::DriverSession> session_;
    std::vector<std::unique_ptr<host::Packet>> packets_;
    std::vector<uint32_t> packetIds_;
};

// The worker's pass over 32 streams of one adapter that receive nothing at the moment: each bound,
// its cache set up and active, resend on, and one whole frame received, so that the pass reads
// its frame lists under the port's assembly; with `assembling`, each also has a frame begun that
// is not yet due. ns per pass, one value per repetition of many passes.
std::vector<double> WorkerPassNs(bool assembling, int repetitions)
{
    constexpr uint16_t FIRST_PORT = 50000;
    gvspfilter::SessionSettings settings;
    settings.port = FIRST_PORT;
    settings.frameSize = 64 * 64;
    settings.packetSize = 1464;
    settings.buffers = 4;
    gvspfilter::DriverSession session(settings);   // the virtual clock: the thread's passes wait

    std::vector<std::unique_ptr<gvsp::Stream>> streams;
    for (uint16_t port = FIRST_PORT + 1; port < FIRST_PORT + MAX_STREAM_PORTS; ++port) {
        auto& stream = *streams.emplace_back(std::make_unique<gvsp::Stream>(session.Process()));
        gvsp::StreamConfig config;
        config.frameSize = settings.frameSize;
        config.packetSize = settings.packetSize;
        config.resendTimeoutMs = settings.resendTimeoutMs;
        config.resendEnabled = true;
        if (!NT_SUCCESS(stream.Bind(settings.adapterMac, port)) ||
            !stream.AllocateCache(settings.buffers, FRAME_BUFFER_MIN_SIZE + settings.frameSize)) {
            std::fprintf(stderr, "stream on port %u not bound\n", port);
            std::exit(1);
        }
        stream.Configure(config);
        if (!NT_SUCCESS(stream.SetupCache())) {
            std::fprintf(stderr, "stream on port %u has no cache\n", port);
            std::exit(1);
        }
        stream.SetActive(true);
    }

    // Block 1 whole to every port, then block 2's leader alone when frames are to be assembling.
    camera::CameraConfig camera;
    camera.hostMac = settings.adapterMac;
    camera.packetSize = settings.packetSize;
    camera.payloadSize = settings.frameSize;
    for (uint16_t port = FIRST_PORT; port < FIRST_PORT + MAX_STREAM_PORTS; ++port) {
        camera.hostPort = port;
        std::vector<std::unique_ptr<host::Packet>> packets;
        for (uint64_t block = 1; block <= (assembling ? 2u : 1u); ++block) {
            for (const std::vector<uint8_t>& gvsp : camera::BuildGvspPackets(camera, block, 0)) {
                packets.push_back(host::MakeFramePacket(camera::BuildFrame(camera, gvsp, 0)));
                if (block == 2) {
                    break;
                }
            }
        }
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        FilterReceiveNetBufferLists(session.Adapter().ModuleContext(), host::LinkPackets(packets), 0,
            ULONG(packets.size()), NDIS_RECEIVE_FLAGS_DISPATCH_LEVEL | NDIS_RECEIVE_FLAGS_RESOURCES);
        KeLowerIrql(old);
    }

    constexpr int PASSES = 20'000;
    std::vector<double> ns;
    for (int r = 0; r <= repetitions; ++r) {
        const auto start = Clock::now();
        for (int i = 0; i < PASSES; ++i) {
            RunResendPass();
        }
        const double each = std::chrono::duration<double, std::nano>(Clock::now() - start).count() / PASSES;
        if (r > 0) {   // the first repetition warms up
            ns.push_back(each);
        }
    }
    return ns;
}

std::string Spread(const std::vector<double>& values)
{
    char text[48];
    std::snprintf(text, sizeof text, "%.0f (%.0f-%.0f)", Median(values),
        *std::min_element(values.begin(), values.end()), *std::max_element(values.begin(), values.end()));
    return text;
}

}  // namespace

int main(int argc, char** argv)
{
    const int repetitions = argc > 1 ? std::max(3, std::atoi(argv[1])) : 7;
    // A line of the table alone (1 to 10), e.g. to profile it.
    const int only = argc > 2 ? std::atoi(argv[2]) : 0;
    const Case cases[] = {
        {"1440 B payload, buffers in cache", 1440, false},
        {"8960 B payload, buffers in cache", 8960, false},
        {"1440 B payload, buffers far beyond the cache", 1440, true},
        {"8960 B payload, buffers far beyond the cache", 8960, true},
    };
    std::printf("%-46s %-8s %26s %26s %8s %10s\n", "case", "path", "driver ns/packet (min-max)",
        "memcpy ns/packet (min-max)", "ratio", "Mpackets/s");
    int line = 0;
    for (Path path : {Path::Handler, Path::Ndis}) {
        for (const Case& c : cases) {
            ++line;
            if (only != 0 && line != only) {
                continue;
            }
            Result result;
            {
                Bench bench(c, path);
                // One repetition first that is not counted: it takes the page faults.
                Result warmUp;
                bench.Run(warmUp, 1);
                uint16_t block = 65;
                for (int r = 0; r < repetitions; ++r) {
                    bench.Run(result, block);
                    block = static_cast<uint16_t>(block + 64);
                }
            }
            const double driver = Median(result.driverNs), floor = Median(result.floorNs);
            std::printf("%-46s %-8s %26s %26s %8.2f %10.2f\n", c.name, path == Path::Handler ? "handler" : "ndis",
                Spread(result.driverNs).c_str(), Spread(result.floorNs).c_str(), floor / driver, 1e3 / driver);
            std::fflush(stdout);
        }
    }
    for (bool assembling : {false, true}) {
        ++line;
        if (only != 0 && line != only) {
            continue;
        }
        std::printf("worker pass, 32 idle streams%-18s %-8s %26s\n", assembling ? ", a frame begun" : "", "pass",
            (Spread(WorkerPassNs(assembling, repetitions)) + " ns").c_str());
    }
    return 0;
}
