"""The three evaluators agree bit for bit: the library's (through the report's errors),
the quorvex command's --predict, and the Python package's predict."""
import json
import math
import os
import struct
import subprocess

import numpy as np
import pytest

from conftest import finite_row_mse, rectangular_cases, split_positions

CLI = os.environ.get("QUORVEX_CLI")


def csv_cell(v):
    return "nan" if math.isnan(v) else repr(v)


def csv_name(name):
    return '"' + name.replace('"', '""') + '"'


def bit_pattern(values):
    return [struct.pack("<d", v) if not math.isnan(v) else b"nan" for v in values]


@pytest.mark.skipif(not CLI, reason="QUORVEX_CLI not set")
# CSV files need rows and non-empty column names; both refuse a name given twice.
@pytest.mark.parametrize("case", [c for c in rectangular_cases() if c.values[0]["rows"]
                                  and c.values[0]["names"] and all(c.values[0]["names"])
                                  and len(set(c.values[0]["names"])) == len(c.values[0]["names"])])
def test_command_and_package_predict_what_the_library_measured(quorvex_package, tmp_path, case):
    names, rows, y = case["names"], case["rows"], case["targets"]
    model = tmp_path / "model.json"
    model.write_text(case["expected_json"], encoding="utf-8")
    table = ",".join(map(csv_name, names)) + "\n" + "".join(
        ",".join(map(csv_cell, row)) + "\n" for row in rows)
    result = subprocess.run([CLI, "--predict", str(model), "-"], input=table.encode(),
                            capture_output=True, timeout=120)
    assert result.returncode == 0, result.stderr
    lines = result.stdout.decode().split("\n")
    assert lines[0] == "prediction" and lines[-1] == ""
    from_command = [float(v) for v in lines[1:-1]]

    doc = json.loads(case["expected_json"])
    expr = quorvex_package.Expr.from_json(doc["expr_json"])
    from_package = expr.predict(np.array(rows, dtype=float).reshape(len(rows), len(names)),
                                feature_names=names)
    assert bit_pattern(from_command) == bit_pattern(from_package.tolist())

    train, test = split_positions(len(y), float(case["args"]["test_fraction"]),
                                  case["args"]["seed"])
    for positions, key in ((train, "mse_train"), (test, "mse_test")):
        mse = finite_row_mse([from_command[i] for i in positions], [y[i] for i in positions])
        if doc[key] is None:
            assert not math.isfinite(mse)
        else:
            assert mse == doc[key], key
