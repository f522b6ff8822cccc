"""Discoveries driven from Python through ctypes: recorded cases replayed by a foreign host."""
import ctypes
import glob
import json
import math
import os
import re

import pytest

LIB_PATH = os.environ.get("QUORVEX_LIBRARY")
GOLDEN = os.environ.get("QUORVEX_GOLDEN_DIR", "")


@pytest.fixture(scope="module")
def lib():
    if not LIB_PATH:
        pytest.skip("QUORVEX_LIBRARY not set")
    lib = ctypes.CDLL(LIB_PATH)
    vp, cp, d = ctypes.c_void_p, ctypes.c_char_p, ctypes.c_double
    sigs = {
        "quorvex_dataset_new": (vp, [cp]),
        "quorvex_dataset_add_feature": (ctypes.c_int32, [vp, cp]),
        "quorvex_dataset_push_row": (ctypes.c_int32, [vp, ctypes.POINTER(d), d]),
        "quorvex_dataset_free": (None, [vp]),
        "quorvex_discover": (vp, [vp, ctypes.c_uint32, ctypes.c_size_t, ctypes.c_uint32,
                                  ctypes.c_uint64, d]),
        "quorvex_report_formula": (vp, [vp]),
        "quorvex_report_pretty": (vp, [vp]),
        "quorvex_report_json": (vp, [vp]),
        "quorvex_report_verdict": (ctypes.c_int32, [vp]),
        "quorvex_report_bic": (d, [vp]),
        "quorvex_report_mse_train": (d, [vp]),
        "quorvex_report_free": (None, [vp]),
        "quorvex_string_free": (None, [vp]),
    }
    for name, (res, args) in sigs.items():
        f = getattr(lib, name)
        f.restype, f.argtypes = res, args
    return lib


def take(lib, ptr):
    assert ptr
    text = ctypes.string_at(ptr).decode("utf-8")
    lib.quorvex_string_free(ptr)
    return text


def number(v):
    return {"NaN": math.nan, "inf": math.inf, "-inf": -math.inf}.get(v, v) if isinstance(v, str) else v


CASES = sorted(glob.glob(os.path.join(GOLDEN, "discover", "*.json")))


@pytest.mark.parametrize("path", CASES, ids=[os.path.basename(p)[:-5] for p in CASES])
def test_recorded_discovery(lib, path):
    with open(path, encoding="utf-8") as f:
        case = json.load(f)
    ds = lib.quorvex_dataset_new(case["target"].encode())
    for op in case["ops"]:
        if "add_feature" in op:
            assert lib.quorvex_dataset_add_feature(ds, op["add_feature"].encode()) == 0
        else:
            vals = [number(v) for v in op["push_row"]["values"]] or [0.0]
            arr = (ctypes.c_double * len(vals))(*vals)
            assert lib.quorvex_dataset_push_row(ds, arr, number(op["push_row"]["target"])) == 0
    a = case["args"]
    rep = lib.quorvex_discover(ds, a["generations"], a["population"], a["max_depth"], a["seed"],
                               number(a["test_fraction"]))
    lib.quorvex_dataset_free(ds)
    assert rep
    got = re.sub(r'"wall_clock_ms": \d+', '"wall_clock_ms": 0', take(lib, lib.quorvex_report_json(rep)))
    assert got == case["expected_json"]
    assert take(lib, lib.quorvex_report_formula(rep)) == case["expected_formula"]
    assert lib.quorvex_report_verdict(rep) == case["expected_verdict_code"]
    doc = json.loads(got)
    if doc["bic"] is not None:
        assert lib.quorvex_report_bic(rep) == doc["bic"]
    lib.quorvex_report_free(rep)
