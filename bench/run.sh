#!/bin/sh
# Builds the benchmarks (Release) and prints every performance figure:
#  - the cost of a sensor reading: line operations, ioctls issued by the real
#    control (on the simulated board, then on a umockdev-emulated port), CPU;
#  - the CPU time of a sampling tick and of a settings save and load;
#  - a settings file of 70 MB: the window's load and close, the lookups of
#    --read (time and peak memory), beside the same keys alone;
#  - two-sensor ticks on a slow adapter (1 ms per line call): how long the
#    window's thread is kept from its event loop, the tick's wall time, the
#    ioctls per reading;
#  - start-up to the first tick and resident memory after 100 ticks, beside a
#    bare one-label window;
#  - the idle cost at the 1 min interval, over 60 s (skipped by --quick);
#  - publishing (MQTT to a mosquitto broker started here on loopback, and
#    /metrics): the tick's CPU and the slow adapter's figures above with both
#    publishers on, the memory beside the monitor without them, and the
#    readings while wrk asks for /metrics about 1000 times a second for 10 s.
# Opens no serial device: the window always runs on a simulated board, and
# the real control only on umockdev's emulated port. Everything the programs
# write goes to a scratch directory, removed at the end.
#   bench/run.sh [--quick]
#   BUILD_DIR     build directory (default: build-bench beside this folder)
#   JOBS          parallel build jobs (default: 2)
#   STARTUP_RUNS  runs of each start-up program, median printed (default: 5)
#   IDLE_SECONDS  length of the idle measurement (default: 60)
set -eu

quick=0
for arg in "$@"; do
    case "$arg" in
    --quick) quick=1 ;;
    -h | --help)
        sed -n '2,25p' "$0" | sed 's/^# \{0,1\}//'
        exit 0
        ;;
    *)
        echo "unknown option: $arg (try --help)" >&2
        exit 2
        ;;
    esac
done

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build-bench}
jobs=${JOBS:-2}
runs=${STARTUP_RUNS:-5}
idle_seconds=${IDLE_SECONDS:-60}

cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DQUELVANE_SANITIZE=OFF >/dev/null
cmake --build "$build" -j "$jobs" --target quelvane_figures quelvane_bench quelvane_bench_umockdev \
    quelvane_window_bench quelvane_responsiveness quelvane_startup quelvane_startup_bare quelvane_launch_timed \
    quelvane_plain_board quelvane-demo quelvane_big_settings quelvane_publish_load

scratch=$(mktemp -d "${TMPDIR:-/tmp}/quelvane-bench.XXXXXX")
pids=""
cleanup() {
    for pid in $pids; do
        kill -TERM "$pid" 2>/dev/null || true
    done
    rm -rf "$scratch"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# The window programs run on Qt's offscreen platform. A runtime directory of
# their own keeps Qt from warning about a missing one.
export QT_QPA_PLATFORM=offscreen
if [ -z "${XDG_RUNTIME_DIR:-}" ]; then
    mkdir -m 700 "$scratch/runtime"
    export XDG_RUNTIME_DIR="$scratch/runtime"
fi

# A mosquitto broker on a free loopback port, for the publishing figures: the
# window's benchmarks find it in QUELVANE_BENCH_MQTT.
broker_port=$("$build/bench/quelvane_publish_load" --free-port)
mkdir "$scratch/broker"
printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\nlog_dest none\n' "$broker_port" \
    >"$scratch/broker/mosquitto.conf"
[ "$(id -u)" -eq 0 ] && echo 'user root' >>"$scratch/broker/mosquitto.conf"
"$(command -v mosquitto || echo /usr/sbin/mosquitto)" -c "$scratch/broker/mosquitto.conf" &
pids="$pids $!"
if ! "$build/bench/quelvane_publish_load" --await "$broker_port"; then
    echo "mosquitto did not start (scripts/deps.sh test installs it)" >&2
    exit 1
fi
export QUELVANE_BENCH_MQTT="mqtt://127.0.0.1:$broker_port"

# The value of KEY in lines of KEY=VALUE words on standard input, one a line.
field() {
    awk -v key="$1" '{ for (i = 1; i <= NF; ++i) { n = index($i, "="); if (n > 1 && substr($i, 1, n - 1) == key) print substr($i, n + 1) } }'
}
# The median of the numbers on standard input, one a line.
median() {
    sort -n | awk '{ v[NR] = $1 } END { if (NR == 0) print "nan"; else if (NR % 2) print v[(NR + 1) / 2]; else print (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}
# The median of KEY over the runs in FILE.
median_of() {
    field "$1" <"$2" | median
}
# The median over the runs in FILE of KEY_B minus KEY_A.
median_step() {
    awk -v a="$1" -v b="$2" '{
        va = ""; vb = ""
        for (i = 1; i <= NF; ++i) { n = index($i, "="); k = substr($i, 1, n - 1)
            if (k == a) va = substr($i, n + 1); if (k == b) vb = substr($i, n + 1) }
        if (va != "" && vb != "") print vb - va }' "$3" | median
}
ratio() {
    awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2fx", a / b; else print "n/a" }'
}
# utime + stime of a process in clock ticks (fields 14 and 15 of its stat
# line; counted after the command name, which may hold blanks).
cpu_ticks() {
    sed 's/^.*) //' "/proc/$1/stat" | awk '{ print $12 + $13 }'
}
# Time on the CPU of every thread of a process in ns, from the scheduler's
# exact accounting (first field of /proc/PID/task/*/schedstat).
cpu_ns() {
    cat /proc/"$1"/task/*/schedstat | awk '{ sum += $1 } END { printf "%.0f\n", sum }'
}
# A settings file as a user with both sensors and logging leaves it; with
# $publishing set, with a [Publish] section too: the loopback broker, and
# /metrics on a free port.
publishing=""
two_sensor_settings() {
    printf '[CT]\r\nFileId=quelv\r\nfrm_quelvaner.option_double.value=1\r\nfrm_quelvaner.option_single.value=0\r\nfrm_quelvaner.check_log_to_file.value=1\r\n' >"$1"
    if [ -n "$publishing" ]; then
        printf '[Publish]\r\nmqtt=%s\r\nmqtt_id=bench\r\nmetrics=%s\r\n' "$QUELVANE_BENCH_MQTT" \
            "$("$build/bench/quelvane_publish_load" --free-port)" >>"$1"
    fi
}
# The demo's settings on the 1 min interval (one sensor, no logging).
one_minute_settings() {
    printf '[CT]\r\nFileId=quelv\r\nfrm_quelvaner.option_1_min.value=1\r\nfrm_quelvaner.option_1_sec.value=0\r\n' >"$1"
}

echo
echo "== Figures (simulated board, no device)"
"$build/bench/quelvane_figures"

echo
echo "== Real control on an emulated port (umockdev)"
umockdev-wrapper "$build/bench/quelvane_bench_umockdev"

echo
echo "== Google Benchmark: one reading"
"$build/bench/quelvane_bench" --benchmark_counters_tabular=true

echo
echo "== Google Benchmark: the window (offscreen, simulated board, two sensors, logging)"
echo "   BM_Tick: settle_ns 0 or the standard 5000; repaint 1: changed readings, repaint included;"
echo "   publish 1: both publishers on ([Publish]: MQTT to the loopback broker, /metrics)"
echo "   BM_SaveSettings case 0: file up to date, 1: the two readings changed, 2: new file"
(cd "$scratch" && "$build/bench/quelvane_window_bench" --benchmark_counters_tabular=true)

echo
echo "== A large settings file (offscreen): 70 MB, most of it a section of the user's own before [CT]"
echo "   window_load: Form_Load (33 keys); read_lookups: what --read looks up; window_close: Form_Unload,"
echo "   a save after a reading changed; peak_rise_kb: the peak resident memory above that before the step"
"$build/bench/quelvane_big_settings" | sed 's/^/   /'

echo
echo "== The window on a slow adapter (offscreen)"
"$build/bench/quelvane_responsiveness"
echo
echo "== The same with both publishers on"
"$build/bench/quelvane_responsiveness" 1000 5 1

echo
echo "== Start-up and memory (offscreen; median of $runs runs each)"
# start_up_runs SUFFIX [ARGS...]: $runs runs of each start-up program, each in
# a fresh directory, figures appended to $scratch/PROGRAM.SUFFIX. Taken in
# turns, so that a change in the machine's load falls on both alike.
start_up_runs() {
    local suffix=$1 i=0 program dir
    shift
    : >"$scratch/quelvane_startup.$suffix"
    : >"$scratch/quelvane_startup_bare.$suffix"
    while [ "$i" -lt "$runs" ]; do
        i=$((i + 1))
        for program in quelvane_startup quelvane_startup_bare; do
            dir="$scratch/$program-$suffix-$i"
            mkdir "$dir"
            two_sensor_settings "$dir/Quelvane.INI"
            (cd "$dir" && "$build/bench/quelvane_launch_timed" "$build/bench/$program" "$@") \
                >>"$scratch/$program.$suffix"
        done
    done
}
# The monitor's first reading of each sensor waits the 1 s conversion time
# (two sensors: 2 s), which the bare window has no counterpart for: these
# runs leave it out, so that the program's own cost stands beside the bare
# window's. The runs at the timer's period below show it both ways.
start_up_runs runs --no-conversion-wait
q="$scratch/quelvane_startup.runs"
b="$scratch/quelvane_startup_bare.runs"
if [ "$(field boxes <"$q" | sort -u)" != "0" ]; then
    echo "   warning: the monitor showed a message box at start-up" >&2
fi
if field paints <"$q" | grep -qx 0 || field paints <"$b" | grep -qx 0; then
    echo "   warning: a window was not painted after its first tick: painted_ms means nothing" >&2
fi
echo "   first titles: monitor \"$(sed -n '1s/.*title=//p' "$q")\", bare \"$(sed -n '1s/.*title=//p' "$b")\""
echo "   (first tick run at once; the monitor's conversion wait left out)"
printf '   %-34s %12s %12s %8s\n' "" "monitor" "bare window" "ratio"
for row in "first_tick_ms:exec to first tick's title (ms)" "painted_ms:exec to first tick painted (ms)" \
    "vmrss_kb:VmRSS after 100 ticks (kB)" "vmhwm_kb:VmHWM after 100 ticks (kB)"; do
    key=${row%%:*}
    mq=$(median_of "$key" "$q")
    mb=$(median_of "$key" "$b")
    printf '   %-34s %12s %12s %8s\n' "${row#*:}" "$mq" "$mb" "$(ratio "$mq" "$mb")"
done
# The same two programs again, the first tick coming from the timer one
# period (1 s) after start-up, as it does in use: with the conversion wait,
# as the program runs, and without it.
start_up_runs period --at-period
start_up_runs period_no_wait --at-period --no-conversion-wait
echo "   (first tick from the 1 s timer)"
for row in "period:exec to first title, as in use (ms)" "period_no_wait:the same, conversion wait left out"; do
    suffix=${row%%:*}
    mq=$(median_of first_tick_ms "$scratch/quelvane_startup.$suffix")
    mb=$(median_of first_tick_ms "$scratch/quelvane_startup_bare.$suffix")
    printf '   %-34s %12s %12s %8s\n' "${row#*:}" "$mq" "$mb" "$(ratio "$mq" "$mb")"
done
echo "   Steps on the way (medians, ms):"
printf '   %-34s %12s %12s\n' "exec to application object" "$(median_of app_ms "$q")" "$(median_of app_ms "$b")"
printf '   %-34s %12s %12s\n' "window made" "$(median_step app_ms window_ms "$q")" "$(median_step app_ms window_ms "$b")"
printf '   %-34s %12s %12s\n' "settings loaded (Form_Load)" "$(median_step window_ms loaded_ms "$q")" "-"
printf '   %-34s %12s %12s\n' "shown" "$(median_step loaded_ms shown_ms "$q")" "$(median_step loaded_ms shown_ms "$b")"
printf '   %-34s %12s %12s\n' "event loop to first tick" "$(median_step shown_ms tick_start_ms "$q")" \
    "$(median_step shown_ms tick_start_ms "$b")"
printf '   %-34s %12s %12s\n' "first tick" "$(median_step tick_start_ms first_tick_ms "$q")" \
    "$(median_step tick_start_ms first_tick_ms "$b")"
printf '   %-34s %12s %12s\n' "first paint after it" "$(median_step first_tick_ms painted_ms "$q")" \
    "$(median_step first_tick_ms painted_ms "$b")"

echo
echo "== Memory with both publishers on (offscreen; median of $runs runs, beside the monitor's runs above)"
publishing=1
start_up_runs publish --no-conversion-wait
publishing=""
printf '   %-34s %12s %12s %8s\n' "" "publishing" "none" "ratio"
for row in "vmrss_kb:VmRSS after 100 ticks (kB)" "vmhwm_kb:VmHWM after 100 ticks (kB)"; do
    key=${row%%:*}
    mp=$(median_of "$key" "$scratch/quelvane_startup.publish")
    mn=$(median_of "$key" "$q")
    printf '   %-34s %12s %12s %8s\n' "${row#*:}" "$mp" "$mn" "$(ratio "$mp" "$mn")"
done

echo
echo "== /metrics under load: --log of two sensors every 1 s, both publishers on, simulated board"
echo "   (wrk: 2 threads, 10 connections each waiting 10 ms after every answer, 10 s)"
port=$("$build/bench/quelvane_publish_load" --free-port)
"$build/bench/quelvane_publish_load" "$port" 12 >"$scratch/load.alone"
port=$("$build/bench/quelvane_publish_load" --free-port)
"$build/bench/quelvane_publish_load" "$port" 13 >"$scratch/load.wrk" &
load_pid=$!
"$build/bench/quelvane_publish_load" --await "$port"
sleep 1
wrk -t2 -c10 -d10s --latency -s "$root/bench/metrics_load.lua" "http://127.0.0.1:$port/metrics" >"$scratch/wrk.out"
wait "$load_pid"
echo "   readings alone:     $(cat "$scratch/load.alone")"
echo "   readings under wrk: $(cat "$scratch/load.wrk")"
sed -n 's/^/   wrk: /; /Requests\/sec\|Latency \|requests in\|Non-2xx\|Socket errors\|  50%\|  99%/p' "$scratch/wrk.out"

echo
if [ "$quick" -eq 1 ]; then
    echo "== Idle cost: skipped (--quick)"
    exit 0
fi
echo "== Idle cost at the 1 min interval (offscreen, ${idle_seconds} s after 2 s to settle)"
clock_ticks=$(getconf CLK_TCK)
started=""
for program in "$build/quelvane-demo" "$build/bench/quelvane_plain_board"; do
    name=$(basename "$program")
    dir="$scratch/idle-$name"
    mkdir "$dir"
    # The demo keeps its settings in its own folder, here $dir/quelvane-demo.
    settings="$dir"
    [ "$name" = quelvane-demo ] && settings="$dir/quelvane-demo" && mkdir -m 700 "$settings"
    one_minute_settings "$settings/Quelvane.INI"
    (cd "$dir" && XDG_STATE_HOME="$dir" exec "$program") >"$dir/output" 2>&1 &
    pids="$pids $!"
    started="$started $name:$!"
done
sleep 2
for entry in $started; do
    pid=${entry#*:}
    eval "before_$pid=\$(cpu_ticks $pid) before_ns_$pid=\$(cpu_ns $pid)"
done
wall_before=$(date +%s%N)
sleep "$idle_seconds"
wall_after=$(date +%s%N)
for entry in $started; do
    pid=${entry#*:}
    eval "after_$pid=\$(cpu_ticks $pid) after_ns_$pid=\$(cpu_ns $pid)"
done
printf '   %-22s %13s %14s %12s %14s %s\n' "program" "utime+stime" "% of one core" "on-CPU ms" "% of one core" \
    "indoor label at exit"
for entry in $started; do
    name=${entry%%:*}
    pid=${entry#*:}
    eval "before=\$before_$pid before_ns=\$before_ns_$pid after=\$after_$pid after_ns=\$after_ns_$pid"
    kill -TERM "$pid"
    wait "$pid" || true
    # The closing save stores the label: a temperature there (not the
    # design-time "--.-") shows that the 1 min tick ran during the measurement.
    settings="$scratch/idle-$name/Quelvane.INI"
    [ "$name" = quelvane-demo ] && settings="$scratch/idle-$name/quelvane-demo/Quelvane.INI"
    caption=$(sed -n 's/^frm_quelvaner\.label_temperature_indoor\.caption=//p' "$settings" |
        tr -d '\r' | iconv -f WINDOWS-1252 -t UTF-8)
    awk -v n="$name" -v d="$((after - before))" -v hz="$clock_ticks" -v w0="$wall_before" -v w1="$wall_after" \
        -v ns0="$before_ns" -v ns1="$after_ns" -v c="$caption" 'BEGIN {
            secs = (w1 - w0) / 1e9; ms = d * 1000 / hz; exact = (ns1 - ns0) / 1e6
            printf "   %-22s %10.0f ms %14.3f %12.2f %14.4f %s\n", n, ms, 100 * ms / 1000 / secs, exact,
                100 * exact / 1000 / secs, c == "" ? "(not saved)" : c }'
done
pids=""
echo "   (utime + stime from /proc/PID/stat, in steps of $((1000 / clock_ticks)) ms; on-CPU time from"
echo "   /proc/PID/task/*/schedstat, in ns; target under 0.1 % of one core)"
