#!/usr/bin/env bash
# Builds, in an MSYS2 shell, what the job runs and nothing else: the program
# with the README's own commands (build/kalvo-update.exe; a native build
# leaves the Wine harness out), then the recorder DLL and the search probe on
# their own (e2e/planted_dll) into build-recorders/planted.
set -euo pipefail
cd "$(dirname "$0")/../.."
cmake -S . -B build -G Ninja
cmake --build build
cmake -S e2e/planted_dll -B build-recorders -G Ninja -DCMAKE_BUILD_TYPE=Release
cmake --build build-recorders
