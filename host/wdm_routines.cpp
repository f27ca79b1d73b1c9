// The host's bodies of the kernel routines the WDK has inline that serve requests and mappings,
// not the per-packet path: the current stack location, the pending mark, the cancel-routine
// exchange, completion, and the system address of an MDL. Host only.
#include "platform/wdm.h"

#include "host/kernel/kernel.h"

PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP irp) { return irp->Tail.Overlay.CurrentStackLocation; }

VOID IoMarkIrpPending(PIRP irp) { IoGetCurrentIrpStackLocation(irp)->Control |= SL_PENDING_RETURNED; }

PDRIVER_CANCEL IoSetCancelRoutine(PIRP irp, PDRIVER_CANCEL cancelRoutine)
{
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "IoSetCancelRoutine");
    return reinterpret_cast<PDRIVER_CANCEL>(InterlockedExchangePointer(
        reinterpret_cast<PVOID volatile*>(const_cast<PDRIVER_CANCEL*>(&irp->CancelRoutine)),
        reinterpret_cast<PVOID>(cancelRoutine)));
}

VOID IoCompleteRequest(PIRP irp, CHAR priorityBoost) { IofCompleteRequest(irp, priorityBoost); }

PVOID MmGetSystemAddressForMdlSafe(PMDL mdl, ULONG priority)
{
    if (mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) {
        return mdl->MappedSystemVa;
    }
    return MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE, priority);
}
