#!/usr/bin/env bash
# Sets up a fresh Debian machine, builds Belfry and runs it in a sandbox home
# that holds an installed and initialised iTunes (as it would be inside Wine).
#
# With a display (DISPLAY set) the program runs there until you quit it.
# Without one, it runs on a virtual display with a tray host for a few
# seconds, a screenshot is saved as demo.png, and the program is stopped.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)" --target belfry

sandbox=${BELFRY_SANDBOX:-$(mktemp -d /tmp/belfry-home.XXXXXX)}
bash scripts/sandbox-home.sh "$sandbox" ready >/dev/null
export HOME=$sandbox XDG_CONFIG_HOME=$sandbox/.config XDG_DATA_HOME=$sandbox/.local/share \
       XDG_CACHE_HOME=$sandbox/.cache XDG_RUNTIME_DIR=$sandbox/.runtime
mkdir -p -m 0700 "$XDG_RUNTIME_DIR"
echo "sandbox home: $sandbox"
echo "auto-add folder: $sandbox/.wine/drive_c/users/belfry/Music/iTunes/iTunes Media/Automatically Add to iTunes"

if [ -n "${DISPLAY:-}" ]; then
  exec build/bin/belfry
fi

seconds=${BELFRY_DEMO_SECONDS:-6}
xvfb-run -a -s "-screen 0 1024x640x24 -dpi 96" bash -c '
  trayer --edge top --align right --widthtype request --height 24 --transparent false >/dev/null 2>&1 &
  build/bin/belfry & pid=$!
  sleep 2
  start=$(date +%s%N)
  build/bin/belfry; status=$?
  echo "a second start ended with status $status after $(( ($(date +%s%N) - start) / 1000000 )) ms: the running instance answered"
  sleep '"$seconds"'
  import -window root demo.png
  kill $pid; wait $pid 2>/dev/null || true'
echo "settings written to $XDG_CONFIG_HOME/Corvale/Belfry.ini:"
cat "$XDG_CONFIG_HOME/Corvale/Belfry.ini"
echo "screenshot: $(pwd)/demo.png"
