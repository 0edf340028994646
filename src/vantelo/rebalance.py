"""Rebalancing over many dates and many portfolios: backtests and batch runs.

`rebalance` runs `portfolio_optimize` over a schedule of dates, carries the holding
from one date to the next (drifted by the prices in between), records what each
date did, and computes the daily returns of the path. Dates whose inputs do not
depend on the holding are split into runs of consecutive dates that go to worker
processes (or to the workers of a Dask cluster); holding-dependent dates run in
order. Within a run, the store's answers that dates share (the index's
constituents, the industry history) are read once (`vantelo._schedule_reads`) and
handed to the optimiser as the client it reads through.

The split into runs depends only on the schedule, never on the engine or the
number of workers, so every engine computes the same weights.
"""

from __future__ import annotations

import concurrent.futures
import copy
import dataclasses
import inspect
import math
import multiprocessing
import os
import sys
import tempfile
import time
import warnings
from concurrent.futures.process import BrokenProcessPool

import cloudpickle
import numpy as np
import pandas as pd
from threadpoolctl import threadpool_limits

import tidewell
import vantelo.core
import vantelo.messages
import vantelo.optimize
from vantelo import _rebalance
from vantelo._schedule_reads import ScheduleReads
from vantelo.backtest import performance
from vantelo.backtest.exposures import date_exposures, exposure_table
from vantelo.backtest.path import (
    checked_costs,
    cost_table,
    describe_strategy,
    holding_end,
    run_path,
)
from vantelo.backtest.penalty import CostPenalty
from vantelo.benchmark import IndexBenchmark, OptimizeBenchmark
from vantelo.const import CovModel
from vantelo.constraints import TurnoverLimit
from vantelo.exception import InvalidArgument, OptimizerWarning
from vantelo.objective import MinVariance

__all__ = [
    "RebalanceFailed",
    "RebalanceResult",
    "rebalance",
    "rebalance_dates",
    "rebalance_many",
]

FREQUENCIES = ("D", "W", "M", "Q")
# Independent dates go out in runs of consecutive dates: long enough that the
# compiled problem is reused, short enough to share the work out.
RUNS_PER_SCHEDULE = 6
MIN_RUN_LENGTH = 8
# Worker processes are as many as the cores: numeric libraries in each of them
# running threads of their own would only fight over the same cores.
SINGLE_THREADED = {
    name: "1"
    for name in (
        "OMP_NUM_THREADS",
        "OPENBLAS_NUM_THREADS",
        "MKL_NUM_THREADS",
        "VECLIB_MAXIMUM_THREADS",
        "NUMEXPR_NUM_THREADS",
    )
}
# A weight at or below this is not a position (solvers leave such crumbs).
HELD = vantelo.core.HOLDING_THRESHOLD
WORKER_DIED = "the worker process died while solving this date"

_PERIOD_KEYS = {
    "D": lambda day: day,
    "W": lambda day: tuple(day.isocalendar()[:2]),
    "M": lambda day: (day.year, day.month),
    "Q": lambda day: (day.year, (day.month - 1) // 3),
}


class RebalanceFailed(Exception):
    """A date of a rebalance failed with `on_error="raise"`; `date` and `error` say which."""

    def __init__(self, message, date=None, error=None):
        super().__init__(message)
        self.date = date
        self.error = error


# --------------------------------------------------------------------------- schedule


def rebalance_dates(start, end, frequency="M"):
    """The trading days between `start` and `end` that end a period.

    `frequency` is "D" (every trading day), "W", "M" or "Q" (the last trading day
    of each week, month or quarter). A period that goes on after `end` has not
    ended and gives no date; the last day of the calendar ends every period.
    """
    key = _PERIOD_KEYS.get(frequency) if isinstance(frequency, str) else None
    if key is None:
        raise InvalidArgument(
            "frequency: expected one of {}, got {!r}".format(", ".join(FREQUENCIES), frequency)
        )
    days = list(tidewell.get_trading_dates(start, end))
    if not days:
        return []
    try:
        following = tidewell.get_next_trading_date(days[-1])
    except tidewell.TidewellError:
        following = None
    ends = []
    for day, after in zip(days, days[1:] + [following]):
        if after is None or key(after) != key(day):
            ends.append(day)
    return ends


# --------------------------------------------------------------------------- one strategy


@dataclasses.dataclass
class _Strategy:
    """The inputs of one rebalance, as shipped to the workers."""

    universe: object
    objective: object
    bnds: object
    cons: object
    benchmark: object
    cov_model: object
    initial_holding: object
    trading: bool
    costs: object = None
    cost_penalty: float = 0.0

    @property
    def chained(self) -> bool:
        """Whether a date's inputs depend on the holding, so dates must run in order."""
        static_turnover = not callable(self.cons) and any(
            isinstance(c, TurnoverLimit) for c in (self.cons or [])
        )
        penalised = self.cost_penalty > 0
        return (
            callable(self.bnds)
            or callable(self.cons)
            or static_turnover
            or self.trading
            or penalised
        )

    def pool(self, date, client=tidewell):
        universe = self.universe
        if callable(universe):
            return universe(date)
        if isinstance(universe, str):
            return list(client.index_weights(universe, date).index)
        return universe

    def inputs(self, date, holding, client=tidewell):
        """objective, bnds, cons for `date` with `holding` the drifted holding."""
        pool = self.pool(date, client)
        if callable(self.objective) and not isinstance(
            self.objective, vantelo.optimize.OptimizationObjective
        ):
            objective = self.objective(date)
        else:
            # A fresh copy: what an objective estimates on one date stays there.
            objective = copy.deepcopy(self.objective)
        bnds = self.bnds(date, holding) if callable(self.bnds) else self.bnds
        if callable(self.cons):
            cons = self.cons(date, holding)
        elif self.cons is None:
            cons = None
        else:
            cons = []
            for constraint in self.cons:
                if isinstance(constraint, TurnoverLimit):
                    # Building the portfolio from cash is no turnover to limit.
                    if holding is None or holding.empty:
                        continue
                    if type(constraint) is TurnoverLimit:
                        # The same limit, measured against the holding of the day.
                        constraint = TurnoverLimit(holding, constraint.upper, constraint.hard)
                cons.append(constraint)
        if self.trading:
            from vantelo.trading import tradable_bounds

            bnds = tradable_bounds(pool, date, holding, bnds=bnds)
        if self.cost_penalty > 0:
            objective = CostPenalty(objective, self.costs, holding, date, self.cost_penalty)
        return pool, objective, bnds, cons


def _portable(value):
    """`value` if it survives the trip back from a worker, else its text."""
    try:
        cloudpickle.dumps(value)
        return value
    except Exception:  # noqa: BLE001 - anything unpicklable travels as text
        return repr(value)


def _solve_date(strategy, date, holding, client, benchmark, cache=None):
    """One date: (weights or None, record, error or None). The optimiser reads the
    market through `client` (the run's shared reads), tracks `benchmark` (the
    strategy's, resolved once for the run) and keeps its assembled problems in
    `cache` (the run's), so that a date starts from the last date's solution."""
    started = time.perf_counter()
    record = {"status": "ok", "message": "", "diagnosis": None}
    error = None
    weights = None
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            pool, objective, bnds, cons = strategy.inputs(date, holding, client)
            result = vantelo.core.optimize(
                pool,
                date,
                objective=objective,
                bnds=bnds,
                cons=cons,
                benchmark=benchmark,
                cov_model=strategy.cov_model,
                client=client,
                cache=cache,
            )
            if result.status == "failed":
                error = result.error
                record["status"] = "failed"
                record["message"] = f"{type(error).__name__}: {error}"
                record["diagnosis"] = _portable(result.diagnosis)
            else:
                weights = pd.Series(result.weights, dtype=float)
                record["ex_ante_volatility"] = result.volatility
                record["ex_ante_tracking_error"] = result.tracking_error
                if result.status == "soft constraints dropped":
                    record["status"] = result.status
                if result.helper is not None:
                    record.update(
                        _date_exposures(result.helper, weights, date, bnds, cons, strategy)
                    )
        except Exception as exc:  # noqa: BLE001 - a failed date is recorded, not lost
            error = exc
            record["status"] = "failed"
            record["message"] = f"{type(exc).__name__}: {exc}"
            record["diagnosis"] = _portable(getattr(exc, "diagnosis", None))
    texts = []
    for item in caught:
        text = str(item.message)
        if text not in texts:
            texts.append(text)
    if texts:
        record["message"] = "; ".join(([record["message"]] if record["message"] else []) + texts)
    record["seconds"] = time.perf_counter() - started
    return weights, record, error


def _date_exposures(helper, weights, date, bnds, cons, strategy):
    """The date's exposures and binding limits, from the helper of its solve."""
    with warnings.catch_warnings():
        # What the date's data lacks, the solve has said already.
        warnings.simplefilter("ignore", OptimizerWarning)
        return date_exposures(
            helper, weights, date, bnds, cons, strategy.benchmark, strategy.cov_model
        )


class _Rates:
    """Daily change rates for a run of dates, read from the store in one query per
    new set of stocks rather than one per date."""

    def __init__(self, first, last):
        self._first = first
        self._last = last
        self._table = None
        self._expected = {}

    def expect(self, codes):
        """`codes` may be held later: read them with the next stocks that are missing."""
        self._expected.update(dict.fromkeys(codes))

    def between(self, codes, start, end):
        """Rates of `codes` (columns, in that order) from `start` to `end`."""
        if not (self._first <= start and end <= self._last):
            return tidewell.get_price_change_rate(codes, start, end).reindex(columns=codes)
        known = set(self._table.columns) if self._table is not None else set()
        missing = [code for code in codes if code not in known]
        if missing:
            # A holding draws on its pool, so the pool's stocks come with the first
            # miss, and later dates rarely miss again.
            missing += [c for c in self._expected if c not in known and c not in missing]
            self._expected.clear()
            more = tidewell.get_price_change_rate(missing, self._first, self._last)
            more = more.reindex(columns=missing)
            self._table = more if self._table is None else pd.concat([self._table, more], axis=1)
        return self._table.loc[pd.Timestamp(start) : pd.Timestamp(end), codes]


def _drift_holding(holding, start, end, rates=None):
    """`holding` (weights at the close of `start`) at the close of `end`."""
    if holding is None or holding.empty or start >= end:
        return holding
    after = tidewell.get_next_trading_date(start)
    if after > end:
        return holding
    codes = list(holding.index)
    if rates is None:
        table = tidewell.get_price_change_rate(codes, after, end).reindex(columns=codes)
    else:
        table = rates.between(codes, after, end)
    _, drifted = _rebalance.drift(holding.to_numpy(dtype=float), table.to_numpy(dtype=float))
    return pd.Series(drifted, index=holding.index)


def _positions(weights):
    return weights[weights > HELD]


def _open_store(store):
    """Point tidewell at the run's store: its path, or the copy shipped to this worker."""
    path, size, shipped = store
    if os.path.isfile(path) and os.path.getsize(path) == size:
        if tidewell.get_database_path() != path:
            tidewell.set_database(path)
        return
    local = os.path.join(tempfile.gettempdir(), f"vantelo-store-{shipped}")
    if not os.path.isfile(local):
        raise FileNotFoundError(f"the store {path} is not visible on this worker")
    if tidewell.get_database_path() != local:
        tidewell.set_database(local)


def _run(task):
    """Run one task: consecutive dates of one strategy. Returns picklable outcomes."""
    # The serial engine runs the caller's own objects, so that what their callables
    # do is seen; other engines get a copy.
    strategy = task.get("local") or cloudpickle.loads(task["strategy"])
    if vantelo.messages.get_language() != task["language"]:
        vantelo.messages.set_language(task["language"])
    _open_store(task["store"])
    holding = task["holding"]
    previous = task["previous"]
    on_error = task["on_error"]
    outcomes = []
    dates = task["dates"]
    rates = _Rates(previous or dates[0], dates[-1]) if task["chained"] else None
    reads = ScheduleReads(dates=(dates[0], dates[-1]), cov_model=strategy.cov_model)
    # The run's assembled problems: each date warm-starts from the last solution.
    cache = {}
    # Resolved once for the run: an index benchmark is the same object every date.
    benchmark = strategy.benchmark
    if isinstance(benchmark, str):
        benchmark = IndexBenchmark(benchmark)
    # A date's linear algebra is many small products and decompositions, which
    # BLAS threads slow down (they wait on each other, and on the other workers).
    with threadpool_limits(limits=1, user_api="blas"):
        for date in dates:
            if task["chained"] and previous is not None:
                holding = _drift_holding(holding, previous, date, rates)
            reference = holding if holding is not None else pd.Series(dtype=float)
            weights, record, error = _solve_date(
                strategy, date, reference, reads, benchmark, cache
            )
            if error is not None and on_error == "raise":
                outcomes.append((date, None, record, _portable(error)))
                break
            outcomes.append((date, weights, record, None))
            if weights is not None:
                holding = _positions(weights)
                if rates is not None:
                    rates.expect(holding.index)
            previous = date
    return outcomes


# --------------------------------------------------------------------------- engines


def _tasks(key, strategy_bytes, strategy, dates, store, on_error):
    """The tasks of one strategy: one in-order run when chained, else runs of dates."""
    common = {
        "key": key,
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


def _run_serial(tasks, progress, on_error):
    for task in tasks:
        outcomes = _run(task)
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


def _execute(tasks, engine, workers, progress, on_error):
    """{task key: outcomes in date order} after running every task on the engine."""
    if isinstance(engine, str) and engine == "serial":
        stream = _run_serial(tasks, progress, on_error)
    else:
        tasks = [dict(task, local=None) for task in tasks]
        if engine == "processes" and len(tasks) == 1:
            # One run of dates in order: a pool would only add its start-up.
            stream = _run_serial(tasks, progress, on_error)
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


# --------------------------------------------------------------------------- arguments


def _store():
    path = os.path.abspath(tidewell.get_database_path())
    stat = os.stat(path)
    return (path, stat.st_size, f"{os.path.basename(path)}-{stat.st_size}-{stat.st_mtime_ns}")


def _dates(dates):
    if isinstance(dates, str) or not hasattr(dates, "__iter__"):
        raise InvalidArgument(f"dates: expected a list of dates, got {dates!r}")
    days = sorted({vantelo.optimize.to_date(d) for d in dates})
    if not days:
        raise InvalidArgument("dates: the schedule is empty")
    return days


def _check_engine(engine, workers):
    if isinstance(engine, str):
        if engine not in ("serial", "processes"):
            raise InvalidArgument(
                "engine: expected 'serial', 'processes' or a dask.distributed.Client, "
                f"got {engine!r}"
            )
    elif not (hasattr(engine, "submit") and hasattr(engine, "run")):
        raise InvalidArgument(
            f"engine: expected 'serial', 'processes' or a dask.distributed.Client, got {engine!r}"
        )
    if workers is None:
        return os.cpu_count() or 1
    if isinstance(workers, bool) or not isinstance(workers, int) or workers < 1:
        raise InvalidArgument(f"workers: expected a positive integer, got {workers!r}")
    return workers


def _strategy(arguments):
    """The `_Strategy` and the cost of one strategy's keyword arguments, with
    `rebalance`'s defaults for what they leave out."""
    unknown = [name for name in arguments if name not in _STRATEGY_ARGUMENTS]
    if unknown:
        raise TypeError(f"unexpected keyword argument {unknown[0]!r}")
    if "universe" not in arguments:
        raise TypeError("missing the keyword argument 'universe'")
    given = dict(_STRATEGY_DEFAULTS, **arguments)
    return _checked_strategy(**given)


def _checked_strategy(
    universe,
    objective,
    bnds,
    cons,
    benchmark,
    cov_model,
    initial_holding,
    cost_bps,
    trading,
    costs,
    cost_penalty,
):
    if universe is None or (
        not callable(universe)
        and not isinstance(universe, str)
        and not hasattr(universe, "__iter__")
    ):
        raise InvalidArgument(
            f"universe: expected codes, an index code or a callable, got {universe!r}"
        )
    if not callable(universe) and not isinstance(universe, str):
        universe = list(universe)
    if objective is None:
        objective = MinVariance()
    if initial_holding is not None:
        initial_holding = pd.Series(initial_holding, dtype=float)
    try:
        cost = float(cost_bps)
    except (TypeError, ValueError):
        cost = math.nan
    if not math.isfinite(cost) or cost < 0:
        raise InvalidArgument(f"cost_bps: expected a number of at least 0, got {cost_bps!r}")
    if cons is not None and not callable(cons):
        cons = list(cons)
    costs, cost_penalty = checked_costs(costs, cost_penalty, cost)
    strategy = _Strategy(
        universe,
        objective,
        bnds,
        cons,
        benchmark,
        cov_model,
        initial_holding,
        bool(trading),
        costs,
        cost_penalty,
    )
    return strategy, cost


def _check_on_error(on_error):
    if on_error not in ("raise", "record"):
        raise InvalidArgument(f"on_error: expected 'raise' or 'record', got {on_error!r}")


# --------------------------------------------------------------------------- result


def _last_trading_day(day):
    """The calendar's last trading day, found by doubling steps from `day`."""
    step = 1
    while True:
        try:
            day = tidewell.get_next_trading_date(day, step)
            step *= 2
        except tidewell.TidewellError:
            if step == 1:
                return day
            step //= 2


def _benchmark_returns(benchmark, dates, rows, days):
    if benchmark is None:
        return None
    if isinstance(benchmark, str):
        rates = tidewell.get_price_change_rate(benchmark, days[0], days[-1])
        return rates.reindex(pd.DatetimeIndex(pd.to_datetime(days))).fillna(0.0).to_numpy()
    if not isinstance(benchmark, OptimizeBenchmark):
        return None
    holdings = [pd.Series(benchmark.get_weight(d), dtype=float) for d in dates]
    codes = sorted(set().union(*[h.index for h in holdings]))
    targets = np.vstack([h.reindex(codes, fill_value=0.0).to_numpy() for h in holdings])
    rates = tidewell.get_price_change_rate(codes, days[0], days[-1]).reindex(columns=codes)
    returns, _, _ = _rebalance.backtest(
        targets, rows, rates.to_numpy(dtype=float), np.zeros(len(codes)), 0.0
    )
    return returns


def _assemble(strategy, cost, dates, outcomes, end=None):
    by_date = {o[0]: o for o in outcomes}
    targets = {d: by_date[d][1] for d in dates if d in by_date and by_date[d][1] is not None}
    codes = set()
    for weights in targets.values():
        codes.update(weights.index.tolist())
    initial = strategy.initial_holding
    if initial is not None:
        codes.update(initial.index)
    codes = sorted(codes)
    last = _last_trading_day(dates[-1])
    days = list(tidewell.get_trading_dates(dates[0], last))
    position = {d: i for i, d in enumerate(days)}
    calendar = np.asarray(days, dtype="datetime64[D]")
    rows = []
    for d in dates:
        if d in position:
            rows.append(position[d])
        else:
            # A date off the calendar counts from the trading day before it.
            i = np.searchsorted(calendar, np.datetime64(d, "D"), side="right") - 1
            rows.append(max(int(i), 0))
    if len(set(rows)) != len(rows):
        raise InvalidArgument("dates: two rebalance dates fall on the same trading day")
    days = days[: holding_end(rows, days, end) + 1]
    matrix = np.full((len(dates), len(codes)), np.nan)
    column = pd.Index(codes)
    for j, d in enumerate(dates):
        if d in targets:
            target = targets[d]
            matrix[j] = 0.0
            matrix[j, column.get_indexer(target.index)] = target.to_numpy(dtype=float)
    if codes:
        rates = tidewell.get_price_change_rate(codes, days[0], days[-1])
        rates = rates.reindex(columns=codes).to_numpy(dtype=float)
    else:
        rates = np.zeros((len(days), 0))
    start = (
        initial.reindex(codes, fill_value=0.0).to_numpy()
        if initial is not None
        else np.zeros(len(codes))
    )
    path = run_path(matrix, rows, rates, start, cost, strategy.costs, dates, codes, HELD)
    returns, turnover, drifted = path["returns"], path["turnover"], path["drifted"]
    weights = pd.DataFrame(
        np.where(np.isfinite(matrix), matrix, drifted),
        index=pd.Index(dates, name="date"),
        columns=pd.Index(codes, name="order_book_id"),
    )
    records = []
    for j, d in enumerate(dates):
        record = (
            dict(by_date[d][2])
            if d in by_date
            else {"status": "failed", "message": "not run", "diagnosis": None, "seconds": math.nan}
        )
        record["holdings"] = int((weights.iloc[j] > HELD).sum())
        record["turnover"] = float(turnover[j]) if d in targets else 0.0
        record["cost"] = float(path["costs"][j].sum())
        if record["status"] == "soft constraints dropped":
            record["dropped"] = _soft_labels(strategy.cons)
        records.append(record)
    exposures = exposure_table(records, dates)
    columns = [
        "status",
        "message",
        "holdings",
        "turnover",
        "cost",
        "ex_ante_volatility",
        "ex_ante_tracking_error",
        "binding",
        "at_bounds",
        "dropped",
        "seconds",
        "diagnosis",
    ]
    records = pd.DataFrame(records, index=pd.Index(dates, name="date")).reindex(columns=columns)
    index = pd.DatetimeIndex(pd.to_datetime(days[1:]), name="date")
    table = pd.DataFrame({"portfolio": returns[1:]}, index=index)
    bench = _benchmark_returns(strategy.benchmark, dates, np.asarray(rows, dtype=float), days)
    if bench is not None:
        table["benchmark"] = bench[1:]
        table["active"] = table["portfolio"] - table["benchmark"]
    settings = {f.name: getattr(strategy, f.name) for f in dataclasses.fields(strategy)}
    return RebalanceResult(
        weights,
        records,
        table,
        costs=cost_table(path["costs"], dates),
        gross_returns=pd.Series(path["gross"][1:], index=index, name="portfolio"),
        exposures=exposures,
        config=describe_strategy(settings, dates, days[-1], cost),
    )


def _soft_labels(cons):
    """What a date that dropped its soft constraints dropped."""
    if cons is None or callable(cons):
        return "the soft constraints of the date"
    return "; ".join(type(c).__name__ for c in cons if not getattr(c, "hard", True))


class RebalanceResult:
    """What a rebalance did.

    `weights`: one row per date, one column per stock ever held (0 where not held);
    a failed date shows the holding it kept. `records`: one row per date with its
    `status` ("ok", "soft constraints dropped", "failed"), `message`, `holdings`,
    one-way `turnover` against the drifted holding, `cost` (what its trades cost, a
    share of the value), `ex_ante_volatility`, `ex_ante_tracking_error` (with a
    benchmark), `binding` (the limits at a bound, each stock's own bounds left out),
    `at_bounds` (stocks at one of their bounds), `dropped` (the soft constraints a
    date went without), `seconds` and, for a failure, the `diagnosis` the error
    carried. `returns`: daily returns from the day after the first date to the end
    of the last target's holding period: `portfolio` (costs taken off the day after
    each trade), and with a benchmark `benchmark` and `active`. `costs`: per date,
    the parts of its cost and their `total`; `gross_returns`: the portfolio's daily
    returns before costs; `exposures`: per date, the active style exposures and
    industry weights (group, name); `config`: the settings the strategy ran with.
    """

    def __init__(
        self,
        weights,
        records,
        returns,
        costs=None,
        gross_returns=None,
        exposures=None,
        config=None,
    ):
        self.weights = weights
        self.records = records
        self.returns = returns
        self.costs = costs
        self.gross_returns = gross_returns
        self.exposures = exposures
        self.config = config or []

    def __repr__(self):
        failed = int((self.records["status"] == "failed").sum())
        dates, stocks = len(self.records), self.weights.shape[1]
        return f"RebalanceResult({dates} dates, {failed} failed, {stocks} stocks)"

    def summary(self):
        """Annualised return, volatility, tracking error, information ratio, maximum
        drawdown and average one-way turnover per rebalance, as a Series
        (`measures` has these and more, with their units)."""
        portfolio = self.returns["portfolio"].to_numpy(dtype=float)
        benchmark = (
            self.returns["benchmark"].to_numpy(dtype=float)
            if "benchmark" in self.returns
            else None
        )
        traded = self.records.loc[self.records["status"] != "failed", "turnover"]
        stats = _rebalance.summary(portfolio, benchmark, traded.to_numpy(dtype=float))
        names = [
            "annualised_return",
            "volatility",
            "tracking_error",
            "information_ratio",
            "max_drawdown",
            "average_turnover",
        ]
        return pd.Series([stats[n] for n in names], index=names, dtype=float)

    def measures(self, risk_free=0.0):
        """The measures of the backtest with their units (`vantelo.backtest.measures`)."""
        return performance.measures(self, risk_free)

    def annual_returns(self):
        """The return of each calendar year (`vantelo.backtest.annual_returns`)."""
        return performance.annual_returns(self)

    def monthly_returns(self, column="portfolio"):
        """The return of each month (`vantelo.backtest.monthly_returns`)."""
        return performance.monthly_returns(self, column)

    def plot(self, title=None):
        """A matplotlib figure over one time axis: cumulative portfolio, benchmark and
        active return, the drawdown, and the turnover and cost of each date."""
        from vantelo.backtest import figures

        return figures.overview(self, title)

    def to_html(self, path, title=None, risk_free=0.0):
        """Writes the backtest report, its figures embedded, into one HTML file
        (`vantelo.backtest.report`); returns the path."""
        from vantelo.backtest import report

        return report.write_html(self, path, title=title, risk_free=risk_free)


# --------------------------------------------------------------------------- entry points


def rebalance(
    dates,
    universe,
    objective=None,
    bnds=None,
    cons=None,
    benchmark=None,
    cov_model=CovModel.FACTOR_MODEL_DAILY,
    initial_holding=None,
    cost_bps=0.0,
    engine="processes",
    workers=None,
    progress=True,
    on_error="raise",
    trading=False,
    costs=None,
    cost_penalty=0.0,
    end=None,
):
    """Optimise a portfolio on every date of a schedule and follow it in between.

    :param dates: the rebalance dates (see `rebalance_dates`)
    :param universe: a list of codes, an index code (its constituents on each
        date) or a callable ``date -> codes``
    :param objective: an objective (each date gets a fresh copy) or a callable
        ``date -> objective``; ``MinVariance()`` when None
    :param bnds: as for ``portfolio_optimize``, or a callable ``(date, holding)``
    :param cons: as for ``portfolio_optimize``, or a callable ``(date, holding)``;
        a ``TurnoverLimit`` in a list is measured against the drifted holding (left
        out while nothing is held: a run that starts from cash)
    :param benchmark: an index code or an ``OptimizeBenchmark``
    :param cov_model: the covariance model
    :param initial_holding: weights held before the first date (cash when None)
    :param cost_bps: trading cost in basis points of the one-way turnover (half the
        sum of the absolute weight changes, as a ``TurnoverLimit`` counts it): the flat
        shorthand of `costs`
    :param engine: "serial", "processes" (a local pool) or a
        ``dask.distributed.Client``
    :param workers: size of the local pool (default: the number of cores)
    :param progress: show a progress bar
    :param on_error: "raise" stops at the first failed date, "record" records
        it and keeps the holding
    :param trading: limit each date's bounds to what can be traded that day
        (``vantelo.trading.tradable_bounds``)
    :param costs: a ``vantelo.backtest.CostModel``: each date's orders pay its
        commission, stamp duty, transfer fee, spread and impact (instead of
        ``cost_bps``)
    :param cost_penalty: with ``costs``, the weight of a date's trading cost (in its
        convex form) added to its objective, so that costs change what is traded; 0
        charges them without optimising against them
    :param end: the last day of the returns; by default one typical gap of the
        schedule (its median spacing) after the last date
    :return: `RebalanceResult`
    """
    given = locals()
    strategy = {name: given[name] for name in _STRATEGY_ARGUMENTS}
    return rebalance_many(
        {"": strategy},
        dates,
        engine=engine,
        workers=workers,
        progress=progress,
        on_error=on_error,
        end=end,
    )[""]


# What describes one strategy: the keyword arguments of `rebalance` that are not
# about how to run it, and their defaults.
_STRATEGY_ARGUMENTS = tuple(
    name
    for name in inspect.signature(rebalance).parameters
    if name not in ("dates", "engine", "workers", "progress", "on_error", "end")
)
_STRATEGY_DEFAULTS = {
    name: parameter.default
    for name, parameter in inspect.signature(rebalance).parameters.items()
    if name in _STRATEGY_ARGUMENTS and parameter.default is not inspect.Parameter.empty
}


def rebalance_many(
    strategies,
    dates,
    engine="processes",
    workers=None,
    progress=True,
    on_error="raise",
    end=None,
):
    """Several strategies over the same dates, their dates in parallel.

    :param strategies: a mapping of name to the keyword arguments of
        `rebalance` that describe a strategy (``universe``, ``objective``,
        ``bnds``, ``cons``, ``benchmark``, ``cov_model``, ``initial_holding``,
        ``cost_bps``, ``trading``, ``costs``, ``cost_penalty``)
    :param end: the last day of the returns, as for `rebalance`
    :return: a dict of name to `RebalanceResult`; `vantelo.backtest.compare` sets
        their measures side by side
    """
    if not hasattr(strategies, "items"):
        raise InvalidArgument(
            f"strategies: expected a mapping of name to keyword arguments, got {strategies!r}"
        )
    days = _dates(dates)
    if end is not None and vantelo.optimize.to_date(end) < days[-1]:
        raise InvalidArgument(f"end: {end} is before the last rebalance date {days[-1]}")
    workers = _check_engine(engine, workers)
    _check_on_error(on_error)
    store = _store()
    prepared = {}
    tasks = []
    for name, arguments in strategies.items():
        if not hasattr(arguments, "items"):
            raise InvalidArgument(
                f"strategies[{name!r}]: expected keyword arguments, got {arguments!r}"
            )
        try:
            strategy, cost = _strategy(arguments)
        except TypeError as exc:
            raise InvalidArgument(f"strategies[{name!r}]: {exc}") from exc
        prepared[name] = (strategy, cost)
        payload = cloudpickle.dumps(strategy)
        tasks.extend(_tasks(name, payload, strategy, days, store, on_error))
    progress_bar = _Progress(len(days) * len(prepared), progress)
    results = _execute(tasks, engine, workers, progress_bar, on_error)
    return {
        name: _assemble(strategy, cost, days, results.get(name, []), end)
        for name, (strategy, cost) in prepared.items()
    }
