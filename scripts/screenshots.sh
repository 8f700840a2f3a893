#!/usr/bin/env bash
# Renders the pictures in docs/screenshots from the program as it is: the road
# from pairing to the sync balloon (the real controller against a stand-in
# service on 127.0.0.1), the
# window on each page and during a sync (also at 200 % scaling), the tray,
# the pairing page, the dialogs and both iTunes-missing dialogs. Each runs on a
# virtual display with a tray host and no window manager.
set -euo pipefail
cd "$(dirname "$0")/.."
out=docs/screenshots
mkdir -p "$out"

bash scripts/setup.sh
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)" --target belfry belfry-service window_shots belfry_shots road_shots

on_display() {
  xvfb-run -a -s "-screen 0 ${SCREEN:-1024x640x24} -dpi 96" bash -c '
    trayer --edge top --align right --widthtype request --height 24 --transparent false >/dev/null 2>&1 &
    sleep 0.5; "$@"' sh "$@"
}

on_display build/bin/window_shots "$out"
on_display build/bin/belfry_shots "$out"
on_display build/bin/road_shots "$out"
scaled=$(mktemp -d)
QT_SCALE_FACTOR=2 SCREEN=1600x1000x24 on_display build/bin/window_shots "$scaled"
cp "$scaled/window-step1.png" "$out/window-scale2.png"
rm -rf "$scaled"

# The dialogs of a machine without iTunes, and with an iTunes never started.
for state in no-itunes no-library; do
  home=$(mktemp -d)
  bash scripts/sandbox-home.sh "$home" "$state" >/dev/null
  HOME=$home XDG_CONFIG_HOME=$home/.config SCREEN=640x400x24 on_display bash -c '
    build/bin/belfry 2>/dev/null & pid=$!
    sleep 2
    id=$(xwininfo -root -tree | grep "\"Carillo\"" | head -1 | awk "{print \$1}")
    import -window "$id" "$0"
    kill $pid' "$out/tunes-$state.png"
  rm -rf "$home"
done
# The phone's page at phone size, in headless Chromium, on the whole road.
tests/run-gui.sh /usr/bin/python3 tests/web/test_page.py --bin build/bin --screenshots "$out"
# The admin page on a computer's screen, after a minute of traffic.
/usr/bin/python3 tests/web/test_admin.py --bin build/bin --screenshots "$out"
ls -1 "$out"
