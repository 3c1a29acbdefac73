#!/usr/bin/env bash
# Builds the optimised preset and runs every benchmark binary in
# build/default/bench against a private sound server started here (a 441 Hz
# sine as the input, a null sink as the output), then runs the program
# itself on a private X server: capture with the oscilloscope running, then
# with playback on as well, printing the CPU time it takes (percent of one
# core) and its peak memory, beside the sound server's CPU for it and for
# one plain capture stream. Then the display alone, a few runs, each on X,
# on X at QT_SCALE_FACTOR=2 and on a headless Weston side by side: the
# frames the paint box actually presents a second (counted by the X server's
# DAMAGE extension, or from Weston's record of the surface commits), the
# program's and the display server's CPU, and the voluntary context switches
# of each of the program's threads per captured block, and the medians of
# those runs, and as many more on X with 8 busy loops. Then
# scripts/bench-hidden.sh: the program's and the display server's CPU with
# the window shown, minimized and shown again, on X and on Weston. Last,
# scripts/bench-latency.sh: the input-to-output latency with playback on
# (median, p90, p99, max) and the heard blocks that are exact stretches of
# the input, beside the server's loopback module at 20 ms, for two ways of
# feeding the input, idle and with 8 busy loops; then on PipeWire, its
# period following the clients and forced to 1024 frames, idle, with 8 busy
# loops and with 8 beside a build of this tree, five runs of 30 s each.
# Extra arguments go to each benchmark, e.g. --benchmark_format=json.
#
#   scripts/bench.sh
#   MONITOR_AUDIO_BENCH_SECONDS=10 scripts/bench.sh   # shorter capture runs
#   MONITOR_AUDIO_LATENCY_SECONDS=5 MONITOR_AUDIO_EXACT_SECONDS=20 \
#       scripts/bench.sh           # shorter latency runs (idle, busy)
#   MONITOR_AUDIO_BENCH_BASELINE=OTHER/monitor-audio scripts/bench.sh
#                                 # the CPU and latency runs for another build
#   MONITOR_AUDIO_BENCH_BEFORE=<commit> scripts/bench.sh
#   MONITOR_AUDIO_BENCH_DISPLAY_RUNS=5 MONITOR_AUDIO_BENCH_DISPLAY_SECONDS=30 \
#       scripts/bench.sh                               # more, longer display runs
#   MONITOR_AUDIO_BENCH_DISPLAY_INPUT=out.monitor scripts/bench.sh
#                                 # the display runs with a silent input
#
# With MONITOR_AUDIO_BENCH_BEFORE the given commit is built too (in
# build/bench-before) and its drawing pass and display runs alternate with
# this tree's, so both sets of figures come from the same run.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --test
# The frame counter reads the X server's damage reports through ctypes.
if ! dpkg-query -W -f='${Status}' libxdamage1 2>/dev/null | grep -q '^install ok installed'; then
    as_root=()
    [[ $(id -u) -eq 0 ]] || as_root=(sudo)
    "${as_root[@]}" apt-get update -qq
    DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq \
        --no-install-recommends libxdamage1
fi

bench_args=("$@")
seconds=${MONITOR_AUDIO_BENCH_SECONDS:-30}
work=$(mktemp -d /tmp/monitor-audio-bench.XXXXXX)
# Sourced without arguments: with one it would start a server of its own.
set --
# shellcheck source=test-sound-server.sh
source scripts/test-sound-server.sh
# shellcheck source=xvfb-session.sh
source scripts/xvfb-session.sh
# shellcheck source=weston-session.sh
source scripts/weston-session.sh
trap 'xvfb_stop; test_sound_server_stop; rm -rf "$work"' EXIT
test_sound_server_start "$work/sound"

cmake --preset default -DMONITOR_AUDIO_BENCH=ON >/dev/null
cmake --build --preset default

before=${MONITOR_AUDIO_BENCH_BEFORE:-}
if [[ -n $before ]]; then
    commit=$(git rev-parse "$before^{commit}")
    # Kept between runs: rebuilt only when another commit is asked for.
    if [[ $(cat build/bench-before/commit 2>/dev/null) != "$commit" ]]; then
        rm -rf build/bench-before
        mkdir -p build/bench-before/src
        git archive "$commit" | tar -x -C build/bench-before/src
        echo "$commit" >build/bench-before/commit
    fi
    cmake -S build/bench-before/src -B build/bench-before/build -G Ninja \
        -DCMAKE_BUILD_TYPE=RelWithDebInfo -DMONITOR_AUDIO_BENCH=ON >/dev/null
    cmake --build build/bench-before/build --target monitor-audio workers_bench
fi

status=0
for bench in build/default/bench/*_bench; do
    [[ -x $bench ]] || continue
    echo "=== $(basename "$bench") ==="
    "$bench" "${bench_args[@]}" || status=1
    if [[ -n $before && $(basename "$bench") == workers_bench ]]; then
        echo "=== workers_bench of $before ==="
        build/bench-before/build/bench/workers_bench "${bench_args[@]}" || status=1
    fi
done

# The sound layer once more on its ALSA backend, beside the run above: no
# server for the layer to reach, and ALSA's default device on the same
# server through ALSA's PulseAudio plug-in.
mkdir -p "$work/alsa-home"
cp tests/support/alsa/test-server.asoundrc "$work/alsa-home/.asoundrc"
echo "=== platform_wave_bench on ALSA ==="
HOME=$work/alsa-home PULSE_SERVER=unix:/nonexistent/monitor-audio-bench-socket \
    build/default/bench/platform_wave_bench "${bench_args[@]}" || status=1

# CPU time a process has used so far, in clock ticks: utime + stime of
# /proc/PID/stat (fields 14 and 15; the name in field 2 may hold spaces).
cpu_ticks() {
    local stat fields
    stat=$(<"/proc/$1/stat")
    read -r -a fields <<<"${stat##*) }"
    echo $((fields[11] + fields[12]))
}
now() {
    date +%s.%N
}
# measure WHAT [PID]: over the next $seconds seconds, the sound server's CPU
# use and, given a PID, that process's CPU use and its peak memory so far.
measure() {
    local what=$1 pid=${2:-} ticks0=0 ticks1=0 server0 server1 t0 t1 hwm=-
    [[ -n $pid ]] && ticks0=$(cpu_ticks "$pid")
    server0=$(cpu_ticks "$TEST_SOUND_PID")
    t0=$(now)
    sleep "$seconds"
    if [[ -n $pid ]]; then
        kill -0 "$pid" 2>/dev/null || return 1
        ticks1=$(cpu_ticks "$pid")
        hwm=$(awk '/^VmHWM:/ { print $2 $3 }' "/proc/$pid/status")
    fi
    server1=$(cpu_ticks "$TEST_SOUND_PID")
    t1=$(now)
    awk -v what="$what" -v ticks=$((ticks1 - ticks0)) -v server=$((server1 - server0)) \
        -v pid="$pid" -v hz="$(getconf CLK_TCK)" -v t0="$t0" -v t1="$t1" -v hwm="$hwm" 'BEGIN {
            own = pid == "" ? "      -" : sprintf("%6.2f %%", 100 * ticks / hz / (t1 - t0))
            printf "%-36s cpu %s, sound server %6.2f %% of one core over %.1f s, peak memory %s\n",
                what, own, 100 * server / hz / (t1 - t0), t1 - t0, hwm }'
}

# thread_policies PID LABEL: each of the program's threads with its
# scheduling class (FF real-time FIFO, RR round robin, TS normal) and
# real-time priority.
thread_policies() {
    ps -L -o comm=,cls=,rtprio= -p "$1" |
        awk -v what="$2" '{ list = list sprintf("%s%s %s %s", NR > 1 ? ", " : "", $1, $2, $3) }
            END { printf "%-36s threads: %s\n", what ":", list }'
}

# program_run PROGRAM LABEL: the program's CPU and the server's, with
# playback off and then on.
program_run() {
    xvfb_start "$work/x" || return 1
    xvfb_app_start "$1"
    xvfb_app_window 60 || return 1
    # Start-up is not part of either phase.
    sleep 2
    measure "$2: playback off" "$APP_PID" || return 1
    xvfb_click_iniciar || return 1
    thread_policies "$APP_PID" "$2"
    measure "$2: playback on" "$APP_PID" || return 1
    xvfb_close_window || return 1
    xvfb_app_wait_exit 20 || return 1
    xvfb_stop
    if ((APP_STATUS != 0)); then
        echo "the program ended with status $APP_STATUS" >&2
        return 1
    fi
}

# A baseline build to compare with, e.g. one of the main branch.
baseline=${MONITOR_AUDIO_BENCH_BASELINE:-}
programs=(build/default/src/monitor-audio)
labels=(this)
if [[ -n $baseline ]]; then
    programs+=("$baseline")
    labels+=(baseline)
elif [[ -n $before ]]; then
    programs+=(build/bench-before/build/src/monitor-audio)
    labels+=("$before")
fi

echo "=== monitor-audio on Xvfb, ${seconds} s per phase (CPU in % of one core) ==="
parec -d in --raw --format=s16le --rate=44100 --channels=2 --latency-msec=23 >/dev/null &
capture_pid=$!
sleep 2
measure "one plain capture stream (parec)" || status=1
kill "$capture_pid"
wait "$capture_pid" 2>/dev/null || true
for i in "${!programs[@]}"; do
    if ! program_run "${programs[$i]}" "${labels[$i]}"; then
        echo "the program run failed" >&2
        xvfb_show_app_log
        status=1
    fi
done

xvfb_stop

# CPU ticks of any process.
pid_ticks() {
    local stat fields
    stat=$(<"/proc/$1/stat")
    read -r -a fields <<<"${stat##*) }"
    echo $((fields[11] + fields[12]))
}
# One line per thread of the program: "tid name voluntary-switches".
thread_switches() {
    local task name
    for task in "/proc/$APP_PID/task"/*; do
        name=$(tr ' ' _ <"$task/comm")
        [[ ${task##*/} == "$APP_PID" ]] && name=event-loop
        printf '%s %s %s\n' "${task##*/}" "$name" \
            "$(awk '/^voluntary_ctxt_switches:/ { print $2 }' "$task/status")"
    done
}
# display_run LABEL PROGRAM DISPLAY: the oscilloscope alone for
# $display_seconds, on DISPLAY: x (Xvfb), x2 (Xvfb, QT_SCALE_FACTOR=2, as on
# a high-density screen) or wayland (headless Weston, pixman renderer). The
# display server's CPU is Xvfb's or Weston's.
display_seconds=${MONITOR_AUDIO_BENCH_DISPLAY_SECONDS:-10}
display_run() {
    local label=${1:-program} program=$2 kind=$3 app0 app1 x0 x1 t0 t1 frames switches0 switches1
    local server
    case $kind in
    x | x2)
        # Room for the window at twice its size.
        XVFB_SCREEN=1600x1200x24 xvfb_start "$work/x-$label-$kind" || return 1
        if [[ $kind == x2 ]]; then
            QT_SCALE_FACTOR=2 xvfb_app_start "$program"
        else
            xvfb_app_start "$program"
        fi
        xvfb_app_window 60 || return 1
        server=$XVFB_PID
        ;;
    wayland)
        # In a subshell: the session's variables stay out of the X runs.
        rm -f "$work/wayland-pids"
        (
            weston_start "$work/wayland-$label" || exit 1
            weston_app_start "$program"
            weston_app_window 60 || exit 1
            echo "$APP_PID $WESTON_PID"
            # Held until the run is done.
            while weston_app_running; do sleep 0.2; done
            weston_stop
        ) >"$work/wayland-pids" 2>"$work/wayland-err" &
        local session=$! i
        for i in $(seq 1 600); do
            [[ -s $work/wayland-pids ]] && break
            kill -0 "$session" 2>/dev/null || break
            sleep 0.1
        done
        read -r APP_PID server <"$work/wayland-pids" 2>/dev/null || {
            cat "$work/wayland-err" >&2
            return 1
        }
        ;;
    esac
    sleep 2
    switches0=$(thread_switches)
    app0=$(pid_ticks "$APP_PID")
    x0=$(pid_ticks "$server")
    t0=$(now)
    if [[ $kind == wayland ]]; then
        sleep "$display_seconds"
    else
        # The paint box's rectangle in the window: 40, 48, 281 x 273.
        local k=1
        [[ $kind == x2 ]] && k=2
        frames=$(python3 bench/count_frames.py "$APP_WINDOW" "$display_seconds" \
            $((40 * k)) $((48 * k)) $((281 * k)) $((273 * k)))
    fi
    t1=$(now)
    app1=$(pid_ticks "$APP_PID")
    x1=$(pid_ticks "$server")
    switches1=$(thread_switches)
    if [[ $kind == wayland ]]; then
        # Pictures on Wayland: the commits of the program's busiest surface
        # (the one the paint box's pictures go to), in Weston's record of
        # every request. Keeping that record costs Weston, so it is taken
        # apart from the CPU figures, over the next few seconds.
        local count_seconds=5
        frames=$(XDG_RUNTIME_DIR=$work/wayland-$label/runtime WAYLAND_DISPLAY=weston \
            timeout "$count_seconds" weston-debug proto 2>/dev/null |
            grep -o 'client 0x[0-9a-f]* rq wl_surface@[0-9]*\.commit' | sort | uniq -c |
            sort -rn | awk 'NR == 1 { n = $1 } END { print n + 0 }')
        # As many as the measured seconds would have held.
        frames=$(awk -v f="$frames" -v s="$count_seconds" -v d="$display_seconds" \
            'BEGIN { printf "%d", f * d / s }')
        kill -INT "$APP_PID" 2>/dev/null || true
        wait "$session" 2>/dev/null || true
        grep -q . "$work/wayland-err" && cat "$work/wayland-err" >&2
        APP_PID=
    else
        xvfb_app_running || return 1
        xvfb_close_window || return 1
        xvfb_app_wait_exit 20 || return 1
        xvfb_stop
    fi
    # The program captures 44,100 / 1,024 blocks a second; each one is
    # handed to the display worker.
    # Pictures a second over the seconds counted: the span also holds the
    # counter's start, which with 8 busy loops took two seconds and more.
    awk -v label="$label" -v kind="$kind" -v frames="$frames" -v app=$((app1 - app0)) \
        -v counted="$display_seconds" \
        -v x=$((x1 - x0)) -v hz="$(getconf CLK_TCK)" -v t0="$t0" -v t1="$t1" \
        -v before="$switches0" -v after="$switches1" 'BEGIN {
            span = t1 - t0
            blocks = span * 44100 / 1024
            n = split(before, b, "\n")
            for (i = 1; i <= n; i++) { split(b[i], f, " "); start[f[1]] = f[3] }
            m = split(after, a, "\n")
            line = ""
            for (i = 1; i <= m; i++) {
                split(a[i], f, " ")
                if (!(f[1] in start)) continue
                d = f[3] - start[f[1]]
                if (d == 0) continue
                line = line sprintf(" %s:%.2f", f[2], d / blocks)
            }
            printf "%-16s frames %5.1f/s  program cpu %5.2f %%  server cpu %5.2f %%  switches per block:%s\n",
                label "/" kind, frames / counted, 100 * app / hz / span, 100 * x / hz / span, line
        }'
}

runs=${MONITOR_AUDIO_BENCH_DISPLAY_RUNS:-3}
# The sine by default; the silent output's monitor ("out.monitor") shows
# what a quiet room costs, where the picture hardly changes.
display_input=${MONITOR_AUDIO_BENCH_DISPLAY_INPUT:-in}
pactl set-default-source "$display_input"
echo "=== the display alone, input $display_input: $runs runs of ${display_seconds} s each ==="
echo "(x: Xvfb; x2: Xvfb with QT_SCALE_FACTOR=2; wayland: headless Weston, pixman renderer;"
echo " server cpu: Xvfb's or Weston's. Voluntary context switches per block of each thread"
echo " that had any, in the order the threads were started; unnamed ones carry the program's"
echo " name; event-loop is the GUI thread)"
for _ in $(seq 1 "$runs"); do
    for kind in x x2 wayland; do
        if [[ -n $before ]]; then
            display_run "before" build/bench-before/build/src/monitor-audio "$kind" || {
                xvfb_show_app_log
                xvfb_stop
                status=1
            }
        fi
        display_run "${before:+after}" build/default/src/monitor-audio "$kind" || {
            xvfb_show_app_log
            xvfb_stop
            status=1
        }
    done
done >"$work/display.txt"
cat "$work/display.txt"
# A shared machine now and then slows every process at once (the X server's
# CPU, whose work per frame never changes, goes up with the program's): the
# medians of the runs say more than any one of them.
medians() {
    awk '{ n[$1]++; frames[$1, n[$1]] = $3 + 0; app[$1, n[$1]] = $6; x[$1, n[$1]] = $10 }
    function median(a, label, count,   v, i, j, t) {
        for (i = 1; i <= count; i++) v[i] = a[label, i]
        for (i = 2; i <= count; i++)
            for (j = i; j > 1 && v[j - 1] > v[j]; j--) { t = v[j]; v[j] = v[j - 1]; v[j - 1] = t }
        return count % 2 ? v[(count + 1) / 2] : (v[count / 2] + v[count / 2 + 1]) / 2
    }
    END {
        for (label in n)
            printf "%-16s median of %d runs: frames %5.1f/s  program cpu %5.2f %%  server cpu %5.2f %%\n",
                label, n[label], median(frames, label, n[label]), median(app, label, n[label]),
                median(x, label, n[label])
    }' "$1"
}
medians "$work/display.txt"
# The display with 8 busy loops at normal priority on the machine's cores,
# as a user compiling while watching: the frames it still presents.
busy=${MONITOR_AUDIO_BENCH_DISPLAY_BUSY:-8}
busy_pids=()
for _ in $(seq 1 "$busy"); do
    bash -c 'while :; do :; done' &
    busy_pids+=($!)
done
echo "=== the display alone on X with $busy busy loops: $runs runs of ${display_seconds} s each ==="
for _ in $(seq 1 "$runs"); do
    if [[ -n $before ]]; then
        display_run "busy-before" build/bench-before/build/src/monitor-audio x || {
            xvfb_show_app_log
            xvfb_stop
            status=1
        }
    fi
    display_run "busy" build/default/src/monitor-audio x || {
        xvfb_show_app_log
        xvfb_stop
        status=1
    }
done >"$work/display-busy.txt"
cat "$work/display-busy.txt"
medians "$work/display-busy.txt"
for pid in "${busy_pids[@]}"; do
    kill "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
done
# Shown, minimized, shown again, each build in turn.
hidden_args=()
for i in "${!programs[@]}"; do
    hidden_args+=("${programs[$i]}" "${labels[$i]}")
done
scripts/bench-hidden.sh "${hidden_args[@]}" || status=1
# Input-to-output latency and bit-exactness, on a server of its own.
latency_args=()
for i in "${!programs[@]}"; do
    latency_args+=("${programs[$i]}" "${labels[$i]}")
done
scripts/bench-latency.sh "${latency_args[@]}" || status=1
exit $status
