#!/usr/bin/env bash
# Builds the optimised preset and runs every benchmark binary in
# build/default/bench against a private sound server started here (a 441 Hz
# sine as the input, a null sink as the output), then runs the program
# itself on a private X server: capture with the oscilloscope running, then
# with playback on as well, printing the CPU time it takes (percent of one
# core) and its peak memory. Extra arguments go to each benchmark, e.g.
# --benchmark_format=json.
#
#   scripts/bench.sh
#   MONITOR_AUDIO_BENCH_SECONDS=10 scripts/bench.sh   # shorter capture runs
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

bench_args=("$@")
seconds=${MONITOR_AUDIO_BENCH_SECONDS:-30}
work=$(mktemp -d /tmp/monitor-audio-bench.XXXXXX)
# Sourced without arguments: with one it would start a server of its own.
set --
# shellcheck source=test-sound-server.sh
source scripts/test-sound-server.sh
# shellcheck source=xvfb-session.sh
source scripts/xvfb-session.sh
trap 'xvfb_stop; test_sound_server_stop; rm -rf "$work"' EXIT
test_sound_server_start "$work/sound"

cmake --preset default -DMONITOR_AUDIO_BENCH=ON >/dev/null
cmake --build --preset default

status=0
for bench in build/default/bench/*_bench; do
    [[ -x $bench ]] || continue
    echo "=== $(basename "$bench") ==="
    "$bench" "${bench_args[@]}" || status=1
done

# The sound layer once more on its ALSA backend, beside the run above: no
# server for the layer to reach, and ALSA's default device on the same
# server through ALSA's PulseAudio plug-in.
mkdir -p "$work/alsa-home"
cp tests/support/alsa/test-server.asoundrc "$work/alsa-home/.asoundrc"
echo "=== platform_wave_bench on ALSA ==="
HOME=$work/alsa-home PULSE_SERVER=unix:/nonexistent/monitor-audio-bench-socket \
    build/default/bench/platform_wave_bench "${bench_args[@]}" || status=1

# CPU time the program has used so far, in clock ticks: utime + stime of
# /proc/PID/stat (fields 14 and 15; the name in field 2 may hold spaces).
cpu_ticks() {
    local stat fields
    stat=$(<"/proc/$APP_PID/stat")
    read -r -a fields <<<"${stat##*) }"
    echo $((fields[11] + fields[12]))
}
now() {
    date +%s.%N
}
# measure WHAT: CPU use over the next $seconds seconds and the peak memory
# so far.
measure() {
    local ticks0 ticks1 t0 t1 hwm
    ticks0=$(cpu_ticks)
    t0=$(now)
    sleep "$seconds"
    xvfb_app_running || return 1
    ticks1=$(cpu_ticks)
    t1=$(now)
    hwm=$(awk '/^VmHWM:/ { print $2, $3 }' "/proc/$APP_PID/status")
    awk -v what="$1" -v ticks=$((ticks1 - ticks0)) -v hz="$(getconf CLK_TCK)" \
        -v t0="$t0" -v t1="$t1" -v hwm="$hwm" 'BEGIN {
            printf "%-34s cpu %6.2f %% of one core over %.1f s, peak memory (VmHWM) %s\n",
                what, 100 * ticks / hz / (t1 - t0), t1 - t0, hwm }'
}

echo "=== monitor-audio on Xvfb, ${seconds} s per phase ==="
program_run() {
    xvfb_start "$work/x" || return 1
    xvfb_app_start build/default/src/monitor-audio
    xvfb_app_window 60 || return 1
    # Start-up is not part of either phase.
    sleep 2
    measure "capture and oscilloscope" || return 1
    xvfb_click_iniciar || return 1
    measure "capture, oscilloscope and playback" || return 1
    xvfb_close_window || return 1
    xvfb_app_wait_exit 20 || return 1
    if ((APP_STATUS != 0)); then
        echo "the program ended with status $APP_STATUS" >&2
        return 1
    fi
}
if ! program_run; then
    echo "the program run failed" >&2
    xvfb_show_app_log
    status=1
fi
exit $status
