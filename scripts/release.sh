#!/usr/bin/env bash
# Makes the release package that users download:
#   dist/kalvo-update-<version>-windows-x64.zip
# with kalvo-update.exe, "Update Kalvo.cmd", the user guide, the third-party
# notices, the bill of materials (kalvo-update-<version>.cdx.json) and
# SHA256SUMS, and beside the zip its own SHA-256 and the bill of materials
# again. The program is built for release in build/release (Windows program
# only), from this run's settings alone, and is the same bytes wherever the
# tree is built. release/README.md says what each setting and refusal means.
#
#   scripts/release.sh [--test-release] [--unsigned | --signed-program FILE]
#                      [--no-timestamp] [CMake arguments...]
#
# A release gives the real firmware with its versions, the vendor
# identifier, the maker and its own version (or a tag vX.Y.Z on the commit):
#   scripts/release.sh -DKALVO_VERSION=1.4.0 -DKALVO_VENDOR_ID=0x1234 \
#     -DKALVO_MANUFACTURER="..." -DKALVO_FPGA_IMAGE=/path/fpga.bin \
#     -DKALVO_FPGA_VERSION=... -DKALVO_MCU_IMAGE=/path/mcu.bin -DKALVO_MCU_VERSION=...
# and is signed (release/signing.py) by the publisher KALVO_SIGN_PUBLISHER
# names: with a key in a PKCS#11 token, a PKCS#12 file, or elsewhere
# (--unsigned, then --signed-program FILE with the same arguments). A build
# with a placeholder is packaged only as a test release (--test-release).
# KALVO_RELEASE_BUILD and KALVO_DIST name other folders for the build and the
# package.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${KALVO_RELEASE_BUILD:-$root/build/release}"
dist="${KALVO_DIST:-$root/dist}"

kind=(-DKALVO_TEST_RELEASE=OFF)
package=()
signed_program=""
while (($#)); do
  case "$1" in
    --test-release) kind=(-DKALVO_TEST_RELEASE=ON) package+=(--test-release) ;;
    --unsigned | --no-timestamp) package+=("$1") ;;
    --signed-program)
      if [[ -n "$signed_program" ]]; then
        echo "Refusing: --signed-program is given twice; give the one signed program." >&2
        exit 1
      fi
      if (($# < 2)); then
        echo "Refusing: --signed-program needs the signed program's file." >&2
        exit 1
      fi
      signed_program="$2"
      package+=(--signed-program "$2")
      shift
      ;;
    *) break ;;
  esac
  shift
done
"$root/scripts/install-deps.sh" </dev/null

# The packaging reads the program's signature with asn1crypto: the python3 on
# PATH if it has it, else Debian's, for which scripts/install-deps.sh
# installs python3-asn1crypto.
python=""
for candidate in python3 /usr/bin/python3; do
  if "$candidate" -c "import asn1crypto" >/dev/null 2>&1; then
    python="$candidate"
    break
  fi
done
if [[ -z "$python" ]]; then
  echo "Refusing: no Python 3 here can import asn1crypto; install python3-asn1crypto." >&2
  exit 1
fi
plan=("$python" "$root/release/package.py" --build "$build" --out "$dist" "${package[@]}" --plan
  -- "$@")

# Each release from its own settings: no cache of an earlier run's.
rm -f "$build/CMakeCache.txt" "$build/kalvo-release.txt"
# Everything that can be refused is refused before the build: the signing
# settings, the sources' commit, time and changes, and the version.
version="$("${plan[@]}")"
echo "Building kalvo-update.exe for release in $build"
cmake -S "$root" -B "$build" -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DCMAKE_BUILD_TYPE=Release \
  -DKALVO_E2E=OFF -DKALVO_RELEASE=ON "${kind[@]}" "$@" ${version:+"-DKALVO_VERSION=$version"} \
  >/dev/null
# Then what the configured build says of itself: its placeholders.
"${plan[@]}" >/dev/null
cmake --build "$build" -j "$(nproc)" --target kalvo-update

"$python" "$root/release/package.py" --build "$build" --out "$dist" "${package[@]}"
