#!/usr/bin/env python3
"""Mutants made by machine, for scripts/mutate.sh --generate.

  mutants.py pick LINES.json TOP [--sample N --seed S | --diff REV] > LIST
  mutants.py apply FILE LINE BEFORE AFTER    (rewrites that one line)
  mutants.py equivalent EQUIV FILE LINE BEFORE AFTER  (exit 0 if listed)

LINES.json is what scripts/coverage.sh leaves: for each file of src/ and
platform/, the lines it runs and the tests that run each. pick makes at most
one mutant a covered line, skipping lines where a change cannot matter
(comments, logging, asserts, declarations without a value, braces), and
prints one mutant a line, tab-separated: file, line, the line before, the
line after, the tests that run it (kind:name, fastest first, by the time
each took in the coverage run).
"""
import json
import os
import random
import re
import subprocess
import sys

ARID = re.compile(
    r"""^\s*(
        $ | // | /\* | \* | \#                     # blank, comments, preprocessor
      | [{}]+;?\s*$ | \}\s*else\s*\{?\s*$          # braces
      | (case\s[^:]+|default)\s*:\s*$              # labels
      | (public|private|protected)\s*:             # access
      | namespace\b | using\b | template\b | typedef\b | friend\b
      | (static_)?assert\s*\( | std::fprintf\s*\(\s*stderr | LogContext
      | return\s*; | virtual\b.*=\s*0\s*;
    )""",
    re.X,
)
# A declaration without a value: "Type name;" "Type* a, *b;" "std::atomic<int> n;"
PLAIN_DECL = re.compile(r"^\s*(static\s+|const\s+|constexpr\s+|mutable\s+)*[\w:<>,\s*&]+[\s*&]\w+(\[\w*\])?\s*;\s*$")


def mask(line):
    """The line with string and character literals blanked and any // comment
    cut, same length up to the comment, so positions stay the same."""
    out = []
    i = 0
    n = len(line)
    while i < n:
        c = line[i]
        digit_mark = c == "'" and 0 < i < n - 1 and line[i - 1].isalnum() and line[i + 1].isalnum()
        if c in "\"'" and not digit_mark:
            j = i + 1
            while j < n and line[j] != c:
                j += 2 if line[j] == "\\" else 1
            out.append(c + "_" * (min(j, n) - i - 1) + (c if j < n else ""))
            i = j + 1
            continue
        if line.startswith("//", i):
            break
        if line.startswith("/*", i):
            j = line.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append(" " * (j - i))
            i = j
            continue
        out.append(c)
        i += 1
    return "".join(out)


def matching_paren(text, open_at):
    depth = 0
    for k in range(open_at, len(text)):
        if text[k] == "(":
            depth += 1
        elif text[k] == ")":
            depth -= 1
            if depth == 0:
                return k
    return -1


SWAP = {"<": "<=", "<=": "<", ">": ">=", ">=": ">", "==": "!=", "!=": "==", "&&": "||", "||": "&&",
        "+": "-", "-": "+", "+=": "-=", "-=": "+="}
PLAIN_RETURN = re.compile(r"^(\s*return\s+)(.+?)(;\s*)$")
CALL_STMT = re.compile(r"^(\s*)((?:[A-Za-z_][\w:]*(?:(?:\.|->)[A-Za-z_]\w*)*)\s*(?:<[\w:,\s*]*>)?\()(.*)\);\s*$")


def mutations(line):
    """Every mutant this line can give, as (description-free) new lines."""
    code = mask(line)
    if ARID.match(code) or PLAIN_DECL.match(code):
        return []
    out = []

    def edit(start, end, text):
        out.append(line[:start] + text + line[end:])

    for m in re.finditer(r"(?<=[\w)\]]) (<=|>=|==|!=|<|>|&&|\|\||\+=|-=|\+|-) (?=[\w(!*&\-\['\"])", code):
        op = m.group(1)
        edit(m.start(1), m.end(1), SWAP[op])
    for m in re.finditer(r"\b(if|while)\s*\(", code):
        open_at = m.end() - 1
        close = matching_paren(code, open_at)
        cond = line[open_at + 1:close]
        declares = re.search(r"[^=!<>]=[^=]|;", code[open_at + 1:close])
        if close > 0 and not declares:
            if cond.startswith("!(") and matching_paren(cond, 1) == len(cond) - 1:
                edit(open_at + 1, close, cond[2:-1])
            elif re.fullmatch(r"!\s*[\w.:>\-]+(\([^()]*\))?", cond):
                edit(open_at + 1, close, cond[1:].lstrip())
            else:
                edit(open_at + 1, close, "!(" + cond + ")")
    for m in re.finditer(r"(?<![\w.'])(\d[\d']*)([uUlL]*)(?![\w.'])", code):
        value = int(m.group(1).replace("'", ""))
        edit(m.start(1), m.end(1), str(0 if value == 1 else value + 1))
    for m in re.finditer(r"\b(true|false)\b", code):
        edit(m.start(), m.end(), "false" if m.group(1) == "true" else "true")
    for m in re.finditer(r"\b(break|continue)\s*;", code):
        edit(m.start(), m.end(), ";")
    r = PLAIN_RETURN.match(code)
    if r and r.group(2).strip() not in ("{}", "0", "false", "true", "nullptr", "1"):
        edit(r.start(2), r.end(2), "{}")
    c = CALL_STMT.match(code)
    if c and not re.match(r"\s*(return|delete|new|throw)\b", code) and " = " not in code:
        close = matching_paren(code, c.end(2) - 1)
        if close == len(code.rstrip()) - 2:
            out.append(c.group(1) + ";" + ("\n" if line.endswith("\n") else ""))
    return [o for o in dict.fromkeys(out) if o != line]


def changed_lines(top, rev):
    """The lines of src/ and platform/ that commits since REV changed, as
    they are now."""
    diff = subprocess.run(["git", "-C", top, "diff", "-U0", rev, "--", "src", "platform"],
                          check=True, capture_output=True, text=True).stdout
    lines = set()
    path = None
    for row in diff.splitlines():
        if row.startswith("+++ "):
            path = row[6:] if row.startswith("+++ b/") else None
        m = re.match(r"@@ -\S+ \+(\d+)(?:,(\d+))? @@", row)
        if m and path:
            first, count = int(m.group(1)), int(m.group(2) or 1)
            lines.update((path, n) for n in range(first, first + count))
    return lines


def fastest_first(tests, durations):
    """The tests in the order most likely to kill soonest: the fastest first,
    and a test's runs on other servers, backends, fonts or displays only
    after every test has run once."""
    ordered = sorted(tests, key=lambda t: (durations.get(t, 1e9), t))
    seen, first, again = set(), [], []
    for t in ordered:
        base = re.sub(r"^(alsa|fonts_\w+|wayland\w*|x_\w+)\.", "", t.split(":", 1)[1])
        (again if base in seen else first).append(t)
        seen.add(base)
    return first + again


def pick(args):
    cover_path, top = args[0], args[1]
    sample, seed, rev, rerun = None, 1, None, None
    rest = args[2:]
    while rest:
        if rest[0] == "--sample":
            sample = int(rest[1])
        elif rest[0] == "--seed":
            seed = int(rest[1])
        elif rest[0] == "--diff":
            rev = rest[1]
        elif rest[0] == "--rerun":
            rerun = rest[1]
        else:
            sys.exit("unknown option " + rest[0])
        rest = rest[2:]
    cover = json.load(open(cover_path))
    durations = cover.get("durations", {})
    candidates = []
    for path in sorted(cover["files"]):
        try:
            text = open(f"{top}/{path}").read().split("\n")
        except FileNotFoundError:
            continue
        for number, tests in sorted(cover["files"][path].items(), key=lambda kv: int(kv[0])):
            n = int(number)
            if not tests or n > len(text):
                continue
            found = mutations(text[n - 1])
            if found:
                candidates.append((path, n, text[n - 1], found, tests))
    rng = random.Random(seed)
    if rerun:
        for row in rerun_list(rerun, candidates, cover, durations):
            print(row)
        return
    if rev:
        wanted = changed_lines(top, rev)
        chosen = [c for c in candidates if (c[0], c[1]) in wanted]
    elif sample and sample < len(candidates):
        chosen = sorted(rng.sample(candidates, sample), key=lambda c: (c[0], c[1]))
    else:
        chosen = candidates
    print(f"{len(candidates)} lines with a mutant, {len(chosen)} chosen", file=sys.stderr)
    for path, n, before, found, tests in chosen:
        after = rng.choice(found)
        ordered = fastest_first(tests, durations)
        print("\t".join([path, str(n), before.strip(), after.strip(), " ".join(ordered)]))


def rerun_list(listing, candidates, cover, durations):
    """The mutants of a survivors list, each found again by its file and
    text at the nearest line that has it now."""
    rows = []
    for row in open(listing).read().splitlines():
        m = re.match(r"^([^:\s]+):(\d+): (.*) -> (.*?)(  \(.*\))?$", row)
        if not m:
            continue
        path, n, before, after = m.group(1), int(m.group(2)), m.group(3), m.group(4)
        near = [c for c in candidates if c[0] == path and c[2].strip() == before
                and after in (f.strip() for f in c[3])]
        if not near:
            print(f"{path}:{n}: {before} is no longer a covered line", file=sys.stderr)
            continue
        c = min(near, key=lambda c: abs(c[1] - n))
        ordered = fastest_first(c[4], durations)
        rows.append("\t".join([path, str(c[1]), before, after, " ".join(ordered)]))
    return rows


def targets(args):
    """For each test of the build, the targets it runs: its binary, and the
    program or module an end-to-end script is given."""
    build = args[0]
    tests = json.loads(subprocess.run(["ctest", "--test-dir", build, "--show-only=json-v1"],
                                      capture_output=True, text=True, check=True).stdout)["tests"]
    for t in tests:
        words = list(t.get("command", []))
        for p in t.get("properties", []):
            if p["name"] == "ENVIRONMENT":
                words += [v.split("=", 1)[-1] for v in p["value"]]
        names = set()
        for w in words:
            if w.startswith(build + "/") and os.path.isfile(w) and os.access(w, os.X_OK):
                base = os.path.basename(w)
                names.add(re.sub(r"^lib(.*)\.so$", r"\1", base))
        print(t["name"] + "\t" + " ".join(sorted(names)))


def apply(args):
    path, n, before, after = args[0], int(args[1]), args[2], args[3]
    text = [line + "\n" for line in open(path).read().split("\n")]
    text[-1] = text[-1][:-1]
    old = text[n - 1]
    if old.strip() != before:
        sys.exit(f"{path}:{n} is not '{before}'")
    indent = old[: len(old) - len(old.lstrip())]
    text[n - 1] = indent + after + "\n"
    open(path, "w").write("".join(text))


def equivalent(args):
    """Exit 0 if tests/mutants/equivalent.txt lists this mutant: a row is
    `file:line: before -> after  # reason`, matched on the file and the two
    texts, so that it survives lines moving. Where the same text stands on
    several lines, a row is the one nearest its line number only."""
    listing, path, line, before, after = args
    try:
        rows = open(listing).read().splitlines()
        text = [t.strip() for t in open(path).read().split("\n")]
    except FileNotFoundError:
        sys.exit(1)
    same = [n + 1 for n, t in enumerate(text) if t == before]
    for row in rows:
        m = re.match(r"^([^:#\s]+):(\d+): (.*) -> (.*?)\s+# ", row)
        if m and m.group(1) == path and m.group(3) == before and m.group(4) == after:
            if not same or min(same, key=lambda n: abs(n - int(m.group(2)))) == int(line):
                sys.exit(0)
    sys.exit(1)


if __name__ == "__main__":
    {"pick": pick, "apply": apply, "equivalent": equivalent, "targets": targets}[sys.argv[1]](sys.argv[2:])
