"""Numerically hard inputs through portfolio_optimize, each with one clear outcome.

Covariances that are near-singular, asymmetric, indefinite or broken; NaN and
infinities in returns, indicators, holdings, exposures and benchmark weights;
bounds that admit one portfolio; infeasible constraint sets. Each ends in a
correct portfolio, the soft-constraint retry, InvalidArgument naming the bad
data, or OptimizationFailed, and a portfolio reported as a success never breaks a
hard constraint by more than the solver's tolerance.
"""

import warnings

import cvxpy as cp
import numpy as np
import pandas as pd
import pytest
from conftest import DATE, FakeHelper

import vantelo.optimize as optimize
from vantelo.benchmark import OptimizeBenchmark
from vantelo.constraints import (
    BenchmarkComponentWeightLimit,
    IndustryComponentLimit,
    IndustryConstraint,
    StyleConstraint,
    TrackingErrorLimit,
    TurnoverLimit,
)
from vantelo.exception import InvalidArgument, OptimizationFailed, OptimizerWarning
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

POOL = ["000001.XSHE", "000002.XSHE", "600000.XSHG", "600001.XSHG", "600002.XSHG"]
OUTSIDE = "300750.XSHE"
# SCS stops at 1e-4 (absolute, plus 1e-4 relative to data of order one).
TOLERANCE = 3e-4
RETURNS = pd.Series([0.10, 0.20, 0.05, 0.30, -0.02], index=POOL)


class Custom(FakeHelper):
    """FakeHelper with members replaced: `cov` for the dense pool covariance,
    `exposure` (a function of the honest table) and `benchmark_weights`."""

    def __init__(self, pool, cov=None, exposure=None, **options):
        super().__init__(pool, industries=["Banks", "Banks", "Media", "Media", "Steel"], **options)
        self._cov = cov
        self._edit_exposure = exposure

    def get_cov_matrix(self):
        return super().get_cov_matrix() if self._cov is None else self._cov

    def get_factor_exposure(self):
        table = super().get_factor_exposure().copy()
        if self._edit_exposure is not None:
            self._edit_exposure(table)
        return table


class Index(OptimizeBenchmark):
    """A custom benchmark; the helper holds its weights."""


@pytest.fixture
def solve(fake_market, monkeypatch):
    """solve(helper_options, **portfolio_optimize arguments), with a Custom helper."""

    def run(helper=None, **kwargs):
        options = dict(helper or {})
        monkeypatch.setattr(
            optimize, "OptimizeHelper", lambda pool, date, bench, model: Custom(pool, **options)
        )
        return optimize.portfolio_optimize(POOL, DATE, **kwargs)

    return run


def honest_cov():
    return FakeHelper(POOL).get_cov_matrix()


def min_variance_reference(cov, lower, upper):
    """The optimum of min wᵀΣw, sum w = 1, lower <= w <= upper, by an interior-point solver."""
    w = cp.Variable(len(POOL))
    problem = cp.Problem(
        cp.Minimize(cp.quad_form(w, cp.psd_wrap(cov))), [cp.sum(w) == 1, w >= lower, w <= upper]
    )
    problem.solve(solver=cp.CLARABEL)
    return problem.value


def with_eigenvalues(low):
    """A rank-2 covariance whose three zero eigenvalues are replaced by `low`."""
    loadings = np.random.default_rng(3).normal(scale=0.1, size=(5, 2))
    values, vectors = np.linalg.eigh(loadings @ loadings.T)
    values[:3] = low
    cov = (vectors * values) @ vectors.T
    return (cov + cov.T) / 2


# --- covariances ------------------------------------------------------------------------


@pytest.mark.parametrize(
    "cov",
    [
        pytest.param(with_eigenvalues(0.0), id="singular"),
        pytest.param(with_eigenvalues(-1e-13), id="rounding-level negative eigenvalues"),
        pytest.param(with_eigenvalues(-1e-9), id="negative eigenvalues beyond cvxpy's 1e-10"),
        pytest.param(with_eigenvalues(1e-12), id="near-singular"),
        pytest.param(honest_cov() + np.triu(np.full((5, 5), 1e-15), 1), id="asymmetric by 1e-15"),
    ],
)
def test_near_singular_covariance_gives_the_minimum(solve, cov):
    weights = solve({"cov": cov}, bnds={"*": (0.0, 0.4)})
    w = weights.values
    assert abs(w.sum() - 1) < 1e-9
    assert (w >= -TOLERANCE).all() and (w <= 0.4 + TOLERANCE).all()
    best = min_variance_reference((cov + cov.T) / 2, 0.0, 0.4)
    assert w @ cov @ w <= best + 1e-5


def _asymmetric():
    cov = honest_cov().copy()
    cov[0, 1] += 0.01
    return cov


def _with(value):
    cov = honest_cov().copy()
    cov[1, 1] = value
    return cov


@pytest.mark.parametrize(
    "cov, message",
    [
        (_asymmetric(), "不对称"),
        (_with(np.nan), "NaN 或 inf"),
        (_with(np.inf), "NaN 或 inf"),
        (_with(-0.5), "不是半正定"),
        (np.diag([0.1, 0.1, 0.1, 0.1, -0.01]), "不是半正定"),
        (honest_cov()[:4, :4], r"形状为 \(4, 4\)，应为 \(5, 5\)"),
        (honest_cov()[0], "形状"),
        (np.full((5, 5), "x"), "不是数值"),
    ],
    ids=[
        "asymmetric",
        "nan",
        "inf",
        "negative variance",
        "indefinite",
        "too small",
        "a vector",
        "text",
    ],
)
def test_broken_covariance_is_rejected(solve, cov, message):
    with pytest.raises(InvalidArgument, match=r"^get_cov_matrix\(\): .*" + message):
        solve({"cov": cov})


@pytest.mark.parametrize(
    "edit, message",
    [
        (lambda root, specific: (root, -specific), "特异方差含有负值"),
        (lambda root, specific: (root * np.nan, specific), "NaN 或 inf"),
        (lambda root, specific: (root[:3], specific), "形状"),
        (lambda root, specific: (root, specific * np.nan), "NaN 或 inf"),
        (lambda root, specific: (root, np.r_[specific[:-1], np.inf]), "NaN 或 inf"),
    ],
    ids=[
        "negative specific variance",
        "nan loadings",
        "too few rows",
        "nan specific",
        "inf specific",
    ],
)
def test_broken_factor_form_is_rejected(fake_market, monkeypatch, edit, message):
    def helper(pool, date, bench, model):
        made = FakeHelper(pool, factor_form=True)
        honest = made.get_cov_factor
        made.get_cov_factor = lambda: edit(*honest())
        return made

    monkeypatch.setattr(optimize, "OptimizeHelper", helper)
    with pytest.raises(InvalidArgument, match=r"^get_cov_factor\(\): .*" + message):
        optimize.portfolio_optimize(POOL, DATE)


def test_union_covariance_is_checked_too(solve, monkeypatch):
    monkeypatch.setattr(Custom, "get_union_cov_matrix", lambda self: np.full((6, 6), np.nan))
    with pytest.raises(InvalidArgument, match=r"^get_union_cov_matrix\(\): .*NaN"):
        solve(
            {"benchmark_weights": {POOL[0]: 0.5, OUTSIDE: 0.5}},
            objective=MinTrackingError(),
            benchmark=Index(),
        )


@pytest.mark.parametrize("scale", [1e-4, 1e4])
def test_badly_scaled_covariance_still_respects_the_bounds(solve, scale):
    # Daily rather than annual units (1e-4), or absurdly large ones: the optimum is
    # the same portfolio, and the bounds hold whatever the solver makes of it.
    weights = solve({"cov": honest_cov() * scale}, bnds={"*": (0.1, 0.25)})
    assert weights.between(0.1 - TOLERANCE, 0.25 + TOLERANCE).all()


# --- NaN and infinities in the data -----------------------------------------------------


def _bad_returns(value):
    return RETURNS.where(RETURNS.index != POOL[2], value)


def _exposure_at(value):
    def edit(table):
        table.iloc[2, table.columns.get_loc("beta")] = value

    return edit


def _bench(weights):
    return {"benchmark_weights": weights}


@pytest.mark.parametrize("value", [np.nan, np.inf, -np.inf])
@pytest.mark.parametrize(
    "case",
    [
        pytest.param(
            lambda v: ({}, {"objective": MeanVariance(_bad_returns(v))}, "expected_returns"),
            id="MeanVariance returns",
        ),
        pytest.param(
            lambda v: (
                _bench({POOL[0]: 1.0}),
                {"objective": MaxSharpeRatio(_bad_returns(v)), "benchmark": Index()},
                "expected_returns",
            ),
            id="MaxSharpeRatio returns",
        ),
        pytest.param(
            lambda v: (
                _bench({POOL[0]: 1.0}),
                {"objective": MaxInformationRatio(_bad_returns(v)), "benchmark": Index()},
                "expected_active_returns",
            ),
            id="MaxInformationRatio returns",
        ),
        pytest.param(
            lambda v: ({}, {"objective": MaxIndicator(_bad_returns(v))}, "indicator_series"),
            id="MaxIndicator indicator",
        ),
        pytest.param(
            lambda v: (
                {},
                {"cons": [TurnoverLimit(_bad_returns(v).abs(), 0.3)]},
                "current_holding",
            ),
            id="TurnoverLimit holding",
        ),
        pytest.param(
            lambda v: (
                {},
                {"cons": [TurnoverLimit(_bad_returns(v).abs(), 0.3, hard=False)]},
                "current_holding",
            ),
            id="soft TurnoverLimit holding",
        ),
        pytest.param(
            lambda v: (
                {"exposure": _exposure_at(v)},
                {"cons": [StyleConstraint("beta", -1, 1)]},
                "beta 的因子暴露",
            ),
            id="StyleConstraint exposure",
        ),
        pytest.param(
            lambda v: (
                {"exposure": _exposure_at(v)},
                {"objective": MinStyleDeviation({"beta": 0.1})},
                "beta 的因子暴露",
            ),
            id="MinStyleDeviation exposure",
        ),
        pytest.param(
            lambda v: (
                _bench({POOL[2]: v, OUTSIDE: 0.5}),
                {"objective": MinTrackingError(), "benchmark": Index()},
                "benchmark_weight",
            ),
            id="MinTrackingError benchmark",
        ),
        pytest.param(
            lambda v: (
                _bench({POOL[2]: v, OUTSIDE: 0.5}),
                {"cons": [TrackingErrorLimit(0.1)], "benchmark": Index()},
                "benchmark_weight",
            ),
            id="TrackingErrorLimit benchmark",
        ),
    ],
)
def test_non_finite_data_is_rejected_naming_the_stock(solve, case, value):
    helper, kwargs, what = case(value)
    with pytest.raises(InvalidArgument) as info:
        solve(helper, **kwargs)
    assert what in str(info.value) and POOL[2] in str(info.value)


@pytest.mark.parametrize("target", [np.nan, np.inf])
def test_non_finite_style_target_is_rejected(solve, target):
    with pytest.raises(InvalidArgument, match="风格 beta 的目标值不是有限数"):
        solve(objective=MinStyleDeviation({"beta": target}))


@pytest.mark.parametrize("pair", [(np.nan, 1), (0, np.nan), (0, np.inf), (-np.inf, 1)])
def test_non_finite_default_bound_is_rejected(solve, pair):
    with pytest.raises(InvalidArgument, match=r"^合约 \* 的[上下]限 .* 无效$"):
        solve(bnds={"*": pair})


def test_relative_bound_against_a_non_finite_benchmark_value_is_named(solve, monkeypatch):
    monkeypatch.setattr(
        Custom, "get_benchmark_style", lambda self: pd.Series(np.nan, index=["beta", "size"])
    )
    with pytest.raises(InvalidArgument, match="^约束的基准值 nan 不是有限数$"):
        solve(
            _bench({POOL[0]: 1.0}),
            cons=[StyleConstraint("beta", "-5%", relative=True)],
            benchmark=Index(),
        )


@pytest.mark.parametrize(
    "helper, kwargs, message",
    [
        ({}, {"objective": MaxIndicator(pd.Series(0.0, index=POOL))}, "指标值均为 0"),
        ({"cov": np.zeros((5, 5))}, {"objective": MeanVariance(RETURNS)}, "方差为 0"),
    ],
)
def test_degenerate_data_is_rejected(solve, helper, kwargs, message):
    with pytest.raises(InvalidArgument, match=message):
        solve(helper, **kwargs)


# --- bounds that admit one portfolio, infeasible constraint sets ---------------------


ONE_PORTFOLIO = [
    ({"*": (0.2, 0.2)}, [0.2] * 5),
    (dict(zip(POOL, [(w, w) for w in (0.1, 0.15, 0.2, 0.25, 0.3)])), [0.1, 0.15, 0.2, 0.25, 0.3]),
    ({POOL[0]: (0.6, 0.6), POOL[1]: (0.4, 1)}, [0.6, 0.4, 0, 0, 0]),
]


@pytest.mark.parametrize(
    "objective, bnds, expected",
    [(o, b, e) for o in (MinVariance(), MeanVariance(RETURNS)) for b, e in ONE_PORTFOLIO]
    # Risk parity's log barrier keeps every weight above zero.
    + [(RiskParity(), b, e) for b, e in ONE_PORTFOLIO if 0 not in e],
)
def test_bounds_admitting_one_portfolio_give_it(solve, objective, bnds, expected):
    weights = solve(objective=objective, bnds=bnds)
    np.testing.assert_allclose(weights.values, expected, atol=TOLERANCE)


def test_infeasible_hard_constraints_fail(solve):
    # Banks may hold at most 0.5, but the bounds force 0.3 + 0.3 on its two stocks.
    with pytest.raises(OptimizationFailed):
        solve(
            bnds={POOL[0]: (0.3, 1), POOL[1]: (0.3, 1)},
            cons=[IndustryConstraint("Banks", upper_limit=0.5)],
        )


def test_infeasible_soft_constraints_are_dropped_and_the_hard_ones_kept(solve):
    with pytest.warns(OptimizerWarning, match="放弃所有软约束重试"):
        weights = solve(
            bnds={POOL[0]: (0.3, 1), POOL[1]: (0.3, 1), "*": (0, 0.3)},
            cons=[IndustryConstraint("Banks", upper_limit=0.5, hard=False)],
        )
    assert weights[POOL[0]] >= 0.3 - TOLERANCE and weights[POOL[1]] >= 0.3 - TOLERANCE
    assert (weights <= 0.3 + TOLERANCE).all()


# --- a success never breaks a hard constraint -------------------------------------------


HOLDING = pd.Series({POOL[0]: 0.5, POOL[3]: 0.3, OUTSIDE: 0.2})
BENCHMARK = {POOL[0]: 0.3, POOL[2]: 0.3, OUTSIDE: 0.4}


def beyond(value, lower=-np.inf, upper=np.inf):
    """How far `value` lies outside [lower, upper] (0 inside)."""
    return np.max(np.maximum(0.0, np.maximum(lower - value, value - upper)))


def industry(w, helper, name):
    return w[(helper._industries == name).values].sum()


def style(w, helper, name):
    return w @ helper.get_factor_exposure()[name].values


def turnover(w, helper):
    current = HOLDING.reindex(POOL + [OUTSIDE], fill_value=0.0).values
    return np.abs(np.append(w, 0.0) - current).sum() / 2


def tracking_error(w, helper):
    active = np.append(w, 0.0) - helper.benchmark_weight.values
    return np.sqrt(active @ helper.get_union_cov_matrix() @ active)


def in_benchmark(w, helper):
    return w[[c in BENCHMARK for c in POOL]].sum()


def shares_within(w, helper, name):
    held = (helper._industries == name).values
    return w[held] / w[held].sum()


# objective, constraints, and how far the returned weights break each of them
CONSTRAINED = [
    (MinVariance(), [IndustryConstraint("Banks", 0.5, 0.6)],
     lambda w, h: [beyond(industry(w, h, "Banks"), 0.5, 0.6)]),
    (MeanVariance(RETURNS), [StyleConstraint("beta", -0.2, 0.2)],
     lambda w, h: [beyond(style(w, h, "beta"), -0.2, 0.2)]),
    (MaxSharpeRatio(RETURNS), [IndustryConstraint("Media", lower_limit=0.3)],
     lambda w, h: [beyond(industry(w, h, "Media"), lower=0.3)]),
    (RiskParity(), [IndustryConstraint("Steel", upper_limit=0.1)],
     lambda w, h: [beyond(industry(w, h, "Steel"), upper=0.1)]),
    (MinTrackingError(), [TurnoverLimit(HOLDING, 0.4), BenchmarkComponentWeightLimit(0.7)],
     lambda w, h: [beyond(turnover(w, h), upper=0.4), beyond(in_benchmark(w, h), lower=0.7)]),
    (MaxIndicator(RETURNS), [TrackingErrorLimit(0.15)],
     lambda w, h: [beyond(tracking_error(w, h), upper=0.15)]),
    (MinStyleDeviation({"size": 1.0}), [IndustryComponentLimit("Media", 0.3, 0.6)],
     lambda w, h: [beyond(shares_within(w, h, "Media"), 0.3, 0.6)]),
]  # fmt: skip


@pytest.mark.parametrize("scale", [1.0, 1e-4])
@pytest.mark.parametrize(
    "objective, cons, broken", CONSTRAINED, ids=[type(c[0]).__name__ for c in CONSTRAINED]
)
def test_hard_constraints_hold_in_every_success(fake_market, monkeypatch, objective, cons,
                                                broken, scale):  # fmt: skip
    # With the covariance in annual units, and in daily ones (1e-4), where the
    # risk terms are tiny next to the constraints' data.
    helpers = []

    def helper(pool, date, bench, model):
        made = Custom(pool, benchmark_weights=BENCHMARK)
        made._union_cov = made._union_cov * scale
        helpers.append(made)
        return made

    monkeypatch.setattr(optimize, "OptimizeHelper", helper)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        weights = optimize.portfolio_optimize(
            POOL, DATE, objective=objective, bnds={"*": (0.02, 0.45)}, cons=cons,
            benchmark=Index(),
        )  # fmt: skip
    assert not [w for w in caught if "精度" in str(w.message)], "the solve was inaccurate"
    w = weights.values
    assert abs(w.sum() - 1) < 1e-9
    assert beyond(w, 0.02, 0.45) <= TOLERANCE, w
    assert max(broken(w, helpers[0])) <= TOLERANCE, w
