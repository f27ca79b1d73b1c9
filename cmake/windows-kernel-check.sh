#!/usr/bin/env bash
# Builds gvspfilter.sys with the windows-kernel preset (the core with the Windows binding of
# platform/, its layout asserts and the ddk cross-check) and checks the PE image it links; checks
# that the Visual Studio project compiles the same core, the sources of the layers' folders.
# Usage: windows-kernel-check.sh SOURCE_DIR
set -euo pipefail
cd "$1"
layers=$(python3 scripts/check-dependencies.py --layers | tr ';' '\n' | sort)
project=$(sed -nE 's/.*<ClCompile Include="\.\.\\([a-z]+)\\\*\.cpp" \/>.*/\1/p' windows/gvspfilter.vcxproj | sort)
if [ "$layers" != "$project" ]; then
    echo "windows kernel check: windows/gvspfilter.vcxproj compiles the folders" $project "of the core; its layers are" $layers >&2
    exit 1
fi
cmake --preset windows-kernel >/dev/null
cmake --build --preset windows-kernel
python3 scripts/pe-check.py build/windows-kernel/gvspfilter.sys
