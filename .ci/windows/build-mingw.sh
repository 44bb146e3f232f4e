#!/usr/bin/env bash
# Builds kalvo-update.exe in an MSYS2 shell, with the README's own commands:
# build/kalvo-update.exe, and the end-to-end harness in build/e2e.
set -euo pipefail
cd "$(dirname "$0")/../.."
cmake -S . -B build -G Ninja
cmake --build build
