#!/usr/bin/python3
"""Writes the example data sets. Deterministic: rerunning reproduces the files byte for byte.

    product_sum.csv   y = x1*x2 + x3, exact (200 rows)
    sqrt_noisy.csv    y = 2.5*sqrt(x) + Gaussian noise with sd 0.3 (200 rows)
    pure_noise.csv    three features and a target unrelated to them (200 rows)
    gravity.csv       F = G*m1*m2/r^2 in SI units, G = 6.674e-11, exact (60 rows)

Usage: make_data.py [OUTPUT_DIR]   (default: the directory of this script)
"""
import math
import os
import random
import sys

ROWS = 200
SEED = 20240611


def write(path, header, rows):
    with open(path, "w", newline="\n", encoding="utf-8") as f:
        f.write(",".join(header) + "\n")
        for row in rows:
            # repr is the shortest text that reads back as the same double.
            f.write(",".join(repr(v) for v in row) + "\n")


def uniform(rng, lo, hi):
    # Four decimals keep the files readable; targets are computed from the rounded values.
    return round(rng.uniform(lo, hi), 4)


def product_sum(rng):
    rows = []
    for _ in range(ROWS):
        x1, x2, x3 = (uniform(rng, -3.0, 3.0) for _ in range(3))
        rows.append((x1, x2, x3, x1 * x2 + x3))
    return ["x1", "x2", "x3", "y"], rows


def sqrt_noisy(rng):
    rows = []
    for _ in range(ROWS):
        x = uniform(rng, 0.1, 10.0)
        rows.append((x, round(2.5 * math.sqrt(x) + rng.gauss(0.0, 0.3), 6)))
    return ["x", "y"], rows


def pure_noise(rng):
    rows = []
    for _ in range(ROWS):
        a, b, c = (uniform(rng, -1.0, 1.0) for _ in range(3))
        rows.append((a, b, c, round(rng.gauss(0.0, 1.0), 6)))
    return ["a", "b", "c", "y"], rows


def gravity(rng):
    rows = []
    for _ in range(60):
        m1, m2 = (uniform(rng, 1e3, 5e3) for _ in range(2))
        r = uniform(rng, 1.0, 5.0)
        rows.append((m1, m2, r, 6.674e-11 * m1 * m2 / r ** 2))
    return ["m1", "m2", "r", "F"], rows


def main():
    out_dir = sys.argv[1] if len(sys.argv) > 1 else os.path.dirname(os.path.abspath(__file__))
    # One stream per file, so that changing one data set leaves the others alone.
    for name, make, offset in (("product_sum.csv", product_sum, 0),
                               ("sqrt_noisy.csv", sqrt_noisy, 1),
                               ("pure_noise.csv", pure_noise, 2),
                               ("gravity.csv", gravity, 3)):
        header, rows = make(random.Random(SEED + offset))
        write(os.path.join(out_dir, name), header, rows)


if __name__ == "__main__":
    main()
