// The emulated kernel's run-time library: memory comparison, counted strings, the kernel's
// _vsnprintf (Windows semantics: -1 when the text does not fit, no terminator when it exactly
// fits), narrow-to-UTF-16 conversion, ETW provider registration, and the assertion report, a
// broken rule for the checker. Host only; any IRQL.
#include <cstdio>
#include <cstring>
#include <mutex>
#include <set>
#include <string>

#include "host/kernel/kernel.h"
#include "host/kernel/kernel_private.h"
#include "host/verifier/checker.h"

// NT_ASSERT passes no message.
VOID RtlAssert(PVOID voidFailedAssertion, PVOID voidFileName, ULONG lineNumber, PCHAR)
{
    host::ReportViolation(host::Rule::AssertionFailed, "NT_ASSERT(%s) failed at %s:%u",
        static_cast<const char*>(voidFailedAssertion), static_cast<const char*>(voidFileName), lineNumber);
}

VOID RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source)
{
    host::RequireIrqlAtMost(DISPATCH_LEVEL, "RtlInitUnicodeString");
    destination->Buffer = const_cast<PWCH>(source);
    if (source == nullptr) {
        destination->Length = 0;
        destination->MaximumLength = 0;
        return;
    }
    size_t characters = 0;
    while (source[characters] != 0) {
        ++characters;
    }
    destination->Length = static_cast<USHORT>(characters * sizeof(WCHAR));
    destination->MaximumLength = static_cast<USHORT>(destination->Length + sizeof(WCHAR));
}

namespace host {
namespace {

enum class Length { None, Char, Short, Long, LongLong, Size, Wide };

// Appends one conversion, formatted by the C library from `spec` (flags, width, precision).
template <typename T>
void AppendFormatted(std::string& out, const std::string& spec, const char* conversion, T value)
{
    std::string format = spec + conversion;
    char small[128];
    int needed = std::snprintf(small, sizeof small, format.c_str(), value);
    if (needed < 0) {
        return;
    }
    if (static_cast<size_t>(needed) < sizeof small) {
        out.append(small, static_cast<size_t>(needed));
        return;
    }
    std::string large(static_cast<size_t>(needed) + 1, '\0');
    std::snprintf(large.data(), large.size(), format.c_str(), value);
    out.append(large.data(), static_cast<size_t>(needed));
}

std::string Narrow(const WCHAR* text, size_t characters)
{
    std::string narrow;
    for (size_t i = 0; i < characters && text[i] != 0; ++i) {
        narrow += text[i] < 0x80 ? static_cast<char>(text[i]) : '?';
    }
    return narrow;
}

std::string FormatKernel(const char* format, va_list arguments)
{
    std::string out;
    const char* p = format;
    while (*p != '\0') {
        if (*p != '%') {
            out += *p++;
            continue;
        }
        const char* start = p++;
        if (*p == '%') {
            out += '%';
            ++p;
            continue;
        }
        std::string spec = "%";
        while (*p != '\0' && std::strchr("-+ #0", *p) != nullptr) {
            spec += *p++;
        }
        if (*p == '*') {
            spec += std::to_string(va_arg(arguments, int));
            ++p;
        } else {
            while (*p >= '0' && *p <= '9') {
                spec += *p++;
            }
        }
        if (*p == '.') {
            spec += *p++;
            if (*p == '*') {
                spec += std::to_string(va_arg(arguments, int));
                ++p;
            } else {
                while (*p >= '0' && *p <= '9') {
                    spec += *p++;
                }
            }
        }
        Length length = Length::None;
        if (p[0] == 'h' && p[1] == 'h') {
            length = Length::Char;
            p += 2;
        } else if (p[0] == 'h') {
            length = Length::Short;
            p += 1;
        } else if (p[0] == 'l' && p[1] == 'l') {
            length = Length::LongLong;
            p += 2;
        } else if (p[0] == 'l') {
            length = Length::Long;   // 32 bits on Windows
            p += 1;
        } else if (p[0] == 'I' && p[1] == '6' && p[2] == '4') {
            length = Length::LongLong;
            p += 3;
        } else if (p[0] == 'I' && p[1] == '3' && p[2] == '2') {
            length = Length::Long;
            p += 3;
        } else if (p[0] == 'I' || p[0] == 'z') {
            length = Length::Size;
            p += 1;
        } else if (p[0] == 'w') {
            length = Length::Wide;
            p += 1;
        }
        char conversion = *p;
        if (conversion == '\0') {
            out.append(start);
            break;
        }
        ++p;
        switch (conversion) {
        case 'd':
        case 'i': {
            long long value;
            switch (length) {
            case Length::Char: value = static_cast<signed char>(va_arg(arguments, int)); break;
            case Length::Short: value = static_cast<short>(va_arg(arguments, int)); break;
            case Length::LongLong:
            case Length::Size: value = va_arg(arguments, long long); break;
            default: value = va_arg(arguments, int); break;
            }
            AppendFormatted(out, spec, "lld", value);
            break;
        }
        case 'u':
        case 'x':
        case 'X':
        case 'o': {
            unsigned long long value;
            switch (length) {
            case Length::Char: value = static_cast<unsigned char>(va_arg(arguments, unsigned)); break;
            case Length::Short: value = static_cast<unsigned short>(va_arg(arguments, unsigned)); break;
            case Length::LongLong:
            case Length::Size: value = va_arg(arguments, unsigned long long); break;
            default: value = va_arg(arguments, unsigned); break;
            }
            const char* conversions[] = {"llu", "llx", "llX", "llo"};
            int which = conversion == 'u' ? 0 : conversion == 'x' ? 1 : conversion == 'X' ? 2 : 3;
            AppendFormatted(out, spec, conversions[which], value);
            break;
        }
        case 'c':
        case 'C': {
            int value = va_arg(arguments, int);
            AppendFormatted(out, spec, "c", static_cast<int>(static_cast<unsigned char>(value < 0x100 ? value : '?')));
            break;
        }
        case 's':
        case 'S': {
            bool wide = conversion == 'S' || length == Length::Wide || length == Length::Long;
            if (wide) {
                const auto* text = va_arg(arguments, const WCHAR*);
                std::string narrow = text == nullptr ? "(null)" : Narrow(text, SIZE_MAX);
                AppendFormatted(out, spec, "s", narrow.c_str());
            } else {
                const char* text = va_arg(arguments, const char*);
                AppendFormatted(out, spec, "s", text == nullptr ? "(null)" : text);
            }
            break;
        }
        case 'Z': {
            // %wZ: a counted UTF-16 string.
            const auto* text = va_arg(arguments, const UNICODE_STRING*);
            std::string narrow = text == nullptr || text->Buffer == nullptr
                                     ? "(null)"
                                     : Narrow(text->Buffer, text->Length / sizeof(WCHAR));
            AppendFormatted(out, spec, "s", narrow.c_str());
            break;
        }
        case 'p': {
            // As on 64-bit Windows: 16 upper-case hex digits, zero-padded, no prefix.
            void* value = va_arg(arguments, void*);
            char text[24];
            std::snprintf(text, sizeof text, "%016llX", static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(value)));
            out += text;
            break;
        }
        default:
            // Not a conversion the kernel's printf knows here: copied as written.
            out.append(start, static_cast<size_t>(p - start));
            break;
        }
    }
    return out;
}

// ---- ETW ---------------------------------------------------------------------------------------------
struct EtwRegistry {
    std::mutex mutex;
    std::set<REGHANDLE> registered;
    REGHANDLE next = 0x1000;
};

EtwRegistry& Etw()
{
    static EtwRegistry* registry = new EtwRegistry;
    return *registry;
}

}  // namespace

namespace detail {

void CheckAndResetEtw(const char* when)
{
    std::set<REGHANDLE> left;
    {
        std::lock_guard<std::mutex> lock(Etw().mutex);
        left.swap(Etw().registered);
    }
    for (REGHANDLE handle : left) {
        ReportViolation(Rule::HandleLeak, "%s: ETW provider registration 0x%llx was never unregistered", when,
            static_cast<unsigned long long>(handle));
    }
}

}  // namespace detail
}  // namespace host

int _vsnprintf(char* buffer, size_t count, const char* format, va_list arguments)
{
    va_list copy;
    va_copy(copy, arguments);
    std::string text = host::FormatKernel(format, copy);
    va_end(copy);
    if (text.size() < count) {
        std::memcpy(buffer, text.data(), text.size());
        buffer[text.size()] = '\0';
        return static_cast<int>(text.size());
    }
    std::memcpy(buffer, text.data(), count);
    return text.size() == count ? static_cast<int>(count) : -1;
}

size_t mbstowcs(WCHAR* destination, const char* source, size_t count)
{
    size_t converted = 0;
    if (destination == nullptr) {
        while (source[converted] != '\0') {
            ++converted;
        }
        return converted;
    }
    while (converted < count) {
        auto c = static_cast<unsigned char>(source[converted]);
        destination[converted] = static_cast<WCHAR>(c);
        if (c == 0) {
            break;
        }
        ++converted;
    }
    return converted;
}

NTSTATUS EtwRegister(LPCGUID, PVOID, PVOID, REGHANDLE* regHandle)
{
    host::RequireIrqlAtMost(PASSIVE_LEVEL, "EtwRegister");
    std::lock_guard<std::mutex> lock(host::Etw().mutex);
    REGHANDLE handle = host::Etw().next++;
    host::Etw().registered.insert(handle);
    *regHandle = handle;
    return STATUS_SUCCESS;
}

NTSTATUS EtwUnregister(REGHANDLE regHandle)
{
    host::RequireIrqlAtMost(PASSIVE_LEVEL, "EtwUnregister");
    bool known;
    {
        std::lock_guard<std::mutex> lock(host::Etw().mutex);
        known = host::Etw().registered.erase(regHandle) != 0;
    }
    if (!known) {
        host::ReportViolation(host::Rule::HandleLeak, "EtwUnregister of 0x%llx, which is not registered",
            static_cast<unsigned long long>(regHandle));
        return STATUS_INVALID_HANDLE;
    }
    return STATUS_SUCCESS;
}
