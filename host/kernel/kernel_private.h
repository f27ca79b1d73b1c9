// Shared internals of the emulated kernel (host/kernel/). Not for the other host subsystems:
// they use host/kernel/kernel.h. Host only.
#pragma once

#include <cstdint>
#include <string>

#include "host/kernel/kernel.h"

namespace host::detail {

// Lock-order graph: forget every lock whose address lies in [begin, end) (the memory was freed).
void ForgetLocksInRange(uintptr_t begin, uintptr_t end);

// "0x... (pool block 'GigE' +0x40 of 448 bytes)" or "0x..." outside the pool.
std::string DescribeAddress(const void* p);
std::string TagText(uint32_t tag);

// Pool blocks without failure injection or IRQL check; `hostPrivate` blocks belong to the
// machine itself (they never count as the driver's leaks).
void* AllocatePoolBlock(size_t size, uint32_t tag, bool hostPrivate);
// Frees a live block; `tag` 0 accepts any tag. Reports PoolMisuse on an unknown block or a
// wrong tag, naming `routine`. Returns false when nothing was freed.
bool FreePoolBlock(void* p, uint32_t tag, const char* routine);

// Tags of the machine's own records.
constexpr uint32_t HostRwLockTag = TagOf("HRwL");

// Per-area final checks and resets, called in order by CheckAndResetKernel.
void CheckAndResetThreads(const char* when);
void CheckAndResetLocks(const char* when);
void CheckAndResetRwLocks(const char* when);
void CheckAndResetLookasides(const char* when);
void CheckAndResetObjects(const char* when);
void CheckAndResetEtw(const char* when);

// The calling thread's held locks as text, and their forced release (end of a system thread).
std::string HeldLocksOfThisThread();
void ReleaseAllHeldLocks();
// Sets the calling thread's IRQL without a check (the machine's own transitions).
void SetIrqlOfThisThread(KIRQL irql);

// Marks the calling thread as a system thread (PsCreateSystemThread's threads).
void SetSystemThread(void* kernelThread);
void* CurrentKernelThread();

// The body of every relative or absolute sleep (KeDelayExecutionThread):
// `interval` in 100 ns units, negative = relative.
void Delay(int64_t interval);

}  // namespace host::detail
