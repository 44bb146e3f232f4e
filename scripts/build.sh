#!/usr/bin/env bash
# Builds both targets from this tree:
#   build/host           the product on the stand-in Windows platform, with the tests
#   build/windows        kalvo-update.exe, cross-compiled with MinGW-w64 (GCC, GNU ld)
#   build/windows-clang  the same program and Wine harness built with clang and LLD,
#                        which the host build's tests check beside the first
# Extra CMake arguments (for example -DKALVO_VENDOR_ID=0x1234) go to all three.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build"
jobs="$(nproc)"

cmake -S "$root" -B "$build/windows" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
cmake --build "$build/windows" -j "$jobs"

cmake -S "$root" -B "$build/windows-clang" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/clang-mingw-w64-x86_64.cmake" \
  -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
cmake --build "$build/windows-clang" -j "$jobs"

cmake -S "$root" -B "$build/host" -G Ninja \
  -DKALVO_WINDOWS_EXE="$build/windows/kalvo-update.exe" \
  -DKALVO_WINDOWS_CLANG_EXE="$build/windows-clang/kalvo-update.exe" "$@" >/dev/null
cmake --build "$build/host" -j "$jobs"
