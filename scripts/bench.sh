#!/usr/bin/env bash
# Installs what is missing, builds the benchmarks in build/bench (-O2) and runs
# them: Google Benchmark's CPU times, callgrind's instruction counts of one
# whole run and (unless KALVO_BENCH_WINE=0) the update's wall time under Wine
# beside the bare pipe loop (KALVO_BENCH_WINE_RUNS runs, 5 by default), with the Windows program and the end-to-end
# harness cross-built in build/bench/windows. Ends with the figures table that
# BENCHMARKS.md holds. Extra arguments go to CMake.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="$root/build/bench"

KALVO_EXTRA_PACKAGES="libbenchmark-dev valgrind ${KALVO_EXTRA_PACKAGES:-}" \
  "$root/scripts/install-deps.sh"

cmake -S "$root" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKALVO_BENCHMARKS=ON -DKALVO_TESTS=OFF "$@" >/dev/null
cmake --build "$out" -j "$(nproc)" --target kalvo_bench kalvo_run_once

"$out/bench/kalvo_bench" --benchmark_repetitions=10 --benchmark_report_aggregates_only=true \
  --benchmark_out="$out/results.json" --benchmark_out_format=json

for mode in program stand-in; do
  valgrind --tool=callgrind --callgrind-out-file="$out/callgrind.$mode" \
    "$out/bench/kalvo_run_once" "$mode" 2>"$out/callgrind.$mode.log" >/dev/null
done

wine=()
if [[ "${KALVO_BENCH_WINE:-1}" == 1 ]]; then
  # The Windows program and the end-to-end harness, in a build of their own.
  cmake -S "$root" -B "$out/windows" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DKALVO_E2E=ON "$@" >/dev/null
  cmake --build "$out/windows" -j "$(nproc)"
  # Wall times under Wine wander from run to run: several runs, each of
  # several rounds, give a median and a spread.
  for ((run = 1; run <= ${KALVO_BENCH_WINE_RUNS:-5}; run++)); do
    if python3 "$root/bench/wine_ratio.py" --windows-build "$out/windows" --work "$out/wine" \
        >"$out/wine-$run.txt"; then
      wine+=(--wine "$out/wine-$run.txt")
    else
      echo "No Wine figures from run $run: $(tail -n 1 "$out/wine-$run.txt")"
    fi
  done
fi

echo
python3 "$root/bench/summarize.py" --json "$out/results.json" \
  --program-profile "$out/callgrind.program" --stand-in-profile "$out/callgrind.stand-in" \
  --winstub "$out/winstub/libwinstub.a" "${wine[@]}"
