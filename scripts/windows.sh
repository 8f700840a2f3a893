#!/usr/bin/env bash
# Builds Belfry for 64-bit Windows from this tree: build-win/bin/belfry.exe,
# the tests, the installer build-win/Belfry-Setup-<version>.exe and beside it
# Belfry-<version>-debug.zip, the debug information of the installed files.
#
#   BELFRY_QT_MINGW=PREFIX|TARBALL bash scripts/windows.sh [--test] [--sign FILE.pfx [--timestamp URL]]
#
# The Qt for MinGW comes from BELFRY_QT_MINGW (a prefix, or its tarball that
# is unpacked once into ~/.cache/belfry), else from what
# scripts/windows-toolchain.sh built. With --test the tests then run under
# Wine, each in a throw-away prefix.
#
# --sign (or BELFRY_SIGN_PFX) signs belfry.exe, the installer and its
# uninstaller with osslsigncode; BELFRY_SIGN_PASSWORD is the certificate's
# password. Without either the build is unsigned, even when an earlier one
# was signed. --timestamp (or BELFRY_SIGN_TIMESTAMP) names a timestamp
# server (RFC 3161), so that the signature outlives the certificate; none
# unless given, since a build must not depend on a server elsewhere.
set -euo pipefail
cd "$(dirname "$0")/.."

run_tests="" pfx=${BELFRY_SIGN_PFX:-}
while [ $# -gt 0 ]; do
  case $1 in
    --test) run_tests=1 ;;
    --sign) pfx=${2:?--sign FILE.pfx}; shift ;;
    --timestamp) export BELFRY_SIGN_TIMESTAMP=${2:?--timestamp URL}; shift ;;
    *) echo "usage: windows.sh [--test] [--sign FILE.pfx [--timestamp URL]]" >&2; exit 2 ;;
  esac
  shift
done
[ -z "$pfx" ] || pfx=$(realpath "$pfx")

bash scripts/setup.sh
# The machine is shared: two jobs at most unless told.
jobs=${BELFRY_JOBS:-2}
qt=$(bash scripts/windows-qt.sh)
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD}
# RelWithDebInfo (-O2 -g): the installer strips what it installs, and the
# debug zip keeps our own code's symbols, so a crash report can be read.
cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DBELFRY_QT_MINGW="$qt" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DBELFRY_SIGN_PFX="$pfx" >/dev/null
cmake --build build-win -j"$jobs"
cmake --build build-win --target installer
echo "windows: $(ls build-win/Belfry-Setup-*.exe build-win/Belfry-*-debug.zip)${pfx:+ (signed)}"

if [ -n "$run_tests" ]; then
  ctest --test-dir build-win --output-on-failure -j"$jobs"
fi
