#!/usr/bin/env bash
# Runs a command with a private headless Weston of its own as its display.
#
#   on-weston.sh [--scale 2] [--seat] COMMAND...
#
# --seat: Weston with a pointer and keyboard, on a private Xvfb
# (scripts/weston-session.sh says why); WESTON_X_DISPLAY is that X display.
set -euo pipefail
# shellcheck source=../../scripts/weston-session.sh
source "$(dirname "$0")/../../scripts/weston-session.sh"
scale=1
seat=
while [[ $# -gt 0 ]]; do
    case $1 in
    --scale)
        scale=$2
        shift 2
        ;;
    --seat)
        seat=seat
        shift
        ;;
    *) break ;;
    esac
done
dir=$(mktemp -d /tmp/monitor-audio-weston.XXXXXX)
trap 'weston_stop; rm -rf "$dir"' EXIT
weston_start "$dir" "$scale" $seat
# For tests that hold the compositor up; WESTON_PID is exported already.
# With a seat, the X display its keyboard reads, for tests that press keys.
export WESTON_X_DISPLAY
"$@"
