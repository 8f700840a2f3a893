#!/usr/bin/env bash
# Signs a Windows program in place with the certificate in BELFRY_SIGN_PFX
# (its password in BELFRY_SIGN_PASSWORD), timestamped when
# BELFRY_SIGN_TIMESTAMP names a server. makensis calls it for the installer
# and the uninstaller, runtime-files.sh for belfry.exe.
#
#   BELFRY_SIGN_PFX=FILE.pfx sign.sh PROGRAM.exe
set -euo pipefail
file=$1
args=(sign -pkcs12 "${BELFRY_SIGN_PFX:?no certificate}" -pass "${BELFRY_SIGN_PASSWORD:-}"
  -n Belfry -h sha256)
[ -z "${BELFRY_SIGN_TIMESTAMP:-}" ] || args+=(-ts "$BELFRY_SIGN_TIMESTAMP")
osslsigncode "${args[@]}" -in "$file" -out "$file.signed" >/dev/null
mv "$file.signed" "$file"
