# The Windows program's whole road under Wine, from its installer: the
# installer's language on an English, a German and a Chinese system; a silent
# install for the user alone, signed with a certificate made for this run,
# into a fresh prefix that holds an initialised iTunes as Windows leaves it;
# the reference service on 127.0.0.1, the phone played from the command line
# (it reads the client id from the QR code on the screen), three ringtones
# checked packet for packet in the Windows folder, a second start that gives
# way to the first; an upgrade through the wizard over the running program
# with "Start with Windows" unticked, and a silent one after it; a quit through
# the tray menu with its farewell beat; an uninstall that keeps the user's
# settings and ringtones; and an install and uninstall for everyone. Also:
# our own symbols in the debug zip, a belfry.exe of another folder left alone,
# the tray slot judged by its pixels, one copy per machine across the two
# scopes, and the elevated half of a standard user's uninstall for everyone.
#
#   BELFRY_QT_MINGW=PREFIX|TARBALL bash scripts/windows-road.sh [--screenshot FILE.png] [--tray-starts N]
#
# --tray-starts N starts the paired program N times afresh (Wine's tray host
# with it) before the quit and counts the tray slots drawn and blank and the
# menus that opened at the first right-click; then N times a program that is a
# Qt tray icon and its menu and nothing else (tools/bare_tray.cpp), the same.
#
# Needs the build from scripts/windows.sh (build-win/), whose installer it
# makes again signed (and leaves to the next scripts/windows.sh to make
# unsigned), and the Linux service and phone (build/, built here when
# missing). When a step fails, the screen and its windows are saved.
set -euo pipefail
cd "$(dirname "$0")/.."
shot="" tray_starts=0 args=("$@")
while [ $# -gt 0 ]; do
  case $1 in
    --screenshot) shot=$(realpath -m "${2:?--screenshot FILE.png}"); shift ;;
    --tray-starts) tray_starts=${2:?--tray-starts N}; shift ;;
    *) echo "usage: windows-road.sh [--screenshot FILE.png] [--tray-starts N]" >&2; exit 2 ;;
  esac
  shift
done

version=$(sed -n 's/^project(Belfry VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
setup=build-win/Belfry-Setup-$version.exe
[ -f build-win/CMakeCache.txt ] || { echo "windows-road: no build-win: run scripts/windows.sh first" >&2; exit 1; }

if [ -z "${BELFRY_ROAD_INNER:-}" ]; then
  bash scripts/setup.sh
  [ -d build ] || cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build build -j"$(nproc)" --target belfry-service belfry-phone >/dev/null
  export BELFRY_ROAD_INNER=1
  exec xvfb-run -a -s "-screen 0 1280x800x24 -dpi 96 -nolisten tcp" bash "$0" "${args[@]}"
fi

work=$(mktemp -d /tmp/belfry-windows-road.XXXXXX)
road_name=windows-road
source scripts/road.sh

# A throw-away certificate signs this run's installer, its uninstaller and
# the program; made before HOME moves, so that the build finds its Qt.
openssl req -x509 -newkey rsa:2048 -nodes -days 1 -subj "/CN=Belfry road" \
  -addext extendedKeyUsage=codeSigning -keyout "$work/key.pem" -out "$work/cert.pem" 2>/dev/null
openssl pkcs12 -export -inkey "$work/key.pem" -in "$work/cert.pem" -passout pass:road -out "$work/road.pfx"
BELFRY_SIGN_PASSWORD=road bash scripts/windows.sh --sign "$work/road.pfx" >/dev/null
[ "$tray_starts" = 0 ] || cmake --build build-win --target bare_tray >/dev/null
signed() { osslsigncode verify -CAfile "$work/cert.pem" -in "$1" >/dev/null 2>&1; }
signed "$setup" || fail "the installer's signature does not verify"

export HOME=$work/home WINEPREFIX=$work/prefix WINEDEBUG=${WINEDEBUG:--all} WINEDLLOVERRIDES="mscoree,mshtml="
# Wine makes Unix file names from Windows ones in the locale's character set:
# outside a UTF-8 locale every non-ASCII letter of a ringtone's name is "?".
export LC_ALL=C.UTF-8
mkdir -p "$HOME"
cleanup() {
  road_cleanup
  wineserver -k >/dev/null 2>&1 || true
  # The certificate goes with this run: the next build is unsigned again.
  cmake -S . -B build-win -DBELFRY_SIGN_PFX= >/dev/null 2>&1 || true
}
trap cleanup EXIT

start_tray_host
start_service
wineboot -i >/dev/null 2>&1
user=$(id -un)
profile="$WINEPREFIX/drive_c/users/$user"
run_key='Software\Microsoft\Windows\CurrentVersion\Run'
uninstall_key='Software\Microsoft\Windows\CurrentVersion\Uninstall\Belfry'
runs_at_logon() { wine reg query "$1\\$run_key" /v Belfry /reg:64 >/dev/null 2>&1; }
# The uninstall entry's values in HKCU or HKLM; nothing when there is none.
entry_in() {
  local values
  values=$(wine reg query "$1\\$uninstall_key" /reg:64 2>/dev/null) || return 0
  tr -d '\r' <<<"$values"
}
# The installer's wizard, as one started it: its window's id.
wizard() { xdotool search --onlyvisible --name "^Belfry $version" 2>/dev/null | head -1; }
wizard_shown() { [ -n "$(wizard)" ]; }
# The welcome picture goes down to the page's foot, in Chinese too, whose
# font makes the page taller: the colour four fifths down its left edge.
picture_reaches_foot() {
  local SCREEN WINDOW X Y WIDTH HEIGHT light
  eval "$(xdotool getwindowgeometry --shell "$(wizard)")"
  light=$(import -window root -crop "1x1+$((X + 20))+$((Y + HEIGHT * 4 / 5))" +repage \
    -format '%[fx:int(100*luminance)]' info:)
  [ "$light" -lt 40 ]
}
# FILE.png: the wizard as it looks now, once --screenshot is given. Taken
# from the screen: the window's own picture misses a custom page's controls.
wizard_page() {
  local SCREEN WINDOW X Y WIDTH HEIGHT
  [ -n "$shot" ] || return 0
  eval "$(xdotool getwindowgeometry --shell "$(wizard)")"
  import -window root -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage "$(dirname "$shot")/$1"
}

# 1. The installer speaks the system's language, English when it has not
# got it.
for pair in en_US:Setup de_DE:Setup zh_CN:安装; do
  LC_ALL=${pair%%:*}.UTF-8 wine "$setup" >/dev/null 2>&1 &
  setup_pid=$!
  wait_for 300 wizard_shown || fail "the installer's wizard did not open under ${pair%%:*}"
  title=$(xdotool getwindowname "$(wizard)")
  [ "$title" = "Belfry $version ${pair#*:}" ] || fail "under ${pair%%:*} the installer reads \"$title\""
  wait_for 50 picture_reaches_foot || fail "under ${pair%%:*} the welcome picture stops above the page's foot"
  if [ -n "$shot" ]; then
    sleep 1
    case ${pair%%:*} in
      en_US) wizard_page windows-setup-welcome.png
        # The scope page, with everyone's choice, which asks for rights.
        xdotool mousemove --window "$(wizard)" 400 20 click 1 sleep 0.5 key Return sleep 3
        xdotool mousemove --window "$(wizard)" 33 132 click 1 sleep 2
        wizard_page windows-setup-scope.png ;;
      zh_CN) wizard_page windows-setup-welcome-zh.png ;;
    esac
  fi
  wineserver -k
  wait "$setup_pid" || true
done
say "the installer speaks English to English and German systems, Chinese to Chinese ones;" \
  "its welcome picture reaches the page's foot in both"

# 2. The silent install: for this user alone, without administrator rights.
wine "$setup" /S
wineserver -w
program="$profile/AppData/Local/Programs/Belfry"
[ -f "$program/belfry.exe" ] && [ -f "$program/platforms/qwindows.dll" ] &&
  [ -f "$program/styles/qwindowsvistastyle.dll" ] || fail "nothing installed in $program"
[ ! -e "$WINEPREFIX/drive_c/Program Files/Corvale" ] || fail "a per-user install wrote into Program Files"
! grep -qi belfry "$WINEPREFIX/system.reg" || fail "a per-user install wrote under HKLM"
entry=$(entry_in HKCU)
for value in "DisplayName.*Belfry" "DisplayVersion.*$version" "Publisher.*Corvale" "UninstallString" \
  "URLInfoAbout" "HelpLink" "InstallDate.*20[0-9]{6}" "EstimatedSize"; do
  grep -Eq "$value" <<<"$entry" || fail "the uninstall entry lacks $value"
done
runs_at_logon HKCU || fail "no start with Windows"
[ -f "$profile/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/Belfry/Belfry.lnk" ] ||
  fail "no Start menu entry"
# A GUI program (no console window beside the tray icon) with its own icon.
headers=$(x86_64-w64-mingw32-objdump -p "$program/belfry.exe")
grep -q 'Subsystem.*Windows GUI' <<<"$headers" || fail "belfry.exe is a console program"
grep -q 'The .rsrc Resource Directory section' <<<"$headers" || fail "belfry.exe has no icon"
# Small: nothing installed carries debug information, and the uninstall entry
# tells the size it takes.
while read -r file; do
  ! x86_64-w64-mingw32-objdump -h "$file" | grep -q '\.debug_' || fail "$file is not stripped"
done < <(find "$program" -name '*.exe' -o -name '*.dll')
kib=$(du -sk "$program" | cut -f1)
[ "$kib" -le 25600 ] || fail "the installed files take $kib KiB"
told=$(sed -n 's/.*EstimatedSize.*0x\([0-9a-f]*\).*/\1/p' <<<"$entry")
[ $((16#$told)) -ge $((kib * 9 / 10)) ] || fail "the uninstall entry tells $((16#$told)) KiB for $kib"
for file in "$program/belfry.exe" "$program/uninstall.exe"; do
  signed "$file" || fail "$(basename "$file")'s signature does not verify"
done
# The uninstaller, which Task Manager and a prompt for rights name by its
# description, is not the installer.
bash installer/description.sh "$program/uninstall.exe" "Belfry Uninstaller" "$version" ||
  fail "uninstall.exe's version information is not its own"
installed=$(find "$program" -type f -printf '%P\n' | sort | tr '\n' ' ')
say "installed silently, signed, stripped, $kib KiB: $installed"
# The debug zip reads a crash in our own code back to its line.
unzip -q -d "$work/debug" "build-win/Belfry-$version-debug.zip" belfry.exe.debug
symbols="$work/debug/belfry.exe.debug"
address=$(x86_64-w64-mingw32-nm -C "$symbols" | awk '/ T Control::connectAll\(\)$/ && !n++ { print $1 }')
line=$(x86_64-w64-mingw32-addr2line -e "$symbols" "0x${address:-0}")
grep -q 'control/control\.cpp:[0-9]' <<<"$line" || fail "the debug zip reads Control::connectAll back as \"$line\""
say "the debug zip has our own code: Control::connectAll is at ${line##*/}"

# 3. iTunes as Windows leaves it: the uninstall entry, the library in the
# user's Music folder and the automatically-add folder inside its media folder.
itunes='HKLM\SOFTWARE\Microsoft\Windows\CurrentVersion\Uninstall\{D2A8E5C4-7A0B-4F1E-9C57-3B1E1F1C2A11}'
wine reg add "$itunes" /v DisplayName /d iTunes /f /reg:64 >/dev/null
wine reg add "$itunes" /v DisplayVersion /d 12.13.2.3 /f /reg:64 >/dev/null
wine reg add "$itunes" /v InstallLocation /d 'C:\Program Files\iTunes\' /f /reg:64 >/dev/null
music="$profile/Music"
folder="$music/iTunes/iTunes Media/Automatically Add to iTunes"
mkdir -p "$folder" "$music/iTunes/iTunes Media/Music"
source scripts/itunes-library.sh
itunes_library "$music/iTunes/iTunes Music Library.xml" "$user"
settings="$profile/AppData/Roaming/Corvale/Belfry.ini"
write_settings "$settings"

# 4. The installed program, as the Start menu starts it.
start_belfry() { wine "C:\\users\\$user\\AppData\\Local\\Programs\\Belfry\\belfry.exe" >>"$work/belfry.log" 2>&1; }
start_belfry &
belfry_pid=$!
pids+=($belfry_pid)
say "Belfry started in $WINEPREFIX"

# 5. The phone.
pair_and_send
wait_arrived "$folder"
grep -q "^iTunesFolder=C:/" "$settings" || fail "the settings do not name the Windows folder"

# 6. A second start gives way to the first and brings its window forward.
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
timeout 60 bash -c "$(declare -f start_belfry); work='$work' user='$user'; start_belfry" ||
  fail "a second start did not end with 0"
wait_for 100 window_shown || fail "the second start did not bring the window forward"
kill -0 "$belfry_pid" || fail "the first instance ended"
say "a second start ended with 0 and brought the window forward"

# 7. An upgrade through the wizard over the running program: it says so,
# keeps the folder, has the program quit with its farewell beat, takes
# "Start with Windows" away as unticked, and starts the program again. A
# silent upgrade into another folder after it keeps that choice.
farewells() { grep -c "farewell of $pcid" "$work/service.log" || true; }
# Under Wine the wizard takes the keyboard once clicked: Return is Next.
upgrade_through_wizard() {
  local setup_pid
  wine "$setup" >>"$work/belfry.log" 2>&1 &
  setup_pid=$!
  wait_for 300 wizard_shown || fail "the upgrade's wizard did not open"
  sleep 1
  wizard_page windows-setup-upgrade.png
  xdotool mousemove --window "$(wizard)" 400 20 click 1 sleep 0.5 key Return sleep 1.5 key Return sleep 1.5
  # The components' list has the keyboard: the second entry is "Start with Windows".
  xdotool key Down space sleep 0.5
  wizard_page windows-setup-components.png
  xdotool key Return
  wait_for 600 stopped_first || fail "the upgrade did not close the running program"
  wait_for 600 running || fail "the upgrade did not start the program again"
  sleep 2
  wizard_page windows-setup-finish.png
  xdotool mousemove --window "$(wizard)" 400 20 click 1 sleep 0.5 key Return
  wait "$setup_pid" || fail "the upgrade's wizard did not end with 0"
}
# This prefix's programs only: other roads may run theirs on this machine.
# The ids of those whose command line matches PATTERN; false when none.
in_prefix() {
  local pid found=1
  for pid in $(pgrep -f "$1"); do
    if tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX"; then
      echo "$pid"
      found=0
    fi
  done
  return $found
}
running() { in_prefix 'Belfry.belfry\.exe' >/dev/null; }
stopped_first() { ! kill -0 "$belfry_pid" 2>/dev/null; }
stopped() { ! running; }
upgrade_through_wizard
status=0
wait "$belfry_pid" || status=$?
[ "$status" = 0 ] || fail "the upgrade ended the program with status $status instead of asking it to quit"
[ "$(farewells)" = 1 ] || fail "the service saw no farewell beat when the upgrade closed the program"
[ -f "$program/belfry.exe" ] && [ -z "$(ls -d "$WINEPREFIX/drive_c/Program Files/Corvale" 2>/dev/null)" ] ||
  fail "the upgrade did not stay in $program"
wait_for 300 running && wait_for 300 tray_shown || fail "the program did not run again after the upgrade"
# Listening on its pipe before it is asked to quit again.
sleep 3
! runs_at_logon HKCU || fail "unticking \"Start with Windows\" left the Run value"
# The silent one moves it to another folder: the first copy goes, and a
# belfry.exe of another folder (one that sleeps; Wine's own programs would
# run under their own names) is none of its business.
mkdir -p "$WINEPREFIX/drive_c/decoy"
printf '#include <windows.h>\nint main(void) { Sleep(INFINITE); return 0; }\n' |
  x86_64-w64-mingw32-gcc -x c - -o "$WINEPREFIX/drive_c/decoy/belfry.exe"
wine 'C:\decoy\belfry.exe' >/dev/null 2>&1 &
pids+=($!)
decoy_running() { in_prefix 'decoy.belfry\.exe' >/dev/null; }
wait_for 100 decoy_running || fail "the decoy belfry.exe did not start"
wine "$setup" /S "/D=C:\\users\\$user\\Apps\\Belfry" >>"$work/belfry.log" 2>&1
decoy_running || fail "the upgrade ended a belfry.exe of another folder"
kill $(in_prefix 'decoy.belfry\.exe') 2>/dev/null || true
! runs_at_logon HKCU || fail "a silent upgrade forgot that Belfry does not start with Windows"
wait_for 300 running || fail "the program did not run again after the silent upgrade"
[ ! -e "$program" ] || fail "moving to another folder left $(find "$program" | tail -1)"
program="$profile/Apps/Belfry"
[ -f "$program/belfry.exe" ] && grep -q 'InstallLocation.*Apps.Belfry' <<<"$(entry_in HKCU)" ||
  fail "the silent upgrade did not move the program to $program"
# An older installer than the installed version refuses, silently too.
wine reg add "HKCU\\$uninstall_key" /v DisplayVersion /d 99.0 /f /reg:64 >/dev/null
status=0
wine "$setup" /S >>"$work/belfry.log" 2>&1 || status=$?
[ "$status" = 2 ] && running && grep -q "DisplayVersion.*99.0" <<<"$(entry_in HKCU)" ||
  fail "installing $version over 99.0 did not refuse (status $status)"
say "upgraded over the running program: it said farewell, ran again, kept its folder and no Run value;"
say "  moved to another folder, it left nothing in the first"
say "  an older version refused to install over a newer one"

# 8. Quit through the tray menu.
# The tray slot as it is drawn: blank when one colour fills nine tenths of
# it, as Wine's empty slot does (flat grey, deaf to every click).
slot_drawn() {
  local top
  tray_shown && import -window root "$work/slot.png" 2>/dev/null || return 1
  top=$(convert "$work/slot.png" -crop "${WIDTH}x${HEIGHT}+${X}+${Y}" +repage -format %c histogram:info: |
    awk -v total=$((WIDTH * HEIGHT)) '{ n = $1 + 0; if (n > top) top = n } END { print int(100 * top / total) }')
  [ "$top" -lt 90 ]
}
# Under Wine the menu does not take the keyboard: its last entry, quit, is
# clicked instead. The menu is the program's window that the click shows.
tray_program=belfry.exe
shown_windows() { { xdotool search --onlyvisible --class "$tray_program" 2>/dev/null || true; } | sort; }
find_menu() {
  local id SCREEN WINDOW X Y WIDTH HEIGHT
  for id in $(comm -13 <(echo "$before") <(shown_windows)); do
    eval "$(xdotool getwindowgeometry --shell "$id")"
    [ "$HEIGHT" -gt 40 ] && menu="$X $Y $WIDTH $HEIGHT" && return 0
  done
  return 1
}
# One right-click on the slot; true when the menu opened (menu: its geometry).
open_menu() {
  before=$(shown_windows) menu=""
  xdotool mousemove $((X + WIDTH - HEIGHT / 2)) $((Y + 3)) sleep 0.2 click 3
  wait_for 30 find_menu
}
# The program (tray_program) started afresh, as after signing in: Wine's
# tray host too.
fresh_start() {
  wineserver -k
  wait_for 100 stopped || fail "the program did not end for a fresh start"
  wine "C:\\users\\$user\\Apps\\Belfry\\$tray_program" >>"$work/belfry.log" 2>&1 &
  pids+=($!)
  wait_for 300 tray_shown || fail "no tray slot after a fresh start"
  sleep 3
}
# Counts tray_starts fresh starts of tray_program.
count_tray_starts() {
  local start state answer drawn=0 opened=0
  for ((start = 1; start <= tray_starts; start++)); do
    fresh_start
    state=blank answer=no
    ! slot_drawn || { state=drawn; drawn=$((drawn + 1)); }
    ! open_menu || { answer=yes; opened=$((opened + 1)); }
    say "  $tray_program, fresh start $start: tray slot $state, menu at the first right-click: $answer"
  done
  say "$tray_program, $tray_starts fresh starts: $drawn tray slots drawn, $((tray_starts - drawn)) blank;" \
    "the menu opened at the first right-click $opened times"
}
if [ "$tray_starts" -gt 0 ]; then
  count_tray_starts
  # Beside the program, whose DLLs it loads; it goes again before the uninstall.
  cp build-win/bin/bare_tray.exe "$program/"
  tray_program=bare_tray.exe
  count_tray_starts
  tray_program=belfry.exe
  rm "$program/bare_tray.exe"
  # Without the keyboard or a click beside it the last menu stays open.
  fresh_start
fi
wait_for 300 tray_shown || fail "no tray icon appeared after the upgrade"
sleep 1
# A blank slot, seen under Wine but in none of 20 fresh starts of this
# program or of a minimal Qt tray program beside it, so nobody's yet: one
# fresh start again, and nothing else is tried twice.
if ! slot_drawn; then
  say "the tray slot is blank; starting the program afresh once"
  fresh_start
  slot_drawn || fail "the tray slot is blank again after a fresh start"
fi
open_menu || fail "the tray icon's menu did not open at the first right-click"
read -r mx my mw mh <<<"$menu"
sleep 0.5
xdotool mousemove $((mx + mw / 2)) $((my + mh - 14)) click 1
wait_for 150 stopped || fail "the tray menu's quit did not end the program"
[ "$(farewells)" = 3 ] || fail "the service saw no farewell beat after the tray menu's quit"
say "Belfry quit from its tray menu; the service saw its farewell beat"
stop_service

# 9. The uninstaller takes what the installer brought and nothing of the user's.
if [ -n "$shot" ]; then
  # Its choices: the user's settings unticked.
  wine "$program/uninstall.exe" >/dev/null 2>&1
  wait_for 300 wizard_shown || fail "the uninstaller's wizard did not open"
  xdotool mousemove --window "$(wizard)" 400 20 click 1 sleep 0.5 key Return sleep 1.5
  wizard_page windows-uninstall-components.png
  wineserver -k
fi
wine "$program/uninstall.exe" /S
wineserver -w
wait_for 100 test ! -e "$program/belfry.exe" || fail "the uninstaller left the program"
[ ! -e "$program" ] || fail "the uninstaller left $(find "$program" | tail -1)"
[ -z "$(entry_in HKCU)" ] || fail "the uninstall entry is still there"
! runs_at_logon HKCU || fail "the program still starts with Windows"
[ ! -e "$profile/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/Belfry" ] || fail "the Start menu entry is still there"
[ -f "$settings" ] || fail "the uninstaller removed the settings"
all_there "$folder" || fail "the uninstaller touched the ringtones"
say "uninstalled; settings and ringtones kept"

# 10. For everyone: Program Files, the machine's uninstall entry and Run
# value, and the Start menu entry every user sees; and gone again.
wine "$setup" /S /ALLUSERS
wineserver -w
everyone="$WINEPREFIX/drive_c/Program Files/Corvale/Belfry"
common="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Belfry/Belfry.lnk"
[ -f "$everyone/belfry.exe" ] || fail "nothing installed for everyone in $everyone"
[ -f "$common" ] || fail "no Start menu entry for every user"
grep -q "InstallLocation.*Program Files" <<<"$(entry_in HKLM)" || fail "no uninstall entry for everyone"
runs_at_logon HKLM || fail "an install for everyone does not start with Windows for everyone"
[ -z "$(entry_in HKCU)" ] && ! runs_at_logon HKCU || fail "an install for everyone wrote into the user's registry"
wine "$everyone/uninstall.exe" /S
wineserver -w
wait_for 100 test ! -e "$everyone" || fail "the uninstaller left $everyone"
[ ! -e "$common" ] && [ -z "$(entry_in HKLM)" ] && ! runs_at_logon HKLM ||
  fail "the uninstaller for everyone left its Start menu entry, uninstall entry or Run value"
say "installed for everyone and uninstalled again"

# 11. One copy per machine: for everyone over the user's own copy removes it
# (and says so in the log); the user's own beside everyone's, asked for on
# the command line, keeps that one.
log="$profile/Temp/Belfry-Setup.log"
setup_log() { iconv -f UTF-16 -t UTF-8 "$log" 2>/dev/null | tr -d '\r'; }
mine="$profile/AppData/Local/Programs/Belfry"
wine "$setup" /S
wine "$setup" /S /ALLUSERS
wineserver -w
[ ! -e "$mine" ] && [ -z "$(entry_in HKCU)" ] && ! runs_at_logon HKCU && [ -f "$everyone/belfry.exe" ] ||
  fail "an install for everyone left the user's own copy"
grep -q "Removed the other copy of Belfry in C:.users.$user.AppData.Local.Programs.Belfry" <<<"$(setup_log)" ||
  fail "the log does not say the user's copy was removed: $(setup_log)"
wine "$setup" /S /CURRENTUSER
wineserver -w
[ -f "$mine/belfry.exe" ] && [ -f "$everyone/belfry.exe" ] || fail "an install for the user alone replaced everyone's"
grep -q "Kept the other copy of Belfry in C:.Program Files.Corvale.Belfry" <<<"$(setup_log)" ||
  fail "the log does not say everyone's copy was kept: $(setup_log)"
say "for everyone over the user's copy removed it; the user's beside everyone's kept that"

# 12. A standard user's uninstall of everyone's copy starts the uninstaller
# again elevated. Wine's user is an administrator, so the elevated half is
# run here as that start runs it: NSIS's copy of the uninstaller outside the
# folder, the folder last in _?= (cmd passes the line as it stands). It
# removes everyone's copy and leaves the user's whole.
mine_whole() {
  [ -f "$mine/belfry.exe" ] && [ -f "$mine/uninstall.exe" ] && runs_at_logon HKCU &&
    grep -q "InstallLocation.*Programs.Belfry" <<<"$(entry_in HKCU)" &&
    [ -f "$profile/AppData/Roaming/Microsoft/Windows/Start Menu/Programs/Belfry/Belfry.lnk" ]
}
mkdir -p "$WINEPREFIX/drive_c/elevated"
cp "$everyone/uninstall.exe" "$WINEPREFIX/drive_c/elevated/Au_.exe"
# Started without the folder, as it once was, it knows no copy of its own
# and touches nobody's.
wine 'C:\elevated\Au_.exe' /S /ALLUSERS
wineserver -w
mine_whole && [ -f "$everyone/belfry.exe" ] && [ -n "$(entry_in HKLM)" ] ||
  fail "an uninstaller that does not know its folder removed a copy's entries"
status=0
wine cmd /c 'C:\elevated\Au_.exe /S _?=C:\Program Files\Corvale\Belfry' || status=$?
wineserver -w
[ "$status" = 0 ] || fail "the elevated uninstaller ended with $status"
[ ! -e "$everyone" ] && [ ! -e "$common" ] && [ -z "$(entry_in HKLM)" ] && ! runs_at_logon HKLM ||
  fail "the elevated uninstaller left everyone's copy"
mine_whole || fail "the elevated uninstaller of everyone's copy damaged the user's"
wine "$mine/uninstall.exe" /S
wineserver -w
wait_for 100 test ! -e "$mine" || fail "the uninstaller left $mine"
say "the elevated half removed everyone's copy and left the user's whole"
