"""The risk model as one object: built from a covariance or a factor model, and a
caller's own used by the optimiser, the report, the check and rebalancing alike."""

import datetime
import warnings

import cvxpy as cp
import numpy as np
import pandas as pd
import pytest

import tidewell
import vantelo.core
from vantelo.constraints import TrackingErrorLimit
from vantelo.diagnose import check_constraints
from vantelo.exception import InvalidArgument
from vantelo.rebalance import rebalance
from vantelo.report import portfolio_report
from vantelo.risk import RiskModel

DAY = datetime.date(2024, 3, 1)
INDEX = "990300.XSHG"


def random_covariance(codes, seed=0):
    rng = np.random.default_rng(seed)
    root = rng.normal(scale=0.1, size=(len(codes), 3))
    cov = root @ root.T + np.diag(rng.uniform(0.01, 0.04, size=len(codes)))
    return pd.DataFrame(cov, index=codes, columns=codes)


def factor_tables(codes, seed=0):
    rng = np.random.default_rng(seed)
    exposures = pd.DataFrame(
        rng.normal(size=(len(codes), 2)), index=codes, columns=["beta", "value"]
    )
    factor_cov = pd.DataFrame(
        [[0.04, 0.01], [0.01, 0.02]], index=["beta", "value"], columns=["beta", "value"]
    )
    specific = pd.Series(rng.uniform(0.01, 0.03, size=len(codes)), index=codes)
    return exposures, factor_cov, specific


# --- the object ------------------------------------------------------------------------


def test_the_factor_form_and_the_dense_matrix_describe_one_covariance():
    codes = ["A", "B", "C", "D"]
    exposures, factor_cov, specific = factor_tables(codes)
    model = RiskModel(
        exposures=exposures, factor_covariance=factor_cov, specific_variance=specific
    )
    expected = exposures.to_numpy() @ factor_cov.to_numpy() @ exposures.to_numpy().T + np.diag(
        specific
    )
    np.testing.assert_allclose(model.covariance().to_numpy(), expected, atol=1e-12)
    root, spec = model.factor_form()
    np.testing.assert_allclose(root @ root.T + np.diag(spec), expected, atol=1e-12)
    weights = pd.Series({"C": 0.5, "A": 0.3, "D": 0.2})
    w = weights.reindex(codes, fill_value=0.0).to_numpy()
    assert model.variance(weights) == pytest.approx(w @ expected @ w, rel=1e-12)
    assert model.volatility(dict(weights)) == pytest.approx(np.sqrt(w @ expected @ w), rel=1e-12)
    part = model.subset(["D", "B"])
    np.testing.assert_allclose(
        part.covariance().to_numpy(), expected[np.ix_([3, 1], [3, 1])], atol=1e-12
    )
    assert part.factor_model()[0].index.tolist() == ["D", "B"]
    dense = RiskModel(pd.DataFrame(expected, index=codes, columns=codes))
    assert dense.factor_model() is None
    assert dense.variance(weights) == pytest.approx(model.variance(weights), rel=1e-12)
    # Columns in another order are the same matrix.
    shuffled = pd.DataFrame(expected, index=codes, columns=codes)[["D", "C", "B", "A"]]
    np.testing.assert_allclose(RiskModel(shuffled).covariance().to_numpy(), expected, atol=1e-12)


def frame(values, codes=("A", "B"), columns=None):
    return pd.DataFrame(values, index=list(codes), columns=list(columns or codes))


def factor_arguments(factor_cov=None, specific=None):
    return {
        "exposures": frame(np.ones((2, 1)), columns=["f"]),
        "factor_covariance": np.eye(1) if factor_cov is None else factor_cov,
        "specific_variance": pd.Series([0.1, 0.1], index=["A", "B"])
        if specific is None
        else specific,
    }


@pytest.mark.parametrize(
    "arguments, message",
    [
        ({}, "give either covariance"),
        ({"covariance": np.eye(2)}, "must be a pandas DataFrame"),
        ({"covariance": frame(-np.eye(2))}, "not positive semidefinite"),
        ({"covariance": frame([[1.0, 0.5], [0.0, 1.0]])}, "not symmetric"),
        ({"covariance": frame(np.eye(2), columns=["A", "C"])}, "same codes as its index"),
        ({"covariance": frame(np.eye(2), codes=["A", "A"])}, "more than once"),
        ({"covariance": frame([[1.0, np.nan], [np.nan, 1.0]])}, "NaN or inf"),
        (
            {"exposures": frame(np.ones((2, 1)), columns=["f"])},
            "needs exposures, factor_covariance",
        ),
        (factor_arguments(factor_cov=frame([[1.0]], codes=["g"])), "no row or column for f"),
        (factor_arguments(specific=pd.Series([0.1], index=["A"])), "no value for B"),
        (factor_arguments(specific=np.array([0.1, -0.1])), "negative"),
    ],
)
def test_a_model_that_is_no_covariance_is_refused(arguments, message):
    with pytest.raises(InvalidArgument, match=message):
        RiskModel(**arguments)


def test_weights_the_model_does_not_cover_are_refused():
    model = RiskModel(random_covariance(["A", "B"]))
    with pytest.raises(InvalidArgument, match="no risk for C"):
        model.variance({"A": 0.5, "C": 0.5})
    with pytest.raises(InvalidArgument, match="has no risk for 1 stock"):
        model.subset(["A", "C"])


# --- a caller's own model through every stage ------------------------------------------


@pytest.fixture(scope="module")
def pool():
    return sorted(tidewell.index_weights(INDEX, DAY).index)[:8]


def reference_min_variance(cov, upper):
    w = cp.Variable(len(cov), nonneg=True)
    cp.Problem(cp.Minimize(cp.quad_form(w, cp.psd_wrap(cov))), [cp.sum(w) == 1, w <= upper]).solve(
        solver="CLARABEL"
    )
    return w.value


@pytest.mark.parametrize("form", ["dense", "factor", "callable"])
def test_own_model_optimises_as_a_direct_solve_of_its_covariance(pool, form):
    cov = random_covariance(pool)
    if form == "factor":
        exposures, factor_cov, specific = factor_tables(pool)
        model = RiskModel(
            exposures=exposures, factor_covariance=factor_cov, specific_variance=specific
        )
        cov = model.covariance()
    else:
        model = RiskModel(cov)
    given = (lambda day: model) if form == "callable" else model
    result = vantelo.core.optimize(pool, DAY, bnds={"*": (0, 0.3)}, risk_model=given)
    assert result.status == "solved"
    expected = reference_min_variance(cov.to_numpy(), 0.3)
    np.testing.assert_allclose(result.weights.to_numpy(), expected, atol=2e-3)
    w = result.weights.to_numpy()
    assert result.volatility == pytest.approx(np.sqrt(w @ cov.to_numpy() @ w), rel=1e-9)


def test_own_model_reports_checks_and_backtests_with_the_same_covariance(pool):
    universe = list(dict.fromkeys(pool + sorted(tidewell.index_weights(INDEX, DAY).index)))
    cov = random_covariance(universe, seed=3)
    model = RiskModel(cov)
    weights = pd.Series(1 / len(pool), index=pool)
    benchmark = tidewell.index_weights(INDEX, DAY).reindex(universe, fill_value=0.0)
    held = weights.reindex(universe, fill_value=0.0)
    volatility = np.sqrt(held @ cov @ held)
    active = (held - benchmark).to_numpy()
    tracking_error = np.sqrt(active @ cov.to_numpy() @ active)

    report = portfolio_report(weights, DAY, benchmark=INDEX, risk_model=model)
    assert report.summary["volatility"] == pytest.approx(volatility, rel=1e-9)
    assert report.summary["tracking_error"] == pytest.approx(tracking_error, rel=1e-9)
    assert report.factor_contributions.empty or "specific" in report.factor_contributions.index

    table = check_constraints(
        weights, DAY, cons=[TrackingErrorLimit(0.5)], benchmark=INDEX, risk_model=model
    )
    row = table.set_index("label").loc["TrackingErrorLimit upper"]
    assert row["value"] == pytest.approx(tracking_error, rel=1e-6)

    dates = tidewell.get_trading_dates(DAY, "2024-03-08")[:2]
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        result = rebalance(
            dates, pool, bnds={"*": (0, 0.3)}, risk_model=model, engine="serial", progress=False
        )
    expected = reference_min_variance(cov.loc[pool, pool].to_numpy(), 0.3)
    for day in dates:
        found = result.weights.loc[day].reindex(pool, fill_value=0.0).to_numpy()
        np.testing.assert_allclose(found, expected, atol=2e-3)
        held_now = result.weights.loc[day].reindex(universe, fill_value=0.0)
        assert result.records.loc[day, "ex_ante_volatility"] == pytest.approx(
            np.sqrt(held_now @ cov @ held_now), rel=1e-6
        )


def test_a_model_missing_a_stock_of_the_problem_is_refused(pool):
    model = RiskModel(random_covariance(pool[:-1]))
    with pytest.raises(InvalidArgument, match=f"has no risk for 1 stock.*{pool[-1]}"):
        vantelo.core.optimize(pool, DAY, risk_model=model)
    with pytest.raises(InvalidArgument, match="risk_model: expected a vantelo.risk.RiskModel"):
        rebalance([DAY], pool, risk_model="daily", engine="serial", progress=False)
