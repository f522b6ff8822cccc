"""Finding and loading the extended library (quorvex_ext.h), and the C signatures the package calls."""
import ctypes
import ctypes.util
import os
import sys
import threading

from .errors import LibraryNotFoundError, QuorvexError

ENV_VAR = "QUORVEX_EXT_LIBRARY"

if sys.platform == "win32":
    _NAMES = ("quorvex_ext.dll",)
elif sys.platform == "darwin":
    _NAMES = ("libquorvex_ext.0.dylib", "libquorvex_ext.dylib")
else:
    _NAMES = ("libquorvex_ext.so.0", "libquorvex_ext.so")

QVX_OK, QVX_ERR_ARGUMENT, QVX_ERR_DATA, QVX_STOPPED = 0, 1, 2, 3
SEARCHES = {"refined": 0, "classic": 1}


class Options(ctypes.Structure):
    """qvx_options, in the order of the header."""
    _fields_ = [
        ("size", ctypes.c_size_t),
        ("search", ctypes.c_int32),
        ("generations", ctypes.c_uint32),
        ("population", ctypes.c_size_t),
        ("max_depth", ctypes.c_uint32),
        ("seed", ctypes.c_uint64),
        ("test_fraction", ctypes.c_double),
        ("n_shuffles", ctypes.c_size_t),
        ("time_limit", ctypes.c_double),
        ("patience", ctypes.c_uint32),
        ("exact_patience", ctypes.c_uint32),
        ("max_threads", ctypes.c_size_t),
        ("operators", ctypes.c_char_p),  # NULL: the default set
        ("start", ctypes.c_uint32),
        ("start_from", ctypes.c_char_p),  # NULL: no warm start
    ]


_vp, _cp, _d = ctypes.c_void_p, ctypes.c_char_p, ctypes.c_double
_i32, _sz, _u64 = ctypes.c_int32, ctypes.c_size_t, ctypes.c_uint64
PROGRESS_FN = ctypes.CFUNCTYPE(_i32, _vp, ctypes.c_uint32, ctypes.c_uint32, _d, _d)
PERMUTATION_FN = ctypes.CFUNCTYPE(_i32, _vp, _sz, _sz)

# Returned strings stay raw pointers so that they can be handed back to qvx_string_free.
_SIGNATURES = {
    "qvx_last_error": (_cp, []),
    "qvx_version": (ctypes.c_uint32, []),
    "qvx_dataset_from_columns": (_vp, [_cp, _sz, _vp, _vp, _vp, _sz]),
    "qvx_dataset_free": (None, [_vp]),
    "qvx_dataset_set_weights": (_i32, [_vp, _vp, _sz]),
    "qvx_dataset_set_units": (_i32, [_vp, _vp, _sz, _cp, ctypes.c_uint32]),
    "qvx_options_init": (_i32, [ctypes.POINTER(Options), _sz, _i32]),
    "qvx_discover": (_i32, [_vp, ctypes.POINTER(Options), PROGRESS_FN, _vp, ctypes.POINTER(_vp)]),
    "qvx_result_verdict": (_i32, [_vp]),
    "qvx_result_number": (_d, [_vp, _i32]),
    "qvx_result_count": (_u64, [_vp, _i32]),
    "qvx_result_text": (_vp, [_vp, _i32]),
    "qvx_front_number": (_d, [_vp, _sz, _i32]),
    "qvx_front_text": (_vp, [_vp, _sz, _i32]),
    "qvx_constant_number": (_d, [_vp, _sz, _i32]),
    "qvx_result_free": (None, [_vp]),
    "qvx_string_free": (None, [_vp]),
    "qvx_predict": (_i32, [_cp, _sz, _vp, _vp, _sz, _vp]),
    "qvx_merge_starts": (_i32, [_vp, ctypes.POINTER(Options), _vp, _sz, ctypes.POINTER(_vp)]),
    "qvx_permuted_dataset": (_vp, [_vp, ctypes.POINTER(Options), _sz]),
    "qvx_permutation_test": (_i32, [_vp, ctypes.POINTER(Options), _d, _sz, PERMUTATION_FN, _vp,
                                    _vp, ctypes.POINTER(_d)]),
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
                f"{where} was loaded but does not export {name}: it is not the extended quorvex "
                "library of this version") from None
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
    found = ctypes.util.find_library("quorvex_ext")
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
        "cannot find the quorvex library (libquorvex_ext); set " + ENV_VAR + " to its path, put "
        "it next to the quorvex package, or install it on the system library path. Tried: "
        + ", ".join(tried))


def ext():
    """The loaded library, loading it on first use."""
    global _lib, _path
    if _lib is None:
        with _lock:
            if _lib is None:
                _lib, _path = _load()
    return _lib


def library_path():
    """Where the library in use was loaded from (loads it if needed)."""
    ext()
    return _path


def last_error():
    return ext().qvx_last_error().decode("utf-8", "replace")


def take_string(ptr):
    """Copies a string returned by the library and releases it."""
    if not ptr:
        raise QuorvexError("the library returned no string: " + last_error())
    try:
        return ctypes.string_at(ptr).decode("utf-8")
    finally:
        ext().qvx_string_free(ptr)


def defaults(search):
    """The library's options record for `search` (QVX_SEARCH_ code) as qvx_options_init fills it."""
    record = Options()
    if ext().qvx_options_init(ctypes.byref(record), ctypes.sizeof(record), search) != QVX_OK:
        raise QuorvexError(last_error())
    return record


def columns_args(names, columns):
    """(names array, column pointer array) for a list of names and float64 arrays.

    The arrays must be contiguous float64 and stay alive while the pointers are used."""
    n = len(names)
    name_array = (_cp * max(n, 1))(*[s.encode("utf-8") for s in names])
    col_array = (_vp * max(n, 1))(*[c.ctypes.data for c in columns])
    return name_array, col_array
