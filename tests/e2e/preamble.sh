# shellcheck shell=bash source-path=SCRIPTDIR disable=SC2034
# Sourced first by each end-to-end script, with the script's own arguments:
# checks that the one argument is the program, sets `program`, `root` (the
# source tree) and `work` (a fresh folder), and loads the test sound server
# and the X and Wayland session helpers; `fail` ends a script with what went
# wrong and the program's output. Each script then sets its own clean-up.
if [[ $# -ne 1 || ! -x $1 ]]; then
    echo "usage: $0 PATH/TO/monitor-audio" >&2
    exit 2
fi
program=$1
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
work=$(mktemp -d /tmp/monitor-audio-e2e.XXXXXX)
# The helpers are sourced without arguments: with one the sound server's
# would start a server of its own.
set --
# shellcheck source=../../scripts/test-sound-server.sh
source "$root/scripts/test-sound-server.sh"
# shellcheck source=../../scripts/xvfb-session.sh
source "$root/scripts/xvfb-session.sh"
# shellcheck source=../../scripts/weston-session.sh
source "$root/scripts/weston-session.sh"

fail() {
    echo "FAIL: $*" >&2
    local log
    for log in "$work"/*/app.log; do
        if [[ -s $log ]]; then
            echo "--- the program's output:" >&2
            cat "$log" >&2
            echo "---" >&2
        fi
    done
    exit 1
}
