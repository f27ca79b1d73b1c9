// The emulated NDIS's OID requests: the protocol's requests through the filter's request
// handler (or past it) to the miniport, which answers at once or pends them, the filter's own
// requests and their clones, completion back up and cancellation. Host only.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/ndis/ndis_internal.h"
#include "host/verifier/faults.h"

using namespace host;

namespace host {

std::unordered_map<PNDIS_OID_REQUEST, bool>& PendingSource()
{
    static auto* map = new std::unordered_map<PNDIS_OID_REQUEST, bool>;
    return *map;
}

namespace {

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

}  // namespace

// ---------------------------------------------------------------------------------------------
// OID requests.
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
