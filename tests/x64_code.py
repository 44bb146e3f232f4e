"""Reads x86-64 machine code one instruction at a time, as far as the PE
check needs: each instruction's length, its opcode, its ModRM operands, the
address a RIP-relative operand names and where a relative branch goes.

It knows the one-byte and 0F opcode maps, the legacy, REX and VEX prefixes
and every addressing form; what it does not know (EVEX, 3DNow!, opcodes
invalid in 64-bit mode) raises ValueError, so that a rule built on it fails
instead of reading past an instruction it cannot measure.
"""

import struct

LEGACY_PREFIXES = frozenset(b"\x26\x2e\x36\x3e\x64\x65\x66\x67\xf0\xf2\xf3")
# Invalid in 64-bit mode, or EVEX (0x62), which the program's code never needs.
INVALID = frozenset(b"\x06\x07\x0e\x16\x17\x1e\x1f\x27\x2f\x37\x3f\x60\x61\x62\x82\x9a"
                    b"\xce\xd4\xd5\xd6\xea")
# One-byte opcodes without a ModRM byte, by the immediate they carry:
# "b" a byte, "z" four bytes (two with a 0x66 prefix), "w" two bytes.
PLAIN_IMMEDIATE = {**{op: "b" for op in b"\x04\x0c\x14\x1c\x24\x2c\x34\x3c\x6a\xa8\xcd"
                      b"\xe4\xe5\xe6\xe7"},
                   **{op: "z" for op in b"\x05\x0d\x15\x1d\x25\x2d\x35\x3d\x68\xa9"},
                   **{op: "b" for op in range(0xB0, 0xB8)},
                   0xC2: "w", 0xCA: "w", 0xC8: "wb"}
# One-byte opcodes with a ModRM byte, and the immediate after it.
MODRM_IMMEDIATE = {0x69: "z", 0x6B: "b", 0x80: "b", 0x81: "z", 0x83: "b", 0xC0: "b",
                   0xC1: "b", 0xC6: "b", 0xC7: "z"}
MODRM_ONE_BYTE = frozenset(
    [op for row in range(0, 0x40, 8) for op in range(row, row + 4)]
    + [0x63] + list(MODRM_IMMEDIATE) + list(range(0x84, 0x90))
    + list(range(0xD0, 0xD4)) + list(range(0xD8, 0xE0)) + [0xF6, 0xF7, 0xFE, 0xFF])
# 0F opcodes without a ModRM byte.
PLAIN_0F = frozenset([0x05, 0x06, 0x07, 0x08, 0x09, 0x0B, 0x0E, 0x77, 0xA0, 0xA1, 0xA2,
                      0xA8, 0xA9, 0xAA] + list(range(0x30, 0x38)) + list(range(0xC8, 0xD0)))
# 0F opcodes whose ModRM operand is followed by a byte.
IMMEDIATE_0F = frozenset([0x70, 0x71, 0x72, 0x73, 0xA4, 0xAC, 0xBA, 0xC2, 0xC4, 0xC5, 0xC6])

# Opcodes as Instruction.opcode gives them: the 0F map's with 0x0F00 added,
# 0F 38's with 0x0F3800, 0F 3A's with 0x0F3A00.
RET, RET_POP, INT, CALL, JMP, JMP_SHORT, UD2 = 0xC3, 0xC2, 0xCD, 0xE8, 0xE9, 0xEB, 0x0F0B
GROUP_FF, GROUP_0FC7 = 0xFF, 0x0FC7
JCC_SHORT = range(0x70, 0x80)
JCC_NEAR = range(0x0F80, 0x0F90)
JCC_NEAR_BYTES = frozenset(range(0x80, 0x90))
# Register numbers (REX bits included).
RSP, RBP = 4, 5


class Instruction:
    """One decoded instruction. `reg` is the ModRM reg field (REX.R
    included), `rm` the register or base register of the other operand
    (REX.B included; None for a memory operand without a base), `memory`
    whether that operand is in memory, `rip` the RVA it names when it is
    RIP-relative, `target` where a relative call or jump goes."""

    __slots__ = ("at", "size", "opcode", "wide", "reg", "rm", "memory", "index", "disp",
                 "rip", "immediate", "target")

    def __init__(self, at):
        self.at, self.size, self.opcode, self.wide = at, 0, None, False
        self.reg = self.rm = self.index = self.rip = self.target = self.immediate = None
        self.memory, self.disp = False, 0

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


def decode(code, offset, rva):
    """The instruction at code[offset:], which lies at `rva` in the image."""
    ins = Instruction(rva)
    at = offset
    operand_16 = False
    while code[at] in LEGACY_PREFIXES:
        operand_16 |= code[at] == 0x66
        at += 1
    rex = 0
    if 0x40 <= code[at] <= 0x4F:
        rex = code[at]
        at += 1
    ins.wide = bool(rex & 8)
    op = code[at]
    at += 1
    immediate = ""
    modrm = False
    if op == 0x0F:
        second = code[at]
        at += 1
        if second == 0x0F:
            raise ValueError(f"3DNow! instruction at RVA 0x{rva:x}")
        if second in (0x38, 0x3A):
            ins.opcode = 0x0F0000 | second << 8 | code[at]
            at += 1
            modrm, immediate = True, "b" if second == 0x3A else ""
        else:
            ins.opcode = 0x0F00 | second
            if second in JCC_NEAR_BYTES:
                immediate = "d"
            elif second not in PLAIN_0F:
                modrm = True
                immediate = "b" if second in IMMEDIATE_0F else ""
    elif op in (0xC4, 0xC5):
        # VEX: the map and the opcode follow its two or three bytes.
        if op == 0xC5:
            mapping = 1
            at += 1
        else:
            mapping = code[at] & 0x1F
            ins.wide = bool(code[at + 1] & 0x80)
            at += 2
        ins.opcode = (0x0F00, 0x0F3800, 0x0F3A00)[mapping - 1] | code[at] \
            if mapping in (1, 2, 3) else None
        if ins.opcode is None:
            raise ValueError(f"unknown VEX map at RVA 0x{rva:x}")
        at += 1
        modrm = ins.opcode != 0x0F77
        immediate = "b" if mapping == 3 or (mapping == 1 and ins.opcode & 0xFF in IMMEDIATE_0F) \
            else ""
    elif op in INVALID:
        raise ValueError(f"no instruction known for byte 0x{op:02x} at RVA 0x{rva:x}")
    else:
        ins.opcode = op
        if op in MODRM_ONE_BYTE:
            modrm = True
            immediate = MODRM_IMMEDIATE.get(op, "")
        elif op in PLAIN_IMMEDIATE:
            immediate = PLAIN_IMMEDIATE[op]
        elif 0xB8 <= op <= 0xBF:
            immediate = "q" if ins.wide else "z"
        elif 0xA0 <= op <= 0xA3:
            immediate = "q"
        elif op in JCC_SHORT or 0xE0 <= op <= 0xE3 or op == JMP_SHORT:
            immediate = "r"
        elif op in (CALL, JMP):
            immediate = "d"
    if modrm:
        at = operand(code, at, rex, ins)
        if ins.opcode in (0xF6, 0xF7) and ins.reg & 7 in (0, 1):
            immediate = "b" if ins.opcode == 0xF6 else "z"
    sizes = {"": 0, "b": 1, "r": 1, "w": 2, "wb": 3, "d": 4, "q": 8,
             "z": 2 if operand_16 and not ins.wide else 4}
    size = sizes[immediate]
    if size:
        ins.immediate = int.from_bytes(code[at:at + size], "little",
                                       signed=immediate in ("r", "d"))
        at += size
    ins.size = at - offset
    if immediate in ("r", "d"):
        ins.target = rva + ins.size + ins.immediate
    if ins.rip is not None:
        ins.rip += rva + ins.size
    return ins



def operand(code, at, rex, ins):
    """Reads the ModRM byte at `at` (and the SIB byte and displacement after
    it) into `ins`; returns where the instruction goes on."""
    modrm = code[at]
    at += 1
    mod, ins.reg, rm = modrm >> 6, (modrm >> 3 & 7) | (rex & 4) << 1, modrm & 7
    if mod == 3:
        ins.rm = rm | (rex & 1) << 3
        return at
    ins.memory = True
    base = rm
    if rm == 4:
        sib = code[at]
        at += 1
        base, index = sib & 7, (sib >> 3 & 7) | (rex & 2) << 2
        ins.index = None if index == 4 else index
        if base == 5 and mod == 0:
            ins.disp = struct.unpack_from("<i", code, at)[0]
            return at + 4
    elif rm == 5 and mod == 0:
        ins.disp = struct.unpack_from("<i", code, at)[0]
        ins.rip = ins.disp  # the caller adds the next instruction's address
        return at + 4
    ins.rm = base | (rex & 1) << 3
    if mod == 1:
        ins.disp = struct.unpack_from("<b", code, at)[0]
        return at + 1
    if mod == 2:
        ins.disp = struct.unpack_from("<i", code, at)[0]
        return at + 4
    return at
