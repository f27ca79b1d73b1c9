// The emulated NDIS's send path: the protocol's sends through the filter (or past it) to the
// miniport, which completes them at once or holds them, the completions back up, cancellation,
// and the checks that every sent list is completed once to the one who sent it. Host only.
#include <algorithm>
#include <cstdio>
#include <iterator>
#include <cstdlib>

#include "host/ndis/ndis_internal.h"

using namespace host;

namespace host {

namespace {

constexpr NDIS_STATUS NDIS_STATUS_PAUSED = static_cast<NDIS_STATUS>(0xC023002A);

// The protocol above is told that its sends are complete; the lock is held.
void CompleteToProtocol(Adapter::State& adapter, const std::vector<PNET_BUFFER_LIST>& lists, ULONG flags,
    const char* routine)
{
    SendCompletionRecord* record = adapter.config.recordDataPath ? &adapter.sendCompletionsAbove.Add() : nullptr;
    if (record != nullptr) {
        record->flags = flags;
        record->lists.clear();
        record->statuses.clear();
    }
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
        if (record != nullptr) {
            record->lists.push_back(list);
            record->statuses.push_back(list->Status);
        }
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

// The miniport takes a send: transmits it when it has a transmit, and completes it at once or
// holds it.
void MiniportSend(Adapter::State& adapter, const std::vector<PNET_BUFFER_LIST>& lists, NDIS_PORT_NUMBER port,
    ULONG sendFlags)
{
    NdisGuard guard(Ndis().lock);
    if (adapter.config.recordDataPath) {
        SendRecord& record = adapter.sentToMiniport.Add();
        record.lists.assign(lists.begin(), lists.end());
        record.port = port;
        record.flags = sendFlags;
        record.frames.resize(lists.size());
        for (size_t i = 0; i < lists.size(); ++i) {
            record.frames[i] = lists[i]->FirstNetBuffer != nullptr ? NetBufferBytes(lists[i]->FirstNetBuffer)
                                                                  : std::vector<uint8_t>{};
        }
    }
    for (PNET_BUFFER_LIST list : lists) {
        if (ListRecord* rec = Find(list)) {
            rec->place = ListPlace::Miniport;
        }
    }
    std::vector<PNET_BUFFER_LIST> failed;
    if (adapter.miniportTransmit) {
        std::function<bool(PNET_BUFFER)> transmit = adapter.miniportTransmit;
        guard.unlock();
        for (PNET_BUFFER_LIST list : lists) {
            if (list->FirstNetBuffer == nullptr || !transmit(list->FirstNetBuffer)) {
                failed.push_back(list);
            }
        }
        guard.lock();
    }
    if (adapter.miniportSends == MiniportSends::Hold) {
        adapter.heldSends.insert(adapter.heldSends.end(), lists.begin(), lists.end());
        return;
    }
    guard.unlock();
    const ULONG completeFlags = (sendFlags & NDIS_SEND_FLAGS_DISPATCH_LEVEL) ? NDIS_SEND_COMPLETE_FLAGS_DISPATCH_LEVEL : 0;
    if (failed.empty()) {
        MiniportComplete(adapter, lists, NDIS_STATUS_SUCCESS, completeFlags);
        return;
    }
    std::vector<PNET_BUFFER_LIST> sent;
    std::copy_if(lists.begin(), lists.end(), std::back_inserter(sent),
        [&](PNET_BUFFER_LIST list) { return std::find(failed.begin(), failed.end(), list) == failed.end(); });
    MiniportComplete(adapter, sent, NDIS_STATUS_SUCCESS, completeFlags);
    MiniportComplete(adapter, failed, NDIS_STATUS_FAILURE, completeFlags);
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

}  // namespace

size_t CompleteHeldSends(Adapter::State& adapter, bool ownSends)
{
    NdisGuard guard(Ndis().lock);
    std::vector<PNET_BUFFER_LIST> batch;
    for (auto it = adapter.heldSends.begin(); it != adapter.heldSends.end();) {
        const ListRecord* rec = Find(*it);
        if (ownSends || rec == nullptr || rec->origin != ListOrigin::Pool) {
            batch.push_back(*it);
            it = adapter.heldSends.erase(it);
        } else {
            ++it;
        }
    }
    guard.unlock();
    MiniportComplete(adapter, batch, NDIS_STATUS_SUCCESS, 0);
    return batch.size();
}

size_t OwnSendsOutstanding(Adapter::State& adapter)
{
    size_t n = 0;
    for (PNET_BUFFER_LIST list : Ndis().lists.Lists()) {
        const ListRecord& rec = *Find(list);
        n += rec.adapter == &adapter && rec.origin == ListOrigin::Pool && rec.place == ListPlace::Miniport;
    }
    return n;
}

// ---------------------------------------------------------------------------------------------
// Send and send completion.
void Adapter::SetSendObserver(std::function<void()> observer)
{
    NdisGuard guard(Ndis().lock);
    state_->sendObserver = std::move(observer);
}

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

void Adapter::SetMiniportTransmit(std::function<bool(PNET_BUFFER)> transmit)
{
    NdisGuard guard(Ndis().lock);
    state_->miniportTransmit = std::move(transmit);
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
    if (module->state != ModuleState::Running && module->state != ModuleState::Pausing) {
        // A paused module has completed its pause: nothing it sends can be waited for any more.
        ReportViolation(Rule::NdisContract, "NdisFSendNetBufferLists by a %s filter module; the lists stay with the "
                                            "filter", ModuleStateName(module->state));
        return;
    }
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
