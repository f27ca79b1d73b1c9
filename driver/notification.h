// The user-mode notification channel: the device frame events are reported on.
// FindNotificationDevice runs once at load, PASSIVE_LEVEL.
#pragma once

#include "platform/wdm.h"

NTSTATUS FindNotificationDevice(PCWSTR driverName, PDEVICE_OBJECT* device);
BOOLEAN IsNotificationDeviceName(PDEVICE_OBJECT device);

struct StreamPort;
struct FrameSlot;

// Frame event codes reported to user mode.
constexpr ULONG FRAME_EVENT_OVERWRITTEN = 2;
constexpr ULONG FRAME_EVENT_GIVEN_UP = 3;
constexpr ULONG FRAME_EVENT_MISSING_LIMIT = 7;

// Reports a frame event (FRAME_EVENT_*) of `slot` to user mode through the port's notification
// device. IRQL <= DISPATCH_LEVEL; may run with the port's FrameListLock held; the slot's
// FrameHeader must still hold the frame's values.
VOID SendFrameEventNotification(StreamPort* port, FrameSlot* slot, ULONG eventCode);
