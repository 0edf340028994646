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
from vantelo.benchmark import IndexBenchmark
from vantelo.const import CovModel, IndustryClassification
from vantelo.constraints import (
    TurnoverLimit,
    WildcardIndustryConstraint,
    wildcard_style_constraint,
)
from vantelo.exception import OptimizerWarning
from vantelo.helper import OptimizeHelper
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
from vantelo.rebalance import rebalance, rebalance_dates

DATE = "2025-06-30"
PREVIOUS_REBALANCE = "2025-05-30"
INDEX = "990300.XSHG"
BOUNDS = {"*": (0.0, 0.05)}
HOLDING = 1e-4


def heading(title):
    print()
    print(title)
    print("=" * len(title))


def timed(fn, *args, **kwargs):
    start = time.perf_counter()
    result = fn(*args, **kwargs)
    return result, time.perf_counter() - start


def risk_context(weights, benchmark=None):
    """The demo's own look at a result: a helper over the result's stocks."""
    return OptimizeHelper(
        list(weights.index), to_date(DATE), benchmark, CovModel.FACTOR_MODEL_DAILY
    )


def volatility(weights, helper):
    return float(np.sqrt(weights.values @ helper.get_cov_matrix() @ weights.values))


def tracking_error(weights, helper):
    active = weights.reindex(helper.union_components, fill_value=0.0) - helper.benchmark_weight
    return float(np.sqrt(active.values @ helper.get_union_cov_matrix() @ active.values))


def min_variance_example(pool):
    heading(f"Minimum variance over the {len(pool)} constituents of {INDEX}")
    weights, seconds = timed(portfolio_optimize, pool, DATE, bnds=BOUNDS)
    helper = risk_context(weights)
    names = {i.order_book_id: i.symbol for i in tidewell.instruments(list(weights.index))}
    industries = helper.get_industry_mapping(IndustryClassification.SWS)
    top = weights.sort_values(ascending=False).head(10)
    table = pd.DataFrame(
        {
            "symbol": [names[c] for c in top.index],
            "industry": [industries[c] for c in top.index],
            "weight": top.map("{:.2%}".format),
        },
        index=top.index,
    )
    print(table.to_string())
    print()
    print(f"holdings:                 {int((weights > HOLDING).sum())}")
    print(f"ex-ante annual volatility: {volatility(weights, helper):.2%}")
    print(f"time taken:               {seconds:.3f} s")
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
    helper = risk_context(weights, index_benchmark())
    binding = []
    mapping = helper.get_industry_mapping(IndustryClassification.SWS)
    portfolio_industry = weights.groupby(mapping.values).sum()
    bench_industry = helper.get_benchmark_industry_weight(IndustryClassification.SWS)
    for name, bench in bench_industry.items():
        active = portfolio_industry.get(name, 0.0) - bench
        if abs(abs(active) - 0.05) < 1e-3:
            binding.append(f"industry {name:<24} active weight {active:+.2%}")
    exposure = helper.get_factor_exposure().T @ weights
    bench_style = helper.get_benchmark_style()
    for name in exposure.index:
        active = exposure[name] - bench_style[name]
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
    print(f"holdings:                  {int((weights > HOLDING).sum())}")
    print(f"turnover from the holding: {turnover_used:.2%}")
    print(f"tracking error:            {tracking_error(weights, helper):.2%}")
    print(f"ex-ante annual volatility: {volatility(weights, helper):.2%}")
    print(f"time taken:                {seconds:.3f} s")


def index_benchmark():
    return IndexBenchmark(INDEX)


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
        helper = risk_context(weights, index_benchmark())
        expected = float(history.reindex(weights.index, fill_value=0.0) @ weights)
        rows.append(
            {
                "objective": type(objective).__name__,
                "expected return": f"{expected:.2%}",
                "volatility": f"{volatility(weights, helper):.2%}",
                "tracking error": f"{tracking_error(weights, helper):.2%}",
                "holdings": int((weights > HOLDING).sum()),
                "time (s)": f"{seconds:.3f}",
            }
        )
    print(pd.DataFrame(rows).set_index("objective").to_string())
    print()
    print("expected return: the history estimate (mean daily change over a year x 252)")


def backtest_example():
    heading("A backtest: two years of month-ends on the 800 index")
    wide = "990800.XSHG"
    dates = rebalance_dates("2024-01-01", "2025-12-31", "M")
    print(
        f"{len(dates)} month-ends from {dates[0]} to {dates[-1]}; minimum tracking error to "
        "the index, bounds 0-1%, industries within 2% and styles within 0.2 of the index, "
        "one-way turnover at most 20% of the drifted holding a month, 10 bp costs"
    )
    result, seconds = timed(
        rebalance,
        dates,
        wide,
        objective=MinTrackingError(),
        bnds={"*": (0.0, 0.01)},
        cons=[
            WildcardIndustryConstraint(lower_limit=-0.02, upper_limit=0.02, relative=True),
            wildcard_style_constraint(lower_limit=-0.2, upper_limit=0.2, relative=True),
            TurnoverLimit({}, 0.2),
        ],
        benchmark=wide,
        cost_bps=10,
        progress=False,
        on_error="record",
    )
    records = result.records
    print(f"solved in {seconds:.1f} s; statuses: {records['status'].value_counts().to_dict()}")
    print(
        records[["holdings", "turnover", "ex_ante_tracking_error"]]
        .tail(4)
        .to_string(float_format=lambda v: f"{v:.4f}")
    )
    print()
    print(result.summary().to_string(float_format=lambda v: f"{v:.4f}"))
    try:
        figure = result.plot()
    except ImportError:
        print("(pip install vantelo[plot] for the picture)")
        return
    figure.savefig("backtest.png", dpi=100)
    print("picture: backtest.png")


def main():
    print(f"market data: {tidewell.get_database_path()}")
    pool = sorted(tidewell.index_weights(INDEX, DATE).index)
    min_variance_example(pool)
    constrained_example(pool)
    objectives_example(pool)
    backtest_example()


if __name__ == "__main__":
    main()
