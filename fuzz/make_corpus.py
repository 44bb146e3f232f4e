#!/usr/bin/env python3
"""Writes the fuzzer's seed corpus (fuzz/corpus/), one small input per
situation, in the input layout that run_fuzzer.cpp describes. Rerun it after
changing that layout."""
import os

HERE = os.path.dirname(os.path.abspath(__file__))
FAULT = 0xC0


def small(fpga_bytes, mcu_pages):
    return bytes([0x01, fpga_bytes & 0xFF, fpga_bytes >> 8, mcu_pages])


WHOLE = bytes([0x10])
# A whole run on a Windows 7 without KB2533623.
WHOLE_WINDOWS7 = bytes([0x30])


def interfaces(decoys, place):
    """decoys: (kind, detail) pairs; place: the bootloader's index (len+1: none)."""
    out = bytes([len(decoys), place])
    for i in range(len(decoys) + 1):
        if i == place:
            out += bytes([0x00, 0x01])  # the bootloader's version
        if i < len(decoys):
            out += bytes(decoys[i])
    return out


def healthy(n):
    """Bytes that make the next n decisions healthy: a byte b keeps its own
    decision and the next b*b//4 healthy."""
    out = b""
    while n > 0:
        b = max(b for b in range(FAULT) if 1 + b * b // 4 <= n)
        out += bytes([b])
        n -= 1 + b * b // 4
    return out


# The decisions of a run on a device that takes everything at once: one per
# snapshot of the interfaces, then for each page a write per block, the
# finished page (after block 35 arrives) and the read.
SNAPSHOT = 1
BLOCKS = 36
PAGE = BLOCKS + 2


SEEDS = {
    "healthy_small": small(3000, 1) + interfaces([], 0),
    "healthy_whole": WHOLE + interfaces([], 0),
    "healthy_whole_windows7": WHOLE_WINDOWS7 + interfaces([], 0),
    "decoys_first": small(100, 1) + interfaces([(0, 7), (2, 0x46), (0x83, 0), (4, 0), (7, 1)], 5),
    "no_bootloader": small(100, 0) + interfaces([(1, 2), (0x82, 3)], 3),
    "attributes_end_search": small(100, 0) + interfaces([(5, 0)], 1),
    # block 17 of the first page stalls; its cancellation takes 600 ms
    "write_stall": small(3000, 0) + interfaces([], 0) + healthy(SNAPSHOT + 17)
    + bytes([FAULT, 4, FAULT, 0x58, 0x02]),
    # block 35 taken at once, confirmed after 300 ms: delivered twice
    "write_twice": small(3000, 0) + interfaces([], 0) + healthy(SNAPSHOT + 35)
    + bytes([FAULT, 7, 0x2C, 0x01]),
    # the first page's acknowledgement 7000 ms late
    "late_ack": small(5000, 1) + interfaces([], 0) + healthy(SNAPSHOT + BLOCKS)
    + bytes([FAULT, 0, 0x58, 0x1B]),
    # two acknowledgements for the first page
    "stale_ack": small(5000, 1) + interfaces([], 0) + healthy(SNAPSHOT + BLOCKS)
    + bytes([FAULT, 5, 0x00, 0x00]),
    # the first page's acknowledgement with its page number's high byte changed
    "near_miss_ack": small(3000, 0) + interfaces([], 0) + healthy(SNAPSHOT + BLOCKS)
    + bytes([FAULT, 3, 0, 0, 0, 3, 5]),
    # the device vanishes once it has the second page
    "unplug": small(5000, 1) + interfaces([], 0) + healthy(SNAPSHOT + PAGE + BLOCKS)
    + bytes([FAULT, 6]),
    # an interface appears in front during the search
    "search_churn": small(100, 0) + interfaces([(0, 1)], 1) + healthy(SNAPSHOT)
    + bytes([FAULT, 0, 0, 0, 9]),
    # a whole run whose third read completes with an error after 10 ms
    "whole_read_error": WHOLE + interfaces([], 0) + healthy(SNAPSHOT + 2 * PAGE + BLOCKS + 1)
    + bytes([FAULT, 2, 10, 0]),
}

if __name__ == "__main__":
    corpus = os.path.join(HERE, "corpus")
    os.makedirs(corpus, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(corpus, name), "wb") as f:
            f.write(data)
