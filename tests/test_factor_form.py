"""Risk terms written through the factor model equal the dense quadratic forms.

A helper that offers get_cov_factor()/get_union_cov_factor() gets the sparse form;
any other helper gets cp.quad_form over the dense matrix. Both must give the same
expression values and, through the driver, the same optimal weights.
"""

import cvxpy as cp
import numpy as np
import pandas as pd
import pytest
from conftest import DATE, FakeHelper

import vantelo.constraints as vc
import vantelo.objective as vo
from vantelo.benchmark import OptimizeBenchmark
from vantelo.optimize import portfolio_optimize

POOL = ["000001.XSHE", "000002.XSHE", "600000.XSHG", "600001.XSHG", "600002.XSHG"]
BENCH = {"000001.XSHE": 0.3, "600000.XSHG": 0.2, "300001.XSHE": 0.3, "300002.XSHE": 0.2}
RETURNS = pd.Series([0.08, 0.12, 0.05, 0.10, 0.02], index=POOL)
INDUSTRIES = ["Banks", "Banks", "Media", "Media", "Autos"]

OBJECTIVES = {
    "MinVariance": lambda: vo.MinVariance(),
    "MeanVariance": lambda: vo.MeanVariance(RETURNS, risk_aversion_coefficient=2),
    "RiskParity": lambda: vo.RiskParity(),
    "MinTrackingError": lambda: vo.MinTrackingError(),
    "MaxInformationRatio": lambda: vo.MaxInformationRatio(RETURNS - 0.06),
    "MaxSharpeRatio": lambda: vo.MaxSharpeRatio(RETURNS),
    "MaxIndicator": lambda: vo.MaxIndicator(RETURNS),
    "MinStyleDeviation": lambda: vo.MinStyleDeviation({"size": 0.2, "beta": -0.1}),
}

CONSTRAINTS = {
    "TrackingErrorLimit": lambda: vc.TrackingErrorLimit(0.3),
    "TurnoverLimit": lambda: vc.TurnoverLimit(pd.Series(0.2, index=POOL), 0.6),
    "BenchmarkComponentWeightLimit": lambda: vc.BenchmarkComponentWeightLimit(0.1),
    "IndustryConstraint": lambda: vc.IndustryConstraint("Banks", upper_limit=0.6),
    "WildcardIndustryConstraint": lambda: vc.WildcardIndustryConstraint(upper_limit=0.7),
    "IndustryComponentLimit": lambda: vc.IndustryComponentLimit("Media", upper_limit=0.9),
    "StyleConstraint": lambda: vc.StyleConstraint("size", -2, 2),
}


class Benchmark(OptimizeBenchmark):
    def get_weight(self, date):
        return pd.Series(BENCH)


def helpers(seed):
    return [
        FakeHelper(POOL, BENCH, seed=seed, industries=INDUSTRIES, factor_form=form)
        for form in (False, True)
    ]


def zeta_for(objective):
    if isinstance(objective, (vo.MaxSharpeRatio, vo.MaxInformationRatio)):
        zeta = cp.Variable(nonneg=True)
        zeta.value = 1.7
        return zeta
    return len(POOL) if isinstance(objective, vo.RiskParity) else 1.0


@pytest.mark.parametrize("name", OBJECTIVES)
@pytest.mark.parametrize("seed", [0, 1])
def test_objective_expressions_agree(name, seed):
    objective = OBJECTIVES[name]()
    zeta = zeta_for(objective)
    points = np.random.default_rng(seed).uniform(0.05, 0.4, size=(3, len(POOL)))
    g = cp.Variable(len(POOL), nonneg=True)
    values = []
    for helper in helpers(seed):
        expression = objective.get_objective_expr(g, zeta, helper)
        row = []
        for point in points:
            g.value = point
            row.append(expression.value)
        values.append(row)
    np.testing.assert_allclose(values[0], values[1], rtol=1e-10, atol=1e-12)


@pytest.mark.parametrize("name", CONSTRAINTS)
def test_constraint_values_agree(name):
    dense, factor = helpers(3)
    g = cp.Variable(len(POOL), nonneg=True)
    built = [CONSTRAINTS[name]().to_constraints(g, 1.0, helper) for helper in (dense, factor)]
    assert len(built[0]) == len(built[1]) > 0
    rng = np.random.default_rng(7)
    for _ in range(5):
        g.value = rng.dirichlet(np.ones(len(POOL)))
        for a, b in zip(*built):
            np.testing.assert_allclose(a.violation(), b.violation(), atol=1e-12)
            assert a.value() == b.value()


@pytest.mark.parametrize("name", OBJECTIVES)
def test_optimal_weights_agree(fake_market, name):
    weights = []
    for form in (False, True):
        fake_market.helper_options = dict(
            benchmark_weights=BENCH, industries=INDUSTRIES, factor_form=form
        )
        cons = [make() for make in CONSTRAINTS.values()]
        if name in ("MaxSharpeRatio", "MaxInformationRatio", "RiskParity"):
            cons = [c for c in cons if not isinstance(c, vc.TrackingErrorLimit)]
        weights.append(
            portfolio_optimize(
                POOL,
                DATE,
                objective=OBJECTIVES[name](),
                bnds={"*": (0, 0.6)},
                cons=cons,
                benchmark=Benchmark(),
            )
        )
    assert np.abs(weights[0].values - weights[1].values).sum() < 1e-3


def test_error_looking_up_the_factor_form_is_not_swallowed():
    class Broken(FakeHelper):
        @property
        def get_cov_factor(self):
            raise RuntimeError("risk model server unreachable")

    g = cp.Variable(len(POOL), nonneg=True)
    with pytest.raises(RuntimeError, match="unreachable"):
        vo.MinVariance().get_objective_expr(g, 1.0, Broken(POOL))


# --- a helper whose dense covariance is overridden -----------------------------------


class ClassFactorHelper(FakeHelper):
    """The factor form as members of the class, as the package's own helper has it."""

    def get_cov_factor(self):
        n = len(self.order_book_ids)
        return self._union_root[:n], self._union_specific[:n]

    def get_union_cov_factor(self):
        return self._union_root, self._union_specific


def shrink(cov):
    """Half-way towards the diagonal: not a mere rescaling, which MeanVariance ignores."""
    return 0.5 * cov + 0.5 * np.diag(np.diag(cov))


class ShrunkDense(ClassFactorHelper):
    """Overrides the dense members only: the inherited factor form no longer fits."""

    def get_union_cov_matrix(self):
        return shrink(super().get_union_cov_matrix())

    def get_cov_matrix(self):
        n = len(self.order_book_ids)
        return self.get_union_cov_matrix()[:n, :n]


class ShrunkBoth(ShrunkDense):
    """Overrides the factor members to match: the factor form is used again."""

    def get_cov_factor(self):
        root, specific = super().get_cov_factor()
        return np.sqrt(0.5) * root, specific + 0.5 * (root**2).sum(axis=1)

    def get_union_cov_factor(self):
        root, specific = super().get_union_cov_factor()
        return np.sqrt(0.5) * root, specific + 0.5 * (root**2).sum(axis=1)


class ShrunkReference(FakeHelper):
    """The shrunk matrices with no factor form at all."""

    def get_union_cov_matrix(self):
        return shrink(super().get_union_cov_matrix())

    def get_cov_matrix(self):
        n = len(self.order_book_ids)
        return self.get_union_cov_matrix()[:n, :n]


RISK_TERMS = ["MinVariance", "MeanVariance", "RiskParity", "MinTrackingError"]
RISK_TERMS += ["MaxInformationRatio", "MaxSharpeRatio", "TrackingErrorLimit"]


def risk_term_values(name, helper_class):
    helper = helper_class(POOL, BENCH, seed=2, industries=INDUSTRIES)
    g = cp.Variable(len(POOL), nonneg=True)
    if name == "TrackingErrorLimit":
        [constraint] = vc.TrackingErrorLimit(0.3).to_constraints(g, 1.0, helper)
        expression = constraint.args[0]
    else:
        objective = OBJECTIVES[name]()
        expression = objective.get_objective_expr(g, zeta_for(objective), helper)
    values = []
    for point in np.random.default_rng(4).uniform(0.05, 0.4, size=(3, len(POOL))):
        g.value = point
        values.append(expression.value)
    return np.array(values)


@pytest.mark.parametrize("name", RISK_TERMS)
def test_overridden_dense_covariance_is_the_one_used(name):
    reference = risk_term_values(name, ShrunkReference)
    assert np.abs(reference - risk_term_values(name, ClassFactorHelper)).max() > 1e-6
    for helper_class in (ShrunkDense, ShrunkBoth):
        np.testing.assert_allclose(
            risk_term_values(name, helper_class), reference, rtol=1e-10, atol=1e-12
        )
