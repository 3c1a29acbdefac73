#!/usr/bin/env python3
"""Looks at what the output played between two byte offsets of a recording.

    python3 tests/e2e/pcm_check.py MODE FILE START END

FILE is raw 16-bit little-endian stereo at 44,100 Hz.
  silent: every sample is zero.
  sine:   at least three blocks were played, left equals right, and what was
          played is the input's 441 Hz sine: for a sine of 100 frames a
          period, x[n]^2 + x[n+25]^2 is its squared amplitude at every n
          (apart from where one played block ends and the next begins).
          When the server's graph runs at another rate (TEST_SOUND_RATE),
          everything heard was resampled and its blocks' edges ring: there
          the amplitude is the one most frames show, and each stretch of
          sound must also be one whole block, 1024 frames give or take 16.
Exits 0 when it holds, 1 when it cannot hold, 2 when there is too little
sound yet to tell; says why on standard output.
"""
import array, math, os, sys

mode, path, start, end = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
start, end = start - start % 4, end - end % 4
with open(path, "rb") as f:
    f.seek(start)
    data = f.read(end - start)
samples = array.array("h")
samples.frombytes(data[: len(data) - len(data) % 4])
if sys.byteorder != "little":
    samples.byteswap()
left, right = samples[0::2], samples[1::2]
frames = len(left)
loud = [i for i in range(frames) if left[i] or right[i]]

if mode == "silent":
    if loud:
        peak = max(max(abs(left[i]), abs(right[i])) for i in loud)
        print(f"{len(loud)} of {frames} frames are not silent (peak {peak}, "
              f"first {loud[0] / 44100:.3f} s into the window)")
        sys.exit(1)
    sys.exit(0)

block = 1024
if len(loud) < 3 * block:
    print(f"{len(loud)} non-silent frames so far")
    sys.exit(2)
differ = sum(1 for i in loud if left[i] != right[i])
if differ:
    print(f"left and right differ in {differ} of {len(loud)} non-silent frames")
    sys.exit(1)
amplitude = max(abs(left[i]) for i in loud)
resampled = os.environ.get("TEST_SOUND_RATE", "44100") != "44100"
floor = 0
if resampled:
    # The edges overshoot the peak; below 1/16 of the amplitude lie their
    # ringing and, for at most two frames, the sine's own zero crossings.
    fits = sorted(math.hypot(left[n], left[n + 25]) for n in loud if n + 25 < frames)
    amplitude = round(fits[len(fits) // 2])
    floor = amplitude // 16
if amplitude < 1000:
    print(f"the sound is too quiet to be the input: peak {amplitude}")
    sys.exit(1)
# Split at runs of silence longer than a sine's own zero crossings.
segments, first, quiet = [], None, 0
for i in range(frames):
    if abs(left[i]) > floor:
        if first is None:
            first = i
        quiet, last = 0, i
    elif first is not None:
        quiet += 1
        if quiet >= 4:
            segments.append((first, last + 1))
            first = None
if first is not None:
    segments.append((first, last + 1))
if resampled:
    # The window's end may cut the last stretch short.
    for s, e in segments[:-1] if segments[-1][1] + 8 >= frames else segments:
        if abs(e - s - block) > 16:
            print(f"a stretch of {e - s} frames, {s / 44100:.3f} s into the window, "
                  f"where a block is {block}")
            sys.exit(1)
a2 = float(amplitude) ** 2
checked = matching = 0
for s, e in segments:
    for n in range(s, e - 25):
        checked += 1
        if abs(left[n] ** 2 + left[n + 25] ** 2 - a2) <= 0.05 * a2:
            matching += 1
if checked < 2 * block or matching < 0.9 * checked:
    print(f"the sound is not the input's 441 Hz sine: {matching} of {checked} "
          f"frames fit one (peak {amplitude}, {len(segments)} stretches of sound)")
    sys.exit(1)
print(f"{len(loud)} frames of the 441 Hz sine in {len(segments)} stretches, "
      f"peak {amplitude}, {matching} of {checked} frames fit it")
