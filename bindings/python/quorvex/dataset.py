"""Datasets: named float64 feature columns and a target, checked before they reach the library."""
import ctypes
import decimal
import numbers
import re

import numpy as np

from . import _native
from .errors import DataError

# Magnitudes above this are unusable: their squares summed over the rows overflow.
LARGEST_USABLE = 1e100
MISSING_RULES = ("error", "drop", "keep")


def check_name(name, what="feature name"):
    """A name as the library takes it: a str that encodes to UTF-8 and holds no NUL."""
    if isinstance(name, bytes):
        try:
            name = name.decode("utf-8")
        except UnicodeDecodeError:
            raise DataError(f"{what} {name!r} is not valid UTF-8") from None
    elif not isinstance(name, str):
        raise DataError(f"{what} {name!r} is not a string")
    try:
        name.encode("utf-8")
    except UnicodeEncodeError:
        raise DataError(f"{what} {name!r} is not valid UTF-8 (it holds a lone surrogate)") from None
    if "\0" in name:
        raise DataError(f"{what} {name!r} contains a NUL character")
    return name


def is_dataframe(obj):
    return hasattr(obj, "columns") and hasattr(obj, "iloc") and hasattr(obj, "to_numpy")


def _is_series(obj):
    return hasattr(obj, "to_numpy") and hasattr(obj, "dtype") and hasattr(obj, "index") \
        and not is_dataframe(obj)


def _numeric_object(values, where):
    """float64 from an object array whose items must all be real numbers (None is NaN)."""
    flat = values.ravel()
    out = np.empty(flat.shape, dtype=np.float64)
    for i, v in enumerate(flat):
        if v is None:
            out[i] = np.nan
        elif isinstance(v, (numbers.Real, decimal.Decimal)) and not isinstance(v, (str, bytes)):
            try:
                out[i] = float(v)
            except OverflowError:
                raise DataError(f"{where(i)} holds {str(v)[:20]}..., which is too large for a "
                                "float64") from None
        else:
            raise DataError(f"{where(i)} holds {v!r} ({type(v).__name__}), which is not a number")
    return out.reshape(values.shape)


def _to_float(values, where):
    """float64 copy of a numpy array of numbers, or DataError for anything else."""
    kind = values.dtype.kind
    if kind in "biuf":
        return np.array(values, dtype=np.float64)
    if kind == "O":
        return _numeric_object(values, where)
    raise DataError(f"{where(None)} is not numeric (dtype {values.dtype})")


def _series_to_float(series, label):
    kind = getattr(series.dtype, "kind", "O")
    if kind in "biuf":
        # Nullable pandas types carry pd.NA, which becomes NaN.
        return series.to_numpy(dtype=np.float64, na_value=np.nan)
    values = series.to_numpy(dtype=object)
    if kind == "O":
        return _numeric_object(values, lambda i: f"{label}, row {i}" if i is not None else label)
    raise DataError(f"{label} is not numeric (dtype {series.dtype})")


def _column_name(label):
    # Integer labels (pd.DataFrame(X)) would make formulas like "(0 + 0)".
    if isinstance(label, numbers.Integral) and not isinstance(label, bool):
        return f"x{label}"
    return label if isinstance(label, (str, bytes)) else str(label)


def _check_unique(names):
    seen = {}
    for j, name in enumerate(names):
        if name in seen:
            raise DataError(f"feature name {name!r} is given to columns {seen[name]} and {j}: a "
                            "formula could not tell them apart; rename one")
        seen[name] = j


def as_matrix(X, feature_names=None):
    """(float64 rows x features array, names) from lists, an array or a DataFrame.

    A DataFrame's integer column labels become x0, x1, ... (x followed by the label).
    """
    if is_dataframe(X):
        names = [_column_name(c) for c in X.columns]
        if feature_names is not None:
            raise DataError("feature_names cannot be given with a DataFrame: its columns name the features")
        cols = [_series_to_float(X.iloc[:, j], f"column {names[j]!r}") for j in range(X.shape[1])]
        matrix = np.column_stack(cols) if cols else np.empty((len(X), 0))
    else:
        try:
            raw = np.asarray(X)
        except (ValueError, TypeError) as e:
            raise DataError(f"X is not a table of numbers: {e}") from None
        if raw.ndim != 2:
            raise DataError(f"X must be 2-dimensional (rows x features), not {raw.ndim}-dimensional; "
                            "for a single feature use one value per row, e.g. [[1.0], [2.0]]")
        matrix = _to_float(raw, lambda i: "X" if i is None else
                           f"X at row {i // raw.shape[1]}, column {i % raw.shape[1]}")
        if feature_names is None:
            names = [f"x{j}" for j in range(matrix.shape[1])]
        else:
            names = list(feature_names)
            if len(names) != matrix.shape[1]:
                raise DataError(f"{len(names)} feature names for {matrix.shape[1]} columns")
    names = [check_name(n) for n in names]
    _check_unique(names)
    return np.ascontiguousarray(matrix, dtype=np.float64), names


def as_vector(y, label="y"):
    """float64 copy of a target: a sequence, a 1-D array, an (n, 1) array or a Series."""
    if _is_series(y):
        return _series_to_float(y, label)
    if is_dataframe(y):
        if y.shape[1] != 1:
            raise DataError(f"{label} must be one column, not {y.shape[1]}")
        return _series_to_float(y.iloc[:, 0], label)
    try:
        raw = np.asarray(y)
    except (ValueError, TypeError) as e:
        raise DataError(f"{label} is not a sequence of numbers: {e}") from None
    if raw.ndim == 2 and raw.shape[1] == 1:
        raw = raw[:, 0]
    if raw.ndim != 1:
        raise DataError(f"{label} must be 1-dimensional, not of shape {raw.shape}")
    return _to_float(raw, lambda i: label if i is None else f"{label} at row {i}")


def row_list(rows, labels=None, shown=5, comma=False):
    """"rows 3, 9 (counting from 0)", or by a DataFrame's index labels when it has its own;
    `comma` puts ", counting from 0" in place of the brackets."""
    named = labels if labels else rows
    text = ", ".join(map(str, named[:shown]))
    more = f" and {len(rows) - shown} more" if len(rows) > shown else ""
    where = "labelled in the index" if labels else "counting from 0"
    return f"row{'s' if len(rows) > 1 else ''} {text}{more}" + (f", {where}" if comma
                                                                  else f" ({where})")


# pandas names a column the file left unnamed "Unnamed: <position>".
_UNNAMED = re.compile(r"Unnamed: (\d+)(?:_level_\d+)?")


def check_unnamed(names):
    """Refuses a column pandas named for want of a name: most often the index to_csv wrote."""
    for name in names:
        m = _UNNAMED.fullmatch(name)
        if not m:
            continue
        if m.group(1) == "0":
            raise DataError(
                f"column {name!r} has no name in the file: it looks like an index column "
                "(pandas' to_csv writes one); read the file with index_col=0, drop the column "
                f"(df.drop(columns={name!r})), or write the file with index=False")
        raise DataError(f"column {name!r} has no name in the file; name it or drop it "
                        f"(df.drop(columns={name!r}))")


def _own_labels(index, n):
    """A DataFrame's index labels as text, or None for the default 0, 1, ... index."""
    if index is None:
        return None
    labels = [str(v) for v in index]
    return None if labels == [str(i) for i in range(n)] else labels


def _aligned(X, y):
    """y in the row order of a DataFrame X, matched by index, or DataError when they differ."""
    if not is_dataframe(X) or not (_is_series(y) or is_dataframe(y)):
        return y
    if X.index.equals(y.index):
        return y
    if X.index.is_unique and y.index.is_unique and len(X.index) == len(y.index) \
            and X.index.isin(y.index).all():
        return y.loc[X.index]
    raise DataError("X and y have different indexes, so their rows cannot be matched; "
                    "reset both (reset_index(drop=True)) or select y.loc[X.index]")


def _named_column(X, name, feature_names, what):
    """(values, X without the column, feature_names without it) for a column given by name."""
    column = check_name(name, f"{what} column")
    if is_dataframe(X):
        matches = [c for c in X.columns if c == name or str(c) == column]
        if len(matches) != 1:
            raise DataError(f"no column is named {column!r}" if not matches
                            else f"more than one column is named {column!r}")
        return as_vector(X[matches[0]], f"column {column!r}"), X.drop(columns=[matches[0]]), \
            feature_names
    if feature_names is None:
        raise DataError(f"{what} given by name need a DataFrame or feature_names")
    names = list(feature_names)
    if names.count(column) != 1:
        raise DataError(f"no column is named {column!r}" if column not in names
                        else f"more than one column is named {column!r}")
    j = names.index(column)
    matrix = np.asarray(X)
    if matrix.ndim != 2 or matrix.shape[1] != len(names):
        raise DataError(f"{len(names)} feature names for X of shape {matrix.shape}")
    values = as_vector(matrix[:, j], f"column {column!r}")
    return values, np.delete(matrix, j, axis=1), names[:j] + names[j + 1:]


def _checked_weights(w, n):
    if len(w) != n:
        raise DataError(f"X has {n} rows but weights has {len(w)} values")
    bad = np.flatnonzero(~(np.isfinite(w) & (w >= 0)))
    if len(bad):
        i = int(bad[0])
        what = "NaN" if np.isnan(w[i]) else "infinite" if np.isinf(w[i]) else "negative"
        raise DataError(f"weights must be finite and at least 0: {row_list(bad.tolist())} "
                        f"{'is' if len(bad) == 1 else 'are'} not (the first is {what})")
    return np.array(w, dtype=np.float64)


class Dataset:
    """Rows of named numeric features and a target, ready for `discover`.

    X is a list of rows, a 2-D numpy array (names from `feature_names`, else
    x0, x1, ...) or a pandas DataFrame (names from its columns; integer
    labels become x0, x1, ...). y is a sequence of targets, or the name of one
    of the columns (which is then not a feature). A y Series is matched to a
    DataFrame X by its index. Names must be distinct. Values are copied as
    float64.

    A missing or unusable value (NaN, an infinity, a magnitude above 1e100)
    makes every formula score +inf on its row and the baselines meaningless, so
    `missing` says what to do with rows holding one: "error" (the default)
    raises DataError naming them, "drop" sets them aside (`dropped_rows` lists
    their positions), "keep" hands them to the library unchanged.

    `weights` (refined search only) gives each row a weight, as y is given:
    a sequence, an array, a Series (matched to a DataFrame X by its index) or
    the name of a column (which is then not a feature). They are frequency
    weights: a row of weight 2 counts as that row twice, weight 0 as no row;
    the errors are weighted means and the BIC's n is the training rows' sum of
    weights, so weights meant as relative precisions are best scaled to
    average 1. Negative, NaN and infinite weights raise DataError.
    """

    __slots__ = ("_X", "_y", "_names", "_target_name", "_dropped", "_labels", "_w", "_units")

    def __init__(self, X, y, *, feature_names=None, target_name=None, missing="error",
                 weights=None):
        if missing not in MISSING_RULES:
            raise DataError(f"missing must be one of {', '.join(map(repr, MISSING_RULES))}, "
                            f"not {missing!r}")
        w_values = None
        if isinstance(weights, (str, bytes)):
            w_values, X, feature_names = _named_column(X, weights, feature_names, "weights")
        elif weights is not None:
            w_values = as_vector(_aligned(X, weights), "weights")
        index = X.index if is_dataframe(X) else None
        if isinstance(y, (str, bytes)):
            column = check_name(y, "target column")
            if is_dataframe(X):
                matches = [c for c in X.columns if c == y or str(c) == column]
                if not matches:
                    raise DataError(f"no column is named {column!r} (columns: "
                                    + ", ".join(repr(str(c)) for c in X.columns) + ")")
                if len(matches) > 1 or list(X.columns).count(matches[0]) > 1:
                    raise DataError(f"more than one column is named {column!r}")
                y_values = as_vector(X[matches[0]], f"column {column!r}")
                X = X.drop(columns=[matches[0]])
                self._X, self._names = as_matrix(X)
            else:
                if feature_names is None:
                    raise DataError("a target given by name needs a DataFrame or feature_names")
                matrix, names = as_matrix(X, feature_names)
                if names.count(column) != 1:
                    raise DataError(f"no column is named {column!r} (columns: "
                                    + ", ".join(map(repr, names)) + ")" if column not in names
                                    else f"more than one column is named {column!r}")
                j = names.index(column)
                y_values = matrix[:, j].copy()
                self._X = np.ascontiguousarray(np.delete(matrix, j, axis=1))
                self._names = names[:j] + names[j + 1:]
            target = column if target_name is None else target_name
        else:
            y = _aligned(X, y)
            self._X, self._names = as_matrix(X, feature_names)
            y_values = as_vector(y)
            series_name = getattr(y, "name", None) if _is_series(y) else None
            target = target_name if target_name is not None else (
                series_name if isinstance(series_name, str) else "y")
        if len(y_values) != self._X.shape[0]:
            raise DataError(f"X has {self._X.shape[0]} rows but y has {len(y_values)} values")
        if index is not None:
            check_unnamed(self._names)
        self._y = y_values
        self._w = None if w_values is None else _checked_weights(w_values, len(y_values))
        self._units = None  # (feature units in column order, target unit, dimensional constants)
        self._target_name = check_name(target, "target name")
        self._dropped = ()
        self._labels = _own_labels(index, len(y_values))
        if missing != "keep":
            self._set_aside_unusable_rows(missing)

    def _set_aside_unusable_rows(self, missing):
        with np.errstate(invalid="ignore"):
            bad_cells = ~(np.abs(self._X) <= LARGEST_USABLE)
            bad_y = ~(np.abs(self._y) <= LARGEST_USABLE)
        bad = bad_cells.any(axis=1) | bad_y
        rows = np.flatnonzero(bad).tolist()
        if not rows:
            return
        if missing == "error":
            counts = [(name, int(n)) for name, n in zip(self._names, bad_cells.sum(axis=0)) if n]
            counts += [(self._target_name + " (the target)", int(bad_y.sum()))] if bad_y.any() else []
            where = ", ".join(f"{name!r} in {n} row{'s' if n > 1 else ''}" for name, n in counts)
            raise DataError(
                f"{len(rows)} of {len(bad)} rows {'has' if len(rows) == 1 else 'have'} a missing or "
                f"unusable value (NaN, inf, or beyond ±1e100): "
                f"{row_list(rows, self._labels and [self._labels[r] for r in rows])} "
                f"(columns {where}); "
                'missing="drop" sets these rows aside')
        if len(rows) == len(bad):
            raise DataError("every row has a missing or unusable value; no row is left")
        self._X = np.ascontiguousarray(self._X[~bad])
        self._y = self._y[~bad].copy()
        if self._w is not None:
            self._w = self._w[~bad].copy()
        self._dropped = tuple(rows)

    @property
    def X(self):
        """The features, float64, rows x features (a read-only view)."""
        view = self._X.view()
        view.flags.writeable = False
        return view

    @property
    def y(self):
        view = self._y.view()
        view.flags.writeable = False
        return view

    @property
    def weights(self):
        """The rows' weights (a read-only view), or None when unweighted."""
        if self._w is None:
            return None
        view = self._w.view()
        view.flags.writeable = False
        return view

    @property
    def dropped_rows(self):
        """Positions (from 0) of the rows set aside by missing="drop"."""
        return self._dropped

    @property
    def dropped_labels(self):
        """The index labels (as text) of the dropped rows, when X was a DataFrame with an
        index of its own; else ()."""
        return tuple(self._labels[r] for r in self._dropped) if self._labels else ()

    @property
    def feature_names(self):
        return tuple(self._names)

    @property
    def target_name(self):
        return self._target_name

    @property
    def n_rows(self):
        return self._X.shape[0]

    def __len__(self):
        return self._X.shape[0]

    def __repr__(self):
        return (f"Dataset({self.n_rows} rows, features={list(self._names)!r}, "
                f"target={self._target_name!r})")

    def _with_units(self, units, target_units, dimensional_constants):
        """This dataset with units for a refined search (a copy: X itself may be the caller's).

        units maps every feature name to its unit text, target_units is the target's."""
        if units is None and target_units is None:
            return self
        if not isinstance(units, dict):
            raise DataError("units must be a dict of feature name to unit, e.g. {\"mass\": \"kg\"}")
        unknown = [k for k in units if k not in self._names]
        if unknown:
            raise DataError(f"units name {unknown[0]!r}, which is not a feature "
                            f"(features: {list(self._names)})")
        missing = [n for n in self._names if n not in units]
        if missing:
            raise DataError(f"no unit for the feature {missing[0]!r}: every feature needs one "
                            "once units are given (\"1\" for a pure number)")
        if not isinstance(target_units, str):
            raise DataError("target_units must be given with units: the target's unit, "
                            "e.g. \"N\" (\"1\" for a pure number)")
        texts = [units[n] for n in self._names] + [target_units]
        if not all(isinstance(t, str) for t in texts):
            raise DataError("each unit must be a text such as \"kg*m/s^2\"")
        copy = object.__new__(Dataset)
        for slot in Dataset.__slots__:
            setattr(copy, slot, getattr(self, slot))
        copy._units = (texts[:-1], target_units, dimensional_constants)
        return copy

    def _ext_handle(self):
        """A new dataset of the extended library holding these rows; the caller frees it."""
        lib = _native.ext()
        columns = [np.ascontiguousarray(self._X[:, j]) for j in range(self._X.shape[1])]
        names, pointers = _native.columns_args(self._names, columns)
        y = np.ascontiguousarray(self._y, dtype=np.float64)
        handle = lib.qvx_dataset_from_columns(self._target_name.encode("utf-8"), len(columns),
                                              names, pointers, y.ctypes.data, len(y))
        if not handle:
            raise DataError("the library rejected the dataset: " + _native.last_error())
        if self._w is not None:
            w = np.ascontiguousarray(self._w, dtype=np.float64)
            if lib.qvx_dataset_set_weights(handle, w.ctypes.data, len(w)) != _native.QVX_OK:
                message = _native.last_error()
                lib.qvx_dataset_free(handle)
                raise DataError("the library rejected the weights: " + message)
        if self._units is not None:
            texts, target, dimensional = self._units
            array = (ctypes.c_char_p * max(len(texts), 1))(*[t.encode("utf-8") for t in texts])
            if lib.qvx_dataset_set_units(handle, array, len(texts), target.encode("utf-8"),
                                         dimensional) != _native.QVX_OK:
                message = _native.last_error()
                lib.qvx_dataset_free(handle)
                raise DataError(message)
        return handle
