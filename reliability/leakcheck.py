"""Leak check: repeat the public calls many times and watch memory after a warm-up.

    python reliability/leakcheck.py                 # what `make leakcheck` runs
    python reliability/leakcheck.py --calls 2000 --demo-calls 300   # quicker

- constructors: every public constructor of vantelo (accepted and refused
  arguments), each on its own, --calls times;
- functions: the module-level functions of vantelo, likewise;
- portfolio_optimize (stand-ins): with constraints, cycling through every
  objective and through the paths that raise (InvalidArgument,
  OptimizationFailed) and the soft-constraint retry, --calls calls in all,
  against the test stand-ins for the market data;
- portfolio_optimize (demo market): four kinds with the package's own helper and
  tidewell over the demo database (built on first use), --demo-calls calls.

Each run starts with a warm-up (a fifth of its calls), which fills caches; then
memory is sampled 20 times: resident set size (/proc/self/statm), the objects the
garbage collector tracks and the interpreter's allocated memory blocks (which
also count objects the collector does not track, such as a float whose
reference leaked). Caches that fill and empty make these go up and down, so the
measure is the floor: the lowest value of the last third of the samples less the
lowest of the first third. A run fails when, over its measured calls, the floor
of the blocks rises by more than 0.05 per call, that of the collector's objects
by more than 0.01 per call, or that of the resident size by more than 8 MB. A
reference leaked per call is at least one block per call.
"""

import argparse
import datetime
import gc
import os
import sys
import time
import warnings
from pathlib import Path

import cvxpy as cp
import numpy as np
import pandas as pd

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT))
sys.path.insert(0, str(ROOT / "tests"))

import tidewell  # noqa: E402
import vantelo.benchmark as benchmark  # noqa: E402
import vantelo.constraints as constraints  # noqa: E402
import vantelo.objective as objective  # noqa: E402
import vantelo.optimize as optimize  # noqa: E402
from reliability import fuzzing  # noqa: E402
from vantelo.const import CovModel  # noqa: E402
from vantelo.exception import InvalidArgument, OptimizationFailed  # noqa: E402
from vantelo.helper import OptimizeHelper  # noqa: E402

PAGE = os.sysconf("SC_PAGE_SIZE")
SAMPLES = 20
BLOCKS_PER_CALL = 0.05
OBJECTS_PER_CALL = 0.01
RSS_LIMIT_MB = 8.0

POOL = fuzzing.v.CODES
DATE = datetime.date(2024, 6, 28)
RETURNS = pd.Series([0.10, 0.20, 0.05, 0.30, -0.02], index=POOL)
HOLDING = pd.Series({POOL[0]: 0.5, POOL[3]: 0.5})
STYLE = {"beta": 0.1, "size": -0.2}
# What the stand-ins answer: three industries, a benchmark partly outside the pool.
SCENARIO = fuzzing.Scenario(
    helper_options={
        "industries": ["Banks", "Media", "Steel"],
        "benchmark_weights": {POOL[0]: 0.3, POOL[2]: 0.3, fuzzing.v.OUTSIDE: 0.4},
    }
)


def resident_mb():
    with open("/proc/self/statm") as fh:
        return int(fh.read().split()[1]) * PAGE / 2**20


def sample():
    gc.collect()
    return resident_mb(), len(gc.get_objects()), sys.getallocatedblocks()


class Index(benchmark.OptimizeBenchmark):
    """A custom benchmark for the fakes (the fake helper holds its weights)."""


def _expect(error, call):
    try:
        call()
    except error:
        return
    raise AssertionError(f"expected {error.__name__}")


def fake_calls():
    """Calls of portfolio_optimize against the stand-ins, one per objective and path."""
    bench = Index()
    bounds = {"*": (0.02, 0.5)}
    industry = constraints.IndustryConstraint("Banks", upper_limit=0.8)
    return [
        lambda: optimize.portfolio_optimize(POOL, DATE, bnds=bounds, cons=[industry]),
        lambda: optimize.portfolio_optimize(
            POOL, DATE, objective=objective.MeanVariance(RETURNS),
            cons=[constraints.StyleConstraint("beta", -1, 1)]),
        lambda: optimize.portfolio_optimize(
            POOL, DATE, objective=objective.MaxSharpeRatio(RETURNS), bnds=bounds,
            cons=[constraints.TurnoverLimit(HOLDING, 0.5)], benchmark=bench),
        lambda: optimize.portfolio_optimize(POOL, DATE, objective=objective.RiskParity()),
        lambda: optimize.portfolio_optimize(
            POOL, DATE, objective=objective.MinTrackingError(),
            cons=[constraints.TrackingErrorLimit(0.3),
                  constraints.BenchmarkComponentWeightLimit(0.2)], benchmark=bench),
        lambda: optimize.portfolio_optimize(
            POOL, DATE, objective=objective.MaxIndicator(RETURNS), bnds=bounds,
            cons=[constraints.IndustryComponentLimit("Banks", 0.0, 0.9)]),
        lambda: optimize.portfolio_optimize(
            POOL, DATE, objective=objective.MinStyleDeviation(STYLE, priority={"beta": 7}),
            cons=[constraints.WildcardIndustryConstraint(upper_limit=0.9)]),
        lambda: optimize.portfolio_optimize(
            POOL, DATE, objective=objective.MaxInformationRatio(RETURNS), benchmark=bench,
            cons=[constraints.wildcard_style_constraint(lower_limit=-3, upper_limit=3)]),
        # The soft-constraint retry (with its warning), and the two failures.
        lambda: optimize.portfolio_optimize(
            POOL, DATE, bnds={"*": (0, 0.3)},
            cons=[constraints.IndustryConstraint("Banks", lower_limit=0.99, hard=False)]),
        lambda: _expect(OptimizationFailed, lambda: optimize.portfolio_optimize(
            POOL, DATE, bnds={"*": (0, 0.3)},
            cons=[constraints.IndustryConstraint("Banks", lower_limit=0.99)])),
        lambda: _expect(InvalidArgument, lambda: optimize.portfolio_optimize(
            POOL, DATE, bnds={POOL[0]: (0.5, 0.1)})),
        lambda: _expect(InvalidArgument, lambda: optimize.portfolio_optimize(
            POOL, DATE, objective=objective.MaxIndicator(RETURNS * np.nan))),
    ]  # fmt: skip


def demo_calls():
    """Calls of portfolio_optimize with the package's helper over the demo market."""
    pool = [r.order_book_id for r in tidewell.all_instruments("CS", DATE)][:8]
    returns = pd.Series(np.linspace(-0.05, 0.2, len(pool)), index=pool)
    index = "990300.XSHG"
    return [
        lambda: optimize.portfolio_optimize(
            pool, DATE, bnds={"*": (0, 0.3)},
            cons=[constraints.StyleConstraint("size", -2, 2),
                  constraints.WildcardIndustryConstraint(upper_limit=0.6)]),
        lambda: optimize.portfolio_optimize(
            pool, DATE, objective=objective.MeanVariance(returns),
            cons=[constraints.TurnoverLimit(pd.Series(1 / 8, index=pool), 0.5)],
            cov_model="monthly"),
        lambda: optimize.portfolio_optimize(
            pool, DATE, objective=objective.MaxSharpeRatio(), benchmark=index),
        lambda: optimize.portfolio_optimize(
            pool, DATE, objective=objective.MinTrackingError(), benchmark=index,
            cons=[constraints.IndustryConstraint(["banks"], upper_limit="+5%", relative=True)]),
    ]  # fmt: skip


def constructor_calls():
    """Every public constructor, accepted and refused."""
    sws = constraints.IndustryClassification.SWS
    return [
        lambda: objective.OptimizationObjective(),
        lambda: objective.MinVariance(),
        lambda: objective.RiskParity(),
        lambda: objective.MinTrackingError(),
        lambda: objective.MeanVariance(RETURNS, 60, 2.0),
        lambda: _expect(InvalidArgument, lambda: objective.MeanVariance(RETURNS, 60, -1)),
        lambda: objective.MaxSharpeRatio({POOL[0]: 0.1}),
        lambda: _expect(InvalidArgument, lambda: objective.MaxSharpeRatio({1, 2})),
        lambda: objective.MaxInformationRatio(RETURNS, 20),
        lambda: objective.MaxIndicator(RETURNS),
        lambda: objective.MinStyleDeviation(STYLE, True, {"size": 12}),
        lambda: _expect(InvalidArgument, lambda: objective.MinStyleDeviation({"value": 1})),
        lambda: constraints.OptimizationConstraint(),
        lambda: constraints.TrackingErrorLimit("0.05", hard=False),
        lambda: _expect(InvalidArgument, lambda: constraints.TrackingErrorLimit("abc")),
        lambda: constraints.TurnoverLimit(HOLDING, 0.2),
        lambda: _expect(InvalidArgument, lambda: constraints.TurnoverLimit(None, 0.2)),
        lambda: constraints.BenchmarkComponentWeightLimit(0.5),
        lambda: _expect(InvalidArgument, lambda: constraints.BenchmarkComponentWeightLimit(2)),
        lambda: constraints.IndustryConstraint("Banks", "-5%", "+5%", True, sws),
        lambda: _expect(InvalidArgument, lambda: constraints.IndustryConstraint("Banks")),
        lambda: constraints.WildcardIndustryConstraint(["Banks"], 0.01, 0.3),
        lambda: constraints.IndustryComponentLimit("Banks", 0.1, 0.5),
        lambda: constraints.StyleConstraint(["beta", "size"], -1, 1),
        lambda: _expect(InvalidArgument, lambda: constraints.StyleConstraint("value", 0, 1)),
        lambda: constraints.wildcard_style_constraint(["beta"], -1, 1),
        lambda: benchmark.OptimizeBenchmark(),
        lambda: benchmark.IndexBenchmark(fuzzing.v.INDEX),
        lambda: _expect(InvalidArgument, lambda: benchmark.IndexBenchmark(POOL[0])),
        lambda: OptimizeHelper(POOL, DATE, None, CovModel.FACTOR_MODEL_DAILY),
    ]


def function_calls():
    """The module-level functions of vantelo, accepted and refused."""
    bnds = {"*": (0, 0.5), POOL[1]: (None, 0.3)}
    return [
        lambda: optimize.to_enum("monthly", CovModel),
        lambda: _expect(InvalidArgument, lambda: optimize.to_enum("hourly", CovModel)),
        lambda: optimize.to_date("2024-06-28 15:00"),
        lambda: _expect(InvalidArgument, lambda: optimize.to_date(20240628)),
        lambda: optimize.ensure_date_str(pd.Timestamp("2024-06-28")),
        lambda: optimize.ensure_order_book_ids(POOL + [fuzzing.v.FUND], DATE),
        lambda: optimize.ensure_bound("0.25"),
        lambda: _expect(InvalidArgument, lambda: optimize.ensure_bound("x")),
        lambda: optimize.parse_bnds(bnds, POOL),
        lambda: _expect(InvalidArgument, lambda: optimize.parse_bnds({POOL[0]: 0.5}, POOL)),
        lambda: objective.ensure_series({POOL[0]: 1.0}, "x"),
        lambda: constraints.ensure_series([1.0, 2.0], "x"),
        lambda: constraints._ensure_bound("1e-2", "label"),
        lambda: constraints.get_deviation_value(0.2, "-5%"),
        lambda: _expect(InvalidArgument, lambda: constraints.get_deviation_value(0.2, "5%")),
    ]


def measure(calls, iterations, samples=SAMPLES):
    """Calls `calls` in turn `iterations` times; the samples after the warm-up, as rows
    (calls done, RSS MB, gc objects, blocks) of an array allocated beforehand, so
    that keeping them allocates nothing between the first sample and the last."""
    warm_up = max(1, iterations // 5)
    every = max(1, (iterations - warm_up) // (samples - 1))
    table = np.zeros((samples, 4))
    row = 0
    for i in range(iterations):
        calls[i % len(calls)]()
        done = i + 1
        if row < samples and (
            done == warm_up or (done > warm_up and (done - warm_up) % every == 0)
        ):
            table[row] = (done,) + sample()
            row += 1
    return table[:row]


def floor_growth(samples):
    """(calls measured, growth of the floor of RSS, gc objects, blocks)."""
    third = max(1, len(samples) // 3)
    growth = samples[-third:].min(axis=0) - samples[:third].min(axis=0)
    return int(samples[-1, 0] - samples[0, 0]), growth[1], int(growth[2]), int(growth[3])


def verdict(measured, rss, objects, blocks):
    problems = []
    if blocks > BLOCKS_PER_CALL * measured:
        problems.append(f"blocks +{blocks}")
    if objects > OBJECTS_PER_CALL * measured:
        problems.append(f"gc objects +{objects}")
    if rss > RSS_LIMIT_MB:
        problems.append(f"RSS +{rss:.1f} MB")
    return problems


def run_each(title, named_calls, iterations):
    """Each call on its own; one line per call."""
    print(f"\n{title}: each {iterations} times, floor growth after the warm-up")
    print(f"  {'call':<58} {'RSS MB':>7} {'gc obj':>7} {'blocks':>7} {'per call':>9}")
    ok = True
    started = time.perf_counter()
    for name, call in named_calls:
        measured, rss, objects, blocks = floor_growth(measure([call], iterations, samples=10))
        problems = verdict(measured, rss, objects, blocks)
        ok &= not problems
        print(
            f"  {name:<58} {rss:>+7.2f} {objects:>+7d} {blocks:>+7d} "
            f"{blocks / measured:>+9.4f}" + ("  FAIL: " + ", ".join(problems) if problems else "")
        )
    print(f"  {len(named_calls)} calls x {iterations} in {time.perf_counter() - started:.0f} s: "
          + ("OK" if ok else "FAILED"))  # fmt: skip
    return ok


def run_cycle(title, calls, iterations):
    """The calls in turn; the samples and the floor growth."""
    started = time.perf_counter()
    samples = measure(calls, iterations)
    measured, rss, objects, blocks = floor_growth(samples)
    problems = verdict(measured, rss, objects, blocks)
    print(f"\n{title}: {iterations} calls ({len(calls)} kinds in turn) in "
          f"{time.perf_counter() - started:.0f} s, warm-up {int(samples[0, 0])}")  # fmt: skip
    print(f"  {'after call':>10} {'RSS MB':>9} {'gc objects':>11} {'blocks':>10}")
    for i, rss_mb, gc_objects, allocated in samples:
        print(f"  {i:>10.0f} {rss_mb:>9.1f} {gc_objects:>11.0f} {allocated:>10.0f}")
    print(f"  floor growth over {measured} calls: RSS {rss:+.2f} MB, gc objects {objects:+d}, "
          f"blocks {blocks:+d} ({blocks / measured:+.4f} per call): "
          + ("; ".join(problems) if problems else "OK"))  # fmt: skip
    return not problems


def _named(calls):
    """(source text of each lambda, the lambda)."""
    import inspect

    named = []
    for call in calls:
        text = " ".join(inspect.getsource(call).split())
        text = text[text.index("lambda:") + len("lambda:") :].strip().rstrip(",")
        named.append((text[:58], call))
    return named


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=10_000, help="calls per phase")
    parser.add_argument("--demo-calls", type=int, default=1_500,
                        help="calls against the demo market (0 to skip)")  # fmt: skip
    args = parser.parse_args(argv)
    warnings.simplefilter("ignore")
    print(f"python {sys.version.split()[0]}, cvxpy {cp.__version__}, pid {os.getpid()}")
    ok = True
    with fuzzing.installed_fakes():
        fuzzing._current[0] = SCENARIO
        ok &= run_each("constructors", _named(constructor_calls()), args.calls)
        ok &= run_each("functions", _named(function_calls()), args.calls)
        ok &= run_cycle("portfolio_optimize (stand-ins)", fake_calls(), args.calls)
    if args.demo_calls:
        ok &= run_cycle("portfolio_optimize (demo market)", demo_calls(), args.demo_calls)
    print("\nleak check " + ("passed" if ok else "FAILED"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
