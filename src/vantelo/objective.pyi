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

def ensure_series(obj: Any, name: str) -> pd.Series: ...

class OptimizationObjective(metaclass=ABCMeta):
    def get_objective_expr(self, g: cp.Variable, zeta: _Zeta, helper: HelperLike) -> Any: ...
    def get_internal_constraints(
        self, g: cp.Variable, zeta: _Zeta, helper: HelperLike
    ) -> list[cp.Constraint]: ...
    def get_preferred_solver(self) -> str: ...

class MinVariance(OptimizationObjective): ...

class MeanVariance(OptimizationObjective):
    _expected_returns: pd.Series | None
    _window: int
    _risk_aversion_coefficient: float
    def __init__(
        self,
        expected_returns: Any = None,
        window: int = 252,
        risk_aversion_coefficient: float = 1,
    ) -> None: ...

class RiskParity(OptimizationObjective): ...
class MinTrackingError(OptimizationObjective): ...

class MaxInformationRatio(OptimizationObjective):
    _expected_active_returns: pd.Series | None
    _window: int
    def __init__(self, expected_active_returns: Any = None, window: int = 252) -> None: ...

class MaxSharpeRatio(OptimizationObjective):
    _expected_returns: pd.Series | None
    _window: int
    def __init__(self, expected_returns: Any = None, window: int = 252) -> None: ...

class MaxIndicator(OptimizationObjective):
    _indicator_series: pd.Series
    def __init__(self, indicator_series: Any) -> None: ...

class MinStyleDeviation(OptimizationObjective):
    PRIORITY_ADJUST_FACTOR: ClassVar[list[int]]
    _target_style: pd.Series
    _relative: Any
    _priority: pd.Series | None
    def __init__(self, target_style: Any, relative: Any = False, priority: Any = None) -> None: ...
