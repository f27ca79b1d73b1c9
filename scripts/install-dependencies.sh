#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build, the tests and the gvspfilter command need
# and this machine lacks. Runs as root or through sudo; does nothing when everything is there.
set -euo pipefail

need=()
command -v cmake >/dev/null 2>&1 || need+=(cmake)
command -v ninja >/dev/null 2>&1 || need+=(ninja-build)
command -v g++ >/dev/null 2>&1 || need+=(g++)
command -v pkg-config >/dev/null 2>&1 || need+=(pkg-config)
command -v x86_64-w64-mingw32-g++ >/dev/null 2>&1 || need+=(g++-mingw-w64-x86-64)
# The POSIX thread model of mingw-w64 for Windows user mode (std::thread and std::mutex).
command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 || need+=(g++-mingw-w64-x86-64-posix)
command -v ip >/dev/null 2>&1 || need+=(iproute2)
command -v python3 >/dev/null 2>&1 || need+=(python3)
# clang with libFuzzer and the sanitizer runtimes: the clang, fuzz and tsan presets.
command -v clang++ >/dev/null 2>&1 || need+=(clang)
# zlib twice: the host's, and mingw-w64's for gvspfilter.exe (the description's zip archive).
# Aravis's tools: the interoperability test runs arv-camera-test against the camera device.
# libxdp and libbpf: live's AF_XDP ring (its XDP program is compiled with clang for BPF).
for package in libgtest-dev libbenchmark-dev libcli11-dev nlohmann-json3-dev libpng-dev libpcap-dev libxdp-dev libbpf-dev \
    libpugixml-dev libzip-dev zlib1g-dev libz-mingw-w64-dev libclang-rt-14-dev aravis-tools aravis-tools-cli; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || need+=("$package")
done

if [ ${#need[@]} -eq 0 ]; then
    exit 0
fi
echo "Installing: ${need[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
    sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${need[@]}"
