"""Constraints: the objects of `portfolio_optimize`'s `cons` list.

A constraint has a `hard` property and a method `to_constraints(g, zeta, helper)` that
returns cvxpy constraints; every bound on a weight sum or an exposure is multiplied by
`zeta`, so it applies to the final weights. Soft constraints (`hard=False`) are dropped
when the problem is infeasible. Constructors only check their arguments; market data is
read in `to_constraints`.
"""

import abc
from typing import Any, Iterable

import cvxpy as cp
import pandas as pd

from vantelo._typing import HelperLike
from vantelo.const import IndustryClassification

_Bound = None | float | int | str
_Zeta = float | int | cp.Variable

class OptimizationConstraint(metaclass=abc.ABCMeta):
    """Base class of the constraints; its members raise `NotImplementedError`."""

    def to_constraints(self, g: cp.Variable, zeta: _Zeta, helper: HelperLike) -> list[Any]:
        """The cvxpy constraints for this call's pool."""
    @property
    def hard(self) -> Any:
        """True: always kept; false: dropped when the problem is infeasible."""

def _ensure_bound(v: Any, label: str) -> float | None:
    """None for None, else `float(v)`; `label` names the bound in the message."""

def ensure_series(obj: Any, name: str) -> pd.Series:
    """`obj` itself if it is a `pd.Series`, else `pd.Series(obj)`."""

def get_deviation_value(benchmark: float, deviation: _Bound) -> float | None:
    """An absolute bound from a deviation around the benchmark value `benchmark`.

    None gives None, a number d gives benchmark + d, a text "+p%" or "-p%" gives
    benchmark × (1 ± p/100).
    """

class TrackingErrorLimit(OptimizationConstraint):
    """Tracking error at most `upper_limit` against the optimisation's benchmark.

    :param upper_limit: annualised tracking error (a volatility), above 0
    :param hard: hard (True) or soft constraint
    """

    upper: float
    _hard: Any
    def __init__(self, upper_limit: float | int | str, hard: bool = True) -> None: ...
    def to_constraints(self, g: cp.Variable, zeta: _Zeta, helper: HelperLike) -> list[Any]:
        """(g − ζb)ᵀΣ(g − ζb) ≤ (ζ·upper)²; nothing, with a warning, when `zeta` is not a
        float (`MaxSharpeRatio`, `MaxInformationRatio`, `RiskParity`)."""
    @property
    def hard(self) -> Any: ...

class TurnoverLimit(OptimizationConstraint):
    """One-way turnover from `current_holding` at most `upper_limit`.

    :param current_holding: current weights keyed by code
    :param upper_limit: one-way turnover (half the sum of absolute weight changes), above 0
    :param hard: hard (True) or soft constraint
    """

    upper: float
    _current_holding: pd.Series
    _hard: Any
    def __init__(
        self, current_holding: Any, upper_limit: float | int | str, hard: bool = True
    ) -> None: ...
    def to_constraints(self, g: cp.Variable, zeta: _Zeta, helper: HelperLike) -> list[Any]:
        """‖g − ζh‖₁ ≤ 2ζ·upper, holdings outside the pool sold entirely."""
    @property
    def hard(self) -> Any: ...

class BenchmarkComponentWeightLimit(OptimizationConstraint):
    """Total weight in the benchmark's constituents at least `lower_limit`.

    :param lower_limit: a fraction in [0, 1]
    :param hard: hard (True) or soft constraint
    """

    lower: float
    _hard: Any
    def __init__(self, lower_limit: float | int | str, hard: bool = True) -> None: ...
    def to_constraints(self, g: cp.Variable, zeta: _Zeta, helper: HelperLike) -> list[Any]:
        """Σ_{i in benchmark} gᵢ ≥ ζ·lower."""
    @property
    def hard(self) -> Any: ...

class IndustryConstraint(OptimizationConstraint):
    """Bounds on the total weight of each named industry.

    :param industries: one industry name or several
    :param lower_limit: lower bound; with `relative`, a deviation such as -0.02 or "-5%"
    :param upper_limit: upper bound, like `lower_limit`; at least one is required
    :param relative: bounds relative to the benchmark's weight in the industry
    :param classification: the industry classification standard
    :param hard: hard (True) or soft constraint
    """

    industries: Any
    lower: _Bound
    upper: _Bound
    relative: Any
    classification: Any
    _hard: Any
    def __init__(
        self,
        industries: str | Iterable[str],
        lower_limit: _Bound = None,
        upper_limit: _Bound = None,
        relative: bool = False,
        classification: IndustryClassification = IndustryClassification.SWS,
        hard: bool = True,
    ) -> None: ...
    def to_constraints(self, g: cp.Variable, zeta: _Zeta, helper: HelperLike) -> list[Any]:
        """Per industry: weight ≥ ζ·lower when lower > 0, ≤ ζ·upper when upper < 1; an
        industry without pool stocks is skipped with a warning."""
    @property
    def hard(self) -> Any: ...

class WildcardIndustryConstraint(OptimizationConstraint):
    """The same bounds for every industry but those in `exclude` (and "UNKNOWN").

    :param exclude: industries left unconstrained
    :param lower_limit: lower bound; with `relative`, a deviation such as -0.02 or "-5%"
    :param upper_limit: upper bound, like `lower_limit`; at least one is required
    :param relative: bounds relative to the benchmark's weight in each industry
    :param classification: the industry classification standard
    :param hard: hard (True) or soft constraint
    """

    exclude: list[Any]
    lower: _Bound
    upper: _Bound
    relative: Any
    classification: Any
    _hard: Any
    def __init__(
        self,
        exclude: None | str | Iterable[str] = None,
        lower_limit: _Bound = None,
        upper_limit: _Bound = None,
        relative: bool = False,
        classification: IndustryClassification = IndustryClassification.SWS,
        hard: bool = True,
    ) -> None: ...
    def to_constraints(self, g: cp.Variable, zeta: _Zeta, helper: HelperLike) -> list[Any]:
        """The `IndustryConstraint` bounds for each industry of the pool (and, relative,
        of the benchmark) not excluded."""
    @property
    def hard(self) -> Any: ...

class StyleConstraint(OptimizationConstraint):
    """Bounds on the portfolio's exposure to each named style.

    :param styles: one or several of `STYLE_FACTORS`
    :param lower_limit: lower bound; with `relative`, a deviation such as -0.1 or "-5%"
    :param upper_limit: upper bound, like `lower_limit`; at least one is required
    :param relative: bounds relative to the benchmark's exposure
    :param hard: hard (True) or soft constraint
    """

    styles: Any
    lower: _Bound
    upper: _Bound
    relative: Any
    _hard: Any
    def __init__(
        self,
        styles: str | Iterable[str],
        lower_limit: _Bound = None,
        upper_limit: _Bound = None,
        relative: bool = False,
        hard: bool = True,
    ) -> None: ...
    def to_constraints(self, g: cp.Variable, zeta: _Zeta, helper: HelperLike) -> list[Any]:
        """Per style: exposure ≥ ζ·lower and ≤ ζ·upper, for every bound given."""
    @property
    def hard(self) -> Any: ...

def wildcard_style_constraint(
    exclude: None | str | Iterable[str] = None,
    lower_limit: _Bound = None,
    upper_limit: _Bound = None,
    relative: bool = False,
    hard: bool = True,
) -> StyleConstraint:
    """A `StyleConstraint` over every style of `STYLE_FACTORS` but those in `exclude`."""

class IndustryComponentLimit(OptimizationConstraint):
    """Bounds on each stock's share of its industry's total weight.

    :param industry: the industry's name
    :param lower_limit: the least share of the industry's weight per stock
    :param upper_limit: the largest share; at least one is required
    :param classification: the industry classification standard
    :param hard: hard (True) or soft constraint
    """

    industry: Any
    lower: float | None
    upper: float | None
    classification: Any
    _hard: Any
    def __init__(
        self,
        industry: Any,
        lower_limit: None | float | int | str = None,
        upper_limit: None | float | int | str = None,
        classification: IndustryClassification = IndustryClassification.SWS,
        hard: bool = True,
    ) -> None: ...
    def to_constraints(self, g: cp.Variable, zeta: _Zeta, helper: HelperLike) -> list[Any]:
        """gᵢ ≥ lower·Σ_industry g and gᵢ ≤ upper·Σ_industry g for each stock of the
        industry; raises `InvalidArgument` when the pool has none."""
    @property
    def hard(self) -> Any: ...
