"""How long portfolio_report takes on the whole market (target: under 0.5 s).

    .venv/bin/python benchmarks/report_bench.py [--date 2025-06-30] [--repeats 5]

The portfolio holds every listed stock (random weights), against the 800 index,
so the active side runs over the union of both. Each run builds its own helper
(market data read from the store, as a user's call does); the first run, which
also warms the store's caches, is reported apart. It also reports the largest
array the report's arithmetic allocates, to show that no n x n matrix is formed.
"""

import argparse
import statistics
import time
import tracemalloc

import numpy as np
import pandas as pd

import tidewell
from vantelo.report import portfolio_report

TARGET_SECONDS = 0.5


def whole_market(date, seed=0):
    codes = [r.order_book_id for r in tidewell.all_instruments("CS", date)]
    weights = np.random.default_rng(seed).uniform(size=len(codes))
    return pd.Series(weights / weights.sum(), index=codes)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--date", default="2025-06-30")
    parser.add_argument("--benchmark", default="990800.XSHG")
    parser.add_argument("--repeats", type=int, default=5)
    args = parser.parse_args()

    weights = whole_market(args.date)
    n = len(weights)
    start = time.perf_counter()
    portfolio_report(weights, args.date, benchmark=args.benchmark)
    first = time.perf_counter() - start

    times = []
    for _ in range(args.repeats):
        start = time.perf_counter()
        report = portfolio_report(weights, args.date, benchmark=args.benchmark)
        times.append(time.perf_counter() - start)

    tracemalloc.start()
    portfolio_report(weights, args.date, benchmark=args.benchmark)
    _, peak = tracemalloc.get_traced_memory()
    tracemalloc.stop()
    dense = n * n * 8

    median = statistics.median(times)
    rows = [
        ("first call (store caches cold)", f"{first:.3f} s"),
        (f"median of {args.repeats} calls", f"{median:.3f} s (best {min(times):.3f} s)"),
        ("target", f"{TARGET_SECONDS:.3f} s: " + ("met" if median < TARGET_SECONDS else "MISSED")),
        ("peak memory traced in one call", f"{peak / 2**20:.1f} MB"),
        ("one n x n float matrix", f"{dense / 2**20:.1f} MB (never formed)"),
        ("volatility", f"{report.summary['volatility']:.2%}"),
        ("tracking error", f"{report.summary['tracking_error']:.2%}"),
    ]
    print(f"portfolio_report, whole market: {n} stocks against {args.benchmark} on {args.date}")
    for label, value in rows:
        print(f"  {label + ':':<32} {value}")


if __name__ == "__main__":
    main()
