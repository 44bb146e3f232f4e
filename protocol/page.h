// A page of firmware as the bootloader stores it.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr std::size_t pageSize = 2048;
