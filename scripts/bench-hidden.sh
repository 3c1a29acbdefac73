#!/usr/bin/env bash
# What the oscilloscope costs while nobody can see it: the program's CPU and
# the display server's, with the window shown, minimized, and shown again,
# each phase MONITOR_AUDIO_HIDDEN_SECONDS long. On X (Xvfb with openbox,
# which iconifies the window as xdotool windowminimize asks) and on Weston
# (with a seat on a private Xvfb: the window's own minimize button, then
# Weston's window switcher to bring it back); the display server is Xvfb or
# Weston. Every program given is run in turn within each, so the figures
# stand side by side; the last line of each says minimized / shown.
#
#   scripts/bench-hidden.sh [PROGRAM LABEL]...   # default: this tree's build
#   MONITOR_AUDIO_HIDDEN_SECONDS=10
#   MONITOR_AUDIO_HIDDEN_RUNS=1
#
# scripts/bench.sh runs it with its own programs.
set -euo pipefail
cd "$(dirname "$0")/.."

if (($# == 0)); then
    set -- build/default/src/monitor-audio this
fi
programs=()
labels=()
while (($# >= 2)); do
    programs+=("$1")
    labels+=("$2")
    shift 2
done
seconds=${MONITOR_AUDIO_HIDDEN_SECONDS:-10}
runs=${MONITOR_AUDIO_HIDDEN_RUNS:-1}

work=$(mktemp -d /tmp/monitor-audio-hidden.XXXXXX)
set --
# shellcheck source=test-sound-server.sh
source scripts/test-sound-server.sh
trap 'test_sound_server_stop; rm -rf "$work"' EXIT
test_sound_server_start "$work/sound"

ticks() {
    local stat fields
    stat=$(<"/proc/$1/stat")
    read -r -a fields <<<"${stat##*) }"
    echo $((fields[11] + fields[12]))
}
# phase LABEL APP SERVER: both processes' CPU over the next $seconds, in %
# of one core, printed and kept in $work/phases for the ratios.
phase() {
    local a0 s0 t0 a1 s1 t1
    a0=$(ticks "$2")
    s0=$(ticks "$3")
    t0=$(date +%s.%N)
    sleep "$seconds"
    a1=$(ticks "$2")
    s1=$(ticks "$3")
    t1=$(date +%s.%N)
    awk -v label="$1" -v a=$((a1 - a0)) -v s=$((s1 - s0)) -v t0="$t0" -v t1="$t1" \
        -v hz="$(getconf CLK_TCK)" 'BEGIN {
            printf "%-28s program cpu %5.2f %%  server cpu %5.2f %%\n", label,
                100 * a / hz / (t1 - t0), 100 * s / hz / (t1 - t0) }' | tee -a "$work/phases"
}
# ratio LABEL: minimized / shown of the phases just measured.
ratio() {
    tail -n 3 "$work/phases" | awk -v label="$1" '
        { app[NR] = $(NF - 5); server[NR] = $(NF - 1) }
        END { printf "%-28s minimized/shown: program %.2fx  server %.2fx\n", label,
                app[2] / app[1], server[2] / server[1] }'
}

# X: the window manager is what iconifies.
x_run() (
    local label=$1 program=$2 dir=$work/x-$1
    # shellcheck source=xvfb-session.sh
    source scripts/xvfb-session.sh
    trap 'xvfb_stop' EXIT
    XVFB_SCREEN=1600x1200x24 xvfb_start "$dir" || exit 1
    xvfb_wm_start || exit 1
    xvfb_app_start "$program"
    xvfb_app_window 60 || exit 1
    sleep 2
    phase "$label/x shown" "$APP_PID" "$XVFB_PID"
    xdotool windowminimize --sync "$APP_WINDOW"
    sleep 1
    phase "$label/x minimized" "$APP_PID" "$XVFB_PID"
    # A map request brings an iconified window back (ICCCM 4.1.4).
    xdotool windowmap --sync "$APP_WINDOW"
    sleep 1
    phase "$label/x shown again" "$APP_PID" "$XVFB_PID"
    ratio "$label/x"
)

wayland_run() (
    local label=$1 program=$2
    # shellcheck source=weston-session.sh
    source scripts/weston-session.sh
    trap 'weston_stop' EXIT
    weston_start "$work/wayland-$label" 1 seat || exit 1
    weston_app_start "$program"
    weston_app_window 60 || exit 1
    sleep 2
    phase "$label/wayland shown" "$APP_PID" "$WESTON_PID"
    weston_minimize_window
    sleep 1
    phase "$label/wayland minimized" "$APP_PID" "$WESTON_PID"
    weston_restore_window
    sleep 1
    phase "$label/wayland shown again" "$APP_PID" "$WESTON_PID"
    ratio "$label/wayland"
)

echo "=== shown, minimized, shown again: ${seconds} s each (CPU in % of one core;"
echo "    server: Xvfb under openbox, or Weston with a seat, pixman renderer) ==="
status=0
for _ in $(seq 1 "$runs"); do
    for kind in x wayland; do
        for i in "${!programs[@]}"; do
            "${kind}_run" "${labels[$i]}" "${programs[$i]}" || {
                echo "the $kind run of ${labels[$i]} failed" >&2
                status=1
            }
        done
    done
done
exit $status
