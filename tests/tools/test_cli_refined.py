"""The command's default search, the refined one, end to end: its report, front, JSON,
time limit, Ctrl-C, plot, progress and the settings it refuses."""
import json
import math
import os
import pty
import re
import signal
import subprocess
import time
import xml.etree.ElementTree as ET

import pytest

CLI = os.environ.get("QUORVEX_CLI")
DATA_DIR = os.environ.get("QUORVEX_DATA_DIR")
QUICK = ["--population", "60", "--generations", "20"]
SVG = "{http://www.w3.org/2000/svg}"
CLASSIC_KEYS = ["formula", "expr_json", "k", "mse_train", "mse_test", "bic", "baselines",
                "delta_bic_const", "delta_bic_linear", "z_vs_shuffled", "verdict",
                "verdict_reason", "n_train", "n_test", "wall_clock_ms"]
FRONT_ROW = re.compile(r"([* ]) +(\d+) +(\S+) +(\S+) +(-?\d+\.\d{3}|inf|-inf|NaN)  (.+)")

pytestmark = pytest.mark.skipif(not CLI or not DATA_DIR,
                                reason="QUORVEX_CLI and QUORVEX_DATA_DIR not set")


def run(*args, stdin=None):
    return subprocess.run([CLI, *map(str, args)], input=stdin, capture_output=True, timeout=600)


def data(name):
    return os.path.join(DATA_DIR, name)


def write_csv(path, names, rows):
    path.write_text("\n".join([",".join(names)] + [",".join(map(repr, r)) for r in rows]) + "\n")
    return path


def noisy_wave(tmp_path, n=4000, name="wave.csv"):
    """A law the search does not find quickly, so that it runs for seconds."""
    rows = []
    for i in range(n):
        a, b, c = (i * 0.37) % 3 - 1.5, (i * 0.61) % 2 + 0.5, (i * 0.23) % 4 - 2
        rows.append([a, b, c, math.exp(-a * a / 2) * b + math.sin(c) * b / (1 + a * a) +
                     0.01 * ((i * 7919) % 101 - 50)])
    return write_csv(tmp_path / name, ["a", "b", "c", "y"], rows)


# ---- the report -------------------------------------------------------------------

def test_text_report_is_followed_by_the_search_the_notes_and_the_front():
    text = run(data("product_sum.csv"), "--seed", "3", *QUICK)
    assert text.returncode == 0, text.stderr
    assert text.stderr == b""
    lines = text.stdout.decode().split("\n")
    assert lines[0].startswith("─── quorvex discovery report")
    assert re.fullmatch(r"search  : refined, \d+ generations? in \d+\.\d\d s, stopped: "
                        r"(generations|no improvement|exact fit)", lines[13]), lines[13]
    assert lines[14] == "operators: +,-,*,/,pow,exp,log,sqrt,sin,cos"
    assert lines[15] == "finite  : 100.0% of training rows (160 of 160)"
    assert lines[16] == "domain  : 100.0% of the box the training rows span (4096 points)"
    assert lines[17].startswith("constants: ")
    start = lines.index("front   : the best formula of each complexity (* the one reported)")
    body = [line for line in lines[start + 2:] if line and not line.startswith("  (")]
    rows = [FRONT_ROW.fullmatch(line) for line in body]
    assert rows and all(rows), lines[start:]

    report = json.loads(run(data("product_sum.csv"), "--seed", "3", "--json", *QUICK).stdout)
    assert list(report)[:len(CLASSIC_KEYS)] == CLASSIC_KEYS
    assert lines[1] == "formula : " + report["formula"]
    front = report["front"]
    # The table shows the JSON front's entries in order (the constant model first, entries
    # past the reported one that no longer improve left out).
    listed = [(e["complexity"], e["formula"]) for e in front]
    shown = [(int(m.group(2)), m.group(6)) for m in rows]
    assert all(r in listed for r in shown[1:]) and shown[0][0] == 1
    in_json = [r for r in shown if r in listed]
    assert in_json == sorted(in_json, key=listed.index)
    assert ("*", report["formula"]) in [(m.group(1), m.group(6)) for m in rows]
    # Complexity rises along the front while the training error falls.
    assert all(a["complexity"] < b["complexity"] for a, b in zip(front, front[1:]))
    assert all(a["mse_train"] > b["mse_train"] for a, b in zip(front, front[1:]))
    starred = [(int(m.group(2)), m.group(6)) for m in rows if m.group(1) == "*"]
    assert starred == [(report["k"], report["formula"])]
    assert report["bic"] == min(e["bic"] for e in front)
    assert lines[17].count(" ± ") == len(report["constants"]) or lines[17] == "constants: none"
    assert list(report)[len(CLASSIC_KEYS):] == ["search", "rows_set_aside", "finite_share",
                                                "generations", "stop_reason", "mse_floor",
                                                "operators", "front", "constants",
                                                "domain_share"]
    assert report["operators"] == "+,-,*,/,pow,exp,log,sqrt,sin,cos"
    assert report["search"] == "refined" and report["rows_set_aside"] == 0
    assert report["finite_share"] == 1.0


def test_the_exact_law_is_found_and_its_json_predicts_through_predict(tmp_path):
    result = run(data("product_sum.csv"), "--json")
    report = json.loads(result.stdout)
    assert report["verdict"] == "Strong" and report["stop_reason"] == "exact fit"
    model = tmp_path / "model.json"
    model.write_bytes(result.stdout)
    predicted = run("--predict", model, data("product_sum.csv"))
    assert predicted.returncode == 0, predicted.stderr
    rows = [list(map(float, line.split(",")))
            for line in open(data("product_sum.csv")).read().split("\n")[1:] if line]
    values = [float(v) for v in predicted.stdout.decode().split("\n")[1:-1]]
    assert values == pytest.approx([r[-1] for r in rows], rel=1e-9, abs=1e-9)


def without_timing(output):
    output = re.sub(rb"wall = \d+ ms", b"", output)
    output = re.sub(rb" in \d+\.\d\d s,", b"", output)
    return re.sub(rb'"wall_clock_ms": \d+', b"", output)


@pytest.mark.parametrize("fmt", [[], ["--json"]])
def test_same_seed_same_report(fmt):
    args = [data("sqrt_noisy.csv"), "--seed", "8", *fmt, *QUICK]
    first, second = run(*args), run(*args)
    assert first.returncode == second.returncode == 0
    assert without_timing(first.stdout) == without_timing(second.stdout)


def test_a_straight_line_is_named_under_a_refined_report_too(tmp_path):
    rows = [[i / 10, 3 * (i / 10) + 1 + 0.3 * ((i * 7919) % 13 - 6)] for i in range(150)]
    result = run(write_csv(tmp_path / "line.csv", ["x", "y"], rows), *QUICK)
    assert result.returncode == 0, result.stderr
    out = result.stdout.decode()
    assert "verdict : Strong" not in out
    assert re.search(r"note    : (a straight line fits better|the formula beats a straight line"
                     r"|the least-squares line fits best)", out), out


def test_missing_values_are_refused_then_set_aside_on_request(tmp_path):
    rows = [[i / 10, (i / 10) ** 2] for i in range(60)]
    rows[7][1] = math.nan
    path = write_csv(tmp_path / "gap.csv", ["x", "y"], rows)
    refused = run(path, *QUICK)
    assert refused.returncode == 2 and b"line 9" in refused.stderr and b"--drop-missing" in refused.stderr
    dropped = run(path, "--drop-missing", *QUICK)
    assert dropped.returncode == 0, dropped.stderr
    assert "dropped : 1 of 60 rows with a missing or unusable value (line 9)" in dropped.stdout.decode()


# ---- settings ---------------------------------------------------------------------

@pytest.mark.parametrize("args, words", [
    (["--test-fraction", "0"], "strictly between 0 and 1"),
    (["--test-fraction", "1.5"], "strictly between 0 and 1"),
    (["--time-limit", "-1"], "--time-limit"),
    (["--time-limit", "2", "--classic"], "excludes"),
    (["--operators", "+,sinh"],
     'quorvex: --operators: unknown operator "sinh"; known: +, -, *, /, pow, exp, log, sqrt, '
     "sin, cos, tanh, abs\n"),
    (["--operators", "sin:0"], '--operators: the weight of "sin" must be a whole number from 1 '
                               'to 100, not "0"'),
    (["--operators", ""], "--operators: an empty name"),
    (["--starts", "0"], "quorvex: --starts must be at least 1\n"),
    (["--starts", "-1"], "--starts"),
    (["--starts", "2", "--classic"], "excludes"),
    (["--operators", "+,*", "--classic"],
     "quorvex: --operators applies to the refined search only (the classic search's operators "
     "are fixed); drop --classic or it\n"),
])
def test_settings_the_refined_search_refuses(args, words):
    result = run(data("product_sum.csv"), *args, *QUICK)
    assert result.returncode == 2 and result.stdout == b""
    assert words in result.stderr.decode(), result.stderr


def uses_only(node, allowed):
    """Whether every operator of an expression JSON value is among `allowed` (node tags, and
    the Bin operators' names)."""
    (tag, body), = node.items()
    if tag in ("Const", "Feature"):
        return True
    if tag == "Bin":
        return body[0] in allowed and uses_only(body[1], allowed) and uses_only(body[2], allowed)
    return tag in allowed and uses_only(body[0] if tag == "Pow" else body, allowed)


def test_operators_choose_what_formulas_are_built_from(tmp_path):
    path = write_csv(tmp_path / "wave.csv", ["t", "y"],
                     [[i / 10, 3 * math.sin(i / 10) + 0.5] for i in range(-40, 41)])
    args = [path, "--seed", "2", "--operators", " + , * , sin:3 "]
    text = run(*args).stdout.decode().split("\n")
    assert text[14] == "operators: +,*,sin:3"
    report = json.loads(run(*args, "--json").stdout)
    assert report["operators"] == "+,*,sin:3"
    assert report["stop_reason"] == "exact fit" and "sin(t)" in report["formula"]
    for entry in report["front"]:
        assert uses_only(json.loads(entry["expr_json"]), {"Add", "Mul", "Sin"}), entry["formula"]
    # Each sin counts 3: the same law with weight 1 is 2 simpler.
    light = json.loads(run(path, "--seed", "2", "--operators", "+,*,sin", "--json").stdout)
    assert light["formula"] == report["formula"]
    assert light["k"] == report["k"] - 2 * report["formula"].count("sin(")
    # Without sin and cos in the set, neither appears.
    plain = json.loads(run(path, "--seed", "2", "--operators", "+,-,*,/,exp", "--json",
                           *QUICK).stdout)
    assert all(uses_only(json.loads(e["expr_json"]), {"Add", "Sub", "Mul", "Div", "Exp"})
               for e in plain["front"])


def test_too_few_rows_is_a_clear_error(tmp_path):
    result = run(write_csv(tmp_path / "tiny.csv", ["x", "y"], [[1, 2], [2, 3], [3, 5]]))
    assert result.returncode == 2
    assert b"too few rows" in result.stderr


def test_time_limit_stops_the_search(tmp_path):
    path = noisy_wave(tmp_path)
    start = time.monotonic()
    result = run(path, "--time-limit", "0.5", "--population", "2000", "--generations", "100000",
                 "--json")
    elapsed = time.monotonic() - start
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout)
    assert report["stop_reason"] == "time limit"
    # Far below an unlimited search (100000 generations), with room for the
    # front's last fits under a sanitizer on a shared machine.
    assert elapsed < 30, elapsed


# ---- Ctrl-C -------------------------------------------------------------------------

def test_ctrl_c_reports_the_best_so_far(tmp_path):
    path = noisy_wave(tmp_path)
    plot = tmp_path / "kept.svg"
    plot.write_text("an earlier plot")
    proc = subprocess.Popen([CLI, path, "--population", "2000", "--generations", "100000",
                             "--plot", plot, "--verbose"],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    # Wait until the search is under way (its first generation's line).
    first = proc.stderr.readline()
    assert first.startswith(b"[quorvex] gen 1/100000"), first
    sent = time.monotonic()
    proc.send_signal(signal.SIGINT)
    out, err = proc.communicate(timeout=60)
    waited = time.monotonic() - sent
    assert proc.returncode == 130, err
    # Stopped, not run out: 100000 generations would take hours. (The delay
    # itself is measured, not asserted: these machines are shared and noisy.)
    assert waited < 30, waited
    text = out.decode()
    assert text.startswith("─── quorvex discovery report")
    assert "stopped: interrupted (Ctrl-C)" in text and "\nfront   : " in text
    assert err.decode().splitlines()[-1].startswith("quorvex: interrupted by Ctrl-C after ")
    assert plot.read_text() == "an earlier plot"  # a stopped run writes no plot


# ---- plot and progress ------------------------------------------------------------

def test_plot_gains_a_panel_of_the_front(tmp_path):
    plot = tmp_path / "run.svg"
    result = run(data("sqrt_noisy.csv"), "--json", "--plot", plot, *QUICK)
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout)
    root = ET.parse(plot).getroot()
    groups = {g.get("id"): g for g in root.iter(SVG + "g") if g.get("id")}
    assert {"predicted-vs-observed", "residuals", "front"} <= set(groups)
    for cls in ("train", "test"):
        dots = next(g for g in groups["front"].iter(SVG + "g") if g.get("class") == cls)
        assert len(dots.findall(SVG + "circle")) == len(report["front"])
    scatter = groups["predicted-vs-observed"]
    train = next(g for g in scatter.iter(SVG + "g") if g.get("class") == "train")
    assert len(train.findall(SVG + "circle")) == report["n_train"]


def test_progress_bar_shows_generation_time_and_best_bic():
    master, slave = pty.openpty()
    proc = subprocess.Popen([CLI, data("sqrt_noisy.csv"), *QUICK], stdout=subprocess.PIPE,
                            stderr=slave, stdin=subprocess.DEVNULL)
    os.close(slave)
    seen = b""
    while True:
        try:
            chunk = os.read(master, 4096)
        except OSError:
            break
        if not chunk:
            break
        seen += chunk
    out = proc.stdout.read()
    proc.wait(timeout=600)
    os.close(master)
    assert proc.returncode == 0 and out.startswith("─── quorvex".encode())
    assert re.search(rb"\] generation 1/20  \d+\.\d s  best BIC -?\d+\.\d{3}", seen), seen
    assert seen.endswith(b"\r")


def test_verbose_writes_one_line_per_generation():
    result = run(data("sqrt_noisy.csv"), "--verbose", "--json", *QUICK)
    report = json.loads(result.stdout)
    lines = [l for l in result.stderr.decode().splitlines() if l.startswith("[quorvex] gen ")]
    assert len(lines) == report["generations"]
    assert re.fullmatch(r"\[quorvex\] gen 1/20  t = \d+\.\d\d s  best_BIC = -?\d+\.\d{3}  "
                        r"front = \d+", lines[0]), lines[0]


def test_permutation_test_runs_refined_nulls(tmp_path):
    result = run(data("pure_noise.csv"), "--permutations", "3", "--population", "30",
                 "--generations", "5")
    assert result.returncode == 0, result.stderr
    last = result.stdout.decode().split("\n")[-2]
    assert re.fullmatch(r"p-value : \d\.\d{4} = \d/4 from 3 permutations of the target "
                        r"\(\d null BICs at or below the real one\)", last), last


def test_starts_on_threads_merge_into_one_report():
    """--starts K: K searches merged, the same report whatever the threads, never worse than
    the ordinary search; the nulls of a permutation test run as many starts."""
    args = [data("sqrt_noisy.csv"), "--seed", "8", "--json", "--verbose", *QUICK]
    one = json.loads(run(*args).stdout)
    serial, parallel = run(*args, "--starts", "2", "--threads", "1"), run(*args, "--starts", "2")
    assert serial.returncode == parallel.returncode == 0, serial.stderr
    assert without_timing(serial.stdout) == without_timing(parallel.stdout)
    two = json.loads(serial.stdout)
    assert two["bic"] <= one["bic"] and two["n_train"] == one["n_train"]
    assert two["baselines"] == one["baselines"]
    gens = [re.match(rb"\[quorvex\] start (\d) gen (\d+)/20 ", l)
            for l in serial.stderr.splitlines()]
    assert {m.group(1) for m in gens if m} == {b"0", b"1"}
    assert two["generations"] == len([m for m in gens if m]) > one["generations"]

    text = run(data("pure_noise.csv"), "--starts", "2", "--threads", "1", "--permutations", "2",
               "--population", "30", "--generations", "5").stdout.decode().split("\n")
    assert re.fullmatch(r"search  : refined, 2 starts, 10 generations in \d+\.\d\d s \(summed\), "
                        r"stopped: generations", text[13]), text[13]
    assert text[-2].startswith("p-value : ") and "from 2 permutations" in text[-2]


# ---- weights and warm starts ------------------------------------------------------------

def test_weights_column_weighs_rows_and_is_no_feature(tmp_path):
    """--weights: 1 everywhere is the unweighted report, 0 a removed row; the column is never
    read by a formula; a negative weight names its line."""
    rows = [list(map(float, l.split(","))) for l in
            open(data("sqrt_noisy.csv")).read().splitlines()[1:]]
    names = open(data("sqrt_noisy.csv")).readline().strip().split(",")
    target = names[-1]

    def weighted(name, weights, keep=lambda i: True):
        return write_csv(tmp_path / name, names[:-1] + ["w", target],
                         [r[:-1] + [weights(i), r[-1]] for i, r in enumerate(rows) if keep(i)])

    def report(path, *extra):
        out = run(path, "--seed", "2", "--json", *QUICK, *extra)
        assert out.returncode == 0, out.stderr
        got = json.loads(out.stdout)
        got.pop("wall_clock_ms")
        return got

    plain = report(data("sqrt_noisy.csv"))
    ones = report(weighted("ones.csv", lambda i: 1.0), "--weights", "w")
    assert ones.pop("weight_sum") == ones["n_train"]
    assert ones == plain
    zero = report(weighted("zero.csv", lambda i: 0.0 if i == 5 else 1.5), "--weights", "w")
    removed = report(weighted("removed.csv", lambda i: 1.5, lambda i: i != 5), "--weights", "w")
    assert zero == removed and "w" not in zero["formula"]

    text = run(tmp_path / "zero.csv", "--weights", "w", *QUICK).stdout.decode()
    assert re.search(r"\nweights  : w, summing to \d+\.\d{4} over the training rows", text)
    bad = run(weighted("bad.csv", lambda i: -1.0 if i == 3 else 1.0), "--weights", "w")
    assert bad.returncode == 2 and b"line 5 has a negative one" in bad.stderr, bad.stderr
    assert run(tmp_path / "ones.csv", "--weights", "w", "--classic").returncode == 2


def test_start_from_a_report_never_ends_worse(tmp_path):
    first = run(data("sqrt_noisy.csv"), "--seed", "4", "--json", *QUICK)
    saved = tmp_path / "first.json"
    saved.write_bytes(first.stdout)
    again = run(data("sqrt_noisy.csv"), "--seed", "4", "--json", "--population", "60",
                "--generations", "1", "--start-from", saved)
    assert again.returncode == 0, again.stderr
    assert json.loads(again.stdout)["bic"] <= json.loads(first.stdout)["bic"]

    (tmp_path / "junk.json").write_text("not json")
    (tmp_path / "other.json").write_text('{"Feature": "q"}')
    for name, words in [("junk.json", b"not a JSON report or formula"),
                        ("other.json", b"read \"q\", which is not a feature")]:
        refused = run(data("sqrt_noisy.csv"), "--start-from", tmp_path / name, *QUICK)
        assert refused.returncode == 2 and words in refused.stderr, refused.stderr
