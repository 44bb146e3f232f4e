// The 16-bit checksum that travels behind each page's data.
#pragma once

#include <cstdint>
#include <span>

#include "protocol/page.h"

std::uint16_t pagechecksum(std::span<const std::uint8_t, pageSize> page);
