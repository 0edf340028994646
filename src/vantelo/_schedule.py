"""One strategy's schedule: its dates, its inputs on each date, one date's solve
through the optimiser's core (with the run's shared reads as the client it reads
through), the drift of the holding between dates, and one run of consecutive dates
as a worker process or a Dask worker executes it."""

from __future__ import annotations

import copy
import dataclasses
import math
import os
import tempfile
import time
import warnings

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
from vantelo.backtest.exposures import date_exposures
from vantelo.backtest.path import (
    checked_costs,
)
from vantelo.backtest.penalty import CostPenalty
from vantelo.benchmark import IndexBenchmark
from vantelo.constraints import TurnoverLimit
from vantelo.exception import InvalidArgument, OptimizerWarning
from vantelo.objective import MinVariance
from vantelo.risk import RiskModel

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
    risk_model: object = None

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
            return client.index_weights(universe, date).index.tolist()
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
                risk_model=strategy.risk_model,
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
                    record.update(_date_exposures(result, benchmark))
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


def _date_exposures(result, benchmark):
    """The date's exposures and binding limits, from the result of its solve."""
    with warnings.catch_warnings():
        # What the date's data lacks, the solve has said already.
        warnings.simplefilter("ignore", OptimizerWarning)
        return date_exposures(result, benchmark is not None)


class _Rates:
    """Daily change rates for a run of dates, read from the store in one query per
    new set of stocks rather than one per date, and kept as one array (trading days
    x stocks) that each date slices by position."""

    def __init__(self, first, last):
        self._first = first
        self._last = last
        self._days = None  # the rows' trading days, datetime64[D]
        self._values = None
        self._column = {}  # code -> column; codes the store lacks have a NaN column
        self._expected = {}

    def expect(self, codes):
        """`codes` may be held later: read them with the next stocks that are missing."""
        self._expected.update(dict.fromkeys(codes))

    def _read(self, missing):
        more = tidewell.get_price_change_rate(missing, self._first, self._last)
        values = more.reindex(columns=missing).to_numpy(dtype=float)
        if self._values is None:
            self._days = more.index.to_numpy().astype("datetime64[D]")
            self._values = values
        else:
            self._values = np.hstack([self._values, values])
        first = len(self._column)
        self._column.update((code, first + j) for j, code in enumerate(missing))

    def between(self, codes, start, end):
        """Rates of `codes` (columns, in that order) from `start` to `end`, an array."""
        if not (self._first <= start and end <= self._last):
            table = tidewell.get_price_change_rate(codes, start, end).reindex(columns=codes)
            return table.to_numpy(dtype=float)
        known = self._column
        missing = [code for code in dict.fromkeys(codes) if code not in known]
        if missing:
            # A holding draws on its pool, so the pool's stocks come with the first
            # miss, and later dates rarely miss again.
            seen = set(missing)
            missing += [c for c in self._expected if c not in known and c not in seen]
            self._expected.clear()
            self._read(missing)
        rows = slice(
            int(np.searchsorted(self._days, np.datetime64(start, "D"), side="left")),
            int(np.searchsorted(self._days, np.datetime64(end, "D"), side="right")),
        )
        return self._values[rows][:, [known[code] for code in codes]]


def _drift_holding(holding, start, end, rates=None):
    """`holding` (weights at the close of `start`) at the close of `end`."""
    if holding is None or holding.empty or start >= end:
        return holding
    after = tidewell.get_next_trading_date(start)
    if after > end:
        return holding
    codes = holding.index.tolist()
    if rates is None:
        table = tidewell.get_price_change_rate(codes, after, end).reindex(columns=codes)
        table = table.to_numpy(dtype=float)
    else:
        table = rates.between(codes, after, end)
    _, drifted = _rebalance.drift(holding.to_numpy(dtype=float), table)
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


def _expect_stocks(strategy, benchmark, dates, reads, rates):
    """Tell the run's reads which stocks its dates ask for, where that is known ahead:
    an index's members or a fixed list, with an index benchmark's members. The risk
    models are then read for them alone, and (chained) their change rates in the
    first read rather than one per change, since a holding only draws on them."""
    universe = strategy.universe
    if callable(universe):
        return
    stocks = {}
    index_universe = isinstance(universe, str)
    for date in dates:
        try:
            pool = strategy.pool(date, reads)
            if index_universe and rates is not None:
                rates.expect(pool)
            stocks.update(dict.fromkeys(pool))
            if type(benchmark) is IndexBenchmark:
                stocks.update(
                    dict.fromkeys(reads.index_weights(benchmark._order_book_id, date).index)
                )
        except Exception:  # noqa: BLE001 - the date says what is wrong when it runs
            continue
    if stocks and (benchmark is None or type(benchmark) is IndexBenchmark):
        reads.expect(stocks)


def _run(task, kept=None):
    """Run one task: consecutive dates of one strategy. Returns picklable outcomes.
    `kept`: a dict that takes the run's change rates by the task's key, for the
    results to read in this process."""
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
    # Read through the day the results' returns end, which they then take from here.
    through = task.get("through") or dates[-1]
    rates = _Rates(previous or dates[0], max(through, dates[-1])) if task["chained"] else None
    if kept is not None and rates is not None:
        kept[task["key"]] = rates
    reads = ScheduleReads(dates=(dates[0], dates[-1]), cov_model=strategy.cov_model)
    # Resolved once for the run: an index benchmark is the same object every date.
    benchmark = strategy.benchmark
    if isinstance(benchmark, str):
        benchmark = IndexBenchmark(benchmark)
    _expect_stocks(strategy, benchmark, dates, reads, rates)
    # The run's assembled problems: each date warm-starts from the last solution.
    cache = {}
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
    risk_model=None,
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
    if not (risk_model is None or callable(risk_model) or isinstance(risk_model, RiskModel)):
        raise InvalidArgument(
            "risk_model: expected a vantelo.risk.RiskModel or a callable date -> RiskModel, "
            f"got {risk_model!r}"
        )
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
        risk_model,
    )
    return strategy, cost


def _check_on_error(on_error):
    if on_error not in ("raise", "record"):
        raise InvalidArgument(f"on_error: expected 'raise' or 'record', got {on_error!r}")
