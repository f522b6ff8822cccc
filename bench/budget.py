#!/usr/bin/python3
"""Law recovery against the refined search's time budget.

    /usr/bin/python3 bench/budget.py [--budgets 1,2,5,10,30] [--seeds 1,2] [--noise 0,0.01]
                                     [--laws NAME,...] [--rows N] [--jobs 1] [--detail]
                                     [--cli PATH] [--keep-data DIR]

The laws are refine_suite.py's (refine.sh --extended): the 12 Nguyen laws, the
55 Feynman laws and the damped oscillation, each group with the suite's own
training rows (Nguyen 20, Feynman 500, oscillation 200; --rows N for one count
for all) and data seeded as the suite seeds them, so seeds 1 and 2 are the
suite's first two problem sets. Every problem runs `quorvex --json --quiet
--seed S --time-limit T` once per budget T. A law counts as recovered by the
exact test of refine_table.py, the one refine.sh's table reports (R2 on 1000
fresh noiseless points >= 0.99, then sympy proves the formula, constants
rounded within 1e-6 at noise 0 or within the noise level otherwise, equal to
the law); R2 comes from `quorvex --predict` on the fresh points.

For each noise level and budget the table gives the share recovered, the
median and 90th percentile (linear interpolation) of the wall seconds per run
(the command as a whole: start, CSV read, search, report), and how many runs
the time limit stopped (the rest stopped on their own: exact fit, no
improvement, the generation cap). --detail adds recoveries per law and budget.

Runs go one at a time (the search uses the cores itself; timings on a shared
machine are what they are); --jobs N runs N at once. The problem set is
written to a temporary folder removed at the end; with --keep-data DIR it goes
to DIR with results.jsonl, one line per run.
"""

import argparse
import concurrent.futures
import json
import os
import shutil
import statistics
import sys
import tempfile

import numpy as np

import cli_bench
import refine_suite
import refine_table


def number_list(text, kind):
    return [kind(v) for v in text.split(",") if v.strip()]


def one_run(cli, folder, problem, budget):
    run = cli_bench.run_discovery(cli, os.path.join(folder, problem["train"]), problem["seed"], budget)
    rep = run["report"]
    r2 = cli_bench.fresh_r2(cli, run["text"], os.path.join(folder, problem["fresh"])) if rep else None
    return {
        "problem": problem["name"], "law": problem["law"], "noise": problem["noise"], "seed": problem["seed"],
        "budget": budget, "wall": run["wall"], "cpu": run["cpu"], "returncode": run["returncode"],
        "stderr": run["stderr"] if rep is None else "", "formula": rep and rep["formula"],
        "expr_json": rep and rep["expr_json"], "generations": rep and rep["generations"],
        "stop_reason": rep and rep["stop_reason"], "r2_fresh": r2,
    }


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("--budgets", default="1,2,5,10,30", help="time limits in seconds, comma-separated")
    ap.add_argument("--seeds", default="1,2", help="suite seeds (1, 2 or 3), comma-separated")
    ap.add_argument("--noise", default="0,0.01", help="noise levels; the added laws exist at 0 and 0.01 only")
    ap.add_argument("--laws", help="law names, comma-separated, e.g. Nguyen-7,I.12.2 (default: all)")
    ap.add_argument("--rows", type=int, help="training rows of every law (default: each group's own)")
    ap.add_argument("--jobs", type=int, default=1, help="runs at once (default 1)")
    ap.add_argument("--detail", action="store_true", help="recoveries per law and budget as well")
    ap.add_argument("--cli", default=cli_bench.DEFAULT_CLI, help="the quorvex command")
    ap.add_argument("--keep-data", metavar="DIR", help="write the problem set and results.jsonl to DIR")
    args = ap.parse_args()
    budgets = number_list(args.budgets, float)
    seeds = number_list(args.seeds, int)
    levels = number_list(args.noise, float)
    keep = None
    if args.laws:
        keep = set(number_list(args.laws, str.strip))
        unknown = keep - set(refine_suite.law_names())
        if unknown:
            ap.error("unknown laws: " + ", ".join(sorted(unknown)) + " (names as in bench/refine_suite.py)")
    if not os.access(args.cli, os.X_OK):
        ap.error(f"{args.cli} is not an executable (build it, or give --cli)")

    folder = args.keep_data or tempfile.mkdtemp(prefix="quorvex-budget-")
    os.makedirs(folder, exist_ok=True)
    try:
        problems = refine_suite.law_set(folder, levels, seeds, keep, args.rows)
        by_name = {p["name"]: p for p in problems}
        tasks = [(p, b) for b in budgets for p in problems]
        print(f"{len(problems)} problems x {len(budgets)} budgets, {args.jobs} at a time", file=sys.stderr)
        results = []
        with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
            futures = [pool.submit(one_run, args.cli, folder, p, b) for p, b in tasks]
            for i, fut in enumerate(concurrent.futures.as_completed(futures), 1):
                results.append(fut.result())
                if sys.stderr.isatty():
                    print(f"\r{i}/{len(tasks)} runs", end="", file=sys.stderr, flush=True)
        if sys.stderr.isatty():
            print(file=sys.stderr)
        # The exact test here, in the main thread: it times sympy out with SIGALRM.
        for r in results:
            p = by_name[r["problem"]]
            r["recovered"] = r["expr_json"] is not None and refine_table.is_exact(
                {"expr": json.loads(r["expr_json"]), "r2_fresh": r["r2_fresh"]}, p, folder)
        if args.keep_data:
            with open(os.path.join(folder, "results.jsonl"), "w") as f:
                for r in results:
                    f.write(json.dumps(r) + "\n")
        report(results, budgets, levels, args, problems)
        with open("/proc/loadavg") as f:
            print(f"\nload average at the end: {' '.join(f.read().split()[:3])}")
    finally:
        if not args.keep_data:
            shutil.rmtree(folder, ignore_errors=True)
    return 1 if any(r["returncode"] != 0 for r in results) else 0


def report(results, budgets, levels, args, problems):
    laws = sorted({p["law"] for p in problems}, key=lambda n: refine_suite.law_names().index(n))
    rows = f"{args.rows} rows" if args.rows else "the suite's rows (Nguyen 20, Feynman 500, oscillation 200)"
    print(f"{len(laws)} laws, seeds {args.seeds}, {rows}")
    header = ["noise", "budget s", "recovered", "wall median", "wall p90", "time-limited", "failed"]
    widths = [6, 9, 16, 12, 9, 13]
    print(cli_bench.format_row(header, widths))
    for noise in levels:
        for b in budgets:
            rs = [r for r in results if r["noise"] == noise and r["budget"] == b]
            if not rs:
                continue
            walls = [r["wall"] for r in rs]
            k = sum(r["recovered"] for r in rs)
            print(cli_bench.format_row(
                [f"{noise:g}", f"{b:g}", f"{k}/{len(rs)} ({100.0 * k / len(rs):.0f}%)",
                 f"{statistics.median(walls):.2f}", f"{np.percentile(walls, 90):.2f}",
                 sum(r["stop_reason"] == "time limit" for r in rs),
                 sum(r["returncode"] != 0 for r in rs)], widths))
    failed = [r for r in results if r["returncode"] != 0]
    for r in failed[:5]:
        print(f"failed: {r['problem']} at {r['budget']:g} s: exit {r['returncode']}: {r['stderr']}")
    if args.detail:
        print()
        cols = [f"{n:g}/{b:g}s" for n in levels for b in budgets]
        width = max(len(law) for law in laws)
        print(cli_bench.format_row(["law"] + cols + [""], [width] + [max(7, len(c)) for c in cols]))
        for law in laws:
            cells = []
            for n in levels:
                for b in budgets:
                    rs = [r for r in results if r["law"] == law and r["noise"] == n and r["budget"] == b]
                    cells.append(f"{sum(r['recovered'] for r in rs)}/{len(rs)}" if rs else "-")
            print(cli_bench.format_row([law] + cells + [""], [width] + [max(7, len(c)) for c in cols]))


if __name__ == "__main__":
    sys.exit(main())
