// Whole updates, 260 pages and the restart, on a fresh simulated machine each:
// the program against a zero-latency device, the same traffic without the
// program, and the program against the bus-limited device, whose simulated
// time is reported beside the least time that device allows.
#include <benchmark/benchmark.h>

#include <optional>

#include "bench/bare_traffic.h"
#include "bench/machine.h"
#include "bench/statistics.h"
#include "kalvo_images.h"
#include "updater/images.h"
#include "updater/update_run.h"

namespace {

// Runs `update` once per iteration, each on a fresh machine built and torn
// down outside the timing; returns the last update's simulated time.
template <typename Update>
std::int64_t updates(benchmark::State& state, devsim::Script& script, Update update) {
  std::optional<bench::Machine> machine;
  std::int64_t simulatedMs = 0;
  for (auto _ : state) {
    state.PauseTiming();
    machine.reset();
    machine.emplace(&script);
    state.ResumeTiming();
    if (!update()) {
      state.SkipWithError("the update did not go through");
      break;
    }
    state.PauseTiming();
    simulatedMs = machine->world.nowMs();
    state.ResumeTiming();
  }
  return simulatedMs;
}

void BM_WholeRun(benchmark::State& state) {
  devsim::Script zeroLatency;
  updates(state, zeroLatency, [] { return run() == exitUpdated; });
}
BENCHMARK(BM_WholeRun)->Unit(benchmark::kMillisecond)->ComputeStatistics("min", bench::least);

void BM_StandInRun(benchmark::State& state) {
  devsim::Script zeroLatency;
  bench::BarePage page;
  bench::makePage(page, mcubin);
  updates(state, zeroLatency, [&] { return bench::sendUpdate(page); });
}
BENCHMARK(BM_StandInRun)->Unit(benchmark::kMillisecond)->ComputeStatistics("min", bench::least);

void BM_BusLimitedRun(benchmark::State& state) {
  devsim::BusLimitedScript bus;
  const std::int64_t simulatedMs = updates(state, bus, [] { return run() == exitUpdated; });
  const auto pages = static_cast<std::int64_t>(fpgaPageCount + mcuPageCount);
  state.counters["pages"] = static_cast<double>(pages);
  state.counters["simulated_ms"] = static_cast<double>(simulatedMs);
  state.counters["floor_ms"] = static_cast<double>(
      devsim::BusLimitedScript::floorMs(pages * devsim::blocksPerPage + 1, pages));
}
BENCHMARK(BM_BusLimitedRun)->Unit(benchmark::kMillisecond)->ComputeStatistics("min", bench::least);

}  // namespace
