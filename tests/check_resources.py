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

try:
    import pefile
except ImportError:  # Pe says what to install
    pefile = None

RT_VERSION = 16
RT_MANIFEST = 24
FIXED_INFO_SIGNATURE = 0xFEEF04BD
PRODUCT_NAME = "kalvo-update"
ASM_V3 = "{urn:schemas-microsoft-com:asm.v3}"
COMPATIBILITY = "{urn:schemas-microsoft-com:compatibility.v1}"
ASM_V1 = "{urn:schemas-microsoft-com:asm.v1}"
# The elements the manifest needs: to run as the invoker, on every supported Windows.
MANIFEST_ELEMENTS = {ASM_V1 + "assembly"} | {
    ASM_V3 + x for x in ("trustInfo", "security", "requestedPrivileges",
                         "requestedExecutionLevel")} | {
    COMPATIBILITY + x for x in ("compatibility", "application", "supportedOS")}
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
    directories and the section headers, as pefile (Debian's python3-pefile;
    `pip install pefile` elsewhere) reads them; a file it cannot read is
    refused."""

    def __init__(self, data):
        self.data = data
        if pefile is None:
            raise ValueError("pefile is not installed (Debian: python3-pefile; "
                             "elsewhere: pip install pefile)")
        try:
            pe = pefile.PE(data=bytes(data), fast_load=True)
        except pefile.PEFormatError as error:
            raise ValueError(f"not a PE file: {error}") from None
        if pe.OPTIONAL_HEADER.Magic != 0x20B:
            raise ValueError("not a PE32+ file")
        self.pefile = pe
        header, optional = pe.FILE_HEADER, pe.OPTIONAL_HEADER
        self.pe_offset = pe.DOS_HEADER.e_lfanew
        self.machine, self.characteristics = header.Machine, header.Characteristics
        self.symbol_table, self.symbol_count = header.PointerToSymbolTable, header.NumberOfSymbols
        self.optional_offset = optional.get_file_offset()
        self.section_table = self.optional_offset + header.SizeOfOptionalHeader
        self.linker_version = (optional.MajorLinkerVersion, optional.MinorLinkerVersion)
        self.image_base = optional.ImageBase
        self.subsystem, self.dll_characteristics = optional.Subsystem, optional.DllCharacteristics
        self.directories = [(d.VirtualAddress, d.Size) for d in optional.DATA_DIRECTORY]
        self.directories += [(0, 0)] * (16 - len(self.directories))
        self.headers = [Section(s.Name.rstrip(b"\0").decode("ascii", "replace"),
                                s.VirtualAddress, s.Misc_VirtualSize, s.PointerToRawData,
                                s.SizeOfRawData, s.Characteristics) for s in pe.sections]
        self.sections = [(s.rva, max(s.virtual_size, s.raw_size), s.raw) for s in self.headers]

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

    def resources(self, type_id):
        """{identifier: bytes of its first language} of the resources of `type_id`."""
        if not hasattr(self.pefile, "DIRECTORY_ENTRY_RESOURCE"):
            self.pefile.parse_data_directories(
                directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
        root = getattr(self.pefile, "DIRECTORY_ENTRY_RESOURCE", None)
        found = {}
        for kind in root.entries if root else []:
            if kind.id != type_id or not hasattr(kind, "directory"):
                continue
            for entry in kind.directory.entries:
                languages = entry.directory.entries if hasattr(entry, "directory") else []
                if languages:
                    data = languages[0].data.struct
                    at = self.offset(data.OffsetToData)
                    name = entry.id if entry.id is not None else str(entry.name)
                    found[name] = self.data[at:at + data.Size]
        return found

    def resource(self, type_id, name_id):
        """The bytes of the first language of resource `type_id`/`name_id`, or None."""
        return self.resources(type_id).get(name_id)


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
    others = sorted(i for i in pe.resources(RT_MANIFEST) if i != 1)
    if others:
        problems.append(f"more manifests than one: identifiers {others}")
    root = ElementTree.fromstring(manifest)
    # Only what the program needs: an element more (a <file> or <dependency>,
    # which make Windows look for a DLL in the program's folder, a redirect)
    # is refused whatever it says.
    unneeded = sorted({x.tag for x in root.iter()} - MANIFEST_ELEMENTS)
    if unneeded:
        problems.append("the manifest holds elements the program does not need: " +
                        ", ".join(unneeded))
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
