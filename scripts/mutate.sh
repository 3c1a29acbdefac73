#!/usr/bin/env bash
# Does the suite catch what it should? Applies each hand-written fault in
# tests/mutants/ to a scratch clone, one at a time, rebuilds, runs the tests
# the fault names against a private test sound server of the kind it names,
# and tells which faults were caught (some named test failed) and which were
# missed. Exits non-zero unless every fault was caught.
#
#   scripts/mutate.sh [-r REF] [NAME...]
#   scripts/mutate.sh --generate [-r REF] [--sample N --seed S | --diff REV | --rerun FILE]
#
# --generate makes the faults by machine instead, on the lines the suite
# runs (scripts/mutate-generate.sh says how).
#
# REF is the commit to clone (HEAD by default: committed work only); NAMEs
# pick faults by file name without .patch (all by default). With
# MUTATE_FULL=1 each fault runs the whole default suite instead of the tests
# it names. MUTATE_KEEP=1 leaves the scratch clone in place.
#
# A fault is a file tests/mutants/NAME.patch: a diff from the repository top
# as `git diff` prints it, after comment lines of its own:
#   # what: one line saying what the fault does
#   # caught by: a ctest -R regular expression naming the tests that must fail
#   # server: pulseaudio (or pipewire, or pipewire-48k: its graph at 48 kHz)
set -euo pipefail
if [[ ${1:-} == --generate ]]; then
    shift
    exec "$(dirname "$0")/mutate-generate.sh" "$@"
fi
top=$(cd "$(dirname "$0")/.." && pwd)
ref=HEAD
if [[ ${1:-} == -r ]]; then
    ref=$2
    shift 2
fi
commit=$(git -C "$top" rev-parse --verify "$ref^{commit}")

scratch=$(mktemp -d /tmp/monitor-audio-mutate.XXXXXX)
cleanup() {
    if [[ -n ${MUTATE_KEEP:-} ]]; then
        echo "scratch clone kept in $scratch"
    else
        rm -rf "$scratch"
    fi
}
trap cleanup EXIT

git clone --quiet --no-checkout "$top" "$scratch/src"
git -C "$scratch/src" checkout --quiet --detach "$commit"

cd "$scratch/src"
names=("$@")
set --
# shellcheck source=test-sound-server.sh
source scripts/test-sound-server.sh

field() { sed -n "s/^# $2: *//p" "$1" | head -n 1; }

patches=()
if ((${#names[@]})); then
    for name in "${names[@]}"; do
        [[ -f tests/mutants/$name.patch ]] || {
            echo "no fault $name in tests/mutants at $ref" >&2
            exit 2
        }
        patches+=("tests/mutants/$name.patch")
    done
else
    patches=(tests/mutants/*.patch)
fi

# Runs the tests matching $2 (all with MUTATE_FULL) on a fresh private
# server of kind $1; the log goes to $3.
run_tests() {
    local kind=$1 regex=$2 log=$3 status=0
    local -a select=(-R "$regex")
    [[ -n ${MUTATE_FULL:-} ]] && select=()
    (
        export TEST_SOUND_KIND=${kind%-48k}
        [[ $kind == *-48k ]] && export TEST_SOUND_RATE=48000
        trap test_sound_server_stop EXIT
        test_sound_server_start "$scratch/sound-$kind" >>"$log" 2>&1 || exit 3
        # A case that loses its timing to a busy machine gets one more try,
        # as in scripts/test.sh; a real fault fails both.
        ctest --preset default --no-tests=error --repeat until-pass:2 "${select[@]}"
    ) >>"$log" 2>&1 || status=$?
    rm -rf "$scratch/sound-$kind"
    return "$status"
}

echo "clone of $commit in $scratch/src; building the default preset" >&2
if ! cmake --preset default -DMONITOR_AUDIO_WERROR=OFF >"$scratch/build.log" 2>&1 ||
    ! cmake --build --preset default >>"$scratch/build.log" 2>&1; then
    tail -n 30 "$scratch/build.log" >&2
    echo "the clean build failed" >&2
    exit 2
fi

# The tests a regular expression names, one a line.
named() { ctest --preset default -N -R "$1" | sed -n 's/^ *Test *#[0-9]*: //p'; }

# The named tests must pass without any fault, or a failure says nothing.
# CMake's expressions take only a few groups, so the tests are named one by
# one.
for kind in pulseaudio pipewire pipewire-48k; do
    tests=()
    for p in "${patches[@]}"; do
        [[ $(field "$p" server) == "$kind" ]] || continue
        mapfile -t -O "${#tests[@]}" tests < <(named "$(field "$p" 'caught by')")
    done
    ((${#tests[@]})) || continue
    joined=$(printf '%s\n' "${tests[@]}" | sort -u | sed 's/[].[*+?^$\\]/\\&/g; s/.*/^&$/' |
        paste -sd '|' -)
    echo "checking the named tests pass on the clean build ($kind)" >&2
    if ! run_tests "$kind" "$joined" "$scratch/clean-$kind.log"; then
        grep -E 'Failed|\*\*\*' "$scratch/clean-$kind.log" | tail -n 20 >&2 || true
        echo "the named tests fail on the clean build ($kind): see $scratch/clean-$kind.log" >&2
        MUTATE_KEEP=1
        exit 2
    fi
done

results=()
missed=0
for p in "${patches[@]}"; do
    name=$(basename "$p" .patch)
    kind=$(field "$p" server)
    regex=$(field "$p" 'caught by')
    log="$scratch/$name.log"
    echo "fault $name ($kind): $(field "$p" what)" >&2
    if [[ $kind != pulseaudio && $kind != pipewire && $kind != pipewire-48k ]] || [[ -z $regex ]]; then
        result="BAD HEADER"
    elif [[ -z $(named "$regex") ]]; then
        result="NAMES NO TEST"
    elif ! git apply "$p" >"$log" 2>&1; then
        result="DOES NOT APPLY"
    elif ! cmake --build --preset default >>"$log" 2>&1; then
        result="DOES NOT BUILD"
    elif run_tests "$kind" "$regex" "$log"; then
        result=MISSED
    else
        result=CAUGHT
        failed=$(sed -n 's/^[[:space:]]*[0-9]* - \(.*\) (.*)$/\1/p' "$log" | sort -u | paste -sd ' ' -)
        [[ -n $failed ]] && result="CAUGHT by $failed"
    fi
    [[ $result == CAUGHT* ]] || missed=$((missed + 1))
    results+=("$(printf '%-36s %-10s %s' "$name" "$kind" "$result")")
    git checkout --quiet -- . && git clean -fdq
done
# The tree is back to the clone; its build is left as it was by the last
# fault, which only matters with MUTATE_KEEP.

printf '\n%-36s %-10s %s\n' fault server result
printf '%s\n' "${results[@]}"
echo "${#patches[@]} faults, $((${#patches[@]} - missed)) caught, $missed not caught"
((missed == 0))
