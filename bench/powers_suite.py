#!/usr/bin/python3
"""Power laws whose exponents are not whole numbers: a small problem set for
refine_bench, and the per-law table of its results.

    /usr/bin/python3 bench/powers_suite.py OUT_DIR               # writes the set
    build/release/bench/refine_bench --refined-only OUT_DIR > OUT_DIR/results.jsonl
    /usr/bin/python3 bench/powers_suite.py --table OUT_DIR OUT_DIR/results.jsonl

The laws were chosen before any was measured. Each at noise 0 and 1%, seeds 1
and 2, 200 training rows (1000 fresh noiseless points). Exact recovery is
bench/refine_table.py's test; the table adds the seconds of each discovery.
The manifest has the format of bench/refine_suite.py's, group "Powers".
"""

import argparse
import json
import os
import statistics
import sys

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from refine_suite import law_function, sample, slug, write_csv  # noqa: E402

ROWS = 200
FRESH_ROWS = 1000
SEEDS = (1, 2)
NOISE_LEVELS = (0.0, 0.01)
GROUP_ID = 9

LAWS = [
    ("Allometry", "2.3*M**0.75", [("M", 1.0, 100.0)]),
    ("Cobb-Douglas", "1.7*K**0.3*L**0.7", [("K", 1.0, 10.0), ("L", 1.0, 10.0)]),
    ("Half-powers", "x**1.5/y**0.5", [("x", 0.5, 5.0), ("y", 0.5, 5.0)]),
    ("Stretched-exp", "exp(-(t/2)**0.7)", [("t", 0.1, 10.0)]),
    ("Weibull-CDF", "1 - exp(-(x/3)**1.8)", [("x", 0.1, 8.0)]),
    ("Freundlich", "2.1*c**0.4", [("c", 0.1, 20.0)]),
    ("Power-plus-line", "x**2.5 + y", [("x", 0.5, 3.0), ("y", 0.5, 3.0)]),
    ("Hill", "4*s**1.6/(2**1.6 + s**1.6)", [("s", 0.1, 10.0)]),
]


def write_set(out):
    os.makedirs(out, exist_ok=True)
    problems = []
    for noise in NOISE_LEVELS:
        for seed in SEEDS:
            for i, (law, truth, variables) in enumerate(LAWS):
                names = [n for n, _, _ in variables]
                f = law_function(truth, names)
                rng = np.random.default_rng([GROUP_ID, i, int(noise * 1000), seed])
                x = sample(rng, variables, ROWS)
                clean = np.asarray(f(*x.T), dtype=float) * np.ones(ROWS)
                y = clean + noise * clean.std() * rng.standard_normal(ROWS) if noise > 0 else clean
                xf = sample(rng, variables, FRESH_ROWS)
                yf = np.asarray(f(*xf.T), dtype=float) * np.ones(FRESH_ROWS)
                base = slug(f"{law}_n{noise}_s{seed}")
                write_csv(os.path.join(out, base + ".train.csv"), names, x, y)
                write_csv(os.path.join(out, base + ".fresh.csv"), names, xf, yf)
                problems.append({
                    "name": f"{law} noise={noise} seed={seed}", "group": "Powers", "law": law,
                    "truth": truth, "features": names, "ranges": [[lo, hi] for _, lo, hi in variables],
                    "noise": noise, "seed": seed, "needs_trig": False, "operators_needed": [],
                    "extended": True, "train": base + ".train.csv", "fresh": base + ".fresh.csv",
                })
    with open(os.path.join(out, "manifest.json"), "w") as f:
        json.dump(problems, f, indent=1)
    print(f"{len(problems)} problems in {out}")


def table(out, results_path):
    from refine_table import is_exact

    problems = {p["name"]: p for p in json.load(open(os.path.join(out, "manifest.json")))}
    runs = [json.loads(line) for line in open(results_path) if line.strip()]
    print("| law | noise | seed | exact | R2 fresh | seconds | formula |")
    print("|---|---|---|---|---|---|---|")
    exact_total, seconds = 0, []
    for r in runs:
        p = problems[r["problem"]]
        exact = is_exact(r, p, out)
        exact_total += exact
        seconds.append(r.get("seconds", float("nan")))
        print(f"| {p['law']} | {p['noise']} | {p['seed']} | {'yes' if exact else 'no'} | "
              f"{r.get('r2_fresh', float('nan')):.6f} | {r.get('seconds', float('nan')):.1f} | "
              f"`{r.get('formula', r.get('error', ''))}` |")
    if runs:
        print(f"\nexact {exact_total} of {len(runs)}; seconds per discovery: median "
              f"{statistics.median(seconds):.1f}, total {sum(seconds):.0f}")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("out")
    ap.add_argument("results", nargs="?")
    ap.add_argument("--table", action="store_true", help="print the table of RESULTS")
    args = ap.parse_args()
    if args.table:
        table(args.out, args.results)
    else:
        write_set(args.out)


if __name__ == "__main__":
    main()
