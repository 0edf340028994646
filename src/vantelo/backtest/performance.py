"""The measures of a backtest, as a portfolio manager reads them.

`measures` condenses one `RebalanceResult` into a table of figures, each with its
unit; `compare` sets several side by side (the results of `rebalance_many`);
`annual_returns` and `monthly_returns` are the calendar tables; `rolling` the
tracking error and information ratio over a moving window. The arithmetic of
returns, risk and drawdowns is the compiled `vantelo._rebalance.measures`, the
same that `RebalanceResult.summary` reads.
"""

from __future__ import annotations

import math

import numpy as np
import pandas as pd

from vantelo import _rebalance
from vantelo.exception import InvalidArgument

__all__ = ["UNITS", "annual_returns", "compare", "measures", "monthly_returns", "rolling"]

TRADING_DAYS = _rebalance.TRADING_DAYS_PER_YEAR
# A quarter of trading days: the window of the rolling figures.
ROLLING_WINDOW = 63

# Every measure, in the order of the table, with its unit.
UNITS = {
    "start": "date",
    "end": "date",
    "days": "trading days",
    "total_return": "fraction",
    "annualised_return": "fraction a year",
    "volatility": "fraction a year",
    "sharpe_ratio": "ratio, annualised",
    "sortino_ratio": "ratio, annualised",
    "max_drawdown": "fraction",
    "drawdown_peak": "date",
    "drawdown_trough": "date",
    "drawdown_recovery": "date (empty: not recovered)",
    "calmar_ratio": "ratio",
    "benchmark_total_return": "fraction",
    "benchmark_annualised_return": "fraction a year",
    "benchmark_volatility": "fraction a year",
    "active_return": "fraction a year",
    "tracking_error": "fraction a year",
    "information_ratio": "ratio, annualised",
    "hit_rate": "share of days",
    "rebalances": "dates",
    "average_turnover": "fraction a rebalance, one-way",
    "total_turnover": "fraction, one-way",
    "total_cost": "fraction of value",
    "cost_drag": "fraction a year",
    "average_holdings": "stocks",
}
_DATES = ("drawdown_peak", "drawdown_trough", "drawdown_recovery")


def _check_risk_free(risk_free):
    try:
        rate = float(risk_free)
    except (TypeError, ValueError):
        rate = math.nan
    if not math.isfinite(rate) or rate <= -1:
        raise InvalidArgument(f"risk_free: expected an annual rate above -1, got {risk_free!r}")
    return rate


def _checked_result(result):
    returns = getattr(result, "returns", None)
    records = getattr(result, "records", None)
    if not (isinstance(returns, pd.DataFrame) and isinstance(records, pd.DataFrame)):
        raise InvalidArgument(f"result: expected a RebalanceResult, got {type(result).__name__}")
    if "portfolio" not in returns.columns:
        raise InvalidArgument("result: its returns have no column portfolio")
    return result


def _values(result, risk_free):
    _checked_result(result)
    rate = _check_risk_free(risk_free)
    returns = result.returns
    portfolio = returns["portfolio"].to_numpy(dtype=float)
    benchmark = (
        returns["benchmark"].to_numpy(dtype=float) if "benchmark" in returns.columns else None
    )
    figures = _rebalance.measures(portfolio, benchmark, rate)
    start = pd.Timestamp(result.records.index[0]) if len(result.records) else pd.NaT
    days = returns.index

    def day(position):
        # -1: the value the path started from, on the first rebalance date.
        if position < 0:
            return start
        return days[int(position)]

    values = {"start": start, "end": days[-1] if len(days) else pd.NaT, "days": len(days)}
    values.update(figures)
    for name in _DATES:
        values[name] = day(figures[name])
    if figures["drawdown_trough"] < 0:
        values["drawdown_peak"] = pd.NaT
        values["drawdown_trough"] = pd.NaT
    if figures["drawdown_recovery"] < 0:
        values["drawdown_recovery"] = pd.NaT
    records = result.records
    traded = records.loc[records["status"] != "failed", "turnover"].to_numpy(dtype=float)
    values["rebalances"] = len(records)
    values["average_turnover"] = float(traded.mean()) if len(traded) else math.nan
    values["total_turnover"] = float(traded.sum())
    costs = getattr(result, "costs", None)
    gross = getattr(result, "gross_returns", None)
    values["total_cost"] = float(costs["total"].sum()) if costs is not None else math.nan
    if gross is not None and len(gross):
        values["cost_drag"] = _rebalance.annual_return(
            gross.to_numpy(dtype=float)
        ) - _rebalance.annual_return(portfolio)
    else:
        values["cost_drag"] = math.nan
    held = records.loc[records["status"] != "failed", "holdings"].to_numpy(dtype=float)
    values["average_holdings"] = float(held.mean()) if len(held) else math.nan
    return values


def measures(result, risk_free=0.0):
    """The measures of one backtest: a DataFrame indexed by measure, with its `value`
    and its `unit` (`UNITS` lists them). Returns are of the daily path after costs;
    annualised figures take 252 trading days a year.

    - Sharpe ratio: the mean daily return above the risk-free rate over its standard
      deviation, times the root of 252; Sortino ratio: the same mean over the
      downside deviation (the root mean square of the daily shortfalls below the
      risk-free rate, over all days).
    - Drawdown: the fall of the value from its running peak; the peak it fell from,
      the trough and the first day back at the peak's value. Calmar ratio: the
      annualised return over the maximum drawdown.
    - Active return: the annualised return less the benchmark's; tracking error: the
      annualised standard deviation of the daily active returns; information ratio:
      their annualised mean over the tracking error; hit rate: the share of days the
      portfolio beat the benchmark.
    - Turnover: one-way, from the drifted holding, over the dates that traded. Cost
      drag: the annualised return before costs less the one after them.

    :param result: a `RebalanceResult`
    :param risk_free: the annual risk-free rate of the Sharpe and Sortino ratios
    """
    values = _values(result, risk_free)
    return pd.DataFrame(
        {"value": pd.Series(values, dtype=object).reindex(list(UNITS)), "unit": pd.Series(UNITS)},
        index=pd.Index(list(UNITS), name="measure"),
    )


def compare(results, risk_free=0.0):
    """Several backtests side by side: one column per name of `results` (a mapping of
    name to `RebalanceResult`, as `rebalance_many` returns), then `unit`."""
    if not hasattr(results, "items"):
        raise InvalidArgument(
            f"results: expected a mapping of name to RebalanceResult, got {results!r}"
        )
    table = pd.DataFrame(
        {name: measures(result, risk_free)["value"] for name, result in results.items()}
    )
    table["unit"] = pd.Series(UNITS)
    table.index.name = "measure"
    return table


def _compounded(returns, keys):
    return (1.0 + returns).groupby(keys).prod() - 1.0


def annual_returns(result):
    """The return of each calendar year (a fraction; the first and last years from
    the path's first and to its last day): `portfolio`, and with a benchmark
    `benchmark` and `active` (their difference)."""
    returns = _checked_result(result).returns
    columns = [c for c in ("portfolio", "benchmark") if c in returns.columns]
    table = _compounded(returns[columns], returns.index.year)
    table.index.name = "year"
    if "benchmark" in table.columns:
        table["active"] = table["portfolio"] - table["benchmark"]
    return table


def monthly_returns(result, column="portfolio"):
    """The return of each month (a fraction), years down and months 1-12 across,
    with the year's compounded return in `year`.

    :param column: "portfolio", or with a benchmark "benchmark" or "active" (the
        portfolio's monthly return less the benchmark's)
    """
    returns = _checked_result(result).returns
    allowed = ["portfolio"] + (["benchmark", "active"] if "benchmark" in returns else [])
    if column not in allowed:
        raise InvalidArgument(f"column: expected one of {allowed}, got {column!r}")
    index = returns.index
    keys = [index.year, index.month]
    if column == "active":
        months = _compounded(returns["portfolio"], keys) - _compounded(returns["benchmark"], keys)
        years = annual_returns(result)["active"]
    else:
        months = _compounded(returns[column], keys)
        years = _compounded(returns[column], index.year)
    table = months.unstack(1).reindex(columns=range(1, 13))
    table.index.name = "year"
    table.columns.name = "month"
    table["year"] = years
    return table


def rolling(result, window=ROLLING_WINDOW):
    """Tracking error and information ratio over the last `window` trading days of
    each day (annualised; NaN until the window is full)."""
    if isinstance(window, bool) or not isinstance(window, int) or not 2 <= window < 2**31:
        raise InvalidArgument(f"window: expected a whole number of at least 2, got {window!r}")
    returns = _checked_result(result).returns
    if "active" not in returns.columns:
        return pd.DataFrame(index=returns.index, columns=["tracking_error", "information_ratio"])
    active = returns["active"]
    tracking = active.rolling(window).std() * np.sqrt(TRADING_DAYS)
    ratio = active.rolling(window).mean() * TRADING_DAYS / tracking
    return pd.DataFrame({"tracking_error": tracking, "information_ratio": ratio})
