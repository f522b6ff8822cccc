"""Many discoveries at once, over any concurrent.futures.Executor."""
from collections.abc import Mapping

from .errors import DataError
from .report import discover


def run_job(job):
    """One job: the keyword arguments of `discover`. Module-level so that it pickles."""
    return discover(**job)


def sweep(jobs, executor=None):
    """Runs `discover(**job)` for every job and returns the reports in job order.

    Each job is a mapping with the arguments of `discover` (X and y, or a
    Dataset as X, plus any settings). With an executor (a process pool, a
    thread pool, dask's `Client.get_executor()`...) the jobs run there; without
    one they run here, one after another. The first failing job's exception
    is raised.
    """
    jobs = list(jobs)
    for i, job in enumerate(jobs):
        if not isinstance(job, Mapping):
            raise DataError(f"job {i} is not a mapping of discover() arguments: {job!r}"[:200])
        if "X" not in job:
            raise DataError(f"job {i} has no X")
    if executor is None:
        return [run_job(dict(job)) for job in jobs]
    futures = [executor.submit(run_job, dict(job)) for job in jobs]
    return [f.result() for f in futures]
