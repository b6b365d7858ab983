"""One-line faults in the driver, and whether the suite catches them.

Draws one-line mutants of the driver folders' code (a call or an assignment
dropped, a condition negated, a comparison or a logical operator swapped,
TRUE and FALSE swapped, an integer constant changed by one), builds each
incrementally, runs the suite's tests that do not run on the wall clock
(stopping at the first failure), and prints each with its verdict: caught,
survived, or did not build. Mutants listed in tools/mutants_equivalent.txt
(they change nothing a test could see) are left out, with their reason.

usage: mutants.py --build DIR [--count N] [--seed S] [--file F]
  --count N  how many mutants to draw from every candidate (default 200)
  --seed S   the draw (default 1)
  --file F   every candidate of one file instead of a draw

It refuses to run on a tree with uncommitted changes, and puts every file
back as it was, even when interrupted."""
import argparse
import os
import random
import re
import signal
import subprocess
import sys
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FOLDERS = ("core", "usb", "serial", "ioctl", "legacy")
EQUIVALENT = os.path.join(ROOT, "tools", "mutants_equivalent.txt")

SKIP = re.compile(r"^\s*(//|/\*|\*|#|$|[{}]\s*$|case\b|default\s*:|namespace\b|extern\b|template\b|using\b|return;|"
                  r"static_assert\b)")
CALL = re.compile(r"^(\s*)(?:[A-Za-z_][\w]*(?:(?:->|\.|::)[A-Za-z_]\w*)*)\(.*\);\s*$")
ASSIGN = re.compile(r"^(\s*)[A-Za-z_][\w\->\.\[\]]*\s*(?:=|\+=|-=|\|=|&=|\^=)\s*[^=].*;\s*$")
SWAPS = ((" == ", " != "), (" != ", " == "), (" <= ", " < "), (" < ", " <= "), (" >= ", " > "), (" > ", " >= "),
         (" && ", " || "), (" || ", " && "), ("TRUE", "FALSE"), ("FALSE", "TRUE"))
NUMBER = re.compile(r"(?<![\w.])(0x[0-9A-Fa-f]+|\d+)(?![\w.])")


def lines_of(path):
    with open(os.path.join(ROOT, path)) as f:
        return f.read().split("\n")


def candidates(lines):
    """(line number, operator, mutated line) for every mutant of one file's lines."""
    in_comment = False
    for number, line in enumerate(lines, 1):
        text = line.strip()
        if in_comment:
            in_comment = "*/" not in text
            continue
        if text.startswith("/*") and "*/" not in text:
            in_comment = True
            continue
        if SKIP.match(line):
            continue
        code = line.split("//")[0]
        call = CALL.match(code)
        if call and not code.strip().startswith(("if", "while", "for", "return", "switch")):
            yield number, "drop a call", call.group(1) + "(void)0;"
        assign = ASSIGN.match(code)
        if assign:
            yield number, "drop an assignment", assign.group(1) + "(void)0;"
        for keyword in ("if (", "while ("):
            at = code.find(keyword)
            if at >= 0:
                start = at + len(keyword)
                depth, end = 1, start
                while end < len(code) and depth:
                    depth += {"(": 1, ")": -1}.get(code[end], 0)
                    end += 1
                if depth == 0:
                    condition = code[start:end - 1]
                    yield number, "negate a condition", line[:start] + "!(" + condition + ")" + line[end - 1:]
        for old, new in SWAPS:
            at = code.find(old)
            if at >= 0 and not (old.strip() in "<>" and ("template" in code or "_cast<" in code)):
                yield number, "swap %s for %s" % (old.strip(), new.strip()), line[:at] + new + line[at + len(old):]
                break
        literal = NUMBER.search(code)
        if literal and not re.search(r"\[\s*\d+\s*\]\s*[;=]", code):
            value = literal.group(1)
            changed = hex(int(value, 16) + 1) if value.startswith("0x") else str(int(value) + 1)
            yield number, "change a constant by one", line[:literal.start()] + changed + line[literal.end():]


def driver_files():
    out = subprocess.run(["git", "ls-files"] + list(FOLDERS), cwd=ROOT, capture_output=True, text=True, check=True)
    return sorted(p for p in out.stdout.split() if p.endswith((".cpp", ".h")))


def equivalents():
    """(file, original line, mutated line) of the mutants known to change
    nothing a test could see: `file | original | mutated | reason`. The file
    may name which of several identical lines it means: `file#2` is the
    second; without it, every one."""
    known = {}
    if os.path.exists(EQUIVALENT):
        with open(EQUIVALENT) as f:
            for line in f:
                if line.strip() and not line.startswith("#"):
                    path, original, mutated, reason = (part.strip() for part in line.split(" | ", 3))
                    known[(path, original, mutated)] = reason
    return known


class Restore:
    """Puts a mutated file back as it was, also on Ctrl-C or SIGTERM."""

    def __init__(self):
        self.saved = None
        for sig in (signal.SIGINT, signal.SIGTERM):
            signal.signal(sig, self.interrupted)

    def mutate(self, path, number, mutated):
        full = os.path.join(ROOT, path)
        with open(full) as f:
            text = f.read()
        self.saved = (full, text)
        lines = text.split("\n")
        lines[number - 1] = mutated
        with open(full, "w") as f:
            f.write("\n".join(lines))

    def put_back(self):
        if self.saved:
            full, text = self.saved
            with open(full, "w") as f:
                f.write(text)
            self.saved = None

    def interrupted(self, signum, frame):
        self.put_back()
        print("\ninterrupted: every file is as it was", flush=True)
        sys.exit(130)


def run_one(build, restore, path, number, mutated):
    restore.mutate(path, number, mutated)
    try:
        built = subprocess.run(["cmake", "--build", build, "-j2"], cwd=ROOT, capture_output=True)
        if built.returncode != 0:
            return "did not build"
        tests = subprocess.run(["ctest", "-LE", "realtime|long", "-j2", "--stop-on-failure", "--timeout", "120"],
                               cwd=build, capture_output=True)
        return "caught" if tests.returncode != 0 else "survived"
    finally:
        restore.put_back()


def main():
    parser = argparse.ArgumentParser(description="one-line faults in the driver, and whether the suite catches them")
    parser.add_argument("--build", required=True)
    parser.add_argument("--count", type=int, default=200)
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--file")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    dirty = subprocess.run(["git", "status", "--porcelain", "--untracked-files=no"], cwd=ROOT, capture_output=True,
                           text=True, check=True).stdout
    if dirty.strip():
        print("mutants: the tree has uncommitted changes; commit or stash them first", file=sys.stderr)
        return 2
    files = driver_files()
    if args.file:
        if args.file not in files:
            print("mutants: %s is not a file of the driver folders" % args.file, file=sys.stderr)
            return 2
        files = [args.file]
    # Each mutant with the two keys it may be listed under: its line's own
    # (the file and which of the identical lines it is) and every identical line's.
    pool = []
    for path in files:
        lines = lines_of(path)
        stripped = [line.strip() for line in lines]
        for number, operator, mutated in candidates(lines):
            text = (stripped[number - 1], mutated.strip())
            own = ("%s#%d" % (path, stripped[:number].count(stripped[number - 1])),) + text
            pool.append((path, number, operator, mutated, (own, (path,) + text)))
    known = equivalents()
    for key in sorted(known.keys() - {key for *_, keys in pool for key in keys}):
        if key[0].split("#")[0] in files:
            print("mutants: %s: no longer a mutant of the file, listed as equivalent: %s" % (key[0], key[2]),
                  file=sys.stderr)
    if args.file:
        chosen = pool
    else:
        chosen = random.Random(args.seed).sample(pool, min(args.count, len(pool)))
        chosen.sort(key=lambda m: (m[0], m[1]))
    print("%d candidate mutants in %d files; running %d" % (len(pool), len(files), len(chosen)), flush=True)
    restore = Restore()
    verdicts = {"caught": 0, "survived": 0, "did not build": 0, "equivalent": 0}
    started = time.monotonic()
    for path, number, operator, mutated, (own, every) in chosen:
        reason = known.get(own) or known.get(every)
        verdict = "equivalent" if reason else run_one(build, restore, path, number, mutated)
        verdicts[verdict] += 1
        print("%-13s %s:%d  %s: %s%s" % (verdict, path, number, operator, mutated.strip(),
                                         " (%s)" % reason if reason else ""), flush=True)
    subprocess.run(["cmake", "--build", build, "-j2"], cwd=ROOT, capture_output=True)  # the tree's own binaries again
    judged = verdicts["caught"] + verdicts["survived"]
    print("caught %d of %d (%.1f %%); %d did not build, %d equivalent; %.0f s" %
          (verdicts["caught"], judged, 100.0 * verdicts["caught"] / judged if judged else 0.0,
           verdicts["did not build"], verdicts["equivalent"], time.monotonic() - started))
    return 0


if __name__ == "__main__":
    sys.exit(main())
