// The driver's clock: the performance counter in microseconds. Any IRQL.
#pragma once

#include "platform/wdm.h"

// Reads the counter's frequency once, so that a reading needs no division. PASSIVE_LEVEL, at
// load, before the first reading that must be fast; readings before it divide.
_IRQL_requires_(PASSIVE_LEVEL)
VOID InitializeClock();

_IRQL_requires_max_(HIGH_LEVEL)
LONGLONG QueryMicroseconds();
// A reading of the performance counter (KeQueryPerformanceCounter) in the clock's microseconds.
LONGLONG CounterMicroseconds(LONGLONG counter);
