// The rate window: the frames completed in the last five seconds or so, at most 50, from which
// the port's frame rate and data rate are published in hundredths. The samples live in the
// port's ring: recording one allocates nothing.
// Receive path, IRQL <= DISPATCH_LEVEL, with the port's assembly held.
#include "base/rate_statistics.h"

namespace {

// The window's sample `age` places after its oldest.
RateSample& SampleAt(StreamPort* port, ULONG age) _Requires_lock_held_(port->AssemblyLock)
{
    return port->RateSamples[(port->RateSampleOldest + age) % RATE_SAMPLE_MAX];
}

VOID DropOldestSample(StreamPort* port) _Requires_lock_held_(port->AssemblyLock)
{
    port->RateSampleOldest = (port->RateSampleOldest + 1) % RATE_SAMPLE_MAX;
    port->RateSampleCount -= 1;
}

}  // namespace

VOID RecordRateSample(StreamPort* port, ULONG64 payloadBytes, LONGLONG counter)
{
    // The newest sample, in a window of at most 50.
    if (port->RateSampleCount >= RATE_SAMPLE_MAX) {
        DropOldestSample(port);
    }
    RateSample& newest = SampleAt(port, port->RateSampleCount);
    newest.PayloadBytes = payloadBytes;
    newest.Counter = counter;
    port->RateSampleCount += 1;

    // Five seconds, while at least three samples remain.
    LONGLONG frequency = port->CounterFrequency;
    while (port->RateSampleCount >= 3 && counter - SampleAt(port, 0).Counter > RATE_WINDOW_SECONDS * frequency) {
        DropOldestSample(port);
    }

    // The oldest sample only marks where the window starts.
    ULONG count = port->RateSampleCount;
    if (count <= 1) {
        return;
    }
    ULONG64 bytes = 0;
    for (ULONG age = 1; age < count; ++age) {
        bytes += SampleAt(port, age).PayloadBytes;
    }
    auto delta = static_cast<ULONG64>(counter - SampleAt(port, 0).Counter);
    if (delta == 0) {
        return;
    }

    // In hundredths: n samples span n - 1 frame intervals.
    StreamControlBlock* block = port->ControlBlock;
    auto f = static_cast<ULONG64>(frequency);
    block->FrameRate = ((ULONG64{count} * 100 - 100) * f) / delta;
    block->DataRate = (bytes * f * 100) / delta;
}

VOID ResetRateSamples(StreamPort* port)
{
    port->RateSampleOldest = 0;
    port->RateSampleCount = 0;
}
