#!/usr/bin/python3
"""The published SI units of the Feynman laws' variables in bench/refine_suite.py.

    /usr/bin/python3 bench/feynman_units.py SUITE_DIR

adds to each Feynman problem of SUITE_DIR/manifest.json its variables' units
("units": {name: unit}) and the target's ("target_units"), the target's
derived from the law itself: a law whose units do not agree stops the script.
refine_bench --units then runs those problems with units; the other groups
(Nguyen, the oscillation) stay without.
"""

import json
import math
import os
import sys
from fractions import Fraction

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import refine_suite  # noqa: E402

E = "F/m"          # permittivity
EF = "V/m"         # electric field
MOM = "A*m^2"      # magnetic moment
H = "J*s"          # Planck's constant
KB = "J/K"         # Boltzmann's constant
DENS = "1/m^3"     # number density
INTENS = "W/m^2"   # intensity

UNITS = {
    "I.6.2a": {"theta": "1"},
    "I.8.14": {"x1": "m", "x2": "m", "y1": "m", "y2": "m"},
    "I.10.7": {"m0": "kg", "v": "m/s", "c": "m/s"},
    "I.12.1": {"mu": "1", "Nn": "N"},
    "I.12.2": {"q1": "C", "q2": "C", "epsilon": E, "r": "m"},
    "I.12.4": {"q1": "C", "epsilon": E, "r": "m"},
    "I.12.5": {"q2": "C", "Ef": EF},
    "I.14.3": {"m": "kg", "g": "m/s^2", "z": "m"},
    "I.14.4": {"k_spring": "N/m", "x": "m"},
    "I.16.6": {"c": "m/s", "v": "m/s", "u": "m/s"},
    "I.18.4": {"m1": "kg", "m2": "kg", "r1": "m", "r2": "m"},
    "I.25.13": {"q": "C", "C": "F"},
    "I.27.6": {"d1": "m", "d2": "m", "n": "1"},
    "I.29.4": {"omega": "1/s", "c": "m/s"},
    "I.32.5": {"q": "C", "a": "m/s^2", "epsilon": E, "c": "m/s"},
    "I.34.27": {"omega": "1/s", "h": H},
    "I.39.1": {"pr": "Pa", "V": "m^3"},
    "I.43.31": {"mob": "s/kg", "T": "K", "kb": KB},
    "I.47.23": {"gamma": "1", "pr": "Pa", "rho": "kg/m^3"},
    "I.48.2": {"m": "kg", "v": "m/s", "c": "m/s"},
    "II.2.42": {"kappa": "W/m/K", "T1": "K", "T2": "K", "A": "m^2", "d": "m"},
    "II.3.24": {"Pwr": "W", "r": "m"},
    "II.8.31": {"epsilon": E, "Ef": EF},
    "II.11.28": {"n": DENS, "alpha": "m^3"},
    "II.27.18": {"epsilon": E, "Ef": EF},
    "II.34.29a": {"q": "C", "h": H, "m": "kg"},
    "II.38.14": {"Y": "Pa", "sigma": "1"},
    "III.12.43": {"n": "1", "h": H},
    "I.12.11": {"q": "C", "Ef": EF, "B": "T", "v": "m/s", "theta": "1"},
    "I.18.12": {"r": "m", "F": "N", "theta": "1"},
    "I.18.14": {"m": "kg", "r": "m", "v": "m/s", "theta": "1"},
    "I.29.16": {"x1": "m", "x2": "m", "theta1": "1", "theta2": "1"},
    "I.30.3": {"Int_0": INTENS, "theta": "1", "n": "1"},
    "I.37.4": {"I1": INTENS, "I2": INTENS, "delta": "1"},
    "I.50.26": {"x1": "m", "omega": "1/s", "t": "s", "alpha": "1"},
    "II.6.11": {"epsilon": E, "p_d": "C*m", "theta": "1", "r": "m"},
    "II.6.15b": {"epsilon": E, "p_d": "C*m", "theta": "1", "r": "m"},
    "II.11.17": {"n_0": DENS, "kb": KB, "T": "K", "theta": "1", "p_d": "C*m", "Ef": EF},
    "II.15.4": {"mom": MOM, "B": "T", "theta": "1"},
    "II.15.5": {"p_d": "C*m", "Ef": EF, "theta": "1"},
    "II.35.21": {"n_rho": DENS, "mom": MOM, "B": "T", "kb": KB, "T": "K"},
    "III.8.54": {"E_n": "J", "t": "s", "h": H},
    "III.9.52": {"p_d": "C*m", "Ef": EF, "t": "s", "h": H, "omega": "1/s", "omega_0": "1/s"},
    "III.15.12": {"U": "J", "k": "1/m", "d": "m"},
    "III.17.37": {"beta": "J", "alpha": "1", "theta": "1"},
    "I.39.22": {"n": "1", "T": "K", "V": "m^3", "kb": KB},
    "I.40.1": {"n_0": DENS, "m": "kg", "x": "m", "T": "K", "g": "m/s^2", "kb": KB},
    "I.41.16": {"omega": "1/s", "T": "K", "h": H, "kb": KB, "c": "m/s"},
    "II.6.15a": {"epsilon": E, "p_d": "C*m", "r": "m", "x": "m", "y": "m", "z": "m"},
    "II.11.3": {"q": "C", "Ef": EF, "m": "kg", "omega_0": "1/s", "omega": "1/s"},
    "II.13.34": {"rho_c_0": "C/m^3", "v": "m/s", "c": "m/s"},
    "II.35.18": {"n_0": DENS, "kb": KB, "T": "K", "mom": MOM, "B": "T"},
    "III.4.32": {"h": H, "omega": "1/s", "kb": KB, "T": "K"},
    "III.7.38": {"mom": MOM, "B": "T", "h": H},
    "III.10.19": {"mom": MOM, "Bx": "T", "By": "T", "Bz": "T"},
}

BASE = ("kg", "m", "s", "A", "K", "mol", "cd")
DERIVED = {"Hz": (0, 0, -1, 0), "N": (1, 1, -2, 0), "Pa": (1, -1, -2, 0), "J": (1, 2, -2, 0),
           "W": (1, 2, -3, 0), "C": (0, 0, 1, 1), "V": (1, 2, -3, -1), "F": (-1, -2, 4, 2),
           "Ohm": (1, 2, -3, -2), "T": (1, 0, -2, -1)}


class Dim:
    """A quantity's unit as exponents of BASE; sums of unequal units raise."""

    def __init__(self, e):
        self.e = tuple(Fraction(x) for x in e)

    def __mul__(self, o):
        o = dim(o)
        return Dim(a + b for a, b in zip(self.e, o.e))

    __rmul__ = __mul__

    def __truediv__(self, o):
        return self * dim(o) ** -1

    def __rtruediv__(self, o):
        return dim(o) * self ** -1

    def __pow__(self, p):
        return Dim(a * Fraction(p).limit_denominator(100) for a in self.e)

    def __add__(self, o):
        o = dim(o)
        if o.e != self.e:
            raise ValueError(f"a sum of {text(self)} and {text(o)}")
        return self

    __radd__ = __add__
    __sub__ = __add__
    __rsub__ = __add__

    def __neg__(self):
        return self


def dim(x):
    return x if isinstance(x, Dim) else Dim([0] * len(BASE))


def pure(x):
    if dim(x).e != dim(0).e:
        raise ValueError(f"a function of {text(dim(x))}")
    return dim(0)


def parse(unit):
    e = [Fraction(0)] * len(BASE)
    sign = 1
    for i, part in enumerate(unit.replace("/", " / ").replace("*", " ").split()):
        if part == "/":
            sign = -1
            continue
        name, _, power = part.partition("^")
        p = Fraction(power or 1) * sign
        sign = 1
        if name == "1":
            continue
        vec = [1 if b == name else 0 for b in BASE] if name in BASE else list(DERIVED[name]) + [0, 0, 0]
        e = [a + p * b for a, b in zip(e, vec)]
    return Dim(e)


def text(d):
    num = [b + (f"^{x}" if x != 1 else "") for b, x in zip(BASE, d.e) if x > 0]
    den = [b + (f"^{-x}" if x != -1 else "") for b, x in zip(BASE, d.e) if x < 0]
    return "*".join(num or ["1"]) + "".join("/" + f for f in den)


def target_unit(law, truth, names):
    units = UNITS[law]
    import sympy

    expr, args = refine_suite.law_expr(truth, names)
    funcs = {n: pure for n in ("sin", "cos", "tanh", "exp", "log")}
    funcs["sqrt"] = lambda x: x ** Fraction(1, 2)
    funcs["pi"] = math.pi
    g = sympy.lambdify(args, expr, modules=[funcs, "math"])
    return text(g(*[parse(units[n]) for n in names]))


def main():
    suite = sys.argv[1]
    path = os.path.join(suite, "manifest.json")
    with open(path) as f:
        problems = json.load(f)
    for p in problems:
        if p["group"] != "Feynman":
            continue
        p["units"] = {n: UNITS[p["law"]][n] for n in p["features"]}
        p["target_units"] = target_unit(p["law"], p["truth"], p["features"])
    with open(path, "w") as f:
        json.dump(problems, f, indent=1)


if __name__ == "__main__":
    main()
