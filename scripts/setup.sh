#!/usr/bin/env bash
# Installs the Debian packages that building and running the program need,
# only those that are missing. With --test it also installs what the tests,
# the benchmarks and the package check need on top. Runs apt-get as root, or
# through sudo.
#
#   scripts/setup.sh          # build and run
#   scripts/setup.sh --test   # build, run and test
set -euo pipefail

# Building, and what the program needs at run time besides the libraries it
# links: the X11 and Wayland platform plugins, the SVG plugin that draws its
# icon, and the fonts its window is laid out for (a narrow sans face, and
# DejaVu for everything else). The xcb headers are for the oscilloscope's
# pictures, which go to X over a connection of the program's own.
packages=(
    g++ cmake ninja-build pkg-config
    qt6-base-dev libgl-dev libpulse-dev libxcb1-dev libxcb-shm0-dev
    # On Wayland the pictures go to a surface of the program's own: Qt hands
    # out its display and window surfaces only through its private headers,
    # and the protocols' client code is generated with wayland-scanner.
    qt6-base-private-dev libwayland-dev libwayland-bin wayland-protocols
    qt6-qpa-plugins qt6-wayland
    # Qt's SVG image and icon plugins, which draw the icon: their own
    # package from Debian 13 on, in the SVG library's before.
    'qt6-svg-plugins|libqt6svg6'
    fonts-dejavu-core fonts-liberation
    # Sound without a server: ALSA.
    libasound2-dev
    # Real-time scheduling through RealtimeKit on the system bus.
    libdbus-1-dev
)
# Testing: the unit tests' libraries, the private sound servers, X server
# and Wayland compositor the tests run against (PulseAudio, and PipeWire with
# its session manager, its PulseAudio service and a session bus), the tools
# that drive and look at the window, and the tools that check the Debian
# package.
test_packages=(
    googletest libgtest-dev libgmock-dev libbenchmark-dev
    pulseaudio pulseaudio-utils
    pipewire pipewire-pulse wireplumber dbus-daemon
    xvfb xdotool x11-utils imagemagick python3
    # The private headless Weston the window runs on for the Wayland tests;
    # it ships weston-screenshooter and weston-debug too.
    weston
    # A window manager on the private Xvfb that can iconify a window, for
    # the tests of a minimized window.
    openbox
    # Building the Debian package (dpkg-buildpackage, dh) and checking it
    # (lintian, hardening-check from devscripts).
    build-essential debhelper devscripts lintian desktop-file-utils appstream
    # ALSA's PulseAudio plug-in: the tests give ALSA a device without
    # hardware through it.
    libasound2-plugins
    # RealtimeKit and the polkit it asks, on a private system bus.
    rtkit polkitd
)

case ${1:-} in
'') ;;
--test) packages+=("${test_packages[@]}") ;;
*)
    echo "usage: $0 [--test]" >&2
    exit 2
    ;;
esac

# A group "a|b" is the first of those packages this release has: names
# that differ between releases are chosen by what the archive offers.
choose() {
    local p
    for p in ${1//|/ }; do
        # A name only other packages mention is no package of this release.
        if [[ $(apt-cache show --no-all-versions "$p" 2>/dev/null) == Package:* ]]; then
            echo "$p"
            return
        fi
    done
    echo "${1%%|*}"
}
find_missing() {
    missing=()
    local group p status
    for group in "${packages[@]}"; do
        p=$group
        [[ $group == *'|'* ]] && p=$(choose "$group")
        status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
        [[ $status == "install ok installed" ]] || missing+=("$p")
    done
}
find_missing
[[ ${#missing[@]} -eq 0 ]] && exit 0

as_root=()
[[ $(id -u) -eq 0 ]] || as_root=(sudo)
"${as_root[@]}" apt-get update -qq
# The archive is known now, so the groups are chosen again.
find_missing
echo "Installing: ${missing[*]}"
DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq --no-install-recommends \
    -o DPkg::Lock::Timeout=600 "${missing[@]}"
