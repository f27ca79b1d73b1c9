// The Windows binding of platform/ndis.h: the NDIS 6.20 declarations the core calls, with the
// WDK's x64 layouts (asserted against platform/windows/wdk_layouts.h) and its accessors. Built
// with the WDK it takes the WDK's ndis.h; built with mingw-w64, which ships no NDIS 6
// declarations, it declares them here. Freestanding C++20.
#pragma once

#if defined(_MSC_VER)

#define NDIS620 1
#define NDIS_WDM 1
#include "platform/windows/wdm.h"
#include <ndis.h>

#else

#include "platform/windows/wdm.h"

#define NDISAPI extern "C" __declspec(dllimport)

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
// NET_BUFFER_LIST, NET_BUFFER and their accessors, with the member names of the WDK's C++ form.
struct NET_BUFFER;
typedef NET_BUFFER* PNET_BUFFER;
struct NET_BUFFER_LIST;
typedef NET_BUFFER_LIST* PNET_BUFFER_LIST;

struct NET_BUFFER_DATA {
    PNET_BUFFER Next;
    PMDL CurrentMdl;
    ULONG CurrentMdlOffset;
    union {
        ULONG DataLength;
        SIZE_T stDataLength;
    };
    PMDL MdlChain;
    ULONG DataOffset;
};

union NET_BUFFER_HEADER {
    NET_BUFFER_DATA NetBufferData;
    SLIST_HEADER Link;
};

// The WDK aligns each reserved area to MEMORY_ALLOCATION_ALIGNMENT (16).
struct NET_BUFFER {
    NET_BUFFER_HEADER NetBufferHeader;
    USHORT ChecksumBias;
    USHORT Reserved;
    NDIS_HANDLE NdisPoolHandle;
    alignas(16) PVOID NdisReserved[2];
    alignas(16) PVOID ProtocolReserved[6];
    alignas(16) PVOID MiniportReserved[4];
    NDIS_PHYSICAL_ADDRESS DataPhysicalAddress;
    union {
        PVOID SharedMemoryInfo;
        PVOID ScatterGatherList;
    };
};

struct NET_BUFFER_LIST_DATA {
    PNET_BUFFER_LIST Next;
    PNET_BUFFER FirstNetBuffer;
};

union NET_BUFFER_LIST_HEADER {
    NET_BUFFER_LIST_DATA NetBufferListData;
    SLIST_HEADER Link;
};

// NDIS allocates every NET_BUFFER_LIST the driver touches; the per-packet information array
// at the end grows with the NDIS version, so the record stops at its first entry.
struct NET_BUFFER_LIST {
    NET_BUFFER_LIST_HEADER NetBufferListHeader;
    PVOID Context;
    PNET_BUFFER_LIST ParentNetBufferList;
    NDIS_HANDLE NdisPoolHandle;
    alignas(16) PVOID NdisReserved[2];
    alignas(16) PVOID ProtocolReserved[4];
    alignas(16) PVOID MiniportReserved[2];
    PVOID Scratch;
    NDIS_HANDLE SourceHandle;   // who sent it down; the filter marks its own packets here
    ULONG NblFlags;
    LONG ChildRefCount;
    ULONG Flags;
    NDIS_STATUS Status;
    PVOID NetBufferListInfo[1];
};

inline PNET_BUFFER_LIST& NET_BUFFER_LIST_NEXT_NBL(PNET_BUFFER_LIST nbl) { return nbl->NetBufferListHeader.NetBufferListData.Next; }
inline PNET_BUFFER& NET_BUFFER_LIST_FIRST_NB(PNET_BUFFER_LIST nbl) { return nbl->NetBufferListHeader.NetBufferListData.FirstNetBuffer; }
inline NDIS_STATUS& NET_BUFFER_LIST_STATUS(PNET_BUFFER_LIST nbl) { return nbl->Status; }
inline PNET_BUFFER& NET_BUFFER_NEXT_NB(PNET_BUFFER nb) { return nb->NetBufferHeader.NetBufferData.Next; }
inline PMDL& NET_BUFFER_FIRST_MDL(PNET_BUFFER nb) { return nb->NetBufferHeader.NetBufferData.MdlChain; }
inline PMDL& NET_BUFFER_CURRENT_MDL(PNET_BUFFER nb) { return nb->NetBufferHeader.NetBufferData.CurrentMdl; }
inline ULONG& NET_BUFFER_CURRENT_MDL_OFFSET(PNET_BUFFER nb) { return nb->NetBufferHeader.NetBufferData.CurrentMdlOffset; }
inline ULONG& NET_BUFFER_DATA_LENGTH(PNET_BUFFER nb) { return nb->NetBufferHeader.NetBufferData.DataLength; }
inline ULONG& NET_BUFFER_DATA_OFFSET(PNET_BUFFER nb) { return nb->NetBufferHeader.NetBufferData.DataOffset; }
inline PMDL& NDIS_MDL_LINKAGE(PMDL mdl) { return mdl->Next; }

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

NDISAPI NDIS_HANDLE NdisAllocateNetBufferListPool(NDIS_HANDLE ndisHandle, PNET_BUFFER_LIST_POOL_PARAMETERS parameters);
NDISAPI VOID NdisFreeNetBufferListPool(NDIS_HANDLE poolHandle);
NDISAPI PNET_BUFFER_LIST NdisAllocateNetBufferAndNetBufferList(NDIS_HANDLE poolHandle, USHORT contextSize,
    USHORT contextBackFill, PMDL mdlChain, ULONG dataOffset, SIZE_T dataLength);
NDISAPI VOID NdisFreeNetBufferList(PNET_BUFFER_LIST netBufferList);

NDISAPI PMDL NdisAllocateMdl(NDIS_HANDLE ndisHandle, PVOID virtualAddress, ULONG length);
NDISAPI VOID NdisFreeMdl(PMDL mdl);

// ---------------------------------------------------------------------------------------------
// Memory.
enum EX_POOL_PRIORITY { LowPoolPriority = 0, NormalPoolPriority = 16, HighPoolPriority = 32 };

NDISAPI PVOID NdisAllocateMemoryWithTagPriority(NDIS_HANDLE ndisHandle, ULONG length, ULONG tag,
    EX_POOL_PRIORITY priority);
NDISAPI VOID NdisFreeMemory(PVOID virtualAddress, ULONG length, ULONG memoryFlags);

// ---------------------------------------------------------------------------------------------
// Reader/writer lock.
typedef struct NDIS_RW_LOCK_EX* PNDIS_RW_LOCK_EX;

struct LOCK_STATE_EX {
    KIRQL OldIrql;
    UCHAR LockState;
    UCHAR Flags;
};
typedef LOCK_STATE_EX* PLOCK_STATE_EX;

constexpr ULONG NDIS_RWL_AT_DISPATCH_LEVEL = 0x1;

NDISAPI PNDIS_RW_LOCK_EX NdisAllocateRWLock(NDIS_HANDLE ndisHandle);
NDISAPI VOID NdisFreeRWLock(PNDIS_RW_LOCK_EX lock);
NDISAPI VOID NdisAcquireRWLockRead(PNDIS_RW_LOCK_EX lock, PLOCK_STATE_EX lockState, ULONG flags);
NDISAPI VOID NdisAcquireRWLockWrite(PNDIS_RW_LOCK_EX lock, PLOCK_STATE_EX lockState, ULONG flags);
NDISAPI VOID NdisReleaseRWLock(PNDIS_RW_LOCK_EX lock, PLOCK_STATE_EX lockState);

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

NDISAPI NDIS_STATUS NdisAllocateCloneOidRequest(NDIS_HANDLE sourceHandle, PNDIS_OID_REQUEST oidRequest,
    ULONG poolTag, PNDIS_OID_REQUEST* cloneOidRequest);
NDISAPI VOID NdisFreeCloneOidRequest(NDIS_HANDLE sourceHandle, PNDIS_OID_REQUEST request);
NDISAPI NDIS_STATUS NdisFOidRequest(NDIS_HANDLE ndisFilterHandle, PNDIS_OID_REQUEST oidRequest);
NDISAPI VOID NdisFOidRequestComplete(NDIS_HANDLE ndisFilterHandle, PNDIS_OID_REQUEST oidRequest, NDIS_STATUS status);
NDISAPI VOID NdisFCancelOidRequest(NDIS_HANDLE ndisFilterHandle, PVOID requestId);

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
// Filter module attach (revision 3, NDIS 6.20), restart and pause parameters.
struct NDIS_FILTER_ATTACH_PARAMETERS {
    NDIS_OBJECT_HEADER Header;
    NET_IFINDEX IfIndex;
    NET_LUID NetLuid;
    PNDIS_STRING FilterModuleGuidName;
    NET_IFINDEX BaseMiniportIfIndex;
    PNDIS_STRING BaseMiniportInstanceName;   // the adapter's friendly name
    PNDIS_STRING BaseMiniportName;           // the adapter's device name
    ULONG MediaConnectState;
    ULONG MediaDuplexState;
    ULONG64 XmitLinkSpeed;
    ULONG64 RcvLinkSpeed;
    NDIS_MEDIUM MiniportMediaType;
    NDIS_PHYSICAL_MEDIUM MiniportPhysicalMediaType;
    NDIS_HANDLE MiniportMediaSpecificAttributes;
    PVOID DefaultOffloadConfiguration;
    USHORT MacAddressLength;
    UCHAR CurrentMacAddress[32];
    NET_LUID BaseMiniportNetLuid;
    NET_IFINDEX LowerIfIndex;
    NET_LUID LowerIfNetLuid;
    ULONG Flags;
    PVOID HDSplitCurrentConfig;
    PVOID ReceiveFilterCapabilities;
    PDEVICE_OBJECT MiniportPhysicalDeviceObject;
    PVOID NicSwitchCapabilities;
};
typedef NDIS_FILTER_ATTACH_PARAMETERS* PNDIS_FILTER_ATTACH_PARAMETERS;

constexpr NDIS_OID OID_GEN_MINIPORT_RESTART_ATTRIBUTES = 0x0001020D;

struct NDIS_RESTART_ATTRIBUTES {
    NDIS_RESTART_ATTRIBUTES* Next;
    NDIS_OID Oid;
    ULONG DataLength;
    alignas(16) UCHAR Data[1];
};
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

NDISAPI NDIS_STATUS NdisFRegisterFilterDriver(PDRIVER_OBJECT driverObject, NDIS_HANDLE filterDriverContext,
    NDIS_FILTER_DRIVER_CHARACTERISTICS* filterDriverCharacteristics, PNDIS_HANDLE ndisFilterDriverHandle);
NDISAPI VOID NdisFDeregisterFilterDriver(NDIS_HANDLE ndisFilterDriverHandle);
NDISAPI NDIS_STATUS NdisFSetAttributes(NDIS_HANDLE ndisFilterHandle, NDIS_HANDLE filterModuleContext,
    PNDIS_FILTER_ATTRIBUTES filterAttributes);

// ---------------------------------------------------------------------------------------------
// The filter's calls to its neighbours.
NDISAPI VOID NdisFSendNetBufferLists(NDIS_HANDLE ndisFilterHandle, PNET_BUFFER_LIST netBufferLists,
    NDIS_PORT_NUMBER portNumber, ULONG sendFlags);
NDISAPI VOID NdisFSendNetBufferListsComplete(NDIS_HANDLE ndisFilterHandle, PNET_BUFFER_LIST netBufferLists,
    ULONG sendCompleteFlags);
NDISAPI VOID NdisFCancelSendNetBufferLists(NDIS_HANDLE ndisFilterHandle, PVOID cancelId);
NDISAPI VOID NdisFIndicateReceiveNetBufferLists(NDIS_HANDLE ndisFilterHandle, PNET_BUFFER_LIST netBufferLists,
    NDIS_PORT_NUMBER portNumber, ULONG numberOfNetBufferLists, ULONG receiveFlags);
NDISAPI VOID NdisFReturnNetBufferLists(NDIS_HANDLE ndisFilterHandle, PNET_BUFFER_LIST netBufferLists,
    ULONG returnFlags);
NDISAPI VOID NdisFIndicateStatus(NDIS_HANDLE ndisFilterHandle, PNDIS_STATUS_INDICATION statusIndication);
NDISAPI VOID NdisFDevicePnPEventNotify(NDIS_HANDLE ndisFilterHandle, PNET_DEVICE_PNP_EVENT netDevicePnPEvent);
NDISAPI NDIS_STATUS NdisFNetPnPEvent(NDIS_HANDLE ndisFilterHandle, PNET_PNP_EVENT_NOTIFICATION netPnPEventNotification);

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

NDISAPI NDIS_STATUS NdisRegisterDeviceEx(NDIS_HANDLE ndisObjectHandle,
    PNDIS_DEVICE_OBJECT_ATTRIBUTES deviceObjectAttributes, PDEVICE_OBJECT* pDeviceObject,
    PNDIS_HANDLE ndisDeviceHandle);
NDISAPI VOID NdisDeregisterDeviceEx(NDIS_HANDLE ndisDeviceHandle);
NDISAPI PVOID NdisGetDeviceReservedExtension(PDEVICE_OBJECT deviceObject);

WDK_NDIS_LAYOUTS(WDK_ASSERT_SIZE, WDK_ASSERT_OFFSET)

#endif
