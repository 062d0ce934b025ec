#!/usr/bin/env python3
"""Mutation check: plants each fault of scripts/mutants.py in a scratch copy
of the library's sources, rebuilds, runs the whole suite until its first
failure, and reports which faults some test caught.

Usage: python3 scripts/mutate.py [--preset linux|mingw|all] [--only ID,...]
                                 [--work DIR] [--out FILE]
Compare two result files (say, before and after a change to the tests):
       python3 scripts/mutate.py --compare BEFORE AFTER

The faults are in shared code and the Linux platform file (preset linux,
about a minute each) or in the Windows one (preset mingw, run under Wine).
The working tree is never touched: the copy lives in --work (default
/tmp/tqproxy-mutate), where its builds are kept for the next run.
"""
import argparse
import os
import re
import shutil
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from mutants import MUTANTS  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
# The layout check is left out: a planted fault is not formatted.
CTEST = {
    "linux": "ctest --preset linux -j2 --stop-on-failure -E '^source_format$'",
    "mingw": "TQ_BUILD_DIR=build; . scripts/wine-env.sh; wine_up; "
             "ctest --preset mingw --stop-on-failure -E '^source_format$'; rc=$?; wine_down; exit $rc",
}


def sh(command, cwd):
    return subprocess.run(["sh", "-c", command], cwd=cwd, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, text=True)


def copy_tree(work):
    """The tracked and untracked-but-not-ignored files, copied where changed."""
    files = subprocess.check_output(
        ["git", "-C", ROOT, "ls-files", "-co", "--exclude-standard"], text=True).split("\n")
    for f in filter(None, files):
        src, dst = os.path.join(ROOT, f), os.path.join(work, f)
        if not os.path.isfile(src):
            continue
        if os.path.exists(dst) and open(src, "rb").read() == open(dst, "rb").read():
            continue
        os.makedirs(os.path.dirname(dst), exist_ok=True)
        shutil.copy(src, dst)  # a fresh time: the build must see the change


def build(work, preset):
    r = sh(f"cmake --preset {preset} >/dev/null && cmake --build --preset {preset}", work)
    return r.returncode == 0, r.stdout


def first_failure(output):
    m = re.search(r"The following tests FAILED:\s*\n\s*\d+ - (\S+)", output)
    return m.group(1) if m else "(no failed test named)"


def run_mutant(work, mutant):
    preset, path, old, new, _ = mutant
    file = os.path.join(work, path)
    original = open(file).read()
    if original.count(old) != 1:
        return "stale", f"text found {original.count(old)} times"
    try:
        with open(file, "w") as fh:
            fh.write(original.replace(old, new))
        built, log = build(work, preset)
        if not built:
            return "no-build", log.strip().splitlines()[-1] if log.strip() else ""
        r = sh(CTEST[preset], work)
        return ("caught", first_failure(r.stdout)) if r.returncode != 0 else ("survived", "")
    finally:
        with open(file, "w") as fh:
            fh.write(original)


def compare(before_file, after_file):
    def load(path):
        rows = [line.rstrip("\n").split("\t") for line in open(path) if line.strip()]
        return {r[0]: r[1] for r in rows}
    before, after = load(before_file), load(after_file)
    lost = [m for m, v in before.items() if v == "caught" and after.get(m) != "caught"]
    gained = [m for m, v in after.items() if v == "caught" and before.get(m) != "caught"]
    print(f"before: {sum(v == 'caught' for v in before.values())} of {len(before)} caught")
    print(f"after:  {sum(v == 'caught' for v in after.values())} of {len(after)} caught")
    for m in lost:
        print(f"LOST: {m} ({before[m]} -> {after.get(m, 'not run')})")
    for m in gained:
        print(f"gained: {m}")
    return 1 if lost else 0


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--preset", default="linux", choices=["linux", "mingw", "all"])
    ap.add_argument("--only", default="")
    ap.add_argument("--work", default="/tmp/tqproxy-mutate")
    ap.add_argument("--out", default="mutation-results.tsv")
    ap.add_argument("--compare", nargs=2)
    args = ap.parse_args()
    if args.compare:
        return compare(*args.compare)

    chosen = [m for m in MUTANTS
              if (args.preset == "all" or m[1][0] == args.preset)
              and (not args.only or m[0] in args.only.split(","))]
    os.makedirs(args.work, exist_ok=True)
    copy_tree(args.work)
    for preset in sorted({m[1][0] for m in chosen}):
        built, log = build(args.work, preset)
        baseline = sh(CTEST[preset], args.work) if built else None
        if baseline is None or baseline.returncode != 0:
            print(f"the unchanged sources do not pass under {preset}; nothing to compare")
            print(log if baseline is None else baseline.stdout[-3000:])
            return 2
    caught = 0
    with open(args.out, "w") as out:
        for name, mutant in chosen:
            started = time.time()
            verdict, detail = run_mutant(args.work, mutant)
            caught += verdict == "caught"
            out.write(f"{name}\t{verdict}\t{detail}\n")
            out.flush()
            print(f"{name:32} {verdict:9} {time.time() - started:5.0f} s  {detail}", flush=True)
    print(f"caught {caught} of {len(chosen)} faults; results in {args.out}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
