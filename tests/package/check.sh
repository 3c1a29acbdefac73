#!/usr/bin/env bash
# The Debian package as a user meets it: built from a build tree with cpack,
# free of lintian errors, its desktop entry and AppStream metadata valid, then
# installed into this system with apt-get, the installed program put through
# the end-to-end check under Xvfb (window, live oscilloscope, "Iniciar" plays,
# close, status 0) and shown to the desktop under its own name and icon, and
# finally purged, leaving none of its files behind.
#
#   bash tests/package/check.sh BUILD_DIR
#
# It changes the system: it needs root, or sudo. Whatever happens, the
# package is purged again before it ends. Uses the sound server in
# PULSE_SERVER; without one it starts a private one.
set -euo pipefail

if [[ $# -ne 1 || ! -f $1/CPackConfig.cmake ]]; then
    echo "usage: $0 BUILD_DIR   (a configured and built tree)" >&2
    exit 2
fi
build=$(cd "$1" && pwd)
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
own_server=
# Sourced without arguments: with one it would start a server of its own.
set --
# shellcheck source=../../scripts/test-sound-server.sh
source "$root/scripts/test-sound-server.sh"
# shellcheck source=../../scripts/xvfb-session.sh
source "$root/scripts/xvfb-session.sh"
cleanup() {
    xvfb_stop
    if [[ -n $installed ]] && is_installed; then
        apt_get purge "$package" >"$work/purge.log" 2>&1 ||
            { echo "could not purge $package:" >&2; cat "$work/purge.log" >&2; }
    fi
    [[ -n $own_server ]] && test_sound_server_stop
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

# --- The package file
version=$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")
arch=$(dpkg --print-architecture)
cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work/out" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log" >&2; fail "cpack could not build the package"; }
deb=$work/out/${package}_${version}_${arch}.deb
[[ -f $deb ]] || fail "no $(basename "$deb"); cpack made: $(ls "$work/out")"
step "built $(basename "$deb")"

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

lintian --fail-on error --tag-display-limit 0 "$deb" >"$work/lintian.log" 2>&1 ||
    { cat "$work/lintian.log" >&2; fail "lintian found errors"; }
grep -E '^[WE]: ' "$work/lintian.log" || true
step "lintian: no errors"

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
[[ $release == "$version" ]] || fail "the newest release in the metadata is $release, the package $version"
grep -q '<project_license>MIT</project_license>' "$metainfo" || fail "the metadata names no MIT licence"
grep -q '^License: Expat' "$work/tree/usr/share/doc/$package/copyright" ||
    fail "the copyright file names no MIT (Expat) licence"
wm_class=$(sed -n 's/^StartupWMClass=//p' "$desktop")
step "desktop entry, metadata, icon and manual page are valid and agree"

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

if [[ -z ${PULSE_SERVER:-} ]]; then
    test_sound_server_start "$work/sound" || fail "the test sound server did not start"
    own_server=1
fi
bash "$root/tests/e2e/playback.sh" "$program" || fail "the installed program fails the end-to-end check"
bash "$root/tests/e2e/no_display.sh" "$program" || fail "the installed program without a display"

# The desktop finds the window's entry through WM_CLASS and shows its icon.
xvfb_start "$work/x" || fail "no X server"
xvfb_app_start "$program"
xvfb_app_window 60 || { xvfb_show_app_log; fail "the installed program's window did not open"; }
classes=$(xprop -id "$APP_WINDOW" WM_CLASS)
[[ $classes == *"\"$wm_class\""* ]] || fail "StartupWMClass=$wm_class is not in the window's $classes"
icon=$(xprop -id "$APP_WINDOW" _NET_WM_ICON)
[[ $icon == "_NET_WM_ICON(CARDINAL) = "*Icon* ]] || fail "the window has no icon: $icon"
xvfb_close_window || fail "could not close the window"
xvfb_app_wait_exit 20 || fail "the installed program did not end"
((APP_STATUS == 0)) || fail "the installed program ended with status $APP_STATUS"
xvfb_stop
step "the window has the desktop entry's WM_CLASS ($wm_class) and an icon"

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
