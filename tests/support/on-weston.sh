#!/usr/bin/env bash
# Runs a command with a private headless Weston of its own as its display.
#
#   on-weston.sh [--scale 2] COMMAND...
set -euo pipefail
# shellcheck source=../../scripts/weston-session.sh
source "$(dirname "$0")/../../scripts/weston-session.sh"
scale=1
if [[ ${1:-} == --scale ]]; then
    scale=$2
    shift 2
fi
dir=$(mktemp -d /tmp/monitor-audio-weston.XXXXXX)
trap 'weston_stop; rm -rf "$dir"' EXIT
weston_start "$dir" "$scale"
# For tests that hold the compositor up; WESTON_PID is exported already.
"$@"
