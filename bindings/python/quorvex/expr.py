"""The expression of a report as Python objects, evaluated by the library itself.

`predict` hands the expression's JSON and the columns to the extended
library's evaluator (qvx_predict), so predictions are the library's bit for
bit, guards included: a divisor with |b| < 1e-300, a zero base with a
negative exponent, log of x <= 0, sqrt of x < 0 and sin or cos of an infinite
or NaN x give NaN.
"""
import json
import math
import re
from json.decoder import scanstring
from dataclasses import dataclass
from typing import Union

import numpy as np

from . import _native
from .dataset import as_matrix, check_name, is_dataframe
from .errors import DataError

# The deepest JSON nesting read, as in the command's --predict.
MAX_NESTING = 2000
_OPS = ("Add", "Sub", "Mul", "Div")
_SYMBOLS = {"Add": "+", "Sub": "-", "Mul": "*", "Div": "/"}


class Expr:
    """Base of the node kinds: Const, Feature, Bin, Pow, and the functions Exp, Log, Sqrt,
    Sin, Cos, Tanh and Abs (the last four only in refined searches)."""

    __slots__ = ()

    @staticmethod
    def from_json(text):
        """The tree of an expression JSON text (a report's expr_json), or of a whole JSON
        report (its "expr_json" member), as the command's --predict reads them.

        Nesting deeper than 2000 levels raises DataError, as the command refuses it.
        """
        if not isinstance(text, (str, bytes, bytearray)):
            raise DataError(f"not an expression JSON text: {type(text).__name__}")
        if not isinstance(text, str):
            try:
                text = bytes(text).decode("utf-8")
            except UnicodeDecodeError as e:
                raise DataError(f"not an expression JSON text: {e}") from None
        depth = _nesting(text)
        if depth > MAX_NESTING:
            raise DataError(f"the JSON is nested too deeply ({depth} levels; at most "
                            f"{MAX_NESTING})")
        try:
            value = _loads(text)
        except ValueError as e:
            raise DataError(f"not an expression JSON text: {e}") from None
        if isinstance(value, dict) and "expr_json" in value:
            inner = value["expr_json"]
            if not isinstance(inner, str) or not inner:
                raise DataError("the report's \"expr_json\" is not an expression JSON text")
            return Expr.from_json(inner)
        if isinstance(value, dict) and len(value) > 1:
            raise DataError("neither a JSON report (it has no \"expr_json\") nor an expression")
        tree = _from_value(value)
        # predict hands the library the text it wrote, not a rewriting of it.
        object.__setattr__(tree, "_source", text)
        return tree

    @staticmethod
    def parse(text):
        """The tree of a formula text, as a report shows it ("3.4*S/(S + 0.7)", "3.2*x^1.7")
        or in the classic form ("(x + 2.5000e0)"), read as the command's --predict reads it:
        ^ binds tightest (right to left, a sign allowed after it), then a leading minus,
        then * and /, then + and -; a power whose exponent is not an integer constant
        becomes exp(exponent * log(base)). Unreadable text raises DataError."""
        if not isinstance(text, str):
            raise DataError(f"not a formula text: {type(text).__name__}")
        return _Reader(text).whole()

    def to_json(self):
        """The compact JSON text, byte for byte as the library writes it."""
        return _json(self)

    def formula(self):
        """The formula text, byte for byte as the library writes it."""
        return _formula(self)

    def __str__(self):
        return self.formula()

    @property
    def k(self):
        """Parameter count charged by the BIC: constants plus operator nodes."""
        return _k(self)

    @property
    def depth(self):
        return _depth(self)

    def features(self):
        """The feature names the expression reads, in first-use order."""
        seen = {}
        _collect(self, seen)
        return list(seen)

    def evaluate(self, row):
        """The value on one row, a mapping from feature name to number; every feature the
        expression reads must be present."""
        missing = [name for name in self.features() if name not in row]
        if missing:
            raise DataError(f"the expression reads feature {missing[0]!r}, which the row does not "
                            "have (it has: " + ", ".join(map(repr, row)) + ")")
        columns = {name: np.array([float(row[name])]) for name in self.features()}
        return float(predict_json(self._json_text(), columns, 1)[0])

    def predict(self, X, feature_names=None, *, exact=True):
        """Predictions for every row of X as a float64 array, from the library's evaluator.

        X is a DataFrame, a mapping from names to columns, or a 2-D array (or
        list of rows) whose columns are named by `feature_names`. Every feature
        the expression reads must be present. `exact` is accepted for older
        code and has no effect: every value is the library's.
        """
        columns, n = columns_of(X, feature_names)
        for name in self.features():
            if name not in columns:
                raise DataError(f"the expression reads feature {name!r}, which the data does not "
                                "have (it has: " + ", ".join(map(repr, columns)) + ")")
        return predict_json(self._json_text(), columns, n)

    def _json_text(self):
        """The JSON the tree was read from, else the one written here for a tree built in Python."""
        return getattr(self, "_source", None) or self.to_json()

    def to_sympy(self):
        """The expression as a sympy expression (needs sympy). The guards are not represented."""
        try:
            import sympy
        except ImportError:
            raise ImportError("to_sympy needs sympy (Debian: python3-sympy)") from None
        return _sympy(self, sympy, {})


@dataclass(frozen=True)
class Const(Expr):
    value: float


@dataclass(frozen=True)
class Feature(Expr):
    name: str


@dataclass(frozen=True)
class Bin(Expr):
    op: str  # "Add", "Sub", "Mul" or "Div"
    left: Expr
    right: Expr


@dataclass(frozen=True)
class Pow(Expr):
    base: Expr
    exponent: int


@dataclass(frozen=True)
class Exp(Expr):
    child: Expr


@dataclass(frozen=True)
class Log(Expr):
    child: Expr


@dataclass(frozen=True)
class Sqrt(Expr):
    child: Expr


@dataclass(frozen=True)
class Sin(Expr):
    child: Expr


@dataclass(frozen=True)
class Cos(Expr):
    child: Expr


@dataclass(frozen=True)
class Tanh(Expr):
    child: Expr


@dataclass(frozen=True)
class Abs(Expr):
    child: Expr


Node = Union[Const, Feature, Bin, Pow, Exp, Log, Sqrt, Sin, Cos, Tanh, Abs]

# The one-child kinds by JSON tag and formula name.
_FUNCTIONS = {"Exp": Exp, "Log": Log, "Sqrt": Sqrt, "Sin": Sin, "Cos": Cos, "Tanh": Tanh,
              "Abs": Abs}
_FUNCTION_NAMES = {cls: tag.lower() for tag, cls in _FUNCTIONS.items()}


def _nesting(text):
    """The deepest bracket nesting of a JSON text, outside strings."""
    depth = deepest = 0
    in_string = escaped = False
    for ch in text:
        if in_string:
            if escaped:
                escaped = False
            elif ch == "\\":
                escaped = True
            elif ch == '"':
                in_string = False
        elif ch == '"':
            in_string = True
        elif ch in "[{":
            depth += 1
            deepest = max(deepest, depth)
        elif ch in "]}":
            depth -= 1
    return deepest


# Every walk below keeps its own stack: a tree at the nesting limit must not
# need more of the interpreter's recursion limit (by default 1000) than a flat one.

_BLANKS = re.compile(r"[ \t\n\r]*")
_NUMBER = re.compile(r"-?(?:0|[1-9][0-9]*)(\.[0-9]+)?([eE][-+]?[0-9]+)?")
_WORDS = (("null", None), ("true", True), ("false", False))


def _loads(s):
    """json.loads for strict JSON (no NaN or Infinity) of any nesting depth."""
    open_ = []  # [container, member name or None], innermost last
    i = _BLANKS.match(s, 0).end()
    while True:
        c = s[i:i + 1]
        if c in ("{", "["):
            i = _BLANKS.match(s, i + 1).end()
            if s[i:i + 1] != ("}" if c == "{" else "]"):
                open_.append([{} if c == "{" else [], None])
                if c == "{":
                    i = _member_name(s, i, open_[-1])
                continue
            value, i = ({} if c == "{" else []), i + 1
        elif c == '"':
            value, i = scanstring(s, i + 1, True)
        else:
            value, i = _scalar(s, i)
        # Place the value, closing every container that ends after it.
        while True:
            i = _BLANKS.match(s, i).end()
            if not open_:
                if i != len(s):
                    raise ValueError(f"unexpected text after the JSON value at {i}")
                return value
            container, name = open_[-1]
            if name is None:
                container.append(value)
            else:
                container[name] = value
            c = s[i:i + 1]
            if c == ",":
                i = _BLANKS.match(s, i + 1).end()
                if name is not None:
                    i = _member_name(s, i, open_[-1])
                break
            if c != ("]" if name is None else "}"):
                raise ValueError(f"expected ',' or a closing bracket at {i}")
            open_.pop()
            value, i = container, i + 1


def _member_name(s, i, frame):
    if s[i:i + 1] != '"':
        raise ValueError(f"expected a member name at {i}")
    frame[1], i = scanstring(s, i + 1, True)
    i = _BLANKS.match(s, i).end()
    if s[i:i + 1] != ":":
        raise ValueError(f"expected ':' at {i}")
    return _BLANKS.match(s, i + 1).end()


def _scalar(s, i):
    for word, value in _WORDS:
        if s.startswith(word, i):
            return value, i + len(word)
    m = _NUMBER.match(s, i)
    if m is None:
        raise ValueError(f"expected a JSON value at {i}")
    value = float(m.group()) if m.group(1) or m.group(2) else int(m.group())
    try:
        if math.isinf(float(value)):
            raise OverflowError
    except OverflowError:
        raise ValueError(f"the number {m.group()} is out of the range of a double") from None
    return value, m.end()


def _bad(value):
    return DataError(f"not an expression node: {_outline(value)[:80]}")


def _outline(v, levels=3):
    """The JSON of v down to a few levels, deeper values elided, so that a deep node costs
    no recursion."""
    if levels == 0 and isinstance(v, (dict, list)) and v:
        return "{...}" if isinstance(v, dict) else "[...]"
    if isinstance(v, dict):
        return "{" + ", ".join(json.dumps(k) + ": " + _outline(x, levels - 1)
                               for k, x in v.items()) + "}"
    if isinstance(v, list):
        return "[" + ", ".join(_outline(x, levels - 1) for x in v) + "]"
    return json.dumps(v)


def _decode(v):
    """One node checked: (the leaf, ()) or (a maker of the node from its children, the
    children's JSON values in order)."""
    if not isinstance(v, dict) or len(v) != 1:
        raise _bad(v)
    (kind, payload), = v.items()
    if kind == "Const":
        if payload is None:  # non-finite constants are written as null
            return Const(math.nan), ()
        if isinstance(payload, bool) or not isinstance(payload, (int, float)):
            raise _bad(v)
        return Const(float(payload)), ()
    if kind == "Feature":
        if not isinstance(payload, str):
            raise _bad(v)
        return Feature(check_name(payload)), ()
    if kind == "Bin":
        if not (isinstance(payload, list) and len(payload) == 3 and payload[0] in _OPS):
            raise _bad(v)
        return (lambda left, right: Bin(payload[0], left, right)), payload[1:]
    if kind == "Pow":
        if not (isinstance(payload, list) and len(payload) == 2 and isinstance(payload[1], int)
                and not isinstance(payload[1], bool) and -2**31 <= payload[1] < 2**31):
            raise _bad(v)
        return (lambda base: Pow(base, payload[1])), payload[:1]
    if kind in _FUNCTIONS:
        return _FUNCTIONS[kind], (payload,)
    raise _bad(v)


def _from_value(root):
    # Nodes are checked in document order and built once their children are.
    built = []
    tasks = [(root, None, 0)]
    while tasks:
        v, make, n = tasks.pop()
        if make is not None:
            args = built[len(built) - n:]
            del built[len(built) - n:]
            built.append(make(*args))
            continue
        made, children = _decode(v)
        if not children:
            built.append(made)
            continue
        tasks.append((None, made, len(children)))
        tasks.extend((c, None, 0) for c in reversed(children))
    return built[0]


def _children(e):
    if isinstance(e, Bin):
        return (e.left, e.right)
    if isinstance(e, Pow):
        return (e.base,)
    if type(e) in _FUNCTION_NAMES:
        return (e.child,)
    return ()


def _preorder(e):
    """Every node, parents before children and left before right."""
    stack = [e]
    while stack:
        node = stack.pop()
        yield node
        stack.extend(reversed(_children(node)))


def _k(e):
    return sum(0 if isinstance(node, Feature) else 1 for node in _preorder(e))


def _depth(e):
    deepest = 0
    stack = [(e, 1)]
    while stack:
        node, level = stack.pop()
        deepest = max(deepest, level)
        stack.extend((c, level + 1) for c in _children(node))
    return deepest


def _collect(e, seen):
    for node in _preorder(e):
        if isinstance(node, Feature):
            seen.setdefault(node.name, None)


def _text(e, parts):
    """Joins the pieces parts(node) gives, texts and child nodes in order, without recursion."""
    out = []
    stack = [e]
    while stack:
        item = stack.pop()
        if isinstance(item, str):
            out.append(item)
        else:
            stack.extend(reversed(parts(item)))
    return "".join(out)


# ---- formula texts ------------------------------------------------------------

_TOKEN = re.compile(r"\s*(?:(?P<num>(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][-+]?[0-9]+)?)"
                    r"|(?P<name>[A-Za-z_][A-Za-z0-9_.]*)|(?P<op>[-+*/^()]))")


class _Reader:
    """The command's formula reader (src/expr/parse.cpp), rule for rule."""

    def __init__(self, text):
        self.tokens = []
        i = 0
        while True:
            i = _BLANKS.match(text, i).end()
            if i == len(text):
                break
            m = _TOKEN.match(text, i)
            if m is None:
                raise DataError(f"not a formula: unexpected {text[i]!r} at {i}")
            kind = m.lastgroup
            self.tokens.append((kind, m.group(kind), m.start(kind)))
            i = m.end()
        self.at = 0
        self.depth = 0

    def peek(self):
        return self.tokens[self.at] if self.at < len(self.tokens) else (None, None, -1)

    def eat(self, op):
        kind, value, _ = self.peek()
        if kind == "op" and value == op:
            self.at += 1
            return True
        return False

    def fail(self, what):
        raise DataError(f"not a formula: {what}")

    def whole(self):
        e = self.sum()
        if self.at != len(self.tokens):
            self.fail(f"unexpected {self.peek()[1]!r}")
        return e

    def nested(self):
        self.depth += 1
        if self.depth > MAX_NESTING:
            self.fail("the formula is nested too deeply")

    def sum(self):
        self.nested()
        e = self.product()
        while True:
            if self.eat("+"):
                e = Bin("Add", e, self.product())
            elif self.eat("-"):
                e = Bin("Sub", e, self.product())
            else:
                self.depth -= 1
                return e

    def product(self):
        e = self.unary()
        while True:
            if self.eat("*"):
                e = Bin("Mul", e, self.unary())
            elif self.eat("/"):
                e = Bin("Div", e, self.unary())
            else:
                return e

    def unary(self):
        self.nested()
        if self.eat("-"):
            e = self.unary()
            e = Const(-e.value) if isinstance(e, Const) else Bin("Mul", Const(-1.0), e)
        elif self.eat("+"):
            e = self.unary()
        else:
            e = self.power()
        self.depth -= 1
        return e

    def power(self):
        base = self.atom()
        if not self.eat("^"):
            return base
        ex = self.unary()
        if isinstance(ex, Const) and math.isfinite(ex.value) and ex.value == math.floor(ex.value) \
                and abs(ex.value) <= 2**31 - 1:
            return Pow(base, int(ex.value))
        return Exp(Bin("Mul", ex, Log(base)))

    def atom(self):
        kind, value, _ = self.peek()
        if kind is None:
            self.fail("the formula ends early")
        self.at += 1
        if kind == "op" and value == "(":
            e = self.sum()
            if not self.eat(")"):
                self.fail("')' expected")
            return e
        if kind == "num":
            v = float(value)
            if math.isinf(v):
                self.fail(f"the number {value} is out of the range of a double")
            return Const(v)
        if kind != "name":
            self.fail(f"unexpected {value!r}")
        if not self.eat("("):
            return Feature(value)
        arg = self.sum()
        if not self.eat(")"):
            self.fail("')' expected")
        cls = {name: c for c, name in _FUNCTION_NAMES.items()}.get(value)
        if cls is None:
            self.fail(f"unknown function {value!r}")
        return cls(arg)


# ---- evaluation ---------------------------------------------------------------

def columns_of(X, feature_names):
    """({name: float64 column}, rows) of a mapping of columns, a DataFrame or a 2-D array whose
    columns `feature_names` names."""
    if isinstance(X, dict):
        columns = {}
        n = None
        for name, col in X.items():
            values = np.asarray(col, dtype=np.float64).reshape(-1)
            if n is not None and len(values) != n:
                raise DataError("the columns have different lengths")
            n = len(values)
            columns[check_name(name)] = values
        return columns, (0 if n is None else n)
    matrix, names = as_matrix(X, feature_names if not is_dataframe(X) else None)
    columns = {name: matrix[:, j] for j, name in enumerate(names)}
    return columns, matrix.shape[0]


def predict_json(formula_json, columns, n):
    """The library's values of a formula's JSON on named float64 columns of n rows."""
    lib = _native.ext()
    names = list(columns)
    arrays = [np.ascontiguousarray(columns[name], dtype=np.float64) for name in names]
    name_array, pointers = _native.columns_args(names, arrays)
    out = np.empty(n, dtype=np.float64)
    text = formula_json.encode("utf-8") if isinstance(formula_json, str) else formula_json
    status = lib.qvx_predict(text, len(names), name_array, pointers, n, out.ctypes.data)
    if status != _native.QVX_OK:
        raise DataError("the library cannot evaluate the formula: " + _native.last_error())
    return out


# ---- text forms ------------------------------------------------------------------

def _sci5(v):
    if math.isnan(v):
        return "NaN"
    if math.isinf(v):
        return "inf" if v > 0 else "-inf"
    mantissa, exponent = f"{v:.4e}".split("e")
    return f"{mantissa}e{int(exponent)}"


def _formula_parts(e):
    if isinstance(e, Const):
        return (_sci5(e.value),)
    if isinstance(e, Feature):
        return (e.name,)
    if isinstance(e, Bin):
        return ("(", e.left, f" {_SYMBOLS[e.op]} ", e.right, ")")
    if isinstance(e, Pow):
        return ("(", e.base, f"^{e.exponent})")
    return (f"{_FUNCTION_NAMES[type(e)]}(", e.child, ")")


def _formula(e):
    return _text(e, _formula_parts)


def json_number(v):
    """A double as the library writes it in JSON."""
    if math.isnan(v) or math.isinf(v):
        return "null"
    if v == 0.0:
        return "-0.0" if math.copysign(1.0, v) < 0 else "0.0"
    sign = "-" if v < 0 else ""
    text = repr(abs(v))  # shortest round-trip digits
    mant, _, exp = text.partition("e")
    whole, _, frac = mant.partition(".")
    digits = (whole + frac).lstrip("0")
    # Decimal exponent of the first significant digit.
    if whole != "0":
        point = len(whole) - 1
    else:
        point = -(len(frac) - len(frac.lstrip("0")) + 1)
    e = point + (int(exp) if exp else 0)
    digits = digits.rstrip("0") or "0"
    n = len(digits)
    if -5 <= e <= 15:
        if n - 1 <= e:
            body = digits + "0" * (e - n + 1) + ".0"
        elif e >= 0:
            body = digits[:e + 1] + "." + digits[e + 1:]
        else:
            body = "0." + "0" * (-e - 1) + digits
    else:
        body = digits[0] + ("." + digits[1:] if n > 1 else "") + "e" + ("-" if e < 0 else "+") + str(abs(e))
    return sign + body


def _json_parts(e):
    if isinstance(e, Const):
        return ('{"Const":' + json_number(e.value) + "}",)
    if isinstance(e, Feature):
        return ('{"Feature":' + _json_string(e.name) + "}",)
    if isinstance(e, Bin):
        return ('{"Bin":["' + e.op + '",', e.left, ",", e.right, "]}")
    if isinstance(e, Pow):
        return ('{"Pow":[', e.base, "," + str(e.exponent) + "]}")
    return ('{"' + type(e).__name__ + '":', e.child, "}")


def _json(e):
    return _text(e, _json_parts)


_ESCAPES = {'"': '\\"', "\\": "\\\\", "\b": "\\b", "\t": "\\t", "\n": "\\n", "\f": "\\f", "\r": "\\r"}


def _json_string(s):
    out = []
    for ch in s:
        if ch in _ESCAPES:
            out.append(_ESCAPES[ch])
        elif ord(ch) < 0x20:
            out.append(f"\\u{ord(ch):04x}")
        else:
            out.append(ch)
    return '"' + "".join(out) + '"'


def _sympy(e, sympy, symbols):
    if isinstance(e, Const):
        return sympy.Float(e.value)
    if isinstance(e, Feature):
        if e.name not in symbols:
            symbols[e.name] = sympy.Symbol(e.name)
        return symbols[e.name]
    if isinstance(e, Bin):
        a, b = _sympy(e.left, sympy, symbols), _sympy(e.right, sympy, symbols)
        return {"Add": lambda: a + b, "Sub": lambda: a - b, "Mul": lambda: a * b,
                "Div": lambda: a / b}[e.op]()
    if isinstance(e, Pow):
        return _sympy(e.base, sympy, symbols) ** sympy.Integer(e.exponent)
    fn = {Exp: sympy.exp, Log: sympy.log, Sqrt: sympy.sqrt, Sin: sympy.sin, Cos: sympy.cos,
          Tanh: sympy.tanh, Abs: sympy.Abs}[type(e)]
    return fn(_sympy(e.child, sympy, symbols))
