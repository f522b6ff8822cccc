"""A significance test for a whole discovery: the same search on targets permuted at random.

The verdict compares the best formula with a few fixed models, but the
formula itself was picked among thousands, and the score has quirks
(`quorvex.diagnostics`). Running the identical discovery on copies of the
data whose targets are permuted, which breaks any link between features and
target, shows how good a formula the search finds by chance alone. The
p-value is (1 + the number of permuted runs whose BIC is at or below the real
one) / (permutations + 1); it is valid whatever the search does, as long as
the rows are exchangeable (independent and identically distributed).

The library runs the test (qvx_permutation_test): permutation i (from 1)
shuffles the targets with the library's own shuffle seeded with the i-th
output of SplitMix64 started at the run's seed, and each permuted run uses the
run's own settings and seed; every host, the command included, gets the same
p-value. With an executor, each permuted run takes the library's permuted
rows (qvx_permuted_dataset) and runs there, with the same nulls.
"""
import ctypes
import math
import operator
from dataclasses import dataclass
from typing import Tuple

import numpy as np

from . import _native
from .errors import DataError
from .report import Report, as_dataset, discover, options, raise_for, run

_BIC = 2  # QVX_BIC


@dataclass(frozen=True)
class PermutationTest:
    """The real discovery, and where its BIC falls among those of the permuted runs."""
    report: Report
    p_value: float
    null_bics: Tuple[float, ...]
    n_at_or_below: int

    @property
    def n_permutations(self):
        return len(self.null_bics)

    def __str__(self):
        n = self.n_permutations
        return (f"p-value : {self.p_value:.4f} = {self.n_at_or_below + 1}/{n + 1} from {n} "
                f"permutations of the target ({self.n_at_or_below} null BICs at or below the "
                "real one)")


def p_value(real_bic, null_bics):
    """(1 + #{null <= real}) / (n + 1); ties count against the real formula, NaN gives 1: the
    library's rule, for nulls run on an executor."""
    return (1 + _at_or_below(real_bic, null_bics)) / (len(null_bics) + 1)


def _at_or_below(real_bic, null_bics):
    if math.isnan(real_bic):
        return len(null_bics)
    return sum(b <= real_bic for b in null_bics)


def permutation_test(X, y=None, *, n_permutations=99, executor=None, search="refined",
                     generations=0, population=0, max_depth=0, seed=0, test_fraction=0.2,
                     time_limit=None, operators=None, progress=None, feature_names=None,
                     missing=None, weights=None):
    """Runs `discover` on the data and on `n_permutations` copies with permuted targets.

    Takes the arguments of `discover`. Without an executor the library runs
    the permuted discoveries (Ctrl-C stops them and raises KeyboardInterrupt);
    with one (any concurrent.futures.Executor: a process pool, dask's
    client.get_executor()...) they run there. The result does not depend on
    where they ran. It costs n_permutations + 1 discoveries. Returns a
    PermutationTest. Weights (refined only) stay with their rows while the
    targets are permuted.
    """
    if isinstance(n_permutations, bool):
        raise DataError("n_permutations must be an integer, not a bool")
    try:
        n = operator.index(n_permutations)
    except TypeError:
        raise DataError(f"n_permutations must be an integer, not {n_permutations!r}") from None
    if n < 0:
        raise DataError(f"n_permutations must not be negative, not {n}")
    data = as_dataset(X, y, feature_names, missing, weights)
    settings = dict(search=search, generations=generations, population=population,
                    max_depth=max_depth, seed=seed, test_fraction=test_fraction,
                    time_limit=time_limit, operators=operators)
    # Checks the settings before any permuted run.
    report = discover(data, progress=progress, **settings)
    if report.stop_reason == "interrupted":
        raise KeyboardInterrupt  # a p-value of a search cut short would mislead
    if executor is None:
        null_bics, p = _in_library(data, settings, report.bic, n, progress)
    else:
        futures = [executor.submit(null_bic, data, settings, i) for i in range(1, n + 1)]
        null_bics = tuple(f.result() for f in futures)
        p = p_value(report.bic, null_bics)
    return PermutationTest(report=report, p_value=p, null_bics=null_bics,
                           n_at_or_below=_at_or_below(report.bic, null_bics))


def null_bic(data, settings, i):
    """The BIC of permuted discovery i (from 1) of the library's test, run here. Module-level
    so that it pickles."""
    record = options(**settings)
    lib = _native.ext()
    ds = data._ext_handle()
    try:
        permuted = lib.qvx_permuted_dataset(ds, ctypes.byref(record), i)
    finally:
        lib.qvx_dataset_free(ds)
    if not permuted:
        raise DataError(_native.last_error())
    out = ctypes.c_void_p()
    try:
        status = lib.qvx_discover(permuted, ctypes.byref(record), _native.PROGRESS_FN(), None,
                                  ctypes.byref(out))
    finally:
        lib.qvx_dataset_free(permuted)
    raise_for(status)
    try:
        return lib.qvx_result_number(out, _BIC)
    finally:
        lib.qvx_result_free(out)


def _in_library(data, settings, real_bic, n, progress):
    record = options(**settings)
    lib = _native.ext()
    nulls = np.empty(max(n, 1), dtype=np.float64)
    p = ctypes.c_double()
    ds = data._ext_handle()
    try:
        status = run(lambda callback: lib.qvx_permutation_test(
            ds, ctypes.byref(record), real_bic, n, callback, None, nulls.ctypes.data,
            ctypes.byref(p)), progress, permutations=True)
    finally:
        lib.qvx_dataset_free(ds)
    raise_for(status)
    return tuple(nulls[:n].tolist()), p.value
