#!/bin/sh
# Builds the history's benchmarks (Release) and prints its figures:
#  - a PNG export of a month of 1 s records (2.7 million lines, about 130 MB)
#    against `wc -l` on the same file (median of RUNS runs each, the file in
#    the page cache), and the export's peak memory (GNU time's maximum RSS);
#  - the CSV export of the same month;
#  - a zoom step redrawn on a year of 1 s records (Google Benchmark).
# The log is made in a scratch directory under TMPDIR (default /tmp) and
# removed at the end. The exports are timed through quelvane_history_export,
# the code of `quelvane --history` in a program of its own, which has no window
# and no port to reach.
#   bench/history.sh
#   BUILD_DIR  build directory (default: build-bench beside this folder)
#   JOBS       parallel build jobs (default: 2)
#   RUNS       runs of each timed command (default: 7)
set -eu

case "${1:-}" in
"") ;;
-h | --help) sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
*) echo "unknown option: $1 (try --help)" >&2; exit 2 ;;
esac

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-bench}
jobs=${JOBS:-2}
runs=${RUNS:-7}

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DQUELVANE_SANITIZE=OFF >/dev/null
cmake --build "$build" -j "$jobs" --target quelvane_history_export quelvane_make_log quelvane_history_bench

scratch=$(mktemp -d "${TMPDIR:-/tmp}/quelvane-history.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
trap 'exit 130' INT TERM
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
    mkdir -m 700 "$scratch/runtime"
    export XDG_RUNTIME_DIR="$scratch/runtime"
fi

median() {
    sort -n | awk '{ v[NR] = $1 } END { if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
# Wall time in ms of each of $runs runs of a command, one a line.
wall_ms() {
    i=0
    while [ "$i" -lt "$runs" ]; do
        i=$((i + 1))
        start=$(date +%s%N)
        "$@" >/dev/null 2>&1
        end=$(date +%s%N)
        echo $(((end - start) / 1000))
    done | awk '{ printf "%.1f\n", $1 / 1000 }'
}

exporter="$build/bench/quelvane_history_export"
log="$scratch/Quelvane.txt"
echo
echo "== A month of 1 s records"
"$build/bench/quelvane_make_log" "$log" 31
echo "   $(wc -l <"$log") lines, $(($(wc -c <"$log") / 1000000)) MB: $log"
cat "$log" >/dev/null  # into the page cache, for every command alike

wc_ms=$(wall_ms wc -l "$log" | median)
png_ms=$(wall_ms "$exporter" "$log" --png "$scratch/month.png" | median)
csv_ms=$(wall_ms "$exporter" "$log" --csv "$scratch/month.csv" | median)
peak_kb=$(/usr/bin/time -f %M "$exporter" "$log" --png "$scratch/month.png" 2>&1 >/dev/null | tail -n 1)
csv_peak_kb=$(/usr/bin/time -f %M "$exporter" "$log" --csv "$scratch/month.csv" 2>&1 >/dev/null | tail -n 1)
echo "   $("$exporter" "$log" --png "$scratch/month.png" 2>&1)"
echo "   PNG: $(wc -c <"$scratch/month.png") bytes"
echo "   (medians of $runs runs, wall clock)"
printf '   %-34s %10s\n' "wc -l" "$wc_ms ms"
printf '   %-34s %10s   %s\n' "--png (1200x600)" "$png_ms ms" \
    "$(awk -v a="$png_ms" -v b="$wc_ms" 'BEGIN { printf "%.1fx wc -l (target: at most 10x)", a / b }')"
printf '   %-34s %10s   %s\n' "--png peak memory" "$((peak_kb / 1024)) MB" "(target: at most 150 MB)"
printf '   %-34s %10s   %s\n' "--csv" "$csv_ms ms" "peak $((csv_peak_kb / 1024)) MB"

echo
echo "== A year of 1 s records in memory: a zoom step redrawn (1200x600, offscreen)"
echo "   BM_ZoomStep/DAYS: envelope and painting of one step around a span of DAYS (target: 16 ms)"
echo "   BM_Envelope/DAYS: the envelope alone, 1200 columns"
QT_QPA_PLATFORM=offscreen "$build/bench/quelvane_history_bench" --benchmark_counters_tabular=true 2>&1 |
    grep -v '^QStandardPaths'
