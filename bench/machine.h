// A simulated machine for the benchmarks: one Kalvo bootloader, behind the
// given device script, on a fresh stand-in world that every stand-in Win32
// call talks to while it lives.
#pragma once

#include <windows.h>

#include "devsim/bootloader.h"
#include "winstub/world.h"

namespace bench {

inline constexpr const char* kalvoPath = "\\\\?\\hid#kalvo#bootloader";

struct Machine {
  explicit Machine(devsim::Script* script);
  devsim::Bootloader device;
  winstub::World world;
};

// Opens the Kalvo's interface the way the search leaves it open, for
// benchmarks that drive single pages without searching first.
HANDLE openKalvo();

}  // namespace bench
