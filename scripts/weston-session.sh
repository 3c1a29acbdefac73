#!/usr/bin/env bash
# Runs the program on a private Wayland compositor: Weston with the pixman
# renderer, its own runtime folder and socket, so it never meets a user's
# session. Its debug protocol is on, so weston-screenshooter can take
# pictures of the output and weston-debug can report where the window is.
# Shared by the end-to-end tests, the picture tests, the benchmarks and the
# screenshot script.
#
#   source scripts/weston-session.sh
#   weston_start DIR [SCALE [seat]]
#                                # starts Weston (output scale 1 or 2), exports
#                                # WAYLAND_DISPLAY, XDG_RUNTIME_DIR,
#                                # QT_QPA_PLATFORM=wayland and WESTON_PID
#   weston_app_start PROGRAM     # starts the program there (APP_PID)
#   weston_app_window [SECONDS]  # waits for the window "frmAudio"
#                                # (APP_WINDOW_X, APP_WINDOW_Y: where its
#                                # contents start on the output, in pixels;
#                                # APP_ID: its app_id)
#   weston_screenshot FILE       # a PNG of the whole output, in pixels
#   weston_grab X Y W H FILE     # that rectangle of the window's contents
#                                # (window coordinates), as raw RGB
#   weston_click_iniciar         # or weston_click_parar, or weston_click X Y
#   weston_close_window          # the close button of the window's title bar
#   weston_minimize_window       # its minimize button
#   weston_restore_window        # Weston's window switcher (super+Tab) brings
#                                # the window back
#   weston_app_wait_exit SECONDS # waits for the program to end (APP_STATUS)
#   weston_stop                  # ends whatever of the above still runs
#
# Weston runs headless: no input devices, nothing but memory behind its
# output. A headless Weston has no seat, and Debian's Weston ships no module
# that makes input up, so nothing can press a button there. With "seat" it
# runs instead as a window on a private Xvfb (its X11 backend): the same
# compositor and renderer, with a pointer and keyboard fed from that X
# server, so xdotool's clicks reach the program as a user's do, through the
# compositor. The clicks and the close button need "seat".
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
# The app_id the window gave the compositor ("-" if none).
APP_ID=
# The window's view in logical pixels, its title bar included: left, top,
# right, bottom.
APP_VIEW=()
# The private X server under a Weston with a seat.
WESTON_X_DISPLAY=
WESTON_XVFB_PID=

WESTON_SCRIPTS=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)

# The buttons, in the window's client coordinates: left, top, width, height.
WESTON_INICIAR=(136 8 75 25)
WESTON_PARAR=(224 8 75 25)

weston_start() {
    WESTON_DIR=$1
    WESTON_SCALE=${2:-1}
    local seat=${3:-}
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
    local backend=(--backend=headless-backend.so)
    if [[ $seat == seat ]]; then
        _weston_xvfb_start || return 1
        backend=(--backend=x11-backend.so)
    elif [[ -n $seat ]]; then
        echo "weston_start: the third argument is seat or nothing, not $seat" >&2
        return 1
    fi
    export XDG_RUNTIME_DIR="$WESTON_DIR/runtime"
    export WAYLAND_DISPLAY=weston
    export QT_QPA_PLATFORM=wayland
    DISPLAY=$WESTON_X_DISPLAY weston "${backend[@]}" --use-pixman \
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
            [[ -z $WESTON_X_DISPLAY ]] || _weston_park_pointer
            return
        fi
        kill -0 "$WESTON_PID" 2>/dev/null || break
        sleep 0.1
    done
    echo "Weston did not start; its log:" >&2
    cat "$WESTON_DIR/weston.log" "$WESTON_DIR/weston.out" >&2 || true
    return 1
}

# The X server a Weston with a seat shows its output on, exactly as large, in
# the shell's variables of its own: the program never sees it.
_weston_xvfb_start() {
    (
        # shellcheck source=xvfb-session.sh
        source "$WESTON_SCRIPTS/xvfb-session.sh"
        XVFB_SCREEN=$((WESTON_WIDTH * WESTON_SCALE))x$((WESTON_HEIGHT * WESTON_SCALE))x24
        xvfb_start "$WESTON_DIR/x" || exit 1
        echo "$DISPLAY $XVFB_PID"
    ) >"$WESTON_DIR/x-server" || return 1
    read -r WESTON_X_DISPLAY WESTON_XVFB_PID <"$WESTON_DIR/x-server"
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
            /^\t*View / {
                mine = index($0, "PID " pid ",") && index($0, "top-level window '\''frmAudio'\''")
                id = $0
                if (!sub(/.* of /, "", id) || !sub(/, 0x[0-9a-f]+\):$/, "", id)) id = "-"
            }
            mine && /^\t*position: \(/ { gsub(/[^0-9 ]/, " "); view = $1 " " $2 " " $3 " " $4 }
            mine && /\[opaque: \(/ { gsub(/[^0-9 ]/, " "); print $1, $2, view, id; exit }')
        if [[ -n $place ]]; then
            read -r -a place <<<"$place"
            APP_WINDOW_X=${place[0]}
            APP_WINDOW_Y=${place[1]}
            APP_VIEW=("${place[@]:2:4}")
            APP_ID=${place[6]}
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

# The rectangle X, Y, W x H of the window's contents as the output shows it,
# 8-bit RGB, in output pixels (at scale 2 each pixel of the window is a 2 x 2
# block).
weston_grab() {
    local s=$WESTON_SCALE
    weston_screenshot "$WESTON_DIR/grab.png" || return 1
    convert "$WESTON_DIR/grab.png" \
        -crop "$(($3 * s))x$(($4 * s))+$((APP_WINDOW_X + $1 * s))+$((APP_WINDOW_Y + $2 * s))" \
        +repage -depth 8 "rgb:$5"
}

# A click with the first button at output pixel (x, y): the pointer moves
# there first, so the compositor gives the window the pointer's focus.
_weston_click_at() {
    if [[ -z $WESTON_X_DISPLAY ]]; then
        echo "this Weston has no seat to click with (weston_start DIR SCALE seat)" >&2
        return 1
    fi
    if ! weston_app_running; then
        echo "the program is no longer running; cannot click" >&2
        return 1
    fi
    DISPLAY=$WESTON_X_DISPLAY xdotool mousemove --sync "$1" "$2" sleep 0.2 click 1 sleep 0.2 &&
        _weston_park_pointer
}

# Weston draws the pointer into its output, where the X server first puts it
# in the middle: over the window it would be in every picture taken.
_weston_park_pointer() {
    DISPLAY=$WESTON_X_DISPLAY xdotool mousemove --sync 0 0
}

# Clicks at client coordinates (x, y) of the window.
weston_click() {
    _weston_click_at $((APP_WINDOW_X + $1 * WESTON_SCALE)) $((APP_WINDOW_Y + $2 * WESTON_SCALE))
}

weston_click_centre() {
    weston_click $(($1 + $3 / 2)) $(($2 + $4 / 2))
}

weston_click_iniciar() {
    weston_click_centre "${WESTON_INICIAR[@]}"
}

weston_click_parar() {
    weston_click_centre "${WESTON_PARAR[@]}"
}

# On Weston the program draws its own title bar (Qt's), with the close
# button 18 x 18 at 8 from the right edge, centred in the bar's 30 rows.
# Clicking it is a user's way to close the window; the program then closes
# it as it would on a window manager's request.
weston_close_window() {
    _weston_click_at $(((APP_VIEW[2] - 17) * WESTON_SCALE)) $(((APP_VIEW[1] + 15) * WESTON_SCALE))
}

# The minimize button is the third from the right: 18 wide, 5 apart.
weston_minimize_window() {
    _weston_click_at $(((APP_VIEW[2] - 63) * WESTON_SCALE)) $(((APP_VIEW[1] + 15) * WESTON_SCALE))
}

# The switcher shows minimized windows too, and the one chosen as the key
# goes up is shown again.
weston_restore_window() {
    if [[ -z $WESTON_X_DISPLAY ]]; then
        echo "this Weston has no seat to press keys with (weston_start DIR SCALE seat)" >&2
        return 1
    fi
    DISPLAY=$WESTON_X_DISPLAY xdotool keydown super key Tab sleep 0.2 keyup super
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
    if [[ -n $WESTON_XVFB_PID ]]; then
        kill "$WESTON_XVFB_PID" 2>/dev/null || true
        # Started in a subshell, so not this shell's child to wait for.
        for _ in $(seq 1 50); do
            kill -0 "$WESTON_XVFB_PID" 2>/dev/null || break
            sleep 0.1
        done
        WESTON_XVFB_PID=
        WESTON_X_DISPLAY=
    fi
}

if [[ ${BASH_SOURCE[0]} == "$0" ]]; then
    echo "source this file, then call weston_start DIR [SCALE [seat]]" >&2
    exit 2
fi
