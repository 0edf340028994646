from typing import Any, TypedDict

import numpy as np

from vantelo._typing import HelperLike

class RiskDecomposition(TypedDict):
    volatility: float
    factor_variance: float
    specific_variance: float
    marginal: np.ndarray
    contribution: np.ndarray
    share: np.ndarray

class FactorDecomposition(TypedDict):
    factors: list[str]
    exposure: np.ndarray
    contribution: np.ndarray
    specific: float
    volatility: float

def risk_decomposition(
    helper: HelperLike, weights: Any, over_union: bool = False
) -> RiskDecomposition: ...
def factor_decomposition(
    helper: HelperLike, weights: Any, over_union: bool = False
) -> FactorDecomposition: ...
