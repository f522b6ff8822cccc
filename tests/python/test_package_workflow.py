"""A scientist's session: plots, saving and loading, notebooks, the estimator's choices, the
command from the package, and data frames read back from CSV files."""
import json
import os
import subprocess
import sys
import types

import numpy as np
import pytest

pd = pytest.importorskip("pandas")

def _bundled_command():
    try:
        from quorvex.__main__ import command_path
    except ImportError:
        return None
    return command_path()


# A build tree's command, or the one pip put inside the package.
CLI = os.environ.get("QUORVEX_CLI") or _bundled_command()


def law(n=120, noise=0.05, seed=0):
    rng = np.random.default_rng(seed)
    X = rng.uniform(0.5, 4.0, size=(n, 2))
    return X, 3.0 * X[:, 0] ** 2 / X[:, 1] + noise * rng.normal(size=n)


@pytest.fixture(scope="module")
def report(quorvex_package):
    X, y = law()
    return quorvex_package.discover(X, y, feature_names=["mass", "radius"], seed=1,
                                    generations=15, progress=False)


def test_json_round_trip_predicts_to_the_bit(quorvex_package, report, tmp_path):
    q = quorvex_package
    X, _ = law(50, seed=9)
    back = q.Report.from_json(report.to_json())
    assert back.to_json() == report.to_json() and str(back) == str(report)
    assert back.front == report.front and back.feature_names == ("mass", "radius")
    np.testing.assert_array_equal(back.predict(X), report.predict(X))
    # The library's members come first, unchanged: the C interface and --predict read it.
    assert json.loads(report.to_json())["formula"] == report.to_dict()["formula"]
    assert q.Expr.from_json(report.to_json()) == report.expr
    with pytest.raises(q.DataError, match="not a JSON report"):
        q.Report.from_json('{"formula": "x"}')
    if not CLI:
        return
    (tmp_path / "model.json").write_text(report.to_json())
    pd.DataFrame(X, columns=["mass", "radius"]).to_csv(tmp_path / "rows.csv", index=False)
    out = subprocess.run([CLI, "--predict", tmp_path / "model.json", tmp_path / "rows.csv"],
                         capture_output=True, text=True, check=True).stdout
    np.testing.assert_array_equal(np.array(out.split()[1:], dtype=float), report.predict(X))


def test_the_commands_json_reads_as_a_report(quorvex_package, tmp_path):
    if not CLI:
        pytest.skip("no command: neither QUORVEX_CLI nor one built with the package")
    q = quorvex_package
    X, y = law()
    frame = pd.DataFrame({"mass": X[:, 0], "radius": X[:, 1], "g": y})
    frame.to_csv(tmp_path / "law.csv", index=False)
    text = subprocess.run([CLI, "--json", "--quiet", "--seed", "1", "--generations", "5",
                           tmp_path / "law.csv"], capture_output=True, text=True,
                          check=True).stdout
    back = q.Report.from_json(text)
    assert back.to_dict() == json.loads(text) and back.search == "refined"
    assert back.formula in str(back) and set(back.expr.features()) <= {"mass", "radius"}
    np.testing.assert_array_equal(back.predict(frame), q.Expr.from_json(text).predict(frame))


def test_plot_draws_the_fit_the_front_and_the_curve(quorvex_package, report, tmp_path):
    pytest.importorskip("matplotlib")
    q = quorvex_package
    X, y = law()
    frame = pd.DataFrame({"mass": X[:, 0], "radius": X[:, 1], "g": y})
    fig = report.plot(frame, "g")
    labels = [(ax.get_xlabel(), ax.get_ylabel()) for ax in fig.axes]
    assert labels[:3] == [("observed g", "predicted g"), ("predicted g", "observed − predicted"),
                          ("complexity", "mean squared error")]
    fig.savefig(tmp_path / "fit.png")
    assert (tmp_path / "fit.png").read_bytes()[:4] == b"\x89PNG"
    assert len(report.plot().axes) == 1  # without data, the front alone

    t = np.linspace(-3.0, 3.0, 60).reshape(-1, 1)
    wave = q.discover(t, 2.0 * np.sin(t[:, 0]), feature_names=["t"], seed=2, generations=10,
                      operators=["+", "*", "sin"], progress=False)
    fig = wave.plot(t, 2.0 * np.sin(t[:, 0]))
    curve = fig.axes[-1]
    assert (curve.get_xlabel(), curve.get_ylabel()) == ("t", "y")
    line = curve.get_lines()[0].get_ydata()
    np.testing.assert_array_equal(line, wave.predict(curve.get_lines()[0].get_xdata()
                                                     .reshape(-1, 1)))
    classic = q.discover(t, t[:, 0], search="classic", generations=2, progress=False)
    with pytest.raises(q.DataError, match="no front"):
        classic.plot()


def test_an_index_column_read_back_is_refused(quorvex_package, tmp_path):
    q = quorvex_package
    X, y = law(30)
    pd.DataFrame({"mass": X[:, 0], "radius": X[:, 1], "y": y}).to_csv(tmp_path / "d.csv", sep=";")
    frame = pd.read_csv(tmp_path / "d.csv", sep=";")
    with pytest.raises(q.DataError, match="index column.*index_col=0"):
        q.discover(frame, "y")
    q.Dataset(pd.read_csv(tmp_path / "d.csv", sep=";", index_col=0), "y")


def test_dropped_rows_are_named_by_their_index_label(quorvex_package):
    q = quorvex_package
    X, y = law(40)
    X[5, 0] = np.nan
    frame = pd.DataFrame({"mass": X[:, 0], "radius": X[:, 1], "y": y},
                         index=[f"s{i}" for i in range(40)])
    with pytest.raises(q.DataError, match=r"row s5 \(labelled in the index\)"):
        q.Dataset(frame, "y")
    data = q.Dataset(frame, "y", missing="drop")
    assert data.dropped_rows == (5,) and data.dropped_labels == ("s5",)
    assert q.Dataset(frame.reset_index(drop=True), "y", missing="drop").dropped_labels == ()


class _Shell:
    config = {"IPKernelApp": {}}


def test_progress_shows_in_a_notebook(quorvex_package, monkeypatch, capfd):
    q = quorvex_package
    X, y = law(40)
    monkeypatch.setitem(sys.modules, "IPython", types.SimpleNamespace(get_ipython=_Shell))
    monkeypatch.setitem(sys.modules, "tqdm.auto", None)  # tqdm absent: a plain line
    q.discover(X, y, generations=3)
    out, err = capfd.readouterr()
    assert "generation 3/3" in out and err == ""

    drawn = []

    class Tqdm:
        def __init__(self, total, **kwargs):
            drawn.append(total)

        def set_postfix_str(self, text, refresh):
            self.text = text

        def refresh(self):
            drawn.append(self.n)

        def close(self):
            drawn.append("closed")

    monkeypatch.setitem(sys.modules, "tqdm.auto", types.SimpleNamespace(tqdm=Tqdm))
    q.discover(X, y, generations=3, progress="auto")
    assert drawn[0] == 3 and drawn[-2:] == [3, "closed"]
    q.discover(X, y, generations=3, progress=False)
    monkeypatch.setitem(sys.modules, "IPython", types.SimpleNamespace(get_ipython=lambda: None))
    q.discover(X, y, generations=3)
    assert len(drawn) == 5 and capfd.readouterr() == ("", "")
    with pytest.raises(q.DataError, match="progress must be"):
        q.discover(X, y, progress="bar")


def test_estimator_chooses_its_front_entry(quorvex_package):
    pytest.importorskip("sklearn")
    from sklearn.pipeline import make_pipeline
    from sklearn.preprocessing import StandardScaler
    q = quorvex_package
    X, y = law(noise=0.3)
    frame = pd.DataFrame(X, columns=["mass", "radius"])
    settings = dict(seed=1, generations=12, patience=5, progress=False)
    by_bic = q.QuorvexRegressor(**settings).fit(frame, y)
    front = by_bic.report_.front
    assert by_bic.formula_ == by_bic.report_.formula and by_bic.get_params()["patience"] == 5
    best_test = min(front, key=lambda e: (e.mse_test, e.complexity))
    accurate = q.QuorvexRegressor(model_selection="accuracy", **settings).fit(frame, y)
    assert accurate.formula_ == best_test.formula
    simple = q.QuorvexRegressor(model_selection=front[1].complexity, **settings).fit(frame, y)
    np.testing.assert_array_equal(simple.predict(frame), front[1].predict(frame))
    with pytest.raises(ValueError, match="model_selection"):
        q.QuorvexRegressor(model_selection="best", **settings).fit(frame, y)
    with pytest.raises(ValueError, match="needs a front"):
        q.QuorvexRegressor(search="classic", generations=2, model_selection="accuracy").fit(X, y)
    # A scaler that outputs pandas keeps the names the formula reads.
    pipe = make_pipeline(StandardScaler().set_output(transform="pandas"),
                         q.QuorvexRegressor(**settings)).fit(frame, y)
    assert set(pipe[-1].report_.expr.features()) <= {"mass", "radius"}
    assert list(pipe[-1].feature_names_in_) == ["mass", "radius"]


def test_the_package_runs_the_command(quorvex_package, tmp_path):
    if not CLI:
        pytest.skip("no command: neither QUORVEX_CLI nor one built with the package")
    result = subprocess.run([sys.executable, "-m", "quorvex", "--version"], capture_output=True,
                            text=True, timeout=60)
    assert result.returncode == 0 and quorvex_package.__version__ in result.stdout
    missing = subprocess.run([sys.executable, "-m", "quorvex", str(tmp_path / "none.csv")],
                             capture_output=True, text=True, timeout=60)
    assert missing.returncode == 2 and "none.csv" in missing.stderr
