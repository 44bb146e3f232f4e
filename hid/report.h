// One HID report exchanged with the bootloader, in either direction. The
// device uses no numbered reports, so byte 0 is the report-identifier slot and
// holds 0x00 in every report sent.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

inline constexpr std::size_t reportSize = 64;
using Report = std::array<std::uint8_t, reportSize>;
