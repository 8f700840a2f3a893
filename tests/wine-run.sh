#!/usr/bin/env bash
# Runs one Windows test program under Wine, in a prefix and a home of its own
# that go when it ends: no test sees another's registry, settings or Music
# folder, and nothing is left in the user's own ~/.wine.
#
#   wine-run.sh QT_PREFIX PROGRAM.exe [ARGS...]
#
# QT_PREFIX is the Qt for MinGW the program was built with; its DLLs and
# plugins are found there instead of being copied beside every test.
set -euo pipefail
qt=$1
shift
work=$(mktemp -d "${TMPDIR:-/tmp}/belfry-wine.XXXXXX")
export HOME=$work/home WINEPREFIX=$work/prefix
export WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES="mscoree,mshtml="
# Wine makes Unix file names from Windows ones in the locale's character set:
# outside a UTF-8 locale every non-ASCII letter of a ringtone's name is "?".
export LC_ALL=C.UTF-8
mkdir -p "$HOME"
cleanup() {
  wineserver -k >/dev/null 2>&1 || true
  wineserver -w >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
wineboot -i >/dev/null 2>&1
# Unix paths reach the program through Wine's Z: drive.
export WINEPATH="Z:${qt//\//\\}\\bin"
export QT_PLUGIN_PATH="Z:${qt//\//\\}\\plugins"
# Without a console window QtTest writes to the debugger instead of stdout,
# and a program under Wine with its output in a pipe has none: have the log
# written to a file and show that.
log=$work/test.log
args=("$@")
case " $* " in *" -o "*) ;; *) args+=(-o "Z:${log//\//\\},txt") ;; esac
status=0
wine "${args[@]}" || status=$?
[ ! -f "$log" ] || tr -d '\r' <"$log"
exit $status
