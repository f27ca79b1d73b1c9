// The emulated NDIS's NET_BUFFER_LIST pools and MDLs: pools the filter allocates its own lists
// from, with the lists of a pool freed while they were out kept until they come back, and MDLs
// over non-paged pool memory. Host only.
#include <algorithm>

#include "host/ndis/ndis_internal.h"
#include "host/verifier/faults.h"

using namespace host;

namespace host {

std::vector<PoolList*>& Orphans()
{
    static auto* orphans = new std::vector<PoolList*>;
    return *orphans;
}

}  // namespace host

NDIS_HANDLE NdisAllocateNetBufferListPool(NDIS_HANDLE ndisHandle, PNET_BUFFER_LIST_POOL_PARAMETERS parameters)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "NdisAllocateNetBufferListPool");
    if (parameters == nullptr || parameters->Header.Type != NDIS_OBJECT_TYPE_DEFAULT ||
        parameters->Header.Revision != NET_BUFFER_LIST_POOL_PARAMETERS_REVISION_1 ||
        parameters->Header.Size != NDIS_SIZEOF_NET_BUFFER_LIST_POOL_PARAMETERS_REVISION_1) {
        ReportViolation(Rule::NdisContract, "NdisAllocateNetBufferListPool: bad pool parameters header");
        return nullptr;
    }
    if (ShouldFail(Fault::NblPoolAllocation)) {
        return nullptr;
    }
    NdisGuard guard(Ndis().lock);
    auto pool = std::make_unique<NblPool>();
    pool->parameters = *parameters;
    pool->owner = ndisHandle;
    NblPool* handle = pool.get();
    Ndis().pools[handle] = std::move(pool);
    return handle;
}

VOID NdisFreeNetBufferListPool(NDIS_HANDLE poolHandle)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "NdisFreeNetBufferListPool");
    NdisGuard guard(Ndis().lock);
    NdisState& ndis = Ndis();
    auto it = ndis.pools.find(static_cast<NblPool*>(poolHandle));
    if (it == ndis.pools.end()) {
        ReportViolation(Rule::NdisContract, "NdisFreeNetBufferListPool: %p is not a live pool", poolHandle);
        return;
    }
    NblPool& pool = *it->second;
    if (!pool.allocated.empty()) {
        ReportViolation(Rule::NblPoolOutstanding, "NBL pool %p (tag 0x%08X) freed with %zu NET_BUFFER_LISTs not freed",
            poolHandle, static_cast<unsigned>(pool.parameters.PoolTag), pool.allocated.size());
        for (PoolList* list : pool.allocated) {
            if (ListRecord* rec = Find(&list->list)) {
                rec->pool = nullptr;
            }
            Orphans().push_back(list);
        }
    }
    ndis.pools.erase(it);
}

PNET_BUFFER_LIST NdisAllocateNetBufferAndNetBufferList(NDIS_HANDLE poolHandle, USHORT contextSize,
    USHORT contextBackFill, PMDL mdlChain, ULONG dataOffset, SIZE_T dataLength)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "NdisAllocateNetBufferAndNetBufferList");
    (void)contextBackFill;
    NdisGuard guard(Ndis().lock);
    NdisState& ndis = Ndis();
    auto it = ndis.pools.find(static_cast<NblPool*>(poolHandle));
    if (it == ndis.pools.end()) {
        ReportViolation(Rule::NdisContract, "NdisAllocateNetBufferAndNetBufferList: %p is not a live pool", poolHandle);
        return nullptr;
    }
    NblPool& pool = *it->second;
    if (!pool.parameters.fAllocateNetBuffer) {
        ReportViolation(Rule::NdisContract, "NdisAllocateNetBufferAndNetBufferList from pool %p, created without "
                                            "fAllocateNetBuffer", poolHandle);
        return nullptr;
    }
    if (contextSize != 0) {
        ReportViolation(Rule::NdisContract, "NdisAllocateNetBufferAndNetBufferList: contexts are not emulated "
                                            "(context size %u)", static_cast<unsigned>(contextSize));
        return nullptr;
    }
    if (dataLength > 0xFFFFFFFFu) {
        return nullptr;
    }
    if (ShouldFail(Fault::NblAllocation)) {
        return nullptr;
    }
    auto* entry = new PoolList;
    entry->list.FirstNetBuffer = &entry->netBuffer;
    entry->list.NdisPoolHandle = poolHandle;
    NET_BUFFER& nb = entry->netBuffer;
    nb.MdlChain = mdlChain;
    nb.DataOffset = dataOffset;
    nb.DataLength = static_cast<ULONG>(dataLength);
    // The current MDL is the one holding the byte at DataOffset.
    PMDL current = mdlChain;
    ULONG offset = dataOffset;
    while (current != nullptr && current->Next != nullptr && offset >= current->ByteCount) {
        offset -= current->ByteCount;
        current = current->Next;
    }
    nb.CurrentMdl = current;
    nb.CurrentMdlOffset = offset;
    pool.allocated.insert(entry);
    ListRecord& rec = ndis.lists.Insert(&entry->list);
    rec.origin = ListOrigin::Pool;
    rec.place = ListPlace::Filter;
    rec.pool = &pool;
    rec.firstNetBuffer = &entry->netBuffer;
    return &entry->list;
}

VOID NdisFreeNetBufferList(PNET_BUFFER_LIST netBufferList)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "NdisFreeNetBufferList");
    NdisGuard guard(Ndis().lock);
    ListRecord* rec = Find(netBufferList);
    if (rec == nullptr || rec->origin != ListOrigin::Pool) {
        ReportViolation(Rule::NblMisuse, "NdisFreeNetBufferList: %p is not a live list of an NBL pool (%s)",
            static_cast<void*>(netBufferList), rec == nullptr ? "freed twice or never allocated" : OriginName(rec->origin));
        return;
    }
    if (rec->place != ListPlace::Filter) {
        ReportViolation(Rule::NblMisuse, "NdisFreeNetBufferList: %p freed while %s holds it",
            static_cast<void*>(netBufferList), PlaceName(rec->place));
        return;
    }
    auto* entry = reinterpret_cast<PoolList*>(netBufferList);
    if (rec->pool != nullptr) {
        rec->pool->allocated.erase(entry);
    } else {
        auto& orphans = Orphans();
        orphans.erase(std::remove(orphans.begin(), orphans.end(), entry), orphans.end());
    }
    Ndis().lists.Erase(netBufferList);
    delete entry;
}

PMDL NdisAllocateMdl(NDIS_HANDLE ndisHandle, PVOID virtualAddress, ULONG length)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "NdisAllocateMdl");
    (void)ndisHandle;
    if (ShouldFail(Fault::MdlAllocation)) {
        return nullptr;
    }
    if (!IsPoolAddress(virtualAddress) ||
        (length > 0 && !IsPoolAddress(static_cast<const uint8_t*>(virtualAddress) + length - 1))) {
        ReportViolation(Rule::MdlMisuse, "NdisAllocateMdl over %p (%u bytes), which is not non-paged pool memory",
            virtualAddress, static_cast<unsigned>(length));
    }
    auto* mdl = new MDL{};
    auto address = reinterpret_cast<uintptr_t>(virtualAddress);
    mdl->Size = static_cast<CSHORT>(sizeof(MDL));
    mdl->MdlFlags = MDL_SOURCE_IS_NONPAGED_POOL;
    mdl->MappedSystemVa = virtualAddress;
    mdl->StartVa = reinterpret_cast<PVOID>(address & ~uintptr_t(0xFFF));
    mdl->ByteOffset = static_cast<ULONG>(address & 0xFFF);
    mdl->ByteCount = length;
    NdisGuard guard(Ndis().lock);
    Ndis().mdls.insert(mdl);
    return mdl;
}

VOID NdisFreeMdl(PMDL mdl)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "NdisFreeMdl");
    NdisGuard guard(Ndis().lock);
    if (Ndis().mdls.erase(mdl) == 0) {
        ReportViolation(Rule::MdlMisuse, "NdisFreeMdl: %p was not allocated by NdisAllocateMdl, or is freed twice",
            static_cast<void*>(mdl));
        return;
    }
    delete mdl;
}

namespace host {

size_t LiveNblPools()
{
    NdisGuard guard(Ndis().lock);
    return Ndis().pools.size();
}

}  // namespace host
