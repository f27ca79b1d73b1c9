// The driver's own packet transmission and the send-complete handler that reclaims it.
// IRQL <= DISPATCH_LEVEL.
#pragma once

#include "platform/ndis.h"

VOID FilterSendNetBufferListsComplete(NDIS_HANDLE filterModuleContext, PNET_BUFFER_LIST netBufferLists,
    ULONG sendCompleteFlags);
