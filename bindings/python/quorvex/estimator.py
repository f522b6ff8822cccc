"""A scikit-learn regressor around `discover`."""
from numbers import Integral, Real

import numpy as np
from sklearn.base import BaseEstimator, RegressorMixin
from sklearn.utils.validation import check_is_fitted

from .dataset import Dataset
from .report import discover

try:  # scikit-learn's parameter checks, where this version has them
    from sklearn.utils._param_validation import Interval, StrOptions
except ImportError:  # pragma: no cover
    Interval = None


_REFINED_MIN_ROWS = 5


class QuorvexRegressor(RegressorMixin, BaseEstimator):
    """Fits one closed-form formula. Settings as for `quorvex.discover` (0 = default):
    `search` is "refined" (the default) or "classic", `time_limit` seconds or None,
    `operators` (refined only) None for the default set, a list of names, a dict of
    name -> weight or a text, `n_threads` the threads that score (None: all; the
    formula does not depend on it), `starts` (refined only) the independently seeded
    searches merged into one report, run here one after another, `patience`
    (refined only) the generations without improvement before the search stops,
    `progress` as for `discover` ("auto", True or False).

    `model_selection` says which formula of the front predicts: "bic" (the
    default) the one the report gives, the lowest BIC; "accuracy" the lowest
    test error (the training error where there are no test rows); a whole
    number the most complex entry of at most that complexity. With the classic
    search (no front) only "bic" applies.

    `missing` ("error", "drop" or "keep") is as for `quorvex.discover`; with
    "error", predict refuses NaN and infinities too.

    `fit(X, y, sample_weight=w)` weighs the rows (refined only; `weights` of
    `quorvex.discover`: frequency weights, integer ones counting as repeated
    rows). With `warm_start=True` (refined only) a second fit starts from the
    front of the first (`start_from` of `quorvex.discover`): on the same data
    and settings it never ends with a higher BIC, so fitting again with a
    larger `time_limit` or `generations` refines the formula.

    After fit: `report_` (the full report), `expr_` and `formula_` (the formula
    that predicts), `verdict_`, `n_features_in_` and, for DataFrames with string
    columns, `feature_names_in_`. The features are called x0, x1, ... otherwise;
    in a Pipeline, `set_output(transform="pandas")` on the steps before keeps
    the column names, so that formulas read them.
    """

    if Interval is not None:
        _parameter_constraints = {
            "generations": [Interval(Integral, 0, 2**32 - 1, closed="both")],
            "population": [Interval(Integral, 0, None, closed="left")],
            "max_depth": [Interval(Integral, 0, 2**32 - 1, closed="both")],
            "seed": [Interval(Integral, 0, 2**64 - 1, closed="both")],
            "test_fraction": [Interval(Real, 0, 1, closed="neither")],
            "missing": [StrOptions({"error", "drop", "keep"})],
            "search": [StrOptions({"refined", "classic"})],
            "time_limit": [None, Interval(Real, 0, None, closed="neither")],
            "operators": [None, str, list, tuple, dict],
            "n_threads": [None, Interval(Integral, 0, None, closed="left")],
            "starts": [Interval(Integral, 1, 2**32 - 1, closed="both")],
            "patience": [None, Interval(Integral, 0, 2**32 - 1, closed="both")],
            "progress": [None, StrOptions({"auto"}), "boolean"],
            "model_selection": [StrOptions({"bic", "accuracy"}),
                                Interval(Integral, 1, None, closed="left")],
            "warm_start": ["boolean"],
        }

    def __init__(self, generations=0, population=0, max_depth=0, seed=0, test_fraction=0.2,
                 missing="error", search="refined", time_limit=None, operators=None,
                 n_threads=None, starts=1, patience=None, progress="auto",
                 model_selection="bic", warm_start=False):
        self.generations = generations
        self.population = population
        self.max_depth = max_depth
        self.seed = seed
        self.test_fraction = test_fraction
        self.missing = missing
        self.search = search
        self.time_limit = time_limit
        self.operators = operators
        self.n_threads = n_threads
        self.starts = starts
        self.patience = patience
        self.progress = progress
        self.model_selection = model_selection
        self.warm_start = warm_start

    def _names(self):
        if hasattr(self, "feature_names_in_"):
            return [str(n) for n in self.feature_names_in_]
        return [f"x{j}" for j in range(self.n_features_in_)]

    def fit(self, X, y, sample_weight=None):
        if hasattr(self, "_validate_params"):
            self._validate_params()
        previous = getattr(self, "report_", None) if self.warm_start else None
        # Non-finite values are judged by Dataset's `missing` rule, with its message.
        X, y = self._validate_data(X, y, force_all_finite=False, dtype=np.float64, y_numeric=True)
        if sample_weight is not None:
            sample_weight = np.asarray(sample_weight, dtype=np.float64)
            if sample_weight.ndim == 0:  # scikit-learn's convention: one weight for every row
                sample_weight = np.full(X.shape[0], float(sample_weight))
        data = Dataset(X, y, feature_names=self._names(), missing=self.missing,
                       weights=sample_weight)
        if self.search == "refined" and data.n_rows < _REFINED_MIN_ROWS:
            # In scikit-learn's words, which its checks expect.
            raise ValueError(f"the refined search needs at least {_REFINED_MIN_ROWS} rows; got "
                             f"n_samples = {data.n_rows}")
        report = discover(data, search=self.search, generations=self.generations,
                          population=self.population, max_depth=self.max_depth, seed=self.seed,
                          test_fraction=self.test_fraction, time_limit=self.time_limit,
                          operators=self.operators, n_threads=self.n_threads,
                          starts=self.starts, patience=self.patience, progress=self.progress,
                          start_from=previous)
        self.report_ = report
        self.expr_, self.formula_ = selected(report, self.model_selection)
        self.verdict_ = report.verdict
        return self

    def predict(self, X):
        check_is_fitted(self, "expr_")
        X = self._validate_data(X, reset=False, force_all_finite=self.missing == "error",
                                dtype=np.float64)
        return self.expr_.predict(X, feature_names=self._names())

    def _more_tags(self):
        return {"allow_nan": self.missing != "error"}


def selected(report, model_selection):
    """(expr, formula) of the front entry `model_selection` names (see QuorvexRegressor)."""
    if isinstance(model_selection, str) and model_selection == "bic":
        return report.expr, report.formula
    if not report.front:
        raise ValueError(f"model_selection={model_selection!r} needs a front: the refined "
                         "search gives one, the classic search does not")
    front = report.front
    if isinstance(model_selection, str):
        if model_selection != "accuracy":
            raise ValueError(f"model_selection must be 'bic', 'accuracy' or a complexity, not "
                             f"{model_selection!r}")
        use_test = report.n_test > 0 and any(np.isfinite(e.mse_test) for e in front)
        error = [e.mse_test if use_test else e.mse_train for e in front]
        # Ties go to the simpler formula; NaN errors never win.
        best = min(range(len(front)),
                   key=lambda i: (not np.isfinite(error[i]), error[i] if np.isfinite(error[i])
                                  else 0.0, front[i].complexity))
        entry = front[best]
    else:
        fitting = [e for e in front if e.complexity <= model_selection]
        if not fitting:
            raise ValueError(f"no formula of the front has complexity {model_selection} or "
                             f"less (the simplest has {front[0].complexity})")
        entry = fitting[-1]
    return entry.expr, entry.formula
