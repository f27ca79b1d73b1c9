#!/usr/bin/env bash
# Compiles the core (base/ control/ delivery/ stream/ driver/ platform/) the way the Windows kernel
# build does: 64-bit Windows target, freestanding, no exceptions, no RTTI, warnings as errors.
# The core may include only its own headers and the freestanding ones.
# Usage: kernel-build-check.sh SOURCE_DIR GENERATED_DIR
set -euo pipefail
source_dir=$1
generated_dir=$2
compiler=${KERNEL_CXX:-x86_64-w64-mingw32-g++}

if ! command -v "$compiler" >/dev/null 2>&1; then
    echo "kernel build check: $compiler not found (Debian package g++-mingw-w64-x86-64)" >&2
    exit 1
fi

cd "$source_dir"
core_dirs="base control delivery stream driver platform"

# immintrin.h: the compiler's intrinsics, no library behind them; stddef.h and stdint.h: the WDK's
# freestanding C headers. The WDK's compiler needs them for streaming stores.
allowed='cstdint|cstddef|cstdarg|type_traits|limits|immintrin.h|stddef.h|stdint.h'
# The Windows binding alone may name the WDK's headers (and stddef.h, for its C cross-check).
wdk='ntddk.h|ndis.h|stddef.h'
hosted=$(grep -rnE '^\s*#\s*include\s*<' $core_dirs 2>/dev/null | grep -vE "<($allowed)>" \
    | grep -vE "^platform/windows/[^:]+:[0-9]+:\s*#\s*include\s*<($wdk)>" || true)
if [ -n "$hosted" ]; then
    echo "kernel build check: the core includes hosted headers:" >&2
    echo "$hosted" >&2
    exit 1
fi

failed=0
count=0
for source in $(find $core_dirs -name '*.cpp' | sort); do
    count=$((count + 1))
    if ! "$compiler" -std=c++20 -ffreestanding -fno-exceptions -fno-rtti -Wall -Wextra -Werror \
        -I "$source_dir" -I "$generated_dir" -c "$source" -o /dev/null; then
        echo "kernel build check: $source does not compile for the kernel" >&2
        failed=1
    fi
done
# Every header must stand alone as well; the Windows binding's as the Windows kernel build takes
# it, the others (the host binding among them) as above.
for header in $(find $core_dirs -name '*.h' | sort); do
    binding=()
    case $header in platform/windows/*) binding=(-DGVSP_WINDOWS_KERNEL) ;; esac
    if ! echo "#include \"$header\"" | "$compiler" -std=c++20 -ffreestanding -fno-exceptions -fno-rtti \
        "${binding[@]}" -Wall -Wextra -Werror -I "$source_dir" -I "$generated_dir" -x c++ -c - -o /dev/null; then
        echo "kernel build check: $header does not compile alone for the kernel" >&2
        failed=1
    fi
done
# The streaming-store copies have a branch of their own for the WDK's compiler: compiled here by
# clang in its MSVC mode, freestanding.
if ! printf '#include "platform/streaming_stores.h"\nvoid Copies(void* to, const void* from, size_t n)\n{\n    CopyWithStreamingStores(to, from, n);\n    CopyWithWideStreamingStores(to, from, n);\n    FenceStreamingStores();\n}\n' \
    | clang --driver-mode=cl /c /TP /std:c++20 /W4 /WX /O2 /clang:-ffreestanding -I "$source_dir" \
        /Fo/dev/null -- - ; then
    echo "kernel build check: platform/streaming_stores.h does not compile as the WDK's compiler takes it" >&2
    failed=1
fi
if [ "$failed" -ne 0 ]; then
    exit 1
fi
echo "kernel build check: $count core sources compile freestanding for x86_64-w64-mingw32; the streaming copies" \
    "for the WDK's compiler too"
