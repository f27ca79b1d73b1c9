// The emulated NDIS, data path: NET_BUFFER_LIST pools and MDLs, the receive/return and
// send/complete paths between the miniport, the filter and the protocol above, with the
// bookkeeping that proves every list comes back exactly once and unchanged. Host only.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <utility>

#include "host/faults.h"
#include "host/ndis_internal.h"

using namespace host;

namespace host {

namespace {

constexpr size_t MAX_CHAIN = 1u << 20;
constexpr NDIS_STATUS NDIS_STATUS_PAUSED = static_cast<NDIS_STATUS>(0xC023002A);

const char* OriginName(ListOrigin origin)
{
    switch (origin) {
    case ListOrigin::MiniportReceive: return "received from the miniport";
    case ListOrigin::ResourcesReceive: return "received with NDIS_RECEIVE_FLAGS_RESOURCES";
    case ListOrigin::Pool: return "allocated from an NBL pool";
    case ListOrigin::ProtocolSend: return "sent by the protocol above";
    }
    return "?";
}

const char* PlaceName(ListPlace place)
{
    switch (place) {
    case ListPlace::Filter: return "the filter";
    case ListPlace::Protocol: return "the protocol above";
    case ListPlace::Miniport: return "the miniport";
    }
    return "?";
}

// The data-path handlers of the registered filter for `adapter`, null where NDIS bypasses it.
struct FilterPath {
    const NDIS_FILTER_DRIVER_CHARACTERISTICS* chars = nullptr;
    NDIS_HANDLE context = nullptr;
    ModuleState state = ModuleState::None;
    bool present() const { return chars != nullptr; }
};

FilterPath PathOf(Adapter::State& adapter)
{
    FilterPath path;
    if (adapter.module && adapter.module->state != ModuleState::Attaching &&
        adapter.module->state != ModuleState::Detaching) {
        path.chars = Characteristics();
        path.context = adapter.module->context;
        path.state = adapter.module->state;
    }
    return path;
}

bool Running(const FilterPath& path)
{
    return path.present() && (path.state == ModuleState::Running || path.state == ModuleState::Pausing);
}

KIRQL IrqlOfFlag(ULONG flags, ULONG dispatchFlag) { return (flags & dispatchFlag) ? DISPATCH_LEVEL : PASSIVE_LEVEL; }

// A caller's NDIS_*_FLAGS_DISPATCH_LEVEL is a promise about its IRQL.
void CheckDispatchFlag(ULONG flags, ULONG dispatchFlag, const char* routine)
{
    if ((flags & dispatchFlag) && KeGetCurrentIrql() != DISPATCH_LEVEL) {
        ReportViolation(Rule::NdisContract, "%s: the dispatch-level flag is set but the caller runs at IRQL %d",
            routine, static_cast<int>(KeGetCurrentIrql()));
    }
}

ListRecord* Find(PNET_BUFFER_LIST list) { return Ndis().lists.Find(list); }

// How `list` differs from the snapshot taken when it was indicated, or null when it does not.
const char* DescribeChange(const std::vector<NetBufferSnapshot>& before, PNET_BUFFER_LIST list)
{
    size_t length = 0;
    for (PNET_BUFFER nb = list->FirstNetBuffer; nb != nullptr && length < MAX_CHAIN; nb = nb->Next) {
        ++length;
    }
    if (length != before.size()) {
        return "its NET_BUFFER chain changed length";
    }
    PNET_BUFFER nb = list->FirstNetBuffer;
    for (const NetBufferSnapshot& b : before) {
        if (b.netBuffer != nb || b.next != nb->Next) return "its NET_BUFFER chain was relinked";
        if (b.mdlChain != nb->MdlChain) return "a NET_BUFFER's MDL chain was replaced";
        if (b.currentMdl != nb->CurrentMdl) return "a NET_BUFFER's current MDL moved";
        if (b.currentMdlOffset != nb->CurrentMdlOffset) return "a NET_BUFFER's CurrentMdlOffset changed";
        if (b.dataLength != nb->DataLength) return "a NET_BUFFER's DataLength changed";
        if (b.dataOffset != nb->DataOffset) return "a NET_BUFFER's DataOffset changed";
        nb = nb->Next;
    }
    return nullptr;
}

// Gives lists back to the miniport that indicated them; the lock is held.
void ReturnToMiniport(Adapter::State& adapter, const std::vector<PNET_BUFFER_LIST>& lists, ULONG flags,
    const char* routine)
{
    ReturnRecord& record = adapter.returnedToMiniport.Add();
    record.flags = flags;
    record.lists.clear();
    for (PNET_BUFFER_LIST list : lists) {
        ListRecord* rec = Find(list);
        if (rec == nullptr) {
            ReportViolation(Rule::NblMisuse, "%s: NET_BUFFER_LIST %p returned twice, or never indicated by the miniport",
                routine, static_cast<void*>(list));
            continue;
        }
        if (rec->origin != ListOrigin::MiniportReceive) {
            ReportViolation(Rule::NblMisuse, "%s: NET_BUFFER_LIST %p, %s, returned to the miniport", routine,
                static_cast<void*>(list), OriginName(rec->origin));
            continue;
        }
        if (rec->adapter != &adapter) {
            ReportViolation(Rule::NblMisuse, "%s: NET_BUFFER_LIST %p returned on another adapter than its own", routine,
                static_cast<void*>(list));
            continue;
        }
        if (rec->place != ListPlace::Filter) {
            ReportViolation(Rule::NblMisuse, "%s: NET_BUFFER_LIST %p returned while %s holds it", routine,
                static_cast<void*>(list), PlaceName(rec->place));
            continue;
        }
        if (const char* change = DescribeChange(rec->snapshot, list)) {
            ReportViolation(Rule::NblMisuse, "%s: NET_BUFFER_LIST %p came back changed: %s", routine,
                static_cast<void*>(list), change);
        }
        Ndis().lists.Erase(list);
        record.lists.push_back(list);
    }
}

// The protocol above gives back lists it was indicated: through the filter's return handler, or
// straight to the miniport when they bypassed the filter.
void ProtocolReturn(Adapter::State& adapter, const std::vector<PNET_BUFFER_LIST>& lists, ULONG returnFlags)
{
    if (lists.empty()) {
        return;
    }
    NdisGuard guard(Ndis().lock);
    FilterPath path = PathOf(adapter);
    std::vector<PNET_BUFFER_LIST> toFilter;
    std::vector<PNET_BUFFER_LIST> toMiniport;
    for (PNET_BUFFER_LIST list : lists) {
        ListRecord* rec = Find(list);
        auto held = std::find(adapter.heldByProtocol.begin(), adapter.heldByProtocol.end(), list);
        if (held != adapter.heldByProtocol.end()) {
            adapter.heldByProtocol.erase(held);
        }
        if (rec == nullptr || rec->place != ListPlace::Protocol) {
            continue;
        }
        rec->place = ListPlace::Filter;
        if (rec->throughFilter && path.present() && path.chars->ReturnNetBufferListsHandler != nullptr) {
            toFilter.push_back(list);
        } else if (rec->origin == ListOrigin::MiniportReceive) {
            toMiniport.push_back(list);
        } else {
            ReportViolation(Rule::NblMisuse, "NET_BUFFER_LIST %p, %s, indicated up by a filter that has no return "
                                             "handler: it can never come back", static_cast<void*>(list),
                OriginName(rec->origin));
        }
    }
    if (!toMiniport.empty()) {
        ReturnToMiniport(adapter, toMiniport, returnFlags, "return by the protocol above");
    }
    if (toFilter.empty()) {
        return;
    }
    PNET_BUFFER_LIST chain = LinkChain(toFilter);
    FILTER_RETURN_NET_BUFFER_LISTS_HANDLER handler = path.chars->ReturnNetBufferListsHandler;
    guard.unlock();
    RunHandler(IrqlOfFlag(returnFlags, NDIS_RETURN_FLAGS_DISPATCH_LEVEL), "FilterReturnNetBufferLists",
        [&] { handler(path.context, chain, returnFlags); });
}

// The protocol above receives an indication.
void DeliverAbove(Adapter::State& adapter, const std::vector<PNET_BUFFER_LIST>& lists, NDIS_PORT_NUMBER port,
    ULONG count, ULONG flags)
{
    NdisGuard guard(Ndis().lock);
    IndicationRecord& record = adapter.indicatedAbove.Add();
    record.lists.assign(lists.begin(), lists.end());
    record.port = port;
    record.count = count;
    record.flags = flags;
    if (flags & NDIS_RECEIVE_FLAGS_RESOURCES) {
        return;   // the protocol copies what it needs; the lists stay with the indicator
    }
    for (PNET_BUFFER_LIST list : lists) {
        if (ListRecord* rec = Find(list)) {
            rec->place = ListPlace::Protocol;
        }
        adapter.heldByProtocol.push_back(list);
    }
    if (adapter.protocolReturns == ProtocolReturns::Immediately) {
        guard.unlock();
        ProtocolReturn(adapter, lists, KeGetCurrentIrql() == DISPATCH_LEVEL ? NDIS_RETURN_FLAGS_DISPATCH_LEVEL : 0);
    }
}

// The protocol above is told that its sends are complete; the lock is held.
void CompleteToProtocol(Adapter::State& adapter, const std::vector<PNET_BUFFER_LIST>& lists, ULONG flags,
    const char* routine)
{
    SendCompletionRecord& record = adapter.sendCompletionsAbove.Add();
    record.flags = flags;
    record.lists.clear();
    record.statuses.clear();
    for (PNET_BUFFER_LIST list : lists) {
        ListRecord* rec = Find(list);
        if (rec == nullptr) {
            ReportViolation(Rule::NblMisuse, "%s: NET_BUFFER_LIST %p completed twice, or never sent by the protocol above",
                routine, static_cast<void*>(list));
            continue;
        }
        if (rec->origin != ListOrigin::ProtocolSend) {
            ReportViolation(Rule::NblMisuse, "%s: NET_BUFFER_LIST %p, %s, completed to the protocol above", routine,
                static_cast<void*>(list), OriginName(rec->origin));
            continue;
        }
        if (rec->adapter != &adapter) {
            ReportViolation(Rule::NblMisuse, "%s: NET_BUFFER_LIST %p completed on another adapter than its own", routine,
                static_cast<void*>(list));
            continue;
        }
        if (rec->place != ListPlace::Filter) {
            ReportViolation(Rule::NblMisuse, "%s: NET_BUFFER_LIST %p completed while %s holds it", routine,
                static_cast<void*>(list), PlaceName(rec->place));
            continue;
        }
        Ndis().lists.Erase(list);
        record.lists.push_back(list);
        record.statuses.push_back(list->Status);
    }
}

// The miniport completes sends: filter lists through the filter's send-complete handler, lists
// that bypassed the filter straight to the protocol.
void MiniportComplete(Adapter::State& adapter, const std::vector<PNET_BUFFER_LIST>& lists, NDIS_STATUS status,
    ULONG completeFlags)
{
    if (lists.empty()) {
        return;
    }
    NdisGuard guard(Ndis().lock);
    FilterPath path = PathOf(adapter);
    std::vector<PNET_BUFFER_LIST> toFilter;
    std::vector<PNET_BUFFER_LIST> toProtocol;
    for (PNET_BUFFER_LIST list : lists) {
        list->Status = status;
        ListRecord* rec = Find(list);
        if (rec == nullptr) {
            continue;
        }
        rec->place = ListPlace::Filter;
        if (rec->throughFilter && path.present() && path.chars->SendNetBufferListsCompleteHandler != nullptr) {
            toFilter.push_back(list);
        } else if (rec->origin == ListOrigin::ProtocolSend) {
            toProtocol.push_back(list);
        } else {
            ReportViolation(Rule::NblMisuse, "NET_BUFFER_LIST %p, %s, was sent by a filter that has no send-complete "
                                             "handler: it can never come back", static_cast<void*>(list),
                OriginName(rec->origin));
        }
    }
    if (!toProtocol.empty()) {
        CompleteToProtocol(adapter, toProtocol, completeFlags, "send completion");
    }
    if (toFilter.empty()) {
        return;
    }
    PNET_BUFFER_LIST chain = LinkChain(toFilter);
    FILTER_SEND_NET_BUFFER_LISTS_COMPLETE_HANDLER handler = path.chars->SendNetBufferListsCompleteHandler;
    guard.unlock();
    RunHandler(IrqlOfFlag(completeFlags, NDIS_SEND_COMPLETE_FLAGS_DISPATCH_LEVEL), "FilterSendNetBufferListsComplete",
        [&] { handler(path.context, chain, completeFlags); });
}

// The miniport takes a send.
void MiniportSend(Adapter::State& adapter, const std::vector<PNET_BUFFER_LIST>& lists, NDIS_PORT_NUMBER port,
    ULONG sendFlags)
{
    NdisGuard guard(Ndis().lock);
    SendRecord& record = adapter.sentToMiniport.Add();
    record.lists.assign(lists.begin(), lists.end());
    record.port = port;
    record.flags = sendFlags;
    record.frames.resize(lists.size());
    for (size_t i = 0; i < lists.size(); ++i) {
        record.frames[i] = lists[i]->FirstNetBuffer != nullptr ? NetBufferBytes(lists[i]->FirstNetBuffer)
                                                              : std::vector<uint8_t>{};
    }
    for (PNET_BUFFER_LIST list : lists) {
        if (ListRecord* rec = Find(list)) {
            rec->place = ListPlace::Miniport;
        }
    }
    if (adapter.miniportSends == MiniportSends::Hold) {
        adapter.heldSends.insert(adapter.heldSends.end(), lists.begin(), lists.end());
        return;
    }
    guard.unlock();
    MiniportComplete(adapter, lists, NDIS_STATUS_SUCCESS,
        (sendFlags & NDIS_SEND_FLAGS_DISPATCH_LEVEL) ? NDIS_SEND_COMPLETE_FLAGS_DISPATCH_LEVEL : 0);
}

void ReadCounters(const NDIS_OID_REQUEST& request, OidCompletionRecord& record)
{
    switch (request.RequestType) {
    case NdisRequestSetInformation:
        record.bytesRead = request.DATA.SET_INFORMATION.BytesRead;
        record.bytesNeeded = request.DATA.SET_INFORMATION.BytesNeeded;
        break;
    case NdisRequestMethod:
        record.bytesWritten = request.DATA.METHOD_INFORMATION.BytesWritten;
        record.bytesRead = request.DATA.METHOD_INFORMATION.BytesRead;
        record.bytesNeeded = request.DATA.METHOD_INFORMATION.BytesNeeded;
        record.outputBufferLength = request.DATA.METHOD_INFORMATION.OutputBufferLength;
        break;
    default:
        record.bytesWritten = request.DATA.QUERY_INFORMATION.BytesWritten;
        record.bytesNeeded = request.DATA.QUERY_INFORMATION.BytesNeeded;
        break;
    }
}

// What a miniport with no answer installed does: succeeds, using the whole buffer.
NDIS_STATUS DefaultOidAnswer(NDIS_OID_REQUEST& request)
{
    switch (request.RequestType) {
    case NdisRequestSetInformation:
        request.DATA.SET_INFORMATION.BytesRead = request.DATA.SET_INFORMATION.InformationBufferLength;
        request.DATA.SET_INFORMATION.BytesNeeded = 0;
        break;
    case NdisRequestMethod:
        request.DATA.METHOD_INFORMATION.BytesRead = request.DATA.METHOD_INFORMATION.InputBufferLength;
        request.DATA.METHOD_INFORMATION.BytesWritten = request.DATA.METHOD_INFORMATION.OutputBufferLength;
        request.DATA.METHOD_INFORMATION.BytesNeeded = 0;
        break;
    default:
        if (request.DATA.QUERY_INFORMATION.InformationBuffer != nullptr) {
            std::memset(request.DATA.QUERY_INFORMATION.InformationBuffer, 0,
                request.DATA.QUERY_INFORMATION.InformationBufferLength);
        }
        request.DATA.QUERY_INFORMATION.BytesWritten = request.DATA.QUERY_INFORMATION.InformationBufferLength;
        request.DATA.QUERY_INFORMATION.BytesNeeded = 0;
        break;
    }
    return NDIS_STATUS_SUCCESS;
}

// Guarded by NdisState::lock: which pending requests below came from the filter.
std::unordered_map<PNDIS_OID_REQUEST, bool>& PendingSource()
{
    static auto* map = new std::unordered_map<PNDIS_OID_REQUEST, bool>;
    return *map;
}

NDIS_STATUS MiniportOid(Adapter::State& adapter, PNDIS_OID_REQUEST request, bool fromFilter)
{
    NdisGuard guard(Ndis().lock);
    adapter.oidRequestsBelow.push_back(OidBelowRecord{request, request->RequestType,
        request->DATA.QUERY_INFORMATION.Oid, request->RequestId});
    OidAnswer answer = adapter.oidAnswer;
    guard.unlock();
    NDIS_STATUS status = answer ? answer(*request) : DefaultOidAnswer(*request);
    if (status == NDIS_STATUS_PENDING) {
        guard.lock();
        adapter.oidsPendingBelow.push_back(request);
        PendingSource()[request] = fromFilter;
    }
    return status;
}

void CompleteUpperOid(Adapter::State& adapter, PNDIS_OID_REQUEST request, NDIS_STATUS status, bool synchronous)
{
    OidCompletionRecord record;
    record.request = request;
    record.status = status;
    record.synchronous = synchronous;
    ReadCounters(*request, record);
    adapter.oidCompletionsAbove.push_back(record);
}

std::vector<PNET_BUFFER_LIST> Take(std::deque<PNET_BUFFER_LIST>& queue, size_t count)
{
    std::vector<PNET_BUFFER_LIST> out;
    while (!queue.empty() && out.size() < count) {
        out.push_back(queue.front());
        queue.pop_front();
    }
    return out;
}

std::vector<PoolList*>& Orphans()   // lists of pools freed while the lists were out
{
    static auto* orphans = new std::vector<PoolList*>;
    return *orphans;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The table of lists.
size_t ListTable::Home(PNET_BUFFER_LIST list) const
{
    // The address times 2^64 / golden ratio: its high half spreads neighbouring addresses apart.
    const uint64_t h = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(list)) * 0x9E3779B97F4A7C15ull;
    return static_cast<size_t>(h >> 32) & (slots_.size() - 1);
}

size_t ListTable::IndexOf(PNET_BUFFER_LIST list) const
{
    if (slots_.empty()) {
        return 0;
    }
    for (size_t i = Home(list);; i = (i + 1) & (slots_.size() - 1)) {
        if (slots_[i].list == list) {
            return i;
        }
        if (slots_[i].list == nullptr) {
            return slots_.size();
        }
    }
}

ListRecord* ListTable::Find(PNET_BUFFER_LIST list)
{
    const size_t i = IndexOf(list);
    return i < slots_.size() ? &slots_[i].record : nullptr;
}

ListRecord& ListTable::Insert(PNET_BUFFER_LIST list)
{
    if ((used_ + 1) * 2 > slots_.size()) {
        Grow();
    }
    size_t i = Home(list);
    while (slots_[i].list != nullptr) {
        i = (i + 1) & (slots_.size() - 1);
    }
    Slot& slot = slots_[i];
    slot.list = list;
    std::vector<NetBufferSnapshot> storage = std::move(slot.record.snapshot);
    storage.clear();
    slot.record = ListRecord{};
    slot.record.snapshot = std::move(storage);
    ++used_;
    return slot.record;
}

void ListTable::Erase(PNET_BUFFER_LIST list)
{
    size_t hole = IndexOf(list);
    if (hole == slots_.size()) {
        return;
    }
    slots_[hole].list = nullptr;
    --used_;
    // Each later slot of the same run moves into the hole unless its home lies after the hole
    // (cyclically), where a search for it would no longer reach it.
    const size_t mask = slots_.size() - 1;
    for (size_t i = (hole + 1) & mask; slots_[i].list != nullptr; i = (i + 1) & mask) {
        const size_t home = Home(slots_[i].list);
        const bool reachable = hole <= i ? (home > hole && home <= i) : (home > hole || home <= i);
        if (!reachable) {
            std::swap(slots_[hole], slots_[i]);   // the freed slot keeps the record's storage
            hole = i;
        }
    }
}

void ListTable::Grow()
{
    std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(std::max<size_t>(64, slots_.size() * 2)));
    used_ = 0;
    for (Slot& slot : old) {
        if (slot.list != nullptr) {
            size_t i = Home(slot.list);
            while (slots_[i].list != nullptr) {
                i = (i + 1) & (slots_.size() - 1);
            }
            slots_[i] = std::move(slot);
            ++used_;
        }
    }
}

std::vector<PNET_BUFFER_LIST> ListTable::Lists() const
{
    std::vector<PNET_BUFFER_LIST> out;
    for (const Slot& slot : slots_) {
        if (slot.list != nullptr) {
            out.push_back(slot.list);
        }
    }
    return out;
}

void ListTable::Clear()
{
    for (Slot& slot : slots_) {
        slot.list = nullptr;
    }
    used_ = 0;
}

// ---------------------------------------------------------------------------------------------
// Chains.
std::vector<PNET_BUFFER_LIST> WalkChain(PNET_BUFFER_LIST chain, const char* routine)
{
    std::vector<PNET_BUFFER_LIST> out;
    for (PNET_BUFFER_LIST list = chain; list != nullptr; list = list->Next) {
        if (out.size() == MAX_CHAIN) {
            ReportViolation(Rule::NblMisuse, "%s: the NET_BUFFER_LIST chain loops", routine);
            break;
        }
        out.push_back(list);
    }
    return out;
}

std::vector<PNET_BUFFER_LIST> ChainToVector(PNET_BUFFER_LIST chain) { return WalkChain(chain, "ChainToVector"); }

PNET_BUFFER_LIST LinkChain(const std::vector<PNET_BUFFER_LIST>& lists)
{
    for (size_t i = 0; i < lists.size(); ++i) {
        lists[i]->Next = i + 1 < lists.size() ? lists[i + 1] : nullptr;
    }
    return lists.empty() ? nullptr : lists.front();
}

void TakeSnapshot(PNET_BUFFER_LIST list, std::vector<NetBufferSnapshot>& snapshot)
{
    snapshot.clear();
    for (PNET_BUFFER nb = list->FirstNetBuffer; nb != nullptr && snapshot.size() < MAX_CHAIN; nb = nb->Next) {
        snapshot.push_back(NetBufferSnapshot{nb, nb->Next, nb->MdlChain, nb->CurrentMdl, nb->CurrentMdlOffset,
            nb->DataLength, nb->DataOffset});
    }
}

std::vector<uint8_t> NetBufferBytes(PNET_BUFFER netBuffer)
{
    std::vector<uint8_t> out;
    ULONG remaining = netBuffer->DataLength;
    ULONG offset = netBuffer->CurrentMdlOffset;
    for (PMDL mdl = netBuffer->CurrentMdl; mdl != nullptr && remaining > 0; mdl = mdl->Next) {
        const uint8_t* base = static_cast<const uint8_t*>(
            (mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) ? mdl->MappedSystemVa
                                                                                      : MmGetMdlVirtualAddress(mdl));
        if (offset < mdl->ByteCount) {
            ULONG take = std::min(remaining, mdl->ByteCount - offset);
            out.insert(out.end(), base + offset, base + offset + take);
            remaining -= take;
        }
        offset = offset >= mdl->ByteCount ? offset - mdl->ByteCount : 0;
    }
    return out;
}

// ---------------------------------------------------------------------------------------------
// NET_BUFFER_LIST pools and MDLs.
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

// ---------------------------------------------------------------------------------------------
// Receive and return.
void Adapter::Indicate(PNET_BUFFER_LIST chain, NDIS_PORT_NUMBER portNumber, ULONG receiveFlags)
{
    State& s = *state_;
    NdisGuard guard(Ndis().lock);
    std::vector<PNET_BUFFER_LIST> lists = WalkChain(chain, "miniport indication");
    if (lists.empty()) {
        return;
    }
    const bool resources = (receiveFlags & NDIS_RECEIVE_FLAGS_RESOURCES) != 0;
    FilterPath path = PathOf(s);
    const bool viaFilter = path.present() && path.chars->ReceiveNetBufferListsHandler != nullptr;
    for (PNET_BUFFER_LIST list : lists) {
        if (Find(list) != nullptr) {
            std::fprintf(stderr, "host NDIS: the miniport indicated NET_BUFFER_LIST %p while it is still out\n",
                static_cast<void*>(list));
            std::abort();
        }
        ListRecord& rec = Ndis().lists.Insert(list);
        rec.origin = resources ? ListOrigin::ResourcesReceive : ListOrigin::MiniportReceive;
        rec.place = ListPlace::Filter;
        rec.adapter = &s;
        TakeSnapshot(list, rec.snapshot);
        rec.firstNetBuffer = list->FirstNetBuffer;
        rec.throughFilter = viaFilter;
    }

    const ULONG count = static_cast<ULONG>(lists.size());
    if (path.present() && !Running(path)) {
        // A paused stack takes no indications: the miniport's lists come straight back.
        for (PNET_BUFFER_LIST list : lists) {
            Ndis().lists.Erase(list);
        }
        return;
    }
    if (viaFilter) {
        FILTER_RECEIVE_NET_BUFFER_LISTS_HANDLER handler = path.chars->ReceiveNetBufferListsHandler;
        guard.unlock();
        RunHandler(IrqlOfFlag(receiveFlags, NDIS_RECEIVE_FLAGS_DISPATCH_LEVEL), "FilterReceiveNetBufferLists",
            [&] { handler(path.context, chain, portNumber, count, receiveFlags); });
    } else {
        guard.unlock();
        KIRQL old = KeGetCurrentIrql();
        KIRQL irql = IrqlOfFlag(receiveFlags, NDIS_RECEIVE_FLAGS_DISPATCH_LEVEL);
        if (irql > old) KeRaiseIrql(irql, &old);
        DeliverAbove(s, lists, portNumber, count, receiveFlags);
        if (irql > old) KeLowerIrql(old);
    }
    guard.lock();

    if (resources) {
        // The lists are the miniport's again: links restored, nothing kept.
        for (size_t i = 0; i < lists.size(); ++i) {
            ListRecord* rec = Find(lists[i]);
            if (rec == nullptr) {
                continue;   // already reported when it was returned
            }
            // The chain as it came: each list's Next was the list after it.
            PNET_BUFFER_LIST originalNext = i + 1 < lists.size() ? lists[i + 1] : nullptr;
            if (lists[i]->Next != originalNext) {
                ReportViolation(Rule::NblMisuse, "NET_BUFFER_LIST %p of a RESOURCES indication came back with its "
                                                 "Next link changed (%p, was %p)", static_cast<void*>(lists[i]),
                    static_cast<void*>(lists[i]->Next), static_cast<void*>(originalNext));
            }
            if (const char* change = DescribeChange(rec->snapshot, lists[i])) {
                ReportViolation(Rule::NblMisuse, "NET_BUFFER_LIST %p of a RESOURCES indication came back changed: %s",
                    static_cast<void*>(lists[i]), change);
            }
            Ndis().lists.Erase(lists[i]);
        }
    }
    if (s.protocolReturns == ProtocolReturns::AfterIndication && !s.heldByProtocol.empty()) {
        guard.unlock();
        ReturnHeldReceives(0);
    }
}

void Adapter::SetProtocolReturns(ProtocolReturns mode)
{
    NdisGuard guard(Ndis().lock);
    state_->protocolReturns = mode;
}

void Adapter::ReturnHeldReceives(ULONG returnFlags)
{
    NdisGuard guard(Ndis().lock);
    std::vector<PNET_BUFFER_LIST> held = state_->heldByProtocol;
    guard.unlock();
    KIRQL old = KeGetCurrentIrql();
    const bool raise = (returnFlags & NDIS_RETURN_FLAGS_DISPATCH_LEVEL) && old < DISPATCH_LEVEL;
    if (raise) KeRaiseIrql(DISPATCH_LEVEL, &old);
    ProtocolReturn(*state_, held, returnFlags);
    if (raise) KeLowerIrql(old);
}

size_t Adapter::HeldByProtocol() const
{
    NdisGuard guard(Ndis().lock);
    return state_->heldByProtocol.size();
}

size_t Adapter::OutstandingAtMiniport() const
{
    NdisGuard guard(Ndis().lock);
    size_t n = 0;
    for (PNET_BUFFER_LIST list : Ndis().lists.Lists()) {
        const ListRecord& rec = *Find(list);
        n += rec.adapter == state_.get() && rec.origin == ListOrigin::MiniportReceive;
    }
    return n;
}

std::vector<IndicationRecord> Adapter::IndicatedAbove() const
{
    NdisGuard guard(Ndis().lock);
    return state_->indicatedAbove.Since(0);
}

std::vector<ReturnRecord> Adapter::ReturnedToMiniport() const
{
    NdisGuard guard(Ndis().lock);
    return state_->returnedToMiniport.Since(0);
}

}  // namespace host

VOID NdisFIndicateReceiveNetBufferLists(NDIS_HANDLE ndisFilterHandle, PNET_BUFFER_LIST netBufferLists,
    NDIS_PORT_NUMBER portNumber, ULONG numberOfNetBufferLists, ULONG receiveFlags)
{
    RequireNoSpinLockHeld("NdisFIndicateReceiveNetBufferLists");
    RequireIrqlAtMost(DISPATCH_LEVEL, "NdisFIndicateReceiveNetBufferLists");
    CheckDispatchFlag(receiveFlags, NDIS_RECEIVE_FLAGS_DISPATCH_LEVEL, "NdisFIndicateReceiveNetBufferLists");
    NdisGuard guard(Ndis().lock);
    FilterModule* module = ModuleFromHandle(ndisFilterHandle, "NdisFIndicateReceiveNetBufferLists");
    if (module == nullptr) {
        return;
    }
    Adapter::State& adapter = *module->adapter;
    std::vector<PNET_BUFFER_LIST> lists = WalkChain(netBufferLists, "NdisFIndicateReceiveNetBufferLists");
    if (numberOfNetBufferLists != lists.size()) {
        ReportViolation(Rule::NdisContract, "NdisFIndicateReceiveNetBufferLists: count %u, but the chain holds %zu lists",
            static_cast<unsigned>(numberOfNetBufferLists), lists.size());
    }
    if (module->state != ModuleState::Running && module->state != ModuleState::Pausing) {
        ReportViolation(Rule::NdisContract, "NdisFIndicateReceiveNetBufferLists by a %s filter module",
            ModuleStateName(module->state));
    }
    const bool resources = (receiveFlags & NDIS_RECEIVE_FLAGS_RESOURCES) != 0;
    std::vector<PNET_BUFFER_LIST> accepted;
    for (PNET_BUFFER_LIST list : lists) {
        ListRecord* rec = Find(list);
        if (rec == nullptr) {
            ReportViolation(Rule::NblMisuse, "NdisFIndicateReceiveNetBufferLists: %p is not a list the filter holds "
                                             "(already returned, or never received or allocated)", static_cast<void*>(list));
            continue;
        }
        if (rec->origin == ListOrigin::ProtocolSend) {
            ReportViolation(Rule::NblMisuse, "NdisFIndicateReceiveNetBufferLists: %p was sent by the protocol above",
                static_cast<void*>(list));
            continue;
        }
        if (rec->place != ListPlace::Filter) {
            ReportViolation(Rule::NblMisuse, "NdisFIndicateReceiveNetBufferLists: %p is held by %s",
                static_cast<void*>(list), PlaceName(rec->place));
            continue;
        }
        if (rec->origin == ListOrigin::ResourcesReceive && !resources) {
            ReportViolation(Rule::NblMisuse, "NdisFIndicateReceiveNetBufferLists: %p was received with "
                                             "NDIS_RECEIVE_FLAGS_RESOURCES and is indicated without it: the protocol would "
                                             "keep a list the miniport takes back", static_cast<void*>(list));
        }
        if (rec->origin == ListOrigin::Pool) {
            rec->adapter = &adapter;
            rec->throughFilter = true;
        } else if (rec->adapter != &adapter) {
            ReportViolation(Rule::NblMisuse, "NdisFIndicateReceiveNetBufferLists: %p belongs to another adapter",
                static_cast<void*>(list));
            continue;
        }
        accepted.push_back(list);
    }
    guard.unlock();
    DeliverAbove(adapter, accepted, portNumber, numberOfNetBufferLists, receiveFlags);
}

VOID NdisFReturnNetBufferLists(NDIS_HANDLE ndisFilterHandle, PNET_BUFFER_LIST netBufferLists, ULONG returnFlags)
{
    RequireNoSpinLockHeld("NdisFReturnNetBufferLists");
    RequireIrqlAtMost(DISPATCH_LEVEL, "NdisFReturnNetBufferLists");
    CheckDispatchFlag(returnFlags, NDIS_RETURN_FLAGS_DISPATCH_LEVEL, "NdisFReturnNetBufferLists");
    NdisGuard guard(Ndis().lock);
    FilterModule* module = ModuleFromHandle(ndisFilterHandle, "NdisFReturnNetBufferLists");
    if (module == nullptr) {
        return;
    }
    ReturnToMiniport(*module->adapter, WalkChain(netBufferLists, "NdisFReturnNetBufferLists"), returnFlags,
        "NdisFReturnNetBufferLists");
}

namespace host {

// ---------------------------------------------------------------------------------------------
// Send and send completion.
void Adapter::SendFromProtocol(PNET_BUFFER_LIST chain, NDIS_PORT_NUMBER portNumber, ULONG sendFlags)
{
    State& s = *state_;
    NdisGuard guard(Ndis().lock);
    std::vector<PNET_BUFFER_LIST> lists = WalkChain(chain, "protocol send");
    if (lists.empty()) {
        return;
    }
    for (PNET_BUFFER_LIST list : lists) {
        if (Find(list) != nullptr) {
            std::fprintf(stderr, "host NDIS: the protocol sent NET_BUFFER_LIST %p while it is still out\n",
                static_cast<void*>(list));
            std::abort();
        }
        ListRecord& rec = Ndis().lists.Insert(list);
        rec.origin = ListOrigin::ProtocolSend;
        rec.place = ListPlace::Filter;
        rec.adapter = &s;
        rec.firstNetBuffer = list->FirstNetBuffer;
    }
    FilterPath path = PathOf(s);
    KIRQL irql = IrqlOfFlag(sendFlags, NDIS_SEND_FLAGS_DISPATCH_LEVEL);
    if (path.present() && !Running(path)) {
        // A paused stack fails sends at once.
        for (PNET_BUFFER_LIST list : lists) {
            list->Status = NDIS_STATUS_PAUSED;
        }
        CompleteToProtocol(s, lists, 0, "send on a paused stack");
        return;
    }
    if (path.present() && path.chars->SendNetBufferListsHandler != nullptr) {
        for (PNET_BUFFER_LIST list : lists) {
            Find(list)->throughFilter = true;
        }
        FILTER_SEND_NET_BUFFER_LISTS_HANDLER handler = path.chars->SendNetBufferListsHandler;
        guard.unlock();
        RunHandler(irql, "FilterSendNetBufferLists", [&] { handler(path.context, chain, portNumber, sendFlags); });
        return;
    }
    guard.unlock();
    KIRQL old = KeGetCurrentIrql();
    if (irql > old) KeRaiseIrql(irql, &old);
    MiniportSend(s, lists, portNumber, sendFlags);
    if (irql > old) KeLowerIrql(old);
}

void Adapter::CancelSendFromProtocol(PVOID cancelId)
{
    NdisGuard guard(Ndis().lock);
    FilterPath path = PathOf(*state_);
    if (path.present() && path.chars->CancelSendNetBufferListsHandler != nullptr) {
        FILTER_CANCEL_SEND_HANDLER handler = path.chars->CancelSendNetBufferListsHandler;
        guard.unlock();
        RunHandler(PASSIVE_LEVEL, "FilterCancelSendNetBufferLists", [&] { handler(path.context, cancelId); });
        return;
    }
    state_->sendCancelsBelow.push_back(cancelId);
}

void Adapter::SetMiniportSends(MiniportSends mode)
{
    NdisGuard guard(Ndis().lock);
    state_->miniportSends = mode;
}

size_t Adapter::SendsHeldByMiniport() const
{
    NdisGuard guard(Ndis().lock);
    return state_->heldSends.size();
}

size_t Adapter::CompleteSends(size_t maxLists, NDIS_STATUS status, ULONG completeFlags)
{
    NdisGuard guard(Ndis().lock);
    std::vector<PNET_BUFFER_LIST> batch = Take(state_->heldSends, maxLists);
    guard.unlock();
    KIRQL old = KeGetCurrentIrql();
    const bool raise = (completeFlags & NDIS_SEND_COMPLETE_FLAGS_DISPATCH_LEVEL) && old < DISPATCH_LEVEL;
    if (raise) KeRaiseIrql(DISPATCH_LEVEL, &old);
    MiniportComplete(*state_, batch, status, completeFlags);
    if (raise) KeLowerIrql(old);
    return batch.size();
}

std::vector<SendRecord> Adapter::SentToMiniport() const
{
    NdisGuard guard(Ndis().lock);
    return state_->sentToMiniport.Since(0);
}

uint64_t Adapter::SendsToMiniport() const
{
    NdisGuard guard(Ndis().lock);
    return state_->sentToMiniport.Count();
}

std::vector<SendRecord> Adapter::SentToMiniportSince(size_t first) const
{
    NdisGuard guard(Ndis().lock);
    return state_->sentToMiniport.Since(first);
}

std::vector<SendCompletionRecord> Adapter::SendCompletionsAbove() const
{
    NdisGuard guard(Ndis().lock);
    return state_->sendCompletionsAbove.Since(0);
}

std::vector<PVOID> Adapter::SendCancelsBelow() const
{
    NdisGuard guard(Ndis().lock);
    return state_->sendCancelsBelow;
}

}  // namespace host

VOID NdisFSendNetBufferLists(NDIS_HANDLE ndisFilterHandle, PNET_BUFFER_LIST netBufferLists, NDIS_PORT_NUMBER portNumber,
    ULONG sendFlags)
{
    RequireNoSpinLockHeld("NdisFSendNetBufferLists");
    RequireIrqlAtMost(DISPATCH_LEVEL, "NdisFSendNetBufferLists");
    CheckDispatchFlag(sendFlags, NDIS_SEND_FLAGS_DISPATCH_LEVEL, "NdisFSendNetBufferLists");
    NdisGuard guard(Ndis().lock);
    FilterModule* module = ModuleFromHandle(ndisFilterHandle, "NdisFSendNetBufferLists");
    if (module == nullptr) {
        return;
    }
    Adapter::State& adapter = *module->adapter;
    std::vector<PNET_BUFFER_LIST> accepted;
    for (PNET_BUFFER_LIST list : WalkChain(netBufferLists, "NdisFSendNetBufferLists")) {
        ListRecord* rec = Find(list);
        if (rec == nullptr) {
            ReportViolation(Rule::NblMisuse, "NdisFSendNetBufferLists: %p is neither a send of the protocol above nor "
                                             "a live list of an NBL pool", static_cast<void*>(list));
            continue;
        }
        if (rec->origin == ListOrigin::MiniportReceive || rec->origin == ListOrigin::ResourcesReceive) {
            ReportViolation(Rule::NblMisuse, "NdisFSendNetBufferLists: %p is a received list, %s",
                static_cast<void*>(list), OriginName(rec->origin));
            continue;
        }
        if (rec->place != ListPlace::Filter) {
            ReportViolation(Rule::NblMisuse, "NdisFSendNetBufferLists: %p is already held by %s",
                static_cast<void*>(list), PlaceName(rec->place));
            continue;
        }
        if (rec->origin == ListOrigin::Pool) {
            rec->adapter = &adapter;
            rec->throughFilter = true;
        } else if (rec->adapter != &adapter) {
            ReportViolation(Rule::NblMisuse, "NdisFSendNetBufferLists: %p was sent on another adapter",
                static_cast<void*>(list));
            continue;
        }
        accepted.push_back(list);
    }
    std::function<void()> observer = adapter.sendObserver;
    guard.unlock();
    if (observer) {
        observer();
    }
    if (!accepted.empty()) {
        MiniportSend(adapter, accepted, portNumber, sendFlags);
    }
}

VOID NdisFSendNetBufferListsComplete(NDIS_HANDLE ndisFilterHandle, PNET_BUFFER_LIST netBufferLists,
    ULONG sendCompleteFlags)
{
    RequireNoSpinLockHeld("NdisFSendNetBufferListsComplete");
    RequireIrqlAtMost(DISPATCH_LEVEL, "NdisFSendNetBufferListsComplete");
    CheckDispatchFlag(sendCompleteFlags, NDIS_SEND_COMPLETE_FLAGS_DISPATCH_LEVEL, "NdisFSendNetBufferListsComplete");
    NdisGuard guard(Ndis().lock);
    FilterModule* module = ModuleFromHandle(ndisFilterHandle, "NdisFSendNetBufferListsComplete");
    if (module == nullptr) {
        return;
    }
    CompleteToProtocol(*module->adapter, WalkChain(netBufferLists, "NdisFSendNetBufferListsComplete"),
        sendCompleteFlags, "NdisFSendNetBufferListsComplete");
}

VOID NdisFCancelSendNetBufferLists(NDIS_HANDLE ndisFilterHandle, PVOID cancelId)
{
    RequireNoSpinLockHeld("NdisFCancelSendNetBufferLists");
    RequireIrqlAtMost(DISPATCH_LEVEL, "NdisFCancelSendNetBufferLists");
    NdisGuard guard(Ndis().lock);
    if (FilterModule* module = ModuleFromHandle(ndisFilterHandle, "NdisFCancelSendNetBufferLists")) {
        module->adapter->sendCancelsBelow.push_back(cancelId);
    }
}

namespace host {

// ---------------------------------------------------------------------------------------------
// OID requests.
void Adapter::SetSendObserver(std::function<void()> observer)
{
    NdisGuard guard(Ndis().lock);
    state_->sendObserver = std::move(observer);
}

NDIS_STATUS Adapter::OidRequestFromProtocol(PNDIS_OID_REQUEST request)
{
    State& s = *state_;
    NdisGuard guard(Ndis().lock);
    FilterPath path = PathOf(s);
    if (!path.present() || path.chars->OidRequestHandler == nullptr) {
        guard.unlock();
        NDIS_STATUS status = MiniportOid(s, request, false);
        if (status != NDIS_STATUS_PENDING) {
            guard.lock();
            CompleteUpperOid(s, request, status, true);
        }
        return status;
    }
    s.upperOids.push_back(UpperOid{request, false, false, false});
    FILTER_OID_REQUEST_HANDLER handler = path.chars->OidRequestHandler;
    guard.unlock();
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    RunHandler(PASSIVE_LEVEL, "FilterOidRequest", [&] { status = handler(path.context, request); });
    guard.lock();
    auto it = std::find_if(s.upperOids.begin(), s.upperOids.end(), [&](const UpperOid& u) { return u.request == request; });
    if (it == s.upperOids.end()) {
        return status;
    }
    it->handlerReturned = true;
    it->pended = status == NDIS_STATUS_PENDING;
    if (!it->pended) {
        if (it->completed) {
            ReportViolation(Rule::NdisContract, "the OID request handler completed request %p through "
                                                "NdisFOidRequestComplete and also returned 0x%08X",
                static_cast<void*>(request), static_cast<unsigned>(status));
        } else {
            CompleteUpperOid(s, request, status, true);
        }
        s.upperOids.erase(it);
    } else if (it->completed) {
        s.upperOids.erase(it);
    }
    return status;
}

void Adapter::CancelOidFromProtocol(PVOID requestId)
{
    NdisGuard guard(Ndis().lock);
    FilterPath path = PathOf(*state_);
    if (path.present() && path.chars->CancelOidRequestHandler != nullptr) {
        FILTER_CANCEL_OID_REQUEST_HANDLER handler = path.chars->CancelOidRequestHandler;
        guard.unlock();
        RunHandler(PASSIVE_LEVEL, "FilterCancelOidRequest", [&] { handler(path.context, requestId); });
        return;
    }
    state_->oidCancelsBelow.push_back(requestId);
}

void Adapter::SetMiniportOidAnswer(OidAnswer answer)
{
    NdisGuard guard(Ndis().lock);
    state_->oidAnswer = std::move(answer);
}

std::vector<PNDIS_OID_REQUEST> Adapter::OidsPendingBelow() const
{
    NdisGuard guard(Ndis().lock);
    return state_->oidsPendingBelow;
}

void Adapter::CompletePendingOid(PNDIS_OID_REQUEST request, NDIS_STATUS status)
{
    State& s = *state_;
    NdisGuard guard(Ndis().lock);
    auto it = std::find(s.oidsPendingBelow.begin(), s.oidsPendingBelow.end(), request);
    if (it == s.oidsPendingBelow.end()) {
        std::fprintf(stderr, "host NDIS: CompletePendingOid(%p): no such request pends at the miniport\n",
            static_cast<void*>(request));
        std::abort();
    }
    s.oidsPendingBelow.erase(it);
    bool fromFilter = PendingSource()[request];
    PendingSource().erase(request);
    FilterPath path = PathOf(s);
    if (fromFilter && path.present() && path.chars->OidRequestCompleteHandler != nullptr) {
        FILTER_OID_REQUEST_COMPLETE_HANDLER handler = path.chars->OidRequestCompleteHandler;
        guard.unlock();
        RunHandler(PASSIVE_LEVEL, "FilterOidRequestComplete", [&] { handler(path.context, request, status); });
        return;
    }
    if (fromFilter) {
        ReportViolation(Rule::NdisContract, "OID request %p passed down by a filter that has no OID complete handler",
            static_cast<void*>(request));
        return;
    }
    CompleteUpperOid(s, request, status, false);
}

std::vector<OidBelowRecord> Adapter::OidRequestsBelow() const
{
    NdisGuard guard(Ndis().lock);
    return state_->oidRequestsBelow;
}

std::vector<OidCompletionRecord> Adapter::OidCompletionsAbove() const
{
    NdisGuard guard(Ndis().lock);
    return state_->oidCompletionsAbove;
}

std::vector<PVOID> Adapter::OidCancelsBelow() const
{
    NdisGuard guard(Ndis().lock);
    return state_->oidCancelsBelow;
}

}  // namespace host

NDIS_STATUS NdisAllocateCloneOidRequest(NDIS_HANDLE sourceHandle, PNDIS_OID_REQUEST oidRequest, ULONG poolTag,
    PNDIS_OID_REQUEST* cloneOidRequest)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "NdisAllocateCloneOidRequest");
    if (cloneOidRequest == nullptr || oidRequest == nullptr) {
        return NDIS_STATUS_INVALID_PARAMETER;
    }
    *cloneOidRequest = nullptr;
    int32_t failure = 0;
    if (ShouldFail(Fault::CloneOidRequest, &failure)) {
        return failure != 0 ? failure : NDIS_STATUS_RESOURCES;
    }
    auto* clone = static_cast<PNDIS_OID_REQUEST>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(NDIS_OID_REQUEST), poolTag));
    if (clone == nullptr) {
        return NDIS_STATUS_RESOURCES;
    }
    std::memcpy(clone, oidRequest, sizeof(NDIS_OID_REQUEST));
    std::memset(clone->NdisReserved, 0, sizeof clone->NdisReserved);
    std::memset(clone->MiniportReserved, 0, sizeof clone->MiniportReserved);
    std::memset(clone->SourceReserved, 0, sizeof clone->SourceReserved);
    clone->RequestHandle = sourceHandle;
    NdisGuard guard(Ndis().lock);
    CloneRecord record;
    record.tag = poolTag;
    record.source = sourceHandle;
    auto* module = static_cast<FilterModule*>(sourceHandle);
    if (Ndis().modules.count(module) != 0) {
        record.adapter = module->adapter;
    }
    Ndis().clones[clone] = record;
    *cloneOidRequest = clone;
    return NDIS_STATUS_SUCCESS;
}

VOID NdisFreeCloneOidRequest(NDIS_HANDLE sourceHandle, PNDIS_OID_REQUEST request)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "NdisFreeCloneOidRequest");
    (void)sourceHandle;
    NdisGuard guard(Ndis().lock);
    auto it = Ndis().clones.find(request);
    if (it == Ndis().clones.end()) {
        ReportViolation(Rule::NdisContract, "NdisFreeCloneOidRequest: %p is not a live clone (freed twice?)",
            static_cast<void*>(request));
        return;
    }
    if (PendingSource().count(request) != 0) {
        ReportViolation(Rule::NdisContract, "NdisFreeCloneOidRequest: clone %p freed while the miniport still holds it",
            static_cast<void*>(request));
        return;
    }
    ULONG tag = it->second.tag;
    Ndis().clones.erase(it);
    guard.unlock();
    ExFreePoolWithTag(request, tag);
}

namespace host {

size_t OutstandingClones()
{
    NdisGuard guard(Ndis().lock);
    return Ndis().clones.size();
}

}  // namespace host

NDIS_STATUS NdisFOidRequest(NDIS_HANDLE ndisFilterHandle, PNDIS_OID_REQUEST oidRequest)
{
    RequireNoSpinLockHeld("NdisFOidRequest");
    RequireIrqlAtMost(DISPATCH_LEVEL, "NdisFOidRequest");
    NdisGuard guard(Ndis().lock);
    FilterModule* module = ModuleFromHandle(ndisFilterHandle, "NdisFOidRequest");
    if (module == nullptr) {
        return NDIS_STATUS_INVALID_PARAMETER;
    }
    Adapter::State& adapter = *module->adapter;
    for (const UpperOid& upper : adapter.upperOids) {
        if (upper.request == oidRequest) {
            ReportViolation(Rule::NdisContract, "NdisFOidRequest: the protocol's own request %p passed down; a filter "
                                                "passes down a clone", static_cast<void*>(oidRequest));
        }
    }
    guard.unlock();
    return MiniportOid(adapter, oidRequest, true);
}

VOID NdisFOidRequestComplete(NDIS_HANDLE ndisFilterHandle, PNDIS_OID_REQUEST oidRequest, NDIS_STATUS status)
{
    RequireNoSpinLockHeld("NdisFOidRequestComplete");
    RequireIrqlAtMost(DISPATCH_LEVEL, "NdisFOidRequestComplete");
    NdisGuard guard(Ndis().lock);
    FilterModule* module = ModuleFromHandle(ndisFilterHandle, "NdisFOidRequestComplete");
    if (module == nullptr) {
        return;
    }
    Adapter::State& adapter = *module->adapter;
    auto it = std::find_if(adapter.upperOids.begin(), adapter.upperOids.end(),
        [&](const UpperOid& u) { return u.request == oidRequest; });
    if (it == adapter.upperOids.end() || it->completed) {
        ReportViolation(Rule::NdisContract, "NdisFOidRequestComplete: %p is not an outstanding request of the protocol "
                                            "above (completed twice?)", static_cast<void*>(oidRequest));
        return;
    }
    it->completed = true;
    CompleteUpperOid(adapter, oidRequest, status, false);
    if (it->handlerReturned) {
        adapter.upperOids.erase(it);
    }
}

VOID NdisFCancelOidRequest(NDIS_HANDLE ndisFilterHandle, PVOID requestId)
{
    RequireNoSpinLockHeld("NdisFCancelOidRequest");
    RequireIrqlAtMost(DISPATCH_LEVEL, "NdisFCancelOidRequest");
    NdisGuard guard(Ndis().lock);
    if (FilterModule* module = ModuleFromHandle(ndisFilterHandle, "NdisFCancelOidRequest")) {
        module->adapter->oidCancelsBelow.push_back(requestId);
    }
}

namespace host {

// ---------------------------------------------------------------------------------------------
// Status and PnP.
namespace {

void RecordStatus(Adapter::State& adapter, const NDIS_STATUS_INDICATION& indication)
{
    StatusRecord record;
    record.statusCode = indication.StatusCode;
    record.port = indication.PortNumber;
    if (indication.StatusBuffer != nullptr) {
        const auto* bytes = static_cast<const uint8_t*>(indication.StatusBuffer);
        record.buffer.assign(bytes, bytes + indication.StatusBufferSize);
    }
    adapter.statusAbove.push_back(std::move(record));
}

}  // namespace

void Adapter::IndicateStatusFromMiniport(PNDIS_STATUS_INDICATION indication)
{
    NdisGuard guard(Ndis().lock);
    FilterPath path = PathOf(*state_);
    if (path.present() && path.chars->StatusHandler != nullptr) {
        FILTER_STATUS_HANDLER handler = path.chars->StatusHandler;
        guard.unlock();
        RunHandler(PASSIVE_LEVEL, "FilterStatus", [&] { handler(path.context, indication); });
        return;
    }
    RecordStatus(*state_, *indication);
}

void Adapter::DevicePnPEventFromMiniport(PNET_DEVICE_PNP_EVENT event)
{
    NdisGuard guard(Ndis().lock);
    FilterPath path = PathOf(*state_);
    if (path.present() && path.chars->DevicePnPEventNotifyHandler != nullptr) {
        FILTER_DEVICE_PNP_EVENT_NOTIFY_HANDLER handler = path.chars->DevicePnPEventNotifyHandler;
        guard.unlock();
        RunHandler(PASSIVE_LEVEL, "FilterDevicePnPEventNotify", [&] { handler(path.context, event); });
        return;
    }
    state_->devicePnPBelow.push_back(event->DevicePnPEvent);
}

NDIS_STATUS Adapter::NetPnPEventFromNdis(PNET_PNP_EVENT_NOTIFICATION notification)
{
    NdisGuard guard(Ndis().lock);
    FilterPath path = PathOf(*state_);
    if (path.present() && path.chars->NetPnPEventHandler != nullptr) {
        FILTER_NET_PNP_EVENT_HANDLER handler = path.chars->NetPnPEventHandler;
        guard.unlock();
        NDIS_STATUS status = NDIS_STATUS_FAILURE;
        RunHandler(PASSIVE_LEVEL, "FilterNetPnPEvent", [&] { status = handler(path.context, notification); });
        return status;
    }
    state_->netPnPAbove.push_back(notification->NetPnPEvent.NetEvent);
    return state_->protocolNetPnPStatus;
}

void Adapter::SetProtocolNetPnPStatus(NDIS_STATUS status)
{
    NdisGuard guard(Ndis().lock);
    state_->protocolNetPnPStatus = status;
}

std::vector<StatusRecord> Adapter::StatusIndicationsAbove() const
{
    NdisGuard guard(Ndis().lock);
    return state_->statusAbove;
}

std::vector<NDIS_DEVICE_PNP_EVENT> Adapter::DevicePnPEventsBelow() const
{
    NdisGuard guard(Ndis().lock);
    return state_->devicePnPBelow;
}

std::vector<ULONG> Adapter::NetPnPEventsAbove() const
{
    NdisGuard guard(Ndis().lock);
    return state_->netPnPAbove;
}

}  // namespace host

VOID NdisFIndicateStatus(NDIS_HANDLE ndisFilterHandle, PNDIS_STATUS_INDICATION statusIndication)
{
    RequireNoSpinLockHeld("NdisFIndicateStatus");
    RequireIrqlAtMost(DISPATCH_LEVEL, "NdisFIndicateStatus");
    NdisGuard guard(Ndis().lock);
    if (FilterModule* module = ModuleFromHandle(ndisFilterHandle, "NdisFIndicateStatus")) {
        RecordStatus(*module->adapter, *statusIndication);
    }
}

VOID NdisFDevicePnPEventNotify(NDIS_HANDLE ndisFilterHandle, PNET_DEVICE_PNP_EVENT netDevicePnPEvent)
{
    RequireNoSpinLockHeld("NdisFDevicePnPEventNotify");
    RequireIrqlAtMost(PASSIVE_LEVEL, "NdisFDevicePnPEventNotify");
    NdisGuard guard(Ndis().lock);
    if (FilterModule* module = ModuleFromHandle(ndisFilterHandle, "NdisFDevicePnPEventNotify")) {
        module->adapter->devicePnPBelow.push_back(netDevicePnPEvent->DevicePnPEvent);
    }
}

NDIS_STATUS NdisFNetPnPEvent(NDIS_HANDLE ndisFilterHandle, PNET_PNP_EVENT_NOTIFICATION netPnPEventNotification)
{
    RequireNoSpinLockHeld("NdisFNetPnPEvent");
    RequireIrqlAtMost(PASSIVE_LEVEL, "NdisFNetPnPEvent");
    NdisGuard guard(Ndis().lock);
    FilterModule* module = ModuleFromHandle(ndisFilterHandle, "NdisFNetPnPEvent");
    if (module == nullptr) {
        return NDIS_STATUS_INVALID_PARAMETER;
    }
    module->adapter->netPnPAbove.push_back(netPnPEventNotification->NetPnPEvent.NetEvent);
    return module->adapter->protocolNetPnPStatus;
}

namespace host {

// ---------------------------------------------------------------------------------------------
// An adapter's end.
void DrainAdapter(Adapter::State& adapter)
{
    // The protocols unbind first, returning what they hold; the miniport finishes its sends and
    // fails the requests it still holds.
    for (int pass = 0; pass < 64; ++pass) {
        NdisGuard guard(Ndis().lock);
        const bool held = !adapter.heldByProtocol.empty();
        const bool sends = !adapter.heldSends.empty();
        std::vector<PNDIS_OID_REQUEST> oids = adapter.oidsPendingBelow;
        guard.unlock();
        if (!held && !sends && oids.empty()) {
            return;
        }
        if (held) adapter.self->ReturnHeldReceives(0);
        if (sends) adapter.self->CompleteSends(SIZE_MAX, NDIS_STATUS_SUCCESS, 0);
        for (PNDIS_OID_REQUEST request : oids) {
            adapter.self->CompletePendingOid(request, NDIS_STATUS_REQUEST_ABORTED);
        }
    }
}

void AwaitReceivesThroughFilter(Adapter::State& adapter)
{
    // A list kept for good is reported by the leftover check after the detach instead.
    auto giveUpAt = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    for (;;) {
        NdisGuard guard(Ndis().lock);
        std::vector<PNET_BUFFER_LIST> lists = Ndis().lists.Lists();
        bool out = std::any_of(lists.begin(), lists.end(), [&](PNET_BUFFER_LIST list) {
            const ListRecord& rec = *Find(list);
            return rec.adapter == &adapter && rec.throughFilter &&
                   (rec.origin == ListOrigin::MiniportReceive || rec.origin == ListOrigin::ResourcesReceive);
        });
        guard.unlock();
        if (!out || std::chrono::steady_clock::now() > giveUpAt) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
}

void CheckAdapterLeftovers(Adapter::State& adapter, const char* when, bool throughFilterOnly)
{
    NdisGuard guard(Ndis().lock);
    NdisState& ndis = Ndis();
    for (PNET_BUFFER_LIST list : ndis.lists.Lists()) {
        const ListRecord& rec = *Find(list);
        if (throughFilterOnly && !rec.throughFilter) {
            continue;   // bypassed the filter: still on its way between the miniport and the protocol
        }
        if (rec.adapter == &adapter &&
            (rec.origin == ListOrigin::MiniportReceive || rec.origin == ListOrigin::ResourcesReceive)) {
            ReportViolation(Rule::NblMisuse, "NET_BUFFER_LIST %p indicated by the miniport was never returned (%s)",
                static_cast<void*>(list), when);
            ndis.lists.Erase(list);
        } else if (rec.adapter == &adapter && rec.origin == ListOrigin::ProtocolSend) {
            ReportViolation(Rule::NblMisuse, "NET_BUFFER_LIST %p sent by the protocol above was never completed (%s)",
                static_cast<void*>(list), when);
            ndis.lists.Erase(list);
        }
    }
    for (const UpperOid& upper : adapter.upperOids) {
        if (!upper.completed) {
            ReportViolation(Rule::NdisContract, "OID request %p of the protocol above was never completed (%s)",
                static_cast<void*>(upper.request), when);
        }
    }
    adapter.upperOids.clear();
    if (!adapter.module) {
        for (auto it = ndis.clones.begin(); it != ndis.clones.end();) {
            if (it->second.adapter == &adapter) {
                ReportViolation(Rule::NdisContract, "cloned OID request %p (tag 0x%08X) was never freed (%s)",
                    static_cast<void*>(it->first), static_cast<unsigned>(it->second.tag), when);
                ExFreePoolWithTag(it->first, it->second.tag);
                it = ndis.clones.erase(it);
            } else {
                ++it;
            }
        }
    }
}

void ForgetAdapterLists(Adapter::State& adapter)
{
    NdisGuard guard(Ndis().lock);
    for (PNET_BUFFER_LIST list : Ndis().lists.Lists()) {
        ListRecord& rec = *Find(list);
        if (rec.adapter == &adapter) {
            if (rec.origin == ListOrigin::Pool) {
                rec.adapter = nullptr;
                rec.place = ListPlace::Filter;
            } else {
                Ndis().lists.Erase(list);
            }
        }
    }
    for (PNDIS_OID_REQUEST request : adapter.oidsPendingBelow) {
        PendingSource().erase(request);
    }
    adapter.oidsPendingBelow.clear();
}

void ResetDataPath()
{
    NdisGuard guard(Ndis().lock);
    NdisState& ndis = Ndis();
    for (auto& [handle, pool] : ndis.pools) {
        if (!pool->allocated.empty()) {
            ReportViolation(Rule::NblPoolOutstanding, "NBL pool %p (tag 0x%08X) never freed, %zu NET_BUFFER_LISTs still "
                                                      "allocated", static_cast<void*>(handle),
                static_cast<unsigned>(pool->parameters.PoolTag), pool->allocated.size());
        } else {
            ReportViolation(Rule::NdisContract, "NBL pool %p (tag 0x%08X) never freed", static_cast<void*>(handle),
                static_cast<unsigned>(pool->parameters.PoolTag));
        }
        for (PoolList* list : pool->allocated) {
            delete list;
        }
    }
    ndis.pools.clear();
    for (PoolList* list : Orphans()) {
        delete list;
    }
    Orphans().clear();
    for (auto& [request, record] : ndis.clones) {
        ReportViolation(Rule::NdisContract, "cloned OID request %p (tag 0x%08X) was never freed",
            static_cast<void*>(request), static_cast<unsigned>(record.tag));
        ExFreePoolWithTag(request, record.tag);
    }
    ndis.clones.clear();
    for (PMDL mdl : ndis.mdls) {
        ReportViolation(Rule::MdlMisuse, "MDL %p from NdisAllocateMdl was never freed", static_cast<void*>(mdl));
        delete mdl;
    }
    ndis.mdls.clear();
    ndis.lists.Clear();
    PendingSource().clear();
}

}  // namespace host
