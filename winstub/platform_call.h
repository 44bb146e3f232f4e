// Which side of the wire the calling thread is on. Every stand-in Win32 entry
// point counts itself in for its duration, so that a test can tell the work
// the program does itself (its heap use, say) from the work the simulated
// platform and device do on its behalf.
#pragma once

#include <cstddef>

namespace winstub {

// True while the calling thread is inside a stand-in Win32 function.
bool insidePlatform();

// How many stand-in Win32 calls the calling thread has made, not counting
// those that one stand-in function makes of another.
std::size_t platformCallsMade();

// Counts the calling thread into the stand-in for the guard's lifetime.
// Entry points nest (one stand-in function may call another), hence a depth.
class PlatformCall {
 public:
  PlatformCall();
  ~PlatformCall();
  PlatformCall(const PlatformCall&) = delete;
  PlatformCall& operator=(const PlatformCall&) = delete;
};

}  // namespace winstub
