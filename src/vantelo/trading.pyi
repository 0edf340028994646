import datetime
from typing import Any, Iterable, Mapping

import pandas as pd

DateLike = datetime.date | datetime.datetime | str

class Orders(pd.DataFrame):
    cash_left: float
    deviation: float
    def __init__(
        self,
        data: Any = None,
        index: Any = None,
        columns: Any = None,
        dtype: Any = None,
        copy: bool | None = None,
    ) -> None: ...

def trading_status(order_book_ids: str | Iterable[str], date: DateLike) -> pd.DataFrame: ...
def tradable_bounds(
    order_book_ids: str | Iterable[str],
    date: DateLike,
    holding: pd.Series | Mapping[str, float] | None,
    bnds: dict[str, tuple[float | None, float | None]] | None = None,
    exclude_special_treatment: bool = False,
) -> dict[str, tuple[float, float]]: ...
def to_orders(
    target: pd.Series | Mapping[str, float],
    date: DateLike,
    capital: float,
    current_shares: pd.Series | Mapping[str, int] | None = None,
    prices: pd.Series | Mapping[str, float] | None = None,
) -> Orders: ...
