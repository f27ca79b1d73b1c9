// The memory a camera library shares with the driver for one stream: the StreamControlBlock
// (configuration, counters, statistics and one FrameDescriptor per frame buffer) and the layout
// of a frame buffer (driver region, FrameHeader with PacketBitmap, LeaderArea, TrailerArea,
// PayloadArea). Packed, little-endian. Self-contained: user-mode code includes it alone.
#pragma once

#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)

// ---- Sizes ----------------------------------------------------------------------------------
constexpr uint32_t STREAM_CONTROL_HEADER_SIZE = 1024;   // the block's header; descriptors follow
constexpr uint32_t FRAME_DESCRIPTOR_SIZE = 112;
constexpr uint32_t STREAM_CONTROL_BLOCK_MAX_SIZE = 65535;
// The most descriptors a block of the largest length holds.
constexpr uint32_t FRAME_COUNT_MAX = (STREAM_CONTROL_BLOCK_MAX_SIZE - STREAM_CONTROL_HEADER_SIZE) / FRAME_DESCRIPTOR_SIZE;
static_assert(FRAME_COUNT_MAX == 575);

constexpr uint32_t FRAME_PRIVATE_SIZE = 668;      // the driver region at the start of a buffer
constexpr uint32_t FRAME_HEADER_SIZE = 8288;      // FrameHeader fields and PacketBitmap
constexpr uint32_t LEADER_AREA_SIZE = 576;
constexpr uint32_t TRAILER_AREA_SIZE = 576;
constexpr uint32_t OVERFLOW_CHUNK_MAX = 64;
constexpr uint32_t PACKET_BITMAP_BYTES = 8192;    // packet ids 0 to 65535

// Offsets from the FrameHeader (the address user mode is given for a frame).
constexpr uint32_t LEADER_AREA_OFFSET = FRAME_HEADER_SIZE;                        // 8288
constexpr uint32_t TRAILER_AREA_OFFSET = LEADER_AREA_OFFSET + LEADER_AREA_SIZE;    // 8864
constexpr uint32_t PAYLOAD_AREA_OFFSET = TRAILER_AREA_OFFSET + TRAILER_AREA_SIZE;  // 9440
// The smallest frame buffer: room for the header and both areas, none for payload.
constexpr uint32_t FRAME_BUFFER_MIN_SIZE = FRAME_PRIVATE_SIZE + PAYLOAD_AREA_OFFSET;
static_assert(FRAME_BUFFER_MIN_SIZE == 10108);

// ---- Frame status values --------------------------------------------------------------------
constexpr uint16_t FRAME_STATUS_COMPLETE = 0;
constexpr uint16_t FRAME_STATUS_INCOMPLETE = 3;
constexpr uint16_t FRAME_STATUS_DEVICE_ERROR = 4;
constexpr uint16_t FRAME_STATUS_OVERFLOW = 5;
constexpr uint16_t FRAME_STATUS_GAP_LIMIT = 6;
constexpr uint16_t FRAME_STATUS_MISSING_LIMIT = 7;

// Bits of StreamControlBlock.Flags: the hand-over policy.
constexpr uint32_t STREAM_FLAG_NEWEST_FRAME_ONLY = 0x1;
constexpr uint32_t STREAM_FLAG_WAITING_REQUESTS_ONLY = 0x2;

// ---- FrameDescriptor ------------------------------------------------------------------------
// One per frame buffer; descriptor i starts at byte 1024 + 112 × i of the block.
//
// No kernel address reaches this memory, which every local user may map: where the driver holds
// a system address it reports an offset from the start of the buffer (or block) it lies in, and
// where it holds an MDL it reports FRAME_BUFFER_LOCKED. Its own copies stay in its FrameSlots.
constexpr uint64_t FRAME_BUFFER_LOCKED = 1;   // Mdl: the driver holds the buffer's pages locked

struct FrameDescriptor {
    uint64_t UserAddress;                 // user: the buffer's user-space address
    uint64_t SystemAddress;               // driver: 0, the buffer's start as seen by the driver
    uint64_t Mdl;                         // driver: FRAME_BUFFER_LOCKED while mapped, else 0
    uint64_t SystemEnd;                   // driver: SystemAddress + Size
    uint32_t Size;                        // user: bytes of the buffer (cleared at cache release)
    uint32_t ReplacementSize;             // user: bytes of a larger buffer for an overflowed frame
    uint64_t ReplacementUserAddress;      // user: its user-space address
    uint64_t ReplacementSystemAddress;    // driver: 0
    uint64_t ReplacementMdl;              // driver: 0
    uint8_t Reserved[48];
};
static_assert(offsetof(FrameDescriptor, UserAddress) == 0);
static_assert(offsetof(FrameDescriptor, SystemAddress) == 8);
static_assert(offsetof(FrameDescriptor, Mdl) == 16);
static_assert(offsetof(FrameDescriptor, SystemEnd) == 24);
static_assert(offsetof(FrameDescriptor, Size) == 32);
static_assert(offsetof(FrameDescriptor, ReplacementSize) == 36);
static_assert(offsetof(FrameDescriptor, ReplacementUserAddress) == 40);
static_assert(offsetof(FrameDescriptor, ReplacementSystemAddress) == 48);
static_assert(offsetof(FrameDescriptor, ReplacementMdl) == 56);
static_assert(sizeof(FrameDescriptor) == FRAME_DESCRIPTOR_SIZE);

// ---- StreamControlBlock ---------------------------------------------------------------------
// The 1024-byte header; the FrameDescriptor array follows it. "user" fields are configuration
// that the library writes and the driver reads afresh at each use; "driver" fields are the
// driver's report. Reserved bytes are the library's own.
struct StreamControlBlock {
    uint8_t Reserved0[4];
    uint32_t FrameSize;                   // user: payload bytes of one frame
    uint32_t FrameCount;                  // user: frame buffers and descriptors
    uint32_t PacketSize;                  // user: GVSP bytes of one full data packet, header included
    uint16_t StreamChannelIndex;          // user: host order
    uint16_t ResendSourcePort;            // user: network order
    uint8_t Reserved20[14];
    uint16_t RequestMode;                 // user: 1 = a request finding no frame fails while not acquiring
    uint32_t ResendTimeout;               // user: milliseconds, 0 = no time-out retries
    uint8_t Reserved40[4];
    uint32_t Flags;                       // user: STREAM_FLAG_* hand-over policy
    uint16_t ResendRetryLimit;            // user: 0 = no limit
    uint8_t ResendEnabled;                // user
    uint8_t Reserved51;
    uint32_t OverflowChunkSize;           // user: bytes of one overflow chunk
    uint32_t ResendGapLimit;              // user: 0 = no limit
    uint32_t MissingPacketLimit;          // user: 0 = no limit
    uint8_t Reserved64[32];
    uint16_t FrameHeaderSize;             // driver: 8288
    uint16_t FramePrivateSize;            // driver: 668
    uint32_t ExpectedPacketCount;         // driver
    uint8_t Reserved104[48];
    uint8_t Active;                       // user: 1 = take this stream's packets; the driver clears it at detach
    uint8_t Reserved153[7];
    uint32_t ResendPacketsRequested;      // driver
    uint32_t MissingPackets;              // driver
    uint32_t ResendRequests;              // driver
    uint32_t DuplicatePackets;            // driver
    uint32_t ResentPackets;               // driver
    uint32_t UnsupportedPackets;          // driver
    uint8_t Reserved184[40];
    uint32_t ErrorStatusFrames;           // driver
    uint32_t IncompleteFrames;            // driver
    uint32_t OverwrittenFrames;           // driver
    uint32_t GapLimitFrames;              // driver
    uint32_t MissingLimitFrames;          // driver
    uint8_t Reserved244[4];
    uint32_t SkippedBlocks;               // driver
    uint32_t AssembledFrames;             // driver
    uint8_t Reserved256[32];
    uint32_t FreeFrameCount;              // driver
    uint32_t CompletedFrameCount;         // driver
    uint32_t AssemblingFrameCount;        // driver
    uint8_t NoFreeFrame;                  // driver
    uint8_t Reserved301[27];
    uint64_t FrameRate;                   // driver: frames per second × 100
    uint64_t DataRate;                    // driver: bytes per second × 100
    uint8_t Reserved344[680];
};
static_assert(offsetof(StreamControlBlock, FrameSize) == 4);
static_assert(offsetof(StreamControlBlock, FrameCount) == 8);
static_assert(offsetof(StreamControlBlock, PacketSize) == 12);
static_assert(offsetof(StreamControlBlock, StreamChannelIndex) == 16);
static_assert(offsetof(StreamControlBlock, ResendSourcePort) == 18);
static_assert(offsetof(StreamControlBlock, RequestMode) == 34);
static_assert(offsetof(StreamControlBlock, ResendTimeout) == 36);
static_assert(offsetof(StreamControlBlock, Flags) == 44);
static_assert(offsetof(StreamControlBlock, ResendRetryLimit) == 48);
static_assert(offsetof(StreamControlBlock, ResendEnabled) == 50);
static_assert(offsetof(StreamControlBlock, OverflowChunkSize) == 52);
static_assert(offsetof(StreamControlBlock, ResendGapLimit) == 56);
static_assert(offsetof(StreamControlBlock, MissingPacketLimit) == 60);
static_assert(offsetof(StreamControlBlock, FrameHeaderSize) == 96);
static_assert(offsetof(StreamControlBlock, FramePrivateSize) == 98);
static_assert(offsetof(StreamControlBlock, ExpectedPacketCount) == 100);
static_assert(offsetof(StreamControlBlock, Active) == 152);
static_assert(offsetof(StreamControlBlock, ResendPacketsRequested) == 160);
static_assert(offsetof(StreamControlBlock, MissingPackets) == 164);
static_assert(offsetof(StreamControlBlock, ResendRequests) == 168);
static_assert(offsetof(StreamControlBlock, DuplicatePackets) == 172);
static_assert(offsetof(StreamControlBlock, ResentPackets) == 176);
static_assert(offsetof(StreamControlBlock, UnsupportedPackets) == 180);
static_assert(offsetof(StreamControlBlock, ErrorStatusFrames) == 224);
static_assert(offsetof(StreamControlBlock, IncompleteFrames) == 228);
static_assert(offsetof(StreamControlBlock, OverwrittenFrames) == 232);
static_assert(offsetof(StreamControlBlock, GapLimitFrames) == 236);
static_assert(offsetof(StreamControlBlock, MissingLimitFrames) == 240);
static_assert(offsetof(StreamControlBlock, SkippedBlocks) == 248);
static_assert(offsetof(StreamControlBlock, AssembledFrames) == 252);
static_assert(offsetof(StreamControlBlock, FreeFrameCount) == 288);
static_assert(offsetof(StreamControlBlock, CompletedFrameCount) == 292);
static_assert(offsetof(StreamControlBlock, AssemblingFrameCount) == 296);
static_assert(offsetof(StreamControlBlock, NoFreeFrame) == 300);
static_assert(offsetof(StreamControlBlock, FrameRate) == 328);
static_assert(offsetof(StreamControlBlock, DataRate) == 336);
static_assert(sizeof(StreamControlBlock) == STREAM_CONTROL_HEADER_SIZE);

// The length of a block that holds `frameCount` descriptors.
constexpr uint32_t StreamControlBlockSize(uint32_t frameCount)
{
    return STREAM_CONTROL_HEADER_SIZE + FRAME_DESCRIPTOR_SIZE * frameCount;
}

// ---- Frame buffer ---------------------------------------------------------------------------
// The driver region, bytes 0 to 667 of a frame buffer. The library treats it as reserved.
// Positions are offsets, as in the FrameDescriptor: no kernel address is written here.
struct FramePrivate {
    uint64_t Links[2];                           // not written: the driver keeps its lists itself
    uint64_t Descriptor;                         // this buffer's FrameDescriptor: its offset in the block
    uint64_t OverflowChunks[OVERFLOW_CHUNK_MAX]; // chunk k allocated: the frame offset it continues at
                                                 // (buffer size + k × chunk size), else 0
    uint64_t FirstPacketTime;                    // microseconds when the slot was opened
    uint64_t AssemblyTime;                       // microseconds from FirstPacketTime to completion
    uint32_t OverflowBytes;                      // bytes of the chunks allocated for this frame
    uint8_t Overflowed;                          // a payload byte was aimed beyond the buffer end
    uint8_t Reserved557;
    uint16_t FrameIndex;                         // index of the buffer in the control block
    uint8_t Reserved[FRAME_PRIVATE_SIZE - 560];
};
static_assert(offsetof(FramePrivate, Links) == 0);
static_assert(offsetof(FramePrivate, Descriptor) == 16);
static_assert(offsetof(FramePrivate, OverflowChunks) == 24);
static_assert(offsetof(FramePrivate, FirstPacketTime) == 536);
static_assert(offsetof(FramePrivate, AssemblyTime) == 544);
static_assert(offsetof(FramePrivate, OverflowBytes) == 552);
static_assert(offsetof(FramePrivate, Overflowed) == 556);
static_assert(offsetof(FramePrivate, FrameIndex) == 558);
static_assert(sizeof(FramePrivate) == FRAME_PRIVATE_SIZE);

// The FrameHeader: the address user mode is given for a frame (the buffer + 668).
struct FrameHeader {
    uint32_t LeaderOffset;        // 8288 once the leader has arrived, else 0
    uint32_t LeaderSize;          // bytes of the leader packet kept, GVSP header included
    uint32_t PayloadOffset;       // 9440 once the leader has arrived, else 0
    uint32_t PayloadSize;         // payload bytes received so far
    uint32_t TrailerOffset;       // 8864 once the leader has arrived, else 0
    uint32_t TrailerSize;         // bytes of the trailer packet kept, GVSP header included
    uint64_t BlockId;
    uint64_t Timestamp;           // device timestamp from the leader
    uint16_t GvspStatus;          // status of the packet that closed the frame with a device error
    uint16_t FrameStatus;         // FRAME_STATUS_*
    uint16_t ResendRetries;       // time-out resend retries made for this frame
    uint8_t LeaderReceived;
    uint8_t TrailerReceived;
    uint32_t ResendCursor;        // highest packet id already covered by gap detection
    uint32_t LastPacketId;
    uint32_t HighestPacketId;
    uint32_t ReceivedPackets;     // leader and trailer included
    uint32_t TotalPackets;        // trailer packet id + 1; 0 until the trailer has arrived
    uint64_t LastPacketTime;      // microseconds of the last packet seen
    // Frame offsets from the buffer's start, chunk k counted at buffer size + k × chunk size:
    uint32_t RegionIndex;         // overflow chunk being written (0 also for the buffer itself)
    uint64_t RegionEnd;           // the end of the region being written
    uint64_t WritePointer;        // after the last byte written
    uint8_t PacketBitmap[PACKET_BITMAP_BYTES];   // bit (id & 7) of byte (id >> 3): packet id placed
};
static_assert(offsetof(FrameHeader, LeaderOffset) == 0);
static_assert(offsetof(FrameHeader, LeaderSize) == 4);
static_assert(offsetof(FrameHeader, PayloadOffset) == 8);
static_assert(offsetof(FrameHeader, PayloadSize) == 12);
static_assert(offsetof(FrameHeader, TrailerOffset) == 16);
static_assert(offsetof(FrameHeader, TrailerSize) == 20);
static_assert(offsetof(FrameHeader, BlockId) == 24);
static_assert(offsetof(FrameHeader, Timestamp) == 32);
static_assert(offsetof(FrameHeader, GvspStatus) == 40);
static_assert(offsetof(FrameHeader, FrameStatus) == 42);
static_assert(offsetof(FrameHeader, ResendRetries) == 44);
static_assert(offsetof(FrameHeader, LeaderReceived) == 46);
static_assert(offsetof(FrameHeader, TrailerReceived) == 47);
static_assert(offsetof(FrameHeader, ResendCursor) == 48);
static_assert(offsetof(FrameHeader, LastPacketId) == 52);
static_assert(offsetof(FrameHeader, HighestPacketId) == 56);
static_assert(offsetof(FrameHeader, ReceivedPackets) == 60);
static_assert(offsetof(FrameHeader, TotalPackets) == 64);
static_assert(offsetof(FrameHeader, LastPacketTime) == 68);
static_assert(offsetof(FrameHeader, RegionIndex) == 76);
static_assert(offsetof(FrameHeader, RegionEnd) == 80);
static_assert(offsetof(FrameHeader, WritePointer) == 88);
static_assert(offsetof(FrameHeader, PacketBitmap) == 96);
static_assert(sizeof(FrameHeader) == FRAME_HEADER_SIZE);

// A whole frame buffer as it begins: the driver region, then the FrameHeader at byte 668.
struct FrameSlotLayout {
    FramePrivate Private;
    FrameHeader Header;
};
static_assert(offsetof(FrameSlotLayout, Header) == FRAME_PRIVATE_SIZE);

#pragma pack(pop)
