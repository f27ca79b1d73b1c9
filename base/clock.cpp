// The driver's clock. Every time stamp kept in a frame and every time-out is in its
// microseconds. Any IRQL.
#include "base/clock.h"

namespace {

constexpr ULONG64 MICROSECONDS_PER_SECOND = 1'000'000;

// ceil(2^64 x 10^6 / frequency): a counter value times this, high 64 bits, is its microseconds.
// 0 until InitializeClock, and for a counter no faster than a microsecond's tick.
ULONG64 MicrosecondScale = 0;

// ceil(2^64 x 10^6 / frequency) for a frequency above 10^6, by long division a bit a step.
ULONG64 ScaleFor(ULONG64 frequency)
{
    ULONG64 remainder = MICROSECONDS_PER_SECOND;   // the dividend's high word, below the divisor
    ULONG64 quotient = 0;
    for (int bit = 0; bit < 64; ++bit) {
        BOOLEAN carry = (remainder >> 63) != 0;
        remainder <<= 1;
        quotient <<= 1;
        if (carry || remainder >= frequency) {
            remainder -= frequency;
            quotient |= 1;
        }
    }
    return quotient + (remainder != 0 ? 1 : 0);
}

}  // namespace

VOID InitializeClock()
{
    LARGE_INTEGER frequency;
    KeQueryPerformanceCounter(&frequency);
    auto f = static_cast<ULONG64>(frequency.QuadPart);
    MicrosecondScale = f > MICROSECONDS_PER_SECOND ? ScaleFor(f) : 0;
}

LONGLONG QueryMicroseconds() { return CounterMicroseconds(KeQueryPerformanceCounter(nullptr).QuadPart); }

LONGLONG CounterMicroseconds(LONGLONG counter)
{
    auto n = static_cast<ULONG64>(counter);
    if (MicrosecondScale != 0) {
        // The scale errs high by less than one part in 2^64 of the counter: the product's
        // fraction never carries into the microseconds for a 10 MHz counter, and for any other
        // only after 2^64 / frequency counts of uptime, where a reading may come 1 us late.
        return static_cast<LONGLONG>(UnsignedMultiplyHigh(n, MicrosecondScale));
    }
    LARGE_INTEGER frequency;
    KeQueryPerformanceCounter(&frequency);
    auto f = static_cast<ULONG64>(frequency.QuadPart);
    // Split so that no intermediate value exceeds 64 bits at any uptime.
    return static_cast<LONGLONG>((n / f) * MICROSECONDS_PER_SECOND + ((n % f) * MICROSECONDS_PER_SECOND) / f);
}
