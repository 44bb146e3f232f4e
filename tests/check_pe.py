#!/usr/bin/env python3
"""Checks kalvo-update.exe as a binary analyzer checks an x64 PE that users
download, and prints each rule with PASS, FAIL, or NOT MET where the
toolchain that built it cannot meet the rule; the summary counts the three
apart. Exit status 0 when no rule fails.

  check_pe.py EXE [--toolchain auto|mingw|msvc] [--build DIR]
              [--break-each-rule [--save-copies DIR]]
              [--prove [--wine WINE] [--wine-prefix DIR] [--e2e RUNNER OPTIONS...]]

--toolchain says which toolchain must have built it (a CI job that builds
with Visual Studio passes msvc); --build names the program's build folder,
whose compile commands and link map must show every object of the
project's compiled with stack protection (release/protected_objects.py);
--prove then proves the stack protection under Wine's debugger
(prove_stack.py), with no Kalvo and, given e2e/run_e2e.py's options after
--e2e, in a full update on the test DLLs. --break-each-rule checks the
check instead: it breaks the program in each way its tables list, on a copy,
and expects the rule broken (with --prove, the proofs too) to fail;
--save-copies writes each broken copy to DIR, to be run or read with other
tools.

The rules:
  - ASLR: DYNAMIC_BASE, with a relocation table to move the image by;
  - 64-bit ASLR: HIGH_ENTROPY_VA, with LARGE_ADDRESS_AWARE, and the image
    based above 4 GB;
  - DEP: NX_COMPAT;
  - TERMINAL_SERVER_AWARE;
  - no section both writable and executable, none shared and writable, and
    none executable but code sections, which hold no table that a data
    directory names;
  - stack protection: with MSVC (/GS), the security cookie that the load
    configuration names, still holding MSVC's default value for the loader
    to replace; with MinGW-w64 (-fstack-protector-strong), the guard, its
    checks and its failure routine as the code shows them (see below);
  - control flow guard: the GUARD_CF bit with a load configuration whose
    guard table and flags back it; the bit alone fails (clang's -mguard=cf
    against a runtime without guard data); MinGW-w64 builds none;
  - CET shadow-stack compatibility: the debug directory's mark; MSVC and
    LLD (--Xlink=/cetcompat) can set it, GNU ld cannot;
  - no debug information (the program is a release build);
  - the manifest: asInvoker without UI access, every supported Windows, and
    no element the program does not need (a <file> or <dependency> element
    would have Windows look for a DLL in the program's folder);
  - the imports as tests/check_imports.py wants them;
  - no import slot written at run time: no delay-load descriptors, whether
    the delay-import directory lists them (MSVC) or not (dlltool's, which
    leave it empty and are found by their shape: bit 0 of the attributes,
    as the helper reads it, and any name), and no code that writes an
    import slot or takes its address. MSVC's linker and LLD put the import
    address table into read-only .rdata and GNU ld makes .idata read-only
    from binutils 2.44 on (Debian 13), so that the delay-load helper, which
    writes each address it resolves into its table, crashes there; GNU ld
    2.40 (Debian 12) leaves .idata writable. The program looks its
    functions up itself instead.

A MinGW-w64 program is stripped and statically linked, so no symbol names
__stack_chk_fail or the guard: the rule reads the code (x64_code.py, which
decodes with capstone; the headers are pefile's), each function within the
extent that the exception directory's function table gives it, and finds
them by what they do:
  - the failure routine ends the process with a fast fail (int 0x29) of
    code 2, FAST_FAIL_STACK_COOKIE_CHECK_FAILURE, itself or by calling the
    routine that does (updater/stack_protector_mingw.cpp, as MSVC's /GS
    failure does), and cannot return: every path through it ends in a fast
    fail, a trap (ud2) or a call to a routine that cannot return;
  - a protected function copies all 64 bits of the guard into its frame in
    its prologue: a load of the guard, directly or through the pointer the
    compiler keeps to it, into a register that is stored in the frame at
    once (GCC) or once mixed with the stack pointer (clang);
  - each such function compares its copy with the guard on the way out
    (GCC: sub, xor or cmp with the guard in memory; clang: the copy loaded,
    the stack pointer mixed back out, compared with the guard in a register)
    and, when they differ, branches to a call of the failure routine;
  - a constructor of the list that MinGW-w64's start-up code runs before
    main (the linker's __CTOR_LIST__, which the code names) writes the
    guard, with a number from the processor's generator (RDRAND or RDSEED)
    among what it mixes in.
Each function is judged on its own: the rule fails a program where any
protected function lacks its check, not only one where no check is left.
What a reading of the code cannot tell (whether the checks run and fire,
whether the guard is random, whether a function escaped the option) the
build's facts (--build) and the run under Wine (--prove) tell.

Needs Python 3 with capstone and pefile (Debian: python3-capstone,
python3-pefile; elsewhere pip install capstone pefile), on any system; the
import rules are check_imports', the resources check_resources'.
"""

import argparse
import json
import re
import shutil
import struct
import subprocess
import sys
import tempfile
from pathlib import Path

import prove_stack

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "release"))
import protected_objects  # noqa: E402
from check_imports import DELAY_IMPORT_DIRECTORY, IMPORT_DIRECTORY, Program, import_problems
from check_resources import manifest_problems
from x64_code import CALL, GROUP_0FC7, INT, JMP, JMP_SHORT, RBP, RSP, UD2, decode

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
SCN_CNT_CODE = 0x00000020
SCN_MEM_SHARED = 0x10000000
SCN_MEM_EXECUTE = 0x20000000
SCN_MEM_WRITE = 0x80000000
# Data directories.
EXCEPTION_DIRECTORY = 3
IMPORT_ADDRESS_TABLE_DIRECTORY = 12
# High-entropy ASLR places a 64-bit image anywhere; one based below 4 GB is
# placed below it when the loader cannot relocate it, where 32-bit pointer
# truncation goes unnoticed.
FOUR_GB = 1 << 32
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
LOAD_CONFIG_GUARD_FUNCTION_TABLE = (128, 8)
LOAD_CONFIG_GUARD_FUNCTION_COUNT = (136, 8)
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


def decoded(pe):
    """{begin: instructions} of every function the table lists, decoded once
    for the program: the stack-protection and import-slot rules read them all."""
    if getattr(pe, "decoded_functions", None) is None:
        pe.decoded_functions = {begin: code_of(pe, begin, end) for begin, end in functions(pe)}
    return pe.decoded_functions


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


def instruction_at(pe, rva):
    return decode(pe.data, pe.offset(rva), rva)


def code_of(pe, begin, end=None):
    """The instructions of the function at `begin`: up to `end`, or, for a
    function the table does not list, up to the first that does not go on."""
    found, at = [], begin
    while end is None or at < end:
        found.append(instruction_at(pe, at))
        at = found[-1].end
        if end is None and found[-1].ends_path():
            break
    return found


def constructors(pe, named):
    """The functions that MinGW-w64's start-up code calls before main: the
    linker's __CTOR_LIST__, -1, their addresses, then 0, in the code section,
    or in .rdata from binutils 2.44 on (the list of destructors, of the same
    shape and most often empty, comes after it), with the list's RVA. Of the
    lists of that shape, the one the start-up code reads: libmingw32's
    __do_global_ctors takes __CTOR_LIST__ through the pointer the compiler
    keeps to it (.refptr), so a list some instruction reaches through a
    pointer comes first, one it names directly (GCC 16 leaves a -1, an
    address and a 0 in .data for another use) only where no list is reached
    through a pointer. Start-up code reads a list whose first word is not -1
    as a count, so no list of another shape counts. `named`: the RVAs the
    code names."""
    through_pointer = {pointer_at(pe, rva) for rva in named}
    found = {}
    for section in pe.headers:
        data = pe.data[section.raw:section.raw + min(section.raw_size, section.virtual_size)]
        at = data.find(b"\xff" * 8)
        while at >= 0:
            listed = []
            for entry in range(at + 8, len(data) - 7, 8):
                address = struct.unpack_from("<Q", data, entry)[0]
                if address == 0 or not in_code(pe, address):
                    break
                listed.append(address - pe.image_base)
            else:
                address = None
            rva = section.rva + at
            if listed and address == 0 and (rva in through_pointer or rva in named):
                found.setdefault(rva in through_pointer, (rva, listed))
            at = data.find(b"\xff" * 8, at + 1)
    return found.get(True) or found.get(False) or (None, [])


def in_code(pe, address):
    rva = address - pe.image_base
    return any(s.rva <= rva < s.rva + s.virtual_size for s in executable_sections(pe))


def is_writable_data(pe, rva):
    return any(s.rva <= rva < s.rva + s.virtual_size and s.flags & SCN_MEM_WRITE and
               not s.flags & SCN_MEM_EXECUTE for s in pe.headers)


def pointer_at(pe, rva):
    """The RVA that the address stored at `rva` names, or None."""
    try:
        return struct.unpack_from("<Q", pe.data, pe.offset(rva))[0] - pe.image_base
    except (ValueError, struct.error):
        return None


MOV_LOAD, MOV_STORE, MOV_STORE_IMMEDIATE, LEA = 0x8B, 0x89, 0xC7, 0x8D
# What a call may change, in the Windows x64 calling convention: rax, rcx,
# rdx, r8 to r11.
VOLATILE_REGISTERS = (0, 1, 2, 8, 9, 10, 11)
COMPARISONS = {0x29, 0x2B, 0x31, 0x33, 0x39, 0x3B}  # sub, xor, cmp, either way round
XORS = {0x31, 0x33}
NOT_EQUAL, EQUAL = 5, 4


class GuardUse:
    """What one function does with globals the way a stack protector uses
    its guard: `copies`, the globals it copies into its frame (`stores`, the
    instructions that store each copy); `checks`, (global, where the failure
    path starts) for each comparison with a global that a jump on equality
    follows (`jumps`, those jumps); `writes`, (global, store). A global is
    named by its RVA, whether an instruction names it or reaches it through a
    register holding its address, which the compiler loads from a pointer it
    keeps to the global (.refptr) or with lea.

    Two shapes are known. GCC copies the guard as it is and compares the
    copy with the guard in memory (sub, xor or cmp). Clang for Windows mixes
    the stack pointer into its copy (xor with rsp) and, on the way out,
    loads the copy, mixes the stack pointer back out and compares it with
    the guard in registers. Either way a copy is a 64-bit load of the guard
    stored whole into the frame, with at most that xor between: a 32-bit
    global moved to the stack is no copy."""

    def __init__(self, pe, code):
        self.copies, self.checks, self.writes, self.stores = [], [], [], []
        self.jumps = []
        holds_address, holds_value = {}, {}  # register: the global's RVA
        holds_copy = {}  # register: the global whose frame copy it was loaded from
        slots = {}  # (base register, displacement): the global copied there

        def variable(rva):
            return rva if rva is not None and is_writable_data(pe, rva) else None

        def loaded_whole(at, register):
            """Whether code[at] loads all 64 bits of a global into `register`."""
            load = code[at] if at >= 0 else None
            return load is not None and load.opcode == MOV_LOAD and load.wide and \
                load.reg == register and holds_value.get(register) is not None

        def mixes_stack_pointer(ins, register):
            return ins.opcode in XORS and ins.wide and not ins.memory and \
                {ins.reg, ins.rm} == {register, RSP}

        for i, ins in enumerate(code):
            named = None
            if ins.memory and ins.index is None:
                named = ins.rip if ins.rip is not None else \
                    holds_address.get(ins.rm) if ins.disp == 0 else None
            if ins.opcode in (MOV_LOAD, LEA):
                for holds in (holds_address, holds_value, holds_copy):
                    holds.pop(ins.reg, None)
                if named is not None and ins.opcode == LEA:
                    holds_address[ins.reg] = variable(named)
                elif named is not None:
                    holds_value[ins.reg] = variable(named)
                    holds_address[ins.reg] = variable(pointer_at(pe, named))
                elif ins.opcode == MOV_LOAD and ins.memory and ins.wide and \
                        (ins.rm, ins.disp) in slots:
                    holds_copy[ins.reg] = slots[(ins.rm, ins.disp)]
            elif ins.opcode == CALL:
                for register in VOLATILE_REGISTERS:
                    for holds in (holds_address, holds_value, holds_copy):
                        holds.pop(register, None)
            elif ins.opcode == MOV_STORE and ins.memory and ins.wide and \
                    ins.rm in (RSP, RBP) and ins.index is None and \
                    (loaded_whole(i - 1, ins.reg) or (
                        mixes_stack_pointer(code[i - 1], ins.reg) and
                        loaded_whole(i - 2, ins.reg))):
                self.copies.append(holds_value[ins.reg])
                self.stores.append(ins)
                slots[(ins.rm, ins.disp)] = holds_value[ins.reg]
            elif ins.opcode in (MOV_STORE, MOV_STORE_IMMEDIATE) and named is not None:
                self.writes.append((named, ins))
            elif ins.opcode in COMPARISONS and ins.wide and i + 1 < len(code) and \
                    code[i + 1].is_jcc() and code[i + 1].condition() in (EQUAL, NOT_EQUAL):
                compared = named
                if not ins.memory:
                    pair = (holds_value.get(ins.reg), holds_copy.get(ins.rm)), \
                        (holds_value.get(ins.rm), holds_copy.get(ins.reg))
                    compared = next((g for g, c in pair if g is not None and g == c), None)
                if compared is not None:
                    jump = code[i + 1]
                    self.checks.append((compared, jump.target if jump.condition() == NOT_EQUAL
                                        else jump.end))
                    self.jumps.append(jump)


def call_on_path(pe, rva):
    """The `call rel32` that a failure path starts with, past any jumps to
    it, or None."""
    for _ in range(4):
        ins = instruction_at(pe, rva)
        if ins.opcode not in (JMP, JMP_SHORT):
            return ins if ins.opcode == CALL else None
        rva = ins.target
    return None


def returns(pe, begin, extents, assumed=frozenset()):
    """Where the routine at `begin` can return from (None when it cannot):
    a ret, or running past its end. A path ends at a fast fail, a trap or
    a call of a routine that cannot return; calls through a pointer and
    jumps out of the routine count as returning."""
    end = extents.get(begin)
    if end is None:
        return begin
    pending, seen = [begin], set()
    while pending:
        at = pending.pop()
        while at not in seen:
            seen.add(at)
            if not begin <= at < end:
                return at
            ins = instruction_at(pe, at)
            if ins.opcode == UD2 or (ins.opcode == INT and ins.immediate == 0x29):
                break
            if ins.opcode in (JMP, JMP_SHORT):
                at = ins.target
                continue
            if ins.ends_path():  # a ret, or a jump through a pointer
                return ins.at
            if ins.is_jcc():
                pending.append(ins.target)
            if ins.opcode == CALL and ins.target not in assumed and \
                    returns(pe, ins.target, extents, assumed | {begin}) is None:
                break
            at = ins.end
    return None


def is_hardware_random(ins):
    """RDRAND or RDSEED into a register."""
    return ins.opcode == GROUP_0FC7 and not ins.memory and ins.reg & 7 in (6, 7)


class StackProtection:
    """The program's code read for GCC's stack protector: the failure
    routine, each function's use of the guard, the constructors."""

    def __init__(self, pe):
        self.routine, self.problem = stack_check_failure_routine(pe)
        self.extents = dict(functions(pe))
        codes = decoded(pe)
        self.uses = {begin: GuardUse(pe, code) for begin, code in codes.items()}
        self.guards = sorted({g for use in self.uses.values() for g in use.copies})
        self.constructor_list, self.constructors = constructors(pe, {ins.rip for code in codes.values() for ins in code
                                              if ins.rip is not None})
        self.code = {c: code_of(pe, c, self.extents.get(c)) for c in self.constructors}
        self.seeding = [(c, store) for c in self.constructors
                        for g, store in GuardUse(pe, self.code[c]).writes if g in self.guards]
        self.pe = pe

    def protected(self):
        return [b for b, use in self.uses.items() if use.copies]

    def checked(self, begin):
        """The calls of the failure routine that the function's checks of
        its guard lead to."""
        use = self.uses[begin]
        calls = [call_on_path(self.pe, path) for g, path in use.checks if g in use.copies]
        return [c for c in calls if c is not None and c.target == self.routine]

    def seeding_code(self, constructor):
        """The instructions of the constructor and of the routines it calls."""
        called = {ins.target for ins in self.code[constructor] if ins.opcode == CALL}
        return self.code[constructor] + [ins for c in sorted(called) if c in self.extents
                                         for ins in code_of(self.pe, c, self.extents[c])]


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
    found = StackProtection(pe)
    if found.routine is None:
        return False, found.problem
    name = f"__stack_chk_fail (RVA 0x{found.routine:x})"
    returned = returns(pe, found.routine, found.extents)
    if returned is not None:
        return False, f"{name} can return (at RVA 0x{returned:x})"
    if len(found.guards) != 1:
        return False, ("no function copies a guard into its frame" if not found.guards else
                       "functions copy different guards: " +
                       ", ".join(f"RVA 0x{g:x}" for g in found.guards))
    guard = f"the guard (RVA 0x{found.guards[0]:x})"
    protected = found.protected()
    unchecked = [b for b in protected if not found.checked(b)]
    if unchecked:
        return False, (f"{len(unchecked)} of the {len(protected)} functions that copy {guard} "
                       f"into their frame never compare it and call {name}: " +
                       ", ".join(f"RVA 0x{b:x}" for b in unchecked))
    if not found.seeding:
        return False, (f"no constructor writes {guard}: it keeps the value it has in the file "
                       f"({len(found.constructors)} constructors)")
    seeding = found.seeding[0][0]
    if not any(is_hardware_random(ins) for ins in found.seeding_code(seeding)):
        return False, (f"the constructor at RVA 0x{seeding:x} writes {guard} with no number "
                       "from the processor's generator (RDRAND or RDSEED)")
    return True, (f"{len(protected)} functions copy {guard} into their frame and compare it "
                  f"on the way out, calling {name}, which fails fast and cannot return; the "
                  f"constructor at RVA 0x{seeding:x} writes it before main, with RDRAND or "
                  "RDSEED")


NOT_MET_BY_MINGW = "MinGW-w64 cannot build it"


def rule_control_flow_guard(pe, msvc):
    """The header bit counts only with what Windows enforces it by: a load
    configuration with the guard function table and GuardFlags saying the
    code is instrumented. The bit alone (clang's -mguard=cf against a
    MinGW-w64 runtime without guard data) protects nothing, though an
    analyzer reading the header would call it protected."""
    marked = pe.dll_characteristics & GUARD_CF
    flags = load_config_field(pe, LOAD_CONFIG_GUARD_FLAGS) or 0
    table = load_config_field(pe, LOAD_CONFIG_GUARD_FUNCTION_TABLE) or 0
    count = load_config_field(pe, LOAD_CONFIG_GUARD_FUNCTION_COUNT) or 0
    data = bool(flags & GUARD_CF_INSTRUMENTED and table and count)
    detail = (f"GUARD_CF {'set' if marked else 'missing'}, guard flags 0x{flags:x}, "
              f"{count} functions in the guard table")
    if marked and not data:
        return False, f"header bit without guard data: {detail}"
    if not msvc and not marked:
        return None, NOT_MET_BY_MINGW
    return bool(marked and data), detail


def rule_cet(pe, msvc):
    flags = 0
    for kind, data in debug_entries(pe):
        if kind == DEBUG_TYPE_EX_DLLCHARACTERISTICS and len(data) >= 4:
            flags |= struct.unpack_from("<I", data, 0)[0]
    marked = bool(flags & EX_CET_COMPAT)
    detail = f"extended DLL characteristics 0x{flags:x} ({'' if marked else 'no '}CET_COMPAT)"
    if not msvc and not marked:
        return None, "not marked: LLD marks it (-Wl,--Xlink=/cetcompat), GNU ld cannot"
    return marked, detail


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


def import_slot_writes(pe):
    """The instructions that write an import address table slot or take its
    address, as a routine that resolves imports itself does; reading a slot
    or calling through it is what the loader's table is for."""
    rva, size = pe.directories[IMPORT_ADDRESS_TABLE_DIRECTORY]
    if not size:
        return []
    return [ins for code in decoded(pe).values() for ins in code
            if ins.rip is not None and rva <= ins.rip < rva + size and
            (ins.writes_memory or ins.opcode == LEA)]


def rule_no_delay_loads(pe, msvc):
    size = pe.directories[DELAY_IMPORT_DIRECTORY][1]
    found = pe.delay_imports()
    problems = ([f"a delay-import directory of {size} bytes"] if size else []) + \
        [f"delay-loads {dll} ({len(names)} functions)" for dll, names in sorted(found.items())]
    problems += [f"the code at RVA 0x{ins.at:x} writes the import slot at RVA 0x{ins.rip:x}"
                 f" ({ins.mnemonic})" for ins in import_slot_writes(pe)]
    return not problems, "; ".join(problems) if problems else \
        "no delay-load descriptor, listed or by its shape; no code writes an import slot"


def rule_image_base(pe, msvc):
    return pe.image_base >= FOUR_GB, f"image base 0x{pe.image_base:x}" + \
        ("" if pe.image_base >= FOUR_GB else ", below 4 GB")


def rule_only_code_executes(pe, msvc):
    """Executable sections are code sections, and hold none of the tables a
    data directory names (exception, relocation, import...). GNU ld marks
    its code section as initialized data too, so that flag says nothing."""
    wrong = []
    for section in executable_sections(pe):
        tables = [i for i, (rva, size) in enumerate(pe.directories)
                  if size and section.rva <= rva < section.rva + section.virtual_size]
        if not section.flags & SCN_CNT_CODE or tables:
            wrong.append(section.name + (f" (holds data directories {tables})" if tables else ""))
    names = ", ".join(s.name for s in executable_sections(pe))
    return not wrong, ("executable but not only code: " + ", ".join(wrong)) if wrong else \
        f"only {names} executes"


def rule_imports(pe, msvc):
    problems, lists = import_problems(pe)
    return not problems, "; ".join(problems) if problems else lists[0]


RULES = [
    ("ASLR: DYNAMIC_BASE with a relocation table", rule_dynamic_base),
    ("64-bit ASLR: HIGH_ENTROPY_VA", rule_high_entropy),
    ("DEP: NX_COMPAT", rule_nx_compat),
    ("TERMINAL_SERVER_AWARE", rule_terminal_server_aware),
    ("image base above 4 GB", rule_image_base),
    ("no section writable and executable", rule_writable_code),
    ("no executable section but code", rule_only_code_executes),
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


def with_guard_cf_bit_alone(pe):
    """The header bit set where the load configuration has no guard data (a
    program without control flow guard), as -mguard=cf does against a runtime
    without it."""
    if load_config_field(pe, LOAD_CONFIG_GUARD_FUNCTION_COUNT):
        return None
    at = pe.optional_offset + 70
    return patched(pe.data, at, struct.pack("<H", pe.dll_characteristics | GUARD_CF))


def with_image_base(base):
    def brake(pe):
        return patched(pe.data, pe.optional_offset + 24, struct.pack("<Q", base))
    return brake


def with_named_section_flag(names, added):
    """`added` set on the first section of those `names` that the program has
    (MSVC merges the exception and import tables into .rdata)."""
    def brake(pe):
        found = [i for i, s in enumerate(pe.headers) if s.name in names]
        if not found:
            return None
        at = pe.section_table + 40 * found[0] + 36
        return patched(pe.data, at, struct.pack("<I", pe.headers[found[0]].flags | added))
    return brake


def with_import_slot_write(pe):
    """The first load of an import slot (mov reg, [slot]) made a store into
    it (mov [slot], reg): the same bytes but the opcode."""
    rva, size = pe.directories[IMPORT_ADDRESS_TABLE_DIRECTORY]
    for code in decoded(pe).values():
        for ins in code:
            if ins.opcode == MOV_LOAD and ins.rip is not None and rva <= ins.rip < rva + size:
                at = pe.data.find(b"\x8b", pe.offset(ins.at), pe.offset(ins.end))
                return patched(pe.data, at, b"\x89")
    return None


def without_stack_checks(pe):
    """Every call of the stack-check failure routine gone (or, with MSVC, the
    cookie), as in a program built without the option."""
    if is_msvc(pe):
        config = pe.offset(pe.directories[LOAD_CONFIG_DIRECTORY][0])
        return patched(pe.data, config + LOAD_CONFIG_SECURITY_COOKIE[0], bytes(8))
    return with_stack_check_calls_left(0)(pe)


def with_stack_check_calls_left(kept):
    def brake(pe):
        if is_msvc(pe):
            return None
        routine, _ = stack_check_failure_routine(pe)
        data = bytearray(pe.data)
        left = kept
        for section in executable_sections(pe):
            for at in range(section.raw, section.raw + section.raw_size - 4):
                rva = section.rva + at - section.raw
                if data[at] == 0xE8 and \
                        rva + 5 + struct.unpack_from("<i", data, at + 1)[0] == routine:
                    left -= 1
                    if left < 0:
                        data[at:at + 5] = b"\x90" * 5
        return bytes(data)
    return brake


def without_guard_seeding(pe):
    """The constructor's store of the guard replaced with NOPs: the guard
    keeps the value it has in the file."""
    seeding = [] if is_msvc(pe) else StackProtection(pe).seeding
    data = pe.data
    for _, store in seeding:
        data = patched(data, pe.offset(store.at), b"\x90" * store.size)
    return data if seeding else None


def without_constructor_marker(pe):
    """The constructor list's -1 made 0, which start-up code reads as a count
    of no constructors: the seeding never runs."""
    found = None if is_msvc(pe) else StackProtection(pe).constructor_list
    return None if found is None else patched(pe.data, pe.offset(found), bytes(8))


def with_returning_failure_routine(pe):
    routine = None if is_msvc(pe) else stack_check_failure_routine(pe)[0]
    return None if routine is None else patched(pe.data, pe.offset(routine), bytes([0xC3]))


def without_hardware_random(pe):
    """Every RDRAND and RDSEED of the seeding constructor, and of what it
    calls, replaced with NOPs."""
    found = None if is_msvc(pe) else StackProtection(pe)
    if not found or not found.seeding:
        return None
    data = pe.data
    for ins in found.seeding_code(found.seeding[0][0]):
        if is_hardware_random(ins):
            data = patched(data, pe.offset(ins.at), b"\x90" * ins.size)
    return data


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


def with_delay_descriptor(attributes, name=None):
    """A delay-load descriptor as dlltool writes one (the directory entry left
    empty) for the first DLL the program imports, or for `name`, in the
    middle of the largest read-only data section (the firmware images)."""
    def brake(pe):
        lookup, _, _, first_name, first = struct.unpack_from(
            "<IIIII", pe.data, pe.offset(pe.directories[IMPORT_DIRECTORY][0]))
        section = max((s for s in pe.headers if not s.flags & (SCN_MEM_WRITE | SCN_MEM_EXECUTE)),
                      key=lambda s: s.raw_size)
        handle = next(s for s in pe.headers if s.flags & SCN_MEM_WRITE).rva
        at = section.raw + section.raw_size // 2 & ~7
        rva = section.rva + at - section.raw
        descriptor = struct.pack("<8I", attributes, rva + 32 if name else first_name, handle,
                                 first, lookup or first, 0, 0, 0)
        return patched(pe.data, at, descriptor + (name.encode() + b"\0" if name else b""))
    return brake


# Each way the check breaks a rule: the rule, what is broken, how.
BREAKS = [
    (rule_dynamic_base, "DYNAMIC_BASE cleared", without_dll_characteristic(DYNAMIC_BASE)),
    (rule_high_entropy, "HIGH_ENTROPY_VA cleared", without_dll_characteristic(HIGH_ENTROPY_VA)),
    (rule_nx_compat, "NX_COMPAT cleared", without_dll_characteristic(NX_COMPAT)),
    (rule_terminal_server_aware, "TERMINAL_SERVER_AWARE cleared",
     without_dll_characteristic(TERMINAL_SERVER_AWARE)),
    (rule_writable_code, "the code section made writable",
     with_section_flag(SCN_MEM_EXECUTE, SCN_MEM_WRITE)),
    (rule_shared_writable, "a writable section shared", with_section_flag(SCN_MEM_WRITE,
                                                                          SCN_MEM_SHARED)),
    (rule_image_base, "the image based at 0x400000", with_image_base(0x400000)),
    (rule_only_code_executes, "the read-only data made executable",
     with_named_section_flag((".rdata",), SCN_MEM_EXECUTE)),
    (rule_only_code_executes, "the exception tables made executable",
     with_named_section_flag((".pdata", ".xdata"), SCN_MEM_EXECUTE)),
    (rule_only_code_executes, "the relocations made executable",
     with_named_section_flag((".reloc",), SCN_MEM_EXECUTE)),
    (rule_only_code_executes, "the import tables made executable",
     with_named_section_flag((".idata",), SCN_MEM_EXECUTE)),
    (rule_stack_protection, "every check's call of the failure routine removed",
     without_stack_checks),
    (rule_stack_protection, "all but one of those calls removed", with_stack_check_calls_left(1)),
    (rule_stack_protection, "the guard's seeding store replaced with NOPs", without_guard_seeding),
    (rule_stack_protection, "the constructor list's -1 made a count of none",
     without_constructor_marker),
    (rule_stack_protection, "__stack_chk_fail made to return at once",
     with_returning_failure_routine),
    (rule_stack_protection, "RDRAND and RDSEED taken out of the seeding", without_hardware_random),
    (rule_control_flow_guard, "GUARD_CF cleared", without_dll_characteristic(GUARD_CF)),
    (rule_control_flow_guard, "GUARD_CF set without guard data", with_guard_cf_bit_alone),
    (rule_cet, "CET_COMPAT cleared", without_cet_compatibility),
    (rule_no_debug_information, "a symbol table added", with_symbol_table),
    (rule_manifest, "highestAvailable asked", replaced(b'"asInvoker"', b'"highestAv"')),
    (rule_manifest, "a <file> element that redirects version.dll to the program's folder",
     replaced(b"<!-- Windows 10 and 11 -->", b'<file name="version.dll"/>')),
    (rule_imports, "SetDllDirectoryW imported instead",
     replaced(b"SetDllDirectoryA\0", b"SetDllDirectoryW\0")),
    (rule_no_delay_loads, "a delay-load descriptor added", with_delay_descriptor(1)),
    (rule_no_delay_loads, "a read of an import slot made a write", with_import_slot_write),
    (rule_no_delay_loads, "a delay-load descriptor with attributes 3 added",
     with_delay_descriptor(3)),
    (rule_no_delay_loads, "a delay-load descriptor naming hid without .dll added",
     with_delay_descriptor(1, "hid")),
]


# --- breaks that only the run-time proofs catch: each broken copy still reads
# as protected to a static reading, or is judged here by what it does

def with_dead_checks(pe):
    """Every check's branch made to take the normal way out, whatever the
    comparison found: the checks are there and never fire."""
    data = pe.data
    for use in StackProtection(pe).uses.values():
        for jump in use.jumps:
            at = pe.offset(jump.at)
            if jump.condition() == NOT_EQUAL:
                data = patched(data, at, b"\x90" * jump.size)
            elif jump.size == 2:
                data = patched(data, at, b"\xeb")
            else:
                data = patched(data, at, b"\x90\xe9")
    return data


def with_failure_code(code):
    def brake(pe):
        routine, _ = stack_check_failure_routine(pe)
        begin = pe.offset(routine)
        end = begin + StackProtection(pe).extents[routine] - routine
        at = pe.data.find(STACK_COOKIE_FAILURE_CODE, begin, end)
        return patched(pe.data, at, b"\xb9" + struct.pack("<I", code))
    return brake


def with_trap_before_fast_fail(pe):
    return patched(pe.data, pe.data.find(FAST_FAIL), b"\x0f\x0b")


# Each way the proofs are shown to catch: what is broken, how.
BEHAVIOUR_BREAKS = [
    ("the guard's seeding store replaced with NOPs", without_guard_seeding),
    ("the constructor list's -1 made a count of none", without_constructor_marker),
    ("every check's branch to the failure routine never taken", with_dead_checks),
    ("__stack_chk_fail made to return at once", with_returning_failure_routine),
    ("the failure routine failing fast with code 0", with_failure_code(0)),
    ("a trap before the fast fail", with_trap_before_fast_fail),
]


def break_each_proof(args, pe, save_to=None):
    """Runs the proofs on each broken copy of BEHAVIOUR_BREAKS, with no Kalvo
    only (enough to see each fail), and expects them to fail. Returns the
    failures."""
    failures = 0
    scratch = Path(tempfile.mkdtemp(prefix="kalvo-breaks-"))
    try:
        for number, (what, brake) in enumerate(BEHAVIOUR_BREAKS, 1):
            copy = (save_to or scratch) / \
                f"proof-{number:02d}-{re.sub('[^a-z0-9_]+', '-', what.lower())}.exe"
            data = brake(pe)
            if data is None:
                print(f"SKIP  run-time proofs, {what}: not for this program")
                continue
            copy.write_bytes(data)
            said = []
            failed = prove_program(copy, Program(copy.read_bytes()), args.wine, args.wine_prefix,
                                   None, said.append, enough=3)
            ok = failed > 0
            failures += not ok
            print(f"PASS  run-time proofs, {what}: they fail: " +
                  next(line for line in said if line.startswith("FAIL")) if ok else
                  f"FAIL  run-time proofs, {what}: they pass on the broken copy")
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
    return failures


def break_each_rule(pe, msvc, save_to=None):
    """Breaks the program in each way of BREAKS, on a copy, and checks that
    the rule broken, which passes on the program itself, fails. Returns the
    failures."""
    failures = 0
    names = {rule: name for name, rule in RULES}
    for number, (rule, what, brake) in enumerate(BREAKS, 1):
        name = f"{names[rule]}, {what}"
        verdict, _ = rule(pe, msvc)
        # A rule the toolchain does not meet is broken only by a brake that
        # fakes the protection (the GUARD_CF bit alone).
        applies = verdict is not None or brake is with_guard_cf_bit_alone
        data = brake(pe) if applies else None
        if data is None:
            print(f"SKIP  {name}: " + ("not met by this toolchain" if verdict is None
                                       else "not for this toolchain"))
            continue
        broken = Program(data)
        after, detail = rule(broken, is_msvc(broken))
        ok = verdict is not False and after is False
        failures += not ok
        print(f"PASS  {name}: broken, it says FAIL: {detail}" if ok else
              f"FAIL  {name}: passes on the program {verdict}, on the broken copy {after}")
        if save_to:
            copy = save_to / f"{number:02d}-{re.sub('[^a-z0-9_]+', '-', what.lower())}.exe"
            copy.write_bytes(data)
            print(f"      broken copy: {copy}")
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
    parser.add_argument("--save-copies", type=Path, metavar="DIR",
                        help="with --break-each-rule, write each broken copy into DIR")
    parser.add_argument("--build", type=Path, metavar="DIR",
                        help="the program's build folder: its compile commands and link map "
                             "must show every object of the project's compiled with stack "
                             "protection (MinGW-w64)")
    parser.add_argument("--prove", action="store_true",
                        help="after the rules, prove stack protection by running the program "
                             "under Wine's debugger (MinGW-w64 programs)")
    parser.add_argument("--wine", default="wine", help="with --prove: the wine command")
    parser.add_argument("--wine-prefix", help="with --prove: a plain Wine prefix for the run "
                                              "with no Kalvo (else a temporary one)")
    parser.add_argument("--e2e", nargs=argparse.REMAINDER, metavar="OPTIONS",
                        help="with --prove, last: e2e/run_e2e.py's scenario options "
                             "(--prefix, --plain-prefix, --harness, --wineserver, --vendor, "
                             "--fpga, --mcu) for a full update on the test DLLs")
    args = parser.parse_args()
    with open(args.exe, "rb") as f:
        pe = Program(f.read())
    msvc = is_msvc(pe)
    if args.break_each_rule:
        if args.save_copies:
            args.save_copies.mkdir(parents=True, exist_ok=True)
        failures = break_each_rule(pe, msvc, args.save_copies)
        if args.build and not msvc:
            with tempfile.TemporaryDirectory() as scratch:
                said = []
                broken = with_objects_unprotected(args.build, Path(scratch), (
                    "hid/system_libraries.cpp", "hid/device_discovery.cpp"))
                ok = not objects_protected(broken, said.append)
                failures += not ok
                print(f"PASS  every object compiled with stack protection, two sources given "
                      f"-fno-stack-protector: broken, it says {said[0]}" if ok else
                      "FAIL  every object compiled with stack protection: passes with two "
                      "sources given -fno-stack-protector")
        if args.prove and not msvc:
            failures += break_each_proof(args, pe, args.save_copies)
        return 1 if failures else 0
    built_by = "MSVC" if msvc else "MinGW-w64"
    print(f"{args.exe}: built by {built_by} (linker {pe.linker_version[0]}.{pe.linker_version[1]})")
    verdicts = {True: [], False: [], None: []}
    if args.toolchain != "auto" and (args.toolchain == "msvc") != msvc:
        print(f"FAIL  toolchain: expected {args.toolchain}, built by {built_by}")
        verdicts[False].append("toolchain")
    for name, rule in RULES:
        try:
            verdict, detail = rule(pe, msvc)
        except (ValueError, struct.error, IndexError) as error:
            verdict, detail = False, f"unreadable: {error}"
        verdicts[verdict].append(name)
        print(f"{ {True: 'PASS', False: 'FAIL', None: 'NOT MET'}[verdict] }  {name}: {detail}")
    print(f"{len(RULES)} rules: {len(verdicts[True])} passed, {len(verdicts[False])} failed, "
          f"{len(verdicts[None])} not met" +
          (f" ({', '.join(verdicts[None])})" if verdicts[None] else ""))
    failed = bool(verdicts[False])
    if args.build and not msvc:
        failed |= not objects_protected(args.build)
    if args.prove:
        failed |= bool(prove(args, pe, msvc))
    return 1 if failed else 0


def objects_protected(build, say=print):
    """Whether the build shows every object of the project's that the link
    took compiled with -fstack-protector-strong."""
    try:
        problems, checked, resources = protected_objects.unprotected(build)
    except (OSError, ValueError, KeyError) as error:
        problems, checked, resources = [f"unreadable: {error}"], 0, 0
    name = "every object compiled with stack protection"
    say(f"FAIL  {name}: " + "; ".join(problems) if problems else
        f"PASS  {name}: {checked} objects of the project's, as the compile commands and "
        f"the link map show ({resources} resources apart)")
    return not problems


def with_objects_unprotected(build, scratch, sources):
    """A copy of the build's compile commands and map in which `sources`
    were compiled with -fno-stack-protector too, as a target that misses the
    option would be."""
    commands = json.loads((build / protected_objects.COMPILE_COMMANDS).read_text())
    for entry in commands:
        if entry["file"].replace("\\", "/").endswith(sources):
            entry["command"] += " -fno-stack-protector"
    (scratch / protected_objects.COMPILE_COMMANDS).write_text(json.dumps(commands))
    shutil.copy2(build / protected_objects.LINK_MAP, scratch / protected_objects.LINK_MAP)
    for target in (build / "CMakeFiles").glob("*.dir"):
        shutil.copytree(target, scratch / "CMakeFiles" / target.name, dirs_exist_ok=True)
    return scratch


def prove(args, pe, msvc):
    """The run-time proofs of stack protection; the number of failures."""
    if msvc:
        print("SKIP  run-time proofs: /GS is judged by its cookie, which the loader seeds")
        return 0
    return prove_program(Path(args.exe).resolve(), pe, args.wine, args.wine_prefix, args.e2e,
                         print)


def prove_program(exe, pe, wine_command, prefix, e2e, say, enough=None):
    found = StackProtection(pe)
    if len(found.guards) != 1:
        say("FAIL  run-time proofs: no single guard to watch")
        return 1
    guard = found.guards[0]
    frames = []
    for begin in sorted(found.protected()):
        use = found.uses[begin]
        store = next(s for g, s in zip(use.copies, use.stores) if g == guard)
        frames.append(prove_stack.Frame(begin, store.end, store.rm, store.disp))
    file_guard = int.from_bytes(at_rva(pe, guard, 8), "little")
    wine = prove_stack.Wine(wine_command, prefix, e2e)
    try:
        return prove_stack.prove(exe, pe.image_base, guard, file_guard, frames, wine, say,
                                 enough)
    except (OSError, RuntimeError, subprocess.SubprocessError) as error:
        say(f"FAIL  run-time proofs: {error}")
        return 1
    finally:
        wine.close()


if __name__ == "__main__":
    sys.exit(main())
