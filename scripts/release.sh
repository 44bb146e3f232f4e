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
#   scripts/release.sh [--test-release] [--unsigned | --signed-program FILE]
#                      [CMake arguments...]
#
# A build with the placeholder firmware, vendor identifier or manufacturer
# (the tree's defaults) is packaged only as a test release, whose zip name
# ends in -test-windows-x64 and whose program calls itself a test release in
# its version resource. For a real release, give the real ones:
#   scripts/release.sh -DKALVO_VENDOR_ID=0x1234 -DKALVO_MANUFACTURER="..." \
#     -DKALVO_FPGA_IMAGE=/path/fpga.bin -DKALVO_FPGA_VERSION=... \
#     -DKALVO_MCU_IMAGE=/path/mcu.bin -DKALVO_MCU_VERSION=...
# Signing (release/signing.py): with a key in a PKCS#11 token
# (KALVO_SIGN_PKCS11_MODULE, KALVO_SIGN_PKCS11_KEY, KALVO_SIGN_CERTS,
# KALVO_SIGN_PASSWORD for the PIN) or, for test certificates, a PKCS#12 file
# (KALVO_SIGN_PFX). Where the key is on another machine, --unsigned packages
# the program unsigned and says what to sign; --signed-program FILE, with the
# same CMake arguments, packages the signed copy once it is checked to be
# this build's program. A release is refused unsigned without --unsigned; a
# test release is unsigned unless a key is given.
# KALVO_RELEASE_BUILD and KALVO_DIST name other folders for the build and the
# package.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${KALVO_RELEASE_BUILD:-$root/build/release}"
dist="${KALVO_DIST:-$root/dist}"

kind=(-DKALVO_TEST_RELEASE=OFF)
package=()
while (($#)); do
  case "$1" in
    --test-release) kind=(-DKALVO_TEST_RELEASE=ON) package+=(--test-release) ;;
    --unsigned) package+=(--unsigned) ;;
    --signed-program) package+=(--signed-program "${2:?--signed-program needs a file}"); shift ;;
    *) break ;;
  esac
  shift
done

"$root/scripts/install-deps.sh"

echo "Building kalvo-update.exe for release in $build"
cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release \
  -DKALVO_E2E=OFF "${kind[@]}" "$@" >/dev/null
cmake --build "$build" -j "$(nproc)" --target kalvo-update

python3 "$root/release/package.py" --build "$build" --out "$dist" "${package[@]}"
