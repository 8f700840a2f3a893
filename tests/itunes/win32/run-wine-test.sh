#!/usr/bin/env bash
# Cross-compiles the Win32 uninstall-registry reader with its test, fills a
# fresh Wine prefix with uninstall entries, runs the test there and compares
# its result with what the Wine system.reg reader finds in the same prefix.
#
#   run-wine-test.sh SOURCE_DIR WORK_DIR WINEREG_DUMP
#
# Exits 77 (skipped) when the cross compiler or Wine is not installed.
set -euo pipefail

src=$1
work=$2
dump=$3

skip() { echo "SKIP: $*"; exit 77; }

cxx=$(command -v x86_64-w64-mingw32-g++ || true)
[ -n "$cxx" ] || skip "x86_64-w64-mingw32-g++ not found (package g++-mingw-w64-x86-64)"
wine=$(command -v wine64 || true)
[ -n "$wine" ] || { [ -x /usr/lib/wine/wine64 ] && wine=/usr/lib/wine/wine64; } || true
[ -n "$wine" ] || wine=$(command -v wine || true)
[ -n "$wine" ] || skip "wine not found (packages wine64, wine)"
command -v wineboot >/dev/null || skip "wineboot not found"
command -v wineserver >/dev/null || skip "wineserver not found"

mkdir -p "$work"
exe=$work/test_win32registry.exe
"$cxx" -std=c++17 -O1 -Wall -Wextra -Werror -static -municode -I"$src" -o "$exe" \
    "$src/itunes/win32registry.cpp" "$src/tests/itunes/win32/test_win32registry.cpp"

export WINEDEBUG=-all LANG=C.UTF-8 LC_ALL=C.UTF-8 WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
WINEPREFIX=$(mktemp -d "${TMPDIR:-/tmp}/belfry-wine.XXXXXX")
export WINEPREFIX
cleanup() {
    wineserver -k >/dev/null 2>&1 || true
    wineserver -w >/dev/null 2>&1 || true
    rm -rf "$WINEPREFIX"
}
trap cleanup EXIT

# One persistent server for the whole run instead of one per command.
wineserver -p
wineboot --init >/dev/null 2>&1

key='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall'
reg() { "$wine" reg "$@" >/dev/null; }
add() { # subkey value data [more reg options]
    local sub=$1 name=$2 data=$3
    shift 3
    reg add "$key\\$sub" /v "$name" /d "$data" /f "$@"
}

# Wine enumerates subkeys sorted by name without regard to case, so {a1...}
# comes before {B2...}: the second entry's values must win.
add '{a1-iTunes-old}' DisplayName iTunes
add '{a1-iTunes-old}' DisplayVersion 1.0
add '{a1-iTunes-old}' InstallLocation 'C:\Old\'
add '{a1-iTunes-old}' HelpLink http://old.example/help
add '{a1-iTunes-old}' URLUpdateInfo http://old.example/update

add '{B2-iTunes-new}' DisplayName iTunes
add '{B2-iTunes-new}' DisplayVersion 12.13.1.3
add '{B2-iTunes-new}' InstallLocation 'C:\Program Files\iTunes 音乐\'
# 2048 characters and the NUL make 4098 bytes: too long, so absent.
add '{B2-iTunes-new}' URLUpdateInfo "$(printf 'u%.0s' $(seq 2048))"
# Exactly 4096 bytes of text with no terminating NUL: reg add and reg import
# both append one, so the test program writes this value itself.
"$wine" "$exe" fill

add '{c3-decoy}' DisplayName itunes
add '{c3-decoy}' InstallLocation 'C:\Decoy\'
add '{d4-wow}' DisplayName iTunes /reg:32
add '{d4-wow}' InstallLocation 'C:\Wow\' /reg:32
add '{e5-nameless}' InstallLocation 'C:\Nameless\'

status=0
"$wine" "$exe" | tr -d '\r' >"$work/win32.out" || status=$?
grep -v '^DUMP ' "$work/win32.out"
if [ "$status" -ne 0 ]; then
    echo "FAIL: the Win32 reader test exited with $status"
    exit 1
fi

# Let the server write system.reg, then read it the Linux way.
wineserver -k
wineserver -w
# The unterminated string must reach the file as hex(1), the form the Linux
# reader has to decode for the comparison to mean anything.
if ! grep -q '^"InstallDate"=hex(1):' "$WINEPREFIX/system.reg"; then
    echo "FAIL: system.reg does not hold the unterminated InstallDate as hex(1)"
    exit 1
fi
grep '^DUMP ' "$work/win32.out" | sed 's/^DUMP //' >"$work/win32.dump"
"$dump" "$WINEPREFIX/system.reg" >"$work/winereg.dump"
if ! diff -u "$work/win32.dump" "$work/winereg.dump"; then
    echo "FAIL: the system.reg reader disagrees with the Win32 registry"
    exit 1
fi
echo "PASS system.reg reader agrees with the Win32 registry"
