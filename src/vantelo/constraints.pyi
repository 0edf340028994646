import abc
from typing import Any, Iterable

import cvxpy as cp
import pandas as pd

from vantelo._typing import HelperLike
from vantelo.const import IndustryClassification

_Bound = None | float | int | str
_Zeta = float | int | cp.Variable

class OptimizationConstraint(metaclass=abc.ABCMeta):
    def to_constraints(self, g: cp.Variable, zeta: _Zeta, helper: HelperLike) -> list[Any]: ...
    @property
    def hard(self) -> Any: ...

def _ensure_bound(v: Any, label: str) -> float | None: ...
def ensure_series(obj: Any, name: str) -> pd.Series: ...
def get_deviation_value(benchmark: float, deviation: _Bound) -> float | None: ...

class TrackingErrorLimit(OptimizationConstraint):
    upper: float
    _hard: Any
    def __init__(self, upper_limit: float | int | str, hard: bool = ...) -> None: ...
    def to_constraints(self, g: cp.Variable, zeta: _Zeta, helper: HelperLike) -> list[Any]: ...
    @property
    def hard(self) -> Any: ...

class TurnoverLimit(OptimizationConstraint):
    upper: float
    _current_holding: pd.Series
    _hard: Any
    def __init__(
        self, current_holding: Any, upper_limit: float | int | str, hard: bool = ...
    ) -> None: ...
    def to_constraints(self, g: cp.Variable, zeta: _Zeta, helper: HelperLike) -> list[Any]: ...
    @property
    def hard(self) -> Any: ...

class BenchmarkComponentWeightLimit(OptimizationConstraint):
    lower: float
    _hard: Any
    def __init__(self, lower_limit: float | int | str, hard: bool = ...) -> None: ...
    def to_constraints(self, g: cp.Variable, zeta: _Zeta, helper: HelperLike) -> list[Any]: ...
    @property
    def hard(self) -> Any: ...

class IndustryConstraint(OptimizationConstraint):
    industries: Any
    lower: _Bound
    upper: _Bound
    relative: Any
    classification: Any
    _hard: Any
    def __init__(
        self,
        industries: str | Iterable[str],
        lower_limit: _Bound = ...,
        upper_limit: _Bound = ...,
        relative: bool = ...,
        classification: IndustryClassification = ...,
        hard: bool = ...,
    ) -> None: ...
    def to_constraints(self, g: cp.Variable, zeta: _Zeta, helper: HelperLike) -> list[Any]: ...
    @property
    def hard(self) -> Any: ...

class WildcardIndustryConstraint(OptimizationConstraint):
    exclude: list[Any]
    lower: _Bound
    upper: _Bound
    relative: Any
    classification: Any
    _hard: Any
    def __init__(
        self,
        exclude: None | str | Iterable[str] = ...,
        lower_limit: _Bound = ...,
        upper_limit: _Bound = ...,
        relative: bool = ...,
        classification: IndustryClassification = ...,
        hard: bool = ...,
    ) -> None: ...
    def to_constraints(self, g: cp.Variable, zeta: _Zeta, helper: HelperLike) -> list[Any]: ...
    @property
    def hard(self) -> Any: ...

class StyleConstraint(OptimizationConstraint):
    styles: Any
    lower: _Bound
    upper: _Bound
    relative: Any
    _hard: Any
    def __init__(
        self,
        styles: str | Iterable[str],
        lower_limit: _Bound = ...,
        upper_limit: _Bound = ...,
        relative: bool = ...,
        hard: bool = ...,
    ) -> None: ...
    def to_constraints(self, g: cp.Variable, zeta: _Zeta, helper: HelperLike) -> list[Any]: ...
    @property
    def hard(self) -> Any: ...

def wildcard_style_constraint(
    exclude: None | str | Iterable[str] = ...,
    lower_limit: _Bound = ...,
    upper_limit: _Bound = ...,
    relative: bool = ...,
    hard: bool = ...,
) -> StyleConstraint: ...

class IndustryComponentLimit(OptimizationConstraint):
    industry: Any
    lower: float | None
    upper: float | None
    classification: Any
    _hard: Any
    def __init__(
        self,
        industry: Any,
        lower_limit: None | float | int | str = ...,
        upper_limit: None | float | int | str = ...,
        classification: IndustryClassification = ...,
        hard: bool = ...,
    ) -> None: ...
    def to_constraints(self, g: cp.Variable, zeta: _Zeta, helper: HelperLike) -> list[Any]: ...
    @property
    def hard(self) -> Any: ...
