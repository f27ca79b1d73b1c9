// The event-log writer. Never fails its caller: every obstacle drops the entry silently.
// IRQL <= APC_LEVEL to write; callers at DISPATCH_LEVEL are accepted and dropped.
#include "base/event_log.h"

#include "base/driver.h"

namespace {

// The packet members up to DumpData; the insertion string starts where DumpData does.
constexpr ULONG EVENT_PACKET_SIZE = sizeof(IO_ERROR_LOG_PACKET);             // 48
constexpr ULONG EVENT_STRING_OFFSET = offsetof(IO_ERROR_LOG_PACKET, DumpData); // 40

}  // namespace

VOID WriteEventLog(NTSTATUS messageId, ULONG uniqueValue, PCSTR format, ...)
{
    CHAR text[EVENT_TEXT_MAX + 1];
    RtlZeroMemory(text, sizeof(text));

    if (DriverGlobals.DriverObject == nullptr || KeGetCurrentIrql() > APC_LEVEL) {
        return;
    }

    // Format into at most 99 characters; the buffer's last byte stays the terminator.
    ULONG length = 0;
    if (format != nullptr && format[0] != '\0') {
        va_list arguments;
        va_start(arguments, format);
        int written = _vsnprintf(text, EVENT_TEXT_MAX, format, arguments);
        va_end(arguments);
        if (written < 0) {
            return;
        }
        length = static_cast<ULONG>(written);
    }

    ULONG entrySize = EVENT_STRING_OFFSET + 2 + 2 * length;
    if (entrySize < EVENT_PACKET_SIZE) {
        entrySize = EVENT_PACKET_SIZE;
    }
    auto* entry = static_cast<PIO_ERROR_LOG_PACKET>(
        IoAllocateErrorLogEntry(DriverGlobals.DriverObject, static_cast<UCHAR>(entrySize)));
    if (entry == nullptr) {
        return;
    }

    RtlZeroMemory(entry, EVENT_PACKET_SIZE);
    if (length > 0) {
        entry->NumberOfStrings = 1;
        entry->StringOffset = EVENT_STRING_OFFSET;
        auto* insertion = reinterpret_cast<WCHAR*>(reinterpret_cast<PUCHAR>(entry) + EVENT_STRING_OFFSET);
        mbstowcs(insertion, text, length);
        insertion[length] = 0;   // the last two bytes of the entry
    }
    entry->ErrorCode = messageId;
    entry->UniqueErrorValue = uniqueValue;
    entry->FinalStatus = STATUS_SUCCESS;
    IoWriteErrorLogEntry(entry);
}
