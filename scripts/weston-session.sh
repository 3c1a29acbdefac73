#!/usr/bin/env bash
# Runs the program on a private Wayland compositor: a headless Weston with the
# pixman renderer, its own runtime folder and socket, so it never meets a
# user's session. Its debug protocol is on, so weston-screenshooter can take
# pictures of the output and weston-debug can report where the window is.
# Shared by the end-to-end tests, the picture tests, the benchmarks and the
# screenshot script.
#
#   source scripts/weston-session.sh
#   weston_start DIR [SCALE]     # starts Weston (output scale 1 or 2), exports
#                                # WAYLAND_DISPLAY, XDG_RUNTIME_DIR,
#                                # QT_QPA_PLATFORM=wayland and WESTON_PID
#   weston_app_start PROGRAM     # starts the program there (APP_PID)
#   weston_app_window [SECONDS]  # waits for the window "frmAudio"
#                                # (APP_WINDOW_X, APP_WINDOW_Y: where its
#                                # contents start on the output, in pixels)
#   weston_screenshot FILE       # a PNG of the whole output, in pixels
#   weston_app_wait_exit SECONDS # waits for the program to end (APP_STATUS)
#   weston_stop                  # ends whatever of the above still runs
#
# The output is WESTON_WIDTH x WESTON_HEIGHT logical pixels at every scale,
# so the window has the same room; at scale 2 the pictures are twice as wide
# and high. The program's output goes to DIR/app.log, Weston's to
# DIR/weston.log. Every function prints what went wrong and returns non-zero
# on failure; weston_show_app_log then shows what the program said.

# Read by the scripts that source this one.
# shellcheck disable=SC2034
WESTON_DIR=
WESTON_PID=
WESTON_SCALE=1
WESTON_WIDTH=1024
WESTON_HEIGHT=768
APP_PID=
APP_STATUS=
APP_WINDOW_X=
APP_WINDOW_Y=

weston_start() {
    WESTON_DIR=$1
    WESTON_SCALE=${2:-1}
    if [[ $WESTON_SCALE != 1 && $WESTON_SCALE != 2 ]]; then
        echo "weston_start: the output scale is 1 or 2, not $WESTON_SCALE" >&2
        return 1
    fi
    mkdir -p "$WESTON_DIR/runtime"
    chmod 700 "$WESTON_DIR/runtime"
    # A plain backdrop and no panel, animations, screen lock or on-screen
    # keyboard: nothing on the output moves or costs but the program.
    cat >"$WESTON_DIR/weston.ini" <<'EOF'
[core]
idle-time=0

[shell]
background-color=0xff404040
panel-position=none
locking=false
animation=none
close-animation=none
startup-animation=none
focus-animation=none

[input-method]
path=
EOF
    # Nothing of a user's session may leak in: no other compositor, no X
    # display, no socket handed down.
    unset WAYLAND_SOCKET DISPLAY
    export XDG_RUNTIME_DIR="$WESTON_DIR/runtime"
    export WAYLAND_DISPLAY=weston
    export QT_QPA_PLATFORM=wayland
    weston --backend=headless-backend.so --use-pixman \
        --width="$WESTON_WIDTH" --height="$WESTON_HEIGHT" --scale="$WESTON_SCALE" \
        --socket="$WAYLAND_DISPLAY" --config="$WESTON_DIR/weston.ini" --debug \
        --log="$WESTON_DIR/weston.log" </dev/null >"$WESTON_DIR/weston.out" 2>&1 &
    WESTON_PID=$!
    export WESTON_PID
    # Ready once the shell has drawn its backdrop: before that a picture of
    # the output would show nothing.
    for _ in $(seq 1 200); do
        if [[ -S $XDG_RUNTIME_DIR/$WAYLAND_DISPLAY ]] &&
            _weston_scene | grep -q "background for output"; then
            return 0
        fi
        kill -0 "$WESTON_PID" 2>/dev/null || break
        sleep 0.1
    done
    echo "Weston did not start; its log:" >&2
    cat "$WESTON_DIR/weston.log" "$WESTON_DIR/weston.out" >&2 || true
    return 1
}

# Weston's description of what it shows: outputs, and every view with its
# client's PID, title and position on the output.
_weston_scene() {
    weston-debug scene-graph 2>/dev/null
}

weston_app_start() {
    "$1" >"$WESTON_DIR/app.log" 2>&1 &
    APP_PID=$!
    APP_STATUS=
}

weston_app_running() {
    [[ -n $APP_PID ]] && kill -0 "$APP_PID" 2>/dev/null
}

weston_show_app_log() {
    echo "--- the program's output:" >&2
    cat "$WESTON_DIR/app.log" >&2 || true
    echo "---" >&2
}

# The window is up once Weston shows its toplevel with a buffer. Its view
# includes the decorations Qt draws itself on Weston; the opaque region is
# the window's contents, so that is where the widgets' coordinates start.
weston_app_window() {
    local seconds=${1:-30} place
    APP_WINDOW_X=
    APP_WINDOW_Y=
    for _ in $(seq 1 $((seconds * 10))); do
        place=$(_weston_scene | awk -v pid="$APP_PID" '
            /^\t*View / { mine = index($0, "PID " pid ",") && index($0, "top-level window '\''frmAudio'\''") }
            mine && /\[opaque: \(/ { gsub(/[^0-9 ]/, " "); print $1, $2; exit }')
        if [[ -n $place ]]; then
            read -r APP_WINDOW_X APP_WINDOW_Y <<<"$place"
            # The scene is in logical pixels; pictures are in output pixels.
            APP_WINDOW_X=$((APP_WINDOW_X * WESTON_SCALE))
            APP_WINDOW_Y=$((APP_WINDOW_Y * WESTON_SCALE))
            return 0
        fi
        if ! weston_app_running; then
            echo "the program ended before its window appeared" >&2
            return 1
        fi
        sleep 0.1
    done
    echo "the window frmAudio did not appear on Weston within $seconds s" >&2
    return 1
}

# weston-screenshooter names its picture after the time, to the second, in
# the current folder; a folder of its own per picture keeps them apart.
weston_screenshot() {
    local file=$1 shots
    shots=$(mktemp -d "$WESTON_DIR/shot.XXXXXX")
    if ! (cd "$shots" && weston-screenshooter) >"$shots/log" 2>&1; then
        echo "weston-screenshooter failed:" >&2
        cat "$shots/log" >&2
        rm -rf "$shots"
        return 1
    fi
    mv "$shots"/*.png "$file"
    rm -rf "$shots"
}

weston_app_wait_exit() {
    local seconds=$1
    for _ in $(seq 1 $((seconds * 10))); do
        if ! weston_app_running; then
            APP_STATUS=0
            wait "$APP_PID" || APP_STATUS=$?
            APP_PID=
            return 0
        fi
        sleep 0.1
    done
    echo "the program did not end within $seconds s" >&2
    return 1
}

weston_stop() {
    if weston_app_running; then
        kill "$APP_PID" 2>/dev/null || true
        wait "$APP_PID" 2>/dev/null || true
    fi
    APP_PID=
    if [[ -n $WESTON_PID ]]; then
        # A test may have left it stopped; a stopped Weston never sees SIGTERM.
        kill -CONT "$WESTON_PID" 2>/dev/null || true
        kill "$WESTON_PID" 2>/dev/null || true
        wait "$WESTON_PID" 2>/dev/null || true
        WESTON_PID=
    fi
}

if [[ ${BASH_SOURCE[0]} == "$0" ]]; then
    echo "source this file, then call weston_start DIR [SCALE]" >&2
    exit 2
fi
