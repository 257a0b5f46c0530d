#!/usr/bin/env python3
"""Puts one-line faults into a copy of the tree, one at a time, and runs the
native suite against each: a fault the suite does not fail on is a test
missing.

    tests/faults/fault_trial.py FAULTS [--ref REV] [--only N,M] [--work DIR]

FAULTS holds blocks like

    @@ cli/ascii_search.cpp  what the fault does
    - text found exactly once in the file (several '-' lines: one block of lines)
    + what takes its place

The copy is a git worktree of REV (default HEAD) in DIR, so that a crash or
an interrupted run never leaves a fault in the tree. Prints one line per
fault and a count per file; exits 0 whatever was caught.
"""
import argparse, collections, os, subprocess, sys


def parse(path):
    faults, current = [], None
    for raw in open(path, encoding="utf-8"):
        line = raw.rstrip("\n")
        if line.startswith("@@ "):
            file, _, what = line[3:].strip().partition(" ")
            current = {"file": file, "what": what.strip(), "old": [], "new": []}
            faults.append(current)
        elif line.startswith("- ") and current is not None:
            current["old"].append(line[2:])
        elif line.startswith("+ ") and current is not None:
            current["new"].append(line[2:])
        elif line.strip() == "+" and current is not None:
            current["new"].append("")
    return faults


def run(command, cwd, log, timeout=None):
    with open(log, "ab") as out:
        try:
            return subprocess.run(command, cwd=cwd, stdout=out, stderr=subprocess.STDOUT, timeout=timeout).returncode
        except subprocess.TimeoutExpired:
            return "timeout"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("faults")
    parser.add_argument("--ref", default="HEAD")
    parser.add_argument("--only", default="")
    parser.add_argument("--work", default="/tmp/keyscour-faults")
    args = parser.parse_args()
    faults = parse(args.faults)
    only = {int(n) for n in args.only.split(",") if n}
    tree = subprocess.check_output(["git", "rev-parse", "--show-toplevel"], text=True).strip()
    work = os.path.abspath(args.work)
    if not os.path.isdir(work):
        subprocess.check_call(["git", "-C", tree, "worktree", "add", "--detach", work, args.ref])
    else:
        subprocess.check_call(["git", "-C", work, "checkout", "--detach", "--force", args.ref])
    build = os.path.join(work, "build", "native")
    log = os.path.join(work, "fault-trial.log")
    open(log, "w").close()
    subprocess.check_call(["cmake", "-S", work, "-B", build, "-DCMAKE_BUILD_TYPE=Release"], stdout=subprocess.DEVNULL)
    jobs = str(os.cpu_count() or 2)
    if run(["cmake", "--build", build, "-j", jobs], work, log) != 0 or run(["ctest", "-j", jobs], build, log) != 0:
        sys.exit("the suite does not pass without faults; see " + log)

    tally = collections.OrderedDict()
    for number, fault in enumerate(faults, 1):
        if only and number not in only:
            continue
        path = os.path.join(work, fault["file"])
        text = open(path, encoding="utf-8").read()
        old, new = "\n".join(fault["old"]), "\n".join(fault["new"])
        if text.count(old) != 1:
            print(f"{number:3} {fault['file']}: the text is found {text.count(old)} times, not tried", flush=True)
            continue
        open(path, "w", encoding="utf-8").write(text.replace(old, new))
        try:
            with open(log, "a") as out:
                out.write(f"\n===== fault {number}: {fault['file']} {fault['what']}\n")
            built = run(["cmake", "--build", build, "-j", jobs], work, log)
            if built != 0:
                outcome = "does not build"
            else:
                tested = run(["ctest", "-j", jobs, "--timeout", "240"], build, log, timeout=900)
                outcome = "caught" if tested != 0 else "SURVIVED"
        finally:
            open(path, "w", encoding="utf-8").write(text)
        counts = tally.setdefault(fault["file"], [0, 0])
        if outcome != "does not build":
            counts[0] += 1
            counts[1] += outcome == "caught"
        print(f"{number:3} {outcome:14} {fault['file']}: {fault['what']}", flush=True)
    print("\nper file (caught of tried):")
    for file, (tried, caught) in tally.items():
        print(f"  {file}: {caught} of {tried}")
    print(f"all: {sum(c for _, c in tally.values())} of {sum(t for t, _ in tally.values())}")


if __name__ == "__main__":
    main()
