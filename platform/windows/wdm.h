// The Windows binding of platform/wdm.h: what the Windows kernel build declares apart from the
// host binding, with the WDK's x64 layouts and the routines the WDK has inline. Built with the
// WDK's compiler it takes the WDK's own headers and adds only what the core needs beyond them;
// built with mingw-w64 (whose ddk headers lack or differ from parts of what the core needs) it
// declares the records here, every record of the binding and of platform/wdm.h checked against
// the WDK's x64 layout in platform/windows/wdk_layouts.h. Included by platform/wdm.h at its end.
#pragma once

#include "platform/wdm.h"

#if defined(_MSC_VER)

#include <ntddk.h>

// The WDK's compiler has no printf format attribute.
#define GVSP_PRINTF_FORMAT(formatIndex, firstArgument)

// The status-returning form of MmProbeAndLockPages, which raises where the core wants a
// status: STATUS_ACCESS_VIOLATION (or the raised code) instead of the exception.
_IRQL_requires_max_(APC_LEVEL) NTSTATUS MmProbeAndLockPagesChecked(PMDL mdl, KPROCESSOR_MODE accessMode,
    LOCK_OPERATION operation);

#else

// ---------------------------------------------------------------------------------------------
// IRQL. On x64 the current IRQL is the task-priority register CR8; the WDK reads and writes it
// inline, and the kernel exports no routine for it.
inline KIRQL KeGetCurrentIrql()
{
    ULONG64 irql;
    __asm__ __volatile__("mov %%cr8, %0" : "=r"(irql));
    return static_cast<KIRQL>(irql);
}
inline VOID KeRaiseIrql(KIRQL newIrql, PKIRQL oldIrql)
{
    *oldIrql = KeGetCurrentIrql();
    __asm__ __volatile__("mov %0, %%cr8" : : "r"(static_cast<ULONG64>(newIrql)) : "memory");
}
inline VOID KeLowerIrql(KIRQL newIrql)
{
    __asm__ __volatile__("mov %0, %%cr8" : : "r"(static_cast<ULONG64>(newIrql)) : "memory");
}

// ---------------------------------------------------------------------------------------------
// Interlocked singly linked lists. The x64 list head: depth, sequence and the 16-byte-aligned
// first entry packed in 128 bits, changed with cmpxchg16b by the kernel's routines only.
union alignas(16) SLIST_HEADER {
    struct {
        ULONGLONG Alignment;
        ULONGLONG Region;
    } s;
};
typedef SLIST_HEADER* PSLIST_HEADER;

NTKERNELAPI PSLIST_ENTRY ExpInterlockedPopEntrySList(PSLIST_HEADER listHead);
NTKERNELAPI PSLIST_ENTRY ExpInterlockedPushEntrySList(PSLIST_HEADER listHead, PSLIST_ENTRY listEntry);
NTKERNELAPI USHORT ExQueryDepthSList(PSLIST_HEADER listHead);

// ---------------------------------------------------------------------------------------------
// Assertions, as the WDK defines them: a checked build (DBG) raises an assertion failure into
// the kernel debugger, a free build compiles them away.
#if DBG
inline VOID DbgRaiseAssertionFailure() { __asm__ __volatile__("int $0x2c"); }
#define NT_ASSERT(exp) ((exp) ? (void)0 : DbgRaiseAssertionFailure())
#else
#define NT_ASSERT(exp) ((void)0)
#endif

// ---------------------------------------------------------------------------------------------
// Lookaside lists. The kernel's lookaside list; cache-line aligned on x64.
struct alignas(64) GENERAL_LOOKASIDE {
    SLIST_HEADER ListHead;
    USHORT Depth;
    USHORT MaximumDepth;
    ULONG TotalAllocates;
    ULONG AllocateMisses;
    ULONG TotalFrees;
    ULONG FreeMisses;
    POOL_TYPE Type;
    ULONG Tag;
    ULONG Size;
    PALLOCATE_FUNCTION Allocate;
    PFREE_FUNCTION Free;
    LIST_ENTRY ListEntry;
    ULONG LastTotalAllocates;
    ULONG LastAllocateMisses;
    ULONG Future[2];
};

struct alignas(64) NPAGED_LOOKASIDE_LIST {
    GENERAL_LOOKASIDE L;
};

// Allocation and release are inline in the WDK: the list's own stack first, then the pool.
inline PVOID ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST lookaside)
{
    lookaside->L.TotalAllocates += 1;
    PVOID entry = ExpInterlockedPopEntrySList(&lookaside->L.ListHead);
    if (entry == nullptr) {
        lookaside->L.AllocateMisses += 1;
        entry = lookaside->L.Allocate(lookaside->L.Type, lookaside->L.Size, lookaside->L.Tag);
    }
    return entry;
}
inline VOID ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST lookaside, PVOID entry)
{
    lookaside->L.TotalFrees += 1;
    if (ExQueryDepthSList(&lookaside->L.ListHead) >= lookaside->L.Depth) {
        lookaside->L.FreeMisses += 1;
        lookaside->L.Free(entry);
    } else {
        ExpInterlockedPushEntrySList(&lookaside->L.ListHead, static_cast<PSLIST_ENTRY>(entry));
    }
}

// ---------------------------------------------------------------------------------------------
// Spin locks.
inline VOID KeInitializeSpinLock(PKSPIN_LOCK spinLock) { *spinLock = 0; }

// ---------------------------------------------------------------------------------------------
// Events. A dispatcher header and nothing the driver reads: the kernel owns the event's state.
struct KEVENT {
    alignas(8) UCHAR Header[0x18];   // DISPATCHER_HEADER
};

// ---------------------------------------------------------------------------------------------
// Extended processor state (x64 layout).
struct XSTATE_CONTEXT {
    ULONG64 Mask;
    ULONG Length;
    ULONG Reserved1;
    PVOID Area;
    PVOID Buffer;
};
struct XSTATE_SAVE {
    XSTATE_SAVE* Prev;
    PVOID Thread;
    UCHAR Level;
    XSTATE_CONTEXT XStateContext;
};

// ---------------------------------------------------------------------------------------------
// User page locking.
NTKERNELAPI VOID MmProbeAndLockPages(PMDL mdl, KPROCESSOR_MODE accessMode, LOCK_OPERATION operation);
// The status-returning form of MmProbeAndLockPages, which raises an exception where the core
// wants a status: the exception's code (STATUS_ACCESS_VIOLATION for memory that is not valid
// for the access asked) instead of the exception. platform/windows/probe_and_lock.S.
extern "C" NTSTATUS MmProbeAndLockPagesChecked(PMDL mdl, KPROCESSOR_MODE accessMode, LOCK_OPERATION operation);

// ---------------------------------------------------------------------------------------------
// IRPs.
inline PDRIVER_CANCEL IoSetCancelRoutine(PIRP irp, PDRIVER_CANCEL cancelRoutine)
{
    return reinterpret_cast<PDRIVER_CANCEL>(InterlockedExchangePointer(
        reinterpret_cast<PVOID volatile*>(const_cast<PDRIVER_CANCEL*>(&irp->CancelRoutine)),
        reinterpret_cast<PVOID>(cancelRoutine)));
}

#include "platform/windows/wdk_layouts.h"
WDK_WDM_LAYOUTS(WDK_ASSERT_SIZE, WDK_ASSERT_OFFSET)
WDK_WDM_BINDING_LAYOUTS(WDK_ASSERT_SIZE, WDK_ASSERT_OFFSET)

#endif

// Both compilers: the copy with streaming stores, 128-bit SSE2 stores that need no extended
// processor state saved at any IRQL on x64, or 256-bit AVX stores while the caller holds that
// state saved.
#include "platform/streaming_stores.h"

inline VOID CopyMemoryStreaming(PVOID destination, PCVOID source, SIZE_T length, BOOLEAN wideRegisters)
{
    if (wideRegisters) {
        CopyWithWideStreamingStores(destination, source, length);
    } else {
        CopyWithStreamingStores(destination, source, length);
    }
}
inline VOID StreamingStoreFence() { FenceStreamingStores(); }
