"""How long explain_infeasibility takes to say why a problem has no solution.

Two problems on the demo market, each with 66 constraint objects of which exactly
one collides with the rest (a cap on the largest industry below the floor of the band
around the benchmark's weight there): the constituents of the 800 index (target: 1 s) and the whole
listed market (target: 5 s). Each is diagnosed once cold (the helper reads the market
data) and then `--repeats` times more; the script prints the times, the conflict
found and the minimal set.

    .venv/bin/python benchmarks/diagnose_bench.py [--repeats 3] [--date 2025-06-30]
"""

import argparse
import time
import warnings

import tidewell
from vantelo.const import STYLE_FACTORS, IndustryClassification
from vantelo.constraints import (
    BenchmarkComponentWeightLimit,
    IndustryConstraint,
    StyleConstraint,
    TrackingErrorLimit,
    TurnoverLimit,
)
from vantelo.diagnose import explain_infeasibility
from vantelo.exception import OptimizerWarning
from vantelo.helper import OptimizeHelper
from vantelo.optimize import CovModel, ensure_order_book_ids, to_date

INDEX = "990800.XSHG"
BOUNDS = {"*": (0.0, 0.05)}
TARGETS = {"800 index": 1.0, "whole market": 5.0}


def pools(date):
    index = sorted(tidewell.index_weights(INDEX, date).index)
    listed = [
        r.order_book_id
        for r in tidewell.all_instruments(type="CS", date=date)
        if r.listed_date < date
    ]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", OptimizerWarning)
        return {"800 index": index, "whole market": ensure_order_book_ids(listed, date)}


def constraints(pool, date):
    """66 constraint objects; one absolute cap collides with the band around the
    benchmark's weight in the benchmark's largest industry."""
    helper = OptimizeHelper(pool, to_date(date), None, CovModel.FACTOR_MODEL_DAILY)
    industries = list(helper.get_industry_mapping(IndustryClassification.SWS).unique())
    benchmark = tidewell.index_weights(INDEX, date)
    sectors = tidewell.get_industry(list(benchmark.index), date, IndustryClassification.SWS)
    by_industry = benchmark.groupby(sectors.reindex(benchmark.index).values).sum()
    largest = by_industry.idxmax()
    cons = [IndustryConstraint(largest, upper_limit=float(by_industry[largest]) - 0.05)]
    cons += [TrackingErrorLimit(0.05)]
    cons += [
        IndustryConstraint(name, lower_limit=-0.03, upper_limit=0.03, relative=True)
        for name in industries
    ]
    cons += [
        StyleConstraint(style, lower_limit=-0.5, upper_limit=0.5, relative=True)
        for style in STYLE_FACTORS
    ]
    cons += [StyleConstraint(style, lower_limit=-3, upper_limit=3) for style in STYLE_FACTORS]
    holding = tidewell.index_weights("990300.XSHG", date)
    cons += [TurnoverLimit(holding, 0.9), BenchmarkComponentWeightLimit(0.2)]
    # Caps no portfolio near the benchmark reaches, to make up the count.
    for name in industries:
        if len(cons) == 66:
            break
        cons.append(IndustryConstraint(name, upper_limit=0.5))
    return cons


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--date", default="2025-06-30")
    args = parser.parse_args()
    for name, pool in pools(args.date).items():
        cons = constraints(pool, args.date)
        times = []
        for _ in range(1 + args.repeats):
            start = time.perf_counter()
            with warnings.catch_warnings():
                # Industries of the benchmark that the pool lacks are reported; not news.
                warnings.simplefilter("ignore", OptimizerWarning)
                report = explain_infeasibility(
                    pool, args.date, bnds=BOUNDS, cons=cons, benchmark=INDEX
                )
            times.append(time.perf_counter() - start)
        warm = min(times[1:]) if args.repeats else times[0]
        verdict = "ok" if warm <= TARGETS[name] else "over target"
        print(f"{name}: {len(pool)} stocks, {len(cons)} constraint objects")
        target = TARGETS[name]
        print(
            f"  cold {times[0]:.3f} s, warm best {warm:.3f} s (target {target:.0f} s: {verdict})"
        )
        for row in report.conflicts.itertuples():
            print(
                f"  conflict: {row.label}: limit {row.limit:.4g}, "
                f"attainable {row.attainable:.4g}, relaxation {row.relaxation:.4g}"
            )
        print(f"  minimal set: {'; '.join(report.minimal_set)}")


if __name__ == "__main__":
    main()
