#!/usr/bin/env bash
# The Debian package as a user meets it: the source and binary packages
# built with dpkg-buildpackage (scripts/package.sh), lintian clean of errors
# and warnings on both, the dependencies the library scan cannot see in
# place, its desktop entry and AppStream metadata valid and carrying the
# package's version, then installed into this system with apt-get, the
# installed program put through tests/package/installed.sh (end to end under
# Xvfb, the error without a display, its own name and icon on the desktop),
# and finally purged, leaving none of its files behind.
#
#   bash tests/package/check.sh
#
# It changes the system: it needs root, or sudo. Whatever happens, the
# package is purged again before it ends. DEB_BUILD_OPTIONS passes on to the
# build (nocheck leaves the build-time tests out).
set -euo pipefail

if [[ $# -ne 0 ]]; then
    echo "usage: $0" >&2
    exit 2
fi
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
app_id=io.github.monitor_audio.MonitorAudio
package=monitor-audio

as_root=()
[[ $(id -u) -eq 0 ]] || as_root=(sudo)
apt_get() {
    DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get -y -q -o DPkg::Lock::Timeout=600 "$@"
}
is_installed() {
    [[ $(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true) == *" installed" ]]
}

work=$(mktemp -d /tmp/monitor-audio-package.XXXXXX)
installed=
cleanup() {
    if [[ -n $installed ]] && is_installed; then
        apt_get purge "$package" >"$work/purge.log" 2>&1 ||
            { echo "could not purge $package:" >&2; cat "$work/purge.log" >&2; }
    fi
    rm -rf "$work"
}
trap cleanup EXIT
# An interrupted check still purges.
trap 'exit 130' INT TERM HUP

fail() {
    echo "FAIL: $*" >&2
    exit 1
}
step() {
    echo "ok: $*"
}

# --- The package files
start=$SECONDS
deb=$(bash "$root/scripts/package.sh" | tail -n 1) || fail "scripts/package.sh could not build the package"
changes=$(ls "$(dirname "$deb")"/${package}_*.changes)
version=$(dpkg-deb -f "$deb" Version)
upstream=${version%-*}
step "built $(basename "$deb") in $((SECONDS - start)) s"

field() {
    dpkg-deb -f "$deb" "$1"
}
depends=$(field Depends)
# The SVG plugins that draw the icon are loaded, not linked: whichever
# package holds them on this release must come with the program.
mapfile -t svg < <(dpkg-query -S '*/imageformats/libqsvg.so' '*/iconengines/libqsvgicon.so' |
    cut -d : -f 1 | sort -u)
for needed in libqt6widgets6 libpulse0 fonts-liberation "${svg[@]}"; do
    [[ $depends == *"$needed"* ]] || fail "Depends lacks $needed: $depends"
done
[[ $depends =~ qt6-base(-private)?-abi\ \(=\ [^\)]+\) ]] || fail "Depends names no exact Qt: $depends"
recommends=$(field Recommends)
[[ $recommends == *qt6-wayland* && $recommends == *"pulseaudio | pipewire-pulse"* ]] ||
    fail "Recommends lacks the Wayland plugin or a sound server: $recommends"
step "Depends: $depends; Recommends: $recommends"

# The source package too; what must stay is overridden, with a reason, in
# debian/*lintian-overrides. Debian 12's lintian knows only older
# Standards-Versions than Debian 13's, and its dpkg sets no Priority itself.
suppress=()
dpkg --compare-versions "$(lintian --print-version)" ge 2.117 ||
    suppress=(--suppress-tags "newer-standards-version,recommended-field")
lintian --fail-on error,warning "${suppress[@]}" --tag-display-limit 0 \
    "$changes" >"$work/lintian.log" 2>&1 ||
    { cat "$work/lintian.log" >&2; fail "lintian found errors or warnings"; }
step "lintian: no errors, no warnings"

dpkg-deb -x "$deb" "$work/tree"
desktop=$work/tree/usr/share/applications/$app_id.desktop
metainfo=$work/tree/usr/share/metainfo/$app_id.metainfo.xml
[[ -f $desktop ]] || fail "no desktop entry $app_id.desktop"
[[ -f $metainfo ]] || fail "no AppStream metadata $app_id.metainfo.xml"
[[ -f $work/tree/usr/share/icons/hicolor/scalable/apps/$app_id.svg ]] || fail "no icon $app_id.svg"
[[ -f $work/tree/usr/share/man/man1/monitor-audio.1.gz ]] || fail "no manual page"
desktop-file-validate "$desktop" || fail "desktop-file-validate"
appstreamcli validate --no-net "$metainfo" || fail "appstreamcli validate"
grep -q "^Icon=$app_id$" "$desktop" || fail "the desktop entry names another icon"
grep -q "<launchable type=\"desktop-id\">$app_id.desktop</launchable>" "$metainfo" ||
    fail "the metadata launches another desktop entry"
release=$(grep -o -m 1 '<release version="[^"]*"' "$metainfo" | cut -d '"' -f 2)
[[ $release == "$upstream" ]] || fail "the newest release in the metadata is $release, the package $version"
grep -q '<project_license>MIT</project_license>' "$metainfo" || fail "the metadata names no MIT licence"
grep -q '^License: Expat' "$work/tree/usr/share/doc/$package/copyright" ||
    fail "the copyright file names no MIT (Expat) licence"
step "desktop entry, metadata, icon and manual page are valid and agree"
# Control flow and branch protection are left out: the first shows in a
# binary only when every object linked carries it, and Debian's C library
# start files (crt1.o, crti.o) do not, on 12 and 13 alike (/usr/bin/ls
# lacks it too); the second is arm64's, and Debian 12's hardening-check
# does not know it.
unprotected=(--nocfprotection)
[[ $(hardening-check --help 2>&1) == *nobranchprotection* ]] && unprotected+=(--nobranchprotection)
hardening-check "${unprotected[@]}" "$work/tree/usr/bin/monitor-audio" >"$work/hardening.log" ||
    { cat "$work/hardening.log" >&2; fail "hardening-check"; }
step "hardening-check: $(grep -c ': yes' "$work/hardening.log") protections, none missing"

# --- Installed into this system
if is_installed; then
    echo "note: $package was installed already; purging it first"
    apt_get purge "$package" >"$work/purge.log" 2>&1 || { cat "$work/purge.log" >&2; fail "purge"; }
fi
installed=1
apt_get install "$deb" >"$work/install.log" 2>&1 ||
    { cat "$work/install.log" >&2; fail "apt-get install $deb"; }
mapfile -t files < <(dpkg -L "$package")
program=/usr/bin/monitor-audio
[[ -x $program ]] || fail "$program was not installed"
step "apt-get install ./$(basename "$deb"): ${#files[@]} paths"

bash "$root/tests/package/installed.sh" "$program" || fail "the installed program"
step "the installed program passes tests/package/installed.sh"

# --- Purged
apt_get purge "$package" >"$work/purge.log" 2>&1 || { cat "$work/purge.log" >&2; fail "purge"; }
installed=
! is_installed || fail "$package is still installed after purge"
left=()
for path in "${files[@]}"; do
    # Shared directories such as /usr/share stay; anything of its own must go.
    if [[ -e $path && ! -d $path ]] || [[ $path == */$package && -d $path ]]; then
        left+=("$path")
    fi
done
((${#left[@]} == 0)) || fail "apt-get purge left: ${left[*]}"
step "apt-get purge $package leaves none of its files"
