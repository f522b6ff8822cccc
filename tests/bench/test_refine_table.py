"""The exact-recovery check of bench/refine_table.py: it must accept the law
written another way with fitted constants, and refuse near misses."""

import json
import os
import sys

import numpy as np
import pytest
import sympy as sp

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "bench"))
import refine_table  # noqa: E402


def c(v):
    return {"Const": v}


def f(name):
    return {"Feature": name}


def b(op, left, right):
    return {"Bin": [op, left, right]}


def check(tree, truth, features, ranges, tol=1e-6):
    symbols = refine_table.make_symbols(features, ranges)
    law = sp.sympify(truth, locals=dict(symbols))
    rng = np.random.default_rng(0)
    points = {n: rng.uniform(lo, hi, 200) for n, (lo, hi) in zip(features, ranges)}
    values = sp.lambdify([symbols[n] for n in features], law, modules="numpy")(*points.values())
    rms = float(np.sqrt(np.mean(np.asarray(values) ** 2)))
    return refine_table.equals_law(refine_table.tree_to_sympy(tree, symbols), law, tol, rms, points)


COULOMB = ("q1*q2/(4*pi*epsilon*r**2)", ["q1", "q2", "epsilon", "r"], [[1, 5]] * 4)
GAUSS = ("exp(-theta**2/2)/sqrt(2*pi)", ["theta"], [[1, 3]])
POLY = ("x**3 + x**2 + x", ["x"], [[-1, 1]])


@pytest.mark.parametrize("tree,law", [
    # Fitted constants split across a quotient, with an offset from the output scaling.
    (b("Add", c(3e-16), b("Div", b("Mul", b("Mul", c(0.2), f("q1")), f("q2")),
                          b("Mul", b("Mul", c(2.5132741228718345), f("epsilon")), {"Pow": [f("r"), 2]}))), COULOMB),
    (b("Mul", c(0.3989422804014327), {"Exp": b("Mul", c(-0.5), {"Pow": [f("theta"), 2]})}), GAUSS),
    (b("Mul", b("Add", b("Div", f("x"), f("x")), b("Mul", f("x"), f("x"))), b("Add", f("x"), b("Mul", f("x"), f("x")))),
     ("x**4 + x**3 + x**2 + x", ["x"], [[-1, 1]])),
    ({"Exp": b("Mul", f("y"), {"Log": f("x")})}, ("x**y", ["x", "y"], [[0, 1], [0, 1]])),
    (b("Add", c(1.0000000002), b("Mul", c(0.9999999997), {"Pow": [f("x"), 3]})), ("x**3 + 1", ["x"], [[-1, 1]])),
    # What the fit left of terms that should vanish (exp(-40 - mu) is 4e-18 exp(-mu)).
    (b("Sub", b("Mul", f("mu"), f("Nn")), {"Exp": b("Sub", c(-40.0), f("mu"))}), ("mu*Nn", ["mu", "Nn"], [[1, 5]] * 2)),
    (b("Mul", c(0.07957747154594767), b("Div", b("Div", b("Mul", f("q1"), f("q2")), b("Mul", f("r"), f("epsilon"))),
                                          b("Add", f("r"), c(4.4e-17)))), COULOMB),
    (b("Div", b("Mul", f("k"), b("Sub", f("T2"), b("Sub", f("T1"), c(-7.9e-10)))), f("d")),
     ("k*(T2 - T1)/d", ["k", "T1", "T2", "d"], [[1, 5]] * 4)),
    # The functions of refined searches.
    (b("Add", {"Sin": f("x")}, {"Sin": b("Add", f("x"), b("Mul", f("x"), f("x")))}),
     ("sin(x) + sin(x + x**2)", ["x"], [[-1, 1]])),
    (b("Sub", b("Mul", {"Sin": {"Pow": [f("x"), 2]}}, {"Cos": f("x")}), c(1.0000000001)),
     ("sin(x**2)*cos(x) - 1", ["x"], [[-1, 1]])),
    (b("Mul", c(2.0), {"Tanh": {"Abs": f("x")}}), ("2*tanh(Abs(x))", ["x"], [[-1, 1]])),
])
def test_accepts_the_law_with_fitted_constants(tree, law):
    assert check(tree, *law)


@pytest.mark.parametrize("tree,law", [
    # A constant 1e-4 off at noise 0.
    (b("Mul", c(0.39898), {"Exp": b("Mul", c(-0.5), {"Pow": [f("theta"), 2]})}), GAUSS),
    # Small terms that depend on a feature, above the tolerance.
    (b("Add", b("Add", b("Add", {"Pow": [f("x"), 3]}, {"Pow": [f("x"), 2]}), f("x")), b("Mul", c(1e-5), {"Exp": f("x")})),
     POLY),
    (b("Sub", b("Mul", f("mu"), f("Nn")), {"Exp": b("Sub", c(-5.0), f("Nn"))}), ("mu*Nn", ["mu", "Nn"], [[1, 5]] * 2)),
    # Constants that cancel on the data, each far from 0: x/(sqrt(x) - e) - e.
    (b("Sub", b("Div", f("x"), b("Add", {"Sqrt": f("x")}, c(-1.74e-4))), c(1.74e-4)),
     ("sqrt(x)", ["x"], [[0, 4]])),
    # A term missing.
    (b("Add", {"Pow": [f("x"), 3]}, f("x")), POLY),
    # Right shape, wrong exponent.
    (b("Mul", c(0.3989422804014327), {"Exp": b("Mul", c(-0.5), {"Pow": [f("theta"), 3]})}), GAUSS),
])
def test_refuses_near_misses(tree, law):
    assert not check(tree, *law)


def test_noise_widens_the_constant_tolerance_only():
    tree = b("Mul", c(0.0801), b("Div", b("Mul", f("q1"), f("q2")), b("Mul", f("epsilon"), {"Pow": [f("r"), 2]})))
    assert not check(tree, *COULOMB, tol=1e-6)
    assert check(tree, *COULOMB, tol=0.01)
    wrong = b("Mul", c(0.0801), b("Div", b("Mul", f("q1"), f("q2")), b("Mul", f("epsilon"), f("r"))))
    assert not check(wrong, *COULOMB, tol=0.1)


def test_table_reads_results(tmp_path, capsys):
    # One problem end to end: the manifest, a fresh-points file and two result lines.
    (tmp_path / "p.fresh.csv").write_text("x,target\n0.5,0.875\n-0.5,-0.375\n")
    manifest = [{"name": "P", "group": "Nguyen", "law": "Nguyen-1", "truth": POLY[0], "features": ["x"],
                 "ranges": [[-1, 1]], "noise": 0.0, "seed": 1, "needs_trig": False, "train": "p.train.csv",
                 "fresh": "p.fresh.csv"}]
    (tmp_path / "manifest.json").write_text(json.dumps(manifest))
    exact = b("Add", b("Add", {"Pow": [f("x"), 3]}, {"Pow": [f("x"), 2]}), f("x"))
    lines = [{"problem": "P", "search": "classic", "formula": "x", "verdict": "Strong", "r2_fresh": 0.5,
              "seconds": 0.01, "expr": f("x")},
             {"problem": "P", "search": "refined", "formula": "...", "verdict": "Strong", "r2_fresh": 1.0,
              "seconds": 0.5, "expr": exact}]
    (tmp_path / "r.jsonl").write_text("".join(json.dumps(x) + "\n" for x in lines))
    sys.argv = ["refine_table.py", str(tmp_path), str(tmp_path / "r.jsonl")]
    refine_table.main()
    out = capsys.readouterr().out
    assert "| Nguyen, noise 0: exact recovery | 0/1 (0%) | 1/1 (100%) |" in out
