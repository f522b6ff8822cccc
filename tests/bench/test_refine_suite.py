"""The problem set of bench/refine_suite.py: laws that can be sampled over
their ranges, old problems unchanged by the added laws, the modes' levels."""

import json
import os
import sys

import numpy as np
import pytest

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "..", "bench"))
import refine_suite  # noqa: E402

LAWS = ([("Nguyen", law) for law in refine_suite.nguyen()] + [("Feynman", law) for law in refine_suite.feynman()] +
        [("Oscillation", law[:3]) for law in refine_suite.oscillation()])


@pytest.mark.parametrize("group,law", LAWS, ids=[law[0] for _, law in LAWS])
def test_every_law_is_finite_and_varies_over_its_range(group, law):
    name, truth, variables = law
    x = refine_suite.sample(np.random.default_rng(0), variables, 2000)
    y = np.asarray(refine_suite.law_function(truth, [n for n, _, _ in variables])(*x.T), dtype=float)
    assert np.all(np.isfinite(y))
    assert np.std(y) > 1e-6 * max(1.0, np.max(np.abs(y)))


def test_feynman_set_size_and_operators_needed():
    laws = refine_suite.feynman()
    names = [law for law, _, _ in laws]
    assert len(names) == len(set(names)) and len(names) >= 40
    needed = {law: refine_suite.operators_needed(truth, [n for n, _, _ in v]) for law, truth, v in laws}
    # The original laws are writable with the old operators; so are the left-out ones not.
    assert all(not needed[law] for law in names[:refine_suite.FEYNMAN_ORIGINAL])
    assert needed["II.35.21"] == ["tanh"] and needed["II.6.15b"] == ["cos", "sin"] and needed["I.40.1"] == []
    assert sum(1 for n in needed.values() if n) >= 12
    assert not {law for law, _, _ in refine_suite.LEFT_OUT} & set(names)


def first_row(out, problem):
    with open(os.path.join(out, problem["train"])) as f:
        return f.read().splitlines()[1]


def test_old_problems_keep_their_data_and_added_laws_skip_ten_percent(tmp_path):
    problems = refine_suite.law_set(str(tmp_path), (0.01, 0.1), (2, 3))
    by_name = {p["name"]: p for p in problems}
    # Rows written before the laws were added (a law's data seed is its index).
    assert first_row(tmp_path, by_name["II.38.14 noise=0.01 seed=2"]) == \
        "2.6556127032000028,1.7032955247392674,0.48981147594829"
    assert first_row(tmp_path, by_name["Nguyen-7 noise=0.1 seed=3"]) == "0.6943962702899931,0.8769117106203618"
    at = {level: {p["law"] for p in problems if p["noise"] == level} for level in (0.01, 0.1)}
    assert {"I.12.11", "III.10.19", "Damped-oscillation"} <= at[0.01]
    assert not {"I.12.11", "III.10.19", "Damped-oscillation"} & at[0.1]
    osc = by_name["Damped-oscillation noise=0.01 seed=3"]
    assert osc["group"] == "Oscillation" and osc["extended"] and osc["parameters"] == {"a": 0.3, "b": 2.5}
    assert by_name["II.38.14 noise=0.1 seed=2"]["extended"] is False
    assert by_name["Nguyen-5 noise=0.1 seed=2"]["needs_trig"] is True


def test_extended_mode_writes_laws_at_noise_0_and_1_percent(tmp_path, monkeypatch):
    # Fewer laws keep the test short; the mode's choices are what is checked.
    monkeypatch.setattr(refine_suite, "feynman", lambda: FEYNMAN_FEW)
    monkeypatch.setattr(refine_suite, "FEYNMAN_ORIGINAL", 1)
    monkeypatch.setattr(sys, "argv", ["refine_suite.py", str(tmp_path), "--extended", "--seeds", "2"])
    refine_suite.main()
    manifest = json.loads((tmp_path / "manifest.json").read_text())
    assert {p["group"] for p in manifest} == {"Nguyen", "Feynman", "Oscillation"}
    assert {p["noise"] for p in manifest} == {0.0, 0.01}
    assert {p["seed"] for p in manifest} == {1, 2}
    assert len(manifest) == 2 * 2 * (12 + 2 + 1)
    left_out = json.loads((tmp_path / "left_out.json").read_text())
    assert [x["law"] for x in left_out] == ["I.26.2", "I.30.5"]


FEYNMAN_FEW = [("I.12.1", "mu*Nn", refine_suite.r15("mu", "Nn")),
               ("II.15.4", "-mom*B*cos(theta)", refine_suite.r15("mom", "B", "theta"))]


import second_laws  # noqa: E402

SECOND = [("Published", law) for law in second_laws.published()] + [("Lab", law) for law in second_laws.lab()]


@pytest.mark.parametrize("group,law", SECOND, ids=[law[0] for _, law in SECOND])
def test_second_laws_are_finite_in_range_and_on_their_extrapolation_box(group, law):
    name, truth, variables, extrapolation = law
    names = [n for n, _, _ in variables]
    f = refine_suite.law_function(truth, names)
    x = refine_suite.sample(np.random.default_rng(0), variables, 2000)
    y = np.asarray(f(*x.T), dtype=float)
    assert np.all(np.isfinite(y)) and np.std(y) > 1e-6 * max(1.0, np.max(np.abs(y)))
    box = [(extrapolation or {}).get(n) or refine_suite.widened(lo, hi) for n, lo, hi in variables]
    assert all(b_lo <= lo and hi <= b_hi for (b_lo, b_hi), (_, lo, hi) in zip(box, variables))
    wide = refine_suite.sample(np.random.default_rng(1), [(n, lo, hi) for n, (lo, hi) in zip(names, box)], 2000)
    with np.errstate(all="ignore"):
        assert np.all(np.isfinite(np.asarray(f(*wide.T), dtype=float)))


def test_second_mode_writes_both_groups_with_their_extrapolation(tmp_path, monkeypatch):
    monkeypatch.setattr(sys, "argv", ["refine_suite.py", str(tmp_path), "--second", "--seeds", "2"])
    refine_suite.main()
    manifest = json.loads((tmp_path / "manifest.json").read_text())
    assert len({p["law"] for p in manifest}) >= 40
    assert {p["group"] for p in manifest} == {"Published", "Lab"}
    assert {(p["noise"], p["seed"]) for p in manifest} == {(0.0, 1), (0.0, 2), (0.01, 1), (0.01, 2)}
    logit = next(p for p in manifest if p["law"] == "Logit")
    assert logit["extrapolation"] == [[0.001, 0.999]]
    assert "extrapolation" not in next(p for p in manifest if p["law"] == "Allometry")
    assert json.loads((tmp_path / "left_out.json").read_text()) == []
