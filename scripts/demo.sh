#!/usr/bin/env bash
# Belfry end to end on this machine: the service on loopback with a fresh data
# folder, the program in a sandbox home that holds an initialised iTunes (as
# inside Wine), and the phone played from the command line: it reads the
# client id from the QR code on screen, pairs, and sends three ringtones.
#
#   bash scripts/demo.sh          on your display (or a virtual one when there
#                                 is none); the program stays until you quit it
#                                 from its tray menu
#   bash scripts/demo.sh --check  unattended on a virtual display; exits 0 only
#                                 when every ringtone arrived with its sound
#                                 unchanged and the program quit in order
#                                 (farewell beat seen)
set -euo pipefail
cd "$(dirname "$0")/.."
check=0
[ "${1:-}" = --check ] && check=1

if [ -z "${BELFRY_DEMO_INNER:-}" ]; then
  bash scripts/setup.sh
  cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build -j"$(nproc)" --target belfry belfry-service belfry-phone >/dev/null
  if [ $check = 1 ] || [ -z "${DISPLAY:-}" ]; then
    export BELFRY_DEMO_INNER=1
    # Belfry draws nothing with OpenGL: no GLX integration on the virtual display.
    export QT_XCB_GL_INTEGRATION=none
    exec xvfb-run -a -s "-screen 0 1280x800x24 -dpi 96 -nolisten tcp" bash "$0" "$@"
  fi
fi
virtual=${BELFRY_DEMO_INNER:-0}

work=$(mktemp -d /tmp/belfry-demo.XXXXXX)
road_name=demo
source scripts/road.sh
trap road_cleanup EXIT

[ "$virtual" = 1 ] && start_tray_host
start_service

# The program's home, with settings that point it at the service.
home=$work/home
bash scripts/sandbox-home.sh "$home" ready >/dev/null
export XAUTHORITY=${XAUTHORITY:-$HOME/.Xauthority}
export HOME=$home XDG_CONFIG_HOME=$home/.config XDG_DATA_HOME=$home/.local/share \
       XDG_CACHE_HOME=$home/.cache XDG_RUNTIME_DIR=$home/.runtime
mkdir -p -m 0700 "$XDG_RUNTIME_DIR"
write_settings "$XDG_CONFIG_HOME/Corvale/Belfry.ini"
folder="$home/.wine/drive_c/users/belfry/Music/iTunes/iTunes Media/Automatically Add to iTunes"

build/bin/belfry >"$work/belfry.log" 2>&1 &
belfry_pid=$!
pids+=($belfry_pid)
say "Belfry started (home $home)"

pair_and_send
wait_arrived "$folder"

stopped() { ! kill -0 "$belfry_pid" 2>/dev/null; }

if [ "$virtual" = 1 ]; then
  wait_for 100 tray_shown || fail "no tray icon appeared"
  sleep 1
  [ $check = 1 ] || { import -window root demo.png && say "screenshot: $(pwd)/demo.png"; }
  quit_from_tray
  if ! wait_for 100 stopped; then
    # A tray host may place its icon elsewhere; the end of a session quits in
    # order too.
    say "the tray menu did not answer; quitting the program as a session end does (SIGTERM)"
    kill -TERM "$belfry_pid"
    wait_for 100 stopped || fail "the program did not quit"
  fi
else
  say "Belfry keeps running on your display; quit it from its tray menu to end the demo."
fi
status=0
wait "$belfry_pid" || status=$?
farewell_seen || fail "the service saw no farewell beat"
say "Belfry quit with status $status; the service saw its farewell beat"
stop_service
say "service stopped; everything is in $work"
[ "$status" = 0 ]
