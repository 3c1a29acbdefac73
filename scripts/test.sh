#!/usr/bin/env bash
# Builds and runs the whole test suite: the optimised build, then the
# AddressSanitizer + UndefinedBehaviorSanitizer build, and under CI (or with
# MONITOR_AUDIO_TSAN=1) the ThreadSanitizer build too. Every audio test runs
# against a private PulseAudio server started here; the engine and
# end-to-end tests then run again against a private PipeWire (with
# WirePlumber and pipewire-pulse). MONITOR_AUDIO_PRESETS names other builds
# to run instead. Last, the Debian package is built,
# checked, installed, run and purged: that needs root, or sudo.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh --test

presets=(default asan)
if [[ -n ${CI:-} || -n ${MONITOR_AUDIO_TSAN:-} ]]; then
    presets+=(tsan)
fi
# MONITOR_AUDIO_PRESETS="default" runs those builds alone, as CI's run on
# the release it does not run on does.
if [[ -n ${MONITOR_AUDIO_PRESETS:-} ]]; then
    read -r -a presets <<<"$MONITOR_AUDIO_PRESETS"
fi
werror=OFF
[[ -n ${CI:-} ]] && werror=ON

work=$(mktemp -d /tmp/monitor-audio-test.XXXXXX)
# shellcheck source=test-sound-server.sh
source scripts/test-sound-server.sh
trap 'test_sound_server_stop; rm -rf "$work"' EXIT
test_sound_server_start "$work/sound"

export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:print_suppressions=0"
export TSAN_OPTIONS="suppressions=$PWD/tests/tsan.supp:second_deadlock_stack=1:halt_on_error=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

# The audio tests run against real servers on real time: a case that loses
# its timing to a busy machine gets one more try, a real fault fails both.
for preset in "${presets[@]}"; do
    echo "=== $preset ==="
    cmake --preset "$preset" -DMONITOR_AUDIO_WERROR=$werror >/dev/null
    cmake --build --preset "$preset"
    ctest --preset "$preset" --no-tests=error --repeat until-pass:2
    echo "=== $preset on PipeWire ==="
    (
        export TEST_SOUND_KIND=pipewire
        test_sound_server_start "$work/pipewire-$preset"
        trap test_sound_server_stop EXIT
        ctest --preset "$preset" --no-tests=error --repeat until-pass:2 -R '^(LiveEngine|e2e_)'
    )
done

# A desktop's PipeWire runs its graph at 48 kHz, and the program's 44.1 kHz
# streams are resampled there: the playback checks then ask for whole
# blocks, not the input bit for bit. The optimised build only, to keep the
# run short.
if [[ " ${presets[*]} " == *" default "* ]]; then
    echo "=== default on PipeWire at 48 kHz ==="
    (
        export TEST_SOUND_KIND=pipewire TEST_SOUND_RATE=48000
        test_sound_server_start "$work/pipewire-48k"
        trap test_sound_server_stop EXIT
        ctest --preset default --no-tests=error --repeat until-pass:2 -R '^(LiveEngine|e2e_playback)'
    )
fi

# The package is built by dpkg-buildpackage, installed into this system for
# the check, then purged again. The suite has just run: the build leaves its
# tests out (scripts/debian-checks.sh builds with them).
echo "=== package ==="
DEB_BUILD_OPTIONS="nocheck ${DEB_BUILD_OPTIONS:-}" bash tests/package/check.sh

