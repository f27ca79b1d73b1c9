// The receive handler NDIS calls for every chain an adapter indicates. IRQL <= DISPATCH_LEVEL,
// possibly on several processors at once.
#pragma once

#include "platform/ndis.h"

struct FilterAdapter;

// The decision for one packet: TRUE when it was consumed by a stream, FALSE when it goes up.
BOOLEAN ClassifyReceivedPacket(FilterAdapter* adapter, PNET_BUFFER_LIST netBufferList, BOOLEAN atDispatchLevel);

VOID FilterReceiveNetBufferLists(NDIS_HANDLE filterModuleContext, PNET_BUFFER_LIST netBufferLists,
    NDIS_PORT_NUMBER portNumber, ULONG numberOfNetBufferLists, ULONG receiveFlags);
