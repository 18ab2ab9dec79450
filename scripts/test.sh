#!/usr/bin/env bash
# Installs what is missing, builds and runs every test.
# Usage: scripts/test.sh [--sanitize]   (--sanitize: under ASan and UBSan)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
dir="$root/build/test"
options=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
case "${1:-}" in
"") ;;
--sanitize) dir="$root/build/sanitize"; options=(-DCMAKE_BUILD_TYPE=Debug -DQUELVANE_SANITIZE=ON) ;;
*) echo "usage: $0 [--sanitize]" >&2; exit 2 ;;
esac

"$root/scripts/deps.sh" test
cmake -S "$root" -B "$dir" "${options[@]}" >/dev/null
cmake --build "$dir" -j"$(nproc)"
export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}" UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1}"
ctest --test-dir "$dir" --output-on-failure -j"$(nproc)"
