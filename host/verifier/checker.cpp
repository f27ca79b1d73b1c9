// The verifier's reporting: violations with what and where, the handler that receives them,
// the ExpectViolation scopes that prove a rule fires, and symbolised call stacks. Host only.
#include "host/verifier/checker.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <elf.h>
#include <execinfo.h>
#include <fcntl.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace host {

const char* RuleName(Rule rule)
{
    switch (rule) {
    case Rule::IrqlTooHigh: return "IrqlTooHigh";
    case Rule::WaitAtDispatch: return "WaitAtDispatch";
    case Rule::SpinLockHeldAcrossCall: return "SpinLockHeldAcrossCall";
    case Rule::LockOrder: return "LockOrder";
    case Rule::LockMisuse: return "LockMisuse";
    case Rule::IrqlNotRestored: return "IrqlNotRestored";
    case Rule::IrpCompletedTwice: return "IrpCompletedTwice";
    case Rule::IrpPendingAtCleanup: return "IrpPendingAtCleanup";
    case Rule::IrpNotCompleted: return "IrpNotCompleted";
    case Rule::PoolLeak: return "PoolLeak";
    case Rule::PoolMisuse: return "PoolMisuse";
    case Rule::LookasideOutstanding: return "LookasideOutstanding";
    case Rule::NblPoolOutstanding: return "NblPoolOutstanding";
    case Rule::NblMisuse: return "NblMisuse";
    case Rule::MappingUsedAfterUnlock: return "MappingUsedAfterUnlock";
    case Rule::MdlMisuse: return "MdlMisuse";
    case Rule::ExecutableMemory: return "ExecutableMemory";
    case Rule::HandleLeak: return "HandleLeak";
    case Rule::NdisContract: return "NdisContract";
    case Rule::ErrorLogMisuse: return "ErrorLogMisuse";
    case Rule::StreamingStoresUnfenced: return "StreamingStoresUnfenced";
    case Rule::ExtendedStateMisuse: return "ExtendedStateMisuse";
    case Rule::CsqMisuse: return "CsqMisuse";
    case Rule::AssertionFailed: return "AssertionFailed";
    }
    return "UnknownRule";
}

namespace {

// The scopes and the handler; leaked on purpose so that threads still running at exit can report.
struct CheckerState {
    std::mutex mutex;
    ExpectViolation* innermost = nullptr;
    ViolationHandler handler;
};

CheckerState& State()
{
    static CheckerState* state = new CheckerState;
    return *state;
}

void DefaultHandler(const Violation& violation)
{
    std::fprintf(stderr, "GvspFilter checker: %s: %s\n  at %s\n", RuleName(violation.rule), violation.what.c_str(),
        violation.where.c_str());
    std::fflush(stderr);
    std::abort();
}

// ---- Symbols of the executable itself, local ones included (static functions, anonymous
// namespaces), read once from its ELF symbol table.
struct Symbol {
    uintptr_t address;
    uintptr_t size;
    const char* name;
};

struct SymbolTable {
    std::vector<Symbol> symbols;
    uintptr_t bias = 0;
    const void* executableBase = nullptr;
};

int FindMainProgram(dl_phdr_info* info, size_t, void* data)
{
    *static_cast<uintptr_t*>(data) = info->dlpi_addr;
    return 1;   // the first object is the main program
}

const SymbolTable& ExecutableSymbols()
{
    static SymbolTable* table = [] {
        auto* t = new SymbolTable;
        dl_iterate_phdr(FindMainProgram, &t->bias);
        Dl_info self{};
        if (dladdr(reinterpret_cast<void*>(&ExecutableSymbols), &self) != 0) {
            t->executableBase = self.dli_fbase;
        }
        int fd = open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            return t;
        }
        struct stat st{};
        if (fstat(fd, &st) != 0 || st.st_size < static_cast<off_t>(sizeof(Elf64_Ehdr))) {
            close(fd);
            return t;
        }
        size_t size = static_cast<size_t>(st.st_size);
        void* map = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
        close(fd);
        if (map == MAP_FAILED) {
            return t;
        }
        // The mapping stays: the names point into it.
        const auto* bytes = static_cast<const uint8_t*>(map);
        const auto* header = reinterpret_cast<const Elf64_Ehdr*>(bytes);
        if (std::memcmp(header->e_ident, ELFMAG, SELFMAG) != 0 || header->e_ident[EI_CLASS] != ELFCLASS64 ||
            header->e_shoff == 0 || header->e_shoff + uint64_t(header->e_shnum) * sizeof(Elf64_Shdr) > size) {
            return t;
        }
        const auto* sections = reinterpret_cast<const Elf64_Shdr*>(bytes + header->e_shoff);
        for (unsigned i = 0; i < header->e_shnum; ++i) {
            if (sections[i].sh_type != SHT_SYMTAB || sections[i].sh_link >= header->e_shnum) {
                continue;
            }
            const Elf64_Shdr& strings = sections[sections[i].sh_link];
            if (sections[i].sh_offset + sections[i].sh_size > size || strings.sh_offset + strings.sh_size > size) {
                continue;
            }
            const auto* symbols = reinterpret_cast<const Elf64_Sym*>(bytes + sections[i].sh_offset);
            size_t count = sections[i].sh_size / sizeof(Elf64_Sym);
            const char* names = reinterpret_cast<const char*>(bytes + strings.sh_offset);
            for (size_t s = 0; s < count; ++s) {
                if (ELF64_ST_TYPE(symbols[s].st_info) != STT_FUNC || symbols[s].st_value == 0 ||
                    symbols[s].st_name >= strings.sh_size) {
                    continue;
                }
                t->symbols.push_back({symbols[s].st_value, symbols[s].st_size, names + symbols[s].st_name});
            }
        }
        std::sort(t->symbols.begin(), t->symbols.end(),
            [](const Symbol& a, const Symbol& b) { return a.address < b.address; });
        return t;
    }();
    return *table;
}

std::string Demangle(const char* name)
{
    int status = 0;
    char* demangled = abi::__cxa_demangle(name, nullptr, nullptr, &status);
    if (status == 0 && demangled != nullptr) {
        std::string result(demangled);
        std::free(demangled);
        return result;
    }
    return name;
}

std::string FrameName(void* pc)
{
    auto address = reinterpret_cast<uintptr_t>(pc) - 1;   // inside the call instruction
    Dl_info info{};
    const SymbolTable& table = ExecutableSymbols();
    if (dladdr(reinterpret_cast<void*>(address), &info) != 0 && info.dli_fbase == table.executableBase) {
        uintptr_t offset = address - table.bias;
        auto it = std::upper_bound(table.symbols.begin(), table.symbols.end(), offset,
            [](uintptr_t value, const Symbol& symbol) { return value < symbol.address; });
        if (it != table.symbols.begin()) {
            --it;
            if (offset < it->address + std::max<uintptr_t>(it->size, 1)) {
                return Demangle(it->name);
            }
        }
    }
    if (info.dli_sname != nullptr) {
        return Demangle(info.dli_sname);
    }
    return {};
}

bool StartsWith(const std::string& text, const char* prefix)
{
    return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// Frames of the machine itself before the first frame of interest.
bool IsInternalFrame(const std::string& name)
{
    return name.empty() || StartsWith(name, "host::") || StartsWith(name, "std::") || StartsWith(name, "__") ||
           StartsWith(name, "void std::") || StartsWith(name, "backtrace");
}

// Frames of the C++ library between two frames of interest (std::function, std::invoke).
bool IsLibraryFrame(const std::string& name)
{
    return StartsWith(name, "std::") || StartsWith(name, "void std::") || name.find(" std::__invoke") != std::string::npos ||
           StartsWith(name, "__invoke") || StartsWith(name, "execute_native_thread_routine");
}

bool IsOuterFrame(const std::string& name)
{
    return StartsWith(name, "testing::") || StartsWith(name, "void testing::") || name == "main" ||
           StartsWith(name, "start_thread") || StartsWith(name, "clone") || StartsWith(name, "__libc_start") ||
           StartsWith(name, "host::(anonymous namespace)::ThreadTop");
}

std::string Symbolise(void* const* pcs, int depth, const char* separator)
{
    constexpr int MaximumShown = 12;
    std::string text;
    int shown = 0;
    bool skipping = true;
    for (int i = 0; i < depth && shown < MaximumShown; ++i) {
        std::string name = FrameName(pcs[i]);
        if (skipping && IsInternalFrame(name)) {
            continue;
        }
        skipping = false;
        if (IsOuterFrame(name)) {
            break;
        }
        if (IsLibraryFrame(name)) {
            continue;
        }
        if (name.empty()) {
            char unknown[32];
            std::snprintf(unknown, sizeof unknown, "?? [%p]", pcs[i]);
            name = unknown;
        }
        if (shown > 0) {
            text += separator;
        }
        text += name;
        ++shown;
    }
    if (shown == 0) {
        text = "(no frame outside the machine)";
    }
    return text;
}

}  // namespace

namespace detail {

Frames CaptureFrames()
{
    Frames frames;
    frames.depth = backtrace(frames.pc, Frames::Capacity);
    return frames;
}

std::string SymboliseFrames(const Frames& frames) { return Symbolise(frames.pc, frames.depth, "\n      at "); }

}  // namespace detail

std::string CallStack()
{
    void* pcs[64];
    int depth = backtrace(pcs, 64);
    return Symbolise(pcs, depth, "\n  at ");
}

void ReportViolation(Rule rule, const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    va_list copy;
    va_copy(copy, arguments);
    int length = std::vsnprintf(nullptr, 0, format, copy);
    va_end(copy);
    std::string what(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0) {
        std::vsnprintf(what.data(), what.size() + 1, format, arguments);
    }
    va_end(arguments);

    Violation violation{rule, std::move(what), CallStack()};
    ViolationHandler handler;
    {
        CheckerState& state = State();
        std::lock_guard<std::mutex> lock(state.mutex);
        for (ExpectViolation* scope = state.innermost; scope != nullptr; scope = scope->outer_) {
            if (scope->rule_ == rule) {
                scope->caught_.push_back(std::move(violation));
                return;
            }
        }
        handler = state.handler;
    }
    if (handler) {
        handler(violation);
    } else {
        DefaultHandler(violation);
    }
}

ViolationHandler SetViolationHandler(ViolationHandler handler)
{
    CheckerState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    ViolationHandler previous = std::move(state.handler);
    state.handler = std::move(handler);
    return previous;
}

ExpectViolation::ExpectViolation(Rule rule) : rule_(rule)
{
    CheckerState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    outer_ = state.innermost;
    state.innermost = this;
}

ExpectViolation::~ExpectViolation()
{
    CheckerState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    for (ExpectViolation** link = &state.innermost; *link != nullptr; link = &(*link)->outer_) {
        if (*link == this) {
            *link = outer_;
            break;
        }
    }
}

}  // namespace host
