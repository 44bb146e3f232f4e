// The benchmarks' entry point. The stand-in and the simulated device log every
// report, and the benchmarks build them afresh for every run; freed heap
// memory stays mapped in this process, so that each new machine reuses it
// instead of paying first-touch page faults. Under a virtual machine those
// cost tens of microseconds each, and they belong neither to the program nor
// to a real platform.
#include <benchmark/benchmark.h>
#include <malloc.h>

namespace {

constexpr int keepMappedBytes = 1 << 30;

}  // namespace

int main(int argc, char** argv) {
  mallopt(M_MMAP_THRESHOLD, keepMappedBytes);
  mallopt(M_TRIM_THRESHOLD, keepMappedBytes);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
