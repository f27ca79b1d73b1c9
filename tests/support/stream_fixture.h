// A loaded driver with one adapter and a user process holding a stream, for the tests of the
// control interface; and the staging of frames the way frame completion leaves them.
#pragma once

#include <gtest/gtest.h>

#include "base/stream_port.h"
#include "client/gvsp_client.h"
#include "control/control_device.h"
#include "delivery/frame_completion.h"
#include "host/memory/memory.h"
#include "tests/support/gvsp_machine.h"

namespace gvsptest {

constexpr uint32_t SMALL_BUFFER = FRAME_BUFFER_MIN_SIZE + 4096;

// The StreamPort a PortId names (the driver's own record, as a kernel debugger would find it),
// read under the adapter table's lock as the driver's readers do: the driver unhooks ports
// while tests look.
inline StreamPort* PortOf(uint32_t portId)
{
    LOCK_STATE_EX lockState;
    NdisAcquireRWLockRead(DriverGlobals.AdapterTableLock, &lockState, 0);
    FilterAdapter* adapter = DriverGlobals.AdapterTable[(portId >> 16) - 1];
    StreamPort* port = adapter != nullptr ? adapter->StreamPorts[(portId & 0xFFFF) - 1] : nullptr;
    NdisReleaseRWLock(DriverGlobals.AdapterTableLock, &lockState);
    return port;
}

// A slot opened for a new block, and a frame closed, as the receive path does it, with what they
// decided (hand-overs, frame events) carried out at once.
inline FrameSlot* OpenSlot(StreamPort* port)
{
    AssemblyEffects effects = {};
    FrameSlot* slot = OpenFrameSlot(port, FALSE, &effects);
    FinishAssemblyEffects(port, &effects, nullptr);
    return slot;
}
inline VOID CloseSlot(StreamPort* port, FrameSlot* slot)
{
    AssemblyEffects effects = {};
    CompleteFrame(port, slot, TRUE, &effects);
    FinishAssemblyEffects(port, &effects, nullptr);
}

// Opens a slot for `blockId` and closes it with `status`, as the receive path does when a
// frame ends. Returns the slot's buffer index.
inline USHORT StageFrame(uint32_t portId, uint64_t blockId, uint16_t status = FRAME_STATUS_COMPLETE)
{
    StreamPort* port = PortOf(portId);
    EXPECT_TRUE(ExAcquireRundownProtection(&port->CacheRundown));
    FrameSlot* slot = OpenSlot(port);
    EXPECT_NE(slot, nullptr);
    slot->Header->BlockId = blockId;
    slot->Header->FrameStatus = status;
    CloseSlot(port, slot);
    ExReleaseRundownProtection(&port->CacheRundown);
    return slot->FrameIndex;
}

class StreamTest : public ::testing::Test {
protected:
    static constexpr Mac CAMERA_ADAPTER = MacOf(0xA0);
    static constexpr uint16_t STREAM_PORT = 50000;

    void SetUp() override
    {
        adapter = &m.AddAdapter(CAMERA_ADAPTER);
        ASSERT_EQ(m.Load(), STATUS_SUCCESS);
        process = &m.NewProcess();
        stream = std::make_unique<gvsp::Stream>(*process);
    }
    void TearDown() override { stream.reset(); }

    // Bind, allocate `frames` buffers, configure and set up.
    void OpenStream(uint32_t frames = 4, uint32_t bufferSize = SMALL_BUFFER, gvsp::StreamConfig config = {})
    {
        ASSERT_EQ(stream->Bind(CAMERA_ADAPTER, STREAM_PORT, &portId), STATUS_SUCCESS);
        ASSERT_TRUE(stream->AllocateCache(frames, bufferSize));
        if (config.packetSize == 0) {
            config.packetSize = 1464;
            config.frameSize = 4096;
        }
        stream->Configure(config);
        ASSERT_EQ(stream->SetupCache(), STATUS_SUCCESS);
    }

    GvspMachine m;
    host::Adapter* adapter = nullptr;
    host::UserProcess* process = nullptr;
    std::unique_ptr<gvsp::Stream> stream;
    uint32_t portId = 0;
};

}  // namespace gvsptest
