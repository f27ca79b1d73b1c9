// The driver's clock: the performance counter in microseconds. Any IRQL.
#pragma once

#include "platform/wdm.h"

LONGLONG QueryMicroseconds();
