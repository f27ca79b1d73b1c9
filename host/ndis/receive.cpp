// The emulated NDIS's receive path: the miniport's indications through the filter (or past it)
// to the protocol above, the protocol's returns back through the filter to the miniport, and the
// checks that every received list comes back to its miniport once and unchanged. Host only.
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "host/ndis/ndis_internal.h"

using namespace host;

namespace host {

namespace {

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
    ReturnRecord* record = adapter.config.recordDataPath ? &adapter.returnedToMiniport.Add() : nullptr;
    if (record != nullptr) {
        record->flags = flags;
        record->lists.clear();
    }
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
        if (record != nullptr) {
            record->lists.push_back(list);
        }
        if (adapter.miniportReturn) {
            adapter.miniportReturn(list);
        }
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
    if (adapter.config.recordDataPath) {
        IndicationRecord& record = adapter.indicatedAbove.Add();
        record.lists.assign(lists.begin(), lists.end());
        record.port = port;
        record.count = count;
        record.flags = flags;
    }
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

}  // namespace

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
            if (s.miniportReturn && !resources) {
                s.miniportReturn(list);
            }
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

void Adapter::SetMiniportReturn(std::function<void(PNET_BUFFER_LIST)> handler)
{
    NdisGuard guard(Ndis().lock);
    state_->miniportReturn = std::move(handler);
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
