// The user-mode notification channel: the device frame events are reported on.
// FindNotificationDevice runs once at load, PASSIVE_LEVEL.
#pragma once

#include "platform/wdm.h"

_IRQL_requires_(PASSIVE_LEVEL)
NTSTATUS FindNotificationDevice(PCWSTR driverName, PDEVICE_OBJECT* device);
_IRQL_requires_(PASSIVE_LEVEL)
BOOLEAN IsNotificationDeviceName(PDEVICE_OBJECT device);

struct StreamPort;

// Frame event codes reported to user mode.
constexpr ULONG FRAME_EVENT_OVERWRITTEN = 2;
constexpr ULONG FRAME_EVENT_GIVEN_UP = 3;
constexpr ULONG FRAME_EVENT_MISSING_LIMIT = 7;

// A frame event, captured from the frame's FrameHeader when it is given up: its slot is reused at
// once, the report goes out later.
struct FrameEvent {
    ULONG EventCode;      // FRAME_EVENT_*
    ULONG64 BlockId;
    ULONG64 Timestamp;
    USHORT GvspStatus;
};

// Reports a frame event to user mode through the port's notification device.
// IRQL <= DISPATCH_LEVEL, no spin lock held.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID SendFrameEventNotification(StreamPort* port, const FrameEvent& event);
