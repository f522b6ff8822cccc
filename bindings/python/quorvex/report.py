"""One discovery through the library, and its report as a Python value."""
import ctypes
import dataclasses
import enum
import html
import json
import math
import operator
import warnings
from collections.abc import Mapping
from dataclasses import dataclass, field
from typing import NamedTuple, Tuple

from . import _native
from . import diagnostics as _diagnostics
from . import progress as _progress
from .dataset import Dataset, row_list
from .errors import DataError, QuorvexError
from .expr import Expr, columns_of, predict_json


class Verdict(enum.IntEnum):
    """How the formula compares with chance; the values are the library's codes."""
    Noise = 0
    Weak = 1
    Strong = 2

    def __str__(self):
        return self.name


class FrontEntry(NamedTuple):
    """One formula of a refined search's front: the best found at its complexity.

    `pandas.DataFrame(report.front)` makes a table of the front."""
    complexity: int
    mse_train: float
    mse_test: float
    bic: float
    formula: str
    expr: Expr
    latex_text: str = ""

    def predict(self, X, feature_names=None):
        return self.expr.predict(X, feature_names=feature_names)

    def latex(self):
        """The formula as LaTeX, as the library writes it ("\\frac{3.4 S}{S + 0.7}")."""
        return self.latex_text


class FittedConstant(NamedTuple):
    """One constant of the formula, in the order of its expression, with its standard error
    (NaN when it cannot be estimated, inf when the data cannot tell it from other constants)."""
    value: float
    std_error: float
    # With units: the constant's unit ("1" for a pure number); else None.
    units: str = None

    @property
    def interval_includes_zero(self):
        """Whether the 95% interval value ± 1.96·std_error holds 0: the data do not show that
        the constant is needed."""
        return abs(self.value) <= 1.96 * self.std_error

    def __repr__(self):
        flag = " (interval includes 0)" if self.interval_includes_zero else ""
        return f"{self.value:.4g} ± {self.std_error:.4g}{flag}"


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
    # Share of the training and test rows (refined: those left after rows with a non-finite
    # value were set aside) on which the formula is finite, as the library counts it.
    finite_share: float = math.nan
    # Refined: the error below which a fit counts as exact (and at which errors are floored);
    # classic: 0.
    mse_floor: float = 0.0
    # Positions (from 0) of the rows given to discover that missing="drop" set aside, and
    # their index labels (as text) when X was a DataFrame with an index of its own.
    dropped_rows: Tuple[int, ...] = ()
    dropped_labels: Tuple[str, ...] = ()
    search: str = "refined"
    # The refined search's front, by increasing complexity; empty for a classic search.
    front: Tuple["FrontEntry", ...] = ()
    simplified: str = ""
    # Rows the library set aside for a NaN or infinite value (refined, missing="keep").
    rows_set_aside: int = 0
    generations: int = 0
    stop_reason: str = "generations"
    # Refined: the operators searched, as the library writes them ("+,-,*,/,pow,exp,log,sqrt,
    # sin,cos", a weight other than 1 after a colon); classic: "".
    operators: str = ""
    # The target's name: the column given as y, a Series' name, else "y".
    target_name: str = "y"
    # Refined: the formula's constants with their standard errors; empty for classic.
    constants: Tuple["FittedConstant", ...] = ()
    # Refined: share of the box the training rows span where the formula is finite; classic: NaN.
    domain_share: float = math.nan
    # Weighted rows: the training rows' sum of weights, the n of every BIC; else None.
    weight_sum: float = None
    # With units (refined only): the formula's unit, the target's ("kg*m/s^2"); else None.
    units: str = None
    _latex: str = field(default="", repr=False)

    def latex(self):
        """The reported formula as LaTeX, as the library writes it (a refined search's as
        displayed; `formula` is the same formula as text)."""
        return self._latex

    @property
    def operator_weights(self):
        """The operators searched as a dict name -> weight (refined; empty for classic)."""
        weights = {}
        for item in self.operators.split(",") if self.operators else ():
            name, _, weight = item.partition(":")
            weights[name] = int(weight) if weight else 1
        return weights

    @property
    def expr(self):
        """The best expression as Python objects (see quorvex.expr)."""
        return Expr.from_json(self.expr_json)

    def predict(self, X, *, exact=True):
        """The formula's value on every row of X, from the library's evaluator; a 2-D array's
        columns are the discovery's features. (`exact` has no effect, kept for older code.)"""
        return predict_json(self.expr_json, *columns_of(X, self.feature_names))

    @property
    def warnings(self):
        """Plain-language cautions about the verdict (undefined rows, exact fits); often empty."""
        return _diagnostics.warnings(self)

    def to_json(self):
        """The library's JSON report, its members unchanged and in their order, followed by
        the package's: feature_names, target_name, dropped_rows, dropped_labels, simplified,
        finite_share
        (the classic report lacks it), interrupted (when Ctrl-C stopped the search) and
        text, the text report. `Report.from_json` reads it back; the command's --predict
        reads it as it reads its own --json output."""
        extra = {"feature_names": list(self.feature_names), "target_name": self.target_name,
                 "dropped_rows": list(self.dropped_rows),
                 "dropped_labels": list(self.dropped_labels), "simplified": self.simplified}
        if "finite_share" not in self.to_dict():
            extra["finite_share"] = None if math.isnan(self.finite_share) else self.finite_share
        if self.stop_reason == INTERRUPTED:
            extra["interrupted"] = True
        extra["text"] = self._text
        body = self._json.rstrip()
        if not body.endswith("}"):
            raise QuorvexError("the library's JSON report does not end its object")
        members = "".join(f",\n  {json.dumps(k)}: {json.dumps(v, ensure_ascii=False)}"
                          for k, v in extra.items())
        return body[:-1].rstrip() + members + "\n}"

    @classmethod
    def from_json(cls, text):
        """The Report of a JSON report: `to_json`'s, or the command's --json output and the
        C interface's (then feature_names are those the front reads, in first-use order,
        target_name "y" and the text report a shorter one written here). Predictions of the
        report read back equal the original's, bit for bit."""
        return _from_json(text)

    def plot(self, X=None, y=None, *, feature_names=None, figure=None):
        """A matplotlib Figure (needs matplotlib): with the data (X and y as for `discover`,
        or a Dataset) the observed against the predicted target and the residuals; the
        front's errors against complexity, the reported formula marked; with a single
        feature, the data with the formula's curve. `figure` draws into a Figure of yours.
        Save it with `report.plot(X, y).savefig("fit.png")`."""
        from .plot import plot_report
        return plot_report(self, X, y, feature_names=feature_names, figure=figure)

    def to_text(self):
        """The library's text report, unchanged."""
        return self._text

    def to_dict(self):
        """The library's JSON report as a dict (the package's members left out)."""
        return json.loads(self._json)

    def notes(self):
        """The lines `str` adds under the library's report."""
        lines = []
        if self.dropped_rows:
            n = len(self.dropped_rows)
            total = self.n_train + self.n_test + n
            lines.append(f"dropped : {n} of {total} rows with a missing or unusable value "
                         f"({row_list(list(self.dropped_rows), list(self.dropped_labels), comma=True)})")
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


# Field codes of quorvex_ext.h.
_NUMBERS = dict(mse_train=0, mse_test=1, bic=2, delta_bic_const=3, delta_bic_linear=4,
                z_vs_shuffled=5, bic_const=6, bic_linear=7, bic_shuffled_mean=8,
                bic_shuffled_std=9, finite_share=10, mse_floor=11, domain_share=12)
_K, _N_TRAIN, _N_TEST, _ROWS_SET_ASIDE, _GENERATIONS, _FRONT_SIZE, _WALL_CLOCK_MS = 1, 2, 3, 4, 5, 6, 7
_N_CONSTANTS, _CONSTANT_VALUE, _CONSTANT_STD_ERROR = 9, 0, 1
_FORMULA, _EXPR_JSON, _SIMPLIFIED, _PRETTY, _JSON, _VERDICT_REASON, _STOP_NAME, _LATEX = range(8)


def _read(lib, handle, feature_names, search):
    number = {name: lib.qvx_result_number(handle, code) for name, code in _NUMBERS.items()}
    count = lambda field: int(lib.qvx_result_count(handle, field))
    text = lambda field: _native.take_string(lib.qvx_result_text(handle, field))
    json_text = text(_JSON)
    front = []
    for i in range(count(_FRONT_SIZE)):
        front.append(FrontEntry(
            complexity=int(lib.qvx_front_number(handle, i, 0)),
            mse_train=lib.qvx_front_number(handle, i, 1),
            mse_test=lib.qvx_front_number(handle, i, 2),
            bic=lib.qvx_front_number(handle, i, 3),
            formula=_native.take_string(lib.qvx_front_text(handle, i, _FORMULA)),
            expr=Expr.from_json(_native.take_string(lib.qvx_front_text(handle, i, _EXPR_JSON))),
            latex_text=_native.take_string(lib.qvx_front_text(handle, i, _LATEX))))
    doc = json.loads(json_text) if search == "refined" else {}
    unit_of = [c.get("units") for c in doc.get("constants", ())]
    constants = tuple(FittedConstant(lib.qvx_constant_number(handle, i, _CONSTANT_VALUE),
                                     lib.qvx_constant_number(handle, i, _CONSTANT_STD_ERROR),
                                     unit_of[i] if i < len(unit_of) else None)
                      for i in range(count(_N_CONSTANTS)))
    return Report(
        formula=text(_FORMULA),
        verdict=Verdict(lib.qvx_result_verdict(handle)),
        mse_train=number["mse_train"],
        mse_test=number["mse_test"],
        bic=number["bic"],
        delta_bic_const=number["delta_bic_const"],
        delta_bic_linear=number["delta_bic_linear"],
        z_vs_shuffled=number["z_vs_shuffled"],
        k=count(_K),
        finite_share=number["finite_share"],
        mse_floor=number["mse_floor"],
        baselines=Baselines(number["bic_const"], number["bic_linear"],
                            number["bic_shuffled_mean"], number["bic_shuffled_std"]),
        verdict_reason=text(_VERDICT_REASON),
        n_train=count(_N_TRAIN),
        n_test=count(_N_TEST),
        wall_clock_ms=count(_WALL_CLOCK_MS),
        expr_json=text(_EXPR_JSON),
        feature_names=tuple(feature_names),
        _text=text(_PRETTY),
        _json=json_text,
        search=search,
        front=tuple(front),
        simplified=text(_SIMPLIFIED),
        rows_set_aside=count(_ROWS_SET_ASIDE),
        generations=count(_GENERATIONS),
        stop_reason=text(_STOP_NAME),
        operators=json.loads(json_text).get("operators", "") if search == "refined" else "",
        constants=constants,
        domain_share=number["domain_share"],
        weight_sum=doc.get("weight_sum"),
        units=doc.get("units"),
        _latex=text(_LATEX),
    )


def _unsigned(name, value, bits):
    """An integer as the C member of `bits` bits holds it; what it means is the library's to say."""
    if isinstance(value, bool):
        raise DataError(f"{name} must be an integer, not a bool")
    try:
        v = operator.index(value)
    except TypeError:
        raise DataError(f"{name} must be an integer, not {value!r}") from None
    if not 0 <= v < 2 ** bits:
        raise DataError(f"{name} must be between 0 and {2 ** bits - 1}, not {v}")
    return v


def _number(name, value):
    if isinstance(value, bool):
        raise DataError(f"{name} must be a number, not a bool")
    try:
        return float(value)
    except (TypeError, ValueError):
        raise DataError(f"{name} must be a number, not {value!r}") from None


def as_dataset(X, y, feature_names, missing=None, weights=None):
    """X itself when it is a Dataset (then y, feature_names, missing and weights must be left
    out), else a new one."""
    if isinstance(X, Dataset):
        if y is not None or feature_names is not None or missing is not None \
                or weights is not None:
            raise DataError("y, feature_names, missing and weights come from the Dataset; do not "
                            "pass them again")
        return X
    if y is None:
        raise DataError("y is missing: pass the targets or the name of the target column")
    return Dataset(X, y, feature_names=feature_names,
                   missing="error" if missing is None else missing, weights=weights)


def start_from_text(start_from):
    """The options' start_from bytes: None for none; a Report's JSON, an Expr's or a front
    entry's, or a JSON text (a saved report, an expression), which the library reads."""
    if start_from is None:
        return None
    if isinstance(start_from, Report):
        text = start_from.to_json()
    elif isinstance(start_from, FrontEntry):
        text = start_from.expr.to_json()
    elif isinstance(start_from, Expr):
        text = start_from.to_json()
    elif isinstance(start_from, str):
        text = start_from
    elif isinstance(start_from, bytes):
        try:
            text = start_from.decode("utf-8")
        except UnicodeDecodeError:
            raise DataError("start_from is not valid UTF-8") from None
    elif isinstance(start_from, Mapping):
        text = json.dumps(start_from)
    else:
        raise DataError("start_from must be a Report, an Expr or a JSON text, not "
                        f"{type(start_from).__name__}")
    return _c_text(text, "start_from")


def check_search(search):
    if search not in _native.SEARCHES:
        raise DataError(f"search must be 'refined' or 'classic', not {search!r}")
    return search


def operators_text(operators):
    """The options' operators text: None (the default set) for None; else from a list of names,
    a mapping name -> weight, or a text, which the library reads and judges ("+, *, sin:2")."""
    if operators is None:
        return None
    if isinstance(operators, str):
        text = operators
    elif isinstance(operators, Mapping):
        text = ",".join(f"{_operator_name(n)}:{w}" for n, w in operators.items())
    elif isinstance(operators, (list, tuple, set, frozenset)):
        text = ",".join(_operator_name(n) for n in operators)
    else:
        raise DataError("operators must be a list of names, a dict of name -> weight or a text, "
                        f"not {type(operators).__name__}")
    return _c_text(text, "operators")


def _c_text(text, what):
    """`text` as the bytes of a C string option named `what`."""
    # A C string ends at its first NUL: the library would read less than was given.
    if "\0" in text:
        raise DataError(f"{what} must not contain NUL")
    try:
        return text.encode("utf-8")
    except UnicodeEncodeError:
        raise DataError(f"{what} is not valid text (it holds a lone surrogate)") from None


def _operator_name(name):
    if not isinstance(name, str):
        raise DataError(f"an operator name must be a string, not {name!r}")
    return name


def options(search, generations, population, max_depth, seed, test_fraction, time_limit,
            patience=None, operators=None, n_threads=None, start_from=None):
    """The library's options record: its defaults for `search`, then every setting given.

    0 keeps the library's default for generations, population and max_depth; n_threads None
    (or 0) is the whole worker pool. The library judges the values (qvx_discover refuses them
    with its reason)."""
    given = dict(generations=_unsigned("generations", generations, 32),
                 population=_unsigned("population", population,
                                      8 * ctypes.sizeof(ctypes.c_size_t)),
                 max_depth=_unsigned("max_depth", max_depth, 32))
    record = _native.defaults(_native.SEARCHES[check_search(search)])
    for name, value in given.items():
        if value:
            setattr(record, name, value)
    record.seed = _unsigned("seed", seed, 64)
    record.test_fraction = _number("test_fraction", test_fraction)
    if time_limit is not None:
        record.time_limit = _number("time_limit", time_limit)
    if patience is not None:
        record.patience = _unsigned("patience", patience, 32)
    if n_threads is not None:
        record.max_threads = _unsigned("n_threads", n_threads, 8 * ctypes.sizeof(ctypes.c_size_t))
    record.operators = operators_text(operators)  # the record keeps the bytes alive
    record.start_from = start_from_text(start_from)
    return record


def watched(call, progress, permutations=False):
    """Runs call(callback) under the progress display and the Ctrl-C watch; returns its
    status and the watch, which tells whether Ctrl-C was pressed (once or twice)."""
    with _progress.Watch(progress, permutations) as watch:
        status = watch.call(call)
    return status, watch


def run(call, progress, permutations=False):
    """Runs call(callback) as `watched` does; raises KeyboardInterrupt after a Ctrl-C."""
    status, watch = watched(call, progress, permutations)
    if watch.interrupted:
        raise KeyboardInterrupt
    return status


def raise_for(status):
    if status == _native.QVX_ERR_ARGUMENT:
        raise DataError(_native.last_error())
    if status == _native.QVX_ERR_DATA:
        raise DataError(_native.last_error())
    if status == _native.QVX_STOPPED:
        raise KeyboardInterrupt
    if status != _native.QVX_OK:
        raise QuorvexError(f"the library failed ({status}): {_native.last_error()}")


def _discover(data, record, progress):
    """The qvx_result handle of one discovery of `record` on `data`, for the caller to free,
    and whether Ctrl-C stopped it. Raises for a failed call, and KeyboardInterrupt for a
    classic search stopped (it gives no result) or a second Ctrl-C."""
    lib = _native.ext()
    out = ctypes.c_void_p()
    ds = data._ext_handle()
    try:
        status, watch = watched(lambda callback: lib.qvx_discover(
            ds, ctypes.byref(record), callback, None, ctypes.byref(out)), progress)
    finally:
        lib.qvx_dataset_free(ds)
    if watch.abandoned or (watch.interrupted and status != _native.QVX_OK):
        lib.qvx_result_free(out)
        raise KeyboardInterrupt
    raise_for(status)
    return out, watch.interrupted


INTERRUPTED = "interrupted"


def mark_interrupted(report):
    """The report of a search Ctrl-C ended, said so; a warning tells it at once."""
    if report.stop_reason != "stopped by caller":
        return report  # the search had ended on its own before the stop was heard
    warnings.warn(f"interrupted by Ctrl-C after {report.generations} generations: the report "
                  "holds the best formula found so far (press Ctrl-C twice to abandon a search)",
                  UserWarning, stacklevel=3)
    return dataclasses.replace(report, stop_reason=INTERRUPTED)


def discover(X, y=None, *, search="refined", generations=0, population=0, max_depth=0, seed=0,
             test_fraction=0.2, time_limit=None, patience=None, operators=None, n_threads=None,
             starts=1, executor=None, progress=None, feature_names=None, missing=None,
             weights=None, start_from=None, units=None, target_units=None,
             dimensional_constants=0):
    """Searches for a formula that explains y from the columns of X and judges it.

    X and y are as for `Dataset` (or X is a Dataset and y is left out), and so
    is `missing` ("error" by default, "drop" or "keep"): what to do with rows
    holding NaN, an infinity or a magnitude above 1e100.

    search="refined" (the default) returns the front of the best formula per
    complexity, simplified, and stops once nothing improves, once exact, or
    after `time_limit` seconds (`patience`: generations without improvement
    before it stops, 0 never); search="classic" is the C entry's search and
    gives its report byte for byte. 0 (or None for time_limit and patience)
    means the library's default for each search, as qvx_options_init in
    quorvex_ext.h gives it; the library judges every setting and its reason
    is raised as DataError. Without a time limit, equal data, settings and
    seed give the same report, apart from wall_clock_ms.

    operators (refined only) chooses what formulas are built from: a list of
    names (["+", "*", "sin"]), a dict of name -> weight ({"+": 1, "sin": 2}; the
    weight is the complexity the operator adds to a formula), or
    the library's text ("+, *, sin:2"); quorvex_ext.h lists the names, the
    weights allowed and the default set (None). `report.operators` tells the
    set used.

    n_threads caps the threads that score a search, this one included (None or
    0: the library's whole worker pool, one thread per processor); the report
    does not depend on it.

    starts=K (refined only) runs K independently seeded searches of the one
    discovery (start 0 is the ordinary search; the others draw their random
    choices from streams of their own, on the same split) and merges their
    fronts into one report, judged once against the same baselines
    (qvx_merge_starts in quorvex_ext.h): per complexity the best formula any
    start found, so the best BIC is never above start 0's alone. It costs K
    searches. Its generations are the sum of the starts', and so is its
    wall_clock_ms; its stop_reason is the least conclusive of theirs. With an
    executor (any concurrent.futures.Executor: a ThreadPoolExecutor, a
    ProcessPoolExecutor, dask's client.get_executor()), each start runs there
    as quorvex.starts.start_report and only its JSON report comes back;
    without one they run here one after another, each on the whole worker
    pool (which keeps every processor busy within a generation already), with
    the progress bar and Ctrl-C as for one search. Equal data, settings, seed
    and K give the same report wherever the starts ran and in whatever order
    they finished (wall_clock_ms aside). starts=1 is the ordinary discovery,
    run here (the executor is not used).

    weights (refined only) weighs the rows, as `Dataset` describes: the fits,
    the errors, the baselines and the BIC are weighted, integer weights count
    as repeated rows, and `report.weight_sum` is the BIC's n.

    units (refined only) declares the features' physical units, a dict of every
    feature name to a unit text ("kg", "kg*m/s^2", "m s^-2", "m^(1/2)", "1/s",
    "1" for a pure number; SI base units kg m s A K mol cd and Hz N Pa J W C V
    F Ohm S Wb T H), and target_units the target's: only formulas whose units
    agree are searched and reported (sums of equal units, pure numbers inside
    exp, log, sin, cos, tanh). A constant added to a quantity (an offset, such
    as the intercept) has its unit; up to
    `dimensional_constants` (0 to 3) other constants may carry a unit solved
    for (a G or k_B the data lack), the rest are pure numbers.
    `report.units` is the formula's unit and each `report.constants[i].units`
    the constant's. A unit the library cannot read raises DataError naming
    the column and the position.

    start_from (refined only) is a warm start: a previous Report (or its JSON
    text, or an Expr). Its front joins the first population, and each of its
    formulas is scored again on these training rows and kept where it beats
    what the search finds, so with the same data, seed, test_fraction and
    operators the new report's BIC is never above the previous one's.

    progress="auto" (None too) shows a bar on stderr when it is a terminal
    and in a notebook (tqdm's when installed), True on stderr always, False
    never. Ctrl-C stops a refined search after its current generation and
    returns the best formula so far, with stop_reason "interrupted" and a
    warning; a second Ctrl-C raises KeyboardInterrupt. A classic search (it
    has no result before its end) raises KeyboardInterrupt at the first.
    """
    data = as_dataset(X, y, feature_names, missing, weights)
    data = data._with_units(units, target_units,
                            _unsigned("dimensional_constants", dimensional_constants, 32))
    record = options(search, generations, population, max_depth, seed, test_fraction, time_limit,
                     patience, operators, n_threads, start_from)
    k = _unsigned("starts", starts, 32)
    if k == 0:
        raise DataError("starts must be at least 1")
    if k > 1:
        if search != "refined":
            raise DataError("starts apply to the refined search only")
        from . import starts as _starts
        settings = dict(search=search, generations=generations, population=population,
                        max_depth=max_depth, seed=seed, test_fraction=test_fraction,
                        time_limit=time_limit, patience=patience, operators=operators,
                        n_threads=n_threads, start_from=start_from_text(start_from))
        return _starts.discover_starts(data, settings, k, executor, progress)
    lib = _native.ext()
    out, interrupted = _discover(data, record, progress)
    try:
        report = _read(lib, out, data.feature_names, search)
    finally:
        lib.qvx_result_free(out)
    report = dataclasses.replace(report, dropped_rows=data.dropped_rows,
                                 dropped_labels=data.dropped_labels, target_name=data.target_name)
    return mark_interrupted(report) if interrupted else report


_PACKAGE_MEMBERS = ("feature_names", "target_name", "dropped_rows", "dropped_labels",
                    "simplified", "finite_share", "interrupted", "text")


def _nan(v):
    return math.nan if v is None else float(v)


def _from_json(text):
    if isinstance(text, (bytes, bytearray)):
        text = bytes(text).decode("utf-8")
    if not isinstance(text, str):
        raise DataError(f"not a JSON report: {type(text).__name__}")
    try:
        doc = json.loads(text)
    except ValueError as e:
        raise DataError(f"not a JSON report: {e}") from None
    needed = ("formula", "expr_json", "k", "bic", "baselines", "verdict", "n_train", "n_test")
    if not isinstance(doc, dict) or any(key not in doc for key in needed):
        raise DataError("not a JSON report: it needs " + ", ".join(needed))
    try:
        return _report_of(doc, text)
    except (KeyError, TypeError, ValueError) as e:
        raise DataError(f"not a JSON report: {type(e).__name__} {e}") from None


def _report_of(doc, text):
    search = doc.get("search", "classic")
    front = tuple(FrontEntry(complexity=int(e["complexity"]), mse_train=_nan(e["mse_train"]),
                             mse_test=_nan(e["mse_test"]), bic=_nan(e["bic"]),
                             formula=e["formula"], expr=Expr.from_json(e["expr_json"]),
                             latex_text=e.get("latex", ""))
                  for e in doc.get("front", ()))
    expr = Expr.from_json(doc["expr_json"])
    names = doc.get("feature_names")
    if names is None:
        seen = dict.fromkeys(expr.features())
        for entry in front:
            seen.update(dict.fromkeys(entry.expr.features()))
        names = list(seen)
    b = doc["baselines"]
    report = Report(
        formula=doc["formula"], verdict=Verdict[doc["verdict"]], mse_train=_nan(doc["mse_train"]),
        mse_test=_nan(doc["mse_test"]), bic=_nan(doc["bic"]),
        delta_bic_const=_nan(doc["delta_bic_const"]),
        delta_bic_linear=_nan(doc["delta_bic_linear"]), z_vs_shuffled=_nan(doc["z_vs_shuffled"]),
        k=int(doc["k"]),
        baselines=Baselines(_nan(b["bic_const"]), _nan(b["bic_linear"]),
                            _nan(b["bic_shuffled_mean"]), _nan(b["bic_shuffled_std"])),
        verdict_reason=doc["verdict_reason"], n_train=int(doc["n_train"]),
        n_test=int(doc["n_test"]), wall_clock_ms=int(doc["wall_clock_ms"]),
        expr_json=doc["expr_json"], feature_names=tuple(names),
        _text=doc.get("text", ""), _json=_library_json(text),
        finite_share=_nan(doc.get("finite_share")), mse_floor=_nan(doc.get("mse_floor", 0.0)),
        dropped_rows=tuple(doc.get("dropped_rows", ())),
        dropped_labels=tuple(doc.get("dropped_labels", ())), search=search, front=front,
        simplified=doc.get("simplified", doc["formula"]),
        rows_set_aside=int(doc.get("rows_set_aside", 0)),
        generations=int(doc.get("generations", 0)),
        stop_reason=INTERRUPTED if doc.get("interrupted") else doc.get("stop_reason",
                                                                       "generations"),
        operators=doc.get("operators", ""), target_name=doc.get("target_name", "y"),
        constants=tuple(FittedConstant(_nan(c["value"]), _nan(c["std_error"]), c.get("units"))
                        for c in doc.get("constants", ())),
        domain_share=_nan(doc.get("domain_share")),
        units=doc.get("units"),
        _latex=next((e.latex_text for e in front if e.formula == doc["formula"]), ""))
    return report if "text" in doc else dataclasses.replace(report, _text=_short_text(report))


_FIRST_PACKAGE_MEMBER = ',\n  "feature_names": '


def _library_json(text):
    """The library's part of a JSON report as written: what comes before the package's
    members (a line feed cannot occur inside a JSON string, so the marker is unambiguous)."""
    cut = text.find(_FIRST_PACKAGE_MEMBER)
    return text.rstrip() if cut < 0 else text[:cut] + "\n}"


def _short_text(report):
    """A text report for a JSON report that came without one (the command's)."""
    lines = ["quorvex report (read from JSON)",
             f"formula : {report.formula}",
             f"verdict : {report.verdict.name}  ({report.verdict_reason})",
             f"BIC     : {report.bic!r}  k = {report.k}",
             f"MSE     : train {report.mse_train!r}  test {report.mse_test!r}",
             f"rows    : {report.n_train} training, {report.n_test} test"]
    if report.search == "refined":
        lines.append(f"search  : refined, {report.generations} generations ({report.stop_reason})")
        lines.append("front   :")
        lines += [f"  k={e.complexity}  train={e.mse_train!r}  test={e.mse_test!r}  "
                  f"BIC={e.bic!r}  {e.formula}" for e in report.front]
    return "".join(line + "\n" for line in lines)
