"""Speed of vantelo.trading: tradable_bounds and to_orders on about 5,000 stocks.

    .venv/bin/python benchmarks/trading_bench.py [--repeats 20] [--date 2025-06-30]

Two settings, each timed over --repeats calls after one warm-up call (median and
fastest are printed, in milliseconds):

* demo market: every common stock listed on the date (4,754 on 2025-06-30), the
  day's status read from the demo database as a user's call reads it. tidewell
  keeps a day's status once read, so the repeated calls measure the calls after
  the first of a day; "first on a day" times one call on each of ten days not
  read before;
* stand-ins: exactly 5,000 made-up stocks (boards, prices, about 4% suspended or at
  a limit) served from memory in place of the market-data client, which leaves
  vantelo's own work.

The targets: tradable_bounds under 50 ms, to_orders (whose rounding searches for the
closest whole lots the cash allows) under 100 ms.
"""

import argparse
import statistics
import sys
import time
import types

import numpy as np
import pandas as pd

import tidewell
from vantelo import trading

TARGET_MS = {"tradable_bounds": 50.0, "  first on a day": 50.0, "to_orders": 100.0}


def timed(repeats, fn, *args, **kwargs):
    fn(*args, **kwargs)
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn(*args, **kwargs)
        times.append(1e3 * (time.perf_counter() - start))
    return statistics.median(times), min(times)


def stand_in_status(n, rng):
    board = rng.choice(["main", "chinext", "star"], n, p=[0.75, 0.18, 0.07])
    state = rng.choice(4, n, p=[0.96, 0.015, 0.0125, 0.0125])
    return pd.DataFrame(
        {
            "suspended": state == 1,
            "limit_up": state == 2,
            "limit_down": state == 3,
            "special_treatment": rng.random(n) < 0.03,
            "close": np.round(np.exp(rng.normal(np.log(15), 0.8, n)), 2),
            "board": board,
        },
        index=pd.Index([f"{i:06d}.XSHE" for i in range(n)], name="order_book_id"),
    )


def cases(codes, prices, rng):
    """Arguments for both calls: a holding and a new target over ``codes``."""
    n = len(codes)
    capital = 1e8
    holding = pd.Series(rng.dirichlet(np.ones(n)), index=codes)
    shares = np.floor(holding.values * capital / prices / 100) * 100
    target = pd.Series(rng.dirichlet(np.ones(n)), index=codes)
    return (
        (codes, None, holding, {"*": (0.0, 0.01)}),
        (target, None, 1e6, pd.Series(shares, index=codes)),
    )


def first_calls(dates, pool, holding, bnds):
    """tradable_bounds on days whose status nobody has read yet (one call per day)."""
    times = []
    for day in dates:
        start = time.perf_counter()
        trading.tradable_bounds(pool, day, holding, bnds)
        times.append(1e3 * (time.perf_counter() - start))
    return statistics.median(times), min(times)


def run(label, date, codes, prices, repeats, rng, fresh_dates=()):
    (pool, _, holding, bnds), (target, _, capital, shares) = cases(codes, prices, rng)
    first = first_calls(fresh_dates, pool, holding, bnds) if fresh_dates else None
    bounds = timed(repeats, trading.tradable_bounds, pool, date, holding, bnds)
    orders = timed(repeats, trading.to_orders, target, date, capital, shares)
    result = trading.to_orders(target, date, capital, shares)
    rows = [
        ("tradable_bounds", *bounds, ""),
        (
            "to_orders",
            *orders,
            f"deviation {result.deviation:.4%}, cash left {result.cash_left:,.0f}",
        ),
    ]
    if first is not None:
        rows.insert(1, ("  first on a day", *first, "(the day's status read from the store)"))
    print(f"\n{label}: {len(codes)} stocks on {date}")
    print(f"  {'call':<16} {'median ms':>10} {'fastest ms':>11}  {'':<6}")
    ok = True
    for name, median, fastest, note in rows:
        verdict = "ok" if median < TARGET_MS[name] else "SLOW"
        ok &= median < TARGET_MS[name]
        print(f"  {name:<16} {median:>10.1f} {fastest:>11.1f}  {verdict:<6} {note}")
    return ok


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeats", type=int, default=20)
    parser.add_argument("--date", default="2025-06-30")
    args = parser.parse_args(argv)
    rng = np.random.default_rng(0)

    print(f"market data: {tidewell.get_database_path()}")
    codes = [r.order_book_id for r in tidewell.all_instruments("CS", args.date)]
    prices = tidewell.get_trading_status(codes, args.date).close.reindex(codes).values
    before = tidewell.get_previous_trading_date(args.date, 10)
    fresh = tidewell.get_trading_dates(before, args.date)[:-1]
    ok = run("demo market", args.date, codes, prices, args.repeats, rng, fresh)

    status = stand_in_status(5000, rng)
    real = trading.tidewell
    trading.tidewell = types.SimpleNamespace(
        get_trading_status=lambda ids, date: status.reindex(ids).dropna(subset=["close"])
    )
    try:
        ok &= run(
            "stand-ins", args.date, list(status.index), status.close.values, args.repeats, rng
        )
    finally:
        trading.tidewell = real
    targets = ", ".join(f"{name.strip()} {ms:.0f} ms" for name, ms in TARGET_MS.items())
    print(f"\ntargets (median): {targets}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
