#!/usr/bin/env python3
"""Checks kalvo-update.exe as a binary analyzer checks an x64 PE that users
download, and prints each rule with PASS or FAIL (SKIP where the rule does
not apply to the toolchain that built it). Exit status 0 when no rule fails.

  check_pe.py EXE [--toolchain auto|mingw|msvc] [--break-each-rule]

--toolchain says which toolchain must have built it (a CI job that builds
with Visual Studio passes msvc); --break-each-rule checks the check instead:
it breaks each rule in turn on a copy of the program in memory and expects
that rule to fail.

The rules:
  - ASLR: DYNAMIC_BASE, with a relocation table to move the image by;
  - 64-bit ASLR: HIGH_ENTROPY_VA, with LARGE_ADDRESS_AWARE;
  - DEP: NX_COMPAT;
  - TERMINAL_SERVER_AWARE;
  - no section both writable and executable, none shared and writable;
  - stack protection: with MSVC (/GS), the security cookie that the load
    configuration names, still holding MSVC's default value for the loader
    to replace; with MinGW-w64 (-fstack-protector-strong), calls from the
    program's functions into __stack_chk_fail (see below);
  - control flow guard and CET shadow-stack compatibility (MSVC only: GCC
    has neither);
  - no debug information (the program is a release build);
  - the manifest: asInvoker without UI access, every supported Windows;
  - the imports as tests/check_imports.py wants them;
  - no import slot written at run time: no delay-load descriptors, whether
    the delay-import directory lists them (MSVC) or not (dlltool's, which
    leave it empty and are found by their shape). The delay-load helper
    writes each resolved address into its import table, which current
    linkers place in read-only memory; the program looks its functions up
    itself instead.

A MinGW-w64 program is stripped and statically linked, so no symbol names
__stack_chk_fail. It is found by what it does (updater/stack_protector_mingw.cpp,
as MSVC's /GS failure does): it ends the process with a fast fail (int 0x29)
of code 2, FAST_FAIL_STACK_COOKIE_CHECK_FAILURE, either itself or by calling
the routine that does; the exception directory's function table gives each
function's extent. Every function that GCC protected ends in a call to it
when its canary changed; the rule counts those calls, so a program whose
code was compiled without the canary fails even with the routine linked in.

Runs with Python 3 alone, on any system: the PE parsing is check_resources'
and the import rules are check_imports'.
"""

import argparse
import struct
import sys

from check_imports import DELAY_IMPORT_DIRECTORY, IMPORT_DIRECTORY, Program, import_problems
from check_resources import manifest_problems

# IMAGE_FILE_* (file header characteristics)
RELOCS_STRIPPED = 0x0001
LARGE_ADDRESS_AWARE = 0x0020
# IMAGE_DLLCHARACTERISTICS_*
HIGH_ENTROPY_VA = 0x0020
DYNAMIC_BASE = 0x0040
NX_COMPAT = 0x0100
GUARD_CF = 0x4000
TERMINAL_SERVER_AWARE = 0x8000
# IMAGE_SCN_*
SCN_MEM_SHARED = 0x10000000
SCN_MEM_EXECUTE = 0x20000000
SCN_MEM_WRITE = 0x80000000
# Data directories.
EXCEPTION_DIRECTORY = 3
BASE_RELOCATION_DIRECTORY = 5
DEBUG_DIRECTORY = 6
LOAD_CONFIG_DIRECTORY = 10
# IMAGE_DEBUG_TYPE_* that carry or point at debug information. MSVC's
# release link adds others (VC_FEATURE, POGO, ILTCG, REPRO), which do not.
DEBUG_INFORMATION = {1: "COFF", 2: "CodeView", 3: "FPO", 4: "MISC", 9: "Borland"}
DEBUG_TYPE_EX_DLLCHARACTERISTICS = 20
EX_CET_COMPAT = 0x01
# IMAGE_LOAD_CONFIG_DIRECTORY64 fields: (offset, size).
LOAD_CONFIG_SECURITY_COOKIE = (88, 8)
LOAD_CONFIG_GUARD_FLAGS = (144, 4)
GUARD_CF_INSTRUMENTED = 0x100
# The value MSVC's /GS cookie has in the file; the loader replaces it.
MSVC_DEFAULT_COOKIE = 0x00002B992DDFA232
# A fast fail: int 0x29, with the code in ecx.
FAST_FAIL = b"\xcd\x29"
STACK_COOKIE_FAILURE_CODE = b"\xb9\x02\x00\x00\x00"  # mov ecx, 2


def is_msvc(pe):
    """Microsoft's linker leaves its Rich header in the DOS stub; GNU ld
    does not."""
    return b"Rich" in pe.data[0x40:pe.pe_offset]


def at_rva(pe, rva, size):
    at = pe.offset(rva)
    return pe.data[at:at + size]


def load_config_field(pe, field):
    config = pe.directory(LOAD_CONFIG_DIRECTORY)
    offset, size = field
    if config is None or struct.unpack_from("<I", config, 0)[0] < offset + size:
        return None
    return int.from_bytes(config[offset:offset + size], "little")


def debug_entries(pe):
    """(type, data) of each debug directory entry."""
    block = pe.directory(DEBUG_DIRECTORY) or b""
    entries = []
    for at in range(0, len(block) - 27, 28):
        kind, size, rva, raw = struct.unpack_from("<IIII", block, at + 12)
        entries.append((kind, pe.data[raw:raw + size] if raw else b""))
    return entries


def executable_sections(pe):
    return [s for s in pe.headers if s.flags & SCN_MEM_EXECUTE]


def functions(pe):
    """(begin, end) RVAs of the exception directory's function table."""
    table = pe.directory(EXCEPTION_DIRECTORY) or b""
    return [struct.unpack_from("<II", table, at) for at in range(0, len(table) - 11, 12)]


def function_code(pe, begin, end):
    return pe.data[pe.offset(begin):pe.offset(begin) + end - begin]


def call_targets(pe, begin, end):
    """Where the `call rel32` instructions between `begin` and `end` go."""
    code = function_code(pe, begin, end)
    targets = set()
    at = code.find(b"\xe8")
    while 0 <= at <= len(code) - 5:
        targets.add(begin + at + 5 + struct.unpack_from("<i", code, at + 1)[0])
        at = code.find(b"\xe8", at + 1)
    return targets


def calls_to(pe, target):
    """How many `call rel32` instructions in the code go to `target`."""
    count = 0
    for section in executable_sections(pe):
        code = pe.data[section.raw:section.raw + min(section.raw_size, section.virtual_size)]
        at = code.find(b"\xe8")
        while 0 <= at <= len(code) - 5:
            if section.rva + at + 5 + struct.unpack_from("<i", code, at + 1)[0] == target:
                count += 1
            at = code.find(b"\xe8", at + 1)
    return count


def stack_check_failure_routine(pe):
    """The RVA of the function that ends the process for a changed canary,
    or None with the reason."""
    table = functions(pe)
    fast_fail = {begin for begin, end in table if FAST_FAIL in function_code(pe, begin, end)}
    if not fast_fail:
        return None, "no function ends the process with a fast fail"
    for begin, end in table:
        code = function_code(pe, begin, end)
        if STACK_COOKIE_FAILURE_CODE in code and (
                begin in fast_fail or call_targets(pe, begin, end) & fast_fail):
            return begin, None
    return None, "no function fails fast with FAST_FAIL_STACK_COOKIE_CHECK_FAILURE"


# --- the rules: each returns (verdict, detail), verdict True, False or None (skip)

def rule_dynamic_base(pe, msvc):
    relocations = pe.directories[BASE_RELOCATION_DIRECTORY][1]
    ok = bool(pe.dll_characteristics & DYNAMIC_BASE and relocations > 0 and
              not pe.characteristics & RELOCS_STRIPPED)
    return ok, (f"DYNAMIC_BASE {'set' if pe.dll_characteristics & DYNAMIC_BASE else 'missing'}, "
                f"relocation table of {relocations} bytes")


def rule_high_entropy(pe, msvc):
    high = pe.dll_characteristics & HIGH_ENTROPY_VA
    large = pe.characteristics & LARGE_ADDRESS_AWARE
    return bool(high and large), (f"HIGH_ENTROPY_VA {'set' if high else 'missing'}, "
                                  f"LARGE_ADDRESS_AWARE {'set' if large else 'missing'}")


def flag_rule(flag, name):
    def rule(pe, msvc):
        present = bool(pe.dll_characteristics & flag)
        return present, f"{name} {'set' if present else 'missing'}"
    return rule


rule_nx_compat = flag_rule(NX_COMPAT, "NX_COMPAT")
rule_terminal_server_aware = flag_rule(TERMINAL_SERVER_AWARE, "TERMINAL_SERVER_AWARE")


def rule_writable_code(pe, msvc):
    both = [s.name for s in pe.headers
            if s.flags & SCN_MEM_WRITE and s.flags & SCN_MEM_EXECUTE]
    return not both, ("writable and executable: " + ", ".join(both)) if both else \
        f"{len(pe.headers)} sections, none both"


def rule_shared_writable(pe, msvc):
    shared = [s.name for s in pe.headers if s.flags & SCN_MEM_WRITE and s.flags & SCN_MEM_SHARED]
    return not shared, ("shared and writable: " + ", ".join(shared)) if shared else "none"


def rule_stack_protection(pe, msvc):
    if msvc:
        cookie = load_config_field(pe, LOAD_CONFIG_SECURITY_COOKIE)
        if not cookie:
            return False, "the load configuration names no /GS security cookie"
        value = int.from_bytes(at_rva(pe, cookie - pe.image_base, 8), "little")
        return value == MSVC_DEFAULT_COOKIE, \
            f"/GS security cookie at 0x{cookie:x}, value in the file 0x{value:016x}"
    routine, reason = stack_check_failure_routine(pe)
    if routine is None:
        return False, reason
    calls = calls_to(pe, routine)
    return calls > 0, (f"__stack_chk_fail at RVA 0x{routine:x} (fast fail, stack cookie), "
                       f"called from {calls} places")


def rule_control_flow_guard(pe, msvc):
    if not msvc:
        return None, "MinGW-w64's GCC cannot build it"
    flags = load_config_field(pe, LOAD_CONFIG_GUARD_FLAGS) or 0
    marked = pe.dll_characteristics & GUARD_CF
    return bool(marked and flags & GUARD_CF_INSTRUMENTED), \
        f"GUARD_CF {'set' if marked else 'missing'}, guard flags 0x{flags:x}"


def rule_cet(pe, msvc):
    if not msvc:
        return None, "GNU ld cannot mark it"
    flags = 0
    for kind, data in debug_entries(pe):
        if kind == DEBUG_TYPE_EX_DLLCHARACTERISTICS and len(data) >= 4:
            flags |= struct.unpack_from("<I", data, 0)[0]
    return bool(flags & EX_CET_COMPAT), \
        f"extended DLL characteristics 0x{flags:x} ({'' if flags & EX_CET_COMPAT else 'no '}CET_COMPAT)"


def rule_no_debug_information(pe, msvc):
    found = []
    if pe.symbol_count or pe.symbol_table:
        found.append(f"a COFF symbol table of {pe.symbol_count} symbols")
    # GNU ld writes long section names (.debug_info...) as /N into its string table.
    found += [f"section {s.name}" for s in pe.headers
              if s.name.startswith(".debug") or s.name.startswith("/")]
    found += [f"a {DEBUG_INFORMATION[kind]} debug directory entry"
              for kind, _ in debug_entries(pe) if kind in DEBUG_INFORMATION]
    return not found, "; ".join(found) if found else "no symbols, no debug sections or entries"


def rule_manifest(pe, msvc):
    problems = manifest_problems(pe)
    return not problems, "; ".join(problems) if problems else \
        "asInvoker, no UI access; Windows 7, 8, 8.1, 10 and 11"


def rule_no_delay_loads(pe, msvc):
    size = pe.directories[DELAY_IMPORT_DIRECTORY][1]
    found = pe.delay_imports()
    problems = ([f"a delay-import directory of {size} bytes"] if size else []) + \
        [f"delay-loads {dll} ({len(names)} functions)" for dll, names in sorted(found.items())]
    return not problems, "; ".join(problems) if problems else \
        "no delay-load descriptor, listed or by its shape"


def rule_imports(pe, msvc):
    problems, lists = import_problems(pe)
    return not problems, "; ".join(problems) if problems else lists[0]


RULES = [
    ("ASLR: DYNAMIC_BASE with a relocation table", rule_dynamic_base),
    ("64-bit ASLR: HIGH_ENTROPY_VA", rule_high_entropy),
    ("DEP: NX_COMPAT", rule_nx_compat),
    ("TERMINAL_SERVER_AWARE", rule_terminal_server_aware),
    ("no section writable and executable", rule_writable_code),
    ("no shared writable section", rule_shared_writable),
    ("stack protection", rule_stack_protection),
    ("control flow guard", rule_control_flow_guard),
    ("CET shadow stack compatible", rule_cet),
    ("no debug information", rule_no_debug_information),
    ("manifest", rule_manifest),
    ("imports", rule_imports),
    ("no import slot written at run time", rule_no_delay_loads),
]


# --- each rule broken on purpose, on a copy of the program in memory

def patched(data, at, new):
    return data[:at] + new + data[at + len(new):]


def without_dll_characteristic(flag):
    def brake(pe):
        at = pe.optional_offset + 70
        return patched(pe.data, at, struct.pack("<H", pe.dll_characteristics & ~flag))
    return brake


def with_section_flag(wanted, added):
    def brake(pe):
        i = next(i for i, s in enumerate(pe.headers) if s.flags & wanted)
        at = pe.section_table + 40 * i + 36
        return patched(pe.data, at, struct.pack("<I", pe.headers[i].flags | added))
    return brake


def without_stack_checks(pe):
    """Every call to the stack-check failure routine (or, with MSVC, the
    cookie) gone, as in a program built without the option."""
    if is_msvc(pe):
        config = pe.offset(pe.directories[LOAD_CONFIG_DIRECTORY][0])
        return patched(pe.data, config + LOAD_CONFIG_SECURITY_COOKIE[0], bytes(8))
    routine, _ = stack_check_failure_routine(pe)
    data = bytearray(pe.data)
    for section in executable_sections(pe):
        for at in range(section.raw, section.raw + section.raw_size - 4):
            rva = section.rva + at - section.raw
            if data[at] == 0xE8 and rva + 5 + struct.unpack_from("<i", data, at + 1)[0] == routine:
                data[at:at + 5] = b"\x90" * 5
    return bytes(data)


def without_cet_compatibility(pe):
    rva, size = pe.directories[DEBUG_DIRECTORY]
    block = pe.offset(rva)
    data = pe.data
    for at in range(block, block + size - 27, 28):
        kind, length, _, raw = struct.unpack_from("<IIII", data, at + 12)
        if kind == DEBUG_TYPE_EX_DLLCHARACTERISTICS:
            data = patched(data, raw, bytes(length))
    return data


def with_symbol_table(pe):
    return patched(pe.data, pe.pe_offset + 12, struct.pack("<II", 0x400, 1))


def replaced(old, new):
    def brake(pe):
        assert len(old) == len(new)
        at = pe.data.find(old)
        if at < 0:
            raise ValueError(f"{old!r} is not in the program")
        return patched(pe.data, at, new)
    return brake


def with_delay_descriptor(pe):
    """A delay-load descriptor as dlltool writes one (the directory entry left
    empty) for the first DLL the program imports, in the DOS stub's place."""
    lookup, _, _, name, first = struct.unpack_from(
        "<IIIII", pe.data, pe.offset(pe.directories[IMPORT_DIRECTORY][0]))
    descriptor = struct.pack("<8I", 1, name, 0, first, lookup or first, 0, 0, 0)
    return patched(pe.data, 0x40, descriptor)


BREAKS = {
    rule_dynamic_base: without_dll_characteristic(DYNAMIC_BASE),
    rule_high_entropy: without_dll_characteristic(HIGH_ENTROPY_VA),
    rule_nx_compat: without_dll_characteristic(NX_COMPAT),
    rule_terminal_server_aware: without_dll_characteristic(TERMINAL_SERVER_AWARE),
    rule_writable_code: with_section_flag(SCN_MEM_EXECUTE, SCN_MEM_WRITE),
    rule_shared_writable: with_section_flag(SCN_MEM_WRITE, SCN_MEM_SHARED),
    rule_stack_protection: without_stack_checks,
    rule_control_flow_guard: without_dll_characteristic(GUARD_CF),
    rule_cet: without_cet_compatibility,
    rule_no_debug_information: with_symbol_table,
    rule_manifest: replaced(b'"asInvoker"', b'"highestAv"'),
    rule_imports: replaced(b"SetDllDirectoryA\0", b"SetDllDirectoryW\0"),
    rule_no_delay_loads: with_delay_descriptor,
}


def break_each_rule(pe, msvc):
    """Breaks each rule in turn on a copy of the program and checks that the
    rule, which passes on the program itself, fails. Returns the failures."""
    failures = 0
    for name, rule in RULES:
        brake = BREAKS.get(rule)
        verdict, _ = rule(pe, msvc)
        if verdict is None or brake is None:
            print(f"SKIP  {name}: not checked for this toolchain" if verdict is None
                  else f"SKIP  {name}: no way to break it here")
            continue
        broken = Program(brake(pe))
        after, detail = rule(broken, is_msvc(broken))
        ok = verdict is True and after is False
        failures += not ok
        print(f"{'PASS' if ok else 'FAIL'}  {name}: broken, it says FAIL: {detail}" if ok else
              f"FAIL  {name}: passes on the program {verdict}, on the broken copy {after}")
    return failures


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("exe")
    parser.add_argument("--toolchain", choices=("auto", "mingw", "msvc"), default="auto",
                        help="the toolchain the program must have been built with "
                             "(auto: whichever built it)")
    parser.add_argument("--break-each-rule", action="store_true",
                        help="check the checker: break each rule on a copy of the program "
                             "and see that rule fail")
    args = parser.parse_args()
    with open(args.exe, "rb") as f:
        pe = Program(f.read())
    msvc = is_msvc(pe)
    if args.break_each_rule:
        return 1 if break_each_rule(pe, msvc) else 0
    built_by = "MSVC" if msvc else "MinGW-w64"
    print(f"{args.exe}: built by {built_by} (linker {pe.linker_version[0]}.{pe.linker_version[1]})")
    failed = 0
    if args.toolchain != "auto" and (args.toolchain == "msvc") != msvc:
        print(f"FAIL  toolchain: expected {args.toolchain}, built by {built_by}")
        failed += 1
    for name, rule in RULES:
        try:
            verdict, detail = rule(pe, msvc)
        except (ValueError, struct.error) as error:
            verdict, detail = False, f"unreadable: {error}"
        word = "SKIP" if verdict is None else "PASS" if verdict else "FAIL"
        failed += verdict is False
        print(f"{word}  {name}: {detail}")
    print(f"{len(RULES)} rules, {failed} failed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
