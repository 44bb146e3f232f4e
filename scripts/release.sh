#!/usr/bin/env bash
# Makes the release package that users download:
#   dist/kalvo-update-<version>-windows-x64.zip
# with kalvo-update.exe, "Update Kalvo.cmd", the user guide, the third-party
# notices, the bill of materials (kalvo-update-<version>.cdx.json) and
# SHA256SUMS, and beside the zip its own SHA-256 and the bill of materials
# again. The program is built for release in
# build/release (Windows program only) and is the same bytes wherever the
# tree is built.
#
#   scripts/release.sh [--test-release] [CMake arguments...]
#
# A build with the placeholder firmware, vendor identifier or manufacturer
# (the tree's defaults) is packaged only as a test release, whose zip name
# ends in -test-windows-x64 and whose program calls itself a test release in
# its version resource. For a real release, give the real ones:
#   scripts/release.sh -DKALVO_VENDOR_ID=0x1234 -DKALVO_MANUFACTURER="..." \
#     -DKALVO_FPGA_IMAGE=/path/fpga.bin -DKALVO_FPGA_VERSION=... \
#     -DKALVO_MCU_IMAGE=/path/mcu.bin -DKALVO_MCU_VERSION=...
# Signing: KALVO_SIGN_PFX, KALVO_SIGN_PASSWORD and, optionally,
# KALVO_SIGN_TIMESTAMP_URL (release/package.py). Without a certificate the
# program is not signed, and the script says so.
# KALVO_RELEASE_BUILD and KALVO_DIST name other folders for the build and the
# package.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${KALVO_RELEASE_BUILD:-$root/build/release}"
dist="${KALVO_DIST:-$root/dist}"

kind=(-DKALVO_TEST_RELEASE=OFF)
package=()
if [[ "${1:-}" == --test-release ]]; then
  kind=(-DKALVO_TEST_RELEASE=ON)
  package=(--test-release)
  shift
fi

"$root/scripts/install-deps.sh"

echo "Building kalvo-update.exe for release in $build"
cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release \
  -DKALVO_E2E=OFF "${kind[@]}" "$@" >/dev/null
cmake --build "$build" -j "$(nproc)" --target kalvo-update

python3 "$root/release/package.py" --build "$build" --out "$dist" "${package[@]}"
