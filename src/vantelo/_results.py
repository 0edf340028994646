"""What a rebalance did: the path of its holdings through the backtest arithmetic
(returns, turnover, costs), its records, and `RebalanceResult` with its measures,
tables, figures and report."""

from __future__ import annotations

import dataclasses
import math

import numpy as np
import pandas as pd

import tidewell
from vantelo import _rebalance
from vantelo._schedule import (
    HELD,
)
from vantelo.backtest import performance
from vantelo.backtest.exposures import exposure_table
from vantelo.backtest.path import (
    cost_table,
    describe_strategy,
    holding_end,
    run_path,
)
from vantelo.benchmark import OptimizeBenchmark
from vantelo.exception import InvalidArgument


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


def _return_days(dates, end=None):
    """(days, rows): the trading days the returns of a schedule of `dates` run over,
    and the row of each date among them."""
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
    return days[: holding_end(rows, days, end) + 1], rows


def _assemble(strategy, cost, dates, outcomes, end=None, rates=None):
    """`rates`: the run's change rates (a `_Rates`) where it ran in this process,
    which the path reads rather than the store again."""
    by_date = {o[0]: o for o in outcomes}
    targets = {d: by_date[d][1] for d in dates if d in by_date and by_date[d][1] is not None}
    codes = set()
    for weights in targets.values():
        codes.update(weights.index.tolist())
    initial = strategy.initial_holding
    if initial is not None:
        codes.update(initial.index)
    codes = sorted(codes)
    days, rows = _return_days(dates, end)
    matrix = np.full((len(dates), len(codes)), np.nan)
    column = pd.Index(codes)
    for j, d in enumerate(dates):
        if d in targets:
            target = targets[d]
            matrix[j] = 0.0
            matrix[j, column.get_indexer(target.index)] = target.to_numpy(dtype=float)
    if codes and rates is not None:
        rates = rates.between(codes, days[0], days[-1])
    elif codes:
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
