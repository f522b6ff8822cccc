#!/usr/bin/python3
"""Prints the classic-against-refined table from refine_bench's JSON lines.

    /usr/bin/python3 bench/refine_table.py SUITE_DIR RESULTS.jsonl [--detail]

Exact recovery. A formula counts as the law when, with its fitted constants
rounded as below, sympy proves it equal to the ground truth:

  1. The tree's JSON (exact double constants) becomes a sympy expression over
     real symbols (positive where the feature's range is), so that numeric
     factors of a product merge into one coefficient as sympy builds it.
  2. A constant of magnitude at most tol whose removal (set to 0) changes
     the formula's value on no fresh point by more than tol times the root
     mean square of the truth there is set to 0: what the fit left of a term that should vanish
     (r + 4e-17, 1e-16 * x). Constants are tried from the smallest up, each against the
     unchanged formula.
  3. Each other floating constant c is replaced by the nearest "nice" value v with
     |c - v| <= tol * |v|: first the numbers of the truth (every numeric
     coefficient and atom, their reciprocals and negatives, times p/q with
     |p|, q <= 6), then rationals p/q with |p| <= 24, q <= 12. Unmatched
     constants stay as they are, so a term that is tiny but depends on the
     features (1e-15 * x, exp(-35 - x)) keeps the formula from being the law.
  4. Exact when simplify(candidate - truth) is 0, or is a number of at most
     tol times the root mean square of the truth on the fresh points (an
     offset from the output scaling), or simplify(candidate / truth) is a
     number within tol of 1. The same is tried on the expanded candidate.

  tol is 1e-6 for noiseless data and the noise level otherwise (0.01, 0.1):
  with noise the fitted constants cannot be closer than the noise allows, so
  at 1% and 10% "exact" means the law's structure with constants near the
  law's. Formulas whose R2 on the fresh points is below 0.99 are not checked
  (they cannot be the law); a check that takes sympy over 20 s counts as not
  exact.

R2 on fresh points: a formula not finite on some fresh point fails there and
counts as minus infinity in the median ("fail" when the median is a failure).
"""

import argparse
import collections
import csv
import json
import math
import re
import signal
import statistics
import sys

import numpy as np
import sympy as sp

CHECK_SECONDS = 20


def tree_to_sympy(node, symbols):
    (kind, arg), = node.items()
    if kind == "Const":
        return sp.Float(float("nan") if arg is None else arg, 17)
    if kind == "Feature":
        return symbols.setdefault(arg, sp.Symbol(arg, real=True))
    if kind == "Bin":
        op, a, b = arg
        a, b = tree_to_sympy(a, symbols), tree_to_sympy(b, symbols)
        if op == "Add":
            return a + b
        if op == "Sub":
            return a - b
        return a * b if op == "Mul" else a / b
    if kind == "Pow":
        return tree_to_sympy(arg[0], symbols) ** int(arg[1])
    child = tree_to_sympy(arg, symbols)
    return {"Exp": sp.exp, "Log": sp.log, "Sqrt": sp.sqrt, "Sin": sp.sin, "Cos": sp.cos,
            "Tanh": sp.tanh, "Abs": sp.Abs}[kind](child)


def make_symbols(features, ranges):
    out = {}
    for i, name in enumerate(features):
        positive = ranges is not None and ranges[i][0] >= 0
        out[name] = sp.Symbol(name, positive=True) if positive else sp.Symbol(name, real=True)
    return out


def truth_numbers(truth):
    """Numbers a fitted constant may stand for: those of the law and simple multiples."""
    found = set()
    syms = sorted(truth.free_symbols, key=str)
    for node in sp.preorder_traversal(truth):
        if node.is_number and node != 0:
            found.add(node)
        elif isinstance(node, (sp.Mul, sp.Add)):
            coeff = node.as_independent(*syms)[0]
            if coeff.is_number and coeff != 0:
                found.add(coeff)
    base = set()
    for n in found:
        for m in (n, 1 / n):
            base.add(sp.nsimplify(m) if m.is_Rational else m)
    out = set()
    for n in base:
        for p in range(1, 7):
            for q in range(1, 7):
                for s in (1, -1):
                    out.add(s * n * sp.Rational(p, q))
    return sorted(out, key=lambda v: (sp.count_ops(v), float(abs(v))))


SMALL_RATIONALS = sorted({sp.Rational(p, q) for p in range(-24, 25) for q in range(1, 13)} - {0},
                         key=lambda v: (v.q, abs(v.p)))


def snap(value, tol, truth_nums):
    c = float(value)
    best = None
    for group in (truth_nums, SMALL_RATIONALS):
        for v in group:
            fv = float(v)
            err = abs(c - fv) / abs(fv)
            if err <= tol and (best is None or err < best[0]):
                best = (err, v)
        if best is not None:
            return best[1]
    return value


class Timeout(Exception):
    pass


def _alarm(signum, frame):
    raise Timeout()


def is_number_within(expr, bound):
    if expr.free_symbols:
        return False
    try:
        v = complex(sp.N(expr))
    except (TypeError, ValueError):
        return False
    return abs(v) <= bound


def drop_negligible(expr, tol, bound, points):
    """expr with the constants of magnitude at most tol set to 0 that move it by
    at most bound on the points."""
    if not points:
        return expr
    names = sorted(points)
    by_name = {s.name: s for s in expr.free_symbols}
    args = [by_name.get(n, sp.Symbol(n)) for n in names]
    cols = [np.asarray(points[n], dtype=float) for n in names]

    def values(e):
        with np.errstate(all="ignore"):
            return np.broadcast_to(np.asarray(sp.lambdify(args, e, modules="numpy")(*cols), dtype=float),
                                   cols[0].shape)

    base = values(expr)
    if not np.all(np.isfinite(base)):
        return expr
    out = expr
    for c in sorted(expr.atoms(sp.Float), key=lambda v: abs(float(v))):
        if abs(float(c)) > tol:
            break
        trial = out.xreplace({c: 0})
        v = values(trial)
        if np.all(np.isfinite(v)) and np.max(np.abs(v - base)) <= bound:
            out = trial
    return out


def equals_law(candidate, truth, tol, truth_rms, points=None):
    """True when the candidate, its constants rounded, is the law (see the docstring).

    points: feature name -> values of the fresh points, for step 2."""
    nums = truth_numbers(truth)
    signal.signal(signal.SIGALRM, _alarm)
    signal.alarm(CHECK_SECONDS)
    try:
        candidate = drop_negligible(candidate, tol, tol * truth_rms, points)
        for form in (candidate, sp.expand(candidate)):
            snapped = form.xreplace({f: snap(f, tol, nums) for f in form.atoms(sp.Float)})
            diff = sp.simplify(snapped - truth)
            if diff == 0 or is_number_within(diff, tol * truth_rms):
                return True
            ratio = sp.simplify(snapped / truth)
            if is_number_within(ratio - 1, tol):
                return True
        return False
    except Timeout:
        return False
    finally:
        signal.alarm(0)


def read_fresh(path):
    """(feature name -> values, root mean square of the target) of a fresh-points CSV."""
    with open(path) as f:
        rows = list(csv.reader(f))
    data = np.array([[float(v) for v in r] for r in rows[1:]])
    points = {name: data[:, j] for j, name in enumerate(rows[0][:-1])}
    return points, float(np.sqrt(np.mean(data[:, -1] ** 2)))


def is_exact(result, problem, suite):
    if problem["truth"] is None or problem["needs_trig"] or result.get("error"):
        return False
    r2 = result.get("r2_fresh")
    if r2 is None or r2 < 0.99:
        return False
    symbols = make_symbols(problem["features"], problem.get("ranges"))
    truth = sp.sympify(problem["truth"], locals=dict(symbols))
    candidate = tree_to_sympy(result["expr"], symbols)
    tol = 1e-6 if problem["noise"] == 0 else problem["noise"]
    points, rms = read_fresh(f"{suite}/{problem['fresh']}")
    return equals_law(candidate, truth, tol, rms, points)


def natural(name):
    """'I.6.2a' before 'I.10.7', 'Nguyen-2' before 'Nguyen-11'."""
    return [int(part) if part.isdigit() else part for part in re.split(r"(\d+)", name)]


def r2_value(result):
    r2 = result.get("r2_fresh")
    return -math.inf if r2 is None else r2


def fmt_r2(values):
    if not values:
        return "-"
    m = statistics.median(values)
    return "fail" if m == -math.inf else f"{m:.4f}"


def pct(num, den):
    return f"{num}/{den} ({100.0 * num / den:.0f}%)" if den else "-"


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("suite")
    ap.add_argument("results")
    ap.add_argument("--detail", action="store_true", help="exact recoveries per law as well")
    args = ap.parse_args()

    problems = {p["name"]: p for p in json.load(open(f"{args.suite}/manifest.json"))}
    results = collections.defaultdict(dict)  # search -> problem name -> result
    for line in open(args.results):
        if line.strip():
            r = json.loads(line)
            results[r["search"]][r["problem"]] = r
    searches = [s for s in ("classic", "refined") if s in results]
    for s in searches:
        for name, r in results[s].items():
            r["exact"] = is_exact(r, problems[name], args.suite)

    def select(search, pred):
        return [r for name, r in results[search].items() if pred(problems[name])]

    levels = sorted({p["noise"] for p in problems.values() if p["group"] in ("Nguyen", "Feynman")})
    head = "| measure | " + " | ".join(searches) + " |"
    print(head)
    print("|" + "---|" * (len(searches) + 1))

    def row(label, cell):
        print(f"| {label} | " + " | ".join(cell(s) for s in searches) + " |")

    for group in ("Nguyen", "Feynman"):
        for level in levels:
            pred = lambda p, g=group, n=level: p["group"] == g and p["noise"] == n and not p["needs_trig"]
            runs = {s: select(s, pred) for s in searches}
            if not any(runs.values()):
                continue
            tag = f"{group}, noise {level:g}"
            row(f"{tag}: exact recovery", lambda s: pct(sum(r["exact"] for r in runs[s]), len(runs[s])))
            row(f"{tag}: median R2 fresh", lambda s: fmt_r2([r2_value(r) for r in runs[s]]))
            row(f"{tag}: formula non-finite on fresh points",
                lambda s: pct(sum(r2_value(r) == -math.inf for r in runs[s]), len(runs[s])))
        trig = lambda p, g=group: p["group"] == g and p["needs_trig"]
        if any(select(s, trig) for s in searches):
            row(f"{group} needing trigonometry (all noise levels): median R2 fresh",
                lambda s: fmt_r2([r2_value(r) for r in select(s, trig)]))

    noise = {s: select(s, lambda p: p["group"] == "Noise") for s in searches}
    row("pure noise: false Strong", lambda s: pct(sum(r.get("verdict") == "Strong" for r in noise[s]), len(noise[s])))
    diabetes = [p for p in problems.values() if p["group"] == "Diabetes"]
    if diabetes:
        d = diabetes[0]
        row(f"diabetes: test R2 (linear least squares {d['linear_test_r2']:.4f})",
            lambda s: fmt_r2([r2_value(r) for r in select(s, lambda p: p["group"] == "Diabetes")]))
        row("diabetes: formula",
            lambda s: "`" + results[s].get(d["name"], {}).get("formula", "-").replace("|", "\\|") + "`")
    row("seconds per discovery: median", lambda s: f"{statistics.median(r.get('seconds', 0) for r in results[s].values()):.3f}")
    row("seconds per discovery: max", lambda s: f"{max(r.get('seconds', 0) for r in results[s].values()):.3f}")
    row("seconds: all discoveries", lambda s: f"{sum(r.get('seconds', 0) for r in results[s].values()):.0f}")
    errors = {s: sum(1 for r in results[s].values() if r.get("error")) for s in searches}
    if any(errors.values()):
        row("runs that threw", lambda s: str(errors[s]))

    if args.detail:
        print()
        print("| law | " + " | ".join(f"{s} exact, noise {n:g}" for s in searches for n in levels) + " |")
        print("|" + "---|" * (len(searches) * len(levels) + 1))
        laws = sorted({(p["group"], p["law"]) for p in problems.values()
                       if p["group"] in ("Nguyen", "Feynman") and not p["needs_trig"]},
                      key=lambda k: (k[0] != "Nguyen", natural(k[1])))
        for _, law in laws:
            cells = []
            for s in searches:
                for n in levels:
                    runs = select(s, lambda p: p["law"] == law and p["noise"] == n)
                    cells.append(f"{sum(r['exact'] for r in runs)}/{len(runs)}")
            print(f"| {law} | " + " | ".join(cells) + " |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
