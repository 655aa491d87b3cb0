"""Where the runs of a sweep execute: this machine, a dask cluster or a ray cluster.

Each engine only submits `run_combination` (vornix.sweep._task) once per task and
hands back the results as they complete; the fresh process of every run is
`run_combination`'s own doing, so a long-lived cluster worker never holds a run's
state.  An engine is a context manager; `results(tasks)` yields (task number,
(row, curve)) in completion order.
"""

import concurrent.futures
import os
import traceback

from vornix.sweep._task import empty_row, run_combination

ENGINES = ("local", "dask", "ray")


def _lost(exc):
    """The result of a run that the engine could not bring back."""
    text = "".join(traceback.format_exception_only(type(exc), exc)).strip()
    return empty_row("the engine lost the run: %s" % text), None


def _missing(name, exc):
    return ImportError(
        "the %s engine needs the %s package: pip install 'vornix[%s]' (%s)"
        % (name, name, name, exc)
    )


class LocalEngine:
    """Up to `jobs` runs at once on this machine, each in its own process."""

    def __init__(self, jobs=None):
        self.jobs = max(1, int(jobs or os.cpu_count() or 1))
        self.where = "local, %d job%s" % (self.jobs, "" if self.jobs == 1 else "s")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return False

    def results(self, tasks):
        with concurrent.futures.ThreadPoolExecutor(max_workers=self.jobs) as pool:
            futures = {pool.submit(run_combination, t): i for i, t in enumerate(tasks)}
            for fut in concurrent.futures.as_completed(futures):
                try:
                    yield futures[fut], fut.result()
                except Exception as exc:
                    yield futures[fut], _lost(exc)


class DaskEngine:
    """The runs as tasks of a dask.distributed cluster: the scheduler at `scheduler`
    (such as tcp://HOST:8786), else a LocalCluster of `jobs` worker processes made
    here and closed at the end.  The workers must see the store and cache folders
    at the paths this process uses."""

    def __init__(self, jobs=None, scheduler=None):
        try:
            import dask.distributed as distributed
        except ImportError as exc:
            raise _missing("dask", exc) from None
        self.distributed = distributed
        self.jobs, self.scheduler = jobs, scheduler
        self.cluster = self.client = None
        self.where = "dask at %s" % scheduler if scheduler else "dask, a local cluster"

    def __enter__(self):
        d = self.distributed
        if self.scheduler:
            self.client = d.Client(self.scheduler)
        else:
            n = max(1, int(self.jobs or os.cpu_count() or 1))
            self.cluster = d.LocalCluster(
                n_workers=n, threads_per_worker=1, processes=True, dashboard_address=None
            )
            self.client = d.Client(self.cluster)
        return self

    def __exit__(self, *exc):
        self.client.close()
        if self.cluster is not None:
            self.cluster.close()
        return False

    def results(self, tasks):
        futures = self.client.map(run_combination, list(tasks), pure=False)
        number = {f.key: i for i, f in enumerate(futures)}
        for fut in self.distributed.as_completed(futures):
            try:
                yield number[fut.key], fut.result()
            except Exception as exc:
                yield number[fut.key], _lost(exc)


class RayEngine:
    """The runs as ray tasks: the cluster at `address` (as for ray.init), else a
    local ray started here."""

    def __init__(self, jobs=None, address=None):
        try:
            import ray
        except ImportError as exc:
            raise _missing("ray", exc) from None
        self.ray, self.jobs, self.address = ray, jobs, address
        self.started = False
        self.where = "ray at %s" % address if address else "ray, local"

    def __enter__(self):
        if not self.ray.is_initialized():
            kwargs = {"address": self.address} if self.address else {"num_cpus": self.jobs}
            self.ray.init(**kwargs)
            self.started = True
        return self

    def __exit__(self, *exc):
        if self.started:
            self.ray.shutdown()
        return False

    def results(self, tasks):
        remote = self.ray.remote(num_cpus=1)(run_combination)
        refs = [remote.remote(t) for t in tasks]
        number = {r: i for i, r in enumerate(refs)}
        pending = list(refs)
        while pending:
            done, pending = self.ray.wait(pending, num_returns=1)
            for ref in done:
                try:
                    yield number[ref], self.ray.get(ref)
                except Exception as exc:
                    yield number[ref], _lost(exc)


def make_engine(engine="local", jobs=None, scheduler=None, address=None):
    """The engine named `engine`; ImportError naming the extra to install when its
    package is missing, ValueError for an unknown name or a misplaced option."""
    name = str(engine).strip().lower()
    if name not in ENGINES:
        raise ValueError("engine must be %s, got %r" % (", ".join(ENGINES), engine))
    if jobs is not None and (isinstance(jobs, bool) or int(jobs) != jobs or jobs < 1):
        raise ValueError("jobs must be a positive whole number, got %r" % (jobs,))
    if scheduler and name != "dask":
        raise ValueError("a scheduler is given to the dask engine only")
    if address and name != "ray":
        raise ValueError("an address is given to the ray engine only")
    if name == "dask":
        return DaskEngine(jobs, scheduler)
    if name == "ray":
        return RayEngine(jobs, address)
    return LocalEngine(jobs)
