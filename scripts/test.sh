#!/usr/bin/env bash
# The test command: installs what is missing, builds the sanitizer test build (warnings as
# errors) and runs every test, the kernel build check among them; the same with clang and its
# lock analysis; then a short run of each fuzz target over its seed corpus and regressions, and
# the suite again under ThreadSanitizer with a bounded threaded stress run (GVSP_STRESS_SECONDS,
# default 30).
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-dependencies.sh
cmake --preset asan
cmake --build --preset asan -j "$(nproc)"
ctest --preset asan -j "$(nproc)"

# The clang build: its thread-safety analysis checks the core's lock contracts (warnings as
# errors), and the suite runs again on what it built (the Windows build checks do not depend on
# the host compiler, and the live run needs the machine to itself: both ran above).
cmake --preset clang
cmake --build --preset clang -j "$(nproc)"
ctest --preset clang -j "$(nproc)" -E '^(KernelBuild|WindowsBuild|LiveCommand)\.'

# Fuzz smoke: every seed and regression input, then a few hundred mutations per target. New
# inputs, crashes and the files the targets write go to a scratch directory, never into the
# repository's corpus.
cmake --preset fuzz
targets=(receive control resend capture gvcp description image)
cmake --build --preset fuzz -j "$(nproc)" --target "${targets[@]/#/fuzz_}"
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
for target in "${targets[@]}"; do
    mkdir -p "$scratch/$target"
    regressions=()
    [ -d "fuzz/regressions/$target" ] && regressions=("fuzz/regressions/$target")
    TMPDIR="$scratch" "build/fuzz/fuzz/fuzz_$target" -runs=400 -seed=1 -artifact_prefix="$scratch/" "$scratch/$target" \
        "fuzz/corpus/$target" "${regressions[@]}" 2>"$scratch/$target.log" || { cat "$scratch/$target.log"; exit 1; }
    grep -h "^Done" "$scratch/$target.log" | sed "s/^/fuzz_$target: /"
done

# The test suite and the threaded stress under ThreadSanitizer, on the real clock, with no race
# suppressed. Not under it, as in the clang run: the Windows build checks (no host code of theirs
# runs) and the live tests (real-time streaming between two processes, which needs the machine to
# itself; the asan build ran them above).
cmake --preset tsan
cmake --build --preset tsan -j "$(nproc)" --target gvsp_tests gvsp_stress
TSAN_OPTIONS="halt_on_error=1" ctest --test-dir build/tsan -j "$(nproc)" --output-on-failure \
    -E '^(KernelBuild|WindowsBuild|LiveCommand)\.'
TSAN_OPTIONS="halt_on_error=1" build/tsan/tests/gvsp_stress --seconds "${GVSP_STRESS_SECONDS:-30}"
