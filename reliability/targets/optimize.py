"""Fuzz targets of vantelo.optimize: the conversion functions and `portfolio_optimize`,
whose results must be portfolios (finite weights summing to 1, within their bounds)."""

import warnings

import cvxpy as cp
import numpy as np
from hypothesis import strategies as st

import vantelo.benchmark as benchmark_module
import vantelo.core as core
import vantelo.objective as objective
import vantelo.optimize as optimize
from reliability import values as v
from reliability.fakes import make_helper, scenarios, use
from reliability.runner import make_call, target
from reliability.targets import constraints as constraint_targets
from reliability.targets import objective as objective_targets
from reliability.targets.protocol import sorted_pools
from vantelo.const import CovModel


@target("optimize.to_enum")
def _to_enum(data):
    value = data.draw(v.weighted(st.sampled_from(list(CovModel) + ["daily", "weekly", 3])))
    enum_type = data.draw(v.weighted(st.sampled_from([CovModel, v.IndustryClassification])))
    return make_call(data, optimize.to_enum, value, enum_type)


@target("optimize.to_date")
def _to_date(data):
    return make_call(data, optimize.to_date, data.draw(v.weighted(v.dates)))


@target("optimize.ensure_date_str")
def _ensure_date_str(data):
    return make_call(data, optimize.ensure_date_str, data.draw(v.weighted(v.dates)))


@target("optimize.ensure_order_book_ids")
def _ensure_order_book_ids(data):
    pool = data.draw(v.weighted(v.pools))
    date = data.draw(v.weighted(v.dates))
    return use(data.draw(scenarios), make_call(data, optimize.ensure_order_book_ids, pool, date))


@target("optimize.ensure_bound")
def _ensure_bound(data):
    return make_call(data, optimize.ensure_bound, data.draw(v.bounds))


@target("optimize.parse_bnds")
def _parse_bnds(data):
    bnds = data.draw(v.bnds)
    pool = data.draw(v.weighted(sorted_pools))
    return make_call(data, optimize.parse_bnds, bnds, pool)


class FuzzBenchmark(benchmark_module.OptimizeBenchmark):
    """A custom benchmark; the fake helper never asks it for data."""


class SolverObjective(objective.MinVariance):
    """MinVariance asking for a drawn solver name."""

    def __init__(self, solver):
        self.solver = solver

    def get_preferred_solver(self):
        return self.solver


class DuckConstraint:
    """A constraint object by duck typing, with drawn `hard` and result."""

    def __init__(self, hard, result):
        self.hard = hard
        self._result = result

    def to_constraints(self, g, zeta, helper):
        if isinstance(self._result, str) and self._result == "cap":
            return [g[0] <= 0.3 * zeta]
        if isinstance(self._result, str) and self._result == "impossible":
            return [cp.sum(g) >= 2 * zeta]
        return self._result


def _as_is(value):
    return lambda: value


objective_factories = st.one_of(
    objective_targets.factories,
    st.builds(
        lambda s: lambda: SolverObjective(s),
        v.weighted(st.sampled_from(["SCS", "CLARABEL", "OSQP", "HIGHS", "NO_SUCH_SOLVER"])),
    ),
    v.anything.map(_as_is),
)
constraint_factories = st.one_of(
    constraint_targets.factories,
    st.builds(
        lambda h, r: lambda: DuckConstraint(h, r),
        v.weighted(st.booleans()),
        st.one_of(st.sampled_from(["cap", "impossible"]), v.anything),
    ),
    v.anything.map(_as_is),
)


def _optimize_target(data, through_core):
    scenario = data.draw(scenarios)
    pool = data.draw(
        st.one_of(
            st.lists(st.sampled_from(v.CODES), min_size=2, max_size=5, unique=True),
            v.pools,
            v.anything,
        )
    )
    date = data.draw(v.weighted(st.just("2024-06-28"), v.dates))
    make_objective = data.draw(objective_factories)
    bnds = data.draw(v.bnds)
    make_cons = data.draw(
        st.one_of(
            st.none(), st.lists(constraint_factories, max_size=3), v.anything.map(lambda x: [x])
        )
    )
    bench = data.draw(
        st.one_of(
            st.none(),
            st.sampled_from([v.INDEX, v.CODES[0], "999999.XSHG"]),
            st.builds(FuzzBenchmark),
            st.builds(benchmark_module.OptimizeBenchmark),
            v.anything,
        )
    )
    cov_model = data.draw(v.cov_models)
    omit = data.draw(
        st.sets(st.sampled_from(["objective", "bnds", "cons", "benchmark", "cov_model"]))
    )

    def call():
        kwargs = {
            "objective": make_objective(),
            "bnds": bnds,
            "cons": make_cons
            if not isinstance(make_cons, list)
            else [make() if callable(make) else make for make in make_cons],
            "benchmark": bench,
            "cov_model": cov_model,
        }
        for name in omit:
            kwargs.pop(name)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            if through_core:
                # The fake helper handed in as the call's own collaborator.
                outcome = core.optimize(
                    pool, date, helper_class=lambda *args, **_: make_helper(*args), **kwargs
                )
                repr(outcome)
                if outcome.status == "failed":
                    assert outcome.weights is None and outcome.error is not None
                    return outcome
                risk = (outcome.volatility, outcome.tracking_error, outcome.risk_model)
                assert all(r is not None for r in risk[:2])
                result = outcome.weights
            else:
                result = optimize.portfolio_optimize(pool, date, **kwargs)
        inaccurate = any("精度" in str(w.message) for w in caught)
        _check_result(result, kwargs.get("bnds"), inaccurate)
        return result

    return use(scenario, call)


target("optimize.portfolio_optimize", weight=0.3)(lambda data: _optimize_target(data, False))
target("core.optimize", weight=0.3)(lambda data: _optimize_target(data, True))


class WrongSuccess(SystemError):
    """A result reported as a success that is not a portfolio; counted as a failure."""


TOLERANCE = 1e-3  # well above what SCS leaves on a solved problem of this size


def _check_result(result, bnds, inaccurate):
    """A returned portfolio must be finite weights summing to 1; unless the solve was
    reported inaccurate (with its warning), each within its bounds."""
    if isinstance(result, dict):
        return
    weights = np.asarray(result.values, dtype=float)
    if not np.all(np.isfinite(weights)) or abs(weights.sum() - 1) > 1e-6:
        raise WrongSuccess(f"weights {weights} do not sum to 1")
    if inaccurate:
        return
    if (weights < -TOLERANCE).any():
        raise WrongSuccess(f"negative weights {weights}")
    if isinstance(bnds, dict):
        lower, upper = optimize.parse_bnds(bnds, list(result.index))
        if (weights < lower - TOLERANCE).any() or (weights > upper + TOLERANCE).any():
            raise WrongSuccess(f"weights {weights} outside [{lower}, {upper}]")
