// The emulated NDIS's own records, shared by host/ndis/*.cpp: the registered filter driver, filter
// modules, adapters, NET_BUFFER_LIST bookkeeping, pools, clones and control devices, and the
// steps the data paths share. Host only.
#pragma once

#include <algorithm>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "host/kernel/kernel.h"
#include "host/ndis/ndis.h"
#include "host/verifier/checker.h"
#include "host/verifier/history.h"

namespace host {

// Object header types NDIS stamps on the parameters it builds.
constexpr UCHAR NDIS_OBJECT_TYPE_FILTER_ATTACH_PARAMETERS = 0x99;
constexpr UCHAR NDIS_OBJECT_TYPE_FILTER_PAUSE_PARAMETERS = 0x9A;
constexpr UCHAR NDIS_OBJECT_TYPE_FILTER_RESTART_PARAMETERS = 0x9B;
constexpr UCHAR NDIS_OBJECT_TYPE_RESTART_GENERAL_ATTRIBUTES = 0xA6;
constexpr ULONG NDIS_PAUSE_DETACH_FILTER = 0x00000004;
constexpr ULONG NDIS_PAUSE_FILTER_RESTART_STACK = 0x00000008;
constexpr ULONG NDIS_PAUSE_MINIPORT_DEVICE_REMOVE = 0x00000100;

// Sizes of the characteristics by revision: revision 1 ends with StatusHandler.
constexpr USHORT FILTER_CHARACTERISTICS_SIZE_REVISION_1 =
    static_cast<USHORT>(offsetof(NDIS_FILTER_DRIVER_CHARACTERISTICS, DirectOidRequestHandler));

// Guarded by NdisState::lock.
struct FilterDriver {
    PDRIVER_OBJECT driverObject = nullptr;
    NDIS_HANDLE context = nullptr;
    NDIS_FILTER_DRIVER_CHARACTERISTICS characteristics{};   // NDIS's copy; names point below
    std::u16string friendlyName, uniqueName, serviceName;
};

// One filter module above one adapter. Guarded by NdisState::lock; owned by its Adapter::State.
struct FilterModule {
    Adapter::State* adapter = nullptr;
    ModuleState state = ModuleState::Attaching;
    NDIS_HANDLE context = nullptr;   // set by NdisFSetAttributes during attach
    bool attributesSet = false;
    std::u16string guidName;
};

// Where a NET_BUFFER_LIST came from and who holds it now.
enum class ListOrigin { MiniportReceive, ResourcesReceive, Pool, ProtocolSend };
enum class ListPlace { Filter, Protocol, Miniport };

struct NetBufferSnapshot {
    PNET_BUFFER netBuffer;
    PNET_BUFFER next;
    PMDL mdlChain;
    PMDL currentMdl;
    ULONG currentMdlOffset;
    ULONG dataLength;
    ULONG dataOffset;
};

struct NblPool;

// Guarded by NdisState::lock.
struct ListRecord {
    ListOrigin origin = ListOrigin::MiniportReceive;
    ListPlace place = ListPlace::Filter;
    Adapter::State* adapter = nullptr;   // the adapter it travels on (null for an idle pool list)
    NblPool* pool = nullptr;             // Pool lists only
    std::vector<NetBufferSnapshot> snapshot;   // what the miniport indicated (receive lists)
    PNET_BUFFER firstNetBuffer = nullptr;
    bool throughFilter = false;   // travels through the filter (not bypassed), so comes back through it
};

// Every NET_BUFFER_LIST NDIS knows, by address: open addressing with linear probing over slots
// that are never freed, only swapped, so that a record and its snapshot's storage serve the next
// list without an allocation. The table grows (to twice the most lists ever known at once) and
// never shrinks. The lists of a miniport's receive pool, which lie at fixed strides, have a slot
// each by index instead: no hashing on the path that runs at line rate. Guarded by
// NdisState::lock.
class ListTable {
public:
    ListRecord* Find(PNET_BUFFER_LIST list);
    // A cleared record for `list`, which the table must not hold.
    ListRecord& Insert(PNET_BUFFER_LIST list);
    void Erase(PNET_BUFFER_LIST list);
    // The lists held, in no particular order.
    std::vector<PNET_BUFFER_LIST> Lists() const;
    void Clear();
    // The `count` lists at `first`, `stride` bytes apart, get a slot each from now on; when the
    // pool goes, the records of its lists still out move to the hashed slots.
    void AddPool(const void* first, size_t stride, size_t count);
    void RemovePool(const void* first);

private:
    struct Slot {
        PNET_BUFFER_LIST list = nullptr;   // null: free
        ListRecord record;
    };
    struct PoolSlots {
        uintptr_t first;
        size_t stride;
        std::vector<Slot> slots;
    };
    size_t Home(PNET_BUFFER_LIST list) const;
    size_t IndexOf(PNET_BUFFER_LIST list) const;   // the list's slot, or slots_.size()
    void Grow();
    Slot* PoolSlot(PNET_BUFFER_LIST list);        // null unless `list` is a pool's
    static ListRecord& Reset(Slot& slot, PNET_BUFFER_LIST list);

    std::vector<Slot> slots_;   // a power of two of them, at most half in use
    size_t used_ = 0;
    std::vector<PoolSlots> pools_;
};

// Records of the data path each adapter keeps.
constexpr size_t RECEIVE_HISTORY = 4096;
constexpr size_t SEND_HISTORY = 4096;

// A pool list: the NET_BUFFER_LIST and its one NET_BUFFER, allocated together.
struct PoolList {
    NET_BUFFER_LIST list{};
    NET_BUFFER netBuffer{};
};

// Guarded by NdisState::lock.
struct NblPool {
    NET_BUFFER_LIST_POOL_PARAMETERS parameters{};
    NDIS_HANDLE owner = nullptr;
    std::unordered_set<PoolList*> allocated;
};

struct CloneRecord {
    ULONG tag = 0;
    NDIS_HANDLE source = nullptr;
    Adapter::State* adapter = nullptr;
};

struct DeviceRecord {
    PDEVICE_OBJECT device = nullptr;
    std::u16string linkName;
    bool hasLink = false;
};

// An OID request of the protocol above, from its issue to its completion.
struct UpperOid {
    PNDIS_OID_REQUEST request = nullptr;
    bool handlerReturned = false;   // the filter's request handler has returned
    bool pended = false;            // ... with NDIS_STATUS_PENDING
    bool completed = false;         // NdisFOidRequestComplete was called for it
};

// The NDIS reserved part of a control device's extension, ahead of the driver's part.
constexpr ULONG NDIS_DEVICE_EXTENSION_RESERVE = 16;

struct Adapter::State {
    Adapter* self = nullptr;
    std::function<void()> sendObserver;   // runs in the sender's call, before the miniport takes it
    std::function<void(PNET_BUFFER_LIST)> miniportReturn;   // the miniport's return handler
    std::function<bool(PNET_BUFFER)> miniportTransmit;      // the miniport's transmit
    AdapterConfig config;
    ULONG ifIndex = 0;
    std::u16string guid;   // the "{...}" part of the device name
    UNICODE_STRING friendlyNameString{}, deviceNameString{}, moduleNameString{};
    std::unique_ptr<FilterModule> module;
    ULONG lookaheadAbove = 0;
    NDIS_STATUS lastAttachStatus = NDIS_STATUS_FAILURE;
    size_t moduleNameBytes = 0;

    // The protocol above and the miniport below; guarded by NdisState::lock.
    ProtocolReturns protocolReturns = ProtocolReturns::AfterIndication;
    std::vector<PNET_BUFFER_LIST> heldByProtocol;
    MiniportSends miniportSends = MiniportSends::CompleteAtOnce;
    std::deque<PNET_BUFFER_LIST> heldSends;
    OidAnswer oidAnswer;
    std::vector<PNDIS_OID_REQUEST> oidsPendingBelow;
    std::vector<UpperOid> upperOids;
    NDIS_STATUS protocolNetPnPStatus = NDIS_STATUS_SUCCESS;

    History<IndicationRecord> indicatedAbove{RECEIVE_HISTORY};
    History<ReturnRecord> returnedToMiniport{RECEIVE_HISTORY};
    History<SendRecord> sentToMiniport{SEND_HISTORY};
    History<SendCompletionRecord> sendCompletionsAbove{SEND_HISTORY};
    std::vector<PVOID> sendCancelsBelow;
    std::vector<OidBelowRecord> oidRequestsBelow;
    std::vector<OidCompletionRecord> oidCompletionsAbove;
    std::vector<PVOID> oidCancelsBelow;
    std::vector<StatusRecord> statusAbove;
    std::vector<NDIS_DEVICE_PNP_EVENT> devicePnPBelow;
    std::vector<ULONG> netPnPAbove;
};

struct NdisState {
    std::recursive_mutex lock;   // never held while a filter handler runs
    std::unique_ptr<FilterDriver> driver;
    std::vector<std::unique_ptr<Adapter>> adapters;
    std::unordered_set<FilterModule*> modules;
    ListTable lists;
    std::unordered_map<NblPool*, std::unique_ptr<NblPool>> pools;
    std::unordered_map<PNDIS_OID_REQUEST, CloneRecord> clones;
    std::unordered_set<PMDL> mdls;
    std::unordered_map<NDIS_HANDLE, std::unique_ptr<DeviceRecord>> devices;
    ULONG nextIfIndex = 1;
    std::function<void()> detachObserver;
};

NdisState& Ndis();
using NdisGuard = std::unique_lock<std::recursive_mutex>;

// Looks up a live filter module by the handle NDIS gave the filter; reports NdisContract and
// returns null for anything else. Call with the lock held.
FilterModule* ModuleFromHandle(NDIS_HANDLE handle, const char* routine);

// Runs a filter handler at `irql` (or at the caller's IRQL when that is higher, as NDIS does when
// it calls back from inside a call), with the NDIS lock released.
void RunHandler(KIRQL irql, const char* name, const std::function<void()>& call);

// The characteristics of the registered filter, or null. Call with the lock held.
const NDIS_FILTER_DRIVER_CHARACTERISTICS* Characteristics();

// Chain walking with a bound, so that a looped chain is reported instead of hanging.
std::vector<PNET_BUFFER_LIST> WalkChain(PNET_BUFFER_LIST chain, const char* routine);
// Records each NET_BUFFER of `list` into `snapshot`, reusing its storage.
void TakeSnapshot(PNET_BUFFER_LIST list, std::vector<NetBufferSnapshot>& snapshot);

// ---- The data path (host/ndis/datapath.cpp unless named) ----------------------------------
// The longest chain of lists or NET_BUFFERs walked: a longer one is taken for a loop.
constexpr size_t MAX_CHAIN = 1u << 20;

const char* OriginName(ListOrigin origin);
const char* PlaceName(ListPlace place);

// The data-path handlers of the registered filter for `adapter`, null where NDIS bypasses it.
struct FilterPath {
    const NDIS_FILTER_DRIVER_CHARACTERISTICS* chars = nullptr;
    NDIS_HANDLE context = nullptr;
    ModuleState state = ModuleState::None;
    bool present() const { return chars != nullptr; }
};

// Call with the lock held.
FilterPath PathOf(Adapter::State& adapter);
// True while the filter module takes data (running or pausing).
bool Running(const FilterPath& path);
KIRQL IrqlOfFlag(ULONG flags, ULONG dispatchFlag);
// A caller's NDIS_*_FLAGS_DISPATCH_LEVEL is a promise about its IRQL.
void CheckDispatchFlag(ULONG flags, ULONG dispatchFlag, const char* routine);
// The record of a list NDIS knows, or null. Call with the lock held.
ListRecord* Find(PNET_BUFFER_LIST list);

// Guarded by NdisState::lock: which pending requests below came from the filter
// (host/ndis/oid.cpp).
std::unordered_map<PNDIS_OID_REQUEST, bool>& PendingSource();
// Lists of pools freed while the lists were out (host/ndis/pools.cpp).
std::vector<PoolList*>& Orphans();

// The data path's parts of an adapter's life.
// The protocol above returns what it holds and the miniport fails the requests it holds and
// completes the sends it holds: all of them, or (`ownSends` false, before a pause) only those of
// the protocol above, whose sends all come back before a filter below it is paused.
void DrainAdapter(Adapter::State& adapter, bool ownSends);
// The miniport completes the sends it holds, with success; the filter's own ones too when
// `ownSends`. Returns the number completed (host/ndis/send.cpp).
size_t CompleteHeldSends(Adapter::State& adapter, bool ownSends);
// The lists the filter allocated and sent on `adapter` that the miniport has not completed. Call
// with the lock held (host/ndis/send.cpp).
size_t OwnSendsOutstanding(Adapter::State& adapter);
// Before a detach: the miniport's receives that went through the filter (still in its handler or
// held above) come back, as the miniport's own pause waits for them before NDIS detaches a
// module above it.
void AwaitReceivesThroughFilter(Adapter::State& adapter);
// Reports the lists, requests and clones still out; after a detach only what went through the
// filter (`throughFilterOnly`), since the miniport may go on indicating straight to the protocol.
void CheckAdapterLeftovers(Adapter::State& adapter, const char* when, bool throughFilterOnly);
void ForgetAdapterLists(Adapter::State& adapter);
void ResetDataPath();                                 // pools, clones, MDLs, list records

}  // namespace host
