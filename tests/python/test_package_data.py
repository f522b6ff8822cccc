"""The package on data nobody here wrote: missing values, repeated and integer names,
misaligned pandas objects, settings out of range, deep expressions, memory limits,
and what the report says in words."""
import math
import os
import subprocess
import sys

import numpy as np
import pytest

pd = pytest.importorskip("pandas")
SMALL = dict(population=20, generations=3)
CLI = os.environ.get("QUORVEX_CLI")


def product_sum(n=40, seed=1):
    rng = np.random.default_rng(seed)
    X = rng.uniform(-2, 2, size=(n, 2))
    return X, X[:, 0] * X[:, 1] + X[:, 1]


def without_wall(report):
    return report.to_json().split('"wall_clock_ms"')[0]


# ---- missing and unusable values ------------------------------------------------------

@pytest.mark.parametrize("bad", [math.nan, math.inf, -math.inf, 1e200])
@pytest.mark.parametrize("where", ["X", "y"])
def test_missing_values_stop_discover_or_are_set_aside(quorvex_package, bad, where):
    q = quorvex_package
    X, y = product_sum()
    Xb, yb = X.copy(), y.copy()
    for row in (4, 9):
        if where == "X":
            Xb[row, 1] = bad
        else:
            yb[row] = bad
    with pytest.raises(q.DataError) as info:
        q.discover(Xb, yb, **SMALL)
    message = str(info.value)
    column = "'x1' in 2 rows" if where == "X" else "'y (the target)' in 2 rows"
    assert "2 of 40 rows have a missing or unusable value" in message
    assert f"rows 4, 9 (counting from 0) (columns {column})" in message
    assert 'missing="drop"' in message

    dropped = q.discover(Xb, yb, missing="drop", **SMALL)
    keep = np.ones(40, dtype=bool)
    keep[[4, 9]] = False
    assert without_wall(dropped) == without_wall(q.discover(X[keep], y[keep], **SMALL))
    assert dropped.dropped_rows == (4, 9)
    assert "dropped : 2 of 40 rows with a missing or unusable value (rows 4, 9, counting from 0)" \
        in str(dropped)
    # "keep" hands the rows to the library as they are.
    assert q.discover(Xb, yb, missing="keep", search="classic", **SMALL).n_train + 8 == 40
    # The refined search sets them aside itself and says how many.
    kept = q.discover(Xb, yb, missing="keep", **SMALL)
    aside = 0 if math.isfinite(bad) else 2  # beyond 1e100 is finite: the library keeps it
    assert (kept.rows_set_aside, kept.n_train + kept.n_test) == (aside, 40 - aside)
    with pytest.raises(q.DataError, match="missing must be one of"):
        q.discover(X, y, missing="skip")


def test_missing_values_in_a_dataframe_and_the_permutation_test(quorvex_package):
    q = quorvex_package
    X, y = product_sum()
    df = pd.DataFrame({"a": X[:, 0], "b": X[:, 1], "t": y})
    df.loc[3, "a"] = None
    with pytest.raises(q.DataError, match="row 3 "):
        q.discover(df, "t", **SMALL)
    with pytest.raises(q.DataError, match="row 3 "):
        q.permutation_test(df, "t", n_permutations=1, **SMALL)
    test = q.permutation_test(df, "t", n_permutations=2, missing="drop", **SMALL)
    assert test.report.dropped_rows == (3,) and len(test.null_bics) == 2
    with pytest.raises(q.DataError, match="every row"):
        q.Dataset([[math.nan]], [1.0], missing="drop")


# ---- names ------------------------------------------------------------------------------

def test_repeated_feature_names_are_refused(quorvex_package):
    q = quorvex_package
    X, y = product_sum()
    with pytest.raises(q.DataError, match="'a' is given to columns 0 and 1: a formula could not"):
        q.discover(X, y, feature_names=["a", "a"], **SMALL)
    df = pd.DataFrame(X, columns=["a", "a"])
    with pytest.raises(q.DataError, match="could not tell them apart"):
        q.discover(df, y, **SMALL)


def test_integer_column_labels_become_x_names(quorvex_package):
    q = quorvex_package
    X, y = product_sum()
    report = q.discover(pd.DataFrame(X), y, seed=2, **SMALL)
    assert report.feature_names == ("x0", "x1")
    assert without_wall(report) == without_wall(q.discover(X, y, seed=2, **SMALL))
    assert q.Dataset(pd.DataFrame(X, columns=[3, 7]), y).feature_names == ("x3", "x7")
    sympy = pytest.importorskip("sympy")
    assert report.expr.to_sympy().free_symbols <= set(sympy.symbols("x0 x1"))


def test_line_feeds_in_names_do_not_upset_the_baselines(quorvex_package):
    q = quorvex_package
    rng = np.random.default_rng(1)
    X = rng.uniform(1, 3, size=(60, 1))
    y = X[:, 0] ** 2
    X[5, 0] = math.nan  # makes the linear baselines inf and NaN
    report = q.discover(X, y, feature_names=["a\nb"], missing="keep", seed=0, population=30,
                        generations=5, search="classic")
    assert "a\nb" in report.formula
    assert report.baselines.bic_linear == math.inf
    assert report.baselines.bic_shuffled_mean == math.inf
    assert math.isnan(report.baselines.bic_shuffled_std)
    assert report.baselines.bic_const == report.to_dict()["baselines"]["bic_const"]


# ---- pandas rows -------------------------------------------------------------------

def test_a_shuffled_frame_is_matched_to_its_targets_by_index(quorvex_package):
    q = quorvex_package
    X, y = product_sum()
    df = pd.DataFrame({"a": X[:, 0], "b": X[:, 1]})
    target = pd.Series(y, name="t")
    shuffled = df.sample(frac=1.0, random_state=0)
    expected = q.discover(shuffled, target.loc[shuffled.index].to_numpy(), seed=4, **SMALL)
    got = q.discover(shuffled, target, seed=4, **SMALL)
    assert without_wall(got) == without_wall(expected)
    other = target.copy()
    other.index = other.index + 100
    with pytest.raises(q.DataError, match="different indexes"):
        q.discover(df, other, **SMALL)


# ---- settings and values out of range ------------------------------------------------------

@pytest.mark.parametrize("fraction", [0, 0.0, 1, 1.5, -0.1, math.nan, math.inf])
def test_test_fraction_outside_the_open_interval_is_an_error(quorvex_package, fraction):
    q = quorvex_package
    X, y = product_sum()
    with pytest.raises(q.DataError, match="strictly between 0 and 1"):
        q.discover(X, y, test_fraction=fraction, **SMALL)


@pytest.mark.parametrize("make", [lambda: [[10 ** 400, 1.0]], lambda: np.array([[1, -10 ** 400]],
                                                                                dtype=object)])
def test_integers_too_large_for_a_double_are_a_data_error(quorvex_package, make):
    with pytest.raises(quorvex_package.DataError, match="too large for a float64"):
        quorvex_package.Dataset(make(), [1.0])
    with pytest.raises(quorvex_package.DataError, match="too large for a float64"):
        quorvex_package.Dataset([[1.0]], [10 ** 400])


def deep_exp(levels):
    """An expression JSON text of `levels` nested objects."""
    return '{"Exp":' * (levels - 1) + '{"Feature":"x"}' + "}" * (levels - 1)


def test_deep_expressions_share_the_command_s_limit(quorvex_package, tmp_path):
    q = quorvex_package
    text = deep_exp(2000)
    expr = q.Expr.from_json(text)
    assert expr.depth == 2000 and expr.to_json() == text
    assert expr.formula().startswith("exp(exp(")
    assert expr.predict({"x": [-1e9]}).tolist() == [math.inf]
    with pytest.raises(q.DataError, match="nested too deeply"):
        q.Expr.from_json(deep_exp(2001))
    if CLI:
        data = tmp_path / "d.csv"
        data.write_text("x\n-1e9\n")
        for levels, code in ((2000, 0), (2001, 2)):
            model = tmp_path / "m.json"
            model.write_text(deep_exp(levels))
            result = subprocess.run([CLI, "--predict", model, data], capture_output=True)
            assert result.returncode == code, result.stderr
            assert result.stdout == (b"prediction\ninf\n" if code == 0 else b"")


def test_a_population_beyond_the_process_limit_is_refused(quorvex_package):
    code = ("import resource, quorvex\n"
            "resource.setrlimit(resource.RLIMIT_AS, (2 ** 31, 2 ** 31))\n"
            "try:\n"
            "    quorvex.discover([[1.0], [2.0]], [1.0, 2.0], population=5_000_000)\n"
            "except quorvex.DataError as e:\n"
            "    print(e)\n")
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                            timeout=120)
    assert result.returncode == 0, result.stderr
    assert "a population of 5000000 needs about" in result.stdout
    assert "the address-space limit (ulimit -v)" in result.stdout


# ---- the report in words --------------------------------------------------------------------

def test_a_line_that_beats_the_formula_is_said_in_words(quorvex_package):
    q = quorvex_package
    rng = np.random.default_rng(1)
    X = rng.uniform(1, 3, size=(60, 2))
    y = 3 * X[:, 0] + 2 * X[:, 1] + rng.normal(0, 0.1, 60)
    seen = 0
    for seed in range(5):
        report = q.discover(X, y, seed=seed, **SMALL)
        lines = [w for w in report.warnings if "straight line" in w or "least-squares line" in w]
        expected = report.verdict != q.Verdict.Strong and (
            report.delta_bic_linear > 0
            or report.delta_bic_linear == 0 and report.verdict == q.Verdict.Weak)
        assert len(lines) == expected
        if expected:
            seen += 1
            assert lines[0].startswith(
                "the least-squares line fits best: it is the formula reported"
                if report.delta_bic_linear == 0 else
                f"a straight line fits better than the formula found "
                f"(ΔBIC vs linear {report.delta_bic_linear:+.1f})")
            assert lines[0].endswith(": the relation may be linear")
        # Every warning shows in the text and in notebooks.
        for w in report.warnings:
            assert "warning : " + w in str(report)
            assert w.split("(")[0] in report._repr_html_()
        assert str(report).startswith(report.to_text())
    assert seen > 0
