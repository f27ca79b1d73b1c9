// The emulated kernel's memory: tagged pool with per-tag accounting and a live-block table,
// non-paged lookaside lists, and the NDIS memory calls. Host only; IRQL <= DISPATCH_LEVEL.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <unordered_map>
#include <vector>

#include "host/kernel/kernel.h"
#include "host/kernel/kernel_private.h"
#include "host/verifier/checker.h"
#include "host/verifier/faults.h"

namespace host {
namespace {

constexpr uint8_t FreshFill = 0xC5;   // new blocks: a driver that forgets to zero reads garbage
constexpr uint8_t FreedFill = 0xDF;   // freed blocks, before they go back to the C library
constexpr size_t RecentlyFreedKept = 4096;

struct PoolBlock {
    size_t size;
    uint32_t tag;
    bool hostPrivate;
    detail::Frames allocatedAt;
};

struct PoolState {
    std::mutex mutex;
    std::map<uintptr_t, PoolBlock> blocks;
    std::unordered_map<uint32_t, PoolUsage> usage;
    std::unordered_map<uintptr_t, uint32_t> recentlyFreed;   // address -> tag, for "freed twice"
    std::deque<uintptr_t> recentlyFreedOrder;
};

PoolState& Pool()
{
    static PoolState* state = new PoolState;
    return *state;
}

// The live block containing `address` (pool locked), or end().
std::map<uintptr_t, PoolBlock>::iterator FindContaining(PoolState& pool, uintptr_t address)
{
    auto it = pool.blocks.upper_bound(address);
    if (it == pool.blocks.begin()) {
        return pool.blocks.end();
    }
    --it;
    if (address < it->first + std::max<size_t>(it->second.size, 1)) {
        return it;
    }
    return pool.blocks.end();
}

void ReleaseBlockMemory(uintptr_t address, size_t size)
{
    std::memset(reinterpret_cast<void*>(address), FreedFill, size);
    std::free(reinterpret_cast<void*>(address));
}

}  // namespace

namespace detail {

std::string TagText(uint32_t tag)
{
    std::string text;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
        text += (c >= 0x20 && c < 0x7F) ? c : '.';
    }
    return text;
}

std::string DescribeAddress(const void* p)
{
    char text[160];
    PoolState& pool = Pool();
    std::lock_guard<std::mutex> lock(pool.mutex);
    auto address = reinterpret_cast<uintptr_t>(p);
    auto it = FindContaining(pool, address);
    if (it == pool.blocks.end()) {
        std::snprintf(text, sizeof text, "%p", p);
    } else {
        std::snprintf(text, sizeof text, "%p (pool block '%s' +0x%zx of %zu bytes)", p, TagText(it->second.tag).c_str(),
            static_cast<size_t>(address - it->first), it->second.size);
    }
    return text;
}

void* AllocatePoolBlock(size_t size, uint32_t tag, bool hostPrivate)
{
    void* memory = std::malloc(size == 0 ? 1 : size);
    if (memory == nullptr) {
        return nullptr;
    }
    std::memset(memory, FreshFill, size);
    PoolBlock block{size, tag, hostPrivate, CaptureFrames()};
    PoolState& pool = Pool();
    std::lock_guard<std::mutex> lock(pool.mutex);
    pool.blocks.emplace(reinterpret_cast<uintptr_t>(memory), block);
    PoolUsage& usage = pool.usage[tag];
    usage.blocks += 1;
    usage.bytes += size;
    pool.recentlyFreed.erase(reinterpret_cast<uintptr_t>(memory));
    return memory;
}

bool FreePoolBlock(void* p, uint32_t tag, const char* routine)
{
    PoolState& pool = Pool();
    auto address = reinterpret_cast<uintptr_t>(p);
    std::unique_lock<std::mutex> lock(pool.mutex);
    auto it = pool.blocks.find(address);
    if (it == pool.blocks.end()) {
        std::string why;
        auto freed = pool.recentlyFreed.find(address);
        auto inside = FindContaining(pool, address);
        if (p == nullptr) {
            why = "a NULL pointer";
        } else if (freed != pool.recentlyFreed.end()) {
            why = "a block already freed (double free), tag '" + TagText(freed->second) + "'";
        } else if (inside != pool.blocks.end()) {
            char text[96];
            std::snprintf(text, sizeof text, "not the start of a block: +0x%zx inside a block of %zu bytes, tag '%s'",
                static_cast<size_t>(address - inside->first), inside->second.size,
                TagText(inside->second.tag).c_str());
            why = text;
        } else {
            why = "not a pool block";
        }
        lock.unlock();
        ReportViolation(Rule::PoolMisuse, "%s of %p: %s", routine, p, why.c_str());
        return false;
    }
    PoolBlock block = it->second;
    pool.blocks.erase(it);
    PoolUsage& usage = pool.usage[block.tag];
    usage.blocks -= 1;
    usage.bytes -= block.size;
    pool.recentlyFreed[address] = block.tag;
    pool.recentlyFreedOrder.push_back(address);
    if (pool.recentlyFreedOrder.size() > RecentlyFreedKept) {
        pool.recentlyFreed.erase(pool.recentlyFreedOrder.front());
        pool.recentlyFreedOrder.pop_front();
    }
    lock.unlock();
    // The block is no longer listed, so the memory is this caller's alone until it is released,
    // after the report that may name its address.
    ForgetLocksInRange(address, address + std::max<size_t>(block.size, 1));
    if (tag != 0 && tag != block.tag) {
        ReportViolation(Rule::PoolMisuse, "%s of %p with tag '%s'; the block of %zu bytes was allocated with tag '%s'",
            routine, p, TagText(tag).c_str(), block.size, TagText(block.tag).c_str());
    }
    ReleaseBlockMemory(address, block.size);
    return true;
}

}  // namespace detail

PoolUsage PoolUsageOfTag(uint32_t tag)
{
    PoolState& pool = Pool();
    std::lock_guard<std::mutex> lock(pool.mutex);
    auto it = pool.usage.find(tag);
    return it == pool.usage.end() ? PoolUsage{} : it->second;
}

uint64_t CheckNoPoolUnderTag(uint32_t tag, const char* when)
{
    std::vector<std::pair<uintptr_t, PoolBlock>> leaked;
    {
        PoolState& pool = Pool();
        std::lock_guard<std::mutex> lock(pool.mutex);
        for (const auto& [address, block] : pool.blocks) {
            if (block.tag == tag) {
                leaked.emplace_back(address, block);
            }
        }
    }
    for (const auto& [address, block] : leaked) {
        ReportViolation(Rule::PoolLeak, "%s: %zu bytes under tag '%s' at %p still allocated; allocated:\n      at %s",
            when, block.size, detail::TagText(tag).c_str(), reinterpret_cast<void*>(address),
            detail::SymboliseFrames(block.allocatedAt).c_str());
    }
    return leaked.size();
}

bool IsPoolAddress(const void* p)
{
    PoolState& pool = Pool();
    std::lock_guard<std::mutex> lock(pool.mutex);
    return FindContaining(pool, reinterpret_cast<uintptr_t>(p)) != pool.blocks.end();
}

void* AllocateHostPool(size_t size, uint32_t tag) { return detail::AllocatePoolBlock(size, tag, true); }

void FreeHostPool(void* p) { detail::FreePoolBlock(p, 0, "FreeHostPool"); }

void ResetPool()
{
    PoolState& pool = Pool();
    std::lock_guard<std::mutex> lock(pool.mutex);
    for (const auto& [address, block] : pool.blocks) {
        ReleaseBlockMemory(address, block.size);
    }
    pool.blocks.clear();
    pool.usage.clear();
    pool.recentlyFreed.clear();
    pool.recentlyFreedOrder.clear();
}

// ---- Lookaside lists -------------------------------------------------------------------------------
namespace {

constexpr USHORT DefaultLookasideDepth = 4;

struct LookasideRecord {
    PNPAGED_LOOKASIDE_LIST list;
    PALLOCATE_FUNCTION allocate;
    PFREE_FUNCTION free;
    size_t size;
    uint32_t tag;
    size_t depth;
    detail::Frames initializedAt;
    std::mutex mutex;
    std::vector<void*> parked;      // entries free on the list: pool blocks under the list's tag
    std::set<void*> outstanding;    // entries handed out and not returned
};

struct LookasideRegistry {
    std::mutex mutex;
    std::set<LookasideRecord*> live;
};

LookasideRegistry& Lookasides()
{
    static LookasideRegistry* registry = new LookasideRegistry;
    return *registry;
}

LookasideRecord* LiveRecord(PNPAGED_LOOKASIDE_LIST list)
{
    auto* record = static_cast<LookasideRecord*>(list->HostList);
    std::lock_guard<std::mutex> lock(Lookasides().mutex);
    if (Lookasides().live.count(record) == 0 || record->list != list) {
        return nullptr;
    }
    return record;
}

std::string ListName(const LookasideRecord* record)
{
    char text[128];
    std::snprintf(text, sizeof text, "lookaside list %p (%zu-byte entries, tag '%s')", static_cast<void*>(record->list),
        record->size, detail::TagText(record->tag).c_str());
    return text;
}

void FreeEntry(LookasideRecord* record, void* entry, const char* routine)
{
    if (record->free != nullptr) {
        record->free(entry);
    } else {
        detail::FreePoolBlock(entry, record->tag, routine);
    }
}

}  // namespace

LookasideUsage LookasideUsageOfTag(uint32_t tag)
{
    LookasideUsage usage;
    std::lock_guard<std::mutex> lock(Lookasides().mutex);
    for (LookasideRecord* record : Lookasides().live) {
        std::lock_guard<std::mutex> entries(record->mutex);
        if (record->tag == tag) {
            usage.parked.blocks += record->parked.size();
            usage.parked.bytes += record->parked.size() * record->size;
            usage.outstanding += record->outstanding.size();
        }
    }
    return usage;
}

namespace detail {

void CheckAndResetLookasides(const char* when)
{
    std::vector<LookasideRecord*> live;
    {
        std::lock_guard<std::mutex> lock(Lookasides().mutex);
        live.assign(Lookasides().live.begin(), Lookasides().live.end());
        Lookasides().live.clear();
    }
    for (LookasideRecord* record : live) {
        ReportViolation(Rule::PoolLeak, "%s: %s was never deleted (%zu entries outstanding); initialised:\n      at %s",
            when, ListName(record).c_str(), record->outstanding.size(),
            SymboliseFrames(record->initializedAt).c_str());
        for (void* entry : record->parked) {
            FreePoolBlock(entry, 0, "CheckAndResetKernel");
        }
        delete record;
    }
}

}  // namespace detail
}  // namespace host

// ---- Pool ------------------------------------------------------------------------------------------
PVOID ExAllocatePoolWithTag(POOL_TYPE poolType, SIZE_T numberOfBytes, ULONG tag)
{
    host::RequireIrqlAtMost(poolType == PagedPool ? APC_LEVEL : DISPATCH_LEVEL, "ExAllocatePoolWithTag");
    if (poolType == NonPagedPool) {
        // Verifier's code-integrity check: bug check 0xC4, 0x2000.
        host::ReportViolation(host::Rule::ExecutableMemory,
            "ExAllocatePoolWithTag of %zu bytes (tag '%s') from NonPagedPool, which is executable: NonPagedPoolNx",
            static_cast<size_t>(numberOfBytes), host::detail::TagText(tag).c_str());
    }
    if (host::ShouldFail(host::Fault::PoolAllocation)) {
        return nullptr;
    }
    return host::detail::AllocatePoolBlock(numberOfBytes, tag, false);
}

VOID ExFreePoolWithTag(PVOID p, ULONG tag)
{
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "ExFreePoolWithTag");
    host::detail::FreePoolBlock(p, tag, "ExFreePoolWithTag");
}

PVOID NdisAllocateMemoryWithTagPriority(NDIS_HANDLE, ULONG length, ULONG tag, EX_POOL_PRIORITY)
{
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "NdisAllocateMemoryWithTagPriority");
    if (host::ShouldFail(host::Fault::PoolAllocation)) {
        return nullptr;
    }
    return host::detail::AllocatePoolBlock(length, tag, false);
}

VOID NdisFreeMemory(PVOID virtualAddress, ULONG, ULONG)
{
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "NdisFreeMemory");
    host::detail::FreePoolBlock(virtualAddress, 0, "NdisFreeMemory");
}

// ---- Lookaside lists ---------------------------------------------------------------------------------
VOID ExInitializeNPagedLookasideList(PNPAGED_LOOKASIDE_LIST lookaside, PALLOCATE_FUNCTION allocate,
    PFREE_FUNCTION free, ULONG flags, SIZE_T size, ULONG tag, USHORT depth)
{
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "ExInitializeNPagedLookasideList");
    if (!(flags & POOL_NX_ALLOCATION)) {
        // Its refills would come from executable pool: bug check 0xC4, 0x2000 under Verifier.
        host::ReportViolation(host::Rule::ExecutableMemory,
            "ExInitializeNPagedLookasideList of %p (tag '%s') without POOL_NX_ALLOCATION: it refills from "
            "executable pool",
            static_cast<void*>(lookaside), host::detail::TagText(tag).c_str());
    }
    {
        std::lock_guard<std::mutex> lock(host::Lookasides().mutex);
        auto* previous = static_cast<host::LookasideRecord*>(lookaside->HostList);
        if (host::Lookasides().live.count(previous) != 0 && previous->list == lookaside) {
            host::ReportViolation(host::Rule::PoolMisuse,
                "ExInitializeNPagedLookasideList of %p, which is initialised and not deleted", static_cast<void*>(lookaside));
        }
    }
    auto* record = new host::LookasideRecord{};
    record->list = lookaside;
    record->allocate = allocate;
    record->free = free;
    record->size = size;
    record->tag = tag;
    record->depth = depth == 0 ? host::DefaultLookasideDepth : depth;
    record->initializedAt = host::detail::CaptureFrames();
    lookaside->HostList = record;
    lookaside->Size = static_cast<ULONG>(size);
    lookaside->Tag = tag;
    std::lock_guard<std::mutex> lock(host::Lookasides().mutex);
    host::Lookasides().live.insert(record);
}

VOID ExDeleteNPagedLookasideList(PNPAGED_LOOKASIDE_LIST lookaside)
{
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "ExDeleteNPagedLookasideList");
    host::LookasideRecord* record = host::LiveRecord(lookaside);
    if (record == nullptr) {
        host::ReportViolation(host::Rule::PoolMisuse,
            "ExDeleteNPagedLookasideList of %p, which is not an initialised lookaside list (deleted twice?)",
            static_cast<void*>(lookaside));
        return;
    }
    {
        std::lock_guard<std::mutex> lock(host::Lookasides().mutex);
        host::Lookasides().live.erase(record);
    }
    if (!record->outstanding.empty()) {
        host::ReportViolation(host::Rule::LookasideOutstanding, "ExDeleteNPagedLookasideList of %s with %zu entries not returned",
            host::ListName(record).c_str(), record->outstanding.size());
    }
    for (void* entry : record->parked) {
        host::FreeEntry(record, entry, "ExDeleteNPagedLookasideList");
    }
    lookaside->HostList = nullptr;
    delete record;
}

PVOID ExAllocateFromNPagedLookasideList(PNPAGED_LOOKASIDE_LIST lookaside)
{
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "ExAllocateFromNPagedLookasideList");
    host::LookasideRecord* record = host::LiveRecord(lookaside);
    if (record == nullptr) {
        host::ReportViolation(host::Rule::PoolMisuse,
            "ExAllocateFromNPagedLookasideList of %p, which is not an initialised lookaside list", static_cast<void*>(lookaside));
        return nullptr;
    }
    void* entry = nullptr;
    {
        std::lock_guard<std::mutex> lock(record->mutex);
        if (!record->parked.empty()) {
            entry = record->parked.back();
            record->parked.pop_back();
        }
    }
    if (entry == nullptr) {
        // A refill from pool: it can fail.
        if (record->allocate != nullptr) {
            entry = record->allocate(NonPagedPoolNx, record->size, record->tag);
        } else if (!host::ShouldFail(host::Fault::PoolAllocation)) {
            entry = host::detail::AllocatePoolBlock(record->size, record->tag, false);
        }
        if (entry == nullptr) {
            return nullptr;
        }
    }
    std::memset(entry, host::FreshFill, record->size);
    std::lock_guard<std::mutex> lock(record->mutex);
    record->outstanding.insert(entry);
    return entry;
}

VOID ExFreeToNPagedLookasideList(PNPAGED_LOOKASIDE_LIST lookaside, PVOID entry)
{
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "ExFreeToNPagedLookasideList");
    host::LookasideRecord* record = host::LiveRecord(lookaside);
    if (record == nullptr) {
        host::ReportViolation(host::Rule::PoolMisuse,
            "ExFreeToNPagedLookasideList of %p to %p, which is not an initialised lookaside list", entry,
            static_cast<void*>(lookaside));
        return;
    }
    bool park = false;
    bool known;
    {
        std::lock_guard<std::mutex> lock(record->mutex);
        known = record->outstanding.erase(entry) != 0;
        if (known) {
            park = record->parked.size() < record->depth;
            if (park) {
                std::memset(entry, host::FreedFill, record->size);
                record->parked.push_back(entry);
            }
        }
    }
    if (!known) {
        host::ReportViolation(host::Rule::PoolMisuse,
            "ExFreeToNPagedLookasideList of %p, an entry that %s did not hand out (freed twice?)", entry,
            host::ListName(record).c_str());
        return;
    }
    if (!park) {
        host::FreeEntry(record, entry, "ExFreeToNPagedLookasideList");
    }
}
