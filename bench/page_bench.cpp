// One page's 36 frames sent and confirmed against a zero-latency device: as
// the program moves it (flash2k), and the same traffic without the program.
#include <benchmark/benchmark.h>

#include <optional>
#include <span>

#include "bench/bare_traffic.h"
#include "bench/machine.h"
#include "bench/statistics.h"
#include "kalvo_images.h"
#include "protocol/flash2k.h"
#include "protocol/page.h"
#include "updater/images.h"

namespace {

// A machine serves as many pages as a whole update sends and is then rebuilt,
// outside the timing, so that the stand-in's and the device's logs stay the
// size they reach in a real run.
constexpr auto pagesPerMachine = static_cast<std::int64_t>(fpgaPageCount + mcuPageCount);
// Any page number the device accepts; this is the first MCU page's.
constexpr std::uint16_t benchPage = 4;

template <typename SendPage>
void movePages(benchmark::State& state, SendPage send) {
  devsim::Script zeroLatency;
  std::optional<bench::Machine> machine;
  HANDLE device = INVALID_HANDLE_VALUE;
  std::int64_t onMachine = pagesPerMachine;
  for (auto _ : state) {
    if (onMachine == pagesPerMachine) {
      state.PauseTiming();
      machine.reset();
      machine.emplace(&zeroLatency);
      device = bench::openKalvo();
      onMachine = 0;
      state.ResumeTiming();
    }
    if (!send(device)) {
      state.SkipWithError("the page was not confirmed");
      break;
    }
    ++onMachine;
  }
  state.SetItemsProcessed(state.iterations());
}

void BM_Flash2kPage(benchmark::State& state) {
  const std::span<const std::uint8_t> page(mcubin, pageSize);
  movePages(state, [&](HANDLE device) { return flash2k(device, benchPage, page) == 1; });
}
BENCHMARK(BM_Flash2kPage)->Unit(benchmark::kMicrosecond)->ComputeStatistics("min", bench::least);

void BM_StandInPage(benchmark::State& state) {
  bench::BarePage page;
  bench::makePage(page, mcubin);
  bench::numberPage(page, benchPage);
  movePages(state, [&](HANDLE device) { return bench::sendPage(device, page); });
}
BENCHMARK(BM_StandInPage)->Unit(benchmark::kMicrosecond)->ComputeStatistics("min", bench::least);

}  // namespace
