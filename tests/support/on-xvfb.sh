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
wm=
if [[ ${1:-} == --wm ]]; then
    wm=openbox
    shift
fi
dir=$(mktemp -d /tmp/monitor-audio-xvfb.XXXXXX)
wm_pid=
trap '[[ -z $wm_pid ]] || kill "$wm_pid" 2>/dev/null; xvfb_stop; rm -rf "$dir"' EXIT
xvfb_start "$dir"
if [[ -n $wm ]]; then
    # No session manager, and none of the user's settings.
    HOME=$dir XDG_CONFIG_HOME=$dir openbox --sm-disable >"$dir/wm.log" 2>&1 &
    wm_pid=$!
    # It manages windows once it has said so on the root window.
    for _ in $(seq 1 100); do
        xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && break
        kill -0 "$wm_pid" 2>/dev/null || break
        sleep 0.1
    done
    if ! xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id'; then
        echo "openbox did not start; its log:" >&2
        cat "$dir/wm.log" >&2
        exit 1
    fi
    export XVFB_WM=$wm
fi
# For tests that hold the server up.
export XVFB_PID
"$@"
