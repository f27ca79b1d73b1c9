// An emulated machine with GvspFilter loaded, as the tests of the driver use it: adapters to
// attach, user processes, the event log, and the checker's final word when the machine ends.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "base/event_log.h"
#include "driver/handlers.h"
#include "host/io/errorlog.h"
#include "host/kernel/kernel.h"
#include "host/machine.h"
#include "host/ndis/ndis.h"
#include "host/verifier/faults.h"

namespace gvsptest {

using Mac = std::array<uint8_t, 6>;

constexpr Mac MacOf(uint8_t last) { return {0x00, 0x1B, 0x2C, 0x3D, 0x4E, last}; }

inline constexpr char VERSION_TEXT[] = "2.2.1.167663";

// Loads the driver on a fresh machine; the machine's end unloads it and runs the final checks.
class GvspMachine {
public:
    explicit GvspMachine(host::MachineOptions options = {}) : machine_(options) {}
    ~GvspMachine() { host::ResetFaults(); }

    NTSTATUS Load()
    {
        return machine_.LoadDriver(DriverEntry, u"kxGenICamForEthernet", {POOL_TAG, NAME_QUERY_TAG});
    }
    void Unload() { machine_.UnloadDriver(); }

    host::Adapter& AddAdapter(Mac mac, NDIS_MEDIUM medium = NdisMedium802_3)
    {
        host::AdapterConfig config;
        config.medium = medium;
        config.mac = mac;
        char name[64];
        std::snprintf(name, sizeof name, "Camera port %02x", mac[5]);
        config.friendlyName = Utf16(name);
        std::snprintf(name, sizeof name, "\\DEVICE\\{5A0C6E31-0B1D-4B7C-9A55-0000000000%02X}", mac[5]);
        config.deviceName = Utf16(name);
        return host::AddAdapter(config);
    }

    host::Machine& Machine() { return machine_; }
    host::UserProcess& NewProcess() { return machine_.NewProcess(); }

    std::vector<host::EventLogEntry> Events() const { return host::TheEventLog().Entries(); }
    // The entries of one message id, in order.
    std::vector<host::EventLogEntry> EventsOf(NTSTATUS id) const
    {
        std::vector<host::EventLogEntry> out;
        for (const host::EventLogEntry& e : Events()) {
            if (e.ErrorCode() == static_cast<uint32_t>(id)) {
                out.push_back(e);
            }
        }
        return out;
    }
    // The symbols of every entry, in order ("MSG_NIC_ATTACHED", ...).
    std::vector<std::string> EventSymbols() const
    {
        std::vector<std::string> out;
        for (const host::EventLogEntry& e : Events()) {
            out.push_back(e.Symbol());
        }
        return out;
    }
    void ClearEvents() { host::TheEventLog().Clear(); }

    static std::u16string Utf16(const std::string& text) { return std::u16string(text.begin(), text.end()); }

private:
    host::Machine machine_;
};

}  // namespace gvsptest
