"""A report drawn with matplotlib: how the formula fits the data, and the front it came from."""
import math

import numpy as np

from .dataset import Dataset
from .errors import DataError
from .expr import predict_json

_TRAIN, _FORMULA, _CHOSEN = "#4c72b0", "#222222", "#dd8452"
_CURVE_POINTS = 400


def _matplotlib():
    try:
        from matplotlib.figure import Figure
    except ImportError:
        raise ImportError("plot needs matplotlib (Debian: python3-matplotlib)") from None
    return Figure


def _data(report, X, y, feature_names):
    if isinstance(X, Dataset):
        if y is not None or feature_names is not None:
            raise DataError("y and feature_names come from the Dataset; do not pass them again")
        return X
    if y is None:
        raise DataError("y is missing: pass the targets or the name of the target column")
    names = feature_names
    if names is None and not hasattr(X, "columns"):
        names = list(report.feature_names)
    return Dataset(X, y, feature_names=names, missing="keep",
                   target_name=None if isinstance(y, str) or hasattr(y, "name")
                   else report.target_name)


def plot_report(report, X=None, y=None, *, feature_names=None, figure=None):
    Figure = _matplotlib()
    data = None if X is None else _data(report, X, y, feature_names)
    panels = []
    if data is not None:
        panels += [_observed_predicted, _residuals]
    if report.front:
        panels.append(_front)
    if data is not None and len(data.feature_names) == 1:
        panels.append(_curve)
    if not panels:
        raise DataError("a classic report has no front: pass the data (X, y) to plot its fit")
    columns = 1 if len(panels) == 1 else 2
    rows = (len(panels) + 1) // 2
    fig = figure if figure is not None else Figure(figsize=(5.5 * columns, 4.4 * rows))
    fig.suptitle(f"{report.target_name if data is None else data.target_name} = "
                 f"{_short(report.formula, 90)}   ({report.verdict.name})", fontsize=11)
    fit = None
    if data is not None:
        columns_ = {n: np.ascontiguousarray(data.X[:, j])
                    for j, n in enumerate(data.feature_names)}
        predicted = predict_json(report.expr_json, columns_, data.n_rows)
        observed = np.asarray(data.y)
        shown = np.isfinite(predicted) & np.isfinite(observed)
        fit = (data, observed, predicted, shown)
    for i, panel in enumerate(panels):
        panel(fig.add_subplot(rows, columns, i + 1), report, fit)
    fig.tight_layout()
    return fig


def _short(text, n):
    return text if len(text) <= n else text[:n - 1] + "…"


def _hidden_note(ax, fit):
    data, _, _, shown = fit
    hidden = int(data.n_rows - shown.sum())
    if hidden:
        ax.text(0.02, 0.02, f"{hidden} rows not finite, not shown", transform=ax.transAxes,
                fontsize=8, color="#666")


def _observed_predicted(ax, report, fit):
    data, observed, predicted, shown = fit
    ax.scatter(observed[shown], predicted[shown], s=10, alpha=0.6, color=_TRAIN)
    if shown.any():
        lo = min(observed[shown].min(), predicted[shown].min())
        hi = max(observed[shown].max(), predicted[shown].max())
        ax.plot([lo, hi], [lo, hi], "--", color="#999", linewidth=1)
    ax.set_xlabel(f"observed {data.target_name}")
    ax.set_ylabel(f"predicted {data.target_name}")
    ax.set_title("Predicted against observed", fontsize=10)
    _hidden_note(ax, fit)


def _residuals(ax, report, fit):
    data, observed, predicted, shown = fit
    ax.scatter(predicted[shown], observed[shown] - predicted[shown], s=10, alpha=0.6,
               color=_TRAIN)
    ax.axhline(0.0, linestyle="--", color="#999", linewidth=1)
    ax.set_xlabel(f"predicted {data.target_name}")
    ax.set_ylabel("observed − predicted")
    ax.set_title("Residuals (a pattern is one the formula missed)", fontsize=10)


def _front(ax, report, fit):
    floor = report.mse_floor if report.mse_floor > 0 else 1e-300
    k = [e.complexity for e in report.front]
    for name, values, colour in (("training error", [e.mse_train for e in report.front], _TRAIN),
                                 ("test error", [e.mse_test for e in report.front], "#55a868")):
        shown = [max(v, floor) if math.isfinite(v) else math.nan for v in values]
        ax.plot(k, shown, "o-", color=colour, markersize=4, label=name)
    chosen = next((e for e in report.front if e.complexity == report.k and e.bic == report.bic),
                  None)
    if chosen is not None:
        ax.plot([chosen.complexity], [max(chosen.mse_train, floor)], "*", color=_CHOSEN,
                markersize=16, label="the formula reported", zorder=3)
    ax.set_yscale("log")
    ax.set_xlabel("complexity")
    ax.set_ylabel("mean squared error")
    ax.set_title("Error against complexity (the front)", fontsize=10)
    ax.legend(fontsize=8)


def _curve(ax, report, fit):
    data, observed, predicted, shown = fit
    name = data.feature_names[0]
    x = np.asarray(data.X[:, 0])
    ax.scatter(x[shown], observed[shown], s=10, alpha=0.6, color=_TRAIN, label="data")
    finite = x[np.isfinite(x)]
    if finite.size:
        grid = np.linspace(finite.min(), finite.max(), _CURVE_POINTS)
        curve = predict_json(report.expr_json, {name: grid}, grid.size)
        ax.plot(grid, curve, color=_FORMULA, linewidth=2, label="the formula")
        if shown.any():  # a formula that explodes off the data must not flatten it
            lo, hi = observed[shown].min(), observed[shown].max()
            pad = 0.1 * (hi - lo) if hi > lo else 1.0
            ax.set_ylim(lo - pad, hi + pad)
    ax.set_xlabel(name)
    ax.set_ylabel(data.target_name)
    ax.set_title("The data and the formula", fontsize=10)
    ax.legend(fontsize=8)
