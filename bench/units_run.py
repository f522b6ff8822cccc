#!/usr/bin/python3
"""Runs refine_bench on each Feynman problem of a suite with and without units, one after
the other per problem (alternating which goes first), so that both meet the same load.

    /usr/bin/python3 bench/units_run.py REFINE_BENCH SUITE_DIR OUT_DIR [--only TEXT]

Appends to OUT_DIR/units.jsonl and OUT_DIR/plain.jsonl (bench/units_table.py reads them),
each line with "cpu_seconds" added: the search's processor time, all threads, which a busy
machine disturbs less than the wall time.
"""

import argparse
import json
import os
import resource
import subprocess


def run(bench, suite, name, units):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    args = [bench, "--refined-only", "--only", name] + (["--units"] if units else []) + [suite]
    out = subprocess.run(args, capture_output=True, text=True, check=True).stdout
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    line = json.loads(out.strip().splitlines()[0])
    line["cpu_seconds"] = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return line


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("bench")
    ap.add_argument("suite")
    ap.add_argument("out")
    ap.add_argument("--only", default="")
    ap.add_argument("--reuse-plain", action="store_true",
                    help="skip the runs without units that plain.jsonl already holds")
    args = ap.parse_args()
    problems = [p for p in json.load(open(os.path.join(args.suite, "manifest.json")))
                if p["group"] == "Feynman" and args.only in p["name"]]
    if any("units" not in p for p in problems):
        # refine_bench --units would quietly run them without: both files alike.
        raise SystemExit(f"{args.suite}: Feynman problems without units: run bench/feynman_units.py on it first")
    os.makedirs(args.out, exist_ok=True)
    plain_path = os.path.join(args.out, "plain.jsonl")
    done = set()
    if args.reuse_plain and os.path.exists(plain_path):
        done = {json.loads(line)["problem"] for line in open(plain_path) if line.strip()}
    files = {True: open(os.path.join(args.out, "units.jsonl"), "a"), False: open(plain_path, "a")}
    for i, p in enumerate(problems):
        for units in ((True, False) if i % 2 == 0 else (False, True)):
            if not units and p["name"] in done:
                continue
            files[units].write(json.dumps(run(args.bench, args.suite, p["name"], units)) + "\n")
            files[units].flush()


if __name__ == "__main__":
    main()
