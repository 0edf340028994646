"""Why a problem has no solution, and how a portfolio stands against its limits.

`explain_infeasibility` takes the arguments of `portfolio_optimize` and says which
limits collide and by how much, without optimising; `portfolio_optimize` attaches the
same report to the `OptimizationFailed` it raises for an infeasible problem (its
`diagnosis`). `check_constraints` measures given weights against the same limits.
A limit is one side of one bound: each per-stock bound, full investment, the
objective's own constraints and each side of each constraint object.
"""

import datetime
from typing import Any, Callable, Iterable

import pandas as pd

from vantelo._typing import HelperLike
from vantelo.benchmark import OptimizeBenchmark
from vantelo.const import CovModel
from vantelo.objective import OptimizationObjective
from vantelo.risk import RiskModel

DateLike = datetime.date | datetime.datetime | str
_Bnds = dict[str, tuple[float | None, float | None]]

SOLVERS: list[tuple[str, dict[str, Any], float]]
"""The solvers the diagnosis tries, in turn: (name in cvxpy, options, tolerance). The
tolerance is the smallest relaxation, and shortfall of a limit's multiplier from its
cost, that the solver tells from rounding on a limit of scale 1. A solver that is not
installed is passed over; one that fails (an error, or a status other than optimal)
hands the problem to the next. As shipped: SciPy's simplex method (exact, for linear
problems only), Clarabel at tolerances of 1e-9, SCS at 1e-7."""

class InfeasibilityReport:
    """Why a problem has no solution; `str(report)` gives it as text.

    :param feasible: whether every limit, hard and soft, can hold together
    :param conflicts: one row per limit that moves in the cheapest relaxation (of
        limits that could move by the same amount, one: the one given last): `label`,
        `constraint` (the object; the objective for its own constraints; None for
        bounds and full investment), `side` ("lower", "upper" or "equal"), `limit` (as
        given, in its own units), `attainable` (the value the limit's quantity takes in
        that relaxation), `relaxation` (how far the limit moves there, >= 0) and
        `hard`; empty when the problem is feasible. Moving every listed limit by its
        relaxation makes the problem solvable; a relaxation below the solver's
        tolerance on the limit's own scale is rounding and never listed
    :param minimal_set: labels of limits that cannot hold together, each one needed:
        without any one of them the rest can hold
    :param hard_only_feasible: whether the hard limits alone can hold, that is whether
        dropping the soft constraints gives a solution
    :param diagnosed: whether the diagnosis could be made; when no solver of
        `SOLVERS` could solve the relaxed problem it is False, as are `feasible` and
        `hard_only_feasible`, `conflicts` and `minimal_set` are empty and `reason` says
        why
    :param reason: why the diagnosis could not be made; "" when it was
    :param solver: the solver that answered, or None
    """

    feasible: bool
    conflicts: pd.DataFrame
    minimal_set: list[str]
    hard_only_feasible: bool
    diagnosed: bool
    reason: str
    solver: str | None
    def __init__(
        self,
        feasible: bool,
        conflicts: pd.DataFrame,
        minimal_set: Iterable[str],
        hard_only_feasible: bool,
        diagnosed: bool = True,
        reason: str = "",
        solver: str | None = None,
    ) -> None: ...

def explain_infeasibility(
    order_book_ids: str | Iterable[str],
    date: DateLike,
    objective: OptimizationObjective | None = None,
    bnds: _Bnds | None = None,
    cons: Iterable[Any] | None = None,
    benchmark: None | str | OptimizeBenchmark = None,
    cov_model: CovModel | str = ...,
    *,
    risk_model: RiskModel | Callable[[datetime.date], RiskModel] | None = None,
) -> InfeasibilityReport:
    """Which limits of a problem collide, and by how much.

    Every limit may move at a cost of one per unit of its own scale (a weight, an
    exposure, a tracking error as a volatility, a turnover); the limits that move in
    the cheapest relaxation are the conflicts. Soft limits move before hard ones; full
    investment and the objective's own constraints move only where nothing else will.

    :param order_book_ids: the pool, cleaned as `portfolio_optimize` cleans it
    :param date: the date of the problem
    :param objective: the objective whose own constraints count; `MinVariance` when None
    :param bnds: per-stock bounds, as for `portfolio_optimize`
    :param cons: constraint objects, hard and soft alike
    :param benchmark: an index code or an `OptimizeBenchmark`; required where the
        objective or a relative constraint needs one
    :param cov_model: the risk model's horizon
    :return: an `InfeasibilityReport`; a feasible one (no conflicts) when every limit
        can hold, and for a pool that cleans down to one stock; one with `diagnosed`
        False, and the reason, when no solver of `SOLVERS` can solve the relaxed problem
    :raises InvalidArgument: for the input `portfolio_optimize` would refuse
    """

def check_constraints(
    weights: pd.Series | dict[str, float],
    date: DateLike,
    bnds: _Bnds | None = None,
    cons: Iterable[Any] | None = None,
    benchmark: None | str | OptimizeBenchmark = None,
    cov_model: CovModel | str = ...,
    *,
    risk_model: RiskModel | Callable[[datetime.date], RiskModel] | None = None,
) -> pd.DataFrame:
    """A portfolio measured against the limits of `bnds` and `cons`.

    :param weights: a Series or dict of code -> weight, taken as given (neither cleaned
        nor renormalised; negative weights are measured too, and every bound of `bnds`
        is a limit, a lower bound of 0 and an upper bound of 1 included). Weights
        summing to more than 1 (beyond 1e-4) are refused; what weights summing to less
        leave over is read as cash, with an `OptimizerWarning`
    :param date: the date whose market data the limits read
    :param bnds: per-stock bounds, as for `portfolio_optimize`
    :param cons: constraint objects
    :param benchmark: an index code or an `OptimizeBenchmark`, for relative limits,
        tracking error and benchmark constituents
    :param cov_model: the risk model's horizon
    :return: one row per limit, labelled as `explain_infeasibility` labels them:
        `label`, `value` (the portfolio's, in the limit's units), `lower` and `upper`
        (NaN on the open side), `slack` (distance to the bound, negative past it),
        `binding` (within 1e-6 of the bound) and `violated` (past it by more than
        `vantelo.core.LIMIT_TOLERANCE`, 1e-3 in the limit's units: what the optimiser
        itself accepts)
    :raises InvalidArgument: for weights that are not a Series or dict of finite
        numbers keyed by distinct codes, or that sum to more than 1, and the bounds or
        constraints `portfolio_optimize` would refuse
    """

def _explain_failure(
    order_book_ids: list[str],
    objective: OptimizationObjective,
    bnds: _Bnds | None,
    cons: Iterable[Any] | None,
    helper: HelperLike,
) -> InfeasibilityReport:
    """The report `portfolio_optimize` attaches to `OptimizationFailed.diagnosis`;
    when the diagnosis itself raises, a report that says it could not be made, and
    why (never None)."""
