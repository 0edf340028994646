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

def to_enum(v: Any, enum_type: type[_E]) -> _E: ...
def to_date(dt: DateLike, /) -> datetime.date: ...
def ensure_date_str(date: DateLike, /) -> str: ...
def ensure_order_book_ids(order_book_ids: str | Iterable[str], date: DateLike) -> list[str]: ...
def ensure_bound(v: Any, /) -> float | None: ...
def parse_bnds(
    bnds: dict[str, tuple[float | None, float | None]], order_book_ids: list[str]
) -> tuple[np.ndarray, np.ndarray]: ...
def portfolio_optimize(
    order_book_ids: str | Iterable[str],
    date: DateLike,
    objective: OptimizationObjective = ...,
    bnds: dict[str, tuple[float | None, float | None]] | None = None,
    cons: Iterable[Any] | None = None,
    benchmark: None | str | OptimizeBenchmark = None,
    cov_model: CovModel | str = ...,
) -> pd.Series | dict[str, float]: ...
