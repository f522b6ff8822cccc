"""Expressions on the Python side: the guards, both text forms, predict and sympy."""
import math
import struct

import numpy as np
import pytest

quorvex = pytest.importorskip("quorvex")
from quorvex import (Abs, Bin, Const, Cos, DataError, Exp, Expr, Feature, Log, Pow, Sin,  # noqa: E402
                     Sqrt, Tanh)

x = Feature("x")
NAN_BITS = 0x7FF8000000000000


def bits(v):
    return struct.unpack("<Q", struct.pack("<d", v))[0]


def value(expr, at, exact=True):
    return float(expr.predict({"x": [at]}, exact=exact)[0])


# (expression, x, expected); NaN means the guard's quiet NaN.
GUARDS = [
    (Bin("Div", Const(1.0), x), 1e-301, math.nan),
    (Bin("Div", Const(1.0), x), -1e-301, math.nan),
    (Bin("Div", Const(1.0), x), 1e-300, 1.0 / 1e-300),
    (Bin("Div", Const(1.0), x), 0.0, math.nan),
    (Bin("Div", Const(1.0), x), -0.0, math.nan),
    (Bin("Div", Const(1.0), x), math.inf, 0.0),
    (Pow(x, -1), 0.0, math.nan),
    (Pow(x, -2), -0.0, math.nan),
    (Pow(x, 2), 0.0, 0.0),
    (Pow(x, 3), -2.0, -8.0),
    (Pow(x, -1), -2.0, -0.5),
    (Pow(x, 2), 1e200, math.inf),
    (Pow(x, 3), -1e200, -math.inf),
    (Pow(x, -3), -1e-200, -math.inf),
    (Log(x), 0.0, math.nan),
    (Log(x), -0.0, math.nan),
    (Log(x), -1.0, math.nan),
    (Log(x), math.inf, math.inf),
    (Log(x), 1.0, 0.0),
    (Sqrt(x), -1e-300, math.nan),
    (Sqrt(x), 4.0, 2.0),
    (Exp(x), 1000.0, math.inf),
    (Exp(x), -math.inf, 0.0),
    (Exp(x), 0.0, 1.0),
    (Sin(x), -math.inf, math.nan),
]


@pytest.mark.parametrize("exact", [True, False], ids=["exact", "numpy"])
@pytest.mark.parametrize("expr, at, expected", GUARDS)
def test_guards(expr, at, expected, exact):
    got = value(expr, at, exact)
    if math.isnan(expected):
        assert bits(got) == NAN_BITS, (expr, at, got)
    else:
        assert got == expected


@pytest.mark.parametrize("exact", [True, False])
def test_nan_flows_through_and_sqrt_keeps_negative_zero(exact):
    for expr in (Exp(x), Log(x), Sqrt(x), Pow(x, 2), Bin("Div", x, Const(2.0)),
                 Bin("Div", Const(2.0), x)):
        assert math.isnan(value(expr, math.nan, exact)), expr
    root = value(Sqrt(x), -0.0, exact)
    assert root == 0.0 and math.copysign(1.0, root) < 0


def test_exact_uses_the_c_math_library_per_value():
    rng = np.random.default_rng(0)
    data = {"x": rng.uniform(-30.0, 30.0, 2000)}
    for expr in (Exp(x), Log(x), Pow(x, 3), Pow(x, -2)):
        got = expr.predict(data)
        want = np.array([math.exp(v) if isinstance(expr, Exp) else
                         math.log(v) if isinstance(expr, Log) and v > 0 else
                         math.nan if isinstance(expr, Log) else
                         math.pow(v, expr.exponent) for v in data["x"]])
        np.testing.assert_array_equal(got, want)
        np.testing.assert_allclose(expr.predict(data, exact=False), want, rtol=1e-14)
    for cls, fn in ((Sin, math.sin), (Cos, math.cos), (Tanh, math.tanh), (Abs, math.fabs)):
        assert cls(x).predict(data).tolist() == [fn(v) for v in data["x"]], cls


def test_evaluation_order_and_arithmetic():
    expr = Bin("Sub", Bin("Mul", Const(3.0), Pow(x, 2)), Bin("Add", Feature("y"), Const(0.5)))
    got = expr.predict({"x": [1.0, -2.0], "y": [10.0, 0.25]})
    assert got.tolist() == [3.0 - 10.5, 12.0 - 0.75]
    # Rows are a mapping from names; a misspelt or absent name is an error, not 0.0.
    assert expr.evaluate({"x": 2.0, "y": 0.0}) == 12.0 - 0.5
    with pytest.raises(DataError, match="reads feature 'y', which the row does not have"):
        expr.evaluate({"x": 2.0, "Y": 0.0})


def test_predict_takes_frames_arrays_and_refuses_duplicate_names():
    pd = pytest.importorskip("pandas")
    expr = Bin("Add", x, Feature("z"))
    frame = pd.DataFrame({"z": [1.0, 2.0], "x": [10.0, 20.0], "unused": ["a", "b"][:0] or [0, 0]})
    assert expr.predict(frame).tolist() == [11.0, 22.0]
    assert expr.predict([[10.0, 1.0]], feature_names=["x", "z"]).tolist() == [11.0]
    # A name listed twice is ambiguous.
    with pytest.raises(DataError, match="given to columns 0 and 2"):
        expr.predict([[1.0, 5.0, 2.0]], feature_names=["x", "z", "x"])
    with pytest.raises(DataError, match="reads feature 'z'"):
        expr.predict({"x": [1.0]})
    with pytest.raises(DataError, match="not numeric"):
        expr.predict([["a", "b"]], feature_names=["x", "z"])


def test_text_forms_match_the_library_rules():
    cases = [
        (Bin("Add", x, Const(2.5)), "(x + 2.5000e0)", '{"Bin":["Add",{"Feature":"x"},{"Const":2.5}]}'),
        (Pow(x, -2), "(x^-2)", '{"Pow":[{"Feature":"x"},-2]}'),
        (Sqrt(Bin("Mul", Const(-0.031), Feature("temp"))), "sqrt((-3.1000e-2 * temp))",
         '{"Sqrt":{"Bin":["Mul",{"Const":-0.031},{"Feature":"temp"}]}}'),
        (Log(Exp(x)), "log(exp(x))", '{"Log":{"Exp":{"Feature":"x"}}}'),
        (Bin("Sub", x, Const(-2.5)), "(x - -2.5000e0)",
         '{"Bin":["Sub",{"Feature":"x"},{"Const":-2.5}]}'),
        (Feature('a"b\\c\td\x01'), 'a"b\\c\td\x01', '{"Feature":"a\\"b\\\\c\\td\\u0001"}'),
        (Bin("Add", Sin(x), Cos(Feature("y"))), "(sin(x) + cos(y))",
         '{"Bin":["Add",{"Sin":{"Feature":"x"}},{"Cos":{"Feature":"y"}}]}'),
        (Tanh(Abs(Bin("Mul", Const(2.0), x))), "tanh(abs((2.0000e0 * x)))",
         '{"Tanh":{"Abs":{"Bin":["Mul",{"Const":2.0},{"Feature":"x"}]}}}'),
    ]
    for expr, formula, text in cases:
        assert expr.formula() == formula
        assert expr.to_json() == text
        assert Expr.from_json(text) == expr


@pytest.mark.parametrize("v, sci, json_text", [
    (1.0, "1.0000e0", "1.0"), (-1234.5678, "-1.2346e3", "-1234.5678"), (1e16, "1.0000e16", "1e+16"),
    (1e15, "1.0000e15", "1000000000000000.0"), (1e-5, "1.0000e-5", "0.00001"),
    (1e-6, "1.0000e-6", "1e-6"), (1.5e-7, "1.5000e-7", "1.5e-7"), (12.5, "1.2500e1", "12.5"),
    (0.0, "0.0000e0", "0.0"), (-0.0, "-0.0000e0", "-0.0"), (1.03125, "1.0312e0", "1.03125"),
    (math.inf, "inf", "null"), (-math.inf, "-inf", "null"), (math.nan, "NaN", "null"),
    (5e-324, "4.9407e-324", "5e-324"), (1.7976931348623157e308, "1.7977e308",
                                         "1.7976931348623157e+308"),
])
def test_constant_text(v, sci, json_text):
    assert Const(v).formula() == sci
    assert Const(v).to_json() == '{"Const":' + json_text + "}"


@pytest.mark.parametrize("text", [
    "", "[1]", '{"Const":"1"}', '{"Const":true}', '{"Bin":["Pow",{"Const":1.0},{"Const":1.0}]}',
    '{"Bin":["Add",{"Const":1.0}]}', '{"Pow":[{"Const":1.0},1.5]}', '{"Pow":[{"Const":1.0},4294967296]}',
    '{"Feature":"a\\u0000"}', '{"Exp":{"Const":1.0},"Log":{"Const":1.0}}', '{"Tan":{"Const":1.0}}',
    '{"sin":{"Const":1.0}}', '{"Sin":[{"Const":1.0}]}', '{"Abs":null}',
    # Strict JSON, as the library reads it.
    '{"Const":NaN}', '{"Const":Infinity}', '{"Const":1e400}', '{"Const":' + "9" * 400 + '}',
    '{"Const":01}', '{"Const":1.}', '{"Bin":["Add",{"Const":1.0},{"Const":1.0},]}',
    '{"Const":1.0} x', '{"Const":1.0', '{"Feature":"a\tb"}', b'{"Feature":"\xff"}',
])
def test_malformed_expression_json(text):
    with pytest.raises(DataError):
        Expr.from_json(text)


def test_json_layout_and_escapes_are_read():
    text = ' {\n "Bin" : [ "Sub" , {"Feature":"a\\u00e9\\/b"} ,\t{"Const": -1.5E+2} ] } '
    expr = Expr.from_json(text)
    assert expr == Bin("Sub", Feature("a\u00e9/b"), Const(-150.0))
    assert Expr.from_json(text.encode()) == expr
    assert expr.predict({"a\u00e9/b": [1.0]}).tolist() == [151.0]


def test_deep_expressions_within_the_default_recursion_limit():
    import sys
    saved = sys.getrecursionlimit()
    sys.setrecursionlimit(1000)  # the interpreter's default
    try:
        # 2000 nested levels: 1999 functions around a leaf; 999 sums (two levels each).
        chain = '{"Abs":' * 1999 + '{"Feature":"x"}' + "}" * 1999
        sums = '{"Bin":["Add",' * 999 + '{"Feature":"x"}' + ',{"Const":1.0}]}' * 999
        for text, size, depth, formula, at_two in ((chain, 1999, 2000, "abs(abs(", 2.0),
                                                   (sums, 1998, 1000, "((((", 1001.0)):
            expr = Expr.from_json(text)
            assert (expr.k, expr.depth, expr.features()) == (size, depth, ["x"])
            assert expr.to_json() == text and expr.formula().startswith(formula)
            assert expr.predict({"x": [2.0]}).tolist() == [at_two]
            assert Expr.from_json(expr.to_json()).to_json() == text
        assert sys.getrecursionlimit() == 1000  # left as the caller set it
    finally:
        sys.setrecursionlimit(saved)


def test_size_depth_and_features():
    expr = Bin("Mul", Pow(x, 2), Bin("Add", Feature("y"), x))
    assert (expr.k, expr.depth, expr.features()) == (3, 3, ["x", "y"])
    assert (Sqrt(Log(x)).k, Sqrt(Log(x)).depth) == (2, 3)
    assert (x.k, x.depth, Const(1.0).k) == (0, 1, 1)
    wave = Bin("Mul", Const(3.0), Sin(Tanh(x)))
    assert (wave.k, wave.depth, wave.features()) == (4, 4, ["x"])


def test_to_sympy():
    sympy = pytest.importorskip("sympy")
    expr = Bin("Add", Bin("Mul", Const(2.0), Pow(x, 2)), Log(Sqrt(Exp(Feature("y")))))
    s = expr.to_sympy()
    X, Y = sympy.symbols("x y")
    assert s.free_symbols == {X, Y}
    assert float(s.subs({X: 3.0, Y: 4.0})) == pytest.approx(18.0 + 2.0)
    assert Const(0.1).to_sympy() == sympy.Float(0.1)
    wave = Bin("Sub", Sin(x), Bin("Mul", Cos(x), Tanh(Abs(Feature("y"))))).to_sympy()
    assert wave == sympy.sin(X) - sympy.cos(X) * sympy.tanh(sympy.Abs(Y))
    assert float(wave.subs({X: 0.5, Y: -2.0})) == pytest.approx(
        math.sin(0.5) - math.cos(0.5) * math.tanh(2.0))


def test_parse_reads_both_formula_forms_as_the_command_does():
    x, y = Feature("x"), Feature("y")
    tree = Bin("Add", Pow(x, 2), Bin("Mul", Const(2.5), Sin(Log(y))))
    assert Expr.parse(tree.formula()) == tree
    assert Expr.parse("-x^2") == Bin("Mul", Const(-1.0), Pow(x, 2))
    assert Expr.parse("x^-1") == Pow(x, -1)
    assert Expr.parse("3.2*x^1.7") == Bin("Mul", Const(3.2), Exp(Bin("Mul", Const(1.7), Log(x))))
    assert Expr.parse("x - y - 1") == Bin("Sub", Bin("Sub", x, y), Const(1.0))
    assert Expr.parse("2.5e-8*abs(x)/y") == Bin("Div", Bin("Mul", Const(2.5e-8), Abs(x)), y)
    for bad in ["", "x +", "(x", "x)", "foo(x)", "2 3", "x @ y", "1e999"]:
        with pytest.raises(DataError):
            Expr.parse(bad)
