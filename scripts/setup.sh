#!/usr/bin/env bash
# Installs every Debian package that building, testing and running Belfry needs.
# Idempotent: when everything is already there it installs nothing and touches no network.
set -euo pipefail

packages=(
  cmake g++ make pkg-config
  qtbase5-dev libqrencode-dev
  libcpp-httplib-dev libsqlite3-dev nlohmann-json3-dev libssl-dev libboost-dev libicu-dev
  postgresql libpq-dev
  xvfb xauth x11-utils trayer imagemagick
  fonts-wqy-microhei fonts-wqy-zenhei fonts-dejavu-core
  zbar-tools xdotool curl e2fsprogs strace ffmpeg
  g++-mingw-w64-x86-64 wine64 wine nsis ccache xz-utils osslsigncode zip
  clang libclang-rt-14-dev
  ffmpeg qrencode chromium chromium-driver python3-selenium webkit2gtk-driver zlib1g-dev libbrotli-dev
  nginx systemd python3-seccomp
  prometheus
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "setup: installing ${missing[*]}"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
# The tests start nginx themselves, on loopback; the one Debian starts at
# installation would serve port 80 on every address.
if [[ " ${missing[*]} " == *" nginx "* ]] && [ -d /run/systemd/system ]; then
  $SUDO systemctl disable --now nginx >/dev/null 2>&1 || true
fi
# promtool checks the metrics, and the deployment test runs its own
# Prometheus on loopback: the one Debian starts would scrape nothing of ours.
if [[ " ${missing[*]} " == *" prometheus "* ]] && [ -d /run/systemd/system ]; then
  $SUDO systemctl disable --now prometheus prometheus-node-exporter >/dev/null 2>&1 || true
fi
