#!/usr/bin/env bash
# The program left running with "Iniciar" on, as a monitor is for hours: on
# a private PipeWire whose graph runs at 48 kHz (or on PulseAudio), its input
# fed noise without a break, under Xvfb. Once a minute it samples the
# program's resident and private dirty memory, open file descriptors,
# threads and CPU, the latency of what it plays over 10 s and how many heard
# blocks came out cut (scripts/latency.py), whether the oscilloscope on the
# screen still moves, and how often in those 10 s the machine held a
# real-time thread off its CPU for more than 5 ms, and for how long at most
# (bench/stall_watch.cpp): a cut block beside such a stall is the machine's
# as much as anyone's. Its last line is a verdict against these goals,
# from minute 5 on: memory within 1 MB of minute 5's, descriptors and
# threads as at minute 5, the median latency drifting less than 1 ms, no
# block cut, the oscilloscope moving at every sample. It exits 0 only when
# they all held. Not part of the test suite.
#
#   scripts/soak.sh MINUTES [pipewire-48k|pulseaudio] [PROGRAM]
set -euo pipefail
cd "$(dirname "$0")/.."

if [[ $# -lt 1 || ! $1 =~ ^[1-9][0-9]*$ ]]; then
    echo "usage: $0 MINUTES [pipewire-48k|pulseaudio] [PROGRAM]" >&2
    exit 2
fi
minutes=$1
kind=${2:-pipewire-48k}
program=${3:-build/default/src/monitor-audio}
case $kind in
pipewire-48k) analysis=resampled ;;
pulseaudio) analysis=blocks ;;
*)
    echo "$0: no server kind $kind (pipewire-48k or pulseaudio)" >&2
    exit 2
    ;;
esac
if [[ ! -x $program ]]; then
    cmake --preset default >/dev/null
    cmake --build --preset default --target monitor-audio
fi

work=$(mktemp -d /tmp/monitor-audio-soak.XXXXXX)
set --
# shellcheck source=test-sound-server.sh
source scripts/test-sound-server.sh
# shellcheck source=xvfb-session.sh
source scripts/xvfb-session.sh
# shellcheck source=latency-bus.sh
source scripts/latency-bus.sh
trap 'xvfb_stop; bus_stop; rm -rf "$work"' EXIT

c++ -O2 -pthread bench/stall_watch.cpp -o "$work/stall_watch"
"$work/stall_watch" 5 >"$work/stalls" &
watch_pid=$!
trap 'kill $watch_pid; xvfb_stop; bus_stop; rm -rf "$work"' EXIT
noise_make 150
if [[ $kind == pulseaudio ]]; then
    bus_start default
else
    pipewire_bus_start follow 48000
fi
feed_start loop
xvfb_start "$work/x"
xvfb_app_start "$program"
xvfb_app_window 60
sleep 1
xvfb_click_iniciar
pid=$APP_PID
ticks=$(getconf CLK_TCK)

# field FILE NAME: the number after "NAME:" in a /proc file.
field() { awk -v name="$2:" '$1 == name { print $2; exit }' "$1"; }
cpu_ticks() { awk '{ sub(/^.*\) /, ""); print $12 + $13 }' "/proc/$pid/stat"; }
# The oscilloscope's area of the window, as the screen shows it.
scope() { import -window "$APP_WINDOW" -crop 281x273+40+48 +repage -depth 8 rgb:- 2>/dev/null | md5sum; }

printf '%6s %9s %9s %4s %7s %6s %8s %8s %5s %6s %6s %8s\n' minute rss_kB dirty_kB fds threads \
    cpu_% median_ms max_ms cut moves stalls stall_ms
rows=()
start=$(date +%s)
last_ticks=$(cpu_ticks)
for ((m = 1; m <= minutes; m++)); do
    sleep $((start + 60 * m - 10 - $(date +%s))) 2>/dev/null || true
    if ! xvfb_app_running; then
        echo "the program ended at minute $m" >&2
        xvfb_show_app_log
        echo "verdict: FAILED, the program ended"
        exit 1
    fi
    from=$(date +%s.%N)
    record default 10 "$work/latency.raw"
    read -r stalls worst < <(awk -v from="$from" -v to="$(date +%s.%N)" \
        '$1 >= from && $1 <= to { n++; if ($3 > w) w = $3 } END { printf "%d %.1f\n", n, w }' \
        "$work/stalls")
    now_ticks=$(cpu_ticks)
    cpu=$(awk -v t=$((now_ticks - last_ticks)) -v hz="$ticks" 'BEGIN { printf "%.1f", 100 * t / hz / 60 }')
    last_ticks=$now_ticks
    rss=$(field "/proc/$pid/smaps_rollup" Rss)
    dirty=$(field "/proc/$pid/smaps_rollup" Private_Dirty)
    fds=$(find "/proc/$pid/fd" -mindepth 1 | wc -l)
    threads=$(field "/proc/$pid/status" Threads)
    line=$(python3 scripts/latency.py "$analysis" "$work/latency.raw" || true)
    median=$(sed -n 's/^median *\([0-9.]*\) ms.*/\1/p' <<<"$line")
    max=$(sed -n 's/.* max *\([0-9.]*\) ms.*/\1/p' <<<"$line")
    read -r whole heard < <(sed -n 's/.*; \([0-9]*\) of \([0-9]*\) heard blocks.*/\1 \2/p' <<<"$line")
    cut=$((${heard:-0} - ${whole:-0}))
    [[ -n $median && ${heard:-0} -gt 0 ]] || { median=nan max=nan cut=all; }
    [[ $cut == 0 ]] || echo "minute $m: $line; $stalls stalls, at most $worst ms" >&2
    moves=no
    first=$(scope)
    sleep 0.2
    [[ $(scope) != "$first" ]] && moves=yes
    rows+=("$m $rss $dirty $fds $threads $cpu $median $max $cut $moves $stalls $worst")
    printf '%6s %9s %9s %4s %7s %6s %8s %8s %5s %6s %6s %8s\n' $m "$rss" "$dirty" "$fds" \
        "$threads" "$cpu" "$median" "$max" "$cut" "$moves" "$stalls" "$worst"
done
xvfb_close_window
xvfb_app_wait_exit 20 || true

printf '%s\n' "${rows[@]}" | python3 -c '
import statistics, sys
rows = [line.split() for line in sys.stdin]
ref = min(5, len(rows)) - 1
later = rows[ref:]
failed = []
for col, name in ((1, "RSS"), (2, "private dirty")):
    worst = max(abs(int(r[col]) - int(rows[ref][col])) for r in later)
    if worst > 1024:
        failed.append(f"{name} moved {worst} kB from minute {ref + 1}")
for col, name in ((3, "file descriptors"), (4, "threads")):
    seen = sorted({r[col] for r in later})
    if len(seen) > 1:
        failed.append(f"{name} took {len(seen)} values: {seen}")
medians = [float(r[6]) for r in later if r[6] != "nan"]
if len(medians) < len(later):
    failed.append(f"{len(later) - len(medians)} samples heard nothing")
span = max(1, min(10, len(medians) // 2))
drift = abs(statistics.median(medians[-span:]) - statistics.median(medians[:span])) if medians else 0
if drift >= 1:
    failed.append(f"the median latency drifted {drift:.1f} ms")
cut = sum(int(r[8]) for r in rows if r[8].isdigit())
if cut:
    beside = sum(int(r[8]) for r in rows if r[8].isdigit() and int(r[10]) > 0)
    failed.append(f"{cut} heard blocks cut ({beside} in a minute whose recording saw the machine stall)")
still = sum(1 for r in rows if r[9] != "yes")
if still:
    failed.append(f"the oscilloscope stood still at {still} samples")
verdict = "FAILED, " + "; ".join(failed) if failed else "held"
print(f"verdict: {verdict} ({len(rows)} minutes, latency median drift {drift:.1f} ms)")
sys.exit(1 if failed else 0)'
