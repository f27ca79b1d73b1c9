// The I/O manager and object manager of the emulated machine: driver and device objects, names
// and symbolic links, file objects, IRPs (METHOD_BUFFERED), completion and cancellation with
// the global cancel lock, custom target-device-change notification to user-mode listeners.
// Host only; the user-mode face is on UserProcess (host/memory/memory.h).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/memory/memory.h"
#include "platform/wdm.h"

namespace host {

// ---- Driver objects -------------------------------------------------------------------------
// Creates a driver object named `name` (e.g. u"\\Driver\\volmgr"): Type IO_TYPE_DRIVER,
// DriverName set, no devices. It can be referenced by name until deleted or the machine resets.
PDRIVER_OBJECT CreateDriverObject(const char16_t* name);
// Deletes a driver object and every device it still has.
void DeleteDriverObject(PDRIVER_OBJECT driver);
// References taken with ObReferenceObjectByName and not yet released (ObfDereferenceObject).
int64_t DriverObjectReferences(PDRIVER_OBJECT driver);
// True when `object` is a live driver object of the machine.
bool IsDriverObject(const void* object);

// ---- Device objects -------------------------------------------------------------------------
// Creates a named device for `driver` with its own dispatch table (IRP_MJ_MAXIMUM_FUNCTION + 1
// entries, NULL entries fail with STATUS_INVALID_DEVICE_REQUEST) and a zeroed extension of
// `extensionSize` bytes; `sddl` is kept for inspection. NULL with *status set on failure
// (STATUS_OBJECT_NAME_COLLISION when the name is taken). Appended to the driver's device list.
PDEVICE_OBJECT CreateNamedDevice(PDRIVER_OBJECT driver, PCUNICODE_STRING name, const PDRIVER_DISPATCH* majorFunctions,
    ULONG extensionSize, PCUNICODE_STRING sddl, NTSTATUS* status);
// Unnames the device and unlinks it from its driver; its memory stays until the last file
// object on it is closed. ReferenceCount drops to 0.
void DeleteNamedDevice(PDEVICE_OBJECT device);
NTSTATUS CreateSymbolicLink(PCUNICODE_STRING link, PCUNICODE_STRING target);
void DeleteSymbolicLink(PCUNICODE_STRING link);

// Devices of the kind a volume manager has, for the object-manager tests: `name` may be NULL
// (an unnamed device). The device is appended to the driver's device list.
PDEVICE_OBJECT CreateDevice(PDRIVER_OBJECT driver, const char16_t* name);
// Attaches `upper` to the top of the device stack of `lower` (lower's AttachedDevice chain).
void AttachDevice(PDEVICE_OBJECT upper, PDEVICE_OBJECT lower);
// Gives `device` a VPB whose DeviceObject is the mounted `volume`.
void MountVolume(PDEVICE_OBJECT device, PDEVICE_OBJECT volume);
// Deletes a device made with CreateDevice or CreateNamedDevice (DeleteNamedDevice).
inline void DeleteDevice(PDEVICE_OBJECT device) { DeleteNamedDevice(device); }

// Queries.
bool IsDeviceObject(const void* object);   // a device object of the machine, live or deleted
PDEVICE_OBJECT FindDevice(const char16_t* name);   // a live device by name (case-insensitive)
std::u16string DeviceName(PDEVICE_OBJECT device);
std::u16string DeviceSddl(PDEVICE_OBJECT device);
bool SymbolicLinkExists(const char16_t* link);
std::u16string SymbolicLinkTarget(const char16_t* link);
std::vector<PDEVICE_OBJECT> DevicesOfDriver(PDRIVER_OBJECT driver);
// File objects with open handles on the devices of `driver`.
size_t OpenFilesOfDriver(PDRIVER_OBJECT driver);

// ---- IRPs -----------------------------------------------------------------------------------
// One completed IRP, as the I/O manager saw it. The I/O manager keeps the last 4096, numbered in
// completion order since the machine started.
struct IrpCompletion {
    UCHAR majorFunction = 0;
    ULONG ioControlCode = 0;
    NTSTATUS status = 0;
    ULONG_PTR information = 0;
    CHAR priorityBoost = 0;
    const void* outputBuffer = nullptr;   // the caller's output buffer
};
constexpr size_t IRP_COMPLETION_HISTORY = 4096;
// IRPs completed since the machine started: the number the next completion will have.
uint64_t CompletedIrpCount();
// The completions numbered `first` and after, from the oldest kept.
std::vector<IrpCompletion> CompletedIrpsSince(uint64_t first);
// IRPs issued and not completed.
size_t PendingIrps();
// Cancels an IRP as IoCancelIrp does: takes the cancel lock, sets Cancel, claims the cancel
// routine and calls it with the lock held and CancelIrql set. True if a routine was called.
bool CancelIrp(PIRP irp);

// ---- PnP notification -----------------------------------------------------------------------
// A user-mode program registered for notifications on one device: it records every custom
// notification reported for the device, as the bytes delivered (Size bytes of the structure).
class DeviceNotificationListener {
public:
    explicit DeviceNotificationListener(PDEVICE_OBJECT device) : device_(device) {}
    PDEVICE_OBJECT Device() const { return device_; }
    std::vector<std::vector<uint8_t>> Received() const;
    size_t Count() const;
    void Deliver(std::vector<uint8_t> bytes);

private:
    PDEVICE_OBJECT device_;
    mutable std::mutex lock_;
    std::vector<std::vector<uint8_t>> received_;   // guarded by lock_
};
// Registers a listener; it stays registered while the returned pointer lives.
std::shared_ptr<DeviceNotificationListener> RegisterDeviceNotificationListener(PDEVICE_OBJECT device);

// ---- Machine-facing state -------------------------------------------------------------------
// Sends the close of file objects whose last IRP completed after their cleanup.
void FlushDeferredCloses();
// Reports error-free shutdown state: pending IRPs, open file objects; deletes every object,
// link and record. The next machine starts clean.
void CheckAndResetIo(const char* when);
void InitializeIo();

// Used by UserProcess (host/memory/memory.cpp).
std::unique_ptr<ProcessIo, ProcessIoDeleter> NewProcessIo(UserProcess* process);
// The end of a process: its pending requests are cancelled; later its handles are closed, the
// last handle of a file object sending cleanup in the process's context, then close.
void CancelProcessIo(UserProcess& process);
void CloseProcessHandles(UserProcess& process);

// Reports (HandleLeak) every reference taken with ObReferenceObjectByName and not released,
// then drops it; returns their number.
size_t CheckNoDriverObjectReferences(const char* when);

}  // namespace host
