// The user-mode side of GvspFilter's control interface: a camera library's stream API over
// the control device. A Stream binds one UDP port of one adapter, owns its StreamControlBlock
// and frame buffers in the process's memory, and hands out finished frames to read in place.
// User mode, over the process's user-mode face (client/user_face.h): a process of the emulated
// machine, or the real one on Windows.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "base/control_interface.h"
#include "base/stream_memory.h"
#include "client/user_face.h"

namespace gvsp {

using MacAddress = std::array<uint8_t, 6>;

// The control device: version and adapter queries on a handle of its own.
class ControlDevice {
public:
    explicit ControlDevice(UserProcess& process);
    ~ControlDevice();
    ControlDevice(const ControlDevice&) = delete;
    ControlDevice& operator=(const ControlDevice&) = delete;

    bool IsOpen() const;
    // The driver's version text ("2.2.1.167663").
    NTSTATUS Version(std::string* text) const;
    // STATUS_SUCCESS when an adapter with this MAC address carries the filter.
    NTSTATUS QueryAdapter(const MacAddress& mac) const;

private:
    UserProcess& process_;
    HANDLE handle_;
};

// What a stream asks of the driver, written into its StreamControlBlock.
struct StreamConfig {
    uint32_t frameSize = 0;            // payload bytes of one frame
    uint32_t packetSize = 0;           // GVSP bytes of one full data packet, header included
    uint16_t streamChannelIndex = 0;
    uint16_t resendSourcePort = 0;     // host order; the block holds it in network order
    uint16_t requestMode = 0;          // 1: a frame request finding nothing fails while stopped
    uint32_t resendTimeoutMs = 0;      // 0: no time-out retries
    uint32_t flags = 0;                // STREAM_FLAG_* hand-over policy
    uint16_t resendRetryLimit = 0;     // 0: no limit
    bool resendEnabled = false;
    uint32_t overflowChunkSize = 0;
    uint32_t resendGapLimit = 0;       // 0: no limit
    uint32_t missingPacketLimit = 0;   // 0: no limit
};

// A frame handed over by the driver, read in place in its buffer until it is returned.
class Frame {
public:
    Frame() = default;
    // `payloadRoom`: the bytes of the frame's buffer after its PayloadArea starts; payload beyond
    // it (an overflowed frame) is not in this buffer.
    explicit Frame(uint64_t headerAddress, uint32_t payloadRoom = 0)
        : headerAddress_(headerAddress), payloadRoom_(payloadRoom)
    {
    }

    bool Valid() const { return headerAddress_ != 0; }
    // The user address the driver handed over: the frame's FrameHeader.
    uint64_t HeaderAddress() const { return headerAddress_; }
    const FrameHeader& Header() const { return *reinterpret_cast<const FrameHeader*>(headerAddress_); }
    uint16_t Status() const { return Header().FrameStatus; }
    uint64_t BlockId() const { return Header().BlockId; }
    uint64_t Timestamp() const { return Header().Timestamp; }
    // The leader and trailer packets as kept (GVSP header first), and the payload received, as far
    // as it lies in this buffer.
    std::span<const uint8_t> Leader() const;
    std::span<const uint8_t> Trailer() const;
    std::span<const uint8_t> Payload() const;

private:
    const uint8_t* At(uint32_t offset) const { return reinterpret_cast<const uint8_t*>(headerAddress_) + offset; }
    uint64_t headerAddress_ = 0;
    uint32_t payloadRoom_ = 0;
};

// A frame request in flight (overlapped).
class Stream;

class PendingFrame {
public:
    PendingFrame(const Stream& stream, UserProcess& process, HANDLE handle);
    PendingFrame(const PendingFrame&) = delete;
    PendingFrame& operator=(const PendingFrame&) = delete;

    // STATUS_PENDING while it waits; its final status once completed.
    NTSTATUS Status() const;
    bool Done() const { return Status() != STATUS_PENDING; }
    // Waits up to `milliseconds` for completion: STATUS_PENDING when the time passed first; else
    // its final status, and the frame when it succeeded.
    NTSTATUS Wait(Frame* frame, DWORD milliseconds = INFINITE);
    // Cancels this request only.
    bool Cancel();
    ULONG_PTR BytesReturned() const;
    // Where the driver writes the frame's address: the request's output buffer.
    const void* OutputAddress() const { return &record_; }

private:
    friend class Stream;
    const Stream& stream_;
    UserProcess& process_;
    HANDLE handle_;
    OVERLAPPED overlapped_{};
    FrameHandOver record_{};
};

// One camera stream: a handle of its own, one bound port, its cache in this process's memory.
class Stream {
public:
    explicit Stream(UserProcess& process);
    ~Stream();
    Stream(const Stream&) = delete;
    Stream& operator=(const Stream&) = delete;

    HANDLE Handle() const { return handle_; }

    // Binds `udpPort` of the adapter with `mac`; the PortId on success.
    NTSTATUS Bind(const MacAddress& mac, uint16_t udpPort, uint32_t* portId = nullptr);

    // Allocates the StreamControlBlock and `frameCount` buffers of `bufferSize` bytes in process
    // memory and describes them in the block; false beyond FRAME_COUNT_MAX frames or when memory
    // runs out.
    bool AllocateCache(uint32_t frameCount, uint32_t bufferSize);
    StreamControlBlock& Block() const { return *block_; }
    uint32_t BlockLength() const { return blockLength_; }
    FrameDescriptor& Descriptor(uint32_t index) const;
    uint64_t BufferAddress(uint32_t index) const { return buffers_.at(index); }
    void Configure(const StreamConfig& config);
    // Writes the buffer sizes into the descriptors again (a cache release clears them).
    void DescribeBuffers();

    NTSTATUS SetupCache();
    // Sets or clears the block's Active flag: the driver takes the stream's packets while it is 1.
    void SetActive(bool active);
    NTSTATUS Start();
    NTSTATUS Stop();
    // Waits for the next frame (a synchronous frame request).
    NTSTATUS GetFrame(Frame* frame);
    // Issues a frame request that completes later.
    std::unique_ptr<PendingFrame> RequestFrame();
    NTSTATUS ReturnFrame(const Frame& frame);
    // The frame whose FrameHeader is at `headerAddress`, as a frame request hands it over.
    Frame FrameAt(uint64_t headerAddress) const;
    NTSTATUS Flush();
    NTSTATUS ReleaseCache();
    // Closes the handle: the driver tears the port down.
    void Close();

private:
    NTSTATUS Control(ULONG code, void* input = nullptr, ULONG inputLength = 0, void* output = nullptr,
        ULONG outputLength = 0, ULONG_PTR* information = nullptr);

    UserProcess& process_;
    HANDLE handle_;
    StreamControlBlock* block_ = nullptr;
    uint32_t blockLength_ = 0;
    uint32_t bufferSize_ = 0;
    std::vector<uint64_t> buffers_;
};

}  // namespace gvsp
