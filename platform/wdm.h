// Kernel declarations the core calls, under the WDK's names: types, status codes, IRQL, pool,
// lookaside lists, spin locks, interlocked operations, threads and waits, the performance
// counter, MDLs and user page locking, IRPs, the error log, the object manager and PnP
// notification. What both bindings declare alike stands here once; the binding adds what
// differs: platform/host/ (the emulated machine on Linux, host/, implements the routines; its
// records carry the emulator's state) or, in the Windows kernel build (GVSP_WINDOWS_KERNEL),
// platform/windows/ (the WDK's x64 layouts, inline routines and kernel imports; built with the
// WDK's compiler, the WDK's own headers). Freestanding C++20.
#pragma once

// How the routines are linked, and the wide character.
#if defined(GVSP_WINDOWS_KERNEL)
#include "platform/windows/abi.h"
#else
#include "platform/host/abi.h"
#endif

// The WDK's own headers declare all of this for the WDK's compiler (platform/windows/wdm.h).
#if !defined(_MSC_VER)

#include <cstdarg>
#include <cstddef>
#include <cstdint>

// ---------------------------------------------------------------------------------------------
// Annotations. They document lock and IRQL contracts. Built with clang, the lock contracts are
// its thread-safety attributes and -Wthread-safety checks them: a lock type is a capability,
// the routines that take and give one back say so, and a field or routine that needs a lock
// names it; like the attributes, a lock contract follows the routine's parameter list, where the
// parameters it names are in scope. Otherwise, and for IRQL always, they compile to nothing
// (the WDK's compiler checks them against the WDK's headers).
#define _IRQL_requires_max_(irql)
#define _IRQL_requires_(irql)
#define _Interlocked_
#if defined(__clang__)
#define GVSP_LOCK_ATTRIBUTE(attribute) __attribute__((attribute))
#else
#define GVSP_LOCK_ATTRIBUTE(attribute)
#endif
// A type whose objects are locks of the given kind.
#define _Has_lock_kind_(kind) GVSP_LOCK_ATTRIBUTE(capability(kind))
#define _Lock_kind_spin_lock_ "spin lock"
#define _Lock_kind_rw_lock_ "reader/writer lock"
#define _Guarded_by_(lock) GVSP_LOCK_ATTRIBUTE(guarded_by(lock))
// Written under the lock, read also without it by a holder of something else that keeps the
// value still; clang has no guard for writes alone, so this one stays documentation.
#define _Write_guarded_by_(lock)
#define _Requires_lock_held_(lock) GVSP_LOCK_ATTRIBUTE(requires_capability(lock))
#define _Requires_exclusive_lock_held_(lock) GVSP_LOCK_ATTRIBUTE(requires_capability(lock))
#define _Requires_shared_lock_held_(lock) GVSP_LOCK_ATTRIBUTE(requires_shared_capability(lock))
#define _Acquires_lock_(lock) GVSP_LOCK_ATTRIBUTE(acquire_capability(lock))
#define _Acquires_exclusive_lock_(lock) GVSP_LOCK_ATTRIBUTE(acquire_capability(lock))
#define _Acquires_shared_lock_(lock) GVSP_LOCK_ATTRIBUTE(acquire_shared_capability(lock))
#define _Releases_lock_(lock) GVSP_LOCK_ATTRIBUTE(release_generic_capability(lock))
// A routine that takes or gives back `lock` on some paths only, as its caller's state says; clang
// cannot follow that, so the routine is left out of the analysis (for every lock, not only this one).
#define _Function_ignore_lock_checking_(lock) GVSP_LOCK_ATTRIBUTE(no_thread_safety_analysis)
// A routine whose parameter `formatIndex` is a printf format for the arguments from
// `firstArgument` on: checked by GCC and clang.
#define GVSP_PRINTF_FORMAT(formatIndex, firstArgument) __attribute__((format(printf, formatIndex, firstArgument)))

// ---------------------------------------------------------------------------------------------
// Basic types, with the widths of 64-bit Windows (LLP64); WCHAR is the binding's.
typedef void VOID;
typedef void* PVOID;
typedef const void* PCVOID;
typedef uint8_t UCHAR;
typedef UCHAR* PUCHAR;
typedef uint8_t BOOLEAN;
typedef BOOLEAN* PBOOLEAN;
typedef char CHAR;
typedef CHAR* PCHAR;
typedef const CHAR* PCSTR;
typedef int16_t CSHORT;
typedef int16_t SHORT;
typedef uint16_t USHORT;
typedef USHORT* PUSHORT;
typedef int32_t LONG;
typedef LONG* PLONG;
typedef uint32_t ULONG;
typedef ULONG* PULONG;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef uint64_t ULONG64;
typedef uint64_t ULONG_PTR;
typedef int64_t LONG_PTR;
typedef ULONG_PTR SIZE_T;
typedef ULONG_PTR* PULONG_PTR;
typedef WCHAR* PWCH;
typedef WCHAR* PWSTR;
typedef const WCHAR* PCWSTR;
typedef LONG NTSTATUS;
typedef ULONG ACCESS_MASK;
typedef PVOID HANDLE;
typedef HANDLE* PHANDLE;
typedef UCHAR KIRQL;
typedef KIRQL* PKIRQL;
typedef CHAR KPROCESSOR_MODE;

#define TRUE 1
#define FALSE 0

union LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
};
typedef LARGE_INTEGER* PLARGE_INTEGER;

struct GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
};
typedef const GUID* LPCGUID;

struct UNICODE_STRING {
    USHORT Length;          // bytes, without a terminating NUL
    USHORT MaximumLength;   // bytes
    PWCH Buffer;
};
typedef UNICODE_STRING* PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

#define CONTAINING_RECORD(address, type, field) \
    (reinterpret_cast<type*>(reinterpret_cast<PUCHAR>(address) - offsetof(type, field)))

// ---------------------------------------------------------------------------------------------
// Status codes.
#define NT_SUCCESS(status) (static_cast<NTSTATUS>(status) >= 0)
constexpr NTSTATUS STATUS_SUCCESS = 0x00000000;
constexpr NTSTATUS STATUS_WAIT_0 = 0x00000000;
constexpr NTSTATUS STATUS_PENDING = 0x00000103;
constexpr NTSTATUS STATUS_UNSUCCESSFUL = static_cast<NTSTATUS>(0xC0000001);
constexpr NTSTATUS STATUS_INVALID_HANDLE = static_cast<NTSTATUS>(0xC0000008);
constexpr NTSTATUS STATUS_INVALID_PARAMETER = static_cast<NTSTATUS>(0xC000000D);
constexpr NTSTATUS STATUS_ACCESS_DENIED = static_cast<NTSTATUS>(0xC0000022);
constexpr NTSTATUS STATUS_PROCEDURE_NOT_FOUND = static_cast<NTSTATUS>(0xC000007A);
constexpr NTSTATUS STATUS_NO_MEMORY = static_cast<NTSTATUS>(0xC0000017);
constexpr NTSTATUS STATUS_BUFFER_TOO_SMALL = static_cast<NTSTATUS>(0xC0000023);
constexpr NTSTATUS STATUS_OBJECT_NAME_NOT_FOUND = static_cast<NTSTATUS>(0xC0000034);
constexpr NTSTATUS STATUS_OBJECT_NAME_COLLISION = static_cast<NTSTATUS>(0xC0000035);
constexpr NTSTATUS STATUS_ACCESS_VIOLATION = static_cast<NTSTATUS>(0xC0000005);
constexpr NTSTATUS STATUS_INSUFFICIENT_RESOURCES = static_cast<NTSTATUS>(0xC000009A);
constexpr NTSTATUS STATUS_NOT_SUPPORTED = static_cast<NTSTATUS>(0xC00000BB);
constexpr NTSTATUS STATUS_CANCELLED = static_cast<NTSTATUS>(0xC0000120);
constexpr NTSTATUS STATUS_NOT_FOUND = static_cast<NTSTATUS>(0xC0000225);
constexpr NTSTATUS STATUS_INFO_LENGTH_MISMATCH = static_cast<NTSTATUS>(0xC0000004);

// ---------------------------------------------------------------------------------------------
// IRQL (the binding reads and changes it).
constexpr KIRQL PASSIVE_LEVEL = 0;
constexpr KIRQL APC_LEVEL = 1;
constexpr KIRQL DISPATCH_LEVEL = 2;
constexpr KIRQL HIGH_LEVEL = 15;

// ---------------------------------------------------------------------------------------------
// Doubly and singly linked lists (inline, as in the WDK).
struct LIST_ENTRY {
    LIST_ENTRY* Flink;
    LIST_ENTRY* Blink;
};
typedef LIST_ENTRY* PLIST_ENTRY;

inline VOID InitializeListHead(PLIST_ENTRY head) { head->Flink = head->Blink = head; }
inline BOOLEAN IsListEmpty(const LIST_ENTRY* head) { return head->Flink == head; }
// TRUE when the list is empty afterwards.
inline BOOLEAN RemoveEntryList(PLIST_ENTRY entry)
{
    PLIST_ENTRY next = entry->Flink;
    PLIST_ENTRY prev = entry->Blink;
    prev->Flink = next;
    next->Blink = prev;
    return next == prev;
}
inline PLIST_ENTRY RemoveHeadList(PLIST_ENTRY head)
{
    PLIST_ENTRY entry = head->Flink;
    RemoveEntryList(entry);
    return entry;
}
inline VOID InsertTailList(PLIST_ENTRY head, PLIST_ENTRY entry)
{
    PLIST_ENTRY last = head->Blink;
    entry->Flink = head;
    entry->Blink = last;
    last->Flink = entry;
    head->Blink = entry;
}
inline VOID InsertHeadList(PLIST_ENTRY head, PLIST_ENTRY entry)
{
    PLIST_ENTRY first = head->Flink;
    entry->Flink = first;
    entry->Blink = head;
    first->Blink = entry;
    head->Flink = entry;
}

struct alignas(16) SLIST_ENTRY {
    SLIST_ENTRY* Next;
};
typedef SLIST_ENTRY* PSLIST_ENTRY;

// ---------------------------------------------------------------------------------------------
// Interlocked operations: lock-prefixed instructions, full barriers, as the WDK's intrinsics.
// Each returns the resulting value, except the exchanges, which return the previous one.
inline LONG InterlockedIncrement(volatile LONG* target) { return __atomic_add_fetch(target, 1, __ATOMIC_SEQ_CST); }
inline LONG InterlockedDecrement(volatile LONG* target) { return __atomic_sub_fetch(target, 1, __ATOMIC_SEQ_CST); }
inline LONG InterlockedExchange(volatile LONG* target, LONG value) { return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST); }
inline LONG InterlockedExchangeAdd(volatile LONG* target, LONG value) { return __atomic_fetch_add(target, value, __ATOMIC_SEQ_CST); }
inline LONG InterlockedCompareExchange(volatile LONG* target, LONG exchange, LONG comparand)
{
    __atomic_compare_exchange_n(target, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}
inline LONGLONG InterlockedExchange64(volatile LONGLONG* target, LONGLONG value) { return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST); }
inline LONGLONG InterlockedCompareExchange64(volatile LONGLONG* target, LONGLONG exchange, LONGLONG comparand)
{
    __atomic_compare_exchange_n(target, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}
inline PVOID InterlockedExchangePointer(PVOID volatile* target, PVOID value) { return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST); }
inline PVOID InterlockedCompareExchangePointer(PVOID volatile* target, PVOID exchange, PVOID comparand)
{
    __atomic_compare_exchange_n(target, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
    return comparand;
}
// Reads and writes that are single instructions with the ordering their name says: acquire
// (later accesses stay after the read), release (earlier accesses stay before the write) or none
// (the value may be stale, but is never torn).
inline LONG ReadAcquire(const volatile LONG* source) { return __atomic_load_n(source, __ATOMIC_ACQUIRE); }
inline VOID WriteRelease(volatile LONG* destination, LONG value) { __atomic_store_n(destination, value, __ATOMIC_RELEASE); }
inline ULONG ReadULongNoFence(const volatile ULONG* source) { return __atomic_load_n(source, __ATOMIC_RELAXED); }
inline VOID WriteULongNoFence(volatile ULONG* destination, ULONG value) { __atomic_store_n(destination, value, __ATOMIC_RELAXED); }

// ---------------------------------------------------------------------------------------------
// Run-time library. The WDK's RtlZeroMemory, RtlCopyMemory, RtlFillMemory and RtlEqualMemory are
// memset, memcpy and memcmp; its byte swaps, bit scan and high product are the processor's
// instructions, through its intrinsics.
inline VOID RtlZeroMemory(PVOID destination, SIZE_T length) { __builtin_memset(destination, 0, length); }
inline VOID RtlCopyMemory(PVOID destination, PCVOID source, SIZE_T length) { __builtin_memcpy(destination, source, length); }
inline VOID RtlFillMemory(PVOID destination, SIZE_T length, UCHAR fill) { __builtin_memset(destination, fill, length); }
inline BOOLEAN RtlEqualMemory(PCVOID source1, PCVOID source2, SIZE_T length) { return __builtin_memcmp(source1, source2, length) == 0; }
// A hint that the line holding `address` is read soon: the processor fetches it into every cache
// level (PF_TEMPORAL_LEVEL_1, PREFETCHT0) and goes on. Never faults, whatever the address. Any IRQL.
constexpr ULONG PF_TEMPORAL_LEVEL_1 = 0;
inline VOID PreFetchCacheLine(ULONG, PCVOID address) { __builtin_prefetch(address, 0, 3); }
inline USHORT RtlUshortByteSwap(USHORT source) { return __builtin_bswap16(source); }
inline ULONG RtlUlongByteSwap(ULONG source) { return __builtin_bswap32(source); }
inline ULONG64 RtlUlonglongByteSwap(ULONG64 source) { return __builtin_bswap64(source); }
// The index of the lowest set bit of `mask` in `index`; FALSE, `index` unset, for a zero mask.
inline BOOLEAN BitScanForward(PULONG index, ULONG mask)
{
    if (mask == 0) {
        return FALSE;
    }
    *index = static_cast<ULONG>(__builtin_ctz(mask));
    return TRUE;
}
// The high 64 bits of the 128-bit product.
inline ULONG64 UnsignedMultiplyHigh(ULONG64 multiplier, ULONG64 multiplicand)
{
    __extension__ typedef unsigned __int128 Product;
    return static_cast<ULONG64>((static_cast<Product>(multiplier) * multiplicand) >> 64);
}
NTKERNELAPI VOID RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source);

// The kernel's printf: returns the characters written, or a negative value when the text did
// not fit in `count` characters (the buffer is then not terminated). Conversions: %d %u %x %X
// %p %s %c %hu %hd with flags, width and the l/ll/h length modifiers.
NTKERNELAPI int _vsnprintf(char* buffer, size_t count, const char* format, va_list arguments);
// Converts `count` narrow characters to UTF-16; returns the number converted.
NTKERNELAPI size_t mbstowcs(WCHAR* destination, const char* source, size_t count);

// ---------------------------------------------------------------------------------------------
// Pool.
enum POOL_TYPE { NonPagedPool = 0, PagedPool = 1, NonPagedPoolNx = 512 };

_IRQL_requires_max_(DISPATCH_LEVEL) NTKERNELAPI PVOID ExAllocatePoolWithTag(POOL_TYPE poolType, SIZE_T numberOfBytes,
    ULONG tag);
_IRQL_requires_max_(DISPATCH_LEVEL) NTKERNELAPI VOID ExFreePoolWithTag(PVOID p, ULONG tag);

// Non-paged lookaside list of fixed-size blocks (its record is the binding's).
// ExInitializeNPagedLookasideList flag: the list refills from NonPagedPoolNx.
constexpr ULONG POOL_NX_ALLOCATION = 512;

typedef PVOID (*PALLOCATE_FUNCTION)(POOL_TYPE poolType, SIZE_T numberOfBytes, ULONG tag);
typedef VOID (*PFREE_FUNCTION)(PVOID buffer);

struct NPAGED_LOOKASIDE_LIST;
typedef NPAGED_LOOKASIDE_LIST* PNPAGED_LOOKASIDE_LIST;

_IRQL_requires_max_(DISPATCH_LEVEL) NTKERNELAPI VOID ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST lookaside,
    PALLOCATE_FUNCTION allocate, PFREE_FUNCTION free, ULONG flags, SIZE_T size, ULONG tag, USHORT depth);
_IRQL_requires_max_(DISPATCH_LEVEL) NTKERNELAPI VOID ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST lookaside);

// ---------------------------------------------------------------------------------------------
// Spin locks.
typedef ULONG_PTR KSPIN_LOCK _Has_lock_kind_(_Lock_kind_spin_lock_);
typedef KSPIN_LOCK* PKSPIN_LOCK;

_IRQL_requires_max_(DISPATCH_LEVEL) NTKERNELAPI KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK spinLock)
    _Acquires_lock_(*spinLock);
_IRQL_requires_(DISPATCH_LEVEL) NTKERNELAPI VOID KeReleaseSpinLock(PKSPIN_LOCK spinLock, KIRQL newIrql)
    _Releases_lock_(*spinLock);
_IRQL_requires_(DISPATCH_LEVEL) NTKERNELAPI VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK spinLock)
    _Acquires_lock_(*spinLock);
_IRQL_requires_(DISPATCH_LEVEL) NTKERNELAPI VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK spinLock)
    _Releases_lock_(*spinLock);

// ---------------------------------------------------------------------------------------------
// Run-down protection: shared use of an object that one party can withdraw. Acquisition fails
// once a wait for run-down has begun; the wait returns when every holder has released.
struct EX_RUNDOWN_REF {
    union {
        volatile ULONG_PTR Count;   // holders x 2; bit 0 once run-down has begun
        volatile PVOID Ptr;
    };
};
typedef EX_RUNDOWN_REF* PEX_RUNDOWN_REF;

_IRQL_requires_max_(DISPATCH_LEVEL) NTKERNELAPI VOID ExInitializeRundownProtection(PEX_RUNDOWN_REF runRef);
// Makes a run-down reference usable again once its wait has returned.
_IRQL_requires_max_(DISPATCH_LEVEL) NTKERNELAPI VOID ExReInitializeRundownProtection(PEX_RUNDOWN_REF runRef);
// TRUE: the caller holds run-down protection until it releases it; FALSE: run-down has begun.
_IRQL_requires_max_(DISPATCH_LEVEL) NTKERNELAPI BOOLEAN ExAcquireRundownProtection(PEX_RUNDOWN_REF runRef);
_IRQL_requires_max_(DISPATCH_LEVEL) NTKERNELAPI VOID ExReleaseRundownProtection(PEX_RUNDOWN_REF runRef);
// Refuses every later acquisition and waits until the holders are gone.
_IRQL_requires_max_(PASSIVE_LEVEL) NTKERNELAPI VOID ExWaitForRundownProtectionRelease(PEX_RUNDOWN_REF runRef);

// ---------------------------------------------------------------------------------------------
// Objects, threads and waits.
constexpr KPROCESSOR_MODE KernelMode = 0;
constexpr KPROCESSOR_MODE UserMode = 1;
constexpr ACCESS_MASK THREAD_ALL_ACCESS = 0x1FFFFF;

enum KWAIT_REASON { Executive = 0 };

struct OBJECT_ATTRIBUTES;
typedef OBJECT_ATTRIBUTES* POBJECT_ATTRIBUTES;
struct CLIENT_ID;
typedef CLIENT_ID* PCLIENT_ID;
struct OBJECT_TYPE;
typedef OBJECT_TYPE* POBJECT_TYPE;
typedef struct _KTHREAD* PKTHREAD;
typedef struct _ACCESS_STATE* PACCESS_STATE;

typedef VOID (*PKSTART_ROUTINE)(PVOID startContext);

_IRQL_requires_max_(PASSIVE_LEVEL) NTKERNELAPI NTSTATUS PsCreateSystemThread(PHANDLE threadHandle,
    ULONG desiredAccess, POBJECT_ATTRIBUTES objectAttributes, HANDLE processHandle, PCLIENT_ID clientId,
    PKSTART_ROUTINE startRoutine, PVOID startContext);
// Ends the calling system thread; does not return.
_IRQL_requires_max_(PASSIVE_LEVEL) NTKERNELAPI __attribute__((noreturn)) NTSTATUS PsTerminateSystemThread(
    NTSTATUS exitStatus);
_IRQL_requires_max_(DISPATCH_LEVEL) NTKERNELAPI HANDLE PsGetCurrentProcessId();

// Process creation and exit notification. At a process's exit the routine runs at PASSIVE_LEVEL
// in the context of the exiting process, after its threads' requests were cancelled and before
// its handles are closed and its memory released, with `createInfo` NULL. The driver reads no
// member of the notification's record, so it stays opaque.
typedef struct _EPROCESS* PEPROCESS;
typedef struct _PS_CREATE_NOTIFY_INFO* PPS_CREATE_NOTIFY_INFO;
typedef VOID (*PCREATE_PROCESS_NOTIFY_ROUTINE_EX)(PEPROCESS process, HANDLE processId,
    PPS_CREATE_NOTIFY_INFO createInfo);
// Registers `notifyRoutine`, or removes it when `remove` is TRUE (a removal waits for calls in
// progress to end). The Windows kernel accepts the routine only from an image linked with
// integrity checks (--forceinteg), or it answers STATUS_ACCESS_DENIED.
_IRQL_requires_max_(PASSIVE_LEVEL) NTKERNELAPI NTSTATUS PsSetCreateProcessNotifyRoutineEx(
    PCREATE_PROCESS_NOTIFY_ROUTINE_EX notifyRoutine, BOOLEAN remove);

_IRQL_requires_max_(PASSIVE_LEVEL) NTKERNELAPI NTSTATUS ObReferenceObjectByHandle(HANDLE handle,
    ACCESS_MASK desiredAccess, POBJECT_TYPE objectType, KPROCESSOR_MODE accessMode, PVOID* object,
    PVOID handleInformation);
_IRQL_requires_max_(DISPATCH_LEVEL) NTKERNELAPI LONG_PTR ObfReferenceObject(PVOID object);
_IRQL_requires_max_(DISPATCH_LEVEL) NTKERNELAPI LONG_PTR ObfDereferenceObject(PVOID object);
_IRQL_requires_max_(PASSIVE_LEVEL) NTKERNELAPI NTSTATUS ZwClose(HANDLE handle);

// Events (their record is the binding's). A synchronization event wakes one waiter and resets
// itself as that wait ends; a notification event stays set until cleared.
enum EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 };
struct KEVENT;
typedef KEVENT* PKEVENT;
_IRQL_requires_max_(DISPATCH_LEVEL) NTKERNELAPI VOID KeInitializeEvent(PKEVENT event, EVENT_TYPE type,
    BOOLEAN state);
// Sets the event and returns its previous state. `wait` must be FALSE here.
_IRQL_requires_max_(DISPATCH_LEVEL) NTKERNELAPI LONG KeSetEvent(PKEVENT event, LONG increment, BOOLEAN wait);
_IRQL_requires_max_(DISPATCH_LEVEL) NTKERNELAPI VOID KeClearEvent(PKEVENT event);

// Waits for a dispatcher object: a thread object or an event. A NULL timeout waits forever; a
// relative timeout is negative, in 100 ns units. A wait with a timeout other than zero needs
// IRQL <= APC_LEVEL.
_IRQL_requires_max_(APC_LEVEL) NTKERNELAPI NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON waitReason,
    KPROCESSOR_MODE waitMode, BOOLEAN alertable, PLARGE_INTEGER timeout);
// Sleeps; `interval` is negative for a relative wait, in 100 ns units.
_IRQL_requires_max_(APC_LEVEL) NTKERNELAPI NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE waitMode,
    BOOLEAN alertable, PLARGE_INTEGER interval);

// ---------------------------------------------------------------------------------------------
// Performance counter: exported by the HAL (Windows 8 and later forward it to the kernel).
_IRQL_requires_max_(HIGH_LEVEL) NTHALAPI LARGE_INTEGER KeQueryPerformanceCounter(
    PLARGE_INTEGER performanceFrequency);

// ---------------------------------------------------------------------------------------------
// Extended processor state. Kernel code may use the AVX registers only between a save and its
// restore, on the same thread at the same IRQL, innermost save first. The save's record is the
// binding's.
constexpr ULONG64 XSTATE_MASK_AVX = 1ull << 2;
struct XSTATE_SAVE;
typedef XSTATE_SAVE* PXSTATE_SAVE;
// The features of `featureMask` that the system enabled (and the processor has).
_IRQL_requires_max_(HIGH_LEVEL) NTKERNELAPI ULONG64 RtlGetEnabledExtendedFeatures(ULONG64 featureMask);
_IRQL_requires_max_(DISPATCH_LEVEL) NTKERNELAPI NTSTATUS KeSaveExtendedProcessorState(ULONG64 mask,
    PXSTATE_SAVE save);
_IRQL_requires_max_(DISPATCH_LEVEL) NTKERNELAPI VOID KeRestoreExtendedProcessorState(PXSTATE_SAVE save);

// ---------------------------------------------------------------------------------------------
// Memory descriptor lists and user page locking.
constexpr CSHORT MDL_MAPPED_TO_SYSTEM_VA = 0x0001;
constexpr CSHORT MDL_PAGES_LOCKED = 0x0002;
constexpr CSHORT MDL_SOURCE_IS_NONPAGED_POOL = 0x0004;

struct MDL {
    MDL* Next;
    CSHORT Size;
    CSHORT MdlFlags;
    PVOID Process;
    PVOID MappedSystemVa;   // valid when MdlFlags holds MDL_MAPPED_TO_SYSTEM_VA or MDL_SOURCE_IS_NONPAGED_POOL
    PVOID StartVa;          // page-aligned start of the described range
    ULONG ByteCount;
    ULONG ByteOffset;       // offset of the first byte in its page
};
typedef MDL* PMDL;

inline PVOID MmGetMdlVirtualAddress(const MDL* mdl) { return static_cast<PUCHAR>(mdl->StartVa) + mdl->ByteOffset; }
inline ULONG MmGetMdlByteCount(const MDL* mdl) { return mdl->ByteCount; }

enum LOCK_OPERATION { IoReadAccess = 0, IoWriteAccess = 1, IoModifyAccess = 2 };
enum MEMORY_CACHING_TYPE { MmNonCached = 0, MmCached = 1 };
enum MM_PAGE_PRIORITY { LowPagePriority = 0, NormalPagePriority = 16, HighPagePriority = 32 };
constexpr ULONG MdlMappingNoExecute = 0x40000000;

typedef struct _IRP* PIRP;

_IRQL_requires_max_(DISPATCH_LEVEL) NTKERNELAPI PMDL IoAllocateMdl(PVOID virtualAddress, ULONG length,
    BOOLEAN secondaryBuffer, BOOLEAN chargeQuota, PIRP irp);
_IRQL_requires_max_(DISPATCH_LEVEL) NTKERNELAPI VOID IoFreeMdl(PMDL mdl);
// Unlocks the pages and ends their system mapping, if any.
_IRQL_requires_max_(DISPATCH_LEVEL) NTKERNELAPI VOID MmUnlockPages(PMDL mdl);
_IRQL_requires_max_(DISPATCH_LEVEL) NTKERNELAPI PVOID MmMapLockedPagesSpecifyCache(PMDL mdl,
    KPROCESSOR_MODE accessMode, MEMORY_CACHING_TYPE cacheType, PVOID requestedAddress, ULONG bugCheckOnFailure,
    ULONG priority);

// The MDL's system address, mapping its locked pages first if they have none; NULL when they
// cannot be mapped.
_IRQL_requires_max_(DISPATCH_LEVEL) inline PVOID MmGetSystemAddressForMdlSafe(PMDL mdl, ULONG priority)
{
    if (mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) {
        return mdl->MappedSystemVa;
    }
    return MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE, priority);
}

// ---------------------------------------------------------------------------------------------
// I/O manager: driver and device objects, file objects, IRPs, with the WDK's x64 layouts.
// Members the core does not touch keep their place as opaque bytes of the WDK's size.
constexpr UCHAR IRP_MJ_CREATE = 0x00;
constexpr UCHAR IRP_MJ_CLOSE = 0x02;
constexpr UCHAR IRP_MJ_DEVICE_CONTROL = 0x0e;
constexpr UCHAR IRP_MJ_CLEANUP = 0x12;
constexpr ULONG IRP_MJ_MAXIMUM_FUNCTION = 0x1b;

constexpr CSHORT IO_TYPE_DRIVER = 4;
constexpr CSHORT IO_TYPE_DEVICE = 3;

constexpr CHAR IO_NO_INCREMENT = 0;
constexpr CHAR IO_NETWORK_INCREMENT = 2;

typedef struct _DEVICE_OBJECT* PDEVICE_OBJECT;
typedef struct _DRIVER_OBJECT* PDRIVER_OBJECT;
struct FILE_OBJECT;
typedef FILE_OBJECT* PFILE_OBJECT;

typedef NTSTATUS (*PDRIVER_DISPATCH)(PDEVICE_OBJECT deviceObject, PIRP irp);
typedef VOID (*PDRIVER_CANCEL)(PDEVICE_OBJECT deviceObject, PIRP irp);
typedef VOID (*PDRIVER_UNLOAD)(PDRIVER_OBJECT driverObject);

struct VPB {
    CSHORT Type;
    CSHORT Size;
    USHORT Flags;
    USHORT VolumeLabelLength;
    PDEVICE_OBJECT DeviceObject;   // the mounted volume's device
    PDEVICE_OBJECT RealDevice;
    ULONG SerialNumber;
    ULONG ReferenceCount;
    WCHAR VolumeLabel[32];
};
typedef VPB* PVPB;

// Aligned to MEMORY_ALLOCATION_ALIGNMENT (16) in the WDK.
typedef struct alignas(16) _DEVICE_OBJECT {
    CSHORT Type;
    USHORT Size;
    LONG ReferenceCount;
    PDRIVER_OBJECT DriverObject;
    PDEVICE_OBJECT NextDevice;
    PDEVICE_OBJECT AttachedDevice;
    PIRP CurrentIrp;
    PVOID Timer;
    ULONG Flags;
    ULONG Characteristics;
    PVPB Vpb;
    PVOID DeviceExtension;
    ULONG DeviceType;
    CHAR StackSize;
    alignas(8) UCHAR Queue[0x48];        // LIST_ENTRY or WAIT_CONTEXT_BLOCK
    ULONG AlignmentRequirement;
    alignas(8) UCHAR DeviceQueue[0x28];  // KDEVICE_QUEUE
    alignas(8) UCHAR Dpc[0x40];          // KDPC
    ULONG ActiveThreadCount;
    PVOID SecurityDescriptor;
    alignas(8) UCHAR DeviceLock[0x18];   // KEVENT
    USHORT SectorSize;
    USHORT Spare1;
    PVOID DeviceObjectExtension;
    PVOID Reserved;
} DEVICE_OBJECT;

typedef struct _DRIVER_OBJECT {
    CSHORT Type;
    CSHORT Size;
    PDEVICE_OBJECT DeviceObject;
    ULONG Flags;
    PVOID DriverStart;
    ULONG DriverSize;
    PVOID DriverSection;
    PVOID DriverExtension;
    UNICODE_STRING DriverName;
    PUNICODE_STRING HardwareDatabase;
    PVOID FastIoDispatch;
    PVOID DriverInit;
    PVOID DriverStartIo;
    PDRIVER_UNLOAD DriverUnload;
    PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
} DRIVER_OBJECT;

struct FILE_OBJECT {
    CSHORT Type;
    CSHORT Size;
    PDEVICE_OBJECT DeviceObject;
    PVPB Vpb;
    PVOID FsContext;   // the driver's per-open context
    PVOID FsContext2;
    PVOID SectionObjectPointer;
    PVOID PrivateCacheMap;
    NTSTATUS FinalStatus;
    FILE_OBJECT* RelatedFileObject;
    BOOLEAN LockOperation;
    BOOLEAN DeletePending;
    BOOLEAN ReadAccess;
    BOOLEAN WriteAccess;
    BOOLEAN DeleteAccess;
    BOOLEAN SharedRead;
    BOOLEAN SharedWrite;
    BOOLEAN SharedDelete;
    ULONG Flags;
    UNICODE_STRING FileName;
    LARGE_INTEGER CurrentByteOffset;
    ULONG Waiters;
    ULONG Busy;
    PVOID LastLock;
    alignas(8) UCHAR Lock[0x18];    // KEVENT
    alignas(8) UCHAR Event[0x18];   // KEVENT
    PVOID CompletionContext;
    KSPIN_LOCK IrpListLock;
    LIST_ENTRY IrpList;
    PVOID FileObjectExtension;
};

struct IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
};

struct IO_STACK_LOCATION {
    UCHAR MajorFunction;
    UCHAR MinorFunction;
    UCHAR Flags;
    UCHAR Control;
    union {
        // Each length after the first is pointer-aligned in the WDK.
        struct {
            ULONG OutputBufferLength;
            alignas(8) ULONG InputBufferLength;
            alignas(8) ULONG IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
        struct {
            PVOID Argument1;
            PVOID Argument2;
            PVOID Argument3;
            PVOID Argument4;
        } Others;
    } Parameters;
    PDEVICE_OBJECT DeviceObject;
    PFILE_OBJECT FileObject;
    PVOID CompletionRoutine;
    PVOID Context;
};
typedef IO_STACK_LOCATION* PIO_STACK_LOCATION;

constexpr UCHAR SL_PENDING_RETURNED = 0x01;

typedef struct _IRP {
    CSHORT Type;
    USHORT Size;
    PMDL MdlAddress;
    ULONG Flags;
    union {
        _IRP* MasterIrp;
        LONG IrpCount;
        PVOID SystemBuffer;   // METHOD_BUFFERED: input on entry, output on completion
    } AssociatedIrp;
    LIST_ENTRY ThreadListEntry;
    IO_STATUS_BLOCK IoStatus;
    KPROCESSOR_MODE RequestorMode;
    BOOLEAN PendingReturned;
    CHAR StackCount;
    CHAR CurrentLocation;
    BOOLEAN Cancel;
    KIRQL CancelIrql;
    CHAR ApcEnvironment;
    UCHAR AllocationFlags;
    IO_STATUS_BLOCK* UserIosb;
    PVOID UserEvent;
    union {
        struct {
            PVOID UserApcRoutine;
            PVOID UserApcContext;
        } AsynchronousParameters;
        LARGE_INTEGER AllocationSize;
    } Overlay;
    PDRIVER_CANCEL volatile CancelRoutine;
    PVOID UserBuffer;
    union {
        struct {
            union {
                alignas(8) UCHAR DeviceQueueEntry[0x18];   // KDEVICE_QUEUE_ENTRY
                PVOID DriverContext[4];
            };
            PVOID Thread;
            PCHAR AuxiliaryBuffer;
            LIST_ENTRY ListEntry;
            union {
                PIO_STACK_LOCATION CurrentStackLocation;
                ULONG PacketType;
            };
            PFILE_OBJECT OriginalFileObject;
        } Overlay;
        alignas(8) UCHAR Apc[0x58];   // KAPC
        PVOID CompletionKey;
    } Tail;
} IRP;

inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP irp) { return irp->Tail.Overlay.CurrentStackLocation; }
inline VOID IoMarkIrpPending(PIRP irp) { IoGetCurrentIrpStackLocation(irp)->Control |= SL_PENDING_RETURNED; }

_IRQL_requires_max_(DISPATCH_LEVEL) NTKERNELAPI VOID IofCompleteRequest(PIRP irp, CHAR priorityBoost);
_IRQL_requires_max_(DISPATCH_LEVEL) inline VOID IoCompleteRequest(PIRP irp, CHAR priorityBoost)
{
    IofCompleteRequest(irp, priorityBoost);
}
// Releases the global cancel lock that the I/O manager holds when it calls a cancel routine.
_IRQL_requires_(DISPATCH_LEVEL) NTKERNELAPI VOID IoReleaseCancelSpinLock(KIRQL irql);

// ---- Cancel-safe IRP queues ------------------------------------------------------------------
// The driver keeps the queue (its list and its lock) and lends the system six callbacks; the
// system sets and claims the cancel routine, so that each queued IRP leaves the queue once: by
// a removal or by its cancellation, which completes it through CsqCompleteCanceledIrp. The
// system calls CsqInsertIrpEx, CsqRemoveIrp and CsqPeekNextIrp holding the queue's lock
// (CsqAcquireLock ... CsqReleaseLock), and CsqCompleteCanceledIrp without it. The system uses
// an IRP's DriverContext[3] while the IRP is queued. Every routine at IRQL <= DISPATCH_LEVEL.
constexpr ULONG IO_TYPE_CSQ_IRP_CONTEXT = 1;
constexpr ULONG IO_TYPE_CSQ = 2;
constexpr ULONG IO_TYPE_CSQ_EX = 3;

struct IO_CSQ;
typedef IO_CSQ* PIO_CSQ;
// Queues `irp`, or refuses it with a failure status that IoCsqInsertIrpEx returns.
typedef NTSTATUS (*PIO_CSQ_INSERT_IRP_EX)(PIO_CSQ csq, PIRP irp, PVOID insertContext);
typedef VOID (*PIO_CSQ_REMOVE_IRP)(PIO_CSQ csq, PIRP irp);
// The queued IRP after `irp` (NULL: the first) that matches `peekContext`, or NULL.
typedef PIRP (*PIO_CSQ_PEEK_NEXT_IRP)(PIO_CSQ csq, PIRP irp, PVOID peekContext);
typedef VOID (*PIO_CSQ_ACQUIRE_LOCK)(PIO_CSQ csq, PKIRQL irql);
typedef VOID (*PIO_CSQ_RELEASE_LOCK)(PIO_CSQ csq, KIRQL irql);
typedef VOID (*PIO_CSQ_COMPLETE_CANCELED_IRP)(PIO_CSQ csq, PIRP irp);

struct IO_CSQ {
    ULONG Type;   // IO_TYPE_CSQ_EX once initialised by IoCsqInitializeEx
    PIO_CSQ_INSERT_IRP_EX CsqInsertIrp;   // IoCsqInitializeEx keeps its callback in IoCsqInitialize's field
    PIO_CSQ_REMOVE_IRP CsqRemoveIrp;
    PIO_CSQ_PEEK_NEXT_IRP CsqPeekNextIrp;
    PIO_CSQ_ACQUIRE_LOCK CsqAcquireLock;
    PIO_CSQ_RELEASE_LOCK CsqReleaseLock;
    PIO_CSQ_COMPLETE_CANCELED_IRP CsqCompleteCanceledIrp;
    PVOID ReservePointer;
};
// Names one queued IRP for IoCsqRemoveIrp; Irp is NULL once the IRP has left the queue.
struct IO_CSQ_IRP_CONTEXT {
    ULONG Type;
    PIRP Irp;
    PIO_CSQ Csq;
};
typedef IO_CSQ_IRP_CONTEXT* PIO_CSQ_IRP_CONTEXT;

_IRQL_requires_max_(DISPATCH_LEVEL) NTKERNELAPI NTSTATUS IoCsqInitializeEx(PIO_CSQ csq,
    PIO_CSQ_INSERT_IRP_EX csqInsertIrp, PIO_CSQ_REMOVE_IRP csqRemoveIrp, PIO_CSQ_PEEK_NEXT_IRP csqPeekNextIrp,
    PIO_CSQ_ACQUIRE_LOCK csqAcquireLock, PIO_CSQ_RELEASE_LOCK csqReleaseLock,
    PIO_CSQ_COMPLETE_CANCELED_IRP csqCompleteCanceledIrp);
// Queues `irp` (CsqInsertIrpEx), marks it pending and gives it the queue's cancel routine; an
// IRP cancelled already is taken out again and completed through CsqCompleteCanceledIrp. Returns
// CsqInsertIrpEx's status; on a failure the IRP is neither queued nor marked pending.
_IRQL_requires_max_(DISPATCH_LEVEL) NTKERNELAPI NTSTATUS IoCsqInsertIrpEx(PIO_CSQ csq, PIRP irp,
    PIO_CSQ_IRP_CONTEXT context, PVOID insertContext);
// The first queued IRP that matches `peekContext` and is not being cancelled, taken out; or NULL.
_IRQL_requires_max_(DISPATCH_LEVEL) NTKERNELAPI PIRP IoCsqRemoveNextIrp(PIO_CSQ csq, PVOID peekContext);
// The IRP `context` names, taken out; NULL once it left the queue or while it is being cancelled.
_IRQL_requires_max_(DISPATCH_LEVEL) NTKERNELAPI PIRP IoCsqRemoveIrp(PIO_CSQ csq, PIO_CSQ_IRP_CONTEXT context);
// ---- End of cancel-safe IRP queues ----------------------------------------------------------

// Control codes.
constexpr ULONG METHOD_BUFFERED = 0;
constexpr ULONG FILE_ANY_ACCESS = 0;
constexpr ULONG FILE_DEVICE_PHYSICAL_NETCARD = 0x17;
constexpr ULONG CTL_CODE(ULONG deviceType, ULONG function, ULONG method, ULONG access)
{
    return (deviceType << 16) | (access << 14) | (function << 2) | method;
}

// ---------------------------------------------------------------------------------------------
// Error log.
constexpr ULONG ERROR_LOG_MAXIMUM_SIZE = 240;

struct IO_ERROR_LOG_PACKET {
    UCHAR MajorFunctionCode;
    UCHAR RetryCount;
    USHORT DumpDataSize;
    USHORT NumberOfStrings;
    USHORT StringOffset;
    USHORT EventCategory;
    NTSTATUS ErrorCode;
    ULONG UniqueErrorValue;
    NTSTATUS FinalStatus;
    ULONG SequenceNumber;
    ULONG IoControlCode;
    LARGE_INTEGER DeviceOffset;
    ULONG DumpData[1];
};
typedef IO_ERROR_LOG_PACKET* PIO_ERROR_LOG_PACKET;

// `ioObject` is the driver object or a device object; `entrySize` at most ERROR_LOG_MAXIMUM_SIZE.
_IRQL_requires_max_(DISPATCH_LEVEL) NTKERNELAPI PVOID IoAllocateErrorLogEntry(PVOID ioObject, UCHAR entrySize);
_IRQL_requires_max_(DISPATCH_LEVEL) NTKERNELAPI VOID IoWriteErrorLogEntry(PVOID elEntry);

// ---------------------------------------------------------------------------------------------
// Object manager and PnP notification.
NTKERNELAPI POBJECT_TYPE* IoDriverObjectType;
constexpr ULONG OBJ_CASE_INSENSITIVE = 0x40;

struct OBJECT_NAME_INFORMATION {
    UNICODE_STRING Name;   // the name's characters follow the record in the same buffer
};
typedef OBJECT_NAME_INFORMATION* POBJECT_NAME_INFORMATION;

_IRQL_requires_max_(PASSIVE_LEVEL) NTKERNELAPI NTSTATUS ObReferenceObjectByName(PUNICODE_STRING objectName,
    ULONG attributes, PACCESS_STATE accessState, ACCESS_MASK desiredAccess, POBJECT_TYPE objectType,
    KPROCESSOR_MODE accessMode, PVOID parseContext, PVOID* object);
_IRQL_requires_max_(APC_LEVEL) NTKERNELAPI NTSTATUS ObQueryNameString(PVOID object,
    POBJECT_NAME_INFORMATION objectNameInfo, ULONG length, PULONG returnLength);

struct TARGET_DEVICE_CUSTOM_NOTIFICATION {
    USHORT Version;
    USHORT Size;
    GUID Event;
    PFILE_OBJECT FileObject;
    LONG NameBufferOffset;
    UCHAR CustomDataBuffer[1];
};
typedef TARGET_DEVICE_CUSTOM_NOTIFICATION* PTARGET_DEVICE_CUSTOM_NOTIFICATION;

typedef VOID (*PDEVICE_CHANGE_COMPLETE_CALLBACK)(PVOID context);
_IRQL_requires_max_(DISPATCH_LEVEL) NTKERNELAPI NTSTATUS IoReportTargetDeviceChangeAsynchronous(
    PDEVICE_OBJECT physicalDeviceObject, PVOID notificationStructure, PDEVICE_CHANGE_COMPLETE_CALLBACK callback,
    PVOID context);

// ---------------------------------------------------------------------------------------------
// Software tracing. The provider carries no behaviour; registration returns a handle.
typedef ULONGLONG REGHANDLE;
NTKERNELAPI NTSTATUS EtwRegister(LPCGUID providerId, PVOID enableCallback, PVOID callbackContext,
    REGHANDLE* regHandle);
NTKERNELAPI NTSTATUS EtwUnregister(REGHANDLE regHandle);

#endif

// What differs: the binding's records, routines and inline bodies.
#if defined(GVSP_WINDOWS_KERNEL)
#include "platform/windows/wdm.h"
#else
#include "platform/host/wdm.h"
#endif
