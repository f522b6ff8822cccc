"""The package's finite share and warnings, and its permutation test."""
import dataclasses
import math
import os
import subprocess
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

from conftest import finite_row_mse, split_positions

# The classic search, whose score has the quirks the warnings describe.
SMALL = dict(population=40, generations=4, search="classic")
MASK = 2 ** 64 - 1


def heavy_tailed_noise(n, d, seed):
    rng = np.random.default_rng(seed)
    X = np.column_stack([rng.normal(size=n) if j % 2 == 0 else rng.uniform(0.5, 5, n)
                         for j in range(d)])
    return X, rng.standard_t(2, size=n)


def test_finite_share_is_over_all_rows_with_the_library_s_finiteness(quorvex_package):
    q = quorvex_package
    X, y = heavy_tailed_noise(60, 3, seed=5)
    partial = 0
    for seed in range(10):
        report = q.discover(X, y, seed=seed, **SMALL)
        values = report.predict(X)
        finite = np.isfinite(values)
        # The same rows are finite for the library: its training error comes out exactly.
        train, _ = split_positions(len(y), 0.2, seed)
        assert finite_row_mse(values[train].tolist(), y[train].tolist()) == report.mse_train
        assert report.finite_share == np.count_nonzero(finite) / len(y)
        partial += report.finite_share < 1.0
        warned = [w for w in report.warnings if w.startswith("the formula is undefined")]
        assert len(warned) == (report.finite_share < 1.0 and report.verdict != q.Verdict.Noise)
    assert partial > 0, "no seed gave a formula undefined on some rows"


def test_warnings_for_exact_fits_and_constant_targets(quorvex_package):
    q = quorvex_package
    X = np.linspace(0.0, 1.0, 40).reshape(-1, 1)
    constant = q.discover(X, np.full(40, 2.5), seed=1, **SMALL)
    assert constant.verdict == q.Verdict.Weak
    assert any(w.startswith("the constant model scores +inf") for w in constant.warnings)

    report = q.discover(X, 3.0 * X[:, 0] + 0.1 * np.sin(9 * X[:, 0]), seed=1, **SMALL)
    exact = dataclasses.replace(report, mse_train=0.0)
    assert any(w.startswith("the training error is exactly zero") for w in exact.warnings)
    assert not any("exactly zero" in w for w in report.warnings)
    empty = q.discover(np.empty((0, 1)), [], seed=1, **SMALL)
    assert math.isnan(empty.finite_share) and empty.warnings == []


def shuffled(values, seed):
    """The library's target shuffle, written out here."""
    out = list(values)
    state = (seed + 0x9E3779B97F4A7C15) & MASK
    for i in range(len(out) - 1, 0, -1):
        state = (state * 6364136223846793005 + 1442695040888963407) & MASK
        j = (state >> 33) % (i + 1)
        out[i], out[j] = out[j], out[i]
    return out


def splitmix64(seed, i):
    z = (seed + i * 0x9E3779B97F4A7C15) & MASK
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK
    return z ^ (z >> 31)


def test_permutation_test_runs_the_same_discovery_on_documented_shuffles(quorvex_package):
    q = quorvex_package
    X, y = heavy_tailed_noise(40, 2, seed=8)
    seed = 2 ** 64 - 3  # the seed arithmetic wraps
    result = q.permutation_test(X, y, n_permutations=5, seed=seed, **SMALL)
    real = q.discover(X, y, seed=seed, **SMALL)
    assert (result.report.formula, result.report.bic) == (real.formula, real.bic)
    expected = tuple(q.discover(X, shuffled(y, splitmix64(seed, i)), seed=seed, **SMALL).bic
                     for i in range(1, 6))
    assert result.null_bics == expected
    below = sum(b <= result.report.bic for b in expected)
    assert (result.n_at_or_below, result.n_permutations) == (below, 5)
    assert result.p_value == (1 + below) / 6
    with ThreadPoolExecutor(2) as pool:
        assert q.permutation_test(X, y, n_permutations=5, seed=seed, executor=pool,
                                  **SMALL).null_bics == expected


def test_a_real_law_gets_the_smallest_p_value(quorvex_package):
    q = quorvex_package
    x = np.linspace(0.5, 4.0, 50)
    result = q.permutation_test(x.reshape(-1, 1), 3 * x * x + 0.05 * np.sin(5 * x),
                                n_permutations=9, seed=4, **SMALL)
    assert result.p_value == 0.1 and result.n_at_or_below == 0
    assert str(result).startswith("p-value : 0.1000 = 1/10 from 9 permutations of the target")
    none = q.permutation_test(x.reshape(-1, 1), x, n_permutations=0, **SMALL)
    assert none.p_value == 1.0 and none.null_bics == ()


@pytest.mark.parametrize("bad", [-1, 2.5, True, "9", None])
def test_permutation_count_is_checked(quorvex_package, bad):
    with pytest.raises(quorvex_package.DataError):
        quorvex_package.permutation_test([[1.0], [2.0]], [1.0, 2.0], n_permutations=bad)


def test_command_line_gives_the_same_p_value(quorvex_package, tmp_path):
    cli = os.environ.get("QUORVEX_CLI")
    if not cli:
        pytest.skip("QUORVEX_CLI not set")
    X, y = heavy_tailed_noise(50, 2, seed=3)
    path = tmp_path / "data.csv"
    rows = ["x0,x1,y"] + [f"{a!r},{b!r},{t!r}" for (a, b), t in zip(X.tolist(), y.tolist())]
    path.write_text("\n".join(rows) + "\n")
    # Python's discover runs the classic search, the command's default is the refined one.
    out = subprocess.run([cli, str(path), "--classic", "--seed", "6", "--permutations", "7",
                          "--population", "40", "--generations", "4"],
                         capture_output=True, check=True).stdout
    line = out.decode().split("\n")[-2]
    result = quorvex_package.permutation_test(X, y, n_permutations=7, seed=6, **SMALL)
    assert line == str(result)
