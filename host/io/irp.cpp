// IRPs: an IRP issued to a device's dispatch routine with its METHOD_BUFFERED system buffer,
// completion and the copy back to the caller, cancellation under the global cancel lock, cleanup
// and close of a file object whose last handle went, the closes and callbacks deferred until no
// IRP is left, and the I/O manager's final check and reset. Host only.
#include <algorithm>
#include <cstring>
#include <deque>

#include "host/io/io_internal.h"
#include "host/kernel/kernel.h"
#include "host/verifier/checker.h"
#include "host/verifier/history.h"

namespace host {

namespace io_internal {

std::mutex IoLock;
std::list<std::unique_ptr<DriverRecord>> Drivers;
std::list<std::unique_ptr<DeviceRecord>> Devices;
std::map<std::u16string, std::u16string> Links;
std::map<FILE_OBJECT*, std::unique_ptr<FileRecord>> Files;
std::vector<std::pair<PDEVICE_CHANGE_COMPLETE_CALLBACK, PVOID>> DeferredCallbacks;

}  // namespace io_internal

using namespace io_internal;

namespace {

constexpr size_t RETIRED_IRPS_REMEMBERED = 512;
constexpr CSHORT IO_TYPE_IRP = 6;

const char* MajorName(UCHAR major)
{
    switch (major) {
    case IRP_MJ_CREATE: return "IRP_MJ_CREATE";
    case IRP_MJ_CLOSE: return "IRP_MJ_CLOSE";
    case IRP_MJ_DEVICE_CONTROL: return "IRP_MJ_DEVICE_CONTROL";
    case IRP_MJ_CLEANUP: return "IRP_MJ_CLEANUP";
    default: return "IRP_MJ_?";
    }
}

// Guarded by IoLock, as the records of io_internal.h.
std::map<PIRP, std::shared_ptr<IrpRecord>> Irps;              // in flight and recently retired
std::deque<PIRP> Retired;
std::vector<FileRecord*> DeferredCloses;
History<IrpCompletion> Completions{IRP_COMPLETION_HISTORY};

// The global cancel lock: a spin lock of the kernel, taken by the I/O manager around a cancel
// routine's call and released by the routine (IoReleaseCancelSpinLock).
KSPIN_LOCK CancelSpinLock;

void ReportPendingAfterCleanup(const IrpRecord& record)
{
    ReportViolation(Rule::IrpPendingAtCleanup,
        "IRP %p (%s, control code %#x) of file object %p is still pending after its cleanup completed: the "
        "driver must complete or cancel every request of the file object in IRP_MJ_CLEANUP, and fail one "
        "that reaches it afterwards",
        static_cast<const void*>(&record.irp), MajorName(record.stack.MajorFunction),
        unsigned(record.stack.Parameters.DeviceIoControl.IoControlCode), static_cast<const void*>(&record.file->object));
}

// _Requires_lock_held_(IoLock)
void Retire(const std::shared_ptr<IrpRecord>& record)
{
    Retired.push_back(&record->irp);
    while (Retired.size() > RETIRED_IRPS_REMEMBERED) {
        Irps.erase(Retired.front());
        Retired.pop_front();
    }
}

// Completes an IRP: copies the METHOD_BUFFERED output back, fills the caller's OVERLAPPED,
// wakes the waiters.
// _Requires_lock_held_(IoLock)
void CompleteLocked(const std::shared_ptr<IrpRecord>& record, CHAR boost)
{
    IrpRecord& r = *record;
    r.completed = true;
    r.finalStatus = r.irp.IoStatus.Status;
    r.finalInformation = r.irp.IoStatus.Information;
    r.irp.PendingReturned = BOOLEAN((r.stack.Control & SL_PENDING_RETURNED) != 0);
    bool error = (ULONG(r.finalStatus) >> 30) == 3;
    if (r.stack.MajorFunction == IRP_MJ_DEVICE_CONTROL && !error && r.userOutput != nullptr &&
        r.irp.AssociatedIrp.SystemBuffer != nullptr) {
        size_t n = std::min<size_t>(r.finalInformation, r.outputLength);
        std::memcpy(r.userOutput, r.irp.AssociatedIrp.SystemBuffer, n);
    }
    if (r.overlapped != nullptr) {
        r.overlapped->InternalHigh = error ? 0 : r.finalInformation;
        __atomic_store_n(&r.overlapped->Internal, ULONG_PTR(ULONG(r.finalStatus)), __ATOMIC_RELEASE);
    }
    Completions.Add() = IrpCompletion{r.stack.MajorFunction, r.stack.Parameters.DeviceIoControl.IoControlCode,
        r.finalStatus, r.finalInformation, boost, r.userOutput};
    FileRecord* file = r.file;
    file->pending.remove(record);
    if (file->closeDeferred && file->pending.empty() && file->lookups == 0) {
        file->closeDeferred = false;
        DeferredCloses.push_back(file);
    }
    if (r.dispatchReturned) {
        Retire(record);
    }
    r.completion.notify_all();
}

}  // namespace

// Sends one IRP to the file object's device and, when `wait`, waits for its completion.
// Returns the final status, or STATUS_PENDING when not waiting and the IRP is still pending.
NTSTATUS io_internal::Issue(UserProcess* process, FileRecord* file, UCHAR major, ULONG code, void* input, ULONG inputLength,
    void* output, ULONG outputLength, OVERLAPPED* overlapped, bool wait, ULONG_PTR* information)
{
    auto record = std::make_shared<IrpRecord>();
    IrpRecord& r = *record;
    DeviceRecord* device = file->device;
    r.file = file;
    r.device = device;
    r.irp.Type = IO_TYPE_IRP;
    r.irp.Size = USHORT(sizeof(IRP) + sizeof(IO_STACK_LOCATION));
    r.irp.RequestorMode = UserMode;
    r.irp.IoStatus.Status = STATUS_PENDING;
    r.irp.Tail.Overlay.CurrentStackLocation = &r.stack;
    r.irp.Tail.Overlay.Thread = process;
    InitializeListHead(&r.irp.Tail.Overlay.ListEntry);
    r.stack.MajorFunction = major;
    r.stack.DeviceObject = &device->object;
    r.stack.FileObject = &file->object;
    if (major == IRP_MJ_DEVICE_CONTROL) {
        r.stack.Parameters.DeviceIoControl.IoControlCode = code;
        r.stack.Parameters.DeviceIoControl.InputBufferLength = inputLength;
        r.stack.Parameters.DeviceIoControl.OutputBufferLength = outputLength;
        if ((code & 3) == METHOD_BUFFERED) {
            size_t size = std::max(inputLength, outputLength);
            if (size != 0) {
                r.systemBuffer.reset(new uint64_t[(size + 7) / 8]);
                std::memset(r.systemBuffer.get(), 0xCD, size);
                if (input != nullptr && inputLength != 0) {
                    std::memcpy(r.systemBuffer.get(), input, inputLength);
                }
                r.irp.AssociatedIrp.SystemBuffer = r.systemBuffer.get();
            }
            r.userOutput = output;
            r.outputLength = outputLength;
        } else {
            r.stack.Parameters.DeviceIoControl.Type3InputBuffer = input;
        }
    }
    r.overlapped = overlapped;
    if (overlapped != nullptr) {
        overlapped->InternalHigh = 0;
        __atomic_store_n(&overlapped->Internal, ULONG_PTR(STATUS_PENDING), __ATOMIC_RELEASE);
    }
    PDRIVER_DISPATCH dispatch = device->major[major];
    {
        std::lock_guard<std::mutex> guard(IoLock);
        Irps[&r.irp] = record;
        file->pending.push_back(record);
    }

    NTSTATUS status = STATUS_INVALID_DEVICE_REQUEST;
    {
        ProcessContext context(process);
        if (dispatch == nullptr) {
            r.irp.IoStatus.Status = status;
            r.irp.IoStatus.Information = 0;
            IofCompleteRequest(&r.irp, IO_NO_INCREMENT);
        } else {
            CallHandlerAt(PASSIVE_LEVEL, MajorName(major), [&] { status = dispatch(&device->object, &r.irp); });
        }
    }

    std::unique_lock<std::mutex> guard(IoLock);
    r.dispatchReturned = true;
    if (status != STATUS_PENDING && !r.completed) {
        guard.unlock();
        ReportViolation(Rule::IrpNotCompleted,
            "%s dispatch of device %p returned status %#x without completing IRP %p (return STATUS_PENDING after "
            "IoMarkIrpPending, or complete the IRP before returning)",
            MajorName(major), static_cast<void*>(&device->object), unsigned(status), static_cast<void*>(&r.irp));
        guard.lock();
        if (!r.completed) {
            r.irp.IoStatus.Status = status;
            CompleteLocked(record, IO_NO_INCREMENT);
        }
    } else if (status == STATUS_PENDING && !(r.stack.Control & SL_PENDING_RETURNED)) {
        guard.unlock();
        ReportViolation(Rule::IrpNotCompleted,
            "%s dispatch of device %p returned STATUS_PENDING for IRP %p without marking it pending "
            "(IoMarkIrpPending)",
            MajorName(major), static_cast<void*>(&device->object), static_cast<void*>(&r.irp));
        guard.lock();
    } else if (status != STATUS_PENDING && (r.stack.Control & SL_PENDING_RETURNED)) {
        guard.unlock();
        ReportViolation(Rule::IrpNotCompleted,
            "%s dispatch of device %p marked IRP %p pending (IoMarkIrpPending) and returned %#x instead of "
            "STATUS_PENDING", MajorName(major), static_cast<void*>(&device->object), static_cast<void*>(&r.irp),
            unsigned(status));
        guard.lock();
    } else if (status != STATUS_PENDING && status != r.finalStatus) {
        guard.unlock();
        ReportViolation(Rule::IrpNotCompleted,
            "%s dispatch of device %p completed IRP %p with status %#x and returned %#x: a dispatch that "
            "completes a request returns the status it completed it with", MajorName(major),
            static_cast<void*>(&device->object), static_cast<void*>(&r.irp), unsigned(r.finalStatus),
            unsigned(status));
        guard.lock();
    }
    // In dispatch when its file object's cleanup completed, and left pending after it.
    if (!r.completed && file->cleanedUp && major != IRP_MJ_CLEANUP && major != IRP_MJ_CLOSE) {
        guard.unlock();
        ReportPendingAfterCleanup(r);
        guard.lock();
    }
    if (r.completed) {
        Retire(record);
    }
    if (wait) {
        r.completion.wait(guard, [&] { return r.completed; });
    }
    if (information != nullptr) {
        *information = r.completed ? r.finalInformation : 0;
    }
    return r.completed ? r.finalStatus : STATUS_PENDING;
}

namespace {

// Sends the close of a file object whose cleanup is done and whose IRPs are all completed,
// then forgets it. It runs in whatever context drops the last reference: `context` (NULL: the
// system process), never the creator's, which may have ended.
void SendClose(UserProcess* context, FileRecord* file)
{
    Issue(context, file, IRP_MJ_CLOSE, 0, nullptr, 0, nullptr, 0, nullptr, true, nullptr);
    std::lock_guard<std::mutex> guard(IoLock);
    Files.erase(&file->object);
}

}  // namespace

// The last handle of a file object is gone: cleanup in the context of the process that closed
// it, then close once no IRP is left.
void io_internal::CloseFile(UserProcess* closer, FileRecord* file)
{
    Issue(closer, file, IRP_MJ_CLEANUP, 0, nullptr, 0, nullptr, 0, nullptr, true, nullptr);
    // A request still in its dispatch routine on another thread is the system's business: the
    // handle is gone, its file object is not. It is reported if it stays pending (Issue).
    std::vector<std::shared_ptr<IrpRecord>> left;
    bool outstanding = false;
    {
        std::lock_guard<std::mutex> guard(IoLock);
        file->cleanedUp = true;
        for (const auto& record : file->pending) {
            if (record->dispatchReturned) {
                left.push_back(record);
            }
        }
        outstanding = !file->pending.empty() || file->lookups != 0;
        file->closeDeferred = outstanding;
    }
    for (const auto& record : left) {
        ReportPendingAfterCleanup(*record);
    }
    if (!outstanding) {
        SendClose(closer, file);
    }
}

void io_internal::ReleaseFileLookup(FileRecord* file)
{
    std::lock_guard<std::mutex> guard(IoLock);
    file->lookups -= 1;
    if (file->closeDeferred && file->pending.empty() && file->lookups == 0) {
        file->closeDeferred = false;
        DeferredCloses.push_back(file);
    }
}

// ---- IRPs -----------------------------------------------------------------------------------

uint64_t CompletedIrpCount()
{
    std::lock_guard<std::mutex> guard(IoLock);
    return Completions.Count();
}

std::vector<IrpCompletion> CompletedIrpsSince(uint64_t first)
{
    std::lock_guard<std::mutex> guard(IoLock);
    return Completions.Since(first);
}

size_t PendingIrps()
{
    std::lock_guard<std::mutex> guard(IoLock);
    size_t n = 0;
    for (const auto& [irp, record] : Irps) {
        n += record->completed ? 0 : 1;
    }
    return n;
}

bool CancelIrp(PIRP irp)
{
    PDEVICE_OBJECT device = IoGetCurrentIrpStackLocation(irp)->DeviceObject;
    int heldBefore = LocksHeldByThisThread();
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&CancelSpinLock);
    irp->Cancel = TRUE;
    PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
    if (routine == nullptr) {
        KeReleaseSpinLock(&CancelSpinLock, irql);
        return false;
    }
    irp->CancelIrql = irql;
    routine(device, irp);
    if (LocksHeldByThisThread() > heldBefore) {
        ReportViolation(Rule::LockMisuse, "the cancel routine of IRP %p returned without releasing the cancel lock "
            "(IoReleaseCancelSpinLock(Irp->CancelIrql))", static_cast<void*>(irp));
        KeReleaseSpinLock(&CancelSpinLock, irql);
    } else if (KeGetCurrentIrql() != irql) {
        ReportViolation(Rule::IrqlNotRestored, "the cancel routine of IRP %p returned at IRQL %u instead of %u",
            static_cast<void*>(irp), unsigned(KeGetCurrentIrql()), unsigned(irql));
    }
    return true;
}

// ---- Machine-facing state -------------------------------------------------------------------

void FlushDeferredCloses()
{
    for (;;) {
        FileRecord* file = nullptr;
        PDEVICE_CHANGE_COMPLETE_CALLBACK callback = nullptr;
        PVOID context = nullptr;
        {
            std::lock_guard<std::mutex> guard(IoLock);
            if (!DeferredCloses.empty()) {
                file = DeferredCloses.back();
                DeferredCloses.pop_back();
            } else if (!DeferredCallbacks.empty()) {
                callback = DeferredCallbacks.back().first;
                context = DeferredCallbacks.back().second;
                DeferredCallbacks.pop_back();
            } else {
                return;
            }
        }
        if (file != nullptr) {
            SendClose(nullptr, file);
        } else {
            CallHandlerAt(PASSIVE_LEVEL, "device change completion callback", [&] { callback(context); });
        }
    }
}

void InitializeIo() { KeInitializeSpinLock(&CancelSpinLock); }

void CheckAndResetIo(const char* when)
{
    FlushDeferredCloses();
    std::lock_guard<std::mutex> guard(IoLock);
    for (const auto& [irp, record] : Irps) {
        if (!record->completed) {
            ReportViolation(Rule::IrpPendingAtCleanup, "%s: IRP %p (%s, control code %#x) is still pending", when,
                static_cast<void*>(irp), MajorName(record->stack.MajorFunction),
                unsigned(record->stack.Parameters.DeviceIoControl.IoControlCode));
        }
    }
    Irps.clear();
    Retired.clear();
    Files.clear();
    DeferredCloses.clear();
    DeferredCallbacks.clear();
    Links.clear();
    Devices.clear();
    Drivers.clear();
    Completions = History<IrpCompletion>{IRP_COMPLETION_HISTORY};
    ForgetQueuedIrp(nullptr);
}

}  // namespace host

using host::IoLock;
using host::ReportViolation;
using host::Rule;

// ---- Platform calls -------------------------------------------------------------------------

VOID IofCompleteRequest(PIRP irp, CHAR priorityBoost)
{
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "IofCompleteRequest");
    host::RequireNoSpinLockHeld("IofCompleteRequest");
    std::unique_lock<std::mutex> guard(IoLock);
    auto it = host::Irps.find(irp);
    if (it == host::Irps.end()) {
        guard.unlock();
        ReportViolation(Rule::IrpCompletedTwice, "IofCompleteRequest of %p, which is not an IRP in flight (completed "
            "and freed already?)", static_cast<void*>(irp));
        return;
    }
    std::shared_ptr<host::IrpRecord> record = it->second;
    if (record->completed) {
        guard.unlock();
        ReportViolation(Rule::IrpCompletedTwice, "IRP %p (%s, control code %#x) completed again; it was completed "
            "with status %#x", static_cast<void*>(irp), host::MajorName(record->stack.MajorFunction),
            unsigned(record->stack.Parameters.DeviceIoControl.IoControlCode), unsigned(record->finalStatus));
        return;
    }
    // Read as IoSetCancelRoutine writes it: a cancel on another thread may be exchanging it.
    if (__atomic_load_n(&irp->CancelRoutine, __ATOMIC_ACQUIRE) != nullptr) {
        guard.unlock();
        ReportViolation(Rule::IrpCompletedTwice, "IRP %p completed with its cancel routine still set: a cancel can "
            "then complete it a second time (clear it with IoSetCancelRoutine(Irp, NULL) first)",
            static_cast<void*>(irp));
        guard.lock();
    }
    host::CompleteLocked(record, priorityBoost);
    guard.unlock();
    host::io_internal::ForgetQueuedIrp(irp);
}

VOID IoReleaseCancelSpinLock(KIRQL irql) { KeReleaseSpinLock(&host::CancelSpinLock, irql); }

