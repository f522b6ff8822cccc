"""The dataset family driven from Python through ctypes, as a foreign host."""
import ctypes
import math
import os

import pytest

LIB_PATH = os.environ.get("QUORVEX_LIBRARY")


@pytest.fixture(scope="module")
def lib():
    if not LIB_PATH:
        pytest.skip("QUORVEX_LIBRARY not set")
    lib = ctypes.CDLL(LIB_PATH)
    lib.quorvex_dataset_new.restype = ctypes.c_void_p
    lib.quorvex_dataset_new.argtypes = [ctypes.c_char_p]
    lib.quorvex_dataset_add_feature.restype = ctypes.c_int32
    lib.quorvex_dataset_add_feature.argtypes = [ctypes.c_void_p, ctypes.c_char_p]
    lib.quorvex_dataset_push_row.restype = ctypes.c_int32
    lib.quorvex_dataset_push_row.argtypes = [
        ctypes.c_void_p, ctypes.POINTER(ctypes.c_double), ctypes.c_double]
    lib.quorvex_dataset_n_rows.restype = ctypes.c_size_t
    lib.quorvex_dataset_n_rows.argtypes = [ctypes.c_void_p]
    lib.quorvex_dataset_free.restype = None
    lib.quorvex_dataset_free.argtypes = [ctypes.c_void_p]
    return lib


def row(*values):
    return (ctypes.c_double * max(len(values), 1))(*values)


def test_build_and_count(lib):
    ds = lib.quorvex_dataset_new("y".encode())
    assert ds
    assert lib.quorvex_dataset_add_feature(ds, "x".encode()) == 0
    assert lib.quorvex_dataset_add_feature(ds, "température".encode()) == 0
    for i in range(100):
        assert lib.quorvex_dataset_push_row(ds, row(float(i), math.nan), math.inf) == 0
    assert lib.quorvex_dataset_n_rows(ds) == 100
    lib.quorvex_dataset_free(ds)


def test_failure_values(lib):
    assert lib.quorvex_dataset_new(None) is None
    assert lib.quorvex_dataset_new(b"\xff") is None
    assert lib.quorvex_dataset_n_rows(None) == 0
    assert lib.quorvex_dataset_add_feature(None, b"x") == -1
    assert lib.quorvex_dataset_push_row(None, row(1.0), 0.0) == -1
    lib.quorvex_dataset_free(None)
    ds = lib.quorvex_dataset_new(b"")
    assert lib.quorvex_dataset_add_feature(ds, b"\xed\xa0\x80") == -1
    assert lib.quorvex_dataset_add_feature(ds, None) == -1
    assert lib.quorvex_dataset_push_row(ds, None, 0.0) == -1
    assert lib.quorvex_dataset_n_rows(ds) == 0
    lib.quorvex_dataset_free(ds)
