#!/usr/bin/env bash
# Builds Belfry for 64-bit Windows from this tree: build-win/bin/belfry.exe,
# the tests, and the installer build-win/Belfry-Setup-<version>.exe.
#
#   BELFRY_QT_MINGW=PREFIX|TARBALL bash scripts/windows.sh [--test]
#
# The Qt for MinGW comes from BELFRY_QT_MINGW (a prefix, or its tarball that
# is unpacked once into ~/.cache/belfry), else from what
# scripts/windows-toolchain.sh built. With --test the tests then run under
# Wine, each in a throw-away prefix.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
qt=$(bash scripts/windows-qt.sh)
export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD}
cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DBELFRY_QT_MINGW="$qt" \
  -DCMAKE_BUILD_TYPE=Release -DCMAKE_CXX_COMPILER_LAUNCHER=ccache >/dev/null
cmake --build build-win -j"$(nproc)"
cmake --build build-win --target installer
echo "windows: $(ls build-win/Belfry-Setup-*.exe)"

if [ "${1:-}" = --test ]; then
  ctest --test-dir build-win --output-on-failure -j"$(nproc)"
fi
