#!/usr/bin/env bash
# Where no display can be opened, the program says so in one line on stderr
# and ends with status 1: no abort, no core dump.
#
#   bash tests/e2e/no_display.sh PATH/TO/monitor-audio
set -euo pipefail

if [[ $# -ne 1 || ! -x $1 ]]; then
    echo "usage: $0 PATH/TO/monitor-audio" >&2
    exit 2
fi
program=$1
work=$(mktemp -d /tmp/monitor-audio-nodisplay.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -m 700 "$work/runtime"

# An X display number nobody serves.
dead=4242
while [[ -e /tmp/.X11-unix/X$dead ]]; do
    dead=$((dead + 1))
done

# WHAT|VARIABLES: the display the environment points at, and why it fails.
cases=(
    "no display at all|"
    "an X display nobody serves|DISPLAY=:$dead"
    "the X11 platform asked for, no display|QT_QPA_PLATFORM=xcb"
    "the Wayland platform asked for, no compositor|QT_QPA_PLATFORM=wayland"
    "a Wayland socket that is not there|WAYLAND_DISPLAY=wayland-none"
)
# The sanitizers' settings pass through; nothing else of this environment.
keep=()
for name in ASAN_OPTIONS LSAN_OPTIONS UBSAN_OPTIONS TSAN_OPTIONS; do
    [[ -n ${!name:-} ]] && keep+=("$name=${!name}")
done

status_all=0
for c in "${cases[@]}"; do
    what=${c%%|*}
    read -r -a vars <<<"${c#*|}"
    status=0
    env -i PATH="$PATH" HOME="$work" XDG_RUNTIME_DIR="$work/runtime" "${keep[@]}" "${vars[@]}" \
        timeout 60 "$program" >"$work/out" 2>"$work/err" </dev/null || status=$?
    lines=$(wc -l <"$work/err")
    if ((status != 1)) || ((lines != 1)) || ! grep -q -i display "$work/err"; then
        echo "FAIL: $what: status $status (1 expected), $lines lines on stderr (1 naming the display expected):" >&2
        cat "$work/err" >&2
        status_all=1
    else
        echo "ok: $what: status 1, $(cat "$work/err")"
    fi
done
exit $status_all
