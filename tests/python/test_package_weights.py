"""Weighted rows and warm starts from Python: discover, Dataset and QuorvexRegressor."""
import json

import numpy as np
import pytest

quorvex = pytest.importorskip("quorvex")
pd = pytest.importorskip("pandas")

QUICK = dict(seed=3, population=150, generations=15, progress=False)


def rows(n=90, seed=1):
    rng = np.random.default_rng(seed)
    X = rng.uniform(1, 3, (n, 2))
    y = 1.5 * X[:, 0] ** 2 / X[:, 1] + rng.normal(0, 0.05, n)
    return X, y, rng.integers(0, 4, n).astype(float)


def without_clock(report):
    d = json.loads(report.to_json())
    d.pop("wall_clock_ms")
    d.pop("text")  # holds the wall-clock line too
    return d


def test_weights_of_one_change_no_bit_and_zero_is_a_removed_row():
    X, y, w = rows()
    names = ["m", "r"]
    plain = quorvex.discover(X, y, feature_names=names, **QUICK)
    ones = quorvex.discover(X, y, feature_names=names, weights=np.ones(len(y)), **QUICK)
    assert plain.weight_sum is None and ones.weight_sum == ones.n_train
    d = without_clock(ones)
    d.pop("weight_sum")
    assert d == without_clock(plain)

    w = 0.5 + w
    w[7] = 0.0
    zero = quorvex.discover(X, y, feature_names=names, weights=w, **QUICK)
    keep = np.arange(len(y)) != 7
    removed = quorvex.discover(X[keep], y[keep], feature_names=names, weights=w[keep], **QUICK)
    assert without_clock(zero) == without_clock(removed)


def test_weights_by_column_name_series_and_dropped_rows():
    X, y, w = rows()
    df = pd.DataFrame({"m": X[:, 0], "r": X[:, 1], "w": w, "y": y}, index=np.arange(len(y)) * 3)
    by_name = quorvex.Dataset(df, "y", weights="w")
    assert by_name.feature_names == ("m", "r")
    shuffled = df["w"].sample(frac=1.0, random_state=0)  # matched by index, not position
    assert np.array_equal(quorvex.Dataset(df[["m", "r"]], df["y"], weights=shuffled).weights, w)

    df.loc[df.index[4], "m"] = np.nan
    dropped = quorvex.Dataset(df, "y", weights="w", missing="drop")
    assert np.array_equal(dropped.weights, np.delete(w, 4))
    for bad, words in [(-1.0, "negative"), (np.nan, "NaN"), (np.inf, "infinite")]:
        w2 = w.copy()
        w2[5] = bad
        with pytest.raises(quorvex.DataError, match=f"row 5 .*{words}"):
            quorvex.discover(X, y, weights=w2, **QUICK)
    with pytest.raises(quorvex.DataError, match="classic search weighs every row alike"):
        quorvex.discover(X, y, weights=w, search="classic", progress=False)


def test_start_from_a_report_never_ends_worse():
    X, y, _ = rows()
    first = quorvex.discover(X, y, **QUICK)
    settings = dict(QUICK, generations=1)
    # The whole front, its JSON, or the best formula alone.
    for previous in (first, first.to_json(), first.expr):
        assert quorvex.discover(X, y, start_from=previous, **settings).bic <= first.bic
    assert quorvex.discover(X, y, start_from=first, starts=2, **settings).bic <= first.bic
    with pytest.raises(quorvex.DataError, match="start_from"):
        quorvex.discover(X, y, start_from="{", **QUICK)


def test_regressor_takes_sample_weight_and_warm_start():
    X, y, w = rows()
    model = quorvex.QuorvexRegressor(seed=3, population=150, generations=2, warm_start=True)
    model.fit(X, y, sample_weight=w)
    assert model.report_.weight_sum is not None
    first = model.report_.bic
    model.set_params(generations=1).fit(X, y, sample_weight=w)
    assert model.report_.bic <= first
    cold = quorvex.QuorvexRegressor(seed=3, population=150, generations=2).fit(X, y)
    assert cold.report_.weight_sum is None
