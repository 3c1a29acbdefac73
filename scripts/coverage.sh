#!/usr/bin/env bash
# Which lines of src/ and platform/ the suite runs, and which tests run each.
# Builds the coverage preset (unoptimised, --coverage) in build/coverage and
# runs every test of the default suite alone against a private PulseAudio
# server, as scripts/test.sh runs them, its counters cleared before each;
# then the engine and end-to-end tests again on a private PipeWire, and the
# playback ones on PipeWire at 48 kHz. Alone, so that each line is known by
# the tests that run it: scripts/mutate.sh --generate runs a mutant against
# those tests only.
#
#   scripts/coverage.sh [--pulseaudio-only]
#
# Leaves build/coverage/lines.json (per line: hit count and the tests that
# run it, named KIND:TEST; each test's time) and build/coverage/coverage.info
# (an lcov tracefile: `genhtml` from lcov makes pages of it). Prints the
# figure per file, the blocks of five lines or more that no test runs, and
# last `coverage: NN.N % of lines in src/ and platform/`.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$PWD
scripts/setup.sh --test >/dev/null
kinds=(pulseaudio pipewire pipewire-48k)
[[ ${1:-} == --pulseaudio-only ]] && kinds=(pulseaudio)

cmake --preset coverage >/dev/null
cmake --build --preset coverage
build=$top/build/coverage

work=$(mktemp -d /tmp/monitor-audio-coverage.XXXXXX)
trap 'rm -rf "$work"' EXIT
# Sourced without arguments: with one it would start a server of its own.
set --
# shellcheck source=test-sound-server.sh
source scripts/test-sound-server.sh

parts=()
for kind in "${kinds[@]}"; do
    # The same tests on each server as scripts/test.sh runs there.
    case $kind in
    pulseaudio) select=() ;;
    pipewire) select=(-R '^(LiveEngine|e2e_)') ;;
    pipewire-48k) select=(-R '^(LiveEngine|e2e_playback)') ;;
    esac
    echo "=== each test alone on $kind ===" >&2
    (
        export TEST_SOUND_KIND=${kind%-48k}
        [[ $kind == *-48k ]] && export TEST_SOUND_RATE=48000
        trap test_sound_server_stop EXIT
        test_sound_server_start "$work/sound-$kind"
        python3 scripts/coverage.py run "$build" "$top" "$kind" "$work/$kind.json" "${select[@]}"
    )
    parts+=("$work/$kind.json")
done
python3 scripts/coverage.py report "$build" "$top" "$build/lines.json" "${parts[@]}"
