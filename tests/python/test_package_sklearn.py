"""QuorvexRegressor: scikit-learn's own estimator checks, and use inside scikit-learn tools."""
import pickle
import re

import numpy as np
import pytest

quorvex = pytest.importorskip("quorvex")
sklearn = pytest.importorskip("sklearn")
from sklearn.base import clone  # noqa: E402
from sklearn.model_selection import GridSearchCV  # noqa: E402
from sklearn.pipeline import make_pipeline  # noqa: E402
from sklearn.preprocessing import FunctionTransformer  # noqa: E402
from sklearn.utils import estimator_checks  # noqa: E402

from quorvex import QuorvexRegressor  # noqa: E402


def _check_id(check):
    name = getattr(check, "func", check).__name__
    keywords = getattr(check, "keywords", {})
    return name + "".join(f"[{k}={v}]" for k, v in sorted(keywords.items()))


CHECKS = list(estimator_checks.check_estimator(QuorvexRegressor(), generate_only=True))


@pytest.mark.parametrize("estimator, check", CHECKS, ids=[_check_id(c) for _, c in CHECKS])
def test_check_estimator(estimator, check):
    check(estimator)


# Checks that check_estimator of this scikit-learn version leaves out.
@pytest.mark.parametrize("name", ["check_param_validation", "check_n_features_in_after_fitting"])
def test_further_checks(name):
    getattr(estimator_checks, name)("QuorvexRegressor", QuorvexRegressor())


def test_column_name_check_scores_predictions():
    # The refined search keeps only formulas finite on every training row, so the scores get
    # no NaN; the classic search's best formula may be undefined on some rows.
    estimator_checks.check_dataframe_column_names_consistency("QuorvexRegressor",
                                                              QuorvexRegressor())


def product_sum(n=120, seed=0):
    rng = np.random.default_rng(seed)
    X = rng.uniform(-2, 2, size=(n, 3))
    return X, X[:, 0] * X[:, 1] + X[:, 2]


def test_fit_predict_score_agree_with_discover():
    X, y = product_sum()
    model = QuorvexRegressor(seed=2).fit(X, y)
    report = quorvex.discover(X, y, seed=2)
    assert model.formula_ == report.formula and model.verdict_ == report.verdict
    assert model.report_.to_json().split('"wall_clock_ms"')[0] == \
        report.to_json().split('"wall_clock_ms"')[0]
    assert set(re.findall(r"x\d", model.formula_)) <= {"x0", "x1", "x2"}
    np.testing.assert_array_equal(model.predict(X), report.predict(X))
    assert model.score(X, y) > 0.99


def test_dataframe_names_reach_the_formula():
    pd = pytest.importorskip("pandas")
    X, y = product_sum()
    frame = pd.DataFrame(X, columns=["speed", "time", "offset"])
    model = QuorvexRegressor(generations=10, population=60, seed=2).fit(frame, y)
    assert list(model.feature_names_in_) == ["speed", "time", "offset"]
    assert not re.search(r"\bx\d", model.formula_)
    np.testing.assert_array_equal(model.predict(frame), model.expr_.predict(frame))


def test_params_clone_pickle_and_grid_search():
    model = QuorvexRegressor(generations=5, population=30, seed=3)
    assert model.get_params() == {"generations": 5, "population": 30, "max_depth": 0, "seed": 3,
                                  "test_fraction": 0.2, "missing": "error", "search": "refined",
                                  "time_limit": None, "operators": None, "n_threads": None,
                                  "starts": 1, "patience": None, "progress": "auto",
                                  "model_selection": "bic", "warm_start": False}
    assert model.set_params(seed=4, max_depth=3).get_params()["seed"] == 4
    assert clone(model).get_params() == model.get_params()
    X, y = product_sum(60)
    model.fit(X, y)
    restored = pickle.loads(pickle.dumps(model))
    np.testing.assert_array_equal(restored.predict(X), model.predict(X))

    pipeline = make_pipeline(FunctionTransformer(), QuorvexRegressor(generations=3, population=20))
    search = GridSearchCV(pipeline, {"quorvexregressor__seed": [0, 1]}, cv=2).fit(X, y)
    assert search.best_params_["quorvexregressor__seed"] in (0, 1)


def test_search_choice_reaches_the_library():
    X, y = product_sum(60)
    classic = QuorvexRegressor(search="classic", generations=3, population=20, seed=1).fit(X, y)
    assert classic.report_.to_json() .split('"wall_clock_ms"')[0] == quorvex.discover(
        X, y, search="classic", generations=3, population=20, seed=1).to_json().split(
        '"wall_clock_ms"')[0]
    refined = QuorvexRegressor(seed=1, time_limit=30).fit(X, y)
    assert refined.report_.search == "refined" and refined.report_.front
    chosen = QuorvexRegressor(seed=1, generations=3, operators={"+": 1, "*": 2}).fit(X, y)
    assert chosen.report_.operators == "+,*:2"
    assert clone(chosen).get_params()["operators"] == {"+": 1, "*": 2}


def test_bad_parameters_are_rejected_at_fit():
    X, y = product_sum(20)
    for params in ({"seed": -1}, {"generations": 2.5}, {"population": "many"},
                   {"search": "fast"}, {"time_limit": 0}, {"search": "classic", "time_limit": 1},
                   {"operators": ["sinh"]}, {"search": "classic", "operators": ["+"]}):
        with pytest.raises(ValueError):
            QuorvexRegressor(**params).fit(X, y)
