"""The covariance of a universe of stocks, as the optimiser, the report and rebalancing read it."""

from collections.abc import Iterable, Mapping

import numpy as np
import pandas as pd

class RiskModel:
    """The covariance of the annual returns of a universe of stocks.

    Give either a dense covariance (a DataFrame labelled by stock code on both axes) or
    a factor model: exposures (one row per code, one column per factor),
    factor_covariance (labelled by factor) and specific_variance (a Series by code), so
    that the covariance is exposures @ factor_covariance @ exposures.T +
    diag(specific_variance). Units are annual, as the store's models are.
    """

    codes: list[str]
    factors: list[str] | None
    def __init__(
        self,
        covariance: pd.DataFrame | None = None,
        *,
        exposures: pd.DataFrame | None = None,
        factor_covariance: pd.DataFrame | np.ndarray | None = None,
        specific_variance: pd.Series | np.ndarray | None = None,
    ) -> None: ...
    def covariance(self) -> pd.DataFrame:
        """The covariance labelled by code (n × n)."""
    def factor_form(self) -> tuple[np.ndarray, np.ndarray]:
        """(root, specific) with covariance == root @ root.T + diag(specific)."""
    def factor_model(self) -> tuple[pd.DataFrame, pd.DataFrame, pd.Series] | None:
        """(exposures, factor_covariance, specific_variance) by name, or None."""
    def variance(self, weights: pd.Series | Mapping[str, float] | np.ndarray) -> float:
        """w' cov w."""
    def volatility(self, weights: pd.Series | Mapping[str, float] | np.ndarray) -> float:
        """The square root of variance(weights)."""
    def subset(self, codes: str | Iterable[str]) -> RiskModel:
        """The model over these codes, in their order."""
