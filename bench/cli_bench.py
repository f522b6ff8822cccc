"""What bench/scale.py and bench/budget.py share: one refined discovery by the
quorvex command, measured from outside, and whether its formula is the law
(refine_table.is_exact, the test the classic-against-refined table uses)."""

import json
import os
import subprocess
import tempfile
import time

import numpy as np

import refine_table

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_CLI = os.path.join(HERE, "..", "build", "release", "tools", "quorvex")


def run_discovery(cli, csv_path, seed, time_limit=None, extra=()):
    """Runs `quorvex --json` on csv_path and returns a dict: report (the parsed
    JSON, None when the command failed), text (its standard output), wall and
    cpu seconds, peak_rss_mb (the child's own ru_maxrss), returncode, stderr."""
    args = [cli, "--json", "--quiet", "--seed", str(seed)]
    if time_limit is not None:
        args += ["--time-limit", f"{time_limit:g}"]
    args += list(extra) + [csv_path]
    # Files, not pipes: os.wait4 reaps the child itself, so nothing may be left
    # for communicate() to drain.
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        t0 = time.monotonic()
        proc = subprocess.Popen(args, stdout=out, stderr=err)
        _, status, usage = os.wait4(proc.pid, 0)
        wall = time.monotonic() - t0
        proc.returncode = os.waitstatus_to_exitcode(status)
        out.seek(0)
        err.seek(0)
        text, stderr = out.read().decode(), err.read().decode(errors="replace")
    report = json.loads(text) if proc.returncode == 0 else None
    return {
        "report": report,
        "text": text,
        "wall": wall,
        "cpu": usage.ru_utime + usage.ru_stime,
        "peak_rss_mb": usage.ru_maxrss / 1024.0,  # Linux reports KiB
        "returncode": proc.returncode,
        "stderr": stderr.strip(),
    }


def fresh_r2(cli, report_text, fresh_csv):
    """R2 of the report's formula on a fresh-points CSV (target last), with the
    library's own arithmetic (`quorvex --predict`); None when a prediction is
    not finite, as refine_bench counts it."""
    with tempfile.NamedTemporaryFile("w", suffix=".json", delete=False) as model:
        model.write(report_text)
    try:
        out = subprocess.run([cli, "--predict", model.name, fresh_csv], capture_output=True, text=True, check=True)
    finally:
        os.unlink(model.name)
    pred = np.array([float(v) for v in out.stdout.split()[1:]])
    y = np.loadtxt(fresh_csv, delimiter=",", skiprows=1, ndmin=2)[:, -1]
    if pred.shape != y.shape or not np.all(np.isfinite(pred)):
        return None
    return float(1.0 - np.sum((y - pred) ** 2) / np.sum((y - y.mean()) ** 2))


def recovered(report, r2, problem, data_dir):
    """True when the formula is the law, by refine_table's exact test: problem
    holds truth, features, ranges, noise and fresh (a file name in data_dir)."""
    if report is None:
        return False
    result = {"expr": json.loads(report["expr_json"]), "r2_fresh": r2}
    return refine_table.is_exact(result, problem, data_dir)


def format_row(cells, widths):
    """One line of a text table: each cell padded to its width, the last one
    (a formula) left as it is, so rows can be printed as the runs end."""
    cells = [str(c) for c in cells]
    return "  ".join(c.ljust(w) for c, w in zip(cells[:-1], widths)) + "  " + cells[-1]
