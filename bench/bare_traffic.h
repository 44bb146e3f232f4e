// The report traffic of a whole update without the program: the same Win32
// calls in the same order on the stand-in, with every frame made beforehand.
// What it costs is the stand-in's and the simulated device's share of a run,
// which the benchmarks subtract to find the program's own.
#pragma once

#include <windows.h>

#include <array>
#include <cstdint>

#include "devsim/bootloader.h"

namespace bench {

struct BarePage {
  std::array<devsim::Report, devsim::blocksPerPage> frames{};
  devsim::Report ack{};
};

// The 36 block frames of a page of `data` (devsim::pageBytes bytes) and its checksum.
void makePage(BarePage& page, const std::uint8_t* data);
// Puts page number `number` into every frame of `page`.
void numberPage(BarePage& page, std::uint16_t number);
// One page as the program moves it: a fresh event, 36 writes, one read, the
// progress dot. True when the page was acknowledged.
bool sendPage(HANDLE device, BarePage& page);
// A whole update: open the Kalvo, every page of both images, the restart
// command, close. True when every page was acknowledged.
bool sendUpdate(BarePage& page);

}  // namespace bench
