#!/usr/bin/env bash
# Takes docs/screenshot.png: the program's window on a private X server, fed
# by the private test sound server (a 441 Hz sine as the input).
#
#   scripts/screenshot.sh [BUILD_DIR]   # default: the default preset's build
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-}
if [[ -z $build ]]; then
    scripts/setup.sh --test
    cmake --preset default >/dev/null
    cmake --build --preset default --target monitor-audio
    build=build/default
fi
program=$build/src/monitor-audio

work=$(mktemp -d /tmp/monitor-audio-shot.XXXXXX)
# Sourced without arguments: with one it would start a server of its own.
set --
# shellcheck source=test-sound-server.sh
source scripts/test-sound-server.sh
# shellcheck source=xvfb-session.sh
source scripts/xvfb-session.sh
trap 'xvfb_stop; test_sound_server_stop; rm -rf "$work"' EXIT
test_sound_server_start "$work/sound"

xvfb_start "$work/x"
xvfb_app_start "$program"
if ! xvfb_app_window 30; then
    xvfb_show_app_log
    exit 1
fi
# Let the oscilloscope follow the input for a while.
sleep 2
mkdir -p docs
import -window "$APP_WINDOW" docs/screenshot.png
echo "wrote docs/screenshot.png"
