// Counts the heap allocations that the program makes itself while a test
// watches. The executable that links this replaces the global operator new
// and delete and wraps the C allocation functions (the linker's --wrap), so
// both routes are seen; what happens inside a stand-in Win32 function (the
// simulated platform's and device's own bookkeeping) is counted apart.
#pragma once

#include <cstddef>

namespace heapcount {

struct Counts {
  std::size_t news = 0;     // operator new, every form, outside the stand-in
  std::size_t mallocs = 0;  // malloc, calloc, realloc, aligned_alloc, outside the stand-in
  std::size_t frees = 0;    // free of a non-null block, outside the stand-in
  std::size_t platformAllocations = 0;  // any of them inside the stand-in
};

// Starts counting from zero.
void start();
// Stops counting and returns what was counted since start().
Counts stop();

}  // namespace heapcount
