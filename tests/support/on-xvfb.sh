#!/usr/bin/env bash
# Runs a command with a private X server of its own (Xvfb) as its display.
#
#   on-xvfb.sh [--wm] COMMAND...
#
# --wm: with a window manager (openbox) managing its windows, one that can
# iconify them; XVFB_WM is then set for the command.
set -euo pipefail
# shellcheck source=../../scripts/xvfb-session.sh
source "$(dirname "$0")/../../scripts/xvfb-session.sh"
dir=$(mktemp -d /tmp/monitor-audio-xvfb.XXXXXX)
trap 'xvfb_stop; rm -rf "$dir"' EXIT
xvfb_start "$dir"
if [[ ${1:-} == --wm ]]; then
    shift
    xvfb_wm_start
    export XVFB_WM=openbox
fi
# For tests that hold the server up.
export XVFB_PID
"$@"
