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

constexpr uint32_t TagOf(const char (&text)[5])
{
    return uint32_t(uint8_t(text[0])) | uint32_t(uint8_t(text[1])) << 8 | uint32_t(uint8_t(text[2])) << 16 |
           uint32_t(uint8_t(text[3])) << 24;
}

// ---- Clock ----------------------------------------------------------------------------------
// The performance counter runs at 10 MHz. On the real clock it follows CLOCK_MONOTONIC; on the
// virtual clock it moves only when a test advances it (or when a thread waits for a system
// thread that sleeps in virtual time: then time jumps to that sleeper's deadline).
constexpr int64_t PERFORMANCE_FREQUENCY = 10'000'000;
void UseVirtualClock(int64_t startCounts = 0);
void UseRealClock();
bool IsVirtualClock();
// Moves the virtual clock forward by `microseconds`, wakes every system thread whose delay has
// ended and returns once each of them has gone back to sleep or ended.
void AdvanceClock(int64_t microseconds);
int64_t CounterNow();

// ---- Threads --------------------------------------------------------------------------------
// Number of system threads started by PsCreateSystemThread that have not ended.
int RunningSystemThreads();
// Number of delays (KeDelayExecutionThread) that system threads have entered so far: a test
// waits for a worker's next pass with WaitForSystemThreadDelays(SystemThreadDelays() + 2).
uint64_t SystemThreadDelays();
void WaitForSystemThreadDelays(uint64_t count);

// ---- Handles and objects --------------------------------------------------------------------
// Kernel handles and object references still open (checked at unload).
int OpenKernelHandles();
int ReferencedThreadObjects();

// ---- Machine-wide reset ---------------------------------------------------------------------
// Final checks of the kernel state (no handles, no threads, no lookaside lists, no locks), then
// a clean slate for the next machine.
void CheckAndResetKernel(const char* when);

}  // namespace host
