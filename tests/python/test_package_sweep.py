"""sweep(): many discoveries over executors give the same reports as one after another."""
import concurrent.futures
import multiprocessing
import re

import numpy as np
import pytest

quorvex = pytest.importorskip("quorvex")


def jobs():
    rng = np.random.default_rng(8)
    X = rng.uniform(-2, 2, size=(50, 2))
    y = X[:, 0] * X[:, 0] - X[:, 1]
    data = quorvex.Dataset(X, y, feature_names=["p", "q"])
    # Mixed forms: a Dataset, and raw arrays with names.
    return ([{"X": data, "seed": s, "generations": 4, "population": 20} for s in range(3)] +
            [{"X": X, "y": y, "feature_names": ["p", "q"], "seed": 9, "generations": 3,
              "population": 10, "max_depth": 2}])


def fingerprint(reports):
    return [re.sub(r'"wall_clock_ms": \d+|wall = \d+ ms', "", r.to_json()) for r in reports]


@pytest.fixture(scope="module")
def sequential():
    return fingerprint(quorvex.sweep(jobs()))


def test_sequential_is_discover_one_by_one(sequential):
    assert sequential == fingerprint([quorvex.discover(**job) for job in jobs()])


@pytest.mark.parametrize("start", ["fork", "spawn"])
def test_process_pool(sequential, start):
    # A discovery has run in this process already (the fixture): the pool's
    # children must not depend on its worker threads.
    context = multiprocessing.get_context(start)
    with concurrent.futures.ProcessPoolExecutor(max_workers=2, mp_context=context) as pool:
        assert fingerprint(quorvex.sweep(jobs(), pool)) == sequential


def test_thread_pool(sequential):
    with concurrent.futures.ThreadPoolExecutor(max_workers=3) as pool:
        assert fingerprint(quorvex.sweep(jobs(), pool)) == sequential


@pytest.mark.filterwarnings("ignore::DeprecationWarning")
def test_dask_cluster(sequential):
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=1, threads_per_worker=2, processes=False,
                                  dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        assert fingerprint(quorvex.sweep(jobs(), client.get_executor())) == sequential


def test_failures_surface():
    with pytest.raises(quorvex.DataError, match="seed must be between"):
        quorvex.sweep([{"X": [[1.0]], "y": [1.0], "seed": -1}])
    with pytest.raises(quorvex.DataError, match="job 1 is not a mapping"):
        quorvex.sweep([{"X": [[1.0]], "y": [1.0]}, ([[1.0]], [1.0])])
    with concurrent.futures.ThreadPoolExecutor(max_workers=1) as pool:
        with pytest.raises(quorvex.DataError, match="2 rows but y has 1"):
            quorvex.sweep([{"X": [[1.0], [2.0]], "y": [1.0]}], pool)
    assert quorvex.sweep([]) == []
