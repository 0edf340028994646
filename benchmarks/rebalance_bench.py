"""Rebalancing over a schedule next to the plain loop of portfolio_optimize calls.

    python benchmarks/rebalance_bench.py                # the three comparisons
    python benchmarks/rebalance_bench.py --daily 40     # fewer daily dates
    python benchmarks/rebalance_bench.py --memory       # memory over 1,000 dates

Cases (demo market, the 800 index 990800.XSHG as universe and benchmark):

1. independent daily rebalances: minimum variance, bounds 0-2%, every industry
   within +-2% of the index, every style within +-0.25 of the index;
2. chained month-end rebalances: minimum tracking error with a one-way turnover
   limit of 20% from the drifted holding;
3. case 1 on a Dask LocalCluster of two worker processes.

The plain loop is what a user writes by hand: one portfolio_optimize call per date
(for case 2 with a TurnoverLimit on the previous weights). Each figure is one run.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
import warnings

import numpy as np
import pandas as pd

import tidewell as tw
from vantelo.constraints import (
    TurnoverLimit,
    WildcardIndustryConstraint,
    wildcard_style_constraint,
)
from vantelo.exception import OptimizerWarning
from vantelo.objective import MinTrackingError, MinVariance
from vantelo.optimize import portfolio_optimize
from vantelo.rebalance import rebalance, rebalance_dates

INDEX = "990800.XSHG"


def independent_case():
    return dict(
        universe=INDEX,
        objective=MinVariance(),
        bnds={"*": (0.0, 0.02)},
        cons=[
            WildcardIndustryConstraint(lower_limit=-0.02, upper_limit=0.02, relative=True),
            wildcard_style_constraint(lower_limit=-0.25, upper_limit=0.25, relative=True),
        ],
        benchmark=INDEX,
    )


def chained_case():
    return dict(
        universe=INDEX,
        objective=MinTrackingError(),
        bnds={"*": (0.0, 0.02)},
        cons=[TurnoverLimit(pd.Series(dtype=float), 0.2)],
        benchmark=INDEX,
    )


def plain_loop(dates, case, chained=False):
    holding = None
    weights = []
    for date in dates:
        pool = list(tw.index_weights(INDEX, date).index)
        cons = case["cons"]
        if chained:
            cons = [TurnoverLimit(holding, 0.2)] if holding is not None else []
        result = portfolio_optimize(
            pool,
            date,
            objective=case["objective"],
            bnds=case["bnds"],
            cons=cons,
            benchmark=case["benchmark"],
        )
        holding = result
        weights.append(result)
    return weights


def one_blas_thread(call):
    """`call()` with BLAS on one thread, as rebalance runs its dates: a fairer plain
    loop where threads of a multi-threaded BLAS cost more than they bring."""
    from threadpoolctl import threadpool_limits

    with threadpool_limits(limits=1, user_api="blas"):
        return call()


def timed(call):
    started = time.perf_counter()
    value = call()
    return time.perf_counter() - started, value


def l1_gap(plain, result):
    """The largest L1 distance, over the dates, between the loop's and rebalance's weights."""
    gaps = []
    for (_, mine), weights in zip(result.weights.iterrows(), plain):
        gaps.append(float(np.abs(mine.reindex(weights.index, fill_value=0.0) - weights).sum()))
    return max(gaps) if gaps else float("nan")


def _import_rebalance():
    import vantelo.rebalance  # noqa: F401

    return os.getpid()


def pool_start_up(workers):
    """Seconds to start the process pool and import vantelo in every worker: what
    engine="processes" pays on each call before the first date."""
    from vantelo._engines import _spawn_pool

    started = time.perf_counter()
    with _spawn_pool(workers) as pool:
        for future in [pool.submit(_import_rebalance) for _ in range(workers)]:
            future.result()
        return time.perf_counter() - started


def row(name, dates, plain_s, mine_s, note=""):
    speedup = plain_s / mine_s if mine_s else float("nan")
    print(f"{name:<44} {dates:>6} {plain_s:>10.1f} {mine_s:>10.1f} {speedup:>8.2f}x  {note}")


def memory(days_wanted):
    """Resident memory of one worker over many dates (the serial engine)."""
    import resource

    days = tw.get_trading_dates("2022-01-04", "2025-12-31")
    dates = days[-days_wanted:] if days_wanted <= len(days) else days
    samples = []

    def universe(date):
        with open("/proc/self/statm") as fh:
            pages = int(fh.read().split()[1])
        samples.append((date, pages * os.sysconf("SC_PAGE_SIZE") / 2**20))
        return list(tw.index_weights("990300.XSHG", date).index)

    started = time.perf_counter()
    result = rebalance(
        dates,
        universe,
        bnds={"*": (0.0, 0.05)},
        engine="serial",
        progress=False,
        on_error="record",
    )
    seconds = time.perf_counter() - started
    rss = pd.Series([mb for _, mb in samples])
    print(f"memory over {len(dates)} dates of the 300 index, serial engine, {seconds:.0f} s:")
    for at in (0, 50, 100, len(rss) // 2, len(rss) - 1):
        print(f"  after {at:>4} dates: {rss.iloc[at]:7.1f} MB resident")
    growth = rss.iloc[-1] - rss.iloc[100]
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(f"  growth after the first 100 dates: {growth:+.1f} MB; peak {peak:.1f} MB")
    print("  failed dates:", int((result.records["status"] == "failed").sum()))


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--daily", type=int, default=250, help="independent daily dates")
    parser.add_argument("--monthly", type=int, default=60, help="chained month-end dates")
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--cases", default="1,2,3", help="which comparisons, e.g. 1,3")
    parser.add_argument("--memory", action="store_true", help="only measure memory")
    parser.add_argument("--memory-dates", type=int, default=1000)
    args = parser.parse_args(argv)
    warnings.simplefilter("ignore", OptimizerWarning)

    if args.memory:
        memory(args.memory_dates)
        return 0

    daily = tw.get_trading_dates("2024-01-02", "2025-12-31")[: args.daily]
    # The demo calendar holds four years: 47 month-ends after its first month.
    monthly = rebalance_dates("2022-01-04", "2025-12-31", "M")[-args.monthly :]
    print(
        "{:<44} {:>6} {:>10} {:>10} {:>9}".format(
            "case", "dates", "plain s", "vantelo s", "speed-up"
        )
    )

    cases = set(args.cases.split(","))

    def processes():
        return timed(
            lambda: rebalance(
                daily,
                engine="processes",
                workers=args.workers,
                progress=False,
                **independent_case(),
            )
        )

    result = mine_s = None
    if "1" in cases:
        plain_s, plain = timed(lambda: plain_loop(daily, independent_case()))
        mine_s, result = processes()
        start_up = pool_start_up(args.workers)
        row(
            "1 daily, independent (processes)",
            len(daily),
            plain_s,
            mine_s,
            f"max L1 to plain {l1_gap(plain, result):.1e}; pool start-up {start_up:.1f} s",
        )
        one_s, _ = timed(lambda: one_blas_thread(lambda: plain_loop(daily, independent_case())))
        row("  the same, plain loop on one BLAS thread", len(daily), one_s, mine_s)

    if "2" in cases:
        chained(monthly, args.workers)

    if "3" in cases:
        if result is None:
            mine_s, result = processes()
        dask(daily, args.workers, mine_s, result)
    return 0


def chained(monthly, workers):
    case = chained_case()
    plain_s, plain = timed(lambda: plain_loop(monthly, case, chained=True))
    chained_s, found = timed(
        lambda: rebalance(monthly, engine="processes", workers=workers, progress=False, **case)
    )
    row(
        "2 monthly, chained, turnover limit",
        len(monthly),
        plain_s,
        chained_s,
        "statuses: {}".format(found.records["status"].value_counts().to_dict()),
    )
    one_s, _ = timed(lambda: one_blas_thread(lambda: plain_loop(monthly, case, chained=True)))
    row("  the same, plain loop on one BLAS thread", len(monthly), one_s, chained_s)


def dask(daily, workers, mine_s, result):
    from distributed import Client, LocalCluster

    with LocalCluster(
        n_workers=workers,
        threads_per_worker=1,
        processes=True,
        host="127.0.0.1",
        # A port of its own: older releases read None as the default 8787, which
        # another cluster on the machine may hold.
        dashboard_address=":0",
    ) as cluster, Client(cluster) as client:
        case = independent_case()
        dask_s, found = timed(lambda: rebalance(daily, engine=client, progress=False, **case))
    same = np.abs(found.weights.to_numpy() - result.weights.to_numpy()).max()
    print(
        "{:<44} {:>6} {:>10.1f} {:>10.1f} {:>8.2f}x  max |w - processes| {:.1e}".format(
            "3 daily on Dask LocalCluster vs processes",
            len(daily),
            mine_s,
            dask_s,
            dask_s / mine_s,
            same,
        )
    )


if __name__ == "__main__":
    sys.exit(main())
