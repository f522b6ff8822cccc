#!/usr/bin/python3
"""Prints the classic-against-refined table from refine_bench's JSON lines.

    /usr/bin/python3 bench/refine_table.py SUITE_DIR RESULTS.jsonl [--detail]

Columns: one per search; refined lines made with different operator sets
(refine_bench --operators, the set recorded in each line's "operators") get
one column per set, so several runs' lines may be concatenated into one file.

Rows, at each noise level the suite holds: exact recovery and median R2 on
fresh points of the second benchmark's groups (Published, Lab: all laws and
those with a non-integer power), and
fresh points of the Nguyen laws (those without sin and cos, as in the tables
before sin and cos came; those with them; all 12), of the Feynman laws (the
original 28; the added ones the old operators can write; those needing sin,
cos or tanh; all of them) and of the damped oscillation exp(-a*t)*cos(b*t),
with the a and b each run fitted; the share of formulas not finite on some
fresh point for each group's first subset; then pure noise, diabetes and time.
A subset holding the same problems as one above it at that level is left out.
--detail adds exact recoveries per law and the operators each law needs.

Exact recovery. A formula counts as the law when, with its fitted constants
rounded as below, sympy proves it equal to the ground truth:

  1. The tree's JSON (exact double constants) becomes a sympy expression over
     real symbols (positive where the feature's range is), so that numeric
     factors of a product merge into one coefficient as sympy builds it.
     Sin, Cos, Tanh and Abs become sympy's sin, cos, tanh and Abs.
  2. A constant of magnitude at most tol whose removal (set to 0) changes
     the formula's value on no fresh point by more than tol times the root
     mean square of the truth there is set to 0: what the fit left of a term that should vanish
     (r + 4e-17, 1e-16 * x). Constants are tried from the smallest up, each against the
     unchanged formula.
  3. Each other floating constant c is replaced by the nearest "nice" value v with
     |c - v| <= tol * |v|: first the numbers of the truth (every numeric
     coefficient and atom, exp(c) of each exp(c + ...) in it, their
     reciprocals and negatives, times p/q with
     |p|, q <= 6), then the nearest of the rationals p/q with |p| <= 24,
     q <= 12 and the multiples pi*p/q with |p| <= 12, q <= 6 (a phase of
     pi/2 turns sin into cos as sympy builds the expression). Unmatched
     constants stay as they are, so a term that is tiny but depends on the
     features (1e-15 * x, exp(-35 - x)) keeps the formula from being the law.
  4. Exact when simplify(candidate - truth) is 0, or is a number of at most
     tol times the root mean square of the truth on the fresh points (an
     offset from the output scaling), or simplify(candidate / truth) is a
     number within tol of 1, or is once powers are merged as if every base
     were positive (sqrt(a)*sqrt(1/a) = 1: true where both formulas are real,
     which the fresh points check). The same is tried on the expanded candidate.
     A candidate whose values on the fresh points meet neither test is
     refused without asking sympy.

  5. Outside the sampled box: on up to 1000 points of the problem's
     extrapolation box (the manifest's "extrapolation" ranges; else each range
     widened by half its width on each side, a non-negative feature kept
     non-negative) that lie outside the sampled ranges, the formula as fitted
     (no constant rounded or dropped) is compared with the clean law where the
     law is finite: the root mean square of their difference over that of the
     law must be at most 2 * tol, and the formula finite on each point. A
     near-exact approximant in range, or a term the tolerance of steps 2 to 4
     let pass that grows outside, fails here. The table counts the formulas
     that pass steps 1 to 4 and fail this one ("exact in range, refused
     outside it"); --detail lists them.

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
import zlib

import numpy as np
import sympy as sp
from sympy.simplify.fu import TR8

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
        return tree_to_sympy(arg[0], symbols) ** power_exponent(arg[1], symbols)
    child = tree_to_sympy(arg, symbols)
    functions = {"Exp": sp.exp, "Log": sp.log, "Sqrt": sp.sqrt, "Sin": sp.sin, "Cos": sp.cos, "Tanh": sp.tanh,
                 "Abs": sp.Abs}
    return functions[kind](child)


def power_exponent(exponent, symbols):
    """A Pow's exponent: a whole number, a real one or (a tree) a fitted node."""
    if isinstance(exponent, dict):
        return tree_to_sympy(exponent, symbols)
    return sp.Integer(int(exponent)) if float(exponent).is_integer() else sp.Float(exponent, 17)


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
        if isinstance(node, sp.exp):
            # sympy splits a fitted exp(3.0 - 1.5 x) into 20.09 exp(-1.5 x).
            shift = node.args[0].as_independent(*syms, as_Add=True)[0]
            if shift.is_number and shift != 0:
                found.add(sp.exp(shift))
    base = set()
    for n in found:
        for m in (n, 1 / n):
            base.add(sp.nsimplify(m) if m.is_Rational else m)
    # The law's own numbers first: at 1% a constant is often as near a small
    # multiple of another of them (0.5783 and 0.5770 = (2/5)^(3/5) are both
    # within 1% of 2^(2/5)·5^(3/5)/6).
    own = {s * n for n in base for s in (1, -1)}
    out = set()
    for n in base:
        for p in range(1, 7):
            for q in range(1, 7):
                for s in (1, -1):
                    out.add(s * n * sp.Rational(p, q))
    order = lambda v: (sp.count_ops(v), float(abs(v)))
    return [sorted(own, key=order), sorted(out - own, key=order)]


SMALL_RATIONALS = sorted({sp.Rational(p, q) for p in range(-24, 25) for q in range(1, 13)} - {0},
                         key=lambda v: (v.q, abs(v.p)))
PI_MULTIPLES = sorted({sp.pi * sp.Rational(p, q) for p in range(-12, 13) for q in range(1, 7)} - {0},
                      key=lambda v: float(abs(v)))
NICE_NUMBERS = SMALL_RATIONALS + PI_MULTIPLES


def snap(value, tol, truth_nums):
    c = float(value)
    best = None
    for group in (*truth_nums, NICE_NUMBERS):
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


def point_values(expr, points):
    """expr's values on the points (feature name -> values), None when some
    value is not finite."""
    # Setting a constant to 0 can leave a division by zero, which sympy folds
    # into zoo; lambdify cannot print that.
    if expr.has(sp.zoo, sp.oo, -sp.oo, sp.nan):
        return None
    names = sorted(points)
    by_name = {s.name: s for s in expr.free_symbols}
    args = [by_name.get(n, sp.Symbol(n)) for n in names]
    cols = [np.asarray(points[n], dtype=float) for n in names]
    with np.errstate(all="ignore"):
        try:
            v = np.asarray(sp.lambdify(args, expr, modules="numpy")(*cols))
        # A deeply nested expansion is past what Python compiles.
        except (TypeError, ValueError, ZeroDivisionError, RecursionError):
            return None
    # A complex value (log of a negative constant, which sympy evaluates as
    # it builds the expression) is as unusable as a NaN.
    if np.iscomplexobj(v):
        if np.any(v.imag != 0):
            return None
        v = v.real
    v = np.broadcast_to(np.asarray(v, dtype=float), cols[0].shape)
    return v if np.all(np.isfinite(v)) else None


def drop_negligible(expr, tol, bound, points):
    """expr with the constants of magnitude at most tol set to 0 that move it by
    at most bound on the points."""
    if not points:
        return expr
    base = point_values(expr, points)
    if base is None:
        return expr
    out = expr
    for c in sorted(expr.atoms(sp.Float), key=lambda v: abs(float(v))):
        if abs(float(c)) > tol:
            break
        trial = out.xreplace({c: 0})
        v = point_values(trial, points)
        if v is not None and np.max(np.abs(v - base)) <= bound:
            out = trial
    return out


def ruled_out(snapped, truth, tol, truth_rms, points):
    """True when the values on the points show that neither test of step 4 can
    hold: a proof there means the values agree, up to rounding, as an offset of
    at most tol * truth_rms or as a ratio within tol of 1. Saves sympy the
    search for a proof of what is false."""
    if not points:
        return False
    v, t = point_values(snapped, points), point_values(truth, points)
    if v is None or t is None:
        return False
    # Generous room for rounding in either evaluation.
    slack = 1e-6 * float(np.max(np.abs(t)))
    if np.max(np.abs(v - t)) <= 2 * tol * truth_rms + slack:
        return False
    nonzero = np.abs(t) > slack
    if np.any(nonzero) and np.max(np.abs(v[nonzero] / t[nonzero] - 1)) <= 2 * tol + 1e-6:
        return False
    return True


def equals_law(candidate, truth, tol, truth_rms, points=None):
    """True when the candidate, its constants rounded, is the law (see the docstring).

    points: feature name -> values of the fresh points, for steps 2 and 4."""
    nums = truth_numbers(truth)
    signal.signal(signal.SIGALRM, _alarm)
    signal.alarm(CHECK_SECONDS)
    try:
        candidate = drop_negligible(candidate, tol, tol * truth_rms, points)
        for form in (candidate, sp.expand(candidate)):
            snapped = form.xreplace({f: snap(f, tol, nums) for f in form.atoms(sp.Float)})
            if ruled_out(snapped, truth, tol, truth_rms, points):
                continue
            diff = sp.simplify(snapped - truth)
            if not diff.is_number:
                # x**(5/2) - x**2.5 stays as it is: compare with the law's
                # float exponents (and the snapped ones) as fractions.
                diff = sp.simplify(sp.nsimplify(snapped, rational=True) - sp.nsimplify(truth, rational=True))
            if diff == 0 or is_number_within(diff, tol * truth_rms):
                return True
            ratio = sp.simplify(snapped / truth)
            if is_number_within(ratio - 1, tol):
                return True
            # sqrt(c/(c - v**2/c)) is 1/sqrt(1 - v**2/c**2) only where the
            # radicands are positive, which sympy cannot know; the fresh
            # points, where both are real, already showed the values agree.
            real = points and point_values(snapped, points) is not None and point_values(truth, points) is not None
            if not ratio.is_number and real:
                forced = sp.simplify(sp.powsimp(sp.powdenest(ratio, force=True), force=True))
                if is_number_within(forced - 1, tol):
                    return True
        return False
    except Timeout:
        return False
    finally:
        signal.alarm(0)


def shown_to_sympy(text, symbols):
    """The displayed formula as sympy, None when it does not parse. The display
    writes a product's or a quotient's redundant constants as one (the tree
    may hold 1.44e-9*d1/(1.44e-9*n*d1/d2 + 1.44e-9) where it shows
    d1/(n*d1/d2 + 0.998)), and reads back to the tree within 1e-5 relative."""
    from sympy.parsing.sympy_parser import convert_xor, parse_expr, standard_transformations
    names = dict(symbols)
    names.update({"exp": sp.exp, "log": sp.log, "sqrt": sp.sqrt, "sin": sp.sin, "cos": sp.cos,
                  "tanh": sp.tanh, "abs": sp.Abs, "pi": sp.pi})
    try:
        out = parse_expr(text, local_dict=names, transformations=standard_transformations + (convert_xor,))
    except Exception:  # the display's syntax beyond sympy's: judge the tree alone
        return None
    return out.xreplace({n: sp.Float(n, 17) for n in out.atoms(sp.Number) if not n.is_Integer}) \
        if set(map(str, out.free_symbols)) <= set(symbols) else None


def read_fresh(path):
    """(feature name -> values, root mean square of the target) of a fresh-points CSV."""
    with open(path) as f:
        rows = list(csv.reader(f))
    data = np.array([[float(v) for v in r] for r in rows[1:]])
    points = {name: data[:, j] for j, name in enumerate(rows[0][:-1])}
    return points, float(np.sqrt(np.mean(data[:, -1] ** 2)))


def evaluate_tree(node, points):
    """The tree's values on the points (feature name -> values) as the engine
    computes them: NaN where a function is undefined."""
    (kind, arg), = node.items()
    if kind == "Const":
        return float("nan") if arg is None else float(arg)
    if kind == "Feature":
        return points[arg]
    if kind == "Bin":
        op, a, b = arg
        a, b = evaluate_tree(a, points), evaluate_tree(b, points)
        if op == "Add":
            return a + b
        if op == "Sub":
            return a - b
        if op == "Mul":
            return a * b
        return np.where(np.abs(b) < 1e-300, np.nan, a / np.where(b == 0, 1.0, b))
    if kind == "Pow":
        e = arg[1]
        e = evaluate_tree(e, points) if isinstance(e, dict) else float(e)
        return np.power(evaluate_tree(arg[0], points), e)
    x = evaluate_tree(arg, points)
    functions = {"Exp": np.exp, "Log": np.log, "Sqrt": np.sqrt, "Sin": np.sin, "Cos": np.cos, "Tanh": np.tanh,
                 "Abs": np.abs}
    return functions[kind](x)


EXTRAPOLATION_POINTS = 1000


def extrapolation_box(problem):
    """[low, high] of each feature where the law is compared outside the
    sampled box: the manifest's, else refine_suite's (for manifests written
    before it recorded them)."""
    if problem.get("extrapolation"):
        return problem["extrapolation"]
    import refine_suite

    own = refine_suite.EXTRAPOLATION.get(problem.get("law"), {})
    return [own.get(n) or refine_suite.widened(lo, hi) for n, (lo, hi) in zip(problem["features"], problem["ranges"])]


def extrapolation_points(problem):
    """Up to EXTRAPOLATION_POINTS points of the extrapolation box outside the
    sampled box, the same for every run of the problem's law."""
    ranges = np.array(problem["ranges"], dtype=float)
    box = np.array(extrapolation_box(problem), dtype=float)
    rng = np.random.default_rng(zlib.crc32((problem.get("law") or problem["truth"]).encode()))
    kept = []
    for _ in range(50):
        x = rng.uniform(box[:, 0], box[:, 1], (4 * EXTRAPOLATION_POINTS, len(box)))
        outside = np.any((x < ranges[:, 0]) | (x > ranges[:, 1]), axis=1)
        kept.append(x[outside])
        if sum(len(k) for k in kept) >= EXTRAPOLATION_POINTS:
            break
    x = np.concatenate(kept)[:EXTRAPOLATION_POINTS]
    return {n: x[:, j] for j, n in enumerate(problem["features"])}


def extrapolation_error(tree, truth, points):
    """Root mean square of formula minus law over that of the law, on the
    points where the law is finite; infinite when the formula is not finite
    on one of them, None when the law is finite on none."""
    t = point_values_where_finite(truth, points)
    keep = np.isfinite(t)
    if not np.any(keep):
        return None
    with np.errstate(all="ignore"):
        v = np.broadcast_to(np.asarray(evaluate_tree(tree, points), dtype=float), t.shape)[keep]
    t = t[keep]
    if not np.all(np.isfinite(v)):
        return math.inf
    scale = math.sqrt(float(np.mean(t ** 2)))
    return math.sqrt(float(np.mean((v - t) ** 2))) / scale if scale > 0 else math.inf


def point_values_where_finite(expr, points):
    """expr's values on the points, NaN where it is not finite or not real."""
    names = sorted(points)
    by_name = {s.name: s for s in expr.free_symbols}
    cols = [np.asarray(points[n], dtype=float) for n in names]
    with np.errstate(all="ignore"):
        v = np.asarray(sp.lambdify([by_name.get(n, sp.Symbol(n)) for n in names], expr, modules="numpy")(*cols))
    if np.iscomplexobj(v):
        v = np.where(v.imag == 0, v.real, np.nan)
    v = np.array(np.broadcast_to(np.asarray(v, dtype=float), cols[0].shape))
    v[~np.isfinite(v)] = np.nan
    return v


# Outside the sampled box a formula may differ from the law by twice the
# tolerance its constants have (room for the extrapolation to magnify a
# constant's error, as ruled_out allows twice the tolerance for rounding).
EXTRAPOLATION_FACTOR = 2


def judge(result, problem, suite):
    """(exact, exact in range): exact in range is the symbolic test alone;
    exact also asks the formula to follow the law outside the sampled box."""
    if problem["truth"] is None or result.get("error"):
        return False, False
    r2 = result.get("r2_fresh")
    if r2 is None or r2 < 0.99:
        return False, False
    symbols = make_symbols(problem["features"], problem.get("ranges"))
    truth = sp.sympify(problem["truth"], locals=dict(symbols))
    candidate = tree_to_sympy(result["expr"], symbols)
    tol = 1e-6 if problem["noise"] == 0 else problem["noise"]
    points, rms = read_fresh(f"{suite}/{problem['fresh']}")
    if not equals_law(candidate, truth, tol, rms, points):
        # The displayed form is the same function with fewer constants: under
        # noise the tree's redundant constants can hide the law it writes, and
        # a phase such as cos(54.9779 + t), written sin(t), is no rounding's.
        # The check outside the box still reads the tree.
        shown = shown_to_sympy(result.get("formula", ""), symbols)
        if shown is None or not equals_law(shown, truth, tol, rms, points):
            return False, False
    err = extrapolation_error(result["expr"], truth, extrapolation_points(problem))
    result["extrapolation_error"] = err
    return err is None or err <= EXTRAPOLATION_FACTOR * tol, True


def is_exact(result, problem, suite):
    return judge(result, problem, suite)[0]


def oscillation_parameters(expr, name="t"):
    """(a, b) of a formula of the form c * exp(-a*t)^k * f(sin, cos of b*t):
    a from the slope in t of the one exp's argument, when that exp (or a power
    of it) is a factor of the whole formula; b the size of the slope in t of
    the one sin or cos argument once products and powers of sines and cosines
    are written as sums (1 - 2 sin(b t/2)^2 is cos(b t)). None for either that
    is missing, not linear in t, not alone, or (a) not a factor."""
    t = next((s for s in expr.free_symbols if s.name == name), None)
    if t is None:
        return None, None

    def slope(e):
        d = sp.diff(e.args[0], t)
        return float(d) if d.is_number and d != 0 else None

    a = None
    exps = [e for e in expr.atoms(sp.exp) if e.args[0].has(t)]
    if len(exps) == 1 and slope(exps[0]) is not None:
        z = sp.Dummy("z")
        factor = expr.xreplace({exps[0]: z}).as_independent(z, as_Add=False)[1]
        power = sp.Integer(1) if factor == z else (factor.exp if factor.is_Pow and factor.base == z else None)
        if power is not None and power.is_number:
            a = -float(power) * slope(exps[0])
    freqs = {abs(f) for f in map(slope, TR8(expr).atoms(sp.sin, sp.cos)) if f is not None}
    b = freqs.pop() if len(freqs) == 1 else None
    return a, b


def operators_needed(problem):
    """The operators beyond the old set that the law needs (older manifests
    only say whether it needs sin or cos)."""
    if "operators_needed" in problem:
        return problem["operators_needed"]
    return ["cos", "sin"] if problem.get("needs_trig") else []


def has_real_power(problem):
    """True when the law raises something to a non-integer power (sqrt included)."""
    truth = sp.sympify(problem["truth"], locals={n: sp.Symbol(n) for n in problem["features"]})
    return any(not e.exp.is_integer for e in truth.atoms(sp.Pow) if e.exp.is_number and e.base.free_symbols)


def law_subsets(group, problems):
    """(label, predicate) of the law subsets the table reports for the group."""
    laws = {p["law"]: p for p in problems.values() if p["group"] == group}

    def label(text, pred):
        return f"{text} ({sum(1 for p in laws.values() if pred(p))})"

    needs = lambda p: bool(operators_needed(p))
    if group == "Nguyen":
        subsets = [("Nguyen without sin and cos", lambda p: not needs(p)),
                   ("Nguyen needing sin or cos", needs),
                   ("Nguyen, all", lambda p: True)]
    elif group == "Feynman":
        original = lambda p: not p.get("extended", False)
        subsets = [("Feynman, original", original),
                   ("Feynman, added, old operators", lambda p: not original(p) and not needs(p)),
                   ("Feynman needing sin, cos or tanh", needs),
                   ("Feynman, all", lambda p: True)]
    elif group in ("Published", "Lab"):
        subsets = [(f"{group}, all", lambda p: True),
                   (f"{group} with a non-integer power", has_real_power)]
    elif group == "Oscillation":
        subsets = [("Damped oscillation", lambda p: True)]
    else:
        subsets = [(group, lambda p: True)]
    return [(label(text, pred), pred) for text, pred in subsets if any(pred(p) for p in laws.values())]


def column_names(results):
    """Column label -> result lines: one column per search, the refined search
    split by operator set when the lines hold more than one."""
    columns = {}
    for search in ("classic", "refined"):
        lines = [r for r in results if r["search"] == search]
        sets = sorted({r.get("operators") or "" for r in lines})
        for ops in sets:
            label = search if len(sets) == 1 else f"{search} `{ops or 'set not recorded'}`"
            columns[label] = [r for r in lines if (r.get("operators") or "") == ops]
    return columns


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


def fmt_parameters(runs, problems):
    """The a and b each run fitted, in seed order ("?" where not found)."""
    out = []
    for r in sorted(runs, key=lambda r: problems[r["problem"]]["seed"]):
        if r.get("error"):
            out.append("error")
            continue
        p = problems[r["problem"]]
        symbols = make_symbols(p["features"], p.get("ranges"))
        a, b = oscillation_parameters(tree_to_sympy(r["expr"], symbols))
        out.append(f"a={'?' if a is None else f'{a:.4g}'} b={'?' if b is None else f'{b:.4g}'}")
    return ", ".join(out) if out else "-"


LAW_GROUPS = ("Nguyen", "Feynman", "Oscillation", "Published", "Lab")


def percentile(values, q):
    return float(np.percentile(values, q)) if values else math.nan


def print_by_seed(columns, problems):
    """Exact recovery, seconds and generations of the law problems per search,
    noise level and seed, when the suite holds more than one seed."""
    laws = {n: p for n, p in problems.items() if p["group"] in LAW_GROUPS}
    if len({p["seed"] for p in laws.values()}) < 2:
        return
    print()
    print("| search | noise | seed | exact | seconds: median | seconds: 90th percentile | generations: median |")
    print("|---|---|---|---|---|---|---|")
    for label, by_name in columns.items():
        for level, seed in sorted({(p["noise"], p["seed"]) for p in laws.values()}):
            runs = [r for n, r in by_name.items() if n in laws and (laws[n]["noise"], laws[n]["seed"]) == (level, seed)]
            if not runs:
                continue
            secs = [r.get("seconds", 0) for r in runs]
            gens = [r["generations"] for r in runs if "generations" in r]
            gen = f"{statistics.median(gens):.0f}" if gens else "-"
            print(f"| {label} | {level:g} | {seed} | {pct(sum(r['exact'] for r in runs), len(runs))} | "
                  f"{statistics.median(secs):.1f} | {percentile(secs, 90):.1f} | {gen} |")


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("suite")
    ap.add_argument("results")
    ap.add_argument("--detail", action="store_true", help="exact recoveries per law as well")
    args = ap.parse_args()

    problems = {p["name"]: p for p in json.load(open(f"{args.suite}/manifest.json"))}
    lines = [json.loads(line) for line in open(args.results) if line.strip()]
    for r in lines:
        r["exact"], r["exact_in_range"] = judge(r, problems[r["problem"]], args.suite)
    columns = {}  # column -> problem name -> result
    for label, rs in column_names(lines).items():
        columns[label] = {r["problem"]: r for r in rs}
    searches = list(columns)

    def select(search, pred):
        return [r for name, r in columns[search].items() if pred(problems[name])]

    levels = sorted({p["noise"] for p in problems.values() if p["group"] in LAW_GROUPS})
    head = "| measure | " + " | ".join(searches) + " |"
    print(head)
    print("|" + "---|" * (len(searches) + 1))

    def row(label, cell):
        print(f"| {label} | " + " | ".join(cell(s) for s in searches) + " |")

    for group in LAW_GROUPS:
        subsets = law_subsets(group, problems)
        for level in levels:
            shown = set()
            for label, pred in subsets:
                at = lambda p, g=group, n=level, pr=pred: p["group"] == g and p["noise"] == n and pr(p)
                names = frozenset(n for n, p in problems.items() if at(p))
                runs = {s: select(s, at) for s in searches}
                # A subset equal to one shown already at this level (at 10% only
                # the original laws are run) says nothing new.
                if not names or names in shown or not any(runs.values()):
                    continue
                shown.add(names)
                tag = f"{label}, noise {level:g}"
                row(f"{tag}: exact recovery", lambda s: pct(sum(r["exact"] for r in runs[s]), len(runs[s])))
                if any(r["exact_in_range"] and not r["exact"] for rs in runs.values() for r in rs):
                    row(f"{tag}: exact in range, refused outside it",
                        lambda s: str(sum(r["exact_in_range"] and not r["exact"] for r in runs[s])))
                row(f"{tag}: median R2 fresh", lambda s: fmt_r2([r2_value(r) for r in runs[s]]))
                if len(shown) == 1:
                    row(f"{tag}: formula non-finite on fresh points",
                        lambda s: pct(sum(r2_value(r) == -math.inf for r in runs[s]), len(runs[s])))
                if group == "Oscillation":
                    truth = next(p for p in problems.values() if at(p)).get("parameters", {})
                    row(f"{tag}: fitted a, b (truth a={truth.get('a')}, b={truth.get('b')})",
                        lambda s: fmt_parameters(runs[s], problems))

    noise = {s: select(s, lambda p: p["group"] == "Noise") for s in searches}
    if any(noise.values()):
        row("pure noise: false Strong",
            lambda s: pct(sum(r.get("verdict") == "Strong" for r in noise[s]), len(noise[s])))
    diabetes = [p for p in problems.values() if p["group"] == "Diabetes"]
    if diabetes:
        d = diabetes[0]
        row(f"diabetes: test R2 (linear least squares {d['linear_test_r2']:.4f})",
            lambda s: fmt_r2([r2_value(r) for r in select(s, lambda p: p["group"] == "Diabetes")]))
        row("diabetes: formula",
            lambda s: "`" + columns[s].get(d["name"], {}).get("formula", "-").replace("|", "\\|") + "`")
    row("seconds per discovery: median",
        lambda s: f"{statistics.median(r.get('seconds', 0) for r in columns[s].values()):.3f}")
    row("seconds per discovery: 90th percentile",
        lambda s: f"{percentile([r.get('seconds', 0) for r in columns[s].values()], 90):.3f}")
    row("seconds per discovery: max", lambda s: f"{max(r.get('seconds', 0) for r in columns[s].values()):.3f}")
    row("seconds: all discoveries", lambda s: f"{sum(r.get('seconds', 0) for r in columns[s].values()):.0f}")
    generations = {s: [r["generations"] for r in columns[s].values() if "generations" in r] for s in searches}
    if any(generations.values()):
        row("generations: median (90th percentile)",
            lambda s: f"{statistics.median(generations[s]):.0f} ({percentile(generations[s], 90):.0f})"
            if generations[s] else "-")
    errors = {s: sum(1 for r in columns[s].values() if r.get("error")) for s in searches}
    if any(errors.values()):
        row("runs that threw", lambda s: str(errors[s]))

    print_by_seed(columns, problems)

    try:
        left_out = json.load(open(f"{args.suite}/left_out.json"))
    except FileNotFoundError:
        left_out = []
    if left_out:
        print()
        print("Feynman laws left out, the engine lacking what they need: " +
              ", ".join(f"{x['law']} `{x['truth']}` ({x['needs']})" for x in left_out) + ".")

    if args.detail:
        print()
        cells_head = [f"{s} exact, noise {n:g}" for s in searches for n in levels]
        print("| law | needs | " + " | ".join(cells_head) + " |")
        print("|" + "---|" * (len(cells_head) + 2))
        laws = {(p["group"], p["law"]): p for p in problems.values() if p["group"] in LAW_GROUPS}
        for (group, law) in sorted(laws, key=lambda k: (LAW_GROUPS.index(k[0]), natural(k[1]))):
            needs = ", ".join(operators_needed(laws[(group, law)])) or "-"
            cells = []
            for s in searches:
                for n in levels:
                    runs = select(s, lambda p: p["group"] == group and p["law"] == law and p["noise"] == n)
                    cells.append(f"{sum(r['exact'] for r in runs)}/{len(runs)}" if runs else "-")
            print(f"| {law} | {needs} | " + " | ".join(cells) + " |")
        print()
        for n in levels:
            errs = [r["extrapolation_error"] for r in lines if r["exact"] and r.get("extrapolation_error") is not None
                    and problems[r["problem"]]["noise"] == n]
            if errs:
                print(f"Exact at noise {n:g}: relative error outside the sampled box at most {max(errs):.3g} "
                      f"(median {statistics.median(errs):.3g}; limit {EXTRAPOLATION_FACTOR * (n or 1e-6):g}).")
        refused = [r for r in lines if r["exact_in_range"] and not r["exact"]]
        if refused:
            print()
            print("Exact in range, refused outside it (relative RMS error outside the sampled box):")
            print()
            for r in sorted(refused, key=lambda r: (r["search"], natural(r["problem"]))):
                print(f"- {r['search']} {r['problem']}: {r['extrapolation_error']:.3g}, "
                      f"`{r.get('formula', '-')}`")
    return 0


if __name__ == "__main__":
    sys.exit(main())
