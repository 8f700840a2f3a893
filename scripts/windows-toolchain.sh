#!/usr/bin/env bash
# Builds the Qt for MinGW that the Windows build needs, once, from Debian 12's
# own source packages: qtbase 5.15.8 (Core, Gui, Widgets, Network, Xml, Test
# and the windows platform plugin) and libqrencode, for x86_64-w64-mingw32
# with the posix thread model, plus the MinGW runtime DLLs beside Qt's.
#
#   bash scripts/windows-toolchain.sh [--tarball FILE.tar.xz]
#
# Installs into ~/.cache/belfry/qt5-mingw (PREFIX overrides), where the
# Windows scripts look when BELFRY_QT_MINGW is not set; --tarball also packs
# the prefix. Takes 1-2 hours on 2 cores. Needs a deb-src line for bookworm in
# the apt sources (apt-get source fetches the sources), and root or sudo for
# the build packages.
set -euo pipefail
cd "$(dirname "$0")/.."
tarball=""
[ "${1:-}" = --tarball ] && tarball=$(realpath -m "${2:?--tarball FILE.tar.xz}")
PREFIX=${PREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/belfry/qt5-mingw}
die() { echo "windows-toolchain: $*" >&2; exit 1; }

if ! grep -rqsE '^(deb-src|Types:.*deb-src)' /etc/apt/sources.list /etc/apt/sources.list.d/; then
  die "apt has no deb-src line: add one for bookworm (for example 'Types: deb deb-src' in
  /etc/apt/sources.list.d/debian.sources), run apt-get update, and start again"
fi

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
# Debian's source leaves out the Wintab header that the Windows platform
# plugin includes; Wine's stands in (libwine-dev).
$SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
  build-essential g++-mingw-w64-x86-64 cmake perl python3 xz-utils libwine-dev dpkg-dev >/dev/null

WORK=$(mktemp -d "${TMPDIR:-/tmp}/belfry-toolchain.XXXXXX")
trap 'rm -rf "$WORK" "$PREFIX.tmp"' EXIT
trap 'exit 130' INT TERM
# The posix-thread compilers under the plain names that Qt's configure
# calls, without changing the machine's alternatives.
mkdir -p "$WORK/bin"
for tool in gcc g++; do
  ln -s "$(command -v x86_64-w64-mingw32-$tool-posix)" "$WORK/bin/x86_64-w64-mingw32-$tool"
done
export PATH=$WORK/bin:$PATH

cd "$WORK"
# apt fetches as its own user where it can.
chmod a+rwx "$WORK"
# Only the upstream tarballs are built; a mirror that lacks a Debian part of
# the source package does not stop the build.
for package in qtbase-opensource-src qrencode; do
  apt-get source --download-only "$package" ||
    echo "windows-toolchain: not every file of $package came; only its upstream tarball is needed"
done
ls qtbase-opensource-src_*.orig.tar.xz qrencode_*.orig.tar.* >/dev/null 2>&1 ||
  die "apt-get source did not bring the upstream tarballs of qtbase-opensource-src and qrencode"
tar xf qtbase-opensource-src_*.orig.tar.xz
tar xf qrencode_*.orig.tar.*
qtsrc=$(ls -d qtbase-everywhere-src-*/)
qrsrc=$(ls -d qrencode-*/)

wintab=$qtsrc/src/3rdparty/wintab
mkdir -p "$wintab"
cp /usr/include/wine/wine/windows/pktdef.h "$wintab/"
cp /usr/include/wine/wine/windows/wintab.h "$wintab/wintab_wine.h"
cat >"$wintab/wintab.h" <<'SHIM'
/* Wine's Wintab declarations, with the Wine-library macros they use defined for a Unicode build. */
#ifndef BELFRY_WINTAB_SHIM_H
#define BELFRY_WINTAB_SHIM_H
#include <windows.h>
#ifndef DECL_WINELIB_TYPE_AW
#define DECL_WINELIB_TYPE_AW(type) typedef type##W type;
#endif
#ifndef WINELIB_NAME_AW
#define WINELIB_NAME_AW(func) func##W
#endif
#ifndef API
#define API WINAPI
#endif
#include "wintab_wine.h"
#endif
SHIM

# Built into a fresh folder and moved into place only when complete.
rm -rf "$PREFIX.tmp"
mkdir -p qtb && cd qtb
"../$qtsrc/configure" -xplatform win32-g++ -device-option CROSS_COMPILE=x86_64-w64-mingw32- \
  -prefix "$PREFIX.tmp" -opensource -confirm-license -release -shared -nomake examples -nomake tests \
  -no-opengl -no-dbus -no-icu -qt-zlib -qt-libpng -qt-libjpeg -qt-freetype -qt-harfbuzz -qt-pcre \
  -no-openssl -no-sql-odbc -no-sql-psql -no-sql-mysql -no-sql-sqlite -no-feature-sql -silent
make -j"$(nproc)"
make install

cd "$WORK" && mkdir -p qrb
cmake -S "$qrsrc" -B qrb -DCMAKE_SYSTEM_NAME=Windows -DCMAKE_C_COMPILER=x86_64-w64-mingw32-gcc \
  -DCMAKE_RC_COMPILER=x86_64-w64-mingw32-windres -DCMAKE_INSTALL_PREFIX="$PREFIX.tmp" -DWITH_TOOLS=NO \
  -DBUILD_SHARED_LIBS=NO -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build qrb -j"$(nproc)" --target install

# The MinGW runtime DLLs a program built with this toolchain loads.
for dll in libstdc++-6.dll libgcc_s_seh-1.dll; do
  cp "$(x86_64-w64-mingw32-g++ -print-file-name=$dll)" "$PREFIX.tmp/bin/"
done
cp /usr/x86_64-w64-mingw32/lib/libwinpthread-1.dll "$PREFIX.tmp/bin/"
# No trace of the build folder: build-directory lines of .prl files, the host bootstrap library.
sed -i '/QMAKE_PRL_BUILD_DIR/d' "$PREFIX.tmp"/lib/*.prl
rm -f "$PREFIX.tmp"/lib/libQt5Bootstrap.*

rm -rf "$PREFIX"
mv "$PREFIX.tmp" "$PREFIX"
echo "windows-toolchain: Qt for MinGW in $PREFIX"
if [ -n "$tarball" ]; then
  tar -C "$(dirname "$PREFIX")" -cJf "$tarball" "$(basename "$PREFIX")"
  (cd "$(dirname "$tarball")" && sha256sum "$(basename "$tarball")" >"$(basename "$tarball").sha256")
  echo "windows-toolchain: packed as $tarball"
fi
