#!/usr/bin/env bash
# Prints the Qt prefix for MinGW that the Windows scripts build against, and
# makes it ready first:
#   BELFRY_QT_MINGW=PREFIX            that prefix as it is;
#   BELFRY_QT_MINGW=FILE.tar.xz       the tarball, unpacked once into the cache
#                                     (checked against FILE.tar.xz.sha256 when
#                                     that lies beside it);
#   unset                             what scripts/windows-toolchain.sh built.
set -euo pipefail
cache=${XDG_CACHE_HOME:-$HOME/.cache}/belfry
given=${BELFRY_QT_MINGW:-}

is_prefix() { [ -d "$1/lib/cmake/Qt5" ] && [ -f "$1/include/qrencode.h" ]; }
die() { echo "windows-qt: $*" >&2; exit 1; }

if [ -z "$given" ]; then
  is_prefix "$cache/qt5-mingw" ||
    die "no Qt for MinGW: set BELFRY_QT_MINGW to a prefix or its tarball, or build one with scripts/windows-toolchain.sh"
  echo "$cache/qt5-mingw"
  exit 0
fi
if [ -d "$given" ]; then
  is_prefix "$given" || die "$given is not a Qt prefix for MinGW with libqrencode"
  (cd "$given" && pwd)
  exit 0
fi
[ -f "$given" ] || die "BELFRY_QT_MINGW=$given: no such file or folder"

sum=$(sha256sum "$given" | cut -d' ' -f1)
if [ -f "$given.sha256" ]; then
  expected=$(cut -d' ' -f1 "$given.sha256")
  [ "$sum" = "$expected" ] || die "$given does not match $given.sha256"
fi
# One folder per tarball content: a changed tarball never mixes with an old one.
dir=$cache/qt5-mingw-unpacked/${sum:0:16}
if [ ! -f "$dir/.complete" ]; then
  rm -rf "$dir" "$dir.tmp"
  mkdir -p "$dir.tmp"
  tar -C "$dir.tmp" -xf "$given"
  touch "$dir.tmp/.complete"
  mv "$dir.tmp" "$dir"
fi
for prefix in "$dir" "$dir"/*/; do
  prefix=${prefix%/}
  if is_prefix "$prefix"; then echo "$prefix"; exit 0; fi
done
die "$given holds no Qt prefix for MinGW"
