// The receive handler. Until stream ports can be bound nothing is a stream packet, so every
// chain goes up to the protocols as the adapter indicated it.
// IRQL <= DISPATCH_LEVEL, no lock held on entry.
#include "stream/receive.h"

#include "driver/driver.h"

VOID FilterReceiveNetBufferLists(NDIS_HANDLE filterModuleContext, PNET_BUFFER_LIST netBufferLists,
    NDIS_PORT_NUMBER portNumber, ULONG numberOfNetBufferLists, ULONG receiveFlags)
{
    auto* adapter = static_cast<FilterAdapter*>(filterModuleContext);
    NdisFIndicateReceiveNetBufferLists(adapter->NdisFilterHandle, netBufferLists, portNumber,
        numberOfNetBufferLists, receiveFlags);
}
