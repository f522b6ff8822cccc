"""Many independently seeded starts of one refined discovery, merged into one report.

Start i (from 0) is the refined search with qvx_options.start = i: the same
rows, split, baselines and error floor as every other start, its own random
choices. Each start gives its JSON report, a few kilobytes, wherever it ran;
the library merges them here (qvx_merge_starts), so the report does not depend
on where the starts ran or in what order they came back.
"""
import ctypes
import dataclasses

from . import _native
from .report import _discover, _read, mark_interrupted, options, raise_for

_JSON = 4  # QVX_JSON


def start_report(data, settings, start, progress=False):
    """The JSON report of start `start` of the discovery of `settings` (the keyword
    arguments of `report.options`) on the Dataset `data`, run in this process.
    Module-level so that it pickles for an executor."""
    return _start(data, settings, start, progress)[0]


def _start(data, settings, start, progress):
    record = options(**settings)
    record.start = start
    lib = _native.ext()
    out, interrupted = _discover(data, record, progress)
    try:
        return _native.take_string(lib.qvx_result_text(out, _JSON)), interrupted
    finally:
        lib.qvx_result_free(out)


def merge(data, settings, reports):
    """The Report of the starts whose JSON reports are `reports`."""
    record = options(**settings)
    texts = [r.encode("utf-8") for r in reports]
    array = (ctypes.c_char_p * len(texts))(*texts)
    lib = _native.ext()
    out = ctypes.c_void_p()
    ds = data._ext_handle()
    try:
        status = lib.qvx_merge_starts(ds, ctypes.byref(record), array, len(texts),
                                      ctypes.byref(out))
    finally:
        lib.qvx_dataset_free(ds)
    raise_for(status)
    try:
        report = _read(lib, out, data.feature_names, "refined")
    finally:
        lib.qvx_result_free(out)
    return dataclasses.replace(report, dropped_rows=data.dropped_rows,
                               dropped_labels=data.dropped_labels, target_name=data.target_name)


def discover_starts(data, settings, k, executor, progress):
    """Starts 0 .. k-1 here one after another, or on `executor`, merged. Ctrl-C here ends
    the running start and merges the starts run so far."""
    interrupted = False
    if executor is None:
        reports = []
        for i in range(k):
            text, interrupted = _start(data, settings, i, progress)
            reports.append(text)
            if interrupted:
                break
    else:
        futures = [executor.submit(start_report, data, settings, i) for i in range(k)]
        reports = [f.result() for f in futures]
    report = merge(data, settings, reports)
    return mark_interrupted(report) if interrupted else report
