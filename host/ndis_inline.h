// The host's bodies of the WDK's NET_BUFFER_LIST, NET_BUFFER and MDL accessor macros, inline as
// in the WDK: the receive path calls them per packet. Included by platform/ndis.h at its end, for
// the host build only. Any IRQL.
#pragma once

inline PNET_BUFFER_LIST& NET_BUFFER_LIST_NEXT_NBL(PNET_BUFFER_LIST nbl) { return nbl->Next; }
inline PNET_BUFFER& NET_BUFFER_LIST_FIRST_NB(PNET_BUFFER_LIST nbl) { return nbl->FirstNetBuffer; }
inline NDIS_STATUS& NET_BUFFER_LIST_STATUS(PNET_BUFFER_LIST nbl) { return nbl->Status; }
inline PNET_BUFFER& NET_BUFFER_NEXT_NB(PNET_BUFFER nb) { return nb->Next; }
inline PMDL& NET_BUFFER_FIRST_MDL(PNET_BUFFER nb) { return nb->MdlChain; }
inline PMDL& NET_BUFFER_CURRENT_MDL(PNET_BUFFER nb) { return nb->CurrentMdl; }
inline ULONG& NET_BUFFER_CURRENT_MDL_OFFSET(PNET_BUFFER nb) { return nb->CurrentMdlOffset; }
inline ULONG& NET_BUFFER_DATA_LENGTH(PNET_BUFFER nb) { return nb->DataLength; }
inline ULONG& NET_BUFFER_DATA_OFFSET(PNET_BUFFER nb) { return nb->DataOffset; }
inline PMDL& NDIS_MDL_LINKAGE(PMDL mdl) { return mdl->Next; }
