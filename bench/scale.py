#!/usr/bin/python3
"""How the refined search's cost grows with the row count: one law, 5 features.

    /usr/bin/python3 bench/scale.py [--sizes 1000,10000,100000,1000000] [--seeds 0,1]
                                    [--noise 0,0.01] [--time-limit S] [--cli PATH]
                                    [--keep-data DIR]

The law is y = 2.5*x0**2/x1 + log(x2) over x0, x1, x3, x4 uniform on [1, 3]
and x2 on [0.2, 5]: x3 and x4 are irrelevant. For each row count and noise
level (Gaussian, sd the level times the clean target's sd, as in
refine_suite.py) one training CSV is drawn (its data seed fixed by the row
count and level, so every search seed sees the same rows) with 1000 fresh
noiseless points beside it. Each seed runs `quorvex --json --quiet --seed S`
on it, one run at a time (the search uses the cores itself).

Per run: wall seconds, CPU seconds (user + system of the child, os.wait4) and
their ratio, peak RSS of the child, generations, stop reason, R2 of the
formula on the fresh points, the held-out test MSE over the noise variance
(about 1 when the law is found), and whether the law is recovered: the exact
test of refine_table.py (R2 fresh >= 0.99, then sympy proves the formula,
constants rounded within 1e-6 at noise 0 or within the noise level otherwise,
equal to the law), the test of refine.sh's table.

The CSVs (about 110 MB at 1M rows, written in chunks with numpy in shortest
17-digit form) go to a temporary folder removed at the end; with --keep-data
DIR they go to DIR and are reused by later runs.
"""

import argparse
import multiprocessing
import os
import shutil
import sys
import tempfile
import time

import numpy as np

import cli_bench
import refine_suite

LAW = "2.5*x0**2/x1 + log(x2)"
VARIABLES = [("x0", 1.0, 3.0), ("x1", 1.0, 3.0), ("x2", 0.2, 5.0), ("x3", 1.0, 3.0), ("x4", 1.0, 3.0)]
FRESH_ROWS = 1000
CHUNK = 50_000


def write_numbers(path, names, x, y):
    """The CSV of refine_suite.write_csv's layout, 17 significant digits (every
    double reads back exactly), one format call per chunk of rows."""
    data = np.column_stack([x, y])
    line = ",".join(["%.17g"] * data.shape[1]) + "\n"
    tmp = path + ".part"
    with open(tmp, "w") as f:
        f.write(",".join(list(names) + ["target"]) + "\n")
        for start in range(0, len(data), CHUNK):
            block = data[start:start + CHUNK]
            f.write((line * len(block)) % tuple(block.ravel()))
    # Renamed into place: an interrupted write leaves no file the cache would trust.
    os.replace(tmp, path)


def draw(rows, noise):
    """(features, clean target, target) of the training rows, and the fresh
    points' features: seeded by the row count and noise level alone."""
    names = [n for n, _, _ in VARIABLES]
    f = refine_suite.law_function(LAW, names)
    rng = np.random.default_rng([7, rows, int(round(noise * 1000))])
    x = refine_suite.sample(rng, VARIABLES, rows)
    clean = f(*x.T)
    y = clean + noise * clean.std() * rng.standard_normal(rows) if noise > 0 else clean
    return x, clean, y, refine_suite.sample(rng, VARIABLES, FRESH_ROWS)


def data_files(folder, rows, noise):
    """(train, fresh) file names in folder for rows and noise, writing them
    unless they are there, and the variance of the noise in the target."""
    base = f"scale_r{rows}_n{noise:g}"
    train, fresh = base + ".train.csv", base + ".fresh.csv"
    if not (os.path.exists(os.path.join(folder, train)) and os.path.exists(os.path.join(folder, fresh))):
        t0 = time.monotonic()
        # Written by a process of its own: a child's peak memory (ru_maxrss)
        # counts the parent's resident pages at the fork, and writing a large
        # CSV leaves this process holding gigabytes.
        writer = multiprocessing.get_context("spawn").Process(
            target=write_files, args=(folder, train, fresh, rows, noise))
        writer.start()
        writer.join()
        if writer.exitcode != 0:
            raise SystemExit(f"writing {train} failed")
        print(f"wrote {train} in {time.monotonic() - t0:.1f} s", file=sys.stderr)
    _, clean, _, _ = draw(rows, noise)
    return train, fresh, (noise * clean.std()) ** 2


def write_files(folder, train, fresh, rows, noise):
    x, _, y, xf = draw(rows, noise)
    names = [n for n, _, _ in VARIABLES]
    write_numbers(os.path.join(folder, train), names, x, y)
    refine_suite.write_csv(os.path.join(folder, fresh), names, xf,
                           refine_suite.law_function(LAW, names)(*xf.T))


def number_list(text, kind):
    return [kind(v) for v in text.split(",") if v.strip()]


HEADER = ["rows", "noise", "seed", "wall s", "cpu s", "cpu/wall", "peak MB", "gens", "stop", "R2 fresh",
          "mse/noise", "recovered", "formula"]
WIDTHS = [8, 5, 4, 8, 8, 8, 8, 5, 16, 9, 9, 9]


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--sizes", default="1000,10000,100000,1000000", help="row counts, comma-separated")
    ap.add_argument("--seeds", default="0,1", help="search seeds, comma-separated")
    ap.add_argument("--noise", default="0,0.01", help="noise levels (fractions of the target's sd)")
    ap.add_argument("--time-limit", type=float, help="passed to the command's --time-limit")
    ap.add_argument("--cli", default=cli_bench.DEFAULT_CLI, help="the quorvex command")
    ap.add_argument("--keep-data", metavar="DIR", help="write (and reuse) the CSVs in DIR")
    args = ap.parse_args()
    sizes = number_list(args.sizes, int)
    seeds = number_list(args.seeds, int)
    levels = number_list(args.noise, float)
    if not os.access(args.cli, os.X_OK):
        ap.error(f"{args.cli} is not an executable (build it, or give --cli)")

    folder = args.keep_data or tempfile.mkdtemp(prefix="quorvex-scale-")
    os.makedirs(folder, exist_ok=True)
    print(f"law y = {LAW}; features " + ", ".join(f"{n} in [{lo:g}, {hi:g}]" for n, lo, hi in VARIABLES) +
          (f"; time limit {args.time_limit:g} s" if args.time_limit else ""))
    print(cli_bench.format_row(HEADER, WIDTHS), flush=True)
    failures = 0
    try:
        for rows in sizes:
            for noise in levels:
                train, fresh, var = data_files(folder, rows, noise)
                problem = {"truth": LAW, "features": [n for n, _, _ in VARIABLES],
                           "ranges": [[lo, hi] for _, lo, hi in VARIABLES], "noise": noise, "fresh": fresh}
                for seed in seeds:
                    run = cli_bench.run_discovery(args.cli, os.path.join(folder, train), seed, args.time_limit)
                    rep = run["report"]
                    if rep is None:
                        failures += 1
                        print(cli_bench.format_row(
                            [rows, f"{noise:g}", seed, f"{run['wall']:.2f}", f"{run['cpu']:.2f}", "-",
                             f"{run['peak_rss_mb']:.0f}", "-", f"exit {run['returncode']}", "-", "-", "-",
                             run["stderr"].splitlines()[-1] if run["stderr"] else ""], WIDTHS), flush=True)
                        continue
                    r2 = cli_bench.fresh_r2(args.cli, run["text"], os.path.join(folder, fresh))
                    ok = cli_bench.recovered(rep, r2, problem, folder)
                    print(cli_bench.format_row(
                        [rows, f"{noise:g}", seed, f"{run['wall']:.2f}", f"{run['cpu']:.2f}",
                         f"{run['cpu'] / run['wall']:.2f}", f"{run['peak_rss_mb']:.0f}", rep["generations"],
                         rep["stop_reason"], "fail" if r2 is None else f"{r2:.6f}",
                         f"{rep['mse_test'] / var:.3f}" if var else "-", "yes" if ok else "no", rep["formula"]],
                        WIDTHS), flush=True)
        with open("/proc/loadavg") as f:
            print(f"load average at the end: {' '.join(f.read().split()[:3])}")
    finally:
        if not args.keep_data:
            shutil.rmtree(folder, ignore_errors=True)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
