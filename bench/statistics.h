// The least of a benchmark's repetitions, reported beside the mean and the
// median: other work on the machine only ever adds time, so the least is the
// figure that best repeats from one machine state to the next.
#pragma once

#include <algorithm>
#include <vector>

namespace bench {

inline double least(const std::vector<double>& repetitions) {
  return repetitions.empty() ? 0.0 : *std::min_element(repetitions.begin(), repetitions.end());
}

}  // namespace bench
