"""Units from Python: the report's units, and refusals that name the column."""
import json

import numpy as np
import pytest

quorvex = pytest.importorskip("quorvex")

QUICK = dict(seed=2, population=200, progress=False)
NAMES = ["m", "v", "h"]
UNITS = {"m": "kg", "v": "m/s", "h": "m"}


def energy(n=80):
    rng = np.random.default_rng(4)
    X = rng.uniform(1, 5, (n, 3))
    return X, 0.5 * X[:, 0] * X[:, 1] ** 2


def test_units_reach_the_report_and_its_json():
    X, y = energy()
    r = quorvex.discover(X, y, feature_names=NAMES, units=UNITS, target_units="J", **QUICK)
    assert r.formula == "0.5*m*v^2"
    assert r.units == "kg*m^2/s^2"
    assert [c.units for c in r.constants] == ["1"]
    again = quorvex.Report.from_json(r.to_json())
    assert again.units == r.units and again.constants[0].units == "1"
    plain = quorvex.discover(X, y, feature_names=NAMES, **QUICK)
    assert plain.units is None and plain.constants[0].units is None
    assert "units" not in json.loads(plain.to_json())


@pytest.mark.parametrize("kwargs, words", [
    (dict(units={**UNITS, "v": "m/ss"}, target_units="J"), ['"v"', "position 3"]),
    (dict(units={"m": "kg", "v": "m/s"}, target_units="J"), ["'h'"]),
    (dict(units={**UNITS, "q": "C"}, target_units="J"), ["'q'"]),
    (dict(units=UNITS), ["target_units"]),
    (dict(units=UNITS, target_units="J", search="classic"), ["classic"]),
    (dict(units=UNITS, target_units="J", dimensional_constants=4), ["at most 3"]),
])
def test_refusals_say_what_is_wrong(kwargs, words):
    X, y = energy(20)
    with pytest.raises(quorvex.DataError) as e:
        quorvex.discover(X, y, feature_names=NAMES, **kwargs)
    for w in words:
        assert w in str(e.value)
