#!/usr/bin/env python3
"""Writes the placeholder firmware images fpga.bin and mcu.bin beside this script.

The Kalvo's real firmware is not part of this repository. The placeholders have
the real images' sizes and pseudo-random content from a fixed seed, so that
every page, and every page's checksum, differs. Running the script again gives
the same bytes. Replace both files with the real firmware for a release build.
"""
import pathlib

FPGA_IMAGE_BYTES = 518128
MCU_IMAGE_BYTES = 14336
SEED = 0x4B414C56  # fixed, so that the placeholders never change


def xorshift32(state):
    """An endless stream of bytes; its own generator, so that no library change alters them."""
    while True:
        state ^= (state << 13) & 0xFFFFFFFF
        state ^= state >> 17
        state ^= (state << 5) & 0xFFFFFFFF
        yield state & 0xFF


def main():
    here = pathlib.Path(__file__).resolve().parent
    stream = xorshift32(SEED)
    for name, size in (("fpga.bin", FPGA_IMAGE_BYTES), ("mcu.bin", MCU_IMAGE_BYTES)):
        (here / name).write_bytes(bytes(next(stream) for _ in range(size)))


if __name__ == "__main__":
    main()
