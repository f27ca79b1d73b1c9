// Filter module lifecycle: attach, detach, pause, restart and the option handlers NDIS calls
// for every adapter the filter is bound to. PASSIVE_LEVEL; NDIS serialises the handlers of one
// module, not those of different modules.
#include "driver/handlers.h"

#include "base/event_log.h"
#include "base/stream_port.h"
#include "control/port_binding.h"

namespace {

constexpr ULONG RESTART_LOOKAHEAD_SIZE = 128;

// Unique values of MSG_ALLOC_FAILED in this file.
constexpr ULONG ALLOC_FAILED_ADAPTER_RECORD = 0;
constexpr ULONG ALLOC_FAILED_NET_BUFFER_LIST_POOL = 1;

BOOLEAN IsSameMac(const UCHAR* a, const UCHAR* b)
{
    return RtlEqualMemory(a, b, 6);
}

// Copies `source` behind the record at `*cursor`; the copy has no terminating NUL.
VOID CopyName(NDIS_STRING* destination, const NDIS_STRING* source, PUCHAR* cursor)
{
    USHORT length = source != nullptr ? source->Length : 0;
    destination->Length = length;
    destination->MaximumLength = length;
    destination->Buffer = reinterpret_cast<PWCH>(*cursor);
    if (length > 0) {
        RtlCopyMemory(*cursor, source->Buffer, length);
    }
    *cursor += length;
}

USHORT NameLength(const NDIS_STRING* name)
{
    return name != nullptr ? name->Length : 0;
}

}  // namespace

NDIS_STATUS FilterAttach(NDIS_HANDLE ndisFilterHandle, NDIS_HANDLE filterDriverContext,
    PNDIS_FILTER_ATTACH_PARAMETERS attachParameters)
{
    NT_ASSERT(KeGetCurrentIrql() == PASSIVE_LEVEL);
    NDIS_STATUS status = NDIS_STATUS_SUCCESS;
    FilterAdapter* adapter = nullptr;
    ULONG size = 0;
    NDIS_MEDIUM medium;
    LOCK_STATE_EX lockState;
    PUCHAR cursor = nullptr;
    NET_BUFFER_LIST_POOL_PARAMETERS poolParameters;
    NDIS_FILTER_ATTRIBUTES filterAttributes;
    LONG freeSlot = -1;
    const UCHAR* mac = nullptr;

    // Only our own driver context, only Ethernet and WAN media.
    if (filterDriverContext != static_cast<NDIS_HANDLE>(DriverGlobals.DriverObject)) {
        status = NDIS_STATUS_INVALID_PARAMETER;
        goto Exit;
    }
    medium = attachParameters->MiniportMediaType;
    if (medium != NdisMedium802_3 && medium != NdisMediumWan) {
        WriteEventLog(MSG_MEDIA_TYPE_REJECTED, 0, "MediaType:%d", static_cast<int>(medium));
        status = NDIS_STATUS_INVALID_PARAMETER;
        goto Exit;
    }

    // One module per MAC address: ports are bound by MAC address.
    NdisAcquireRWLockRead(DriverGlobals.AdapterTableLock, &lockState, 0);
    for (LONG slot = MAX_ADAPTERS - 1; slot >= 0; --slot) {
        FilterAdapter* other = DriverGlobals.AdapterTable[slot];
        if (other != nullptr && IsSameMac(other->MacAddress, attachParameters->CurrentMacAddress)) {
            status = NDIS_STATUS_NOT_SUPPORTED;
            break;
        }
    }
    NdisReleaseRWLock(DriverGlobals.AdapterTableLock, &lockState);
    if (status != NDIS_STATUS_SUCCESS) {
        goto Exit;
    }

    // The record and its three names, in one block.
    size = ULONG{sizeof(FilterAdapter)} + NameLength(attachParameters->FilterModuleGuidName) +
           NameLength(attachParameters->BaseMiniportInstanceName) + NameLength(attachParameters->BaseMiniportName);
    adapter = static_cast<FilterAdapter*>(
        NdisAllocateMemoryWithTagPriority(ndisFilterHandle, size, POOL_TAG, LowPoolPriority));
    if (adapter == nullptr) {
        WriteEventLog(MSG_ALLOC_FAILED, ALLOC_FAILED_ADAPTER_RECORD, "Size:%d", static_cast<int>(size));
        status = NDIS_STATUS_RESOURCES;
        goto Exit;
    }

    RtlZeroMemory(adapter, sizeof(FilterAdapter));
    cursor = reinterpret_cast<PUCHAR>(adapter + 1);
    CopyName(&adapter->FilterModuleName, attachParameters->FilterModuleGuidName, &cursor);
    CopyName(&adapter->MiniportFriendlyName, attachParameters->BaseMiniportInstanceName, &cursor);
    CopyName(&adapter->MiniportName, attachParameters->BaseMiniportName, &cursor);
    RtlCopyMemory(adapter->MacAddress, attachParameters->CurrentMacAddress, sizeof(adapter->MacAddress));
    adapter->NdisFilterHandle = ndisFilterHandle;
    KeInitializeSpinLock(&adapter->Lock);

    // The pool of the driver's own packets: one NET_BUFFER each, no data buffer.
    RtlZeroMemory(&poolParameters, sizeof(poolParameters));
    poolParameters.Header.Type = NDIS_OBJECT_TYPE_DEFAULT;
    poolParameters.Header.Revision = NET_BUFFER_LIST_POOL_PARAMETERS_REVISION_1;
    poolParameters.Header.Size = NDIS_SIZEOF_NET_BUFFER_LIST_POOL_PARAMETERS_REVISION_1;
    poolParameters.ProtocolId = 0;
    poolParameters.fAllocateNetBuffer = TRUE;
    poolParameters.ContextSize = 0;
    poolParameters.PoolTag = POOL_TAG;
    poolParameters.DataSize = 0;
    adapter->NetBufferListPool = NdisAllocateNetBufferListPool(ndisFilterHandle, &poolParameters);
    if (adapter->NetBufferListPool == nullptr) {
        WriteEventLog(MSG_ALLOC_FAILED, ALLOC_FAILED_NET_BUFFER_LIST_POOL, "Size:%d", 0);
        status = NDIS_STATUS_RESOURCES;
        goto Exit;
    }

    // The record becomes the module context NDIS hands to every later handler.
    RtlZeroMemory(&filterAttributes, sizeof(filterAttributes));
    filterAttributes.Header.Type = NDIS_OBJECT_TYPE_FILTER_ATTRIBUTES;
    filterAttributes.Header.Revision = NDIS_FILTER_ATTRIBUTES_REVISION_1;
    filterAttributes.Header.Size = NDIS_SIZEOF_FILTER_ATTRIBUTES_REVISION_1;
    filterAttributes.Flags = 0;
    status = NdisFSetAttributes(ndisFilterHandle, adapter, &filterAttributes);
    if (status != NDIS_STATUS_SUCCESS) {
        WriteEventLog(MSG_SET_ATTRIBUTES_FAILED, 0, "Status:0x%X", status);
        goto Exit;
    }

    // NDIS starts a module paused; FilterRestart sets it running.
    adapter->State = FILTER_STATE_PAUSED;
    ExInitializeRundownProtection(&adapter->DataPathRundown);
    ExWaitForRundownProtectionRelease(&adapter->DataPathRundown);

    // The highest free slot. A module that finds none is refused: no port could ever be
    // bound to it, and a slot it does not own must never be cleared on its behalf.
    NdisAcquireRWLockWrite(DriverGlobals.AdapterTableLock, &lockState, 0);
    for (LONG slot = MAX_ADAPTERS - 1; slot >= 0; --slot) {
        if (DriverGlobals.AdapterTable[slot] == nullptr) {
            freeSlot = slot;
            DriverGlobals.AdapterTable[slot] = adapter;
            adapter->AdapterIndex = static_cast<ULONG>(slot);
            break;
        }
    }
    NdisReleaseRWLock(DriverGlobals.AdapterTableLock, &lockState);
    if (freeSlot < 0) {
        status = NDIS_STATUS_RESOURCES;
        goto Exit;
    }

    mac = adapter->MacAddress;
    WriteEventLog(MSG_NIC_ATTACHED, 0, "MAC:%02x-%02x-%02x-%02x-%02x-%02x", mac[0], mac[1], mac[2], mac[3], mac[4],
        mac[5]);

Exit:
    // A refused module leaves nothing behind: its pool and its record go.
    if (status != NDIS_STATUS_SUCCESS && adapter != nullptr) {
        if (adapter->NetBufferListPool != nullptr) {
            NdisFreeNetBufferListPool(adapter->NetBufferListPool);
        }
        NdisFreeMemory(adapter, size, 0);
    }
    return status;
}

VOID FilterDetach(NDIS_HANDLE filterModuleContext)
{
    auto* adapter = static_cast<FilterAdapter*>(filterModuleContext);
    // NDIS detaches only a paused module.
    NT_ASSERT(adapter->State == FILTER_STATE_PAUSED);

    const UCHAR* mac = adapter->MacAddress;
    WriteEventLog(MSG_NIC_DETACHED, 0, "MAC:%02x-%02x-%02x-%02x-%02x-%02x", mac[0], mac[1], mac[2], mac[3], mac[4],
        mac[5]);

    // Every port still bound to this adapter ends here; from now on no bind finds it.
    LOCK_STATE_EX lockState;
    NdisAcquireRWLockWrite(DriverGlobals.AdapterTableLock, &lockState, 0);
    adapter->Detaching = TRUE;
    DetachStreamPorts(adapter, &lockState);

    // The slot belongs to this module only while it holds the module.
    if (DriverGlobals.AdapterTable[adapter->AdapterIndex] == adapter) {
        DriverGlobals.AdapterTable[adapter->AdapterIndex] = nullptr;
    }
    NdisReleaseRWLock(DriverGlobals.AdapterTableLock, &lockState);

    // The pause before the detach waited for every own packet to come back: the pool is idle.
    if (adapter->NetBufferListPool != nullptr) {
        NdisFreeNetBufferListPool(adapter->NetBufferListPool);
        adapter->NetBufferListPool = nullptr;
    }

    // The names were allocated behind the record, so they count in its size.
    ULONG size = ULONG{sizeof(FilterAdapter)} + adapter->FilterModuleName.Length + adapter->MiniportFriendlyName.Length +
                 adapter->MiniportName.Length;
    NdisFreeMemory(adapter, size, 0);
}

NDIS_STATUS FilterPause(NDIS_HANDLE filterModuleContext, PNDIS_FILTER_PAUSE_PARAMETERS pauseParameters)
{
    (void)pauseParameters;
    auto* adapter = static_cast<FilterAdapter*>(filterModuleContext);
    NT_ASSERT(adapter->State == FILTER_STATE_RUNNING);

    adapter->LockIrql = KeAcquireSpinLockRaiseToDpc(&adapter->Lock);
    adapter->State = FILTER_STATE_PAUSING;
    KeReleaseSpinLock(&adapter->Lock, adapter->LockIrql);
    // Receives in progress finish (later ones hand their lists back), no own send starts any more
    // and every own send still out comes back to FilterSendNetBufferListsComplete: a pause
    // completes only when nothing the filter originated is left below. The stream ports stay
    // bound across a pause.
    ExWaitForRundownProtectionRelease(&adapter->DataPathRundown);
    adapter->State = FILTER_STATE_PAUSED;
    return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS FilterRestart(NDIS_HANDLE filterModuleContext, PNDIS_FILTER_RESTART_PARAMETERS restartParameters)
{
    auto* adapter = static_cast<FilterAdapter*>(filterModuleContext);
    NT_ASSERT(adapter->State == FILTER_STATE_PAUSED);

    // The protocols above see the lookahead the filter needs, not the miniport's: in the general
    // attributes, the entry of the list that names their OID.
    for (PNDIS_RESTART_ATTRIBUTES attributes = restartParameters->RestartAttributes; attributes != nullptr;
         attributes = attributes->Next) {
        if (attributes->Oid == OID_GEN_MINIPORT_RESTART_ATTRIBUTES) {
            reinterpret_cast<PNDIS_RESTART_GENERAL_ATTRIBUTES>(attributes->Data)->LookaheadSize = RESTART_LOOKAHEAD_SIZE;
        }
    }
    ExReInitializeRundownProtection(&adapter->DataPathRundown);
    adapter->State = FILTER_STATE_RUNNING;
    return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS FilterSetOptions(NDIS_HANDLE ndisDriverHandle, NDIS_HANDLE driverContext)
{
    if (ndisDriverHandle != DriverGlobals.FilterDriverHandle ||
        driverContext != static_cast<NDIS_HANDLE>(DriverGlobals.DriverObject)) {
        return NDIS_STATUS_INVALID_PARAMETER;
    }
    return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS FilterSetModuleOptions(NDIS_HANDLE filterModuleContext)
{
    (void)filterModuleContext;
    return NDIS_STATUS_SUCCESS;
}
