#!/usr/bin/env bash
# Builds monitor-audio and starts it on the desktop's own sound server. Only
# the program is built, so only what building and running need is installed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake -S . -B build/run -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DBUILD_TESTING=OFF -DMONITOR_AUDIO_BENCH=OFF >/dev/null
cmake --build build/run --target monitor-audio
exec build/run/src/monitor-audio
