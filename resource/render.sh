#!/bin/sh
# Renders the artwork in src/ into the PNGs that resource.qrc embeds:
# src/NAME.svg gives NAME.png at the SVG's own pixel size and NAME@2x.png at
# twice that (used on 150 % and 200 % screens), then recompresses them
# losslessly and rewrites resource.qrc to list every PNG here.
#
# Needs rsvg-convert (Debian package librsvg2-bin) and optipng (package
# optipng): `apt-get install librsvg2-bin optipng`. They are only needed to
# change the artwork; the build uses the committed PNGs.
#
# Usage: resource/render.sh [NAME ...]   (default: every src/*.svg)
set -eu
cd "$(dirname "$0")"

if [ $# -eq 0 ]; then
    set -- $(for svg in src/*.svg; do basename "$svg" .svg; done)
fi

for name in "$@"; do
    rsvg-convert --zoom=1 --output="$name.png" "src/$name.svg"
    rsvg-convert --zoom=2 --output="$name@2x.png" "src/$name.svg"
    optipng -quiet -o5 -strip all "$name.png" "$name@2x.png"
done

{
    echo '<RCC>'
    echo '  <qresource prefix="/resource">'
    for png in *.png; do
        echo "    <file>$png</file>"
    done
    echo '  </qresource>'
    echo '</RCC>'
} > resource.qrc
