#!/usr/bin/env bash
# The lock contracts are checked, not only written: with clang's thread-safety analysis, a probe
# that writes CurrentFrame under the port's assembly compiles and the same write without it fails.
# Usage: lock-contract-check.sh SOURCE_DIR GENERATED_DIR
set -euo pipefail
source_dir=$1
generated_dir=$2
compiler=${CLANG_CXX:-clang++}
probe="$source_dir/tests/probes/assembly_lock_probe.cpp"
flags=(-std=c++20 -fsyntax-only -fno-exceptions -fno-rtti -Wthread-safety -Werror -I "$source_dir" -I "$generated_dir")

if ! "$compiler" "${flags[@]}" "$probe"; then
    echo "lock contract check: the probe with the assembly held does not compile" >&2
    exit 1
fi
if "$compiler" "${flags[@]}" -DWITHOUT_THE_LOCK "$probe" 2>/dev/null; then
    echo "lock contract check: a write of CurrentFrame without the assembly compiled" >&2
    exit 1
fi
echo "lock contract check: a write of CurrentFrame without the assembly fails to compile"
