// The receive path against the floor it cannot beat: one memory copy of each payload into the
// user's frame buffer. Packets of full-HD frames are built once, then indicated to the driver's
// receive handler as NDIS calls it (DISPATCH_LEVEL, lists kept by the miniport) or through the
// whole emulated NDIS; the floor copies the same payload bytes to the same offsets of the same
// buffers from addresses computed beforehand. Every frame is timed alone, driver and floor alike,
// and each line reports per-frame medians. Run by hand:
// build/release/gvsp_receive_path [repetitions [line]].
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "base/driver.h"
#include "camera/camera.h"
#include "delivery/resend_worker.h"
#include "driver/handlers.h"
#include "host/kernel/kernel.h"
#include "tools/driver_session.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t WIDTH = 1920, HEIGHT = 1080;
constexpr uint32_t FRAME_BYTES = WIDTH * HEIGHT;   // Mono8
constexpr size_t CHAIN = 32;                       // packets per indication, as a NIC's interrupt batches them
// Frames timed per repetition: the cold case's 64 buffers once, the hot case's two buffers 32 times.
constexpr uint32_t FRAMES_PER_REPETITION = 64;

struct Case {
    const char* name;
    uint32_t payload;   // payload bytes per packet
    bool cold;          // buffers and packets far beyond the caches
};

enum class Path { Handler, Ndis };

// Nanoseconds per packet, one value per frame timed.
struct Result {
    std::vector<double> driverNs, floorNs;
};

double Quantile(std::vector<double> v, double q)
{
    std::sort(v.begin(), v.end());
    return v[size_t(q * double(v.size() - 1) + 0.5)];
}

double Median(const std::vector<double>& v) { return Quantile(v, 0.5); }

// "median (p10-p90)"
std::string Spread(const std::vector<double>& values)
{
    char text[48];
    std::snprintf(text, sizeof text, "%.0f (%.0f-%.0f)", Median(values), Quantile(values, 0.1),
        Quantile(values, 0.9));
    return text;
}

// The machine's load averages over 1, 5 and 15 minutes: the machine is shared.
std::string Load()
{
    std::ifstream file("/proc/loadavg");
    std::string one, five, fifteen;
    file >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

double Nanoseconds(Clock::duration d) { return std::chrono::duration<double, std::nano>(d).count(); }

class Bench {
public:
    Bench(const Case& c, Path path) : path_(path)
    {
        // Cold: at least 256 MiB of buffers and packets together, so that every byte comes from
        // memory; hot: two buffers reused, two frames of packets.
        frames_ = c.cold ? FRAMES_PER_REPETITION : 2;
        gvspfilter::SessionSettings settings;
        settings.port = 50000;
        settings.frameSize = FRAME_BYTES;
        settings.packetSize = c.payload + uint32_t(GVSP_STANDARD_HEADER_SIZE);
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
            }
        }
        perFrame_ = packets_.size() / frames_;

        // Frame f's chains: runs of CHAIN packets that never cross into the next frame, so that
        // each frame can be timed alone.
        for (size_t first = 0; first < packets_.size(); first += perFrame_) {
            for (size_t k = first; k < first + perFrame_; ++k) {
                const bool last = (k - first) % CHAIN == CHAIN - 1 || k + 1 == first + perFrame_;
                NET_BUFFER_LIST_NEXT_NBL(packets_[k]->List()) = last ? nullptr : packets_[k + 1]->List();
            }
        }

        // The floor's copies, addresses computed once: every payload packet's data to the place
        // the driver puts it.
        const gvsp::Stream& stream = session_->Stream();
        for (size_t i = 0; i < packets_.size(); ++i) {
            const uint8_t* gvsp = Bytes(i);
            const uint32_t id = ReadBigEndian24(gvsp + GVSP_HEADER_PACKET_ID);
            if (gvsp[GVSP_HEADER_FORMAT] != GVSP_FORMAT_PAYLOAD) {
                continue;
            }
            const uint32_t dataBytes = Length(i) - uint32_t(FRAME_HEADERS_SIZE + GVSP_STANDARD_HEADER_SIZE);
            auto* buffer = reinterpret_cast<uint8_t*>(stream.BufferAddress(uint32_t(i / perFrame_)));
            copies_.push_back({buffer + FRAME_PRIVATE_SIZE + PAYLOAD_AREA_OFFSET + uint64_t(id - 1) * c.payload,
                gvsp + GVSP_STANDARD_HEADER_SIZE, dataBytes, i / perFrame_});
        }
    }

    // One repetition: FRAMES_PER_REPETITION frames through the driver in passes over the
    // buffers, then as many by the floor, each frame timed alone. Before every pass the packets'
    // headers are written once (the block ids), so that both start from the same caches.
    void Run(Result& result, uint32_t& blocks)
    {
        const size_t complete = session_->Frames().size();
        for (uint32_t pass = 0; pass < FRAMES_PER_REPETITION / frames_; ++pass) {
            StampBlockIds(blocks);
            blocks += frames_;
            for (size_t first = 0; first < packets_.size(); first += perFrame_) {
                Clock::duration driver{};
                for (size_t k = first; k < first + perFrame_; k += CHAIN) {
                    const auto n = ULONG(std::min(CHAIN, first + perFrame_ - k));
                    const auto start = Clock::now();
                    Indicate(packets_[k]->List(), n);
                    driver += Clock::now() - start;
                }
                result.driverNs.push_back(Nanoseconds(driver) / double(perFrame_));
                session_->Collect();
            }
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
        if (frames.size() - complete != FRAMES_PER_REPETITION) {
            std::fprintf(stderr, "%zu of %u frames arrived\n", frames.size() - complete, FRAMES_PER_REPETITION);
            std::exit(1);
        }

        // The floor: copies only, frame by frame, the same number of passes.
        for (uint32_t pass = 0; pass < FRAMES_PER_REPETITION / frames_; ++pass) {
            StampBlockIds(blocks);
            size_t i = 0;
            for (size_t frame = 0; frame < frames_; ++frame) {
                const auto start = Clock::now();
                for (; i < copies_.size() && copies_[i].frame == frame; ++i) {
                    std::memcpy(copies_[i].to, copies_[i].from, copies_[i].bytes);
                }
                result.floorNs.push_back(Nanoseconds(Clock::now() - start) / double(perFrame_));
            }
        }
    }

private:
    struct Copy {
        uint8_t* to;
        const uint8_t* from;
        uint32_t bytes;
        size_t frame;
    };

    void Indicate(PNET_BUFFER_LIST chain, ULONG n)
    {
        if (path_ == Path::Handler) {
            KIRQL old;
            KeRaiseIrql(DISPATCH_LEVEL, &old);
            FilterReceiveNetBufferLists(session_->Adapter().ModuleContext(), chain, 0, n,
                NDIS_RECEIVE_FLAGS_DISPATCH_LEVEL | NDIS_RECEIVE_FLAGS_RESOURCES);
            KeLowerIrql(old);
        } else {
            session_->Adapter().Indicate(chain, 0, NDIS_RECEIVE_FLAGS_DISPATCH_LEVEL);
        }
    }

    // New block ids, so that the driver takes each frame as a new block: the `blocks`th block
    // since the start and on, ids 1 to 65535 in turn.
    void StampBlockIds(uint32_t blocks)
    {
        for (size_t i = 0; i < packets_.size(); ++i) {
            WriteBigEndian16(Bytes(i) + GVSP_HEADER_BLOCK_ID, static_cast<uint16_t>((blocks + i / perFrame_) % 65535 + 1));
        }
    }

    uint8_t* Bytes(size_t i)
    {
        PMDL mdl = NET_BUFFER_CURRENT_MDL(packets_[i]->NetBuffer(0));
        return static_cast<uint8_t*>(mdl->MappedSystemVa) + FRAME_HEADERS_SIZE;
    }
    uint32_t Length(size_t i) { return NET_BUFFER_DATA_LENGTH(packets_[i]->NetBuffer(0)); }

    Path path_;
    uint32_t frames_ = 0;
    size_t perFrame_ = 0;
    std::unique_ptr<gvspfilter::DriverSession> session_;
    std::vector<std::unique_ptr<host::Packet>> packets_;
    std::vector<Copy> copies_;
};

// The worker's pass over 32 streams of one adapter that receive nothing at the moment: each bound,
// its cache set up and active, resend on, and one whole frame received, so that the pass reads
// its frame lists under the port's assembly; with `assembling`, each also has a frame begun that
// is not yet due. ns, one value per pass.
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

    // Every pass timed alone, after as many untimed passes to warm up.
    const int passes = 2'000 * repetitions;
    for (int i = 0; i < passes; ++i) {
        RunResendPass();
    }
    std::vector<double> ns;
    ns.reserve(size_t(passes));
    for (int i = 0; i < passes; ++i) {
        const auto start = Clock::now();
        RunResendPass();
        ns.push_back(Nanoseconds(Clock::now() - start));
    }
    return ns;
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
    std::printf("per-frame medians (p10-p90) of %d repetitions of %u frames; load average 1, 5, 15 min\n",
        repetitions, FRAMES_PER_REPETITION);
    std::printf("%-46s %-8s %22s %22s %6s %10s  %s\n", "case", "path", "driver ns/packet", "memcpy ns/packet",
        "ratio", "Mpackets/s", "load before, after");
    int line = 0;
    for (Path path : {Path::Handler, Path::Ndis}) {
        for (const Case& c : cases) {
            ++line;
            if (only != 0 && line != only) {
                continue;
            }
            const std::string loadBefore = Load();
            Result result;
            {
                Bench bench(c, path);
                // One repetition first that is not counted: it takes the page faults.
                Result warmUp;
                uint32_t blocks = 0;
                bench.Run(warmUp, blocks);
                for (int r = 0; r < repetitions; ++r) {
                    bench.Run(result, blocks);
                }
            }
            const double driver = Median(result.driverNs), floor = Median(result.floorNs);
            std::printf("%-46s %-8s %22s %22s %6.2f %10.2f  %s, %s\n", c.name,
                path == Path::Handler ? "handler" : "ndis", Spread(result.driverNs).c_str(),
                Spread(result.floorNs).c_str(), floor / driver, 1e3 / driver, loadBefore.c_str(), Load().c_str());
            std::fflush(stdout);
        }
    }
    for (bool assembling : {false, true}) {
        ++line;
        if (only != 0 && line != only) {
            continue;
        }
        const std::string loadBefore = Load();
        const std::string pass = Spread(WorkerPassNs(assembling, repetitions)) + " ns";
        std::printf("worker pass, 32 idle streams%-18s %-8s %22s %41s  %s, %s\n", assembling ? ", a frame begun" : "",
            "pass", pass.c_str(), "", loadBefore.c_str(), Load().c_str());
    }
    return 0;
}
