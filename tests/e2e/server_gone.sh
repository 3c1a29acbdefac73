#!/usr/bin/env bash
# The program on ALSA, through ALSA's PulseAudio plug-in, playing: its
# server is killed, and the plug-in's threads then hold the program's stream
# threads for good. SIGTERM, or the X server going away, must still end the
# program within a few seconds.
#
#   bash tests/e2e/server_gone.sh PATH/TO/monitor-audio
#
# Needs E2E_PROGRAM_ALSA_HOME: a HOME whose .asoundrc points ALSA's default
# device at the server in TEST_SOUND_DIR. Starts servers of its own, with
# shared memory as a desktop's has: the plug-in hangs on that.
set -euo pipefail

# shellcheck source-path=SCRIPTDIR source=preamble.sh
source "$(dirname "${BASH_SOURCE[0]}")/preamble.sh"
[[ -n ${E2E_PROGRAM_ALSA_HOME:-} ]] || fail "E2E_PROGRAM_ALSA_HOME is not set"
cleanup() {
    xvfb_stop
    test_sound_server_stop
    rm -rf "$work"
}
trap cleanup EXIT
export TEST_SOUND_SHM=1
# The hang is the PulseAudio plug-in's with a PulseAudio server, so its
# servers are PulseAudio even in the suite's PipeWire run.
export TEST_SOUND_KIND=pulseaudio

for ending in TERM X; do
    test_sound_server_start "$work/sound-$ending" || fail "the test sound server did not start"
    xvfb_start "$work/x-$ending" || fail "no X server"
    HOME=$E2E_PROGRAM_ALSA_HOME PULSE_SERVER=unix:/nonexistent/monitor-audio-test-socket \
        xvfb_app_start "$program"
    xvfb_app_window 60 || fail "the window did not open"
    sleep 1
    xvfb_click_iniciar || fail "could not click Iniciar"
    sleep 1
    kill -KILL "$(cat "$work/sound-$ending/pids")"
    sleep 1
    xvfb_app_running || fail "the program ended when its server went away"
    if [[ $ending == TERM ]]; then
        kill -s TERM "$APP_PID"
    else
        kill -KILL "$XVFB_PID"
        wait "$XVFB_PID" 2>/dev/null || true
        XVFB_PID=
    fi
    xvfb_app_wait_exit 8 || fail "the program hung after its server went away ($ending)"
    if grep -E -q 'ERROR: (Address|Leak)Sanitizer|WARNING: ThreadSanitizer|runtime error:' \
        "$XVFB_DIR/app.log"; then
        fail "the program reported faults ($ending)"
    fi
    echo "ok: with its server gone, the program ends ($ending, status $APP_STATUS)"
    xvfb_stop
    test_sound_server_stop
done
