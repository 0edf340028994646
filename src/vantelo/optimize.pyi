"""The optimiser's entry point, `portfolio_optimize`, and its input conversions.

Importing this module makes Python show every `OptimizerWarning` each time it is
issued (a process-wide "always" filter for that category).
"""

import datetime
from enum import Enum
from typing import Any, Iterable, TypeVar

import numpy as np
import pandas as pd

from vantelo.benchmark import OptimizeBenchmark
from vantelo.const import CovModel
from vantelo.objective import MinVariance, OptimizationObjective

_E = TypeVar("_E", bound=Enum)
DateLike = datetime.date | datetime.datetime | str

DEFAULT_OBJECTIVE: MinVariance
"""The objective of calls that pass none: one shared `MinVariance()`."""

def to_enum(v: Any, enum_type: type[_E]) -> _E:
    """`v` as a member of `enum_type`.

    A member is returned as it is; otherwise the member that `v` equals, or whose value
    `v` equals, in declaration order.

    :param v: a member, or a value equal to a member or to a member's value
    :param enum_type: the enumeration class, such as `CovModel`
    :raises InvalidArgument: "invalid value {} for {}" when nothing matches
    """

def to_date(dt: DateLike, /) -> datetime.date:
    """`dt` as a calendar date: the date part of a datetime, a date unchanged, a text parsed.

    :raises InvalidArgument: "expect a datetime like object, got %r(%r)" for other types
    """

def ensure_date_str(date: DateLike, /) -> str:
    """`date` as ten characters, "%04d-%02d-%02d" (via `to_date`)."""

def ensure_order_book_ids(order_book_ids: str | Iterable[str], date: DateLike) -> list[str]:
    """The cleaned pool: the listed common stocks among `order_book_ids`, sorted, each once.

    Codes that are not common stocks, list on or after `date` or are delisted by it are
    dropped with an `OptimizerWarning` each; a repeated code is kept once with a
    `UserWarning`.

    :param order_book_ids: one code or an iterable of codes
    :param date: the optimisation date
    :raises InvalidArgument: "order_book_ids 非法" when `order_book_ids` is not iterable
    """

def ensure_bound(v: Any, /) -> float | None:
    """None for None, else `float(v)`.

    :raises InvalidArgument: "约束的上限或下限非法: {}" for text that is not a number
    """

def parse_bnds(
    bnds: dict[str, tuple[float | None, float | None]], order_book_ids: list[str]
) -> tuple[np.ndarray, np.ndarray]:
    """The lower and upper weight bound of every pool stock, in pool order.

    :param bnds: code or "*" (every other stock) → (lower, upper), each a fraction in
        [0, 1] or None (no bound on that side); stocks default to (0, 1)
    :param order_book_ids: the cleaned pool
    :return: (lower_bounds, upper_bounds), float arrays of the pool's length
    :raises InvalidArgument: for a value that is not a pair, a bound outside [0, 1], an
        upper bound below its lower bound, lower bounds summing above 1 or upper bounds
        summing below 1
    """

def portfolio_optimize(
    order_book_ids: str | Iterable[str],
    date: DateLike,
    objective: OptimizationObjective = DEFAULT_OBJECTIVE,
    bnds: dict[str, tuple[float | None, float | None]] | None = None,
    cons: Iterable[Any] | None = None,
    benchmark: None | str | OptimizeBenchmark = None,
    cov_model: CovModel | str = CovModel.FACTOR_MODEL_DAILY,
) -> pd.Series | dict[str, float]:
    """The optimal long-only portfolio of a pool of stocks on a date.

    Cleans the pool, builds one convex problem from the objective, full investment,
    the per-stock bounds and the constraints, solves it, and drops the soft
    constraints once if the problem is infeasible.

    :param order_book_ids: the candidate stocks: one code or an iterable of codes
    :param date: the optimisation date: a date, a datetime or a date text
    :param objective: what to minimise; `MinVariance` by default
    :param bnds: per-stock weight bounds: code or "*" → (lower, upper), fractions in
        [0, 1] or None; every stock is in [0, 1] by default
    :param cons: constraint objects (`vantelo.constraints`); hard ones always hold, soft
        ones (`hard=False`) are dropped when the problem is infeasible
    :param benchmark: an index code, or an `OptimizeBenchmark` for a custom benchmark;
        required by `MinTrackingError`, `MaxSharpeRatio` and `MaxInformationRatio`
    :param cov_model: the risk model's horizon: daily (default), monthly or quarterly
    :return: the weights, a `pd.Series` indexed by the cleaned pool that sums to 1; a
        pool that cleans down to one stock gives the dict {code: 1.0}
    :raises InvalidArgument: for rejected input (the message says which and why)
    :raises OptimizationFailed: when the solver fails or the hard constraints cannot be met
    """
