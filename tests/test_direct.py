"""The direct conic back-end against the cvxpy back-end, on random problems of the
demo market: every objective, every constraint kind, both solved tightly.

Each problem is built around a portfolio w0 that meets all of its limits (so it is
feasible), with the limits drawn close enough to w0 that some of them bind at the
optimum. The cvxpy back-end is the reference: the objects' own protocol (to_constraints,
get_objective_expr) posed through cvxpy.
"""

from __future__ import annotations

import datetime
import logging
import subprocess
import sys
import warnings

import numpy as np
import pandas as pd
import pytest

import tidewell as tw
import vantelo.core
from vantelo.benchmark import OptimizeBenchmark
from vantelo.const import CovModel, IndustryClassification
from vantelo.constraints import (
    BenchmarkComponentWeightLimit,
    IndustryComponentLimit,
    IndustryConstraint,
    StyleConstraint,
    TrackingErrorLimit,
    TurnoverLimit,
    WildcardIndustryConstraint,
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

DATE = "2024-03-29"
DAY = datetime.date(2024, 3, 29)
INDEX = "990300.XSHG"
TIGHT = 1e-9


class Drawn(OptimizeBenchmark):
    """A benchmark of given weights (some outside the pool)."""

    def __init__(self, weights):
        self._weights = weights

    def get_weight(self, date):
        return self._weights


def market(seed, size=24):
    rng = np.random.default_rng(seed)
    members = sorted(tw.index_weights(INDEX, DATE).index)
    picked = rng.choice(len(members), size=size + 4, replace=False)
    pool = [members[i] for i in sorted(picked[:size])]
    outside = [members[i] for i in picked[size:]]
    weights = pd.Series(rng.uniform(0.2, 1.0, size=size + 4), index=pool + outside)
    return rng, pool, Drawn(weights / weights.sum())


def objective_of(name, rng, pool):
    returns = pd.Series(rng.normal(0.08, 0.2, size=len(pool)), index=pool)
    if name == "MeanVariance":
        return MeanVariance(returns, risk_aversion_coefficient=float(rng.uniform(0.5, 3)))
    if name == "MaxSharpeRatio":
        return MaxSharpeRatio(returns.abs() + 0.01)
    if name == "MaxInformationRatio":
        return MaxInformationRatio(returns)
    if name == "MaxIndicator":
        return MaxIndicator(returns)
    if name == "MinStyleDeviation":
        targets = pd.Series({"size": 0.3, "beta": -0.2, "momentum": 0.1})
        return MinStyleDeviation(targets, priority=pd.Series({"size": 9, "beta": 2}))
    return {"MinVariance": MinVariance, "RiskParity": RiskParity}.get(name, MinTrackingError)()


def limits_around(rng, pool, benchmark, kinds):
    """bnds and cons that the portfolio w0 meets, each close to binding."""
    n = len(pool)
    w0 = rng.dirichlet(np.ones(n))
    upper = float(max(w0.max() * 1.05, 2.0 / n))
    bnds = {"*": (0.0, upper)}
    helper = OptimizeHelper(pool, DAY, benchmark, CovModel.FACTOR_MODEL_DAILY)
    industries = helper.get_industry_mapping(IndustryClassification.SWS)
    by_industry = pd.Series(w0, index=pool).groupby(industries.values).sum()
    exposure = helper.get_factor_exposure()
    styles = pd.Series(w0 @ exposure.to_numpy(), index=exposure.columns)
    bench_style = helper.get_benchmark_style()
    margin = 0.02
    cons = []
    if "industry" in kinds:
        name = by_industry.idxmax()
        cons.append(
            IndustryConstraint(name, by_industry[name] - margin, by_industry[name] + margin)
        )
    if "wildcard" in kinds:
        cons.append(
            WildcardIndustryConstraint(
                exclude=[by_industry.idxmax()], upper_limit=float(by_industry.max() + margin)
            )
        )
    if "style" in kinds:
        gap = float(styles["size"] - bench_style["size"])
        cons.append(StyleConstraint("size", gap - 0.05, gap + 0.05, relative=True))
        cons.append(
            StyleConstraint(
                ["beta", "growth"],
                styles[["beta", "growth"]].min() - 0.1,
                styles[["beta", "growth"]].max() + 0.1,
            )
        )
    if "component" in kinds:
        inside = float(w0[[code in set(benchmark._weights.index) for code in pool]].sum())
        cons.append(BenchmarkComponentWeightLimit(min(inside, 0.99) * 0.999))
    if "share" in kinds:
        name = industries.value_counts().idxmax()
        members = industries.values == name
        shares = w0[members] / w0[members].sum()
        cons.append(IndustryComponentLimit(name, shares.min() * 0.9, min(shares.max() * 1.1, 1)))
    if "turnover" in kinds:
        holding = pd.Series(
            rng.dirichlet(np.ones(n + 2)), index=pool + ["600000.XSHG", "600004.XSHG"]
        )
        traded = np.abs(np.r_[w0, 0.0, 0.0] - holding.to_numpy()).sum() / 2
        cons.append(TurnoverLimit(holding, traded * 1.02))
    if "tracking_error" in kinds:
        model = helper.risk_model
        active = np.r_[w0, np.zeros(len(helper.union_components) - n)] - helper.benchmark_weight
        cons.append(TrackingErrorLimit(model.volatility(active.to_numpy()) * 1.05))
    return bnds, cons


OBJECTIVES = [
    "MinVariance",
    "MeanVariance",
    "RiskParity",
    "MinTrackingError",
    "MaxInformationRatio",
    "MaxSharpeRatio",
    "MaxIndicator",
    "MinStyleDeviation",
]
KINDS = ["industry", "wildcard", "style", "component", "share", "turnover", "tracking_error"]
# Objectives whose optimum is one portfolio: the others (a linear score, deviations
# of a few exposures) may have a face of optima, where only the value is unique.
UNIQUE = {
    "MinVariance",
    "MeanVariance",
    "RiskParity",
    "MinTrackingError",
    "MaxSharpeRatio",
    "MaxInformationRatio",
}


def solve(backend, pool, objective, bnds, cons, benchmark):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", OptimizerWarning)
        return vantelo.core.optimize(
            pool,
            DATE,
            objective=objective,
            bnds=bnds,
            cons=cons,
            benchmark=benchmark,
            backend=backend,
            accuracy=TIGHT,
        )


@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("name", OBJECTIVES)
def test_direct_and_cvxpy_agree(name, seed):
    rng, pool, benchmark = market(seed * 31 + OBJECTIVES.index(name))
    kinds = [k for k in KINDS if rng.random() < 0.6] or ["industry"]
    bnds, cons = limits_around(rng, pool, benchmark, kinds)
    direct = solve(
        "direct",
        pool,
        objective_of(name, np.random.default_rng(seed), pool),
        bnds,
        cons,
        benchmark,
    )
    reference = solve(
        "cvxpy", pool, objective_of(name, np.random.default_rng(seed), pool), bnds, cons, benchmark
    )
    assert direct.backend == "direct" and reference.backend == "cvxpy"
    assert direct.status == reference.status == "solved", (kinds, direct.error, reference.error)
    value, expected = direct.objective_value, reference.objective_value
    assert abs(value - expected) <= 1e-6 * max(abs(expected), 1e-8), (kinds, value, expected)
    gap = float(np.abs(direct.weights - reference.weights).sum())
    if name in UNIQUE:
        assert gap <= 1e-3, (kinds, gap)


@pytest.mark.parametrize("name", OBJECTIVES)
def test_a_binding_turnover_limit_holds_alike_under_every_objective(name):
    # Half the trade the objective would make on its own: the limit binds. The
    # holding is partly outside the pool, as a drifted holding is when stocks leave.
    rng, pool, benchmark = market(11 + OBJECTIVES.index(name))
    holding = pd.Series(
        rng.dirichlet(np.ones(len(pool) + 2)), index=pool + ["600000.XSHG", "600004.XSHG"]
    )
    bnds = {"*": (0.0, 0.3)}

    def traded(weights):
        return float((weights.reindex(holding.index, fill_value=0.0) - holding).abs().sum() / 2)

    free = solve(
        "cvxpy", pool, objective_of(name, np.random.default_rng(1), pool), bnds, [], benchmark
    )
    least = least_one_way_trade(holding, pool, 0.3)
    upper = least + 0.5 * (traded(free.weights) - least)
    assert upper > least + 0.02
    cons = [TurnoverLimit(holding, upper)]
    ends = {
        backend: solve(
            backend,
            pool,
            objective_of(name, np.random.default_rng(1), pool),
            bnds,
            cons,
            benchmark,
        )
        for backend in ("direct", "cvxpy")
    }
    direct, reference = ends["direct"], ends["cvxpy"]
    assert direct.backend == "direct" and direct.status == reference.status == "solved"
    value, expected = direct.objective_value, reference.objective_value
    assert abs(value - expected) <= 1e-6 * max(abs(expected), 1e-8), (value, expected)
    assert traded(direct.weights) <= upper + 1e-6
    if name in UNIQUE:
        assert traded(direct.weights) >= upper - 1e-4
        assert float(np.abs(direct.weights - reference.weights).sum()) <= 1e-3


def test_soft_and_infeasible_problems_end_alike_on_both_back_ends():
    rng, pool, benchmark = market(7)
    bnds = {"*": (0.0, 0.5)}
    industries = OptimizeHelper(pool, DAY, benchmark, CovModel.FACTOR_MODEL_DAILY)
    name = industries.get_industry_mapping(IndustryClassification.SWS).value_counts().idxmax()
    # A floor of 90% in one industry under a cap of 10%: impossible together.
    floor = IndustryConstraint(name, 0.9, None)
    ends = {}
    for hard in (False, True):
        cons = [floor, IndustryConstraint(name, None, 0.1, hard=hard)]
        for backend in ("direct", "cvxpy"):
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                result = vantelo.core.optimize(
                    pool, DATE, bnds=bnds, cons=cons, benchmark=benchmark, backend=backend
                )
            texts = [str(w.message) for w in caught if issubclass(w.category, OptimizerWarning)]
            ends[hard, backend] = (result.status, texts, result)
    for hard in (False, True):
        assert ends[hard, "direct"][:2] == ends[hard, "cvxpy"][:2]
    assert ends[False, "direct"][0] == "soft constraints dropped"
    soft = [ends[False, b][2].weights for b in ("direct", "cvxpy")]
    assert float(np.abs(soft[0] - soft[1]).sum()) < 1e-3
    assert (
        soft[0][industries.get_industry_mapping(IndustryClassification.SWS) == name].sum() > 0.899
    )
    failed = ends[True, "direct"][2]
    assert failed.status == "failed" and failed.diagnosis is not None


def least_one_way_trade(holding, pool, upper):
    """The least one-way trade from `holding` to a full portfolio of `pool` within
    (0, upper), by linear programming over (w, t) with t >= |w - h|."""
    from scipy.optimize import linprog

    n = len(pool)
    inside = holding.reindex(pool, fill_value=0.0).to_numpy()
    outside = float(holding.drop(pool, errors="ignore").abs().sum())
    eye = np.eye(n)
    found = linprog(
        np.r_[np.zeros(n), np.ones(n)],
        A_ub=np.block([[eye, -eye], [-eye, -eye]]),
        b_ub=np.r_[inside, -inside],
        A_eq=np.r_[np.ones(n), np.zeros(n)][None, :],
        b_eq=[1.0],
        bounds=[(0.0, upper)] * n + [(0.0, None)] * n,
    )
    assert found.status == 0
    return (found.fun + outside) / 2


@pytest.mark.parametrize("gap, kept", [(-0.004, False), (0.002, True)])
def test_a_soft_turnover_limit_out_of_reach_of_the_bounds_is_dropped_alike(gap, kept, caplog):
    # A holding over the cap on some stocks and partly outside the pool, as a
    # schedule's drifted holding is when stocks leave the index.
    rng, pool, benchmark = market(5)
    upper = 0.06
    holding = pd.Series(
        rng.dirichlet(np.ones(len(pool) + 2) * 0.5), index=pool + ["600000.XSHG", "600004.XSHG"]
    )
    least = least_one_way_trade(holding, pool, upper)
    assert least > 0.02
    limit = TurnoverLimit(holding, least + gap, hard=False)
    ends = {}
    solves = {}
    for backend in ("direct", "cvxpy"):
        caplog.clear()
        with warnings.catch_warnings(record=True) as caught, caplog.at_level(
            logging.INFO, logger="vantelo.optimize"
        ):
            warnings.simplefilter("always")
            result = vantelo.core.optimize(
                pool,
                DATE,
                bnds={"*": (0.0, upper)},
                cons=[limit],
                benchmark=benchmark,
                backend=backend,
                accuracy=TIGHT,
            )
        texts = [str(w.message) for w in caught if issubclass(w.category, OptimizerWarning)]
        ends[backend] = (result.status, texts, result.weights)
        solves[backend] = sum("solve time" in r.getMessage() for r in caplog.records)
    assert ends["direct"][:2] == ends["cvxpy"][:2]
    assert ends["direct"][0] == ("solved" if kept else "soft constraints dropped")
    # The direct back-end sees that the limit is out of reach without a solve.
    assert solves == {"direct": 1, "cvxpy": 1 if kept else 2}
    assert float(np.abs(ends["direct"][2] - ends["cvxpy"][2]).sum()) < 1e-3
    traded = (ends["direct"][2].reindex(holding.index, fill_value=0.0) - holding).abs().sum() / 2
    if kept:
        assert traded <= least + gap + 1e-6
    else:
        assert traded > least + gap


class OwnMinVariance(MinVariance):
    pass


@pytest.mark.parametrize(
    "change",
    ["subclass", "patched method", "callable risk model", "own helper"],
)
def test_anything_but_the_package_own_pieces_takes_cvxpy(change, monkeypatch):
    rng, pool, benchmark = market(3)
    kwargs = dict(bnds={"*": (0.0, 0.2)}, benchmark=benchmark, objective=MinVariance())
    if change == "subclass":
        kwargs["objective"] = OwnMinVariance()
    elif change == "patched method":
        original = MinVariance.get_objective_expr
        monkeypatch.setattr(MinVariance, "get_objective_expr", lambda *a: original(*a))
    elif change == "callable risk model":
        model = OptimizeHelper(pool, DAY, benchmark, CovModel.FACTOR_MODEL_DAILY).risk_model
        kwargs["risk_model"] = lambda date: model
    else:
        kwargs["helper_class"] = lambda *args, **kw: OptimizeHelper(*args, **kw)
    result = vantelo.core.optimize(pool, DATE, **kwargs)
    assert result.status == "solved" and result.backend == "cvxpy"
    with pytest.raises(vantelo.core.InvalidArgument, match="backend='direct' cannot"):
        vantelo.core.optimize(pool, DATE, backend="direct", **kwargs)


def test_a_cache_warm_starts_the_same_answer_and_keeps_a_few_problems():
    rng, pool, benchmark = market(5)
    kwargs = dict(bnds={"*": (0.0, 0.2)}, benchmark=benchmark, objective=MinTrackingError())
    cold = vantelo.core.optimize(pool, DATE, **kwargs)
    cache = {}
    first = vantelo.core.optimize(pool, DATE, cache=cache, **kwargs)
    again = vantelo.core.optimize(pool, DATE, cache=cache, **kwargs)
    assert len(cache) == 1 and "solver" in next(iter(cache.values()))
    for result in (first, again):
        assert float(np.abs(result.weights - cold.weights).sum()) < 1e-4
    for seed in range(12):
        _, other, _ = market(100 + seed, size=12)
        vantelo.core.optimize(other, DATE, cache=cache, **kwargs)
    assert len(cache) == 8


def test_a_direct_solve_loads_no_cvxpy_and_cp_still_resolves():
    code = (
        "import sys, tidewell as tw, vantelo.optimize as o\n"
        "pool = list(tw.index_weights('990300.XSHG', '2024-03-29').index)[:40]\n"
        "w = o.portfolio_optimize(pool, '2024-03-29', bnds={'*': (0, 0.1)})\n"
        "assert abs(w.sum() - 1) < 1e-9, w.sum()\n"
        "assert 'cvxpy' not in sys.modules\n"
        "import cvxpy\n"
        "assert o.cp is cvxpy and __import__('vantelo.objective').objective.cp is cvxpy\n"
        "print('ok')\n"
    )
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert run.stdout.strip() == "ok", run.stderr


def test_a_schedule_on_the_direct_path_loads_no_cvxpy():
    # Its records carry each date's binding limits, measured without cvxpy too.
    code = (
        "import sys, warnings\n"
        "from vantelo.constraints import WildcardIndustryConstraint\n"
        "from vantelo.rebalance import rebalance\n"
        "warnings.simplefilter('ignore')\n"
        "cons = [WildcardIndustryConstraint(lower_limit=-0.02, upper_limit=0.02, relative=True)]\n"
        "r = rebalance(['2024-03-28', '2024-03-29'], '990300.XSHG', bnds={'*': (0, 0.02)},\n"
        "              cons=cons, benchmark='990300.XSHG', engine='serial', progress=False)\n"
        "assert list(r.records['status']) == ['ok', 'ok'], r.records\n"
        "assert r.records['binding'].str.contains('WildcardIndustryConstraint').all()\n"
        "assert 'cvxpy' not in sys.modules\n"
        "print('ok')\n"
    )
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert run.stdout.strip() == "ok", run.stderr


class BulkOnly:
    """tidewell, counting bulk reads and refusing the single-date risk-model reads."""

    def __init__(self):
        self.bulk = 0

    def __getattr__(self, name):
        if name in ("get_factor_exposure", "get_factor_covariance", "get_specific_risk"):
            raise AssertionError(f"{name} read one date")
        return getattr(tw, name)

    def get_risk_model_history(self, *args, **kwargs):
        self.bulk += 1
        return tw.get_risk_model_history(*args, **kwargs)


def test_bulk_risk_models_answer_as_the_single_date_reads():
    from vantelo._schedule_reads import ScheduleReads

    start, end = datetime.date(2024, 3, 15), datetime.date(2024, 6, 28)
    client = BulkOnly()
    reads = ScheduleReads(client, dates=(start, end), cov_model=CovModel.FACTOR_MODEL_DAILY)
    # Trading days, a Saturday, the first and last day of the run.
    for day in ["2024-03-15", "2024-03-29", "2024-03-30", "2024-05-06", "2024-06-28"]:
        when = datetime.date.fromisoformat(day)
        codes = sorted(tw.index_weights(INDEX, when).index)[:30] + ["600000.XSHG", "NO.XSHG"]
        pd.testing.assert_frame_equal(
            reads.get_factor_exposure(codes, when), tw.get_factor_exposure(codes, when)
        )
        pd.testing.assert_series_equal(
            reads.get_specific_risk(codes, when, CovModel.FACTOR_MODEL_DAILY),
            tw.get_specific_risk(codes, when, CovModel.FACTOR_MODEL_DAILY),
        )
        pd.testing.assert_frame_equal(
            reads.get_factor_covariance(when, "daily"), tw.get_factor_covariance(when, "daily")
        )
    assert client.bulk == 1
    # Outside the run, or for another covariance model, the store is asked as usual.
    with pytest.raises(AssertionError, match="read one date"):
        reads.get_factor_covariance(datetime.date(2024, 7, 1), "daily")
    with pytest.raises(AssertionError, match="read one date"):
        reads.get_factor_covariance(datetime.date(2024, 4, 1), "monthly")


def test_risk_models_read_for_expected_stocks_answer_for_them_and_others():
    from vantelo._schedule_reads import ScheduleReads

    start, end = datetime.date(2024, 3, 15), datetime.date(2024, 6, 28)
    expected = sorted(tw.index_weights(INDEX, start).index)[:40]
    history = tw.get_risk_model_history(start, end, "daily", order_book_ids=expected)
    assert history.holds(expected[:10]) and not history.holds(expected[:10] + ["600000.XSHG"])
    with pytest.raises(tw.TidewellError, match="1 asked for are not among them"):
        history.get_factor_exposure(expected[:3] + ["600000.XSHG"], end)
    # The bulk read is of the stocks expected; the same stocks read from memory,
    # others (and stocks without data) from the store, each as the store answers.
    client = BulkOnly()
    reads = ScheduleReads(client, dates=(start, end), cov_model="daily")
    reads.expect(expected)
    outside = expected[:5] + ["600000.XSHG", "NO.XSHG"]
    for day, codes, single in [
        ("2024-03-29", expected[::3], False),
        ("2024-05-06", outside, True),
        ("2024-06-28", expected, False),
    ]:
        when = datetime.date.fromisoformat(day)
        if single:
            # Others ask the store, which this client refuses one date at a time.
            with pytest.raises(AssertionError, match="read one date"):
                reads.get_factor_exposure(codes, when)
            with pytest.raises(AssertionError, match="read one date"):
                reads.get_specific_risk(codes, when, "daily")
            continue
        pd.testing.assert_frame_equal(
            reads.get_factor_exposure(codes, when), tw.get_factor_exposure(codes, when)
        )
        pd.testing.assert_series_equal(
            reads.get_specific_risk(codes, when, "daily"),
            tw.get_specific_risk(codes, when, "daily"),
        )
    assert client.bulk == 1
    answered = ScheduleReads(dates=(start, end), cov_model="daily")
    answered.expect(expected)
    pd.testing.assert_frame_equal(
        answered.get_factor_exposure(outside, end), tw.get_factor_exposure(outside, end)
    )


class OwnStyle(StyleConstraint):
    """A caller's own kind of constraint: measured through its cvxpy form."""


@pytest.mark.parametrize("seed, own", [(11, False), (12, False), (13, True)])
def test_a_result_measures_its_limits_as_the_check_does(seed, own):
    from vantelo.diagnose import check_constraints

    rng, pool, benchmark = market(seed)
    bnds, cons = limits_around(rng, pool, benchmark, KINDS)
    # One industry bounded twice (labels told apart) and every industry against
    # the benchmark; with `own`, a constraint of the caller's own kind as well.
    cons += [
        cons[0],
        WildcardIndustryConstraint(lower_limit=-0.5, upper_limit=0.5, relative=True),
    ]
    if own:
        cons.append(OwnStyle("beta", -3.0, 3.0))
    result = solve("auto", pool, MinTrackingError(), bnds, cons, benchmark)
    assert result.status == "solved", result.error
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", OptimizerWarning)
        check = check_constraints(result.weights, DATE, bnds=bnds, cons=cons, benchmark=benchmark)
    # Row for row: the labels, their order and every measure.
    pd.testing.assert_frame_equal(result.limits, check.reset_index(drop=True), atol=1e-12)
    table = result.limits.set_index("label")
    # The measured values are the weights' own: each bound is the stock's weight,
    # full investment their sum.
    uppers = table.loc[[f"bnds {code} upper" for code in pool], "value"].to_numpy()
    np.testing.assert_allclose(uppers, result.weights.loc[pool].to_numpy(), atol=1e-15)
    assert table.loc["full investment", "value"] == pytest.approx(1.0, abs=1e-12)
    assert not table["violated"].any()
    assert result.limits is result.limits  # measured once


@pytest.mark.parametrize("backend", ["direct", "cvxpy"])
def test_constraints_given_as_a_generator_are_solved_and_measured(backend):
    rng, pool, benchmark = market(5)
    bnds, cons = limits_around(rng, pool, benchmark, ["industry", "style", "turnover"])
    listed = solve(backend, pool, MinVariance(), bnds, cons, benchmark)
    generated = solve(backend, pool, MinVariance(), bnds, (c for c in cons), benchmark)
    assert generated.status == listed.status == "solved"
    pd.testing.assert_series_equal(generated.weights, listed.weights)
    pd.testing.assert_frame_equal(generated.limits, listed.limits)
    assert generated.limits["label"].str.startswith("TurnoverLimit").any()


def test_a_failed_result_has_no_limits():
    rng, pool, benchmark = market(3)
    cons = [WildcardIndustryConstraint(upper_limit=0.01)]
    result = solve("auto", pool, MinVariance(), None, cons, benchmark)
    assert result.status == "failed" and result.limits is None
