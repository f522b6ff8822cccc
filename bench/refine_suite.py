#!/usr/bin/python3
"""Writes the problem set of the refined-against-classic benchmark.

    /usr/bin/python3 bench/refine_suite.py OUT_DIR [--quick]

OUT_DIR receives one training CSV and one fresh-points CSV per problem
(header: the feature names, then the target column "target"; numbers in
shortest round-trip form) and manifest.json, a list of problems:

    name      unique, e.g. "Feynman I.12.2 noise=0.01 seed=2"
    group     "Nguyen", "Feynman", "Noise" or "Diabetes"
    law       the problem's name in its group ("Nguyen-7", "I.12.2", ...)
    truth     the ground truth as a sympy-parsable string over the feature
              names (null for pure noise and diabetes)
    features  feature names in column order
    ranges    [low, high] of each feature's uniform sampling (laws only)
    noise     Gaussian noise std as a fraction of the std of the clean target
    seed      the search seed (the data seed is derived from it)
    needs_trig  true when the law needs sin or cos, which the operators
              (+ - * /, integer powers, exp, log, sqrt) cannot write
    train, fresh  CSV file names inside OUT_DIR
    linear_test_r2  diabetes only: a least-squares line's R2 on the test rows

Fresh points come from the same ranges as the training rows and carry the
clean law (no noise), so R2 on them measures the law, not the noise. For pure
noise they are new independent draws; for diabetes they are the held-out rows.

--quick writes one seed, noise 0 only, 5 pure-noise sets and diabetes.
"""

import argparse
import csv
import json
import math
import os

import numpy as np

NOISE_LEVELS = (0.0, 0.01, 0.1)
SEEDS = (1, 2, 3)
FEYNMAN_ROWS = 500
FRESH_ROWS = 1000


def nguyen():
    x11 = [("x", -1.0, 1.0)]
    # The bivariate laws on [0, 1]^2, which keeps x^y real.
    xy01 = [("x", 0.0, 1.0), ("y", 0.0, 1.0)]
    return [
        ("Nguyen-1", "x**3 + x**2 + x", x11, False),
        ("Nguyen-2", "x**4 + x**3 + x**2 + x", x11, False),
        ("Nguyen-3", "x**5 + x**4 + x**3 + x**2 + x", x11, False),
        ("Nguyen-4", "x**6 + x**5 + x**4 + x**3 + x**2 + x", x11, False),
        ("Nguyen-5", "sin(x**2)*cos(x) - 1", x11, True),
        ("Nguyen-6", "sin(x) + sin(x + x**2)", x11, True),
        ("Nguyen-7", "log(x + 1) + log(x**2 + 1)", [("x", 0.0, 2.0)], False),
        ("Nguyen-8", "sqrt(x)", [("x", 0.0, 4.0)], False),
        ("Nguyen-9", "sin(x) + sin(y**2)", xy01, True),
        ("Nguyen-10", "2*sin(x)*cos(y)", xy01, True),
        ("Nguyen-11", "x**y", xy01, False),
        ("Nguyen-12", "x**4 - x**3 + y**2/2 - y", xy01, False),
    ]


def r15(*names):
    return [(n, 1.0, 5.0) for n in names]


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
    ]


def law_function(truth, names):
    import sympy

    symbols = {n: sympy.Symbol(n) for n in names}
    expr = sympy.sympify(truth, locals=symbols)
    return sympy.lambdify([symbols[n] for n in names], expr, modules="numpy")


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


def law_problems(out, group, law, truth, variables, rows, noise, seed, index, needs_trig):
    names = [n for n, _, _ in variables]
    f = law_function(truth, names)
    # Data seed: distinct per group, law, noise level and seed.
    rng = np.random.default_rng([{"Nguyen": 1, "Feynman": 2}[group], index, int(noise * 1000), seed])
    x = sample(rng, variables, rows)
    clean = np.asarray(f(*x.T), dtype=float) * np.ones(rows)
    y = clean + noise * clean.std() * rng.standard_normal(rows) if noise > 0 else clean
    xf = sample(rng, variables, FRESH_ROWS)
    yf = np.asarray(f(*xf.T), dtype=float) * np.ones(FRESH_ROWS)
    base = slug(f"{law}_n{noise}_s{seed}")
    write_csv(os.path.join(out, base + ".train.csv"), names, x, y)
    write_csv(os.path.join(out, base + ".fresh.csv"), names, xf, yf)
    return {
        "name": f"{law} noise={noise} seed={seed}",
        "group": group,
        "law": law,
        "truth": truth,
        "features": names,
        "ranges": [[lo, hi] for _, lo, hi in variables],
        "noise": noise,
        "seed": seed,
        "needs_trig": needs_trig,
        "train": base + ".train.csv",
        "fresh": base + ".fresh.csv",
    }


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
        "train": "diabetes.train.csv",
        "fresh": "diabetes.fresh.csv",
        "linear_test_r2": float(r2),
    }


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    ap.add_argument("out")
    ap.add_argument("--quick", action="store_true", help="one seed, noise 0, 5 noise sets")
    args = ap.parse_args()
    os.makedirs(args.out, exist_ok=True)
    levels = (0.0,) if args.quick else NOISE_LEVELS
    seeds = SEEDS[:1] if args.quick else SEEDS
    problems = []
    for noise in levels:
        for seed in seeds:
            for i, (law, truth, variables, trig) in enumerate(nguyen()):
                problems.append(law_problems(args.out, "Nguyen", law, truth, variables, 20, noise, seed, i, trig))
            for i, (law, truth, variables) in enumerate(feynman()):
                problems.append(
                    law_problems(args.out, "Feynman", law, truth, variables, FEYNMAN_ROWS, noise, seed, i, False))
    problems += noise_problems(args.out, 5 if args.quick else 20)
    problems.append(diabetes_problem(args.out))
    with open(os.path.join(args.out, "manifest.json"), "w") as f:
        # NaN is not JSON: the diabetes noise level is written as null.
        json.dump([{k: (None if isinstance(v, float) and math.isnan(v) else v) for k, v in p.items()}
                   for p in problems], f, indent=1)
    print(f"{len(problems)} problems in {args.out}")


if __name__ == "__main__":
    main()
