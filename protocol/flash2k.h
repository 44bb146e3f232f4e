// Moving one page to the bootloader and getting it confirmed.
#pragma once

#include <windows.h>

#include <cstdint>
#include <span>

// Sends `source` (at most 2048 bytes, zero-filled to a page) as page
// `pagenumber`: the page and its checksum go out as 36 block frames, and the
// device answers with one acknowledgement naming the page. Up to 4 attempts,
// each from the first block. Prints "." and returns 1 when the page is
// confirmed; returns 0 otherwise, and at once for a source longer than a page.
int flash2k(HANDLE device, std::uint16_t pagenumber, std::span<const std::uint8_t> source);
