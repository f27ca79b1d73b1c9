#!/usr/bin/env bash
# The main job: installs what is missing, builds the optimised gvspfilter command, installs it
# (into /usr/local/bin, or ~/.local/bin without root) and runs it with the arguments given;
# without arguments it streams the built-in camera through the driver.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-dependencies.sh >&2
cmake --preset release >/dev/null
cmake --build --preset release -j "$(nproc)" --target gvspfilter >&2
prefix=/usr/local
if [ "$(id -u)" -ne 0 ]; then
    prefix="$HOME/.local"
fi
cmake --install build/release --prefix "$prefix" --component Unspecified >/dev/null
exec "$prefix/bin/gvspfilter" "$@"
