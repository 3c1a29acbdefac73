#!/usr/bin/env bash
# Runs a command with a private X server of its own (Xvfb) as its display.
set -euo pipefail
# shellcheck source=../../scripts/xvfb-session.sh
source "$(dirname "$0")/../../scripts/xvfb-session.sh"
dir=$(mktemp -d /tmp/monitor-audio-xvfb.XXXXXX)
trap 'xvfb_stop; rm -rf "$dir"' EXIT
xvfb_start "$dir"
# For tests that hold the server up.
export XVFB_PID
"$@"
