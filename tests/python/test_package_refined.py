"""The refined search from Python: the front, prediction, progress and Ctrl-C."""
import dataclasses
import math
import os
import re
import signal
import subprocess
import sys
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

pd = pytest.importorskip("pandas")


def law(n=200, noise=0.0, seed=0):
    rng = np.random.default_rng(seed)
    X = rng.uniform(0.5, 4.0, size=(n, 2))
    return X, 3.0 * X[:, 0] ** 2 / X[:, 1] + noise * rng.normal(size=n)


def reference(e, cols):
    """An evaluation written here from the tree, with numpy: the library's guards aside."""
    q = sys.modules["quorvex"]
    if isinstance(e, q.Const):
        return np.full(len(next(iter(cols.values()))), e.value)
    if isinstance(e, q.Feature):
        return cols[e.name]
    if isinstance(e, q.Bin):
        a, b = reference(e.left, cols), reference(e.right, cols)
        return {"Add": np.add, "Sub": np.subtract, "Mul": np.multiply, "Div": np.divide}[e.op](a, b)
    child = reference(e.base if isinstance(e, q.Pow) else e.child, cols)
    if isinstance(e, q.Pow):
        return np.power(child, float(e.exponent))
    return {q.Exp: np.exp, q.Log: np.log, q.Sqrt: np.sqrt, q.Sin: np.sin, q.Cos: np.cos,
            q.Tanh: np.tanh, q.Abs: np.abs}[type(e)](child)


def test_refined_by_default_finds_the_exact_law(quorvex_package):
    q = quorvex_package
    X, y = law()
    report = q.discover(X, y, feature_names=["mass", "radius"], seed=1)
    assert report.search == "refined" and report.stop_reason == "exact fit"
    assert report.verdict == q.Verdict.Strong and report.rows_set_aside == 0
    np.testing.assert_allclose(report.predict(X), y, rtol=1e-12)
    assert report.expr.features() == ["mass", "radius"]
    assert "front   :" in str(report) and report.simplified == report.formula
    assert report.baselines.bic_const == report.to_dict()["baselines"]["bic_const"]


def test_constants_carry_their_errors_and_an_undefined_box_warns(quorvex_package):
    q = quorvex_package
    x = np.linspace(0.1, 4.0, 80)
    # Noisy, so that no formula is exact and every constant has an error.
    y = 2.5 * np.sqrt(x) + 0.05 * np.sin(7 * x) + np.random.default_rng(3).normal(0, 0.01, 80)
    report = q.discover(x.reshape(-1, 1), y, seed=1, generations=30)
    stored = report.to_dict()["constants"]
    assert [(c.value, c.std_error) for c in report.constants] == \
        [(c["value"], c["std_error"]) for c in stored]
    assert len(report.constants) == report.expr_json.count('"Const"') > 0
    assert all(c.std_error > 0 for c in report.constants)
    c = q.FittedConstant(0.5, 0.3)
    assert c.interval_includes_zero and repr(c) == "0.5 ± 0.3 (interval includes 0)"
    assert repr(q.FittedConstant(2.5, 0.0012)) == "2.5 ± 0.0012"
    assert report.domain_share == report.to_dict()["domain_share"] == 1.0
    assert not any("box" in w for w in report.warnings)
    undefined = dataclasses.replace(report, domain_share=3584 / 4096)
    assert any("12.5% of the box" in w and "512 of 4096" in w for w in undefined.warnings)
    classic = q.discover(x.reshape(-1, 1), y, seed=1, search="classic", generations=2)
    assert classic.constants == () and math.isnan(classic.domain_share)


def test_front_is_a_table_and_predicts_its_errors(quorvex_package):
    q = quorvex_package
    X, y = law(noise=0.3, seed=2)
    report = q.discover(X, y, seed=2, generations=40)
    table = pd.DataFrame(report.front)
    assert list(table.columns) == ["complexity", "mse_train", "mse_test", "bic", "formula", "expr",
                                   "latex_text"]
    assert table["complexity"].is_monotonic_increasing and len(table) >= 2
    assert report.formula in list(table["formula"])
    n = report.n_train + report.n_test
    for entry in report.front:
        values = entry.predict(X, feature_names=["x0", "x1"])
        with np.errstate(all="ignore"):
            np.testing.assert_allclose(values, reference(entry.expr, {"x0": X[:, 0], "x1": X[:, 1]}),
                                       rtol=1e-12)
        # Whatever the split, the errors of both parts add up to the error on every row
        # (a formula of the front may be undefined on a test row: its error leaves it out).
        if np.isfinite(values).all():
            pooled = (report.n_train * entry.mse_train + report.n_test * entry.mse_test) / n
            assert math.isclose(pooled, float(np.mean((values - y) ** 2)), rel_tol=1e-9)
        # The displayed formula reads back to the same values, within its rounded constants.
        shown = q.Expr.parse(entry.formula).predict(X, feature_names=["x0", "x1"])
        np.testing.assert_allclose(shown, values, rtol=1e-5)
        assert entry.latex() and entry.latex() == entry.latex_text


def test_python_and_the_command_show_one_front(quorvex_package, tmp_path):
    q = quorvex_package
    cli = os.environ.get("QUORVEX_CLI")
    if not cli:
        pytest.skip("QUORVEX_CLI not set")
    rng = np.random.default_rng(5)
    S = rng.uniform(0.1, 5.0, 150)
    path = tmp_path / "saturation.csv"
    path.write_text("S,rate\n" + "".join(f"{s!r},{3.4 * s / (0.7 + s)!r}\n" for s in S))
    settings = dict(seed=3, generations=30, population=200)
    report = q.discover(S.reshape(-1, 1), 3.4 * S / (0.7 + S), feature_names=["S"], **settings)
    args = [cli, str(path), "--seed", "3", "--generations", "30", "--population", "200"]
    text = subprocess.run(args, capture_output=True, check=True).stdout.decode()
    front = lambda t: t[t.index("front   :"):]
    assert front(text) == front(str(report))
    assert report.formula in front(text) and report.latex()
    # The displayed formula, saved as text, is what --predict applies.
    model = tmp_path / "model.txt"
    model.write_text(report.formula + "\n")
    out = subprocess.run([cli, "--predict", str(model), str(path)], capture_output=True,
                         check=True).stdout.decode().split()
    assert out[0] == "prediction"
    np.testing.assert_allclose(np.array(out[1:], dtype=float), report.predict({"S": S}), rtol=1e-5)
    latex = subprocess.run(args + ["--latex"], capture_output=True, check=True).stdout.decode()
    assert report.latex() in latex


def test_classic_keeps_the_c_entry_s_report_and_refuses_refined_settings(quorvex_package):
    q = quorvex_package
    X, y = law(60)
    classic = q.discover(X, y, search="classic", generations=3, population=20)
    assert classic.search == "classic" and classic.front == () and classic.rows_set_aside == 0
    assert classic.to_text().startswith("─── quorvex discovery report")
    # The library judges the settings; its reasons come through.
    for bad in (dict(time_limit=1.0), dict(patience=3), dict(time_limit=math.inf)):
        with pytest.raises(q.DataError, match="classic search has no time limit or patience"):
            q.discover(X, y, search="classic", **bad)
    for bad, words in ((dict(search="fast"), "search must be"),
                       (dict(time_limit=-1), "time_limit must be 0 or a positive"),
                       (dict(time_limit=math.nan), "time_limit must be 0 or a positive"),
                       (dict(time_limit="soon"), "time_limit must be a number")):
        with pytest.raises(q.DataError, match=words):
            q.discover(X, y, **bad)
    # No limit at all is a limit the library takes.
    assert q.discover(X, y, generations=2, population=20, time_limit=math.inf).generations == 2
    with pytest.raises(q.DataError, match="at least 5"):
        q.discover(X[:4], y[:4])


def wave(n=81):
    t = np.arange(n, dtype=np.float64) / 10 - 4
    return t.reshape(-1, 1), 3 * np.sin(t) + 0.5


def operators_used(e, q):
    """The node kinds and Bin operators of an expression."""
    if isinstance(e, (q.Const, q.Feature)):
        return set()
    if isinstance(e, q.Bin):
        return {e.op} | operators_used(e.left, q) | operators_used(e.right, q)
    return {type(e).__name__} | operators_used(e.base if isinstance(e, q.Pow) else e.child, q)


@pytest.mark.parametrize("given, canonical", [
    (["+", "*", "sin"], "+,*,sin"),
    ({"add": 1, "mul": 1, "sin": 3}, "add,mul,sin:3"),
    (" + , * , sin:3 ", " + , * , sin:3 "),
])
def test_operators_are_what_the_search_builds_from(quorvex_package, given, canonical):
    q = quorvex_package
    X, y = wave()
    report = q.discover(X, y, feature_names=["t"], seed=2, operators=given)
    weight = 3 if "3" in canonical else 1
    assert report.operators == ("+,*,sin:3" if weight == 3 else "+,*,sin")
    assert report.operator_weights == {"+": 1, "*": 1, "sin": weight}
    assert report.stop_reason == "exact fit" and "sin(t)" in report.formula
    assert "operators : " + report.operators + "\n" in str(report)
    for entry in report.front:
        assert operators_used(entry.expr, q) <= {"Add", "Mul", "Sin"}, entry.formula
    # sin's weight is part of the formula's complexity.
    assert report.k == 6 + (weight - 1) * report.formula.count("sin(")
    np.testing.assert_allclose(report.predict(X), y, rtol=1e-12, atol=1e-12)


def test_default_operators_and_what_is_refused(quorvex_package):
    q = quorvex_package
    X, y = wave(30)
    report = q.discover(X, y, generations=2, population=20)
    assert report.operators == "+,-,*,/,pow,exp,log,sqrt,sin,cos"
    assert q.discover(X, y, search="classic", generations=2, population=20).operators == ""
    # Lists and dicts are written as the library's text; the library's reasons come through.
    weight = 'operators: the weight of "sin" must be a whole number from 1 to 100, not '
    refusals = [
        (dict(operators=["+", "sinh"]), 'operators: unknown operator "sinh"; known: +, -'),
        (dict(operators={"sin": 0}), weight + '"0"'),
        (dict(operators={"sin": 2.5}), weight + '"2.5"'),
        (dict(operators={"sin": True}), weight + '"True"'),
        (dict(operators=["+", "add"]), 'operators: "add" is given twice'),
        (dict(operators=[]), "operators: an empty name"),
        (dict(operators=[1]), "must be a string"),
        (dict(operators=3), "a list of names, a dict"),
        (dict(operators="+\0"), "NUL"),
        (dict(operators="+, sinh"), 'operators: unknown operator "sinh"; known: +, -'),
        (dict(operators=["+"], search="classic"), "the classic search's operators are fixed"),
    ]
    for settings, words in refusals:
        with pytest.raises(q.DataError, match=re.escape(words)):
            q.discover(X, y, generations=2, population=20, **settings)


def test_permutation_test_in_the_library_matches_the_spread_one(quorvex_package):
    q = quorvex_package
    X, y = law(40, noise=2.0, seed=3)
    X[7, 0] = math.nan  # set aside by the refined search before permuting
    settings = dict(n_permutations=3, seed=5, generations=5, population=30, missing="keep",
                    operators={"+": 1, "*": 1, "/": 2, "sqrt": 1})
    here = q.permutation_test(X, y, **settings)
    with ThreadPoolExecutor(2) as pool:
        spread = q.permutation_test(X, y, executor=pool, **settings)
    assert here.null_bics == spread.null_bics and here.p_value == spread.p_value
    assert here.report.rows_set_aside == 1 and here.report.operators == "+,*,/:2,sqrt"


def test_progress_bar_only_on_a_terminal(quorvex_package, capfd):
    q = quorvex_package
    X, y = law(60)
    q.discover(X, y, generations=5)
    q.discover(X, y, generations=5, progress=True, search="classic")
    err = capfd.readouterr().err
    assert err.count("\n") == 1 and err.startswith("\r[") and "generation 5/5" in err

    import pty
    master, slave = pty.openpty()
    code = ("import numpy as np, quorvex\n"
            "x = np.linspace(1, 2, 50).reshape(-1, 1)\n"
            "quorvex.discover(x, 2 * x[:, 0] + np.sin(9 * x[:, 0]), generations=5)\n"
            "quorvex.discover(x, x[:, 0], generations=5, progress=False)\n")
    child = subprocess.run([sys.executable, "-c", code], stderr=slave, timeout=120)
    os.close(slave)
    shown = b""
    try:
        while chunk := os.read(master, 4096):
            shown += chunk
    except OSError:  # the terminal closes with its last writer
        pass
    os.close(master)
    assert child.returncode == 0
    assert shown.count(b"generation ") >= 1 and shown.count(b"\n") == 1, shown


CTRL_C = """
import signal, sys, warnings
import numpy as np, quorvex
signal.signal(signal.SIGINT, signal.default_int_handler)  # a background job starts with it ignored
rng = np.random.default_rng(0)
X, y = rng.normal(size=(3000, 3)), rng.normal(size=3000)
print("ready", flush=True)
try:
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        report = quorvex.discover(X, y, search=sys.argv[1], generations=2**32 - 1, progress=False,
                                  **({} if sys.argv[1] == "classic" else
                                     dict(patience=0, time_limit=300)))
    print(report.stop_reason, report.generations > 0, len(caught),
          any("interrupted" in w for w in report.warnings),
          signal.getsignal(signal.SIGINT) is signal.default_int_handler)
except KeyboardInterrupt:
    print("raised", signal.getsignal(signal.SIGINT) is signal.default_int_handler)
    sys.exit(3)
"""


# A first Ctrl-C keeps a refined search's best so far; a classic one has no result before
# its end.
@pytest.mark.parametrize("search, expected", [
    ("refined", (0, "interrupted True 1 True True")),
    ("classic", (3, "raised True")),
])
def test_ctrl_c_stops_a_discovery_within_a_second(quorvex_package, search, expected):
    child = subprocess.Popen([sys.executable, "-c", CTRL_C, search], stdout=subprocess.PIPE,
                             text=True)
    try:
        assert child.stdout.readline().strip() == "ready"
        time.sleep(1.5)  # well into the search
        assert child.poll() is None
        sent = time.monotonic()
        child.send_signal(signal.SIGINT)
        out, _ = child.communicate(timeout=60)  # a child that missed it fails, not hangs
        delay = time.monotonic() - sent
    finally:
        child.kill()
    print(f"Ctrl-C to exit ({search}): {delay:.3f} s")
    assert (child.returncode, out.strip()) == expected
    # The search was stopped, not run out; the delay is measured, not asserted.
    assert delay < 30


@pytest.fixture
def ctrl_c_handled():
    """Python's own Ctrl-C handler, even where the tests run as a background job (which
    starts with Ctrl-C ignored); the disposition of before afterwards."""
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    yield
    signal.signal(signal.SIGINT, previous)


def test_a_second_ctrl_c_gives_up_the_search(quorvex_package, ctrl_c_handled):
    from quorvex.progress import Watch
    press = lambda: signal.raise_signal(signal.SIGINT)
    with Watch(False) as watch:
        # Inside the library's call a raise would be lost in ctypes: it is a flag there.
        assert watch.call(lambda callback: (press(), callback(None, 1, 9, 0.0, 0.0))[1]) == 1
        assert watch.interrupted and not watch.abandoned
        watch.call(lambda callback: press())
        assert watch.abandoned
        with pytest.raises(KeyboardInterrupt):
            press()
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler
