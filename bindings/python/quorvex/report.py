"""One discovery through the library, and its report as a Python value."""
import ctypes
import dataclasses
import enum
import json
import math
import operator
import os
from dataclasses import dataclass, field
from typing import NamedTuple, Tuple

from . import _native
from . import diagnostics as _diagnostics
from .dataset import Dataset
from .errors import DataError, QuorvexError
from .expr import Expr


class Verdict(enum.IntEnum):
    """How the formula compares with chance; the values are the library's codes."""
    Noise = 0
    Weak = 1
    Strong = 2

    def __str__(self):
        return self.name


class Baselines(NamedTuple):
    """BIC of the reference models on the training rows."""
    bic_const: float
    bic_linear: float
    bic_shuffled_mean: float
    bic_shuffled_std: float


@dataclass(frozen=True, eq=False)
class Report:
    """The result of one discovery. `str(report)` is the library's text report."""
    formula: str
    verdict: Verdict
    mse_train: float
    mse_test: float
    bic: float
    delta_bic_const: float
    delta_bic_linear: float
    z_vs_shuffled: float
    k: int
    baselines: Baselines
    verdict_reason: str
    n_train: int
    n_test: int
    wall_clock_ms: int
    expr_json: str
    feature_names: Tuple[str, ...]
    _text: str = field(repr=False)
    _json: str = field(repr=False)
    # Share of all rows given to discover (the training split stays inside the library) on
    # which the formula is finite; see quorvex.diagnostics.
    finite_share: float = math.nan

    @property
    def expr(self):
        """The best expression as Python objects (see quorvex.expr)."""
        return Expr.from_json(self.expr_json)

    def predict(self, X, *, exact=True):
        """The formula's value on every row of X; a 2-D array's columns are the discovery's features."""
        return self.expr.predict(X, feature_names=self.feature_names, exact=exact)

    @property
    def warnings(self):
        """Plain-language cautions about the verdict (undefined rows, exact fits); often empty."""
        return _diagnostics.warnings(self)

    def to_json(self):
        """The library's JSON report, unchanged."""
        return self._json

    def to_dict(self):
        return json.loads(self._json)

    def __str__(self):
        return self._text

    def __repr__(self):
        return (f"Report(formula={self.formula!r}, verdict={self.verdict.name}, bic={self.bic!r}, "
                f"mse_test={self.mse_test!r})")


_TOKENS = {"inf": math.inf, "-inf": -math.inf, "NaN": math.nan}


def _baselines(doc, text):
    """Exact baselines: the JSON has every finite value; the text tells inf from NaN for the rest."""
    lines = text.split("\n")
    shown = [lines[6].rsplit("= ", 1)[1], lines[7].rsplit("= ", 1)[1]]
    mean, _, std = lines[8].rsplit("= ", 1)[1].partition(" \u00b1 ")
    shown += [mean, std]
    values = []
    for key, token in zip(Baselines._fields, shown):
        v = doc["baselines"][key]
        values.append(float(v) if v is not None else _TOKENS.get(token, math.nan))
    return Baselines(*values)


def _read(lib, handle, feature_names):
    text = _native.take_string(lib.quorvex_report_pretty(handle))
    doc_text = _native.take_string(lib.quorvex_report_json(handle))
    doc = json.loads(doc_text)
    return Report(
        formula=_native.take_string(lib.quorvex_report_formula(handle)),
        verdict=Verdict(lib.quorvex_report_verdict(handle)),
        mse_train=lib.quorvex_report_mse_train(handle),
        mse_test=lib.quorvex_report_mse_test(handle),
        bic=lib.quorvex_report_bic(handle),
        delta_bic_const=lib.quorvex_report_delta_bic_const(handle),
        delta_bic_linear=lib.quorvex_report_delta_bic_linear(handle),
        z_vs_shuffled=lib.quorvex_report_z_vs_shuffled(handle),
        k=doc["k"],
        baselines=_baselines(doc, text),
        verdict_reason=doc["verdict_reason"],
        n_train=doc["n_train"],
        n_test=doc["n_test"],
        wall_clock_ms=doc["wall_clock_ms"],
        expr_json=doc["expr_json"],
        feature_names=tuple(feature_names),
        _text=text,
        _json=doc_text,
    )


def _unsigned(name, value, bits):
    if isinstance(value, bool):
        raise DataError(f"{name} must be an integer, not a bool")
    try:
        v = operator.index(value)
    except TypeError:
        raise DataError(f"{name} must be an integer, not {value!r}") from None
    if not 0 <= v < 2 ** bits:
        raise DataError(f"{name} must be between 0 and {2 ** bits - 1}, not {v}")
    return v


# The least a population slot can take (one tree node, counted in the current and
# the next population); a population above memory / this would end the process.
_MIN_BYTES_PER_CANDIDATE = 128


def _check_population_fits(population):
    try:
        memory = os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE")
    except (AttributeError, ValueError, OSError):
        return
    if population * _MIN_BYTES_PER_CANDIDATE > memory:
        raise DataError(f"a population of {population} needs more memory than this machine has")


def as_dataset(X, y, feature_names):
    """X itself when it is a Dataset (then y and feature_names must be left out), else a new one."""
    if isinstance(X, Dataset):
        if y is not None or feature_names is not None:
            raise DataError("y and feature_names come from the Dataset; do not pass them again")
        return X
    if y is None:
        raise DataError("y is missing: pass the targets or the name of the target column")
    return Dataset(X, y, feature_names=feature_names)


def discover(X, y=None, *, generations=0, population=0, max_depth=0, seed=0, test_fraction=0.2,
             feature_names=None):
    """Searches for a formula that explains y from the columns of X and judges it.

    X and y are as for `Dataset` (or X is a Dataset and y is left out).
    0 means the library's default for generations (40), population (200) and
    max_depth (4); a test_fraction outside (0, 1) means 0.2. Equal data,
    settings and seed give the same report, apart from wall_clock_ms.
    """
    data = as_dataset(X, y, feature_names)
    generations = _unsigned("generations", generations, 32)
    population = _unsigned("population", population, 8 * ctypes.sizeof(ctypes.c_size_t))
    max_depth = _unsigned("max_depth", max_depth, 32)
    seed = _unsigned("seed", seed, 64)
    _check_population_fits(population)
    try:
        test_fraction = float(test_fraction)
    except (TypeError, ValueError):
        raise DataError(f"test_fraction must be a number, not {test_fraction!r}") from None

    lib = _native.lib()
    ds = data._handle()
    try:
        handle = lib.quorvex_discover(ds, generations, population, max_depth, seed, test_fraction)
    finally:
        lib.quorvex_dataset_free(ds)
    if not handle:
        raise QuorvexError("the library returned no report")
    try:
        report = _read(lib, handle, data.feature_names)
    finally:
        lib.quorvex_report_free(handle)
    return dataclasses.replace(report, finite_share=_diagnostics.finite_share(report, data))
