#!/usr/bin/env bash
# The robustness checks beyond the ordinary test run, each a step that passes
# or fails on its own; a summary at the end, and a non-zero exit if any failed:
#   1. the host tests under AddressSanitizer and UndefinedBehaviorSanitizer
#      (g++, build/asan);
#   2. the host tests under valgrind memcheck, no error and no leak
#      (the kalvo_tests of KALVO_HOST_BUILD, build/host unless told otherwise,
#      built there if missing);
#   3. the run fuzzer, libFuzzer through clang (build/fuzz), from the seed
#      corpus in fuzz/corpus for KALVO_FUZZ_SECONDS (60) seconds, one worker
#      process per core.
# scripts/test.sh runs it last; it also runs on its own.
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build"
jobs="$(nproc)"
host_build="${KALVO_HOST_BUILD:-$build/host}"
fuzz_seconds="${KALVO_FUZZ_SECONDS:-60}"

# libFuzzer's runtime comes with clang's runtime libraries; the unversioned
# package follows Debian's default clang (14 in Debian 12, 19 in Debian 13).
KALVO_EXTRA_PACKAGES="${KALVO_EXTRA_PACKAGES:-} clang libclang-rt-dev valgrind" \
  "$root/scripts/install-deps.sh" || exit 1

results=()
failed=0
step() {  # step NAME COMMAND...: runs COMMAND, records how it went
  local name="$1" start status
  shift
  echo
  echo "=== reliability: $name ==="
  start=$SECONDS
  "$@"
  status=$?
  if ((status == 0)); then
    results+=("PASS  $name ($((SECONDS - start)) s)")
  else
    results+=("FAIL  $name ($((SECONDS - start)) s, status $status)")
    failed=1
    echo "=== reliability: $name FAILED (status $status) ==="
  fi
}

sanitized_tests() {
  local dir="$build/asan"
  cmake -S "$root" -B "$dir" -G Ninja \
    -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer" \
    >/dev/null || return
  cmake --build "$dir" -j "$jobs" || return
  # The image build test configures a build of its own, without the sanitizers;
  # the run of 122,880 pages to page 0xFFFF (a minute and a half here) repeats,
  # page after page, the code that the other image tests put through them.
  ASAN_OPTIONS=detect_leaks=1:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest --test-dir "$dir" --output-on-failure -j "$jobs" \
    -E '^(Images\.|ImageUpdate\.PageNumbersEndAt0xFFFFAndNeverWrapToZero)'
}

memcheck() {
  local tests="$host_build/tests/kalvo_tests"
  if [[ ! -x "$tests" ]]; then
    cmake -S "$root" -B "$host_build" -G Ninja >/dev/null || return
    cmake --build "$host_build" -j "$jobs" --target kalvo_tests || return
  fi
  # Death tests fork, and valgrind follows: a child with a memory error fails
  # its test through the error exit code. The run of 122,880 pages to page
  # 0xFFFF (over two minutes under valgrind) repeats, page after page, the
  # code that the other image tests put through it.
  valgrind --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite,indirect,possible \
    --quiet "$tests" --gtest_brief=1 --gtest_filter='-ImageUpdate.PageNumbersEndAt0xFFFFAndNeverWrapToZero'
}

fuzz() {
  local dir="$build/fuzz"
  cmake -S "$root" -B "$dir" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DKALVO_FUZZ=ON \
    -DKALVO_TESTS=OFF >/dev/null || return
  cmake --build "$dir" -j "$jobs" --target kalvo_run_fuzzer || return
  # New inputs go to a corpus of the build's own; the seeds stay as committed.
  # One worker process per core; a crash, a hang or running out of memory
  # ends the run.
  mkdir -p "$dir/corpus" "$dir/artifacts"
  local log="$dir/fuzz.log"
  "$dir/fuzz/kalvo_run_fuzzer" -fork="$jobs" -ignore_crashes=0 -ignore_timeouts=0 -ignore_ooms=0 \
    -max_total_time="$fuzz_seconds" -timeout=20 -max_len=256 -len_control=0 \
    -artifact_prefix="$dir/artifacts/" "$dir/corpus" "$root/fuzz/corpus" >"$log" 2>&1
  local status=$?
  # The last progress line: "#<executions>: cov: ... time: <seconds>s ...".
  grep -E '^#[0-9]+: ' "$log" | tail -1 | sed -E \
    's/^#([0-9]+): .*corp: ([0-9]+) .*time: ([0-9]+)s.*/\1 \2 \3/' |
    while read -r runs corpus secs; do
      echo "fuzz: $runs executions in ${secs} s ($((runs / (secs > 0 ? secs : 1))) per second)," \
        "$jobs workers, corpus of $corpus inputs"
    done
  if ((status != 0)); then
    # What broke, and how to see the input again.
    grep -E '^broken:|ERROR|SUMMARY|Test unit written' "$log" | head -40
    echo "whole log: $log"
    echo "replay: KALVO_FUZZ_TRACE=1 $dir/fuzz/kalvo_run_fuzzer <the unit written above>"
  fi
  return $status
}

step "host tests under AddressSanitizer and UndefinedBehaviorSanitizer" sanitized_tests
step "host tests under valgrind memcheck" memcheck
step "run fuzzer for ${fuzz_seconds} s" fuzz

echo
echo "=== reliability: summary ==="
printf '%s\n' "${results[@]}"
exit $failed
