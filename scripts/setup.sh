#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing need,
# only those that are missing. Runs apt-get as root, or through sudo.
set -euo pipefail

packages=(
    g++ cmake ninja-build pkg-config
    qt6-base-dev qt6-qpa-plugins libgl-dev fonts-dejavu-core
    libpulse-dev pulseaudio pulseaudio-utils
    # Sound without a server: ALSA (build); ALSA's PulseAudio plug-in, which
    # the tests use to give ALSA a device without hardware (tests).
    libasound2-dev
    libasound2-plugins
    googletest libgtest-dev libgmock-dev libbenchmark-dev
    xvfb xdotool x11-utils imagemagick python3
)

missing=()
for p in "${packages[@]}"; do
    status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
    [[ $status == "install ok installed" ]] || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

as_root=()
[[ $(id -u) -eq 0 ]] || as_root=(sudo)
echo "Installing: ${missing[*]}"
"${as_root[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
