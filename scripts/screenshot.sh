#!/usr/bin/env bash
# Takes a screenshot of the demo window (simulated board, two sensors) under a
# virtual X server and saves it as docs/screenshot.png.
# Usage: scripts/screenshot.sh [build-dir]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$(cd "${1:-$root/build}" && pwd)"
demo="$build/quelvane-demo"
[ -x "$demo" ] || { echo "build the demo first: $demo is missing" >&2; exit 1; }
for tool in xvfb-run import; do
    command -v "$tool" >/dev/null || { echo "missing $tool (apt-get install xvfb xauth imagemagick)" >&2; exit 1; }
done

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
export LC_ALL=fr_FR.UTF-8 LANG=fr_FR.UTF-8  # the readings as a French user sees them
# The window shows its readings after the first tick (one second).
xvfb-run -a -s "-screen 0 640x260x24" bash -c "
    '$demo' & pid=\$!
    sleep 3
    import -window root -crop 581x167+0+0 '$scratch/shot.png'
    kill -TERM \$pid; wait \$pid || true
"
mkdir -p "$root/docs"
cp "$scratch/shot.png" "$root/docs/screenshot.png"
echo "saved $root/docs/screenshot.png"
