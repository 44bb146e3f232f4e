#!/usr/bin/env bash
# Installs what is missing, builds both targets and runs every test.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh" "$@"
cd "$root/build/host"
ctest --output-on-failure -j "$(nproc)"
# A row that skips says why in its own output, which ctest keeps to its log.
grep -h -A4 "^SKIPPED:" Testing/Temporary/LastTest.log || true

# Then the host tests under the sanitizers and valgrind, and the run fuzzer.
"$root/scripts/reliability.sh"
