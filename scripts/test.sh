#!/usr/bin/env bash
# The test command: installs what is missing, builds the sanitizer test build (warnings as
# errors) and runs every test, the kernel build check among them.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-dependencies.sh
cmake --preset asan
cmake --build --preset asan -j "$(nproc)"
ctest --preset asan -j "$(nproc)"
