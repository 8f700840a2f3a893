#!/usr/bin/env bash
# Lists what the installer carries: the program, every DLL it loads from the
# Qt prefix (Qt and the MinGW runtime, followed through their own imports) and
# the Windows platform plugin with its imports. Windows' own DLLs are not in
# the prefix and so are left out. Writes the NSIS lines that install them and
# those that remove exactly them again.
#
#   runtime-files.sh PROGRAM.exe QT_PREFIX FILES.nsh UNFILES.nsh
set -euo pipefail
exe=$1 qt=$2 files=$3 unfiles=$4
objdump=x86_64-w64-mingw32-objdump
plugin=$qt/plugins/platforms/qwindows.dll

imports() { "$objdump" -p "$1" | sed -n 's/^\s*DLL Name: //p'; }
# A DLL name is matched without regard to case, as Windows does.
find_dll() {
  local hit
  hit=$(find "$qt/bin" -maxdepth 1 -iname "$1" -print -quit)
  [ -n "$hit" ] && echo "$hit"
}

declare -A seen=()
queue=("$exe" "$plugin")
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

{
  echo "File \"$exe\""
  for dll in "${dlls[@]}"; do echo "File \"$dll\""; done
  echo "SetOutPath \"\$INSTDIR\\platforms\""
  echo "File \"$plugin\""
  echo "SetOutPath \"\$INSTDIR\""
} >"$files"
{
  echo "Delete \"\$INSTDIR\\$(basename "$exe")\""
  for dll in "${dlls[@]}"; do echo "Delete \"\$INSTDIR\\$(basename "$dll")\""; done
  echo "Delete \"\$INSTDIR\\platforms\\$(basename "$plugin")\""
  echo "RMDir \"\$INSTDIR\\platforms\""
} >"$unfiles"
