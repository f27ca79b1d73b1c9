#!/usr/bin/env python3
"""Checks driver/gvspfilter.inf: its syntax (sections, keys, string tokens, references between
sections) and that it installs the filter under the identity the driver registers with, read
from the driver's code: service, friendly and unique names, NDIS media, control device and its
security, version.
Usage: inf-check.py SOURCE_DIR"""
import os
import re
import sys

# The lightweight-filter network service class.
NET_SERVICE_CLASS_GUID = "{4D36E974-E325-11CE-BFC1-08002BE10318}"
NCF_LW_FILTER = 0x40000
# NDIS media the filter's FilterAttach accepts, by the INF's name for them.
MEDIA_NAMES = {"NdisMedium802_3": "ethernet", "NdisMediumWan": "wan"}
FILTER_CLASSES = {"scheduler", "encryption", "compression", "vpn", "load_balance", "failover",
                  "diagnostic", "custom", "ndiscap", "switch"}
REQUIRED_SECTIONS = ["Version", "Manufacturer", "SourceDisksNames", "SourceDisksFiles", "DestinationDirs", "Strings"]


def parse_inf(text, faults):
    """Sections in order, each a list of (line number, key or None, value)."""
    sections = {}
    current = None
    for number, raw in enumerate(text.splitlines(), 1):
        line = strip_comment(raw).strip()
        if not line:
            continue
        header = re.fullmatch(r"\[([^\]]+)\]", line)
        if header:
            current = header.group(1).strip()
            if current.lower() in (name.lower() for name in sections):
                faults.append(f"line {number}: section [{current}] appears twice")
            sections[current] = []
            continue
        if current is None:
            faults.append(f"line {number}: text before the first section")
            continue
        if "=" in line:
            key, value = line.split("=", 1)
            sections[current].append((number, key.strip(), value.strip()))
        else:
            sections[current].append((number, None, line))
    return sections


def strip_comment(line):
    """Cuts a ; comment outside double quotes."""
    quoted = False
    for index, character in enumerate(line):
        if character == '"':
            quoted = not quoted
        elif character == ";" and not quoted:
            return line[:index]
    return line


def values(sections, section, key):
    return [value for _, k, value in sections.get(section, []) if k is not None and k.lower() == key.lower()]


def one(sections, section, key, faults):
    found = values(sections, section, key)
    if len(found) != 1:
        faults.append(f"[{section}] {key}: {len(found)} entries, one expected")
        return ""
    return found[0]


def fields(value):
    """Comma-separated fields; a quoted field keeps its commas."""
    return [field.strip().strip('"') for field in re.findall(r'(?:"[^"]*"|[^,])+|(?<=,)(?=,|$)|^(?=,)', value)]


def code_identity(source_dir):
    """The identity the driver registers with, as its code writes it."""
    entry = open(os.path.join(source_dir, "driver/driver_entry.cpp")).read()
    names = dict(re.findall(r'RtlInitUnicodeString\(&(\w+),\s*GVSP_WIDE\("((?:[^"\\]|\\.)*)"\)\)', entry))
    names = {key: value.replace("\\\\", "\\") for key, value in names.items()}
    state = open(os.path.join(source_dir, "base/driver.cpp")).read()
    version = re.search(r'DriverVersion\[DRIVER_VERSION_SIZE\]\s*=\s*"([^"]+)"', state).group(1)
    attach = open(os.path.join(source_dir, "driver/filter_module.cpp")).read()
    media = re.search(r"if \(medium != (\w+)(?: && medium != (\w+))*\)", attach)
    accepted = re.findall(r"medium != (\w+)", media.group(0))
    return names, version, accepted


def check(source_dir):
    faults = []
    inf_path = os.path.join(source_dir, "driver/gvspfilter.inf")
    text = open(inf_path, encoding="ascii").read()
    sections = parse_inf(text, faults)
    lower = {name.lower(): name for name in sections}
    for name in REQUIRED_SECTIONS:
        if name.lower() not in lower:
            faults.append(f"no [{name}] section")
    if faults:
        return faults

    # Strings: every %token% is defined, every definition quoted.
    strings = {}
    for number, key, value in sections["Strings"]:
        if key is None or not re.fullmatch(r'"[^"]*"', value):
            faults.append(f"line {number}: a string is key = \"text\"")
            continue
        strings[key.lower()] = value[1:-1]
    for number, raw in enumerate(text.splitlines(), 1):
        for token in re.findall(r"%([^%\s]*)%", strip_comment(raw)):
            if token and not token.isdigit() and token.lower() not in strings:
                faults.append(f"line {number}: %{token}% is not in [Strings]")

    def expand(value):
        return re.sub(r"%([A-Za-z]\w*)%", lambda m: strings.get(m.group(1).lower(), m.group(0)), value)

    # Version.
    if one(sections, "Version", "Signature", faults) != '"$Windows NT$"':
        faults.append('[Version] Signature is not "$Windows NT$"')
    if one(sections, "Version", "Class", faults) != "NetService":
        faults.append("[Version] Class is not NetService")
    if one(sections, "Version", "ClassGuid", faults).upper() != NET_SERVICE_CLASS_GUID:
        faults.append("[Version] ClassGuid is not the network service class")
    one(sections, "Version", "Provider", faults)
    one(sections, "Version", "CatalogFile", faults)
    driver_ver = re.fullmatch(r"(\d\d)/(\d\d)/(\d{4}),(\d+)\.(\d+)\.(\d+)\.(\d+)",
                              one(sections, "Version", "DriverVer", faults))
    names, version, media = code_identity(source_dir)
    if not driver_ver or any(int(part) > 65535 for part in driver_ver.groups()[3:]):
        faults.append("[Version] DriverVer is not mm/dd/yyyy,w.x.y.z with 16-bit parts")
    elif ".".join(driver_ver.groups()[3:6]) != ".".join(version.split(".")[:3]):
        faults.append(f"[Version] DriverVer {'.'.join(driver_ver.groups()[3:])} is not the driver's version {version}")

    # Models: one x64 models section naming the install section and the component id.
    manufacturer = fields(sections["Manufacturer"][0][2]) if sections["Manufacturer"] else []
    if len(manufacturer) < 2 or "ntamd64" not in (field.lower() for field in manufacturer[1:]):
        faults.append("[Manufacturer] names no NTamd64 models")
        return faults
    models_name = f"{manufacturer[0]}.NTamd64"
    if models_name.lower() not in lower:
        faults.append(f"no [{models_name}] section")
        return faults
    models = sections[lower[models_name.lower()]]
    install_name, component = (fields(models[0][2]) + ["", ""])[:2]
    if expand(models[0][1]) != names["FilterFriendlyName"]:
        faults.append(f"the model's description {expand(models[0][1])!r} is not the friendly name")
    if install_name.lower() not in lower:
        faults.append(f"no install section [{install_name}]")
        return faults
    install = lower[install_name.lower()]

    # The install section: a lightweight filter whose instance id is the driver's unique name.
    if int(one(sections, install, "Characteristics", faults) or "0", 0) != NCF_LW_FILTER:
        faults.append(f"[{install}] Characteristics is not NCF_LW_FILTER (0x40000)")
    if expand(one(sections, install, "NetCfgInstanceId", faults)).strip('"') != names["FilterUniqueName"]:
        faults.append(f"[{install}] NetCfgInstanceId is not the unique name {names['FilterUniqueName']}")
    if expand(component) != names["FilterServiceName"]:
        faults.append(f"the component id {expand(component)!r} is not the service name")
    for key in ("AddReg", "CopyFiles"):
        for value in values(sections, install, key):
            for referenced in fields(value):
                if referenced.lower() not in lower:
                    faults.append(f"[{install}] {key} names [{referenced}], which does not exist")

    # The Ndi keys NDIS reads the filter's identity and binding from.
    ndi = {}
    for value in values(sections, install, "AddReg"):
        for referenced in fields(value):
            for number, _, line in sections.get(lower.get(referenced.lower(), ""), []):
                parts = fields(line)
                if len(parts) >= 5 and parts[0] == "HKR":
                    ndi[(parts[1], parts[2])] = (parts[3], expand(parts[4]))
    expected = {
        ("Ndi", "Service"): names["FilterServiceName"],
        ("Ndi", "CoServices"): names["FilterServiceName"],
        ("Ndi", "FilterType"): "2",          # modifying
        ("Ndi", "FilterRunType"): "2",       # optional
        ("Ndi\\Interfaces", "UpperRange"): "noupper",
        ("Ndi\\Interfaces", "LowerRange"): "nolower",
        ("Ndi\\Interfaces", "FilterMediaTypes"): ", ".join(MEDIA_NAMES[m] for m in media),
    }
    for key, value in expected.items():
        if key not in ndi:
            faults.append(f"no HKR {key[0]} {key[1]}")
        elif ndi[key][1] != value:
            faults.append(f"HKR {key[0]} {key[1]} is {ndi[key][1]!r}, the driver's is {value!r}")
    if ndi.get(("Ndi", "FilterClass"), ("", ""))[1] not in FILTER_CLASSES:
        faults.append("HKR Ndi FilterClass is not a filter class NDIS orders by")

    # The service: a kernel driver under the service name, from the file the INF copies.
    services = f"{install}.Services"
    if services.lower() not in lower:
        faults.append(f"no [{services}] section")
    else:
        add = fields(one(sections, lower[services.lower()], "AddService", faults))
        if expand(add[0]) != names["FilterServiceName"]:
            faults.append(f"AddService installs {expand(add[0])!r}, not the service name")
        for referenced in add[2:]:
            if referenced and referenced.lower() not in lower:
                faults.append(f"AddService names [{referenced}], which does not exist")
        service = lower.get(add[2].lower(), "") if len(add) > 2 else ""
        if one(sections, service, "ServiceType", faults) != "1":
            faults.append("the service is not a kernel driver (ServiceType 1)")
        binary = one(sections, service, "ServiceBinary", faults)
        copied = [fields(line)[0] for _, _, line in sections.get(lower.get("install.copyfiles", ""), [])]
        if not binary.endswith("\\gvspfilter.sys") or "gvspfilter.sys" not in copied:
            faults.append("the service binary is not the gvspfilter.sys the INF copies")

    # The control device, as the comment at the top states it, is the one the driver creates.
    for key in ("ControlDeviceName", "ControlSymbolicName", "ControlDeviceSddl"):
        if names[key] not in text:
            faults.append(f"the INF does not state the control device's {key} {names[key]}")
    if not faults:
        print(f"inf check: {inf_path}: lightweight filter {names['FilterServiceName']} "
              f"({names['FilterFriendlyName']}, {names['FilterUniqueName']}) over "
              f"{', '.join(MEDIA_NAMES[m] for m in media)}, as the driver registers")
    return faults


def main():
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    faults = check(sys.argv[1])
    for fault in faults:
        print(f"inf check: {fault}", file=sys.stderr)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
