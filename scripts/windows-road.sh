#!/usr/bin/env bash
# The Windows program's whole road under Wine, from its installer: a silent
# install into a fresh prefix that holds an initialised iTunes as Windows
# leaves it, the reference service on 127.0.0.1, the phone played from the
# command line (it reads the client id from the QR code on the screen), three
# ringtones checked packet for packet in the Windows folder, a second start that
# gives way to the first, a quit through the tray menu with its farewell beat,
# and an uninstall that keeps the user's settings and ringtones.
#
#   bash scripts/windows-road.sh [--screenshot FILE.png]
#
# Needs the installer from scripts/windows.sh (build-win/) and the Linux
# service and phone (build/, built here when missing).
set -euo pipefail
cd "$(dirname "$0")/.."
shot=""
[ "${1:-}" = --screenshot ] && shot=$(realpath -m "${2:?--screenshot FILE.png}")

version=$(sed -n 's/^project(Belfry VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
setup=build-win/Belfry-Setup-$version.exe
[ -f "$setup" ] || { echo "windows-road: $setup missing: run scripts/windows.sh first" >&2; exit 1; }

if [ -z "${BELFRY_ROAD_INNER:-}" ]; then
  bash scripts/setup.sh
  [ -d build ] || cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build -j"$(nproc)" --target belfry-service belfry-phone >/dev/null
  export BELFRY_ROAD_INNER=1
  exec xvfb-run -a -s "-screen 0 1280x800x24 -dpi 96 -nolisten tcp" bash "$0" "$@"
fi

work=$(mktemp -d /tmp/belfry-windows-road.XXXXXX)
road_name=windows-road
source scripts/road.sh
export HOME=$work/home WINEPREFIX=$work/prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# Wine makes Unix file names from Windows ones in the locale's character set:
# outside a UTF-8 locale every non-ASCII letter of a ringtone's name is "?".
export LC_ALL=C.UTF-8
mkdir -p "$HOME"
cleanup() {
  road_cleanup
  wineserver -k >/dev/null 2>&1 || true
}
trap cleanup EXIT

start_tray_host
start_service
wineboot -i >/dev/null 2>&1

# 1. The silent install.
wine "$setup" /S
wineserver -w
user=$(id -un)
program="$WINEPREFIX/drive_c/Program Files/Corvale/Belfry"
[ -f "$program/belfry.exe" ] && [ -f "$program/platforms/qwindows.dll" ] || fail "nothing installed in $program"
uninstall='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\Belfry'
entry=$(wine reg query "$uninstall" /reg:64 | tr -d '\r')
for value in "DisplayName.*Belfry" "DisplayVersion.*$version" "Publisher.*Corvale" "UninstallString"; do
  grep -q "$value" <<<"$entry" || fail "the uninstall entry lacks $value"
done
wine reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Run' /v Belfry | grep -qi 'belfry.exe' ||
  fail "no start with Windows"
[ -f "$WINEPREFIX/drive_c/users/$user/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/Belfry/Belfry.lnk" ] ||
  fail "no Start menu entry"
# A GUI program (no console window beside the tray icon) with its own icon.
headers=$(x86_64-w64-mingw32-objdump -p "$program/belfry.exe")
grep -q 'Subsystem.*Windows GUI' <<<"$headers" || fail "belfry.exe is a console program"
grep -q 'The .rsrc Resource Directory section' <<<"$headers" || fail "belfry.exe has no icon"
installed=$(find "$program" -type f -printf '%P\n' | sort | tr '\n' ' ')
say "installed silently: $installed"

# 2. iTunes as Windows leaves it: the uninstall entry, the library in the
# user's Music folder and the automatically-add folder inside its media folder.
itunes='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\{D2A8E5C4-7A0B-4F1E-9C57-3B1E1F1C2A11}'
wine reg add "$itunes" /v DisplayName /d iTunes /f /reg:64 >/dev/null
wine reg add "$itunes" /v DisplayVersion /d 12.13.2.3 /f /reg:64 >/dev/null
wine reg add "$itunes" /v InstallLocation /d 'C:\Program Files\iTunes\' /f /reg:64 >/dev/null
music="$WINEPREFIX/drive_c/users/$user/Music"
folder="$music/iTunes/iTunes Media/Automatically Add to iTunes"
mkdir -p "$folder" "$music/iTunes/iTunes Media/Music"
source scripts/itunes-library.sh
itunes_library "$music/iTunes/iTunes Music Library.xml" "$user"
settings="$WINEPREFIX/drive_c/users/$user/AppData/Roaming/Corvale/Belfry.ini"
write_settings "$settings"

# 3. The installed program, as the Start menu starts it.
start_belfry() { wine "C:\\Program Files\\Corvale\\Belfry\\belfry.exe" >>"$work/belfry.log" 2>&1; }
start_belfry &
belfry_pid=$!
pids+=($belfry_pid)
say "Belfry started in $WINEPREFIX"

# 4. The phone.
pair_and_send
wait_arrived "$folder"
grep -q "^iTunesFolder=C:/" "$settings" || fail "the settings do not name the Windows folder"

# 5. A second start gives way to the first and brings its window forward.
wait_for 100 tray_shown || fail "no tray icon appeared"
main_window() { xdotool search --onlyvisible --name '^Carillo$' 2>/dev/null | head -1; }
window_shown() { [ -n "$(main_window)" ]; }
window_hidden() { [ -z "$(main_window)" ]; }
wait_for 100 window_shown || fail "the main window did not show after pairing"
sleep 1
[ -z "$shot" ] || { import -window root "$shot" && say "screenshot: $shot"; }
# The window's close button (top right of its fixed 618 x 456) hides it.
xdotool mousemove --window "$(main_window)" 584 32 click 1
wait_for 50 window_hidden || fail "the main window did not hide"
timeout 60 bash -c "$(declare -f start_belfry); work='$work'; start_belfry" ||
  fail "a second start did not end with 0"
wait_for 100 window_shown || fail "the second start did not bring the window forward"
kill -0 "$belfry_pid" || fail "the first instance ended"
say "a second start ended with 0 and brought the window forward"

# 6. Quit through the tray menu.
stopped() { ! kill -0 "$belfry_pid" 2>/dev/null; }
# Under Wine the menu does not take the keyboard: its last entry, quit, is
# clicked instead. The menu is the program's window that the click shows.
shown_windows() { xdotool search --onlyvisible --class 'belfry.exe' 2>/dev/null | sort; }
before=$(shown_windows)
menu=""
find_menu() {
  local id SCREEN WINDOW X Y WIDTH HEIGHT
  for id in $(comm -13 <(echo "$before") <(shown_windows)); do
    eval "$(xdotool getwindowgeometry --shell "$id")"
    [ "$HEIGHT" -gt 40 ] && menu="$X $Y $WIDTH $HEIGHT" && return 0
  done
  return 1
}
# A click that lands while Wine is still busy with the window that came
# forward can go unnoticed: try a few times.
for _ in 1 2 3; do
  xdotool mousemove $((X + WIDTH - HEIGHT / 2)) $((Y + 3)) sleep 0.2 click 3
  ! wait_for 30 find_menu || break
done
[ -n "$menu" ] || fail "the tray icon's menu did not open"
read -r mx my mw mh <<<"$menu"
sleep 0.5
xdotool mousemove $((mx + mw / 2)) $((my + mh - 14)) click 1
wait_for 150 stopped || fail "the tray menu's quit did not end the program"
status=0
wait "$belfry_pid" || status=$?
[ "$status" = 0 ] || fail "Belfry quit with status $status"
farewell_seen || fail "the service saw no farewell beat"
say "Belfry quit from its tray menu with status 0; the service saw its farewell beat"
stop_service

# 7. The uninstaller takes what the installer brought and nothing of the user's.
wine "$program/uninstall.exe" /S
wineserver -w
wait_for 100 test ! -e "$program/belfry.exe" || fail "the uninstaller left the program"
[ ! -e "$program" ] || fail "the uninstaller left $(find "$program" | tail -1)"
! wine reg query "$uninstall" /reg:64 >/dev/null 2>&1 || fail "the uninstall entry is still there"
! wine reg query 'HKCU\Software\Microsoft\Windows\CurrentVersion\Run' /v Belfry >/dev/null 2>&1 ||
  fail "the program still starts with Windows"
[ -f "$settings" ] || fail "the uninstaller removed the settings"
all_there "$folder" || fail "the uninstaller touched the ringtones"
say "uninstalled; settings and ringtones kept"
