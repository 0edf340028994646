"""How long explain_infeasibility takes to say why a problem has no solution.

Two problems on the demo market, on two pools: the constituents of the 800 index
(target: 1 s) and the whole listed market (target: 5 s), both against the 800 index.

- "one conflict": 66 constraint objects of which exactly one collides with the rest
  (a cap on the benchmark's largest industry below the floor of the band around
  the benchmark's weight there).
- "several conflicts": five collisions of different kinds at once: a stock's floor
  above its industry's cap (bounds), a cap on the largest industry below its band
  (industry), a size floor far above the benchmark (style), a turnover limit from a
  holding that the bounds forbid (turnover) and a tracking-error budget that none
  of this leaves room for (tracking error).

Each problem is diagnosed once cold (the helper reads the market data) and then
`--repeats` times more; the script prints the times, the conflicts found and the
minimal set, and checks the report independently: every listed limit moved by its
relaxation (and a margin of 1e-4), portfolio_optimize must find a portfolio, with
Clarabel. With `--optimize`, portfolio_optimize's own failure on the problem is
timed too (its solve, then the diagnosis it attaches).

    .venv/bin/python benchmarks/diagnose_bench.py [--repeats 3] [--date 2025-06-30]
        [--pools 800,market] [--cases one,several] [--optimize]
"""

import argparse
import copy
import os
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
    WildcardIndustryConstraint,
    wildcard_style_constraint,
)
from vantelo.diagnose import explain_infeasibility
from vantelo.exception import OptimizationFailed, OptimizerWarning
from vantelo.helper import OptimizeHelper
from vantelo.objective import MinVariance
from vantelo.optimize import CovModel, ensure_order_book_ids, portfolio_optimize, to_date

INDEX = "990800.XSHG"
BOUNDS = {"*": (0.0, 0.05)}
TARGETS = {"800": 1.0, "market": 5.0}
POOL_NAMES = {"800": "800 index", "market": "whole market"}
MARGIN = 1e-4


class ClarabelMinVariance(MinVariance):
    def get_preferred_solver(self):
        return "CLARABEL"


def pools(date):
    index = sorted(tidewell.index_weights(INDEX, date).index)
    listed = [
        r.order_book_id
        for r in tidewell.all_instruments(type="CS", date=date)
        if r.listed_date < date
    ]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", OptimizerWarning)
        return {"800": index, "market": ensure_order_book_ids(listed, date)}


def benchmark_industries(date):
    benchmark = tidewell.index_weights(INDEX, date)
    sectors = tidewell.get_industry(list(benchmark.index), date, IndustryClassification.SWS)
    sectors = sectors.reindex(benchmark.index)
    return benchmark, sectors, benchmark.groupby(sectors.values).sum().sort_values()


def one_conflict(pool, date):
    """66 constraint objects; one absolute cap collides with the band around the
    benchmark's weight in the benchmark's largest industry."""
    helper = OptimizeHelper(pool, to_date(date), None, CovModel.FACTOR_MODEL_DAILY)
    industries = list(helper.get_industry_mapping(IndustryClassification.SWS).unique())
    _, _, by_industry = benchmark_industries(date)
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
    return dict(BOUNDS), cons


def several_conflicts(pool, date):
    """Five collisions of different kinds, among bands that hold."""
    benchmark, sectors, by_industry = benchmark_industries(date)
    smallest, largest = by_industry.index[0], by_industry.index[-1]
    # Bounds: the benchmark's largest holding in its smallest industry is given a
    # floor of 3%, and that industry a cap of 1%.
    in_smallest = benchmark[sectors == smallest].sort_values()
    floored = in_smallest.index[-1]
    # Turnover: a holding of one stock only, which the bounds keep at 5% at most,
    # and a turnover of at most 50% from it.
    held = benchmark[sectors == largest].sort_values().index[-1]
    bnds = dict(BOUNDS)
    bnds[floored] = (0.03, 0.05)
    cons = [
        IndustryConstraint(smallest, upper_limit=0.01),
        # Industry: the largest industry capped 6 points below the benchmark, in a
        # band of 3 points around it.
        IndustryConstraint(largest, upper_limit=float(by_industry[largest]) - 0.06),
        WildcardIndustryConstraint(
            lower_limit=-0.03, upper_limit=0.03, relative=True, exclude=[smallest]
        ),
        # Style: size at least 0.8 above the benchmark's, the other styles in bands.
        StyleConstraint("size", lower_limit=0.8, relative=True),
        wildcard_style_constraint(
            exclude=["size"], lower_limit=-0.5, upper_limit=0.5, relative=True
        ),
        TurnoverLimit({held: 1.0}, 0.5),
        # Tracking error: 1.5% at most.
        TrackingErrorLimit(0.015),
        BenchmarkComponentWeightLimit(0.2),
    ]
    return bnds, cons


CASES = {
    "one": ("one conflict", one_conflict),
    "several": ("several conflicts", several_conflicts),
}


def relaxed(bnds, cons, report):
    """bnds and cons with every listed limit moved by its relaxation and MARGIN;
    None when a listed limit is none the caller sets (full investment)."""
    bnds = dict(bnds)
    cons = list(cons)
    for row in report.conflicts.itertuples():
        step = row.relaxation + MARGIN
        if row.label.startswith("bnds "):
            _, code, side = row.label.split()
            lower, upper = bnds.get(code, bnds["*"])
            bnds[code] = (lower - step, upper) if side == "lower" else (lower, upper + step)
        elif row.constraint is not None and row.constraint in cons:
            moved = copy.copy(row.constraint)
            if row.side == "lower":
                moved.lower = moved.lower - step
            else:
                moved.upper = moved.upper + step
            cons = [moved if c is row.constraint else c for c in cons]
        else:
            return None
    return bnds, cons


def check_relaxed(pool, date, bnds, cons, report):
    """Whether moving the listed limits makes the problem solvable, solved apart."""
    if not report.diagnosed:
        return "no diagnosis: " + report.reason
    moved = relaxed(bnds, cons, report)
    if moved is None:
        return "a listed limit is not the caller's to move"
    try:
        portfolio_optimize(
            pool, date, ClarabelMinVariance(), bnds=moved[0], cons=moved[1], benchmark=INDEX
        )
    except OptimizationFailed as failure:
        return f"still infeasible ({failure})"
    return "solvable"


def time_optimize(pool, date, bnds, cons):
    start = time.perf_counter()
    try:
        portfolio_optimize(pool, date, bnds=bnds, cons=cons, benchmark=INDEX)
    except OptimizationFailed as failure:
        seconds = time.perf_counter() - start
        diagnosis = failure.diagnosis
        what = "no diagnosis" if diagnosis is None else f"{len(diagnosis.conflicts)} conflicts"
        return f"failed after {seconds:.3f} s with its diagnosis ({what})"
    return f"solved in {time.perf_counter() - start:.3f} s (nothing to diagnose)"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=3)
    parser.add_argument("--date", default="2025-06-30")
    parser.add_argument("--pools", default="800,market")
    parser.add_argument("--cases", default="one,several")
    parser.add_argument("--optimize", action="store_true")
    args = parser.parse_args()
    print(f"load average: {' '.join(f'{v:.2f}' for v in os.getloadavg())}")
    available = pools(args.date)
    for pool_key in args.pools.split(","):
        pool = available[pool_key]
        for case_key in args.cases.split(","):
            title, build = CASES[case_key]
            bnds, cons = build(pool, args.date)
            times, cpu = [], []
            with warnings.catch_warnings():
                # Industries of the benchmark that the pool lacks are reported, and the
                # check's solves near a limit may be inaccurate; not news here.
                warnings.simplefilter("ignore")
                for _ in range(1 + args.repeats):
                    start, start_cpu = time.perf_counter(), time.process_time()
                    report = explain_infeasibility(
                        pool, args.date, bnds=bnds, cons=cons, benchmark=INDEX
                    )
                    times.append(time.perf_counter() - start)
                    cpu.append(time.process_time() - start_cpu)
                verdict = check_relaxed(pool, args.date, bnds, cons, report)
                optimized = time_optimize(pool, args.date, bnds, cons) if args.optimize else None
            warm = min(times[1:]) if args.repeats else times[0]
            warm_cpu = min(cpu[1:]) if args.repeats else cpu[0]
            target = TARGETS[pool_key]
            within = "ok" if warm <= target else "over target"
            print(f"{POOL_NAMES[pool_key]}, {title}: {len(pool)} stocks, {len(cons)} objects")
            print(
                f"  cold {times[0]:.3f} s, warm best {warm:.3f} s "
                f"(target {target:.0f} s: {within}); processor time, warm best "
                f"{warm_cpu:.3f} s"
            )
            print(f"  solver: {report.solver}")
            for row in report.conflicts.itertuples():
                print(
                    f"  conflict: {row.label}: limit {row.limit:.4g}, "
                    f"attainable {row.attainable:.4g}, relaxation {row.relaxation:.4g}"
                )
            print(f"  minimal set: {'; '.join(report.minimal_set)}")
            print(f"  every listed limit moved by its relaxation: {verdict}")
            if optimized:
                print(f"  portfolio_optimize: {optimized}")


if __name__ == "__main__":
    main()
