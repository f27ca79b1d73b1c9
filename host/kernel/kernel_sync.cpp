// The emulated kernel's IRQL and locks: IRQL per thread, spin locks that raise to
// DISPATCH_LEVEL, the NDIS reader/writer lock, the per-thread stack of held locks and the
// instance-based lock-order graph of deadlock detection. Host only; any thread, any IRQL.
#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <set>
#include <shared_mutex>
#include <thread>
#include <vector>

#include "host/kernel/kernel.h"
#include "host/kernel/kernel_private.h"
#include "host/verifier/checker.h"
#include "host/verifier/faults.h"
#include "platform/streaming_stores.h"

namespace host {
namespace {

enum class LockKind : uint8_t { Spin, RwRead, RwWrite };

const char* KindName(LockKind kind)
{
    switch (kind) {
    case LockKind::Spin: return "spin lock";
    case LockKind::RwRead: return "RW lock (read)";
    case LockKind::RwWrite: return "RW lock (write)";
    }
    return "lock";
}

struct HeldLock {
    const void* lock;
    LockKind kind;
    bool recursive;   // a reported recursive acquisition: releasing it touches nothing
    bool atDpcLevel = false;   // a spin lock taken with KeAcquireSpinLockAtDpcLevel
};

// Lets the reset read a thread's `held` from another thread. Its owner, the only writer, takes it
// around every change and practically never finds it taken: a flag rather than a mutex, so that a
// lock acquisition costs no library call.
class HeldGuard {
public:
    void lock()
    {
        while (taken_.exchange(true, std::memory_order_acquire)) {
            std::this_thread::yield();
        }
    }
    void unlock() { taken_.store(false, std::memory_order_release); }

private:
    std::atomic<bool> taken_{false};
};

// A lock-order edge this thread found in the graph, remembered so that taking the same two
// locks again costs no look-up in the shared graph.
struct KnownEdge {
    uintptr_t from = 0;
    uintptr_t to = 0;
};
// Kept in sets of four, a cache line each: edges whose hashes meet share a set rather than push
// each other out at every pass (one slot per hash lost about a tenth of 96 edges that way).
struct alignas(64) KnownEdgeSet {
    std::array<KnownEdge, 4> ways{};   // the most recently found first
};
constexpr size_t KNOWN_EDGE_SETS = 256;   // a power of two: every edge of 32 streams on two adapters

// One per OS thread that touched the kernel. `held` is written by its own thread only, under
// `heldGuard`; it is reserved so that holding a few locks allocates nothing. `knownEdges` is
// the thread's own; it holds edges of the graph's `generation` it was filled in.
struct ThreadState {
    uint32_t serial;
    KIRQL irql = PASSIVE_LEVEL;
    HeldGuard heldGuard;
    std::vector<HeldLock> held;
    void* kernelThread = nullptr;              // the KernelThread of a system thread
    HANDLE processId = reinterpret_cast<HANDLE>(4);   // the system process
    std::array<KnownEdgeSet, KNOWN_EDGE_SETS> knownEdges{};
    uint64_t knownEdgesGeneration = 0;
    bool streamingStoresUnfenced = false;   // CopyMemoryStreaming since the last StreamingStoreFence
    XSTATE_SAVE* extendedState = nullptr;   // the innermost KeSaveExtendedProcessorState not restored

    ThreadState();
    ~ThreadState();
};

struct ThreadRegistry {
    std::mutex mutex;
    std::set<ThreadState*> threads;
    std::atomic<uint32_t> nextSerial{1};
};

ThreadRegistry& Threads()
{
    static ThreadRegistry* registry = new ThreadRegistry;
    return *registry;
}

ThreadState::ThreadState() : serial(Threads().nextSerial.fetch_add(1))
{
    held.reserve(8);
    std::lock_guard<std::mutex> lock(Threads().mutex);
    Threads().threads.insert(this);
}

ThreadState::~ThreadState()
{
    std::lock_guard<std::mutex> lock(Threads().mutex);
    Threads().threads.erase(this);
}

thread_local ThreadState tls;

std::string LockName(const void* lock, LockKind kind)
{
    return std::string(KindName(kind)) + " " + detail::DescribeAddress(lock);
}

std::string HeldLocksText(const std::vector<HeldLock>& held)
{
    std::string text;
    for (const HeldLock& h : held) {
        if (!text.empty()) {
            text += ", ";
        }
        text += LockName(h.lock, h.kind);
    }
    return text;
}

// ---- Lock-order graph --------------------------------------------------------------------------
struct LockNode {
    std::map<uintptr_t, detail::Frames> successors;   // edge this -> successor, with where it was first seen
    std::set<uintptr_t> predecessors;
};

// Edges are only ever added, until the memory of a lock is freed or the machine is reset: those
// remove edges and move `generation` on, which empties every thread's known edges.
struct LockGraph {
    std::shared_mutex mutex;
    std::map<uintptr_t, LockNode> nodes;
    std::set<std::pair<uintptr_t, uintptr_t>> reported;
    std::atomic<uint64_t> generation{1};
};

LockGraph& Graph()
{
    static LockGraph* graph = new LockGraph;
    return *graph;
}

// A path from `from` to `to` (graph locked); fills `firstEdge` with the stack of its first edge.
bool FindPath(LockGraph& graph, uintptr_t from, uintptr_t to, const detail::Frames** firstEdge, bool* direct)
{
    std::vector<std::pair<uintptr_t, const detail::Frames*>> stack;
    std::set<uintptr_t> seen;
    auto start = graph.nodes.find(from);
    if (start == graph.nodes.end()) {
        return false;
    }
    for (auto& [next, frames] : start->second.successors) {
        stack.emplace_back(next, &frames);
    }
    while (!stack.empty()) {
        auto [node, origin] = stack.back();
        stack.pop_back();
        if (node == to) {
            *firstEdge = origin;
            *direct = start->second.successors.count(to) != 0;
            return true;
        }
        if (!seen.insert(node).second) {
            continue;
        }
        auto it = graph.nodes.find(node);
        if (it == graph.nodes.end()) {
            continue;
        }
        for (auto& [next, frames] : it->second.successors) {
            stack.emplace_back(next, origin);
        }
    }
    return false;
}

KnownEdgeSet& KnownEdgesFor(uintptr_t from, uintptr_t to)
{
    // Locks lie at the same offset of records spaced by powers of two: every bit of both
    // addresses goes into the set's number.
    constexpr uint64_t MIX = 0x9E3779B97F4A7C15ull;
    const uint64_t hash = ((from * MIX) ^ to) * MIX;
    return tls.knownEdges[hash >> (64 - std::countr_zero(KNOWN_EDGE_SETS))];
}

bool IsKnown(const KnownEdgeSet& set, uintptr_t from, uintptr_t to)
{
    return std::any_of(set.ways.begin(), set.ways.end(), [&](const KnownEdge& e) { return e.from == from && e.to == to; });
}

// The oldest edge of a full set goes.
void Remember(KnownEdgeSet& set, uintptr_t from, uintptr_t to)
{
    std::copy_backward(set.ways.begin(), set.ways.end() - 1, set.ways.end());
    set.ways.front() = {from, to};
}

// Records that `lock` is being acquired while the calling thread holds its other locks.
void RecordLockOrder(const void* lock, LockKind kind)
{
    if (tls.held.empty()) {
        return;
    }
    auto to = reinterpret_cast<uintptr_t>(lock);
    LockGraph& graph = Graph();
    const uint64_t generation = graph.generation.load(std::memory_order_acquire);
    if (tls.knownEdgesGeneration != generation) {
        tls.knownEdges.fill({});
        tls.knownEdgesGeneration = generation;
    }
    for (size_t i = 0; i < tls.held.size(); ++i) {
        const HeldLock& h = tls.held[i];
        auto from = reinterpret_cast<uintptr_t>(h.lock);
        if (from == to) {
            continue;
        }
        KnownEdgeSet& known = KnownEdgesFor(from, to);
        if (IsKnown(known, from, to)) {
            continue;
        }
        {
            std::shared_lock<std::shared_mutex> lockShared(graph.mutex);
            auto it = graph.nodes.find(from);
            if (it != graph.nodes.end() && it->second.successors.count(to) != 0) {
                Remember(known, from, to);
                continue;
            }
        }
        bool inverted = false;
        bool direct = false;
        std::string otherOrderAt;
        {
            std::unique_lock<std::shared_mutex> lockUnique(graph.mutex);
            auto it = graph.nodes.find(from);
            if (it != graph.nodes.end() && it->second.successors.count(to) != 0) {
                continue;
            }
            const detail::Frames* firstEdge = nullptr;
            if (FindPath(graph, to, from, &firstEdge, &direct)) {
                if (graph.reported.insert({from, to}).second) {
                    inverted = true;
                    otherOrderAt = detail::SymboliseFrames(*firstEdge);
                }
            } else {
                graph.nodes[from].successors.emplace(to, detail::CaptureFrames());
                graph.nodes[to].predecessors.insert(from);
                Remember(known, from, to);
            }
        }
        if (inverted) {
            ReportViolation(Rule::LockOrder,
                "%s acquired while holding %s: the opposite order was seen before (deadlock potential); "
                "the first was held when %s was acquired:\n      at %s",
                LockName(lock, kind).c_str(), LockName(h.lock, h.kind).c_str(),
                direct ? "the second" : "a lock leading to the second", otherOrderAt.c_str());
        }
    }
}

// ---- Spin locks ---------------------------------------------------------------------------------
// The lock word holds 0 when free, or the marker and the owner's thread serial.
constexpr ULONG_PTR SpinOwnerMarker = 0x4B53504E00000000ull;   // "KSPN"
constexpr ULONG_PTR SpinOwnerMask = 0xFFFFFFFF00000000ull;
constexpr auto StuckReportAfter = std::chrono::seconds(10);

ULONG_PTR SpinOwnerWord() { return SpinOwnerMarker | tls.serial; }

void AcquireSpinLock(PKSPIN_LOCK spinLock, const char* routine, bool atDpcLevel)
{
    ULONG_PTR mine = SpinOwnerWord();
    ULONG_PTR seen = __atomic_load_n(spinLock, __ATOMIC_RELAXED);
    if (seen == mine) {
        ReportViolation(Rule::LockMisuse, "%s: recursive acquisition of %s by the thread that holds it (deadlock)",
            routine, LockName(spinLock, LockKind::Spin).c_str());
        std::lock_guard<HeldGuard> lock(tls.heldGuard);
        tls.held.push_back({spinLock, LockKind::Spin, true, atDpcLevel});
        return;
    }
    if (seen != 0 && (seen & SpinOwnerMask) != SpinOwnerMarker) {
        ReportViolation(Rule::LockMisuse, "%s: %s was not initialised (word 0x%llx)", routine,
            LockName(spinLock, LockKind::Spin).c_str(), static_cast<unsigned long long>(seen));
        __atomic_compare_exchange_n(spinLock, &seen, 0, false, __ATOMIC_ACQ_REL, __ATOMIC_RELAXED);
    }
    RecordLockOrder(spinLock, LockKind::Spin);
    std::chrono::steady_clock::time_point started;   // read once the lock turns out to be taken
    bool reportedStuck = false;
    for (unsigned spins = 0;; ++spins) {
        ULONG_PTR expected = 0;
        if (__atomic_compare_exchange_n(spinLock, &expected, mine, true, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
            break;
        }
        if (spins == 0) {
            started = std::chrono::steady_clock::now();
        }
        if (spins < 64) {
            __builtin_ia32_pause();
        } else if (spins < 256) {
            std::this_thread::yield();
        } else {
            std::this_thread::sleep_for(std::chrono::microseconds(20));
            if (!reportedStuck && (spins & 1023) == 0 && std::chrono::steady_clock::now() - started > StuckReportAfter) {
                reportedStuck = true;
                ReportViolation(Rule::LockMisuse, "%s: waited more than 10 s for %s, held by thread %u (deadlock?)",
                    routine, LockName(spinLock, LockKind::Spin).c_str(),
                    static_cast<unsigned>(expected & ~SpinOwnerMask));
            }
        }
    }
    std::lock_guard<HeldGuard> lock(tls.heldGuard);
    tls.held.push_back({spinLock, LockKind::Spin, false, atDpcLevel});
}

// Index of the last held entry for `lock` of one of the kinds, or -1.
int FindHeld(const void* lock, bool spin, bool read, bool write)
{
    for (int i = static_cast<int>(tls.held.size()) - 1; i >= 0; --i) {
        const HeldLock& h = tls.held[static_cast<size_t>(i)];
        if (h.lock == lock && ((spin && h.kind == LockKind::Spin) || (read && h.kind == LockKind::RwRead) ||
                                  (write && h.kind == LockKind::RwWrite))) {
            return i;
        }
    }
    return -1;
}

void ReleaseRwInternals(PNDIS_RW_LOCK_EX lock, LockKind kind);

// Releases one held entry of the calling thread. A release publishes what was written under the
// lock, but streaming stores may become visible after it unless a store fence came between.
void ReleaseHeldEntry(size_t index)
{
    HeldLock h = tls.held[index];
    if (tls.streamingStoresUnfenced) {
        tls.streamingStoresUnfenced = false;
        ReportViolation(Rule::StreamingStoresUnfenced, "release of %s after streaming stores without a store fence",
            LockName(h.lock, h.kind).c_str());
    }
    {
        std::lock_guard<HeldGuard> lock(tls.heldGuard);
        tls.held.erase(tls.held.begin() + static_cast<std::ptrdiff_t>(index));
    }
    if (h.recursive) {
        return;
    }
    if (h.kind == LockKind::Spin) {
        auto* word = static_cast<PKSPIN_LOCK>(const_cast<void*>(h.lock));
        ULONG_PTR mine = SpinOwnerWord();
        __atomic_compare_exchange_n(word, &mine, 0, false, __ATOMIC_RELEASE, __ATOMIC_RELAXED);
    } else {
        ReleaseRwInternals(static_cast<PNDIS_RW_LOCK_EX>(const_cast<void*>(h.lock)), h.kind);
    }
}

// A release made as its acquisition was: KeReleaseSpinLockFromDpcLevel (`fromDpcLevel`) for a
// lock taken with KeAcquireSpinLockAtDpcLevel, KeReleaseSpinLock for one that raised the IRQL.
void ReleaseSpinLock(PKSPIN_LOCK spinLock, const char* routine, bool fromDpcLevel)
{
    int index = FindHeld(spinLock, true, false, false);
    if (index < 0) {
        ULONG_PTR word = __atomic_load_n(spinLock, __ATOMIC_RELAXED);
        ReportViolation(Rule::LockMisuse, "%s: release of %s, which this thread does not hold (%s)", routine,
            LockName(spinLock, LockKind::Spin).c_str(),
            word == 0 ? "it is free" : ("held by thread " + std::to_string(word & ~SpinOwnerMask)).c_str());
        return;
    }
    if (tls.held[static_cast<size_t>(index)].atDpcLevel != fromDpcLevel) {
        ReportViolation(Rule::LockMisuse, "%s: release of %s, which was acquired with %s", routine,
            LockName(spinLock, LockKind::Spin).c_str(),
            fromDpcLevel ? "KeAcquireSpinLockRaiseToDpc" : "KeAcquireSpinLockAtDpcLevel");
    }
    ReleaseHeldEntry(static_cast<size_t>(index));
}

// Sets the IRQL on a release, checking that no spin lock stays held below DISPATCH_LEVEL.
void LowerAfterRelease(KIRQL newIrql, const char* routine)
{
    if (newIrql > DISPATCH_LEVEL) {
        ReportViolation(Rule::LockMisuse, "%s: restores IRQL %u, above DISPATCH_LEVEL", routine, unsigned(newIrql));
    } else if (newIrql < DISPATCH_LEVEL && !tls.held.empty()) {
        ReportViolation(Rule::LockMisuse, "%s: lowers the IRQL to %u while still holding %s (released out of order?)",
            routine, unsigned(newIrql), HeldLocksText(tls.held).c_str());
    }
    tls.irql = newIrql;
}

void RequireDispatch(const char* routine)
{
    if (tls.irql > DISPATCH_LEVEL) {
        ReportViolation(Rule::IrqlTooHigh, "%s called at IRQL %u; it requires DISPATCH_LEVEL", routine, unsigned(tls.irql));
    } else if (tls.irql < DISPATCH_LEVEL) {
        ReportViolation(Rule::LockMisuse, "%s called at IRQL %u; it requires DISPATCH_LEVEL", routine, unsigned(tls.irql));
    }
}

}  // namespace
}  // namespace host

// ---- The NDIS reader/writer lock record (opaque to the core) ------------------------------------
// `state` is the lock itself, changed only by atomic read-modify-writes: the readers, the writers
// waiting (new readers wait behind them) and the writer. A thread that cannot take the lock at
// once sleeps on `changed` under `mutex`, counted in `sleepers`; a release touches the mutex and
// wakes anyone only when `sleepers` is not zero.
struct NDIS_RW_LOCK_EX {
    static constexpr uint64_t LiveMagic = 0x4B434F4C57524E48ull;   // "HNRWLOCK"
    static constexpr uint64_t Reader = 1;                          // bits 0-31: readers
    static constexpr uint64_t Readers = (uint64_t(1) << 32) - 1;
    static constexpr uint64_t WaitingWriter = uint64_t(1) << 32;   // bits 32-62: writers waiting
    static constexpr uint64_t Writer = uint64_t(1) << 63;
    uint64_t magic = LiveMagic;
    std::atomic<uint64_t> state{0};
    std::atomic<uint32_t> sleepers{0};
    std::mutex mutex;
    std::condition_variable changed;
    host::detail::Frames allocatedAt;
};

namespace host {
namespace {

constexpr ULONG LockStateRead = 0x11;
constexpr ULONG LockStateWrite = 0x22;

struct RwLockRegistry {
    std::mutex mutex;
    std::set<PNDIS_RW_LOCK_EX> live;
};

RwLockRegistry& RwLocks()
{
    static RwLockRegistry* registry = new RwLockRegistry;
    return *registry;
}

bool IsLiveRwLock(PNDIS_RW_LOCK_EX lock, const char* routine)
{
    if (lock == nullptr || lock->magic != NDIS_RW_LOCK_EX::LiveMagic) {
        ReportViolation(Rule::LockMisuse, "%s: %p is not an allocated NDIS RW lock", routine, static_cast<void*>(lock));
        return false;
    }
    return true;
}

// A read is granted when no writer holds the lock or waits for it.
bool TryTakeRead(PNDIS_RW_LOCK_EX lock)
{
    uint64_t state = lock->state.load();
    while ((state & ~NDIS_RW_LOCK_EX::Readers) == 0) {
        if (lock->state.compare_exchange_weak(state, state + NDIS_RW_LOCK_EX::Reader)) {
            return true;
        }
    }
    return false;
}

// A waiting writer takes the lock when nobody holds it.
bool TryTakeWrite(PNDIS_RW_LOCK_EX lock)
{
    uint64_t state = lock->state.load();
    while ((state & (NDIS_RW_LOCK_EX::Writer | NDIS_RW_LOCK_EX::Readers)) == 0) {
        if (lock->state.compare_exchange_weak(state,
                state - NDIS_RW_LOCK_EX::WaitingWriter + NDIS_RW_LOCK_EX::Writer)) {
            return true;
        }
    }
    return false;
}

// Takes the lock with `tryTake`, sleeping until a release when it cannot, and reports a wait that
// lasts. The sleeper is counted before its last try under the mutex, and a release reads the count
// after changing the state: either the try sees the release, or the release wakes the sleeper.
void TakeRwLock(PNDIS_RW_LOCK_EX lock, const char* routine, bool (*tryTake)(PNDIS_RW_LOCK_EX))
{
    if (tryTake(lock)) {
        return;
    }
    std::unique_lock<std::mutex> guard(lock->mutex);
    lock->sleepers.fetch_add(1);
    auto started = std::chrono::steady_clock::now();
    bool reported = false;
    while (!tryTake(lock)) {
        if (!reported && std::chrono::steady_clock::now() - started > StuckReportAfter) {
            reported = true;
            guard.unlock();
            ReportViolation(Rule::LockMisuse, "%s: waited more than 10 s for %s (deadlock?)", routine,
                LockName(lock, LockKind::RwWrite).c_str());
            guard.lock();
            continue;
        }
        lock->changed.wait_for(guard, std::chrono::milliseconds(500));
    }
    lock->sleepers.fetch_sub(1);
}

void ReleaseRwInternals(PNDIS_RW_LOCK_EX lock, LockKind kind)
{
    lock->state.fetch_sub(kind == LockKind::RwWrite ? NDIS_RW_LOCK_EX::Writer : NDIS_RW_LOCK_EX::Reader);
    if (lock->sleepers.load() != 0) {
        std::lock_guard<std::mutex> guard(lock->mutex);
        lock->changed.notify_all();
    }
}

// Common prologue of both acquisitions: checks, raise to DISPATCH_LEVEL, lock state.
void EnterRwAcquire(PLOCK_STATE_EX lockState, ULONG flags, ULONG kind, const char* routine)
{
    RequireIrqlAtMost(DISPATCH_LEVEL, routine);
    if ((flags & NDIS_RWL_AT_DISPATCH_LEVEL) != 0 && tls.irql != DISPATCH_LEVEL) {
        ReportViolation(Rule::LockMisuse, "%s with NDIS_RWL_AT_DISPATCH_LEVEL called at IRQL %u", routine,
            unsigned(tls.irql));
    }
    lockState->OldIrql = tls.irql;
    lockState->LockState = kind;
    if (tls.irql < DISPATCH_LEVEL) {
        tls.irql = DISPATCH_LEVEL;
    }
}

}  // namespace

// ---- Checks used by every platform module ---------------------------------------------------------
void RequireIrqlAtMost(KIRQL maximum, const char* routine)
{
    if (tls.irql > maximum) {
        ReportViolation(Rule::IrqlTooHigh, "%s called at IRQL %u; it allows at most IRQL %u", routine,
            unsigned(tls.irql), unsigned(maximum));
    }
}

void RequireNoSpinLockHeld(const char* routine)
{
    if (!tls.held.empty()) {
        ReportViolation(Rule::SpinLockHeldAcrossCall, "%s called while holding %s", routine,
            HeldLocksText(tls.held).c_str());
    }
}

int LocksHeldByThisThread() { return static_cast<int>(tls.held.size()); }

size_t LockOrderEdges()
{
    LockGraph& graph = Graph();
    std::shared_lock<std::shared_mutex> lockShared(graph.mutex);
    size_t edges = 0;
    for (const auto& [address, node] : graph.nodes) {
        edges += node.successors.size();
    }
    return edges;
}

void CallHandlerAt(KIRQL irql, const char* handler, const std::function<void()>& call)
{
    KIRQL saved = tls.irql;
    size_t heldBefore = tls.held.size();
    XSTATE_SAVE* extendedStateBefore = tls.extendedState;
    tls.irql = irql;
    call();
    if (tls.extendedState != extendedStateBefore) {
        ReportViolation(Rule::ExtendedStateMisuse, "handler %s returned with the extended processor state saved at %p "
            "not restored", handler, static_cast<void*>(tls.extendedState));
        tls.extendedState = extendedStateBefore;
    }
    if (tls.held.size() > heldBefore) {
        std::vector<HeldLock> extra(tls.held.begin() + static_cast<std::ptrdiff_t>(heldBefore), tls.held.end());
        ReportViolation(Rule::LockMisuse, "handler %s returned holding %s", handler, HeldLocksText(extra).c_str());
        while (tls.held.size() > heldBefore) {
            ReleaseHeldEntry(tls.held.size() - 1);
        }
    } else if (tls.held.size() < heldBefore) {
        ReportViolation(Rule::LockMisuse, "handler %s released %zu lock(s) its caller held", handler,
            heldBefore - tls.held.size());
    }
    if (tls.irql != irql) {
        ReportViolation(Rule::IrqlNotRestored, "handler %s was called at IRQL %u and returned at IRQL %u", handler,
            unsigned(irql), unsigned(tls.irql));
    }
    tls.irql = saved;
}

void SetCurrentProcessId(HANDLE processId) { tls.processId = processId; }
bool IsSystemThread() { return tls.kernelThread != nullptr; }

namespace detail {

void SetSystemThread(void* kernelThread) { tls.kernelThread = kernelThread; }
void* CurrentKernelThread() { return tls.kernelThread; }

std::string HeldLocksOfThisThread() { return HeldLocksText(tls.held); }

void SetIrqlOfThisThread(KIRQL irql) { tls.irql = irql; }

void ReleaseAllHeldLocks()
{
    while (!tls.held.empty()) {
        ReleaseHeldEntry(tls.held.size() - 1);
    }
}

void ForgetLocksInRange(uintptr_t begin, uintptr_t end)
{
    LockGraph& graph = Graph();
    {
        std::shared_lock<std::shared_mutex> lockShared(graph.mutex);
        auto it = graph.nodes.lower_bound(begin);
        if (it == graph.nodes.end() || it->first >= end) {
            return;
        }
    }
    std::unique_lock<std::shared_mutex> lockUnique(graph.mutex);
    auto it = graph.nodes.lower_bound(begin);
    while (it != graph.nodes.end() && it->first < end) {
        uintptr_t address = it->first;
        for (auto& [successor, frames] : it->second.successors) {
            auto s = graph.nodes.find(successor);
            if (s != graph.nodes.end()) {
                s->second.predecessors.erase(address);
            }
        }
        for (uintptr_t predecessor : it->second.predecessors) {
            auto p = graph.nodes.find(predecessor);
            if (p != graph.nodes.end()) {
                p->second.successors.erase(address);
            }
        }
        it = graph.nodes.erase(it);
    }
    graph.generation.fetch_add(1, std::memory_order_release);
    for (auto r = graph.reported.begin(); r != graph.reported.end();) {
        bool inside = (r->first >= begin && r->first < end) || (r->second >= begin && r->second < end);
        r = inside ? graph.reported.erase(r) : std::next(r);
    }
}

void CheckAndResetLocks(const char* when)
{
    // Locks held by any thread, this one first (and released: the next machine starts clean).
    if (!tls.held.empty()) {
        ReportViolation(Rule::LockMisuse, "%s: this thread still holds %s", when, HeldLocksText(tls.held).c_str());
        ReleaseAllHeldLocks();
    }
    if (tls.irql != PASSIVE_LEVEL) {
        ReportViolation(Rule::IrqlNotRestored, "%s: this thread is still at IRQL %u", when, unsigned(tls.irql));
        tls.irql = PASSIVE_LEVEL;
    }
    std::vector<std::string> others;
    {
        std::lock_guard<std::mutex> lock(Threads().mutex);
        for (ThreadState* state : Threads().threads) {
            if (state == &tls) {
                continue;
            }
            std::lock_guard<HeldGuard> heldLock(state->heldGuard);
            if (!state->held.empty()) {
                others.push_back("thread " + std::to_string(state->serial) + " holds " + HeldLocksText(state->held));
            }
        }
    }
    for (const std::string& text : others) {
        ReportViolation(Rule::LockMisuse, "%s: %s", when, text.c_str());
    }
    LockGraph& graph = Graph();
    std::unique_lock<std::shared_mutex> lockUnique(graph.mutex);
    graph.nodes.clear();
    graph.reported.clear();
    graph.generation.fetch_add(1, std::memory_order_release);
}

void CheckAndResetRwLocks(const char* when)
{
    std::vector<PNDIS_RW_LOCK_EX> live;
    {
        std::lock_guard<std::mutex> lock(RwLocks().mutex);
        live.assign(RwLocks().live.begin(), RwLocks().live.end());
        RwLocks().live.clear();
    }
    for (PNDIS_RW_LOCK_EX lock : live) {
        ReportViolation(Rule::HandleLeak, "%s: NDIS RW lock %p was never freed; allocated:\n      at %s", when,
            static_cast<void*>(lock), SymboliseFrames(lock->allocatedAt).c_str());
        lock->magic = 0;
        lock->~NDIS_RW_LOCK_EX();
        FreePoolBlock(lock, HostRwLockTag, "CheckAndResetKernel");
    }
}

}  // namespace detail
}  // namespace host

using host::tls;

// ---- IRQL ------------------------------------------------------------------------------------------
KIRQL KeGetCurrentIrql() { return tls.irql; }

VOID KeRaiseIrql(KIRQL newIrql, PKIRQL oldIrql)
{
    if (newIrql < tls.irql) {
        host::ReportViolation(host::Rule::LockMisuse, "KeRaiseIrql to IRQL %u, below the current IRQL %u",
            unsigned(newIrql), unsigned(tls.irql));
    }
    *oldIrql = tls.irql;
    tls.irql = newIrql;
}

VOID KeLowerIrql(KIRQL newIrql)
{
    if (newIrql > tls.irql) {
        host::ReportViolation(host::Rule::LockMisuse, "KeLowerIrql to IRQL %u, above the current IRQL %u",
            unsigned(newIrql), unsigned(tls.irql));
    }
    host::LowerAfterRelease(newIrql, "KeLowerIrql");
}

HANDLE PsGetCurrentProcessId()
{
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "PsGetCurrentProcessId");
    return tls.processId;
}

// ---- Spin locks ----------------------------------------------------------------------------------
VOID KeInitializeSpinLock(PKSPIN_LOCK spinLock)
{
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "KeInitializeSpinLock");
    if (host::FindHeld(spinLock, true, false, false) >= 0) {
        host::ReportViolation(host::Rule::LockMisuse, "KeInitializeSpinLock of %s, which this thread holds",
            host::LockName(spinLock, host::LockKind::Spin).c_str());
    }
    __atomic_store_n(spinLock, 0, __ATOMIC_RELEASE);
}

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK spinLock)
{
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "KeAcquireSpinLockRaiseToDpc");
    KIRQL old = tls.irql;
    if (tls.irql < DISPATCH_LEVEL) {
        tls.irql = DISPATCH_LEVEL;
    }
    host::AcquireSpinLock(spinLock, "KeAcquireSpinLockRaiseToDpc", false);
    return old;
}

VOID KeReleaseSpinLock(PKSPIN_LOCK spinLock, KIRQL newIrql)
{
    host::RequireDispatch("KeReleaseSpinLock");
    host::ReleaseSpinLock(spinLock, "KeReleaseSpinLock", false);
    host::LowerAfterRelease(newIrql, "KeReleaseSpinLock");
}

VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK spinLock)
{
    host::RequireDispatch("KeAcquireSpinLockAtDpcLevel");
    host::AcquireSpinLock(spinLock, "KeAcquireSpinLockAtDpcLevel", true);
}

VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK spinLock)
{
    host::RequireDispatch("KeReleaseSpinLockFromDpcLevel");
    host::ReleaseSpinLock(spinLock, "KeReleaseSpinLockFromDpcLevel", true);
}

// ---- Streaming stores and the extended processor state -------------------------------------------
// 256-bit stores need the AVX state saved on this thread; without it they are refused and the
// copy made with 128-bit stores, so that a test that expects the report goes on.
VOID CopyMemoryStreaming(PVOID destination, PCVOID source, SIZE_T length, BOOLEAN wideRegisters)
{
    const XSTATE_SAVE* save = host::tls.extendedState;
    if (wideRegisters && (save == nullptr || (save->Mask & XSTATE_MASK_AVX) == 0)) {
        host::ReportViolation(host::Rule::ExtendedStateMisuse, "CopyMemoryStreaming: 256-bit stores without the AVX state saved "
            "by KeSaveExtendedProcessorState on this thread");
        wideRegisters = FALSE;
    }
    if (wideRegisters) {
        CopyWithWideStreamingStores(destination, source, length);
    } else {
        CopyWithStreamingStores(destination, source, length);
    }
    host::tls.streamingStoresUnfenced = true;
}

ULONG64 RtlGetEnabledExtendedFeatures(ULONG64 featureMask)
{
    static const ULONG64 enabled = __builtin_cpu_supports("avx") ? XSTATE_MASK_AVX : 0;
    return featureMask & enabled;
}

NTSTATUS KeSaveExtendedProcessorState(ULONG64 mask, PXSTATE_SAVE save)
{
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "KeSaveExtendedProcessorState");
    NTSTATUS status = STATUS_SUCCESS;
    if (host::ShouldFail(host::Fault::ExtendedStateSave, &status)) {
        return status != STATUS_SUCCESS ? status : STATUS_INSUFFICIENT_RESOURCES;
    }
    // Features the system has not enabled are not saved: the registers may not be used.
    save->Prev = host::tls.extendedState;
    save->Thread = &host::tls;
    save->Level = host::tls.irql;
    save->Mask = RtlGetEnabledExtendedFeatures(mask);
    host::tls.extendedState = save;
    return STATUS_SUCCESS;
}

VOID KeRestoreExtendedProcessorState(PXSTATE_SAVE save)
{
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "KeRestoreExtendedProcessorState");
    if (save != host::tls.extendedState) {
        host::ReportViolation(host::Rule::ExtendedStateMisuse, "KeRestoreExtendedProcessorState: %p is not this thread's innermost "
            "saved state (%p)", static_cast<void*>(save), static_cast<void*>(host::tls.extendedState));
        return;
    }
    if (save->Level != host::tls.irql) {
        host::ReportViolation(host::Rule::ExtendedStateMisuse, "KeRestoreExtendedProcessorState at IRQL %u for a state saved at "
            "IRQL %u", unsigned(host::tls.irql), unsigned(save->Level));
    }
    host::tls.extendedState = save->Prev;
}

VOID StreamingStoreFence()
{
    FenceStreamingStores();
    host::tls.streamingStoresUnfenced = false;
}

// ---- The NDIS reader/writer lock -------------------------------------------------------------------
PNDIS_RW_LOCK_EX NdisAllocateRWLock(NDIS_HANDLE)
{
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "NdisAllocateRWLock");
    if (host::ShouldFail(host::Fault::RwLockAllocation)) {
        return nullptr;
    }
    void* block = host::detail::AllocatePoolBlock(sizeof(NDIS_RW_LOCK_EX), host::detail::HostRwLockTag, true);
    auto* lock = new (block) NDIS_RW_LOCK_EX;
    lock->allocatedAt = host::detail::CaptureFrames();
    std::lock_guard<std::mutex> guard(host::RwLocks().mutex);
    host::RwLocks().live.insert(lock);
    return lock;
}

VOID NdisFreeRWLock(PNDIS_RW_LOCK_EX lock)
{
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "NdisFreeRWLock");
    {
        std::lock_guard<std::mutex> guard(host::RwLocks().mutex);
        if (host::RwLocks().live.erase(lock) == 0) {
            host::ReportViolation(host::Rule::PoolMisuse, "NdisFreeRWLock of %p, which is not an allocated RW lock (freed twice?)",
                static_cast<void*>(lock));
            return;
        }
    }
    if ((lock->state.load() & (NDIS_RW_LOCK_EX::Writer | NDIS_RW_LOCK_EX::Readers)) != 0) {
        host::ReportViolation(host::Rule::LockMisuse, "NdisFreeRWLock of %s while it is held",
            host::LockName(lock, host::LockKind::RwWrite).c_str());
    }
    lock->magic = 0;
    lock->~NDIS_RW_LOCK_EX();
    host::detail::FreePoolBlock(lock, host::detail::HostRwLockTag, "NdisFreeRWLock");
}

VOID NdisAcquireRWLockRead(PNDIS_RW_LOCK_EX lock, PLOCK_STATE_EX lockState, ULONG flags)
{
    host::EnterRwAcquire(lockState, flags, host::LockStateRead, "NdisAcquireRWLockRead");
    if (!host::IsLiveRwLock(lock, "NdisAcquireRWLockRead")) {
        return;
    }
    // Recursive reads, and reads under the thread's own write, are granted at once (NDIS allows them).
    if (host::FindHeld(lock, false, true, true) >= 0) {
        lock->state.fetch_add(NDIS_RW_LOCK_EX::Reader);
    } else {
        host::RecordLockOrder(lock, host::LockKind::RwRead);
        host::TakeRwLock(lock, "NdisAcquireRWLockRead", host::TryTakeRead);
    }
    std::lock_guard<host::HeldGuard> heldLock(tls.heldGuard);
    tls.held.push_back({lock, host::LockKind::RwRead, false});
}

VOID NdisAcquireRWLockWrite(PNDIS_RW_LOCK_EX lock, PLOCK_STATE_EX lockState, ULONG flags)
{
    host::EnterRwAcquire(lockState, flags, host::LockStateWrite, "NdisAcquireRWLockWrite");
    if (!host::IsLiveRwLock(lock, "NdisAcquireRWLockWrite")) {
        return;
    }
    bool holdsWrite = host::FindHeld(lock, false, false, true) >= 0;
    bool holdsRead = host::FindHeld(lock, false, true, false) >= 0;
    if (holdsWrite || holdsRead) {
        host::ReportViolation(host::Rule::LockMisuse,
            "NdisAcquireRWLockWrite of %s by a thread that holds it for %s (deadlock)",
            host::LockName(lock, host::LockKind::RwWrite).c_str(), holdsWrite ? "write" : "read");
        std::lock_guard<host::HeldGuard> heldLock(tls.heldGuard);
        tls.held.push_back({lock, host::LockKind::RwWrite, true});
        return;
    }
    host::RecordLockOrder(lock, host::LockKind::RwWrite);
    lock->state.fetch_add(NDIS_RW_LOCK_EX::WaitingWriter);
    host::TakeRwLock(lock, "NdisAcquireRWLockWrite", host::TryTakeWrite);
    std::lock_guard<host::HeldGuard> heldLock(tls.heldGuard);
    tls.held.push_back({lock, host::LockKind::RwWrite, false});
}

VOID NdisReleaseRWLock(PNDIS_RW_LOCK_EX lock, PLOCK_STATE_EX lockState)
{
    host::RequireDispatch("NdisReleaseRWLock");
    bool asWrite = lockState->LockState == host::LockStateWrite;
    bool asRead = lockState->LockState == host::LockStateRead;
    int index = host::FindHeld(lock, false, asRead || !asWrite, asWrite || !asRead);
    if (index < 0) {
        index = host::FindHeld(lock, false, true, true);
    }
    if (index < 0) {
        host::ReportViolation(host::Rule::LockMisuse, "NdisReleaseRWLock of %s, which this thread does not hold",
            host::LockName(lock, host::LockKind::RwWrite).c_str());
        return;
    }
    host::ReleaseHeldEntry(static_cast<size_t>(index));
    host::LowerAfterRelease(lockState->OldIrql, "NdisReleaseRWLock");
}
