// The emulated Windows machine: driver load and unload with the checks that follow them, user
// processes, and the machine-wide reset. Host only; runs on the test's thread.
#include "host/machine.h"

#include <cstdio>

#include "host/io/io.h"
#include "host/kernel/kernel.h"
#include "host/ndis/ndis.h"
#include "host/verifier/checker.h"
#include "host/verifier/faults.h"

namespace host {

namespace {

Machine* CurrentMachine = nullptr;

std::string Narrow(const std::u16string& s)
{
    std::string out;
    for (char16_t c : s) {
        out += c < 0x80 ? char(c) : '?';
    }
    return out;
}

}  // namespace

Machine::Machine() : Machine(MachineOptions{}) {}

Machine::Machine(const MachineOptions& options)
{
    if (CurrentMachine != nullptr) {
        std::fprintf(stderr, "host: a second Machine was created while one is alive\n");
        std::abort();
    }
    CurrentMachine = this;
    InstallMappingFaultHandler();
    InitializeIo();
    if (options.virtualClock) {
        UseVirtualClock(options.clockStart);
    }
}

Machine::~Machine()
{
    while (!processes_.empty()) {
        EndProcess(*processes_.back());
    }
    if (driver_ != nullptr) {
        UnloadDriver();
    }
    ResetNdis();
    CheckAndResetIo("when the machine stops");
    CheckNoMdls("when the machine stops");
    ResetMemoryManager();
    CheckNoUnwrittenErrorLogEntries("when the machine stops");
    ResetErrorLog();
    CheckAndResetKernel("when the machine stops");
    CurrentMachine = nullptr;
}

Machine* Machine::Current() { return CurrentMachine; }

NTSTATUS Machine::LoadDriver(DriverEntryRoutine driverEntry, const char16_t* serviceName, std::vector<uint32_t> poolTags)
{
    if (driver_ != nullptr) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    std::u16string service = serviceName;
    PDRIVER_OBJECT driver = CreateDriverObject((u"\\Driver\\" + service).c_str());
    registryPath_ = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + service;
    UNICODE_STRING registryPath;
    registryPath.Buffer = registryPath_.data();
    registryPath.Length = USHORT(registryPath_.size() * sizeof(WCHAR));
    registryPath.MaximumLength = USHORT(registryPath.Length + sizeof(WCHAR));
    poolTags_ = std::move(poolTags);

    NTSTATUS status = STATUS_UNSUCCESSFUL;
    {
        ProcessContext system(nullptr);
        CallHandlerAt(PASSIVE_LEVEL, "DriverEntry", [&] { status = driverEntry(driver, &registryPath); });
    }
    if (NT_SUCCESS(status)) {
        driver_ = driver;
        return status;
    }
    // A failed load leaves nothing behind: the system forgets the driver without DriverUnload.
    if (IsFilterRegistered()) {
        ReportViolation(Rule::NdisContract, "DriverEntry of %s failed with %#x and left its filter registered",
            Narrow(service).c_str(), unsigned(status));
    }
    driver_ = driver;
    CheckAfterDriver("after DriverEntry failed");
    driver_ = nullptr;
    return status;
}

void Machine::UnloadDriver()
{
    if (driver_ == nullptr) {
        return;
    }
    FlushDeferredCloses();
    // The I/O manager keeps a driver loaded while handles to its devices are open.
    if (size_t open = OpenFilesOfDriver(driver_); open > 0) {
        ReportViolation(Rule::HandleLeak,
            "unload requested while %zu handle(s) to the driver's devices are open: the driver stays loaded "
            "until they are closed",
            open);
        return;
    }
    if (driver_->DriverUnload == nullptr) {
        ReportViolation(Rule::HandleLeak, "the driver has no DriverUnload routine: it cannot be unloaded");
    } else {
        ProcessContext system(nullptr);
        CallHandlerAt(PASSIVE_LEVEL, "DriverUnload", [&] { driver_->DriverUnload(driver_); });
    }
    CheckAfterDriver("after DriverUnload");
    driver_ = nullptr;
}

void Machine::CheckAfterDriver(const char* when)
{
    for (uint32_t tag : poolTags_) {
        CheckNoPoolUnderTag(tag, when);
    }
    for (PDEVICE_OBJECT device : DevicesOfDriver(driver_)) {
        ReportViolation(Rule::HandleLeak, "%s: device %p (%s) of the driver was not deleted", when,
            static_cast<void*>(device), Narrow(DeviceName(device)).c_str());
    }
    CheckNoMdls(when);
    CheckNoProcessNotifyRoutines(when);
    CheckNoDriverObjectReferences(when);
    CheckNoUnwrittenErrorLogEntries(when, driver_);
    if (int handles = OpenKernelHandles(); handles != 0) {
        ReportViolation(Rule::HandleLeak, "%s: %d kernel handle(s) or object reference(s) still open", when, handles);
    }
    if (int threads = RunningSystemThreads(); threads != 0) {
        ReportViolation(Rule::HandleLeak, "%s: %d system thread(s) still running", when, threads);
    }
    // The driver object itself goes; its devices (if any were left) go with it.
    DeleteDriverObject(driver_);
}

EventLog& Machine::Log() { return TheEventLog(); }

UserProcess& Machine::NewProcess()
{
    processes_.push_back(std::make_unique<UserProcess>(nextProcess_++));
    return *processes_.back();
}

void Machine::EndProcess(UserProcess& process)
{
    process.End();
    std::erase_if(processes_, [&](const auto& p) { return p.get() == &process; });
}

}  // namespace host
