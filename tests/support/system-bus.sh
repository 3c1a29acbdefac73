#!/usr/bin/env bash
# A private system bus with RealtimeKit on it, for the tests of real-time
# scheduling through it: dbus-daemon, polkitd (which RealtimeKit asks) and
# rtkit-daemon, all the machine's own programs, on a socket in DIR. Any
# further arguments go to rtkit-daemon. Writes the bus address to DIR/address
# and every process started to DIR/pids, and returns once RealtimeKit
# answers.
#
#   tests/support/system-bus.sh DIR [rtkit-daemon options...]
set -euo pipefail
dir=$1
shift
# polkitd runs as a user of its own and must reach the socket.
mkdir -p "$dir"
chmod 755 "$dir"
cat >"$dir/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$dir/socket</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*"/>
    <allow receive_sender="*"/>
  </policy>
</busconfig>
CONF
: >"$dir/pids"
dbus-daemon --config-file="$dir/bus.conf" --nofork --nopidfile </dev/null >"$dir/bus.log" 2>&1 &
echo $! >>"$dir/pids"
export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$dir/socket"
echo "$DBUS_SYSTEM_BUS_ADDRESS" >"$dir/address"

owned() {
    dbus-send --system --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
        org.freedesktop.DBus.NameHasOwner "string:$1" 2>/dev/null | grep -q 'boolean true'
}
wait_for() {
    for _ in $(seq 1 100); do
        owned "$1" && return 0
        sleep 0.1
    done
    echo "$1 did not come up on the private system bus; logs:" >&2
    cat "$dir"/*.log >&2
    return 1
}

wait_for org.freedesktop.DBus
/usr/lib/polkit-1/polkitd --no-debug </dev/null >"$dir/polkit.log" 2>&1 &
echo $! >>"$dir/pids"
wait_for org.freedesktop.PolicyKit1
# Kept in this folder and this user: no chroot, no other user, no watchdog.
# Its own resource limits would stop it writing its log to a file.
/usr/libexec/rtkit-daemon --stderr --no-canary --no-drop-privileges --no-chroot \
    --no-limit-resources "$@" </dev/null >"$dir/rtkit.log" 2>&1 &
echo $! >>"$dir/pids"
wait_for org.freedesktop.RealtimeKit1
