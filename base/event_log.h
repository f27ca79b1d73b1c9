// The event-log writer: one entry of the driver's message table with one insertion string.
// Runs at PASSIVE_LEVEL or APC_LEVEL; above that it writes nothing.
#pragma once

#include "base/gvspfilter_msg.h"
#include "platform/wdm.h"

// Insertion texts are at most this many characters; a longer text loses its entry.
constexpr ULONG EVENT_TEXT_MAX = 99;

// Writes one entry: `messageId` from the message table, `uniqueValue` telling apart the call
// sites that share it, and a printf-style insertion (`format` may be NULL: no insertion).
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID WriteEventLog(NTSTATUS messageId, ULONG uniqueValue, PCSTR format, ...) GVSP_PRINTF_FORMAT(3, 4);
