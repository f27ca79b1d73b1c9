// The driver's entry points and every handler NDIS calls, all of them in driver/: the filter
// module's lifecycle, the data path, OID requests and PnP. Kernel mode; each states its IRQL.
#pragma once

#include "base/driver.h"

extern "C" _IRQL_requires_(PASSIVE_LEVEL) NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject,
    PUNICODE_STRING registryPath);
_IRQL_requires_(PASSIVE_LEVEL)
VOID DriverUnload(PDRIVER_OBJECT driverObject);
_IRQL_requires_(PASSIVE_LEVEL)
NDIS_STATUS RegisterControlDevice();

// Filter module lifecycle.
_IRQL_requires_(PASSIVE_LEVEL)
NDIS_STATUS FilterAttach(NDIS_HANDLE ndisFilterHandle, NDIS_HANDLE filterDriverContext,
    PNDIS_FILTER_ATTACH_PARAMETERS attachParameters);
_IRQL_requires_(PASSIVE_LEVEL)
VOID FilterDetach(NDIS_HANDLE filterModuleContext);
_IRQL_requires_(PASSIVE_LEVEL)
NDIS_STATUS FilterRestart(NDIS_HANDLE filterModuleContext, PNDIS_FILTER_RESTART_PARAMETERS restartParameters);
_IRQL_requires_(PASSIVE_LEVEL)
NDIS_STATUS FilterPause(NDIS_HANDLE filterModuleContext, PNDIS_FILTER_PAUSE_PARAMETERS pauseParameters);
_IRQL_requires_(PASSIVE_LEVEL)
NDIS_STATUS FilterSetOptions(NDIS_HANDLE ndisDriverHandle, NDIS_HANDLE driverContext);
_IRQL_requires_(PASSIVE_LEVEL)
NDIS_STATUS FilterSetModuleOptions(NDIS_HANDLE filterModuleContext);

// The data path: the receive handler takes the stream packets (stream/receive.h), the rest pass
// through.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID FilterReceiveNetBufferLists(NDIS_HANDLE filterModuleContext, PNET_BUFFER_LIST netBufferLists,
    NDIS_PORT_NUMBER portNumber, ULONG numberOfNetBufferLists, ULONG receiveFlags);
// Completes the driver's own sends (frees them, then lets a pause go on) and passes up the rest.
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID FilterSendNetBufferListsComplete(NDIS_HANDLE filterModuleContext, PNET_BUFFER_LIST netBufferLists,
    ULONG sendCompleteFlags);
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID FilterSendNetBufferLists(NDIS_HANDLE filterModuleContext, PNET_BUFFER_LIST netBufferLists,
    NDIS_PORT_NUMBER portNumber, ULONG sendFlags);
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID FilterReturnNetBufferLists(NDIS_HANDLE filterModuleContext, PNET_BUFFER_LIST netBufferLists, ULONG returnFlags);
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID FilterCancelSendNetBufferLists(NDIS_HANDLE filterModuleContext, PVOID cancelId);
_IRQL_requires_(PASSIVE_LEVEL)
VOID FilterDevicePnPEventNotify(NDIS_HANDLE filterModuleContext, PNET_DEVICE_PNP_EVENT netDevicePnPEvent);
_IRQL_requires_(PASSIVE_LEVEL)
NDIS_STATUS FilterNetPnPEvent(NDIS_HANDLE filterModuleContext, PNET_PNP_EVENT_NOTIFICATION netPnPEventNotification);
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID FilterStatus(NDIS_HANDLE filterModuleContext, PNDIS_STATUS_INDICATION statusIndication);
_IRQL_requires_max_(DISPATCH_LEVEL)
NDIS_STATUS FilterOidRequest(NDIS_HANDLE filterModuleContext, PNDIS_OID_REQUEST oidRequest);
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID FilterOidRequestComplete(NDIS_HANDLE filterModuleContext, PNDIS_OID_REQUEST oidRequest, NDIS_STATUS status);
_IRQL_requires_max_(DISPATCH_LEVEL)
VOID FilterCancelOidRequest(NDIS_HANDLE filterModuleContext, PVOID requestId);
