"""Where a schedule's runs of dates execute: in order in this process, on a pool of
fresh worker processes (a date that kills its worker is run again alone), or on a
Dask cluster (the store shipped to workers that cannot see it)."""

from __future__ import annotations

import concurrent.futures
import math
import multiprocessing
import os
import sys
import tempfile
from concurrent.futures.process import BrokenProcessPool

import vantelo.core
import vantelo.messages
import vantelo.optimize
from vantelo._schedule import (
    MIN_RUN_LENGTH,
    RUNS_PER_SCHEDULE,
    SINGLE_THREADED,
    WORKER_DIED,
    RebalanceFailed,
    _drift_holding,
    _positions,
    _run,
)


def _tasks(key, strategy_bytes, strategy, dates, store, on_error, through=None):
    """The tasks of one strategy: one in-order run when chained, else runs of dates.
    `through`: the last day the results' returns run to."""
    common = {
        "key": key,
        "through": through,
        "strategy": strategy_bytes,
        "local": strategy,
        "store": store,
        "on_error": on_error,
        # The caller's language, which a worker process does not share.
        "language": vantelo.messages.get_language(),
    }
    initial = strategy.initial_holding
    if strategy.chained:
        return [
            dict(
                common,
                dates=list(dates),
                chained=True,
                holding=initial,
                previous=None,
            )
        ]
    length = max(MIN_RUN_LENGTH, math.ceil(len(dates) / RUNS_PER_SCHEDULE))
    return [
        dict(
            common,
            dates=list(dates[i : i + length]),
            chained=False,
            holding=initial,
            previous=None,
        )
        for i in range(0, len(dates), length)
    ]


def _single_date_tasks(task):
    """A task split into one task per date, to find the date that kills a worker."""
    return [dict(task, dates=[date]) for date in task["dates"]]


def _died(task, error=None):
    """Every date of `task` failed: the worker died, or, given `error`, the task raised
    outside the solve (a store the worker cannot open, say), which is said as it is."""
    message = WORKER_DIED if error is None else f"{type(error).__name__}: {error}"
    error = RuntimeError(WORKER_DIED) if error is None else error
    record = {"status": "failed", "message": message, "diagnosis": None, "seconds": math.nan}
    return [(date, None, dict(record), error) for date in task["dates"]]


class _Progress:
    def __init__(self, total, enabled):
        self._bar = None
        if enabled:
            from tqdm.auto import tqdm

            self._bar = tqdm(total=total, desc="rebalance", unit="date")

    def update(self, n):
        if self._bar is not None:
            self._bar.update(n)

    def close(self):
        if self._bar is not None:
            self._bar.close()


def _run_serial(tasks, progress, on_error, kept=None):
    for task in tasks:
        outcomes = _run(task, kept)
        progress.update(len(outcomes))
        yield task, outcomes
        if on_error == "raise" and any(o[3] is not None for o in outcomes):
            return


class _SpawnPool:
    """A pool of fresh interpreters (a forked child would share the store's
    connection with its parent), started with single-threaded numeric libraries."""

    def __init__(self, workers):
        self._workers = workers
        self._pool = None

    def __enter__(self):
        saved = {name: os.environ.get(name) for name in SINGLE_THREADED}
        os.environ.update(SINGLE_THREADED)
        try:
            self._pool = concurrent.futures.ProcessPoolExecutor(
                max_workers=self._workers, mp_context=multiprocessing.get_context("spawn")
            )
            # Start the interpreters now, while the environment says so.
            for future in [self._pool.submit(os.getpid) for _ in range(self._workers)]:
                future.result()
        finally:
            for name, value in saved.items():
                if value is None:
                    os.environ.pop(name, None)
                else:
                    os.environ[name] = value
        return self._pool

    def __exit__(self, *exc):
        if sys.version_info >= (3, 9):
            self._pool.shutdown(wait=True, cancel_futures=True)
        else:
            self._pool.shutdown(wait=True)
        return False


def _spawn_pool(workers):
    return _SpawnPool(workers)


def _run_processes(tasks, workers, progress, on_error):
    """Tasks on a local pool. A task whose worker dies is run again date by date,
    each date alone in a fresh worker; a date that kills that one too is failed."""
    broken = []
    with _spawn_pool(workers) as pool:
        futures = {pool.submit(_run, task): task for task in tasks}
        for future in concurrent.futures.as_completed(futures):
            task = futures[future]
            try:
                outcomes = future.result()
            except BrokenProcessPool:
                broken.append(task)
                continue
            progress.update(len(outcomes))
            yield task, outcomes
            if on_error == "raise" and any(o[3] is not None for o in outcomes):
                for other in futures:
                    other.cancel()
                return
    for task in broken:
        yield from _retry_alone(task, progress, on_error)


def _retry_alone(task, progress, on_error):
    holding = task["holding"]
    previous = task["previous"]
    pool = None
    try:
        for single in _single_date_tasks(task):
            if task["chained"]:
                single = dict(single, holding=holding, previous=previous)
            if pool is None:
                pool = _spawn_pool(1)
                executor = pool.__enter__()
            try:
                outcomes = executor.submit(_run, single).result()
            except BrokenProcessPool:
                outcomes = _died(single)
                pool.__exit__(None, None, None)
                pool = None
            progress.update(len(outcomes))
            yield single, outcomes
            if on_error == "raise" and any(o[3] is not None for o in outcomes):
                return
            if task["chained"]:
                date, weights = outcomes[0][0], outcomes[0][1]
                if previous is not None:
                    holding = _drift_holding(holding, previous, date)
                if weights is not None:
                    holding = _positions(weights)
                previous = date
    finally:
        if pool is not None:
            pool.__exit__(None, None, None)


def _ship_store(client, store):
    """Send the store file once to each worker that cannot see its path."""
    path, size, shipped = store
    seen = client.run(_store_visible, path, size, shipped)
    missing = [worker for worker, visible in seen.items() if not visible]
    if missing:
        with open(path, "rb") as fh:
            data = fh.read()
        client.run(_receive_store, data, shipped, workers=missing)


def _store_visible(path, size, shipped):
    if os.path.isfile(path) and os.path.getsize(path) == size:
        return True
    return os.path.isfile(os.path.join(tempfile.gettempdir(), "vantelo-store-" + shipped))


def _receive_store(data, shipped):
    final = os.path.join(tempfile.gettempdir(), "vantelo-store-" + shipped)
    handle, partial = tempfile.mkstemp(dir=tempfile.gettempdir(), suffix=".partial")
    with os.fdopen(handle, "wb") as fh:
        fh.write(data)
    os.replace(partial, final)
    return final


def _run_dask(client, tasks, progress, on_error):
    """Tasks on a Dask cluster; a task is retried once, then its dates are failed."""
    from distributed import KilledWorker, as_completed

    if tasks:
        _ship_store(client, tasks[0]["store"])
    futures = {}
    for task in tasks:
        future = client.submit(_run, task, pure=False, retries=1)
        futures[future] = task
    try:
        for future in as_completed(list(futures)):
            task = futures[future]
            try:
                outcomes = future.result()
            except KilledWorker:
                outcomes = _died(task)
            except Exception as error:  # noqa: BLE001 - raised by the task itself
                outcomes = _died(task, error)
            progress.update(len(outcomes))
            yield task, outcomes
            if on_error == "raise" and any(o[3] is not None for o in outcomes):
                return
    finally:
        for future in futures:
            future.cancel()


def _execute(tasks, engine, workers, progress, on_error, kept=None):
    """{task key: outcomes in date order} after running every task on the engine.
    `kept` takes the change rates of the runs made in this process (by task key)."""
    if isinstance(engine, str) and engine == "serial":
        stream = _run_serial(tasks, progress, on_error, kept)
    else:
        tasks = [dict(task, local=None) for task in tasks]
        if engine == "processes" and len(tasks) == 1:
            # One run of dates in order: a pool would only add its start-up.
            stream = _run_serial(tasks, progress, on_error, kept)
        elif isinstance(engine, str):
            stream = _run_processes(tasks, workers, progress, on_error)
        else:
            stream = _run_dask(engine, tasks, progress, on_error)
    results = {}
    try:
        for task, outcomes in stream:
            results.setdefault(task["key"], []).extend(outcomes)
            for date, _, record, error in outcomes:
                if error is not None and on_error == "raise":
                    raise RebalanceFailed(
                        "rebalance on {} failed: {}".format(date, record["message"]),
                        date=date,
                        error=error,
                    ) from (error if isinstance(error, BaseException) else None)
    finally:
        progress.close()
    for outcomes in results.values():
        outcomes.sort(key=lambda outcome: outcome[0])
    return results
