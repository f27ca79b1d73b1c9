// The data path's handlers and the pass-through paths: the receive handler gives each chain to
// the receive path, the send-complete handler frees the driver's own sends; everything the
// filter does not take for itself goes on unchanged. The data handlers run at IRQL <=
// DISPATCH_LEVEL and keep no state; the OID handlers clone each request, pass the clone down and
// complete the original upward.
#include "delivery/transmit.h"
#include "driver/handlers.h"
#include "stream/receive.h"

namespace {

PNDIS_OID_REQUEST& UpperRequestOf(PNDIS_OID_REQUEST clone)
{
    return *reinterpret_cast<PNDIS_OID_REQUEST*>(clone->SourceReserved);
}

}  // namespace

VOID FilterReceiveNetBufferLists(NDIS_HANDLE filterModuleContext, PNET_BUFFER_LIST netBufferLists,
    NDIS_PORT_NUMBER portNumber, ULONG numberOfNetBufferLists, ULONG receiveFlags)
{
    (void)numberOfNetBufferLists;
    ReceiveNetBufferLists(static_cast<FilterAdapter*>(filterModuleContext), netBufferLists, portNumber, receiveFlags);
}

VOID FilterSendNetBufferListsComplete(NDIS_HANDLE filterModuleContext, PNET_BUFFER_LIST netBufferLists,
    ULONG sendCompleteFlags)
{
    auto* adapter = static_cast<FilterAdapter*>(filterModuleContext);

    ULONG ownPackets = 0;
    PNET_BUFFER_LIST next = netBufferLists;
    while (next != nullptr) {
        PNET_BUFFER_LIST current = next;
        next = NET_BUFFER_LIST_NEXT_NBL(current);
        NET_BUFFER_LIST_NEXT_NBL(current) = nullptr;

        if (current->SourceHandle == adapter->NdisFilterHandle) {
            FreeOwnPacket(current);
            ++ownPackets;
        } else {
            NdisFSendNetBufferListsComplete(adapter->NdisFilterHandle, current, sendCompleteFlags);
        }
    }
    // Last: the release of the last hold may let a pause, and then the detach that frees the
    // module, go on.
    for (; ownPackets > 0; --ownPackets) {
        ExReleaseRundownProtection(&adapter->DataPathRundown);
    }
}

VOID FilterSendNetBufferLists(NDIS_HANDLE filterModuleContext, PNET_BUFFER_LIST netBufferLists,
    NDIS_PORT_NUMBER portNumber, ULONG sendFlags)
{
    auto* adapter = static_cast<FilterAdapter*>(filterModuleContext);
    NT_ASSERT((sendFlags & NDIS_SEND_FLAGS_DISPATCH_LEVEL) == 0 || KeGetCurrentIrql() == DISPATCH_LEVEL);
    NdisFSendNetBufferLists(adapter->NdisFilterHandle, netBufferLists, portNumber, sendFlags);
}

// Every list that comes back here is one the receive path indicated up unchanged.
VOID FilterReturnNetBufferLists(NDIS_HANDLE filterModuleContext, PNET_BUFFER_LIST netBufferLists, ULONG returnFlags)
{
    auto* adapter = static_cast<FilterAdapter*>(filterModuleContext);
    NdisFReturnNetBufferLists(adapter->NdisFilterHandle, netBufferLists, returnFlags);
}

VOID FilterCancelSendNetBufferLists(NDIS_HANDLE filterModuleContext, PVOID cancelId)
{
    auto* adapter = static_cast<FilterAdapter*>(filterModuleContext);
    NdisFCancelSendNetBufferLists(adapter->NdisFilterHandle, cancelId);
}

VOID FilterDevicePnPEventNotify(NDIS_HANDLE filterModuleContext, PNET_DEVICE_PNP_EVENT netDevicePnPEvent)
{
    auto* adapter = static_cast<FilterAdapter*>(filterModuleContext);
    NdisFDevicePnPEventNotify(adapter->NdisFilterHandle, netDevicePnPEvent);
}

NDIS_STATUS FilterNetPnPEvent(NDIS_HANDLE filterModuleContext, PNET_PNP_EVENT_NOTIFICATION netPnPEventNotification)
{
    auto* adapter = static_cast<FilterAdapter*>(filterModuleContext);
    return NdisFNetPnPEvent(adapter->NdisFilterHandle, netPnPEventNotification);
}

VOID FilterStatus(NDIS_HANDLE filterModuleContext, PNDIS_STATUS_INDICATION statusIndication)
{
    auto* adapter = static_cast<FilterAdapter*>(filterModuleContext);
    NdisFIndicateStatus(adapter->NdisFilterHandle, statusIndication);
}

NDIS_STATUS FilterOidRequest(NDIS_HANDLE filterModuleContext, PNDIS_OID_REQUEST oidRequest)
{
    auto* adapter = static_cast<FilterAdapter*>(filterModuleContext);

    // A request that cannot be cloned fails upward with its counters cleared.
    PNDIS_OID_REQUEST clone = nullptr;
    NDIS_STATUS status = NdisAllocateCloneOidRequest(adapter->NdisFilterHandle, oidRequest, OID_CLONE_TAG, &clone);
    if (status != NDIS_STATUS_SUCCESS) {
        switch (oidRequest->RequestType) {
        case NdisRequestSetInformation:
            oidRequest->DATA.SET_INFORMATION.BytesRead = 0;
            oidRequest->DATA.SET_INFORMATION.BytesNeeded = 0;
            break;
        case NdisRequestMethod:
            oidRequest->DATA.METHOD_INFORMATION.BytesWritten = 0;
            oidRequest->DATA.METHOD_INFORMATION.BytesRead = 0;
            oidRequest->DATA.METHOD_INFORMATION.BytesNeeded = 0;
            break;
        default:
            oidRequest->DATA.QUERY_INFORMATION.BytesWritten = 0;
            oidRequest->DATA.QUERY_INFORMATION.BytesNeeded = 0;
            break;
        }
        return status;
    }

    // The clone remembers its upper request and carries its id down.
    UpperRequestOf(clone) = oidRequest;
    clone->RequestId = oidRequest->RequestId;
    // Under Lock: a cancel on another processor may be reading it already.
    adapter->LockIrql = KeAcquireSpinLockRaiseToDpc(&adapter->Lock);
    adapter->PendingOidRequest = clone;
    KeReleaseSpinLock(&adapter->Lock, adapter->LockIrql);
    status = NdisFOidRequest(adapter->NdisFilterHandle, clone);

    // From here the upper request is always completed through NdisFOidRequestComplete.
    if (status != NDIS_STATUS_PENDING) {
        FilterOidRequestComplete(adapter, clone, status);
    }
    return NDIS_STATUS_PENDING;
}

VOID FilterOidRequestComplete(NDIS_HANDLE filterModuleContext, PNDIS_OID_REQUEST oidRequest, NDIS_STATUS status)
{
    auto* adapter = static_cast<FilterAdapter*>(filterModuleContext);
    PNDIS_OID_REQUEST clone = oidRequest;
    PNDIS_OID_REQUEST upper = UpperRequestOf(clone);

    adapter->LockIrql = KeAcquireSpinLockRaiseToDpc(&adapter->Lock);
    adapter->PendingOidRequest = nullptr;
    KeReleaseSpinLock(&adapter->Lock, adapter->LockIrql);

    switch (clone->RequestType) {
    case NdisRequestMethod:
        upper->DATA.METHOD_INFORMATION.OutputBufferLength = clone->DATA.METHOD_INFORMATION.OutputBufferLength;
        upper->DATA.METHOD_INFORMATION.BytesRead = clone->DATA.METHOD_INFORMATION.BytesRead;
        upper->DATA.METHOD_INFORMATION.BytesNeeded = clone->DATA.METHOD_INFORMATION.BytesNeeded;
        upper->DATA.METHOD_INFORMATION.BytesWritten = clone->DATA.METHOD_INFORMATION.BytesWritten;
        break;
    case NdisRequestSetInformation:
        upper->DATA.SET_INFORMATION.BytesRead = clone->DATA.SET_INFORMATION.BytesRead;
        upper->DATA.SET_INFORMATION.BytesNeeded = clone->DATA.SET_INFORMATION.BytesNeeded;
        break;
    default:
        upper->DATA.QUERY_INFORMATION.BytesWritten = clone->DATA.QUERY_INFORMATION.BytesWritten;
        upper->DATA.QUERY_INFORMATION.BytesNeeded = clone->DATA.QUERY_INFORMATION.BytesNeeded;
        break;
    }

    UpperRequestOf(clone) = nullptr;
    NdisFreeCloneOidRequest(adapter->NdisFilterHandle, clone);
    NdisFOidRequestComplete(adapter->NdisFilterHandle, upper, status);
}

VOID FilterCancelOidRequest(NDIS_HANDLE filterModuleContext, PVOID requestId)
{
    auto* adapter = static_cast<FilterAdapter*>(filterModuleContext);

    BOOLEAN matches = FALSE;
    adapter->LockIrql = KeAcquireSpinLockRaiseToDpc(&adapter->Lock);
    PNDIS_OID_REQUEST clone = adapter->PendingOidRequest;
    if (clone != nullptr) {
        PNDIS_OID_REQUEST upper = UpperRequestOf(clone);
        matches = upper != nullptr && upper->RequestId == requestId;
    }
    KeReleaseSpinLock(&adapter->Lock, adapter->LockIrql);

    if (matches) {
        NdisFCancelOidRequest(adapter->NdisFilterHandle, requestId);
    }
}
