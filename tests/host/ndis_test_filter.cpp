// The test filter's handlers: a pass-through filter with a receive classifier, own sends and
// cloned OID requests, driven by the host NDIS tests. Host tests only.
#include "tests/host/ndis_test_filter.h"

#include <cstring>

namespace ndistest {

TestFilter g_filter;

namespace {

std::u16string Copy(const NDIS_STRING* s) { return s ? std::u16string(s->Buffer, s->Length / 2) : std::u16string(); }

TestModule& M(NDIS_HANDLE context) { return *static_cast<TestModule*>(context); }

NDIS_STATUS SetOptions(NDIS_HANDLE driverHandle, NDIS_HANDLE context)
{
    g_filter.events.push_back("setoptions");
    g_filter.driverHandle = driverHandle;
    return context == g_filter.driverObject ? NDIS_STATUS_SUCCESS : NDIS_STATUS_INVALID_PARAMETER;
}

NDIS_STATUS Attach(NDIS_HANDLE filterHandle, NDIS_HANDLE, PNDIS_FILTER_ATTACH_PARAMETERS p)
{
    std::u16string name = Copy(p->BaseMiniportInstanceName);
    g_filter.events.push_back("attach " + Narrow(name) + " irql " + std::to_string(KeGetCurrentIrql()));
    if (g_filter.attachStatus != NDIS_STATUS_SUCCESS) {
        return g_filter.attachStatus;
    }
    auto* module = new TestModule;
    module->filterHandle = filterHandle;
    module->friendlyName = name;
    module->deviceName = Copy(p->BaseMiniportName);
    module->moduleName = Copy(p->FilterModuleGuidName);
    module->medium = p->MiniportMediaType;
    module->mac.assign(p->CurrentMacAddress, p->CurrentMacAddress + p->MacAddressLength);
    module->attachMtu = p->MtuSize;
    module->attachLookahead = p->LookaheadSize;

    NET_BUFFER_LIST_POOL_PARAMETERS pool{};
    pool.Header = {NDIS_OBJECT_TYPE_DEFAULT, NET_BUFFER_LIST_POOL_PARAMETERS_REVISION_1,
        NDIS_SIZEOF_NET_BUFFER_LIST_POOL_PARAMETERS_REVISION_1};
    pool.fAllocateNetBuffer = TRUE;
    pool.PoolTag = TEST_TAG;
    module->pool = NdisAllocateNetBufferListPool(filterHandle, &pool);
    if (module->pool == nullptr) {
        delete module;
        return NDIS_STATUS_RESOURCES;
    }
    if (g_filter.setAttributes) {
        NDIS_FILTER_ATTRIBUTES attributes{};
        attributes.Header = {NDIS_OBJECT_TYPE_FILTER_ATTRIBUTES, NDIS_FILTER_ATTRIBUTES_REVISION_1,
            NDIS_SIZEOF_FILTER_ATTRIBUTES_REVISION_1};
        NDIS_STATUS status = NdisFSetAttributes(filterHandle, module, &attributes);
        if (status != NDIS_STATUS_SUCCESS) {
            NdisFreeNetBufferListPool(module->pool);
            delete module;
            return status;
        }
    }
    g_filter.modules.push_back(module);
    return NDIS_STATUS_SUCCESS;
}

void Detach(NDIS_HANDLE context)
{
    TestModule& module = M(context);
    g_filter.events.push_back("detach " + Narrow(module.friendlyName));
    NdisFreeNetBufferListPool(module.pool);
    std::erase(g_filter.modules, &module);
    delete &module;
}

NDIS_STATUS Restart(NDIS_HANDLE context, PNDIS_FILTER_RESTART_PARAMETERS p)
{
    TestModule& module = M(context);
    g_filter.events.push_back("restart " + Narrow(module.friendlyName));
    if (p->RestartAttributes != nullptr) {
        module.restartOid = p->RestartAttributes->Oid;
        module.restartHadNext = p->RestartAttributes->Next != nullptr;
        auto* general = reinterpret_cast<NDIS_RESTART_GENERAL_ATTRIBUTES*>(p->RestartAttributes->Data);
        module.restartLookahead = general->LookaheadSize;
        if (g_filter.lookaheadToSet != 0) {
            general->LookaheadSize = g_filter.lookaheadToSet;
        }
    }
    return NDIS_STATUS_SUCCESS;
}

NDIS_STATUS Pause(NDIS_HANDLE context, PNDIS_FILTER_PAUSE_PARAMETERS)
{
    g_filter.events.push_back("pause " + Narrow(M(context).friendlyName));
    return NDIS_STATUS_SUCCESS;
}

void Send(NDIS_HANDLE context, PNET_BUFFER_LIST lists, NDIS_PORT_NUMBER port, ULONG flags)
{
    NdisFSendNetBufferLists(M(context).filterHandle, lists, port, flags);
}

void FreeOwn(PNET_BUFFER_LIST list)
{
    PMDL mdl = list->FirstNetBuffer->MdlChain;
    PVOID buffer = mdl->MappedSystemVa;
    ULONG length = mdl->ByteCount;
    NdisFreeMdl(mdl);
    NdisFreeMemory(buffer, length, 0);
    NdisFreeNetBufferList(list);
}

void SendComplete(NDIS_HANDLE context, PNET_BUFFER_LIST lists, ULONG flags)
{
    TestModule& module = M(context);
    while (lists != nullptr) {
        PNET_BUFFER_LIST list = lists;
        lists = lists->Next;
        list->Next = nullptr;
        if (list->SourceHandle == module.filterHandle) {
            FreeOwn(list);
            ++g_filter.ownCompletions;
        } else {
            NdisFSendNetBufferListsComplete(module.filterHandle, list, flags);
        }
    }
}

void CancelSend(NDIS_HANDLE context, PVOID cancelId) { NdisFCancelSendNetBufferLists(M(context).filterHandle, cancelId); }

bool Consumed(PNET_BUFFER_LIST list)
{
    std::vector<uint8_t> bytes = host::NetBufferBytes(list->FirstNetBuffer);
    return !bytes.empty() && bytes[0] == CONSUME_MARK;
}

void Receive(NDIS_HANDLE context, PNET_BUFFER_LIST lists, NDIS_PORT_NUMBER port, ULONG count, ULONG flags)
{
    TestModule& module = M(context);
    module.receiveIrql = KeGetCurrentIrql();
    const ULONG returnFlags = flags & NDIS_RETURN_FLAGS_DISPATCH_LEVEL;
    if (flags & NDIS_RECEIVE_FLAGS_RESOURCES) {
        for (PNET_BUFFER_LIST list = lists; list != nullptr;) {
            PNET_BUFFER_LIST next = list->Next;
            list->Next = nullptr;
            if (!Consumed(list)) {
                NdisFIndicateReceiveNetBufferLists(module.filterHandle, list, port, 1, flags);
            }
            if (g_filter.receiveMode != ReceiveMode::Drop) {   // Drop here means: links left cut
                list->Next = next;
            }
            list = next;
        }
        return;
    }
    switch (g_filter.receiveMode) {
    case ReceiveMode::ReturnTwice:
        NdisFReturnNetBufferLists(module.filterHandle, lists, returnFlags);
        NdisFReturnNetBufferLists(module.filterHandle, lists, returnFlags);
        return;
    case ReceiveMode::ChangeLength:
        lists->FirstNetBuffer->DataLength -= 1;
        NdisFReturnNetBufferLists(module.filterHandle, lists, returnFlags);
        return;
    case ReceiveMode::Drop:
        return;
    case ReceiveMode::WrongCount:
        NdisFIndicateReceiveNetBufferLists(module.filterHandle, lists, port, count + 1, flags);
        return;
    case ReceiveMode::Classify:
        break;
    }
    PNET_BUFFER_LIST passHead = nullptr, *passTail = &passHead;
    PNET_BUFFER_LIST keepHead = nullptr, *keepTail = &keepHead;
    ULONG passCount = 0;
    for (PNET_BUFFER_LIST list = lists; list != nullptr;) {
        PNET_BUFFER_LIST next = list->Next;
        list->Next = nullptr;
        if (Consumed(list)) {
            *keepTail = list;
            keepTail = &list->Next;
        } else {
            *passTail = list;
            passTail = &list->Next;
            ++passCount;
        }
        list = next;
    }
    if (passHead != nullptr) {
        NdisFIndicateReceiveNetBufferLists(module.filterHandle, passHead, port, passCount, flags);
    }
    if (keepHead != nullptr) {
        NdisFReturnNetBufferLists(module.filterHandle, keepHead, returnFlags);
    }
}

void Return(NDIS_HANDLE context, PNET_BUFFER_LIST lists, ULONG flags)
{
    TestModule& module = M(context);
    PNET_BUFFER_LIST foreignHead = nullptr, *foreignTail = &foreignHead;
    for (PNET_BUFFER_LIST list = lists; list != nullptr;) {
        PNET_BUFFER_LIST next = list->Next;
        list->Next = nullptr;
        if (list->NdisPoolHandle == module.pool) {
            FreeOwn(list);
        } else {
            *foreignTail = list;
            foreignTail = &list->Next;
        }
        list = next;
    }
    if (foreignHead != nullptr) {
        NdisFReturnNetBufferLists(module.filterHandle, foreignHead, flags);
    }
}

NDIS_STATUS OidRequest(NDIS_HANDLE context, PNDIS_OID_REQUEST request);

void OidRequestComplete(NDIS_HANDLE context, PNDIS_OID_REQUEST clone, NDIS_STATUS status)
{
    TestModule& module = M(context);
    PNDIS_OID_REQUEST upper = *reinterpret_cast<PNDIS_OID_REQUEST*>(clone->SourceReserved);
    module.pendingClone = nullptr;
    upper->DATA.QUERY_INFORMATION.BytesWritten = clone->DATA.QUERY_INFORMATION.BytesWritten;
    upper->DATA.QUERY_INFORMATION.BytesNeeded = clone->DATA.QUERY_INFORMATION.BytesNeeded;
    if (g_filter.freeCloneOnComplete) {
        NdisFreeCloneOidRequest(module.filterHandle, clone);
    }
    NdisFOidRequestComplete(module.filterHandle, upper, status);
}

NDIS_STATUS OidRequest(NDIS_HANDLE context, PNDIS_OID_REQUEST request)
{
    TestModule& module = M(context);
    PNDIS_OID_REQUEST clone = nullptr;
    NDIS_STATUS status = NdisAllocateCloneOidRequest(module.filterHandle, request, TEST_TAG, &clone);
    if (status != NDIS_STATUS_SUCCESS) {
        return status;
    }
    *reinterpret_cast<PNDIS_OID_REQUEST*>(clone->SourceReserved) = request;
    module.pendingClone = clone;
    status = NdisFOidRequest(module.filterHandle, clone);
    if (status != NDIS_STATUS_PENDING) {
        OidRequestComplete(context, clone, status);
    }
    return NDIS_STATUS_PENDING;
}

void CancelOid(NDIS_HANDLE context, PVOID requestId) { NdisFCancelOidRequest(M(context).filterHandle, requestId); }

void DevicePnP(NDIS_HANDLE context, PNET_DEVICE_PNP_EVENT event)
{
    NdisFDevicePnPEventNotify(M(context).filterHandle, event);
}

NDIS_STATUS NetPnP(NDIS_HANDLE context, PNET_PNP_EVENT_NOTIFICATION notification)
{
    return NdisFNetPnPEvent(M(context).filterHandle, notification);
}

void Status(NDIS_HANDLE context, PNDIS_STATUS_INDICATION indication)
{
    NdisFIndicateStatus(M(context).filterHandle, indication);
}

WCHAR FRIENDLY[] = u"Test Lightweight Filter";
WCHAR UNIQUE[] = u"{0B6E1E7A-7E0D-4C4A-9E57-5D6B3C2A1F00}";
WCHAR SERVICE[] = u"testfilter";

UNICODE_STRING Name(WCHAR* text)
{
    UNICODE_STRING s{};
    s.Length = static_cast<USHORT>(std::char_traits<char16_t>::length(text) * 2);
    s.MaximumLength = s.Length;
    s.Buffer = text;
    return s;
}

}  // namespace

std::string Narrow(const std::u16string& s)
{
    std::string out;
    for (char16_t c : s) {
        out.push_back(static_cast<char>(c));
    }
    return out;
}

NDIS_FILTER_DRIVER_CHARACTERISTICS TestCharacteristics()
{
    NDIS_FILTER_DRIVER_CHARACTERISTICS c{};
    c.Header = {NDIS_OBJECT_TYPE_FILTER_DRIVER_CHARACTERISTICS, NDIS_FILTER_CHARACTERISTICS_REVISION_2,
        NDIS_SIZEOF_FILTER_DRIVER_CHARACTERISTICS_REVISION_2};
    c.MajorNdisVersion = 6;
    c.MinorNdisVersion = 20;
    c.MajorDriverVersion = 1;
    c.FriendlyName = Name(FRIENDLY);
    c.UniqueName = Name(UNIQUE);
    c.ServiceName = Name(SERVICE);
    c.SetOptionsHandler = SetOptions;
    c.AttachHandler = Attach;
    c.DetachHandler = Detach;
    c.RestartHandler = Restart;
    c.PauseHandler = Pause;
    c.SendNetBufferListsHandler = Send;
    c.SendNetBufferListsCompleteHandler = SendComplete;
    c.CancelSendNetBufferListsHandler = CancelSend;
    c.ReceiveNetBufferListsHandler = Receive;
    c.ReturnNetBufferListsHandler = Return;
    c.OidRequestHandler = OidRequest;
    c.OidRequestCompleteHandler = OidRequestComplete;
    c.CancelOidRequestHandler = CancelOid;
    c.DevicePnPEventNotifyHandler = DevicePnP;
    c.NetPnPEventHandler = NetPnP;
    c.StatusHandler = Status;
    return c;
}

NDIS_STATUS RegisterTestFilter(NDIS_FILTER_DRIVER_CHARACTERISTICS* chars)
{
    NDIS_FILTER_DRIVER_CHARACTERISTICS defaults = TestCharacteristics();
    NDIS_HANDLE handle = nullptr;
    NDIS_STATUS status = NdisFRegisterFilterDriver(g_filter.driverObject, g_filter.driverObject,
        chars != nullptr ? chars : &defaults, &handle);
    if (status == NDIS_STATUS_SUCCESS) {
        g_filter.driverHandle = handle;
    }
    return status;
}

void ResetTestFilter()
{
    PDRIVER_OBJECT driver = g_filter.driverObject;
    g_filter = TestFilter{};
    g_filter.driverObject = driver;
}

bool SendOwnPacket(TestModule& module, uint8_t fill)
{
    auto* buffer = static_cast<uint8_t*>(NdisAllocateMemoryWithTagPriority(module.filterHandle, 80, TEST_TAG,
        LowPoolPriority));
    if (buffer == nullptr) {
        return false;
    }
    std::memset(buffer, fill, 80);
    PMDL mdl = NdisAllocateMdl(module.filterHandle, buffer, 80);
    if (mdl == nullptr) {
        NdisFreeMemory(buffer, 80, 0);
        return false;
    }
    PNET_BUFFER_LIST list = NdisAllocateNetBufferAndNetBufferList(module.pool, 0, 0, mdl, 0, 80);
    if (list == nullptr) {
        NdisFreeMdl(mdl);
        NdisFreeMemory(buffer, 80, 0);
        return false;
    }
    list->SourceHandle = module.filterHandle;
    NdisFSendNetBufferLists(module.filterHandle, list, 0, 0);
    return true;
}

}  // namespace ndistest
