"""The quorvex command's plot, progress bar and --predict, end to end."""
import json
import math
import os
import pty
import re
import shutil
import subprocess
import xml.etree.ElementTree as ET

import pytest

CLI = os.environ.get("QUORVEX_CLI")
DATA_DIR = os.environ.get("QUORVEX_DATA_DIR")
QUICK = ["--population", "20", "--generations", "3"]
SVG = "{http://www.w3.org/2000/svg}"

pytestmark = pytest.mark.skipif(not CLI or not DATA_DIR,
                                reason="QUORVEX_CLI and QUORVEX_DATA_DIR not set")


def run(*args, stdin=None):
    return subprocess.run([CLI, *map(str, args)], input=stdin, capture_output=True, timeout=600)


def data(name):
    return os.path.join(DATA_DIR, name)


def without_wall(output):
    return re.sub(rb'"wall_clock_ms": \d+', b"", output)


def test_plot_has_its_panels_and_leaves_the_report_alone(tmp_path):
    plot = tmp_path / "run.svg"
    args = [data("sqrt_noisy.csv"), "--classic", "--seed", "5", "--json", "--generations", "6",
            "--population", "30"]
    with_plot = run(*args, "--plot", plot)
    assert with_plot.returncode == 0, with_plot.stderr
    without_plot = run(*args)
    assert with_plot.stderr == without_plot.stderr  # only the verdict's notes, if any
    assert without_wall(with_plot.stdout) == without_wall(without_plot.stdout)
    report = json.loads(with_plot.stdout)

    root = ET.parse(plot).getroot()
    groups = {g.get("id"): g for g in root.iter(SVG + "g") if g.get("id")}
    # One feature: the data with the fitted curve too; a classic search has no front.
    assert {"predicted-vs-observed", "residuals", "data-and-curve"} <= set(groups)
    assert "front" not in groups
    for panel in ("predicted-vs-observed", "residuals", "data-and-curve"):
        train = next(g for g in groups[panel].iter(SVG + "g") if g.get("class") == "train")
        test = next(g for g in groups[panel].iter(SVG + "g") if g.get("class") == "test")
        assert len(train.findall(SVG + "circle")) == report["n_train"], panel
        assert len(test.findall(SVG + "circle")) == report["n_test"], panel
    assert groups["curve"].findall(SVG + "polyline")
    texts = [t.text or "" for t in root.iter(SVG + "text")]
    assert "observed y" in texts and "predicted y" in texts and "x" in texts
    assert "y = " + report["formula"][:40] in "".join(texts)
    assert "verdict: " + report["verdict"] in texts
    bic_line = next(t for t in texts if t.startswith("BIC "))
    for key in ("bic_const", "bic_linear", "bic_shuffled_mean"):
        assert f"{report['baselines'][key]:.6g}" in bic_line


def test_plot_renders(tmp_path):
    if not shutil.which("rsvg-convert"):
        pytest.skip("rsvg-convert (librsvg2-bin) not installed")
    plot = tmp_path / "run.svg"
    assert run(data("product_sum.csv"), "--plot", plot, *QUICK).returncode == 0
    png = tmp_path / "run.png"
    subprocess.run(["rsvg-convert", str(plot), "-o", str(png)], check=True, timeout=60)
    assert png.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


def test_unwritable_plot_fails_before_the_search(tmp_path):
    result = run(data("product_sum.csv"), "--plot", tmp_path / "no" / "such" / "dir.svg", *QUICK)
    assert result.returncode == 2 and result.stdout == b""
    assert b"cannot write the plot" in result.stderr


def run_on_terminal(*args):
    """Runs the command with standard error on a pseudo-terminal; returns (code, stdout, terminal)."""
    master, slave = pty.openpty()
    proc = subprocess.Popen([CLI, *map(str, args)], stdout=subprocess.PIPE, stderr=slave,
                            stdin=subprocess.DEVNULL)
    os.close(slave)
    seen = b""
    while True:
        try:
            chunk = os.read(master, 4096)
        except OSError:  # the other side closed
            break
        if not chunk:
            break
        seen += chunk
    out = proc.stdout.read()
    proc.wait(timeout=600)
    os.close(master)
    return proc.returncode, out, seen


def test_progress_bar_only_on_a_terminal():
    code, out, terminal = run_on_terminal(data("sqrt_noisy.csv"), "--classic", "--population",
                                          "20", "--generations", "4")
    assert code == 0
    assert out.startswith("─── quorvex".encode())
    for g in range(1, 5):
        assert f"] generation {g}/4  best BIC ".encode() in terminal
    assert terminal.startswith(b"\rquorvex [")
    assert terminal.endswith(b"\r")  # the bar is erased, the report stays clean
    # --quiet silences it; --verbose keeps its own lines instead.
    assert run_on_terminal(data("sqrt_noisy.csv"), "--quiet", *QUICK)[2] == b""
    verbose = run_on_terminal(data("sqrt_noisy.csv"), "--classic", "--verbose", *QUICK)[2]
    assert b"generation" not in verbose and verbose.count(b"[quorvex] gen ") == 3


def saved_model(tmp_path, name="product_sum.csv", seed="1"):
    result = run(data(name), "--json", "--seed", seed, "--generations", "8", "--population", "40")
    assert result.returncode == 0
    path = tmp_path / "model.json"
    path.write_bytes(result.stdout)
    return path, json.loads(result.stdout)


def test_predict_applies_the_saved_formula(tmp_path):
    model, report = saved_model(tmp_path)
    result = run("--predict", model, data("product_sum.csv"))
    assert result.returncode == 0, result.stderr
    lines = result.stdout.decode().split("\n")
    assert lines[0] == "prediction" and lines[-1] == ""
    assert len(lines) == 200 + 2
    # Columns are matched by name, in any order, with extra columns ignored;
    # the bare expression works as a model too.
    rows = [line.split(",") for line in open(data("product_sum.csv")).read().split("\n")[1:] if line]
    shuffled = "extra,x3,x2,x1\n" + "".join(f"7,{r[2]},{r[1]},{r[0]}\n" for r in rows)
    expr_model = tmp_path / "expr.json"
    expr_model.write_text(report["expr_json"])
    again = run("--predict", expr_model, "-", stdin=shuffled.encode())
    assert again.returncode == 0, again.stderr
    assert again.stdout == result.stdout


def test_predict_writes_non_finite_values(tmp_path):
    model = tmp_path / "m.json"
    model.write_text('{"Bin":["Div",{"Const":1.0},{"Log":{"Feature":"x"}}]}')
    result = run("--predict", model, "-", stdin=b"x\n1\n-1\ninf\n2.718281828459045\n0.5\n")
    assert result.stdout.decode().split("\n") == [
        "prediction", "nan", "nan", "0", "1", "-1.4426950408889634", ""]


def test_predict_evaluates_the_refined_functions(tmp_path):
    # sin(x) + cos(x) * tanh(abs(x)), as a bare expression and inside a report.
    expr = ('{"Bin":["Add",{"Sin":{"Feature":"x"}},{"Bin":["Mul",{"Cos":{"Feature":"x"}},'
            '{"Tanh":{"Abs":{"Feature":"x"}}}]}]}')
    xs = [0.5, -2.0, 0.0, -0.0, 1e6, -7.25]
    for i, text in enumerate([expr, json.dumps({"formula": "f", "expr_json": expr})]):
        model = tmp_path / f"m{i}.json"
        model.write_text(text)
        result = run("--predict", model, "-",
                     stdin=("x\n" + "".join(f"{x!r}\n" for x in xs) + "inf\n").encode())
        assert result.returncode == 0, result.stderr
        lines = result.stdout.decode().split("\n")
        # The C library's values, written exactly; sin and cos of inf are NaN.
        assert [float(v) for v in lines[1:-2]] == [
            math.sin(x) + math.cos(x) * math.tanh(abs(x)) for x in xs]
        assert lines[-2:] == ["nan", ""]


@pytest.mark.parametrize("model_text, data_text, words", [
    (None, b"x\n1\n", "cannot read"),
    (b"{", b"x\n1\n", "byte 1"),
    (b'{"formula": "x", "k": 0}', b"x\n1\n", "no \"expr_json\""),
    (b'{"Feature":"z"}', b"x\n1\n", "reads \"z\", which is not a column"),
    (b'{"Feature":"x"}', b"x\nabc\n", "not a number"),
])
def test_predict_rejects_bad_input(tmp_path, model_text, data_text, words):
    model = tmp_path / "m.json"
    if model_text is not None:
        model.write_bytes(model_text)
    result = run("--predict", model, "-", stdin=data_text)
    assert result.returncode == 2 and result.stdout == b""
    assert words in result.stderr.decode(), result.stderr


@pytest.mark.parametrize("other", [["--json"], ["--plot", "x.svg"], ["--target", "y"], ["--verbose"],
                                   ["--operators", "+"]])
def test_predict_excludes_discovery_outputs(other):
    result = run("--predict", "m.json", *other, "d.csv")
    assert result.returncode == 2 and b"excludes" in result.stderr
