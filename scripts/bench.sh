#!/usr/bin/env bash
# Builds the optimised preset and runs every benchmark binary in
# build/default/bench against a private sound server started here (a 441 Hz
# sine as the input, a null sink as the output). Extra arguments go to each
# benchmark, e.g. --benchmark_format=json.
#
#   scripts/bench.sh
#   MONITOR_AUDIO_BENCH_SECONDS=10 scripts/bench.sh   # shorter capture runs
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh

work=$(mktemp -d /tmp/monitor-audio-bench.XXXXXX)
# shellcheck source=test-sound-server.sh
source scripts/test-sound-server.sh
trap 'test_sound_server_stop; rm -rf "$work"' EXIT
test_sound_server_start "$work/sound"

cmake --preset default >/dev/null
cmake --build --preset default

status=0
for bench in build/default/bench/*_bench; do
    [[ -x $bench ]] || continue
    echo "=== $(basename "$bench") ==="
    "$bench" "$@" || status=1
done
exit $status
