"""A tour of vantelo on the demo market.

Run it with `make demo`. The first run builds the demo database (a few seconds,
with a progress bar); point tidewell at your own data with `tidewell.set_database`
or the TIDEWELL_DB environment variable and the same code runs on it.
"""

import time
import warnings

import pandas as pd

import tidewell
from vantelo.backtest import CostModel, compare
from vantelo.backtest.report import measure_table
from vantelo.constraints import (
    TrackingErrorLimit,
    TurnoverLimit,
    WildcardIndustryConstraint,
    wildcard_style_constraint,
)
from vantelo.diagnose import check_constraints
from vantelo.exception import OptimizationFailed, OptimizerWarning
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
from vantelo.rebalance import rebalance, rebalance_dates, rebalance_many
from vantelo.report import portfolio_report
from vantelo.trading import to_orders, tradable_bounds, trading_status

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
    limits = check_constraints(
        weights, DATE, bnds=BOUNDS, cons=[industry, style, turnover], benchmark=INDEX
    )
    # The solver holds a limit to its accuracy (about 1e-4): within that, it binds.
    near = limits[limits.slack.abs() < 1e-4]
    near = near[~near.label.str.startswith(("bnds ", "full investment"))]
    at_bound = int((limits.label.str.startswith("bnds ") & (limits.slack.abs() < 1e-4)).sum())
    turnover_used = float(limits.value[limits.label == "TurnoverLimit upper"].iloc[0])
    print("binding constraints (besides full investment):")
    for row in near.itertuples():
        print(f"  {row.label:<52} {row.value:+.4f}")
    print(f"  and {at_bound} stocks at one of their own bounds")
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


def diagnosis_example(pool):
    heading("When no portfolio meets the limits: which ones collide, and by how much")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", OptimizerWarning)
        previous = portfolio_optimize(pool, PREVIOUS_REBALANCE, bnds=BOUNDS)
    industry = WildcardIndustryConstraint(lower_limit=-0.03, upper_limit=0.03, relative=True)
    style = wildcard_style_constraint(lower_limit=-0.3, upper_limit=0.3, relative=True)
    cons = [industry, style, TurnoverLimit(previous, 0.3), TrackingErrorLimit(0.02)]
    print("industries within 3% and styles within 0.3 of the index, turnover at most 30%,")
    print("tracking error at most 2%:")
    print()
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", OptimizerWarning)
            portfolio_optimize(pool, DATE, bnds=BOUNDS, cons=cons, benchmark=INDEX)
    except OptimizationFailed as failure:
        report = failure.diagnosis
        # The solver may give up for another reason, and the diagnosis itself may
        # not be possible; the report (or its absence) says which.
        print(report if report is not None else f"the optimisation failed: {failure}")
    else:
        print("(solved: nothing to explain)")
        return
    if report is None or not report.diagnosed:
        return
    # Move each listed limit by its relaxation (and a little more), in the terms
    # its object is given in: a relative band shifts like an absolute one.
    bnds = dict(BOUNDS)
    moved = []
    for row in report.conflicts.itertuples():
        step = row.relaxation + 1e-4
        if row.label.startswith("bnds "):
            _, code, side = row.label.split()
            lower, upper = bnds.get(code, bnds["*"])
            bnds[code] = (lower - step, upper) if side == "lower" else (lower, upper + step)
        elif row.constraint in cons:
            if row.side == "lower":
                row.constraint.lower = row.constraint.lower - step
            else:
                row.constraint.upper = row.constraint.upper + step
        else:
            print(f"({row.label} is no limit of the caller's: left as it is)")
            continue
        moved.append(row.label)
    print()
    print("moved by their relaxations: " + "; ".join(moved))
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", OptimizerWarning)
            weights = portfolio_optimize(pool, DATE, bnds=bnds, cons=cons, benchmark=INDEX)
            table = check_constraints(weights, DATE, bnds=bnds, cons=cons, benchmark=INDEX)
    except OptimizationFailed as failure:
        print(f"the relaxed problem still failed: {failure}")
        return
    print("relaxed as reported, solved; the limits closest to their bounds:")
    closest = table.sort_values("slack").head(6)
    print(closest[["label", "value", "lower", "upper", "slack"]].to_string(index=False))


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


TRADING_DAY = "2025-05-29"  # a day on which some of the index cannot be traded
ACCOUNT = 10_000_000


def trading_example():
    heading(f"A rebalance of {ACCOUNT:,} on {TRADING_DAY}: what the day allows")
    pool = sorted(tidewell.index_weights(INDEX, TRADING_DAY).index)
    status = trading_status(pool, TRADING_DAY)
    # The account as it stands: the index bought the day before in whole lots.
    yesterday = tidewell.get_previous_trading_date(TRADING_DAY)
    start = to_orders(tidewell.index_weights(INDEX, yesterday), yesterday, ACCOUNT)
    shares = start.set_index("order_book_id").target_shares
    value = shares * status.close.reindex(shares.index)
    holding = value / (value.sum() + start.cash_left)
    bounds = {"*": (0.0, 0.02)}
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", OptimizerWarning)
        tradable = tradable_bounds(pool, TRADING_DAY, holding, bounds)
    special = status.suspended | status.limit_up | status.limit_down
    table = status.loc[special, ["suspended", "limit_up", "limit_down", "special_treatment"]]
    table["holding"] = holding.reindex(table.index).map("{:.2%}".format)
    table["bounds"] = ["{:.2%} .. {:.2%}".format(*tradable[c]) for c in table.index]
    print(f"{int(special.sum())} of the {len(pool)} stocks cannot be traded both ways;")
    print(f"their bounds (all others: 0.00% .. {bounds['*'][1]:.2%}):")
    print(table.to_string())
    for warning in caught:
        print(f"warning: {warning.message}")

    weights, seconds = timed(portfolio_optimize, pool, TRADING_DAY, bnds=tradable)
    orders = to_orders(weights, TRADING_DAY, start.cash_left, current_shares=shares)
    trades = orders[orders.side != "hold"]
    print()
    print(f"optimised in {seconds:.3f} s; orders:")
    for side in ("buy", "sell"):
        chosen = trades[trades.side == side]
        print(f"  {side:<4} {len(chosen):>4} orders, {chosen.value.sum():>14,.2f}")
    print(f"  cash before {start.cash_left:,.2f}, after {orders.cash_left:,.2f}")
    print(f"  deviation from the target: {orders.deviation:.4%} (sum of |final - target|)")
    print()
    largest = trades.sort_values("value", ascending=False).head(8)
    print(
        largest[["order_book_id", "side", "order_shares", "price", "value"]].to_string(index=False)
    )
    by_code = orders.set_index("order_book_id")
    frozen = by_code.loc[table.index.intersection(by_code.index)]
    print()
    print("those of them in the orders (the others are neither held nor wanted):")
    percent = "{:.4%}".format
    print(
        frozen[["side", "current_shares", "target_weight", "final_weight"]].to_string(
            formatters={"target_weight": percent, "final_weight": percent}
        )
    )


def backtest_example():
    heading("A backtest: two years of month-ends on the 800 index")
    wide = "990800.XSHG"
    dates = rebalance_dates("2024-01-01", "2025-12-31", "M")
    print(
        f"{len(dates)} month-ends from {dates[0]} to {dates[-1]}; minimum tracking error to "
        "the index, bounds 0-1%, industries within 2% and styles within 0.2 of the index, "
        "one-way turnover at most 20% of the drifted holding a month, and what an A-share "
        "desk pays: commission, stamp duty on sales, transfer fee, market impact"
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
        costs=CostModel(),
        progress=False,
        on_error="record",
    )
    records = result.records
    print(f"solved in {seconds:.1f} s; statuses: {records['status'].value_counts().to_dict()}")
    print(f"returns from {result.returns.index[0].date()} to {result.returns.index[-1].date()}")
    print(
        records[["holdings", "turnover", "cost", "ex_ante_tracking_error"]]
        .tail(4)
        .to_string(float_format=lambda v: f"{v:.4f}")
    )
    print()
    shown = [
        "annualised_return",
        "volatility",
        "sharpe_ratio",
        "max_drawdown",
        "drawdown_trough",
        "active_return",
        "tracking_error",
        "information_ratio",
        "average_turnover",
        "cost_drag",
    ]
    print(measure_table(result.measures().loc[shown]).to_string())
    try:
        figure = result.plot()
    except ImportError:
        print("(pip install vantelo[plot] for the picture)")
        return
    figure.savefig("backtest.png", dpi=100)
    print("picture: backtest.png")


def costs_example():
    heading("Costs that change what is traded: a momentum tilt of the 300 index")
    dates = rebalance_dates("2025-01-01", "2025-06-30", "M")

    def momentum(date):
        pool = list(tidewell.index_weights(INDEX, date).index)
        return MaxIndicator(tidewell.get_factor_exposure(pool, date)["momentum"])

    common = dict(
        universe=INDEX,
        objective=momentum,
        bnds={"*": (0.0, 0.02)},
        cons=[TrackingErrorLimit(0.04)],
        benchmark=INDEX,
        costs=CostModel(),
    )
    print(
        f"{len(dates)} month-ends; the most momentum within 4% tracking error, costs "
        "charged (left) or also minded, the cost of each date's trades weighing 300 "
        "in its objective (right)"
    )
    results, seconds = timed(
        rebalance_many,
        {"costs charged": common, "costs minded": dict(common, cost_penalty=300.0)},
        dates,
        engine="serial",
        progress=False,
    )
    rows = [
        "annualised_return",
        "active_return",
        "information_ratio",
        "average_turnover",
        "total_cost",
        "cost_drag",
    ]
    print(measure_table(compare(results).loc[rows]).to_string())
    print(f"time taken: {seconds:.1f} s")


def main():
    print(f"market data: {tidewell.get_database_path()}")
    pool = sorted(tidewell.index_weights(INDEX, DATE).index)
    min_variance_example(pool)
    constrained_example(pool)
    diagnosis_example(pool)
    objectives_example(pool)
    trading_example()
    backtest_example()
    costs_example()


if __name__ == "__main__":
    main()
