// The memory manager of the emulated machine: user processes' memory (a memfd per process mapped
// into a reserved range), MDLs, probe-and-lock, system mappings in a reserved arena and the
// fault handler that names a use of a mapping after unlock. Host only.
#include "host/memory/memory.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <vector>

#include "host/io/io.h"
#include "host/kernel/kernel.h"
#include "host/verifier/checker.h"
#include "host/verifier/faults.h"

namespace host {

namespace {

constexpr size_t PROCESS_RANGE_BYTES = size_t(4) << 30;      // user range of one process
constexpr size_t SYSTEM_ARENA_BYTES = size_t(64) << 30;      // where system mappings are placed, at most
constexpr size_t SYSTEM_ARENA_MIN_BYTES = size_t(1) << 30;   // ... and at least, where address space is scarce
constexpr size_t FORMER_MAPPINGS_REMEMBERED = 256;
HANDLE const SYSTEM_PROCESS_ID = reinterpret_cast<HANDLE>(uintptr_t(4));

size_t PageRound(size_t bytes) { return (bytes + HOST_PAGE_SIZE - 1) & ~(HOST_PAGE_SIZE - 1); }
uintptr_t PageDown(uintptr_t a) { return a & ~uintptr_t(HOST_PAGE_SIZE - 1); }

}  // namespace

// Committed regions of one process. Guarded by the memory manager lock (MemoryLock).
struct ProcessMemory {
    struct Region {
        size_t bytes = 0;
        bool readOnly = false;
    };
    UserProcess* process = nullptr;
    int memfd = -1;
    uint8_t* base = nullptr;
    std::map<size_t, Region> regions;   // offset from base -> region

    bool Covers(uintptr_t start, size_t bytes, bool writable) const
    {
        uintptr_t b = reinterpret_cast<uintptr_t>(base);
        if (start < b || bytes > PROCESS_RANGE_BYTES || start - b > PROCESS_RANGE_BYTES - bytes) {
            return false;
        }
        size_t offset = start - b;
        size_t end = offset + bytes;
        // Regions are separated by guard pages, so one region must hold the whole range.
        auto it = regions.upper_bound(offset);
        if (it == regions.begin()) {
            return false;
        }
        --it;
        if (offset < it->first || end > it->first + it->second.bytes) {
            return false;
        }
        return !(writable && it->second.readOnly);
    }
    bool InRange(uintptr_t a) const
    {
        uintptr_t b = reinterpret_cast<uintptr_t>(base);
        return a >= b && a - b < PROCESS_RANGE_BYTES;
    }
};

namespace {

// A range of pages locked through an MDL, with its system mapping if one was made.
struct LockRecord {
    ProcessMemory* memory = nullptr;   // NULL: kernel memory locked in kernel mode
    uintptr_t start = 0;               // page-aligned user address
    size_t bytes = 0;                  // whole pages
    uintptr_t systemBase = 0;          // 0 until mapped
};

struct FormerMapping {
    std::atomic<uintptr_t> base{0};
    std::atomic<size_t> bytes{0};
    std::atomic<uintptr_t> mdl{0};
};

// Memory manager state. Guarded by MemoryLock, except the arena bounds (written once) and the
// former mappings (atomics read by the fault handler).
std::mutex MemoryLock;
std::vector<ProcessMemory*> Processes;
std::map<PMDL, bool> Mdls;                       // every MDL from IoAllocateMdl -> allocated
std::map<PMDL, LockRecord> Locks;                // MDLs with locked pages
std::map<uintptr_t, size_t> SystemMappings;      // live system mappings: base -> bytes
uintptr_t ArenaBase = 0;
size_t ArenaBytes = 0;
uintptr_t ArenaCursor = 0;
FormerMapping FormerMappings[FORMER_MAPPINGS_REMEMBERED];
std::atomic<size_t> FormerMappingNext{0};
std::atomic<uintptr_t> ArenaBaseForHandler{0};
std::atomic<size_t> ArenaBytesForHandler{0};

struct sigaction PreviousSegv;
struct sigaction PreviousBus;
bool HandlerInstalled = false;

void ReserveArena()
{
    if (ArenaBase != 0) {
        return;
    }
    // A smaller arena where the address space is limited (under an instrumenting profiler):
    // addresses are only reused sooner.
    size_t bytes = SYSTEM_ARENA_BYTES;
    void* p = mmap(nullptr, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    while (p == MAP_FAILED && bytes > SYSTEM_ARENA_MIN_BYTES) {
        bytes /= 2;
        p = mmap(nullptr, bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    }
    if (p == MAP_FAILED) {
        std::perror("memory manager: cannot reserve the system mapping arena");
        std::abort();
    }
    ArenaBase = reinterpret_cast<uintptr_t>(p);
    ArenaBytes = bytes;
    ArenaCursor = ArenaBase;
    ArenaBytesForHandler.store(ArenaBytes);
    ArenaBaseForHandler.store(ArenaBase);
}

// Finds room for `bytes` in the arena after the cursor, skipping live mappings, with a guard
// page after each mapping. Addresses are reused only after the cursor wraps around.
// _Requires_lock_held_(MemoryLock)
uintptr_t PlaceSystemMapping(size_t bytes)
{
    ReserveArena();
    size_t need = bytes + HOST_PAGE_SIZE;
    for (int pass = 0; pass < 2; ++pass) {
        uintptr_t candidate = ArenaCursor;
        while (candidate + need <= ArenaBase + ArenaBytes) {
            auto next = SystemMappings.lower_bound(candidate);
            if (next != SystemMappings.begin()) {
                auto prev = std::prev(next);
                if (prev->first + prev->second + HOST_PAGE_SIZE > candidate) {
                    candidate = prev->first + prev->second + HOST_PAGE_SIZE;
                    continue;
                }
            }
            if (next == SystemMappings.end() || next->first >= candidate + need) {
                ArenaCursor = candidate + need;
                return candidate;
            }
            candidate = next->first + next->second + HOST_PAGE_SIZE;
        }
        ArenaCursor = ArenaBase;
    }
    return 0;
}

ProcessMemory* ProcessOfId(HANDLE id)
{
    for (ProcessMemory* m : Processes) {
        if (m->process->Id() == id) {
            return m;
        }
    }
    return nullptr;
}

ProcessMemory* ProcessOfAddress(uintptr_t a)
{
    for (ProcessMemory* m : Processes) {
        if (m->InRange(a)) {
            return m;
        }
    }
    return nullptr;
}

// _Requires_lock_held_(MemoryLock)
const LockRecord* LockOverlapping(const ProcessMemory* memory, uintptr_t start, size_t bytes)
{
    for (const auto& [mdl, lock] : Locks) {
        if (lock.memory == memory && lock.start < start + bytes && start < lock.start + lock.bytes) {
            return &lock;
        }
    }
    return nullptr;
}

void WriteRaw(const char* text) { (void)!write(STDERR_FILENO, text, std::strlen(text)); }

void ChainTo(const struct sigaction& previous, int signal, siginfo_t* info, void* context)
{
    if ((previous.sa_flags & SA_SIGINFO) && previous.sa_sigaction != nullptr) {
        previous.sa_sigaction(signal, info, context);
        return;
    }
    if (previous.sa_handler == SIG_IGN) {
        return;
    }
    if (previous.sa_handler != SIG_DFL && previous.sa_handler != nullptr) {
        previous.sa_handler(signal);
        return;
    }
    // The default action: let the fault happen again without us.
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(signal, &dfl, nullptr);
}

void MappingFaultHandler(int signal, siginfo_t* info, void* context)
{
    uintptr_t address = reinterpret_cast<uintptr_t>(info->si_addr);
    uintptr_t arena = ArenaBaseForHandler.load();
    if (arena != 0 && address >= arena && address - arena < ArenaBytesForHandler.load()) {
        uintptr_t base = 0;
        size_t bytes = 0;
        uintptr_t mdl = 0;
        for (const FormerMapping& former : FormerMappings) {
            uintptr_t b = former.base.load();
            size_t n = former.bytes.load();
            if (b != 0 && address >= b && address - b < n) {
                base = b;
                bytes = n;
                mdl = former.mdl.load();
            }
        }
        char text[320];
        std::snprintf(text, sizeof text,
            "\nchecker: MappingUsedAfterUnlock: access to system address %#" PRIxPTR
            ", inside the system mapping %#" PRIxPTR "+%zu of MDL %#" PRIxPTR
            " whose pages were unlocked (a fault cannot continue)\n",
            address, base, bytes, mdl);
        WriteRaw(text);
        ReportViolation(Rule::MappingUsedAfterUnlock,
            "access to system address %#" PRIxPTR " after MmUnlockPages ended its mapping (%#" PRIxPTR
            "+%zu, MDL %#" PRIxPTR ")",
            address, base, bytes, mdl);
        std::abort();
    }
    // Not a system mapping: the previous handler (the sanitizer's, or the default action)
    // deals with the fault.
    ChainTo(signal == SIGBUS ? PreviousBus : PreviousSegv, signal, info, context);
}

}  // namespace

// ---- UserProcess memory -------------------------------------------------------------------

UserProcess::UserProcess(uint32_t number)
    : id_(reinterpret_cast<HANDLE>(uintptr_t(0x1000) + 4 * uintptr_t(number))),
      memory_(std::make_unique<ProcessMemory>()),
      io_(NewProcessIo(this))
{
    ProcessMemory& m = *memory_;
    m.process = this;
    char name[32];
    std::snprintf(name, sizeof name, "user-process-%u", number);
    m.memfd = memfd_create(name, MFD_CLOEXEC);
    if (m.memfd < 0 || ftruncate(m.memfd, off_t(PROCESS_RANGE_BYTES)) != 0) {
        std::perror("memory manager: cannot create process memory");
        std::abort();
    }
    void* p = mmap(nullptr, PROCESS_RANGE_BYTES, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) {
        std::perror("memory manager: cannot reserve the process range");
        std::abort();
    }
    m.base = static_cast<uint8_t*>(p);
    std::lock_guard<std::mutex> guard(MemoryLock);
    Processes.push_back(&m);
}

UserProcess::~UserProcess()
{
    End();
    std::lock_guard<std::mutex> guard(MemoryLock);
    std::erase(Processes, memory_.get());
}

void* UserProcess::Allocate(size_t bytes)
{
    if (bytes == 0 || ended_) {
        return nullptr;
    }
    size_t size = PageRound(bytes);
    std::lock_guard<std::mutex> guard(MemoryLock);
    ProcessMemory& m = *memory_;
    // First fit, a guard page after every region; the last page is never committed.
    size_t offset = 0;
    for (const auto& [start, region] : m.regions) {
        if (start >= offset + size + HOST_PAGE_SIZE) {
            break;
        }
        offset = start + region.bytes + HOST_PAGE_SIZE;
    }
    if (offset + size + HOST_PAGE_SIZE > PROCESS_RANGE_BYTES) {
        return nullptr;
    }
    void* p = mmap(m.base + offset, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, m.memfd, off_t(offset));
    if (p == MAP_FAILED) {
        return nullptr;
    }
    m.regions[offset] = ProcessMemory::Region{size, false};
    return p;
}

void UserProcess::Free(void* p)
{
    std::lock_guard<std::mutex> guard(MemoryLock);
    ProcessMemory& m = *memory_;
    uintptr_t a = reinterpret_cast<uintptr_t>(p);
    auto it = m.InRange(a) ? m.regions.find(a - reinterpret_cast<uintptr_t>(m.base)) : m.regions.end();
    if (it == m.regions.end()) {
        ReportViolation(Rule::MdlMisuse, "process %p frees %p, which is not one of its allocations", Id(), p);
        return;
    }
    if (const LockRecord* lock = LockOverlapping(&m, a, it->second.bytes)) {
        ReportViolation(Rule::MdlMisuse, "process %p frees %p (%zu bytes) while pages at %#" PRIxPTR " are locked",
            Id(), p, it->second.bytes, lock->start);
    }
    mmap(p, it->second.bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED | MAP_NORESERVE, -1, 0);
    fallocate(m.memfd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE, off_t(it->first), off_t(it->second.bytes));
    m.regions.erase(it);
}

void UserProcess::Protect(void* p, bool readOnly)
{
    std::lock_guard<std::mutex> guard(MemoryLock);
    ProcessMemory& m = *memory_;
    uintptr_t a = reinterpret_cast<uintptr_t>(p);
    auto it = m.InRange(a) ? m.regions.find(a - reinterpret_cast<uintptr_t>(m.base)) : m.regions.end();
    if (it == m.regions.end()) {
        ReportViolation(Rule::MdlMisuse, "process %p protects %p, which is not one of its allocations", Id(), p);
        return;
    }
    mprotect(p, it->second.bytes, readOnly ? PROT_READ : PROT_READ | PROT_WRITE);
    it->second.readOnly = readOnly;
}

void* UserProcess::InvalidAddress() const { return memory_->base + PROCESS_RANGE_BYTES - HOST_PAGE_SIZE; }

bool UserProcess::IsValidRange(const void* p, size_t bytes, bool writable) const
{
    std::lock_guard<std::mutex> guard(MemoryLock);
    return memory_->Covers(reinterpret_cast<uintptr_t>(p), bytes, writable);
}

// ---- Process notify routines ----------------------------------------------------------------

namespace {

struct ProcessNotifyRegistry {
    std::mutex mutex;
    std::vector<PCREATE_PROCESS_NOTIFY_ROUTINE_EX> routines;   // registration order
    std::condition_variable idle;
    int running = 0;   // calls in progress
};

ProcessNotifyRegistry& ProcessNotify()
{
    static ProcessNotifyRegistry* registry = new ProcessNotifyRegistry;
    return *registry;
}

// Calls every registered routine for the exit of `process`, in its context at PASSIVE_LEVEL.
void NotifyProcessExit(const UserProcess& process)
{
    ProcessNotifyRegistry& registry = ProcessNotify();
    std::vector<PCREATE_PROCESS_NOTIFY_ROUTINE_EX> routines;
    {
        std::lock_guard<std::mutex> lock(registry.mutex);
        routines = registry.routines;
        registry.running += 1;
    }
    {
        ProcessContext context(&process);
        for (PCREATE_PROCESS_NOTIFY_ROUTINE_EX routine : routines) {
            CallHandlerAt(PASSIVE_LEVEL, "process notify routine",
                [&] { routine(reinterpret_cast<PEPROCESS>(const_cast<UserProcess*>(&process)), process.Id(), nullptr); });
        }
    }
    std::lock_guard<std::mutex> lock(registry.mutex);
    registry.running -= 1;
    registry.idle.notify_all();
}

}  // namespace

size_t CheckNoProcessNotifyRoutines(const char* when)
{
    ProcessNotifyRegistry& registry = ProcessNotify();
    std::vector<PCREATE_PROCESS_NOTIFY_ROUTINE_EX> left;
    {
        std::lock_guard<std::mutex> lock(registry.mutex);
        left.swap(registry.routines);
    }
    for (PCREATE_PROCESS_NOTIFY_ROUTINE_EX routine : left) {
        ReportViolation(Rule::HandleLeak, "%s: process notify routine %p is still registered: the next process exit "
            "would call into the unloaded driver", when, reinterpret_cast<void*>(routine));
    }
    return left.size();
}

void UserProcess::End()
{
    if (ended_) {
        return;
    }
    // As the system ends a process: its requests are cancelled, the process notify routines run,
    // then its handles are closed (cleanup and close for last handles) and its memory released.
    CancelProcessIo(*this);
    NotifyProcessExit(*this);
    CloseProcessHandles(*this);
    ended_ = true;
    std::lock_guard<std::mutex> guard(MemoryLock);
    ProcessMemory& m = *memory_;
    for (auto it = Locks.begin(); it != Locks.end();) {
        if (it->second.memory == &m) {
            ReportViolation(Rule::MdlMisuse, "process %p ended with pages %#" PRIxPTR "+%zu still locked by MDL %p",
                Id(), it->second.start, it->second.bytes, static_cast<void*>(it->first));
            // The pages stay as they are (a locked page outlives its process); forget the lock.
            it->first->MdlFlags = CSHORT(it->first->MdlFlags & ~MDL_PAGES_LOCKED);
            it = Locks.erase(it);
        } else {
            ++it;
        }
    }
    munmap(m.base, PROCESS_RANGE_BYTES);
    close(m.memfd);
    m.memfd = -1;
    m.regions.clear();
}

// ---- Process context ----------------------------------------------------------------------

ProcessContext::ProcessContext(const UserProcess* process) : previous_(PsGetCurrentProcessId())
{
    SetCurrentProcessId(process != nullptr ? process->Id() : SYSTEM_PROCESS_ID);
}

ProcessContext::~ProcessContext() { SetCurrentProcessId(previous_); }

// ---- Machine-facing state -----------------------------------------------------------------

void InstallMappingFaultHandler()
{
    std::lock_guard<std::mutex> guard(MemoryLock);
    ReserveArena();
    if (HandlerInstalled) {
        return;
    }
    struct sigaction action {};
    action.sa_sigaction = MappingFaultHandler;
    action.sa_flags = SA_SIGINFO | SA_NODEFER;
    sigemptyset(&action.sa_mask);
    sigaction(SIGSEGV, &action, &PreviousSegv);
    sigaction(SIGBUS, &action, &PreviousBus);
    HandlerInstalled = true;
}

size_t CheckNoMdls(const char* when)
{
    std::lock_guard<std::mutex> guard(MemoryLock);
    size_t found = 0;
    for (const auto& [mdl, lock] : Locks) {
        ReportViolation(Rule::MdlMisuse, "%s: MDL %p still has pages %#" PRIxPTR "+%zu locked", when,
            static_cast<void*>(mdl), lock.start, lock.bytes);
        ++found;
    }
    for (const auto& [mdl, live] : Mdls) {
        ReportViolation(Rule::PoolLeak, "%s: MDL %p (IoAllocateMdl, %u bytes at %p) was not freed", when,
            static_cast<void*>(mdl), mdl->ByteCount, MmGetMdlVirtualAddress(mdl));
        ++found;
    }
    return found;
}

void ResetMemoryManager()
{
    std::lock_guard<std::mutex> guard(MemoryLock);
    for (const auto& [base, bytes] : SystemMappings) {
        mmap(reinterpret_cast<void*>(base), bytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED | MAP_NORESERVE,
            -1, 0);
    }
    SystemMappings.clear();
    Locks.clear();
    for (const auto& [mdl, live] : Mdls) {
        std::free(mdl);
    }
    Mdls.clear();
}

size_t LockedMdls()
{
    std::lock_guard<std::mutex> guard(MemoryLock);
    return Locks.size();
}

size_t LiveSystemMappings()
{
    std::lock_guard<std::mutex> guard(MemoryLock);
    return SystemMappings.size();
}

bool IsKernelAddress(uint64_t value)
{
    if (IsPoolAddress(reinterpret_cast<const void*>(value))) {
        return true;
    }
    if (value - ArenaBaseForHandler.load() < ArenaBytesForHandler.load()) {
        return true;
    }
    std::lock_guard<std::mutex> guard(MemoryLock);
    auto it = Mdls.upper_bound(reinterpret_cast<PMDL>(value));
    if (it == Mdls.begin()) {
        return false;
    }
    --it;
    return it->second && value - reinterpret_cast<uint64_t>(it->first) < uint64_t(it->first->Size);
}

bool IsFormerSystemMapping(const void* p)
{
    uintptr_t a = reinterpret_cast<uintptr_t>(p);
    for (const FormerMapping& former : FormerMappings) {
        uintptr_t b = former.base.load();
        if (b != 0 && a >= b && a - b < former.bytes.load()) {
            return true;
        }
    }
    return false;
}

}  // namespace host

using host::HOST_PAGE_SIZE;
using host::ReportViolation;
using host::Rule;

// ---- MDLs and page locking ----------------------------------------------------------------

PMDL IoAllocateMdl(PVOID virtualAddress, ULONG length, BOOLEAN secondaryBuffer, BOOLEAN chargeQuota, PIRP irp)
{
    (void)chargeQuota;
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateMdl");
    if (host::ShouldFail(host::Fault::MdlAllocation)) {
        return nullptr;
    }
    uintptr_t va = reinterpret_cast<uintptr_t>(virtualAddress);
    size_t pages = (host::PageRound((va & (HOST_PAGE_SIZE - 1)) + length)) / HOST_PAGE_SIZE;
    size_t size = sizeof(MDL) + pages * sizeof(ULONG_PTR);
    auto* mdl = static_cast<PMDL>(std::calloc(1, size));
    if (mdl == nullptr) {
        return nullptr;
    }
    mdl->Size = CSHORT(size > 0x7FFF ? 0x7FFF : size);
    mdl->StartVa = reinterpret_cast<PVOID>(host::PageDown(va));
    mdl->ByteOffset = ULONG(va & (HOST_PAGE_SIZE - 1));
    mdl->ByteCount = length;
    mdl->Process = PsGetCurrentProcessId();
    if (irp != nullptr) {
        if (!secondaryBuffer) {
            irp->MdlAddress = mdl;
        } else {
            PMDL* tail = &irp->MdlAddress;
            while (*tail != nullptr) {
                tail = &(*tail)->Next;
            }
            *tail = mdl;
        }
    }
    std::lock_guard<std::mutex> guard(host::MemoryLock);
    host::Mdls[mdl] = true;
    return mdl;
}

VOID IoFreeMdl(PMDL mdl)
{
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "IoFreeMdl");
    std::lock_guard<std::mutex> guard(host::MemoryLock);
    if (host::Mdls.erase(mdl) == 0) {
        ReportViolation(Rule::MdlMisuse, "IoFreeMdl of %p, which is not an MDL from IoAllocateMdl (or freed twice)",
            static_cast<void*>(mdl));
        return;
    }
    if (host::Locks.count(mdl) != 0 || (mdl->MdlFlags & MDL_PAGES_LOCKED)) {
        ReportViolation(Rule::MdlMisuse, "IoFreeMdl of MDL %p whose pages are still locked", static_cast<void*>(mdl));
        host::Locks.erase(mdl);
    }
    std::free(mdl);
}

NTSTATUS MmProbeAndLockPagesChecked(PMDL mdl, KPROCESSOR_MODE accessMode, LOCK_OPERATION operation)
{
    host::RequireIrqlAtMost(APC_LEVEL, "MmProbeAndLockPages");
    int32_t failure = 0;
    if (host::ShouldFail(host::Fault::PageLocking, &failure)) {
        return failure != 0 ? failure : STATUS_ACCESS_VIOLATION;
    }
    uintptr_t start = reinterpret_cast<uintptr_t>(mdl->StartVa);
    size_t bytes = host::PageRound(mdl->ByteOffset + size_t(mdl->ByteCount));
    bool write = operation != IoReadAccess;
    HANDLE current = PsGetCurrentProcessId();

    std::lock_guard<std::mutex> guard(host::MemoryLock);
    if (mdl->MdlFlags & MDL_PAGES_LOCKED) {
        ReportViolation(Rule::MdlMisuse, "MmProbeAndLockPages of MDL %p whose pages are already locked",
            static_cast<void*>(mdl));
        return STATUS_ACCESS_VIOLATION;
    }
    host::ProcessMemory* owner = host::ProcessOfAddress(start);
    host::ProcessMemory* memory = nullptr;
    if (owner != nullptr || accessMode == UserMode) {
        // User memory: valid only as memory of the calling process, with the access asked for.
        memory = host::ProcessOfId(current);
        if (mdl->ByteCount == 0 || memory == nullptr || memory != owner ||
            !memory->Covers(start + mdl->ByteOffset, mdl->ByteCount, write)) {
            return STATUS_ACCESS_VIOLATION;
        }
    }
    host::Locks[mdl] = host::LockRecord{memory, start, bytes, 0};
    mdl->MdlFlags = CSHORT(mdl->MdlFlags | MDL_PAGES_LOCKED);
    mdl->Process = memory != nullptr ? memory->process->Id() : current;
    return STATUS_SUCCESS;
}

PVOID MmMapLockedPagesSpecifyCache(PMDL mdl, KPROCESSOR_MODE accessMode, MEMORY_CACHING_TYPE cacheType,
    PVOID requestedAddress, ULONG bugCheckOnFailure, ULONG priority)
{
    (void)cacheType;
    (void)bugCheckOnFailure;
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "MmMapLockedPagesSpecifyCache");
    if (!(priority & MdlMappingNoExecute)) {
        // Verifier's code-integrity check: bug check 0xC4, 0x2002.
        ReportViolation(Rule::ExecutableMemory, "MmMapLockedPagesSpecifyCache of MDL %p without MdlMappingNoExecute "
            "(priority 0x%x): an executable system mapping", static_cast<void*>(mdl), priority);
    }
    if (host::ShouldFail(host::Fault::Mapping)) {
        return nullptr;
    }
    if (accessMode != KernelMode || requestedAddress != nullptr) {
        ReportViolation(Rule::MdlMisuse, "MmMapLockedPagesSpecifyCache of MDL %p: only kernel-mode mappings at an "
            "address of the system's choosing are supported", static_cast<void*>(mdl));
        return nullptr;
    }
    if (mdl->MdlFlags & MDL_SOURCE_IS_NONPAGED_POOL) {
        return MmGetMdlVirtualAddress(mdl);
    }
    std::lock_guard<std::mutex> guard(host::MemoryLock);
    if (!(mdl->MdlFlags & MDL_PAGES_LOCKED)) {
        ReportViolation(Rule::MdlMisuse, "MmMapLockedPagesSpecifyCache of MDL %p whose pages are not locked",
            static_cast<void*>(mdl));
        return nullptr;
    }
    auto it = host::Locks.find(mdl);
    if (it == host::Locks.end()) {
        // Pages the platform itself locked (a miniport's receive buffers): kernel memory,
        // addressable as it is.
        mdl->MappedSystemVa = MmGetMdlVirtualAddress(mdl);
        mdl->MdlFlags = CSHORT(mdl->MdlFlags | MDL_MAPPED_TO_SYSTEM_VA);
        return mdl->MappedSystemVa;
    }
    host::LockRecord& lock = it->second;
    if (lock.systemBase != 0 || (mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA)) {
        ReportViolation(Rule::MdlMisuse, "MDL %p mapped to system space a second time (its mapping is %p)",
            static_cast<void*>(mdl), mdl->MappedSystemVa);
        return mdl->MappedSystemVa;
    }
    if (lock.memory == nullptr) {
        // Kernel memory locked in kernel mode is addressable as it is.
        mdl->MappedSystemVa = MmGetMdlVirtualAddress(mdl);
        mdl->MdlFlags = CSHORT(mdl->MdlFlags | MDL_MAPPED_TO_SYSTEM_VA);
        return mdl->MappedSystemVa;
    }
    uintptr_t base = host::PlaceSystemMapping(lock.bytes);
    if (base == 0) {
        return nullptr;
    }
    size_t offset = lock.start - reinterpret_cast<uintptr_t>(lock.memory->base);
    void* p = mmap(reinterpret_cast<void*>(base), lock.bytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED,
        lock.memory->memfd, off_t(offset));
    if (p == MAP_FAILED) {
        return nullptr;
    }
    lock.systemBase = base;
    host::SystemMappings[base] = lock.bytes;
    mdl->MappedSystemVa = static_cast<PUCHAR>(p) + mdl->ByteOffset;
    mdl->MdlFlags = CSHORT(mdl->MdlFlags | MDL_MAPPED_TO_SYSTEM_VA);
    return mdl->MappedSystemVa;
}

VOID MmUnlockPages(PMDL mdl)
{
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "MmUnlockPages");
    std::lock_guard<std::mutex> guard(host::MemoryLock);
    auto it = host::Locks.find(mdl);
    if (it == host::Locks.end() || !(mdl->MdlFlags & MDL_PAGES_LOCKED)) {
        ReportViolation(Rule::MdlMisuse, "MmUnlockPages of MDL %p whose pages are not locked", static_cast<void*>(mdl));
        return;
    }
    host::LockRecord lock = it->second;
    host::Locks.erase(it);
    if (lock.systemBase != 0) {
        // The mapping's addresses stay reserved and inaccessible: a later use faults.
        mmap(reinterpret_cast<void*>(lock.systemBase), lock.bytes, PROT_NONE,
            MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED | MAP_NORESERVE, -1, 0);
        host::SystemMappings.erase(lock.systemBase);
        size_t slot = host::FormerMappingNext.fetch_add(1) % host::FORMER_MAPPINGS_REMEMBERED;
        host::FormerMappings[slot].base.store(0);
        host::FormerMappings[slot].bytes.store(lock.bytes);
        host::FormerMappings[slot].mdl.store(reinterpret_cast<uintptr_t>(mdl));
        host::FormerMappings[slot].base.store(lock.systemBase);
    }
    mdl->MappedSystemVa = nullptr;
    mdl->MdlFlags = CSHORT(mdl->MdlFlags & ~(MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA));
}

NTSTATUS PsSetCreateProcessNotifyRoutineEx(PCREATE_PROCESS_NOTIFY_ROUTINE_EX notifyRoutine, BOOLEAN remove)
{
    host::RequireIrqlAtMost(PASSIVE_LEVEL, "PsSetCreateProcessNotifyRoutineEx");
    host::ProcessNotifyRegistry& registry = host::ProcessNotify();
    std::unique_lock<std::mutex> lock(registry.mutex);
    auto it = std::find(registry.routines.begin(), registry.routines.end(), notifyRoutine);
    if (remove) {
        if (it == registry.routines.end()) {
            return STATUS_PROCEDURE_NOT_FOUND;
        }
        registry.routines.erase(it);
        // A routine may be running for a process that is ending: its code must stay until then.
        registry.idle.wait(lock, [&] { return registry.running == 0; });
        return STATUS_SUCCESS;
    }
    int32_t status = 0;
    if (host::ShouldFail(host::Fault::ProcessNotify, &status)) {
        return status != 0 ? status : STATUS_INVALID_PARAMETER;
    }
    if (notifyRoutine == nullptr || it != registry.routines.end()) {
        return STATUS_INVALID_PARAMETER;
    }
    registry.routines.push_back(notifyRoutine);
    return STATUS_SUCCESS;
}
