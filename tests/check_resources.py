#!/usr/bin/env python3
"""Checks kalvo-update.exe's resources as Windows reads them: the version
resource (RT_VERSION 16, identifier 1) with the product name, the description
(which names a test release) and the project's version, and the application
manifest (RT_MANIFEST 24, identifier 1) that asks to run as the invoker,
without elevation.

  check_resources.py EXE VERSION DESCRIPTION
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
WINDOWS_10 = "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"


class Pe:
    def __init__(self, data):
        self.data = data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("not a PE file")
        sections, optional_size = struct.unpack_from("<H12xH", data, pe + 6)
        optional = pe + 24
        if struct.unpack_from("<H", data, optional)[0] != 0x20B:
            raise ValueError("not a PE32+ file")
        # Data directory 2 is the resource table; PE32+ directories start at 112.
        self.resource_rva, _ = struct.unpack_from("<II", data, optional + 112 + 2 * 8)
        self.sections = []
        for i in range(sections):
            at = optional + optional_size + 40 * i
            size, rva, raw_size, raw = struct.unpack_from("<IIII", data, at + 8)
            self.sections.append((rva, max(size, raw_size), raw))

    def offset(self, rva):
        for start, size, raw in self.sections:
            if start <= rva < start + size:
                return rva - start + raw
        raise ValueError(f"RVA 0x{rva:x} lies in no section")

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


def main():
    exe, version, description = sys.argv[1:4]
    with open(exe, "rb") as f:
        pe = Pe(f.read())
    failures = []

    info = pe.resource(RT_VERSION, 1)
    if info is None:
        failures.append("no version resource (type 16, identifier 1)")
    else:
        fixed, strings = version_strings(info)
        parts = [int(p) for p in version.split(".")] + [0]
        expected_ms = parts[0] << 16 | parts[1]
        expected_ls = parts[2] << 16 | parts[3]
        if fixed is None or fixed[0] != FIXED_INFO_SIGNATURE:
            failures.append("the version resource has no fixed file information")
        elif fixed[2:4] != (expected_ms, expected_ls):
            failures.append(f"fixed file version {fixed[2]:08x}.{fixed[3]:08x}, expected "
                            f"{expected_ms:08x}.{expected_ls:08x}")
        expected = {"ProductName": PRODUCT_NAME, "FileDescription": description,
                    "FileVersion": version, "ProductVersion": version}
        for key, value in expected.items():
            if strings.get(key) != value:
                failures.append(f"version string {key} is {strings.get(key)!r}, expected {value!r}")

    manifest = pe.resource(RT_MANIFEST, 1)
    if manifest is None:
        failures.append("no application manifest (type 24, identifier 1)")
    else:
        root = ElementTree.fromstring(manifest)
        levels = root.findall(f".//{ASM_V3}requestedExecutionLevel")
        if [(x.get("level"), x.get("uiAccess")) for x in levels] != [("asInvoker", "false")]:
            failures.append("the manifest does not ask to run as the invoker without UI access")
        systems = [x.get("Id").lower() for x in root.findall(f".//{COMPATIBILITY}supportedOS")]
        if WINDOWS_10 not in systems:
            failures.append("the manifest does not declare Windows 10 and 11 as supported")

    for failure in failures:
        print(f"{exe}: {failure}")
    if not failures:
        print(f"{exe}: version {version}, manifest asInvoker")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
