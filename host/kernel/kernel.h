// The emulated kernel: IRQL per thread, spin locks and the NDIS reader/writer lock, tagged pool
// with per-tag accounting, lookaside lists, system threads and waits, the performance counter
// on a real or a virtual clock, kernel handles. Host only; the platform/ calls it implements
// are declared in platform/wdm.h and platform/ndis.h.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "platform/ndis.h"

namespace host {

// ---- IRQL and locks -------------------------------------------------------------------------
// Fails the IRQL rule when the calling thread runs above `maximum`; `routine` names the call.
void RequireIrqlAtMost(KIRQL maximum, const char* routine);
// Fails the spin-lock rule when the calling thread holds a spin lock or an RW lock at
// DISPATCH_LEVEL (the calling convention of every NDIS call and of request completion).
void RequireNoSpinLockHeld(const char* routine);
// Number of spin locks (and RW locks) the calling thread holds.
int LocksHeldByThisThread();

// Edges of the lock-order graph ("A was held while B was acquired"): they go when the memory
// of either lock is freed, as Driver Verifier forgets freed locks.
size_t LockOrderEdges();

// Runs `call` as a handler called by the platform (NDIS, the I/O manager) at `irql` and checks
// that the handler returns at the IRQL it was called at, holding no lock.
void CallHandlerAt(KIRQL irql, const char* handler, const std::function<void()>& call);

// ---- Pool -----------------------------------------------------------------------------------
struct PoolUsage {
    uint64_t blocks = 0;
    uint64_t bytes = 0;
};
PoolUsage PoolUsageOfTag(uint32_t tag);
// Reports PoolLeak for every block still allocated under `tag`; returns the number of blocks.
uint64_t CheckNoPoolUnderTag(uint32_t tag, const char* when);
// True when `p` lies inside a live pool block (the checker's view of non-paged memory).
bool IsPoolAddress(const void* p);
// The entries of the live lookaside lists under `tag`: parked on their lists (pool blocks kept
// for reuse) and handed out and not yet returned.
struct LookasideUsage {
    PoolUsage parked;
    uint64_t outstanding = 0;
};
LookasideUsage LookasideUsageOfTag(uint32_t tag);

constexpr uint32_t TagOf(const char (&text)[5])
{
    return uint32_t(uint8_t(text[0])) | uint32_t(uint8_t(text[1])) << 8 | uint32_t(uint8_t(text[2])) << 16 |
           uint32_t(uint8_t(text[3])) << 24;
}

// ---- Clock ----------------------------------------------------------------------------------
// The performance counter runs at 10 MHz. On the real clock it follows CLOCK_MONOTONIC; on the
// virtual clock it moves only when a test advances it (or when a thread waits for a system
// thread that sleeps in virtual time: then time jumps to that sleeper's deadline).
//
// On the virtual clock a system thread's delay (KeDelayExecutionThread) ends only
// when the clock reaches its deadline, and so does its timed wait on an event unless the event
// is set first; every other thread (a test, an NDIS or user-mode call) sleeps in real time and
// does not move the clock. Waits on a thread object time out in real time.
// The real clock is the default, and CheckAndResetKernel goes back to it.
constexpr int64_t PERFORMANCE_FREQUENCY = 10'000'000;
void UseVirtualClock(int64_t startCounts = 0);
void UseRealClock();
bool IsVirtualClock();
// Moves the virtual clock forward by `microseconds`, wakes every system thread whose delay has
// ended and returns once each of them has gone back to sleep, blocked on an event or ended. A
// thread an event has woken settles before the clock moves.
void AdvanceClock(int64_t microseconds);
int64_t CounterNow();

// ---- Threads --------------------------------------------------------------------------------
// Number of system threads started by PsCreateSystemThread that have not ended.
int RunningSystemThreads();
// Number of sleeps (KeDelayExecutionThread, or a wait on an event) that system threads have
// entered so far: a test waits for a worker's next pass with
// WaitForSystemThreadSleeps(SystemThreadSleeps() + 2).
uint64_t SystemThreadSleeps();
void WaitForSystemThreadSleeps(uint64_t count);

// ---- Handles and objects --------------------------------------------------------------------
// Kernel handles and object references still open (checked at unload).
int OpenKernelHandles();
int ReferencedThreadObjects();

// Kernel objects other than threads (driver objects, file objects, ...): another module hands a
// reference to the driver with ReferenceObject (the object is registered on its first
// reference); ObfDereferenceObject drops it, and when the last reference and handle are gone
// `type->lastReferenceGone` (may be null) runs, without kernel locks held. References still
// held at CheckAndResetKernel are reported as HandleLeak.
struct ObjectType {
    const char* name;
    void (*lastReferenceGone)(void* object);
};
void ReferenceObject(void* object, const ObjectType* type);
// Opens a kernel handle to `object` (ZwClose closes it; ObReferenceObjectByHandle resolves it).
HANDLE OpenHandle(void* object, const ObjectType* type);
// References plus handles on `object`; 0 when it is not registered.
int64_t ObjectReferences(const void* object);

// ---- For the other host modules -------------------------------------------------------------
// The process the calling thread runs in, as PsGetCurrentProcessId reports it: the I/O manager
// sets it while a user-mode call runs. (HANDLE)4, the system process, is the default.
void SetCurrentProcessId(HANDLE processId);
// True on a thread started by PsCreateSystemThread.
bool IsSystemThread();

// Pool for the machine's own records: no failure injection, no IRQL check, never reported as
// the driver's leak. Give it a tag of the machine's own (e.g. TagOf("Hndi")).
void* AllocateHostPool(size_t size, uint32_t tag);
void FreeHostPool(void* p);

// ---- Machine-wide reset ---------------------------------------------------------------------
// Final checks of the kernel state (no handles, no threads, no lookaside lists, no RW locks, no
// ETW registrations, no locks held, IRQL back at PASSIVE_LEVEL), then a clean slate for the next
// machine: the real clock, no fault armed, and every pool block freed silently. Call it last,
// after the driver's tags were checked with CheckNoPoolUnderTag and the other modules released
// their own records.
void CheckAndResetKernel(const char* when);
// Frees every pool block without a report (part of CheckAndResetKernel).
void ResetPool();

}  // namespace host
