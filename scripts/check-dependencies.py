#!/usr/bin/env python3
"""The core's include rule, checked on every #include "..." of driver/, control/, delivery/,
stream/ and platform/.

Dependencies run one way: stream -> delivery -> control, with driver/ on top (it wires
everything together). A file may include headers of its own layer and of the layers below it.
Leaf modules may be included from anywhere and include only other leaf modules and platform/.
platform/ includes only platform/; its bindings (platform/host/, platform/windows/) are included
by platform/ alone, which selects one of them.

Usage: check-dependencies.py SOURCE_DIR          check, one line per violation, exit 1 on any
       check-dependencies.py --leaf-sources DIR  print the leaf modules' sources (for CMake)
       check-dependencies.py --layers            print the layers' folders (for the Windows builds)
"""
import os
import re
import sys

# The layers, lowest first; each folder is one layer apart from its leaf modules.
LAYERS = ["control", "delivery", "stream", "driver"]

# Leaf modules, by path without extension (both the header and the source belong to the module).
LEAF_MODULES = [
    "control/stream_memory",      # the shared-memory layout
    "control/control_interface",  # the control codes and their inputs and outputs
    "control/stream_port",        # header only: the port record and its lock helpers
    "control/frame_slots",        # the frame-slot lists and their moves
    "delivery/wire_format",       # the wire format
    "delivery/byte_order",        # unaligned network-order loads and stores
    "stream/clock",
    "stream/rate_statistics",
    "driver/driver",              # the driver's globals
    "driver/event_log",
    "driver/gvspfilter_msg",      # generated from driver/gvspfilter.mc: the message ids
    "driver/notification",
]
# Sources of a leaf module's header that belong to a layer: the binding code of the port record.
LAYER_SOURCES = {"control/stream_port.cpp"}

# The platform's bindings, which platform/wdm.h and platform/ndis.h select.
PLATFORM_BINDINGS = ("platform/host/", "platform/windows/")

CORE_FOLDERS = LAYERS + ["platform"]
INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"')


def module_of(path):
    """'leaf', 'binding', 'platform' or a layer name for a path relative to the source directory."""
    if path.startswith(PLATFORM_BINDINGS):
        return "binding"
    if path.startswith("platform/"):
        return "platform"
    if path not in LAYER_SOURCES and os.path.splitext(path)[0] in LEAF_MODULES:
        return "leaf"
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
    if kind == "leaf":
        return None if target in ("leaf", "platform") else "a leaf module includes only leaf modules and platform/"
    if target in ("leaf", "platform") or LAYERS.index(target) <= LAYERS.index(kind):
        return None
    reachable = ", ".join(LAYERS[: LAYERS.index(kind) + 1])
    return f"{kind} may include only {reachable}, leaf modules and platform/, not {target}"


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
    if len(arguments) == 2 and arguments[0] == "--leaf-sources":
        print(";".join(p for p in sorted(core_files(arguments[1]))
                       if p.endswith(".cpp") and module_of(p) == "leaf"))
        return 0
    if arguments == ["--layers"]:
        print(";".join(LAYERS))
        return 0
    if len(arguments) == 1:
        return check(arguments[0])
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
