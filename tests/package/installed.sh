#!/usr/bin/env bash
# The installed program as a user meets it, on private servers of its own:
# the end-to-end check under Xvfb (window, live oscilloscope, "Iniciar"
# plays the input bit for bit, "Parar" silences it, closing ends it with
# status 0) on a private PulseAudio and, where PipeWire is installed, on a
# private PipeWire; the one-line error without a display, and --version
# and --help answered without one; and the window
# under the WM_CLASS its desktop entry names, with an icon. The package
# check and the package's autopkgtest both run it.
#
#   bash tests/package/installed.sh [/usr/bin/monitor-audio]
# shellcheck source-path=SCRIPTDIR
set -euo pipefail

program=${1:-/usr/bin/monitor-audio}
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
desktop=$(dirname "$program")/../share/applications/io.github.monitor_audio.MonitorAudio.desktop
[[ -x $program && -f $desktop ]] || {
    echo "usage: $0 PATH/TO/bin/monitor-audio   (installed, with its desktop entry)" >&2
    exit 2
}
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

kinds=(pulseaudio)
command -v pipewire-pulse >/dev/null && kinds+=(pipewire)
for kind in "${kinds[@]}"; do
    echo "--- on a private $kind"
    env -u PULSE_SERVER TEST_SOUND_KIND="$kind" bash "$root/tests/e2e/playback.sh" "$program" ||
        fail "the installed program fails the end-to-end check on $kind"
done
# The release this source tree is, which --version must name.
version=$(sed -n 's/^project(monitor-audio VERSION \([^ ]*\) .*/\1/p' "$root/CMakeLists.txt")
bash "$root/tests/e2e/no_display.sh" "$program" "$version" ||
    fail "the installed program without a display, or its own options"

work=$(mktemp -d /tmp/monitor-audio-installed.XXXXXX)
set --
# shellcheck source=../../scripts/test-sound-server.sh
source "$root/scripts/test-sound-server.sh"
# shellcheck source=../../scripts/xvfb-session.sh
source "$root/scripts/xvfb-session.sh"
trap 'xvfb_stop; test_sound_server_stop; rm -rf "$work"' EXIT
test_sound_server_start "$work/sound" || fail "the test sound server did not start"

# The desktop finds the window's entry through WM_CLASS and shows its icon.
wm_class=$(sed -n 's/^StartupWMClass=//p' "$desktop")
xvfb_start "$work/x" || fail "no X server"
xvfb_app_start "$program"
xvfb_app_window 60 || { xvfb_show_app_log; fail "the installed program's window did not open"; }
classes=$(xprop -id "$APP_WINDOW" WM_CLASS)
[[ $classes == *"\"$wm_class\""* ]] || fail "StartupWMClass=$wm_class is not in the window's $classes"
icon=$(xprop -id "$APP_WINDOW" _NET_WM_ICON)
[[ $icon == "_NET_WM_ICON(CARDINAL) = "*Icon* ]] || fail "the window has no icon: $icon"
xvfb_close_window || fail "could not close the window"
xvfb_app_wait_exit 20 || fail "the installed program did not end"
((APP_STATUS == 0)) || fail "the installed program ended with status $APP_STATUS"
echo "ok: the window has the desktop entry's WM_CLASS ($wm_class) and an icon"
