// MmProbeAndLockPagesChecked for the WDK build (MSVC): MmProbeAndLockPages inside __try, the
// exception it raises for memory that is not valid for the access asked returned as its code.
// The mingw-w64 build uses platform/windows/probe_and_lock.S instead, as gcc has no __try.
#if defined(_MSC_VER)

#include "platform/wdm.h"

NTSTATUS MmProbeAndLockPagesChecked(PMDL mdl, KPROCESSOR_MODE accessMode, LOCK_OPERATION operation)
{
    __try {
        MmProbeAndLockPages(mdl, accessMode, operation);
    } __except (EXCEPTION_EXECUTE_HANDLER) {
        return GetExceptionCode();
    }
    return STATUS_SUCCESS;
}

#endif
