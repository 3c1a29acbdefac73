#!/usr/bin/env bash
# A session that ends (SIGTERM at logout, SIGINT from Ctrl+C) closes the
# program the way its window's close box does: it exits with status 0 and
# leaves no stream on the sound server.
#
#   bash tests/e2e/signals.sh PATH/TO/monitor-audio
#
# Uses the sound server in PULSE_SERVER; without one it starts a private one.
set -euo pipefail

# shellcheck source-path=SCRIPTDIR source=preamble.sh
source "$(dirname "${BASH_SOURCE[0]}")/preamble.sh"
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

# The program's streams on the server: its capture and its playback.
streams() {
    { pactl list source-outputs; pactl list sink-inputs; } | grep -c 'application.name = "monitor-audio"' || true
}

xvfb_start "$work/x" || fail "no X server"
for signal in TERM INT; do
    xvfb_app_start "$program"
    xvfb_app_window 60 || fail "the window did not open"
    for _ in $(seq 1 50); do
        (($(streams) == 2)) && break
        sleep 0.1
    done
    (($(streams) == 2)) || fail "the program's two streams are not on the server"
    # What the desktop's mixer shows of them.
    shown=$({ pactl list source-outputs; pactl list sink-inputs; })
    for want in 'application.id = "monitor-audio"' 'media.role = "production"' \
        'application.icon_name = "io.github.monitor_audio.MonitorAudio"'; do
        (($(grep -cF "$want" <<<"$shown") == 2)) || fail "not both streams show $want"
    done
    kill -s "$signal" "$APP_PID"
    xvfb_app_wait_exit 20 || fail "SIG$signal did not end the program"
    ((APP_STATUS == 0)) || fail "the program ended with status $APP_STATUS after SIG$signal"
    (($(streams) == 0)) || fail "streams were left on the server after SIG$signal"
    echo "ok: SIG$signal closes the window and ends the program with status 0"
done
