#!/usr/bin/env bash
# Fails unless the Windows program FILE's version information names it
# DESCRIPTION and VERSION, as Explorer's properties and Task Manager show it.
#
#   description.sh FILE DESCRIPTION VERSION
set -euo pipefail
file=$1 description=$2 version=$3
rc=$(x86_64-w64-mingw32-windres -i "$file" -O rc)
for value in "FileDescription\", \"$description\"" "ProductVersion\", \"$version\""; do
  grep -qF "VALUE \"$value" <<<"$rc" || {
    echo "$file: no $value in its version information:" >&2
    grep 'VALUE "' <<<"$rc" >&2 || true
    exit 1
  }
done
