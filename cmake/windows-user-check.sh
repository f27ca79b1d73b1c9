#!/usr/bin/env bash
# Builds the client library over its Win32 face and gvspfilter.exe with the windows-user preset
# (warnings as errors) and checks that the program is a 64-bit console program that imports
# only from DLLs every Windows has, the C and C++ runtimes of mingw-w64 and zlib linked in, and
# that of the host's /usr/include it compiled only the header-only CLI11 and nlohmann-json.
# Usage: windows-user-check.sh SOURCE_DIR
set -euo pipefail
cd "$1"
cmake --preset windows-user >/dev/null
cmake --build --preset windows-user
image=build/windows-user/gvspfilter.exe
headers=$(x86_64-w64-mingw32-objdump -p "$image")
if ! grep -q '^Magic.*PE32+' <<<"$headers" || ! grep -q '^Subsystem.*Windows CUI' <<<"$headers"; then
    echo "windows user check: $image is not a 64-bit console program" >&2
    exit 1
fi
imports=$(sed -n 's/^\s*DLL Name: //p' <<<"$headers" | tr '[:upper:]' '[:lower:]' | sort -u)
foreign=$(grep -vxE '(kernel32|ntdll|msvcrt|ws2_32|iphlpapi|shlwapi|xmllite)\.dll' <<<"$imports" || true)
if [ -n "$foreign" ]; then
    echo "windows user check: $image needs DLLs Windows does not ship:" $foreign >&2
    exit 1
fi
leaked=$(ninja -C build/windows-user -t deps | sed -n 's|^\s*\(/usr/include/.*\)|\1|p' | grep -vE '^/usr/include/(CLI|nlohmann)/' | sort -u || true)
if [ -n "$leaked" ]; then
    echo "windows user check: the Windows build compiled host headers:" $leaked >&2
    exit 1
fi
echo "windows user check: $image: x64 console program importing from" $imports
