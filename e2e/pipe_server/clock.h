// Real time for the simulated bootloader under Wine: microseconds since the
// server started, from the performance counter, shared by all its threads.
#pragma once

#include <windows.h>

#include <cstdint>

namespace pipeserver {

class Clock {
 public:
  Clock() {
    QueryPerformanceFrequency(&frequency_);
    QueryPerformanceCounter(&start_);
  }
  std::int64_t nowUs() const {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    const std::int64_t ticks = now.QuadPart - start_.QuadPart;
    // Split so that the product cannot overflow however long the server runs.
    return ticks / frequency_.QuadPart * 1000000 +
           ticks % frequency_.QuadPart * 1000000 / frequency_.QuadPart;
  }
  std::int64_t nowMs() const { return nowUs() / 1000; }
  // The performance counter at the start and its frequency, to relate
  // another process's counter readings to this clock.
  std::int64_t startTicks() const { return start_.QuadPart; }
  std::int64_t ticksPerSecond() const { return frequency_.QuadPart; }

 private:
  LARGE_INTEGER frequency_{};
  LARGE_INTEGER start_{};
};

}  // namespace pipeserver
