"""The direct conic back-end beside cvxpy's, and schedules beside the plain loop.

    python benchmarks/direct_bench.py                 # every figure
    python benchmarks/direct_bench.py --cases 1,3     # some of them
    python benchmarks/direct_bench.py --daily 60      # fewer daily dates

Cases (demo market, 2025-06-30 unless said):

1. one call at 800 stocks (the 800 index): minimum variance, bounds 0-5%, every
   industry within +-3% and every style within +-0.2 of the index; the direct
   back-end against the cvxpy back-end, alternating in one process, medians;
2. the same on the whole listed market, each back-end in a fresh process of its
   own (time, and peak memory with the imports);
3. chained month-ends at 800 stocks: minimum tracking error to the 800 index,
   bounds 0-2%, a one-way turnover limit from the drifted holding that the
   optimum reaches on most dates (the count is printed); `rebalance` against the
   plain loop of portfolio_optimize calls with the same drifted holding, each
   loop in a fresh process, in turn, medians of --chained-repeats;
4. independent daily dates at 800 stocks (case 1's problem with bounds 0-2%,
   industries +-2%, styles +-0.25), engine="processes", against the plain loop.

The plain loop is what a user writes by hand: one call per date. It runs twice:
on the path every call took before the direct back-end (cvxpy: the same call with
backend="cvxpy", which is what portfolio_optimize ran), and as portfolio_optimize
runs now. Every line prints the machine's load average beside the figures.
"""

from __future__ import annotations

import argparse
import json
import os
import subprocess
import sys
import time
import warnings

import numpy as np
import pandas as pd

DATE = "2025-06-30"
INDEX = "990800.XSHG"
# The chained case starts from cash (the first date has no turnover to limit) and
# then trades at most this much one-way a month; soft, so that a month whose index
# change forces more (stocks leaving the pool are sold) still gets a portfolio.
TURNOVER = 0.01
BOUND_TOLERANCE = 1e-4


def load():
    return "load {:.2f} {:.2f} {:.2f}".format(*os.getloadavg())


def timed(call):
    started = time.perf_counter()
    value = call()
    return time.perf_counter() - started, value


def single_case(bounds=0.05, industry=0.03, style=0.2):
    from vantelo.constraints import WildcardIndustryConstraint, wildcard_style_constraint
    from vantelo.objective import MinVariance

    return dict(
        objective=MinVariance(),
        bnds={"*": (0.0, bounds)},
        cons=[
            WildcardIndustryConstraint(lower_limit=-industry, upper_limit=industry, relative=True),
            wildcard_style_constraint(lower_limit=-style, upper_limit=style, relative=True),
        ],
        benchmark=INDEX,
    )


def whole_market(date=DATE):
    import tidewell as tw

    return [
        r.order_book_id for r in tw.all_instruments(type="CS", date=date) if r.listed_date < date
    ]


def one_call(pool, backend):
    import vantelo.core

    result = vantelo.core.optimize(pool, DATE, backend=backend, **single_case())
    assert result.status == "solved", result.error
    return result


def single(repeats):
    import tidewell as tw

    pool = list(tw.index_weights(INDEX, DATE).index)
    one_call(pool, "direct")
    one_call(pool, "cvxpy")
    times = {"direct": [], "cvxpy": []}
    for _ in range(repeats):
        for backend in times:
            seconds, result = timed(lambda backend=backend: one_call(pool, backend))
            times[backend].append(seconds)
    direct, cvx = (float(np.median(times[b])) for b in ("direct", "cvxpy"))
    print(
        f"1 one call, 800 stocks: cvxpy {cvx * 1e3:.0f} ms, direct {direct * 1e3:.0f} ms "
        f"({direct / cvx:.2f}x; medians of {repeats}); {load()}"
    )


def market_worker(backend):
    """One whole-market call in this process: its time and the peak memory."""
    import resource

    pool = whole_market()
    first, _ = timed(lambda: one_call(pool, backend))
    second, result = timed(lambda: one_call(pool, backend))
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(
        json.dumps(
            {
                "first": first,
                "second": second,
                "peak": peak,
                "stocks": len(pool),
                "cvxpy": "cvxpy" in sys.modules,
                "value": result.objective_value,
            }
        )
    )


def market(repeats):
    rows = {}
    for backend in ["cvxpy", "direct"] * repeats:
        out = subprocess.run(
            [sys.executable, __file__, "--market-worker", backend],
            check=True,
            capture_output=True,
            text=True,
        )
        figures = json.loads(out.stdout.strip().splitlines()[-1])
        rows.setdefault(backend, []).append(figures)
    cvx = float(np.median([r["second"] for r in rows["cvxpy"]]))
    direct = float(np.median([r["second"] for r in rows["direct"]]))
    peaks = {b: max(r["peak"] for r in rows[b]) for b in rows}
    print(
        f"2 one call, whole market ({rows['direct'][0]['stocks']} stocks): cvxpy {cvx:.3f} s, "
        f"direct {direct:.3f} s ({direct / cvx:.2f}x); peak cvxpy {peaks['cvxpy']:.0f} MB, "
        f"direct {peaks['direct']:.0f} MB (cvxpy loaded: {rows['direct'][0]['cvxpy']}); "
        f"{load()}"
    )


def chained_case(holding):
    from vantelo.constraints import TurnoverLimit
    from vantelo.objective import MinTrackingError

    return dict(
        objective=MinTrackingError(),
        bnds={"*": (0.0, 0.02)},
        cons=[TurnoverLimit(holding, TURNOVER, hard=False)] if holding is not None else [],
        benchmark=INDEX,
    )


def drifted(holding, start, end):
    """`holding` (weights at the close of `start`) at the close of `end`."""
    import tidewell as tw

    after = tw.get_next_trading_date(start)
    if after > end:
        return holding
    rates = tw.get_price_change_rate(list(holding.index), after, end)
    rates = rates.reindex(columns=holding.index).fillna(0.0).to_numpy()
    grown = holding.to_numpy() * np.prod(1.0 + rates, axis=0)
    return pd.Series(grown / grown.sum(), index=holding.index)


def plain_call(backend):
    """portfolio_optimize as it is now ("auto"), or on the cvxpy path it took before."""
    import vantelo.core
    from vantelo.optimize import portfolio_optimize

    if backend == "auto":
        return portfolio_optimize

    def call(pool, date, **case):
        result = vantelo.core.optimize(pool, date, backend=backend, **case)
        if result.status == "failed":
            raise result.error
        return result.weights

    return call


def chained_plain(dates, start, backend):
    import tidewell as tw

    call = plain_call(backend)
    holding, previous, turnover = start, None, []
    for date in dates:
        if previous is not None:
            holding = drifted(holding, previous, date)
        pool = list(tw.index_weights(INDEX, date).index)
        weights = call(pool, date, **chained_case(holding))
        if holding is not None:
            codes = holding.index.union(weights.index)
            change = weights.reindex(codes, fill_value=0) - holding.reindex(codes, fill_value=0)
            turnover.append(0.5 * float(np.abs(change).sum()))
        holding, previous = weights[weights > 1e-6], date
    return turnover


def chained_worker(loop, months):
    """One chained loop in this fresh process, as a user's script runs it once: its
    time (the imports before it), the turnover of each date, the statuses."""
    import cvxpy  # noqa: F401 - imported before the clock, as a script would

    from vantelo.rebalance import rebalance, rebalance_dates

    dates = rebalance_dates("2022-01-04", "2025-12-31", "M")[-months:]
    statuses = {}
    if loop == "mine":
        case = chained_case(pd.Series(dtype=float))
        seconds, result = timed(
            lambda: rebalance(dates, INDEX, engine="serial", progress=False, **case)
        )
        turnover = result.records["turnover"].to_numpy()[1:].tolist()
        statuses = result.records["status"].value_counts().to_dict()
    else:
        seconds, turnover = timed(
            lambda: chained_plain(dates, None, "cvxpy" if loop == "plain" else "auto")
        )
    print(json.dumps({"seconds": seconds, "turnover": turnover, "statuses": statuses}))


def chained(months, repeats):
    """Each loop in a fresh process (the reads and first calls cold, as in a user's
    script), the three in turn `repeats` times (the shared machine's speed drifts
    over a minute): medians of each, and the ratio of the medians."""
    runs = {"plain": [], "now": [], "mine": []}
    for _ in range(repeats):
        for loop in runs:
            out = subprocess.run(
                [sys.executable, __file__, "--chained-worker", loop, "--months", str(months)],
                check=True,
                capture_output=True,
                text=True,
            )
            runs[loop].append(json.loads(out.stdout.strip().splitlines()[-1]))
    plain_s, now_s, mine_s = (
        float(np.median([r["seconds"] for r in runs[k]])) for k in ("plain", "now", "mine")
    )
    binding = int((np.asarray(runs["mine"][0]["turnover"]) >= TURNOVER - BOUND_TOLERANCE).sum())
    plain_binding = int(
        (np.asarray(runs["plain"][0]["turnover"]) >= TURNOVER - BOUND_TOLERANCE).sum()
    )
    ratios = ", ".join(
        f"{p['seconds'] / m['seconds']:.2f}x" for p, m in zip(runs["plain"], runs["mine"])
    )
    print(
        f"3 chained, {months} month-ends, 800 stocks: plain loop {plain_s:.1f} s (cvxpy), "
        f"{now_s:.1f} s (now), rebalance {mine_s:.2f} s ({plain_s / mine_s:.2f}x, "
        f"{now_s / mine_s:.2f}x; medians of {repeats} fresh processes each, each repeat "
        f"{ratios}); the {TURNOVER:.0%} turnover limit binds on {binding} dates (plain "
        f"loop: {plain_binding}); statuses {runs['mine'][0]['statuses']}; {load()}"
    )


def daily(count, workers):
    import tidewell as tw
    from vantelo.rebalance import rebalance

    days = tw.get_trading_dates("2024-01-02", "2025-12-31")[:count]
    case = single_case(bounds=0.02, industry=0.02, style=0.25)

    def plain(backend):
        call = plain_call(backend)
        out = []
        for date in days:
            pool = list(tw.index_weights(INDEX, date).index)
            out.append(call(pool, date, **case))
        return out

    plain_s, weights = timed(lambda: plain("cvxpy"))
    now_s, _ = timed(lambda: plain("auto"))
    mine_s, result = timed(
        lambda: rebalance(days, INDEX, engine="processes", workers=workers, progress=False, **case)
    )
    gaps = [
        float(np.abs(row.reindex(w.index, fill_value=0.0) - w).sum())
        for (_, row), w in zip(result.weights.iterrows(), weights)
    ]
    print(
        f"4 independent, {len(days)} daily dates, 800 stocks, processes ({workers} workers): "
        f"plain loop {plain_s:.1f} s (cvxpy), {now_s:.1f} s (now), rebalance {mine_s:.1f} s "
        f"({plain_s / mine_s:.2f}x, {now_s / mine_s:.2f}x); "
        f"max L1 to the plain loop {max(gaps):.1e}; {load()}"
    )


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--cases", default="1,2,3,4")
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--months", type=int, default=48)
    parser.add_argument("--chained-repeats", type=int, default=3)
    parser.add_argument("--daily", type=int, default=250)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--market-worker", choices=["direct", "cvxpy"])
    parser.add_argument("--chained-worker", choices=["plain", "now", "mine"])
    args = parser.parse_args(argv)
    import vantelo.optimize  # noqa: F401 - it sets its warning filter on import

    warnings.simplefilter("ignore")
    if args.market_worker:
        market_worker(args.market_worker)
        return 0
    if args.chained_worker:
        chained_worker(args.chained_worker, args.months)
        return 0
    print(f"direct back-end benchmark, {time.strftime('%Y-%m-%d %H:%M')}; {load()}")
    cases = set(args.cases.split(","))
    if "1" in cases:
        single(args.repeats)
    if "2" in cases:
        market(max(1, args.repeats // 2))
    if "3" in cases:
        chained(args.months, args.chained_repeats)
    if "4" in cases:
        daily(args.daily, args.workers)
    return 0


if __name__ == "__main__":
    sys.exit(main())
