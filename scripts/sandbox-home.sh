#!/usr/bin/env bash
# Prepares a home folder in which Belfry finds an installed, initialised iTunes
# the way it finds one inside Wine: the uninstall entry in the default
# prefix's system.reg, the library file in ~/Music/iTunes, and the
# automatically-add folder on the prefix's C: drive.
#
#   scripts/sandbox-home.sh DIR [ready|no-library|no-itunes]
set -euo pipefail
dir=${1:?usage: sandbox-home.sh DIR [ready|no-library|no-itunes]}
state=${2:-ready}
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)

mkdir -p "$dir/.config" "$dir/.local/share" "$dir/.cache" "$dir/Music"

if [ "$state" != no-itunes ]; then
  mkdir -p "$dir/.wine/drive_c/Program Files/iTunes" "$dir/.wine/dosdevices"
  ln -sfn ../drive_c "$dir/.wine/dosdevices/c:"
  cat > "$dir/.wine/system.reg" <<'REG'
WINE REGISTRY Version 2
;; All keys relative to \\Machine

#arch=win64

[Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\{D2A8E5C4-7A0B-4F1E-9C57-3B1E1F1C2A11}] 1765000000
#time=1dc5d2a8e5c47a0
"DisplayName"="iTunes"
"DisplayVersion"="12.13.2.3"
"HelpLink"="http://www.apple.com/support/itunes/"
"InstallDate"="20261201"
"InstallLocation"="C:\\Program Files\\iTunes\\"
"URLUpdateInfo"="http://www.apple.com/itunes/"
REG
fi

if [ "$state" = ready ]; then
  media="$dir/.wine/drive_c/users/belfry/Music/iTunes/iTunes Media"
  mkdir -p "$media/Automatically Add to iTunes" "$media/Music" "$dir/Music/iTunes"
  source "$(dirname "$0")/itunes-library.sh"
  itunes_library "$dir/Music/iTunes/iTunes Music Library.xml" belfry
fi
echo "$dir"
