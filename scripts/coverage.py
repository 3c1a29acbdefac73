#!/usr/bin/env python3
"""The per-test half of scripts/coverage.sh.

  coverage.py run BUILD TOP KIND OUT [CTEST ARGS...]
      Runs each test ctest lists (with those arguments) alone on the server
      already started, counters cleared before each, and writes to OUT, for
      every line of src/ and platform/ it runs, its hit count, and the time
      each test took. A test is named KIND:NAME.
  coverage.py report BUILD TOP OUT PART...
      Merges the parts into OUT (lines.json), writes an lcov tracefile beside
      it, and prints the figure per file, the blocks of five lines or more no
      test runs, and last the total.
"""
import glob
import json
import os
import re
import subprocess
import sys
import time


def gcov(build, top, paths):
    """{file: {line: count}} for the files of src/ and platform/, from the
    gcov of the given .gcda or .gcno files."""
    lines = {}
    if not paths:
        return lines
    out = subprocess.run(["gcov", "--json-format", "--stdout", *paths], cwd=build,
                         capture_output=True, text=True).stdout
    for doc in out.splitlines():
        doc = doc.strip()
        if not doc.startswith("{"):
            continue
        for f in json.loads(doc).get("files", []):
            path = os.path.normpath(os.path.join(build, f["file"]))
            rel = os.path.relpath(path, top)
            if not re.match(r"(src|platform)/", rel):
                continue
            mine = lines.setdefault(rel, {})
            for entry in f["lines"]:
                n = entry["line_number"]
                mine[n] = mine.get(n, 0) + entry["count"]
    return lines


def run(args):
    build, top, kind, out, ctest_args = *map(os.path.abspath, args[0:2]), args[2], args[3], args[4:]
    listing = subprocess.run(["ctest", "--test-dir", build, "-N", *ctest_args],
                             capture_output=True, text=True, check=True).stdout
    names = re.findall(r"^\s*Test\s+#\d+: (\S+)", listing, re.M)
    result = {"lines": {}, "durations": {}, "failed": []}
    for name in names:
        for f in glob.glob(f"{build}/**/*.gcda", recursive=True):
            os.unlink(f)
        start = time.monotonic()
        status = subprocess.run(["ctest", "--test-dir", build, "--repeat", "until-pass:2",
                                 "-R", "^" + re.escape(name) + "$"],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode
        test = f"{kind}:{name}"
        result["durations"][test] = round(time.monotonic() - start, 2)
        if status != 0:
            result["failed"].append(test)
            print(f"{test} FAILED", file=sys.stderr)
        for path, counts in gcov(build, top, glob.glob(f"{build}/**/*.gcda", recursive=True)).items():
            for n, c in counts.items():
                if c > 0:
                    result["lines"].setdefault(path, {}).setdefault(str(n), [0, []])
                    entry = result["lines"][path][str(n)]
                    entry[0] += c
                    entry[1].append(test)
    json.dump(result, open(out, "w"))
    print(f"{kind}: {len(names)} tests, {len(result['failed'])} failed, "
          f"{sum(result['durations'].values()):.0f} s", file=sys.stderr)


def blocks(executable, covered):
    """Runs of uncovered executable lines with nothing covered between them,
    five source lines long or more."""
    found, run_ = [], []
    for n in sorted(executable):
        if n in covered:
            if run_ and run_[-1] - run_[0] + 1 >= 5:
                found.append((run_[0], run_[-1]))
            run_ = []
        else:
            run_.append(n)
    if run_ and run_[-1] - run_[0] + 1 >= 5:
        found.append((run_[0], run_[-1]))
    return found


def report(args):
    build, top, out, parts = *map(os.path.abspath, args[0:2]), args[2], args[3:]
    executable = gcov(build, top, glob.glob(f"{build}/**/*.gcno", recursive=True))
    files, counts, durations, failed = {}, {}, {}, []
    for part in parts:
        data = json.load(open(part))
        durations.update(data["durations"])
        failed += data["failed"]
        for path, lines in data["lines"].items():
            for n, (c, tests) in lines.items():
                files.setdefault(path, {}).setdefault(n, []).extend(tests)
                counts.setdefault(path, {})[n] = counts.get(path, {}).get(n, 0) + c
    commit = subprocess.run(["git", "-C", top, "rev-parse", "HEAD"], capture_output=True,
                            text=True).stdout.strip()
    json.dump({"commit": commit, "files": files, "counts": counts, "durations": durations,
               "failed": failed}, open(out, "w"))
    total = hit = 0
    with open(os.path.join(os.path.dirname(out), "coverage.info"), "w") as info:
        for path in sorted(executable):
            lines = executable[path]
            covered = {int(n) for n in files.get(path, {})}
            info.write(f"SF:{os.path.join(top, path)}\n")
            for n in sorted(lines):
                info.write(f"DA:{n},{counts.get(path, {}).get(str(n), 0)}\n")
            info.write(f"LF:{len(lines)}\nLH:{len(covered & set(lines))}\nend_of_record\n")
            total += len(lines)
            hit += len(covered & set(lines))
            print(f"{100.0 * len(covered & set(lines)) / max(len(lines), 1):5.1f} % "
                  f"{len(covered & set(lines)):4d}/{len(lines):<4d} {path}")
    print("blocks of five lines or more that no test runs:")
    for path in sorted(executable):
        covered = {int(n) for n in files.get(path, {})}
        for first, last in blocks(executable[path], covered):
            print(f"  {path}:{first}-{last}")
    if failed:
        print("tests that failed twice (their lines still count): " + " ".join(failed))
    print(f"coverage: {100.0 * hit / max(total, 1):.1f} % of lines in src/ and platform/")


if __name__ == "__main__":
    {"run": run, "report": report}[sys.argv[1]](sys.argv[2:])
