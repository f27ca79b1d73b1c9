// NDIS 6.20 declarations the core calls, under the WDK's names: filter registration and
// attributes, control device registration, reader/writer locks, memory, NET_BUFFER_LIST pools
// and chains with their accessors, the send/receive/return paths, OID requests, status and PnP
// forwarding. What both bindings declare alike stands here once, with the WDK's x64 layouts;
// the binding adds what differs (platform/host/ndis.h, platform/windows/ndis.h): the
// NET_BUFFER_LIST and NET_BUFFER records with their accessors, the lock state, the attach and
// restart attribute records. Freestanding C++20.
#pragma once

#include "platform/wdm.h"

// The WDK's own ndis.h declares all of this for the WDK's compiler (platform/windows/ndis.h).
#if !defined(_MSC_VER)

typedef PVOID NDIS_HANDLE;
typedef NDIS_HANDLE* PNDIS_HANDLE;
typedef LONG NDIS_STATUS;
typedef NDIS_STATUS* PNDIS_STATUS;
typedef UNICODE_STRING NDIS_STRING;
typedef NDIS_STRING* PNDIS_STRING;
typedef ULONG NDIS_PORT_NUMBER;
typedef ULONG NDIS_OID;
typedef ULONG_PTR NDIS_REQUEST_ID;
typedef ULONG NET_IFINDEX;
typedef ULONG64 NET_LUID;
typedef LARGE_INTEGER NDIS_PHYSICAL_ADDRESS;

constexpr NDIS_STATUS NDIS_STATUS_SUCCESS = 0x00000000;
constexpr NDIS_STATUS NDIS_STATUS_PENDING = 0x00000103;
constexpr NDIS_STATUS NDIS_STATUS_FAILURE = static_cast<NDIS_STATUS>(0xC0000001);
constexpr NDIS_STATUS NDIS_STATUS_RESOURCES = static_cast<NDIS_STATUS>(0xC000009A);
constexpr NDIS_STATUS NDIS_STATUS_INVALID_PARAMETER = static_cast<NDIS_STATUS>(0xC000000D);
constexpr NDIS_STATUS NDIS_STATUS_NOT_SUPPORTED = static_cast<NDIS_STATUS>(0xC00000BB);
constexpr NDIS_STATUS NDIS_STATUS_REQUEST_ABORTED = static_cast<NDIS_STATUS>(0xC001000C);
constexpr NDIS_STATUS NDIS_STATUS_BAD_VERSION = static_cast<NDIS_STATUS>(0xC0010004);
constexpr NDIS_STATUS NDIS_STATUS_BAD_CHARACTERISTICS = static_cast<NDIS_STATUS>(0xC0010005);

// ---------------------------------------------------------------------------------------------
// Object headers.
struct NDIS_OBJECT_HEADER {
    UCHAR Type;
    UCHAR Revision;
    USHORT Size;
};

constexpr UCHAR NDIS_OBJECT_TYPE_DEFAULT = 0x80;
constexpr UCHAR NDIS_OBJECT_TYPE_DEVICE_OBJECT_ATTRIBUTES = 0x85;
constexpr UCHAR NDIS_OBJECT_TYPE_FILTER_DRIVER_CHARACTERISTICS = 0x8B;
constexpr UCHAR NDIS_OBJECT_TYPE_FILTER_ATTRIBUTES = 0x8D;
constexpr UCHAR NDIS_OBJECT_TYPE_OID_REQUEST = 0x96;

// ---------------------------------------------------------------------------------------------
// Media.
enum NDIS_MEDIUM : ULONG {
    NdisMedium802_3 = 0,
    NdisMedium802_5 = 1,
    NdisMediumFddi = 2,
    NdisMediumWan = 3,
    NdisMediumNative802_11 = 16,
};
typedef ULONG NDIS_PHYSICAL_MEDIUM;

// ---------------------------------------------------------------------------------------------
// NET_BUFFER_LIST and NET_BUFFER (their records and the WDK's accessor macros, as routines that
// give the member itself, are the binding's).
struct NET_BUFFER;
typedef NET_BUFFER* PNET_BUFFER;
struct NET_BUFFER_LIST;
typedef NET_BUFFER_LIST* PNET_BUFFER_LIST;

inline PMDL& NDIS_MDL_LINKAGE(PMDL mdl) { return mdl->Next; }

// Receive, return, send and send-complete flags.
constexpr ULONG NDIS_RECEIVE_FLAGS_DISPATCH_LEVEL = 0x00000001;
constexpr ULONG NDIS_RECEIVE_FLAGS_RESOURCES = 0x00000002;
constexpr ULONG NDIS_RETURN_FLAGS_DISPATCH_LEVEL = 0x00000001;
constexpr ULONG NDIS_SEND_FLAGS_DISPATCH_LEVEL = 0x00000001;
constexpr ULONG NDIS_SEND_COMPLETE_FLAGS_DISPATCH_LEVEL = 0x00000001;

constexpr NDIS_PORT_NUMBER NDIS_DEFAULT_PORT_NUMBER = 0;

struct NET_BUFFER_LIST_POOL_PARAMETERS {
    NDIS_OBJECT_HEADER Header;
    UCHAR ProtocolId;
    BOOLEAN fAllocateNetBuffer;
    USHORT ContextSize;
    ULONG PoolTag;
    ULONG DataSize;
};
typedef NET_BUFFER_LIST_POOL_PARAMETERS* PNET_BUFFER_LIST_POOL_PARAMETERS;
constexpr UCHAR NET_BUFFER_LIST_POOL_PARAMETERS_REVISION_1 = 1;
constexpr USHORT NDIS_SIZEOF_NET_BUFFER_LIST_POOL_PARAMETERS_REVISION_1 = 16;

_IRQL_requires_max_(DISPATCH_LEVEL) NDISAPI NDIS_HANDLE NdisAllocateNetBufferListPool(NDIS_HANDLE ndisHandle,
    PNET_BUFFER_LIST_POOL_PARAMETERS parameters);
_IRQL_requires_max_(DISPATCH_LEVEL) NDISAPI VOID NdisFreeNetBufferListPool(NDIS_HANDLE poolHandle);
_IRQL_requires_max_(DISPATCH_LEVEL) NDISAPI PNET_BUFFER_LIST NdisAllocateNetBufferAndNetBufferList(
    NDIS_HANDLE poolHandle, USHORT contextSize, USHORT contextBackFill, PMDL mdlChain, ULONG dataOffset,
    SIZE_T dataLength);
_IRQL_requires_max_(DISPATCH_LEVEL) NDISAPI VOID NdisFreeNetBufferList(PNET_BUFFER_LIST netBufferList);

// MDLs over non-paged memory of the driver's own.
_IRQL_requires_max_(DISPATCH_LEVEL) NDISAPI PMDL NdisAllocateMdl(NDIS_HANDLE ndisHandle, PVOID virtualAddress,
    ULONG length);
_IRQL_requires_max_(DISPATCH_LEVEL) NDISAPI VOID NdisFreeMdl(PMDL mdl);

// ---------------------------------------------------------------------------------------------
// Memory.
enum EX_POOL_PRIORITY { LowPoolPriority = 0, NormalPoolPriority = 16, HighPoolPriority = 32 };

_IRQL_requires_max_(DISPATCH_LEVEL) NDISAPI PVOID NdisAllocateMemoryWithTagPriority(NDIS_HANDLE ndisHandle,
    ULONG length, ULONG tag, EX_POOL_PRIORITY priority);
_IRQL_requires_max_(DISPATCH_LEVEL) NDISAPI VOID NdisFreeMemory(PVOID virtualAddress, ULONG length, ULONG memoryFlags);

// ---------------------------------------------------------------------------------------------
// Reader/writer lock.
struct _Has_lock_kind_(_Lock_kind_rw_lock_) NDIS_RW_LOCK_EX;
typedef NDIS_RW_LOCK_EX* PNDIS_RW_LOCK_EX;

// The caller's record of one acquisition (the binding's).
struct LOCK_STATE_EX;
typedef LOCK_STATE_EX* PLOCK_STATE_EX;

constexpr ULONG NDIS_RWL_AT_DISPATCH_LEVEL = 0x1;

_IRQL_requires_max_(DISPATCH_LEVEL) NDISAPI PNDIS_RW_LOCK_EX NdisAllocateRWLock(NDIS_HANDLE ndisHandle);
_IRQL_requires_max_(DISPATCH_LEVEL) NDISAPI VOID NdisFreeRWLock(PNDIS_RW_LOCK_EX lock);
_IRQL_requires_max_(DISPATCH_LEVEL) NDISAPI VOID NdisAcquireRWLockRead(PNDIS_RW_LOCK_EX lock, PLOCK_STATE_EX lockState,
    ULONG flags) _Acquires_shared_lock_(lock);
_IRQL_requires_max_(DISPATCH_LEVEL) NDISAPI VOID NdisAcquireRWLockWrite(PNDIS_RW_LOCK_EX lock, PLOCK_STATE_EX lockState,
    ULONG flags) _Acquires_exclusive_lock_(lock);
_IRQL_requires_(DISPATCH_LEVEL) NDISAPI VOID NdisReleaseRWLock(PNDIS_RW_LOCK_EX lock, PLOCK_STATE_EX lockState)
    _Releases_lock_(lock);

// ---------------------------------------------------------------------------------------------
// OID requests.
enum NDIS_REQUEST_TYPE : ULONG {
    NdisRequestQueryInformation = 0,
    NdisRequestSetInformation = 1,
    NdisRequestQueryStatistics = 2,
    NdisRequestMethod = 12,
};

struct NDIS_OID_REQUEST {
    NDIS_OBJECT_HEADER Header;
    NDIS_REQUEST_TYPE RequestType;
    NDIS_PORT_NUMBER PortNumber;
    ULONG Timeout;
    PVOID RequestId;
    NDIS_HANDLE RequestHandle;
    union {
        struct {
            NDIS_OID Oid;
            PVOID InformationBuffer;
            ULONG InformationBufferLength;
            ULONG BytesWritten;
            ULONG BytesNeeded;
        } QUERY_INFORMATION;
        struct {
            NDIS_OID Oid;
            PVOID InformationBuffer;
            ULONG InformationBufferLength;
            ULONG BytesRead;
            ULONG BytesNeeded;
        } SET_INFORMATION;
        struct {
            NDIS_OID Oid;
            PVOID InformationBuffer;
            ULONG InputBufferLength;
            ULONG OutputBufferLength;
            ULONG MethodId;
            ULONG BytesWritten;
            ULONG BytesRead;
            ULONG BytesNeeded;
        } METHOD_INFORMATION;
    } DATA;
    UCHAR NdisReserved[16 * sizeof(PVOID)];
    UCHAR MiniportReserved[2 * sizeof(PVOID)];
    UCHAR SourceReserved[2 * sizeof(PVOID)];
    UCHAR SupportedRevision;
    UCHAR Reserved1;
    USHORT Reserved2;
};
typedef NDIS_OID_REQUEST* PNDIS_OID_REQUEST;

_IRQL_requires_max_(DISPATCH_LEVEL) NDISAPI NDIS_STATUS NdisAllocateCloneOidRequest(NDIS_HANDLE sourceHandle,
    PNDIS_OID_REQUEST oidRequest, ULONG poolTag, PNDIS_OID_REQUEST* cloneOidRequest);
_IRQL_requires_max_(DISPATCH_LEVEL) NDISAPI VOID NdisFreeCloneOidRequest(NDIS_HANDLE sourceHandle,
    PNDIS_OID_REQUEST request);
_IRQL_requires_max_(DISPATCH_LEVEL) NDISAPI NDIS_STATUS NdisFOidRequest(NDIS_HANDLE ndisFilterHandle,
    PNDIS_OID_REQUEST oidRequest);
_IRQL_requires_max_(DISPATCH_LEVEL) NDISAPI VOID NdisFOidRequestComplete(NDIS_HANDLE ndisFilterHandle,
    PNDIS_OID_REQUEST oidRequest, NDIS_STATUS status);
_IRQL_requires_max_(DISPATCH_LEVEL) NDISAPI VOID NdisFCancelOidRequest(NDIS_HANDLE ndisFilterHandle, PVOID requestId);

// ---------------------------------------------------------------------------------------------
// Status and PnP.
struct NDIS_STATUS_INDICATION {
    NDIS_OBJECT_HEADER Header;
    NDIS_HANDLE SourceHandle;
    NDIS_PORT_NUMBER PortNumber;
    NDIS_STATUS StatusCode;
    ULONG Flags;
    NDIS_HANDLE DestinationHandle;
    PVOID RequestId;
    PVOID StatusBuffer;
    ULONG StatusBufferSize;
    GUID Guid;
    PVOID NdisReserved[4];
};
typedef NDIS_STATUS_INDICATION* PNDIS_STATUS_INDICATION;

enum NDIS_DEVICE_PNP_EVENT : ULONG {
    NdisDevicePnPEventQueryRemoved = 0,
    NdisDevicePnPEventRemoved = 1,
    NdisDevicePnPEventSurpriseRemoved = 2,
    NdisDevicePnPEventPowerProfileChanged = 5,
};

struct NET_DEVICE_PNP_EVENT {
    NDIS_OBJECT_HEADER Header;
    NDIS_PORT_NUMBER PortNumber;
    NDIS_DEVICE_PNP_EVENT DevicePnPEvent;
    PVOID InformationBuffer;
    ULONG InformationBufferLength;
    UCHAR NdisReserved[2 * sizeof(PVOID)];
};
typedef NET_DEVICE_PNP_EVENT* PNET_DEVICE_PNP_EVENT;

struct NET_PNP_EVENT {
    ULONG NetEvent;
    PVOID Buffer;
    ULONG BufferLength;
    ULONG_PTR NdisReserved[4];
    ULONG_PTR TransportReserved[4];
    ULONG_PTR TdiReserved[4];
    ULONG_PTR TdiClientReserved[4];
};

struct NET_PNP_EVENT_NOTIFICATION {
    NDIS_OBJECT_HEADER Header;
    NDIS_PORT_NUMBER PortNumber;
    NET_PNP_EVENT NetPnPEvent;
};
typedef NET_PNP_EVENT_NOTIFICATION* PNET_PNP_EVENT_NOTIFICATION;

// ---------------------------------------------------------------------------------------------
// Filter module attach, restart and pause parameters. The attach parameters and the restart
// attributes' chain link are the binding's records.
struct NDIS_FILTER_ATTACH_PARAMETERS;
typedef NDIS_FILTER_ATTACH_PARAMETERS* PNDIS_FILTER_ATTACH_PARAMETERS;

constexpr NDIS_OID OID_GEN_MINIPORT_RESTART_ATTRIBUTES = 0x0001020D;

struct NDIS_RESTART_ATTRIBUTES;
typedef NDIS_RESTART_ATTRIBUTES* PNDIS_RESTART_ATTRIBUTES;

struct NDIS_RESTART_GENERAL_ATTRIBUTES {
    NDIS_OBJECT_HEADER Header;
    ULONG MtuSize;
    ULONG64 MaxXmitLinkSpeed;
    ULONG64 MaxRcvLinkSpeed;
    ULONG LookaheadSize;
    ULONG MacOptions;
    ULONG SupportedPacketFilters;
    ULONG MaxMulticastListSize;
    PVOID RecvScaleCapabilities;
    ULONG AccessType;
    ULONG Flags;
    ULONG ConnectionType;
    ULONG SupportedStatistics;
    ULONG DataBackFillSize;
    ULONG ContextBackFillSize;
    NDIS_OID* SupportedOidList;
    ULONG SupportedOidListLength;
    ULONG MaxLookaheadSize;
};
typedef NDIS_RESTART_GENERAL_ATTRIBUTES* PNDIS_RESTART_GENERAL_ATTRIBUTES;

struct NDIS_FILTER_RESTART_PARAMETERS {
    NDIS_OBJECT_HEADER Header;
    NDIS_MEDIUM MiniportMediaType;
    NDIS_PHYSICAL_MEDIUM MiniportPhysicalMediaType;
    PNDIS_RESTART_ATTRIBUTES RestartAttributes;
    NET_IFINDEX LowerIfIndex;
    NET_LUID LowerIfNetLuid;
    ULONG Flags;
};
typedef NDIS_FILTER_RESTART_PARAMETERS* PNDIS_FILTER_RESTART_PARAMETERS;

struct NDIS_FILTER_PAUSE_PARAMETERS {
    NDIS_OBJECT_HEADER Header;
    ULONG Flags;
    ULONG PauseReason;
};
typedef NDIS_FILTER_PAUSE_PARAMETERS* PNDIS_FILTER_PAUSE_PARAMETERS;

struct NDIS_FILTER_ATTRIBUTES {
    NDIS_OBJECT_HEADER Header;
    ULONG Flags;
};
typedef NDIS_FILTER_ATTRIBUTES* PNDIS_FILTER_ATTRIBUTES;
constexpr UCHAR NDIS_FILTER_ATTRIBUTES_REVISION_1 = 1;
constexpr USHORT NDIS_SIZEOF_FILTER_ATTRIBUTES_REVISION_1 = 8;

// ---------------------------------------------------------------------------------------------
// Filter driver characteristics: the handler table NDIS calls.
typedef NDIS_STATUS (*SET_OPTIONS_HANDLER)(NDIS_HANDLE ndisDriverHandle, NDIS_HANDLE driverContext);
typedef NDIS_STATUS (*FILTER_SET_MODULE_OPTIONS_HANDLER)(NDIS_HANDLE filterModuleContext);
typedef NDIS_STATUS (*FILTER_ATTACH_HANDLER)(NDIS_HANDLE ndisFilterHandle, NDIS_HANDLE filterDriverContext,
    PNDIS_FILTER_ATTACH_PARAMETERS attachParameters);
typedef VOID (*FILTER_DETACH_HANDLER)(NDIS_HANDLE filterModuleContext);
typedef NDIS_STATUS (*FILTER_RESTART_HANDLER)(NDIS_HANDLE filterModuleContext,
    PNDIS_FILTER_RESTART_PARAMETERS restartParameters);
typedef NDIS_STATUS (*FILTER_PAUSE_HANDLER)(NDIS_HANDLE filterModuleContext,
    PNDIS_FILTER_PAUSE_PARAMETERS pauseParameters);
typedef VOID (*FILTER_SEND_NET_BUFFER_LISTS_HANDLER)(NDIS_HANDLE filterModuleContext,
    PNET_BUFFER_LIST netBufferLists, NDIS_PORT_NUMBER portNumber, ULONG sendFlags);
typedef VOID (*FILTER_SEND_NET_BUFFER_LISTS_COMPLETE_HANDLER)(NDIS_HANDLE filterModuleContext,
    PNET_BUFFER_LIST netBufferLists, ULONG sendCompleteFlags);
typedef VOID (*FILTER_CANCEL_SEND_HANDLER)(NDIS_HANDLE filterModuleContext, PVOID cancelId);
typedef VOID (*FILTER_RECEIVE_NET_BUFFER_LISTS_HANDLER)(NDIS_HANDLE filterModuleContext,
    PNET_BUFFER_LIST netBufferLists, NDIS_PORT_NUMBER portNumber, ULONG numberOfNetBufferLists,
    ULONG receiveFlags);
typedef VOID (*FILTER_RETURN_NET_BUFFER_LISTS_HANDLER)(NDIS_HANDLE filterModuleContext,
    PNET_BUFFER_LIST netBufferLists, ULONG returnFlags);
typedef NDIS_STATUS (*FILTER_OID_REQUEST_HANDLER)(NDIS_HANDLE filterModuleContext, PNDIS_OID_REQUEST oidRequest);
typedef VOID (*FILTER_OID_REQUEST_COMPLETE_HANDLER)(NDIS_HANDLE filterModuleContext,
    PNDIS_OID_REQUEST oidRequest, NDIS_STATUS status);
typedef VOID (*FILTER_CANCEL_OID_REQUEST_HANDLER)(NDIS_HANDLE filterModuleContext, PVOID requestId);
typedef VOID (*FILTER_DEVICE_PNP_EVENT_NOTIFY_HANDLER)(NDIS_HANDLE filterModuleContext,
    PNET_DEVICE_PNP_EVENT netDevicePnPEvent);
typedef NDIS_STATUS (*FILTER_NET_PNP_EVENT_HANDLER)(NDIS_HANDLE filterModuleContext,
    PNET_PNP_EVENT_NOTIFICATION netPnPEventNotification);
typedef VOID (*FILTER_STATUS_HANDLER)(NDIS_HANDLE filterModuleContext, PNDIS_STATUS_INDICATION statusIndication);
typedef NDIS_STATUS (*FILTER_DIRECT_OID_REQUEST_HANDLER)(NDIS_HANDLE filterModuleContext, PNDIS_OID_REQUEST oidRequest);
typedef VOID (*FILTER_DIRECT_OID_REQUEST_COMPLETE_HANDLER)(NDIS_HANDLE filterModuleContext,
    PNDIS_OID_REQUEST oidRequest, NDIS_STATUS status);
typedef VOID (*FILTER_CANCEL_DIRECT_OID_REQUEST_HANDLER)(NDIS_HANDLE filterModuleContext, PVOID requestId);

struct NDIS_FILTER_DRIVER_CHARACTERISTICS {
    NDIS_OBJECT_HEADER Header;
    UCHAR MajorNdisVersion;
    UCHAR MinorNdisVersion;
    UCHAR MajorDriverVersion;
    UCHAR MinorDriverVersion;
    ULONG Flags;
    NDIS_STRING FriendlyName;
    NDIS_STRING UniqueName;
    NDIS_STRING ServiceName;
    SET_OPTIONS_HANDLER SetOptionsHandler;
    FILTER_SET_MODULE_OPTIONS_HANDLER SetFilterModuleOptionsHandler;
    FILTER_ATTACH_HANDLER AttachHandler;
    FILTER_DETACH_HANDLER DetachHandler;
    FILTER_RESTART_HANDLER RestartHandler;
    FILTER_PAUSE_HANDLER PauseHandler;
    FILTER_SEND_NET_BUFFER_LISTS_HANDLER SendNetBufferListsHandler;
    FILTER_SEND_NET_BUFFER_LISTS_COMPLETE_HANDLER SendNetBufferListsCompleteHandler;
    FILTER_CANCEL_SEND_HANDLER CancelSendNetBufferListsHandler;
    FILTER_RECEIVE_NET_BUFFER_LISTS_HANDLER ReceiveNetBufferListsHandler;
    FILTER_RETURN_NET_BUFFER_LISTS_HANDLER ReturnNetBufferListsHandler;
    FILTER_OID_REQUEST_HANDLER OidRequestHandler;
    FILTER_OID_REQUEST_COMPLETE_HANDLER OidRequestCompleteHandler;
    FILTER_CANCEL_OID_REQUEST_HANDLER CancelOidRequestHandler;
    FILTER_DEVICE_PNP_EVENT_NOTIFY_HANDLER DevicePnPEventNotifyHandler;
    FILTER_NET_PNP_EVENT_HANDLER NetPnPEventHandler;
    FILTER_STATUS_HANDLER StatusHandler;
    FILTER_DIRECT_OID_REQUEST_HANDLER DirectOidRequestHandler;
    FILTER_DIRECT_OID_REQUEST_COMPLETE_HANDLER DirectOidRequestCompleteHandler;
    FILTER_CANCEL_DIRECT_OID_REQUEST_HANDLER CancelDirectOidRequestHandler;
};
typedef NDIS_FILTER_DRIVER_CHARACTERISTICS* PNDIS_FILTER_DRIVER_CHARACTERISTICS;
constexpr UCHAR NDIS_FILTER_CHARACTERISTICS_REVISION_2 = 2;
constexpr USHORT NDIS_SIZEOF_FILTER_DRIVER_CHARACTERISTICS_REVISION_2 = 224;

_IRQL_requires_(PASSIVE_LEVEL) NDISAPI NDIS_STATUS NdisFRegisterFilterDriver(PDRIVER_OBJECT driverObject,
    NDIS_HANDLE filterDriverContext, NDIS_FILTER_DRIVER_CHARACTERISTICS* filterDriverCharacteristics,
    PNDIS_HANDLE ndisFilterDriverHandle);
_IRQL_requires_(PASSIVE_LEVEL) NDISAPI VOID NdisFDeregisterFilterDriver(NDIS_HANDLE ndisFilterDriverHandle);
_IRQL_requires_(PASSIVE_LEVEL) NDISAPI NDIS_STATUS NdisFSetAttributes(NDIS_HANDLE ndisFilterHandle,
    NDIS_HANDLE filterModuleContext, PNDIS_FILTER_ATTRIBUTES filterAttributes);

// ---------------------------------------------------------------------------------------------
// The filter's calls to its neighbours.
_IRQL_requires_max_(DISPATCH_LEVEL) NDISAPI VOID NdisFSendNetBufferLists(NDIS_HANDLE ndisFilterHandle,
    PNET_BUFFER_LIST netBufferLists, NDIS_PORT_NUMBER portNumber, ULONG sendFlags);
_IRQL_requires_max_(DISPATCH_LEVEL) NDISAPI VOID NdisFSendNetBufferListsComplete(NDIS_HANDLE ndisFilterHandle,
    PNET_BUFFER_LIST netBufferLists, ULONG sendCompleteFlags);
_IRQL_requires_max_(DISPATCH_LEVEL) NDISAPI VOID NdisFCancelSendNetBufferLists(NDIS_HANDLE ndisFilterHandle,
    PVOID cancelId);
_IRQL_requires_max_(DISPATCH_LEVEL) NDISAPI VOID NdisFIndicateReceiveNetBufferLists(NDIS_HANDLE ndisFilterHandle,
    PNET_BUFFER_LIST netBufferLists, NDIS_PORT_NUMBER portNumber, ULONG numberOfNetBufferLists,
    ULONG receiveFlags);
_IRQL_requires_max_(DISPATCH_LEVEL) NDISAPI VOID NdisFReturnNetBufferLists(NDIS_HANDLE ndisFilterHandle,
    PNET_BUFFER_LIST netBufferLists, ULONG returnFlags);
_IRQL_requires_max_(DISPATCH_LEVEL) NDISAPI VOID NdisFIndicateStatus(NDIS_HANDLE ndisFilterHandle,
    PNDIS_STATUS_INDICATION statusIndication);
_IRQL_requires_(PASSIVE_LEVEL) NDISAPI VOID NdisFDevicePnPEventNotify(NDIS_HANDLE ndisFilterHandle,
    PNET_DEVICE_PNP_EVENT netDevicePnPEvent);
_IRQL_requires_(PASSIVE_LEVEL) NDISAPI NDIS_STATUS NdisFNetPnPEvent(NDIS_HANDLE ndisFilterHandle,
    PNET_PNP_EVENT_NOTIFICATION netPnPEventNotification);

// ---------------------------------------------------------------------------------------------
// Control device.
struct NDIS_DEVICE_OBJECT_ATTRIBUTES {
    NDIS_OBJECT_HEADER Header;
    PNDIS_STRING DeviceName;
    PNDIS_STRING SymbolicName;
    PDRIVER_DISPATCH* MajorFunctions;
    ULONG ExtensionSize;
    PCUNICODE_STRING DefaultSDDLString;
    LPCGUID DeviceClassGuid;
};
typedef NDIS_DEVICE_OBJECT_ATTRIBUTES* PNDIS_DEVICE_OBJECT_ATTRIBUTES;
constexpr UCHAR NDIS_DEVICE_OBJECT_ATTRIBUTES_REVISION_1 = 1;
constexpr USHORT NDIS_SIZEOF_DEVICE_OBJECT_ATTRIBUTES_REVISION_1 = 56;

_IRQL_requires_(PASSIVE_LEVEL) NDISAPI NDIS_STATUS NdisRegisterDeviceEx(NDIS_HANDLE ndisObjectHandle,
    PNDIS_DEVICE_OBJECT_ATTRIBUTES deviceObjectAttributes, PDEVICE_OBJECT* pDeviceObject,
    PNDIS_HANDLE ndisDeviceHandle);
_IRQL_requires_(PASSIVE_LEVEL) NDISAPI VOID NdisDeregisterDeviceEx(NDIS_HANDLE ndisDeviceHandle);
_IRQL_requires_max_(DISPATCH_LEVEL) NDISAPI PVOID NdisGetDeviceReservedExtension(PDEVICE_OBJECT deviceObject);

#endif

// What differs: the binding's records and accessors.
#if defined(GVSP_WINDOWS_KERNEL)
#include "platform/windows/ndis.h"
#else
#include "platform/host/ndis.h"
#endif
