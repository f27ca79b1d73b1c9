// The Windows binding of platform/wdm.h: the kernel declarations the core calls, with the
// layouts, calling linkage and inline routines of the WDK for x64. Built with the WDK it takes
// the WDK's own headers; built with mingw-w64 (whose ddk headers lack or differ from parts of
// what the core needs) it declares them here, every record checked against the WDK's x64
// layout in platform/windows/wdk_layouts.h. Freestanding C++20.
#pragma once

// A string literal of WCHARs, as the WDK writes them.
#define GVSP_WIDE(text) L##text

// A routine whose parameter `formatIndex` is a printf format for the arguments from `firstArgument`
// on: checked by GCC and clang; the WDK's compiler has no such attribute.
#if defined(_MSC_VER)
#define GVSP_PRINTF_FORMAT(formatIndex, firstArgument)
#else
#define GVSP_PRINTF_FORMAT(formatIndex, firstArgument) __attribute__((format(printf, formatIndex, firstArgument)))
#endif

#if defined(_MSC_VER)

#include <ntddk.h>

// The status-returning form of MmProbeAndLockPages, which raises where the core wants a
// status: STATUS_ACCESS_VIOLATION (or the raised code) instead of the exception.
_IRQL_requires_max_(APC_LEVEL) NTSTATUS MmProbeAndLockPagesChecked(PMDL mdl, KPROCESSOR_MODE accessMode,
    LOCK_OPERATION operation);

#else

#include <cstdarg>
#include <cstddef>
#include <cstdint>

#if !defined(__x86_64__)
#error "the Windows binding lays records out for x64 only"
#endif

// Every routine the kernel exports is imported from it by name, with C linkage.
#define NTKERNELAPI extern "C" __declspec(dllimport)
#define NTHALAPI extern "C" __declspec(dllimport)

// ---------------------------------------------------------------------------------------------
// Annotations. They document lock and IRQL contracts; the WDK's compiler checks them, this
// build does not.
#define _IRQL_requires_max_(irql)
#define _IRQL_requires_(irql)
#define _Guarded_by_(lock)
#define _Write_guarded_by_(lock)
#define _Requires_lock_held_(lock)
#define _Requires_exclusive_lock_held_(lock)
#define _Requires_shared_lock_held_(lock)
#define _Acquires_lock_(lock)
#define _Acquires_exclusive_lock_(lock)
#define _Acquires_shared_lock_(lock)
#define _Releases_lock_(lock)
#define _Function_ignore_lock_checking_(lock)
#define _Interlocked_

// ---------------------------------------------------------------------------------------------
// Basic types, with the widths of 64-bit Windows (LLP64).
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
typedef wchar_t WCHAR;
static_assert(sizeof(WCHAR) == 2, "wchar_t is 16 bits on Windows");
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
// IRQL. On x64 the current IRQL is the task-priority register CR8; the WDK reads and writes it
// inline, and the kernel exports no routine for it.
constexpr KIRQL PASSIVE_LEVEL = 0;
constexpr KIRQL APC_LEVEL = 1;
constexpr KIRQL DISPATCH_LEVEL = 2;
constexpr KIRQL HIGH_LEVEL = 15;

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
// Doubly and singly linked lists (inline, as in the WDK).
struct LIST_ENTRY {
    LIST_ENTRY* Flink;
    LIST_ENTRY* Blink;
};
typedef LIST_ENTRY* PLIST_ENTRY;

inline VOID InitializeListHead(PLIST_ENTRY head) { head->Flink = head->Blink = head; }
inline BOOLEAN IsListEmpty(const LIST_ENTRY* head) { return head->Flink == head; }
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

// The x64 interlocked list head: depth, sequence and the 16-byte-aligned first entry packed in
// 128 bits, changed with cmpxchg16b by the kernel's routines only.
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
// Interlocked operations: lock-prefixed instructions, full barriers, as the WDK's intrinsics.
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
// memset, memcpy and memcmp, which the kernel exports.
inline VOID RtlZeroMemory(PVOID destination, SIZE_T length) { __builtin_memset(destination, 0, length); }
inline VOID RtlCopyMemory(PVOID destination, PCVOID source, SIZE_T length) { __builtin_memcpy(destination, source, length); }
inline VOID RtlFillMemory(PVOID destination, SIZE_T length, UCHAR fill) { __builtin_memset(destination, fill, length); }
inline BOOLEAN RtlEqualMemory(PCVOID source1, PCVOID source2, SIZE_T length) { return __builtin_memcmp(source1, source2, length) == 0; }
// The WDK's byte swaps are the processor's, through its intrinsics.
inline USHORT RtlUshortByteSwap(USHORT source) { return __builtin_bswap16(source); }
inline ULONG RtlUlongByteSwap(ULONG source) { return __builtin_bswap32(source); }
inline ULONG64 RtlUlonglongByteSwap(ULONG64 source) { return __builtin_bswap64(source); }
// The high half of a 64 x 64-bit product: the processor's MUL, as the WDK's __umulh.
inline ULONG64 UnsignedMultiplyHigh(ULONG64 multiplier, ULONG64 multiplicand)
{
    __extension__ typedef unsigned __int128 Product;
    return static_cast<ULONG64>((static_cast<Product>(multiplier) * multiplicand) >> 64);
}
// The index of the lowest set bit of a non-zero mask; FALSE for a zero mask.
inline BOOLEAN BitScanForward(PULONG index, ULONG mask)
{
    if (mask == 0) {
        return FALSE;
    }
    *index = static_cast<ULONG>(__builtin_ctz(mask));
    return TRUE;
}
NTKERNELAPI VOID RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source);

NTKERNELAPI int _vsnprintf(char* buffer, size_t count, const char* format, va_list arguments);
NTKERNELAPI size_t mbstowcs(WCHAR* destination, const char* source, size_t count);

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
// Pool.
enum POOL_TYPE { NonPagedPool = 0, PagedPool = 1, NonPagedPoolNx = 512 };

NTKERNELAPI PVOID ExAllocatePoolWithTag(POOL_TYPE poolType, SIZE_T numberOfBytes, ULONG tag);
NTKERNELAPI VOID ExFreePoolWithTag(PVOID p, ULONG tag);

// ExInitializeNPagedLookasideList flag: the list refills from NonPagedPoolNx.
constexpr ULONG POOL_NX_ALLOCATION = 512;

typedef PVOID (*PALLOCATE_FUNCTION)(POOL_TYPE poolType, SIZE_T numberOfBytes, ULONG tag);
typedef VOID (*PFREE_FUNCTION)(PVOID buffer);

// The kernel's lookaside list; cache-line aligned on x64.
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
typedef NPAGED_LOOKASIDE_LIST* PNPAGED_LOOKASIDE_LIST;

NTKERNELAPI VOID ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST lookaside, PALLOCATE_FUNCTION allocate,
    PFREE_FUNCTION free, ULONG flags, SIZE_T size, ULONG tag, USHORT depth);
NTKERNELAPI VOID ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST lookaside);

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
typedef ULONG_PTR KSPIN_LOCK;
typedef KSPIN_LOCK* PKSPIN_LOCK;

inline VOID KeInitializeSpinLock(PKSPIN_LOCK spinLock) { *spinLock = 0; }
NTKERNELAPI KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK spinLock);
NTKERNELAPI VOID KeReleaseSpinLock(PKSPIN_LOCK spinLock, KIRQL newIrql);
NTKERNELAPI VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK spinLock);
NTKERNELAPI VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK spinLock);

// ---------------------------------------------------------------------------------------------
// Run-down protection.
struct EX_RUNDOWN_REF {
    union {
        volatile ULONG_PTR Count;
        volatile PVOID Ptr;
    };
};
typedef EX_RUNDOWN_REF* PEX_RUNDOWN_REF;

NTKERNELAPI VOID ExInitializeRundownProtection(PEX_RUNDOWN_REF runRef);
NTKERNELAPI VOID ExReInitializeRundownProtection(PEX_RUNDOWN_REF runRef);
NTKERNELAPI BOOLEAN ExAcquireRundownProtection(PEX_RUNDOWN_REF runRef);
NTKERNELAPI VOID ExReleaseRundownProtection(PEX_RUNDOWN_REF runRef);
NTKERNELAPI VOID ExWaitForRundownProtectionRelease(PEX_RUNDOWN_REF runRef);

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

NTKERNELAPI NTSTATUS PsCreateSystemThread(PHANDLE threadHandle, ULONG desiredAccess,
    POBJECT_ATTRIBUTES objectAttributes, HANDLE processHandle, PCLIENT_ID clientId,
    PKSTART_ROUTINE startRoutine, PVOID startContext);
NTKERNELAPI __attribute__((noreturn)) NTSTATUS PsTerminateSystemThread(NTSTATUS exitStatus);
NTKERNELAPI HANDLE PsGetCurrentProcessId();

// Process creation and exit: the driver reads no member of the notification's record, so it
// stays opaque. The kernel accepts the routine only from an image linked with integrity checks
// (--forceinteg), or it answers STATUS_ACCESS_DENIED.
typedef struct _EPROCESS* PEPROCESS;
typedef struct _PS_CREATE_NOTIFY_INFO* PPS_CREATE_NOTIFY_INFO;
typedef VOID (*PCREATE_PROCESS_NOTIFY_ROUTINE_EX)(PEPROCESS process, HANDLE processId,
    PPS_CREATE_NOTIFY_INFO createInfo);
NTKERNELAPI NTSTATUS PsSetCreateProcessNotifyRoutineEx(PCREATE_PROCESS_NOTIFY_ROUTINE_EX notifyRoutine,
    BOOLEAN remove);

NTKERNELAPI NTSTATUS ObReferenceObjectByHandle(HANDLE handle, ACCESS_MASK desiredAccess,
    POBJECT_TYPE objectType, KPROCESSOR_MODE accessMode, PVOID* object, PVOID handleInformation);
NTKERNELAPI LONG_PTR ObfReferenceObject(PVOID object);
NTKERNELAPI LONG_PTR ObfDereferenceObject(PVOID object);
NTKERNELAPI NTSTATUS ZwClose(HANDLE handle);

// A dispatcher header and nothing the driver reads: the kernel owns the event's state.
enum EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 };
struct KEVENT {
    alignas(8) UCHAR Header[0x18];   // DISPATCHER_HEADER
};
typedef KEVENT* PKEVENT;
NTKERNELAPI VOID KeInitializeEvent(PKEVENT event, EVENT_TYPE type, BOOLEAN state);
NTKERNELAPI LONG KeSetEvent(PKEVENT event, LONG increment, BOOLEAN wait);
NTKERNELAPI VOID KeClearEvent(PKEVENT event);

NTKERNELAPI NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON waitReason,
    KPROCESSOR_MODE waitMode, BOOLEAN alertable, PLARGE_INTEGER timeout);
NTKERNELAPI NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE waitMode, BOOLEAN alertable,
    PLARGE_INTEGER interval);

// ---------------------------------------------------------------------------------------------
// Performance counter: exported by the HAL (Windows 8 and later forward it to the kernel).
NTHALAPI LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER performanceFrequency);

// ---------------------------------------------------------------------------------------------
// Extended processor state (x64 layout).
constexpr ULONG64 XSTATE_MASK_AVX = 1ull << 2;
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
typedef XSTATE_SAVE* PXSTATE_SAVE;
NTKERNELAPI ULONG64 RtlGetEnabledExtendedFeatures(ULONG64 featureMask);
NTKERNELAPI NTSTATUS KeSaveExtendedProcessorState(ULONG64 mask, PXSTATE_SAVE save);
NTKERNELAPI VOID KeRestoreExtendedProcessorState(PXSTATE_SAVE save);

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
    PVOID MappedSystemVa;
    PVOID StartVa;
    ULONG ByteCount;
    ULONG ByteOffset;
};
typedef MDL* PMDL;

inline PVOID MmGetMdlVirtualAddress(const MDL* mdl) { return static_cast<PUCHAR>(mdl->StartVa) + mdl->ByteOffset; }
inline ULONG MmGetMdlByteCount(const MDL* mdl) { return mdl->ByteCount; }

enum LOCK_OPERATION { IoReadAccess = 0, IoWriteAccess = 1, IoModifyAccess = 2 };
enum MEMORY_CACHING_TYPE { MmNonCached = 0, MmCached = 1 };
enum MM_PAGE_PRIORITY { LowPagePriority = 0, NormalPagePriority = 16, HighPagePriority = 32 };
constexpr ULONG MdlMappingNoExecute = 0x40000000;

typedef struct _IRP* PIRP;

NTKERNELAPI PMDL IoAllocateMdl(PVOID virtualAddress, ULONG length, BOOLEAN secondaryBuffer,
    BOOLEAN chargeQuota, PIRP irp);
NTKERNELAPI VOID IoFreeMdl(PMDL mdl);
NTKERNELAPI VOID MmProbeAndLockPages(PMDL mdl, KPROCESSOR_MODE accessMode, LOCK_OPERATION operation);
// The status-returning form of MmProbeAndLockPages, which raises an exception where the core
// wants a status: the exception's code (STATUS_ACCESS_VIOLATION for memory that is not valid
// for the access asked) instead of the exception. platform/windows/probe_and_lock.S.
extern "C" NTSTATUS MmProbeAndLockPagesChecked(PMDL mdl, KPROCESSOR_MODE accessMode, LOCK_OPERATION operation);
NTKERNELAPI VOID MmUnlockPages(PMDL mdl);
NTKERNELAPI PVOID MmMapLockedPagesSpecifyCache(PMDL mdl, KPROCESSOR_MODE accessMode,
    MEMORY_CACHING_TYPE cacheType, PVOID requestedAddress, ULONG bugCheckOnFailure, ULONG priority);

inline PVOID MmGetSystemAddressForMdlSafe(PMDL mdl, ULONG priority)
{
    if (mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) {
        return mdl->MappedSystemVa;
    }
    return MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE, priority);
}

// ---------------------------------------------------------------------------------------------
// I/O manager: driver and device objects, file objects, IRPs. Members the core does not touch
// keep their place as opaque bytes of the WDK's size.
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
inline PDRIVER_CANCEL IoSetCancelRoutine(PIRP irp, PDRIVER_CANCEL cancelRoutine)
{
    return reinterpret_cast<PDRIVER_CANCEL>(InterlockedExchangePointer(
        reinterpret_cast<PVOID volatile*>(const_cast<PDRIVER_CANCEL*>(&irp->CancelRoutine)),
        reinterpret_cast<PVOID>(cancelRoutine)));
}

NTKERNELAPI VOID IofCompleteRequest(PIRP irp, CHAR priorityBoost);
inline VOID IoCompleteRequest(PIRP irp, CHAR priorityBoost) { IofCompleteRequest(irp, priorityBoost); }
NTKERNELAPI VOID IoReleaseCancelSpinLock(KIRQL irql);

// ---- Cancel-safe IRP queues ------------------------------------------------------------------
constexpr ULONG IO_TYPE_CSQ_IRP_CONTEXT = 1;
constexpr ULONG IO_TYPE_CSQ = 2;
constexpr ULONG IO_TYPE_CSQ_EX = 3;

struct IO_CSQ;
typedef IO_CSQ* PIO_CSQ;
typedef NTSTATUS (*PIO_CSQ_INSERT_IRP_EX)(PIO_CSQ csq, PIRP irp, PVOID insertContext);
typedef VOID (*PIO_CSQ_REMOVE_IRP)(PIO_CSQ csq, PIRP irp);
typedef PIRP (*PIO_CSQ_PEEK_NEXT_IRP)(PIO_CSQ csq, PIRP irp, PVOID peekContext);
typedef VOID (*PIO_CSQ_ACQUIRE_LOCK)(PIO_CSQ csq, PKIRQL irql);
typedef VOID (*PIO_CSQ_RELEASE_LOCK)(PIO_CSQ csq, KIRQL irql);
typedef VOID (*PIO_CSQ_COMPLETE_CANCELED_IRP)(PIO_CSQ csq, PIRP irp);

struct IO_CSQ {
    ULONG Type;
    PIO_CSQ_INSERT_IRP_EX CsqInsertIrp;   // IoCsqInitializeEx keeps its callback in IoCsqInitialize's field
    PIO_CSQ_REMOVE_IRP CsqRemoveIrp;
    PIO_CSQ_PEEK_NEXT_IRP CsqPeekNextIrp;
    PIO_CSQ_ACQUIRE_LOCK CsqAcquireLock;
    PIO_CSQ_RELEASE_LOCK CsqReleaseLock;
    PIO_CSQ_COMPLETE_CANCELED_IRP CsqCompleteCanceledIrp;
    PVOID ReservePointer;
};
struct IO_CSQ_IRP_CONTEXT {
    ULONG Type;
    PIRP Irp;
    PIO_CSQ Csq;
};
typedef IO_CSQ_IRP_CONTEXT* PIO_CSQ_IRP_CONTEXT;

NTKERNELAPI NTSTATUS IoCsqInitializeEx(PIO_CSQ csq, PIO_CSQ_INSERT_IRP_EX csqInsertIrp,
    PIO_CSQ_REMOVE_IRP csqRemoveIrp, PIO_CSQ_PEEK_NEXT_IRP csqPeekNextIrp, PIO_CSQ_ACQUIRE_LOCK csqAcquireLock,
    PIO_CSQ_RELEASE_LOCK csqReleaseLock, PIO_CSQ_COMPLETE_CANCELED_IRP csqCompleteCanceledIrp);
NTKERNELAPI NTSTATUS IoCsqInsertIrpEx(PIO_CSQ csq, PIRP irp, PIO_CSQ_IRP_CONTEXT context, PVOID insertContext);
NTKERNELAPI PIRP IoCsqRemoveNextIrp(PIO_CSQ csq, PVOID peekContext);
NTKERNELAPI PIRP IoCsqRemoveIrp(PIO_CSQ csq, PIO_CSQ_IRP_CONTEXT context);
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

NTKERNELAPI PVOID IoAllocateErrorLogEntry(PVOID ioObject, UCHAR entrySize);
NTKERNELAPI VOID IoWriteErrorLogEntry(PVOID elEntry);

// ---------------------------------------------------------------------------------------------
// Object manager and PnP notification.
extern "C" __declspec(dllimport) POBJECT_TYPE* IoDriverObjectType;
constexpr ULONG OBJ_CASE_INSENSITIVE = 0x40;

struct OBJECT_NAME_INFORMATION {
    UNICODE_STRING Name;   // the name's characters follow the record in the same buffer
};
typedef OBJECT_NAME_INFORMATION* POBJECT_NAME_INFORMATION;

NTKERNELAPI NTSTATUS ObReferenceObjectByName(PUNICODE_STRING objectName, ULONG attributes,
    PACCESS_STATE accessState, ACCESS_MASK desiredAccess, POBJECT_TYPE objectType, KPROCESSOR_MODE accessMode,
    PVOID parseContext, PVOID* object);
NTKERNELAPI NTSTATUS ObQueryNameString(PVOID object, POBJECT_NAME_INFORMATION objectNameInfo,
    ULONG length, PULONG returnLength);

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
NTKERNELAPI NTSTATUS IoReportTargetDeviceChangeAsynchronous(PDEVICE_OBJECT physicalDeviceObject,
    PVOID notificationStructure, PDEVICE_CHANGE_COMPLETE_CALLBACK callback, PVOID context);

// ---------------------------------------------------------------------------------------------
// Software tracing.
typedef ULONGLONG REGHANDLE;
NTKERNELAPI NTSTATUS EtwRegister(LPCGUID providerId, PVOID enableCallback, PVOID callbackContext, REGHANDLE* regHandle);
NTKERNELAPI NTSTATUS EtwUnregister(REGHANDLE regHandle);

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

// The WDK's PreFetchCacheLine: PREFETCHT0 at PF_TEMPORAL_LEVEL_1.
#if !defined(_MSC_VER)
constexpr ULONG PF_TEMPORAL_LEVEL_1 = 0;
inline VOID PreFetchCacheLine(ULONG, PCVOID address) { __builtin_prefetch(address, 0, 3); }
#endif
