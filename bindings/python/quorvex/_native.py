"""Finding and loading the shared library, and the 18 C signatures."""
import ctypes
import ctypes.util
import os
import sys
import threading

from .errors import LibraryNotFoundError, QuorvexError

ENV_VAR = "QUORVEX_LIBRARY"

if sys.platform == "win32":
    _NAMES = ("quorvex.dll",)
elif sys.platform == "darwin":
    _NAMES = ("libquorvex.0.dylib", "libquorvex.dylib")
else:
    _NAMES = ("libquorvex.so.0", "libquorvex.so")

_vp, _cp, _d = ctypes.c_void_p, ctypes.c_char_p, ctypes.c_double
_SIGNATURES = {
    "quorvex_dataset_new": (_vp, [_cp]),
    "quorvex_dataset_add_feature": (ctypes.c_int32, [_vp, _cp]),
    # The row is passed as a raw address into a float64 array.
    "quorvex_dataset_push_row": (ctypes.c_int32, [_vp, _vp, _d]),
    "quorvex_dataset_n_rows": (ctypes.c_size_t, [_vp]),
    "quorvex_dataset_free": (None, [_vp]),
    "quorvex_discover": (_vp, [_vp, ctypes.c_uint32, ctypes.c_size_t, ctypes.c_uint32,
                               ctypes.c_uint64, _d]),
    # Returned strings stay raw pointers so that they can be handed back to
    # quorvex_string_free.
    "quorvex_report_formula": (_vp, [_vp]),
    "quorvex_report_pretty": (_vp, [_vp]),
    "quorvex_report_json": (_vp, [_vp]),
    "quorvex_report_verdict": (ctypes.c_int32, [_vp]),
    "quorvex_report_mse_train": (_d, [_vp]),
    "quorvex_report_mse_test": (_d, [_vp]),
    "quorvex_report_bic": (_d, [_vp]),
    "quorvex_report_delta_bic_const": (_d, [_vp]),
    "quorvex_report_delta_bic_linear": (_d, [_vp]),
    "quorvex_report_z_vs_shuffled": (_d, [_vp]),
    "quorvex_report_free": (None, [_vp]),
    "quorvex_string_free": (None, [_vp]),
}

_lock = threading.Lock()
_lib = None
_path = None


def _bind(handle, where):
    for name, (restype, argtypes) in _SIGNATURES.items():
        try:
            fn = getattr(handle, name)
        except AttributeError:
            raise LibraryNotFoundError(
                f"{where} was loaded but does not export {name}: it is not a quorvex library "
                "of this version") from None
        fn.restype, fn.argtypes = restype, argtypes
    return handle


def _load():
    explicit = os.environ.get(ENV_VAR)
    if explicit:
        try:
            return _bind(ctypes.CDLL(explicit), explicit), explicit
        except OSError as e:
            raise LibraryNotFoundError(
                f"cannot load the quorvex library named by {ENV_VAR}={explicit!r}: {e}") from None

    tried = []
    here = os.path.dirname(os.path.abspath(__file__))
    for name in _NAMES:
        path = os.path.join(here, name)
        tried.append(path)
        if os.path.exists(path):
            try:
                return _bind(ctypes.CDLL(path), path), path
            except OSError as e:
                raise LibraryNotFoundError(f"cannot load {path}: {e}") from None

    system = list(_NAMES)
    found = ctypes.util.find_library("quorvex")
    if found and found not in system:
        system.append(found)
    for name in system:
        tried.append(name + " (system search path)")
        try:
            handle = ctypes.CDLL(name)
        except OSError:
            continue
        return _bind(handle, name), name
    raise LibraryNotFoundError(
        "cannot find the quorvex shared library; set " + ENV_VAR +
        " to its path, put it next to the quorvex package, or install it on the system "
        "library path. Tried: " + ", ".join(tried))


def lib():
    """The loaded library, loading it on first use."""
    global _lib, _path
    if _lib is None:
        with _lock:
            if _lib is None:
                handle, path = _load()
                _path = path
                _lib = handle
    return _lib


def library_path():
    """Where the library in use was loaded from (loads it if needed)."""
    lib()
    return _path


def take_string(ptr):
    """Copies a string returned by the library and releases it."""
    if not ptr:
        raise QuorvexError("the library returned no string")
    try:
        return ctypes.string_at(ptr).decode("utf-8")
    finally:
        lib().quorvex_string_free(ptr)
