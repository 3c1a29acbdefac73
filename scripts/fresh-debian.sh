#!/usr/bin/env bash
# Runs a command in a freshly made Debian root, as a new user's machine of
# that release would run it: a minimal root file system made by mmdebstrap
# from the same mirror this machine uses, a clone of the committed
# repository in it, and the command run there as root with a clean
# environment. CI proves the release it does not run on this way.
#
#   scripts/fresh-debian.sh SUITE [COMMAND]
#
# SUITE is a Debian release (trixie, bookworm); COMMAND defaults to the
# README's test command, "bash scripts/test.sh". CI and MONITOR_AUDIO_*
# variables are passed on. It needs root. FRESH_DEBIAN_ROOT=DIR keeps the
# root in DIR and starts from it again next time, with a new clone, instead
# of making a new one: quicker for trying a change, but no longer fresh.
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ $# -lt 1 || $# -gt 2 ]]; then
    echo "usage: $0 SUITE [COMMAND]" >&2
    exit 2
fi
suite=$1
command=${2:-bash scripts/test.sh}
if [[ $(id -u) -ne 0 ]]; then
    echo "$0: making a Debian root needs root" >&2
    exit 2
fi

# The mirror this machine installs from, in either sources format.
mirror=
if [[ -f /etc/apt/sources.list.d/debian.sources ]]; then
    mirror=$(awk '/^URIs:/ { print $2; exit }' /etc/apt/sources.list.d/debian.sources)
fi
if [[ -z $mirror && -f /etc/apt/sources.list ]]; then
    mirror=$(awk '$1 == "deb" && $0 !~ /security/ { print ($2 ~ /^\[/ ? $3 : $2); exit }' \
        /etc/apt/sources.list)
fi
mirror=${mirror:-http://deb.debian.org/debian}

# One clear line, not a page of mmdebstrap's, when the mirror is not there.
release=$(mktemp)
if ! /usr/lib/apt/apt-helper -o Acquire::http::Timeout=30 -o Acquire::Retries=0 \
    download-file "$mirror/dists/$suite/InRelease" "$release" >/dev/null 2>&1; then
    rm -f "$release"
    echo "fresh-debian: the Debian mirror $mirror cannot be reached: no $suite release file came from it" >&2
    exit 1
fi
rm -f "$release"
command -v mmdebstrap >/dev/null || DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
    --no-install-recommends -o DPkg::Lock::Timeout=600 mmdebstrap >/dev/null

root=${FRESH_DEBIAN_ROOT:-$(mktemp -d /tmp/monitor-audio-$suite.XXXXXX)}
unmount() {
    local m
    for m in dev/shm dev proc sys; do
        mountpoint -q "$root/$m" && umount -R -l "$root/$m"
    done
    return 0
}
cleanup() {
    unmount
    # Never through a mount point into this machine's own /dev or /proc.
    [[ -n ${FRESH_DEBIAN_ROOT:-} ]] || rm -rf --one-file-system "$root"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP

if [[ ! -x $root/bin/bash ]]; then
    echo "fresh-debian: making a Debian $suite root from $mirror"
    start=$SECONDS
    # Straight into the folder: mmdebstrap wants it empty.
    rmdir "$root" 2>/dev/null || true
    # A mirror frozen at a date serves release files that have expired since
    # (unstable's are good for a week): they are still that archive's.
    mmdebstrap --variant=minbase --include=sudo,ca-certificates,git \
        --aptopt='Acquire::Check-Valid-Until "false"' \
        "$suite" "$root" "$mirror" >"$root.mmdebstrap.log" 2>&1 || {
        tail -n 20 "$root.mmdebstrap.log" >&2
        echo "fresh-debian: mmdebstrap could not make a $suite root from $mirror" >&2
        exit 1
    }
    rm -f "$root.mmdebstrap.log"
    echo "fresh-debian: root made in $((SECONDS - start)) s"
fi
rm -rf "$root/root/project"
git clone -q "$PWD" "$root/root/project"
cp /etc/resolv.conf "$root/etc/resolv.conf"
mount -t proc proc "$root/proc"
mount --rbind /dev "$root/dev"
mount --make-rslave "$root/dev"
mount -t sysfs sys "$root/sys"
mount -t tmpfs tmpfs "$root/dev/shm"

env=(HOME=/root PATH=/usr/sbin:/usr/bin:/sbin:/bin LANG=C.UTF-8)
while IFS='=' read -r name _; do
    [[ $name == CI || $name == MONITOR_AUDIO_* ]] && env+=("$name=${!name}")
done < <(env)
echo "fresh-debian: Debian $(cat "$root/etc/debian_version"): $command"
start=$SECONDS
status=0
chroot "$root" /usr/bin/env -i "${env[@]}" bash -c "cd /root/project && $command" || status=$?
echo "fresh-debian: $suite: '$command' exit $status after $((SECONDS - start)) s"
exit $status
