// The receive handler NDIS calls for every chain an adapter indicates. IRQL <= DISPATCH_LEVEL,
// possibly on several processors at once.
#pragma once

#include "platform/ndis.h"

_IRQL_requires_max_(DISPATCH_LEVEL)
VOID FilterReceiveNetBufferLists(NDIS_HANDLE filterModuleContext, PNET_BUFFER_LIST netBufferLists,
    NDIS_PORT_NUMBER portNumber, ULONG numberOfNetBufferLists, ULONG receiveFlags);
