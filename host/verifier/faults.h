// Failure injection: any platform call that can fail can be made to fail at a chosen call, so
// that every failure path of the driver can be walked. Host only.
#pragma once

#include <cstdint>

namespace host {

enum class Fault {
    PoolAllocation,        // ExAllocatePoolWithTag, NdisAllocateMemoryWithTagPriority, lookaside refills
    RwLockAllocation,      // NdisAllocateRWLock
    NblPoolAllocation,     // NdisAllocateNetBufferListPool
    NblAllocation,         // NdisAllocateNetBufferAndNetBufferList
    MdlAllocation,         // IoAllocateMdl, NdisAllocateMdl
    PageLocking,           // MmProbeAndLockPagesChecked
    Mapping,               // MmMapLockedPagesSpecifyCache
    ThreadCreation,        // PsCreateSystemThread
    FilterRegistration,    // NdisFRegisterFilterDriver
    DeviceRegistration,    // NdisRegisterDeviceEx
    SetAttributes,         // NdisFSetAttributes
    CloneOidRequest,       // NdisAllocateCloneOidRequest
    ErrorLogEntry,         // IoAllocateErrorLogEntry
    ObjectReference,       // ObReferenceObjectByName
    ProcessNotify,         // PsSetCreateProcessNotifyRoutineEx (registration)
    ExtendedStateSave,     // KeSaveExtendedProcessorState
    Count
};

// Makes the `nth` call (1-based, counted from now) of `fault` fail; 0 disarms it. `status` is
// what a status-returning call reports (0 chooses the call's natural failure status).
void FailCall(Fault fault, uint32_t nth, int32_t status = 0);
// Makes every call of `fault` fail from now on, until disarmed with FailCall(fault, 0).
void FailAlways(Fault fault, int32_t status = 0);
// Calls of `fault` made since the last reset (a test finds the calls to walk with it).
uint32_t CallCount(Fault fault);
void ResetFaults();

// Used by the platform implementation: counts one call of `fault` and says whether it fails.
// `status` receives the failure status to report.
bool ShouldFail(Fault fault, int32_t* status = nullptr);

}  // namespace host
