#!/usr/bin/env bash
# Stages what the installer carries: the program, every DLL it loads from the
# Qt prefix (Qt and the MinGW runtime, followed through their own imports),
# the Windows platform plugin and the Windows 10/11 style, each with its
# imports. Windows' own DLLs are not in the prefix and so are left out.
#
# The staged copies are stripped: their debug information goes to DEBUG.zip,
# one NAME.debug per file that had any, which the stripped file names in its
# debuglink, so that a crash report from a user's machine can still be read.
# With BELFRY_SIGN_PFX set, the program is signed (sign.sh). Writes the NSIS
# lines that install the staged files and those that remove exactly them.
#
#   runtime-files.sh PROGRAM.exe QT_PREFIX STAGE FILES.nsh UNFILES.nsh DEBUG.zip
set -euo pipefail
exe=$1 qt=$2 stage=$3 files=$4 unfiles=$5 debugzip=$6
here=$(cd "$(dirname "$0")" && pwd)
tool=x86_64-w64-mingw32
plugins=(platforms/qwindows.dll styles/qwindowsvistastyle.dll)

imports() { "$tool-objdump" -p "$1" | sed -n 's/^\s*DLL Name: //p'; }
# A DLL name is matched without regard to case, as Windows does.
find_dll() {
  local hit
  hit=$(find "$qt/bin" -maxdepth 1 -iname "$1" -print -quit)
  [ -n "$hit" ] && echo "$hit"
}

declare -A seen=()
queue=("$exe")
for plugin in "${plugins[@]}"; do queue+=("$qt/plugins/$plugin"); done
dlls=()
while [ ${#queue[@]} -gt 0 ]; do
  file=${queue[0]}
  queue=("${queue[@]:1}")
  while read -r name; do
    key=${name,,}
    [ -z "${seen[$key]:-}" ] || continue
    seen[$key]=1
    if path=$(find_dll "$name"); then
      dlls+=("$path")
      queue+=("$path")
    fi
  done < <(imports "$file")
done

rm -rf "$stage" "$stage.debug"
mkdir -p "$stage/platforms" "$stage/styles" "$stage.debug"
cp "$exe" "${dlls[@]}" "$stage/"
for plugin in "${plugins[@]}"; do cp "$qt/plugins/$plugin" "$stage/$plugin"; done

staged=$(cd "$stage" && find . -type f -printf '%P\n' | sort)
for rel in $staged; do
  file=$stage/$rel debug=$stage.debug/$(basename "$rel").debug
  if "$tool-objdump" -h "$file" | grep -q '\.debug_info'; then
    "$tool-objcopy" --only-keep-debug "$file" "$debug"
    "$tool-strip" --strip-unneeded "$file"
    (cd "$stage.debug" && "$tool-objcopy" --add-gnu-debuglink="$(basename "$debug")" "$file")
  else
    "$tool-strip" --strip-unneeded "$file"
  fi
done
rm -f "$debugzip"
(cd "$stage.debug" && zip -q -9 "$debugzip" ./*.debug)
[ -z "${BELFRY_SIGN_PFX:-}" ] || bash "$here/sign.sh" "$stage/$(basename "$exe")"

# NSIS wants Windows separators in the folder it installs into.
win() { echo "${1//\//\\}"; }
{
  for dir in "" platforms styles; do
    echo "SetOutPath \"\$INSTDIR$( [ -z "$dir" ] || echo "\\$dir")\""
    for rel in $staged; do
      if [ "$(dirname "$rel")" = "${dir:-.}" ]; then echo "File \"$stage/$rel\""; fi
    done
  done
  echo "SetOutPath \"\$INSTDIR\""
} >"$files"
{
  for rel in $staged; do echo "Delete \"\$INSTDIR\\$(win "$rel")\""; done
  echo "RMDir \"\$INSTDIR\\platforms\""
  echo "RMDir \"\$INSTDIR\\styles\""
} >"$unfiles"
