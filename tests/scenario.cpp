#include "tests/scenario.h"

namespace scenario {

std::string describe(const std::vector<std::string>& lines) {
  std::string all;
  for (const auto& line : lines) all += line + "\n";
  return all;
}

}  // namespace scenario
