// The error log of the emulated machine: IoAllocateErrorLogEntry / IoWriteErrorLogEntry, the
// event log they fill and its viewer. Host only; callable at IRQL <= DISPATCH_LEVEL.
#include "host/io/errorlog.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>

#include "host/io/io.h"
#include "host/kernel/kernel.h"
#include "host/verifier/checker.h"
#include "host/verifier/faults.h"

namespace host {

namespace {

const MessageTableEntry MESSAGES[] = {
#include "host/message_table.inc"
};

// Filled into every new entry: a writer that forgets to clear the packet leaves it visible.
constexpr uint8_t UNWRITTEN_FILL = 0xE7;

struct PendingEntry {
    size_t size = 0;
    PDRIVER_OBJECT driver = nullptr;
    std::string source;
};

// The event log. Guarded by LogLock.
std::mutex LogLock;
std::map<void*, PendingEntry> Pending;   // allocated, not yet written
std::vector<EventLogEntry> Written;

std::string ServiceNameOf(PDRIVER_OBJECT driver)
{
    std::string name;
    const UNICODE_STRING& s = driver->DriverName;
    for (size_t i = 0; s.Buffer != nullptr && i < s.Length / sizeof(WCHAR); ++i) {
        char16_t c = s.Buffer[i];
        name += c < 0x80 ? char(c) : '?';
    }
    size_t slash = name.rfind('\\');
    return slash == std::string::npos ? name : name.substr(slash + 1);
}

void AppendUtf8(std::string& out, uint32_t c)
{
    if (c < 0x80) {
        out += char(c);
    } else if (c < 0x800) {
        out += char(0xC0 | (c >> 6));
        out += char(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += char(0xE0 | (c >> 12));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    } else {
        out += char(0xF0 | (c >> 18));
        out += char(0x80 | ((c >> 12) & 0x3F));
        out += char(0x80 | ((c >> 6) & 0x3F));
        out += char(0x80 | (c & 0x3F));
    }
}

uint32_t Read32(const std::vector<uint8_t>& b, size_t offset)
{
    if (b.size() < offset + 4) {
        return 0;
    }
    return uint32_t(b[offset]) | uint32_t(b[offset + 1]) << 8 | uint32_t(b[offset + 2]) << 16 |
           uint32_t(b[offset + 3]) << 24;
}

uint16_t Read16(const std::vector<uint8_t>& b, size_t offset)
{
    if (b.size() < offset + 2) {
        return 0;
    }
    return uint16_t(b[offset] | b[offset + 1] << 8);
}

// Walks the insertion strings: calls `visit(index, utf8)` for each well-formed one; returns
// false when one runs past the entry.
template <typename Visit>
bool WalkInsertions(const std::vector<uint8_t>& b, uint16_t count, uint16_t offset, Visit visit)
{
    size_t at = offset;
    for (size_t index = 0; index < count; ++index) {
        std::string text;
        for (;;) {
            if (at + 2 > b.size()) {
                return false;
            }
            uint32_t c = Read16(b, at);
            at += 2;
            if (c == 0) {
                break;
            }
            if (c >= 0xD800 && c < 0xDC00 && at + 2 <= b.size()) {
                uint32_t low = Read16(b, at);
                if (low >= 0xDC00 && low < 0xE000) {
                    c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                    at += 2;
                }
            }
            AppendUtf8(text, c);
        }
        visit(index, text);
    }
    return true;
}

}  // namespace

const MessageTableEntry* FindMessage(uint32_t id)
{
    for (const MessageTableEntry& m : MESSAGES) {
        if (m.id == id) {
            return &m;
        }
    }
    return nullptr;
}

const std::vector<MessageTableEntry>& MessageTable()
{
    static const std::vector<MessageTableEntry> table(std::begin(MESSAGES), std::end(MESSAGES));
    return table;
}

std::string RenderMessage(const char* text, const std::string& source, const std::vector<std::string>& insertions)
{
    std::string out;
    for (const char* p = text; *p != 0; ++p) {
        if (p[0] == '%' && p[1] >= '1' && p[1] <= '9') {
            size_t n = 0;
            const char* q = p + 1;
            while (*q >= '0' && *q <= '9') {
                n = n * 10 + size_t(*q - '0');
                ++q;
            }
            if (n == 1) {
                out += source;
                p = q - 1;
                continue;
            }
            if (n - 2 < insertions.size()) {
                out += insertions[n - 2];
                p = q - 1;
                continue;
            }
        }
        out += *p;
    }
    return out;
}

uint32_t EventLogEntry::ErrorCode() const { return Read32(bytes_, offsetof(IO_ERROR_LOG_PACKET, ErrorCode)); }
uint32_t EventLogEntry::UniqueErrorValue() const { return Read32(bytes_, offsetof(IO_ERROR_LOG_PACKET, UniqueErrorValue)); }
uint32_t EventLogEntry::FinalStatus() const { return Read32(bytes_, offsetof(IO_ERROR_LOG_PACKET, FinalStatus)); }
uint16_t EventLogEntry::NumberOfStrings() const { return Read16(bytes_, offsetof(IO_ERROR_LOG_PACKET, NumberOfStrings)); }
uint16_t EventLogEntry::StringOffset() const { return Read16(bytes_, offsetof(IO_ERROR_LOG_PACKET, StringOffset)); }

std::string EventLogEntry::Insertion(size_t index) const
{
    std::string found;
    WalkInsertions(bytes_, NumberOfStrings(), StringOffset(), [&](size_t i, const std::string& text) {
        if (i == index) {
            found = text;
        }
    });
    return found;
}

bool EventLogEntry::InsertionsWellFormed() const
{
    return WalkInsertions(bytes_, NumberOfStrings(), StringOffset(), [](size_t, const std::string&) {});
}

std::string EventLogEntry::Symbol() const
{
    const MessageTableEntry* m = FindMessage(ErrorCode());
    return m != nullptr ? m->symbol : "";
}

std::string EventLogEntry::Render() const
{
    const MessageTableEntry* m = FindMessage(ErrorCode());
    if (m == nullptr) {
        char text[160];
        std::snprintf(text, sizeof text,
            "The description for Event ID 0x%08X from source %s cannot be found.\r\n", ErrorCode(), source_.c_str());
        return text;
    }
    std::vector<std::string> insertions;
    WalkInsertions(bytes_, NumberOfStrings(), StringOffset(),
        [&](size_t, const std::string& text) { insertions.push_back(text); });
    return RenderMessage(m->text, source_, insertions);
}

std::vector<EventLogEntry> EventLog::Entries() const
{
    std::lock_guard<std::mutex> guard(LogLock);
    return Written;
}

void EventLog::Clear()
{
    std::lock_guard<std::mutex> guard(LogLock);
    Written.clear();
}

size_t EventLog::Count() const
{
    std::lock_guard<std::mutex> guard(LogLock);
    return Written.size();
}

EventLog& TheEventLog()
{
    static EventLog log;
    return log;
}

size_t CheckNoUnwrittenErrorLogEntries(const char* when, PDRIVER_OBJECT driver)
{
    std::lock_guard<std::mutex> guard(LogLock);
    size_t found = 0;
    for (auto it = Pending.begin(); it != Pending.end();) {
        if (driver != nullptr && it->second.driver != driver) {
            ++it;
            continue;
        }
        ReportViolation(Rule::ErrorLogMisuse, "%s: error-log entry %p (%zu bytes, from %s) was allocated with "
            "IoAllocateErrorLogEntry and never written", when, it->first, it->second.size, it->second.source.c_str());
        std::free(it->first);
        it = Pending.erase(it);
        ++found;
    }
    return found;
}

void ResetErrorLog()
{
    std::lock_guard<std::mutex> guard(LogLock);
    for (auto& [p, entry] : Pending) {
        std::free(p);
    }
    Pending.clear();
    Written.clear();
}

}  // namespace host

PVOID IoAllocateErrorLogEntry(PVOID ioObject, UCHAR entrySize)
{
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateErrorLogEntry");
    if (ioObject == nullptr || entrySize > ERROR_LOG_MAXIMUM_SIZE) {
        return nullptr;
    }
    if (host::ShouldFail(host::Fault::ErrorLogEntry)) {
        return nullptr;
    }
    // %1 of a driver's entry is its name; a named device's entry shows the device name.
    PDRIVER_OBJECT driver = nullptr;
    std::string source;
    if (host::IsDriverObject(ioObject)) {
        driver = static_cast<PDRIVER_OBJECT>(ioObject);
        source = host::ServiceNameOf(driver);
    } else if (host::IsDeviceObject(ioObject)) {
        auto* device = static_cast<PDEVICE_OBJECT>(ioObject);
        driver = device->DriverObject;
        std::u16string name = host::DeviceName(device);
        source = name.empty() ? host::ServiceNameOf(driver) : std::string(name.begin(), name.end());
    } else {
        host::ReportViolation(host::Rule::ErrorLogMisuse, "IoAllocateErrorLogEntry for %p, which is neither a driver "
            "object nor a device object", ioObject);
        return nullptr;
    }
    // Exactly entrySize bytes, so that a write past the entry is caught by the sanitizer.
    void* entry = std::malloc(entrySize == 0 ? 1 : entrySize);
    if (entry == nullptr) {
        return nullptr;
    }
    std::memset(entry, host::UNWRITTEN_FILL, entrySize);
    std::lock_guard<std::mutex> guard(host::LogLock);
    host::Pending[entry] = host::PendingEntry{entrySize, driver, source};
    return entry;
}

VOID IoWriteErrorLogEntry(PVOID elEntry)
{
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "IoWriteErrorLogEntry");
    std::lock_guard<std::mutex> guard(host::LogLock);
    auto it = host::Pending.find(elEntry);
    if (it == host::Pending.end()) {
        host::ReportViolation(host::Rule::ErrorLogMisuse, "IoWriteErrorLogEntry of %p, which is not an entry from "
            "IoAllocateErrorLogEntry waiting to be written (written twice?)", elEntry);
        return;
    }
    const auto* bytes = static_cast<const uint8_t*>(elEntry);
    host::Written.emplace_back(std::vector<uint8_t>(bytes, bytes + it->second.size), it->second.source);
    std::free(elEntry);
    host::Pending.erase(it);
}
