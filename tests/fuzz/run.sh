#!/usr/bin/env bash
# Builds the settings-file fuzz target with clang and runs it for a bounded
# time on a copy of the seed corpus. Exits non-zero on any finding (crash,
# sanitizer report, broken rule, leak, timeout) or build failure.
# Usage: tests/fuzz/run.sh [seconds]   (default 60)
# QUELVANE_FUZZ_BUILD_DIR overrides the build directory (default build/fuzz).
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
seconds="${1:-60}"
case "$seconds" in
'' | *[!0-9]*) echo "usage: $0 [seconds]" >&2; exit 2 ;;
esac
build="${QUELVANE_FUZZ_BUILD_DIR:-$root/build/fuzz}"
compiler="$(command -v clang++ || command -v clang++-14 || true)"
if [[ -z "$compiler" ]]; then
  echo "$0: clang++ is needed for libFuzzer" >&2
  exit 2
fi

cmake -S "$root/tests/fuzz" -B "$build" -DCMAKE_CXX_COMPILER="$compiler" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j2

# The fuzzer writes its inputs, its settings files and any finding into a
# scratch directory, never into the repository. Memory-backed when available:
# every settings write is synced.
base=/tmp
if [[ -d /dev/shm && -w /dev/shm ]]; then base=/dev/shm; fi
work="$(mktemp -d "$base/quelvane-fuzz-run.XXXXXX")"
mkdir "$work/corpus" "$work/findings" "$work/tmp"
cp "$root"/tests/fuzz/corpus/* "$work/corpus/"

status=0
TMPDIR="$work/tmp" "$build/profile_file_fuzz" "$work/corpus" \
  -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
  -print_final_stats=1 -artifact_prefix="$work/findings/" || status=$?

if [[ $status -ne 0 || -n "$(ls -A "$work/findings")" ]]; then
  echo "$0: the fuzzer found a fault (exit $status); inputs kept in $work/findings" >&2
  [[ $status -ne 0 ]] || status=1
  exit "$status"
fi
rm -rf "$work"
