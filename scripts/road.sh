# The pieces of an end-to-end road, shared by scripts/demo.sh (Linux) and
# scripts/windows-road.sh (the installed Windows program under Wine). Sourced;
# the caller sets `work` (a scratch folder) before using them.

pids=()
road_cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
}
say() { echo "${road_name:-road}: $*"; }
fail() {
  say "FAILED: $*"
  say "logs: $work/service.log $work/belfry.log"
  # What the screen showed when it failed, to look at afterwards.
  if [ -n "${DISPLAY:-}" ]; then
    import -window root "$work/failed.png" 2>/dev/null || true
    for id in $(xdotool search --onlyvisible --name '' 2>/dev/null); do
      echo "$id $(xdotool getwindowname "$id" 2>/dev/null) $(xdotool getwindowgeometry "$id" 2>/dev/null | tr -s '\n ' ' ')"
    done >"$work/windows.txt"
    say "the screen: $work/failed.png, its windows: $work/windows.txt"
  fi
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

start_tray_host() {
  trayer --edge top --align right --widthtype request --height 24 --transparent false >/dev/null 2>&1 &
  pids+=($!)
}

# The reference service on loopback with a fresh data folder; sets url and service_pid.
start_service() {
  build/bin/belfry-service serve --listen 127.0.0.1:0 --data "$work/service" 2>"$work/service.log" &
  service_pid=$!
  pids+=($service_pid)
  wait_for 100 grep -q 'listening on' "$work/service.log" || fail "the service did not start"
  url=$(grep -o 'http://127\.0\.0\.1:[0-9]*' "$work/service.log" | head -1)
  say "service at $url, data in $work/service"
}

# Settings that point the program at the service. The stored "Version" is the
# program's own, so start-up keeps them instead of writing its defaults.
write_settings() { # FILE
  local version
  version=$(sed -n 's/^inline constexpr char Version\[\] = "\(.*\)";/\1/p' settings/defaults.h)
  mkdir -p "$(dirname "$1")"
  cat >"$1" <<INI
[General]
Version=$version
Pulse=5

[Server]
Host=$url
Ringtone=$url
INI
}

# The phone: reads the client id from the pairing page's QR code on the
# screen, pairs and sends the three samples. Sets pcid.
samples=(chime bell knock)
read_qr() {
  import -window root "$work/screen.png" 2>/dev/null || return 1
  pcid=$(zbarimg -q --raw "$work/screen.png" 2>/dev/null | grep -E '^[0-9a-f-]{14}R[0-9a-f-]{21}$' | head -1)
  [ -n "$pcid" ]
}
pair_and_send() {
  pcid=""
  wait_for 600 read_qr || fail "no client id QR code appeared on the screen"
  say "read the client id $pcid from the QR code"
  export BELFRY_PHONE_STATE=$work/phone.json
  local phone=build/bin/belfry-phone name
  # The service pairs only with a PC that has beaten, which the program does
  # a pulse after its start: until then the phone tries again each second.
  pair_phone() { $phone pair --service "$url" --pcid "$pcid" --name "Demo phone" >/dev/null 2>&1 || { sleep 1; false; }; }
  wait_for 20 pair_phone || fail "pairing"
  say "paired the demo phone"
  for name in "${samples[@]}"; do
    $phone send --pcid "$pcid" "server/samples/$name.m4r" >/dev/null || fail "sending $name"
  done
  say "sent ${samples[*]}"
}

# Every sample in FOLDER with its sound unchanged: the service writes each
# ringtone anew, so the container's bytes differ while the AAC packets, copied
# from the upload, must not.
audio_of() { ffmpeg -nostdin -v error -i "$1" -map 0:a -c copy -f md5 - 2>/dev/null; }
all_there() {
  local name
  for name in "${samples[@]}"; do
    [ -f "$1/$name.m4r" ] || return 1
  done
}
wait_arrived() { # FOLDER
  local name sent
  wait_for 900 all_there "$1" || fail "not every ringtone arrived in $1"
  for name in "${samples[@]}"; do
    sent=$(audio_of "server/samples/$name.m4r")
    [ -n "$sent" ] && [ "$sent" = "$(audio_of "$1/$name.m4r")" ] ||
      fail "$name.m4r arrived with other sound than was sent"
  done
  say "all ${#samples[@]} ringtones arrived with their sound unchanged in:"
  say "  $1"
}

# The tray host's panel grows to hold the icon (20 pixels or more) once the
# pairing page has counted down.
X=0 Y=0 WIDTH=0 HEIGHT=0
tray_shown() {
  local panel SCREEN WINDOW
  panel=$(xdotool search --name '^panel$' 2>/dev/null | head -1)
  [ -n "$panel" ] && eval "$(xdotool getwindowgeometry --shell "$panel")" && [ "$WIDTH" -ge 20 ]
}
# Quits as a user does: the tray icon's menu ends with its quit entry. The
# click goes to the icon's upper edge, clear of a balloon hanging below it.
quit_from_tray() {
  xdotool mousemove $((X + WIDTH - HEIGHT / 2)) $((Y + 3)) click 3
  sleep 0.5
  xdotool key Up Return
}

farewell_seen() {
  grep -q "farewell of $pcid" "$work/service.log"
}
stop_service() {
  kill -TERM "$service_pid"
  wait "$service_pid" || fail "the service did not stop in order"
}
