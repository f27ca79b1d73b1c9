// The host binding of platform/wdm.h: what the emulated machine (host/) declares apart from the
// Windows binding. Its records carry the emulator's own state where the WDK's are the kernel's
// (lookaside lists, events, extended-state saves); the routines the WDK has inline and host/
// checks (IRQL, spin lock set-up, lookaside allocation, the cancel-routine exchange, the
// streaming copy) are host/'s, out of line. Included by platform/wdm.h at its end.
#pragma once

#include "platform/wdm.h"

// ---------------------------------------------------------------------------------------------
// IRQL: the emulated processor's, per thread.
_IRQL_requires_max_(HIGH_LEVEL) KIRQL KeGetCurrentIrql();
_IRQL_requires_max_(HIGH_LEVEL) VOID KeRaiseIrql(KIRQL newIrql, PKIRQL oldIrql);
_IRQL_requires_max_(HIGH_LEVEL) VOID KeLowerIrql(KIRQL newIrql);

// ---------------------------------------------------------------------------------------------
// Copies with streaming stores (platform/streaming_stores.h), which bypass the caches: for
// destinations nobody will read soon. They are ordered before later stores, a lock's release
// among them, only by StreamingStoreFence. x64; any IRQL. With `wideRegisters` the copy uses
// 256-bit stores: the caller holds the AVX state saved by KeSaveExtendedProcessorState, which
// the emulated machine checks.
VOID CopyMemoryStreaming(PVOID destination, PCVOID source, SIZE_T length, BOOLEAN wideRegisters);
VOID StreamingStoreFence();

// ---------------------------------------------------------------------------------------------
// Assertions. NT_ASSERT states what must hold where it stands; a false one is reported through
// RtlAssert (the emulated machine's checker reports it as a broken rule) and execution goes on.
VOID RtlAssert(PVOID voidFailedAssertion, PVOID voidFileName, ULONG lineNumber, PCHAR mutableMessage);
#define NT_ASSERT(exp) \
    ((exp) ? (void)0 : RtlAssert(const_cast<PCHAR>(#exp), const_cast<PCHAR>(__FILE__), __LINE__, nullptr))

// ---------------------------------------------------------------------------------------------
// Lookaside lists: the record points at the emulated machine's own list.
struct NPAGED_LOOKASIDE_LIST {
    PVOID HostList;          // the platform's own record of the list
    ULONG Size;
    ULONG Tag;
};
_IRQL_requires_max_(DISPATCH_LEVEL) PVOID ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST lookaside);
_IRQL_requires_max_(DISPATCH_LEVEL) VOID ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST lookaside, PVOID entry);

// ---------------------------------------------------------------------------------------------
// Spin locks.
_IRQL_requires_max_(DISPATCH_LEVEL) VOID KeInitializeSpinLock(PKSPIN_LOCK spinLock);

// ---------------------------------------------------------------------------------------------
// Events. The emulated machine keeps the event's state in the record itself (of the WDK's size)
// and refuses a wait on one that was never initialized.
struct KEVENT {
    UCHAR Type;                    // EVENT_TYPE
    UCHAR Reserved[3];
    volatile LONG SignalState;     // 1 set, 0 clear
    ULONG64 Initialized;           // KEVENT_INITIALIZED once KeInitializeEvent ran
    ULONG64 Spare;
};
static_assert(sizeof(KEVENT) == 0x18);

// ---------------------------------------------------------------------------------------------
// Extended processor state. The emulated machine keeps a thread's saves in the record (of the
// WDK's size) and refuses 256-bit copies without one.
struct XSTATE_SAVE {
    XSTATE_SAVE* Prev;   // the thread's save before this one
    PVOID Thread;        // the thread that saved
    UCHAR Level;         // the IRQL of the save
    ULONG64 Mask;
    ULONG64 Reserved[3];
};
static_assert(sizeof(XSTATE_SAVE) == 0x38);

// ---------------------------------------------------------------------------------------------
// User page locking. The status-returning form of MmProbeAndLockPages: STATUS_ACCESS_VIOLATION
// where the WDK raises an exception (a range that is not valid memory of the calling process
// with the access asked for); STATUS_SUCCESS with the pages locked otherwise.
_IRQL_requires_max_(APC_LEVEL) NTSTATUS MmProbeAndLockPagesChecked(PMDL mdl, KPROCESSOR_MODE accessMode,
    LOCK_OPERATION operation);

// ---------------------------------------------------------------------------------------------
// IRPs. Exchanges the request's cancel routine atomically; returns the previous one.
_IRQL_requires_max_(DISPATCH_LEVEL) PDRIVER_CANCEL IoSetCancelRoutine(PIRP irp, PDRIVER_CANCEL cancelRoutine);
