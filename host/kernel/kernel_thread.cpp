// The emulated kernel's threads, objects and time: system threads, kernel handles and object
// references, events, waits and delays, the performance counter on the real or a virtual clock, and the
// machine-wide final check. Host only.
#include <time.h>
#if defined(__x86_64__)
#include <cpuid.h>
#include <x86intrin.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <map>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

#include "host/kernel/kernel.h"
#include "host/kernel/kernel_private.h"
#include "host/verifier/checker.h"
#include "host/verifier/faults.h"

namespace host {
namespace {

constexpr NTSTATUS STATUS_TIMEOUT = 0x00000102;
constexpr auto WatchdogPeriod = std::chrono::seconds(30);

// Thrown by PsTerminateSystemThread, caught at the top of the system thread.
struct SystemThreadExit {
    NTSTATUS status;
};

struct KernelThread {
    uint32_t id;
    PKSTART_ROUTINE routine;
    PVOID context;
    detail::Frames createdAt;
    // Guarded by the dispatcher mutex.
    bool ended = false;
    bool abandoned = false;   // reported as still running at a reset; never waited for again
    bool sleeping = false;    // in a delay (or a timed event wait) on the virtual clock
    int64_t deadline = 0;     // of that delay, in counts
    const KEVENT* waitingOn = nullptr;   // the event it is blocked on
    bool woken = false;       // its event was set and it has not slept or blocked again since
};

// The dispatcher: thread states, the virtual clock and its sleepers, under one mutex.
struct Dispatcher {
    std::mutex mutex;
    std::condition_variable changed;
    std::atomic<bool> virtualClock{false};
    std::atomic<int64_t> virtualNow{0};
    uint64_t generation = 0;              // bumped when the clock mode changes: virtual sleepers return
    std::atomic<uint64_t> sleeps{0};      // delays and event waits entered by system threads
    std::vector<KernelThread*> threads;   // every thread object until a reset finds it ended
    uint32_t nextThreadId = 1;
};

Dispatcher& Kernel()
{
    static Dispatcher* dispatcher = new Dispatcher;
    return *dispatcher;
}

// ---- The real clock ----------------------------------------------------------------------------------
// CLOCK_MONOTONIC in counts: the reference the time-stamp counter is calibrated against, and the
// clock itself where the processor has no invariant time-stamp counter.
int64_t MonotonicCounts()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * PERFORMANCE_FREQUENCY + now.tv_nsec / 100;
}

#if defined(__x86_64__)
bool HasInvariantTsc()
{
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    return __get_cpuid(0x80000007, &eax, &ebx, &ecx, &edx) != 0 && (edx & (1u << 8)) != 0;
}
uint64_t ReadTsc() { return __rdtsc(); }
#else
bool HasInvariantTsc() { return false; }
uint64_t ReadTsc() { return 0; }
#endif

// The time-stamp counter scaled to counts, with a rate measured once: between the process's first
// read of the real clock and its first read at least CALIBRATION_COUNTS later. Until then, and for
// good without an invariant TSC, a read is CLOCK_MONOTONIC's. The scale is anchored on a TSC read
// taken just before its CLOCK_MONOTONIC read, so the scaled clock never runs behind a read made
// before the switch.
constexpr int64_t CALIBRATION_COUNTS = PERFORMANCE_FREQUENCY / 20;   // 50 ms
__extension__ typedef unsigned __int128 Product;                      // of two 64-bit values

struct TscClock {
    // Written once, by the first read (the initialisation of Tsc()'s record).
    bool invariant = false;
    uint64_t startTicks = 0;
    int64_t startCounts = 0;
    // Written once, by the read that wins `calibrating`, before `calibrated` is published.
    uint64_t anchorTicks = 0;
    int64_t anchorCounts = 0;
    uint64_t countsPerTick = 0;   // times 2^64: a TSC ticks faster than 10 MHz
    std::atomic<bool> calibrating{false};
    std::atomic<bool> calibrated{false};
};

TscClock& Tsc()
{
    static TscClock* clock = [] {
        auto* c = new TscClock;
        c->invariant = HasInvariantTsc();
        c->startTicks = ReadTsc();
        c->startCounts = MonotonicCounts();
        return c;
    }();
    return *clock;
}

int64_t RealCounter()
{
    TscClock& tsc = Tsc();
    if (tsc.calibrated.load(std::memory_order_acquire)) {
        // Another processor's counter may lag the anchor by a few ticks.
        const uint64_t now = ReadTsc();
        const Product ticks = now > tsc.anchorTicks ? now - tsc.anchorTicks : 0;
        return tsc.anchorCounts + static_cast<int64_t>((ticks * tsc.countsPerTick) >> 64);
    }
    const uint64_t ticks = ReadTsc();
    const int64_t counts = MonotonicCounts();
    const uint64_t elapsedTicks = ticks - tsc.startTicks;
    const auto elapsedCounts = static_cast<uint64_t>(counts - tsc.startCounts);
    if (tsc.invariant && ticks > tsc.startTicks && elapsedCounts >= CALIBRATION_COUNTS && elapsedTicks > elapsedCounts &&
        !tsc.calibrating.exchange(true)) {
        tsc.countsPerTick = static_cast<uint64_t>((static_cast<Product>(elapsedCounts) << 64) / elapsedTicks);
        tsc.anchorTicks = ticks;
        tsc.anchorCounts = counts;
        tsc.calibrated.store(true, std::memory_order_release);
    }
    return counts;
}

// ---- Objects and handles ----------------------------------------------------------------------------
const ObjectType ThreadObjectType{"thread", nullptr};

struct ObjectEntry {
    const ObjectType* type;
    int64_t references = 0;
    int64_t handles = 0;
};

struct HandleEntry {
    void* object;
    const ObjectType* type;
    detail::Frames openedAt;
};

struct ObjectRegistry {
    std::mutex mutex;
    std::unordered_map<const void*, ObjectEntry> objects;
    std::map<uintptr_t, HandleEntry> handles;
    uintptr_t nextHandle = 0;
};

ObjectRegistry& Objects()
{
    static ObjectRegistry* registry = new ObjectRegistry;
    return *registry;
}

// Kernel handles look like the kernel's: high bit set, multiples of 4.
constexpr uintptr_t KernelHandleBase = 0xFFFFFFFF80000000ull;

KernelThread* FindThread(const void* object)
{
    Dispatcher& d = Kernel();
    auto it = std::find(d.threads.begin(), d.threads.end(), object);
    return it == d.threads.end() ? nullptr : *it;
}

void ThreadTop(KernelThread* thread)
{
    detail::SetSystemThread(thread);
    try {
        thread->routine(thread->context);
    } catch (const SystemThreadExit&) {
    }
    if (LocksHeldByThisThread() != 0) {
        ReportViolation(Rule::LockMisuse, "system thread %u ended holding %s", thread->id,
            detail::HeldLocksOfThisThread().c_str());
        detail::ReleaseAllHeldLocks();
    }
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        ReportViolation(Rule::IrqlNotRestored, "system thread %u ended at IRQL %u", thread->id,
            unsigned(KeGetCurrentIrql()));
        detail::SetIrqlOfThisThread(PASSIVE_LEVEL);
    }
    Dispatcher& d = Kernel();
    std::lock_guard<std::mutex> lock(d.mutex);
    thread->ended = true;
    thread->sleeping = false;
    thread->woken = false;
    d.changed.notify_all();
}

// A thread at rest on the virtual clock: ended, asleep until a deadline still ahead, or blocked
// on an event that nobody has set since.
bool AtRest(const KernelThread* thread, int64_t now)
{
    if (thread->ended) {
        return true;
    }
    if (thread->woken) {
        return false;
    }
    return thread->sleeping ? thread->deadline > now : thread->waitingOn != nullptr;
}

void RealSleep(int64_t interval)
{
    int64_t counts = interval < 0 ? -interval : interval - CounterNow();
    if (counts > 0) {
        std::this_thread::sleep_for(std::chrono::nanoseconds(counts * 100));
    } else {
        std::this_thread::yield();
    }
}

}  // namespace

// ---- Objects -------------------------------------------------------------------------------------------
void ReferenceObject(void* object, const ObjectType* type)
{
    ObjectRegistry& registry = Objects();
    std::lock_guard<std::mutex> lock(registry.mutex);
    ObjectEntry& entry = registry.objects.try_emplace(object, ObjectEntry{type}).first->second;
    entry.references += 1;
}

HANDLE OpenHandle(void* object, const ObjectType* type)
{
    ObjectRegistry& registry = Objects();
    std::lock_guard<std::mutex> lock(registry.mutex);
    ObjectEntry& entry = registry.objects.try_emplace(object, ObjectEntry{type}).first->second;
    entry.handles += 1;
    registry.nextHandle += 4;
    uintptr_t value = KernelHandleBase + registry.nextHandle;
    registry.handles.emplace(value, HandleEntry{object, type, detail::CaptureFrames()});
    return reinterpret_cast<HANDLE>(value);
}

int64_t ObjectReferences(const void* object)
{
    ObjectRegistry& registry = Objects();
    std::lock_guard<std::mutex> lock(registry.mutex);
    auto it = registry.objects.find(object);
    return it == registry.objects.end() ? 0 : it->second.references + it->second.handles;
}

int OpenKernelHandles()
{
    ObjectRegistry& registry = Objects();
    std::lock_guard<std::mutex> lock(registry.mutex);
    return static_cast<int>(registry.handles.size());
}

int ReferencedThreadObjects()
{
    ObjectRegistry& registry = Objects();
    std::lock_guard<std::mutex> lock(registry.mutex);
    int count = 0;
    for (const auto& [object, entry] : registry.objects) {
        if (entry.type == &ThreadObjectType && entry.references > 0) {
            ++count;
        }
    }
    return count;
}

// ---- Clock ---------------------------------------------------------------------------------------------
void UseVirtualClock(int64_t startCounts)
{
    Dispatcher& d = Kernel();
    std::lock_guard<std::mutex> lock(d.mutex);
    d.virtualNow = startCounts;
    d.virtualClock = true;
    d.generation += 1;
    d.changed.notify_all();
}

void UseRealClock()
{
    Dispatcher& d = Kernel();
    std::lock_guard<std::mutex> lock(d.mutex);
    d.virtualClock = false;
    d.generation += 1;
    d.changed.notify_all();
}

bool IsVirtualClock() { return Kernel().virtualClock.load(); }

int64_t CounterNow()
{
    Dispatcher& d = Kernel();
    return d.virtualClock.load(std::memory_order_acquire) ? d.virtualNow.load(std::memory_order_acquire) : RealCounter();
}

void AdvanceClock(int64_t microseconds)
{
    Dispatcher& d = Kernel();
    std::unique_lock<std::mutex> lock(d.mutex);
    if (!d.virtualClock) {
        std::fprintf(stderr, "GvspFilter machine: AdvanceClock(%lld) on the real clock does nothing\n",
            static_cast<long long>(microseconds));
        return;
    }
    // A thread woken by an event runs on the time it was woken at: it settles first.
    if (!d.changed.wait_for(lock, WatchdogPeriod, [&] {
            return std::none_of(d.threads.begin(), d.threads.end(), [](const KernelThread* t) { return t->woken; });
        })) {
        std::fprintf(stderr, "GvspFilter machine: AdvanceClock: a system thread woken by an event did not settle "
                             "within 30 s\n");
    }
    d.virtualNow += microseconds * (PERFORMANCE_FREQUENCY / 1'000'000);
    std::vector<KernelThread*> due;
    for (KernelThread* thread : d.threads) {
        if (thread->sleeping && thread->deadline <= d.virtualNow) {
            due.push_back(thread);
        }
    }
    d.changed.notify_all();
    // Each woken thread runs its pass; the clock stands still until it sleeps again or ends.
    bool settled = d.changed.wait_for(lock, WatchdogPeriod, [&] {
        return std::all_of(due.begin(), due.end(), [&](KernelThread* thread) {
            return AtRest(thread, d.virtualNow) || !d.virtualClock;
        });
    });
    if (!settled) {
        std::fprintf(stderr, "GvspFilter machine: AdvanceClock: a woken system thread neither slept again nor ended "
                             "within 30 s\n");
    }
}

// ---- Threads ---------------------------------------------------------------------------------------------
int RunningSystemThreads()
{
    Dispatcher& d = Kernel();
    std::lock_guard<std::mutex> lock(d.mutex);
    return static_cast<int>(std::count_if(d.threads.begin(), d.threads.end(),
        [](const KernelThread* thread) { return !thread->ended && !thread->abandoned; }));
}

uint64_t SystemThreadSleeps() { return Kernel().sleeps.load(); }

void WaitForSystemThreadSleeps(uint64_t count)
{
    Dispatcher& d = Kernel();
    std::unique_lock<std::mutex> lock(d.mutex);
    if (!d.changed.wait_for(lock, WatchdogPeriod, [&] { return d.sleeps.load() >= count; })) {
        std::fprintf(stderr, "GvspFilter machine: WaitForSystemThreadSleeps(%llu): only %llu sleeps after 30 s\n",
            static_cast<unsigned long long>(count), static_cast<unsigned long long>(d.sleeps.load()));
    }
}

namespace detail {

void Delay(int64_t interval)
{
    auto* self = static_cast<KernelThread*>(CurrentKernelThread());
    if (self == nullptr) {
        // Test threads, NDIS and user-mode calls: their waits are polls in real time.
        RealSleep(interval);
        return;
    }
    Dispatcher& d = Kernel();
    std::unique_lock<std::mutex> lock(d.mutex);
    d.sleeps += 1;
    self->woken = false;
    if (!d.virtualClock) {
        d.changed.notify_all();
        lock.unlock();
        RealSleep(interval);
        return;
    }
    int64_t deadline = interval < 0 ? d.virtualNow - interval : interval;
    uint64_t generation = d.generation;
    self->sleeping = true;
    self->deadline = deadline;
    d.changed.notify_all();
    d.changed.wait(lock, [&] { return d.virtualNow >= deadline || d.generation != generation; });
    self->sleeping = false;
}

void CheckAndResetThreads(const char* when)
{
    Dispatcher& d = Kernel();
    std::unique_lock<std::mutex> lock(d.mutex);
    auto running = [&] {
        return std::any_of(d.threads.begin(), d.threads.end(),
            [](const KernelThread* thread) { return !thread->ended && !thread->abandoned; });
    };
    d.changed.wait_for(lock, std::chrono::seconds(2), [&] { return !running(); });
    std::vector<std::pair<uint32_t, std::string>> stillRunning;
    for (KernelThread* thread : d.threads) {
        if (!thread->ended && !thread->abandoned) {
            thread->abandoned = true;
            stillRunning.emplace_back(thread->id, SymboliseFrames(thread->createdAt));
        }
    }
    lock.unlock();
    for (const auto& [id, createdAt] : stillRunning) {
        ReportViolation(Rule::HandleLeak, "%s: system thread %u is still running; created:\n      at %s", when, id,
            createdAt.c_str());
    }
}

void CheckAndResetObjects(const char* when)
{
    std::vector<std::string> leaks;
    {
        ObjectRegistry& registry = Objects();
        std::lock_guard<std::mutex> lock(registry.mutex);
        for (const auto& [value, handle] : registry.handles) {
            char text[160];
            std::snprintf(text, sizeof text, "kernel handle %p to %s object %p is still open; opened:\n      at ",
                reinterpret_cast<void*>(value), handle.type != nullptr ? handle.type->name : "an", handle.object);
            leaks.push_back(text + SymboliseFrames(handle.openedAt));
        }
        for (const auto& [object, entry] : registry.objects) {
            if (entry.references > 0) {
                char text[160];
                std::snprintf(text, sizeof text, "%lld reference(s) on %s object %p not released",
                    static_cast<long long>(entry.references), entry.type != nullptr ? entry.type->name : "an", object);
                leaks.push_back(text);
            }
        }
        registry.handles.clear();
        registry.objects.clear();
    }
    for (const std::string& text : leaks) {
        ReportViolation(Rule::HandleLeak, "%s: %s", when, text.c_str());
    }
    // Thread objects that ended are no longer anyone's: the next machine starts without them.
    Dispatcher& d = Kernel();
    std::lock_guard<std::mutex> lock(d.mutex);
    for (auto it = d.threads.begin(); it != d.threads.end();) {
        if ((*it)->ended) {
            delete *it;
            it = d.threads.erase(it);
        } else {
            ++it;
        }
    }
}

}  // namespace detail

void CheckAndResetKernel(const char* when)
{
    detail::CheckAndResetThreads(when);
    detail::CheckAndResetLocks(when);
    detail::CheckAndResetRwLocks(when);
    detail::CheckAndResetLookasides(when);
    detail::CheckAndResetObjects(when);
    detail::CheckAndResetEtw(when);
    UseRealClock();
    ResetFaults();
    ResetPool();
}

}  // namespace host

// ---- Threads and objects ----------------------------------------------------------------------------
NTSTATUS PsCreateSystemThread(PHANDLE threadHandle, ULONG, POBJECT_ATTRIBUTES, HANDLE, PCLIENT_ID,
    PKSTART_ROUTINE startRoutine, PVOID startContext)
{
    host::RequireIrqlAtMost(PASSIVE_LEVEL, "PsCreateSystemThread");
    int32_t status = 0;
    if (host::ShouldFail(host::Fault::ThreadCreation, &status)) {
        return status != 0 ? status : STATUS_INSUFFICIENT_RESOURCES;
    }
    host::Dispatcher& d = host::Kernel();
    auto* thread = new host::KernelThread{0, startRoutine, startContext, host::detail::CaptureFrames()};
    {
        std::lock_guard<std::mutex> lock(d.mutex);
        thread->id = d.nextThreadId++;
        d.threads.push_back(thread);
    }
    // The handle is in place before the thread runs: the routine may read it from where the
    // driver keeps it.
    HANDLE previous = *threadHandle;
    HANDLE handle = host::OpenHandle(thread, &host::ThreadObjectType);
    *threadHandle = handle;
    try {
        std::thread(host::ThreadTop, thread).detach();
    } catch (...) {
        *threadHandle = previous;
        {
            std::lock_guard<std::mutex> lock(d.mutex);
            thread->ended = true;
        }
        ZwClose(handle);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}

NTSTATUS PsTerminateSystemThread(NTSTATUS exitStatus)
{
    host::RequireIrqlAtMost(PASSIVE_LEVEL, "PsTerminateSystemThread");
    if (!host::IsSystemThread()) {
        std::fprintf(stderr, "GvspFilter machine: PsTerminateSystemThread called on a thread that is not a system thread\n");
    }
    throw host::SystemThreadExit{exitStatus};
}

NTSTATUS ObReferenceObjectByHandle(HANDLE handle, ACCESS_MASK, POBJECT_TYPE, KPROCESSOR_MODE, PVOID* object, PVOID)
{
    host::RequireIrqlAtMost(PASSIVE_LEVEL, "ObReferenceObjectByHandle");
    host::ObjectRegistry& registry = host::Objects();
    std::lock_guard<std::mutex> lock(registry.mutex);
    auto it = registry.handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == registry.handles.end()) {
        return STATUS_INVALID_HANDLE;
    }
    registry.objects[it->second.object].references += 1;
    *object = it->second.object;
    return STATUS_SUCCESS;
}

LONG_PTR ObfDereferenceObject(PVOID object)
{
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "ObfDereferenceObject");
    void (*lastReferenceGone)(void*) = nullptr;
    int64_t left;
    {
        host::ObjectRegistry& registry = host::Objects();
        std::lock_guard<std::mutex> lock(registry.mutex);
        auto it = registry.objects.find(object);
        if (it == registry.objects.end() || it->second.references == 0) {
            left = -1;
        } else {
            left = --it->second.references;
            if (left == 0 && it->second.handles == 0) {
                lastReferenceGone = it->second.type != nullptr ? it->second.type->lastReferenceGone : nullptr;
                registry.objects.erase(it);
            }
        }
    }
    if (left < 0) {
        host::ReportViolation(host::Rule::HandleLeak, "ObfDereferenceObject of %p, on which no reference is held", object);
        return 0;
    }
    if (lastReferenceGone != nullptr) {
        lastReferenceGone(object);
    }
    return left;
}

NTSTATUS ZwClose(HANDLE handle)
{
    host::RequireIrqlAtMost(PASSIVE_LEVEL, "ZwClose");
    void (*lastReferenceGone)(void*) = nullptr;
    void* object = nullptr;
    {
        host::ObjectRegistry& registry = host::Objects();
        std::lock_guard<std::mutex> lock(registry.mutex);
        auto it = registry.handles.find(reinterpret_cast<uintptr_t>(handle));
        if (it != registry.handles.end()) {
            object = it->second.object;
            registry.handles.erase(it);
            auto entry = registry.objects.find(object);
            if (entry != registry.objects.end() && --entry->second.handles == 0 && entry->second.references == 0) {
                lastReferenceGone = entry->second.type != nullptr ? entry->second.type->lastReferenceGone : nullptr;
                registry.objects.erase(entry);
            }
        }
    }
    if (object == nullptr) {
        host::ReportViolation(host::Rule::HandleLeak, "ZwClose of %p, which is not an open kernel handle", handle);
        return STATUS_INVALID_HANDLE;
    }
    if (lastReferenceGone != nullptr) {
        lastReferenceGone(object);
    }
    return STATUS_SUCCESS;
}

// ---- Events ------------------------------------------------------------------------------------------------
namespace host {
namespace {

constexpr ULONG64 KEVENT_INITIALIZED = 0x4556454E54ull;   // "EVENT"

bool IsEvent(const void* object)
{
    return static_cast<const KEVENT*>(object)->Initialized == KEVENT_INITIALIZED;
}

bool CheckEvent(const KEVENT* event, const char* routine)
{
    if (event == nullptr || !IsEvent(event)) {
        ReportViolation(Rule::LockMisuse, "%s on %p, which KeInitializeEvent did not initialize", routine,
            static_cast<const void*>(event));
        return false;
    }
    return true;
}

// Under the dispatcher mutex: the wait on a set event ends; a synchronization event resets.
NTSTATUS TakeEvent(KEVENT* event)
{
    if (event->Type == SynchronizationEvent) {
        event->SignalState = 0;
    }
    return STATUS_SUCCESS;
}

// A system thread on the virtual clock waits with a virtual deadline, as in a delay; every other
// wait has a real one. A NULL timeout waits until the event is set.
NTSTATUS WaitForEvent(KEVENT* event, PLARGE_INTEGER timeout)
{
    Dispatcher& d = Kernel();
    std::unique_lock<std::mutex> lock(d.mutex);
    if (event->SignalState != 0) {
        return TakeEvent(event);
    }
    if (timeout != nullptr && timeout->QuadPart == 0) {
        return STATUS_TIMEOUT;
    }
    auto* self = static_cast<KernelThread*>(detail::CurrentKernelThread());
    const bool virtualDeadline = timeout != nullptr && self != nullptr && d.virtualClock;
    const uint64_t generation = d.generation;
    int64_t deadline = 0;
    auto realDeadline = std::chrono::steady_clock::time_point::max();
    if (virtualDeadline) {
        deadline = timeout->QuadPart < 0 ? d.virtualNow - timeout->QuadPart : timeout->QuadPart;
    } else if (timeout != nullptr) {
        int64_t counts = timeout->QuadPart < 0 ? -timeout->QuadPart : timeout->QuadPart - CounterNow();
        realDeadline = std::chrono::steady_clock::now() + std::chrono::nanoseconds(std::max<int64_t>(counts, 0) * 100);
    }
    if (self != nullptr) {
        d.sleeps += 1;
        self->woken = false;
        self->waitingOn = event;
        self->sleeping = virtualDeadline;
        self->deadline = deadline;
        d.changed.notify_all();
    }
    NTSTATUS status = STATUS_TIMEOUT;
    for (;;) {
        if (event->SignalState != 0) {
            status = TakeEvent(event);
            break;
        }
        if (virtualDeadline && (d.virtualNow >= deadline || d.generation != generation)) {
            break;
        }
        if (realDeadline == std::chrono::steady_clock::time_point::max()) {
            d.changed.wait(lock);
        } else if (d.changed.wait_until(lock, realDeadline) == std::cv_status::timeout && event->SignalState == 0) {
            break;
        }
    }
    if (self != nullptr) {
        self->waitingOn = nullptr;
        self->sleeping = false;
    }
    return status;
}

}  // namespace
}  // namespace host

VOID KeInitializeEvent(PKEVENT event, EVENT_TYPE type, BOOLEAN state)
{
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "KeInitializeEvent");
    host::Dispatcher& d = host::Kernel();
    std::lock_guard<std::mutex> lock(d.mutex);
    event->Type = static_cast<UCHAR>(type);
    event->SignalState = state != FALSE ? 1 : 0;
    event->Initialized = host::KEVENT_INITIALIZED;
}

LONG KeSetEvent(PKEVENT event, LONG, BOOLEAN wait)
{
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "KeSetEvent");
    if (wait != FALSE) {
        host::ReportViolation(host::Rule::LockMisuse, "KeSetEvent with Wait TRUE, which this machine does not emulate");
    }
    if (!host::CheckEvent(event, "KeSetEvent")) {
        return 0;
    }
    host::Dispatcher& d = host::Kernel();
    std::lock_guard<std::mutex> lock(d.mutex);
    LONG previous = event->SignalState;
    event->SignalState = 1;
    for (host::KernelThread* thread : d.threads) {
        if (thread->waitingOn == event) {
            thread->woken = true;
        }
    }
    d.changed.notify_all();
    return previous;
}

VOID KeClearEvent(PKEVENT event)
{
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "KeClearEvent");
    if (host::CheckEvent(event, "KeClearEvent")) {
        host::Dispatcher& d = host::Kernel();
        std::lock_guard<std::mutex> lock(d.mutex);
        event->SignalState = 0;
    }
}

// ---- Waits ------------------------------------------------------------------------------------------------
NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER timeout)
{
    bool poll = timeout != nullptr && timeout->QuadPart == 0;
    if (poll) {
        host::RequireIrqlAtMost(DISPATCH_LEVEL, "KeWaitForSingleObject");
    } else if (KeGetCurrentIrql() > APC_LEVEL || host::LocksHeldByThisThread() != 0) {
        host::ReportViolation(host::Rule::WaitAtDispatch, "KeWaitForSingleObject with a time-out at IRQL %u%s%s",
            unsigned(KeGetCurrentIrql()), host::LocksHeldByThisThread() != 0 ? " holding " : "",
            host::detail::HeldLocksOfThisThread().c_str());
    }
    host::Dispatcher& d = host::Kernel();
    std::unique_lock<std::mutex> lock(d.mutex);
    host::KernelThread* thread = host::FindThread(object);
    if (thread == nullptr) {
        lock.unlock();
        if (host::IsEvent(object)) {
            return host::WaitForEvent(static_cast<PKEVENT>(object), timeout);
        }
        host::ReportViolation(host::Rule::HandleLeak,
            "KeWaitForSingleObject on %p, which is neither a thread object nor an initialized event", object);
        return STATUS_INVALID_PARAMETER;
    }
    if (thread == host::detail::CurrentKernelThread()) {
        lock.unlock();
        host::ReportViolation(host::Rule::LockMisuse, "system thread %u waits for itself to end (deadlock)", thread->id);
        return STATUS_INVALID_PARAMETER;
    }
    std::chrono::steady_clock::time_point timeoutAt = std::chrono::steady_clock::time_point::max();
    if (timeout != nullptr && !poll) {
        int64_t counts = timeout->QuadPart < 0 ? -timeout->QuadPart : timeout->QuadPart - host::CounterNow();
        timeoutAt = std::chrono::steady_clock::now() + std::chrono::nanoseconds(std::max<int64_t>(counts, 0) * 100);
    }
    auto watchdogAt = std::chrono::steady_clock::now() + host::WatchdogPeriod;
    for (;;) {
        if (thread->ended) {
            return STATUS_WAIT_0;
        }
        if (poll) {
            return host::STATUS_TIMEOUT;
        }
        // A waiter never hangs on virtual time: the clock jumps to the sleeper's deadline.
        if (d.virtualClock && thread->sleeping && thread->deadline > d.virtualNow) {
            d.virtualNow = thread->deadline;
            d.changed.notify_all();
            continue;
        }
        auto until = std::min(timeoutAt, watchdogAt);
        if (d.changed.wait_until(lock, until) == std::cv_status::timeout) {
            auto now = std::chrono::steady_clock::now();
            if (now >= timeoutAt && !thread->ended) {
                return host::STATUS_TIMEOUT;
            }
            if (now >= watchdogAt) {
                std::fprintf(stderr, "GvspFilter machine: still waiting for system thread %u to end after 30 s\n",
                    thread->id);
                watchdogAt = now + host::WatchdogPeriod;
            }
        }
    }
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER interval)
{
    if (KeGetCurrentIrql() > APC_LEVEL || host::LocksHeldByThisThread() != 0) {
        host::ReportViolation(host::Rule::WaitAtDispatch, "KeDelayExecutionThread at IRQL %u%s%s",
            unsigned(KeGetCurrentIrql()), host::LocksHeldByThisThread() != 0 ? " holding " : "",
            host::detail::HeldLocksOfThisThread().c_str());
    }
    host::detail::Delay(interval->QuadPart);
    return STATUS_SUCCESS;
}

// ---- Performance counter ------------------------------------------------------------------------------
LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER performanceFrequency)
{
    if (performanceFrequency != nullptr) {
        performanceFrequency->QuadPart = host::PERFORMANCE_FREQUENCY;
    }
    LARGE_INTEGER now;
    now.QuadPart = host::CounterNow();
    return now;
}
