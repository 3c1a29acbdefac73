#!/usr/bin/env bash
# scripts/mutate.sh --generate: mutants made by machine on the lines the
# suite runs, each run against the tests that run its line.
#
#   scripts/mutate.sh --generate [-r REF] [--sample N --seed S | --diff REV | --rerun FILE]
#
# Needs build/coverage/lines.json from scripts/coverage.sh, made on the same
# commit (it warns otherwise: lines may have moved). Clones REF (HEAD) under
# /tmp, builds the default preset once, then for each mutant (at most one a
# line, picked by scripts/mutants.py): changes that line, builds only the
# targets its tests need (a mutant that does not build is dropped and counted
# as not built), and runs the tests that ran the line in the coverage run,
# on the kinds of private server they ran on there, one ctest a kind,
# stopping at the first that fails twice (a test that runs past its ctest
# timeout, or ends by a signal, fails once). A mutant in tests/mutants/equivalent.txt is not run
# and counts as equivalent. At the end each test that killed a mutant runs
# once more on the clean build: one that fails there too kills nothing.
#
# --sample N --seed S: N covered lines drawn with seed S from the whole of
# src/ and platform/. --diff REV: every covered line that REV..REF changed.
# --rerun FILE: the mutants of a survivors list (`file:line: before ->
# after` lines, as printed here), found again by their text.
#
# Prints one line a mutant, the survivors as `file:line: before -> after`
# (also left in build/mutants/survivors.txt), the time taken, and last
# `score: K of M killed (P %), E equivalent, B not built`.
# MUTATE_TIMEOUT is the seconds of tests a mutant may take, after which
# it counts as a survivor (300: a line the whole suite runs takes about
# 170); MUTATE_SCRATCH=DIR keeps the clone and its build
# there between runs.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
ref=HEAD
pick=()
rerun=
while (($#)); do
    case $1 in
    -r) ref=$2 ;;
    --sample | --seed | --diff) pick+=("$1" "$2") ;;
    --rerun) rerun=$(realpath "$2") ;;
    *)
        echo "usage: scripts/mutate.sh --generate [-r REF] [--sample N --seed S | --diff REV | --rerun FILE]" >&2
        exit 2
        ;;
    esac
    shift 2
done
commit=$(git -C "$top" rev-parse --verify "$ref^{commit}")
cover=${MUTATE_COVERAGE:-$top/build/coverage/lines.json}
[[ -f $cover ]] || {
    echo "no $cover: run scripts/coverage.sh first" >&2
    exit 2
}
budget=${MUTATE_TIMEOUT:-300}
started=$SECONDS

if [[ -n ${MUTATE_SCRATCH:-} ]]; then
    scratch=$MUTATE_SCRATCH
    mkdir -p "$scratch"
else
    scratch=$(mktemp -d /tmp/monitor-audio-mutants.XXXXXX)
fi
cleanup() {
    if declare -F test_sound_server_stop >/dev/null; then
        test_sound_server_stop
    fi
    if [[ -n ${MUTATE_SCRATCH:-} ]]; then
        echo "scratch clone kept in $scratch" >&2
    else
        rm -rf "$scratch"
    fi
}
trap cleanup EXIT
[[ -d $scratch/src/.git ]] || git clone --quiet --no-checkout "$top" "$scratch/src"
git -C "$scratch/src" fetch --quiet "$top" "$commit"
git -C "$scratch/src" checkout --quiet --force --detach "$commit"
git -C "$scratch/src" clean -fdq
cd "$scratch/src"
# shellcheck source=test-sound-server.sh
source scripts/test-sound-server.sh

made=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["commit"])' "$cover")
git diff --quiet "$made" "$commit" -- src platform tests 2>/dev/null ||
    echo "warning: $cover was made on ${made:0:12}, whose program or tests differ: lines may have moved" >&2

list=$scratch/mutants.tsv
if [[ -n $rerun ]]; then
    python3 "$top/scripts/mutants.py" pick "$cover" . --rerun "$rerun" >"$list"
else
    python3 "$top/scripts/mutants.py" pick "$cover" . "${pick[@]}" >"$list"
fi

echo "clone of $commit in $scratch/src; building the default preset" >&2
if ! cmake --preset default -DMONITOR_AUDIO_WERROR=OFF >"$scratch/build.log" 2>&1 ||
    ! nice cmake --build --preset default -j2 >>"$scratch/build.log" 2>&1; then
    tail -n 30 "$scratch/build.log" >&2
    echo "the clean build failed" >&2
    exit 2
fi
build=$scratch/src/build/default
# What each test runs: the targets to build before it.
declare -A targets
while IFS=$'\t' read -r name needs; do
    targets[$name]=$needs
done < <(python3 "$top/scripts/mutants.py" targets "$build")

test_sound_server_start "$scratch/sound-pulseaudio" >/dev/null 2>&1

# Runs test $2 on a server of kind $1 (the PulseAudio one of the whole run,
# or a PipeWire of its own); fails if the test fails twice, or once by
# running past its timeout. The log goes to $3.
run_test() {
    local kind=$1 name=$2 log=$3
    (
        on_server "$kind" || exit 0
        for _ in 1 2; do
            if ctest --test-dir "$build" --no-tests=error -R "$(names_regex "$name")" >"$log.try" 2>&1; then
                cat "$log.try" >>"$log"
                exit 0
            fi
            cat "$log.try" >>"$log"
            grep -q '\*\*\*Timeout' "$log.try" && exit 1
        done
        exit 1
    ) >>"$log" 2>&1
}

# Readies a server of kind $1 for the tests that follow, in a subshell: the
# PulseAudio one of the whole run, started again if it is gone, or a
# PipeWire of its own, stopped when the subshell ends.
on_server() {
    if [[ $1 == pulseaudio ]]; then
        pactl info >/dev/null 2>&1 || {
            test_sound_server_stop
            test_sound_server_start "$scratch/sound-pulseaudio"
        }
    else
        export TEST_SOUND_KIND=${1%-48k}
        [[ $1 == *-48k ]] && export TEST_SOUND_RATE=48000
        trap test_sound_server_stop EXIT
        test_sound_server_start "$scratch/sound-$1"
    fi
}

names_regex() {
    printf '^(%s)$' "$(printf '%s\n' "$@" | sed 's/[].[*+?^$\\()|]/\\&/g' | paste -sd'|')"
}

# Runs tests $3... of kind $2 in one ctest, one after another, stopping at
# the first that fails: a test process each, but no ctest and no server
# started anew for each. A failure counts once the test fails again alone,
# or if it ran past its timeout; one that passes alone is left out and the
# rest go on. Prints the test that failed for good; returns 1 then, 2 when
# the budget ran out first ($1: the SECONDS by which the tests must end).
run_group() {
    local end=$1 kind=$2 log=$3
    shift 3
    local -a left=("$@")
    while ((${#left[@]})); do
        ((end - SECONDS > 0)) || return 2
        local out=$log.group status=0
        (
            on_server "$kind" || exit 0
            timeout $((end - SECONDS)) ctest --test-dir "$build" --no-tests=error --stop-on-failure \
                -R "$(names_regex "${left[@]}")"
        ) >"$out" 2>&1 || status=$?
        cat "$out" >>"$log"
        ((status == 0)) && return 0
        ((status == 124)) && return 2
        local failed
        # The first that did not pass: failed, timed out, or ended by a
        # signal (SIGXCPU for a real-time thread that spun).
        failed=$(sed -nE '/ Passed /!s/^ *[0-9]+\/[0-9]+ Test +#[0-9]+: ([^ ]+) .*/\1/p' "$out" | head -n 1)
        [[ -n $failed ]] || return 2
        if grep -qE " $failed .*Timeout" "$out" || ! run_test "$kind" "$failed" "$log"; then
            echo "$kind:$failed"
            return 1
        fi
        mapfile -t left < <(printf '%s\n' "${left[@]}" |
            grep -vxF -f <(sed -nE 's/^ *[0-9]+\/[0-9]+ Test +#[0-9]+: ([^ ]+) \.+ +Passed.*/\1/p' "$out"; echo "$failed"))
    done
    return 0
}

mkdir -p "$top/build/mutants"
total=$(wc -l <"$list")
i=0 killed=0 equivalent=0 unbuilt=0
survivors=()
declare -A killer_of=()
while IFS=$'\t' read -r file line before after tests; do
    i=$((i + 1))
    shown="$file:$line: $before -> $after"
    if python3 "$top/scripts/mutants.py" equivalent "$scratch/src/tests/mutants/equivalent.txt" \
        "$file" "$line" "$before" "$after"; then
        equivalent=$((equivalent + 1))
        echo "[$i/$total] $shown  EQUIVALENT" >&2
        continue
    fi
    log=$scratch/mutant-$i.log
    t0=$SECONDS
    python3 "$top/scripts/mutants.py" apply "$file" "$line" "$before" "$after"
    need=()
    for t in $tests; do
        # shellcheck disable=SC2206
        need+=(${targets[${t#*:}]:-})
    done
    mapfile -t need < <(printf '%s\n' "${need[@]}" | sort -u)
    verdict=
    if ! nice cmake --build "$build" -j2 --target "${need[@]}" >"$log" 2>&1; then
        unbuilt=$((unbuilt + 1))
        verdict="NOT BUILT"
    else
        # The tests of one kind at a time, in the order given.
        end=$((SECONDS + budget))
        read -ra all <<<"$tests"
        k=0
        while ((k < ${#all[@]})) && [[ -z $verdict ]]; do
            kind=${all[k]%%:*}
            group=()
            while ((k < ${#all[@]})) && [[ ${all[k]%%:*} == "$kind" ]]; do
                group+=("${all[k]#*:}")
                k=$((k + 1))
            done
            status=0
            killer=$(run_group "$end" "$kind" "$log" "${group[@]}") || status=$?
            if ((status == 1)); then
                verdict="KILLED by $killer"
                killer_of[$i]=$killer
            elif ((status == 2)); then
                verdict="SURVIVED (out of time)"
            fi
        done
        ran=${#all[@]}
        [[ -n $verdict ]] || verdict="SURVIVED ($ran tests)"
        if [[ $verdict == KILLED* ]]; then
            killed=$((killed + 1))
        else
            survivors+=("$i	$shown")
        fi
    fi
    git checkout --quiet -- "$file"
    echo "[$i/$total] $shown  $verdict ($((SECONDS - t0)) s)" >&2
done <"$list"

# A kill only counts if the test passes without the mutant: a test that
# fails on the clean build too killed nothing.
if ((${#killer_of[@]})); then
    mapfile -t killers < <(printf '%s\n' "${killer_of[@]}" | sort -u)
    need=()
    for t in "${killers[@]}"; do
        # shellcheck disable=SC2206
        need+=(${targets[${t#*:}]:-})
    done
    mapfile -t need < <(printf '%s\n' "${need[@]}" | sort -u)
    nice cmake --build "$build" -j2 --target "${need[@]}" >"$scratch/clean.log" 2>&1
    for t in "${killers[@]}"; do
        run_test "${t%%:*}" "${t#*:}" "$scratch/clean.log" && continue
        echo "$t fails on the clean build too: its kills do not count" >&2
        for j in "${!killer_of[@]}"; do
            [[ ${killer_of[$j]} == "$t" ]] || continue
            killed=$((killed - 1))
            survivors+=("$j	$(sed -n "${j}p" "$list" | cut -f1-4 |
                awk -F'\t' '{print $1 ":" $2 ": " $3 " -> " $4}')  (killed only by $t, which fails clean)")
        done
    done
fi

scored=$((total - equivalent - unbuilt))
echo
echo "survivors:"
printf '%s\n' "${survivors[@]}" | sort -n | cut -f2- | tee "$top/build/mutants/survivors.txt"
elapsed=$((SECONDS - started))
echo "time: $((elapsed / 60)) min $((elapsed % 60)) s for $total mutants"
awk -v k=$killed -v m=$scored -v e=$equivalent -v b=$unbuilt 'BEGIN {
    printf "score: %d of %d killed (%.1f %%), %d equivalent, %d not built\n", k, m,
        m ? 100 * k / m : 100, e, b }'
