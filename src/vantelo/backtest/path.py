"""The pieces of a rebalance's result that concern its path: where the returns end,
what the trades cost, and the description of the strategy a report shows.

`vantelo.rebalance` calls them while it assembles a `RebalanceResult`.
"""

from __future__ import annotations

import math
import numbers

import numpy as np
import pandas as pd

import vantelo.optimize
from vantelo import _rebalance
from vantelo.backtest.costs import COMPONENTS, CostModel
from vantelo.exception import InvalidArgument

__all__ = ["checked_costs", "cost_table", "describe_strategy", "holding_end", "run_path"]


def checked_costs(costs, cost_penalty, cost_bps):
    """`costs` and `cost_penalty` of a strategy, checked against each other and against
    the flat `cost_bps`."""
    if costs is not None and not isinstance(costs, CostModel):
        raise InvalidArgument(f"costs: expected None or a CostModel, got {costs!r}")
    if costs is not None and cost_bps:
        raise InvalidArgument(
            "cost_bps: a CostModel is given in costs; give one or the other "
            f"(cost_bps={cost_bps!r})"
        )
    usable = isinstance(cost_penalty, numbers.Real) and not isinstance(cost_penalty, bool)
    if not (usable and math.isfinite(cost_penalty) and cost_penalty >= 0):
        raise InvalidArgument(
            f"cost_penalty: expected a finite number of at least 0, got {cost_penalty!r}"
        )
    if cost_penalty > 0 and costs is None:
        raise InvalidArgument(
            "cost_penalty: the penalty prices trades with a cost model; pass one in costs"
        )
    return costs, float(cost_penalty)


def holding_end(rows, days, end=None):
    """The position in `days` (the trading days from the first rebalance date to the
    last day of data) where the returns stop: at `end` when given, else one typical
    gap of the schedule (the median of its gaps, in trading days) after the last
    rebalance, where the last target's holding period ends; a schedule of one date
    runs to the last day of data."""
    last = rows[-1]
    if end is not None:
        day = vantelo.optimize.to_date(end)
        calendar = np.asarray(days, dtype="datetime64[D]")
        stop = int(np.searchsorted(calendar, np.datetime64(day, "D"), side="right")) - 1
        if stop < last:
            raise InvalidArgument(
                f"end: {day} is before the last rebalance date {days[last]}; the returns "
                "run at least to it"
            )
        return stop
    if len(rows) < 2:
        return len(days) - 1
    gap = int(round(float(np.median(np.diff(rows)))))
    return min(last + max(gap, 1), len(days) - 1)


def run_path(matrix, rows, rates, start, cost_bps, costs, dates, codes, no_order):
    """The path of the targets `matrix` (dates x codes, NaN rows keep the holding):
    the compiled `backtest_costs` over the cost model (or the flat rate alone)."""
    if costs is None:
        terms = _flat_terms(len(dates), len(codes))
    else:
        terms = costs.path_terms(dates, codes, no_order)
    return _rebalance.backtest_costs(
        matrix, np.asarray(rows, dtype=float), rates, start, cost_bps * 1e-4, terms
    )


def _flat_terms(dates, n):
    zeros = np.zeros(dates)
    return {
        "capital": 1.0,
        "no_order": 0.0,
        "commission": 0.0,
        "minimum": 0.0,
        "impact": 0.0,
        "exponent": 0.5,
        "stamp_buy": zeros,
        "stamp_sell": zeros,
        "transfer": zeros,
        "spread": zeros,
        "traded": np.full((dates, n), np.nan),
    }


def cost_table(costs, dates):
    """Dates x the parts of `COMPONENTS` and their `total`, as shares of the value the
    date traded from."""
    table = pd.DataFrame(costs, index=pd.Index(dates, name="date"), columns=list(COMPONENTS))
    table["total"] = table.sum(axis=1)
    return table


def _text(value):
    if value is None:
        return ""
    if isinstance(value, (list, tuple)):
        return "; ".join(_text(v) for v in value)
    if isinstance(value, dict):
        return ", ".join(f"{k}: {v}" for k, v in value.items())
    if callable(value) and not hasattr(value, "get_objective_expr"):
        return f"{getattr(value, '__name__', type(value).__name__)} (a callable, per date)"
    if isinstance(value, (str, int, float)):
        return str(value)
    text = repr(value)
    # Objects without a repr of their own say only where they live: their class is
    # what a reader can use.
    return type(value).__name__ if text.startswith("<") else text


def describe_strategy(strategy, dates, end_day, cost_bps):
    """(setting, text) pairs that say what a rebalance ran, for its report. `strategy`
    is a mapping of the strategy's settings (those of `rebalance`)."""
    universe = strategy["universe"]
    if isinstance(universe, list):
        universe = f"{len(universe)} codes"
    rows = [
        ("dates", f"{len(dates)}, {dates[0]} to {dates[-1]}"),
        ("returns end", str(end_day)),
        ("universe", _text(universe)),
        ("objective", _text(strategy["objective"])),
        ("bnds", _text(strategy["bnds"])),
        ("cons", _text(strategy["cons"]) or "none"),
        ("benchmark", _text(strategy["benchmark"]) or "none"),
        ("cov_model", _text(getattr(strategy["cov_model"], "value", strategy["cov_model"]))),
        ("trading rules", "yes" if strategy["trading"] else "no"),
    ]
    costs = strategy["costs"]
    if costs is None:
        rows.append(("costs", f"{cost_bps:g} bp of the one-way turnover"))
    else:
        rows += [(f"costs: {name}", text) for name, text in costs.describe()]
        rows.append(("cost penalty", f"{strategy['cost_penalty']:g}"))
    return rows
