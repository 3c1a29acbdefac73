#!/usr/bin/env bash
# Builds monitor-audio and starts it on the desktop's own sound server.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
cmake --preset default >/dev/null
cmake --build --preset default --target monitor-audio
exec build/default/src/monitor-audio
