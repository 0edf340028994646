import datetime
from enum import Enum
from typing import Any, Dict, Iterable, List, Optional, Tuple, Type, TypeVar, Union

import numpy as np
import pandas as pd

from vantelo.benchmark import OptimizeBenchmark
from vantelo.const import CovModel
from vantelo.objective import MinVariance, OptimizationObjective

_E = TypeVar("_E", bound=Enum)
DateLike = Union[datetime.date, datetime.datetime, str]

DEFAULT_OBJECTIVE: MinVariance

def to_enum(v: Any, enum_type: Type[_E]) -> _E: ...
def to_date(dt: DateLike, /) -> datetime.date: ...
def ensure_date_str(date: DateLike, /) -> str: ...
def ensure_order_book_ids(order_book_ids: Union[str, Iterable[str]], date: DateLike) -> List[str]: ...
def ensure_bound(v: Any, /) -> Optional[float]: ...
def parse_bnds(
    bnds: Dict[str, Tuple[Optional[float], Optional[float]]], order_book_ids: List[str]
) -> Tuple[np.ndarray, np.ndarray]: ...
def portfolio_optimize(
    order_book_ids: Union[str, Iterable[str]],
    date: DateLike,
    objective: OptimizationObjective = ...,
    bnds: Optional[Dict[str, Tuple[Optional[float], Optional[float]]]] = None,
    cons: Optional[Iterable[Any]] = None,
    benchmark: Union[None, str, OptimizeBenchmark] = None,
    cov_model: Union[CovModel, str] = ...,
) -> Union[pd.Series, Dict[str, float]]: ...
