// The emulated Windows machine as a whole: it loads and unloads one driver, creates user
// processes, holds the event log, and on teardown checks what the driver left behind and resets
// every module for the next machine. One machine at a time per Linux process. Host only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/io/errorlog.h"
#include "host/memory/memory.h"
#include "platform/wdm.h"

namespace host {

typedef NTSTATUS (*DriverEntryRoutine)(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

struct MachineOptions {
    bool virtualClock = false;   // the performance counter moves only when a test advances it
    int64_t clockStart = 0;      // its first value, in counts
};

class Machine {
public:
    Machine();
    explicit Machine(const MachineOptions& options);
    // Ends the processes, unloads a loaded driver, tears NDIS down, reports what was left behind
    // and resets the kernel, I/O manager, memory manager and event log.
    ~Machine();
    Machine(const Machine&) = delete;
    Machine& operator=(const Machine&) = delete;

    // The machine alive now, or NULL.
    static Machine* Current();

    // Creates the driver object "\Driver\<serviceName>" and calls `driverEntry` at PASSIVE_LEVEL
    // in the system process. On failure the driver is not loaded, and nothing may be left under
    // `poolTags`, no device of the driver, no kernel handle or thread.
    NTSTATUS LoadDriver(DriverEntryRoutine driverEntry, const char16_t* serviceName, std::vector<uint32_t> poolTags);
    // Calls DriverUnload, then checks: nothing under the driver's pool tags, no device of the
    // driver, no MDL, no kernel handle, thread or object reference, no unwritten error-log entry.
    // While handles to the driver's devices are open the unload is refused and reported, as the
    // I/O manager keeps such a driver loaded.
    void UnloadDriver();
    bool DriverLoaded() const { return driver_ != nullptr; }
    PDRIVER_OBJECT DriverObject() const { return driver_; }

    EventLog& Log();
    // A new user process; it lives until EndProcess or the machine's end.
    UserProcess& NewProcess();
    // Ends a process as the system does (cancel its requests, close its handles, release its
    // memory) and forgets it.
    void EndProcess(UserProcess& process);

private:
    void CheckAfterDriver(const char* when);

    PDRIVER_OBJECT driver_ = nullptr;
    std::vector<uint32_t> poolTags_;
    std::u16string registryPath_;
    std::vector<std::unique_ptr<UserProcess>> processes_;
    uint32_t nextProcess_ = 1;
};

}  // namespace host
