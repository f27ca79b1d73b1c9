#!/usr/bin/env bash
# Adds the tree to a tiny parent project with add_subdirectory, as a project embedding the driver
# does, and checks that the parent gets the libraries under their gvsp:: names and nothing else:
# no command, test or benchmark target, no lookup of the packages only those need, no CTest entry
# and no install rule (also with the command built on request); then compiles one source of the
# parent against gvsp::core and gvsp::client, C++20 coming with them.
# Usage: parent-project-check.sh SOURCE_DIR
set -euo pipefail
tree=$(realpath "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "parent project check: $*" >&2; exit 1; }

mkdir "$work/parent"
cat >"$work/parent/CMakeLists.txt" <<'EOF'
cmake_minimum_required(VERSION 3.25)
project(Parent LANGUAGES CXX)
enable_testing()
add_subdirectory(${GVSP_TREE} gvsp)
foreach(library core host client camera)
    if(NOT TARGET gvsp::${library})
        message(FATAL_ERROR "no target gvsp::${library}")
    endif()
endforeach()
set(absent gvsp_tests gvsp_bench gvsp_receive_path)
if(NOT GVSP_BUILD_TOOLS)
    list(APPEND absent gvspfilter gvspfilter_tool)
endif()
foreach(target ${absent})
    if(TARGET ${target})
        message(FATAL_ERROR "the parent got the target ${target}")
    endif()
endforeach()
add_library(probe OBJECT probe.cpp)
target_link_libraries(probe PRIVATE gvsp::core gvsp::client)
EOF
cat >"$work/parent/probe.cpp" <<'EOF'
#include "client/gvsp_client.h"
#include "host/machine.h"

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);

int main() {
    host::Machine machine;
    std::string version;
    return machine.LoadDriver(DriverEntry, u"GvspFilter", {}) == STATUS_SUCCESS &&
        gvsp::ControlDevice(machine.NewProcess()).Version(&version) == STATUS_SUCCESS ? 0 : 1;
}
EOF

configure() {
    cmake -S "$work/parent" -B "$work/build" -G Ninja -DGVSP_TREE="$tree" "$@" >"$work/configure.log" 2>&1 \
        || { cat "$work/configure.log" >&2; fail "the parent project does not configure"; }
}
no_tests_or_installs() {
    local tests
    tests=$(ctest --test-dir "$work/build" -N | sed -n 's/^Total Tests: //p')
    [ "$tests" = 0 ] || fail "the parent got $tests CTest entries $1"
    cmake --install "$work/build" --prefix "$work/prefix" >/dev/null 2>&1 || fail "the parent's install fails $1"
    [ -z "$(ls -A "$work/prefix" 2>/dev/null)" ] || fail "the parent installs files of the tree $1"
}

configure
lookups=$(grep -oE '^([A-Za-z0-9_]+_DIR:PATH|PKG_CONFIG_EXECUTABLE:FILEPATH|BPF_CLANG:FILEPATH)' "$work/build/CMakeCache.txt" || true)
[ -z "$lookups" ] || fail "the tree looked up packages the parent does not need:" $lookups
no_tests_or_installs "by default"
cmake --build "$work/build" --target probe >"$work/build.log" 2>&1 \
    || { cat "$work/build.log" >&2; fail "a source of the parent does not compile against gvsp::core and gvsp::client"; }
configure -DGVSP_BUILD_TOOLS=ON
no_tests_or_installs "with the command built"
echo "parent project check: the parent gets gvsp::core, gvsp::host, gvsp::client and gvsp::camera, and no test, install rule or package lookup"
