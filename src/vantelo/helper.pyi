"""The per-call market-data context of the optimiser."""

import datetime
from collections.abc import Callable

import numpy as np
import pandas as pd

from vantelo.benchmark import OptimizeBenchmark
from vantelo.const import CovModel, IndustryClassification
from vantelo.risk import RiskModel

class OptimizeHelper:
    """The market data of one optimisation, read from `tidewell` at most once.

    `portfolio_optimize` builds one per call and hands it to the objective and every
    constraint. Covariances are annualised; besides the dense matrices it offers them
    in factor form, cov = root @ root.T + diag(specific), without forming n × n data.

    :param order_book_ids: the cleaned pool
    :param date: the optimisation date
    :param benchmark: the benchmark, or None
    :param cov_model: the risk model's horizon
    :param client: the market-data client to read through (`tidewell` when None)
    :param risk_model: a `RiskModel` of the caller's own (or a callable date ->
        RiskModel), covering the pool and the benchmark's components, that answers
        every covariance question instead of the store's model
    """

    order_book_ids: list[str]
    date: datetime.date
    benchmark: OptimizeBenchmark | None
    cov_model: CovModel
    def __init__(
        self,
        order_book_ids: list[str],
        date: datetime.date,
        benchmark: OptimizeBenchmark | None,
        cov_model: CovModel,
        *,
        client: object | None = None,
        risk_model: RiskModel | Callable[[datetime.date], RiskModel] | None = None,
    ) -> None: ...
    @property
    def client(self) -> object | None:
        """The market-data client given, or None (then `tidewell`)."""
    @property
    def risk_model(self) -> RiskModel:
        """The risk model over `union_components`: the caller's, or the store's."""
    @property
    def prev_trading_date(self) -> datetime.date:
        """The trading day before `date`."""
    @property
    def union_components(self) -> list[str]:
        """The pool, then the benchmark's constituents outside it."""
    @property
    def benchmark_weight(self) -> pd.Series:
        """The benchmark's weights over `union_components` (0 where not held)."""
    @property
    def benchmark_components(self) -> list[str]:
        """The benchmark's constituents."""
    def get_cov_matrix(self) -> np.ndarray:
        """Annualised covariance of the pool, in pool order (n × n)."""
    def get_union_cov_matrix(self) -> np.ndarray:
        """Annualised covariance over `union_components`, in that order."""
    def get_cov_factor(self) -> tuple[np.ndarray, np.ndarray]:
        """(root, specific) with get_cov_matrix() == root @ root.T + diag(specific)."""
    def get_union_cov_factor(self) -> tuple[np.ndarray, np.ndarray]:
        """(root, specific) with get_union_cov_matrix() == root @ root.T + diag(specific)."""
    def get_union_factor_model(self) -> tuple[pd.DataFrame, pd.DataFrame]:
        """(exposure, annualised factor covariance) over `union_components`."""
    def get_factor_exposure(self) -> pd.DataFrame:
        """Style exposures of the pool: rows in pool order, one column per style."""
    def get_benchmark_style(self) -> pd.Series:
        """The benchmark's exposure to each style, indexed by style name."""
    def get_industry_mapping(self, classification: IndustryClassification) -> pd.Series:
        """Industry of each pool stock under the classification, "UNKNOWN" where it has none."""
    def get_benchmark_industry_weight(self, classification: IndustryClassification) -> pd.Series:
        """The benchmark's total weight in each industry it holds, indexed by industry."""
