// The checksum of one page: the only computation per page that grows with
// the page's size.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>

#include "bench/statistics.h"
#include "protocol/pagechecksum.h"
#include "updater/images.h"

namespace {

void BM_PageChecksum(benchmark::State& state) {
  std::array<std::uint8_t, pageSize> page{};
  std::copy_n(fpgabin, pageSize, page.begin());
  for (auto _ : state) {
    benchmark::DoNotOptimize(page.data());
    benchmark::DoNotOptimize(pagechecksum(page));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * pageSize));
}
BENCHMARK(BM_PageChecksum)->ComputeStatistics("min", bench::least);

}  // namespace
