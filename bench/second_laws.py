"""The laws of the second benchmark (bench/refine_suite.py --second).

Two groups, written down before any run and not tuned after it:

  Published  equations of published symbolic-regression benchmark families
             other than Nguyen and Feynman: Keijzer, Korns, Vladislavleva,
             Pagie, Koza, Jin, the Nguyen "Constant" set, Livermore, the
             R-rationals and right-hand sides of Strogatz-style ODEs. Ranges
             are the published ones except where noted below (a range the law
             is not real on, or a pole inside it).
  Lab        empirical laws of lab practice, most with real exponents or
             nested exponentials.

Each law is (name, truth, variables, extrapolation); variables are
(feature, low, high) of the uniform sampling; extrapolation is None (the
judge widens each range by half its width on each side, keeping a
non-negative feature non-negative) or {feature: [low, high]} where that
widening leaves the law's domain or crosses a pole.

Truths use rationals (3/4, not 0.75) so that sympy keeps them exact.
"""


def _r(names, lo, hi):
    return [(n, lo, hi) for n in names]


def published():
    korns = lambda pos: [(f"x{i}", 0.0, 50.0) if i in pos else (f"x{i}", -50.0, 50.0) for i in range(5)]
    return [
        ("Keijzer-1", "3*x*sin(2*pi*x)/10", [("x", -1.0, 1.0)], None),
        ("Keijzer-4", "x**3*exp(-x)*cos(x)*sin(x)*(sin(x)**2*cos(x) - 1)", [("x", 0.0, 10.0)], None),
        # asinh(x), written with log and sqrt.
        ("Keijzer-9", "log(x + sqrt(x**2 + 1))", [("x", 0.0, 100.0)], None),
        ("Keijzer-11", "x*y + sin((x - 1)*(y - 1))", _r("xy", -3.0, 3.0), None),
        ("Keijzer-14", "8/(2 + x**2 + y**2)", _r("xy", -3.0, 3.0), None),
        # Korns: five features, most of them irrelevant.
        ("Korns-1", "157/100 + 243*x3/10", korns(()), None),
        # 213.80940889 (1 - exp(-0.54723748542 x0)); x0 kept >= 0 for the
        # exponential's sake.
        ("Korns-7", "21380940889/100000000*(1 - exp(-54723748542*x0/100000000000))", korns((0,)), None),
        ("Korns-8", "687/100 + 11*sqrt(723*x0*x3*x4/100)", korns((0, 3, 4)), None),
        ("Vladislavleva-1", "exp(-(x1 - 1)**2)/(6/5 + (x2 - 5/2)**2)", _r(("x1", "x2"), 0.3, 4.0), None),
        ("Vladislavleva-4", "10/(5 + (x1 - 3)**2 + (x2 - 3)**2 + (x3 - 3)**2 + (x4 - 3)**2 + (x5 - 3)**2)",
         _r(("x1", "x2", "x3", "x4", "x5"), 0.05, 6.05), None),
        # A pole at x1 = 10: the extrapolation stops short of it.
        ("Vladislavleva-5", "30*(x1 - 1)*(x3 - 1)/(x2**2*(x1 - 10))",
         [("x1", 0.05, 2.0), ("x2", 1.0, 2.0), ("x3", 0.05, 2.0)],
         {"x1": [0.0, 3.0], "x2": [0.5, 2.5], "x3": [0.0, 3.0]}),
        ("Pagie-1", "1/(1 + x**(-4)) + 1/(1 + y**(-4))", _r("xy", -5.0, 5.0), None),
        ("Koza-3", "x**6 - 2*x**4 + x**2", [("x", -1.0, 1.0)], None),
        ("Jin-1", "5*x**4/2 - 13*x**3/10 + y**2/2 - 17*y/10", _r("xy", -3.0, 3.0), None),
        ("Jin-6", "27*x*y/20 + 11*sin((x - 1)*(y - 1))/2", _r("xy", -3.0, 3.0), None),
        ("Constant-1", "339*x**3/100 + 53*x**2/25 + 89*x/50", [("x", -1.0, 1.0)], None),
        ("Constant-4", "27*x**y/10", _r("xy", 0.0, 1.0), None),
        ("Constant-6", "x**(213/500)", [("x", 0.0, 4.0)], None),
        ("Constant-8", "log(x + 7/5) + log(x**2 + 13/10)", [("x", 0.0, 2.0)], None),
        ("Livermore-13", "x**(1/3)", [("x", 0.0, 4.0)], None),
        ("R-1", "(x + 1)**3/(x**2 - x + 1)", [("x", -1.0, 1.0)], None),
        ("R-3", "(x**6 + x**5)/(x**4 + x**3 + x**2 + x + 1)", [("x", -1.0, 1.0)], None),
        # Strogatz-style ODE right-hand sides on the first quadrant (bacterial
        # respiration) and away from sin(y) = 0 (shear flow).
        ("Strogatz-bacterial", "20 - x - x*y/(1 + x**2/2)", _r("xy", 0.0, 5.0), None),
        ("Strogatz-shear", "cos(x)*cos(y)/sin(y)", [("x", -3.0, 3.0), ("y", 0.3, 2.8)],
         {"x": [-6.0, 6.0], "y": [0.1, 3.0]}),
    ]


def lab():
    return [
        # Kleiber's allometry.
        ("Allometry", "7*M**(3/4)/10", [("M", 1.0, 100.0)], None),
        ("Cobb-Douglas", "3*K**(3/10)*L**(7/10)/2", _r(("K", "L"), 1.0, 10.0), None),
        # Freundlich k c^(1/n), n = 2.4.
        ("Freundlich", "21*c**(5/12)/10", [("c", 0.1, 10.0)], None),
        ("Langmuir", "5*(13*c/10)/(1 + 13*c/10)", [("c", 0.05, 10.0)], None),
        # Hill with a real coefficient: V s^n / (K^n + s^n), n = 2.3, K = 1.5.
        ("Hill", "2*s**(23/10)/((3/2)**(23/10) + s**(23/10))", [("s", 0.1, 5.0)], None),
        ("Arrhenius", "12*exp(-37/(10*T))", [("T", 1.0, 10.0)], None),
        # Rate law of order 3/2 with an Arrhenius factor.
        ("Rate-law", "4*c**(3/2)*exp(-2/T)", [("c", 0.1, 5.0), ("T", 0.5, 5.0)], None),
        ("Stretched-exponential", "exp(-(2*t/5)**(3/5))", [("t", 0.05, 10.0)], None),
        ("Weibull-CDF", "1 - exp(-(x/3)**(17/10))", [("x", 0.05, 8.0)], None),
        ("Logistic", "1/(1 + exp(-3*(x - 2)/2))", [("x", -3.0, 7.0)], None),
        # Defined on (0, 1) only.
        ("Logit", "log(p/(1 - p))", [("p", 0.02, 0.98)], {"p": [0.001, 0.999]}),
        # atanh(x); defined on (-1, 1) only.
        ("Atanh", "log((1 + x)/(1 - x))/2", [("x", -0.9, 0.9)], {"x": [-0.999, 0.999]}),
        # 4 eps ((sigma/r)^12 - (sigma/r)^6), eps = 1.2, sigma = 1.1; r > 0.
        ("Lennard-Jones", "24*((11/(10*r))**12 - (11/(10*r))**6)/5", [("r", 1.0, 3.0)], {"r": [0.9, 4.0]}),
        # D (1 - exp(-a (r - r0)))^2, D = 2, a = 1.5, r0 = 1.2.
        ("Morse", "2*(1 - exp(-3*(r - 6/5)/2))**2", [("r", 0.8, 4.0)], None),
        ("Gaussian-2d", "exp(-(x**2 + y**2))", _r("xy", -2.0, 2.0), None),
        ("Exp-ratio", "(exp(x/2) - exp(-x))/(exp(x/2) + exp(-x))", [("x", -3.0, 3.0)], None),
        ("Squared-saturation", "(x/(1 + x))**2", [("x", 0.0, 5.0)], None),
        ("Planck", "x**3/(exp(x) - 1)", [("x", 0.1, 10.0)], None),
        ("Power-offset", "3/2 + 4*x**(13/10)/5", [("x", 0.5, 10.0)], None),
        # van Genuchten's retention curve (1 + (a h)^n)^-(1 - 1/n), a = 0.5, n = 1.8.
        ("van-Genuchten", "(1 + (h/2)**(9/5))**(-4/9)", [("h", 0.05, 20.0)], None),
    ]
