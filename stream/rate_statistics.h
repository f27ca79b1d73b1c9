// The frame-rate and data-rate window of a StreamPort. Receive path, IRQL <= DISPATCH_LEVEL,
// with the port's assembly held.
#pragma once

#include "control/stream_port.h"

constexpr LONGLONG RATE_WINDOW_SECONDS = 5;

// Adds a completed frame to the window and publishes FrameRate and DataRate (hundredths).
VOID RecordRateSample(StreamPort* port, ULONG64 payloadBytes, LONGLONG counter);
// Empties the window.
VOID ResetRateSamples(StreamPort* port);
