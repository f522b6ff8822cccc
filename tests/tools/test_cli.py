"""The quorvex command end to end: bad input, both reports, determinism, progress lines."""
import json
import os
import re
import subprocess
import sys

import pytest

CLI = os.environ.get("QUORVEX_CLI")
DATA_DIR = os.environ.get("QUORVEX_DATA_DIR")
# Small searches keep the suite fast; the settings do not change what is checked.
QUICK = ["--population", "20", "--generations", "3"]
# The C entry's search, whose report layout and settings these tests pin down.
CLASSIC = ["--classic", *QUICK]

REPORT_KEYS = ["formula", "expr_json", "k", "mse_train", "mse_test", "bic", "baselines",
               "delta_bic_const", "delta_bic_linear", "z_vs_shuffled", "verdict",
               "verdict_reason", "n_train", "n_test", "wall_clock_ms"]

pytestmark = pytest.mark.skipif(not CLI or not DATA_DIR,
                                reason="QUORVEX_CLI and QUORVEX_DATA_DIR not set")


def run(*args, stdin=None):
    return subprocess.run([CLI, *map(str, args)], input=stdin, capture_output=True, timeout=600)


def data(name):
    return os.path.join(DATA_DIR, name)


def write(tmp_path, content, name="data.csv"):
    path = tmp_path / name
    path.write_bytes(content if isinstance(content, bytes) else content.encode())
    return path


def assert_rejected(result, *fragments):
    err = result.stderr.decode("utf-8", "replace")
    assert result.returncode == 2, err
    assert result.stdout == b""
    assert err.endswith("\n") and err.count("\n") == 1, err
    for fragment in fragments:
        assert fragment in err, err
    return err


# (file content, extra arguments, expected "line:column" or None, a word of the message)
BAD_FILES = {
    "empty": (b"", [], None, "empty"),
    "only_blank_lines": (b"\n\r\n\n", [], None, "empty"),
    "header_only": (b"x,y\n", [], None, "no rows"),
    "not_a_number": (b"x,y\n1,2\n3,abc\n", [], ":3:2:", "not a number"),
    "empty_cell": (b"x,y\n1,\n", [], None, "line 2"),
    "too_few_cells": (b"x,z,y\n1,2,3\n4,5\n", [], ":3:3:", "2 cells"),
    "too_many_cells": (b"x,y\n1,2,3\n", [], ":2:3:", "3 cells"),
    "blank_line_between_rows": (b"x,y\n1,2\n\n3,4\n", [], ":3:", "blank line"),
    "unclosed_quote": (b"\"x,y\n1,2\n", [], ":1:1:", "not closed"),
    "invalid_utf8_name": (b"x,\xff\n1,2\n", [], ":1:2:", "UTF-8"),
    "empty_name": (b"x,,y\n1,2,3\n", [], ":1:2:", "no name"),
    "out_of_range": (b"x,y\n1e999,2\n", [], ":2:1:", "range"),
    "unknown_target": (b"x,y\n1,2\n", ["--target", "z"], ":1:", "\"z\""),
    "ambiguous_target": (b"y,x,y\n1,2,3\n", ["--target", "y"], ":1:3:", "more than one"),
}


@pytest.mark.parametrize("case", sorted(BAD_FILES))
def test_bad_file_is_rejected_with_its_location(tmp_path, case):
    content, extra, location, word = BAD_FILES[case]
    path = write(tmp_path, content)
    err = assert_rejected(run(path, *extra, *QUICK), str(path), word)
    if location:
        assert f"{path}{location}" in err


@pytest.mark.parametrize("path", ["no/such/file.csv", "."])
def test_unreadable_file_is_rejected(path):
    assert_rejected(run(path), path, "cannot read")


@pytest.mark.parametrize("args", [
    [],
    ["--no-such-option", "x.csv"],
    ["--generations", "abc", "x.csv"],
    ["--population", "-5", "x.csv"],
    ["--seed", "-1", "x.csv"],
    ["--generations", "4294967296", "x.csv"],
    ["a.csv", "b.csv"],
])
def test_usage_errors(args):
    assert_rejected(run(*args))


def test_text_report():
    result = run(data("product_sum.csv"), *CLASSIC)
    assert result.returncode == 0, result.stderr
    assert result.stderr == b""
    lines = result.stdout.decode().split("\n")
    # The report's thirteen lines, then what the verdict leaves out.
    assert lines[-1] == "" and len(lines) >= 15
    assert lines[13].startswith("finite  : ")
    assert lines[0].startswith("─── quorvex discovery report")
    assert lines[1].startswith("formula : ")
    assert lines[10].split(" : ")[1] in ("Strong", "Weak", "Noise")
    # 200 rows, default test fraction 0.2.
    assert re.fullmatch(r"n_train = 160  n_test = 40  wall = \d+ ms", lines[12])


def test_json_report():
    result = run(data("sqrt_noisy.csv"), "--json", *CLASSIC)
    assert result.returncode == 0, result.stderr
    assert result.stdout.endswith(b"}\n") and not result.stdout.endswith(b"\n\n")
    report = json.loads(result.stdout)
    assert list(report) == REPORT_KEYS
    assert report["n_train"] + report["n_test"] == 200
    json.loads(report["expr_json"])


def test_json_and_text_describe_the_same_discovery():
    text = run(data("product_sum.csv"), "--seed", "9", *QUICK).stdout.decode().split("\n")
    report = json.loads(run(data("product_sum.csv"), "--seed", "9", "--json", *QUICK).stdout)
    assert text[1] == "formula : " + report["formula"]
    assert text[10] == "verdict : " + report["verdict"]


def without_wall_clock(output):
    output = re.sub(rb"wall = \d+ ms", b"wall = N ms", output)
    output = re.sub(rb"generations in [0-9.]+ s", b"generations in N s", output)
    return re.sub(rb'"wall_clock_ms": \d+', b'"wall_clock_ms": N', output)


@pytest.mark.parametrize("fmt", [[], ["--json"]])
def test_same_seed_same_report(fmt):
    args = [data("product_sum.csv"), "--seed", "123", *fmt, *QUICK]
    first, second = run(*args), run(*args)
    assert first.returncode == second.returncode == 0
    assert without_wall_clock(first.stdout) == without_wall_clock(second.stdout)


def test_verbose_writes_one_line_per_generation():
    result = run(data("sqrt_noisy.csv"), "--classic", "--verbose", "--population", "20",
                 "--generations", "4")
    assert result.returncode == 0
    lines = result.stderr.decode().splitlines()
    assert [line[:20] for line in lines] == [f"[quorvex] gen   {g}/4 " for g in range(1, 5)]
    for line in lines:
        assert re.fullmatch(r"\[quorvex\] gen +\d+/\d+ +best_BIC = +(-?\d+\.\d{3}|inf)", line)
    assert result.stdout.decode().split("\n")[13].startswith("finite  : ")


def test_zero_settings_take_the_defaults():
    # Generations 0 means 40: one progress line each.
    result = run(data("sqrt_noisy.csv"), "--classic", "--verbose", "--generations", "0",
                 "--population", "8")
    assert result.returncode == 0
    lines = result.stderr.decode().splitlines()
    assert len(lines) == 40 and lines[-1].startswith("[quorvex] gen  40/40 ")


@pytest.mark.parametrize("fraction, n_test", [
    ("0.5", 100), ("0.999", 200), ("0", 40), ("1", 40), ("-0.5", 40), ("1.5", 40), ("nan", 40),
])
def test_classic_test_fraction_outside_the_open_interval_means_a_fifth(fraction, n_test):
    result = run(data("pure_noise.csv"), "--json", "--test-fraction", fraction, *CLASSIC)
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout)
    assert (report["n_train"], report["n_test"]) == (200 - n_test, n_test)


def test_target_is_left_out_of_the_features():
    # With x1 as the target, no formula may use it.
    for seed in range(5):
        result = run(data("product_sum.csv"), "--target", "x1", "--seed", seed, "--json", *QUICK)
        assert result.returncode == 0
        assert "x1" not in json.loads(result.stdout)["formula"]


def test_crlf_quotes_and_stdin(tmp_path):
    lf = open(data("sqrt_noisy.csv"), "rb").read()
    header, rest = lf.split(b"\n", 1)
    crlf = b'"x" , "y"\r\n' + rest.replace(b"\n", b"\r\n") + b"\r\n\r\n"
    args = ["--json", "--seed", "4", *QUICK]
    expected = without_wall_clock(run(data("sqrt_noisy.csv"), *args).stdout)
    assert without_wall_clock(run(write(tmp_path, crlf), *args).stdout) == expected
    assert without_wall_clock(run("-", *args, stdin=lf).stdout) == expected


def test_example_data_are_reproducible(tmp_path):
    script = os.path.join(DATA_DIR, "make_data.py")
    subprocess.run([sys.executable, script, str(tmp_path)], check=True)
    for name in ("product_sum.csv", "sqrt_noisy.csv", "pure_noise.csv", "gravity.csv"):
        assert (tmp_path / name).read_bytes() == open(data(name), "rb").read(), name
