"""The Python package: datasets, discover() and the report, against the recorded discoveries."""
import math
import os
import re
import shutil
import subprocess
import sys

import numpy as np
import pytest

from conftest import finite_row_mse, rectangular_cases, split_positions

pd = pytest.importorskip("pandas")
PACKAGE_DIR = os.path.join(os.path.dirname(__file__), "..", "..", "bindings", "python")


def same_float(a, b):
    return (math.isnan(a) and math.isnan(b)) or a == b


def without_wall(text):
    """The library's members of a to_json text (the package's follow them), wall clock zeroed."""
    library = text.split(',\n  "feature_names": ')[0] + "\n}"
    return re.sub(r'"wall_clock_ms": \d+', '"wall_clock_ms": 0', library)


def args_of(case):
    a = dict(case["args"])
    a["test_fraction"] = float(a["test_fraction"]) if a["test_fraction"] != "NaN" else math.nan
    return a


@pytest.mark.parametrize("case", rectangular_cases())
def test_recorded_discovery_through_the_package(quorvex_package, case):
    q = quorvex_package
    X = np.array(case["rows"], dtype=float).reshape(len(case["rows"]), len(case["names"]))
    args = args_of(case)
    # The library's data, as recorded, through the C entry's search.
    given = dict(feature_names=case["names"], missing="keep", search="classic")
    if len(set(case["names"])) < len(case["names"]):
        with pytest.raises(q.DataError, match="could not tell them apart"):
            q.discover(X, case["targets"], **given, **args)
        return
    if not 0.0 < args["test_fraction"] < 1.0:
        with pytest.raises(q.DataError, match="strictly between 0 and 1"):
            q.discover(X, case["targets"], **given, **args)
        args["test_fraction"] = 0.2  # what the library makes of it
    report = q.discover(X, case["targets"], **given, **args)
    assert without_wall(report.to_json()) == case["expected_json"]
    assert report.formula == case["expected_formula"]
    assert int(report.verdict) == case["expected_verdict_code"]

    doc = report.to_dict()
    assert report.verdict.name == doc["verdict"]
    assert (report.k, report.n_train, report.n_test) == (doc["k"], doc["n_train"], doc["n_test"])
    for key in ("mse_train", "mse_test", "bic", "delta_bic_const", "delta_bic_linear",
                "z_vs_shuffled"):
        if doc[key] is not None:
            assert getattr(report, key) == doc[key], key
        else:
            assert not math.isfinite(getattr(report, key)), key
    for key, value in doc["baselines"].items():
        if value is not None:
            assert getattr(report.baselines, key) == value
    # The text report tells +inf from NaN where the JSON writes null.
    lines = str(report).split("\n")
    assert lines[4] == "BIC     : " + ("inf" if report.bic == math.inf else lines[4][10:])

    # The parsed expression writes itself back exactly, and predicts the
    # library's errors bit for bit on the rows the library used.
    expr = report.expr
    assert expr.to_json() == report.expr_json
    assert expr.formula() == report.formula
    assert expr.k == report.k
    train, test = split_positions(len(case["targets"]), args["test_fraction"],
                                  case["args"]["seed"])
    assert (len(train), len(test)) == (report.n_train, report.n_test)
    predictions = report.predict(X)
    y = case["targets"]
    assert same_float(finite_row_mse(predictions[train], [y[i] for i in train]), report.mse_train)
    assert same_float(finite_row_mse(predictions[test], [y[i] for i in test]), report.mse_test)


def test_inputs_of_every_kind_give_the_same_report(quorvex_package):
    q = quorvex_package
    rng = np.random.default_rng(5)
    X = rng.uniform(-2, 2, size=(60, 2))
    y = X[:, 0] * X[:, 1] + 1.0
    X[3, 0], X[7, 1], y[11] = np.nan, np.inf, -np.inf
    settings = dict(generations=4, population=20, seed=3, missing="keep")
    expected = without_wall(q.discover(X, y, feature_names=["a", "b"], **settings).to_json())
    df = pd.DataFrame({"a": X[:, 0], "b": X[:, 1], "target": y})
    variants = [
        q.discover(X.tolist(), y.tolist(), feature_names=["a", "b"], **settings),
        q.discover(df, "target", **settings),
        q.discover(df[["a", "b"]], df["target"], **settings),
        q.discover(X.astype(np.float64, order="F"), y.reshape(-1, 1), feature_names=("a", "b"),
                   **settings),
        q.discover(q.Dataset(df, "target", missing="keep"),
                   **{k: v for k, v in settings.items() if k != "missing"}),
        q.discover(np.column_stack([X, y]), "t", feature_names=["a", "b", "t"], **settings),
    ]
    for report in variants:
        assert without_wall(report.to_json()) == expected
    # Values pass through unchanged, NaN, infinities and -0.0 included.
    ds = q.Dataset(df, "target", missing="keep")
    assert np.isnan(ds.X[3, 0]) and ds.X[7, 1] == np.inf and ds.y[11] == -np.inf
    assert ds.feature_names == ("a", "b") and ds.target_name == "target"
    assert np.signbit(q.Dataset([[-0.0]], [1.0]).X[0, 0])


def test_dataset_copies_its_input(quorvex_package):
    X = np.ones((4, 1))
    ds = quorvex_package.Dataset(X, [1, 2, 3, 4])
    X[0, 0] = 5.0
    assert ds.X[0, 0] == 1.0
    with pytest.raises(ValueError):
        ds.X[0, 0] = 2.0


def test_nullable_and_object_columns(quorvex_package):
    q = quorvex_package
    df = pd.DataFrame({"i": pd.array([1, None, 3], dtype="Int64"),
                       "o": np.array([1.5, None, 2], dtype=object),
                       "b": [True, False, True], "y": [1.0, 2.0, 3.0]})
    ds = q.Dataset(df, "y", missing="keep")
    assert np.isnan(ds.X[1, 0]) and np.isnan(ds.X[1, 1])
    assert ds.X[:, 2].tolist() == [1.0, 0.0, 1.0]


BAD_INPUTS = {
    "name_invalid_utf8": (lambda q: q.Dataset([[1.0]], [1.0], feature_names=[b"\xff"]), "UTF-8"),
    "name_lone_surrogate": (lambda q: q.Dataset([[1.0]], [1.0], feature_names=["a\udcff"]),
                            "UTF-8"),
    "name_with_nul": (lambda q: q.Dataset([[1.0]], [1.0], feature_names=["a\0b"]), "NUL"),
    "name_not_a_string": (lambda q: q.Dataset([[1.0]], [1.0], feature_names=[3]), "not a string"),
    "target_name_with_nul": (lambda q: q.Dataset([[1.0]], [1.0], target_name="y\0"), "NUL"),
    "names_count": (lambda q: q.Dataset([[1.0, 2.0]], [1.0], feature_names=["a"]), "2 columns"),
    "missing_target_column": (lambda q: q.Dataset(pd.DataFrame({"a": [1.0]}), "y"),
                              "no column is named 'y'"),
    "missing_target_in_names": (lambda q: q.Dataset([[1.0]], "y", feature_names=["a"]),
                                "no column is named 'y'"),
    "target_name_without_columns": (lambda q: q.Dataset([[1.0]], "y"), "needs a DataFrame"),
    "lengths_differ": (lambda q: q.Dataset([[1.0], [2.0]], [1.0]), "2 rows but y has 1"),
    "strings_in_X": (lambda q: q.Dataset([["1.5"], ["2"]], [1.0, 2.0]), "not numeric"),
    "object_string_in_X": (lambda q: q.Dataset(np.array([[1.0], ["a"]], dtype=object), [1, 2]),
                           "row 1, column 0 holds 'a'"),
    "string_column": (lambda q: q.Dataset(pd.DataFrame({"a": ["x", "y"], "t": [1, 2]}), "t"),
                      "column 'a'"),
    "datetime_column": (lambda q: q.Dataset(
        pd.DataFrame({"d": pd.to_datetime(["2020-01-01"]), "t": [1.0]}), "t"), "not numeric"),
    "complex_X": (lambda q: q.Dataset([[1j]], [1.0]), "not numeric"),
    "strings_in_y": (lambda q: q.Dataset([[1.0]], ["a"]), "y is not numeric"),
    "ragged_rows": (lambda q: q.Dataset([[1.0, 2.0], [3.0]], [1.0, 2.0]), "not a table"),
    "one_dimensional_X": (lambda q: q.Dataset([1.0, 2.0], [1.0, 2.0]), "2-dimensional"),
    "two_targets": (lambda q: q.Dataset([[1.0]], [[1.0, 2.0]]), "1-dimensional"),
    "y_missing": (lambda q: q.discover([[1.0]]), "y is missing"),
    "dataset_and_y": (lambda q: q.discover(q.Dataset([[1.0]], [1.0]), [1.0]), "Dataset"),
    "negative_seed": (lambda q: q.discover([[1.0]], [1.0], seed=-1), "seed must be between"),
    "seed_too_big": (lambda q: q.discover([[1.0]], [1.0], seed=2 ** 64), "seed must be between"),
    "float_generations": (lambda q: q.discover([[1.0]], [1.0], generations=2.5), "integer"),
    "bool_population": (lambda q: q.discover([[1.0]], [1.0], population=True), "bool"),
    "generations_too_big": (lambda q: q.discover([[1.0]], [1.0], generations=2 ** 32),
                            "4294967295"),
    "population_beyond_memory": (lambda q: q.discover([[1.0]], [1.0], population=2 ** 63),
                                 "needs about"),
    "text_test_fraction": (lambda q: q.discover([[1.0]], [1.0], test_fraction="a"), "number"),
}


@pytest.mark.parametrize("case", sorted(BAD_INPUTS))
def test_bad_input_raises_a_clear_error(quorvex_package, case):
    make, words = BAD_INPUTS[case]
    with pytest.raises(quorvex_package.DataError) as info:
        make(quorvex_package)
    assert words in str(info.value)
    assert isinstance(info.value, ValueError)


def test_settings_accept_numpy_integers_and_edge_values(quorvex_package):
    q = quorvex_package
    x = [[float(i)] for i in range(10)]
    y = [2.0 * i for i in range(10)]
    report = q.discover(x, y, generations=np.uint32(2), population=np.int64(5),
                        seed=2 ** 64 - 1, test_fraction=np.float32(0.5))
    assert (report.n_train, report.n_test) == (5, 5)
    classic = dict(generations=1, population=3, test_fraction=0.999)
    assert q.discover(x, y, search="classic", **classic).n_test == 10
    # The refined search needs 3 training rows and says so.
    with pytest.raises(q.DataError, match="training"):
        q.discover(x, y, **classic)


def run_python(code, env_update, cwd=None):
    env = {k: v for k, v in os.environ.items()
           if k not in ("QUORVEX_LIBRARY", "QUORVEX_EXT_LIBRARY", "PYTHONPATH")}
    env.update(env_update)
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True,
                          cwd=cwd, timeout=120)


PROBE = ("import quorvex\n"
         "r = quorvex.discover([[1.0], [2.0], [3.0]], [1.0, 2.0, 3.0], generations=1, population=2,\n"
         "                     search='classic')\n"
         "print(quorvex.library_path())\n")


def test_library_found_next_to_the_package_or_on_the_system_path(tmp_path, quorvex_package):
    shutil.copytree(os.path.join(PACKAGE_DIR, "quorvex"), tmp_path / "quorvex",
                    ignore=shutil.ignore_patterns("__pycache__"))
    library = os.path.realpath(quorvex_package.library_path())
    # The extended library alone: the classic one is neither needed nor loaded.
    system = tmp_path / "system"
    system.mkdir()
    shutil.copy(library, system / "libquorvex_ext.so.0")
    result = run_python(PROBE, {"PYTHONPATH": str(tmp_path), "LD_LIBRARY_PATH": str(system)})
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["libquorvex_ext.so.0"]

    shutil.copy(library, tmp_path / "quorvex" / "libquorvex_ext.so.0")
    result = run_python(PROBE, {"PYTHONPATH": str(tmp_path), "LD_LIBRARY_PATH": str(system)})
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == [str(tmp_path / "quorvex" / "libquorvex_ext.so.0")]


@pytest.mark.parametrize("library, words", [
    (None, "cannot find the quorvex library (libquorvex_ext)"),
    ("/no/such/libquorvex_ext.so", "QUORVEX_EXT_LIBRARY='/no/such/libquorvex_ext.so'"),
    ("libm.so.6", "does not export qvx_last_error"),
])
def test_missing_library_raises_a_clear_error(tmp_path, library, words):
    shutil.copytree(os.path.join(PACKAGE_DIR, "quorvex"), tmp_path / "quorvex",
                    ignore=shutil.ignore_patterns("__pycache__"))
    env = {"PYTHONPATH": str(tmp_path), "LD_LIBRARY_PATH": str(tmp_path)}
    if library:
        env["QUORVEX_EXT_LIBRARY"] = library
    code = ("import quorvex\n"
            "try:\n    quorvex.discover([[1.0]], [1.0])\n"
            "except quorvex.LibraryNotFoundError as e:\n    print('raised:', e)\n")
    result = run_python(code, env)
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("raised:") and words in result.stdout, result.stdout
