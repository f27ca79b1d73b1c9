// The emulated memory manager as the driver relies on it: probing and locking only valid,
// writable memory of the calling process, a system mapping that aliases the user pages at
// another address, injected failures. (The MDL rules are in the checker's table.)
#include <gtest/gtest.h>

#include <cstring>

#include "host/faults.h"
#include "host/io.h"
#include "host/kernel.h"
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

TEST_F(MemoryManagerTest, TheSystemMappingAliasesTheUserPagesAtAnotherAddress)
{
    auto* user = static_cast<PUCHAR>(owner.Allocate(2 * host::HOST_PAGE_SIZE));
    PUCHAR start = user + 300;
    const ULONG length = ULONG(host::HOST_PAGE_SIZE);   // spans both pages
    host::ProcessContext context(&owner);
    PMDL mdl = IoAllocateMdl(start, length, FALSE, FALSE, nullptr);
    ASSERT_EQ(MmProbeAndLockPagesChecked(mdl, UserMode, IoWriteAccess), STATUS_SUCCESS);
    EXPECT_EQ(mdl->Process, owner.Id());
    EXPECT_EQ(MmGetMdlVirtualAddress(mdl), start);
    auto* system = static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
    ASSERT_NE(system, nullptr);
    EXPECT_NE(system, start);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(system) % host::HOST_PAGE_SIZE, 300u);
    EXPECT_TRUE(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), system);

    for (ULONG i = 0; i < length; ++i) {
        system[i] = UCHAR(i * 7);
    }
    for (ULONG i = 0; i < length; ++i) {
        ASSERT_EQ(start[i], UCHAR(i * 7)) << "byte " << i;
    }
    start[length - 1] = 0x5A;
    EXPECT_EQ(system[length - 1], 0x5A);

    MmUnlockPages(mdl);
    EXPECT_EQ(mdl->MdlFlags & (MDL_PAGES_LOCKED | MDL_MAPPED_TO_SYSTEM_VA), 0);
    EXPECT_EQ(host::LiveSystemMappings(), 0u);
    EXPECT_TRUE(host::IsFormerSystemMapping(system));
    IoFreeMdl(mdl);
    // The user's view is unaffected.
    EXPECT_EQ(start[length - 1], 0x5A);
}

TEST_F(MemoryManagerTest, InjectedFailuresOfAllocationLockingAndMapping)
{
    auto* user = static_cast<PUCHAR>(owner.Allocate(host::HOST_PAGE_SIZE));
    host::ProcessContext context(&owner);
    host::FailCall(host::Fault::MdlAllocation, 1);
    EXPECT_EQ(IoAllocateMdl(user, 64, FALSE, FALSE, nullptr), nullptr);
    PMDL mdl = IoAllocateMdl(user, 64, FALSE, FALSE, nullptr);
    ASSERT_NE(mdl, nullptr);
    host::FailCall(host::Fault::PageLocking, 1);
    EXPECT_EQ(MmProbeAndLockPagesChecked(mdl, UserMode, IoWriteAccess), STATUS_ACCESS_VIOLATION);
    EXPECT_FALSE(mdl->MdlFlags & MDL_PAGES_LOCKED);
    ASSERT_EQ(MmProbeAndLockPagesChecked(mdl, UserMode, IoWriteAccess), STATUS_SUCCESS);
    host::FailCall(host::Fault::Mapping, 1);
    EXPECT_EQ(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), nullptr);
    EXPECT_FALSE(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA);
    EXPECT_NE(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority), nullptr);
    MmUnlockPages(mdl);
    IoFreeMdl(mdl);
}

}  // namespace
