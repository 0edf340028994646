"""The solvers under comparison, each as a `setup(problem, case)` that does the
untimed preparation (imports, the peer's input matrices) and returns a `run()` that
solves once and returns the pool weights.

Every solver here ends in cvxpy's Problem.solve, which the worker wraps, so each
run splits into "solve" (inside Problem.solve: cvxpy's compilation and the solver)
and the rest. vantelo's runs split further, into data access (tidewell calls),
helper (risk-model assembly in OptimizeHelper, excluding its tidewell calls) and
build (everything else: argument checks, objective and constraint expressions).
"""

from __future__ import annotations

import time
from collections import OrderedDict

import numpy as np
from problems import BENCHMARK, TURNOVER, UPPER

REFERENCE = "reference"

# Clarabel's tolerances for the reference (its defaults are 1e-8).
REFERENCE_SETTINGS = {
    "tol_gap_abs": 1e-10,
    "tol_gap_rel": 1e-10,
    "tol_feas": 1e-10,
    "tol_ktratio": 1e-8,
    "max_iter": 500,
}


class NotExpressible(Exception):
    """The solver cannot state this case; the message says why."""


# ---------------------------------------------------------------------------
# Stage clock
# ---------------------------------------------------------------------------


class StageClock:
    """Exclusive time per stage: entering a stage pauses the enclosing one."""

    BASE = "build"

    def __init__(self):
        self.reset()

    def reset(self):
        self.totals = OrderedDict((name, 0.0) for name in ("data", "helper", "build", "solve"))
        self.stack = [self.BASE]
        self.mark = self.started = time.perf_counter()
        self.solves = []

    def enter(self, name):
        now = time.perf_counter()
        self.totals[self.stack[-1]] += now - self.mark
        self.stack.append(name)
        self.mark = now

    def leave(self):
        now = time.perf_counter()
        self.totals[self.stack.pop()] += now - self.mark
        self.mark = now

    def finish(self):
        """Stop the clock: (wall time since reset, exclusive time per stage)."""
        self.leave()
        return self.mark - self.started, self.totals


CLOCK = StageClock()


def _timed(function, stage):
    def wrapper(*args, **kwargs):
        CLOCK.enter(stage)
        try:
            return function(*args, **kwargs)
        finally:
            CLOCK.leave()

    wrapper.__wrapped__ = function
    wrapper.__name__ = getattr(function, "__name__", stage)
    return wrapper


_SOLVE_WRAPPED = False


def wrap_problem_solve():
    """Time every cvxpy Problem.solve as "solve" and note what each solve did."""
    global _SOLVE_WRAPPED
    if _SOLVE_WRAPPED:
        return
    import cvxpy as cp

    original = cp.Problem.solve

    def solve(self, *args, **kwargs):
        CLOCK.enter("solve")
        try:
            return original(self, *args, **kwargs)
        finally:
            CLOCK.leave()
            stats = self.solver_stats
            CLOCK.solves.append(
                {
                    "status": self.status,
                    "solver": getattr(stats, "solver_name", None),
                    "iterations": getattr(stats, "num_iters", None),
                    "solver_time": getattr(stats, "solve_time", None),
                    "compile_time": getattr(self, "compilation_time", None),
                }
            )

    cp.Problem.solve = solve
    _SOLVE_WRAPPED = True


_TIDEWELL_WRAPPED = False


def wrap_tidewell():
    """Time every public tidewell function as "data"."""
    global _TIDEWELL_WRAPPED
    if _TIDEWELL_WRAPPED:
        return
    import inspect

    import tidewell

    for name in tidewell.__all__:
        value = getattr(tidewell, name)
        if inspect.isfunction(value) or inspect.isbuiltin(value):
            setattr(tidewell, name, _timed(value, "data"))
    _TIDEWELL_WRAPPED = True


class TimedHelper:
    """Forwards to an OptimizeHelper, timing every member access and call as
    "helper". With hide_factor, it does not offer the factor form of the
    covariances, so the objectives fall back to cp.quad_form on the dense matrix:
    the path vantelo took before the factor form existed."""

    HIDDEN = ("get_cov_factor", "get_union_cov_factor")

    def __init__(self, inner, hide_factor):
        object.__setattr__(self, "_inner", inner)
        object.__setattr__(self, "_hide_factor", hide_factor)

    def __getattr__(self, name):
        if self._hide_factor and name in self.HIDDEN:
            raise AttributeError(name)
        CLOCK.enter("helper")
        try:
            value = getattr(self._inner, name)
        finally:
            CLOCK.leave()
        if callable(value):
            return _timed(value, "helper")
        return value

    def __repr__(self):
        return repr(self._inner)


# ---------------------------------------------------------------------------
# vantelo
# ---------------------------------------------------------------------------


def setup_vantelo(problem, case, hide_factor):
    import pandas as pd

    import vantelo.optimize as optimize
    from vantelo.const import CovModel
    from vantelo.constraints import (
        TurnoverLimit,
        WildcardIndustryConstraint,
        wildcard_style_constraint,
    )
    from vantelo.helper import OptimizeHelper
    from vantelo.objective import MaxSharpeRatio, MinTrackingError, MinVariance

    wrap_tidewell()
    wrap_problem_solve()

    def make_helper(*args, **kwargs):
        return TimedHelper(OptimizeHelper(*args, **kwargs), hide_factor)

    optimize.OptimizeHelper = make_helper

    pool = list(problem.pool)
    holding = pd.Series(problem.holding, index=list(problem.holding_ids))
    bounds = {"*": (0.0, UPPER)}

    def run():
        # Fresh objective and constraint objects every run: MaxSharpeRatio keeps
        # its estimate of the expected returns after the first use.
        kwargs = {"bnds": bounds, "cov_model": CovModel.FACTOR_MODEL_DAILY}
        if case == "a":
            kwargs["objective"] = MinVariance()
        elif case == "b":
            kwargs["objective"] = MinVariance()
            kwargs["benchmark"] = BENCHMARK
            kwargs["cons"] = [
                WildcardIndustryConstraint(lower_limit=-0.03, upper_limit=0.03, relative=True),
                wildcard_style_constraint(lower_limit=-0.2, upper_limit=0.2, relative=True),
            ]
        elif case == "c":
            kwargs["objective"] = MinTrackingError()
            kwargs["benchmark"] = BENCHMARK
            kwargs["cons"] = [TurnoverLimit(holding, TURNOVER)]
        elif case == "d":
            kwargs["objective"] = MaxSharpeRatio()
            kwargs["benchmark"] = BENCHMARK
        weights = optimize.portfolio_optimize(pool, problem.date, **kwargs)
        return np.asarray(pd.Series(weights).reindex(pool).values, dtype=float)

    return run


# ---------------------------------------------------------------------------
# Reference: plain cvxpy, Clarabel at tight tolerances, on the factor form
# ---------------------------------------------------------------------------


def setup_reference(problem, case):
    import cvxpy as cp

    wrap_problem_solve()

    def risk(root, specific, x):
        return cp.sum_squares(root.T @ x) + cp.sum_squares(cp.multiply(np.sqrt(specific), x))

    def run():
        n = problem.n
        w = cp.Variable(n)
        constraints = [w >= 0]
        if case == "d":
            k = cp.Variable(nonneg=True)
            constraints += [
                problem.mu_used @ w == 1,
                cp.sum(w) == k,
                w <= UPPER * k,
            ]
            objective = risk(problem.root, problem.specific, w)
        else:
            constraints += [cp.sum(w) == 1, w <= UPPER]
            objective = risk(problem.root, problem.specific, w)
        if case == "b":
            has_low = ~np.isnan(problem.industry_low)
            has_high = ~np.isnan(problem.industry_high)
            if has_low.any():
                constraints.append(
                    problem.industry_rows[has_low] @ w >= problem.industry_low[has_low]
                )
            if has_high.any():
                constraints.append(
                    problem.industry_rows[has_high] @ w <= problem.industry_high[has_high]
                )
            styles = problem.exposure.T @ w
            constraints += [styles >= problem.style_low, styles <= problem.style_high]
        if case == "c":
            held = w
            if problem.n_union > n:
                held = cp.hstack([w, np.zeros(problem.n_union - n)])
            objective = risk(problem.root_u, problem.specific_u, held - problem.bench_u)
            constraints.append(cp.norm1(held - problem.holding_u) <= problem.turnover_budget())
        cp.Problem(cp.Minimize(objective), constraints).solve(
            solver=cp.CLARABEL, **REFERENCE_SETTINGS
        )
        if w.value is None:
            raise RuntimeError("the reference solve returned no point")
        if case == "d":
            return np.asarray(w.value / k.value, dtype=float)
        return np.asarray(w.value, dtype=float)

    return run


# ---------------------------------------------------------------------------
# PyPortfolioOpt: EfficientFrontier on the dense covariance, cvxpy's default solver
# ---------------------------------------------------------------------------


def setup_pypfopt(problem, case):
    try:
        import pypfopt  # noqa: F401
    except ImportError as error:
        raise NotExpressible(f"PyPortfolioOpt not installed ({error})") from None
    import cvxpy as cp
    from pypfopt import EfficientFrontier, objective_functions

    wrap_problem_solve()
    n = problem.n
    cov = problem.dense_cov(union=(case == "c"))

    def run():
        if case == "a":
            ef = EfficientFrontier(None, cov, weight_bounds=(0, UPPER))
            ef.min_volatility()
        elif case == "b":
            ef = EfficientFrontier(None, cov, weight_bounds=(0, UPPER))
            mapper = {i: industry for i, industry in enumerate(problem.industry)}
            lower = {
                name: low
                for name, low in zip(problem.industry_names, problem.industry_low)
                if not np.isnan(low)
            }
            upper = {
                name: high
                for name, high in zip(problem.industry_names, problem.industry_high)
                if not np.isnan(high)
            }
            ef.add_sector_constraints(mapper, lower, upper)
            exposure = problem.exposure
            ef.add_constraint(lambda w: exposure.T @ w >= problem.style_low)
            ef.add_constraint(lambda w: exposure.T @ w <= problem.style_high)
            ef.min_volatility()
        elif case == "c":
            # The union of pool and benchmark, stocks outside the pool held at 0.
            bounds = [(0, UPPER)] * n + [(0, 0)] * (problem.n_union - n)
            ef = EfficientFrontier(None, cov, weight_bounds=bounds)
            budget = problem.turnover_budget()
            ef.add_constraint(lambda w: cp.norm1(w - problem.holding_u) <= budget)
            ef.convex_objective(
                objective_functions.ex_ante_tracking_error,
                cov_matrix=cov,
                benchmark_weights=problem.bench_u,
            )
        elif case == "d":
            ef = EfficientFrontier(problem.mu_used, cov, weight_bounds=(0, UPPER))
            ef.max_sharpe(risk_free_rate=0.0)
        return np.asarray(ef.weights, dtype=float)[:n]

    return run


# ---------------------------------------------------------------------------
# skfolio: MeanRisk on a prior that hands it our covariance (and returns)
# ---------------------------------------------------------------------------


def setup_skfolio(problem, case):
    try:
        import skfolio  # noqa: F401
    except ImportError as error:
        raise NotExpressible(f"skfolio not installed ({error})") from None
    import cvxpy as cp
    from skfolio import RiskMeasure
    from skfolio.moments import BaseCovariance, BaseMu
    from skfolio.optimization import MeanRisk, ObjectiveFunction
    from skfolio.prior import EmpiricalPrior

    class GivenCovariance(BaseCovariance):
        """Answers the matrix it was given, whatever the returns. nearest=False:
        the matrix is used as it is (it is positive definite)."""

        def __init__(self, covariance=None, nearest=False):
            super().__init__(nearest=nearest)
            self.covariance = covariance

        def fit(self, X, y=None, **fit_params):
            self._set_covariance(np.asarray(self.covariance, dtype=float))
            return self

    class GivenMu(BaseMu):
        """Answers the expected returns it was given, whatever the returns."""

        def __init__(self, mu=None):
            self.mu = mu

        def fit(self, X, y=None, **fit_params):
            self.mu_ = np.asarray(self.mu, dtype=float)
            return self

    wrap_problem_solve()
    n = problem.n
    union = case == "c"
    cov = problem.dense_cov(union=union)
    size = problem.n_union if union else n
    mu = problem.mu_used if case == "d" else np.zeros(size)
    # skfolio fits on a return matrix; the estimators above ignore it, so a few
    # rows of noise of the right width will do.
    returns = np.random.default_rng(0).normal(scale=0.01, size=(4, size))

    def run():
        prior = EmpiricalPrior(mu_estimator=GivenMu(mu), covariance_estimator=GivenCovariance(cov))
        options = {
            "risk_measure": RiskMeasure.VARIANCE,
            "prior_estimator": prior,
            "min_weights": 0.0,
            "max_weights": UPPER,
            "budget": 1.0,
        }
        if case == "b":
            # A w <= c: industry bands and style bands as inequality rows.
            rows, limits = [], []
            for row, low, high in zip(
                problem.industry_rows, problem.industry_low, problem.industry_high
            ):
                if not np.isnan(high):
                    rows.append(row)
                    limits.append(high)
                if not np.isnan(low):
                    rows.append(-row)
                    limits.append(-low)
            exposure_rows = problem.exposure.T
            rows += list(exposure_rows) + list(-exposure_rows)
            limits += list(problem.style_high) + list(-problem.style_low)
            options["left_inequality"] = np.asarray(rows)
            options["right_inequality"] = np.asarray(limits)
        if case == "c":
            maximum = np.zeros(size)
            maximum[:n] = UPPER
            options["max_weights"] = maximum
            # Risk of w - target: the tracking-error variance.
            options["target_weights"] = problem.bench_u
            budget = problem.turnover_budget()
            holding = problem.holding_u
            # skfolio's max_turnover bounds each asset's change; the limit here is
            # on the sum, so it goes in as a constraint of our own.
            options["add_constraints"] = lambda w: [cp.norm1(w - holding) <= budget]
        if case == "d":
            # mean / standard deviation: the Sharpe ratio.
            options["risk_measure"] = RiskMeasure.STANDARD_DEVIATION
            options["objective_function"] = ObjectiveFunction.MAXIMIZE_RATIO
            options["risk_free_rate"] = 0.0
        else:
            options["objective_function"] = ObjectiveFunction.MINIMIZE_RISK
        model = MeanRisk(**options)
        model.fit(returns)
        return np.asarray(model.weights_, dtype=float)[:n]

    return run


SOLVERS = OrderedDict(
    [
        (REFERENCE, ("cvxpy + Clarabel, factor form, tolerances 1e-10", setup_reference)),
        (
            "vantelo-factor",
            ("vantelo, factor-form risk (after)", lambda p, c: setup_vantelo(p, c, False)),
        ),
        (
            "vantelo-dense",
            ("vantelo, dense cp.quad_form (before)", lambda p, c: setup_vantelo(p, c, True)),
        ),
        ("pypfopt", ("PyPortfolioOpt EfficientFrontier, dense", setup_pypfopt)),
        ("skfolio", ("skfolio MeanRisk, dense", setup_skfolio)),
    ]
)
