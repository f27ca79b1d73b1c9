// The host binding of platform/ndis.h: the records the emulated NDIS (host/ndis/) lays out its
// own way, and the WDK's accessor macros over them, inline as in the WDK: the receive path calls
// them per packet. Included by platform/ndis.h at its end. Any IRQL.
#pragma once

#include "platform/ndis.h"

// ---------------------------------------------------------------------------------------------
// NET_BUFFER_LIST and NET_BUFFER, flat: the emulated NDIS allocates both.
struct NET_BUFFER {
    NET_BUFFER* Next;
    PMDL CurrentMdl;
    ULONG CurrentMdlOffset;
    ULONG DataLength;
    PMDL MdlChain;
    ULONG DataOffset;
    PVOID ProtocolReserved[6];
    PVOID MiniportReserved[4];
};

struct NET_BUFFER_LIST {
    NET_BUFFER_LIST* Next;
    PNET_BUFFER FirstNetBuffer;
    NDIS_HANDLE NdisPoolHandle;
    PVOID ProtocolReserved[4];
    PVOID MiniportReserved[2];
    NDIS_HANDLE SourceHandle;   // who sent it down; the filter marks its own packets here
    ULONG Flags;
    NDIS_STATUS Status;
};

inline PNET_BUFFER_LIST& NET_BUFFER_LIST_NEXT_NBL(PNET_BUFFER_LIST nbl) { return nbl->Next; }
inline PNET_BUFFER& NET_BUFFER_LIST_FIRST_NB(PNET_BUFFER_LIST nbl) { return nbl->FirstNetBuffer; }
inline NDIS_STATUS& NET_BUFFER_LIST_STATUS(PNET_BUFFER_LIST nbl) { return nbl->Status; }
inline PNET_BUFFER& NET_BUFFER_NEXT_NB(PNET_BUFFER nb) { return nb->Next; }
inline PMDL& NET_BUFFER_FIRST_MDL(PNET_BUFFER nb) { return nb->MdlChain; }
inline PMDL& NET_BUFFER_CURRENT_MDL(PNET_BUFFER nb) { return nb->CurrentMdl; }
inline ULONG& NET_BUFFER_CURRENT_MDL_OFFSET(PNET_BUFFER nb) { return nb->CurrentMdlOffset; }
inline ULONG& NET_BUFFER_DATA_LENGTH(PNET_BUFFER nb) { return nb->DataLength; }
inline ULONG& NET_BUFFER_DATA_OFFSET(PNET_BUFFER nb) { return nb->DataOffset; }

// ---------------------------------------------------------------------------------------------
// Reader/writer lock: the emulated lock keeps which way it was taken in the caller's record.
struct LOCK_STATE_EX {
    KIRQL OldIrql;
    ULONG LockState;
    PVOID Reserved[2];
};

// ---------------------------------------------------------------------------------------------
// Filter module attach parameters: the ones the emulated adapter gives, with its MTU and
// lookahead size.
struct NDIS_FILTER_ATTACH_PARAMETERS {
    NDIS_OBJECT_HEADER Header;
    ULONG IfIndex;
    ULONG BaseMiniportIfIndex;
    NDIS_MEDIUM MiniportMediaType;
    PNDIS_STRING BaseMiniportInstanceName;   // the adapter's friendly name
    PNDIS_STRING BaseMiniportName;           // the adapter's device name
    PNDIS_STRING FilterModuleGuidName;
    USHORT MacAddressLength;
    UCHAR CurrentMacAddress[32];
    ULONG MtuSize;
    ULONG LookaheadSize;
};

// A restart attribute in the chain; the emulated NDIS packs the chain at 8-byte steps.
struct NDIS_RESTART_ATTRIBUTES {
    NDIS_RESTART_ATTRIBUTES* Next;
    NDIS_OID Oid;
    ULONG DataLength;
    alignas(8) UCHAR Data[1];
};
