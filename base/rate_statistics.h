// The frame-rate and data-rate window of a StreamPort. Receive path, IRQL <= DISPATCH_LEVEL,
// with the port's assembly held.
#pragma once

#include "base/stream_port.h"

constexpr LONGLONG RATE_WINDOW_SECONDS = 5;

// Adds a completed frame to the window and publishes FrameRate and DataRate (hundredths).
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID RecordRateSample(StreamPort* port, ULONG64 payloadBytes, LONGLONG counter)
    _Requires_lock_held_(port->AssemblyLock);
// Empties the window.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID ResetRateSamples(StreamPort* port) _Requires_lock_held_(port->AssemblyLock);
