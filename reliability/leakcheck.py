"""Leak check: repeat the public calls many times and watch memory after a warm-up.

    python -m reliability.leakcheck                 # what `make leakcheck` runs
    python -m reliability.leakcheck --calls 2000 --demo-calls 300   # quicker

- constructors: every public constructor of vantelo (accepted and refused
  arguments), each on its own, --calls times;
- functions: the module-level functions of vantelo, likewise;
- tidewell: every public call of the market-data client (accepted and refused
  arguments) over a small store, each on its own, half --calls times (an import
  a fiftieth, judged at 0.5 blocks per call: it writes a database);
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

import cvxpy as cp
import numpy as np
import pandas as pd

import tidewell
import vantelo.backtest as backtest
import vantelo.benchmark as benchmark
import vantelo.constraints as constraints
import vantelo.core as core
import vantelo.diagnose as diagnose
import vantelo.objective as objective
import vantelo.optimize as optimize
import vantelo.report as report
import vantelo.trading as trading
from reliability import fakes, store
from reliability import values as v
from reliability.standins import FakeHelper
from vantelo import _rebalance as rebalance_core
from vantelo import _report as report_core
from vantelo.const import CovModel
from vantelo.exception import InvalidArgument, OptimizationFailed
from vantelo.helper import OptimizeHelper
from vantelo.rebalance import RebalanceResult
from vantelo.risk import RiskModel

PAGE = os.sysconf("SC_PAGE_SIZE")
SAMPLES = 20
BLOCKS_PER_CALL = 0.05
RARE_BLOCKS_PER_CALL = 0.5  # still half of what a reference leaked per call adds
OBJECTS_PER_CALL = 0.01
RSS_LIMIT_MB = 8.0

POOL = v.CODES
DATE = datetime.date(2024, 6, 28)
RETURNS = pd.Series([0.10, 0.20, 0.05, 0.30, -0.02], index=POOL)
HOLDING = pd.Series({POOL[0]: 0.5, POOL[3]: 0.5})
STYLE = {"beta": 0.1, "size": -0.2}
# What the stand-ins answer: three industries, a benchmark partly outside the pool.
SCENARIO = fakes.Scenario(
    helper_options={
        "industries": ["Banks", "Media", "Steel"],
        "benchmark_weights": {POOL[0]: 0.3, POOL[2]: 0.3, v.OUTSIDE: 0.4},
    }
)


def _path():
    """A backtest's result of 60 days against a benchmark, for the measures. Made anew
    for each call: pandas keeps a reference to every view of a long-lived frame until
    it next sweeps them, which would read as growth here."""
    days = pd.bdate_range("2024-01-02", periods=60)
    wave = np.sin(np.arange(60)) / 100
    return RebalanceResult(
        pd.DataFrame(),
        pd.DataFrame(
            {"status": ["ok"], "turnover": [1.0], "holdings": [5]},
            index=pd.Index([datetime.date(2023, 12, 29)], name="date"),
        ),
        pd.DataFrame(
            {"portfolio": wave, "benchmark": np.full(60, 0.001), "active": wave - 0.001},
            index=days,
        ),
    )


# A cost model of one date over five stocks, as the rebalance kernels read it.
_ORDER_TERMS = dict(
    commission=2.5e-4,
    minimum=5.0,
    stamp_buy=0.0,
    stamp_sell=5e-4,
    transfer=1e-5,
    spread=5e-4,
    impact=3e-3,
    exponent=0.5,
)
_COST_MODEL = dict(
    _ORDER_TERMS,
    capital=1e7,
    no_order=1e-6,
    **{k: np.full(1, _ORDER_TERMS[k]) for k in ("stamp_buy", "stamp_sell", "transfer", "spread")},
    traded=np.full((1, 5), 1e8),
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


def rarely(call, share):
    """`call`, made only `share` of the times the others are (it is slow), and judged at
    RARE_BLOCKS_PER_CALL: over fewer calls, caches filling weigh more per call."""
    call.share = share
    call.blocks_per_call = RARE_BLOCKS_PER_CALL
    return call


# The registry: every phase below is a list of (public name, call), one line per call,
# accepted and refused arguments. Each public name of a compiled module and of tidewell
# needs at least one line (tests/test_reliability.py checks it); `covered()` lists them.


def fake_calls():
    """Calls of portfolio_optimize against the stand-ins, one per objective and path."""
    bench = Index()
    bounds = {"*": (0.02, 0.5)}
    industry = constraints.IndustryConstraint("Banks", upper_limit=0.8)
    name = "optimize.portfolio_optimize"
    return [
        (name, lambda: optimize.portfolio_optimize(POOL, DATE, bnds=bounds, cons=[industry])),
        (name, lambda: optimize.portfolio_optimize(
            POOL, DATE, objective=objective.MeanVariance(RETURNS),
            cons=[constraints.StyleConstraint("beta", -1, 1)])),
        (name, lambda: optimize.portfolio_optimize(
            POOL, DATE, objective=objective.MaxSharpeRatio(RETURNS), bnds=bounds,
            cons=[constraints.TurnoverLimit(HOLDING, 0.5)], benchmark=bench)),
        (name, lambda: optimize.portfolio_optimize(POOL, DATE, objective=objective.RiskParity())),
        (name, lambda: optimize.portfolio_optimize(
            POOL, DATE, objective=objective.MinTrackingError(),
            cons=[constraints.TrackingErrorLimit(0.3),
                  constraints.BenchmarkComponentWeightLimit(0.2)], benchmark=bench)),
        (name, lambda: optimize.portfolio_optimize(
            POOL, DATE, objective=objective.MaxIndicator(RETURNS), bnds=bounds,
            cons=[constraints.IndustryComponentLimit("Banks", 0.0, 0.9)])),
        (name, lambda: optimize.portfolio_optimize(
            POOL, DATE, objective=objective.MinStyleDeviation(STYLE, priority={"beta": 7}),
            cons=[constraints.WildcardIndustryConstraint(upper_limit=0.9)])),
        (name, lambda: optimize.portfolio_optimize(
            POOL, DATE, objective=objective.MaxInformationRatio(RETURNS), benchmark=bench,
            cons=[constraints.wildcard_style_constraint(lower_limit=-3, upper_limit=3)])),
        # The soft-constraint retry (with its warning), and the two failures.
        (name, lambda: optimize.portfolio_optimize(
            POOL, DATE, bnds={"*": (0, 0.3)},
            cons=[constraints.IndustryConstraint("Banks", lower_limit=0.99, hard=False)])),
        (name, lambda: _expect(OptimizationFailed, lambda: optimize.portfolio_optimize(
            POOL, DATE, bnds={"*": (0, 0.3)},
            cons=[constraints.IndustryConstraint("Banks", lower_limit=0.99)]))),
        (name, lambda: _expect(InvalidArgument, lambda: optimize.portfolio_optimize(
            POOL, DATE, bnds={POOL[0]: (0.5, 0.1)}))),
        (name, lambda: _expect(InvalidArgument, lambda: optimize.portfolio_optimize(
            POOL, DATE, objective=objective.MaxIndicator(RETURNS * np.nan)))),
    ]  # fmt: skip


def demo_calls():
    """Calls over the demo market, with the package's helper: portfolio_optimize and the
    report."""
    pool = [r.order_book_id for r in tidewell.all_instruments("CS", DATE)][:8]
    returns = pd.Series(np.linspace(-0.05, 0.2, len(pool)), index=pool)
    index = "990300.XSHG"
    name = "optimize.portfolio_optimize"
    equal = pd.Series(1 / len(pool), index=pool)
    return [
        ("report.portfolio_report", lambda: report.portfolio_report(equal, DATE, index)),
        ("report.portfolio_report",
         lambda: _expect(InvalidArgument, lambda: report.portfolio_report({}, DATE))),
        ("report.clean_weights", lambda: report.clean_weights(equal, 0.01, 3)),
        ("_report.resolved_benchmark", lambda: report_core.resolved_benchmark(index)),
        ("_report.resolved_benchmark", lambda: _expect(
            InvalidArgument, lambda: report_core.resolved_benchmark(pool[0]))),
        (name, lambda: optimize.portfolio_optimize(
            pool, DATE, bnds={"*": (0, 0.3)},
            cons=[constraints.StyleConstraint("size", -2, 2),
                  constraints.WildcardIndustryConstraint(upper_limit=0.6)])),
        (name, lambda: optimize.portfolio_optimize(
            pool, DATE, objective=objective.MeanVariance(returns),
            cons=[constraints.TurnoverLimit(pd.Series(1 / 8, index=pool), 0.5)],
            cov_model="monthly")),
        (name, lambda: optimize.portfolio_optimize(
            pool, DATE, objective=objective.MaxSharpeRatio(), benchmark=index)),
        (name, lambda: optimize.portfolio_optimize(
            pool, DATE, objective=objective.MinTrackingError(), benchmark=index,
            cons=[constraints.IndustryConstraint(["banks"], upper_limit="+5%", relative=True)])),
    ]  # fmt: skip


def constructor_calls():
    """Every public constructor, accepted and refused."""
    sws = constraints.IndustryClassification.SWS
    return [
        ("objective.OptimizationObjective", lambda: objective.OptimizationObjective()),
        ("objective.MinVariance", lambda: objective.MinVariance()),
        ("objective.RiskParity", lambda: objective.RiskParity()),
        ("objective.MinTrackingError", lambda: objective.MinTrackingError()),
        ("objective.MeanVariance", lambda: objective.MeanVariance(RETURNS, 60, 2.0)),
        ("objective.MeanVariance",
         lambda: _expect(InvalidArgument, lambda: objective.MeanVariance(RETURNS, 60, -1))),
        ("objective.MaxSharpeRatio", lambda: objective.MaxSharpeRatio({POOL[0]: 0.1})),
        ("objective.MaxSharpeRatio",
         lambda: _expect(InvalidArgument, lambda: objective.MaxSharpeRatio({1, 2}))),
        ("objective.MaxInformationRatio", lambda: objective.MaxInformationRatio(RETURNS, 20)),
        ("objective.MaxIndicator", lambda: objective.MaxIndicator(RETURNS)),
        ("objective.MinStyleDeviation",
         lambda: objective.MinStyleDeviation(STYLE, True, {"size": 12})),
        ("objective.MinStyleDeviation",
         lambda: _expect(InvalidArgument, lambda: objective.MinStyleDeviation({"value": 1}))),
        ("constraints.OptimizationConstraint", lambda: constraints.OptimizationConstraint()),
        ("constraints.TrackingErrorLimit",
         lambda: constraints.TrackingErrorLimit("0.05", hard=False)),
        ("constraints.TrackingErrorLimit",
         lambda: _expect(InvalidArgument, lambda: constraints.TrackingErrorLimit("abc"))),
        ("constraints.TurnoverLimit", lambda: constraints.TurnoverLimit(HOLDING, 0.2)),
        ("constraints.TurnoverLimit",
         lambda: _expect(InvalidArgument, lambda: constraints.TurnoverLimit(None, 0.2))),
        ("constraints.BenchmarkComponentWeightLimit",
         lambda: constraints.BenchmarkComponentWeightLimit(0.5)),
        ("constraints.BenchmarkComponentWeightLimit",
         lambda: _expect(InvalidArgument, lambda: constraints.BenchmarkComponentWeightLimit(2))),
        ("constraints.IndustryConstraint",
         lambda: constraints.IndustryConstraint("Banks", "-5%", "+5%", True, sws)),
        ("constraints.IndustryConstraint",
         lambda: _expect(InvalidArgument, lambda: constraints.IndustryConstraint("Banks"))),
        ("constraints.WildcardIndustryConstraint",
         lambda: constraints.WildcardIndustryConstraint(["Banks"], 0.01, 0.3)),
        ("constraints.IndustryComponentLimit",
         lambda: constraints.IndustryComponentLimit("Banks", 0.1, 0.5)),
        ("constraints.StyleConstraint",
         lambda: constraints.StyleConstraint(["beta", "size"], -1, 1)),
        ("constraints.StyleConstraint",
         lambda: _expect(InvalidArgument, lambda: constraints.StyleConstraint("value", 0, 1))),
        ("constraints.wildcard_style_constraint",
         lambda: constraints.wildcard_style_constraint(["beta"], -1, 1)),
        ("benchmark.OptimizeBenchmark", lambda: benchmark.OptimizeBenchmark()),
        ("benchmark.IndexBenchmark", lambda: benchmark.IndexBenchmark(v.INDEX)),
        ("benchmark.IndexBenchmark",
         lambda: _expect(InvalidArgument, lambda: benchmark.IndexBenchmark(POOL[0]))),
        ("helper.OptimizeHelper",
         lambda: OptimizeHelper(POOL, DATE, None, CovModel.FACTOR_MODEL_DAILY)),
        ("risk.RiskModel", lambda: RiskModel(pd.DataFrame(
            np.eye(len(POOL)), index=POOL, columns=POOL)).volatility({POOL[0]: 1.0})),
        ("risk.RiskModel", lambda: RiskModel(
            exposures=pd.DataFrame(np.ones((len(POOL), 1)), index=POOL, columns=["beta"]),
            factor_covariance=np.eye(1), specific_variance=np.full(len(POOL), 0.01),
        ).subset(POOL[:2]).covariance()),
        ("risk.RiskModel", lambda: _expect(InvalidArgument, lambda: RiskModel(
            pd.DataFrame(-np.eye(2), index=POOL[:2], columns=POOL[:2])))),
    ]  # fmt: skip


def fake_helper_class(pool, *args, **kwargs):
    return FakeHelper(pool)


def function_calls():
    """The module-level functions of vantelo, accepted and refused."""
    bnds = {"*": (0, 0.5), POOL[1]: (None, 0.3)}
    factor_helper = FakeHelper(POOL, factor_form=True)
    return [
        ("core.optimize", lambda: core.optimize(
            POOL, DATE, bnds={"*": (0, 0.5)}, helper_class=fake_helper_class).volatility),
        ("core.optimize", lambda: core.optimize(
            POOL, DATE, bnds={"*": (0, 0.3)}, cons=[constraints.IndustryConstraint(
                "A", upper_limit=0.5)], helper_class=fake_helper_class).status),
        ("optimize.to_enum", lambda: optimize.to_enum("monthly", CovModel)),
        ("optimize.to_enum",
         lambda: _expect(InvalidArgument, lambda: optimize.to_enum("hourly", CovModel))),
        ("optimize.to_date", lambda: optimize.to_date("2024-06-28 15:00")),
        ("optimize.to_date",
         lambda: _expect(InvalidArgument, lambda: optimize.to_date(20240628))),
        ("optimize.ensure_date_str",
         lambda: optimize.ensure_date_str(pd.Timestamp("2024-06-28"))),
        ("optimize.ensure_order_book_ids",
         lambda: optimize.ensure_order_book_ids(POOL + [v.FUND], DATE)),
        ("optimize.ensure_bound", lambda: optimize.ensure_bound("0.25")),
        ("optimize.ensure_bound",
         lambda: _expect(InvalidArgument, lambda: optimize.ensure_bound("x"))),
        ("optimize.parse_bnds", lambda: optimize.parse_bnds(bnds, POOL)),
        ("optimize.parse_bnds",
         lambda: _expect(InvalidArgument, lambda: optimize.parse_bnds({POOL[0]: 0.5}, POOL))),
        ("objective.ensure_series", lambda: objective.ensure_series({POOL[0]: 1.0}, "x")),
        ("constraints.ensure_series", lambda: constraints.ensure_series([1.0, 2.0], "x")),
        ("constraints._ensure_bound", lambda: constraints._ensure_bound("1e-2", "label")),
        ("constraints.get_deviation_value",
         lambda: constraints.get_deviation_value(0.2, "-5%")),
        ("constraints.get_deviation_value",
         lambda: _expect(InvalidArgument, lambda: constraints.get_deviation_value(0.2, "5%"))),
        ("diagnose.explain_infeasibility", lambda: diagnose.explain_infeasibility(
            POOL, DATE, bnds={"*": (0, 0.3)},
            cons=[constraints.IndustryConstraint("Banks", lower_limit=0.99)])),
        ("diagnose.explain_infeasibility",
         lambda: _expect(InvalidArgument, lambda: diagnose.explain_infeasibility(
             POOL, DATE, bnds={POOL[0]: (0.5, 0.1)}))),
        ("diagnose.check_constraints", lambda: diagnose.check_constraints(
            pd.Series(0.2, index=POOL), DATE, bnds={"*": (0, 0.3)},
            cons=[constraints.IndustryConstraint("Banks", upper_limit=0.8)])),
        ("report.check_constraints", lambda: report.check_constraints(HOLDING, DATE)),
        ("trading.trading_status", lambda: trading.trading_status(POOL, DATE)),
        ("trading.tradable_bounds",
         lambda: trading.tradable_bounds(POOL, DATE, HOLDING, {"*": (0, 0.5)})),
        ("trading.to_orders", lambda: trading.to_orders(HOLDING, DATE, 1e6)),
        ("trading.to_orders",
         lambda: _expect(InvalidArgument, lambda: trading.to_orders(HOLDING, DATE, -1.0))),
        ("_rebalance.drift",
         lambda: rebalance_core.drift(np.full(5, 0.2), np.full((3, 5), 0.01))),
        ("_rebalance.turnover",
         lambda: rebalance_core.turnover(np.full(5, 0.2), np.array([0.4, 0.1, 0.1, 0.2, 0.2]))),
        ("_rebalance.backtest", lambda: rebalance_core.backtest(
            np.full((1, 5), 0.2), np.array([0]), np.full((3, 5), 0.01), np.zeros(5), 0.001)),
        ("_rebalance.backtest_costs", lambda: rebalance_core.backtest_costs(
            np.full((1, 5), 0.2), np.array([0]), np.full((3, 5), 0.01), np.zeros(5), 0.001,
            _COST_MODEL)),
        ("_rebalance.backtest_costs", lambda: _expect(InvalidArgument, lambda: (
            rebalance_core.backtest_costs(np.full((1, 5), 0.2), np.array([0]),
                                          np.full((3, 5), 0.01), np.zeros(5), 0.0,
                                          dict(_COST_MODEL, traded=np.ones((2, 5))))))),
        ("_rebalance.order_costs", lambda: rebalance_core.order_costs(
            np.array([1e5, -2e4, 0.0]), np.array([1e7, np.nan, 1e6]), _ORDER_TERMS)),
        ("_rebalance.order_costs", lambda: _expect(InvalidArgument, lambda: (
            rebalance_core.order_costs(np.array([np.inf]), np.ones(1), _ORDER_TERMS)))),
        ("_rebalance.measures", lambda: rebalance_core.measures(
            np.linspace(-0.01, 0.01, 20), np.zeros(20), 0.02)),
        ("_rebalance.measures", lambda: _expect(InvalidArgument, lambda: (
            rebalance_core.measures(np.zeros(3), np.zeros(2), 0.0)))),
        ("_rebalance.drawdown", lambda: rebalance_core.drawdown(np.linspace(-0.01, 0.01, 20))),
        ("_rebalance.annual_return",
         lambda: rebalance_core.annual_return(np.linspace(-0.01, 0.01, 20))),
        ("backtest.CostModel", lambda: backtest.CostModel(spread_bps=2).order_costs(
            pd.Series({POOL[0]: 1e5, POOL[1]: -2e4}), DATE, pd.Series({POOL[0]: 1e7}))),
        ("backtest.CostModel",
         lambda: _expect(InvalidArgument, lambda: backtest.CostModel(capital=0))),
        ("backtest.CostPenalty", lambda: backtest.CostPenalty(
            objective.MinVariance(), backtest.CostModel(), HOLDING.to_dict(), DATE, 1.0)),
        ("backtest.CostPenalty", lambda: _expect(InvalidArgument, lambda: backtest.CostPenalty(
            objective.MinVariance(), backtest.CostModel(), HOLDING, DATE, 0.0))),
        ("backtest.measures", lambda: backtest.measures(_path(), 0.02)),
        ("backtest.measures",
         lambda: _expect(InvalidArgument, lambda: backtest.measures(_path(), -2.0))),
        ("backtest.compare", lambda: backtest.compare({"a": _path(), "b": _path()})),
        ("backtest.annual_returns", lambda: backtest.annual_returns(_path())),
        ("backtest.monthly_returns", lambda: backtest.monthly_returns(_path(), "active")),
        ("backtest.rolling", lambda: backtest.rolling(_path(), 10)),
        ("_rebalance.summary", lambda: rebalance_core.summary(
            np.linspace(-0.01, 0.01, 20), np.zeros(20), np.array([0.5, 0.1]))),
        ("_rebalance.summary", lambda: _expect(Exception, lambda: rebalance_core.summary(
            "returns", None, None))),
        ("_report.risk_decomposition",
         lambda: report_core.risk_decomposition(factor_helper, np.full(5, 0.2))),
        ("_report.risk_decomposition",
         lambda: report_core.risk_decomposition(FakeHelper(POOL), np.full(5, 0.2))),
        ("_report.factor_decomposition",
         lambda: _expect(InvalidArgument, lambda: report_core.factor_decomposition(
             factor_helper, np.full(5, 0.2)))),
        ("_report.read_weights", lambda: report_core.read_weights(HOLDING, "weights")),
        ("_report.read_weights", lambda: _expect(InvalidArgument, lambda: report_core.read_weights(
            {POOL[0]: "0.5"}, "weights"))),
        ("_report.read_weights", lambda: _expect(InvalidArgument, lambda: report_core.read_weights(
            pd.Series(50.0, index=POOL), "weights"))),
        ("_report.read_date", lambda: report_core.read_date("2024-06-28")),
        ("_report.read_date",
         lambda: _expect(InvalidArgument, lambda: report_core.read_date("2024-13-45"))),
        ("_report.resolved_benchmark", lambda: report_core.resolved_benchmark(None)),
        ("_report.resolved_benchmark",
         lambda: _expect(InvalidArgument, lambda: report_core.resolved_benchmark(3))),
    ]  # fmt: skip


def tidewell_calls():
    """Every public call of tidewell over the tiny store, accepted and refused."""
    ids = ["600001.XSHG", "000010.XSHE", "000020.XSHE"]
    day = "2024-01-10"
    refused = tidewell.TidewellError
    # Returns of 25 stocks over 70 days in five industries: one model date's worth.
    rng = np.random.default_rng(0)
    days = pd.bdate_range("2024-01-01", periods=70)
    names = [f"S{i:02d}" for i in range(25)]
    returns = pd.DataFrame(rng.normal(0.0, 0.02, (70, 25)), index=days, columns=names)
    industries = pd.Series(list("abcde") * 5, index=names)
    return [
        ("tidewell.instruments", lambda: tidewell.instruments(ids)),
        ("tidewell.instruments", lambda: tidewell.instruments("600001.XSHG")),
        ("tidewell.all_instruments", lambda: tidewell.all_instruments("CS", day)),
        ("tidewell.all_instruments",
         lambda: _expect(refused, lambda: tidewell.all_instruments(type=["CS"]))),
        ("tidewell.get_trading_dates", lambda: tidewell.get_trading_dates("2024-01-02", day)),
        ("tidewell.is_trading_date", lambda: tidewell.is_trading_date("2024-01-06")),
        ("tidewell.trading_date_offset", lambda: tidewell.trading_date_offset(day, -3)),
        ("tidewell.trading_date_offset",
         lambda: _expect(refused, lambda: tidewell.trading_date_offset("2030-01-02", -3))),
        ("tidewell.get_previous_trading_date", lambda: tidewell.get_previous_trading_date(day)),
        ("tidewell.get_next_trading_date", lambda: tidewell.get_next_trading_date(day, 2)),
        ("tidewell.get_price_change_rate",
         lambda: tidewell.get_price_change_rate(ids, "2024-01-02", day)),
        ("tidewell.get_price_change_rate",
         lambda: tidewell.get_price_change_rate(ids[0], "2024-01-02", day)),
        ("tidewell.index_weights", lambda: tidewell.index_weights("990001.XSHG", day)),
        ("tidewell.get_style_factor_names", lambda: tidewell.get_style_factor_names()),
        ("tidewell.get_factor_names", lambda: tidewell.get_factor_names()),
        ("tidewell.get_factor_exposure", lambda: tidewell.get_factor_exposure(ids, day)),
        ("tidewell.get_factor_covariance",
         lambda: tidewell.get_factor_covariance(day, "daily")),
        ("tidewell.get_specific_risk", lambda: tidewell.get_specific_risk(ids, day, "daily")),
        ("tidewell.get_risk_model_history",
         lambda: tidewell.get_risk_model_history("2024-01-02", day, "daily")
         .get_specific_risk(ids, day)),
        ("tidewell.industry_names", lambda: tidewell.industry_names("sws")),
        ("tidewell.get_industry", lambda: tidewell.get_industry(ids, day, "sws")),
        ("tidewell.get_industry_history", lambda: tidewell.get_industry_history(ids, "sws")),
        ("tidewell.get_prices",  # the tiny store has no daily prices
         lambda: _expect(refused, lambda: tidewell.get_prices(ids, "2024-01-02", day))),
        ("tidewell.get_trading_status",
         lambda: _expect(refused, lambda: tidewell.get_trading_status(ids, day))),
        ("tidewell.get_traded_value",
         lambda: _expect(refused, lambda: tidewell.get_traded_value(ids, "2024-01-02", day))),
        ("tidewell.get_database_path", lambda: tidewell.get_database_path()),
        ("tidewell.demo_database_path", lambda: tidewell.demo_database_path()),
        ("tidewell.set_database", lambda: tidewell.set_database(store.active["db"])),
        ("tidewell.set_database",
         lambda: _expect(refused, lambda: tidewell.set_database({"path": "x"}))),
        ("tidewell.import_database", rarely(lambda: tidewell.import_database(
            store.TINY, os.path.join(store.active["dir"], "copy.duckdb")), 0.02)),
        ("tidewell.import_database",
         lambda: _expect(refused, lambda: tidewell.import_database(
             os.path.join(store.active["dir"], "no such folder"), "never.duckdb"))),
        ("tidewell.build_demo_database",
         lambda: _expect(refused, lambda: tidewell.build_demo_database(
             os.path.join(store.active["dir"], "demo.duckdb"), "eight", False))),
        ("tidewell.build_risk_model", rarely(lambda: tidewell.build_risk_model(
            returns, industries=industries), 0.05)),
        ("tidewell.build_risk_model",
         lambda: _expect(refused, lambda: tidewell.build_risk_model(returns * 100))),
    ]  # fmt: skip


def covered():
    """The public names that have a line in the registry."""
    lists = (fake_calls(), demo_calls(), constructor_calls(), function_calls(), tidewell_calls())
    return {name for calls in lists for name, _ in calls}


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


def verdict(measured, rss, objects, blocks, blocks_per_call=BLOCKS_PER_CALL):
    problems = []
    if blocks > blocks_per_call * measured:
        problems.append(f"blocks +{blocks}")
    if objects > OBJECTS_PER_CALL * measured:
        problems.append(f"gc objects +{objects}")
    if rss > RSS_LIMIT_MB:
        problems.append(f"RSS +{rss:.1f} MB")
    return problems


def run_each(title, entries, iterations):
    """Each call on its own, `iterations` times (fewer for the slow ones); one line per call."""
    print(f"\n{title}: each {iterations} times, floor growth after the warm-up")
    print(f"  {'call':<58} {'RSS MB':>7} {'gc obj':>7} {'blocks':>7} {'per call':>9}")
    ok = True
    started = time.perf_counter()
    for text, call in _named(entries):
        times = max(SAMPLES * 5, int(iterations * getattr(call, "share", 1.0)))
        measured, rss, objects, blocks = floor_growth(measure([call], times, samples=10))
        problems = verdict(
            measured, rss, objects, blocks, getattr(call, "blocks_per_call", BLOCKS_PER_CALL)
        )
        ok &= not problems
        print(
            f"  {text:<58} {rss:>+7.2f} {objects:>+7d} {blocks:>+7d} "
            f"{blocks / measured:>+9.4f}" + ("  FAIL: " + ", ".join(problems) if problems else "")
        )
    print(f"  {len(entries)} calls in {time.perf_counter() - started:.0f} s: "
          + ("OK" if ok else "FAILED"))  # fmt: skip
    return ok


def run_cycle(title, entries, iterations):
    """The calls in turn; the samples and the floor growth."""
    calls = [call for _, call in entries]
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


def _named(entries):
    """(the source text of each call, the call)."""
    import inspect

    named = []
    for _, call in entries:
        text = " ".join(inspect.getsource(call).split())
        text = text[text.index("lambda:") + len("lambda:") :].strip().rstrip(",")
        while text.endswith(")") and text.count(")") > text.count("("):
            text = text[:-1]
        named.append((text[:58], call))
    return named


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=10_000, help="calls per phase")
    parser.add_argument("--demo-calls", type=int, default=1_500,
                        help="calls against the demo market (0 to skip)")  # fmt: skip
    parser.add_argument("--only", default="",
                        help="only the calls of public names containing this text")  # fmt: skip
    args = parser.parse_args(argv)
    warnings.simplefilter("ignore")
    print(f"python {sys.version.split()[0]}, cvxpy {cp.__version__}, pid {os.getpid()}")

    def chosen(entries):
        return [(name, call) for name, call in entries if args.only in name]

    ok = True
    with fakes.installed_fakes(SCENARIO):
        for title, entries in [("constructors", constructor_calls()),
                               ("functions", function_calls())]:  # fmt: skip
            if chosen(entries):
                ok &= run_each(title, chosen(entries), args.calls)
        if chosen(fake_calls()):
            ok &= run_cycle("portfolio_optimize (stand-ins)", fake_calls(), args.calls)
    if chosen(tidewell_calls()):
        with store.tiny_store():
            ok &= run_each("tidewell", chosen(tidewell_calls()), args.calls // 2)
    if args.demo_calls and chosen(demo_calls()):
        ok &= run_cycle("portfolio_optimize (demo market)", demo_calls(), args.demo_calls)
    print("\nleak check " + ("passed" if ok else "FAILED"))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
