// Fuzz target of the control interface: every input is a sequence of operations by up to three
// user processes on the control device of a driver with two adapters: control requests with any
// code, buffer sizes and bytes (synchronous or overlapped), binds and cache set-ups that name real
// adapters and real user memory, writes into the shared control blocks and frame buffers at any
// moment, frame returns of near-miss addresses, cancellation, handle duplication and closing,
// process exits, and stream packets for the bound ports. Every request must end with a status its
// code allows; when the processes have ended, the driver must hold what it held after loading.
#include <deque>

#include "control/control_device.h"
#include "fuzz/harness.h"

using namespace fuzzing;

namespace {

constexpr ULONG CODES[] = {IOCTL_STREAM_BIND_PORT, IOCTL_STREAM_SETUP_CACHE, IOCTL_STREAM_GET_FRAME,
    IOCTL_STREAM_RETURN_FRAME, IOCTL_STREAM_START, IOCTL_STREAM_STOP, IOCTL_ADAPTER_QUERY, IOCTL_DRIVER_GET_VERSION,
    IOCTL_STREAM_RELEASE_CACHE, IOCTL_STREAM_FLUSH_FRAMES};
constexpr uint16_t PORTS[] = {50000, 50001, 3956};

// The statuses a request of `code` may end with.
void CheckStatus(ULONG code, NTSTATUS status)
{
    bool known = std::find(std::begin(CODES), std::end(CODES), code) != std::end(CODES);
    bool allowed = !known                              ? status == STATUS_NOT_SUPPORTED
                   : code == IOCTL_DRIVER_GET_VERSION ? status == STATUS_SUCCESS || status == STATUS_BUFFER_TOO_SMALL
                   : code == IOCTL_STREAM_GET_FRAME
                       ? status == STATUS_SUCCESS || status == STATUS_UNSUCCESSFUL || status == STATUS_CANCELLED
                       : status == STATUS_SUCCESS || status == STATUS_UNSUCCESSFUL;
    if (!allowed) {
        Fail("request 0x%08x ended with 0x%08x", unsigned(code), unsigned(status));
    }
}

// What one process holds: its handles and the cache memory it described to the driver.
struct Tenant {
    host::UserProcess* process = nullptr;
    std::vector<HANDLE> handles;
    uint8_t* block = nullptr;   // the newest control block
    uint32_t blockLength = 0;
    std::vector<uint8_t*> buffers;
    uint32_t bufferSize = 0;
};

// An overlapped request in flight; its records stay put until the input ends.
struct Overlapped {
    ULONG code = 0;
    OVERLAPPED overlapped{};
    std::vector<uint8_t> output;
};

class Session {
public:
    explicit Session(Rig& rig) : rig_(rig)
    {
        for (Tenant& t : tenants_) {
            t.process = &rig_.Machine().NewProcess();
        }
    }

    void Run(Input& in)
    {
        while (!in.Empty()) {
            uint8_t op = in.U8();
            Tenant& t = tenants_[op % 3];
            uint8_t pick = in.U8();
            HANDLE h = t.handles.empty() ? INVALID_HANDLE_VALUE : t.handles[pick % t.handles.size()];
            switch ((op >> 2) % 13) {
            case 0: Open(t); break;
            case 1:
                if (h != INVALID_HANDLE_VALUE) {
                    t.process->CloseHandle(h);
                    std::erase(t.handles, h);
                }
                break;
            case 2: {   // another process duplicates the handle
                Tenant& to = tenants_[in.U8() % 3];
                if (h == INVALID_HANDLE_VALUE) {
                    break;
                }
                HANDLE copy = to.process->DuplicateHandleFrom(*t.process, h);
                if (copy != INVALID_HANDLE_VALUE) {
                    to.handles.push_back(copy);
                }
                break;
            }
            case 3: EndProcess(t); break;
            case 4: {   // any code, any sizes, any bytes
                ULONG code = in.U8() < 224 ? CODES[in.U8() % 10] : in.U32();
                std::vector<uint8_t> input = in.Bytes(in.U8() % 48);
                Request(t, h, code, input, in.U8() % 48, (op & 0x80) != 0);
                break;
            }
            case 5: {   // bind a port of an adapter (or of no adapter)
                std::vector<uint8_t> input(8);
                Mac mac = AdapterMac(in.U8() % 3);
                std::copy(mac.begin(), mac.end(), input.begin());
                uint16_t port = PORTS[in.U8() % 3];
                input[6] = uint8_t(port);
                input[7] = uint8_t(port >> 8);
                Request(t, h, IOCTL_STREAM_BIND_PORT, input, 4, false);
                break;
            }
            case 6: SetupCache(in, t, h); break;
            case 7: WriteUser(in, t.block, t.blockLength); break;
            case 8:
                if (!t.buffers.empty()) {
                    WriteUser(in, t.buffers[in.U8() % t.buffers.size()], std::min(t.bufferSize, FRAME_BUFFER_MIN_SIZE));
                }
                break;
            case 9: {   // return a frame: a buffer's header, or near it
                uint64_t address = t.buffers.empty() ? in.U32() : uint64_t(t.buffers[in.U8() % t.buffers.size()]);
                address += FRAME_PRIVATE_SIZE + ((op & 0x80) ? int8_t(in.U8()) : 0);
                std::vector<uint8_t> input(8);
                std::memcpy(input.data(), &address, 8);
                Request(t, h, IOCTL_STREAM_RETURN_FRAME, input, 0, false);
                break;
            }
            case 10:
                if (h != INVALID_HANDLE_VALUE) {
                    t.process->CancelIoEx(h, nullptr);
                }
                break;
            case 11: {   // a stream packet for a bound port
                uint64_t block = 1 + in.U8() % 3;
                uint32_t id = in.U8() % 5;
                std::vector<uint8_t> data(id == 0 || id == 4 ? 40 : 1440, 0x5A);
                Rig::Indicate(rig_.Adapter(op >> 7), UdpFrame(AdapterMac(op >> 7), PORTS[in.U8() % 2],
                                                         Gvsp(id == 0 ? 1 : id == 4 ? 2 : 3, block, id, false, data)),
                    NDIS_RECEIVE_FLAGS_DISPATCH_LEVEL);
                break;
            }
            default: Rig::AdvanceMs(in.U8() % 32); break;
            }
        }
        for (Tenant& t : tenants_) {
            EndProcess(t, false);
        }
        for (const Overlapped& o : inFlight_) {
            CheckStatus(o.code, NTSTATUS(o.overlapped.Internal));
        }
    }

private:
    void Open(Tenant& t)
    {
        HANDLE h = t.process->CreateFile(u"\\\\.\\jwGenICamForEthernet");
        if (h == INVALID_HANDLE_VALUE) {
            Fail("the control device refused an open");
        }
        t.handles.push_back(h);
    }

    void EndProcess(Tenant& t, bool replace = true)
    {
        rig_.Machine().EndProcess(*t.process);
        t = Tenant{};
        if (replace) {
            t.process = &rig_.Machine().NewProcess();
        }
    }

    // A synchronous request is checked at once; an overlapped one when the input ends. A frame
    // request is always overlapped: on this one thread a synchronous one could wait forever.
    void Request(Tenant& t, HANDLE h, ULONG code, std::vector<uint8_t> input, uint32_t outputLength, bool overlapped)
    {
        if (h == INVALID_HANDLE_VALUE) {
            return;
        }
        std::vector<uint8_t> output(outputLength);
        void* in = input.empty() ? nullptr : input.data();
        void* out = output.empty() ? nullptr : output.data();
        if (!overlapped && code != IOCTL_STREAM_GET_FRAME) {
            ULONG_PTR information = 0;
            CheckStatus(code, t.process->NtDeviceIoControlFile(h, code, in, ULONG(input.size()), out, outputLength,
                                  &information));
            return;
        }
        inFlight_.push_back({code, {}, std::move(output)});
        Overlapped& o = inFlight_.back();
        DWORD returned = 0;
        t.process->DeviceIoControl(h, code, in, DWORD(input.size()), o.output.empty() ? nullptr : o.output.data(),
            outputLength, &returned, &o.overlapped);
    }

    // A control block and buffers in the process's memory, described and configured by the input,
    // then the set-up request naming them (with a length the input may make lie).
    void SetupCache(Input& in, Tenant& t, HANDLE h)
    {
        uint32_t frames = in.U8() % 5;
        t.bufferSize = FRAME_BUFFER_MIN_SIZE + in.U16() % 8192;
        t.blockLength = StreamControlBlockSize(frames);
        t.block = static_cast<uint8_t*>(t.process->Allocate(t.blockLength));
        t.buffers.clear();
        for (uint32_t i = 0; i < frames && t.block != nullptr; ++i) {
            t.buffers.push_back(static_cast<uint8_t*>(t.process->Allocate(t.bufferSize)));
        }
        if (t.block == nullptr || std::find(t.buffers.begin(), t.buffers.end(), nullptr) != t.buffers.end()) {
            Fail("user memory ran out");
        }
        auto& b = *reinterpret_cast<StreamControlBlock*>(t.block);
        b.FrameCount = frames;
        for (uint32_t i = 0; i < frames; ++i) {
            auto& d = reinterpret_cast<FrameDescriptor*>(t.block + STREAM_CONTROL_HEADER_SIZE)[i];
            d.UserAddress = reinterpret_cast<uint64_t>(t.buffers[i]);
            d.Size = t.bufferSize - ((in.U8() & 0xF0) == 0 ? in.U16() : 0);
        }
        b.PacketSize = 1448;
        b.FrameSize = 3 * 1440;
        b.Flags = in.U8() & 3;
        b.Active = 1;
        std::vector<uint8_t> input(34);
        uint64_t address = reinterpret_cast<uint64_t>(t.block);
        std::memcpy(&input[24], &address, 8);
        uint16_t length = (in.U8() & 0xF0) == 0 ? in.U16() : uint16_t(t.blockLength);
        std::memcpy(&input[32], &length, 2);
        Request(t, h, IOCTL_STREAM_SETUP_CACHE, input, 0, false);
        if (in.U8() & 1) {
            Request(t, h, IOCTL_STREAM_START, {}, 0, false);
            Request(t, h, IOCTL_STREAM_GET_FRAME, {}, 8, true);
        }
    }

    // User mode writes bytes of the input anywhere in [base, base + length).
    static void WriteUser(Input& in, uint8_t* base, uint32_t length)
    {
        uint32_t at = in.U16();
        std::vector<uint8_t> bytes = in.Bytes(1 + in.U8() % 8);
        if (base == nullptr || length == 0 || bytes.empty()) {
            return;
        }
        at %= length;
        std::memcpy(base + at, bytes.data(), std::min<size_t>(bytes.size(), length - at));
    }

    Rig& rig_;
    Tenant tenants_[3];
    std::deque<Overlapped> inFlight_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    Rig& rig = TheRig(2);
    Input in(data, size);
    Session(rig).Run(in);
    rig.CheckReset();
    return 0;
}
