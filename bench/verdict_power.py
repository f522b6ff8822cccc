#!/usr/bin/python3
"""The verdict's power on laws: of the benchmark's laws the refined search
recovers exactly, how many it calls Strong, per noise level.

    /usr/bin/python3 bench/verdict_power.py SUITE_DIR RESULTS.jsonl

SUITE_DIR and RESULTS as bench/refine.sh writes them (build/refine_bench/suite
and results.jsonl); exact recovery is bench/refine_table.py's judgement.
"""

import json
import os
import sys
from collections import defaultdict

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from refine_table import is_exact  # noqa: E402


def main():
    suite, results = sys.argv[1], sys.argv[2]
    problems = {p["name"]: p for p in json.load(open(os.path.join(suite, "manifest.json")))}
    by_level = defaultdict(lambda: [0, 0, 0, 0])  # runs, Strong, exact, Strong among exact
    missed = []
    for line in open(results):
        r = json.loads(line)
        p = problems.get(r.get("problem"))
        if r.get("search") != "refined" or p is None or p["truth"] is None:
            continue
        exact = is_exact(r, p, suite)
        strong = r.get("verdict") == "Strong"
        cell = by_level[p["noise"]]
        cell[0] += 1
        cell[1] += strong
        cell[2] += exact
        cell[3] += exact and strong
        if exact and not strong:
            missed.append(f"  {p['name']}: {r['verdict']} ({r.get('verdict_reason', '')})")
    print("| noise | laws | Strong | recovered exactly | Strong among those |")
    print("|---|---:|---:|---:|---:|")
    for level in sorted(by_level):
        n, s, e, se = by_level[level]
        share = f"{se}/{e} ({100 * se / e:.1f}%)" if e else "–"
        print(f"| {level:g} | {n} | {s} | {e} | {share} |")
    if missed:
        print("\nRecovered but not Strong:")
        print("\n".join(missed))


if __name__ == "__main__":
    main()
