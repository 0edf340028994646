"""One optimisation through the driver's stages, with its collaborators as arguments."""

import datetime
from collections.abc import Callable, Iterable
from typing import Any

import pandas as pd

from vantelo._typing import HelperLike
from vantelo.benchmark import OptimizeBenchmark
from vantelo.const import CovModel
from vantelo.diagnose import InfeasibilityReport
from vantelo.exception import OptimizationFailed
from vantelo.objective import OptimizationObjective
from vantelo.risk import RiskModel

HOLDING_THRESHOLD: float
"""A weight at or below this is not a position."""
LIMIT_TOLERANCE: float
"""How far past a limit, in its own units, a portfolio may lie and still meet it."""

class OptimizationResult:
    """How one optimisation ended: weights, status ("solved", "soft constraints
    dropped", "failed"), error and diagnosis of a failure, and the risk figures."""

    weights: pd.Series | None
    status: str
    inaccurate: bool
    error: OptimizationFailed | None
    diagnosis: InfeasibilityReport | None
    objective_value: float | None
    solver: str | None
    backend: str | None
    pool: list[str]
    date: datetime.date
    seconds: float
    helper: HelperLike | None
    @property
    def risk_model(self) -> RiskModel | None:
        """The helper's model over the pool and the benchmark's components."""
    @property
    def volatility(self) -> float:
        """The weights' ex-ante volatility (NaN when failed)."""
    @property
    def tracking_error(self) -> float:
        """The weights' ex-ante tracking error (NaN without a benchmark, or when failed)."""
    @property
    def limits(self) -> pd.DataFrame | None:
        """The weights against every limit of the call (full investment, each bound,
        each side of each constraint), measured once with the call's own market data:
        the table `vantelo.diagnose.check_constraints` gives (label, value, lower,
        upper, slack, binding, violated); None when the optimisation failed (and for a
        pool of one stock, which is solved without market data)."""

def optimize(
    order_book_ids: str | Iterable[str],
    date: datetime.date | datetime.datetime | str,
    objective: OptimizationObjective | None = None,
    bnds: dict[str, tuple[float | None, float | None]] | None = None,
    cons: Iterable[Any] | None = None,
    benchmark: str | OptimizeBenchmark | None = None,
    cov_model: CovModel | str = ...,
    *,
    risk_model: RiskModel | Callable[[datetime.date], RiskModel] | None = None,
    client: Any | None = None,
    helper_class: Callable[..., HelperLike] | None = None,
    cache: dict[Any, Any] | None = None,
    backend: str = "auto",
    accuracy: float | None = None,
) -> OptimizationResult:
    """One optimisation, as portfolio_optimize runs it, returned as a result."""
