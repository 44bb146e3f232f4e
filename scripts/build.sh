#!/usr/bin/env bash
# Builds both targets from this tree:
#   build/host     the product on the stand-in Windows platform, with the tests
#   build/windows  kalvo-update.exe, cross-compiled with MinGW-w64
# Extra CMake arguments (for example -DKALVO_VENDOR_ID=0x1234) go to both.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build"
jobs="$(nproc)"

cmake -S "$root" -B "$build/windows" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
cmake --build "$build/windows" -j "$jobs"

cmake -S "$root" -B "$build/host" -G Ninja \
  -DKALVO_WINDOWS_EXE="$build/windows/kalvo-update.exe" "$@" >/dev/null
cmake --build "$build/host" -j "$jobs"
