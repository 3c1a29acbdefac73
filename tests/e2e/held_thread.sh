#!/usr/bin/env bash
# With the capture or the playback stream thread held inside the sound
# library for good (E2E_HOLD_SHIM, preloaded), SIGTERM and the X server going
# away each end the program within a few seconds.
#
#   bash tests/e2e/held_thread.sh PATH/TO/monitor-audio
#
# Uses the sound server in PULSE_SERVER; without one it starts a private one.
set -euo pipefail

# shellcheck source-path=SCRIPTDIR source=preamble.sh
source "$(dirname "${BASH_SOURCE[0]}")/preamble.sh"
[[ -f ${E2E_HOLD_SHIM:-} ]] || fail "E2E_HOLD_SHIM names no library"
own_server=
cleanup() {
    xvfb_stop
    [[ -n $own_server ]] && test_sound_server_stop
    rm -rf "$work"
}
trap cleanup EXIT
if [[ -z ${PULSE_SERVER:-} ]]; then
    test_sound_server_start "$work/sound" || fail "the test sound server did not start"
    own_server=1
fi

for side in capture playback; do
    for ending in TERM X; do
        xvfb_start "$work/x-$side-$ending" || fail "no X server"
        # A sanitizer's runtime need not come first with a library preloaded.
        MA_TEST_HOLD=$side LD_PRELOAD=$E2E_HOLD_SHIM \
            ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0 \
            xvfb_app_start "$program"
        xvfb_app_window 60 || fail "the window did not open"
        xvfb_click_iniciar || fail "could not click Iniciar"
        # Fifty turns of the stream thread, then it is held.
        sleep 3
        xvfb_app_running || fail "the program ended with its $side thread held"
        if [[ $ending == TERM ]]; then
            kill -s TERM "$APP_PID"
        else
            kill -KILL "$XVFB_PID"
            wait "$XVFB_PID" 2>/dev/null || true
            XVFB_PID=
        fi
        xvfb_app_wait_exit 8 || fail "the program hung with its $side thread held ($ending)"
        if grep -E -q 'ERROR: (Address|Leak)Sanitizer|WARNING: ThreadSanitizer|runtime error:' \
            "$XVFB_DIR/app.log"; then
            fail "the program reported faults ($side, $ending)"
        fi
        echo "ok: with its $side thread held, the program ends ($ending, status $APP_STATUS)"
        xvfb_stop
    done
done
