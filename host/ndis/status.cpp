// The emulated NDIS's status indications and PnP events: the miniport's status and device PnP
// events through the filter (or past it), NDIS's network PnP events, and what the protocol above
// and the miniport below receive of them. Host only.
#include "host/ndis/ndis_internal.h"

using namespace host;

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
