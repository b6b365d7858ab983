#!/usr/bin/python3
"""Checks the driver image TORVEX.SYS: a 32-bit i386 native-subsystem WDM driver
whose entry point lies in its code, with its relocations, no section both
writable and executable, no section with more bytes in memory than in the file
(uninitialised data, which nothing shows Windows 98's loader zero-fills), exactly the exports of core/exports.def (names and
ordinals), and imports only from the kernel, the hardware layer and the USB
driver library, each on the whitelist. Prints every fault; exits 1 on any.

Usage: check_sys_image.py IMAGE EXPORTS_DEF WHITELIST
"""
import re
import sys

import pefile

IMAGE_FILE_MACHINE_I386 = 0x14C
IMAGE_SUBSYSTEM_NATIVE = 1
IMAGE_DLLCHARACTERISTICS_WDM_DRIVER = 0x2000
IMAGE_SCN_MEM_EXECUTE = 0x20000000
IMAGE_SCN_MEM_WRITE = 0x80000000
SIZE_LIMIT = 64 * 1024


def expected_exports(path):
    """(name, ordinal) of every export the .def file lists."""
    exports = []
    for line in open(path, encoding="ascii"):
        match = re.match(r"\s+(\w+)(?:=\S+)?\s+@(\d+)\s*$", line)
        if match:
            exports.append((match.group(1), int(match.group(2))))
    return exports


def whitelist(path):
    allowed = set()
    for line in open(path, encoding="ascii"):
        line = line.split("#")[0].strip()
        if line:
            module, function = line.split()
            allowed.add((module.lower(), function))
    return allowed


def check(image_path, exports_path, whitelist_path):
    faults = []
    data = open(image_path, "rb").read()
    if len(data) >= SIZE_LIMIT:
        faults.append(f"the image is {len(data)} bytes, not below {SIZE_LIMIT}")
    pe = pefile.PE(data=data)
    header = pe.OPTIONAL_HEADER
    if pe.FILE_HEADER.Machine != IMAGE_FILE_MACHINE_I386:
        faults.append(f"machine 0x{pe.FILE_HEADER.Machine:04X}, not i386")
    if header.Magic != 0x10B:
        faults.append("not a 32-bit (PE32) image")
    if header.Subsystem != IMAGE_SUBSYSTEM_NATIVE:
        faults.append(f"subsystem {header.Subsystem}, not native")
    if not header.DllCharacteristics & IMAGE_DLLCHARACTERISTICS_WDM_DRIVER:
        faults.append("the WDM driver flag is not set")
    if pe.FILE_HEADER.Characteristics & 0x2000:
        faults.append("the image is marked as a DLL")

    entry = header.AddressOfEntryPoint
    entry_section = next((s for s in pe.sections if s.contains_rva(entry)), None)
    if entry == 0 or entry_section is None or not entry_section.Characteristics & IMAGE_SCN_MEM_EXECUTE:
        faults.append(f"the entry point 0x{entry:X} is not in executable code")
    for section in pe.sections:
        flags = section.Characteristics
        if flags & IMAGE_SCN_MEM_WRITE and flags & IMAGE_SCN_MEM_EXECUTE:
            name = section.Name.rstrip(b"\0").decode()
            faults.append(f"section {name} is writable and executable")
        if section.Misc_VirtualSize > section.SizeOfRawData:
            name = section.Name.rstrip(b"\0").decode()
            faults.append(f"section {name} has {section.Misc_VirtualSize - section.SizeOfRawData} bytes "
                          "without file data (uninitialised data)")

    relocations = pe.OPTIONAL_HEADER.DATA_DIRECTORY[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_BASERELOC"]]
    if relocations.Size == 0 or not getattr(pe, "DIRECTORY_ENTRY_BASERELOC", None):
        faults.append("the relocation table is missing")

    wanted = expected_exports(exports_path)
    if [name for name, _ in wanted] != sorted(name for name, _ in wanted):
        faults.append(f"{exports_path} does not list its exports in byte order")
    if [ordinal for _, ordinal in wanted] != list(range(1, len(wanted) + 1)):
        faults.append(f"{exports_path} does not number its exports 1 to {len(wanted)}")
    found = []
    if hasattr(pe, "DIRECTORY_ENTRY_EXPORT"):
        for symbol in pe.DIRECTORY_ENTRY_EXPORT.symbols:
            found.append(((symbol.name or b"").decode(), symbol.ordinal))
        name = pe.get_string_at_rva(pe.DIRECTORY_ENTRY_EXPORT.struct.Name).decode()
        if name != "TORVEX.SYS":
            faults.append(f"the export directory names the module {name}, not TORVEX.SYS")
    for export in sorted(set(wanted) - set(found)):
        faults.append(f"export {export[0]} with ordinal {export[1]} is missing")
    for export in sorted(set(found) - set(wanted)):
        faults.append(f"unexpected export {export[0] or '(no name)'} with ordinal {export[1]}")

    allowed = whitelist(whitelist_path)
    modules = {module for module, _ in allowed}
    for entry in getattr(pe, "DIRECTORY_ENTRY_IMPORT", []):
        module = entry.dll.decode()
        if module.lower() not in modules:
            faults.append(f"imports from {module}, which is none of {sorted(modules)}")
            continue
        for symbol in entry.imports:
            if symbol.name is None:
                faults.append(f"imports ordinal {symbol.ordinal} from {module}")
            elif (module.lower(), symbol.name.decode()) not in allowed:
                faults.append(f"imports {symbol.name.decode()} from {module}, which is not on the whitelist")
    return faults


def main():
    if len(sys.argv) != 4:
        print(__doc__, file=sys.stderr)
        return 2
    faults = check(*sys.argv[1:])
    for fault in faults:
        print(f"{sys.argv[1]}: {fault}")
    if not faults:
        print(f"{sys.argv[1]}: a 32-bit WDM driver image, its exports and imports as they must be")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
