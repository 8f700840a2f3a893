#!/bin/sh
# Runs one widget test on a virtual X display of its own, with a tray host
# (trayer) so that QSystemTrayIcon finds a real notification area. Tray tests
# wait for the host themselves (QTRY_VERIFY on isSystemTrayAvailable).
# No window manager runs: frameless windows show exactly as they are drawn.
# Belfry draws nothing with OpenGL: Qt is kept from loading its GLX
# integration, whose Mesa libraries leak under LeakSanitizer on a bare machine.
set -eu
export QT_XCB_GL_INTEGRATION=none
exec xvfb-run -a -n "$(( 200 + $$ % 700 ))" -s "-screen 0 1280x800x24 -dpi 96 -nolisten tcp" \
  sh -c 'trayer --edge top --align right --widthtype request --height 24 --transparent false >/dev/null 2>&1 &
         exec "$@"' sh "$@"
