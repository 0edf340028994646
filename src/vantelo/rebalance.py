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

The entry points live here; the schedule and one date's solve in
`vantelo._schedule`, the engines in `vantelo._engines`, the results in
`vantelo._results`.
"""

from __future__ import annotations

import inspect

import cloudpickle

import vantelo.core
import vantelo.messages
import vantelo.optimize
from vantelo._engines import (  # noqa: F401 - what the module shows, beside what it uses
    _execute,
    _Progress,
    _tasks,
)
from vantelo._results import (  # noqa: F401 - what the module shows, beside what it uses
    RebalanceResult,
    _assemble,
    _return_days,
)
from vantelo._schedule import (  # noqa: F401 - what the module shows, beside what it uses
    HELD,
    WORKER_DIED,
    RebalanceFailed,
    _check_engine,
    _check_on_error,
    _checked_strategy,
    _dates,
    _store,
    rebalance_dates,
)
from vantelo.const import CovModel
from vantelo.exception import InvalidArgument

__all__ = [
    "RebalanceFailed",
    "RebalanceResult",
    "rebalance",
    "rebalance_dates",
    "rebalance_many",
]


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
    risk_model=None,
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
    :param risk_model: a ``vantelo.risk.RiskModel`` of your own, or a callable
        ``date -> RiskModel``, for every date's covariance instead of the store's
        model (it must cover the pool and the benchmark's components)
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
    # The day the returns end: a chained run reads its change rates through it.
    through = _return_days(days, end)[0][-1]
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
        tasks.extend(_tasks(name, payload, strategy, days, store, on_error, through))
    progress_bar = _Progress(len(days) * len(prepared), progress)
    kept = {}
    results = _execute(tasks, engine, workers, progress_bar, on_error, kept)
    return {
        name: _assemble(strategy, cost, days, results.get(name, []), end, kept.get(name))
        for name, (strategy, cost) in prepared.items()
    }
