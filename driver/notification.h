// The user-mode notification channel: the device frame events are reported on.
// FindNotificationDevice runs once at load, PASSIVE_LEVEL.
#pragma once

#include "platform/wdm.h"

NTSTATUS FindNotificationDevice(PCWSTR driverName, PDEVICE_OBJECT* device);
BOOLEAN IsNotificationDeviceName(PDEVICE_OBJECT device);
