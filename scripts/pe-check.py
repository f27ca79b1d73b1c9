#!/usr/bin/env python3
"""Checks that a PE image is a Windows x64 kernel driver the way gvspfilter.sys must be: x64,
native subsystem, entry point DriverEntry, imports only from ndis.sys, ntoskrnl.exe and hal.dll
and only names those modules export (their mingw-w64 import libraries' lists), no C or C++
runtime, no static constructors, no section both writable and executable, unwind data present,
a message table resource for the event viewer, a correct checksum.
Usage: pe-check.py IMAGE [LIBRARY_DIR]"""
import os
import re
import struct
import subprocess
import sys

OBJDUMP = os.environ.get("KERNEL_OBJDUMP", "x86_64-w64-mingw32-objdump")
NM = os.environ.get("KERNEL_NM", "x86_64-w64-mingw32-nm")
# The modules a driver may import from, with the import library that lists their exports.
KERNEL_MODULES = {"ntoskrnl.exe": "libntoskrnl.a", "hal.dll": "libhal.a", "ndis.sys": "libndis.a"}
# Names that only a C or C++ runtime provides.
RUNTIME_NAME = re.compile(r"^(__cxa_|__gxx_|_Unwind_|__gcc_|__mingw|_pei386|__main$|atexit$|_onexit$|malloc$|free$|"
                          r"_?_?chkstk|___chkstk_ms$|__stack_chk|_initterm|__security_)")
IMAGE_FILE_MACHINE_AMD64 = 0x8664
IMAGE_DLLCHARACTERISTICS_FORCE_INTEGRITY = 0x0080
IMAGE_SUBSYSTEM_NATIVE = 1
IMAGE_SCN_MEM_EXECUTE = 0x20000000
IMAGE_SCN_MEM_WRITE = 0x80000000


def run(*command):
    return subprocess.run(command, check=True, capture_output=True, text=True).stdout


def pe_checksum(data, checksum_offset):
    """The PE checksum: a 16-bit folded sum of the image's 16-bit words, the checksum field
    counted as zero, plus the file length."""
    total = 0
    padded = data + b"\0" * (len(data) % 2)
    for (word,) in struct.iter_unpack("<H", padded):
        total += word
    # The field's two words were counted; take them out.
    total -= sum(struct.unpack_from("<HH", data, checksum_offset))
    while total >> 16:
        total = (total & 0xFFFF) + (total >> 16)
    return (total + len(data)) & 0xFFFFFFFF


def check(image, library_dir):
    faults = []
    data = open(image, "rb").read()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        return [f"{image}: not a PE image"]
    machine, section_count, _, _, _, optional_size, _ = struct.unpack_from("<HHIIIHH", data, pe + 4)
    optional = pe + 24
    magic, = struct.unpack_from("<H", data, optional)
    entry_rva, = struct.unpack_from("<I", data, optional + 16)
    image_base, = struct.unpack_from("<Q", data, optional + 24)
    checksum_offset = optional + 64
    checksum, subsystem, dll_characteristics = struct.unpack_from("<IHH", data, checksum_offset)
    exception_directory_size, = struct.unpack_from("<I", data, optional + 112 + 3 * 8 + 4)
    if machine != IMAGE_FILE_MACHINE_AMD64 or magic != 0x20B:
        faults.append(f"machine 0x{machine:x}, optional header 0x{magic:x}: not a PE32+ x64 image")
    if subsystem != IMAGE_SUBSYSTEM_NATIVE:
        faults.append(f"subsystem {subsystem}, not native (1)")
    if not dll_characteristics & IMAGE_DLLCHARACTERISTICS_FORCE_INTEGRITY:
        faults.append("integrity checks not forced: the kernel refuses the driver's process-exit routine")
    if checksum != pe_checksum(data, checksum_offset):
        faults.append(f"checksum 0x{checksum:x} does not match the image (0x{pe_checksum(data, checksum_offset):x})")
    if exception_directory_size == 0:
        faults.append("no unwind data (.pdata): the kernel could not walk the driver's frames")

    sections = optional + optional_size
    for index in range(section_count):
        name, _, _, _, _, _, _, _, _, characteristics = struct.unpack_from("<8sIIIIIIHHI", data, sections + 40 * index)
        name = name.rstrip(b"\0").decode()
        if characteristics & IMAGE_SCN_MEM_EXECUTE and characteristics & IMAGE_SCN_MEM_WRITE:
            faults.append(f"section {name} is writable and executable")
        if name in (".tls", ".CRT"):
            faults.append(f"section {name}: the kernel runs no thread-local or C runtime initialisation")

    symbols = {}
    for line in run(NM, image).splitlines():
        parts = line.split()
        if len(parts) == 3:
            symbols[parts[2]] = int(parts[0], 16)
    if symbols.get("DriverEntry") is None or symbols["DriverEntry"] - image_base != entry_rva:
        faults.append(f"entry point RVA 0x{entry_rva:x} is not DriverEntry")
    # mingw's linker lays the constructor list out as -1, the constructors, 0: it must be empty.
    if "__CTOR_LIST__" in symbols:
        start = symbols["__CTOR_LIST__"] - image_base
        dump = run(OBJDUMP, "-s", f"--start-address=0x{symbols['__CTOR_LIST__'] + 8:x}",
                   f"--stop-address=0x{symbols['__CTOR_LIST__'] + 16:x}", image)
        words = re.findall(r"^ [0-9a-f]+ ([0-9a-f]{8}) ([0-9a-f]{8})", dump, re.M)
        if not words or words[0] != ("00000000", "00000000"):
            faults.append(f"static constructors at RVA 0x{start:x}: nothing would run them")
    if symbols.get("__RUNTIME_PSEUDO_RELOC_LIST__") != symbols.get("__RUNTIME_PSEUDO_RELOC_LIST_END__"):
        faults.append("runtime pseudo-relocations: only a C runtime applies them")
    for name in symbols:
        if RUNTIME_NAME.match(name):
            faults.append(f"C or C++ runtime symbol {name} in the image")

    exports = {}
    for module, library in KERNEL_MODULES.items():
        listing = run(NM, os.path.join(library_dir, library))
        exports[module] = set(re.findall(r" I __imp_(\S+)$", listing, re.M))
    headers = run(OBJDUMP, "-p", image)
    # The resource directory's type table lists MESSAGETABLE (type 11) first-level entries.
    if not re.search(r"Type Table:.*\n\s*[0-9a-f]+\s+Entry: ID: 0x00000b,", headers):
        faults.append("no MESSAGETABLE resource: the event viewer could not render the driver's entries")
    imports = {}
    module = None
    for line in headers.splitlines():
        found = re.match(r"\s*DLL Name: (\S+)", line)
        if found:
            module = found.group(1).lower()
            imports[module] = []
            continue
        entry = re.match(r"\s+[0-9a-f]+\s+(\d+)\s+(\S+)$", line)
        if module and entry:
            imports[module].append(entry.group(2))
        elif module and not line.strip():
            module = None
    if not imports:
        faults.append("no imports read from the image")
    for module, names in imports.items():
        if module not in exports:
            faults.append(f"imports from {module}: a driver imports from {', '.join(KERNEL_MODULES)} only")
            continue
        for name in names:
            if name not in exports[module]:
                faults.append(f"imports {name} from {module}, which does not export it")
            if RUNTIME_NAME.match(name) or name.startswith("_Z"):
                faults.append(f"imports the runtime's {name} from {module}")
    if not faults:
        count = sum(len(names) for names in imports.values())
        print(f"pe check: {image}: x64 native driver, entry DriverEntry, {count} imports from "
              f"{', '.join(sorted(imports))}, all exported; no runtime, no W+X section, message table, checksum valid")
    return faults


def main():
    if len(sys.argv) not in (2, 3):
        print(__doc__, file=sys.stderr)
        return 2
    library_dir = sys.argv[2] if len(sys.argv) == 3 else "/usr/x86_64-w64-mingw32/lib"
    faults = check(sys.argv[1], library_dir)
    for fault in faults:
        print(f"pe check: {fault}", file=sys.stderr)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
