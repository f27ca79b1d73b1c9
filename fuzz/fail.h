// What every fuzz target shares: a broken invariant said on stderr, and a scratch file of the
// process for code that reads or writes files. Host only, one thread.
#pragma once

#include <unistd.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzzing {

// A broken invariant: said on stderr, then the process aborts and the fuzzer keeps the input.
[[noreturn]] __attribute__((format(printf, 1, 2))) inline void Fail(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    std::fputs("fuzz invariant broken: ", stderr);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
    va_end(args);
    std::abort();
}

// A path of this process's own under the temporary directory, `suffix` appended; nothing is
// created there.
inline std::string ScratchPath(const char* suffix)
{
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir != nullptr ? dir : "/tmp") + "/gvsp_fuzz_" + std::to_string(getpid()) + suffix;
}

}  // namespace fuzzing
