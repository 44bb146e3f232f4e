#include "protocol/pagechecksum.h"

std::uint16_t pagechecksum(std::span<const std::uint8_t, pageSize> page) {
  // The byte's position enters the state as well as its value, so equal bytes
  // at different places count differently and a page of zeros does not sum to 0.
  std::uint16_t state = 0;
  for (std::size_t i = 0; i < pageSize; ++i) {
    const unsigned mixed = (state ^ static_cast<unsigned>(i)) & 0xFFFFu;
    // With the top bit clear the shifted value is complemented: (~x << 1) + 1.
    const unsigned next = (state & 0x8000u) != 0 ? mixed << 1 : ~(mixed << 1);
    state = static_cast<std::uint16_t>(next + page[i]);
  }
  return state;
}
