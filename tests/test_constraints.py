import re
import warnings

import cvxpy as cp
import numpy as np
import pandas as pd
import pytest
from conftest import DATE, FakeHelper

import vantelo.constraints as vc
from vantelo.benchmark import OptimizeBenchmark
from vantelo.const import STYLE_FACTORS, IndustryClassification
from vantelo.exception import InvalidArgument, OptimizerWarning

POOL = ["a", "b", "c", "d"]
EPS = 1e-6


def admitted(cons, g, weights, zeta=None, scale=1.0):
    """Which constraints the portfolio `weights`, at the given scale, meets."""
    g.value = np.asarray(weights, dtype=float)
    if zeta is not None:
        zeta.value = scale
    return [bool(c.value()) for c in cons]


def assert_bounds(cons, g, zeta, portfolio_with, lo, hi):
    """The quantity that `portfolio_with(x)` sets to x is held within [lo, hi] x zeta."""
    assert len(cons) == (lo is not None) + (hi is not None)
    scale = 1.0 if zeta is None else 2.0
    for bound, inward in [(lo, 1), (hi, -1)]:
        if bound is not None:
            on_bound = scale * np.asarray(portfolio_with(bound))
            beyond = scale * np.asarray(portfolio_with(bound - inward * EPS))
            assert all(admitted(cons, g, on_bound, zeta, scale))
            assert not all(admitted(cons, g, beyond, zeta, scale))


def industry_i1_at(weight):
    """Industry I1 is stocks a and b."""
    return [weight / 2, weight / 2, (1 - weight) / 2, (1 - weight) / 2]


def industry_helper(benchmark_industry_weight=None):
    helper = FakeHelper(POOL, industries=["I1", "I1", "I2", "UNKNOWN"])
    helper.classifications = []

    def mapping(classification):
        helper.classifications.append(classification)
        return helper._industries

    helper.get_industry_mapping = mapping
    weights = pd.Series(benchmark_industry_weight or {}, dtype=float)
    helper.get_benchmark_industry_weight = lambda classification: weights
    return helper


@pytest.mark.parametrize(
    "benchmark, deviation, expected",
    [
        (0.2, None, None),
        (0.2, 0.05, 0.25),
        (0.2, True, 1.2),
        (0.2, "+5%", 0.21),
        (0.2, "-5%", 0.19),
        (0.2, "+-5%", 0.19),
        (0, "+5%", 0.0),
        (-0.4, "-5%", -0.38),
    ],
)
def test_get_deviation_value(benchmark, deviation, expected):
    result = vc.get_deviation_value(benchmark, deviation)
    assert result == (None if expected is None else pytest.approx(expected, abs=1e-12))


def test_ensure_bound_and_ensure_series_convert():
    assert [vc._ensure_bound(v, "x") for v in (None, 1, " 0.05 ")] == [None, 1.0, 0.05]
    holding = pd.Series({"a": 0.1})
    assert vc.ensure_series(holding, "x") is holding
    assert vc.ensure_series({"a": 0.1}, "x").to_dict() == {"a": 0.1}


HOLDING = {"a": 1.0}
BAD_BOUND = "约束的上限或下限非法: {} = {}"
NEEDS_BOUND = "{}: upper_limit及lower_limit 最少应该指定一个"
COMPONENT_RANGE = "在 BenchmarkComponentWeightLimit 中，lower_limit 应该在 [0, 1) 范围内"


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: vc._ensure_bound("abc", "L"), BAD_BOUND.format("L", "abc")),
        # Non-finite bounds would reach the solver as constraints nobody (or
        # everybody) meets.
        (lambda: vc._ensure_bound("nan", "L"), BAD_BOUND.format("L", "nan")),
        (lambda: vc._ensure_bound(10**400, "L"), BAD_BOUND.format("L", 10**400)),
        (
            lambda: vc.ensure_series({1, 2}, "h"),
            "h: 期望传入一个 pd.Series 或可以转换为 pd.Series 的对象",
        ),
        (lambda: vc.get_deviation_value(0.2, "5%"), "约束的上下界格式不正确: 5%"),
        (lambda: vc.get_deviation_value(0.2, "+5"), "约束的上下界格式不正确: +5"),
        (lambda: vc.get_deviation_value(0.2, ""), "约束的上下界格式不正确: "),
        (lambda: vc.get_deviation_value(0.2, [1]), "约束指定的上限或下限 [1] 非法"),
        (lambda: vc.get_deviation_value(0.2, float("nan")), "约束指定的上限或下限 nan 非法"),
        (lambda: vc.get_deviation_value(0.2, "+inf%"), "约束指定的上限或下限 +inf% 非法"),
        (lambda: vc.TrackingErrorLimit(0), "跟踪误差上限小于0：0.0"),
        (
            lambda: vc.TurnoverLimit(None, 0.2),
            "在 TurnoverLimit 约束中，current_holding 参数不能为 None",
        ),
        (lambda: vc.TurnoverLimit(HOLDING, 0), "换手率上限小于0：0.0"),
        (
            lambda: vc.TurnoverLimit(HOLDING, "x"),
            BAD_BOUND.format("TrunoverLimit:upper_limit", "x"),
        ),
        (lambda: vc.BenchmarkComponentWeightLimit(-0.1), COMPONENT_RANGE),
        (lambda: vc.BenchmarkComponentWeightLimit(1.5), COMPONENT_RANGE),
        (lambda: vc.IndustryConstraint("I1"), NEEDS_BOUND.format("IndustryConstraint")),
        (lambda: vc.wildcard_style_constraint(), NEEDS_BOUND.format("StyleConstraint")),
        # The missing bound is reported before the names are looked at.
        (lambda: vc.wildcard_style_constraint("bogus"), NEEDS_BOUND.format("StyleConstraint")),
        (
            lambda: vc.StyleConstraint(["beta", "bogus"], upper_limit=1),
            f"约束中指定的风格 bogus 非法，应该从 {STYLE_FACTORS} 选取",
        ),
        # A near miss is named with what it most likely meant.
        (
            lambda: vc.StyleConstraint("Size", upper_limit=1),
            f"约束中指定的风格 Size 非法，应该从 {STYLE_FACTORS} 选取；最接近的风格：size",
        ),
        # A misspelt exclusion would bound the very style it meant to leave free.
        (
            lambda: vc.wildcard_style_constraint(["beta", "liquidty"], upper_limit=1),
            f"约束中指定的风格 liquidty 非法，应该从 {STYLE_FACTORS} 选取；"
            "最接近的风格：liquidity",
        ),
        (
            lambda: vc.wildcard_style_constraint("bogus", upper_limit=1),
            f"约束中指定的风格 bogus 非法，应该从 {STYLE_FACTORS} 选取",
        ),
    ],
)
def test_rejected_arguments(call, message):
    with pytest.raises(InvalidArgument, match="^" + re.escape(message) + "$"):
        call()


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda: vc._ensure_bound([0.1], "x"), TypeError),
        (lambda: vc.get_deviation_value(0.2, "+abc%"), ValueError),
        (lambda: vc.OptimizationConstraint().hard, NotImplementedError),
        (lambda: vc.OptimizationConstraint().to_constraints(None, 1.0, None), NotImplementedError),
    ],
)
def test_errors_passed_through(call, error):
    with pytest.raises(error):
        call()


def test_turnover_limit_names_a_code_held_twice():
    holding = pd.Series([0.5, 0.3, 0.2], index=["a", "b", "a"])
    with pytest.raises(
        InvalidArgument, match="^TurnoverLimit: current_holding: 以下股票代码出现了不止一次：a$"
    ):
        vc.TurnoverLimit(holding, 0.2).to_constraints(cp.Variable(4), 1.0, FakeHelper(POOL))


def test_error_converting_the_benchmark_value_is_not_swallowed():
    class Value:
        def __float__(self):
            raise RuntimeError("feed down")

        def __add__(self, other):
            return 0.25

    with pytest.raises(RuntimeError, match="feed down"):
        vc.get_deviation_value(Value(), 0.05)


@pytest.mark.parametrize(
    "make",
    [
        lambda **kw: vc.TrackingErrorLimit(0.05, **kw),
        lambda **kw: vc.TurnoverLimit(HOLDING, 0.2, **kw),
        lambda **kw: vc.BenchmarkComponentWeightLimit(0.5, **kw),
        lambda **kw: vc.IndustryConstraint("I1", upper_limit=0.3, **kw),
        lambda **kw: vc.WildcardIndustryConstraint(upper_limit=0.3, **kw),
        lambda **kw: vc.wildcard_style_constraint(upper_limit=0.3, **kw),
        lambda **kw: vc.IndustryComponentLimit("I1", upper_limit=0.3, **kw),
    ],
)
def test_hard_is_stored_unchanged_and_read_only(make):
    assert make().hard is True
    soft = make(hard=0)
    assert soft.hard == 0 and soft.hard is not False
    with pytest.raises(AttributeError):
        soft.hard = True


@pytest.mark.parametrize("scaled", [None, "variable", "integer"])
@pytest.mark.parametrize("factor_form", [False, True])
@pytest.mark.parametrize("bench", [{"a": 0.6, "b": 0.4}, {"a": 0.3, "x": 0.3, "y": 0.3, "z": 0.1}])
def test_tracking_error_limit_bounds_active_risk(bench, factor_form, scaled):
    helper = FakeHelper(POOL, benchmark_weights=bench, factor_form=factor_form)
    weights = np.array([0.1, 0.2, 0.3, 0.4])
    # Benchmark stocks outside the pool are held at 0.
    active = np.concatenate([weights, np.zeros(len(helper.union_components) - 4)])
    active -= helper.benchmark_weight.values
    te = float(np.sqrt(active @ helper.get_union_cov_matrix() @ active))
    g = cp.Variable(4, nonneg=True)
    # Under a variable scale (the ratio objectives, risk parity) g = zeta * w, here
    # at zeta = 2; an integer scale is a fixed one.
    zeta, scale = {
        None: (np.float64(1.0), 1.0),
        "variable": (cp.Variable(nonneg=True), 2.0),
        "integer": (1, 1.0),
    }[scaled]
    for factor, ok in [(1 + EPS, True), (1 - EPS, False)]:
        with warnings.catch_warnings():
            warnings.simplefilter("error")
            cons = vc.TrackingErrorLimit(te * factor).to_constraints(g, zeta, helper)
        variable = zeta if scaled == "variable" else None
        assert admitted(cons, g, weights * scale, variable, scale) == [ok]


@pytest.mark.parametrize("scale", [1.0, 3.0])
@pytest.mark.parametrize(
    "weights, limit, ok",
    [
        # Selling x, held outside the pool, is 0.5 of turnover on its own.
        ([1.0, 0, 0, 0], 0.5, True),
        ([1.0, 0, 0, 0], 0.5 - EPS, False),
        # Buying b, which is not held, counts in full.
        ([0.5, 0.5, 0, 0], 0.5 - EPS, False),
    ],
)
def test_turnover_limit_counts_sales_outside_pool_and_new_buys(weights, limit, ok, scale):
    holding = pd.Series({"a": 0.5, "x": 0.5})
    constraint = vc.TurnoverLimit(holding, limit)
    g = cp.Variable(4, nonneg=True)
    zeta = cp.Variable(nonneg=True) if scale != 1.0 else None
    cons = constraint.to_constraints(g, 1.0 if zeta is None else zeta, FakeHelper(POOL))
    assert admitted(cons, g, np.array(weights) * scale, zeta, scale) == [ok]
    assert constraint._current_holding is holding and holding.to_dict() == {"a": 0.5, "x": 0.5}


@pytest.mark.parametrize(
    "components, lower, ok",
    [
        # a and b are components (x is outside the pool): their weight is 0.5.
        ({"a": 0.5, "b": 0.2, "x": 0.3}, 0.5, True),
        ({"a": 0.5, "b": 0.2, "x": 0.3}, 0.5 + EPS, False),
        # Exactly 1 is accepted and requires every weight to sit in components.
        ({"a": 0.5, "b": 0.2, "x": 0.3}, 1, False),
        ({"x": 1.0}, 0, True),
        ({"x": 1.0}, EPS, False),
    ],
)
def test_benchmark_component_limit_counts_pool_components(components, lower, ok):
    g = cp.Variable(4, nonneg=True)
    helper = FakeHelper(POOL, benchmark_weights=components)
    cons = vc.BenchmarkComponentWeightLimit(lower).to_constraints(g, 1.0, helper)
    assert admitted(cons, g, [0.3, 0.2, 0.5, 0.0]) == [ok]


@pytest.mark.parametrize(
    "lower, upper, relative, benchmark, lo, hi",
    [
        (0, 1, False, None, None, None),
        (None, 0, False, None, None, 0.0),
        ("-5%", "+5%", True, {"I1": 0.2}, 0.19, 0.21),
        (-0.02, None, True, {"I1": 0.2}, 0.18, None),
        # An industry the benchmark does not hold has benchmark weight 0.
        (None, "+5%", True, {"I2": 0.2}, None, 0.0),
        (None, 0.02, True, {}, None, 0.02),
        # An infinite side can only mean "no limit" there.
        (0.1, float("inf"), False, None, 0.1, None),
        (float("-inf"), 0.3, False, None, None, 0.3),
        (-np.inf, np.inf, True, {"I1": 0.2}, None, None),
    ],
)
def test_industry_constraint_bounds(lower, upper, relative, benchmark, lo, hi):
    helper = industry_helper(benchmark)
    constraint = vc.IndustryConstraint("I1", lower, upper, relative, IndustryClassification.CITIC)
    g, zeta = cp.Variable(4, nonneg=True), cp.Variable(nonneg=True)
    cons = constraint.to_constraints(g, zeta, helper)
    assert helper.classifications == [IndustryClassification.CITIC]
    assert_bounds(cons, g, zeta, industry_i1_at, lo, hi)


def test_industry_constraint_skips_missing_industry_with_warning():
    constraint = vc.IndustryConstraint(["nope", "I1"], upper_limit=0.1)
    g = cp.Variable(4, nonneg=True)
    with pytest.warns(OptimizerWarning) as record:
        cons = constraint.to_constraints(g, 1.0, industry_helper())
    assert [str(w.message) for w in record] == ["候选股票池中没有 nope 行业，相应约束忽略"]
    assert_bounds(cons, g, None, industry_i1_at, None, 0.1)


KNOWN = ["banks", "steel", "I1", "I2"]
SWS = "IndustryClassification.SWS"


@pytest.mark.parametrize(
    "make, message",
    [
        (
            lambda: vc.IndustryConstraint(["I1", "Banks"], upper_limit=0.0),
            f"行业分类 {SWS} 中没有名为 Banks 的行业（拼写错误？）；最接近的行业名：banks",
        ),
        (
            lambda: vc.IndustryConstraint("zzz", upper_limit=0.0),
            f"行业分类 {SWS} 中没有名为 zzz 的行业（拼写错误？）；"
            "该分类的行业有：banks, steel, I1, I2, UNKNOWN",
        ),
        (
            lambda: vc.WildcardIndustryConstraint(["I2", "Steel"], upper_limit=0.3),
            f"行业分类 {SWS} 中没有名为 Steel 的行业（拼写错误？）；最接近的行业名：steel",
        ),
    ],
    ids=["near miss", "no near name", "misspelt exclusion"],
)
def test_industry_names_the_classification_does_not_know_are_refused(make, message):
    helper = industry_helper()
    helper.get_industry_names = lambda classification: list(KNOWN)
    with pytest.raises(InvalidArgument, match="^" + re.escape(message) + "$"):
        make().to_constraints(cp.Variable(4, nonneg=True), 1.0, helper)


def test_known_industry_outside_the_pool_is_only_reported():
    helper = industry_helper()
    helper.get_industry_names = lambda classification: list(KNOWN)
    with pytest.warns(OptimizerWarning) as record:
        cons = vc.IndustryConstraint(["steel", "I1"], upper_limit=0.1).to_constraints(
            cp.Variable(4, nonneg=True), 1.0, helper
        )
    assert [str(w.message) for w in record] == ["候选股票池中没有 steel 行业，相应约束忽略"]
    assert len(cons) == 1
    # Excluding a known industry (or the helper's name for none) is no mistake.
    exclude = vc.WildcardIndustryConstraint(["steel", "UNKNOWN", "I2"], upper_limit=0.3)
    assert len(exclude.to_constraints(cp.Variable(4, nonneg=True), 1.0, helper)) == 1


def test_relative_bound_form_is_checked_only_when_used():
    constraint = vc.IndustryConstraint("I1", upper_limit="5%", relative=True)
    with pytest.raises(InvalidArgument):
        constraint.to_constraints(cp.Variable(4), 1.0, industry_helper({"I1": 0.2}))


def test_wildcard_industry_constraint_skips_excluded_and_unknown():
    exclude = ["I2"]
    constraint = vc.WildcardIndustryConstraint(exclude, upper_limit=0.2)
    exclude.append("I1")
    g = cp.Variable(4, nonneg=True)
    cons = constraint.to_constraints(g, 1.0, industry_helper())
    # Only I1 is bounded: c (I2) and d (UNKNOWN) may hold anything.
    assert_bounds(cons, g, None, industry_i1_at, None, 0.2)
    but_i1 = vc.WildcardIndustryConstraint("I1", upper_limit=0.2)
    cons = but_i1.to_constraints(g, 1.0, industry_helper())
    assert_bounds(cons, g, None, lambda x: [0.5 - x / 2, 0.5 - x / 2, x, 0.0], None, 0.2)


def test_wildcard_industry_constraint_relative_warns_for_benchmark_only_industries():
    constraint = vc.WildcardIndustryConstraint(lower_limit="-10%", relative=True)
    g = cp.Variable(4, nonneg=True)
    with pytest.warns(OptimizerWarning) as record:
        cons = constraint.to_constraints(g, 1.0, industry_helper({"I1": 0.5, "I9": 0.5}))
    assert [str(w.message) for w in record] == ["候选股票池中没有 I9 行业，相应约束忽略"]
    # I2's benchmark weight is 0, so only I1 gets a lower bound.
    assert_bounds(cons, g, None, industry_i1_at, 0.45, None)


@pytest.mark.parametrize("zeta", [1.0, cp.Variable(nonneg=True)])
def test_industry_component_limit_bounds_each_share(zeta):
    helper = industry_helper()
    helper._industries = pd.Series(["I1", "I1", "I1", "I2"], index=POOL)
    g = cp.Variable(4, nonneg=True)
    assert vc.IndustryComponentLimit("I1", 0, 1).to_constraints(g, zeta, helper) == []
    cons = vc.IndustryComponentLimit("I1", 0.1, 0.5).to_constraints(g, zeta, helper)
    # Shares of I1 0.05, 0.3 and 0.65, stock by stock; d is not in I1.
    assert admitted(cons, g, [0.05, 0.3, 0.65, 5.0]) == [False, True, True, True, True, False]
    assert admitted(cons, g, [0.1, 0.45, 0.45, 5.0]) == [True] * 6
    with pytest.raises(InvalidArgument, match="^候选股票池中没有 I3 行业$"):
        vc.IndustryComponentLimit("I3", upper_limit=0.5).to_constraints(g, zeta, helper)


@pytest.mark.parametrize(
    "lower, upper, relative, lo, hi",
    [
        (-0.5, None, False, -0.5, None),
        ("-5%", "+5%", True, 0.285, 0.315),
        (-0.1, 0.1, True, 0.2, 0.4),
        (-np.inf, 0.4, False, None, 0.4),
        (0.1, "inf", False, 0.1, None),
        ("-5%", np.inf, True, 0.285, None),
    ],
)
def test_style_constraint_bounds_exposure(lower, upper, relative, lo, hi):
    helper = FakeHelper(POOL)
    helper.get_benchmark_style = lambda: pd.Series({"beta": 0.3})
    beta = helper.get_factor_exposure()["beta"].values
    g, zeta = cp.Variable(4), cp.Variable(nonneg=True)
    cons = vc.StyleConstraint("beta", lower, upper, relative).to_constraints(g, zeta, helper)
    assert_bounds(cons, g, zeta, lambda x: x * beta / (beta @ beta), lo, hi)


def test_style_constraints_come_style_by_style():
    helper = FakeHelper(POOL)
    exposure = pd.DataFrame(0.0, index=POOL, columns=STYLE_FACTORS)
    exposure.loc["a", "beta"] = exposure.loc["b", "size"] = 1.0
    helper.get_factor_exposure = lambda: exposure
    g = cp.Variable(4)
    # beta's exposure (0.5) lies within [0.2, 0.6], size's (0.1) below it.
    cons = vc.StyleConstraint(["beta", "size"], 0.2, 0.6).to_constraints(g, 1.0, helper)
    assert admitted(cons, g, [0.5, 0.1, 0.2, 0.2]) == [True, True, False, True]


@pytest.mark.parametrize(
    "make",
    [
        lambda: vc.TrackingErrorLimit(np.inf),
        lambda: vc.TurnoverLimit(HOLDING, "inf"),
        lambda: vc.IndustryComponentLimit("I1", -np.inf, np.inf),
        lambda: vc.WildcardIndustryConstraint(lower_limit=-np.inf),
    ],
)
def test_infinite_limit_adds_no_constraint(make):
    helper = industry_helper()
    helper.union_components = POOL
    assert make().to_constraints(cp.Variable(4, nonneg=True), 1.0, helper) == []


@pytest.mark.parametrize(
    "make, message",
    [
        (lambda: vc.IndustryConstraint("I1", np.inf), "IndustryConstraint:lower_limit = inf"),
        (
            lambda: vc.IndustryComponentLimit("I1", upper_limit=-np.inf),
            "IndustryComponentLimit:upper_limit = -inf",
        ),
        (lambda: vc.StyleConstraint("beta", np.nan, 1), "StyleConstraint:lower_limit = nan"),
        (lambda: vc.StyleConstraint("beta", 0, "-inf"), "StyleConstraint:upper_limit = -inf"),
    ],
)
def test_infinity_no_weight_can_meet_and_nan_are_refused(make, message):
    with pytest.raises(InvalidArgument, match="^约束的上限或下限非法: " + re.escape(message)):
        make()


def test_relative_infinity_no_weight_can_meet_is_refused():
    constraint = vc.IndustryConstraint("I1", upper_limit=-np.inf, relative=True)
    with pytest.raises(InvalidArgument, match="^约束指定的上限或下限 -inf 非法$"):
        constraint.to_constraints(cp.Variable(4), 1.0, industry_helper({"I1": 0.2}))


def test_wildcard_style_constraint():
    constraint = vc.wildcard_style_constraint("size", upper_limit=1.0)
    assert constraint.styles == [s for s in STYLE_FACTORS if s != "size"]
    everything = vc.wildcard_style_constraint(STYLE_FACTORS, lower_limit=0)
    assert everything.to_constraints(cp.Variable(4), 1.0, FakeHelper(POOL)) == []


def test_constraints_shape_the_optimised_portfolio(fake_market):
    from vantelo.optimize import portfolio_optimize

    pool = sorted(fake_market.records)
    fake_market.helper_options = {"industries": ["I1", "I1", "I2", "I2", "I3"]}
    cons = [
        vc.IndustryConstraint("I1", upper_limit=0),
        vc.IndustryComponentLimit("I2", upper_limit=0.5),
        # Binding: without it this market's portfolio turns over about 0.55.
        vc.TurnoverLimit({pool[2]: 1.0}, 0.5),
    ]
    weights = portfolio_optimize(pool, DATE, cons=cons)
    assert weights[pool[:2]].sum() == pytest.approx(0, abs=1e-3)
    assert weights[pool[2]] == pytest.approx(weights[pool[3]], abs=1e-3)
    assert np.abs(weights.values - [0, 0, 1, 0, 0]).sum() / 2 <= 0.5 + 1e-3


class _Benchmark(OptimizeBenchmark):
    def get_expected_returns(self, date, window=252):
        return 0.0


RATIO_RETURNS = pd.Series(
    [0.08, -0.02, 0.05, 0.01, 0.03],
    index=["000001.XSHE", "000002.XSHE", "600000.XSHG", "600001.XSHG", "600002.XSHG"],
)
TE_BENCHMARK = {"000001.XSHE": 0.2, "600001.XSHG": 0.3, "000300.OUT": 0.5}


def homogenised_reference(kind, cov, b, te):
    """The optimum under the tracking-error cone, g = zeta * w, solved by Clarabel."""
    n = 5
    g, zeta = cp.Variable(n, nonneg=True), cp.Variable(nonneg=True)
    active = cp.hstack([g, np.zeros(len(b) - n)]) - zeta * b
    root = np.linalg.cholesky(cov)
    cons = [cp.sum(g) == zeta, cp.norm(root.T @ active) <= te * zeta]
    mu = RATIO_RETURNS.values
    if kind == "RiskParity":
        objective = cp.quad_form(g, cov[:n, :n]) - cp.sum(cp.log(g))
    elif kind == "MaxSharpeRatio":
        objective, cons = cp.quad_form(g, cov[:n, :n]), [*cons, mu @ g == 1]
    else:
        objective, cons = cp.quad_form(active, cov), [*cons, mu @ g == 1]
    problem = cp.Problem(cp.Minimize(objective), cons)
    # Some Clarabel releases end the log-barrier problem "optimal_inaccurate" although
    # within 1e-5 of the answer; SCS at a tight tolerance is then the reference.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        problem.solve(solver=cp.CLARABEL)
    if problem.status != cp.OPTIMAL:
        problem.solve(solver=cp.SCS, eps_abs=1e-9, eps_rel=1e-9, max_iters=200_000)
    assert problem.status == cp.OPTIMAL
    return g.value / g.value.sum()


@pytest.mark.parametrize("kind", ["MaxSharpeRatio", "MaxInformationRatio", "RiskParity"])
def test_tracking_error_limit_holds_under_a_variable_scale(fake_market, kind):
    import vantelo.objective as vo
    from vantelo.optimize import portfolio_optimize

    pool = sorted(fake_market.records)
    fake_market.helper_options = {"benchmark_weights": TE_BENCHMARK}
    helper = FakeHelper(pool, TE_BENCHMARK)
    cov, b = helper.get_union_cov_matrix(), helper.benchmark_weight.values

    def tracking_error(w):
        active = np.concatenate([w, np.zeros(len(b) - len(w))]) - b
        return np.sqrt(active @ cov @ active)

    objective = vo.RiskParity() if kind == "RiskParity" else getattr(vo, kind)(RATIO_RETURNS)
    free = portfolio_optimize(pool, DATE, objective, benchmark=_Benchmark()).values
    w = cp.Variable(5, nonneg=True)
    active = cp.hstack([w, np.zeros(len(b) - 5)]) - b
    cp.Problem(cp.Minimize(cp.quad_form(active, cov)), [cp.sum(w) == 1]).solve(cp.CLARABEL)
    # Between the least tracking error the pool allows and the free optimum's: it binds.
    limit = (tracking_error(w.value) + tracking_error(free)) / 2
    weights = portfolio_optimize(
        pool, DATE, objective, cons=[vc.TrackingErrorLimit(limit)], benchmark=_Benchmark()
    ).values
    assert limit * (1 - 1e-2) <= tracking_error(weights) <= limit * (1 + 1e-3)
    assert np.abs(weights - homogenised_reference(kind, cov, b, limit)).max() < 1e-3


def test_the_driver_refuses_a_result_beyond_the_tracking_error_cone(fake_market, monkeypatch):
    # A solver that reports success at a point all in one stock: the result check
    # must measure the cone under the variable scale and refuse the portfolio.
    import vantelo.objective as vo
    from vantelo.exception import OptimizationFailed
    from vantelo.optimize import portfolio_optimize

    solve = cp.Problem.solve

    def misreported(problem, *args, **kwargs):
        result = solve(problem, *args, **kwargs)
        g = next(v for v in problem.variables() if v.shape == (5,))
        g.value = np.array([g.value.sum(), 0, 0, 0, 0])
        return result

    fake_market.helper_options = {"benchmark_weights": TE_BENCHMARK}
    monkeypatch.setattr(cp.Problem, "solve", misreported)
    with pytest.raises(OptimizationFailed, match="^求解结果违反约束"):
        portfolio_optimize(
            sorted(fake_market.records),
            DATE,
            vo.MaxSharpeRatio(RATIO_RETURNS),
            # Feasible (the pool can come within 0.14), and far below the 0.23 of
            # the first stock alone.
            cons=[vc.TrackingErrorLimit(0.16)],
            benchmark=_Benchmark(),
        )
