#!/usr/bin/env bash
# Takes a screenshot of the demo window (simulated board, two sensors) under a
# virtual X server and saves it as docs/screenshot.png: the window's client
# area, nothing around it.
# Usage: scripts/screenshot.sh [build-dir]   (default: builds the demo in build/run)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/deps.sh" docs
if [ $# -gt 0 ]; then
    build="$(cd "$1" && pwd)"
else
    build="$root/build/run"
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release \
        -DQUELVANE_BUILD_TESTS=OFF -DQUELVANE_BUILD_BENCH=OFF >/dev/null
    cmake --build "$build" --target quelvane-demo -j"$(nproc)"
fi
demo="$build/quelvane-demo"
[ -x "$demo" ] || { echo "$demo is missing: build the target quelvane-demo there" >&2; exit 1; }

scratch="$(mktemp -d)"
trap 'rm -rf "$scratch"' EXIT
# The demo keeps its files in $XDG_STATE_HOME/quelvane-demo: here, in scratch.
export XDG_STATE_HOME="$scratch"
mkdir -m 700 "$scratch/quelvane-demo"
# A settings file that shows both sensors and logging on, as a user would have it.
cat > "$scratch/quelvane-demo/Quelvane.INI" <<'INI'
[CT]
FileId=quelv
frm_quelvaner.option_double.value=1
frm_quelvaner.check_log_to_file.value=1
INI
cd "$scratch"
# The window shows its readings after the first tick (one second), in French
# (the toolkit takes the number format from LANG, whether or not the system
# has that locale). Without a window manager the window has no frame: its own
# X window is exactly the client area.
xvfb-run -a -s "-screen 0 640x260x24" bash -c "
    LC_ALL=fr_FR.UTF-8 LANG=fr_FR.UTF-8 '$demo' & pid=\$!
    sleep 3
    id=\$(xwininfo -root -tree | awk '/ 581x167\+/ { print \$1; exit }')
    [ -n \"\$id\" ] && import -window \"\$id\" +repage '$scratch/shot.png'
    kill -TERM \$pid; wait \$pid || true
"
[ -s "$scratch/shot.png" ] || { echo "no window of 581x167 pixels was found" >&2; exit 1; }
mkdir -p "$root/docs"
cp "$scratch/shot.png" "$root/docs/screenshot.png"
echo "saved $root/docs/screenshot.png ($(identify -format '%wx%h' "$root/docs/screenshot.png"))"
