// The Windows binding of platform/ndis.h: the records whose WDK layout the host does not share,
// with the WDK's x64 layouts (every record of platform/ndis.h and of this file asserted against
// platform/windows/wdk_layouts.h), and the WDK's accessors. Built with the WDK's compiler it
// takes the WDK's ndis.h; built with mingw-w64, which ships no NDIS 6 declarations, it declares
// them here. Included by platform/ndis.h at its end.
#pragma once

#include "platform/ndis.h"

#if defined(_MSC_VER)

#define NDIS620 1
#define NDIS_WDM 1
#include <ndis.h>

#else

// ---------------------------------------------------------------------------------------------
// NET_BUFFER_LIST, NET_BUFFER and their accessors, with the member names of the WDK's C++ form.
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

// ---------------------------------------------------------------------------------------------
// Reader/writer lock: the caller's record of one acquisition.
struct LOCK_STATE_EX {
    KIRQL OldIrql;
    UCHAR LockState;
    UCHAR Flags;
};

// ---------------------------------------------------------------------------------------------
// Filter module attach parameters (revision 3, NDIS 6.20) and the restart attributes' chain link.
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

struct NDIS_RESTART_ATTRIBUTES {
    NDIS_RESTART_ATTRIBUTES* Next;
    NDIS_OID Oid;
    ULONG DataLength;
    alignas(16) UCHAR Data[1];
};

WDK_NDIS_LAYOUTS(WDK_ASSERT_SIZE, WDK_ASSERT_OFFSET)

#endif
