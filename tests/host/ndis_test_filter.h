// A small lightweight filter used to exercise the emulated NDIS: every handler present and
// configurable, its own tag, its own NBL pool per module. Host tests only.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "host/kernel.h"
#include "host/ndis.h"

namespace ndistest {

constexpr ULONG TEST_TAG = host::TagOf("TfLt");
constexpr uint8_t CONSUME_MARK = 0xC0;   // frames starting with this byte are kept by the filter

// What the receive handler does with a non-RESOURCES indication.
enum class ReceiveMode {
    Classify,      // consumed frames returned at once, the rest indicated up in one chain
    ReturnTwice,   // returns the whole chain twice
    ChangeLength,  // returns the whole chain after shortening the first list's DataLength
    Drop,          // keeps the chain and never returns it
    WrongCount,    // indicates the chain up with one list too many in the count
};

struct TestModule {
    NDIS_HANDLE filterHandle = nullptr;
    NDIS_HANDLE pool = nullptr;
    std::u16string friendlyName, deviceName, moduleName;
    NDIS_MEDIUM medium = NdisMedium802_3;
    std::vector<uint8_t> mac;
    ULONG attachMtu = 0, attachLookahead = 0;
    ULONG restartLookahead = 0;   // what the restart attributes carried
    ULONG restartOid = 0;
    bool restartHadNext = false;
    KIRQL receiveIrql = 0xFF;
    PNDIS_OID_REQUEST pendingClone = nullptr;
};

struct TestFilter {
    NDIS_HANDLE driverHandle = nullptr;
    PDRIVER_OBJECT driverObject = nullptr;
    std::vector<std::string> events;   // "setoptions", "attach", "restart", "pause", "detach" with the adapter name
    NDIS_STATUS attachStatus = NDIS_STATUS_SUCCESS;
    bool setAttributes = true;
    ULONG lookaheadToSet = 0;          // 0: leave the restart attributes alone
    ReceiveMode receiveMode = ReceiveMode::Classify;
    bool freeCloneOnComplete = true;
    std::vector<TestModule*> modules;  // live modules
    size_t ownCompletions = 0;         // own lists freed in the send-complete handler
};

extern TestFilter g_filter;

NDIS_FILTER_DRIVER_CHARACTERISTICS TestCharacteristics();
// Registers the test filter (with the characteristics given, or the default ones).
NDIS_STATUS RegisterTestFilter(NDIS_FILTER_DRIVER_CHARACTERISTICS* chars = nullptr);
void ResetTestFilter();
// Sends one own 80-byte packet filled with `fill` on the module.
bool SendOwnPacket(TestModule& module, uint8_t fill);
std::string Narrow(const std::u16string& s);

}  // namespace ndistest
