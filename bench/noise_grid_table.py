#!/usr/bin/python3
"""False-Strong table of the pure-noise grid (bench/noise_grid.py).

    /usr/bin/python3 bench/noise_grid_table.py GRID_DIR RESULTS.jsonl [...]

Reads the grid's manifests and refine_bench's result lines and prints, as
markdown, the share of Strong verdicts with its 95% Wilson interval overall,
per cell (rows n x target distribution) and by feature count and feature
distribution, with the worst cell named; GRID_VERBOSE=1 also lists every
Strong formula.
"""

import glob
import json
import math
import os
import sys
from collections import defaultdict


def wilson(k, n, z=1.959964):
    if n == 0:
        return (float("nan"), float("nan"))
    p = k / n
    d = 1 + z * z / n
    c = (p + z * z / (2 * n)) / d
    h = z * math.sqrt(p * (1 - p) / n + z * z / (4 * n * n)) / d
    return (max(0.0, c - h), min(1.0, c + h))


def rate(k, n):
    lo, hi = wilson(k, n)
    return f"{100 * k / n:.1f}% ({100 * lo:.1f}–{100 * hi:.1f}), {k}/{n}" if n else "–"


def main():
    grid, results = sys.argv[1], sys.argv[2:]
    cells = {}
    for m in glob.glob(os.path.join(grid, "shard-*", "manifest.json")):
        for p in json.load(open(m)):
            cells[p["name"]] = p["cell"]
    runs = []
    for path in results:
        for line in open(path):
            r = json.loads(line)
            if r.get("problem") in cells and "verdict" in r:
                runs.append((cells[r["problem"]], r["verdict"] == "Strong", r))
    if not runs:
        sys.exit("no results")
    total = sum(s for _, s, _ in runs)
    print(f"Pure noise, {len(runs)} sets: Strong {rate(total, len(runs))}\n")
    by = defaultdict(lambda: [0, 0])
    for c, s, _ in runs:
        by[(c["n"], c["target"])][0] += s
        by[(c["n"], c["target"])][1] += 1
    ns = sorted({c["n"] for c, _, _ in runs})
    targets = list(dict.fromkeys(c["target"] for c, _, _ in runs))
    print("| rows | " + " | ".join(targets) + " |")
    print("|---:|" + "---|" * len(targets))
    for n in ns:
        print(f"| {n} | " + " | ".join(rate(*by.get((n, t), (0, 0))) for t in targets) + " |")
    worst = max((kv for kv in by.items() if kv[1][1]), key=lambda kv: (kv[1][0] / kv[1][1], kv[1][1]))
    print(f"\nWorst cell: n = {worst[0][0]}, {worst[0][1]} targets: {rate(*worst[1])}\n")
    for key, label in (("features", "features"), ("feature_dist", "feature distribution")):
        agg = defaultdict(lambda: [0, 0])
        for c, s, _ in runs:
            agg[c[key]][0] += s
            agg[c[key]][1] += 1
        print(f"| {label} | Strong |\n|---|---|")
        for k in sorted(agg, key=str):
            print(f"| {k} | {rate(*agg[k])} |")
        print()
    secs = sorted(r.get("seconds", 0.0) for _, _, r in runs)
    print(f"Seconds per set: median {secs[len(secs) // 2]:.2f}, max {secs[-1]:.1f}, "
          f"total {sum(secs):.0f}")
    for c, s, r in runs:
        if s and os.environ.get("GRID_VERBOSE"):
            print(f"  Strong: {r['problem']}: {r['formula']} (k {r['k']}, ΔBIC lin "
                  f"{r['bic'] - r['bic_linear']:.1f}, mse train {r['mse_train']:.3g} test {r['mse_test']:.3g})")


if __name__ == "__main__":
    main()
