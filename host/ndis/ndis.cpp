// The emulated NDIS, control plane: filter registration, filter modules (attach, restart, pause,
// detach), adapters, the control device, and the machine-wide reset. Host only.
#include "host/ndis/ndis.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include "host/ndis/ndis_internal.h"
#include "host/verifier/faults.h"

using namespace host;

#include "host/io/io.h"

namespace host {

NdisState& Ndis()
{
    static NdisState* state = new NdisState;   // outlives every static destructor
    return *state;
}

const char* ModuleStateName(ModuleState state)
{
    switch (state) {
    case ModuleState::None: return "none";
    case ModuleState::Attaching: return "attaching";
    case ModuleState::Paused: return "paused";
    case ModuleState::Restarting: return "restarting";
    case ModuleState::Running: return "running";
    case ModuleState::Pausing: return "pausing";
    case ModuleState::Detaching: return "detaching";
    }
    return "?";
}

namespace {

std::u16string FromUnicode(const UNICODE_STRING& s)
{
    if (s.Buffer == nullptr) {
        return {};
    }
    return std::u16string(s.Buffer, s.Length / sizeof(WCHAR));
}

UNICODE_STRING ToUnicode(std::u16string& s)
{
    UNICODE_STRING u{};
    u.Length = static_cast<USHORT>(s.size() * sizeof(WCHAR));
    u.MaximumLength = u.Length;
    u.Buffer = s.data();
    return u;
}

std::string Narrow(const std::u16string& s)
{
    std::string out;
    for (char16_t c : s) {
        out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    return out;
}

}  // namespace

void RunHandler(KIRQL irql, const char* name, const std::function<void()>& call)
{
    KIRQL current = KeGetCurrentIrql();
    CallHandlerAt(std::max(irql, current), name, call);
}

const NDIS_FILTER_DRIVER_CHARACTERISTICS* Characteristics()
{
    NdisState& ndis = Ndis();
    return ndis.driver ? &ndis.driver->characteristics : nullptr;
}

FilterModule* ModuleFromHandle(NDIS_HANDLE handle, const char* routine)
{
    auto* module = static_cast<FilterModule*>(handle);
    if (handle == nullptr || Ndis().modules.count(module) == 0) {
        ReportViolation(Rule::NdisContract, "%s: %p is not the handle of an attached filter module", routine, handle);
        return nullptr;
    }
    return module;
}

// ---------------------------------------------------------------------------------------------
// Filter modules.
namespace {

constexpr NDIS_OID OID_TCP_OFFLOAD_CURRENT_CONFIG = 0xFC01020B;
constexpr ULONG OFFLOAD_ATTRIBUTES_DATA_LENGTH = 64;   // its contents are not emulated: zeros

// Restarts a paused module with the miniport's general attributes and records what the filter
// leaves in them as the lookahead the protocols above see.
void RestartModule(Adapter::State& adapter)
{
    NdisGuard guard(Ndis().lock);
    FilterModule* module = adapter.module.get();
    const NDIS_FILTER_DRIVER_CHARACTERISTICS* chars = Characteristics();
    if (module == nullptr || chars == nullptr || module->state != ModuleState::Paused) {
        return;
    }
    // The general attributes come second, behind the current offload configuration's, as a
    // miniport with offloads has them: a filter finds them by their OID.
    constexpr size_t dataOffset = offsetof(NDIS_RESTART_ATTRIBUTES, Data);
    constexpr size_t offloadBytes = dataOffset + OFFLOAD_ATTRIBUTES_DATA_LENGTH;
    std::vector<uint64_t> storage((offloadBytes + dataOffset + sizeof(NDIS_RESTART_GENERAL_ATTRIBUTES) + 7) / 8, 0);
    auto* offload = reinterpret_cast<NDIS_RESTART_ATTRIBUTES*>(storage.data());
    auto* attributes = reinterpret_cast<NDIS_RESTART_ATTRIBUTES*>(reinterpret_cast<uint8_t*>(offload) + offloadBytes);
    offload->Next = attributes;
    offload->Oid = OID_TCP_OFFLOAD_CURRENT_CONFIG;
    offload->DataLength = OFFLOAD_ATTRIBUTES_DATA_LENGTH;
    attributes->Next = nullptr;
    attributes->Oid = OID_GEN_MINIPORT_RESTART_ATTRIBUTES;
    attributes->DataLength = sizeof(NDIS_RESTART_GENERAL_ATTRIBUTES);
    auto* general = reinterpret_cast<NDIS_RESTART_GENERAL_ATTRIBUTES*>(reinterpret_cast<uint8_t*>(attributes) + dataOffset);
    general->Header = {NDIS_OBJECT_TYPE_RESTART_GENERAL_ATTRIBUTES, 1, sizeof(NDIS_RESTART_GENERAL_ATTRIBUTES)};
    general->MtuSize = adapter.config.mtu;
    general->MaxXmitLinkSpeed = 1'000'000'000;
    general->MaxRcvLinkSpeed = 1'000'000'000;
    general->LookaheadSize = adapter.config.lookahead;
    general->MacOptions = 0;
    general->SupportedPacketFilters = 0x1F;
    general->MaxMulticastListSize = 32;

    NDIS_FILTER_RESTART_PARAMETERS parameters{};
    parameters.Header = {NDIS_OBJECT_TYPE_FILTER_RESTART_PARAMETERS, 1, sizeof(NDIS_FILTER_RESTART_PARAMETERS)};
    parameters.MiniportMediaType = adapter.config.medium;
    parameters.RestartAttributes = offload;

    module->state = ModuleState::Restarting;
    FILTER_RESTART_HANDLER restart = chars->RestartHandler;
    NDIS_HANDLE context = module->context;
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    guard.unlock();
    RunHandler(PASSIVE_LEVEL, "FilterRestart", [&] { status = restart(context, &parameters); });
    guard.lock();
    if (status == NDIS_STATUS_PENDING) {
        ReportViolation(Rule::NdisContract, "the restart handler of module %p pended; this NDIS offers no "
                                            "NdisFRestartComplete", static_cast<void*>(module));
        status = NDIS_STATUS_FAILURE;
    }
    if (status == NDIS_STATUS_SUCCESS) {
        module->state = ModuleState::Running;
        adapter.lookaheadAbove = general->LookaheadSize;
    } else {
        module->state = ModuleState::Paused;
    }
}

void AttachModule(Adapter::State& adapter)
{
    NdisGuard guard(Ndis().lock);
    NdisState& ndis = Ndis();
    if (!ndis.driver || adapter.module) {
        return;
    }
    auto owned = std::make_unique<FilterModule>();
    FilterModule* module = owned.get();
    module->adapter = &adapter;
    module->guidName = adapter.guid + u"-" + ndis.driver->uniqueName + u"-0000";
    adapter.moduleNameString = ToUnicode(module->guidName);
    adapter.moduleNameBytes = adapter.moduleNameString.Length;
    adapter.module = std::move(owned);
    ndis.modules.insert(module);

    NDIS_FILTER_ATTACH_PARAMETERS parameters{};
    parameters.Header = {NDIS_OBJECT_TYPE_FILTER_ATTACH_PARAMETERS, 1, sizeof(NDIS_FILTER_ATTACH_PARAMETERS)};
    parameters.IfIndex = adapter.ifIndex;
    parameters.BaseMiniportIfIndex = adapter.ifIndex;
    parameters.MiniportMediaType = adapter.config.medium;
    parameters.BaseMiniportInstanceName = &adapter.friendlyNameString;
    parameters.BaseMiniportName = &adapter.deviceNameString;
    parameters.FilterModuleGuidName = &adapter.moduleNameString;
    parameters.MacAddressLength = 6;
    std::memcpy(parameters.CurrentMacAddress, adapter.config.mac.data(), 6);
    parameters.MtuSize = adapter.config.mtu;
    parameters.LookaheadSize = adapter.config.lookahead;

    FILTER_ATTACH_HANDLER attach = ndis.driver->characteristics.AttachHandler;
    NDIS_HANDLE driverContext = ndis.driver->context;
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    guard.unlock();
    RunHandler(PASSIVE_LEVEL, "FilterAttach", [&] { status = attach(module, driverContext, &parameters); });
    guard.lock();
    adapter.lastAttachStatus = status;

    if (status == NDIS_STATUS_SUCCESS && !module->attributesSet) {
        ReportViolation(Rule::NdisContract, "the attach handler of the module over adapter %s returned success "
                                            "without calling NdisFSetAttributes",
            Narrow(adapter.config.friendlyName).c_str());
        status = NDIS_STATUS_FAILURE;
    }
    if (status == NDIS_STATUS_PENDING) {
        ReportViolation(Rule::NdisContract, "the attach handler pended; attach must complete synchronously here");
        status = NDIS_STATUS_FAILURE;
    }
    if (status != NDIS_STATUS_SUCCESS) {
        ndis.modules.erase(module);
        adapter.module.reset();
        return;
    }
    module->state = ModuleState::Paused;
    guard.unlock();
    RestartModule(adapter);
}

// How long a miniport that holds sends takes to complete the filter's own ones once a pause has
// begun: long enough that a pause handler that does not wait for them returns first.
constexpr auto OWN_SEND_COMPLETION_DELAY = std::chrono::milliseconds(20);

// Pauses a running module, after the protocol above has returned what it holds and its sends
// are complete and the miniport has failed the requests it holds, as NDIS pauses a stack. The
// filter's own sends are still out when its pause handler runs; the miniport completes them
// later, and the pause must not complete before they are back.
void PauseModule(Adapter::State& adapter, ULONG pauseReason)
{
    DrainAdapter(adapter, false);
    NdisGuard guard(Ndis().lock);
    NdisState& ndis = Ndis();
    FilterModule* module = adapter.module.get();
    if (module == nullptr || !ndis.driver || module->state != ModuleState::Running) {
        return;
    }
    module->state = ModuleState::Pausing;
    NDIS_FILTER_PAUSE_PARAMETERS parameters{};
    parameters.Header = {NDIS_OBJECT_TYPE_FILTER_PAUSE_PARAMETERS, 1, sizeof(NDIS_FILTER_PAUSE_PARAMETERS)};
    parameters.Flags = 0;
    parameters.PauseReason = pauseReason;
    FILTER_PAUSE_HANDLER pause = ndis.driver->characteristics.PauseHandler;
    NDIS_HANDLE context = module->context;
    NDIS_STATUS status = NDIS_STATUS_FAILURE;
    const bool holds = adapter.miniportSends == MiniportSends::Hold;
    guard.unlock();

    std::mutex pauseMutex;
    std::condition_variable pauseEnded;
    bool returned = false;
    std::thread miniport;
    if (holds) {
        miniport = std::thread([&] {
            std::unique_lock<std::mutex> wait(pauseMutex);
            pauseEnded.wait_for(wait, OWN_SEND_COMPLETION_DELAY, [&] { return returned; });
            wait.unlock();
            CompleteHeldSends(adapter, true);
        });
    }
    RunHandler(PASSIVE_LEVEL, "FilterPause", [&] { status = pause(context, &parameters); });
    guard.lock();
    if (status != NDIS_STATUS_SUCCESS) {
        ReportViolation(Rule::NdisContract, "the pause handler of module %p returned 0x%08X; a pause must "
                                            "succeed (and cannot pend here)",
            static_cast<void*>(module), static_cast<unsigned>(status));
    }
    if (size_t out = OwnSendsOutstanding(adapter)) {
        ReportViolation(Rule::NdisContract, "the pause handler of module %p returned with %zu of the filter's own "
                                            "sends still at the miniport; a pause completes only after they are "
                                            "back", static_cast<void*>(module), out);
    }
    module->state = ModuleState::Paused;
    guard.unlock();
    if (holds) {
        {
            std::lock_guard<std::mutex> end(pauseMutex);
            returned = true;
        }
        pauseEnded.notify_one();
        miniport.join();
    }
}

// Pauses and detaches the adapter's module, the way NDIS takes a filter out of a running stack.
void DetachModule(Adapter::State& adapter, ULONG pauseReason)
{
    PauseModule(adapter, pauseReason);
    NdisGuard guard(Ndis().lock);
    NdisState& ndis = Ndis();
    FilterModule* module = adapter.module.get();
    if (module == nullptr || !ndis.driver) {
        return;
    }
    const NDIS_FILTER_DRIVER_CHARACTERISTICS& chars = ndis.driver->characteristics;
    NDIS_HANDLE context = module->context;
    module->state = ModuleState::Detaching;
    FILTER_DETACH_HANDLER detach = chars.DetachHandler;
    std::function<void()> observer = ndis.detachObserver;
    guard.unlock();
    AwaitReceivesThroughFilter(adapter);
    if (observer) {
        observer();
    }
    RunHandler(PASSIVE_LEVEL, "FilterDetach", [&] { detach(context); });
    guard.lock();

    ndis.modules.erase(module);
    adapter.module.reset();
    adapter.lookaheadAbove = adapter.config.lookahead;
    CheckAdapterLeftovers(adapter, "after the filter module detached", true);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Filter registration.
}  // namespace host

NDIS_STATUS NdisFRegisterFilterDriver(PDRIVER_OBJECT driverObject, NDIS_HANDLE filterDriverContext,
    NDIS_FILTER_DRIVER_CHARACTERISTICS* chars, PNDIS_HANDLE ndisFilterDriverHandle)
{
    RequireNoSpinLockHeld("NdisFRegisterFilterDriver");
    RequireIrqlAtMost(PASSIVE_LEVEL, "NdisFRegisterFilterDriver");
    if (ndisFilterDriverHandle != nullptr) {
        *ndisFilterDriverHandle = nullptr;
    }
    if (chars == nullptr || ndisFilterDriverHandle == nullptr) {
        return NDIS_STATUS_INVALID_PARAMETER;
    }

    // The characteristics, as NDIS checks them.
    if (chars->Header.Type != NDIS_OBJECT_TYPE_FILTER_DRIVER_CHARACTERISTICS) {
        return NDIS_STATUS_BAD_CHARACTERISTICS;
    }
    USHORT needed = 0;
    if (chars->Header.Revision == 1) {
        needed = FILTER_CHARACTERISTICS_SIZE_REVISION_1;
    } else if (chars->Header.Revision == NDIS_FILTER_CHARACTERISTICS_REVISION_2) {
        needed = NDIS_SIZEOF_FILTER_DRIVER_CHARACTERISTICS_REVISION_2;
    } else {
        return NDIS_STATUS_BAD_CHARACTERISTICS;
    }
    if (chars->Header.Size < needed) {
        return NDIS_STATUS_BAD_CHARACTERISTICS;
    }
    const UCHAR minor = chars->MinorNdisVersion;
    if (chars->MajorNdisVersion != 6 || (minor != 0 && minor != 1 && minor != 20 && minor != 30)) {
        return NDIS_STATUS_BAD_VERSION;
    }
    if (chars->Header.Revision == NDIS_FILTER_CHARACTERISTICS_REVISION_2 && minor == 0) {
        return NDIS_STATUS_BAD_VERSION;   // revision 2 came with NDIS 6.1
    }
    if (chars->AttachHandler == nullptr || chars->DetachHandler == nullptr || chars->RestartHandler == nullptr ||
        chars->PauseHandler == nullptr) {
        return NDIS_STATUS_BAD_CHARACTERISTICS;
    }
    auto emptyName = [](const UNICODE_STRING& s) { return s.Buffer == nullptr || s.Length == 0; };
    if (emptyName(chars->FriendlyName) || emptyName(chars->UniqueName) || emptyName(chars->ServiceName)) {
        return NDIS_STATUS_BAD_CHARACTERISTICS;
    }

    NdisGuard guard(Ndis().lock);
    NdisState& ndis = Ndis();
    if (ndis.driver) {
        return NDIS_STATUS_FAILURE;   // one filter driver per machine
    }
    int32_t failure = 0;
    if (ShouldFail(Fault::FilterRegistration, &failure)) {
        return failure != 0 ? failure : NDIS_STATUS_RESOURCES;
    }

    // NDIS keeps its own copy: the driver may free the one it passed.
    auto driver = std::make_unique<FilterDriver>();
    driver->driverObject = driverObject;
    driver->context = filterDriverContext;
    std::memcpy(&driver->characteristics, chars, needed);
    driver->friendlyName = FromUnicode(chars->FriendlyName);
    driver->uniqueName = FromUnicode(chars->UniqueName);
    driver->serviceName = FromUnicode(chars->ServiceName);
    driver->characteristics.FriendlyName = ToUnicode(driver->friendlyName);
    driver->characteristics.UniqueName = ToUnicode(driver->uniqueName);
    driver->characteristics.ServiceName = ToUnicode(driver->serviceName);
    FilterDriver* handle = driver.get();
    ndis.driver = std::move(driver);
    *ndisFilterDriverHandle = handle;

    if (SET_OPTIONS_HANDLER setOptions = handle->characteristics.SetOptionsHandler) {
        NDIS_STATUS status = NDIS_STATUS_FAILURE;
        guard.unlock();
        RunHandler(PASSIVE_LEVEL, "FilterSetOptions", [&] { status = setOptions(handle, filterDriverContext); });
        guard.lock();
        if (status != NDIS_STATUS_SUCCESS) {
            ndis.driver.reset();
            *ndisFilterDriverHandle = nullptr;
            return status;
        }
    }

    // Every adapter present gets a module.
    std::vector<Adapter::State*> adapters;
    for (auto& a : ndis.adapters) {
        adapters.push_back(&a->Internal());
    }
    guard.unlock();
    for (Adapter::State* a : adapters) {
        AttachModule(*a);
    }
    return NDIS_STATUS_SUCCESS;
}

VOID NdisFDeregisterFilterDriver(NDIS_HANDLE ndisFilterDriverHandle)
{
    RequireNoSpinLockHeld("NdisFDeregisterFilterDriver");
    RequireIrqlAtMost(PASSIVE_LEVEL, "NdisFDeregisterFilterDriver");
    NdisGuard guard(Ndis().lock);
    NdisState& ndis = Ndis();
    if (!ndis.driver || ndisFilterDriverHandle != ndis.driver.get()) {
        ReportViolation(Rule::NdisContract, "NdisFDeregisterFilterDriver: %p is not a registered filter driver",
            ndisFilterDriverHandle);
        return;
    }
    std::vector<Adapter::State*> attached;
    for (auto& a : ndis.adapters) {
        if (a->Internal().module) {
            attached.push_back(&a->Internal());
        }
    }
    guard.unlock();
    for (Adapter::State* a : attached) {
        DetachModule(*a, NDIS_PAUSE_DETACH_FILTER);
    }
    guard.lock();
    ndis.driver.reset();
}

NDIS_STATUS NdisFSetAttributes(NDIS_HANDLE ndisFilterHandle, NDIS_HANDLE filterModuleContext,
    PNDIS_FILTER_ATTRIBUTES filterAttributes)
{
    RequireNoSpinLockHeld("NdisFSetAttributes");
    RequireIrqlAtMost(PASSIVE_LEVEL, "NdisFSetAttributes");
    NdisGuard guard(Ndis().lock);
    FilterModule* module = ModuleFromHandle(ndisFilterHandle, "NdisFSetAttributes");
    if (module == nullptr) {
        return NDIS_STATUS_INVALID_PARAMETER;
    }
    if (module->state != ModuleState::Attaching) {
        ReportViolation(Rule::NdisContract, "NdisFSetAttributes outside the attach handler (module %s)",
            ModuleStateName(module->state));
        return NDIS_STATUS_FAILURE;
    }
    if (filterAttributes == nullptr || filterAttributes->Header.Type != NDIS_OBJECT_TYPE_FILTER_ATTRIBUTES ||
        filterAttributes->Header.Revision != NDIS_FILTER_ATTRIBUTES_REVISION_1 ||
        filterAttributes->Header.Size != NDIS_SIZEOF_FILTER_ATTRIBUTES_REVISION_1) {
        ReportViolation(Rule::NdisContract, "NdisFSetAttributes: bad filter attributes header");
        return NDIS_STATUS_INVALID_PARAMETER;
    }
    int32_t failure = 0;
    if (ShouldFail(Fault::SetAttributes, &failure)) {
        return failure != 0 ? failure : NDIS_STATUS_RESOURCES;
    }
    module->context = filterModuleContext;
    module->attributesSet = true;
    return NDIS_STATUS_SUCCESS;
}

namespace host {

// ---------------------------------------------------------------------------------------------
// Adapters.
Adapter::Adapter(const AdapterConfig& config) : state_(std::make_unique<State>())
{
    state_->self = this;
    state_->config = config;
    state_->lookaheadAbove = config.lookahead;
}

Adapter::~Adapter() = default;

const AdapterConfig& Adapter::Config() const { return state_->config; }

bool Adapter::HasFilterModule() const
{
    NdisGuard guard(Ndis().lock);
    return state_->module != nullptr && state_->module->state != ModuleState::Attaching;
}

ModuleState Adapter::ModuleStateNow() const
{
    NdisGuard guard(Ndis().lock);
    return state_->module ? state_->module->state : ModuleState::None;
}

NDIS_HANDLE Adapter::ModuleContext() const
{
    NdisGuard guard(Ndis().lock);
    return state_->module ? state_->module->context : nullptr;
}

NDIS_HANDLE Adapter::FilterModuleHandle() const
{
    NdisGuard guard(Ndis().lock);
    return state_->module.get();
}

ULONG Adapter::LookaheadVisibleAbove() const
{
    NdisGuard guard(Ndis().lock);
    return state_->lookaheadAbove;
}

NDIS_STATUS Adapter::LastAttachStatus() const
{
    NdisGuard guard(Ndis().lock);
    return state_->lastAttachStatus;
}

size_t Adapter::FilterModuleNameBytes() const
{
    NdisGuard guard(Ndis().lock);
    if (state_->moduleNameBytes != 0 || !Ndis().driver) {
        return state_->moduleNameBytes;
    }
    return (state_->guid.size() + 1 + Ndis().driver->uniqueName.size() + 5) * sizeof(WCHAR);
}

void Adapter::Pause() { PauseModule(*state_, NDIS_PAUSE_FILTER_RESTART_STACK); }

void Adapter::Restart() { RestartModule(*state_); }

Adapter& AddAdapter(const AdapterConfig& config)
{
    NdisGuard guard(Ndis().lock);
    NdisState& ndis = Ndis();
    auto adapter = std::make_unique<Adapter>(config);
    Adapter::State& s = adapter->Internal();
    s.ifIndex = ndis.nextIfIndex++;
    if (s.config.friendlyName.empty()) {
        std::string name = "Simulated Ethernet Adapter #" + std::to_string(s.ifIndex);
        s.config.friendlyName.assign(name.begin(), name.end());
    }
    if (s.config.deviceName.empty()) {
        char guid[64];
        std::snprintf(guid, sizeof guid, "\\DEVICE\\{6E2F1B0C-4A5D-4C3B-9E21-%012X}", static_cast<unsigned>(s.ifIndex));
        std::string name = guid;
        s.config.deviceName.assign(name.begin(), name.end());
    }
    size_t brace = s.config.deviceName.rfind(u'\\');
    s.guid = brace == std::u16string::npos ? s.config.deviceName : s.config.deviceName.substr(brace + 1);
    s.friendlyNameString = ToUnicode(s.config.friendlyName);
    s.deviceNameString = ToUnicode(s.config.deviceName);
    Adapter& result = *adapter;
    ndis.adapters.push_back(std::move(adapter));
    bool registered = ndis.driver != nullptr;
    guard.unlock();
    if (registered) {
        AttachModule(s);
    }
    return result;
}

void RemoveAdapter(Adapter& adapter)
{
    Adapter::State& s = adapter.Internal();
    DetachModule(s, NDIS_PAUSE_MINIPORT_DEVICE_REMOVE);
    NdisGuard guard(Ndis().lock);
    NdisState& ndis = Ndis();
    DrainAdapter(s, true);
    CheckAdapterLeftovers(s, "at adapter removal", false);
    ForgetAdapterLists(s);
    auto it = std::find_if(ndis.adapters.begin(), ndis.adapters.end(),
        [&](const std::unique_ptr<Adapter>& a) { return a.get() == &adapter; });
    if (it != ndis.adapters.end()) {
        ndis.adapters.erase(it);
    }
}

std::vector<Adapter*> Adapters()
{
    NdisGuard guard(Ndis().lock);
    std::vector<Adapter*> out;
    for (auto& a : Ndis().adapters) {
        out.push_back(a.get());
    }
    return out;
}

void SetDetachObserver(std::function<void()> observer)
{
    NdisGuard guard(Ndis().lock);
    Ndis().detachObserver = std::move(observer);
}

bool IsFilterRegistered()
{
    NdisGuard guard(Ndis().lock);
    return Ndis().driver != nullptr;
}

NDIS_HANDLE FilterDriverHandle()
{
    NdisGuard guard(Ndis().lock);
    return Ndis().driver.get();
}

// ---------------------------------------------------------------------------------------------
// Control device.
}  // namespace host

NDIS_STATUS NdisRegisterDeviceEx(NDIS_HANDLE ndisObjectHandle, PNDIS_DEVICE_OBJECT_ATTRIBUTES attributes,
    PDEVICE_OBJECT* pDeviceObject, PNDIS_HANDLE ndisDeviceHandle)
{
    RequireNoSpinLockHeld("NdisRegisterDeviceEx");
    RequireIrqlAtMost(PASSIVE_LEVEL, "NdisRegisterDeviceEx");
    if (pDeviceObject != nullptr) {
        *pDeviceObject = nullptr;
    }
    if (ndisDeviceHandle != nullptr) {
        *ndisDeviceHandle = nullptr;
    }
    NdisGuard guard(Ndis().lock);
    NdisState& ndis = Ndis();
    if (!ndis.driver || ndisObjectHandle != ndis.driver.get()) {
        ReportViolation(Rule::NdisContract, "NdisRegisterDeviceEx: %p is not a registered filter driver handle",
            ndisObjectHandle);
        return NDIS_STATUS_INVALID_PARAMETER;
    }
    if (attributes == nullptr || pDeviceObject == nullptr || ndisDeviceHandle == nullptr ||
        attributes->Header.Type != NDIS_OBJECT_TYPE_DEVICE_OBJECT_ATTRIBUTES ||
        attributes->Header.Revision != NDIS_DEVICE_OBJECT_ATTRIBUTES_REVISION_1 ||
        attributes->Header.Size != NDIS_SIZEOF_DEVICE_OBJECT_ATTRIBUTES_REVISION_1 || attributes->DeviceName == nullptr) {
        return NDIS_STATUS_INVALID_PARAMETER;
    }
    int32_t failure = 0;
    if (ShouldFail(Fault::DeviceRegistration, &failure)) {
        return failure != 0 ? failure : NDIS_STATUS_RESOURCES;
    }
    PDRIVER_DISPATCH none[IRP_MJ_MAXIMUM_FUNCTION + 1] = {};
    const PDRIVER_DISPATCH* major = attributes->MajorFunctions != nullptr ? attributes->MajorFunctions : none;
    PDRIVER_OBJECT driverObject = ndis.driver->driverObject;
    guard.unlock();

    NTSTATUS status = STATUS_UNSUCCESSFUL;
    PDEVICE_OBJECT device = CreateNamedDevice(driverObject, attributes->DeviceName, major,
        NDIS_DEVICE_EXTENSION_RESERVE + attributes->ExtensionSize, attributes->DefaultSDDLString, &status);
    if (device == nullptr || !NT_SUCCESS(status)) {
        return NT_SUCCESS(status) ? NDIS_STATUS_FAILURE : status;
    }
    auto record = std::make_unique<DeviceRecord>();
    record->device = device;
    if (attributes->SymbolicName != nullptr) {
        record->linkName = FromUnicode(*attributes->SymbolicName);
        status = CreateSymbolicLink(attributes->SymbolicName, attributes->DeviceName);
        if (!NT_SUCCESS(status)) {
            DeleteNamedDevice(device);
            return status;
        }
        record->hasLink = true;
    }
    guard.lock();
    NDIS_HANDLE handle = record.get();
    ndis.devices[handle] = std::move(record);
    *pDeviceObject = device;
    *ndisDeviceHandle = handle;
    return NDIS_STATUS_SUCCESS;
}

VOID NdisDeregisterDeviceEx(NDIS_HANDLE ndisDeviceHandle)
{
    RequireNoSpinLockHeld("NdisDeregisterDeviceEx");
    RequireIrqlAtMost(PASSIVE_LEVEL, "NdisDeregisterDeviceEx");
    NdisGuard guard(Ndis().lock);
    NdisState& ndis = Ndis();
    auto it = ndis.devices.find(ndisDeviceHandle);
    if (it == ndis.devices.end()) {
        ReportViolation(Rule::NdisContract, "NdisDeregisterDeviceEx: %p is not a registered device", ndisDeviceHandle);
        return;
    }
    std::unique_ptr<DeviceRecord> record = std::move(it->second);
    ndis.devices.erase(it);
    guard.unlock();
    if (record->hasLink) {
        UNICODE_STRING link = ToUnicode(record->linkName);
        DeleteSymbolicLink(&link);
    }
    DeleteNamedDevice(record->device);
}

PVOID NdisGetDeviceReservedExtension(PDEVICE_OBJECT deviceObject)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, "NdisGetDeviceReservedExtension");
    NdisGuard guard(Ndis().lock);
    for (auto& [handle, record] : Ndis().devices) {
        if (record->device == deviceObject) {
            return static_cast<uint8_t*>(deviceObject->DeviceExtension) + NDIS_DEVICE_EXTENSION_RESERVE;
        }
    }
    ReportViolation(Rule::NdisContract, "NdisGetDeviceReservedExtension: %p was not registered with "
                                        "NdisRegisterDeviceEx", static_cast<void*>(deviceObject));
    return nullptr;
}

namespace host {

// ---------------------------------------------------------------------------------------------
// Machine-wide reset.
void ResetNdis()
{
    NdisGuard guard(Ndis().lock);
    NdisState& ndis = Ndis();
    if (ndis.driver) {
        ReportViolation(Rule::NdisContract, "the filter driver \"%s\" is still registered when the machine stops",
            Narrow(ndis.driver->friendlyName).c_str());
    }
    while (!ndis.adapters.empty()) {
        Adapter& adapter = *ndis.adapters.back();
        guard.unlock();
        RemoveAdapter(adapter);
        guard.lock();
    }
    ndis.driver.reset();
    ndis.modules.clear();
    // Devices belong to the I/O manager, which reports those left registered; forget ours.
    ndis.devices.clear();
    ndis.detachObserver = nullptr;
    ResetDataPath();
    ndis.nextIfIndex = 1;
}

}  // namespace host
