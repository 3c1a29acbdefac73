#!/usr/bin/env bash
# A sound server that stops answering with its socket open (a server of the
# script's own, stopped with SIGSTOP): closing the window in the middle of
# the stall still ends the program at once, with status 0.
#
#   bash tests/e2e/stall.sh PATH/TO/monitor-audio
set -euo pipefail

# shellcheck source-path=SCRIPTDIR source=preamble.sh
source "$(dirname "${BASH_SOURCE[0]}")/preamble.sh"
frozen=()
cleanup() {
    ((${#frozen[@]})) && kill -CONT "${frozen[@]}" 2>/dev/null
    xvfb_stop
    test_sound_server_stop
    rm -rf "$work"
}
trap cleanup EXIT

test_sound_server_start "$work/sound" || fail "the test sound server did not start"
xvfb_start "$work/x" || fail "no X server"
xvfb_app_start "$program"
xvfb_app_window 60 || fail "the window did not open"
sleep 1
mapfile -t frozen <"$TEST_SOUND_DIR/pids"
kill -STOP "${frozen[@]}"
sleep 1.5
xvfb_close_window
xvfb_app_wait_exit 5 || fail "closing the window during a stall did not end the program"
((APP_STATUS == 0)) || fail "the program ended with status $APP_STATUS during a stall"
echo "ok: closing the window while the server is stopped ends the program with status 0"
