#!/usr/bin/env bash
# The whole program as a user meets it, on a private X server and the test
# sound server (a 441 Hz sine as the input, a null sink "out" as the output):
# the window opens and nothing is played; "Iniciar" makes the input heard on
# the output; "Parar" silences it again; closing the window ends the program
# with status 0.
#
#   bash tests/e2e/playback.sh PATH/TO/monitor-audio
#   E2E_DISPLAY=wayland bash tests/e2e/playback.sh PATH/TO/monitor-audio
#
# With E2E_DISPLAY=wayland the window runs on a private Weston instead, one
# with a seat, so the clicks reach it through the compositor as a user's do.
#
# Uses the sound server in PULSE_SERVER; without one it starts a private one.
# With E2E_PROGRAM_ALSA_HOME set, the program itself finds no server and runs
# on ALSA, with that folder as its HOME (its .asoundrc points ALSA's default
# device at the same server).
set -euo pipefail

# shellcheck source-path=SCRIPTDIR source=preamble.sh
source "$(dirname "${BASH_SOURCE[0]}")/preamble.sh"

# The display the window runs on: screen_* for what the two do alike.
case ${E2E_DISPLAY:-x} in
x)
    screen_start() { xvfb_start "$work/x"; }
    screen_app_start() { xvfb_app_start "$@"; }
    screen_app_window() { xvfb_app_window "$@"; }
    screen_app_running() { xvfb_app_running; }
    screen_click_iniciar() { xvfb_click_iniciar; }
    screen_click_parar() { xvfb_click_parar; }
    screen_close_window() { xvfb_close_window; }
    screen_app_wait_exit() { xvfb_app_wait_exit "$@"; }
    screen_stop() { xvfb_stop; }
    # screen_grab X Y W H FILE: that rectangle of the window as raw RGB.
    screen_grab() {
        import -window "$APP_WINDOW" -crop "$3x$4+$1+$2" +repage -depth 8 "rgb:$5" 2>/dev/null
    }
    ;;
wayland)
    screen_start() { weston_start "$work/wayland" 1 seat; }
    screen_app_start() { weston_app_start "$@"; }
    screen_app_window() { weston_app_window "$@"; }
    screen_app_running() { weston_app_running; }
    screen_click_iniciar() { weston_click_iniciar; }
    screen_click_parar() { weston_click_parar; }
    screen_close_window() { weston_close_window; }
    screen_app_wait_exit() { weston_app_wait_exit "$@"; }
    screen_stop() { weston_stop; }
    screen_grab() { weston_grab "$@" 2>/dev/null; }
    ;;
*)
    echo "E2E_DISPLAY is x or wayland" >&2
    rm -rf "$work"
    exit 2
    ;;
esac

recorder_pid=
own_server=
cleanup() {
    screen_stop
    if [[ -n $recorder_pid ]]; then
        kill "$recorder_pid" 2>/dev/null || true
        wait "$recorder_pid" 2>/dev/null || true
    fi
    [[ -n $own_server ]] && test_sound_server_stop
    rm -rf "$work"
}
trap cleanup EXIT

step() {
    echo "ok: $*"
}

if [[ -z ${PULSE_SERVER:-} ]]; then
    test_sound_server_start "$work/sound" || fail "the test sound server did not start"
    own_server=1
fi

# Everything the output plays, as it plays: 16-bit stereo at 44,100 Hz, 4
# bytes a frame. A byte offset in this file is a moment of the run.
played=$work/played.raw
bytes_per_second=176400
parec -d out.monitor --raw --format=s16le --rate=44100 --channels=2 --latency-msec=10 \
    >"$played" 2>"$work/parec.log" &
recorder_pid=$!
recorded() {
    stat -c %s "$played"
}
# A null sink's monitor delivers nothing for its first second or so.
for _ in $(seq 1 200); do
    (($(recorded) > 0)) && break
    kill -0 "$recorder_pid" 2>/dev/null || fail "parec ended: $(cat "$work/parec.log")"
    sleep 0.1
done
(($(recorded) > 0)) || fail "the output's monitor delivered nothing within 20 s"

# pcm_check MODE START END: looks at what was played between two offsets;
# MODE silent or sine, exit 0 holds, 1 cannot hold, 2 too little sound yet
# (tests/e2e/pcm_check.py says more).
pcm_check() {
    python3 "$root/tests/e2e/pcm_check.py" "$1" "$played" "$2" "$3"
}

# expect_silence WHAT: one second of output must be silent.
expect_silence() {
    local from to verdict
    from=$(recorded)
    sleep 1.2
    to=$(recorded)
    ((to - from >= bytes_per_second / 4)) ||
        fail "$1: the output's monitor delivered only $((to - from)) bytes in 1.2 s"
    verdict=$(pcm_check silent "$from" "$to") || fail "$1: the output is not silent: $verdict"
    screen_app_running || fail "$1: the program ended"
}

screen_start || fail "no display server"
if [[ -n ${E2E_PROGRAM_ALSA_HOME:-} ]]; then
    HOME=$E2E_PROGRAM_ALSA_HOME PULSE_SERVER=unix:/nonexistent/monitor-audio-test-socket \
        screen_app_start "$program"
else
    screen_app_start "$program"
fi
screen_app_window 60 || fail "the window did not open"
step "the window is open"
# Docks and task switchers find the program's icon and name through the
# app_id: it must be the installed desktop file's id.
if [[ ${E2E_DISPLAY:-x} == wayland ]]; then
    desktop_id=$(basename "$root"/data/*.desktop .desktop)
    [[ $APP_ID == "$desktop_id" ]] ||
        fail "the window's app_id is \"$APP_ID\", not the desktop id \"$desktop_id\""
    step "the window's app_id is $desktop_id"
fi

# What the screen shows where the oscilloscope is (40, 48, 281 x 273): a
# white outline around black, with aqua traces and no other colour. A
# picture shifted, cut short or with its colours swapped fails this. With a
# second picture, that one also differs from the first: the 441 Hz input
# moves the traces by about a quarter of a period each block, so a screen that
# keeps showing one picture fails too.
oscilloscope_shown() {
    screen_grab 40 48 281 273 "$work/box.rgb" || return 1
    python3 - "$work/box.rgb" "$@" <<'EOF_PY'
import sys
w, h = 281, 273
data = open(sys.argv[1], "rb").read()
if len(sys.argv) > 2 and data == open(sys.argv[2], "rb").read():
    sys.exit(1)
if len(data) != w * h * 3:
    sys.exit(1)
px = [data[i:i + 3] for i in range(0, len(data), 3)]
white, black, aqua = b"\xff\xff\xff", b"\0\0\0", b"\0\xff\xff"
# The traces run from the first column to the last, over the outline.
rows = [px[x] for x in range(w)] + [px[(h - 1) * w + x] for x in range(w)]
columns = [px[y * w] for y in range(h)] + [px[y * w + w - 1] for y in range(h)]
ok = (all(p == white for p in rows) and all(p in (white, aqua) for p in columns) and
      set(px) == {white, black, aqua})
sys.exit(0 if ok else 1)
EOF_PY
}
shown=
for _ in $(seq 1 20); do
    oscilloscope_shown && shown=1 && break
    sleep 0.25
done
[[ -n $shown ]] || fail "the oscilloscope is not on the screen as drawn"
cp "$work/box.rgb" "$work/first.rgb"
shown=
for _ in $(seq 1 20); do
    sleep 0.25
    oscilloscope_shown "$work/first.rgb" && shown=1 && break
done
[[ -n $shown ]] || fail "the oscilloscope on the screen does not follow the input"
step "the oscilloscope is on the screen and follows the input"

# Capture runs from the start; playback only after "Iniciar".
sleep 1
expect_silence "before Iniciar"
step "nothing is played before Iniciar"

from=$(recorded)
screen_click_iniciar || fail "could not click Iniciar"
verdict=
status=2
for _ in $(seq 1 40); do
    sleep 0.5
    status=0
    verdict=$(pcm_check sine "$from" "$(recorded)") || status=$?
    ((status != 2)) && break
    screen_app_running || fail "the program ended after Iniciar"
done
case $status in
0) step "Iniciar plays the input: $verdict" ;;
1) fail "after Iniciar: $verdict" ;;
*) fail "nothing was played within 20 s of Iniciar: $verdict" ;;
esac

screen_click_parar || fail "could not click Parar"
# What the output had queued may still come out for a moment.
sleep 1
expect_silence "after Parar"
step "Parar silences the output"

screen_close_window || fail "could not ask the window to close"
screen_app_wait_exit 20 || fail "closing the window did not end the program"
((APP_STATUS == 0)) || fail "the program ended with status $APP_STATUS after its window closed"
# A sanitizer build that was told not to halt still reports.
if grep -E -q 'ERROR: (Address|Leak)Sanitizer|WARNING: ThreadSanitizer|runtime error:' \
    "$work"/*/app.log; then
    fail "the program reported faults while it ran"
fi
step "closing the window ends the program with status 0"
