#!/usr/bin/env bash
# Installs what is missing, builds both targets and runs the updater against
# the simulated Kalvo of the host build, showing what a user would see.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh" "$@" >/dev/null
echo "--- kalvo-update against a simulated Kalvo ---"
status=0
"$root/build/host/kalvo-update" || status=$?
echo "--- exit status: $status ---"
echo "Windows program: $root/build/windows/kalvo-update.exe ($(stat -c %s "$root/build/windows/kalvo-update.exe") bytes)"
