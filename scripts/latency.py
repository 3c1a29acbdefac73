#!/usr/bin/env python3
"""Input-to-output latency from one 4-channel recording on one sample clock.

    latency.py MODE RECORDING.raw...

The recording is 16-bit little-endian, 4 channels, 44,100 frames a second:
channels 1-2 hold what the input received (noise with no zero frame, so
every stretch of it is unique), channels 3-4 what the output played. Each
stretch of output sound is looked up in the input bit for bit; its latency is
how much later it was played than received.

MODE blocks:  the output plays whole blocks with silence between; each block
              is timed from its first frame, and counted as exact when all of
              it is one stretch of the input (a block cut by the end of the
              recording, or heard in its first 200 ms, when its input may
              not be in it, is left out).
MODE stream:  the output plays continuously and may be resampled (the
              loopback module resamples even at equal rates, so it is never
              bit for bit): a stretch every 1024 frames is timed by the
              offset, up to 250 ms back, where the input's left channel is
              closest to it.
MODE resampled: the server's graph runs at another rate than the program,
              so nothing heard is the input bit for bit. A heard block is a
              run of sound (louder than 1/16 of the output's typical level,
              no 8 quieter frames in a row inside it), whole when it is
              BLOCK frames long give or take 16 (the tolerance the tests
              use), cut otherwise; it is timed by the lag, up to 250 ms
              back, at which its middle matches the input's left channel
              best (a normalised correlation of at least 0.5, or it counts
              as not found). A block whose middle went silent for at most a
              graph period, the rest at the same lag, lost that period on
              its way to the recording: whole, across a hole.
Prints the median, 90th and 99th percentiles and maximum in milliseconds
and how many stretches were timed, and how many could not be found in the
input, over all the recordings given (runs of one kind, pooled); in blocks
mode also the length of each heard block that was not exact (shorter than
the most common length, or not one stretch of the input). A heard block
whose recorded input has a hole (a period the server lost on its way to the
recording, silent there while the program heard it) is exact when it
matches the input everywhere else.
"""
import array
import math
import operator
import statistics
import sys

RATE = 44100
KEY_FRAMES = 256
# What is heard this soon after the recording began may have been received
# before it: neither timed nor counted.
LEAD_FRAMES = RATE // 5


def found(heard_in, stretch, before):
    """Whether `stretch` is in the input at a frame boundary, `before` or
    earlier."""
    at = heard_in.find(stretch)
    while at >= 0 and at % 4:
        at = heard_in.find(stretch, at + 1)
    return at >= 0 and at // 4 <= before


def across_hole(heard_in, stretch, before):
    """Whether `stretch` is the input where the recording of the input has
    frames, with the recording silent in between: a period the server lost
    on its way to the recording (the noise has no silent frame), not one
    the program lost."""
    at = heard_in.find(stretch[: 4 * 64])
    while at >= 0 and at % 4:
        at = heard_in.find(stretch[: 4 * 64], at + 1)
    if at < 0 or at // 4 > before:
        return False
    got = heard_in[at : at + len(stretch)]
    if len(got) < len(stretch):
        return False
    return all(
        got[i : i + 4] == stretch[i : i + 4] or got[i : i + 4] == b"\0\0\0\0"
        for i in range(0, len(stretch), 4)
    )


BLOCK = 1024


def correlation(key, signal, at):
    """The normalised correlation of `key` with `signal` from frame `at`."""
    window = signal[at : at + len(key)]
    product = sum(map(operator.mul, key, window))
    energy = sum(map(operator.mul, window, window)) * sum(map(operator.mul, key, key))
    return product / math.sqrt(energy) if energy else 0.0


def measure_resampled(path):
    """As measure(), where nothing heard can match the input bit for bit."""
    samples = array.array("h")
    with open(path, "rb") as f:
        samples.frombytes(f.read())
    samples = samples[: len(samples) - len(samples) % 4]
    if sys.byteorder != "little":
        samples.byteswap()
    left_in, left_out, right_out = samples[0::4], samples[2::4], samples[3::4]
    level = list(map(max, map(abs, left_out), map(abs, right_out)))
    loud = sorted(x for x in level[::16] if x)
    if not loud:
        return [], 0, []
    floor = loud[len(loud) // 2] // 16
    runs, first, quiet = [], None, 0
    for f, x in enumerate(level):
        if x > floor:
            if first is None:
                first = f
            quiet, last = 0, f
        elif first is not None:
            quiet += 1
            if quiet >= 8:
                runs.append((first, last + 1))
                first = None
    back = RATE // 4
    timed = []  # (first frame, end, lag or None) of each run
    lag = None
    for s, e in runs:
        # A run the recording cuts, or whose input may precede it.
        if s < max(LEAD_FRAMES, back + KEY_FRAMES) or e + 8 >= len(level):
            continue
        at = s + max(0, e - s - KEY_FRAMES) // 2
        key = left_out[at : at + KEY_FRAMES]
        # The lag moves little from one block to the next: near the last
        # one first, the whole 250 ms only when it is not there.
        best = (0.0, 0)
        if lag is not None:
            best = max((correlation(key, left_in, at - l), l)
                       for l in range(max(0, lag - 256), min(back, lag + 256)))
        if best[0] < 0.5:
            best = max((correlation(key, left_in, at - l), l) for l in range(back))
        if best[0] >= 0.5:
            lag = best[1]
        timed.append((s, e, lag if best[0] >= 0.5 else None))
    latencies, missing, heard = [], 0, []
    i = 0
    while i < len(timed):
        s, e, lag = timed[i]
        # A run, a gap of at most a graph period, and the rest of the block
        # at the same lag: the period went missing on its way to the
        # recording, in place, not in the program, which would have cut or
        # delayed what followed.
        if (lag is not None and abs(e - s - BLOCK) > 16 and i + 1 < len(timed)
                and timed[i + 1][2] is not None and abs(timed[i + 1][2] - lag) <= 4
                and timed[i + 1][0] - e <= BLOCK // 2
                and abs(timed[i + 1][1] - s - BLOCK) <= 16):
            latencies.append(lag * 1000.0 / RATE)
            heard.append((timed[i + 1][1] - s, True, True))
            i += 2
            continue
        if lag is None:
            missing += 1
            heard.append((e - s, False, False))
        else:
            latencies.append(lag * 1000.0 / RATE)
            heard.append((e - s, abs(e - s - BLOCK) <= 16, False))
        i += 1
    return latencies, missing, heard


def measure(mode, path):
    """The latencies of one recording, in milliseconds; how many stretches
    were not found; the heard blocks."""
    with open(path, "rb") as f:
        data = f.read()
    frames = len(data) // 8
    data = data[: frames * 8]
    # Split the two stereo pairs apart, 4 bytes a frame each.
    pairs = [data[i : i + 8] for i in range(0, len(data), 8)]
    heard_in = b"".join(p[:4] for p in pairs)
    heard_out = b"".join(p[4:] for p in pairs)
    silent = b"\0\0\0\0"

    starts = []
    heard = []  # (frames, found whole, found across a hole) of each heard block
    if mode == "blocks":
        f = 0
        while f < frames:
            if heard_out[4 * f : 4 * f + 4] != silent and (
                f == 0 or heard_out[4 * f - 4 : 4 * f] == silent
            ):
                starts.append(f)
                end = f + 1
                while end < frames and heard_out[4 * end : 4 * end + 4] != silent:
                    end += 1
                if f >= LEAD_FRAMES and end < frames:
                    stretch = heard_out[4 * f : 4 * end]
                    ok = found(heard_in, stretch, f)
                    heard.append((end - f, ok, not ok and across_hole(heard_in, stretch, f)))
                f = end
            f += 1
    else:
        first = next((f for f in range(frames) if heard_out[4 * f : 4 * f + 4] != silent), frames)
        starts = list(range(first + 4096, frames - KEY_FRAMES, 1024))

    latencies = []
    missing = 0
    if mode == "stream":
        left_in = [int.from_bytes(heard_in[i : i + 2], "little", signed=True)
                   for i in range(0, len(heard_in), 4)]
        left_out = [int.from_bytes(heard_out[i : i + 2], "little", signed=True)
                    for i in range(0, len(heard_out), 4)]
        back = RATE // 4
        for s in starts[::4]:
            if s < back:
                continue
            window = left_out[s : s + 64]
            energy = sum(abs(x) for x in window)
            error, offset = min(
                (sum(abs(x - y) for x, y in zip(left_in[s - o : s - o + 64], window)), o)
                for o in range(back)
            )
            if error > 0.5 * energy:
                missing += 1
                continue
            latencies.append(offset * 1000.0 / RATE)
        starts = []
    for s in starts:
        if s < LEAD_FRAMES and mode == "blocks":
            continue
        if s + KEY_FRAMES > frames:
            break
        key = heard_out[4 * s : 4 * (s + KEY_FRAMES)]
        if silent in [key[i : i + 4] for i in range(0, len(key), 4)]:
            continue  # a stretch cut short, or the output resting
        at = heard_in.find(key)
        while at >= 0 and at % 4:
            at = heard_in.find(key, at + 1)
        if at < 0 or at // 4 > s:
            missing += 1
            continue
        latencies.append((s - at // 4) * 1000.0 / RATE)
    return latencies, missing, heard


def main():
    mode = sys.argv[1]
    latencies = []
    missing = 0
    heard = []
    for path in sys.argv[2:]:
        l, m, h = measure_resampled(path) if mode == "resampled" else measure(mode, path)
        latencies += l
        missing += m
        heard += h
    # The program plays blocks of one length: one heard shorter lost frames,
    # even if what is left of it is a stretch of the input.
    block = statistics.mode(n for n, _, _ in heard) if heard else 0
    if mode == "resampled":
        block = 0
    whole = len(heard)
    exact = sum(1 for n, ok, hole in heard if (ok or hole) and n >= block)
    holes = sum(1 for n, ok, hole in heard if hole and n >= block)
    cut = [n for n, ok, hole in heard if not (ok or hole) or n < block]
    if not latencies:
        print(f"no stretch of the output was found in the input ({missing} tried)")
        return 1
    latencies.sort()

    def percentile(p):
        return latencies[min(len(latencies) - 1, int(p * len(latencies)))]

    print(
        f"median {statistics.median(latencies):6.1f} ms, p90 {percentile(0.9):6.1f} ms, "
        f"p99 {percentile(0.99):6.1f} ms, max {latencies[-1]:6.1f} ms "
        f"over {len(latencies)} stretches"
        + (f" ({missing} not found in the input)" if missing else "")
        + (f"; {exact} of {whole} heard blocks {'whole' if mode == 'resampled' else 'exact'}"
           f" ({100.0 * exact / whole:.1f} %)"
           if whole else "")
        + (f", {holes} of them across a hole in the recording" if holes else "")
        + (f", the others {', '.join(str(n) for n in cut)} frames long" if cut else "")
    )
    return 0


if __name__ == "__main__":
    sys.exit(main())
