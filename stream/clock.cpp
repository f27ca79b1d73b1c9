// The driver's clock. Every time stamp kept in a frame and every time-out is in its
// microseconds. Any IRQL.
#include "stream/clock.h"

LONGLONG QueryMicroseconds()
{
    LARGE_INTEGER frequency;
    LARGE_INTEGER counter = KeQueryPerformanceCounter(&frequency);
    LONGLONG n = counter.QuadPart;
    LONGLONG f = frequency.QuadPart;
    // Split so that no intermediate value exceeds 64 bits at any uptime.
    return (n / f) * 1'000'000 + ((n % f) * 1'000'000) / f;
}
