// The I/O manager's own records, shared by host/io/*.cpp: driver, device and file objects, IRPs,
// symbolic links, the lock that guards them and the steps several parts take (issuing an IRP,
// closing a file object). Not for the other host subsystems: they use host/io/io.h. Host only.
#pragma once

#include <condition_variable>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/io/io.h"

namespace host::io_internal {

struct DriverRecord {
    DRIVER_OBJECT object{};
    std::u16string name;
};

struct DeviceRecord {
    DEVICE_OBJECT object{};
    std::u16string name;   // empty: unnamed
    std::u16string sddl;
    PDRIVER_DISPATCH major[IRP_MJ_MAXIMUM_FUNCTION + 1] = {};
    std::unique_ptr<uint64_t[]> extension;
    std::unique_ptr<VPB> vpb;
    bool deleted = false;
    std::vector<std::weak_ptr<DeviceNotificationListener>> listeners;
};

struct IrpRecord;

struct FileRecord {
    FILE_OBJECT object{};
    DeviceRecord* device = nullptr;
    int handles = 0;
    bool cleanedUp = false;
    bool closeDeferred = false;   // cleanup done, close waits for the last IRP and lookup
    // Requests between their handle's lookup and their IRP's return: the reference a handle
    // lookup takes on the file object, which keeps it past a close of the handle meanwhile.
    int lookups = 0;
    std::list<std::shared_ptr<IrpRecord>> pending;   // IRPs issued and not completed
};

struct IrpRecord {
    IRP irp{};
    IO_STACK_LOCATION stack{};
    std::unique_ptr<uint64_t[]> systemBuffer;
    FileRecord* file = nullptr;
    DeviceRecord* device = nullptr;
    void* userOutput = nullptr;
    ULONG outputLength = 0;
    OVERLAPPED* overlapped = nullptr;
    // Signalled once, when the IRP completes: what its issuer and GetOverlappedResultEx wait on.
    std::condition_variable completion;
    bool completed = false;
    bool dispatchReturned = false;
    NTSTATUS finalStatus = 0;
    ULONG_PTR finalInformation = 0;
};

// The I/O manager's records. Everything below, and every IrpRecord, is guarded by IoLock. No
// driver routine is ever called with IoLock held.
extern std::mutex IoLock;
extern std::list<std::unique_ptr<DriverRecord>> Drivers;
extern std::list<std::unique_ptr<DeviceRecord>> Devices;             // kept until reset, even deleted ones
extern std::map<std::u16string, std::u16string> Links;               // LinkKey -> target
extern std::map<FILE_OBJECT*, std::unique_ptr<FileRecord>> Files;
extern std::vector<std::pair<PDEVICE_CHANGE_COMPLETE_CALLBACK, PVOID>> DeferredCallbacks;

// "\DosDevices\X", "\GLOBAL??\X" and "\??\X" name the same link.
std::u16string LinkKey(const std::u16string& link);
// _Requires_lock_held_(IoLock)
DeviceRecord* LiveDeviceNamed(const std::u16string& name);

// Sends one IRP to the file object's device and, when `wait`, waits for its completion.
// Returns the final status, or STATUS_PENDING when not waiting and the IRP is still pending.
NTSTATUS Issue(UserProcess* process, FileRecord* file, UCHAR major, ULONG code, void* input, ULONG inputLength,
    void* output, ULONG outputLength, OVERLAPPED* overlapped, bool wait, ULONG_PTR* information);
// The last handle of a file object is gone: cleanup in the context of the process that closed
// it, then close once no IRP is left.
void CloseFile(UserProcess* closer, FileRecord* file);
// Drops the reference a handle lookup took (FileOfHandle); the last one lets a deferred close go.
void ReleaseFileLookup(FileRecord* file);
// A completed IRP is in no cancel-safe queue any more (its address may come back for another);
// NULL: the machine's reset forgets every queue.
void ForgetQueuedIrp(PIRP irp);

}  // namespace host::io_internal
