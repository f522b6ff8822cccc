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


# ---- the extended interface (quorvex_ext.h) ----------------------------------------------

EXT_ENV_VAR = "QUORVEX_EXT_LIBRARY"

if sys.platform == "win32":
    _EXT_NAMES = ("quorvex_ext.dll",)
elif sys.platform == "darwin":
    _EXT_NAMES = ("libquorvex_ext.0.dylib", "libquorvex_ext.dylib")
else:
    _EXT_NAMES = ("libquorvex_ext.so.0", "libquorvex_ext.so")

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
    ]


PROGRESS_FN = ctypes.CFUNCTYPE(ctypes.c_int32, _vp, ctypes.c_uint32, ctypes.c_uint32, _d, _d)
PERMUTATION_FN = ctypes.CFUNCTYPE(ctypes.c_int32, _vp, ctypes.c_size_t, ctypes.c_size_t)

_i32, _sz, _u64 = ctypes.c_int32, ctypes.c_size_t, ctypes.c_uint64
_pp = ctypes.POINTER(_vp)
_EXT_SIGNATURES = {
    "qvx_last_error": (_cp, []),
    "qvx_version": (ctypes.c_uint32, []),
    "qvx_dataset_from_columns": (_vp, [_cp, _sz, _vp, _vp, _vp, _sz]),
    "qvx_dataset_free": (None, [_vp]),
    "qvx_options_init": (_i32, [ctypes.POINTER(Options), _sz, _i32]),
    "qvx_discover": (_i32, [_vp, ctypes.POINTER(Options), PROGRESS_FN, _vp, _pp]),
    "qvx_result_verdict": (_i32, [_vp]),
    "qvx_result_number": (_d, [_vp, _i32]),
    "qvx_result_count": (_u64, [_vp, _i32]),
    "qvx_result_text": (_vp, [_vp, _i32]),
    "qvx_front_number": (_d, [_vp, _sz, _i32]),
    "qvx_front_text": (_vp, [_vp, _sz, _i32]),
    "qvx_result_free": (None, [_vp]),
    "qvx_string_free": (None, [_vp]),
    "qvx_predict": (_i32, [_cp, _sz, _vp, _vp, _sz, _vp]),
    "qvx_permutation_test": (_i32, [_vp, ctypes.POINTER(Options), _d, _sz, PERMUTATION_FN, _vp,
                                    _vp, ctypes.POINTER(_d)]),
}

_ext = None
_ext_path = None
_ext_lock = threading.Lock()  # apart from _lock: loading the extension may load the classic one


def _bind_ext(handle, where):
    for name, (restype, argtypes) in _EXT_SIGNATURES.items():
        try:
            fn = getattr(handle, name)
        except AttributeError:
            raise LibraryNotFoundError(
                f"{where} was loaded but does not export {name}: it is not the extended quorvex "
                "library of this version") from None
        fn.restype, fn.argtypes = restype, argtypes
    return handle


def _load_ext():
    explicit = os.environ.get(EXT_ENV_VAR)
    if explicit:
        try:
            return _bind_ext(ctypes.CDLL(explicit), explicit), explicit
        except OSError as e:
            raise LibraryNotFoundError(f"cannot load the extended quorvex library named by "
                                       f"{EXT_ENV_VAR}={explicit!r}: {e}") from None
    # Next to the classic library in use (QUORVEX_LIBRARY names a build tree), then next to
    # this package, then the system search path.
    folders = [os.path.dirname(os.path.abspath(library_path()))] \
        if os.path.sep in library_path() else []
    folders.append(os.path.dirname(os.path.abspath(__file__)))
    tried = []
    for folder in dict.fromkeys(folders):
        for name in _EXT_NAMES:
            path = os.path.join(folder, name)
            tried.append(path)
            if os.path.exists(path):
                try:
                    return _bind_ext(ctypes.CDLL(path), path), path
                except OSError as e:
                    raise LibraryNotFoundError(f"cannot load {path}: {e}") from None
    system = list(_EXT_NAMES)
    found = ctypes.util.find_library("quorvex_ext")
    if found and found not in system:
        system.append(found)
    for name in system:
        tried.append(name + " (system search path)")
        try:
            handle = ctypes.CDLL(name)
        except OSError:
            continue
        return _bind_ext(handle, name), name
    raise LibraryNotFoundError(
        "cannot find the extended quorvex library; set " + EXT_ENV_VAR + " to its path or put "
        "it next to the quorvex library or package. Tried: " + ", ".join(tried))


def ext():
    """The loaded extended library, loading it on first use."""
    global _ext, _ext_path
    if _ext is None:
        lib()  # the package needs both; a missing classic library is reported as before
        with _ext_lock:
            if _ext is None:
                handle, path = _load_ext()
                _ext_path = path
                _ext = handle
    return _ext


def ext_library_path():
    ext()
    return _ext_path


def last_error():
    return ext().qvx_last_error().decode("utf-8", "replace")


def take_ext_string(ptr):
    """Copies a string returned by the extended library and releases it."""
    if not ptr:
        raise QuorvexError("the library returned no string: " + last_error())
    try:
        return ctypes.string_at(ptr).decode("utf-8")
    finally:
        ext().qvx_string_free(ptr)


def columns_args(names, columns):
    """(names array, column pointer array, keep-alive) for a list of names and float64 arrays.

    The arrays must be contiguous float64 and stay alive while the pointers are used."""
    n = len(names)
    name_array = (_cp * max(n, 1))(*[s.encode("utf-8") for s in names])
    col_array = (_vp * max(n, 1))(*[c.ctypes.data for c in columns])
    return name_array, col_array
