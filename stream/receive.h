// The receive path of a chain an adapter indicated: the stream packets are assembled and handed
// back, everything else goes up. The receive handler (driver/) calls it for every chain.
// IRQL <= DISPATCH_LEVEL, possibly on several processors at once.
#pragma once

#include "base/driver.h"

_IRQL_requires_max_(DISPATCH_LEVEL)
VOID ReceiveNetBufferLists(FilterAdapter* adapter, PNET_BUFFER_LIST netBufferLists, NDIS_PORT_NUMBER portNumber,
    ULONG receiveFlags);
