"""Objectives: what the optimiser minimises over the weight variable `g`.

Each objective implements three methods that `portfolio_optimize` calls with positional
arguments: `get_objective_expr(g, zeta, helper)`, `get_internal_constraints(g, zeta,
helper)` and `get_preferred_solver()`. `g` is the nonnegative weight vector in pool
order, `zeta` the scale that `g` sums to (1.0, the pool size for `RiskParity`, a
variable for the ratio objectives) and `helper` the call's `OptimizeHelper`.
"""

import warnings as warnings
from abc import ABCMeta as ABCMeta
from typing import Any, ClassVar

import cvxpy as cp
import pandas as pd

import tidewell as tidewell
from vantelo._typing import HelperLike
from vantelo.const import STYLE_FACTORS as STYLE_FACTORS
from vantelo.exception import InvalidArgument as InvalidArgument
from vantelo.exception import OptimizerWarning as OptimizerWarning

_Zeta = float | int | cp.Variable

def ensure_series(obj: Any, name: str) -> pd.Series:
    """`obj` itself if it is a `pd.Series`, else `pd.Series(obj)`.

    :param name: the argument's name, for the message
    :raises InvalidArgument: "{}: 期望传入一个 pd.Series 或可以转换为 pd.Series 的对象"
    """

class OptimizationObjective(metaclass=ABCMeta):
    """Base class of the objectives; its methods raise `NotImplementedError`."""

    def get_objective_expr(self, g: cp.Variable, zeta: _Zeta, helper: HelperLike) -> Any:
        """The scalar cvxpy expression to minimise."""
    def get_internal_constraints(
        self, g: cp.Variable, zeta: _Zeta, helper: HelperLike
    ) -> list[cp.Constraint]:
        """The cvxpy constraints the objective needs (often none)."""
    def get_preferred_solver(self) -> str:
        """The cvxpy solver to solve with (`"SCS"` for every built-in objective)."""

class MinVariance(OptimizationObjective):
    """Minimum variance: minimise gᵀΣg. The default objective."""

class MeanVariance(OptimizationObjective):
    """Mean-variance: minimise −μᵀg + a·gᵀΣg.

    The risk factor a is `risk_aversion_coefficient` × (typical positive expected
    return) / (variance of the equal-weight portfolio), so that return and risk are of
    comparable size. All-zero expected returns fall back to minimum variance with a
    warning.

    :param expected_returns: annual expected returns keyed by code; None: the mean daily
        change rate × 252 over `window` trading days, estimated on first use and kept
    :param window: trading days of history for the estimate
    :param risk_aversion_coefficient: the multiplier of the risk term, at least 0
    :raises InvalidArgument: for a negative coefficient
    """

    _expected_returns: pd.Series | None
    _window: int
    _risk_aversion_coefficient: float
    def __init__(
        self,
        expected_returns: Any = None,
        window: int = 252,
        risk_aversion_coefficient: float = 1,
    ) -> None: ...

class RiskParity(OptimizationObjective):
    """Risk parity: minimise gᵀΣg − Σ ln gᵢ, whose optimum gives every stock the same
    risk contribution. Solved at scale `zeta` = n (the pool size)."""

class MinTrackingError(OptimizationObjective):
    """Minimum tracking error: minimise the active variance against the benchmark,
    over the pool and the benchmark's constituents outside it. Needs a benchmark."""

class MaxInformationRatio(OptimizationObjective):
    """Maximum information ratio: minimise the active variance (g − ζb)ᵀΣ(g − ζb)
    subject to αᵀg = 1, with the scale ζ a variable. Needs a benchmark.

    :param expected_active_returns: annual expected active returns keyed by code; None:
        each stock's mean daily change rate × 252 over `window` trading days minus the
        benchmark's expected return, estimated on every call
    :param window: trading days of history for the estimate
    """

    _expected_active_returns: pd.Series | None
    _window: int
    def __init__(self, expected_active_returns: Any = None, window: int = 252) -> None: ...

class MaxSharpeRatio(OptimizationObjective):
    """Maximum Sharpe ratio: minimise gᵀΣg subject to μᵀg = 1, with the scale ζ a
    variable. `portfolio_optimize` requires a benchmark with it.

    :param expected_returns: annual expected returns keyed by code; None: the mean daily
        change rate × 252 over `window` trading days, estimated on first use and kept
    :param window: trading days of history for the estimate
    """

    _expected_returns: pd.Series | None
    _window: int
    def __init__(self, expected_returns: Any = None, window: int = 252) -> None: ...

class MaxIndicator(OptimizationObjective):
    """Maximum indicator: minimise −vᵀg, v the indicator divided by its mean absolute
    value over the pool.

    :param indicator_series: a value for every pool stock, keyed by code
    :raises InvalidArgument: at the optimisation, when a pool stock has no value
    """

    _indicator_series: pd.Series
    def __init__(self, indicator_series: Any) -> None: ...

class MinStyleDeviation(OptimizationObjective):
    """Minimum style deviation: minimise Σₛ pₛ(xₛᵀg − tₛ)² over the target styles.

    :param target_style: target exposure per style name (`STYLE_FACTORS`)
    :param relative: targets are offsets from the benchmark's exposures
    :param priority: 0–9 per style name (default 5), weighting the styles by
        `PRIORITY_ADJUST_FACTOR`; None weighs every style 1
    :raises InvalidArgument: for a target that is not a style name
    """

    PRIORITY_ADJUST_FACTOR: ClassVar[list[int]]
    """The weight of each priority 0–9: 1, 5, 10, 15, 20, 25, 30, 35, 40, 45."""
    _target_style: pd.Series
    _relative: Any
    _priority: pd.Series | None
    def __init__(self, target_style: Any, relative: Any = False, priority: Any = None) -> None: ...
