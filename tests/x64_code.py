"""Reads x86-64 machine code one instruction at a time, as far as the PE
check needs: each instruction's length, its opcode, its ModRM operands, the
address a RIP-relative operand names and where a relative branch goes.

The decoding is capstone's (Debian's python3-capstone; `pip install
capstone` elsewhere), a disassembler kept by many hands and checked against
the processors' manuals, rather than a table of our own that bytes crafted
against it could mislead. Bytes that capstone cannot read as an
instruction raise ValueError, so that a rule built on it fails instead of
reading past an instruction it cannot measure.
"""

try:
    import capstone
    from capstone import x86_const
except ImportError:  # the check cannot read code without it: say what to install
    capstone = None

# Opcodes as Instruction.opcode gives them: the one-byte map's, the 0F map's
# with 0x0F00 added, 0F 38's with 0x0F3800, 0F 3A's with 0x0F3A00; VEX, EVEX
# and XOP instructions, which the checks never look for, as VECTOR.
RET, RET_POP, INT, CALL, JMP, JMP_SHORT, UD2 = 0xC3, 0xC2, 0xCD, 0xE8, 0xE9, 0xEB, 0x0F0B
GROUP_FF, GROUP_0FC7 = 0xFF, 0x0FC7
JCC_SHORT = range(0x70, 0x80)
JCC_NEAR = range(0x0F80, 0x0F90)
VECTOR = 0x1000000
RELATIVE_BRANCHES = frozenset([CALL, JMP, JMP_SHORT, 0xE0, 0xE1, 0xE2, 0xE3]) | \
    frozenset(JCC_SHORT) | frozenset(JCC_NEAR)
# Register numbers (REX bits included).
RSP, RBP = 4, 5
GENERAL = ["rax", "rcx", "rdx", "rbx", "rsp", "rbp", "rsi", "rdi"]
REGISTER_NUMBERS = {**{name: n for n, name in enumerate(GENERAL)},
                    **{"e" + name[1:]: n for n, name in enumerate(GENERAL)},
                    **{f"r{n}": n for n in range(8, 16)},
                    **{f"r{n}d": n for n in range(8, 16)}}

if capstone:
    _DISASSEMBLER = capstone.Cs(capstone.CS_ARCH_X86, capstone.CS_MODE_64)
    _DISASSEMBLER.detail = True


class Instruction:
    """One decoded instruction. `reg` is the ModRM reg field (REX.R
    included), `rm` the register or base register of the other operand
    (REX.B included; None for a memory operand without a base), `memory`
    whether that operand is in memory, `rip` the RVA it names when it is
    RIP-relative, `target` where a relative call or jump goes."""

    __slots__ = ("at", "size", "opcode", "wide", "reg", "rm", "memory", "index", "disp",
                 "rip", "immediate", "target", "mnemonic", "writes_memory")

    def __init__(self, at):
        self.at, self.size, self.opcode, self.wide = at, 0, None, False
        self.reg = self.rm = self.index = self.rip = self.target = self.immediate = None
        self.memory, self.disp, self.mnemonic = False, 0, ""
        self.writes_memory = False  # whether it writes its memory operand

    @property
    def end(self):
        return self.at + self.size

    def is_jcc(self):
        return self.opcode in JCC_SHORT or self.opcode in JCC_NEAR

    def condition(self):
        """The condition code of a conditional jump (4: equal, 5: not equal)."""
        return self.opcode & 0x0F

    def ends_path(self):
        """Whether execution never goes on to the next instruction."""
        return self.opcode in (RET, RET_POP, JMP, JMP_SHORT, UD2) or (
            self.opcode == GROUP_FF and self.reg & 7 in (4, 5))


def opcode_of(found):
    first, second, third = found.opcode[0], found.opcode[1], found.opcode[2]
    if first in (0xC4, 0xC5, 0x62) or (first == 0x8F and found.mnemonic != "pop"):
        return VECTOR
    if first != 0x0F:
        return first
    if second in (0x38, 0x3A):
        return 0x0F0000 | second << 8 | third
    return 0x0F00 | second


def register_number(found, register):
    if register in (0, x86_const.X86_REG_RIP):
        return None
    name = found.reg_name(register)
    if name not in REGISTER_NUMBERS:
        raise ValueError(f"register {name} as an address at RVA 0x{found.address:x}")
    return REGISTER_NUMBERS[name]


def decode(code, offset, rva):
    """The instruction at code[offset:], which lies at `rva` in the image."""
    if capstone is None:
        raise ValueError("capstone is not installed (Debian: python3-capstone; "
                         "elsewhere: pip install capstone)")
    found = next(_DISASSEMBLER.disasm(bytes(code[offset:offset + 15]), rva, 1), None)
    if found is None:
        raise ValueError(f"no instruction that capstone can read at RVA 0x{rva:x}")
    ins = Instruction(rva)
    ins.size, ins.mnemonic = found.size, found.mnemonic
    ins.opcode = opcode_of(found)
    if ins.opcode == VECTOR:
        return ins
    rex = found.rex
    ins.wide = bool(rex & 8)
    if found.modrm_offset:
        modrm = found.modrm
        ins.reg = (modrm >> 3 & 7) | (rex & 4) << 1
        if modrm >> 6 == 3:
            ins.rm = modrm & 7 | (rex & 1) << 3
    for operand in found.operands:
        if operand.type == x86_const.X86_OP_MEM and found.modrm_offset:
            ins.memory, ins.disp = True, operand.mem.disp
            ins.writes_memory = bool(operand.access & capstone.CS_AC_WRITE)
            ins.rm = register_number(found, operand.mem.base)
            ins.index = register_number(found, operand.mem.index)
            if operand.mem.base == x86_const.X86_REG_RIP:
                ins.rip = found.address + found.size + operand.mem.disp
        elif operand.type == x86_const.X86_OP_IMM:
            ins.immediate = operand.imm
    if ins.opcode in RELATIVE_BRANCHES:
        ins.target = ins.immediate
    return ins
