"""Objectives: expressions against numpy, the return adjustments and estimates,
rejected inputs, and one optimisation per objective through the driver."""

import datetime
import types
import warnings

import cvxpy as cp
import numpy as np
import pandas as pd
import pytest
from conftest import DATE, PREV_DATE, FakeHelper, stock

import tidewell
import vantelo.constraints as vc
from vantelo.benchmark import OptimizeBenchmark
from vantelo.const import STYLE_FACTORS
from vantelo.exception import InvalidArgument, OptimizerWarning
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
from vantelo.optimize import portfolio_optimize

POOL = ["000001.XSHE", "000002.XSHE", "600000.XSHG", "600001.XSHG", "600002.XSHG"]
OUTSIDE = {POOL[0]: 0.3, POOL[1]: 0.2, "000300.OUT": 0.3, "000905.OUT": 0.2}
INSIDE = {POOL[0]: 0.6, POOL[2]: 0.4}


def variable(values):
    v = cp.Variable(np.shape(values), nonneg=True)
    v.value = values
    return v


def point(n):
    return variable(np.random.default_rng(1).uniform(0.05, 0.5, n))


class Bench(OptimizeBenchmark):
    def __init__(self, expected=0.0):
        self.expected, self.asked = expected, []

    def get_expected_returns(self, date, window=252):
        self.asked.append((date, window))
        return self.expected


def rates(ids):
    """Daily change rates whose means differ from stock to stock."""
    drift = np.linspace(-0.0004, 0.0012, len(ids))
    noise = np.random.default_rng(len(ids)).normal(0, 0.002, size=(60, len(ids)))
    return pd.DataFrame(drift + noise, columns=list(ids))


@pytest.fixture
def history(monkeypatch):
    log = types.SimpleNamespace(offsets=[], fetches=[], fail=False)

    def trading_date_offset(date, n):
        log.offsets.append((date, n))
        return date + datetime.timedelta(days=n)

    def get_price_change_rate(ids, start, end):
        log.fetches.append((list(ids), start, end))
        if log.fail:
            raise ConnectionError("store offline")
        return rates(ids)

    monkeypatch.setattr(tidewell, "trading_date_offset", trading_date_offset, raising=False)
    monkeypatch.setattr(tidewell, "get_price_change_rate", get_price_change_rate, raising=False)
    return log


# --- expressions ---------------------------------------------------------------------


def active_variance(w, h, scale=1.0):
    a = np.concatenate([w, np.zeros(len(h.union_components) - len(w))])
    a = a - scale * h.benchmark_weight.values
    return a @ h.get_union_cov_matrix() @ a


def style_gap(g, h, style, offset):
    return g @ h.get_factor_exposure()[style] - h.get_benchmark_style()[style] - offset


EXPRESSIONS = {  # objective, zeta, value at g in numpy
    "RiskParity": (RiskParity, 4, lambda g, h, cov: g @ cov @ g - np.log(g).sum()),
    "MinTrackingError": (MinTrackingError, 1, lambda g, h, cov: active_variance(g, h)),
    "MaxInformationRatio": (
        MaxInformationRatio,
        variable(1.7),
        lambda g, h, cov: active_variance(g, h, 1.7),
    ),
    "MaxSharpeRatio": (MaxSharpeRatio, variable(1.7), lambda g, h, cov: g @ cov @ g),
    "MaxIndicator": (  # mean absolute value over the pool 2; "X" is not in the pool
        lambda: MaxIndicator({POOL[0]: 1, POOL[1]: -3, POOL[2]: 2, POOL[3]: 2, "X": 50}),
        1.0,
        lambda g, h, cov: -np.array([0.5, -1.5, 1, 1]) @ g,
    ),
    "MinStyleDeviation": (  # offsets from the benchmark; beta's priority 12 -> 9, size's 5
        lambda: MinStyleDeviation({"beta": 0.1, "size": -0.2}, True, {"beta": 12, "growth": 0}),
        1.0,
        lambda g, h, cov: (
            45 * style_gap(g, h, "beta", 0.1) ** 2 + 25 * style_gap(g, h, "size", -0.2) ** 2
        ),
    ),
}


@pytest.mark.parametrize("benchmark", [OUTSIDE, INSIDE], ids=["outside", "inside"])
@pytest.mark.parametrize("factor_form", [False, True])
@pytest.mark.parametrize("name", sorted(EXPRESSIONS))
def test_expression_matches_numpy(name, factor_form, benchmark):
    make, zeta, formula = EXPRESSIONS[name]
    h, g = FakeHelper(POOL[:4], benchmark, seed=3, factor_form=factor_form), point(4)
    expected = formula(g.value, h, h.get_cov_matrix())
    assert make().get_objective_expr(g, zeta, h).value == pytest.approx(expected, rel=1e-9)


@pytest.mark.parametrize(
    "returns, scale",
    [
        ([0.1, 0.3, -0.2], 0.2),
        (-np.arange(1, 11) / 100, 0.02),  # all losses: the best quarter, rounded up
        ([-0.01, -0.02, -0.03, -0.04, -0.05], 0.015),
        ([-0.01, -0.02, -0.03, -0.04], 0.01),
        ([-0.05], 0.05),
    ],
)
@pytest.mark.parametrize("coefficient, factor_form", [(0, False), (2.5, False), (2.5, True)])
def test_mean_variance_scales_risk_by_typical_return(returns, scale, coefficient, factor_form):
    n = len(returns)
    pool = [f"{i:06d}.XSHE" for i in range(n)]
    h, mu, g = FakeHelper(pool, factor_form=factor_form), np.asarray(returns), point(n).value
    cov, equal = h.get_cov_matrix(), np.full(n, 1 / n)
    expected = -mu @ g + coefficient * scale / (equal @ cov @ equal) * g @ cov @ g
    expr = MeanVariance(pd.Series(mu, index=pool), 252, coefficient)
    assert expr.get_objective_expr(variable(g), 1.0, h).value == pytest.approx(expected, rel=1e-9)


def test_mean_variance_with_zero_returns_falls_back_to_variance():
    h, g = FakeHelper(POOL[:3]), point(3)
    with pytest.warns(OptimizerWarning, match="^MeanVariance: expected_returns 全部为 0，退化为"):
        expr = MeanVariance(dict.fromkeys(POOL[:3], 0.0)).get_objective_expr(g, 1.0, h)
    assert expr.value == pytest.approx(MinVariance().get_objective_expr(g, 1.0, h).value)


@pytest.mark.parametrize("cls", [MaxSharpeRatio, MaxInformationRatio])
@pytest.mark.parametrize(
    "returns, vector, no_positive",
    [
        ({POOL[0]: 0.05, POOL[1]: 0.05}, [1, 1], False),
        # No positive entry: no portfolio has a positive ratio; shifted, and said.
        ({POOL[0]: -0.1, POOL[1]: -0.3}, [0.1, -0.1], True),
        ({POOL[0]: 0.2, POOL[1]: -0.1}, [0.2, -0.1], False),
        # A negative mean with a positive entry is left as it is.
        ({POOL[0]: 0.1, POOL[1]: -0.3}, [0.1, -0.3], False),
        ({POOL[0]: 0.0, POOL[1]: 0.0, "300750.XSHE": 0.3}, [1, 1], False),
    ],
)
def test_ratio_constraint_fixes_adjusted_return_at_one(cls, returns, vector, no_positive):
    g, h = point(2), FakeHelper(POOL[:2])
    with warnings.catch_warnings(record=True) as record:
        warnings.simplefilter("always")
        [constraint] = cls(returns).get_internal_constraints(g, variable(1.0), h)
    messages = [str(w.message) for w in record]
    if no_positive:
        assert len(messages) == 1 and messages[0].startswith(f"{cls.__name__}: 股票池中没有")
    else:
        assert messages == []
    for unit in np.eye(2):  # each entry of the vector, one at a time
        g.value = unit
        assert constraint.expr.value + 1 == pytest.approx(unit @ vector)


def test_style_priorities_are_cut_clipped_and_defaulted():
    style = MinStyleDeviation({"beta": 0, "size": 0, "growth": 0}, 0, {"beta": 7.9, "size": -1})
    assert style._priority.to_dict() == {"beta": 7, "size": 0, "growth": 5}


# --- rejected inputs -------------------------------------------------------------------

FORM = "{}: 期望传入一个 pd.Series 或可以转换为 pd.Series 的对象"


@pytest.mark.parametrize(
    "build, message",
    [
        (
            lambda: MeanVariance(None, 252, -0.1),
            "risk_aversion_coefficient （风险厌恶系数）不能小于0，传入值为：-0.1",
        ),
        (lambda: MeanVariance({1}, risk_aversion_coefficient=-1), FORM.format("expected_returns")),
        (  # the style is checked before the priority is looked at
            lambda: MinStyleDeviation({"beta": 0, "value": 1}, priority={"value": np.nan}),
            f"目标风格值 value 非法，请从 {STYLE_FACTORS} 中选取",
        ),
    ],
)
def test_constructor_rejects(build, message):
    with pytest.raises(InvalidArgument) as info:
        build()
    assert str(info.value) == message


MISSING = "传入股票池中的股票有部分在 indicator_series 中找不到值"


@pytest.mark.parametrize(
    "objective, method, message",
    [
        (MaxIndicator(None), "get_objective_expr", MISSING),
        (MaxIndicator({POOL[0]: 1, "X": 2}), "get_objective_expr", MISSING),
        (MaxIndicator({POOL[0]: 0, POOL[1]: 0, "X": 2}), "get_objective_expr", "均为 0"),
        (MaxIndicator({POOL[0]: np.nan, POOL[1]: 1}), "get_objective_expr", f"{[POOL[0]]}"),
        (MeanVariance({POOL[1]: np.inf}), "get_objective_expr", f"{[POOL[1]]}"),
        (MaxSharpeRatio({POOL[0]: np.nan}), "get_internal_constraints", "expected_returns"),
        (MaxInformationRatio({POOL[1]: -np.inf}), "get_internal_constraints", "active_returns"),
        (MinStyleDeviation({"beta": 0}, relative=1), "get_objective_expr", "必须指定 benchmark"),
    ],
)
def test_evaluation_rejects(objective, method, message):
    with pytest.raises(InvalidArgument, match=message.replace("[", r"\[")):
        getattr(objective, method)(point(2), 1.0, FakeHelper(POOL[:2]))


def test_mean_variance_rejects_riskless_pool():
    h = FakeHelper(POOL[:2])
    h.get_cov_matrix = lambda: np.zeros((2, 2))
    with pytest.raises(InvalidArgument, match="等权组合的方差为 0"):
        MeanVariance({POOL[0]: 0.1, POOL[1]: 0.2}).get_objective_expr(point(2), 1.0, h)


# --- per-stock values that do not match the pool ---------------------------------------

PER_STOCK = [
    (MeanVariance, "get_objective_expr", "expected_returns"),
    (MaxSharpeRatio, "get_internal_constraints", "expected_returns"),
    (MaxInformationRatio, "get_internal_constraints", "expected_active_returns"),
]


@pytest.mark.parametrize("cls, method, name", PER_STOCK)
@pytest.mark.parametrize(
    "values, keys",
    [
        (np.array([0.1, 0.2, 0.3]), "0, 1, 2"),
        ([0.1, 0.2, 0.3], "0, 1, 2"),
        ({"000001.SZ": 0.1, "000002.SZ": 0.2}, "000001.SZ, 000002.SZ"),
    ],
    ids=["array", "list", "other suffix"],
)
def test_values_matching_no_pool_stock_are_refused(cls, method, name, values, keys):
    with pytest.raises(InvalidArgument) as info:
        getattr(cls(values), method)(point(3), 1.0, FakeHelper(POOL[:3]))
    assert str(info.value) == (
        f"{name}: 股票池中没有一只股票有值（股票池中的代码如 {', '.join(POOL[:3])}；"
        f"传入的键如 {keys}）"
    )


@pytest.mark.parametrize("cls, method, name", PER_STOCK)
def test_values_missing_for_some_pool_stocks_are_filled_with_one_warning(cls, method, name):
    values = {POOL[0]: 0.2, POOL[1]: 0.1, POOL[2]: -0.1}
    full, partial = cls(values), cls({POOL[0]: 0.2, POOL[1]: 0.1, POOL[2]: -0.1, POOL[3]: 0.0})
    g, h = point(5), FakeHelper(POOL)
    with pytest.warns(OptimizerWarning) as caught:
        expr = getattr(full, method)(g, 1.0, h)
    assert [str(w.message) for w in caught] == [
        f"{name}: 股票池中有 2 只股票没有值，按 0 处理：{POOL[3]}, {POOL[4]}"
    ]
    with pytest.warns(OptimizerWarning, match="有 1 只股票没有值"):
        reference = getattr(partial, method)(g, 1.0, h)
    if method == "get_objective_expr":
        assert expr.value == pytest.approx(reference.value)
    else:
        assert expr[0].expr.value == pytest.approx(reference[0].expr.value)


@pytest.mark.parametrize("cls, method, name", PER_STOCK)
@pytest.mark.parametrize(
    "values, size, median",
    [
        ([10.0, 5.0, -3.0, 8.0, 2.0], 5, 5.0),  # percent: 10 for 10%
        ([0.1, 0.05, -0.03, 0.08, 0.02], 5, None),
        # A few large entries do not make the rest percent; the median decides.
        ([0.1, 0.05, 1.2, 1.5, 0.3], 5, None),
        ([1.5, -2.0, 0.1, 3.0], 5, 1.5),  # the stock left out counts as 0
        ([2.0, 4.0, -0.5, 0.1], 4, 1.25),  # an even count: the middle two
    ],
)
def test_returns_that_look_like_percent_get_one_warning(cls, method, name, values, size, median):
    pool = POOL[:size]
    objective = cls(pd.Series(values, index=POOL[: len(values)]))
    with warnings.catch_warnings(record=True) as record:
        warnings.simplefilter("always")
        getattr(objective, method)(point(len(pool)), 1.0, FakeHelper(pool))
    percent = [str(w.message) for w in record if "百分数" in str(w.message)]
    if median is None:
        assert percent == []
    else:
        assert percent == [
            f"{name}: 股票池中收益率绝对值的中位数为 {median}，看起来是百分数；"
            "收益率应以小数给出（5% 写作 0.05）"
        ]


@pytest.mark.parametrize(
    "objective, method",
    [
        (
            MeanVariance(pd.Series([0.1, 0.2, 0.3], index=[POOL[0], POOL[1], POOL[0]])),
            "get_objective_expr",
        ),
        (
            MaxSharpeRatio(pd.Series([0.1, 0.2, 0.3], index=[POOL[0], POOL[1], POOL[0]])),
            "get_internal_constraints",
        ),
        (
            MaxIndicator(pd.Series([1.0, 2.0, 3.0], index=[POOL[0], POOL[1], POOL[0]])),
            "get_objective_expr",
        ),
    ],
)
def test_duplicated_key_is_named(objective, method):
    with pytest.raises(InvalidArgument, match=f"以下股票代码出现了不止一次：{POOL[0]}$"):
        getattr(objective, method)(point(2), 1.0, FakeHelper(POOL[:2]))


# --- history estimates -----------------------------------------------------------------


@pytest.mark.parametrize(
    "cls, method",
    [(MeanVariance, "get_objective_expr"), (MaxSharpeRatio, "get_internal_constraints")],
)
def test_history_estimate_is_kept_after_first_success(history, cls, method):
    h, objective = FakeHelper(POOL[:3]), cls(window=20)
    history.fail = True
    with pytest.raises(ConnectionError):
        getattr(objective, method)(point(3), 1.0, h)
    assert objective._expected_returns is None
    history.fail = False
    for _ in range(2):
        getattr(objective, method)(point(3), 1.0, h)
    assert len(history.fetches) == 2 and history.offsets[-1] == (PREV_DATE, -20)
    assert history.fetches[-1] == (POOL[:3], PREV_DATE - datetime.timedelta(20), PREV_DATE)
    pd.testing.assert_series_equal(objective._expected_returns, rates(POOL[:3]).mean() * 252)


@pytest.mark.parametrize(
    "cls, method",
    [(MeanVariance, "get_objective_expr"), (MaxSharpeRatio, "get_internal_constraints")],
)
def test_history_estimate_is_made_again_for_another_date_or_pool(history, cls, method):
    objective, later = cls(window=20), DATE + datetime.timedelta(days=3)
    for pool, date in [(POOL[:3], DATE), (POOL[:3], DATE), (POOL[:3], later), (POOL[1:4], later)]:
        getattr(objective, method)(point(3), 1.0, FakeHelper(pool, date=date))
    assert [ids for ids, _, _ in history.fetches] == [POOL[:3], POOL[:3], POOL[1:4]]
    pd.testing.assert_series_equal(objective._expected_returns, rates(POOL[1:4]).mean() * 252)


@pytest.mark.parametrize(
    "cls, method",
    [(MeanVariance, "get_objective_expr"), (MaxSharpeRatio, "get_internal_constraints")],
)
def test_returns_the_caller_gave_are_never_replaced(history, cls, method):
    given = pd.Series([0.1, 0.3, -0.2, 0.05], index=POOL[:4])
    objective = cls(given)
    for pool, date in [(POOL[:3], DATE), (POOL[1:4], DATE + datetime.timedelta(days=3))]:
        getattr(objective, method)(point(3), 1.0, FakeHelper(pool, date=date))
    assert history.fetches == [] and objective._expected_returns is given


@pytest.mark.parametrize("weights", [INSIDE, {POOL[0]: 0.5, "000300.OUT": 0.5}])
def test_information_ratio_estimate_is_centred_on_the_benchmark(history, weights):
    bench, g = Bench(expected=0.5), point(3)
    h, objective = FakeHelper(POOL[:3], weights, benchmark=bench), MaxInformationRatio(None, 30)
    for _ in range(2):
        [constraint] = objective.get_internal_constraints(g, variable(1.0), h)
    # The benchmark's return is its components' estimate over the stocks' window.
    estimate = rates(h.union_components).mean() * 252
    active = (estimate - estimate[list(weights)] @ pd.Series(weights)).reindex(POOL[:3]).values
    assert active.max() > 0  # so no shift is needed
    assert constraint.expr.value + 1 == pytest.approx(active @ g.value)
    assert [ids for ids, _, _ in history.fetches] == [h.union_components] * 2
    assert bench.asked == [] and objective._expected_active_returns is None
    if weights is INSIDE:
        assert h.benchmark_weight.values @ active == pytest.approx(0, abs=1e-12)


def test_information_ratio_warns_when_given_returns_favour_the_benchmark():
    given = MaxInformationRatio({POOL[0]: 0.05, POOL[1]: -0.01, POOL[2]: 0.02})
    with pytest.warns(OptimizerWarning, match="^MaxInformationRatio: 基准自身的预期主动收益为正"):
        given.get_internal_constraints(point(3), variable(1.0), FakeHelper(POOL[:3], INSIDE))
    # A benchmark partly outside the pool cannot be held, so it cannot come back.
    given.get_internal_constraints(point(3), variable(1.0), FakeHelper(POOL[:3], OUTSIDE))


# --- through the driver: each optimum, found alike with the dense and the factor form ---

COV = FakeHelper(POOL).get_cov_matrix()  # what the fake market's helper holds


@pytest.fixture
def solve(fake_market):
    def run(objective, benchmark_weights=None, **kwargs):
        found = []
        for factor_form in (False, True):
            fake_market.helper_options.update(
                benchmark_weights=benchmark_weights, factor_form=factor_form
            )
            found.append(portfolio_optimize(POOL, DATE, objective, **kwargs).values)
        assert np.abs(found[0] - found[1]).sum() < 1e-3
        return found[1]

    return run


def test_max_sharpe_beats_min_variance_and_equal_weight(solve, history):
    weights = [solve(MaxSharpeRatio(), benchmark=Bench()), solve(MinVariance()), np.full(5, 0.2)]
    mu = rates(POOL).mean().values * 252
    sharpe = [mu @ w / np.sqrt(w @ COV @ w) for w in weights]
    assert sharpe[0] >= max(sharpe[1:]) - 1e-4


def best_ratio(mu, cov, benchmark=None):
    """The portfolio of highest mu'w / sqrt((w - b)' cov (w - b)) over w >= 0, sum 1,
    homogenised (y = k w, mu'y = 1) and solved by Clarabel."""
    n = len(mu)
    b = np.zeros(len(cov)) if benchmark is None else benchmark
    y, k = cp.Variable(n, nonneg=True), cp.Variable(nonneg=True)
    active = (cp.hstack([y, np.zeros(len(cov) - n)]) if len(cov) > n else y) - k * b
    cp.Problem(cp.Minimize(cp.quad_form(active, cov)), [mu @ y == 1, cp.sum(y) == k]).solve(
        solver=cp.CLARABEL
    )
    return y.value / k.value


WIDE = [f"{i:06d}.XSHE" for i in range(20)]


@pytest.mark.parametrize("kind", ["sharpe", "information"])
def test_ratio_with_a_few_positive_returns_is_the_true_maximum(fake_market, kind):
    # 4 of 20 expected returns are positive and the mean is negative: the ratio's
    # maximum holds only those 4, and shifting the returns would move it.
    for code in WIDE:
        fake_market.records[code] = stock(code)
    mu = np.linspace(-0.12, 0.03, 20)
    assert (mu > 0).sum() == 4 and mu.mean() < 0
    returns = pd.Series(mu, index=WIDE)
    if kind == "sharpe":
        objective, bench = MaxSharpeRatio(returns), None
    else:
        objective, bench = MaxInformationRatio(returns), {"000300.OUT": 0.6, "000905.OUT": 0.4}
    fake_market.helper_options.update(benchmark_weights=bench, seed=7)
    h = FakeHelper(WIDE, bench, seed=7)
    cov = h.get_union_cov_matrix()
    b = h.benchmark_weight.values

    def ratio(w):
        active = np.concatenate([w, np.zeros(len(b) - len(w))]) - b
        return mu @ w / np.sqrt(active @ cov @ active)

    best = best_ratio(mu, cov, b)
    weights = portfolio_optimize(WIDE, DATE, objective, benchmark=Bench()).values
    assert ratio(weights) == pytest.approx(ratio(best), rel=1e-4)
    assert np.abs(weights - best).max() < 1e-3


def test_mean_variance_optimum_beats_alternatives(solve, history):
    objective = MeanVariance(risk_aversion_coefficient=3)
    g, h = variable(solve(objective)), FakeHelper(POOL)
    value = objective.get_objective_expr(g, 1.0, h).value
    for other in [solve(MinVariance()), np.full(5, 0.2), *np.eye(5)]:
        g.value = other
        assert value <= objective.get_objective_expr(g, 1.0, h).value + 1e-5


@pytest.mark.parametrize("delta", [1.0, 4.0, 20.0])
def test_mean_variance_coefficient_for_a_textbook_risk_aversion(solve, delta):
    # max mu'w - delta/2 w'Σw is MeanVariance with a = delta/2, that is with the
    # coefficient delta/2 times the equal-weight variance over the return scale.
    mu = np.array([0.08, 0.02, -0.01, 0.05, 0.03])
    equal = np.full(5, 0.2)
    scale = mu[mu > 0].mean()
    coefficient = delta / 2 * (equal @ COV @ equal) / scale
    weights = solve(MeanVariance(pd.Series(mu, index=POOL), risk_aversion_coefficient=coefficient))
    w = cp.Variable(5, nonneg=True)
    objective = cp.Maximize(mu @ w - delta / 2 * cp.quad_form(w, COV))
    cp.Problem(objective, [cp.sum(w) == 1]).solve(solver=cp.CLARABEL)
    assert np.abs(weights - w.value).max() < 1e-3


def test_risk_parity_equalises_risk_contributions(solve):
    w = solve(RiskParity())
    contribution = w * (COV @ w)
    assert contribution.min() > 0 and contribution.max() / contribution.min() < 1.001


@pytest.mark.parametrize("cons", [None, []])
def test_risk_parity_leaves_a_stock_capped_at_zero_out_of_the_barrier(solve, cons):
    # Without the cap the log of its weight would be undefined at the only
    # weight it may hold: the solve ended inaccurate, with three warnings.
    w = solve(RiskParity(), bnds={POOL[1]: (0, 0), "*": (0, 0.6)}, cons=cons)
    assert w[1] == pytest.approx(0, abs=1e-6)
    # The reference: the barrier over the other four, bounds as shares of sum(g).
    g, zeta = cp.Variable(5, nonneg=True), cp.Variable(nonneg=True)
    held = [0, 2, 3, 4]
    cp.Problem(
        cp.Minimize(cp.quad_form(g, COV) - cp.sum(cp.log(g[held]))),
        [cp.sum(g) == zeta, g <= zeta * np.array([0.6, 0, 0.6, 0.6, 0.6])],
    ).solve(solver=cp.CLARABEL)
    assert np.abs(w - g.value / g.value.sum()).max() < 1e-3


# Published equal-risk-contribution portfolios. Maillard, Roncalli and Teiletche
# (2010), examples 1 and 2: volatilities 10/20/30/40%, uncorrelated, then with
# correlations 0.8 (stocks 1, 2) and -0.5 (stocks 3, 4). Bai, Scheinberg and
# Tütüncü, the least-squares paper's five-asset example. Each with its weights as
# printed (rounded to the digits shown).
VOLS = np.array([0.1, 0.2, 0.3, 0.4])
MRT_2 = np.eye(4)
MRT_2[0, 1] = MRT_2[1, 0] = 0.8
MRT_2[2, 3] = MRT_2[3, 2] = -0.5
BST = np.array(
    [
        [94.868, 33.750, 12.325, -1.178, 8.778],
        [33.750, 445.642, 98.955, -7.901, 84.954],
        [12.325, 98.955, 117.265, 0.503, 45.184],
        [-1.178, -7.901, 0.503, 5.460, 1.057],
        [8.778, 84.954, 45.184, 1.057, 34.126],
    ]
)
PUBLISHED_RISK_PARITY = {  # covariance, printed weights, their rounding
    "MRT example 1": (np.diag(VOLS**2), [0.48, 0.24, 0.16, 0.12], 1e-4),
    "MRT example 2": (np.outer(VOLS, VOLS) * MRT_2, [0.384, 0.192, 0.243, 0.182], 5e-4),
    "BST example": (BST, [0.125, 0.047, 0.083, 0.613, 0.132], 5e-4),
}


def textbook_risk_parity(cov):
    """The convex form min ½xᵀΣx − (1/n)Σ ln x, solved by Clarabel, normalised."""
    x = cp.Variable(len(cov))
    cp.Problem(cp.Minimize(0.5 * cp.quad_form(x, cov) - cp.sum(cp.log(x)) / len(cov))).solve(
        solver=cp.CLARABEL
    )
    return x.value / x.value.sum()


@pytest.fixture
def solve_with_cov(fake_market):
    def run(cov, **kwargs):
        pool = POOL[: len(cov)]
        found = []
        for factor_form in (False, True):
            fake_market.helper_options.update(covariance=cov, factor_form=factor_form)
            found.append(portfolio_optimize(pool, DATE, RiskParity(), **kwargs).values)
        return found

    return run


@pytest.mark.parametrize("scale", [1e-2, 1.0, 1e2])
@pytest.mark.parametrize(
    "limits",
    [
        {},
        {"bnds": {"*": (0, 1)}},
        {"bnds": {"*": (0.01, 0.7)}},
        {"cons": [vc.WildcardIndustryConstraint(upper_limit=1.0)]},
    ],
    ids=["alone", "unit bounds", "loose bounds", "loose constraint"],
)
@pytest.mark.parametrize("example", sorted(PUBLISHED_RISK_PARITY))
def test_risk_parity_reproduces_published_portfolios(solve_with_cov, example, limits, scale):
    cov, printed, rounding = PUBLISHED_RISK_PARITY[example]
    reference = textbook_risk_parity(cov)
    assert np.abs(reference - printed).max() <= rounding
    for weights in solve_with_cov(cov * scale, **limits):
        assert np.abs(weights - reference).max() < 1e-4
        assert np.abs(weights - printed).max() <= rounding + 1e-4


def test_risk_parity_under_a_binding_cap_does_not_depend_on_the_covariance_unit(solve_with_cov):
    # The least-squares example's fourth asset holds 61% alone: a 40% cap binds.
    cap = {"*": (0, 0.4)}
    found = [w for scale in (1e-2, 1.0, 1e2) for w in solve_with_cov(BST * scale, bnds=cap)]
    assert max(w.max() for w in found) <= 0.4 + 1e-6
    assert max(np.abs(w - found[0]).max() for w in found) < 1e-4
    # The capped stock takes its bound; the others are still balanced by the barrier.
    g, zeta = cp.Variable(5, nonneg=True), cp.Variable(nonneg=True)
    cp.Problem(
        cp.Minimize(cp.quad_form(g, BST) - cp.sum(cp.log(g))),
        [cp.sum(g) == zeta, g <= 0.4 * zeta],
    ).solve(solver=cp.CLARABEL)
    assert np.abs(found[0] - g.value / g.value.sum()).max() < 1e-4


def test_min_tracking_error_replicates_a_benchmark_inside_the_pool(solve):
    target = pd.Series({POOL[0]: 0.1, POOL[1]: 0.2, POOL[2]: 0.3, POOL[4]: 0.4})
    w = solve(MinTrackingError(), target.to_dict(), benchmark=Bench())
    assert np.abs(w - target.reindex(POOL, fill_value=0).values).sum() < 1e-4


def test_max_information_ratio_beats_other_portfolios(solve):
    alpha = np.array([0.05, -0.02, 0.03, 0.01, 0.04])
    best = solve(MaxInformationRatio(pd.Series(alpha, index=POOL)), OUTSIDE, benchmark=Bench())
    h = FakeHelper(POOL, OUTSIDE)
    others = [np.full(5, 0.2), *np.random.default_rng(5).dirichlet(np.ones(5), size=20)]
    ratio = [alpha @ w / np.sqrt(active_variance(w, h)) for w in [best, *others]]
    assert ratio[0] >= max(ratio[1:]) - 1e-4


def test_max_indicator_fills_the_best_stocks_up_to_their_bounds(solve):
    indicator = pd.Series([3.0, -1.0, 5.0, 0.5, 4.0], index=POOL)
    w = solve(MaxIndicator(indicator), bnds={"*": (0, 0.4)})
    assert np.abs(w - [0.2, 0, 0.4, 0, 0.4]).sum() < 1e-3


def test_min_style_deviation_reaches_attainable_targets(solve):
    exposure = FakeHelper(POOL).get_factor_exposure()[["beta", "size"]]
    target = pd.Series([0.7, 0.1, 0.1, 0.05, 0.05], index=POOL) @ exposure
    w = solve(MinStyleDeviation(target, priority={"beta": 9}))
    assert np.abs(w @ exposure - target).max() < 1e-3
