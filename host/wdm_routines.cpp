// The host's body of the cancel-routine exchange, which the WDK has inline: out of line here, as
// the emulated machine checks the caller's IRQL. Host only.
#include "platform/wdm.h"

#include "host/kernel/kernel.h"

PDRIVER_CANCEL IoSetCancelRoutine(PIRP irp, PDRIVER_CANCEL cancelRoutine)
{
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "IoSetCancelRoutine");
    return reinterpret_cast<PDRIVER_CANCEL>(InterlockedExchangePointer(
        reinterpret_cast<PVOID volatile*>(const_cast<PDRIVER_CANCEL*>(&irp->CancelRoutine)),
        reinterpret_cast<PVOID>(cancelRoutine)));
}
