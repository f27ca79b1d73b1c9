#!/usr/bin/env python3
"""The core's include rule, checked on every #include "..." of base/, control/, delivery/,
stream/, driver/ and platform/.

The folders are the layers, lowest first: base/ (what every layer may use: the shared-memory
layout and control contract, the port record, frame slots, the wire codec, clock, rates, the
driver's globals, the event log, the notification channel), then control/, delivery/, stream/,
and driver/ on top with every NDIS handler. A file may include headers of its own folder and of
the folders below it, and platform/. platform/ includes only platform/; its bindings
(platform/host/, platform/windows/) are included by platform/ alone, which selects one of them.

Usage: check-dependencies.py SOURCE_DIR   check, one line per violation, exit 1 on any
       check-dependencies.py --layers     print the layers' folders, lowest first (for CMake)
"""
import os
import re
import sys

# The layers, lowest first.
LAYERS = ["base", "control", "delivery", "stream", "driver"]

# The platform's bindings, which platform/wdm.h and platform/ndis.h select.
PLATFORM_BINDINGS = ("platform/host/", "platform/windows/")

CORE_FOLDERS = LAYERS + ["platform"]
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')


def module_of(path):
    """'binding', 'platform' or a layer name for a path relative to the source directory."""
    if path.startswith(PLATFORM_BINDINGS):
        return "binding"
    if path.startswith("platform/"):
        return "platform"
    folder = path.split("/", 1)[0]
    return folder if folder in LAYERS else None


def allowed(source, header):
    """None when `source` may include `header`, else the rule it breaks."""
    kind, target = module_of(source), module_of(header)
    if target is None:
        return "only headers of the core may be included"
    if kind in ("platform", "binding"):
        return None if target in ("platform", "binding") else "platform/ includes only platform/"
    if target == "binding":
        return "only platform/ includes a binding of the platform"
    if target == "platform" or LAYERS.index(target) <= LAYERS.index(kind):
        return None
    reachable = ", ".join(LAYERS[: LAYERS.index(kind) + 1])
    return f"{kind} may include only {reachable} and platform/, not {target}"


def core_files(source_dir):
    for folder in CORE_FOLDERS:
        for root, _, names in os.walk(os.path.join(source_dir, folder)):
            for name in sorted(names):
                if name.endswith((".h", ".cpp", ".c")):
                    yield os.path.relpath(os.path.join(root, name), source_dir)


def check(source_dir):
    violations = 0
    count = 0
    for path in sorted(core_files(source_dir)):
        with open(os.path.join(source_dir, path), encoding="utf-8") as file:
            for number, line in enumerate(file, 1):
                match = INCLUDE.match(line)
                if not match:
                    continue
                count += 1
                rule = allowed(path, match.group(1))
                if rule is not None:
                    print(f"{path}:{number}: includes {match.group(1)}: {rule}")
                    violations += 1
    if violations:
        print(f"dependency check: {violations} include(s) against the layering", file=sys.stderr)
        return 1
    print(f"dependency check: {count} includes of the core follow the layering")
    return 0


def main(arguments):
    if arguments == ["--layers"]:
        print(";".join(LAYERS))
        return 0
    if len(arguments) == 1:
        return check(arguments[0])
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
