// The receive handler NDIS calls for every chain an adapter indicates. IRQL <= DISPATCH_LEVEL,
// possibly on several processors at once.
#pragma once

#include "platform/ndis.h"

VOID FilterReceiveNetBufferLists(NDIS_HANDLE filterModuleContext, PNET_BUFFER_LIST netBufferLists,
    NDIS_PORT_NUMBER portNumber, ULONG numberOfNetBufferLists, ULONG receiveFlags);
