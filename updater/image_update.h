// Writing the FPGA image and then the MCU image, page by page.
#pragma once

#include <windows.h>

#include <cstdint>
#include <span>

// The FPGA phase: a 4-byte length header (most significant byte first) and
// the image, cut into pages numbered from 0x1000. Prints the phase line, a dot
// per page and " done." or " failed."; returns 1 when every page was confirmed.
int writefpga(HANDLE device, std::span<const std::uint8_t> image, std::uint32_t imagelength);

// The MCU phase: the image's pages numbered from 4, with the same output.
int writemcu(HANDLE device, std::span<const std::uint8_t> image);

// The two phases with the built-in images.
int updatefpga(HANDLE device);
int updatemcu(HANDLE device);
