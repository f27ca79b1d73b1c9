// The rate window: the frames completed in the last five seconds or so, at most 50, from which
// the port's frame rate and data rate are published in hundredths.
// Receive path, IRQL <= DISPATCH_LEVEL, with the port's assembly held.
#include "stream/rate_statistics.h"

namespace {

RateSample* SampleOf(PLIST_ENTRY links)
{
    return CONTAINING_RECORD(links, RateSample, Links);
}

VOID DropOldestSample(StreamPort* port) _Requires_lock_held_(port->AssemblyLock)
{
    RateSample* oldest = SampleOf(RemoveHeadList(&port->RateSamples));
    ExFreeToNPagedLookasideList(&port->RateSampleLookaside, oldest);
    port->RateSampleCount -= 1;
}

}  // namespace

VOID RecordRateSample(StreamPort* port, ULONG64 payloadBytes, LONGLONG counter)
{
    // The newest sample, in a window of at most 50.
    if (port->RateSampleCount >= RATE_SAMPLE_MAX) {
        DropOldestSample(port);
    }
    auto* sample = static_cast<RateSample*>(ExAllocateFromNPagedLookasideList(&port->RateSampleLookaside));
    if (sample == nullptr) {
        return;
    }
    sample->PayloadBytes = payloadBytes;
    sample->Counter = counter;
    InsertTailList(&port->RateSamples, &sample->Links);
    port->RateSampleCount += 1;

    // Five seconds, while at least three samples remain.
    LONGLONG frequency = port->CounterFrequency;
    while (port->RateSampleCount >= 3 &&
           SampleOf(port->RateSamples.Blink)->Counter - SampleOf(port->RateSamples.Flink)->Counter >
               RATE_WINDOW_SECONDS * frequency) {
        DropOldestSample(port);
    }

    // The oldest sample only marks where the window starts.
    if (port->RateSampleCount <= 1) {
        return;
    }
    ULONG64 bytes = 0;
    for (PLIST_ENTRY entry = port->RateSamples.Flink->Flink; entry != &port->RateSamples; entry = entry->Flink) {
        bytes += SampleOf(entry)->PayloadBytes;
    }
    auto delta = static_cast<ULONG64>(SampleOf(port->RateSamples.Blink)->Counter - SampleOf(port->RateSamples.Flink)->Counter);
    if (delta == 0) {
        return;
    }

    // In hundredths: n samples span n - 1 frame intervals.
    StreamControlBlock* block = port->ControlBlock;
    auto f = static_cast<ULONG64>(frequency);
    block->FrameRate = ((ULONG64{port->RateSampleCount} * 100 - 100) * f) / delta;
    block->DataRate = (bytes * f * 100) / delta;
}

VOID ResetRateSamples(StreamPort* port)
{
    while (!IsListEmpty(&port->RateSamples)) {
        DropOldestSample(port);
    }
    port->RateSampleCount = 0;
}
