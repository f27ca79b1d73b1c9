// The emulated memory manager where the driver's own tests do not reach: probing and locking
// only valid, writable memory of the calling process. (The system mapping that aliases the user
// pages is crossed by every placement test, its use after unlock by the checker's death test,
// the MDL rules by the checker's table, injected failures by the fault sweep.)
#include <gtest/gtest.h>

#include <cstring>

#include "host/io/io.h"
#include "host/kernel/kernel.h"
#include "host/machine.h"

namespace {

class MemoryManagerTest : public ::testing::Test {
protected:
    host::Machine machine;
    host::UserProcess& owner = machine.NewProcess();
    host::UserProcess& stranger = machine.NewProcess();
};

// Probes and locks as the driver does inside a request of `caller`; the MDL is freed again.
NTSTATUS LockAs(host::UserProcess& caller, void* address, ULONG length, LOCK_OPERATION operation)
{
    host::ProcessContext context(&caller);
    PMDL mdl = IoAllocateMdl(address, length, FALSE, FALSE, nullptr);
    EXPECT_NE(mdl, nullptr);
    NTSTATUS status = MmProbeAndLockPagesChecked(mdl, UserMode, operation);
    if (NT_SUCCESS(status)) {
        EXPECT_TRUE(mdl->MdlFlags & MDL_PAGES_LOCKED);
        MmUnlockPages(mdl);
    }
    IoFreeMdl(mdl);
    return status;
}

TEST_F(MemoryManagerTest, ProbeAndLockAcceptsOnlyValidMemoryOfTheCallingProcess)
{
    auto* buffer = static_cast<PUCHAR>(owner.Allocate(3 * host::HOST_PAGE_SIZE));
    auto* readOnly = static_cast<PUCHAR>(owner.Allocate(host::HOST_PAGE_SIZE));
    owner.Protect(readOnly, true);
    ASSERT_NE(buffer, nullptr);
    struct Case {
        const char* what;
        host::UserProcess* caller;
        void* address;
        ULONG length;
        LOCK_OPERATION operation;
        NTSTATUS status;
    };
    const ULONG whole = ULONG(3 * host::HOST_PAGE_SIZE);
    const Case cases[] = {
        {"own memory, whole range", &owner, buffer, whole, IoWriteAccess, STATUS_SUCCESS},
        {"own memory, unaligned inside", &owner, buffer + 100, whole - 200, IoModifyAccess, STATUS_SUCCESS},
        {"one byte past the allocation", &owner, buffer + 1, whole, IoWriteAccess, STATUS_ACCESS_VIOLATION},
        {"memory of another process", &stranger, buffer, 64, IoWriteAccess, STATUS_ACCESS_VIOLATION},
        {"never committed", &owner, owner.InvalidAddress(), 64, IoReadAccess, STATUS_ACCESS_VIOLATION},
        {"read-only, for writing", &owner, readOnly, 64, IoWriteAccess, STATUS_ACCESS_VIOLATION},
        {"read-only, for modifying", &owner, readOnly, 64, IoModifyAccess, STATUS_ACCESS_VIOLATION},
        {"read-only, for reading", &owner, readOnly, 64, IoReadAccess, STATUS_SUCCESS},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(LockAs(*c.caller, c.address, c.length, c.operation), c.status) << c.what;
    }
    // Freed memory is no longer memory of the process.
    owner.Free(buffer);
    EXPECT_EQ(LockAs(owner, buffer, 64, IoWriteAccess), STATUS_ACCESS_VIOLATION);
}

}  // namespace
