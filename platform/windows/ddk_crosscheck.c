/* Cross-check of the WDK's x64 kernel layouts in platform/windows/wdk_layouts.h against the
 * ddk headers mingw-w64 ships: where both describe a record they must agree, so that a wrong
 * number in the list fails the kernel build twice over. C, because those headers do not build
 * as C++. Compiled into no code. */
#include <stddef.h>
#include <ntddk.h>

#include "platform/windows/wdk_layouts.h"

WDK_WDM_LAYOUTS(WDK_ASSERT_SIZE, WDK_ASSERT_OFFSET)
