// The user-mode stream API over the control device. User mode.
#include "client/gvsp_client.h"

#include <cstring>

namespace gvsp {

namespace {

constexpr const char16_t* CONTROL_DEVICE_PATH = u"\\\\.\\jwGenICamForEthernet";
NTSTATUS ControlOn(UserProcess& process, HANDLE handle, ULONG code, void* input, ULONG inputLength,
    void* output, ULONG outputLength, ULONG_PTR* information)
{
    ULONG_PTR ignored = 0;
    return process.NtDeviceIoControlFile(handle, code, input, inputLength, output, outputLength,
        information != nullptr ? information : &ignored);
}

}  // namespace

// ---- ControlDevice ------------------------------------------------------------------------------
ControlDevice::ControlDevice(UserProcess& process)
    : process_(process), handle_(process.CreateFile(CONTROL_DEVICE_PATH))
{
}

ControlDevice::~ControlDevice()
{
    if (IsOpen()) {
        process_.CloseHandle(handle_);
    }
}

bool ControlDevice::IsOpen() const { return handle_ != INVALID_HANDLE_VALUE; }

NTSTATUS ControlDevice::Version(std::string* text) const
{
    char version[DRIVER_VERSION_SIZE] = {};
    NTSTATUS status = ControlOn(process_, handle_, IOCTL_DRIVER_GET_VERSION, nullptr, 0, version, sizeof version, nullptr);
    if (NT_SUCCESS(status)) {
        text->assign(version, strnlen(version, sizeof version));
    }
    return status;
}

NTSTATUS ControlDevice::QueryAdapter(const MacAddress& mac) const
{
    AdapterQueryInput input;
    std::memcpy(input.MacAddress, mac.data(), sizeof input.MacAddress);
    return ControlOn(process_, handle_, IOCTL_ADAPTER_QUERY, &input, sizeof input, nullptr, 0, nullptr);
}

// ---- Frame --------------------------------------------------------------------------------------
std::span<const uint8_t> Frame::Leader() const
{
    const FrameHeader& h = Header();
    uint32_t size = h.LeaderSize < LEADER_AREA_SIZE ? h.LeaderSize : LEADER_AREA_SIZE;
    return {At(LEADER_AREA_OFFSET), h.LeaderReceived ? size : 0u};
}

std::span<const uint8_t> Frame::Trailer() const
{
    const FrameHeader& h = Header();
    uint32_t size = h.TrailerSize < TRAILER_AREA_SIZE ? h.TrailerSize : TRAILER_AREA_SIZE;
    return {At(TRAILER_AREA_OFFSET), h.TrailerReceived ? size : 0u};
}

std::span<const uint8_t> Frame::Payload() const
{
    uint32_t size = Header().PayloadSize;
    return {At(PAYLOAD_AREA_OFFSET), size < payloadRoom_ ? size : payloadRoom_};
}

// ---- PendingFrame -------------------------------------------------------------------------------
PendingFrame::PendingFrame(const Stream& stream, UserProcess& process, HANDLE handle)
    : stream_(stream), process_(process), handle_(handle)
{
}

NTSTATUS PendingFrame::Status() const
{
    return static_cast<NTSTATUS>(__atomic_load_n(&overlapped_.Internal, __ATOMIC_ACQUIRE));
}

NTSTATUS PendingFrame::Wait(Frame* frame, DWORD milliseconds)
{
    DWORD transferred = 0;
    process_.GetOverlappedResultEx(handle_, &overlapped_, &transferred, milliseconds, FALSE);
    // Read after the wait: a request that completed just as the time ran out counts as completed.
    const NTSTATUS status = Status();
    if (frame != nullptr) {
        *frame = status != STATUS_PENDING && NT_SUCCESS(status) && BytesReturned() == sizeof record_
                     ? stream_.FrameAt(record_.HeaderAddress)
                     : Frame();
    }
    return status;
}

bool PendingFrame::Cancel() { return process_.CancelIoEx(handle_, &overlapped_) != FALSE; }

ULONG_PTR PendingFrame::BytesReturned() const { return overlapped_.InternalHigh; }

// ---- Stream -------------------------------------------------------------------------------------
Stream::Stream(UserProcess& process) : process_(process), handle_(process.CreateFile(CONTROL_DEVICE_PATH)) {}

Stream::~Stream() { Close(); }

NTSTATUS Stream::Control(ULONG code, void* input, ULONG inputLength, void* output, ULONG outputLength,
    ULONG_PTR* information)
{
    return ControlOn(process_, handle_, code, input, inputLength, output, outputLength, information);
}

NTSTATUS Stream::Bind(const MacAddress& mac, uint16_t udpPort, uint32_t* portId)
{
    BindPortInput input;
    std::memcpy(input.MacAddress, mac.data(), sizeof input.MacAddress);
    input.UdpPort = udpPort;
    BindPortOutput output{};
    NTSTATUS status = Control(IOCTL_STREAM_BIND_PORT, &input, sizeof input, &output, sizeof output);
    if (NT_SUCCESS(status) && portId != nullptr) {
        *portId = output.PortId;
    }
    return status;
}

bool Stream::AllocateCache(uint32_t frameCount, uint32_t bufferSize)
{
    if (frameCount > FRAME_COUNT_MAX) {
        return false;
    }
    blockLength_ = StreamControlBlockSize(frameCount);
    block_ = static_cast<StreamControlBlock*>(process_.Allocate(blockLength_));
    if (block_ == nullptr) {
        return false;
    }
    block_->FrameCount = frameCount;
    bufferSize_ = bufferSize;
    buffers_.clear();
    for (uint32_t i = 0; i < frameCount; ++i) {
        void* buffer = process_.Allocate(bufferSize);
        if (buffer == nullptr) {
            return false;
        }
        buffers_.push_back(reinterpret_cast<uint64_t>(buffer));
    }
    DescribeBuffers();
    return true;
}

FrameDescriptor& Stream::Descriptor(uint32_t index) const
{
    return reinterpret_cast<FrameDescriptor*>(reinterpret_cast<uint8_t*>(block_) + STREAM_CONTROL_HEADER_SIZE)[index];
}

void Stream::DescribeBuffers()
{
    for (uint32_t i = 0; i < buffers_.size(); ++i) {
        Descriptor(i).UserAddress = buffers_[i];
        Descriptor(i).Size = bufferSize_;
    }
}

void Stream::Configure(const StreamConfig& config)
{
    StreamControlBlock& b = *block_;
    b.FrameSize = config.frameSize;
    b.PacketSize = config.packetSize;
    b.StreamChannelIndex = config.streamChannelIndex;
    // Network order in the block's little-endian field.
    b.ResendSourcePort = static_cast<uint16_t>(config.resendSourcePort >> 8 | config.resendSourcePort << 8);
    b.RequestMode = config.requestMode;
    b.ResendTimeout = config.resendTimeoutMs;
    b.Flags = config.flags;
    b.ResendRetryLimit = config.resendRetryLimit;
    b.ResendEnabled = config.resendEnabled ? 1 : 0;
    b.OverflowChunkSize = config.overflowChunkSize;
    b.ResendGapLimit = config.resendGapLimit;
    b.MissingPacketLimit = config.missingPacketLimit;
}

NTSTATUS Stream::SetupCache()
{
    SetupCacheInput input{};
    input.LoggedCount = block_->FrameCount;
    input.LoggedSize = bufferSize_;
    input.ControlBlockAddress = reinterpret_cast<uint64_t>(block_);
    input.ControlBlockLength = static_cast<uint16_t>(blockLength_);
    return Control(IOCTL_STREAM_SETUP_CACHE, &input, sizeof input);
}

void Stream::SetActive(bool active)
{
    __atomic_store_n(&block_->Active, uint8_t(active ? 1 : 0), __ATOMIC_RELEASE);
}

NTSTATUS Stream::Start() { return Control(IOCTL_STREAM_START); }

NTSTATUS Stream::Stop() { return Control(IOCTL_STREAM_STOP); }

NTSTATUS Stream::GetFrame(Frame* frame)
{
    FrameHandOver record{};
    ULONG_PTR information = 0;
    NTSTATUS status = Control(IOCTL_STREAM_GET_FRAME, nullptr, 0, &record, sizeof record, &information);
    *frame = NT_SUCCESS(status) && information == sizeof record ? FrameAt(record.HeaderAddress) : Frame();
    return status;
}

Frame Stream::FrameAt(uint64_t headerAddress) const
{
    // The descriptors tell the buffer's size, also after an overflowed frame moved.
    for (uint32_t i = 0; block_ != nullptr && i < block_->FrameCount; ++i) {
        const FrameDescriptor& d = Descriptor(i);
        if (d.UserAddress + FRAME_PRIVATE_SIZE == headerAddress && d.Size >= FRAME_BUFFER_MIN_SIZE) {
            return Frame(headerAddress, d.Size - FRAME_BUFFER_MIN_SIZE);
        }
    }
    return Frame(headerAddress);
}

std::unique_ptr<PendingFrame> Stream::RequestFrame()
{
    auto pending = std::make_unique<PendingFrame>(*this, process_, handle_);
    DWORD returned = 0;
    process_.DeviceIoControl(handle_, IOCTL_STREAM_GET_FRAME, nullptr, 0, &pending->record_, sizeof pending->record_,
        &returned, &pending->overlapped_);
    return pending;
}

NTSTATUS Stream::ReturnFrame(const Frame& frame)
{
    FrameHandOver input = {frame.HeaderAddress()};
    return Control(IOCTL_STREAM_RETURN_FRAME, &input, sizeof input);
}

NTSTATUS Stream::Flush() { return Control(IOCTL_STREAM_FLUSH_FRAMES); }

NTSTATUS Stream::ReleaseCache() { return Control(IOCTL_STREAM_RELEASE_CACHE); }

void Stream::Close()
{
    if (handle_ != INVALID_HANDLE_VALUE) {
        process_.CloseHandle(handle_);
        handle_ = INVALID_HANDLE_VALUE;
    }
}

}  // namespace gvsp
