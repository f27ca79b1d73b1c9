// The emulated NDIS's data path, common ground: what every path asks of a list (its origin, its
// place, its record in the table of lists), the filter's data-path handlers for an adapter, the
// dispatch-level flags, chains and snapshots; and at an adapter's end, the draining, the check
// that every list came back and the forgetting of what is left. Host only.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>
#include <utility>

#include "host/ndis/ndis_internal.h"

namespace host {

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

void CheckDispatchFlag(ULONG flags, ULONG dispatchFlag, const char* routine)
{
    if ((flags & dispatchFlag) && KeGetCurrentIrql() != DISPATCH_LEVEL) {
        ReportViolation(Rule::NdisContract, "%s: the dispatch-level flag is set but the caller runs at IRQL %d",
            routine, static_cast<int>(KeGetCurrentIrql()));
    }
}

ListRecord* Find(PNET_BUFFER_LIST list) { return Ndis().lists.Find(list); }

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

ListTable::Slot* ListTable::PoolSlot(PNET_BUFFER_LIST list)
{
    const auto address = reinterpret_cast<uintptr_t>(list);
    for (PoolSlots& pool : pools_) {
        const uintptr_t offset = address - pool.first;   // wraps below the pool: out of range
        if (offset < pool.stride * pool.slots.size() && offset % pool.stride == 0) {
            return &pool.slots[offset / pool.stride];
        }
    }
    return nullptr;
}

ListRecord& ListTable::Reset(Slot& slot, PNET_BUFFER_LIST list)
{
    slot.list = list;
    std::vector<NetBufferSnapshot> storage = std::move(slot.record.snapshot);
    storage.clear();
    slot.record = ListRecord{};
    slot.record.snapshot = std::move(storage);
    return slot.record;
}

ListRecord* ListTable::Find(PNET_BUFFER_LIST list)
{
    if (Slot* slot = PoolSlot(list)) {
        return slot->list == list ? &slot->record : nullptr;
    }
    const size_t i = IndexOf(list);
    return i < slots_.size() ? &slots_[i].record : nullptr;
}

ListRecord& ListTable::Insert(PNET_BUFFER_LIST list)
{
    if (Slot* slot = PoolSlot(list)) {
        return Reset(*slot, list);
    }
    if ((used_ + 1) * 2 > slots_.size()) {
        Grow();
    }
    size_t i = Home(list);
    while (slots_[i].list != nullptr) {
        i = (i + 1) & (slots_.size() - 1);
    }
    ++used_;
    return Reset(slots_[i], list);
}

void ListTable::AddPool(const void* first, size_t stride, size_t count)
{
    pools_.push_back(PoolSlots{reinterpret_cast<uintptr_t>(first), stride, std::vector<Slot>(count)});
}

void ListTable::RemovePool(const void* first)
{
    auto pool = std::find_if(pools_.begin(), pools_.end(),
        [&](const PoolSlots& p) { return p.first == reinterpret_cast<uintptr_t>(first); });
    if (pool == pools_.end()) {
        return;
    }
    std::vector<Slot> out = std::move(pool->slots);
    pools_.erase(pool);
    for (Slot& slot : out) {
        if (slot.list != nullptr) {
            ListRecord& moved = Insert(slot.list);
            moved = std::move(slot.record);
        }
    }
}

void ListTable::Erase(PNET_BUFFER_LIST list)
{
    if (Slot* slot = PoolSlot(list)) {
        if (slot->list == list) {
            slot->list = nullptr;
        }
        return;
    }
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
    auto collect = [&](const std::vector<Slot>& slots) {
        for (const Slot& slot : slots) {
            if (slot.list != nullptr) {
                out.push_back(slot.list);
            }
        }
    };
    collect(slots_);
    for (const PoolSlots& pool : pools_) {
        collect(pool.slots);
    }
    return out;
}

void ListTable::Clear()
{
    for (Slot& slot : slots_) {
        slot.list = nullptr;
    }
    used_ = 0;
    for (PoolSlots& pool : pools_) {
        for (Slot& slot : pool.slots) {
            slot.list = nullptr;
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Chains.
std::vector<PNET_BUFFER_LIST> WalkChain(PNET_BUFFER_LIST chain, const char* routine)
{
    // Counted first: one allocation for a chain of any length (a whole ring block goes up as one).
    size_t length = 0;
    for (PNET_BUFFER_LIST list = chain; list != nullptr && length < MAX_CHAIN; list = list->Next) {
        ++length;
    }
    std::vector<PNET_BUFFER_LIST> out;
    out.reserve(length);
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

size_t CopyNetBufferBytes(PNET_BUFFER netBuffer, std::span<uint8_t> out)
{
    const bool fits = out.size() >= netBuffer->DataLength;
    size_t copied = 0;
    ULONG remaining = netBuffer->DataLength;
    ULONG offset = netBuffer->CurrentMdlOffset;
    for (PMDL mdl = netBuffer->CurrentMdl; mdl != nullptr && remaining > 0; mdl = mdl->Next) {
        const uint8_t* base = static_cast<const uint8_t*>(
            (mdl->MdlFlags & (MDL_MAPPED_TO_SYSTEM_VA | MDL_SOURCE_IS_NONPAGED_POOL)) ? mdl->MappedSystemVa
                                                                                      : MmGetMdlVirtualAddress(mdl));
        if (offset < mdl->ByteCount) {
            ULONG take = std::min(remaining, mdl->ByteCount - offset);
            if (fits) {
                std::memcpy(out.data() + copied, base + offset, take);
            }
            copied += take;
            remaining -= take;
        }
        offset = offset >= mdl->ByteCount ? offset - mdl->ByteCount : 0;
    }
    return copied;
}

std::vector<uint8_t> NetBufferBytes(PNET_BUFFER netBuffer)
{
    std::vector<uint8_t> out(netBuffer->DataLength);
    out.resize(CopyNetBufferBytes(netBuffer, out));
    return out;
}

// ---------------------------------------------------------------------------------------------
// An adapter's end.
void DrainAdapter(Adapter::State& adapter, bool ownSends)
{
    // The protocols unbind first, returning what they hold; the miniport finishes their sends and
    // fails the requests it still holds.
    for (int pass = 0; pass < 64; ++pass) {
        NdisGuard guard(Ndis().lock);
        const bool held = !adapter.heldByProtocol.empty();
        std::vector<PNDIS_OID_REQUEST> oids = adapter.oidsPendingBelow;
        guard.unlock();
        if (held) adapter.self->ReturnHeldReceives(0);
        const size_t sends = CompleteHeldSends(adapter, ownSends);
        for (PNDIS_OID_REQUEST request : oids) {
            adapter.self->CompletePendingOid(request, NDIS_STATUS_REQUEST_ABORTED);
        }
        if (!held && sends == 0 && oids.empty()) {
            return;
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
