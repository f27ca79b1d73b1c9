// The verifier of the emulated machine: the rules a driver verifier enforces, checked on every
// call into the platform. A broken rule fails loudly with what and where. Host only.
#pragma once

#include <cstdarg>
#include <functional>
#include <string>
#include <vector>

namespace host {

enum class Rule {
    IrqlTooHigh,                 // a routine called above the IRQL it allows (pageable work at DISPATCH_LEVEL)
    WaitAtDispatch,              // a wait or sleep at DISPATCH_LEVEL or with a spin lock held
    SpinLockHeldAcrossCall,      // a spin lock held across an NDIS call or a request completion
    LockOrder,                   // two locks taken against the order seen before (deadlock potential)
    LockMisuse,                  // release of a lock not held, recursive acquisition, wrong IRQL on release
    IrqlNotRestored,             // a handler returned at another IRQL than it was called at
    IrpCompletedTwice,           // an IRP completed after it was completed
    IrpPendingAtCleanup,         // an IRP of a file object still pending when its cleanup completed
    IrpNotCompleted,             // a dispatch routine's return disagrees with its IRP: not completed and not
                                 // pending, pending and not marked, marked and not pending, another status
    PoolLeak,                    // memory still allocated under the driver's tags after unload
    PoolMisuse,                  // free of an unknown block, double free, wrong tag
    LookasideOutstanding,        // a lookaside list deleted with entries not returned
    NblPoolOutstanding,          // an NBL pool freed with lists not freed
    NblMisuse,                   // an NBL returned twice, changed, leaked, or a send completed twice
    MappingUsedAfterUnlock,      // a system mapping used after its pages were unlocked
    MdlMisuse,                   // unlock of pages not locked, free of a locked MDL, map of unlocked pages
    ExecutableMemory,            // executable pool, a lookaside list refilled from it, a mapping without no-execute
    HandleLeak,                  // kernel handles or object references left behind at unload
    NdisContract,                // an NDIS rule broken (characteristics, state machine, attributes)
    ErrorLogMisuse,              // an error-log entry allocated and never written, or written twice
    StreamingStoresUnfenced,     // a lock released after streaming stores that no store fence ordered before it
    ExtendedStateMisuse,         // AVX registers used without a saved state, a restore of another thread's or an
                                 // outer save or at another IRQL, a handler returning with a save not restored
    CsqMisuse,                   // a cancel-safe queue misused: an IRP inserted while queued, an IRP context reused
                                 // while its IRP is queued, lock callbacks that do not take or give back one lock,
                                 // a peeked IRP that is not queued, a queue used before IoCsqInitializeEx
    AssertionFailed,             // an assertion of the driver (NT_ASSERT) found its condition false
};

const char* RuleName(Rule rule);

struct Violation {
    Rule rule;
    std::string what;    // the rule, the objects involved
    std::string where;   // the call stack of the offending call
};

// Reports a broken rule. Inside an ExpectViolation scope for this rule the violation is
// recorded there; otherwise the installed handler runs (by default: print and abort).
void ReportViolation(Rule rule, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Installs the handler for unexpected violations (tests make them test failures); returns the
// previous one. An empty function restores the default.
using ViolationHandler = std::function<void(const Violation&)>;
ViolationHandler SetViolationHandler(ViolationHandler handler);

// Captures violations of one rule for the lifetime of the scope (the proof that a rule fires).
class ExpectViolation {
public:
    explicit ExpectViolation(Rule rule);
    ~ExpectViolation();
    ExpectViolation(const ExpectViolation&) = delete;
    ExpectViolation& operator=(const ExpectViolation&) = delete;

    const std::vector<Violation>& Caught() const { return caught_; }
    bool Fired() const { return !caught_.empty(); }

private:
    friend void ReportViolation(Rule, const char*, ...);
    Rule rule_;
    std::vector<Violation> caught_;
    ExpectViolation* outer_;
};

// The current call stack, symbolised, innermost platform frames skipped.
std::string CallStack();

namespace detail {

// A raw call stack, captured cheaply and symbolised only when a report needs it.
struct Frames {
    static constexpr int Capacity = 16;
    void* pc[Capacity] = {};
    int depth = 0;
};
Frames CaptureFrames();
// "frame\n      at frame\n      at ..." with host-internal frames skipped: a stack quoted inside
// a report's "what", indented deeper than the report's own "where".
std::string SymboliseFrames(const Frames& frames);

}  // namespace detail

}  // namespace host
