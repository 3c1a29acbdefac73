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
# in a directory of its own, started anew whenever it finishes).
#
#   scripts/bench-latency.sh [PROGRAM LABEL]...   # default: this tree's build
#   MONITOR_AUDIO_LATENCY_SECONDS=15   # each idle run
#   MONITOR_AUDIO_EXACT_SECONDS=60     # each run with the busy loops
#   MONITOR_AUDIO_LATENCY_FEEDS="default short"   # "" for no PulseAudio rows
#   MONITOR_AUDIO_LATENCY_LOADS="0 8"  # busy loops
#   MONITOR_AUDIO_LATENCY_QUANTA="follow 1024"    # "" for no PipeWire rows
#   MONITOR_AUDIO_LATENCY_PIPEWIRE_LOADS="0 8 8+build"
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
tree=$PWD

work=$(mktemp -d /tmp/monitor-audio-latency.XXXXXX)
set --
# shellcheck source=test-sound-server.sh
source scripts/test-sound-server.sh
# shellcheck source=xvfb-session.sh
source scripts/xvfb-session.sh

busy_pids=()
# busy_start N: N loops at normal priority, each as busy as a compiler.
busy_start() {
    local i
    for ((i = 0; i < $1; i++)); do
        bash -c 'while :; do :; done' &
        busy_pids+=($!)
    done
}
busy_stop() {
    local pid
    for pid in "${busy_pids[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    busy_pids=()
}

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

feed_pid=
# bus_start FEED: a server of its own for each way of feeding, so nothing
# one way asked of the server stays for the other.
bus_start() {
    test_sound_server_start "$work/sound-$1"
    pactl load-module module-null-sink sink_name=bus rate=44100 channels=4 \
        channel_map=front-left,front-right,rear-left,rear-right >/dev/null
    local remap name channels
    for remap in "mic front-left,front-right" "spk rear-left,rear-right"; do
        read -r name channels <<<"$remap"
        pactl load-module module-remap-sink sink_name="$name" master=bus channels=2 \
            master_channel_map="$channels" channel_map=front-left,front-right remix=no >/dev/null
    done
    pactl set-default-source mic.monitor
    pactl set-default-sink spk
}
bus_stop() {
    feed_stop
    test_sound_server_stop
}
# feed_start FEED: the noise from its start, for one run. One feeder for a
# whole way of feeding ran out of noise part of the way through the busy
# runs, and what was measured then was silence.
feed_start() {
    if [[ $1 == default ]]; then
        paplay -d mic --raw --format=s16le --rate=44100 --channels=2 "$work/noise.raw" &
    else
        pacat -d mic --raw --format=s16le --rate=44100 --channels=2 --latency-msec=20 \
            "$work/noise.raw" &
    fi
    feed_pid=$!
    sleep 1
}
feed_stop() {
    [[ -n $feed_pid ]] && { kill "$feed_pid" 2>/dev/null || true; wait "$feed_pid" 2>/dev/null || true; }
    feed_pid=
}
# pipewire_bus_start QUANTUM: the same bus on a private PipeWire.
pipewire_bus_start() {
    TEST_SOUND_KIND=pipewire TEST_SOUND_QUANTUM=$1 test_sound_server_start "$work/pipewire-$1"
    pactl load-module module-null-sink sink_name=bus rate=44100 channels=4 \
        channel_map=front-left,front-right,rear-left,rear-right >/dev/null
    pactl load-module module-null-sink sink_name=mic rate=44100 channels=2 >/dev/null
    pactl load-module module-null-sink sink_name=spk rate=44100 channels=2 >/dev/null
    local link
    for link in "mic:monitor_FL bus:playback_FL" "mic:monitor_FR bus:playback_FR" \
        "spk:monitor_FL bus:playback_RL" "spk:monitor_FR bus:playback_RR"; do
        for _ in $(seq 1 50); do
            # shellcheck disable=SC2086
            PIPEWIRE_RUNTIME_DIR="$TEST_SOUND_DIR/runtime" pw-link $link 2>/dev/null && break
            sleep 0.1
        done
    done
    pactl set-default-source mic.monitor
    pactl set-default-sink spk
}

trap 'busy_stop; build_stop; xvfb_stop; bus_stop; rm -rf "$work"' EXIT

# record FEED SECONDS FILE: what bus carries.
record() {
    local msec=10
    [[ $1 == default ]] && msec=50
    timeout "$2" parec -d bus.monitor --raw --format=s16le --rate=44100 \
        --channels=4 --channel-map=front-left,front-right,rear-left,rear-right \
        --latency-msec=$msec >"$3" || true
}

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

# Two and a half minutes of noise, more than the longest run; each run's
# feeder starts it anew.
python3 -c '
import os, sys
frames = bytearray(os.urandom(4 * 44100 * 150))
for i in range(0, len(frames), 2):
    if frames[i] == 0 and frames[i + 1] == 0:
        frames[i] = 1
sys.stdout.buffer.write(frames)' >"$work/noise.raw"

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
for quantum in $quanta; do
    pipewire_bus_start "$quantum"
    for load in $pipewire_loads; do
        busy=${load%+build}
        echo "=== latency on PipeWire, quantum $quantum, $busy busy loops${load#"$busy"}," \
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
            python3 scripts/latency.py blocks "$work"/pipewire-"$i"-*.raw || status=1
        done
    done
    bus_stop
done
exit $status
