#!/usr/bin/env bash
# Runs the program on a private X server (Xvfb) and drives its window the way
# a user would: waits for it, clicks its buttons, closes it with the window's
# close request. Shared by the end-to-end tests, the benchmarks and the
# screenshot script.
#
#   source scripts/xvfb-session.sh
#   xvfb_start DIR              # starts Xvfb on a free display, exports DISPLAY
#                               # (screen XVFB_SCREEN, 800x600x24 if unset)
#   xvfb_wm_start               # openbox there, a window manager that can
#                               # iconify a window (XVFB_WM_PID)
#   xvfb_app_start PROGRAM      # starts the program there (APP_PID)
#   xvfb_app_window [SECONDS]   # waits for the window "frmAudio" (APP_WINDOW)
#   xvfb_click_iniciar          # or xvfb_click_parar, or xvfb_click X Y
#   xvfb_close_window           # asks the window to close (WM_DELETE_WINDOW)
#   xvfb_app_wait_exit SECONDS  # waits for the program to end (APP_STATUS)
#   xvfb_stop                   # ends whatever of the above still runs
#
# The program's output goes to DIR/app.log, the X server's to DIR/xvfb.log.
# Every function prints what went wrong and returns non-zero on failure;
# xvfb_show_app_log then shows what the program said.

# Read by the scripts that source this one.
# shellcheck disable=SC2034
XVFB_DIR=
XVFB_PID=
XVFB_WM_PID=
APP_PID=
APP_WINDOW=
APP_STATUS=

# Where this file and its helpers live.
XVFB_SCRIPTS=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# The buttons, in the window's client coordinates: left, top, width, height.
XVFB_INICIAR=(136 8 75 25)
XVFB_PARAR=(224 8 75 25)

xvfb_start() {
    XVFB_DIR=$1
    mkdir -p "$XVFB_DIR"
    : >"$XVFB_DIR/display"
    # Xvfb picks a free display itself and writes its number once it accepts
    # connections, so parallel runs never collide. It never resets when its
    # last client leaves: meanwhile it would refuse the next one.
    Xvfb -displayfd 3 -screen 0 "${XVFB_SCREEN:-800x600x24}" -nolisten tcp -noreset 3>"$XVFB_DIR/display" \
        >"$XVFB_DIR/xvfb.log" 2>&1 &
    XVFB_PID=$!
    local number='' i
    for i in $(seq 1 200); do
        number=$(head -n 1 "$XVFB_DIR/display" 2>/dev/null || true)
        [[ $number =~ ^[0-9]+$ ]] && break
        number=
        kill -0 "$XVFB_PID" 2>/dev/null || break
        sleep 0.1
    done
    if [[ -z $number ]]; then
        echo "Xvfb did not start; its log:" >&2
        cat "$XVFB_DIR/xvfb.log" >&2
        return 1
    fi
    export DISPLAY=:$number
}

xvfb_wm_start() {
    # No session manager, and none of the user's settings.
    HOME=$XVFB_DIR XDG_CONFIG_HOME=$XVFB_DIR openbox --sm-disable >"$XVFB_DIR/wm.log" 2>&1 &
    XVFB_WM_PID=$!
    # It manages windows once it has said so on the root window.
    for _ in $(seq 1 100); do
        xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q 'window id' && return 0
        kill -0 "$XVFB_WM_PID" 2>/dev/null || break
        sleep 0.1
    done
    echo "openbox did not start; its log:" >&2
    cat "$XVFB_DIR/wm.log" >&2
    return 1
}

xvfb_app_start() {
    QT_QPA_PLATFORM=xcb "$1" >"$XVFB_DIR/app.log" 2>&1 &
    APP_PID=$!
    APP_STATUS=
}

xvfb_app_running() {
    [[ -n $APP_PID ]] && kill -0 "$APP_PID" 2>/dev/null
}

xvfb_show_app_log() {
    echo "--- the program's output:" >&2
    cat "$XVFB_DIR/app.log" >&2 || true
    echo "---" >&2
}

xvfb_app_window() {
    local seconds=${1:-30} i
    APP_WINDOW=
    for i in $(seq 1 $((seconds * 10))); do
        APP_WINDOW=$(xdotool search --name '^frmAudio$' 2>/dev/null | head -n 1 || true)
        [[ -n $APP_WINDOW ]] && return 0
        if ! xvfb_app_running; then
            echo "the program ended before its window appeared" >&2
            return 1
        fi
        sleep 0.1
    done
    echo "the window frmAudio did not appear within $seconds s" >&2
    return 1
}

# Clicks with the first mouse button at client coordinates (x, y) of the
# window.
xvfb_click() {
    if ! xvfb_app_running; then
        echo "the program is no longer running; cannot click" >&2
        return 1
    fi
    xdotool mousemove --window "$APP_WINDOW" "$1" "$2" click 1
}

xvfb_click_centre() {
    xvfb_click $(($1 + $3 / 2)) $(($2 + $4 / 2))
}

xvfb_click_iniciar() {
    xvfb_click_centre "${XVFB_INICIAR[@]}"
}

xvfb_click_parar() {
    xvfb_click_centre "${XVFB_PARAR[@]}"
}

# What a window manager's close button sends: a WM_PROTOCOLS client message
# carrying WM_DELETE_WINDOW. The program then closes the window itself.
xvfb_close_window() {
    python3 "$XVFB_SCRIPTS/close_window.py" "$APP_WINDOW"
}

xvfb_app_wait_exit() {
    local seconds=$1
    for _ in $(seq 1 $((seconds * 10))); do
        if ! xvfb_app_running; then
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

xvfb_stop() {
    if xvfb_app_running; then
        kill "$APP_PID" 2>/dev/null || true
        wait "$APP_PID" 2>/dev/null || true
    fi
    APP_PID=
    if [[ -n $XVFB_WM_PID ]]; then
        kill "$XVFB_WM_PID" 2>/dev/null || true
        wait "$XVFB_WM_PID" 2>/dev/null || true
        XVFB_WM_PID=
    fi
    if [[ -n $XVFB_PID ]]; then
        kill "$XVFB_PID" 2>/dev/null || true
        wait "$XVFB_PID" 2>/dev/null || true
        XVFB_PID=
    fi
}

if [[ ${BASH_SOURCE[0]} == "$0" ]]; then
    echo "source this file, then call xvfb_start DIR" >&2
    exit 2
fi
