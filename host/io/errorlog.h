// The system event log of the emulated machine: error-log entries as the bytes the driver wrote,
// and a viewer that renders them with the driver's message table as the event viewer would.
// Host only; IoAllocateErrorLogEntry and IoWriteErrorLogEntry are in host/io/errorlog.cpp.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/wdm.h"

namespace host {

// One message of the driver's message table (generated from base/gvspfilter.mc).
struct MessageTableEntry {
    uint32_t id;
    const char* symbol;   // "MSG_..."
    const char* text;     // with %1, %2 and the closing "\r\n"
};
// The message with `id`, or NULL.
const MessageTableEntry* FindMessage(uint32_t id);
const std::vector<MessageTableEntry>& MessageTable();
// Expands a message text as the event viewer does: %1 is `source`, %n (n >= 2) is insertion
// n - 2; an insertion the entry does not have leaves its %n as it is.
std::string RenderMessage(const char* text, const std::string& source, const std::vector<std::string>& insertions);

// One written entry: exactly the entrySize bytes the driver wrote, and the name of the driver
// it is attributed to (the service name, as the event viewer shows it).
class EventLogEntry {
public:
    // `written`: when the entry reached the log (the event viewer's "Date and Time").
    EventLogEntry(std::vector<uint8_t> bytes, std::string source,
        std::chrono::system_clock::time_point written = std::chrono::system_clock::now())
        : bytes_(std::move(bytes)), source_(std::move(source)), written_(written)
    {
    }

    const std::vector<uint8_t>& Bytes() const { return bytes_; }
    size_t Size() const { return bytes_.size(); }
    const std::string& Source() const { return source_; }
    std::chrono::system_clock::time_point Written() const { return written_; }

    // The packet's members (0 when the entry is too short to hold them).
    uint32_t ErrorCode() const;
    uint32_t UniqueErrorValue() const;
    uint32_t FinalStatus() const;
    uint16_t NumberOfStrings() const;
    uint16_t StringOffset() const;
    // Insertion string `index` (0-based), UTF-16 from StringOffset to its NUL, as UTF-8; empty
    // when there is none or it runs past the entry.
    std::string Insertion(size_t index = 0) const;
    // True when every insertion string lies inside the entry and is NUL-terminated there.
    bool InsertionsWellFormed() const;
    // "MSG_..." of ErrorCode, or "" when the table does not hold it.
    std::string Symbol() const;
    // The text the event viewer shows: the message with %1 replaced by the driver's name and %2,
    // %3, ... by the insertion strings (left as they are when the entry has no such string).
    std::string Render() const;

private:
    std::vector<uint8_t> bytes_;
    std::string source_;
    std::chrono::system_clock::time_point written_;
};

class EventLog {
public:
    std::vector<EventLogEntry> Entries() const;
    void Clear();
    size_t Count() const;
};

// The machine's event log.
EventLog& TheEventLog();

// Entries allocated and never written: reported as ErrorLogMisuse and forgotten. With `driver`
// only that driver's entries are checked. Returns their number.
size_t CheckNoUnwrittenErrorLogEntries(const char* when, PDRIVER_OBJECT driver = nullptr);
// Forgets every entry (written or not) of the previous machine.
void ResetErrorLog();

}  // namespace host
