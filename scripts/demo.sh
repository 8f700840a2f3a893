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
#                                 when every ringtone arrived byte-identical and
#                                 the program quit in order (farewell beat seen)
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
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
}
trap cleanup EXIT
say() { echo "demo: $*"; }
fail() {
  say "FAILED: $*"
  say "logs: $work/service.log $work/belfry.log"
  exit 1
}
# Waits up to $1 tenths of a second for the command that follows to succeed.
wait_for() {
  local tenths=$1
  shift
  for _ in $(seq "$tenths"); do
    "$@" && return 0
    sleep 0.1
  done
  return 1
}

if [ "$virtual" = 1 ]; then
  trayer --edge top --align right --widthtype request --height 24 --transparent false >/dev/null 2>&1 &
  pids+=($!)
fi

# The service.
build/bin/belfry-service serve --listen 127.0.0.1:0 --data "$work/service" 2>"$work/service.log" &
service_pid=$!
pids+=($service_pid)
wait_for 100 grep -q 'listening on' "$work/service.log" || fail "the service did not start"
url=$(grep -o 'http://127\.0\.0\.1:[0-9]*' "$work/service.log" | head -1)
say "service at $url, data in $work/service"

# The program's home, with settings that point it at the service. The stored
# "Version" is the program's own, so start-up keeps them instead of writing
# its defaults.
home=$work/home
bash scripts/sandbox-home.sh "$home" ready >/dev/null
export XAUTHORITY=${XAUTHORITY:-$HOME/.Xauthority}
export HOME=$home XDG_CONFIG_HOME=$home/.config XDG_DATA_HOME=$home/.local/share \
       XDG_CACHE_HOME=$home/.cache XDG_RUNTIME_DIR=$home/.runtime
mkdir -p -m 0700 "$XDG_RUNTIME_DIR"
mkdir -p "$XDG_CONFIG_HOME/Corvale"
version=$(sed -n 's/^inline constexpr char Version\[\] = "\(.*\)";/\1/p' settings/defaults.h)
cat >"$XDG_CONFIG_HOME/Corvale/Belfry.ini" <<INI
[General]
Version=$version
Pulse=5

[Server]
Host=$url
Ringtone=$url
INI
folder="$home/.wine/drive_c/users/belfry/Music/iTunes/iTunes Media/Automatically Add to iTunes"

build/bin/belfry >"$work/belfry.log" 2>&1 &
belfry_pid=$!
pids+=($belfry_pid)
say "Belfry started (home $home)"

# The phone: the client id comes from the pairing page's QR code.
read_qr() {
  import -window root "$work/screen.png" 2>/dev/null || return 1
  pcid=$(zbarimg -q --raw "$work/screen.png" 2>/dev/null | grep -E '^[0-9a-f-]{14}R[0-9a-f-]{21}$' | head -1)
  [ -n "$pcid" ]
}
pcid=""
wait_for 300 read_qr || fail "no client id QR code appeared on the screen"
say "read the client id $pcid from the QR code"
export BELFRY_PHONE_STATE=$work/phone.json
phone=build/bin/belfry-phone
$phone pair --service "$url" --pcid "$pcid" --name "Demo phone" >/dev/null || fail "pairing"
say "paired the demo phone"
samples=(chime bell knock)
for name in "${samples[@]}"; do
  $phone send --pcid "$pcid" "server/samples/$name.m4r" >/dev/null || fail "sending $name"
done
say "sent ${samples[*]}"

arrived() {
  for name in "${samples[@]}"; do
    cmp -s "server/samples/$name.m4r" "$folder/$name.m4r" || return 1
  done
}
wait_for 900 arrived || fail "not every ringtone arrived in $folder"
say "all ${#samples[@]} ringtones arrived byte-identical in:"
say "  $folder"

# The tray host's panel grows to hold the icon once the pairing page has
# counted down.
X=0 Y=0 WIDTH=0 HEIGHT=0
tray_shown() {
  local panel SCREEN WINDOW
  panel=$(xdotool search --name '^panel$' 2>/dev/null | head -1)
  [ -n "$panel" ] && eval "$(xdotool getwindowgeometry --shell "$panel")" && [ "$WIDTH" -ge "$HEIGHT" ]
}
# Quits as a user does: the tray icon's menu ends with its quit entry. The
# click goes to the icon's upper edge, clear of a balloon hanging below it.
quit_from_tray() {
  xdotool mousemove $((X + WIDTH - HEIGHT / 2)) $((Y + 3)) click 3
  sleep 0.5
  xdotool key Up Return
}
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
grep -q "farewell of $pcid" "$work/service.log" || fail "the service saw no farewell beat"
say "Belfry quit with status $status; the service saw its farewell beat"
kill -TERM "$service_pid"
wait "$service_pid" || fail "the service did not stop in order"
say "service stopped; everything is in $work"
[ "$status" = 0 ]
