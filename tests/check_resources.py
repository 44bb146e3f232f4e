#!/usr/bin/env python3
"""Checks kalvo-update.exe's resources as Windows reads them: the version
resource (RT_VERSION 16, identifier 1) with the product name, the description
(which names a test release), the project's version, the maker's name and
copyright notice, and the application manifest (RT_MANIFEST 24, identifier 1)
that asks to run as the invoker, without elevation.

  check_resources.py EXE VERSION DESCRIPTION COMPANY COPYRIGHT
"""

import struct
import sys
import xml.etree.ElementTree as ElementTree

RT_VERSION = 16
RT_MANIFEST = 24
FIXED_INFO_SIGNATURE = 0xFEEF04BD
PRODUCT_NAME = "kalvo-update"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
COMPATIBILITY = "{urn:schemas-microsoft-com:compatibility.v1}"
# The supportedOS identifiers of the Windows versions the program runs on.
SUPPORTED_OS = {
    "Windows 10 and 11": "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",
    "Windows 8.1": "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",
    "Windows 8": "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",
    "Windows 7": "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",
}


class Section:
    """A section header: its name, where it lies in memory and in the file,
    and its characteristics (IMAGE_SCN_*)."""

    def __init__(self, name, rva, virtual_size, raw, raw_size, flags):
        self.name, self.rva, self.virtual_size = name, rva, virtual_size
        self.raw, self.raw_size, self.flags = raw, raw_size, flags


class Pe:
    """A 64-bit PE file as Windows' loader reads it: the file header, the
    optional header's fields that say how the image may be loaded, the data
    directories and the section headers."""

    def __init__(self, data):
        self.data = data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("not a PE file")
        self.pe_offset = pe
        (self.machine, sections, _, self.symbol_table, self.symbol_count, optional_size,
         self.characteristics) = struct.unpack_from("<HHIIIHH", data, pe + 4)
        optional = pe + 24
        self.optional_offset = optional
        self.section_table = optional + optional_size
        if struct.unpack_from("<H", data, optional)[0] != 0x20B:
            raise ValueError("not a PE32+ file")
        self.linker_version = struct.unpack_from("<BB", data, optional + 2)
        self.image_base = struct.unpack_from("<Q", data, optional + 24)[0]
        self.subsystem, self.dll_characteristics = struct.unpack_from("<HH", data, optional + 68)
        # PE32+ data directories start at 112: (rva, size) each.
        self.directories = [struct.unpack_from("<II", data, optional + 112 + 8 * i)
                            for i in range(16)]
        self.resource_rva = self.directories[2][0]
        self.headers = []
        self.sections = []
        for i in range(sections):
            at = optional + optional_size + 40 * i
            name = data[at:at + 8].rstrip(b"\0").decode("ascii", "replace")
            size, rva, raw_size, raw = struct.unpack_from("<IIII", data, at + 8)
            flags = struct.unpack_from("<I", data, at + 36)[0]
            self.headers.append(Section(name, rva, size, raw, raw_size, flags))
            self.sections.append((rva, max(size, raw_size), raw))

    def offset(self, rva):
        for start, size, raw in self.sections:
            if start <= rva < start + size:
                return rva - start + raw
        raise ValueError(f"RVA 0x{rva:x} lies in no section")

    def directory(self, index):
        """The bytes of data directory `index`, or None when it is empty."""
        rva, size = self.directories[index]
        if rva == 0 or size == 0:
            return None
        at = self.offset(rva)
        return self.data[at:at + size]

    def resource(self, type_id, name_id):
        """The bytes of the first language of resource `type_id`/`name_id`, or None."""
        if self.resource_rva == 0:
            return None
        base = self.offset(self.resource_rva)
        at = base
        for wanted in (type_id, name_id, None):
            named, numbered = struct.unpack_from("<HH", self.data, at + 12)
            found = None
            for i in range(named + numbered):
                key, target = struct.unpack_from("<II", self.data, at + 16 + 8 * i)
                if wanted is None or (not key & 0x80000000 and key == wanted):
                    found = target
                    break
            if found is None:
                return None
            if not found & 0x80000000:
                rva, size = struct.unpack_from("<II", self.data, base + found)
                return self.data[self.offset(rva):self.offset(rva) + size]
            at = base + (found & 0x7FFFFFFF)
        return None


def version_strings(block):
    """The fixed file version and the StringFileInfo strings of a VS_VERSIONINFO."""
    strings = {}
    fixed = None

    def walk(at, end, depth):
        nonlocal fixed
        while at + 6 <= end:
            length, value_length, is_text = struct.unpack_from("<HHH", block, at)
            if length == 0:
                break
            key_end = at + 6
            while block[key_end:key_end + 2] != b"\0\0":
                key_end += 2
            key = block[at + 6:key_end].decode("utf-16-le")
            value_at = (key_end + 2 + 3) & ~3
            value_bytes = value_length * 2 if is_text else value_length
            if depth == 0:
                fixed = struct.unpack_from("<IIIII", block, value_at)
            elif depth == 3:
                text = block[value_at:value_at + value_bytes].decode("utf-16-le")
                strings[key] = text.rstrip("\0")
            walk((value_at + value_bytes + 3) & ~3, at + length, depth + 1)
            at = (at + length + 3) & ~3

    walk(0, len(block), 0)
    return fixed, strings


def manifest_problems(pe):
    """What is wrong with the application manifest: it must ask to run as the
    invoker, without UI access, and name every Windows the program runs on."""
    manifest = pe.resource(RT_MANIFEST, 1)
    if manifest is None:
        return ["no application manifest (type 24, identifier 1)"]
    problems = []
    root = ElementTree.fromstring(manifest)
    levels = root.findall(f".//{ASM_V3}requestedExecutionLevel")
    if [(x.get("level"), x.get("uiAccess")) for x in levels] != [("asInvoker", "false")]:
        problems.append("the manifest does not ask to run as the invoker without UI access")
    systems = {x.get("Id").lower() for x in root.findall(f".//{COMPATIBILITY}supportedOS")}
    for name, guid in SUPPORTED_OS.items():
        if guid not in systems:
            problems.append(f"the manifest does not declare {name} as supported")
    return problems


def main():
    exe, version, description, company, copyright_notice = sys.argv[1:6]
    with open(exe, "rb") as f:
        pe = Pe(f.read())
    failures = []

    info = pe.resource(RT_VERSION, 1)
    if info is None:
        failures.append("no version resource (type 16, identifier 1)")
    else:
        fixed, strings = version_strings(info)
        # The fixed version holds the numbers; a test build's "-test" is in the strings only.
        parts = [int(p) for p in version.split("-")[0].split(".")] + [0]
        expected_ms = parts[0] << 16 | parts[1]
        expected_ls = parts[2] << 16 | parts[3]
        if fixed is None or fixed[0] != FIXED_INFO_SIGNATURE:
            failures.append("the version resource has no fixed file information")
        elif fixed[2:4] != (expected_ms, expected_ls):
            failures.append(f"fixed file version {fixed[2]:08x}.{fixed[3]:08x}, expected "
                            f"{expected_ms:08x}.{expected_ls:08x}")
        expected = {"ProductName": PRODUCT_NAME, "FileDescription": description,
                    "FileVersion": version, "ProductVersion": version, "CompanyName": company,
                    "LegalCopyright": copyright_notice}
        for key, value in expected.items():
            if strings.get(key) != value:
                failures.append(f"version string {key} is {strings.get(key)!r}, expected {value!r}")

    failures += manifest_problems(pe)

    for failure in failures:
        print(f"{exe}: {failure}")
    if not failures:
        print(f"{exe}: version {version}, manifest asInvoker")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
