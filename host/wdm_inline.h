// The host's bodies of the kernel routines the WDK has inline and the receive path calls per
// packet: list links, interlocked operations, memory copy and fill, byte swaps, the bit scan and
// the MDL accessors. Included by platform/wdm.h at its end, for the host build only; the
// compiler's builtins stay here, out of the core. Any IRQL.
#pragma once

// ---- Doubly linked lists --------------------------------------------------------------------
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

// ---- Interlocked operations: full barriers ---------------------------------------------------
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
inline LONG ReadAcquire(const volatile LONG* source) { return __atomic_load_n(source, __ATOMIC_ACQUIRE); }
inline VOID WriteRelease(volatile LONG* destination, LONG value) { __atomic_store_n(destination, value, __ATOMIC_RELEASE); }
inline ULONG ReadULongNoFence(const volatile ULONG* source) { return __atomic_load_n(source, __ATOMIC_RELAXED); }
inline VOID WriteULongNoFence(volatile ULONG* destination, ULONG value) { __atomic_store_n(destination, value, __ATOMIC_RELAXED); }

// ---- Run-time library -----------------------------------------------------------------------
inline VOID RtlZeroMemory(PVOID destination, SIZE_T length) { __builtin_memset(destination, 0, length); }
inline VOID RtlCopyMemory(PVOID destination, PCVOID source, SIZE_T length) { __builtin_memcpy(destination, source, length); }
inline VOID PreFetchCacheLine(ULONG, PCVOID address) { __builtin_prefetch(address, 0, 3); }
inline BOOLEAN RtlEqualMemory(PCVOID source1, PCVOID source2, SIZE_T length) { return __builtin_memcmp(source1, source2, length) == 0; }
inline VOID RtlFillMemory(PVOID destination, SIZE_T length, UCHAR fill) { __builtin_memset(destination, fill, length); }
inline USHORT RtlUshortByteSwap(USHORT source) { return __builtin_bswap16(source); }
inline ULONG RtlUlongByteSwap(ULONG source) { return __builtin_bswap32(source); }
inline ULONG64 RtlUlonglongByteSwap(ULONG64 source) { return __builtin_bswap64(source); }
inline ULONG64 UnsignedMultiplyHigh(ULONG64 multiplier, ULONG64 multiplicand)
{
    __extension__ typedef unsigned __int128 Product;
    return static_cast<ULONG64>((static_cast<Product>(multiplier) * multiplicand) >> 64);
}
inline BOOLEAN BitScanForward(PULONG index, ULONG mask)
{
    if (mask == 0) {
        return FALSE;
    }
    *index = static_cast<ULONG>(__builtin_ctz(mask));
    return TRUE;
}

// ---- MDL accessors --------------------------------------------------------------------------
inline PVOID MmGetMdlVirtualAddress(const MDL* mdl) { return static_cast<PUCHAR>(mdl->StartVa) + mdl->ByteOffset; }
inline ULONG MmGetMdlByteCount(const MDL* mdl) { return mdl->ByteCount; }
