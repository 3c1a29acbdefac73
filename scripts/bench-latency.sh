#!/usr/bin/env bash
# Input-to-output latency on one sample clock, and whether what is heard is
# the input bit for bit. A 4-channel null sink "bus" carries the input on its
# channels 1-2 (the remap sink "mic", whose monitor is the default input, fed
# with noise that has no zero frame) and the output on 3-4 (the remap sink
# "spk", the default output). One recording of bus.monitor holds both; each
# block heard is found in the input. The loopback module at 20 ms is
# measured the same way, for comparison.
#
# Two ways of feeding and recording: "default", paplay at its default
# latency and a recorder at 50 ms, so no client but the program asks the
# server for a short latency (a desktop whose other client is a music
# player); and "short", a feeder at 20 ms and a recorder at 10 ms. Each way
# idle and with 8 busy loops at normal priority, every program alternated
# with the others within one run.
#
# Then the same on PipeWire, where a remap sink adds a buffer pass of its
# own: "mic" and "spk" are 2-channel null sinks whose monitors are linked
# into bus's channels, so all of it runs on one clock. The graph's period
# (its quantum) either follows what the clients ask for, as a desktop's
# does, or is forced to 1024 frames; the server's threads are real-time, as
# a desktop's are. Each program is run a few times at each load, in turn
# with the others, and the runs of one program pooled: idle, with 8 busy
# loops, and with 8 busy loops beside a build of this tree from clean (-j2,
# in a directory of its own, started anew whenever it finishes). All of it
# with the graph at 44.1 kHz, the program's own rate, and again at 48 kHz,
# as most desktops run it: there the program's streams are resampled both
# ways, nothing heard is the input bit for bit, and each heard block is
# found in the input by correlation and counted whole when it is one run of
# sound of a block's length (scripts/latency.py resampled).
#
#   scripts/bench-latency.sh [PROGRAM LABEL]...   # default: this tree's build
#   MONITOR_AUDIO_LATENCY_SECONDS=15   # each idle run
#   MONITOR_AUDIO_EXACT_SECONDS=60     # each run with the busy loops
#   MONITOR_AUDIO_LATENCY_FEEDS="default short"   # "" for no PulseAudio rows
#   MONITOR_AUDIO_LATENCY_LOADS="0 8"  # busy loops
#   MONITOR_AUDIO_LATENCY_QUANTA="follow 1024"    # "" for no PipeWire rows
#   MONITOR_AUDIO_LATENCY_PIPEWIRE_LOADS="0 8 8+build"
#   MONITOR_AUDIO_LATENCY_RATES="44100 48000"     # the PipeWire graph's
#   MONITOR_AUDIO_LATENCY_PIPEWIRE_RUNS=5 MONITOR_AUDIO_LATENCY_PIPEWIRE_SECONDS=30
#
# scripts/bench.sh runs it at its end with its own programs.
set -euo pipefail
cd "$(dirname "$0")/.."

if (($# == 0)); then
    set -- build/default/src/monitor-audio this
fi
programs=()
labels=()
while (($# >= 2)); do
    programs+=("$1")
    labels+=("$2")
    shift 2
done
idle_seconds=${MONITOR_AUDIO_LATENCY_SECONDS:-15}
busy_seconds=${MONITOR_AUDIO_EXACT_SECONDS:-60}
feeds=${MONITOR_AUDIO_LATENCY_FEEDS-default short}
loads=${MONITOR_AUDIO_LATENCY_LOADS:-0 8}
quanta=${MONITOR_AUDIO_LATENCY_QUANTA-follow 1024}
pipewire_loads=${MONITOR_AUDIO_LATENCY_PIPEWIRE_LOADS:-0 8 8+build}
pipewire_runs=${MONITOR_AUDIO_LATENCY_PIPEWIRE_RUNS:-5}
pipewire_seconds=${MONITOR_AUDIO_LATENCY_PIPEWIRE_SECONDS:-30}
rates=${MONITOR_AUDIO_LATENCY_RATES:-44100 48000}
tree=$PWD

work=$(mktemp -d /tmp/monitor-audio-latency.XXXXXX)
set --
# shellcheck source=test-sound-server.sh
source scripts/test-sound-server.sh
# shellcheck source=xvfb-session.sh
source scripts/xvfb-session.sh
# shellcheck source=latency-bus.sh
source scripts/latency-bus.sh

build_pid=
# build_start: a build of this tree from clean, over and over, until
# build_stop; its own process group, so that it stops with its compilers.
build_start() {
    # shellcheck disable=SC2016  # expanded by the inner shell
    setsid bash -c 'while :; do
        rm -rf "$1"
        cmake -S "$2" -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null 2>&1
        cmake --build "$1" -j2 >/dev/null 2>&1
    done' build-load "$work/load-build" "$tree" &
    build_pid=$!
}
build_stop() {
    [[ -n $build_pid ]] && { kill -- -"$build_pid" 2>/dev/null || true; wait "$build_pid" 2>/dev/null || true; }
    build_pid=
}

trap 'busy_stop; build_stop; xvfb_stop; bus_stop; rm -rf "$work"' EXIT

# measure_program FEED SECONDS PROGRAM: the program with playback on.
measure_program() {
    xvfb_start "$work/x" || return 1
    xvfb_app_start "$3"
    xvfb_app_window 60 || return 1
    sleep 1
    xvfb_click_iniciar || return 1
    sleep 1
    record "$1" "$2" "$work/latency.raw"
    xvfb_close_window || return 1
    xvfb_app_wait_exit 20 || return 1
    xvfb_stop
}

# Two and a half minutes of noise, more than the longest run.
noise_make 150

status=0
for feed in $feeds; do
    bus_start "$feed"
    for load in $loads; do
        seconds=$idle_seconds
        ((load > 0)) && seconds=$busy_seconds
        echo "=== latency, fed at $feed latency, $load busy loops, ${seconds} s each ==="
        for i in "${!programs[@]}"; do
            busy_start "$load"
            feed_start "$feed"
            ok=1
            measure_program "$feed" "$seconds" "${programs[$i]}" || ok=0
            feed_stop
            busy_stop
            if ((ok)); then
                printf '%-28s ' "${labels[$i]}:"
                python3 scripts/latency.py blocks "$work/latency.raw" || status=1
            else
                xvfb_show_app_log
                xvfb_stop
                status=1
            fi
        done
        busy_start "$load"
        feed_start "$feed"
        loopback=$(pactl load-module module-loopback source=mic.monitor sink=spk latency_msec=20)
        sleep 2
        record "$feed" "$idle_seconds" "$work/latency.raw"
        pactl unload-module "$loopback"
        feed_stop
        busy_stop
        printf '%-28s ' "loopback module at 20 ms:"
        python3 scripts/latency.py stream "$work/latency.raw" || status=1
    done
    bus_stop
done

# The PipeWire rows: runs of one kind pooled, the programs in turn.
for rate in $rates; do
    analysis=blocks
    ((rate != 44100)) && analysis=resampled
    for quantum in $quanta; do
        pipewire_bus_start "$quantum" "$rate"
        for load in $pipewire_loads; do
            busy=${load%+build}
            echo "=== latency on PipeWire at $rate Hz, quantum $quantum, $busy busy loops${load#"$busy"}," \
                "$pipewire_runs runs of ${pipewire_seconds} s each ==="
            for i in "${!programs[@]}"; do
                rm -f "$work"/pipewire-"$i"-*.raw
            done
            busy_start "$busy"
            [[ $load == *+build ]] && build_start
            for run in $(seq 1 "$pipewire_runs"); do
                for i in "${!programs[@]}"; do
                    feed_start default
                    if measure_program default "$pipewire_seconds" "${programs[$i]}"; then
                        mv "$work/latency.raw" "$work/pipewire-$i-$run.raw"
                    else
                        xvfb_show_app_log
                        xvfb_stop
                        status=1
                    fi
                    feed_stop
                done
            done
            build_stop
            busy_stop
            for i in "${!programs[@]}"; do
                printf '%-28s ' "${labels[$i]}:"
                python3 scripts/latency.py "$analysis" "$work"/pipewire-"$i"-*.raw || status=1
            done
        done
        bus_stop
    done
done
exit $status
