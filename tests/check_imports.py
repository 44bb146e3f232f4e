#!/usr/bin/env python3
"""Checks what kalvo-update.exe imports, and how, as Windows' loader reads it:
a 64-bit console program that imports at start only DLLs that are Windows'
known DLLs (kernel32, msvcrt), and neither imports nor delay-loads hid.dll
and setupapi.dll, which are not: the run loads them from the system directory
and looks up each function by name, so no import slot is written after the
loader has filled the table (current linkers make it read-only, and the
delay-load helper, which writes into it, crashes there). SetDefaultDllDirectories
is never imported: a Windows 7 without KB2533623 lacks it, and the program
would not start there. Prints what it found.

  check_imports.py EXE
  check_imports.py --dumpbin LISTING

With --dumpbin, the same expectations judge what Visual Studio's
`dumpbin /imports /dependents EXE` listed (the hosted CI's Windows job, where
the program is built with Visual Studio): the listing's dependency lists must
agree with its import sections.
"""

import re
import struct
import sys

from check_resources import Pe

CONSOLE_SUBSYSTEM = 3
AT_START = {"kernel32.dll", "msvcrt.dll"}
# Loaded from the system directory at run time, each function looked up by name.
LOOKED_UP = {
    "hid.dll": {"HidD_GetAttributes", "HidD_GetHidGuid", "HidD_GetIndexedString"},
    "setupapi.dll": {"SetupDiDestroyDeviceInfoList", "SetupDiEnumDeviceInterfaces",
                     "SetupDiGetClassDevsA", "SetupDiGetDeviceInterfaceDetailA"},
}
# What the run calls to confine the search, load both and look them up.
LOADING = {"GetModuleHandleA", "GetProcAddress", "SetDllDirectoryA", "GetSystemDirectoryA",
           "LoadLibraryExA"}
# Looked up at run time where they exist, never imported.
NEVER_IMPORTED = {"SetDefaultDllDirectories", "AddDllDirectory", "RemoveDllDirectory"}
IMPORT_DIRECTORY = 1
DELAY_IMPORT_DIRECTORY = 13
DELAY_RVA_ATTRIBUTE = 1  # the descriptor's addresses are relative (every 64-bit one)
ORDINAL_FLAG = 1 << 63
SCN_MEM_WRITE = 0x80000000
DLL_NAME = re.compile(rb"(?<![\w.-])([A-Za-z0-9_.-]+\.[dD][lL][lL])\0")


class Program(Pe):
    def text(self, rva):
        at = self.offset(rva)
        return self.data[at:self.data.index(b"\0", at)].decode("ascii")

    def names(self, thunks_rva):
        """The names an import name table lists (ordinals as #N)."""
        names = []
        at = self.offset(thunks_rva)
        while True:
            thunk = struct.unpack_from("<Q", self.data, at)[0]
            if thunk == 0:
                return names
            names.append(f"#{thunk & 0xFFFF}" if thunk & ORDINAL_FLAG else self.text(thunk + 2))
            at += 8

    def imports(self):
        """{dll: names} of the import directory, which the loader resolves at start."""
        found = {}
        rva = self.directories[IMPORT_DIRECTORY][0]
        at = self.offset(rva) if rva else None
        while at is not None:
            lookup, _, _, name, first = struct.unpack_from("<IIIII", self.data, at)
            if name == 0:
                break
            found[self.text(name).lower()] = self.names(lookup or first)
            at += 20
        return found

    def rvas_of(self, text):
        wanted = text.encode("ascii") + b"\0"
        for start, size, raw in self.sections:
            block = self.data[raw:raw + size]
            at = block.find(wanted)
            while at >= 0:
                yield start + at
                at = block.find(wanted, at + 1)

    def dll_names(self):
        """(rva, name) of every text in the sections that names a DLL."""
        for start, size, raw in self.sections:
            block = self.data[raw:raw + size]
            for match in DLL_NAME.finditer(block):
                yield start + match.start(1), match.group(1).decode("ascii")

    def delay_imports(self):
        """{dll: names} of the delay-load descriptors. MinGW's linker leaves the
        delay-import directory entry empty, so the descriptors are also found by
        their shape wherever they lie: attributes with bit 0 set (relative
        addresses; the delay-load helper looks at no other bit), then the
        address of a name (any name, with or without .dll), of a module
        handle in writable memory (the helper stores the handle there), of
        an import address table, and of a name table whose first entry is
        an ordinal or the address of a function's name."""
        descriptors = set()
        rva, _ = self.directories[DELAY_IMPORT_DIRECTORY]
        if rva:
            at = self.offset(rva)
            while struct.unpack_from("<I", self.data, at + 4)[0]:
                descriptors.add(at)
                at += 32
        for start, size, raw in self.sections:
            block = self.data[raw:raw + size]
            for at in range(0, len(block) - 31, 4):
                attributes, name, handle, table, names = struct.unpack_from("<5I", block, at)
                if attributes & DELAY_RVA_ATTRIBUTE and self.is_name(name) and \
                        self.in_image(handle, writable=True) and self.in_image(table) and \
                        self.is_name_table(names):
                    descriptors.add(raw + at)
        found = {}
        for at in sorted(descriptors):
            attributes, name, _, _, names, _, _, _ = struct.unpack_from("<8I", self.data, at)
            found.setdefault(self.text(name).lower(), []).extend(self.names(names))
        return found

    def in_image(self, rva, writable=False):
        return rva != 0 and any(s.rva <= rva < s.rva + max(s.virtual_size, s.raw_size) and
                                (not writable or s.flags & SCN_MEM_WRITE) for s in self.headers)

    def is_name_table(self, rva):
        if not self.in_image(rva):
            return False
        at = self.offset(rva)
        thunk = struct.unpack_from("<Q", self.data, at)[0] if at + 8 <= len(self.data) else 0
        return bool(thunk & ORDINAL_FLAG) or (0 < thunk < 1 << 32 and self.is_name(thunk + 2))

    def is_name(self, rva):
        """Whether a DLL's name could lie at `rva`: printable text of a file name."""
        if not self.in_image(rva):
            return False
        at = self.offset(rva)
        end = self.data.find(b"\0", at, at + 256)
        return end > at and re.fullmatch(rb"[A-Za-z0-9_.-]+", self.data[at:end]) is not None

    def looked_up(self):
        """{dll: names} of LOOKED_UP whose names the program holds as text,
        for GetProcAddress."""
        return {dll: {name for name in names if next(self.rvas_of(name), None) is not None}
                for dll, names in LOOKED_UP.items()}


class Listed:
    """A program's imports as `dumpbin /imports /dependents` lists them."""

    DLL = re.compile(r"^[\w.-]+\.dll$", re.IGNORECASE)
    NAME = re.compile(r"^[A-Za-z_][\w@?$]*$")
    HEX = re.compile(r"^[0-9A-Fa-f]+$")
    # Lines of a delay-load entry's header that look like a hint and a name.
    NOT_NAMES = {"Characteristics"}

    def __init__(self, text):
        self.subsystem = None  # dumpbin /imports does not say
        self.lists = {"imports": {}, "delay load imports": {}, "dependencies": set(),
                      "delay load dependencies": set()}
        part, dll = None, None
        for line in text.splitlines():
            stripped = line.strip()
            heading = re.search(r"(?:Section contains|Image has) the following (.+):$", stripped)
            if heading:
                part, dll = heading.group(1), None
                continue
            if stripped == "Summary":
                part = None
            if part is None or not stripped:
                continue
            tokens = stripped.split()
            if len(tokens) == 1 and self.DLL.match(stripped):
                dll = stripped.lower()
                if part in ("dependencies", "delay load dependencies"):
                    self.lists[part].add(dll)
                else:
                    self.lists[part].setdefault(dll, [])
            elif dll and part in ("imports", "delay load imports"):
                if tokens[0] == "Ordinal" and len(tokens) == 2:
                    self.lists[part][dll].append(f"#{int(tokens[1])}")
                elif len(tokens) >= 2 and all(self.HEX.match(t) for t in tokens[:-1]) and \
                        self.NAME.match(tokens[-1]) and tokens[-1] not in self.NOT_NAMES:
                    self.lists[part][dll].append(tokens[-1])

    def imports(self):
        return self.lists["imports"]

    def delay_imports(self):
        return self.lists["delay load imports"]

    def looked_up(self):
        return None  # the listing does not show the program's strings

    def disagreements(self):
        failures = []
        for part, listed in (("dependencies", "imports"),
                             ("delay load dependencies", "delay load imports")):
            if self.lists[part] != set(self.lists[listed]):
                failures.append(f"the listing's {part} {sorted(self.lists[part])} are not the "
                                f"DLLs of its {listed} {sorted(self.lists[listed])}")
        return failures


def import_problems(program):
    """What is wrong with the program's imports, and what it found as text."""
    failures = []
    if program.subsystem is not None and program.subsystem != CONSOLE_SUBSYSTEM:
        failures.append(f"not a console program (subsystem {program.subsystem})")
    at_start = program.imports()
    for dll in sorted(set(at_start) - AT_START):
        failures.append(f"imports {dll} at start: only known DLLs may be, the rest is linked in "
                        "or loaded from the system directory")
    if "kernel32.dll" not in at_start:
        failures.append("does not import kernel32.dll")
    kernel32 = set(at_start.get("kernel32.dll", []))
    missing = LOADING - kernel32
    if missing:
        failures.append(f"does not import {', '.join(sorted(missing))} from kernel32.dll")
    for name in sorted(NEVER_IMPORTED & kernel32):
        failures.append(f"imports {name}, which a Windows 7 without KB2533623 lacks")
    for dll, names in sorted(program.delay_imports().items()):
        failures.append(f"delay-loads {dll} ({', '.join(sorted(names))}): the delay-load helper "
                        "writes those import slots at run time")
    looked_up = program.looked_up()
    for dll, names in sorted((looked_up or {}).items()):
        if names != LOOKED_UP[dll]:
            failures.append(f"does not name {', '.join(sorted(LOOKED_UP[dll] - names))} for "
                            f"looking up in {dll}")
    lists = ["imports at start: " +
             "; ".join(f"{dll} ({len(names)} functions)" for dll, names in sorted(at_start.items())),
             "looked up at run time: " +
             ("not shown by the listing" if looked_up is None else
              "; ".join(f"{dll} ({', '.join(sorted(names))})"
                        for dll, names in sorted(looked_up.items())))]
    return failures, lists


def main():
    if sys.argv[1] == "--dumpbin":
        exe = sys.argv[2]
        listed = Listed(open(exe, encoding="utf-8", errors="replace").read())
        failures, lists = import_problems(listed)
        failures += listed.disagreements()
    else:
        exe = sys.argv[1]
        failures, lists = import_problems(Program(open(exe, "rb").read()))
    print(f"{exe} {lists[0]}")
    print(lists[1])
    for failure in failures:
        print("FAILED:", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
