#!/usr/bin/env bash
# The bus the latency bench and the soak run measure on, sourced by both:
# one sample clock for what the input received and what the output played
# (see scripts/bench-latency.sh), the noise that feeds the input, and busy
# loops beside it. The sourcing script sets `work`, a folder of its own, and
# has sourced scripts/test-sound-server.sh.
# shellcheck disable=SC2154  # work is the sourcing script's

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
# feed_start FEED: the noise from its start, for one run (FEED loop: on and
# on). One feeder for a whole way of feeding ran out of noise part of the way
# through the busy runs, and what was measured then was silence.
feed_start() {
    if [[ $1 == loop ]]; then
        # The noise over and over without a gap, for as long as a soak runs;
        # a process group of its own, so that it stops whole.
        # shellcheck disable=SC2016  # expanded by the inner shell
        setsid bash -c 'while :; do cat "$1"; done |
            pacat -d mic --raw --format=s16le --rate=44100 --channels=2' feed "$work/noise.raw" &
    elif [[ $1 == default ]]; then
        paplay -d mic --raw --format=s16le --rate=44100 --channels=2 "$work/noise.raw" &
    else
        pacat -d mic --raw --format=s16le --rate=44100 --channels=2 --latency-msec=20 \
            "$work/noise.raw" &
    fi
    feed_pid=$!
    sleep 1
}
feed_stop() {
    [[ -n $feed_pid ]] && {
        kill -- -"$feed_pid" 2>/dev/null || kill "$feed_pid" 2>/dev/null || true
        wait "$feed_pid" 2>/dev/null || true
    }
    feed_pid=
}
# pipewire_bus_start QUANTUM [RATE]: the same bus on a private PipeWire, its
# graph and sinks at RATE (44100 if not given).
pipewire_bus_start() {
    local rate=${2:-44100}
    TEST_SOUND_KIND=pipewire TEST_SOUND_QUANTUM=$1 TEST_SOUND_RATE=$rate \
        test_sound_server_start "$work/pipewire-$1-$rate"
    pactl load-module module-null-sink sink_name=bus rate="$rate" channels=4 \
        channel_map=front-left,front-right,rear-left,rear-right >/dev/null
    pactl load-module module-null-sink sink_name=mic rate="$rate" channels=2 >/dev/null
    pactl load-module module-null-sink sink_name=spk rate="$rate" channels=2 >/dev/null
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

# record FEED SECONDS FILE: what bus carries.
record() {
    local msec=10
    [[ $1 == default ]] && msec=50
    timeout "$2" parec -d bus.monitor --raw --format=s16le --rate=44100 \
        --channels=4 --channel-map=front-left,front-right,rear-left,rear-right \
        --latency-msec=$msec >"$3" || true
}

# noise_make SECONDS: noise with no zero frame, so every stretch of it is
# unique, in $work/noise.raw; each feeder starts it anew.
noise_make() {
    python3 -c '
import os, sys
frames = bytearray(os.urandom(4 * 44100 * int(sys.argv[1])))
for i in range(0, len(frames), 2):
    if frames[i] == 0 and frames[i + 1] == 0:
        frames[i] = 1
sys.stdout.buffer.write(frames)' "$1" >"$work/noise.raw"
}
