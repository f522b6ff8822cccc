"""quorvex: search for a closed-form formula that explains a target, and judge it against chance.

    >>> import quorvex
    >>> report = quorvex.discover(X, y, seed=1)   # the refined search; search="classic" too
    >>> print(report)                   # the text report, with the front
    >>> report.verdict                  # Verdict.Strong / Weak / Noise
    >>> pandas.DataFrame(report.front)  # the best formula at each complexity
    >>> report.predict(X_new)           # the formula on new rows

The shared library (libquorvex_ext, the interface of quorvex_ext.h) is loaded
on first use: from $QUORVEX_EXT_LIBRARY, from next to this package, or from
the system library path.
"""
from ._native import library_path
from .dataset import Dataset
from .errors import DataError, LibraryNotFoundError, QuorvexError
from .expr import Abs, Bin, Const, Cos, Exp, Expr, Feature, Log, Pow, Sin, Sqrt, Tanh
from .permutation import PermutationTest, permutation_test
from .report import Baselines, FittedConstant, FrontEntry, Report, Verdict, discover
from .sweep import sweep

__all__ = [
    "Abs", "Baselines", "Bin", "FittedConstant", "FrontEntry", "Const", "Cos", "DataError",
    "Dataset", "Exp", "Expr", "Feature", "LibraryNotFoundError", "Log", "PermutationTest", "Pow",
    "QuorvexError", "QuorvexRegressor", "Report", "Sin", "Sqrt", "Tanh", "Verdict", "discover",
    "library_path", "permutation_test", "sweep",
]


def __getattr__(name):
    if name == "__version__":
        # The library's own number (QVX_VERSION_* of quorvex_ext.h), the one source.
        from ._native import ext
        v = ext().qvx_version()
        return f"{v // 10000}.{v // 100 % 100}.{v % 100}"
    # scikit-learn is optional: imported only when the estimator is asked for.
    if name == "QuorvexRegressor":
        from .estimator import QuorvexRegressor
        return QuorvexRegressor
    raise AttributeError(f"module 'quorvex' has no attribute {name!r}")
