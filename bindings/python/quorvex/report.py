"""One discovery through the library, and its report as a Python value."""
import ctypes
import dataclasses
import enum
import html
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
    """The result of one discovery.

    `str(report)` is the library's text report followed by the rows set aside
    and the `warnings`, one line each; `to_text()` is the library's text alone.
    """
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
    # Positions (from 0) of the rows given to discover that missing="drop" set aside.
    dropped_rows: Tuple[int, ...] = ()

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

    def to_text(self):
        """The library's text report, unchanged."""
        return self._text

    def to_dict(self):
        return json.loads(self._json)

    def notes(self):
        """The lines `str` adds under the library's report."""
        lines = []
        if self.dropped_rows:
            n = len(self.dropped_rows)
            total = self.n_train + self.n_test + n
            shown = ", ".join(map(str, self.dropped_rows[:5]))
            more = f" and {n - 5} more" if n > 5 else ""
            lines.append(f"dropped : {n} of {total} rows with a missing or unusable value "
                         f"(row{'s' if n > 1 else ''} {shown}{more}, counting from 0)")
        lines += ["warning : " + w for w in self.warnings]
        return lines

    def __str__(self):
        return self._text + "".join(line + "\n" for line in self.notes())

    def _repr_html_(self):
        notes = "".join(f"<li>{html.escape(line)}</li>" for line in self.notes())
        return f"<pre>{html.escape(self._text)}</pre>" + (f"<ul>{notes}</ul>" if notes else "")

    def __repr__(self):
        return (f"Report(formula={self.formula!r}, verdict={self.verdict.name}, bic={self.bic!r}, "
                f"mse_test={self.mse_test!r})")


_TOKENS = {"inf": math.inf, "-inf": -math.inf, "NaN": math.nan}


def _baselines(doc, text, formula):
    """Exact baselines: the JSON has every finite value; the text tells inf from NaN for the rest.

    The baseline lines follow the formula, whose feature names may hold line feeds.
    """
    lines = text.split("\n")[formula.count("\n"):]
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
    formula = _native.take_string(lib.quorvex_report_formula(handle))
    return Report(
        formula=formula,
        verdict=Verdict(lib.quorvex_report_verdict(handle)),
        mse_train=lib.quorvex_report_mse_train(handle),
        mse_test=lib.quorvex_report_mse_test(handle),
        bic=lib.quorvex_report_bic(handle),
        delta_bic_const=lib.quorvex_report_delta_bic_const(handle),
        delta_bic_linear=lib.quorvex_report_delta_bic_linear(handle),
        z_vs_shuffled=lib.quorvex_report_z_vs_shuffled(handle),
        k=doc["k"],
        baselines=_baselines(doc, text, formula),
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


# Memory a candidate takes during a search (two populations), measured with 200 rows: about
# 190 bytes per level of max_depth from 1 to 8 (depth 4: 770 bytes). The estimate stays below
# the measurements so that only what cannot fit is refused; the command uses the same rule.
_BYTES_PER_DEPTH_LEVEL = 180
_MEASURED_DEPTH = 8


def _read_limit(path):
    try:
        with open(path) as f:
            return int(f.read().split()[0])  # "max" (no limit) fails here
    except (OSError, ValueError, IndexError):
        return None


def memory_limit():
    """(bytes, what) the process may use at most, from what the platform tells, or None.

    The least of physical memory, the address-space and data rlimits and the cgroup's limit.
    """
    found = []
    try:
        found.append((os.sysconf("SC_PHYS_PAGES") * os.sysconf("SC_PAGE_SIZE"), "physical memory"))
    except (AttributeError, ValueError, OSError):
        pass
    try:
        import resource
        for which, what in ((resource.RLIMIT_AS, "the address-space limit (ulimit -v)"),
                            (resource.RLIMIT_DATA, "the data-size limit (ulimit -d)")):
            soft = resource.getrlimit(which)[0]
            if soft != resource.RLIM_INFINITY:
                found.append((soft, what))
    except (ImportError, OSError, ValueError):
        pass
    try:
        with open("/proc/self/cgroup") as f:
            groups = [line.strip()[3:] for line in f if line.startswith("0::")]
    except OSError:
        groups = []
    for group in groups:
        while True:
            v = _read_limit(f"/sys/fs/cgroup{group}/memory.max")
            if v is not None:
                found.append((v, "the cgroup's memory.max"))
            if group in ("", "/"):
                break
            group = group[:group.rfind("/")]
    v = _read_limit("/sys/fs/cgroup/memory/memory.limit_in_bytes")
    if v is not None:
        found.append((v, "the cgroup's memory limit"))
    return min(found) if found else None


def _check_population_fits(population, max_depth):
    limit = memory_limit()
    if limit is None:
        return
    per = _BYTES_PER_DEPTH_LEVEL * min(max(max_depth or 4, 1), _MEASURED_DEPTH)
    if (population or 200) * per > limit[0]:
        raise DataError(f"a population of {population} needs about "
                        f"{population * per / 2 ** 30:.1f} GiB ({per} bytes per candidate or "
                        f"more), more than the {limit[0] / 2 ** 30:.1f} GiB of {limit[1]}; choose "
                        f"a smaller population (at most {limit[0] // per})")


def as_dataset(X, y, feature_names, missing=None):
    """X itself when it is a Dataset (then y, feature_names and missing must be left out), else a
    new one."""
    if isinstance(X, Dataset):
        if y is not None or feature_names is not None or missing is not None:
            raise DataError("y, feature_names and missing come from the Dataset; do not pass "
                            "them again")
        return X
    if y is None:
        raise DataError("y is missing: pass the targets or the name of the target column")
    return Dataset(X, y, feature_names=feature_names,
                   missing="error" if missing is None else missing)


def check_test_fraction(test_fraction):
    if isinstance(test_fraction, bool):
        raise DataError("test_fraction must be a number, not a bool")
    try:
        value = float(test_fraction)
    except (TypeError, ValueError):
        raise DataError(f"test_fraction must be a number, not {test_fraction!r}") from None
    if not 0.0 < value < 1.0:
        raise DataError(f"test_fraction must lie strictly between 0 and 1, not {test_fraction!r}")
    return value


def discover(X, y=None, *, generations=0, population=0, max_depth=0, seed=0, test_fraction=0.2,
             feature_names=None, missing=None):
    """Searches for a formula that explains y from the columns of X and judges it.

    X and y are as for `Dataset` (or X is a Dataset and y is left out), and so
    is `missing` ("error" by default, "drop" or "keep"): what to do with rows
    holding NaN, an infinity or a magnitude above 1e100.
    0 means the library's default for generations (40), population (200) and
    max_depth (4), the depth budget of trees grown at random (crossover can
    splice deeper ones, up to depth 10). test_fraction must lie strictly
    between 0 and 1. Equal data, settings and seed give the same report, apart
    from wall_clock_ms.
    """
    data = as_dataset(X, y, feature_names, missing)
    generations = _unsigned("generations", generations, 32)
    population = _unsigned("population", population, 8 * ctypes.sizeof(ctypes.c_size_t))
    max_depth = _unsigned("max_depth", max_depth, 32)
    seed = _unsigned("seed", seed, 64)
    _check_population_fits(population, max_depth)
    test_fraction = check_test_fraction(test_fraction)

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
    return dataclasses.replace(report, finite_share=_diagnostics.finite_share(report, data),
                               dropped_rows=data.dropped_rows)
