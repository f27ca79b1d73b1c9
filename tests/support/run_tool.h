// Runs the gvspfilter command as a user would, in a process of its own, and captures what it
// printed and its exit status.
#pragma once

#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <string>
#include <vector>

namespace gvsptest {

struct ToolRun {
    int exitStatus = -1;
    std::string out;   // stdout and stderr together, in order
};

// `arguments` are passed through a shell: quote what needs it.
inline ToolRun RunTool(const std::string& arguments)
{
    ToolRun run;
    std::string command = std::string(GVSPFILTER_BINARY) + " " + arguments + " 2>&1";
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return run;
    }
    std::array<char, 4096> chunk;
    size_t n;
    while ((n = fread(chunk.data(), 1, chunk.size(), pipe)) > 0) {
        run.out.append(chunk.data(), n);
    }
    int status = pclose(pipe);
    run.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return run;
}

}  // namespace gvsptest
