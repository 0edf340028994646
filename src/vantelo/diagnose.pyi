import datetime
from typing import Any, Iterable

import pandas as pd

from vantelo._typing import HelperLike
from vantelo.benchmark import OptimizeBenchmark
from vantelo.const import CovModel
from vantelo.objective import OptimizationObjective

DateLike = datetime.date | datetime.datetime | str
_Bnds = dict[str, tuple[float | None, float | None]]

class InfeasibilityReport:
    feasible: bool
    conflicts: pd.DataFrame
    minimal_set: list[str]
    hard_only_feasible: bool
    def __init__(
        self,
        feasible: bool,
        conflicts: pd.DataFrame,
        minimal_set: Iterable[str],
        hard_only_feasible: bool,
    ) -> None: ...

def explain_infeasibility(
    order_book_ids: str | Iterable[str],
    date: DateLike,
    objective: OptimizationObjective | None = None,
    bnds: _Bnds | None = None,
    cons: Iterable[Any] | None = None,
    benchmark: None | str | OptimizeBenchmark = None,
    cov_model: CovModel | str = ...,
) -> InfeasibilityReport: ...
def check_constraints(
    weights: pd.Series | dict[str, float],
    date: DateLike,
    bnds: _Bnds | None = None,
    cons: Iterable[Any] | None = None,
    benchmark: None | str | OptimizeBenchmark = None,
    cov_model: CovModel | str = ...,
) -> pd.DataFrame: ...
def _explain_failure(
    order_book_ids: list[str],
    objective: OptimizationObjective,
    bnds: _Bnds | None,
    cons: Iterable[Any] | None,
    helper: HelperLike,
) -> InfeasibilityReport | None: ...
