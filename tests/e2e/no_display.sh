#!/usr/bin/env bash
# Where no display can be opened, the program says so in one line on stderr
# and ends with status 1: no abort, no core dump. Its own options need no
# display at all, and Qt's reach Qt.
#
#   bash tests/e2e/no_display.sh PATH/TO/monitor-audio VERSION
set -euo pipefail

if [[ $# -ne 2 || ! -x $1 ]]; then
    echo "usage: $0 PATH/TO/monitor-audio VERSION" >&2
    exit 2
fi
program=$1
version=${2//./\\.}
work=$(mktemp -d /tmp/monitor-audio-nodisplay.XXXXXX)
trap 'rm -rf "$work"' EXIT
mkdir -m 700 "$work/runtime"

# An X display number nobody serves.
dead=4242
while [[ -e /tmp/.X11-unix/X$dead ]]; do
    dead=$((dead + 1))
done

# WHAT|VARIABLES|ARGUMENTS|STATUS|STDOUT|STDERR: the display the environment
# points at, the command line, and what must come of it; the streams as
# regular expressions over all they hold (\n a line's end), an empty one not
# checked. 124 is timeout's: a window opened on the platform asked for, and
# stayed.
line='[^\n]*'
no_display="^${line}display$line\$"
cases=(
    "no display at all|||1||$no_display"
    "an X display nobody serves|DISPLAY=:$dead||1||$no_display"
    "the X11 platform asked for, no display|QT_QPA_PLATFORM=xcb||1||$no_display"
    "the Wayland platform asked for, no compositor|QT_QPA_PLATFORM=wayland||1||$no_display"
    "a Wayland socket that is not there|WAYLAND_DISPLAY=wayland-none||1||$no_display"
    "--version||--version|0|^monitor-audio $version\$|^\$"
    "--help||--help|0|^Usage: monitor-audio .*--version|^\$"
    "an unknown option||--bogus|2|^\$|^monitor-audio: unknown option '--bogus'\\n\\nUsage: monitor-audio "
    "Qt's -platform goes to Qt||-platform offscreen|124||"
)
# The sanitizers' settings pass through; nothing else of this environment.
keep=()
for name in ASAN_OPTIONS LSAN_OPTIONS UBSAN_OPTIONS TSAN_OPTIONS; do
    [[ -n ${!name:-} ]] && keep+=("$name=${!name}")
done

status_all=0
for c in "${cases[@]}"; do
    IFS='|' read -r what vars args expected out_re err_re <<<"$c"
    read -r -a vars <<<"$vars"
    read -r -a args <<<"$args"
    out_re=${out_re//'\n'/$'\n'} err_re=${err_re//'\n'/$'\n'}
    limit=60
    ((expected == 124)) && limit=5
    status=0
    env -i PATH="$PATH" HOME="$work" XDG_RUNTIME_DIR="$work/runtime" "${keep[@]}" "${vars[@]}" \
        timeout -k 10 $limit "$program" "${args[@]}" >"$work/out" 2>"$work/err" </dev/null ||
        status=$?
    out=$(<"$work/out") err=$(<"$work/err")
    if ((status != expected)) || [[ -n $out_re && ! $out =~ $out_re ]] ||
        [[ -n $err_re && ! $err =~ $err_re ]]; then
        echo "FAIL: $what: status $status ($expected expected), stdout and stderr:" >&2
        printf '%s\n--\n%s\n' "$out" "$err" >&2
        status_all=1
    else
        echo "ok: $what: status $status"
    fi
done
exit $status_all
