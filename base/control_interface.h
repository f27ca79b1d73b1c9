// The control device's contract with user mode: the control codes, the input and output of
// each, and the data of a frame-event notification. Packed, little-endian, fixed-width types
// only, like base/stream_memory.h beside it: user-mode code includes the two alone.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- Control codes --------------------------------------------------------------------------
// Device type 0x17 (physical netcard), METHOD_BUFFERED, FILE_ANY_ACCESS: one system buffer
// carries the input and receives the output. Requests with no input read none.
constexpr uint32_t IOCTL_STREAM_BIND_PORT = 0x00170038;       // BindPortInput → BindPortOutput
constexpr uint32_t IOCTL_STREAM_SETUP_CACHE = 0x00170040;     // SetupCacheInput
constexpr uint32_t IOCTL_STREAM_GET_FRAME = 0x00170044;       // → FrameHandOver
constexpr uint32_t IOCTL_STREAM_RETURN_FRAME = 0x00170048;    // FrameHandOver
constexpr uint32_t IOCTL_STREAM_START = 0x0017004C;
constexpr uint32_t IOCTL_STREAM_STOP = 0x00170050;
constexpr uint32_t IOCTL_ADAPTER_QUERY = 0x0017005C;          // AdapterQueryInput
constexpr uint32_t IOCTL_DRIVER_GET_VERSION = 0x00170060;     // → DRIVER_VERSION_SIZE bytes of text
constexpr uint32_t IOCTL_STREAM_RELEASE_CACHE = 0x0017006C;
constexpr uint32_t IOCTL_STREAM_FLUSH_FRAMES = 0x00170070;

// The version text, NUL-padded.
constexpr uint32_t DRIVER_VERSION_SIZE = 32;

#pragma pack(push, 1)

// ---- IOCTL_STREAM_BIND_PORT -----------------------------------------------------------------
struct BindPortInput {
    uint8_t MacAddress[6];    // the adapter's, in wire order
    uint16_t UdpPort;         // host order
};
static_assert(offsetof(BindPortInput, MacAddress) == 0);
static_assert(offsetof(BindPortInput, UdpPort) == 6);
static_assert(sizeof(BindPortInput) == 8);

// The leading bytes of the new port's record; an output buffer gets as many as it has room for,
// so a 4-byte one gets the PortId alone.
struct BindPortOutput {
    uint32_t PortId;          // (AdapterIndex + 1) << 16 | (SlotIndex + 1)
    uint32_t AdapterIndex;
    uint32_t SlotIndex;
};
static_assert(offsetof(BindPortOutput, PortId) == 0);
static_assert(offsetof(BindPortOutput, AdapterIndex) == 4);
static_assert(offsetof(BindPortOutput, SlotIndex) == 8);
static_assert(sizeof(BindPortOutput) == 12);

// ---- IOCTL_STREAM_SETUP_CACHE ---------------------------------------------------------------
// The driver reads the block's address and length; the three logged values only appear in the
// event of a failed set-up.
struct SetupCacheInput {
    uint32_t LoggedId;             // "Id" of the failure event
    uint8_t Reserved4[4];
    uint32_t LoggedCount;          // "Cnt"
    uint8_t Reserved12[8];
    uint32_t LoggedSize;           // "Sz"
    uint64_t ControlBlockAddress;  // user address of the StreamControlBlock
    uint16_t ControlBlockLength;   // its bytes: StreamControlBlockSize(FrameCount)
};
static_assert(offsetof(SetupCacheInput, LoggedId) == 0);
static_assert(offsetof(SetupCacheInput, LoggedCount) == 8);
static_assert(offsetof(SetupCacheInput, LoggedSize) == 20);
static_assert(offsetof(SetupCacheInput, ControlBlockAddress) == 24);
static_assert(offsetof(SetupCacheInput, ControlBlockLength) == 32);
static_assert(sizeof(SetupCacheInput) == 34);

// ---- IOCTL_STREAM_GET_FRAME output, IOCTL_STREAM_RETURN_FRAME input -------------------------
// The frame hand-over record. A smaller output buffer gets its low bytes.
struct FrameHandOver {
    uint64_t HeaderAddress;   // user address of the frame's FrameHeader: the buffer's + 668
};
static_assert(sizeof(FrameHandOver) == 8);

// ---- IOCTL_ADAPTER_QUERY --------------------------------------------------------------------
struct AdapterQueryInput {
    uint8_t MacAddress[6];    // in wire order
};
static_assert(sizeof(AdapterQueryInput) == 6);

// ---- Frame-event notification ---------------------------------------------------------------
// Reported as a custom target-device-change notification on the first disk volume's device,
// event {6CD059A7-2021-49ED-A8FC-D56929383A07}; this is its custom data.
constexpr uint32_t FRAME_EVENT_DATA_SIZE = 86;

struct FrameEventData {
    uint16_t Version;              // FRAME_EVENT_DATA_VERSION
    uint16_t Kind;                 // FRAME_EVENT_DATA_KIND
    uint32_t Reserved4;            // 0
    uint32_t PortId;
    uint32_t EventCode;            // 2 overwritten before collected, 3 given up, 7 missing-packet limit
    uint64_t BlockId;              // of the frame
    uint64_t Timestamp;            // of the frame
    uint32_t StreamChannelIndex;   // the block's, widened
    uint16_t GvspStatus;           // of the frame
    uint8_t Reserved38[48];        // 0
};
constexpr uint16_t FRAME_EVENT_DATA_VERSION = 1;
constexpr uint16_t FRAME_EVENT_DATA_KIND = 83;
static_assert(offsetof(FrameEventData, Version) == 0);
static_assert(offsetof(FrameEventData, Kind) == 2);
static_assert(offsetof(FrameEventData, Reserved4) == 4);
static_assert(offsetof(FrameEventData, PortId) == 8);
static_assert(offsetof(FrameEventData, EventCode) == 12);
static_assert(offsetof(FrameEventData, BlockId) == 16);
static_assert(offsetof(FrameEventData, Timestamp) == 24);
static_assert(offsetof(FrameEventData, StreamChannelIndex) == 32);
static_assert(offsetof(FrameEventData, GvspStatus) == 36);
static_assert(offsetof(FrameEventData, Reserved38) == 38);
static_assert(sizeof(FrameEventData) == FRAME_EVENT_DATA_SIZE);

#pragma pack(pop)
