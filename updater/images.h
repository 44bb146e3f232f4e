// The two firmware images built into the program, forwarded byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>

#include "kalvo_images.h"  // generated from the image files: their lengths

// The FPGA image followed by the zero bytes that complete its last page.
extern const std::uint8_t fpgabin[fpgabinLength];
// The MCU image, a whole number of pages.
extern const std::uint8_t mcubin[mcuImageLength];
