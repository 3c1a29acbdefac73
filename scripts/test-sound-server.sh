#!/usr/bin/env bash
# A private PulseAudio server for the tests: a 441 Hz sine source "in" as the
# default input, a null sink "out" as the default output, on a private socket.
# It never touches a user's own server.
#
#   source scripts/test-sound-server.sh DIR   # starts it, exports PULSE_SERVER
#   test_sound_server_stop                     # stops it
test_sound_server_start() {
    local dir=$1
    mkdir -p "$dir/runtime" "$dir/home"
    chmod 700 "$dir/runtime"
    export TEST_SOUND_DIR=$dir
    PULSE_RUNTIME_PATH="$dir/runtime" HOME="$dir/home" pulseaudio -n --daemonize=no \
        --exit-idle-time=-1 --disallow-exit --use-pid-file=no --system=false \
        --log-target=file:"$dir/pulse.log" \
        --load="module-native-protocol-unix socket=$dir/sock auth-anonymous=1" \
        --load="module-null-sink sink_name=out rate=44100 channels=2" \
        --load="module-sine-source source_name=in rate=44100 frequency=441" \
        </dev/null >/dev/null 2>&1 &
    TEST_SOUND_PID=$!
    export PULSE_SERVER="unix:$dir/sock"
    # Clients must never fall back to a user's server or spawn one. They
    # share memory with it the older way: the server aborts when a block a
    # client has just sent through a memfd is passed on to another client
    # before that memfd is registered (a playback stream that writes as
    # soon as it connects, recorded through the sink's monitor).
    export PULSE_CLIENTCONFIG="$dir/client.conf"
    printf 'autospawn = no\nenable-memfd = no\n' >"$PULSE_CLIENTCONFIG"
    local i
    for i in $(seq 1 100); do
        if pactl info >/dev/null 2>&1; then
            pactl set-default-source in
            pactl set-default-sink out
            return 0
        fi
        sleep 0.1
    done
    echo "test sound server did not start; its log:" >&2
    cat "$dir/pulse.log" >&2 || true
    return 1
}

test_sound_server_stop() {
    if [[ -n ${TEST_SOUND_PID:-} ]]; then
        kill "$TEST_SOUND_PID" 2>/dev/null || true
        wait "$TEST_SOUND_PID" 2>/dev/null || true
        TEST_SOUND_PID=
    fi
}

if [[ ${BASH_SOURCE[0]} == "$0" ]]; then
    echo "source this file, then call test_sound_server_start DIR" >&2
    exit 2
fi
if [[ $# -ge 1 ]]; then
    test_sound_server_start "$1"
fi
