#!/usr/bin/python3
"""The refined search with and without units on the Feynman laws: a markdown table.

    /usr/bin/python3 bench/units_table.py SUITE_DIR PLAIN.jsonl UNITS.jsonl [--detail]

PLAIN and UNITS are refine_bench lines of one suite (bench/feynman_units.py
applied), run without and with --units. Per noise level: exact recoveries
(refine_table.is_exact) out of the problems both ran, the mean and median
seconds per problem, and the seconds per discovery (all seconds over the
exact recoveries). --detail lists the laws only one of the two recovered.
"""

import argparse
import json
import os
import statistics
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from refine_table import is_exact  # noqa: E402


def load(path, problems, suite):
    out = {}
    for line in open(path):
        if line.strip():
            r = json.loads(line)
            if r["problem"] in problems:
                r["exact"] = is_exact(r, problems[r["problem"]], suite)
                out[r["problem"]] = r
    return out


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("suite")
    ap.add_argument("plain")
    ap.add_argument("units")
    ap.add_argument("--detail", action="store_true")
    args = ap.parse_args()
    problems = {p["name"]: p for p in json.load(open(f"{args.suite}/manifest.json"))
                if p["group"] == "Feynman"}
    runs = {"without units": load(args.plain, problems, args.suite),
            "with units": load(args.units, problems, args.suite)}
    names = sorted(set(runs["without units"]) & set(runs["with units"]))
    levels = sorted({problems[n]["noise"] for n in names})
    print("| noise | search | exact | mean s | median s | s per discovery |")
    print("|---|---|---|---|---|---|")
    for level in levels:
        at = [n for n in names if problems[n]["noise"] == level]
        for label, rs in runs.items():
            exact = sum(rs[n]["exact"] for n in at)
            secs = [rs[n].get("seconds", 0.0) for n in at]
            per = sum(secs) / exact if exact else float("inf")
            print(f"| {level:g} | {label} | {exact}/{len(at)} ({100 * exact / len(at):.0f}%) | "
                  f"{statistics.mean(secs):.2f} | {statistics.median(secs):.2f} | {per:.2f} |")
    if args.detail:
        print()
        for n in names:
            a, b = runs["without units"][n]["exact"], runs["with units"][n]["exact"]
            if a != b:
                print(f"- {n}: {'only with units' if b else 'only without units'} "
                      f"({runs['with units'][n]['formula']} | {runs['without units'][n]['formula']})")


if __name__ == "__main__":
    main()
