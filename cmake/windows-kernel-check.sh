#!/usr/bin/env bash
# Builds gvspfilter.sys with the windows-kernel preset (the core with the Windows binding of
# platform/, its layout asserts and the ddk cross-check) and checks the PE image it links.
# Usage: windows-kernel-check.sh SOURCE_DIR
set -euo pipefail
cd "$1"
cmake --preset windows-kernel >/dev/null
cmake --build --preset windows-kernel
python3 scripts/pe-check.py build/windows-kernel/gvspfilter.sys
