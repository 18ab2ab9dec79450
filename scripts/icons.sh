#!/usr/bin/env bash
# Draws the application icon as PNGs for the hicolor theme into window/icons/:
# 32 px is the window's own 16-colour pixmap, the larger sizes the same
# thermometer redrawn (antialiased) on the pixmap's 32-unit grid.
# Usage: scripts/icons.sh   (needs ImageMagick: scripts/deps.sh docs)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="$root/window/icons"
command -v convert >/dev/null || { echo "missing convert (apt-get install imagemagick)" >&2; exit 1; }
mkdir -p "$out"
# No time stamps in the files, so that drawing again changes nothing.
png=(-strip -define png:exclude-chunks=date,time)

convert "$root/window/quelvane.xpm" "${png[@]}" "PNG32:$out/quelvane-32.png"
for size in 48 64 128; do
    scale="$(awk "BEGIN { print $size / 32 }")"
    convert -size "${size}x${size}" xc:none -draw "
        scale $scale,$scale
        fill #000080 rectangle 1,1 31,31
        fill #00FFFF rectangle 2,2 30,16
        fill #FFFFFF rectangle 2,16 30,30
        fill #000000 roundrectangle 13,3 20,25 3.5,3.5
        fill #C0C0C0 roundrectangle 14,4 19,24 2.5,2.5
        fill #FF0000 rectangle 15,11 18,24
        fill #000000 circle 16.5,25.5 16.5,31
        fill #FF0000 circle 16.5,25.5 16.5,30
        fill #FFFFFF roundrectangle 13.9,22.8 14.9,25.2 0.5,0.5
        fill #000000 rectangle 21,6 24,7 rectangle 21,12 24,13 rectangle 21,18 24,19
        fill #000000 rectangle 21,9 23,10 rectangle 21,15 23,16
    " "${png[@]}" "PNG32:$out/quelvane-$size.png"
done
echo "drew $out/quelvane-{32,48,64,128}.png"
