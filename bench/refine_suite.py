#!/usr/bin/python3
"""Writes the problem set of the refined-against-classic benchmark.

    /usr/bin/python3 bench/refine_suite.py OUT_DIR [--quick] [--extended | --second] [--seeds N]

OUT_DIR receives one training CSV and one fresh-points CSV per problem
(header: the feature names, then the target column "target"; numbers in
shortest round-trip form) and manifest.json, a list of problems:

    name      unique, e.g. "I.12.2 noise=0.01 seed=2"
    group     "Nguyen", "Feynman", "Oscillation", "Noise", "Diabetes", or
              the second benchmark's "Published" and "Lab"
    law       the problem's name in its group ("Nguyen-7", "I.12.2", ...)
    truth     the ground truth as a sympy-parsable string over the feature
              names (null for pure noise and diabetes)
    features  feature names in column order
    ranges    [low, high] of each feature's uniform sampling (laws only)
    noise     Gaussian noise std as a fraction of the std of the clean target
    seed      the search seed (the data seed is derived from it)
    needs_trig  true when the law needs sin or cos
    operators_needed  the operators the law needs beyond + - * /, integer
              powers, exp, log and sqrt (the classic search's and the refined
              search's old set): a sorted list of "sin", "cos", "tanh", "abs"
    extended  true for the laws added to the first 12 Nguyen and 28 Feynman
              ones (the Feynman laws below the EXTENDED mark, the oscillation);
              the added Feynman laws and their ranges are the Feynman
              database's
    extrapolation  [low, high] of each feature where the judgement compares
              the formula with the law outside the sampled box; only for the
              laws whose default (each range widened by half its width on
              each side, a non-negative feature kept non-negative) leaves the
              law's domain or crosses a pole
    parameters  oscillation only: {"a": ..., "b": ...} of exp(-a*t)*cos(b*t)
    train, fresh  CSV file names inside OUT_DIR
    linear_test_r2  diabetes only: a least-squares line's R2 on the test rows

OUT_DIR also receives left_out.json: the Feynman laws the engine cannot write
(they need arcsin), as a list of {"law", "truth", "needs"}.

Fresh points come from the same ranges as the training rows and carry the
clean law (no noise), so R2 on them measures the law, not the noise. For pure
noise they are new independent draws; for diabetes they are the held-out rows.

Noise levels: the first 12 Nguyen and 28 Feynman laws at 0, 1% and 10%; the
added laws at 0 and 1% only. Problems that were in the set before the added
laws keep their names and data (each law's data seed is its index in its list,
and the added laws come after the first ones).

--quick     noise 0 only, one seed, 5 pure-noise sets and diabetes.
--extended  the laws only (Nguyen, every Feynman law, the oscillation) at
            noise 0 and 1% (noise 0 alone with --quick): no pure noise, no
            diabetes.
--second    the second benchmark instead (bench/second_laws.py: 24 laws of
            published benchmark families, 20 lab laws; 200 training rows
            each) at noise 0 and 1% (noise 0 alone with --quick).
--seeds N   the first N of the seeds 1, 2, 3 (3 unless --quick).
--levels L  these noise levels (comma-separated), every law at each.
--noise-rule rms   noise scaled by the clean target's RMS, as published
            studies do, instead of its standard deviation; names end "rule=rms".
"""

import argparse
import csv
import json
import math
import os

import numpy as np

NOISE_LEVELS = (0.0, 0.01, 0.1)
EXTENDED_NOISE_LEVELS = (0.0, 0.01)
SEEDS = (1, 2, 3)
FEYNMAN_ROWS = 500
OSCILLATION_ROWS = 200
FRESH_ROWS = 1000
# The operators a law may need beyond the old set, as sympy names them.
NEW_OPERATORS = {sp_name: name for sp_name, name in
                 (("sin", "sin"), ("cos", "cos"), ("tanh", "tanh"), ("Abs", "abs"))}


def nguyen():
    x11 = [("x", -1.0, 1.0)]
    # The bivariate laws on [0, 1]^2, which keeps x^y real.
    xy01 = [("x", 0.0, 1.0), ("y", 0.0, 1.0)]
    return [
        ("Nguyen-1", "x**3 + x**2 + x", x11),
        ("Nguyen-2", "x**4 + x**3 + x**2 + x", x11),
        ("Nguyen-3", "x**5 + x**4 + x**3 + x**2 + x", x11),
        ("Nguyen-4", "x**6 + x**5 + x**4 + x**3 + x**2 + x", x11),
        ("Nguyen-5", "sin(x**2)*cos(x) - 1", x11),
        ("Nguyen-6", "sin(x) + sin(x + x**2)", x11),
        ("Nguyen-7", "log(x + 1) + log(x**2 + 1)", [("x", 0.0, 2.0)]),
        ("Nguyen-8", "sqrt(x)", [("x", 0.0, 4.0)]),
        ("Nguyen-9", "sin(x) + sin(y**2)", xy01),
        ("Nguyen-10", "2*sin(x)*cos(y)", xy01),
        ("Nguyen-11", "x**y", xy01),
        ("Nguyen-12", "x**4 - x**3 + y**2/2 - y", xy01),
    ]


def r15(*names):
    return [(n, 1.0, 5.0) for n in names]


def r13(*names):
    return [(n, 1.0, 3.0) for n in names]


def feynman():
    rel = [("m0", 1.0, 5.0), ("v", 1.0, 2.0), ("c", 3.0, 10.0)]
    return [
        ("I.6.2a", "exp(-theta**2/2)/sqrt(2*pi)", [("theta", 1.0, 3.0)]),
        ("I.8.14", "sqrt((x2 - x1)**2 + (y2 - y1)**2)", r15("x1", "x2", "y1", "y2")),
        ("I.10.7", "m0/sqrt(1 - v**2/c**2)", rel),
        ("I.12.1", "mu*Nn", r15("mu", "Nn")),
        ("I.12.2", "q1*q2/(4*pi*epsilon*r**2)", r15("q1", "q2", "epsilon", "r")),
        ("I.12.4", "q1/(4*pi*epsilon*r**2)", r15("q1", "epsilon", "r")),
        ("I.12.5", "q2*Ef", r15("q2", "Ef")),
        ("I.14.3", "m*g*z", r15("m", "g", "z")),
        ("I.14.4", "k_spring*x**2/2", r15("k_spring", "x")),
        ("I.16.6", "(u + v)/(1 + u*v/c**2)", [("c", 1.0, 5.0), ("v", 1.0, 5.0), ("u", 1.0, 5.0)]),
        ("I.18.4", "(m1*r1 + m2*r2)/(m1 + m2)", r15("m1", "m2", "r1", "r2")),
        ("I.25.13", "q/C", r15("q", "C")),
        ("I.27.6", "1/(1/d1 + n/d2)", r15("d1", "d2", "n")),
        ("I.29.4", "omega/c", [("omega", 1.0, 10.0), ("c", 1.0, 10.0)]),
        ("I.32.5", "q**2*a**2/(6*pi*epsilon*c**3)", r15("q", "a", "epsilon", "c")),
        ("I.34.27", "h*omega/(2*pi)", r15("omega", "h")),
        ("I.39.1", "3*pr*V/2", r15("pr", "V")),
        ("I.43.31", "mob*kb*T", r15("mob", "T", "kb")),
        ("I.47.23", "sqrt(gamma*pr/rho)", r15("gamma", "pr", "rho")),
        ("I.48.2", "m*c**2/sqrt(1 - v**2/c**2)", [("m", 1.0, 5.0), ("v", 1.0, 2.0), ("c", 3.0, 10.0)]),
        ("II.2.42", "kappa*(T2 - T1)*A/d", r15("kappa", "T1", "T2", "A", "d")),
        ("II.3.24", "Pwr/(4*pi*r**2)", r15("Pwr", "r")),
        ("II.8.31", "epsilon*Ef**2/2", r15("epsilon", "Ef")),
        ("II.11.28", "1 + n*alpha/(1 - n*alpha/3)", [("n", 0.0, 1.0), ("alpha", 0.0, 1.0)]),
        ("II.27.18", "epsilon*Ef**2", r15("epsilon", "Ef")),
        ("II.34.29a", "q*h/(4*pi*m)", r15("q", "h", "m")),
        ("II.38.14", "Y/(2*(1 + sigma))", r15("Y", "sigma")),
        ("III.12.43", "n*h/(2*pi)", r15("n", "h")),
        # EXTENDED: the laws added later. Ranges are the Feynman database's.
        # Laws that need sin, cos or tanh:
        ("I.12.11", "q*(Ef + B*v*sin(theta))", r15("q", "Ef", "B", "v", "theta")),
        ("I.18.12", "r*F*sin(theta)", [("r", 1.0, 5.0), ("F", 1.0, 5.0), ("theta", 0.0, 5.0)]),
        ("I.18.14", "m*r*v*sin(theta)", r15("m", "r", "v", "theta")),
        ("I.29.16", "sqrt(x1**2 + x2**2 - 2*x1*x2*cos(theta1 - theta2))", r15("x1", "x2", "theta1", "theta2")),
        ("I.30.3", "Int_0*sin(n*theta/2)**2/sin(theta/2)**2", r15("Int_0", "theta", "n")),
        ("I.37.4", "I1 + I2 + 2*sqrt(I1*I2)*cos(delta)", r15("I1", "I2", "delta")),
        ("I.50.26", "x1*(cos(omega*t) + alpha*cos(omega*t)**2)", r13("x1", "omega", "t", "alpha")),
        ("II.6.11", "p_d*cos(theta)/(4*pi*epsilon*r**2)", r13("epsilon", "p_d", "theta", "r")),
        ("II.6.15b", "3*p_d*cos(theta)*sin(theta)/(4*pi*epsilon*r**3)", r13("epsilon", "p_d", "theta", "r")),
        ("II.11.17", "n_0*(1 + p_d*Ef*cos(theta)/(kb*T))", r13("n_0", "kb", "T", "theta", "p_d", "Ef")),
        ("II.15.4", "-mom*B*cos(theta)", r15("mom", "B", "theta")),
        ("II.15.5", "-p_d*Ef*cos(theta)", r15("p_d", "Ef", "theta")),
        ("II.35.21", "n_rho*mom*tanh(mom*B/(kb*T))", r15("n_rho", "mom", "B", "kb", "T")),
        ("III.8.54", "sin(2*pi*E_n*t/h)**2", [("E_n", 1.0, 2.0), ("t", 1.0, 2.0), ("h", 1.0, 4.0)]),
        ("III.9.52", "2*pi*p_d*Ef*t/h*sin((omega - omega_0)*t/2)**2/((omega - omega_0)*t/2)**2",
         r13("p_d", "Ef", "t", "h") + [("omega", 1.0, 5.0), ("omega_0", 1.0, 5.0)]),
        ("III.15.12", "2*U*(1 - cos(k*d))", r15("U", "k", "d")),
        ("III.17.37", "beta*(1 + alpha*cos(theta))", r15("beta", "alpha", "theta")),
        # Laws the old operators can write:
        ("I.39.22", "n*kb*T/V", r15("n", "T", "V", "kb")),
        ("I.40.1", "n_0*exp(-m*g*x/(kb*T))", r15("n_0", "m", "x", "T", "g", "kb")),
        ("I.41.16", "h/(2*pi)*omega**3/(pi**2*c**2*(exp(h/(2*pi)*omega/(kb*T)) - 1))",
         r15("omega", "T", "h", "kb", "c")),
        ("II.6.15a", "3*p_d*z*sqrt(x**2 + y**2)/(4*pi*epsilon*r**5)", r13("epsilon", "p_d", "r", "x", "y", "z")),
        ("II.11.3", "q*Ef/(m*(omega_0**2 - omega**2))",
         r13("q", "Ef", "m") + [("omega_0", 3.0, 5.0), ("omega", 1.0, 2.0)]),
        ("II.13.34", "rho_c_0*v/sqrt(1 - v**2/c**2)", [("rho_c_0", 1.0, 5.0), ("v", 1.0, 2.0), ("c", 3.0, 10.0)]),
        ("II.35.18", "n_0/(exp(mom*B/(kb*T)) + exp(-mom*B/(kb*T)))", r13("n_0", "kb", "T", "mom", "B")),
        ("III.4.32", "1/(exp(h/(2*pi)*omega/(kb*T)) - 1)", r15("h", "omega", "kb", "T")),
        ("III.7.38", "4*pi*mom*B/h", r15("mom", "B", "h")),
        ("III.10.19", "mom*sqrt(Bx**2 + By**2 + Bz**2)", r15("mom", "Bx", "By", "Bz")),
    ]


# How many of feynman()'s laws were in the set before the others were added.
FEYNMAN_ORIGINAL = 28

# Feynman laws the engine cannot write: listed, not run.
LEFT_OUT = [
    ("I.26.2", "asin(n*sin(theta2))", "arcsin"),
    ("I.30.5", "asin(lambd/(n*d))", "arcsin"),
]


def oscillation():
    """The damped oscillation exp(-a*t)*cos(b*t): (law, truth, variables, parameters)."""
    return [("Damped-oscillation", "exp(-3*t/10)*cos(5*t/2)", [("t", 0.0, 10.0)], {"a": 0.3, "b": 2.5})]


def law_expr(truth, names):
    import sympy

    symbols = {n: sympy.Symbol(n) for n in names}
    return sympy.sympify(truth, locals=symbols), [symbols[n] for n in names]


def law_function(truth, names):
    import sympy

    expr, args = law_expr(truth, names)
    return sympy.lambdify(args, expr, modules="numpy")


def operators_needed(truth, names):
    """The operators beyond the old set that the law's expression uses."""
    import sympy

    expr, _ = law_expr(truth, names)
    found = {NEW_OPERATORS[f.func.__name__] for f in expr.atoms(sympy.Function) if f.func.__name__ in NEW_OPERATORS}
    return sorted(found)


def sample(rng, variables, rows):
    return np.column_stack([rng.uniform(lo, hi, rows) for _, lo, hi in variables])


def write_csv(path, names, x, y):
    with open(path, "w", newline="") as f:
        w = csv.writer(f, lineterminator="\n")
        w.writerow(list(names) + ["target"])
        for row, t in zip(x, y):
            w.writerow([repr(float(v)) for v in row] + [repr(float(t))])


def slug(text):
    return "".join(ch if ch.isalnum() or ch in ".-" else "_" for ch in text)


# Data-seed prefix of each group: a law's data depend on it, its index in its
# list, the noise level and the seed.
GROUP_IDS = {"Nguyen": 1, "Feynman": 2, "Oscillation": 5, "Published": 6, "Lab": 7}

# The exact-recovery judgement also compares a formula with the law outside
# the sampled box: on each range widened by half its width on each side, a
# non-negative feature kept non-negative. Where that leaves the law's domain
# or crosses a pole, the law's own ranges, feature -> [low, high]:
EXTRAPOLATION = {
    # v < c.
    "I.10.7": {"c": [3.0, 13.5]},
    "I.48.2": {"c": [3.0, 13.5]},
    "II.13.34": {"c": [3.0, 13.5]},
    # omega < omega_0.
    "II.11.3": {"omega_0": [2.5, 6.0], "omega": [0.5, 2.0]},
    # sin(theta/2) = 0 at theta = 2 pi.
    "I.30.3": {"theta": [0.5, 6.0]},
}


def widened(lo, hi):
    """The default extrapolation range of a feature sampled on [lo, hi]."""
    half = (hi - lo) / 2
    return [max(lo - half, 0.0) if lo >= 0 else lo - half, hi + half]


# How the noise's standard deviation scales with the clean target: "std" (ours,
# level x its standard deviation) or "rms" (the published rule of the Feynman
# and SRBench studies, level x its root mean square, larger where the target
# has an offset). A suite holds one rule; problems say which.
NOISE_RULE = "std"


def law_problems(out, group, law, truth, variables, rows, noise, seed, index, extended, parameters=None,
                 extrapolation=None):
    names = [n for n, _, _ in variables]
    f = law_function(truth, names)
    rng = np.random.default_rng([GROUP_IDS[group], index, int(noise * 1000), seed])
    x = sample(rng, variables, rows)
    clean = np.asarray(f(*x.T), dtype=float) * np.ones(rows)
    scale = clean.std() if NOISE_RULE == "std" else np.sqrt(np.mean(clean ** 2))
    y = clean + noise * scale * rng.standard_normal(rows) if noise > 0 else clean
    xf = sample(rng, variables, FRESH_ROWS)
    yf = np.asarray(f(*xf.T), dtype=float) * np.ones(FRESH_ROWS)
    rule = "" if NOISE_RULE == "std" else f" rule={NOISE_RULE}"
    base = slug(f"{law}_n{noise}_s{seed}{rule}")
    write_csv(os.path.join(out, base + ".train.csv"), names, x, y)
    write_csv(os.path.join(out, base + ".fresh.csv"), names, xf, yf)
    needed = operators_needed(truth, names)
    problem = {
        "name": f"{law} noise={noise} seed={seed}{rule}",
        "group": group,
        "law": law,
        "truth": truth,
        "features": names,
        "ranges": [[lo, hi] for _, lo, hi in variables],
        "noise": noise,
        "noise_rule": NOISE_RULE,
        "seed": seed,
        "needs_trig": "sin" in needed or "cos" in needed,
        "operators_needed": needed,
        "extended": extended,
        "train": base + ".train.csv",
        "fresh": base + ".fresh.csv",
    }
    if parameters is not None:
        problem["parameters"] = parameters
    extrapolation = extrapolation or EXTRAPOLATION.get(law)
    if extrapolation is not None:
        problem["extrapolation"] = [extrapolation.get(n) or widened(lo, hi) for n, lo, hi in variables]
    return problem


def noise_problems(out, count):
    problems = []
    sizes = (50, 100, 200, 300, 500)
    for i in range(count):
        rng = np.random.default_rng([3, i])
        d = 1 + i % 3
        n = sizes[i % len(sizes)]
        names = [f"x{j + 1}" for j in range(d)]

        def features(rows):
            # Signed and positive inputs alike, so log and sqrt have a chance.
            cols = [rng.standard_normal(rows) if j % 2 == 0 else rng.uniform(0.5, 5.0, rows) for j in range(d)]
            return np.column_stack(cols)

        x, y = features(n), rng.standard_normal(n)
        xf, yf = features(FRESH_ROWS), rng.standard_normal(FRESH_ROWS)
        base = f"noise_{i}"
        write_csv(os.path.join(out, base + ".train.csv"), names, x, y)
        write_csv(os.path.join(out, base + ".fresh.csv"), names, xf, yf)
        problems.append({
            "name": f"Noise {i} d={d} n={n}",
            "group": "Noise",
            "law": f"noise-{i}",
            "truth": None,
            "features": names,
            "noise": 1.0,
            "seed": 1 + i,
            "needs_trig": False,
            "operators_needed": [],
            "extended": False,
            "train": base + ".train.csv",
            "fresh": base + ".fresh.csv",
        })
    return problems


def diabetes_problem(out):
    from sklearn.datasets import load_diabetes

    data = load_diabetes()
    x, y, names = data.data, data.target, list(data.feature_names)
    order = np.random.default_rng(4).permutation(len(y))
    n_train = int(round(0.7 * len(y)))
    tr, te = order[:n_train], order[n_train:]
    write_csv(os.path.join(out, "diabetes.train.csv"), names, x[tr], y[tr])
    write_csv(os.path.join(out, "diabetes.fresh.csv"), names, x[te], y[te])
    a = np.column_stack([np.ones(len(tr)), x[tr]])
    coef, *_ = np.linalg.lstsq(a, y[tr], rcond=None)
    pred = np.column_stack([np.ones(len(te)), x[te]]) @ coef
    r2 = 1.0 - np.sum((y[te] - pred) ** 2) / np.sum((y[te] - y[te].mean()) ** 2)
    return {
        "name": "Diabetes",
        "group": "Diabetes",
        "law": "diabetes",
        "truth": None,
        "features": names,
        "noise": math.nan,
        "seed": 1,
        "needs_trig": False,
        "operators_needed": [],
        "extended": False,
        "train": "diabetes.train.csv",
        "fresh": "diabetes.fresh.csv",
        "linear_test_r2": float(r2),
    }


def law_set(out, levels, seeds, keep=None, rows=None, every_level=False):
    """Every law problem at the given noise levels and seeds; the added laws
    only at the levels of EXTENDED_NOISE_LEVELS unless every_level. keep: the
    law names to write (all when None); rows: one training row count for every
    law instead of each group's own."""
    problems = []
    wanted = lambda law: keep is None or law in keep
    for noise in levels:
        for seed in seeds:
            for i, (law, truth, variables) in enumerate(nguyen()):
                if wanted(law):
                    problems.append(law_problems(out, "Nguyen", law, truth, variables, rows or 20, noise, seed, i,
                                                 False))
            for i, (law, truth, variables) in enumerate(feynman()):
                extended = i >= FEYNMAN_ORIGINAL
                if (extended and noise not in EXTENDED_NOISE_LEVELS and not every_level) or not wanted(law):
                    continue
                problems.append(law_problems(out, "Feynman", law, truth, variables, rows or FEYNMAN_ROWS, noise,
                                             seed, i, extended))
            if noise in EXTENDED_NOISE_LEVELS or every_level:
                for i, (law, truth, variables, parameters) in enumerate(oscillation()):
                    if wanted(law):
                        problems.append(law_problems(out, "Oscillation", law, truth, variables,
                                                     rows or OSCILLATION_ROWS, noise, seed, i, True, parameters))
    return problems


SECOND_ROWS = 200


def second_set(out, levels, seeds):
    """The second benchmark (second_laws.py) at the given noise levels and seeds."""
    import second_laws

    problems = []
    for noise in levels:
        for seed in seeds:
            for group, laws in (("Published", second_laws.published()), ("Lab", second_laws.lab())):
                for i, (law, truth, variables, extrapolation) in enumerate(laws):
                    problems.append(law_problems(out, group, law, truth, variables, SECOND_ROWS, noise, seed, i,
                                                 False, extrapolation=extrapolation))
    return problems


def law_names():
    """Every law's name, in the order law_set writes them."""
    return ([law for law, _, _ in nguyen()] + [law for law, _, _ in feynman()] +
            [law for law, _, _, _ in oscillation()])


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("out")
    ap.add_argument("--quick", action="store_true", help="one seed, noise 0, 5 noise sets")
    ap.add_argument("--extended", action="store_true", help="the laws only, noise 0 and 1%%")
    ap.add_argument("--second", action="store_true",
                    help="the second benchmark (second_laws.py) instead, noise 0 and 1%%")
    ap.add_argument("--seeds", type=int, choices=range(1, len(SEEDS) + 1), help="how many seeds (default 3)")
    ap.add_argument("--levels", help="noise levels instead, e.g. 0,0.01,0.1 (every law at each)")
    ap.add_argument("--noise-rule", choices=("std", "rms"), default="std",
                    help="noise = level x the clean target's std (default) or its RMS (published rule)")
    args = ap.parse_args()
    os.makedirs(args.out, exist_ok=True)
    global NOISE_RULE
    NOISE_RULE = args.noise_rule
    if args.levels:
        levels = tuple(float(v) for v in args.levels.split(","))
    elif args.quick:
        levels = (0.0,)
    elif args.extended or args.second:
        levels = EXTENDED_NOISE_LEVELS
    else:
        levels = NOISE_LEVELS
    seeds = SEEDS[:args.seeds or (1 if args.quick else len(SEEDS))]
    if args.second:
        problems = second_set(args.out, levels, seeds)
    else:
        problems = law_set(args.out, levels, seeds, every_level=bool(args.levels))
    if not args.extended and not args.second:
        problems += noise_problems(args.out, 5 if args.quick else 20)
        problems.append(diabetes_problem(args.out))
    with open(os.path.join(args.out, "manifest.json"), "w") as f:
        # NaN is not JSON: the diabetes noise level is written as null.
        json.dump([{k: (None if isinstance(v, float) and math.isnan(v) else v) for k, v in p.items()}
                   for p in problems], f, indent=1)
    with open(os.path.join(args.out, "left_out.json"), "w") as f:
        left_out = [] if args.second else LEFT_OUT
        json.dump([{"law": law, "truth": truth, "needs": needs} for law, truth, needs in left_out], f, indent=1)
    print(f"{len(problems)} problems in {args.out}")


if __name__ == "__main__":
    main()
