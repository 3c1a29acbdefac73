#!/usr/bin/env bash
# Builds the Debian source and binary packages of the program with
# dpkg-buildpackage from debian/, into build/package/, and prints the path of
# the binary package. What is built is the tree as git has it, with the
# changes to tracked files not yet committed: the upstream tarball
# (monitor-audio_<version>.orig.tar.xz) is that tree less debian/, and the
# build runs in a copy of it unpacked there, never in the working tree.
#
#   scripts/package.sh && sudo apt-get install ./build/package/monitor-audio_*.deb
#
# It installs the build dependencies debian/control names when some are
# missing (as root, or through sudo). DEB_BUILD_OPTIONS passes on: with
# nocheck the build-time tests are neither built nor run.
set -euo pipefail
cd "$(dirname "$0")/.."

as_root=()
[[ $(id -u) -eq 0 ]] || as_root=(sudo)
profiles=()
[[ " ${DEB_BUILD_OPTIONS:-} " == *" nocheck "* ]] && profiles=(-P nocheck)
apt_get() {
    DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get -y -qq --no-install-recommends \
        -o DPkg::Lock::Timeout=600 "$@"
}
# dpkg-buildpackage and git come first: the rest is read from debian/control.
# fakeroot for the binary targets, which Debian 12's dpkg runs as root.
if ! command -v dpkg-checkbuilddeps >/dev/null || ! command -v git >/dev/null ||
    ! command -v fakeroot >/dev/null; then
    apt_get update
    apt_get install dpkg-dev git xz-utils fakeroot
fi
if ! dpkg-checkbuilddeps "${profiles[@]}" >/dev/null 2>&1; then
    apt_get update
    echo "package: installing the build dependencies debian/control names"
    apt_get build-dep "${profiles[@]}" "$PWD" >/dev/null
fi

version=$(dpkg-parsechangelog -S Version)
upstream=${version%-*}
out=$PWD/build/package
rm -rf "$out"
mkdir -p "$out"
# A commit of the working tree as it is (HEAD when nothing changed): dated
# by the commit, so the tarball of one commit is the same every time.
tree=$(git stash create)
tree=${tree:-HEAD}
git archive --format=tar --prefix="monitor-audio-$upstream/" "$tree" -- . ':(exclude)debian' |
    xz -6 >"$out/monitor-audio_$upstream.orig.tar.xz"
git archive --format=tar --prefix="monitor-audio-$upstream/" "$tree" | tar -x -C "$out"

echo "package: dpkg-buildpackage in $out/monitor-audio-$upstream (log: $out/build.log)" >&2
# dpkg-buildpackage takes its profiles attached to the option, not after it.
build_profiles=()
((${#profiles[@]})) && build_profiles=(--build-profiles=nocheck)
(cd "$out/monitor-audio-$upstream" && dpkg-buildpackage -us -uc "${build_profiles[@]}") \
    >"$out/build.log" 2>&1 || {
    tail -n 60 "$out/build.log" >&2
    echo "package: dpkg-buildpackage failed; the whole log is $out/build.log" >&2
    exit 1
}
ls "$out/monitor-audio_${version}_$(dpkg --print-architecture).deb"
