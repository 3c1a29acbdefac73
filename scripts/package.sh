#!/usr/bin/env bash
# Builds the Debian package of the program, optimised and without the tests,
# into build/release/monitor-audio_<version>_<arch>.deb, and prints its path.
#
#   scripts/package.sh && sudo apt-get install ./build/release/monitor-audio_*.deb
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DBUILD_TESTING=OFF -DMONITOR_AUDIO_BENCH=OFF >/dev/null
cmake --build build/release
(cd build/release && cpack -G DEB >/dev/null)
ls "$PWD"/build/release/monitor-audio_*.deb
