"""A tour of vantelo on the demo market.

Run it with `make demo`. The first run builds the demo database (a few seconds,
with a progress bar); point tidewell at your own data with `tidewell.set_database`
or the TIDEWELL_DB environment variable and the same code runs on it.
"""

import time
import warnings

import numpy as np
import pandas as pd

import tidewell
from vantelo.constraints import (
    TurnoverLimit,
    WildcardIndustryConstraint,
    wildcard_style_constraint,
)
from vantelo.exception import OptimizerWarning
from vantelo.objective import (
    MaxIndicator,
    MaxInformationRatio,
    MaxSharpeRatio,
    MeanVariance,
    MinStyleDeviation,
    MinTrackingError,
    MinVariance,
    RiskParity,
)
from vantelo.optimize import portfolio_optimize, to_date
from vantelo.report import portfolio_report

DATE = "2025-06-30"
PREVIOUS_REBALANCE = "2025-05-30"
INDEX = "990300.XSHG"
BOUNDS = {"*": (0.0, 0.05)}


def heading(title):
    print()
    print(title)
    print("=" * len(title))


def timed(fn, *args, **kwargs):
    start = time.perf_counter()
    result = fn(*args, **kwargs)
    return result, time.perf_counter() - start


def min_variance_example(pool):
    heading(f"Minimum variance over the {len(pool)} constituents of {INDEX}")
    weights, seconds = timed(portfolio_optimize, pool, DATE, bnds=BOUNDS)
    report = portfolio_report(weights, DATE)
    names = {i.order_book_id: i.symbol for i in tidewell.instruments(list(weights.index))}
    top = weights.sort_values(ascending=False).head(10)
    industries = tidewell.get_industry(list(top.index), DATE)
    table = pd.DataFrame(
        {
            "symbol": [names[c] for c in top.index],
            "industry": industries.reindex(top.index).to_numpy(),
            "weight": top.map("{:.2%}".format),
        },
        index=top.index,
    )
    print(table.to_string())
    print()
    summary = report.summary
    print(f"holdings:                  {int(summary['holdings'])}")
    print(f"ex-ante annual volatility: {summary['volatility']:.2%}")
    print(f"  from the factors:        {summary['factor_volatility']:.2%}")
    print(f"  stock-specific:          {summary['specific_volatility']:.2%}")
    groups = report.factor_contributions.groupby("group")["share"].sum()
    print(
        "share of variance:         "
        + ", ".join(f"{name} {groups[name]:.1%}" for name in ("style", "industry", "specific"))
    )
    print(f"time taken:                {seconds:.3f} s")
    return weights


def constrained_example(pool):
    heading(f"Minimum variance against {INDEX}, with industry, style and turnover limits")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", OptimizerWarning)
        previous = portfolio_optimize(pool, PREVIOUS_REBALANCE, bnds=BOUNDS)
    industry = WildcardIndustryConstraint(lower_limit=-0.05, upper_limit=0.05, relative=True)
    style = wildcard_style_constraint(lower_limit=-0.3, upper_limit=0.3, relative=True)
    turnover = TurnoverLimit(previous, 0.3)
    with warnings.catch_warnings():
        # Industries the pool lacks are reported and skipped; not news here.
        warnings.simplefilter("ignore", OptimizerWarning)
        weights, seconds = timed(
            portfolio_optimize,
            pool,
            DATE,
            bnds=BOUNDS,
            cons=[industry, style, turnover],
            benchmark=INDEX,
        )
    report = portfolio_report(weights, DATE, benchmark=INDEX)
    binding = []
    for name, active in report.industries["active"].items():
        if abs(abs(active) - 0.05) < 1e-3:
            binding.append(f"industry {name:<24} active weight {active:+.2%}")
    for name, active in report.styles["active"].items():
        if abs(abs(active) - 0.3) < 1e-3:
            binding.append(f"style    {name:<24} active exposure {active:+.3f}")
    moved = previous.reindex(weights.index.union(previous.index), fill_value=0.0)
    traded = weights.reindex(moved.index, fill_value=0.0) - moved
    turnover_used = 0.5 * float(np.abs(traded).sum())
    if abs(turnover_used - 0.3) < 1e-3:
        binding.append(f"turnover {turnover_used:.2%} of the limit 30%")
    print("binding constraints:")
    for line in binding or ["(none)"]:
        print("  " + line)
    print()
    summary = report.summary
    print(f"holdings:                  {int(summary['holdings'])}")
    print(f"turnover from the holding: {turnover_used:.2%}")
    print(f"tracking error:            {summary['tracking_error']:.2%}")
    print(f"active share:              {summary['active_share']:.2%}")
    print(f"ex-ante annual volatility: {summary['volatility']:.2%}")
    print("largest contributions to the tracking error:")
    active = report.factor_contributions["active_share"].sort_values(ascending=False)
    for name, share in active.head(3).items():
        print(f"  {name:<24} {share:.1%} of the active variance")
    print(f"time taken:                {seconds:.3f} s")


def objectives_example(pool):
    heading(f"The eight objectives side by side ({len(pool)} stocks, bounds 0-5%)")
    day = to_date(DATE)
    prev = tidewell.get_previous_trading_date(day)
    start = tidewell.trading_date_offset(prev, -252)
    history = tidewell.get_price_change_rate(pool, start, prev).mean() * 252
    momentum = tidewell.get_factor_exposure(pool, day)["momentum"]
    objectives = [
        MinVariance(),
        MeanVariance(),
        RiskParity(),
        MinTrackingError(),
        MaxInformationRatio(),
        MaxSharpeRatio(),
        MaxIndicator(momentum),
        MinStyleDeviation({"size": 0.5, "momentum": 0.5}, relative=True),
    ]
    rows = []
    for objective in objectives:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", OptimizerWarning)
            weights, seconds = timed(
                portfolio_optimize, pool, DATE, objective=objective, bnds=BOUNDS, benchmark=INDEX
            )
        summary = portfolio_report(weights, DATE, benchmark=INDEX).summary
        expected = float(history.reindex(weights.index, fill_value=0.0) @ weights)
        rows.append(
            {
                "objective": type(objective).__name__,
                "expected return": f"{expected:.2%}",
                "volatility": f"{summary['volatility']:.2%}",
                "tracking error": f"{summary['tracking_error']:.2%}",
                "holdings": int(summary["holdings"]),
                "time (s)": f"{seconds:.3f}",
            }
        )
    print(pd.DataFrame(rows).set_index("objective").to_string())
    print()
    print("expected return: the history estimate (mean daily change over a year x 252)")


def main():
    print(f"market data: {tidewell.get_database_path()}")
    pool = sorted(tidewell.index_weights(INDEX, DATE).index)
    min_variance_example(pool)
    constrained_example(pool)
    objectives_example(pool)


if __name__ == "__main__":
    main()
