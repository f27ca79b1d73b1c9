// Send completion: the driver's own packets are recognised by their SourceHandle and freed;
// every other completed list goes up the stack, one at a time.
// IRQL <= DISPATCH_LEVEL; touches nothing but the lists it is given.
#include "delivery/transmit.h"

#include "driver/driver.h"

namespace {

constexpr ULONG OWN_PACKET_MAPPING_PRIORITY = NormalPagePriority | MdlMappingNoExecute;

// Frees one of the driver's own packets: its buffer, its MDL and its NET_BUFFER_LIST.
VOID FreeOwnPacket(PNET_BUFFER_LIST netBufferList)
{
    PMDL mdl = NET_BUFFER_FIRST_MDL(NET_BUFFER_LIST_FIRST_NB(netBufferList));
    PVOID buffer = nullptr;
    if (mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) {
        buffer = mdl->MappedSystemVa;
    } else {
        buffer = MmMapLockedPagesSpecifyCache(mdl, KernelMode, MmCached, nullptr, FALSE, OWN_PACKET_MAPPING_PRIORITY);
    }
    ULONG byteCount = MmGetMdlByteCount(mdl);
    NdisFreeMdl(mdl);
    if (buffer != nullptr) {
        NdisFreeMemory(buffer, byteCount, 0);
    }
    NdisFreeNetBufferList(netBufferList);
}

}  // namespace

VOID FilterSendNetBufferListsComplete(NDIS_HANDLE filterModuleContext, PNET_BUFFER_LIST netBufferLists,
    ULONG sendCompleteFlags)
{
    auto* adapter = static_cast<FilterAdapter*>(filterModuleContext);

    PNET_BUFFER_LIST next = netBufferLists;
    while (next != nullptr) {
        PNET_BUFFER_LIST current = next;
        next = NET_BUFFER_LIST_NEXT_NBL(current);
        NET_BUFFER_LIST_NEXT_NBL(current) = nullptr;

        if (current->SourceHandle == adapter->NdisFilterHandle) {
            FreeOwnPacket(current);
            InterlockedDecrement(&adapter->OutstandingSends);
        } else {
            NdisFSendNetBufferListsComplete(adapter->NdisFilterHandle, current, sendCompleteFlags);
        }
    }
}
