#!/usr/bin/env bash
# Installs what is missing, builds both targets and runs the updater against
# the simulated Kalvo of the host build, showing what a user would see.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"
log="$root/build/demo-build.log"
mkdir -p "$root/build"
echo "Building the Windows program (build/windows, with MinGW-w64) and the host build with"
echo "the simulated Kalvo (build/host); a minute or two on a fresh clone, the log in $log ..."
# The configure step says in one line, on stderr, which placeholders the
# Windows program holds (a test build); a release build warns of each.
if ! "$root/scripts/build.sh" "$@" >"$log"; then
  tail -n 40 "$log"
  echo "The build failed; the whole log is in $log"
  exit 1
fi
echo "Built in $SECONDS s."
echo "--- kalvo-update against a simulated Kalvo ---"
status=0
"$root/build/host/kalvo-update" || status=$?
echo "--- exit status: $status ---"
echo "Windows program: $root/build/windows/kalvo-update.exe ($(stat -c %s "$root/build/windows/kalvo-update.exe") bytes)"
