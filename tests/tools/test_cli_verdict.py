"""What the command adds to the verdict: the finite share, its warnings, the
permutation test; and a smoke run of the calibration program."""
import json
import math
import os
import random
import re
import subprocess

import pytest

CLI = os.environ.get("QUORVEX_CLI")
CALIBRATE = os.environ.get("QUORVEX_CALIBRATE")
# The classic search: its score leaves undefined rows out and gives exact fits
# +inf, which is what these notes are about.
SMALL = ["--classic", "--population", "40", "--generations", "4"]
MASK = 2 ** 64 - 1

pytestmark = pytest.mark.skipif(not CLI, reason="QUORVEX_CLI not set")


def run(*args):
    return subprocess.run([CLI, *map(str, args)], capture_output=True, timeout=600)


def write_csv(path, names, rows):
    lines = [",".join(names)] + [",".join(repr(float(v)) for v in row) for row in rows]
    path.write_text("\n".join(lines) + "\n")
    return path


def heavy_tailed_noise(n, d, seed):
    """Features and Student-t (2 dof) targets drawn independently."""
    rng = random.Random(seed)
    rows = []
    for _ in range(n):
        xs = [rng.gauss(0, 1) if j % 2 == 0 else rng.uniform(0.5, 5) for j in range(d)]
        t = rng.gauss(0, 1) / math.sqrt(rng.expovariate(1.0))
        rows.append(xs + [t])
    return [f"x{j + 1}" for j in range(d)] + ["y"], rows


# ---- independent rules: the split, the target shuffle, the seeds, evaluation ----

def lcg_below_stream(seed):
    state = (seed + 0x9E3779B97F4A7C15) & MASK

    def below(n):
        nonlocal state
        state = (state * 6364136223846793005 + 1442695040888963407) & MASK
        return (state >> 33) % n
    return below


def shuffled(items, seed):
    items = list(items)
    below = lcg_below_stream(seed)
    for i in range(len(items) - 1, 0, -1):
        j = below(i + 1)
        items[i], items[j] = items[j], items[i]
    return items


def training_positions(n, seed, test_fraction=0.2):
    positions = shuffled(range(n), seed)
    t = (1.0 - test_fraction) * n
    return positions[:int(t) if t > 0 else 0]


def splitmix64(seed, i):
    z = (seed + i * 0x9E3779B97F4A7C15) & MASK
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK
    return z ^ (z >> 31)


def evaluate(node, row):
    """An expression's JSON form on one row, with the library's guards."""
    (kind, arg), = node.items()
    if kind == "Const":
        return math.nan if arg is None else arg
    if kind == "Feature":
        return row.get(arg, 0.0)
    if kind == "Bin":
        op, a, b = arg[0], evaluate(arg[1], row), evaluate(arg[2], row)
        if op == "Div":
            return math.nan if abs(b) < 1e-300 else a / b
        return {"Add": a + b, "Sub": a - b, "Mul": a * b}[op]
    x = evaluate(arg[0] if kind == "Pow" else arg, row)
    try:
        if kind == "Pow":
            return math.nan if x == 0.0 and arg[1] < 0 else math.pow(x, arg[1])
        if kind == "Exp":
            return math.exp(x)
        if kind == "Log":
            return math.nan if x <= 0.0 else math.log(x)
        return math.nan if x < 0.0 else math.sqrt(x)  # Sqrt
    except OverflowError:
        return math.inf


# ---- the finite share and its warning ------------------------------------------

def test_finite_share_and_warning_follow_the_best_formula_on_the_training_rows(tmp_path):
    names, rows = heavy_tailed_noise(60, 3, seed=5)
    path = write_csv(tmp_path / "noise.csv", names, rows)
    warned = 0
    for seed in range(6):
        text = run(path, "--seed", seed, *SMALL)
        assert text.returncode == 0, text.stderr
        lines = text.stdout.decode().split("\n")
        as_json = run(path, "--seed", seed, "--json", *SMALL)
        report = json.loads(as_json.stdout)

        m = re.fullmatch(r"finite  : (\d+\.\d)% of training rows \((\d+) of (\d+)\)", lines[13])
        assert m, lines[13]
        finite, total = int(m.group(2)), int(m.group(3))
        tree = json.loads(report["expr_json"])
        train = [dict(zip(names, rows[p])) for p in training_positions(len(rows), seed)]
        assert total == report["n_train"] == len(train)
        assert finite == sum(math.isfinite(evaluate(tree, r)) for r in train)
        assert m.group(1) == f"{finite * 1000 // total / 10:.1f}"

        should_warn = finite < total and report["verdict"] != "Noise"
        warnings = [line for line in lines[14:] if line.startswith("warning : ")]
        assert len(warnings) == should_warn, (seed, lines[13:])
        warned += should_warn
        if should_warn:
            assert f"on {total - finite} of {total} training rows" in warnings[0]
            assert warnings[0].endswith("check it with --permutations 99")
        # In JSON mode stdout stays one document; the same warnings go to stderr.
        assert as_json.stderr.decode().split("\n") == lines[14:]
    assert warned > 0, "no seed exercised the warning"


def test_constant_target_gets_a_note(tmp_path):
    rows = [[i / 10.0, 2.5] for i in range(40)]
    result = run(write_csv(tmp_path / "const.csv", ["x", "y"], rows), *SMALL)
    lines = result.stdout.decode().split("\n")
    assert lines[10] == "verdict : Weak"
    assert any(line.startswith("note    : the constant model scores +inf") for line in lines[13:])


# ---- the permutation test ----------------------------------------------------------

def bic_of(stdout):
    value = json.loads(stdout)["bic"]
    return math.inf if value is None else value


def test_permutation_count_equals_discoveries_on_the_documented_shuffles(tmp_path):
    names, rows = heavy_tailed_noise(40, 2, seed=8)
    path = write_csv(tmp_path / "data.csv", names, rows)
    seed, n = 11, 4
    result = run(path, "--seed", seed, "--permutations", n, *SMALL)
    assert result.returncode == 0, result.stderr
    last = result.stdout.decode().split("\n")[-2]
    m = re.fullmatch(r"p-value : (\d\.\d{4}) = (\d+)/(\d+) from (\d+) permutations of the target "
                     r"\((\d+) null BICs at or below the real one\)", last)
    assert m, last

    real = bic_of(run(path, "--seed", seed, "--json", *SMALL).stdout)
    targets = [r[-1] for r in rows]
    nulls = []
    for i in range(1, n + 1):
        permuted = [r[:-1] + [t] for r, t in zip(rows, shuffled(targets, splitmix64(seed, i)))]
        null_path = write_csv(tmp_path / f"null{i}.csv", names, permuted)
        nulls.append(bic_of(run(null_path, "--seed", seed, "--json", *SMALL).stdout))
    below = sum(b <= real for b in nulls)
    assert (int(m.group(5)), int(m.group(2)), int(m.group(3)), int(m.group(4))) == \
        (below, below + 1, n + 1, n)
    assert m.group(1) == f"{(below + 1) / (n + 1):.4f}"


def test_a_real_law_beats_every_permutation_and_json_mode_reports_on_stderr(tmp_path):
    rows = [[x / 10.0, 3.0 * (x / 10.0) ** 2 + 1.0 + 0.01 * math.sin(x)] for x in range(50)]
    path = write_csv(tmp_path / "law.csv", ["x", "y"], rows)
    plain = run(path, "--seed", 2, "--json", *SMALL)
    tested = run(path, "--seed", 2, "--json", "--permutations", 9, *SMALL)
    strip = lambda out: re.sub(rb'"wall_clock_ms": \d+', b"", out)
    assert strip(tested.stdout) == strip(plain.stdout)
    assert tested.stderr.decode().splitlines()[-1].startswith("p-value : 0.1000 = 1/10 from 9 ")


def test_permutation_option_checks(tmp_path):
    path = write_csv(tmp_path / "d.csv", ["x", "y"], [[i, i % 3] for i in range(20)])
    assert run(path, "--permutations", "-1").returncode == 2
    model = tmp_path / "model.json"
    model.write_text('{"Feature":"x"}')
    assert run(path, "--predict", model, "--permutations", 3).returncode == 2
    zero = run(path, "--permutations", 0, *SMALL).stdout.decode()
    assert "p-value" not in zero


# ---- the calibration program ---------------------------------------------------------

@pytest.mark.skipif(not CALIBRATE, reason="QUORVEX_CALIBRATE not set")
def test_calibration_quick_run(tmp_path):
    out = tmp_path / "cal.md"
    first = subprocess.run([CALIBRATE, "--quick", "--jobs", "2", "--out", out],
                           capture_output=True, timeout=600)
    assert first.returncode == 0, first.stderr
    second = subprocess.run([CALIBRATE, "--quick"], capture_output=True, timeout=600)
    md = out.read_text()
    assert second.stdout.decode() == md, "the result depends on the number of jobs"

    for section in ("## Pure noise", "## Benchmarks with a real law", "## Exact fits",
                    "## Permutation test"):
        assert section in md
    verdict_rows = [line for line in md.splitlines()
                    if re.match(r"\| (targets|all noise|normal|Nguyen,|Feynman,)", line)
                    and line.count("|") == 10]
    assert len(verdict_rows) == 3 + 1 + 5 + 5 + 6
    for line in verdict_rows:
        cells = [c.strip() for c in line.strip("|").split("|")]
        if cells[1] == "0":
            continue
        shares = [float(c.split("%")[0]) for c in cells[2:5]]
        assert abs(sum(shares) - 100.0) < 0.2, line
    # The exact law scores +inf and gets Noise; one rounding error later it is Strong.
    exact_rows = [line for line in md.splitlines() if line.startswith("| Nguyen-1: ")]
    assert len(exact_rows) == 1
    assert "| inf, Noise | " in exact_rows[0] and ", Strong | " in exact_rows[0]


def test_a_line_that_beats_the_formula_is_said_in_words(tmp_path):
    rng = random.Random(1)
    rows = []
    for _ in range(60):
        a, b = rng.uniform(1, 3), rng.uniform(1, 3)
        rows.append([a, b, 3 * a + 2 * b + rng.gauss(0, 0.1)])
    path = write_csv(tmp_path / "linear.csv", ["x1", "x2", "y"], rows)
    seen = 0
    for seed in range(5):
        args = [path, "--seed", seed, "--population", "20", "--generations", "3"]
        report = json.loads(run(*args, "--json").stdout)
        text = run(*args).stdout.decode()
        expected = report["verdict"] != "Strong" and report["delta_bic_linear"] > 0
        assert ("a straight line fits better than the formula found" in text) == expected
        if expected:
            seen += 1
            assert (f"\nnote    : a straight line fits better than the formula found (ΔBIC vs "
                    f"linear {report['delta_bic_linear']:+.1f}): the relation may be linear\n"
                    in text)
        # The refined search reports the line itself when nothing beats it.
        if report["delta_bic_linear"] == 0 and report["verdict"] == "Weak":
            seen += 1
            assert ("\nnote    : the least-squares line fits best: it is the formula reported: "
                    "the relation may be linear\n" in text)
    assert seen > 0


def test_max_depth_help_says_what_it_bounds():
    text = run("--help").stdout.decode()
    assert "crossover can splice deeper" in " ".join(text.split())
