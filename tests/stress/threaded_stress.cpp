// The threaded stress run, built under ThreadSanitizer: the driver on the real clock with real
// threads. Per seeded iteration, two threads indicate the packets of two streams on two adapters,
// a third requests, cancels and returns frames, a hostile user thread rewrites the control blocks
// and the buffers' driver regions with random values, the driver's worker runs, and a fourth
// thread stops, flushes, releases caches, closes handles, detaches an adapter and unloads at
// seeded random moments. Each iteration ends with the checker clean, every request ended with a
// status the interface allows, every frame handed over named a buffer that no other request held
// at the same time, and no byte written beyond a buffer.
//
//   gvsp_stress [--seconds N] [--first-seed S] [--iterations K]
//
// The cameras stream, the worker's time-out retries run and frames are requested and returned
// through every pause, detach, handle close and unload.
#include <unistd.h>

#include <atomic>
#include <csignal>
#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <thread>

#include "control/control_device.h"
#include "fuzz/harness.h"

// The race detector's own switch: the calling thread's memory accesses are not watched.
extern "C" void __tsan_ignore_thread_begin();
extern "C" void __tsan_ignore_thread_end();

using namespace fuzzing;

namespace {

constexpr uint32_t PACKET_SIZE = 264;   // 256 payload bytes per packet
constexpr uint32_t PACKETS = 4;
constexpr uint32_t FRAMES = 4;
// Buffers end mid-page: the rest of the page is a canary that must stay untouched.
constexpr uint32_t PAYLOAD_ROOM = PACKETS * 256 + 100;
constexpr uint8_t CANARY = 0xC5;

uint32_t CurrentSeed = 0;

// Names the seed when the checker, a sanitizer or an invariant ends the run.
void SayCurrentSeed(int)
{
    char text[64];
    int n = std::snprintf(text, sizeof text, "stress seed %u\n", CurrentSeed);
    ssize_t written = write(STDERR_FILENO, text, size_t(n));
    (void)written;
    std::signal(SIGABRT, SIG_DFL);
    std::raise(SIGABRT);
}

struct StreamUnderTest {
    std::unique_ptr<gvsp::Stream> stream;
    HANDLE handle = INVALID_HANDLE_VALUE;   // closed by the teardown thread, used by the consumer
};

void Sleep(std::mt19937& rng, uint32_t maxMicroseconds)
{
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % (maxMicroseconds + 1)));
}

// A camera: whole frames of consecutive blocks, now and then a packet lost.
void Camera(host::Adapter& adapter, uint8_t index, uint32_t seed, const std::atomic<bool>& stop)
{
    std::mt19937 rng(seed);
    std::vector<uint8_t> payload(256, uint8_t(0x30 + index));
    for (uint64_t block = 1; !stop.load(); ++block) {
        for (uint32_t id = 0; id <= PACKETS + 1 && !stop.load(); ++id) {
            if (rng() % 16 == 0) {
                continue;
            }
            uint8_t format = id == 0 ? 1 : id == PACKETS + 1 ? 2 : 3;
            std::span<const uint8_t> data = std::span(payload).first(format == 3 ? 256 : 40);
            Rig::Indicate(adapter, UdpFrame(AdapterMac(index), STREAM_PORT, Gvsp(format, block, id, false, data)),
                rng() % 2 ? NDIS_RECEIVE_FLAGS_DISPATCH_LEVEL : 0);
        }
    }
}

// A frame request of the library, overlapped.
struct FrameRequest {
    StreamUnderTest* stream = nullptr;
    OVERLAPPED overlapped{};
    uint64_t record = 0;
    bool refused = false;   // the handle was already closed
    bool settled = false;   // its frame, if any, given back
    bool Done() const { return refused || HasOverlappedIoCompleted(&overlapped); }
    bool HoldsFrame() const { return !refused && Done() && NTSTATUS(overlapped.Internal) == STATUS_SUCCESS; }
};

// The library: requests frames, returns what it gets, cancels some requests, leaves some pending.
void Consumer(host::UserProcess& process, StreamUnderTest (&streams)[2], uint32_t seed, const std::atomic<bool>& stop)
{
    std::mt19937 rng(seed);
    std::vector<std::unique_ptr<FrameRequest>> pending;
    auto settle = [&](FrameRequest& r) {
        for (auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10); !r.Done();) {
            if (std::chrono::steady_clock::now() > give_up) {
                Fail("a frame request still pends 10 s after its handle closed");
            }
            std::this_thread::sleep_for(std::chrono::microseconds(100));
        }
        r.settled = true;
        NTSTATUS status = r.refused ? STATUS_INVALID_HANDLE : NTSTATUS(r.overlapped.Internal);
        if (status == STATUS_SUCCESS) {
            bool known = false;
            for (uint32_t i = 0; i < FRAMES; ++i) {
                known |= r.stream->stream->BufferAddress(i) + FRAME_PRIVATE_SIZE == r.record;
            }
            if (!known || r.overlapped.InternalHigh != 8) {
                Fail("a frame at 0x%llx names no buffer", (unsigned long long)r.record);
            }
            // Until it is given back, a frame is this request's alone: a request still holding
            // what it got keeps that buffer from every other.
            for (const auto& other : pending) {
                if (other.get() != &r && !other->settled && other->HoldsFrame() && other->stream == r.stream &&
                    other->record == r.record) {
                    Fail("the frame at 0x%llx reached two requests at once", (unsigned long long)r.record);
                }
            }
            ULONG_PTR information = 0;
            NTSTATUS returned = process.NtDeviceIoControlFile(r.stream->handle, IOCTL_STREAM_RETURN_FRAME, &r.record, 8,
                nullptr, 0, &information);
            if (returned != STATUS_SUCCESS && returned != STATUS_UNSUCCESSFUL && returned != STATUS_INVALID_HANDLE) {
                Fail("a frame return ended with 0x%08x", unsigned(returned));
            }
        } else if (status != STATUS_CANCELLED && status != STATUS_UNSUCCESSFUL && status != STATUS_INVALID_HANDLE) {
            Fail("a frame request ended with 0x%08x", unsigned(status));
        }
    };
    while (!stop.load()) {
        auto r = std::make_unique<FrameRequest>();
        r->stream = &streams[rng() % 2];
        DWORD returned = 0;
        if (!process.DeviceIoControl(r->stream->handle, IOCTL_STREAM_GET_FRAME, nullptr, 0, &r->record, 8, &returned,
                &r->overlapped) &&
            process.GetLastError() == ERROR_INVALID_HANDLE) {
            r->refused = true;
        }
        Sleep(rng, 300);
        if (!r->Done() && rng() % 3 == 0) {
            process.CancelIoEx(r->stream->handle, &r->overlapped);
        }
        if (r->Done()) {
            settle(*r);
        } else {
            pending.push_back(std::move(r));   // left pending: a cancel, a close or a frame must end it
        }
    }
    for (auto& r : pending) {
        settle(*r);
    }
}

// User mode at its worst: random values into every field of the control blocks (descriptors
// included) and of the buffers' driver regions, while the driver uses them. Its own accesses are hidden from the race
// detector: the driver must cope with them, not order them.
void HostileUser(StreamUnderTest (&streams)[2], uint32_t seed, const std::atomic<bool>& stop)
{
    std::mt19937 rng(seed);
    __tsan_ignore_thread_begin();
    while (!stop.load()) {
        gvsp::Stream& s = *streams[rng() % 2].stream;
        uint8_t* target = rng() % 2 ? reinterpret_cast<uint8_t*>(&s.Block())
                                    : reinterpret_cast<uint8_t*>(s.BufferAddress(rng() % FRAMES));
        bool control = target == reinterpret_cast<uint8_t*>(&s.Block());
        uint32_t length = control ? s.BlockLength() : FRAME_PRIVATE_SIZE;   // the block with its descriptors
        uint32_t at = rng() % (length - 8) & ~3u;
        uint64_t value = uint64_t(rng()) << 32 | rng();
        std::memcpy(target + at, &value, rng() % 8 + 1);
        Sleep(rng, 50);
    }
    __tsan_ignore_thread_end();
}

// One seeded iteration on a fresh machine.
void Iteration(uint32_t seed)
{
    std::mt19937 rng(seed);
    host::Machine machine;
    host::Adapter* adapters[2] = {&AddCameraAdapter(0), &AddCameraAdapter(1)};
    if (LoadGvspFilter(machine) != STATUS_SUCCESS) {
        Fail("seed %u: the driver did not load", seed);
    }
    host::UserProcess& process = machine.NewProcess();
    StreamUnderTest streams[2];
    gvsp::StreamConfig config;
    config.packetSize = PACKET_SIZE;
    config.frameSize = PACKETS * 256;
    config.resendEnabled = true;
    config.resendSourcePort = 50001;
    // Time-out retries race the pause of a detach or an unload.
    config.resendTimeoutMs = 2;
    config.resendRetryLimit = 2;
    for (uint8_t i = 0; i < 2; ++i) {
        config.flags = rng() % 4;
        streams[i].stream = OpenStream(process, AdapterMac(i), STREAM_PORT, FRAMES, PAYLOAD_ROOM, config);
        if (streams[i].stream == nullptr) {
            Fail("seed %u: stream %u did not open", seed, i);
        }
        streams[i].handle = streams[i].stream->Handle();
        for (uint32_t f = 0; f < FRAMES; ++f) {
            auto* buffer = reinterpret_cast<uint8_t*>(streams[i].stream->BufferAddress(f));
            std::memset(buffer + FRAME_BUFFER_MIN_SIZE + PAYLOAD_ROOM, CANARY, 4096 - (FRAME_BUFFER_MIN_SIZE + PAYLOAD_ROOM) % 4096);
        }
    }

    std::atomic<bool> stopCamera[2] = {false, false};
    std::atomic<bool> stopUser{false};
    std::thread cameras[2] = {std::thread(Camera, std::ref(*adapters[0]), 0, seed * 7 + 1, std::cref(stopCamera[0])),
        std::thread(Camera, std::ref(*adapters[1]), 1, seed * 7 + 2, std::cref(stopCamera[1]))};
    std::thread consumer(Consumer, std::ref(process), std::ref(streams), seed * 7 + 3, std::cref(stopUser));
    std::thread hostile(HostileUser, std::ref(streams), seed * 7 + 4, std::cref(stopUser));

    // The teardown, in a seeded order at seeded moments: the handles close last but one, the
    // adapter may go before or after them, the unload comes last.
    std::vector<int> steps = {0, 1, 2, 3, 4, 5, 6};
    std::shuffle(steps.begin(), steps.end(), rng);
    bool detached = false;
    for (int step : steps) {
        Sleep(rng, 3000);
        StreamUnderTest& s = streams[step % 2];
        ULONG_PTR information = 0;
        switch (step) {
        case 0:
        case 1: process.NtDeviceIoControlFile(s.handle, rng() % 2 ? IOCTL_STREAM_FLUSH_FRAMES : IOCTL_STREAM_STOP,
                    nullptr, 0, nullptr, 0, &information);
            break;
        case 2:
        case 3: process.NtDeviceIoControlFile(s.handle, IOCTL_STREAM_RELEASE_CACHE, nullptr, 0, nullptr, 0, &information);
            break;
        case 4:
        case 5: process.CloseHandle(s.handle); break;
        default:   // the adapter goes: NDIS pauses it under its camera, then detaches the module
            adapters[1]->Pause();
            stopCamera[1] = true;
            cameras[1].join();
            host::RemoveAdapter(*adapters[1]);
            detached = true;
            break;
        }
    }
    Sleep(rng, 2000);
    stopUser = true;
    consumer.join();
    hostile.join();
    machine.UnloadDriver();
    stopCamera[0] = true;
    cameras[0].join();
    if (!detached) {
        Fail("seed %u: the adapter was never detached", seed);
    }

    for (StreamUnderTest& s : streams) {
        for (uint32_t f = 0; f < FRAMES; ++f) {
            auto* buffer = reinterpret_cast<const uint8_t*>(s.stream->BufferAddress(f));
            for (uint32_t at = FRAME_BUFFER_MIN_SIZE + PAYLOAD_ROOM; at % 4096 != 0; ++at) {
                if (buffer[at] != CANARY) {
                    Fail("seed %u: byte %u of buffer %u, beyond its end, was written", seed, at, f);
                }
            }
        }
    }
    // The machine's end runs the checker's final word: pool, MDLs, handles, threads.
}

}  // namespace

int main(int argc, char** argv)
{
    double seconds = 60;
    uint32_t seed = 1;
    uint64_t iterations = UINT64_MAX;
    for (int i = 1; i + 1 < argc; ++i) {
        std::string option = argv[i];
        if (option == "--seconds") {
            seconds = std::stod(argv[i + 1]);
        } else if (option == "--first-seed") {
            seed = uint32_t(std::stoul(argv[i + 1]));
        } else if (option == "--iterations") {
            iterations = std::stoull(argv[i + 1]);
        }
    }
    std::signal(SIGABRT, SayCurrentSeed);
    auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    uint64_t done = 0;
    for (; done < iterations && std::chrono::steady_clock::now() < end; ++done, ++seed) {
        CurrentSeed = seed;
        Iteration(seed);
    }
    std::printf("%llu seeded iterations clean, seeds %u to %u\n", (unsigned long long)done, seed - uint32_t(done),
        seed - 1);
    return done > 0 ? 0 : 1;
}
