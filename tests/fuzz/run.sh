#!/usr/bin/env bash
# Builds the fuzz targets with clang (the settings file, the measurement log
# reader) and runs each for a bounded time on a copy of its seed corpus.
# Exits non-zero on any finding (crash, sanitizer report, broken rule, leak,
# timeout) or build failure.
# Usage: tests/fuzz/run.sh [seconds]   (default 60, for each target)
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
status=0
for target in profile_file_fuzz:corpus log_reader_fuzz:log_corpus; do
  name="${target%%:*}"
  mkdir -p "$work/$name/corpus" "$work/$name/findings" "$work/$name/tmp"
  cp "$root/tests/fuzz/${target#*:}"/* "$work/$name/corpus/"
  TMPDIR="$work/$name/tmp" "$build/$name" "$work/$name/corpus" \
    -max_total_time="$seconds" -max_len=4096 -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$work/$name/findings/" || status=$?
  if [[ $status -ne 0 || -n "$(ls -A "$work/$name/findings")" ]]; then
    echo "$0: the fuzzer found a fault in $name (exit $status); inputs kept in $work/$name/findings" >&2
    [[ $status -ne 0 ]] || status=1
    exit "$status"
  fi
done
rm -rf "$work"
