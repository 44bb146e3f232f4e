// One whole update against a zero-latency device, for instruction counting
// under callgrind: "program" runs the program itself, "stand-in" the same
// report traffic without it. The exit status is 0 when the update went through.
#include <cstring>

#include "bench/bare_traffic.h"
#include "bench/machine.h"
#include "updater/images.h"
#include "updater/update_run.h"

int main(int argc, char** argv) {
  const bool program = argc < 2 || std::strcmp(argv[1], "stand-in") != 0;
  devsim::Script zeroLatency;
  bench::Machine machine(&zeroLatency);
  if (program) return run() == exitUpdated ? 0 : 1;
  bench::BarePage page;
  bench::makePage(page, mcubin);
  return bench::sendUpdate(page) ? 0 : 1;
}
