#!/usr/bin/env bash
# A private sound server for the tests: a 441 Hz sine source "in" as the
# default input, a null sink "out" as the default output, 44.1 kHz, on a
# private socket. It never touches a user's own server.
#
#   source scripts/test-sound-server.sh DIR   # starts it, exports PULSE_SERVER
#   test_sound_server_stop                     # stops it
#
# TEST_SOUND_KIND chooses the server: pulseaudio (the default) or pipewire
# (PipeWire with WirePlumber and pipewire-pulse, on a private session bus,
# its clock fixed at 44.1 kHz so nothing is resampled). Either way clients
# reach it through PULSE_SERVER alone. TEST_SOUND_RATE=48000 runs PipeWire's
# graph and its devices at 48 kHz instead, as a desktop's: the program's
# 44.1 kHz streams, and the tests' own, are then resampled. TEST_SOUND_SHM=1
# lets a PulseAudio server and its clients pass sound through shared memory,
# as a desktop's do. DIR/pids lists every process started, so a test can
# kill the server and start it again at the same socket.
test_sound_server_start() {
    local dir=$1
    mkdir -p "$dir/runtime" "$dir/home"
    chmod 700 "$dir/runtime"
    export TEST_SOUND_DIR=$dir
    # The rate the server's graph runs at, so the tests know whether what
    # they hear was resampled. PulseAudio's here always runs at 44.1 kHz.
    [[ ${TEST_SOUND_KIND:-pulseaudio} == pipewire ]] || TEST_SOUND_RATE=44100
    export TEST_SOUND_RATE=${TEST_SOUND_RATE:-44100}
    : >"$dir/pids"
    case ${TEST_SOUND_KIND:-pulseaudio} in
    pulseaudio)
        PULSE_RUNTIME_PATH="$dir/runtime" HOME="$dir/home" pulseaudio -n --daemonize=no \
            --exit-idle-time=-1 --disallow-exit --use-pid-file=no --system=false \
            --disable-shm="$([[ -n ${TEST_SOUND_SHM:-} ]] && echo no || echo yes)" \
            --log-target=file:"$dir/pulse.log" \
            --load="module-native-protocol-unix socket=$dir/sock auth-anonymous=1" \
            --load="module-null-sink sink_name=out rate=44100 channels=2" \
            --load="module-sine-source source_name=in rate=44100 frequency=441" \
            </dev/null >/dev/null 2>&1 &
        TEST_SOUND_PID=$!
        echo "$TEST_SOUND_PID" >>"$dir/pids"
        export PULSE_SERVER="unix:$dir/sock"
        ;;
    pipewire)
        _test_sound_pipewire_start "$dir"
        ;;
    *)
        echo "TEST_SOUND_KIND must be pulseaudio or pipewire" >&2
        return 1
        ;;
    esac
    # Clients must never fall back to a user's server or spawn one. Sound
    # goes through the socket, not shared memory: PulseAudio keeps a wrong
    # count of the blocks it passes from one client's shared memory on to
    # another (a playback stream recorded through the sink's monitor) and,
    # after enough clients have come and gone, aborts on it.
    export PULSE_CLIENTCONFIG="$dir/client.conf"
    printf 'autospawn = no\nenable-shm = %s\n' "$([[ -n ${TEST_SOUND_SHM:-} ]] && echo yes || echo no)" \
        >"$PULSE_CLIENTCONFIG"
    local answered=
    for _ in $(seq 1 100); do
        if pactl info >/dev/null 2>&1; then
            answered=1
            break
        fi
        sleep 0.1
    done
    if [[ -n $answered ]]; then
        [[ ${TEST_SOUND_KIND:-pulseaudio} == pipewire ]] && _test_sound_pipewire_devices "$dir"
        # PulseAudio's main thread passes sound between its clients' sockets
        # and its sinks; it runs in real time as its sinks' threads do, where
        # it may: at nice -11 a machine busy with other sessions' work held it
        # off the CPU for 40 ms and more, and a playback stream ran dry.
        if [[ ${TEST_SOUND_KIND:-pulseaudio} == pulseaudio ]]; then
            chrt -r -p 5 "$TEST_SOUND_PID" >/dev/null 2>&1 || true
        fi
        # pipewire-pulse answers before WirePlumber has made the metadata
        # that holds the defaults, and until then refuses to set them ("Not
        # supported"): on a busy machine that took seconds, and the tests
        # found no sine on the default input.
        for _ in $(seq 1 150); do
            if pactl set-default-source in 2>/dev/null && pactl set-default-sink out 2>/dev/null &&
                [[ $(pactl get-default-source 2>/dev/null) == in &&
                    $(pactl get-default-sink 2>/dev/null) == out ]]; then
                return 0
            fi
            sleep 0.1
        done
        echo "test sound server: \"in\" and \"out\" did not become the defaults" >&2
    fi
    echo "test sound server did not start; its logs:" >&2
    cat "$dir"/*.log >&2 || true
    return 1
}

_test_sound_pipewire_start() {
    local dir=$1
    mkdir -p "$dir/config/pipewire/pipewire.conf.d"
    # The graph's period no shorter than a desktop's usual 1024 frames: these
    # servers have no real-time threads, and at 256 frames a busy machine
    # made them miss periods now and then, holes in the input and in what
    # the output's monitor heard.
    cat >"$dir/config/pipewire/pipewire.conf.d/rate.conf" <<CONF
context.properties = {
    default.clock.rate = $TEST_SOUND_RATE
    default.clock.allowed-rates = [ $TEST_SOUND_RATE ]
    default.clock.quantum = 1024
    default.clock.min-quantum = 1024
}
CONF
    # TEST_SOUND_QUANTUM=follow (for the latency bench only): the graph's
    # period follows what its clients ask for, as a desktop's does; a number
    # forces that period.
    case ${TEST_SOUND_QUANTUM:-} in
    '') ;;
    follow)
        printf 'context.properties = {\n    default.clock.min-quantum = 32\n}\n' \
            >"$dir/config/pipewire/pipewire.conf.d/zz-quantum.conf"
        ;;
    *)
        printf 'context.properties = {\n    default.clock.quantum = %d\n    default.clock.min-quantum = %d\n    default.clock.max-quantum = %d\n}\n' \
            "$TEST_SOUND_QUANTUM" "$TEST_SOUND_QUANTUM" "$TEST_SOUND_QUANTUM" \
            >"$dir/config/pipewire/pipewire.conf.d/zz-quantum.conf"
        ;;
    esac
    # No Bluetooth: its monitor needs systemd-logind, which a bare machine
    # (a container, a CI runner) does not have, and WirePlumber gives up
    # without it.
    mkdir -p "$dir/config/wireplumber/bluetooth.lua.d"
    printf 'bluez_monitor.enabled = false\n' \
        >"$dir/config/wireplumber/bluetooth.lua.d/60-no-bluetooth.lua"
    local -a env=(env XDG_RUNTIME_DIR="$dir/runtime" PIPEWIRE_RUNTIME_DIR="$dir/runtime"
        PULSE_RUNTIME_PATH="$dir/runtime/pulse" HOME="$dir/home"
        XDG_CONFIG_HOME="$dir/config" DBUS_SESSION_BUS_ADDRESS="unix:path=$dir/bus"
        DISPLAY= WAYLAND_DISPLAY=)
    rm -f "$dir/bus"
    "${env[@]}" dbus-daemon --session --nofork --address="unix:path=$dir/bus" \
        </dev/null >"$dir/dbus.log" 2>&1 &
    echo $! >>"$dir/pids"
    for _ in $(seq 1 50); do
        [[ -S $dir/bus ]] && break
        sleep 0.1
    done
    # A server killed before leaves its sockets behind: waiting for one of
    # those let WirePlumber start before the new server listened, and it
    # gave up at once ("Failed to connect to PipeWire").
    rm -f "$dir/runtime/pipewire-0" "$dir/runtime/pipewire-0-manager"
    "${env[@]}" pipewire </dev/null >"$dir/pipewire.log" 2>&1 &
    echo $! >>"$dir/pids"
    for _ in $(seq 1 50); do
        [[ -S $dir/runtime/pipewire-0 ]] && break
        sleep 0.1
    done
    "${env[@]}" wireplumber </dev/null >"$dir/wireplumber.log" 2>&1 &
    echo $! >>"$dir/pids"
    "${env[@]}" pipewire-pulse </dev/null >"$dir/pipewire-pulse.log" 2>&1 &
    TEST_SOUND_PID=$!
    echo "$TEST_SOUND_PID" >>"$dir/pids"
    export PULSE_SERVER="unix:$dir/runtime/pulse/native"
    # Where the tests' own tools and ALSA's plug-in look for the server.
    ln -sf "$dir/runtime/pulse/native" "$dir/sock"
}

# PipeWire has no sine source module: "in" is the monitor of a null sink fed
# the same sine, 100 frames a period at half of full scale, at 44.1 kHz
# whatever the graph's rate.
_test_sound_pipewire_devices() {
    local dir=$1 rate=$TEST_SOUND_RATE
    pactl load-module module-null-sink sink_name=out rate="$rate" channels=2 >/dev/null
    pactl load-module module-null-sink sink_name=sine rate="$rate" channels=2 >/dev/null
    pactl load-module module-remap-source source_name=in master=sine.monitor \
        rate="$rate" channels=2 >/dev/null
    test_sound_sine_to sine
    echo $! >>"$dir/pids"
}

# Plays the 441 Hz sine, 100 frames a period at half of full scale, into the
# sink named, in real time, until the server goes; prints nothing.
test_sound_sine_to() {
    python3 -c '
import math, sys
period = bytearray()
for n in range(100):
    v = round(16384 * math.sin(2 * math.pi * n / 100)).to_bytes(2, "little", signed=True)
    period += v + v
block = bytes(period) * 441
try:
    while True:
        sys.stdout.buffer.write(block)
except BrokenPipeError:
    pass' | pacat -d "$1" --raw --format=s16le --rate=44100 --channels=2 --latency-msec=200 \
        >/dev/null 2>&1 &
}

test_sound_server_stop() {
    if [[ -n ${TEST_SOUND_DIR:-} && -f $TEST_SOUND_DIR/pids ]]; then
        local pid
        # The server first, the bus last.
        for pid in $(tac "$TEST_SOUND_DIR/pids"); do
            kill "$pid" 2>/dev/null || true
        done
        for pid in $(tac "$TEST_SOUND_DIR/pids"); do
            wait "$pid" 2>/dev/null || true
        done
        rm -f "$TEST_SOUND_DIR/pids"
    fi
    TEST_SOUND_PID=
}

if [[ ${BASH_SOURCE[0]} == "$0" ]]; then
    echo "source this file, then call test_sound_server_start DIR" >&2
    exit 2
fi
if [[ $# -ge 1 ]]; then
    test_sound_server_start "$1"
fi
