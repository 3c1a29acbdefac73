#!/usr/bin/env bash
# The whole program on a system with no sound at all: no sound server answers
# and ALSA's default device names a card that is not there. Opening the input
# fails, the "Error de multimedia" box is shown once, and once it is
# dismissed the program ends with status 0.
#
#   HOME=DIR PULSE_SERVER=unix:/nowhere bash tests/e2e/no_device.sh PATH/TO/monitor-audio
#
# DIR/.asoundrc defines ALSA's default device (tests/support/alsa/no-card.asoundrc).
set -euo pipefail

# shellcheck source-path=SCRIPTDIR source=preamble.sh
source "$(dirname "${BASH_SOURCE[0]}")/preamble.sh"
trap 'xvfb_stop; rm -rf "$work"' EXIT

boxes() {
    xdotool search --onlyvisible --name '^Error de multimedia$' 2>/dev/null || true
}

xvfb_start "$work/x" || fail "no X server"
xvfb_app_start "$program"

box=
for _ in $(seq 1 200); do
    box=$(boxes | head -n 1)
    [[ -n $box ]] && break
    xvfb_app_running || fail "the program ended without showing the box"
    sleep 0.1
done
[[ -n $box ]] || fail "no \"Error de multimedia\" box within 20 s"
# Nothing else comes up meanwhile: not a second box, not the window.
sleep 1
count=$(boxes | wc -l)
((count == 1)) || fail "$count boxes are shown"
echo "ok: one \"Error de multimedia\" box"

# The box as it is now: the toolkit may have given it a new window since.
box=$(boxes | head -n 1)
# No window manager gives it the focus; then Return presses its OK button.
xdotool windowfocus --sync "$box"
xdotool key Return
xvfb_app_wait_exit 20 || fail "dismissing the box did not end the program"
((APP_STATUS == 0)) || fail "the program ended with status $APP_STATUS"
if grep -E -q 'ERROR: (Address|Leak)Sanitizer|WARNING: ThreadSanitizer|runtime error:' \
    "$work/x/app.log"; then
    fail "the program reported faults while it ran"
fi
echo "ok: dismissing it ends the program with status 0"
