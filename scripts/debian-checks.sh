#!/usr/bin/env bash
# The Debian package checked the way the archive checks an upload, in a
# freshly made root of a release (scripts/fresh-debian.sh): the source and
# binary packages built by dpkg-buildpackage with the build-time tests,
# `lintian --pedantic --info` on both (no error, no warning), and the
# package's autopkgtest on the installed package (the null runner: the root
# itself is the test bed). Not in CI; by hand, as root:
#
#   scripts/debian-checks.sh SUITE [--piuparts] [--twice]
#
# --piuparts: piuparts installs, removes and purges the package in a root of
# its own and fails on anything left behind. --twice: a second build of the
# same commit, in another folder, later, with another time zone and umask;
# the two .deb files must be the same bytes (diffoscope shows why not).
# FRESH_DEBIAN_ROOT keeps the root, as for scripts/fresh-debian.sh.
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ ${1:-} != --inside ]]; then
    [[ $# -ge 1 && $1 != -* ]] || {
        echo "usage: $0 SUITE [--piuparts] [--twice]" >&2
        exit 2
    }
    suite=$1
    shift
    exec bash scripts/fresh-debian.sh "$suite" "bash scripts/debian-checks.sh --inside $suite $*"
fi

# Inside the fresh root, in a clone of the committed tree.
suite=$2
shift 2
piuparts=''
twice=''
for option; do
    case $option in
    --piuparts) piuparts=1 ;;
    --twice) twice=1 ;;
    *)
        echo "debian-checks: unknown option $option" >&2
        exit 2
        ;;
    esac
done
tools=(autopkgtest lintian)
[[ -n $piuparts ]] && tools+=(piuparts debootstrap)
[[ -n $twice ]] && tools+=(diffoscope-minimal)
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${tools[@]}" >/dev/null
arch=$(dpkg --print-architecture)
status=0
# timed WHAT COMMAND...: its verdict and time on fd 3, this run's own output,
# whatever the command's output is sent to.
exec 3>&1
timed() {
    local what=$1 start=$SECONDS
    shift
    if "$@"; then
        echo "debian-checks: $suite: $what: pass after $((SECONDS - start)) s" >&3
    else
        echo "debian-checks: $suite: $what: FAIL after $((SECONDS - start)) s" >&3
        status=1
        return 1
    fi
}

timed "dpkg-buildpackage with the build-time tests" bash scripts/package.sh || exit 1
out=$PWD/build/package
deb=$(ls "$out"/monitor-audio_*_"$arch".deb)
grep -E '^ *[0-9]+% tests passed|^Total Test time' "$out/build.log" || true
sha256sum "$deb"

echo "=== lintian --pedantic --info"
# Debian 12's lintian knows only older Standards-Versions than Debian 13's,
# and its dpkg sets no Priority itself.
suppress=()
dpkg --compare-versions "$(lintian --print-version)" ge 2.117 ||
    suppress=(--suppress-tags "newer-standards-version,recommended-field")
timed lintian lintian --pedantic --info --fail-on error,warning "${suppress[@]}" --tag-display-limit 0 \
    "$out"/monitor-audio_*_"$arch".changes >"$out/lintian.log" 2>&1 || true
grep -v 'running with root privileges' "$out/lintian.log" || echo "(no tags)"

echo "=== autopkgtest"
timed autopkgtest autopkgtest --output-dir "$out/autopkgtest" "$deb" "$out/monitor-audio-"*/ \
    -- null >"$out/autopkgtest.log" 2>&1 || tail -n 60 "$out/autopkgtest.log"
cat "$out/autopkgtest/summary"

if [[ -n $piuparts ]]; then
    echo "=== piuparts"
    mirror=$(awk '$1 == "deb" { print ($2 ~ /^\[/ ? $3 : $2); exit }' /etc/apt/sources.list)
    timed piuparts piuparts --distribution "$suite" --mirror "$mirror" "$deb" \
        >"$out/piuparts.log" 2>&1 || tail -n 40 "$out/piuparts.log"
    grep -E 'INFO: (PASS|FAIL)|ERROR:' "$out/piuparts.log" || true
fi

if [[ -n $twice ]]; then
    echo "=== a second build, elsewhere and later"
    second=/var/tmp/monitor-audio-second/tree
    rm -rf "${second%/tree}"
    git clone -q "$PWD" "$second"
    sleep 60
    timed "the second build" bash -c "cd '$second' && umask 0002 && TZ=Pacific/Kiritimati \
        LC_ALL=C.UTF-8 bash scripts/package.sh" || exit 1
    again=$(ls "$second"/build/package/monitor-audio_*_"$arch".deb)
    sha256sum "$again"
    if cmp -s "$deb" "$again"; then
        echo "debian-checks: $suite: reproducible: the two builds are the same bytes"
    else
        echo "debian-checks: $suite: reproducible: FAIL, the two builds differ"
        diffoscope "$deb" "$again" | head -n 80 || true
        status=1
    fi
fi
exit $status
