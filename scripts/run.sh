#!/usr/bin/env bash
# Installs what is missing, builds and starts the monitor in the current
# directory (where it keeps Quelvane.INI and Quelvane.txt; the demo keeps its
# own in ~/.local/state/quelvane-demo).
# Usage: scripts/run.sh [--demo]   (--demo: on the built-in simulated board)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
program=quelvane
case "${1:-}" in
"") ;;
--demo) program=quelvane-demo ;;
*) echo "usage: $0 [--demo]" >&2; exit 2 ;;
esac

"$root/scripts/deps.sh" run
cmake -S "$root" -B "$root/build/run" -DCMAKE_BUILD_TYPE=Release \
    -DQUELVANE_BUILD_TESTS=OFF -DQUELVANE_BUILD_BENCH=OFF >/dev/null
cmake --build "$root/build/run" --target "$program" -j"$(nproc)"
exec "$root/build/run/$program"
