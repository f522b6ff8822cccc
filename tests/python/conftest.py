"""Shared helpers of the Python tests: the recorded discoveries and an independent split."""
import glob
import json
import math
import os

import pytest

GOLDEN_DIR = os.environ.get("QUORVEX_GOLDEN_DIR",
                            os.path.join(os.path.dirname(__file__), "..", "golden"))


def number(v):
    """A recorded value: numbers, or "NaN" / "inf" / "-inf" spelled out."""
    if isinstance(v, str):
        return {"NaN": math.nan, "inf": math.inf, "-inf": -math.inf}[v]
    return v


def load_case(path):
    with open(path, encoding="utf-8") as f:
        return json.load(f)


def rectangular_cases():
    """Recorded cases whose features all come before the first row: a table."""
    cases = []
    for path in sorted(glob.glob(os.path.join(GOLDEN_DIR, "discover", "*.json"))):
        case = load_case(path)
        ops = case["ops"]
        first_row = next((i for i, op in enumerate(ops) if "push_row" in op), len(ops))
        if any("add_feature" in op for op in ops[first_row:]):
            continue
        case["names"] = [op["add_feature"] for op in ops if "add_feature" in op]
        case["rows"] = [[number(v) for v in op["push_row"]["values"]]
                        for op in ops if "push_row" in op]
        case["targets"] = [number(op["push_row"]["target"]) for op in ops if "push_row" in op]
        cases.append(pytest.param(case, id=os.path.basename(path)[:-5]))
    return cases


def split_positions(n, test_fraction, seed):
    """Training and test row positions, computed here from the documented shuffle rule."""
    if not 0.0 < test_fraction < 1.0:
        test_fraction = 0.2
    positions = list(range(n))
    if n >= 2:
        mask = 2 ** 64 - 1
        state = (seed + 0x9E3779B97F4A7C15) & mask
        for i in range(n - 1, 0, -1):
            state = (state * 6364136223846793005 + 1442695040888963407) & mask
            j = (state >> 33) % (i + 1)
            positions[i], positions[j] = positions[j], positions[i]
    t = (1.0 - test_fraction) * n
    n_train = int(t) if t > 0 else 0
    return positions[:n_train], positions[n_train:]


def finite_row_mse(predictions, targets):
    """Mean squared error over the finite predictions, summed in row order."""
    sse, m = 0.0, 0
    for p, t in zip(predictions, targets):
        if math.isfinite(p):
            d = t - p
            sse += d * d
            m += 1
    return sse / m if m else math.nan


@pytest.fixture(scope="session")
def quorvex_package():
    """The package under test: the source tree's with QUORVEX_EXT_LIBRARY, or the one pip
    installed (QUORVEX_INSTALLED), whose library sits inside it."""
    if not os.environ.get("QUORVEX_EXT_LIBRARY") and not os.environ.get("QUORVEX_INSTALLED"):
        pytest.skip("neither QUORVEX_EXT_LIBRARY nor QUORVEX_INSTALLED set")
    import quorvex
    return quorvex
