#!/usr/bin/env bash
# Takes docs/screenshot.png: the program's window on a private X server, fed
# by the private test sound server (a 441 Hz sine as the input).
#
#   scripts/screenshot.sh [BUILD_DIR]   # default: the default preset's build
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-}
if [[ -z $build ]]; then
    scripts/setup.sh
    cmake --preset default >/dev/null
    cmake --build --preset default --target monitor-audio
    build=build/default
fi
program=$build/src/monitor-audio

work=$(mktemp -d /tmp/monitor-audio-shot.XXXXXX)
display=:97
xvfb_pid=
app_pid=
# Sourced without arguments: with one it would start a server of its own.
set --
# shellcheck source=test-sound-server.sh
source scripts/test-sound-server.sh
stop() {
    if [[ -n $1 ]]; then
        kill "$1" 2>/dev/null || true
        wait "$1" 2>/dev/null || true
    fi
}
cleanup() {
    stop "$app_pid"
    stop "$xvfb_pid"
    test_sound_server_stop
    rm -rf "$work"
}
trap cleanup EXIT
test_sound_server_start "$work/sound"

Xvfb "$display" -screen 0 800x600x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
for _ in $(seq 1 50); do
    DISPLAY=$display xdpyinfo >/dev/null 2>&1 && break
    sleep 0.1
done
if ! DISPLAY=$display xdpyinfo >/dev/null 2>&1; then
    echo "Xvfb did not start on $display; its log:" >&2
    cat "$work/xvfb.log" >&2
    exit 1
fi

DISPLAY=$display QT_QPA_PLATFORM=xcb "$program" >"$work/app.log" 2>&1 &
app_pid=$!
window=
for _ in $(seq 1 100); do
    window=$(DISPLAY=$display xdotool search --name '^frmAudio$' 2>/dev/null | head -n 1 || true)
    [[ -n $window ]] && break
    sleep 0.1
done
if [[ -z $window ]]; then
    echo "the window did not appear; the program said:" >&2
    cat "$work/app.log" >&2
    exit 1
fi
# Let the oscilloscope follow the input for a while.
sleep 2
mkdir -p docs
DISPLAY=$display import -window "$window" docs/screenshot.png
echo "wrote docs/screenshot.png"
