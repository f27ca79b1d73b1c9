// The frame cache: set-up, the report in user memory, refusals of hostile or broken set-ups,
// release, and frames coming back from user mode (an overflowed one into a larger buffer).
#include <gtest/gtest.h>

#include <cstring>

#include "host/verifier/checker.h"
#include "tests/support/stream_fixture.h"

using namespace gvsptest;

namespace {

const FramePrivate& PrivateOf(const gvsp::Stream& s, uint32_t index)
{
    return *reinterpret_cast<const FramePrivate*>(s.BufferAddress(index));
}

class FrameCache : public StreamTest {};

TEST_F(FrameCache, ASetUpMapsEveryBufferAndReportsIt)
{
    OpenStream(4);
    const StreamControlBlock& block = stream->Block();
    EXPECT_EQ(block.FreeFrameCount, 4u);
    EXPECT_EQ(block.CompletedFrameCount, 0u);
    EXPECT_EQ(block.AssemblingFrameCount, 0u);
    EXPECT_EQ(block.FrameHeaderSize, 8288u);
    EXPECT_EQ(block.FramePrivateSize, 668u);
    for (uint32_t i = 0; i < 4; ++i) {
        const FrameDescriptor& d = stream->Descriptor(i);
        EXPECT_EQ(d.UserAddress, stream->BufferAddress(i));
        EXPECT_EQ(d.Mdl, FRAME_BUFFER_LOCKED);
        EXPECT_EQ(d.SystemEnd, d.SystemAddress + SMALL_BUFFER);
        EXPECT_EQ(PrivateOf(*stream, i).FrameIndex, i);
    }
    auto done = m.EventsOf(MSG_CACHE_INIT_COMPLETE);
    ASSERT_EQ(done.size(), 1u);
    EXPECT_EQ(done[0].Insertion(), "Id:" + std::to_string(portId) + ",PSz:1464,FSz:4096,FCnt:4");
}

TEST_F(FrameCache, ARepeatedSetUpTakesEveryFrameBackAndKeepsTheMapping)
{
    OpenStream(4);
    StageFrame(portId, 1);
    StageFrame(portId, 2);
    gvsp::Frame held;
    ASSERT_EQ(stream->GetFrame(&held), STATUS_SUCCESS);
    EXPECT_EQ(stream->Block().FreeFrameCount, 2u);
    size_t locked = host::LockedMdls();

    // The input's address is ignored: the mapped block stays.
    uint8_t input[34] = {};
    uint64_t bogus = 0x1000;
    std::memcpy(input + 24, &bogus, sizeof bogus);
    uint16_t length = 2048;
    std::memcpy(input + 32, &length, sizeof length);
    ULONG_PTR information = 0;
    ASSERT_EQ(process->NtDeviceIoControlFile(stream->Handle(), IOCTL_STREAM_SETUP_CACHE, input, sizeof input, nullptr,
                  0, &information),
        STATUS_SUCCESS);
    EXPECT_EQ(stream->Block().FreeFrameCount, 4u);
    EXPECT_EQ(stream->Block().CompletedFrameCount, 0u);
    EXPECT_EQ(host::LockedMdls(), locked);

    // The frame user mode held was taken back: returning it now changes nothing.
    EXPECT_EQ(stream->ReturnFrame(held), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(stream->Block().FreeFrameCount, 4u);
}

TEST_F(FrameCache, AReleaseUnmapsEverythingAndASetUpMapsAgain)
{
    OpenStream(3);
    ASSERT_EQ(stream->ReleaseCache(), STATUS_SUCCESS);
    EXPECT_EQ(host::LockedMdls(), 0u);
    for (uint32_t i = 0; i < 3; ++i) {
        const FrameDescriptor& d = stream->Descriptor(i);
        EXPECT_EQ(d.SystemAddress, 0u);
        EXPECT_EQ(d.Mdl, 0u);
        EXPECT_EQ(d.SystemEnd, 0u);
        EXPECT_EQ(d.Size, 0u);
        EXPECT_EQ(d.UserAddress, stream->BufferAddress(i));
    }
    EXPECT_EQ(m.EventsOf(MSG_CONTEXT_CLEANUP).at(0).Insertion(), "Id:" + std::to_string(portId));

    gvsp::Frame frame;
    EXPECT_EQ(stream->GetFrame(&frame), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(stream->Start(), STATUS_UNSUCCESSFUL);

    // The sizes must be written again; without them no buffer can hold a frame.
    EXPECT_EQ(stream->SetupCache(), STATUS_UNSUCCESSFUL);
    stream->DescribeBuffers();
    EXPECT_EQ(stream->SetupCache(), STATUS_SUCCESS);
    EXPECT_EQ(stream->Block().FreeFrameCount, 3u);
    EXPECT_EQ(stream->Descriptor(2).Mdl, FRAME_BUFFER_LOCKED);
}

// The process that set the cache up exits while another process still holds a duplicate of its
// handle: the cache is released as the process ends, nothing of it stays locked, and the other
// process's last close cleans up in its own context.
TEST_F(FrameCache, IsReleasedWhenItsProcessExitsWhateverHandlesRemain)
{
    host::UserProcess& owner = m.NewProcess();
    host::UserProcess& other = m.NewProcess();
    HANDLE duplicate = INVALID_HANDLE_VALUE;
    {
        gvsp::Stream s(owner);
        ASSERT_EQ(s.Bind(CAMERA_ADAPTER, STREAM_PORT, &portId), STATUS_SUCCESS);
        ASSERT_TRUE(s.AllocateCache(2, SMALL_BUFFER));
        s.Configure({.frameSize = 4096, .packetSize = 1464});
        ASSERT_EQ(s.SetupCache(), STATUS_SUCCESS);
        duplicate = other.DuplicateHandleFrom(owner, s.Handle());
        ASSERT_NE(duplicate, INVALID_HANDLE_VALUE);
    }
    ASSERT_GT(host::LockedMdls(), 0u);
    m.ClearEvents();
    m.Machine().EndProcess(owner);
    EXPECT_EQ(host::LockedMdls(), 0u);
    EXPECT_EQ(m.EventsOf(MSG_CONTEXT_CLEANUP).size(), 1u);

    ULONG_PTR information = 0;
    EXPECT_EQ(other.NtDeviceIoControlFile(duplicate, IOCTL_STREAM_RELEASE_CACHE, nullptr, 0, nullptr, 0, &information),
        STATUS_UNSUCCESSFUL) << "the cache outlived its process";
    EXPECT_TRUE(other.CloseHandle(duplicate));
    EXPECT_EQ(PortOf(portId), nullptr);
}

// A set-up that cannot map what it was given fails naming the cause (the unique value of
// MSG_MAP_BUFFER_FAILED), unlocks whatever it had mapped, and a corrected set-up may follow at once.
struct BrokenSetUp {
    const char* name;
    uint32_t cause;
    void (*breakIt)(gvsp::Stream&, host::UserProcess&);
    void (*mend)(gvsp::Stream&, host::UserProcess&);
};

void PrintTo(const BrokenSetUp& c, std::ostream* os) { *os << c.name; }

class FrameCacheBroken : public StreamTest, public ::testing::WithParamInterface<BrokenSetUp> {};

TEST_P(FrameCacheBroken, FailsNamingTheCauseAndUnlocksEverything)
{
    ASSERT_EQ(stream->Bind(CAMERA_ADAPTER, STREAM_PORT, &portId), STATUS_SUCCESS);
    ASSERT_TRUE(stream->AllocateCache(4, SMALL_BUFFER));
    GetParam().breakIt(*stream, *process);
    m.ClearEvents();

    EXPECT_EQ(stream->SetupCache(), STATUS_UNSUCCESSFUL);
    ASSERT_GE(m.Events().size(), 2u);
    EXPECT_EQ(m.Events()[0].Symbol(), "MSG_MAP_BUFFER_FAILED");
    EXPECT_EQ(m.Events()[0].UniqueErrorValue(), GetParam().cause);
    EXPECT_EQ(m.Events()[1].Symbol(), "MSG_CACHE_INIT_FAILED");
    EXPECT_EQ(m.Events()[1].Insertion(), "Id:0,Cnt:4,Idx:0,Sz:" + std::to_string(SMALL_BUFFER));
    EXPECT_EQ(host::LockedMdls(), 0u);
    EXPECT_EQ(stream->Descriptor(0).Mdl, 0u);

    GetParam().mend(*stream, *process);
    EXPECT_EQ(stream->SetupCache(), STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Table, FrameCacheBroken,
    ::testing::Values(BrokenSetUp{"BlockNotWritable", 0,
                          [](gvsp::Stream& s, host::UserProcess& p) { p.Protect(&s.Block(), true); },
                          [](gvsp::Stream& s, host::UserProcess& p) { p.Protect(&s.Block(), false); }},
        BrokenSetUp{"BufferInUnmappedMemory", 1,
            [](gvsp::Stream& s, host::UserProcess& p) {
                s.Descriptor(2).UserAddress = reinterpret_cast<uint64_t>(p.InvalidAddress());
            },
            [](gvsp::Stream& s, host::UserProcess&) {
                s.Descriptor(2).UserAddress = s.BufferAddress(2);
                s.DescribeBuffers();
            }},
        // The failed set-up cleared the sizes of the buffers it had mapped, as every release does;
        // exactly the minimum is a frame buffer without payload room.
        BrokenSetUp{"BufferTooSmallForHeaderAndAreas", 2,
            [](gvsp::Stream& s, host::UserProcess&) { s.Descriptor(1).Size = FRAME_BUFFER_MIN_SIZE - 1; },
            [](gvsp::Stream& s, host::UserProcess&) {
                EXPECT_EQ(s.Descriptor(0).Size, 0u);
                s.DescribeBuffers();
                s.Descriptor(1).Size = FRAME_BUFFER_MIN_SIZE;
            }}),
    [](const ::testing::TestParamInfo<BrokenSetUp>& param) { return std::string(param.param.name); });

TEST_F(FrameCache, CountsBeyondTheBlockAreRefused)
{
    ASSERT_EQ(stream->Bind(CAMERA_ADAPTER, STREAM_PORT, &portId), STATUS_SUCCESS);
    ASSERT_TRUE(stream->AllocateCache(2, SMALL_BUFFER));
    for (uint32_t count : {3u, 0xFFFFFFFFu}) {
        stream->Block().FrameCount = count;
        EXPECT_EQ(stream->SetupCache(), STATUS_UNSUCCESSFUL) << count;
    }
}

class FrameReturn : public StreamTest {};

TEST_F(FrameReturn, AnAddressThatIsNoFrameChangesNothing)
{
    OpenStream(2);
    StageFrame(portId, 7);
    EXPECT_EQ(stream->ReturnFrame(gvsp::Frame(stream->BufferAddress(0))), STATUS_SUCCESS);
    EXPECT_EQ(stream->Block().FreeFrameCount, 1u);
    EXPECT_EQ(stream->Block().CompletedFrameCount, 1u);
}

TEST_F(FrameReturn, AFrameComesBackOnceOnly)
{
    OpenStream(2);
    StageFrame(portId, 7);
    gvsp::Frame frame;
    ASSERT_EQ(stream->GetFrame(&frame), STATUS_SUCCESS);
    EXPECT_EQ(stream->Block().FreeFrameCount, 1u);
    EXPECT_EQ(stream->ReturnFrame(frame), STATUS_SUCCESS);
    EXPECT_EQ(stream->Block().FreeFrameCount, 2u);
    EXPECT_EQ(stream->ReturnFrame(frame), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(stream->Block().FreeFrameCount, 2u);

    // A completed frame that user mode never received cannot be returned either.
    StageFrame(portId, 8);
    uint64_t completed = stream->Descriptor(0).UserAddress + FRAME_PRIVATE_SIZE;
    uint64_t other = stream->Descriptor(1).UserAddress + FRAME_PRIVATE_SIZE;
    EXPECT_EQ(stream->ReturnFrame(gvsp::Frame(completed)), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(stream->ReturnFrame(gvsp::Frame(other)), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(stream->Block().CompletedFrameCount, 1u);
}

TEST_F(FrameReturn, AFrameFromAnotherProcessIsReportedAndStillReturned)
{
    OpenStream(2);
    StageFrame(portId, 9);
    gvsp::Frame frame;
    ASSERT_EQ(stream->GetFrame(&frame), STATUS_SUCCESS);

    // Another process with a handle to the same file object.
    host::UserProcess& other = m.NewProcess();
    HANDLE duplicate = other.DuplicateHandleFrom(*process, stream->Handle());
    ASSERT_NE(duplicate, INVALID_HANDLE_VALUE);
    m.ClearEvents();
    uint64_t address = frame.HeaderAddress();
    ULONG_PTR information = 0;
    EXPECT_EQ(other.NtDeviceIoControlFile(duplicate, IOCTL_STREAM_RETURN_FRAME, &address, sizeof address, nullptr, 0,
                  &information),
        STATUS_SUCCESS);
    other.CloseHandle(duplicate);
    auto invalid = m.EventsOf(MSG_INVALID_CONTEXT);
    ASSERT_EQ(invalid.size(), 1u);
    char expected[128];
    std::snprintf(expected, sizeof expected, "Id:%u,UA:0x%016llX,PID:0x%016llX", portId,
        static_cast<unsigned long long>(address),
        static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(other.Id())));
    EXPECT_EQ(invalid[0].Insertion(), expected);
    EXPECT_EQ(stream->Block().FreeFrameCount, 2u);
}

// Makes a frame overflowed, as if the driver had placed payload beyond the buffer's end into chunks.
void Overflow(uint32_t portId, uint16_t index, uint32_t chunkSize, uint32_t chunks, uint16_t status)
{
    StreamPort* port = PortOf(portId);
    FrameSlot* slot = &port->FrameSlots[index];
    slot->OverflowChunkSize = chunkSize;
    for (uint32_t k = 0; k < chunks; ++k) {
        slot->OverflowChunks[k] = NdisAllocateMemoryWithTagPriority(port->NdisFilterHandle, chunkSize, POOL_TAG,
            LowPoolPriority);
        std::memset(slot->OverflowChunks[k], 0x5A + k, chunkSize);
        slot->OverflowBytes += chunkSize;
    }
    slot->Overflowed = TRUE;
    slot->Private->Overflowed = 1;
    slot->Header->FrameStatus = status;
}

TEST_F(FrameReturn, AReplacementTooSmallForTheChunksIsRefused)
{
    constexpr uint32_t CHUNK = 8192;
    OpenStream(2, SMALL_BUFFER);
    USHORT index = StageFrame(portId, 12, FRAME_STATUS_OVERFLOW);
    gvsp::Frame frame;
    ASSERT_EQ(stream->GetFrame(&frame), STATUS_SUCCESS);
    Overflow(portId, index, CHUNK, 2, FRAME_STATUS_OVERFLOW);

    // One byte short: the allocation ends at a guard page, so a write beyond it would fault.
    uint32_t shortSize = SMALL_BUFFER + 2 * CHUNK - 1;
    auto* replacement = static_cast<uint8_t*>(process->Allocate(shortSize));
    FrameDescriptor& d = stream->Descriptor(index);
    d.ReplacementUserAddress = reinterpret_cast<uint64_t>(replacement);
    d.ReplacementSize = shortSize;
    EXPECT_EQ(stream->ReturnFrame(frame), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(d.UserAddress, stream->BufferAddress(index));
    EXPECT_EQ(replacement[0], 0u);

    // With room enough the same frame can be returned again.
    auto* larger = static_cast<uint8_t*>(process->Allocate(SMALL_BUFFER + 2 * CHUNK));
    d.ReplacementUserAddress = reinterpret_cast<uint64_t>(larger);
    d.ReplacementSize = SMALL_BUFFER + 2 * CHUNK;
    EXPECT_EQ(stream->ReturnFrame(frame), STATUS_SUCCESS);
}

TEST_F(FrameReturn, AnOverflowedFrameWithAnotherStatusLosesItsChunks)
{
    OpenStream(2);
    USHORT index = StageFrame(portId, 13, FRAME_STATUS_INCOMPLETE);
    gvsp::Frame frame;
    ASSERT_EQ(stream->GetFrame(&frame), STATUS_SUCCESS);
    Overflow(portId, index, 4096, 3, FRAME_STATUS_INCOMPLETE);
    ASSERT_EQ(stream->ReturnFrame(frame), STATUS_SUCCESS);
    EXPECT_EQ(stream->Block().FreeFrameCount, 2u);
    FrameSlot* slot = &PortOf(portId)->FrameSlots[index];
    EXPECT_EQ(slot->OverflowChunks[0], nullptr);
    EXPECT_FALSE(slot->Overflowed);
    EXPECT_EQ(PrivateOf(*stream, index).Overflowed, 0);
}

}  // namespace
