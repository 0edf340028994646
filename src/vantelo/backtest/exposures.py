"""What each date of a rebalance held, besides its weights: its style and industry
exposures against the benchmark and the limits that bound it.

`date_exposures` runs in the worker that solved the date, on the result of its solve
(the risk model and the data already read); the exposures come from the portfolio
report's own tables (`vantelo.report.style_exposures`, `industry_weights`) and the
limits from the result's own measure of them (`OptimizationResult.limits`, the
constraint check's table).
`exposure_table` gathers the dates into one table.
"""

from __future__ import annotations

import numpy as np
import pandas as pd

import vantelo.report
from vantelo.const import IndustryClassification

__all__ = ["BINDING_TOLERANCE", "date_exposures", "exposure_table"]

# The solver holds a limit to about this accuracy: in a backtest a limit within it
# of its bound is binding (the constraint check's own `binding` is exact, 1e-6).
BINDING_TOLERANCE = 1e-4
# Limits that bind on almost every date and say little about the strategy: full
# investment, and each stock's own bounds (counted, not listed).
_OWN_BOUND = "bnds "
_ALWAYS = ("full investment",)


def date_exposures(result, with_benchmark):
    """The record fields of one solved date, from its `vantelo.core.OptimizationResult`.

    `active_styles` and `active_industries` (dicts by name: the portfolio's exposure
    less the benchmark's; the portfolio's own without a benchmark), `binding` (the
    labels of the limits within `BINDING_TOLERANCE` of a bound, the stocks' own
    bounds left out) and `at_bounds` (how many stocks sit at one of their bounds).
    """
    column = "active" if with_benchmark else "portfolio"
    helper, weights = result.helper, result.weights
    styles = vantelo.report.style_exposures(helper, weights, with_benchmark)
    industries = vantelo.report.industry_weights(
        helper, weights, IndustryClassification.SWS, with_benchmark
    )
    table = result.limits
    labels = table["label"].tolist()
    near = np.flatnonzero(np.abs(table["slack"].to_numpy()) <= BINDING_TOLERANCE)
    own = [labels[i] for i in near if labels[i].startswith(_OWN_BOUND)]
    binding = [
        labels[i]
        for i in near
        if not labels[i].startswith(_OWN_BOUND) and labels[i] not in _ALWAYS
    ]
    return {
        "active_styles": styles[column].astype(float).to_dict(),
        "active_industries": industries[column].astype(float).to_dict(),
        "binding": "; ".join(binding),
        "at_bounds": len(own),
    }


def exposure_table(records, dates):
    """Dates x (group, name): the `active_styles` and `active_industries` that the
    dates' records carry, taken out of them; NaN where a date has none."""
    rows = []
    names = {}
    for record in records:
        row = {}
        for group, key in (("style", "active_styles"), ("industry", "active_industries")):
            for name, value in (record.pop(key, None) or {}).items():
                row[(group, name)] = value
                names.setdefault((group, name), None)
        rows.append(row)
    columns = sorted(names, key=lambda column: column[0] != "style")
    values = np.full((len(rows), len(columns)), np.nan)
    position = {column: j for j, column in enumerate(columns)}
    for i, row in enumerate(rows):
        if row:
            # A date that measured its exposures and lacks a name holds none of it
            # (an industry neither side holds); a date without any measured nothing.
            values[i] = 0.0
            for column, value in row.items():
                values[i, position[column]] = value
    table = pd.DataFrame(
        values,
        index=pd.Index(list(dates), name="date"),
        columns=pd.MultiIndex.from_tuples(columns, names=["group", "name"])
        if columns
        else pd.Index([]),
    )
    return table.astype(float)
