"""discover(starts=K): independently seeded searches merged by the library give one report,
the same wherever they ran; n_threads never changes a report."""
import concurrent.futures
import re

import numpy as np
import pytest

quorvex = pytest.importorskip("quorvex")

SETTINGS = dict(seed=3, population=200, generations=10)


@pytest.fixture(scope="module")
def data():
    # A law one short search often misses: the starts have different fronts to merge.
    rng = np.random.default_rng(12)
    X = rng.uniform(0.2, 3.0, size=(160, 2))
    y = np.exp(-X[:, 0]) * X[:, 1] / (1.0 + X[:, 0])
    return quorvex.Dataset(X, y, feature_names=["a", "b"])


def fingerprint(report):
    return re.sub(r'"wall_clock_ms": \d+|wall = \d+ ms', "", report.to_json())


@pytest.fixture(scope="module")
def two_here(data):
    return quorvex.discover(data, starts=2, **SETTINGS)


def test_more_starts_find_at_least_what_start_zero_finds(data, two_here):
    alone = quorvex.discover(data, **SETTINGS)
    assert fingerprint(quorvex.discover(data, starts=1, n_threads=1, **SETTINGS)) == \
        fingerprint(alone)
    four = quorvex.discover(data, starts=4, **SETTINGS)
    for merged in (two_here, four):
        assert merged.bic <= alone.bic
        assert merged.generations > alone.generations
        assert merged.n_train == alone.n_train
        assert merged.baselines == alone.baselines
    assert four.bic <= two_here.bic


def test_thread_pool_gives_the_same_report(data, two_here):
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        report = quorvex.discover(data, starts=2, executor=pool, n_threads=1, **SETTINGS)
    assert fingerprint(report) == fingerprint(two_here)
    # Equal but for the wall-clock figure (a replace of its digits could hit a constant).
    def text(r):
        return re.sub(r"wall = \d+ ms", "wall", str(r))
    assert text(report) == text(two_here)


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_dask_worker_processes_give_the_same_report(data, two_here):
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        report = quorvex.discover(data, starts=2, executor=client.get_executor(), n_threads=1,
                                  **SETTINGS)
    assert fingerprint(report) == fingerprint(two_here)


def test_settings_are_checked(data):
    with pytest.raises(quorvex.DataError, match="starts must be at least 1"):
        quorvex.discover(data, starts=0, **SETTINGS)
    with pytest.raises(quorvex.DataError, match="refined search only"):
        quorvex.discover(data, starts=2, search="classic")
    with pytest.raises(quorvex.DataError, match="n_threads must be between"):
        quorvex.discover(data, n_threads=-1, **SETTINGS)


def test_estimator_passes_threads_and_starts():
    pytest.importorskip("sklearn")
    rng = np.random.default_rng(2)
    X = rng.uniform(-1, 1, size=(80, 2))
    y = X[:, 0] * X[:, 1] + X[:, 0]
    model = quorvex.QuorvexRegressor(n_threads=1, starts=2, **SETTINGS).fit(X, y)
    assert model.get_params()["starts"] == 2
    assert model.report_.generations > quorvex.discover(X, y, **SETTINGS).generations
