#!/usr/bin/python3
"""Writes the pure-noise grid: data sets whose target has nothing to do with
the features, for measuring how often a verdict says Strong on noise.

    /usr/bin/python3 bench/noise_grid.py OUT_DIR [--sets-per-cell N] [--shards S]

Cells: rows n in 20, 50, 150, 500, 3000 crossed with the target's distribution
(normal; Student t with 3 degrees of freedom; normal with 5% Cauchy outliers;
skewed: log-normal; discrete: Poisson(2)), N sets each (20 by default, 500
sets in all). Within a cell the feature count cycles through 1..10 and the
features' distribution through uniform on [0.5, 5], normal, log-normal and
nearly collinear (each column the first one plus 1% noise). Every set has its
own numpy seed, so a set is the same whatever N.

OUT_DIR receives the CSVs (header: features, then "target") and, per shard,
manifest files in refine_bench's format (OUT_DIR/shard-K/manifest.json with
paths pointing back to OUT_DIR) with the cell in each problem's "cell":
{"n", "target", "features", "feature_dist"}.
"""

import argparse
import csv
import json
import os

import numpy as np

ROWS = (20, 50, 150, 500, 3000)
TARGETS = ("normal", "t3", "outliers", "skewed", "discrete")
FEATURE_DISTS = ("uniform", "normal", "lognormal", "collinear")


def target(kind, n, rng):
    if kind == "normal":
        return rng.normal(size=n)
    if kind == "t3":
        return rng.standard_t(3, size=n)
    if kind == "outliers":
        y = rng.normal(size=n)
        hit = rng.random(n) < 0.05
        y[hit] = rng.standard_cauchy(size=int(hit.sum())) * 10.0
        return y
    if kind == "skewed":
        return rng.lognormal(0.0, 1.0, size=n)
    return rng.poisson(2.0, size=n).astype(float)


def features(kind, n, p, rng):
    if kind == "uniform":
        return rng.uniform(0.5, 5.0, size=(n, p))
    if kind == "normal":
        return rng.normal(size=(n, p))
    if kind == "lognormal":
        return rng.lognormal(0.0, 0.75, size=(n, p))
    base = rng.uniform(0.5, 5.0, size=n)
    return base[:, None] + 0.01 * rng.normal(size=(n, p)) * base.std()


def write_csv(path, names, x, y):
    with open(path, "w") as f:
        w = csv.writer(f, lineterminator="\n")
        w.writerow(names + ["target"])
        for row, t in zip(x, y):
            w.writerow([repr(float(v)) for v in row] + [repr(float(t))])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("out")
    ap.add_argument("--sets-per-cell", type=int, default=20)
    ap.add_argument("--shards", type=int, default=1)
    args = ap.parse_args()
    os.makedirs(args.out, exist_ok=True)
    problems = []
    for ni, n in enumerate(ROWS):
        for ti, kind in enumerate(TARGETS):
            for s in range(args.sets_per_cell):
                p = 1 + s % 10
                fdist = FEATURE_DISTS[s % len(FEATURE_DISTS)]
                data_seed = 1_000_003 * (ni * len(TARGETS) + ti) + s
                rng = np.random.default_rng(data_seed)
                x = features(fdist, n, p, rng)
                y = target(kind, n, rng)
                xf = features(fdist, 200, p, rng)
                yf = target(kind, 200, rng)
                names = [f"x{j + 1}" for j in range(p)]
                base = f"noise-n{n}-{kind}-{s}"
                write_csv(os.path.join(args.out, base + ".train.csv"), names, x, y)
                write_csv(os.path.join(args.out, base + ".fresh.csv"), names, xf, yf)
                problems.append({
                    "name": f"{base} p={p} {fdist}",
                    "group": "Noise", "law": "noise", "truth": None, "features": names,
                    "noise": 1.0, "seed": 1 + s % 3,
                    "cell": {"n": n, "target": kind, "features": p, "feature_dist": fdist},
                    "train": os.path.join("..", base + ".train.csv"),
                    "fresh": os.path.join("..", base + ".fresh.csv"),
                })
    # Shards interleave, so each holds every cell and the large sets spread.
    for k in range(args.shards):
        d = os.path.join(args.out, f"shard-{k}")
        os.makedirs(d, exist_ok=True)
        with open(os.path.join(d, "manifest.json"), "w") as f:
            json.dump(problems[k::args.shards], f, indent=1)
    print(f"{len(problems)} sets in {args.shards} shard(s) under {args.out}")


if __name__ == "__main__":
    main()
