"""The risk arithmetic of `vantelo.report`, through the factor form of the covariance."""

from typing import Any, TypedDict

import numpy as np

from vantelo._typing import HelperLike

class RiskDecomposition(TypedDict):
    """What `risk_decomposition` returns."""

    volatility: float
    factor_variance: float
    specific_variance: float
    marginal: np.ndarray
    contribution: np.ndarray
    share: np.ndarray

class FactorDecomposition(TypedDict):
    """What `factor_decomposition` returns."""

    factors: list[str]
    exposure: np.ndarray
    contribution: np.ndarray
    specific: float
    volatility: float

def risk_decomposition(
    helper: HelperLike, weights: Any, over_union: bool = False
) -> RiskDecomposition:
    """The portfolio's volatility and each stock's part of it, through the helper's
    factor form (of the pool, or of `union_components` with `over_union`).

    :param weights: one weight per stock, in the helper's order
    :return: volatility, factor_variance, specific_variance, and per stock marginal
        (d volatility / d weight), contribution (weight x marginal, summing to the
        volatility) and share (summing to 1)
    :raises InvalidArgument: for weights of the wrong shape or not finite, or a helper
        without a factor form
    """

def factor_decomposition(
    helper: HelperLike, weights: Any, over_union: bool = False
) -> FactorDecomposition:
    """Each factor's part of the portfolio's variance, from the helper's factor model
    (`get_union_factor_model`) and specific variances.

    :param weights: one weight per stock, in the helper's order
    :return: factors (names), exposure, contribution (to the volatility; the
        contributions and specific sum to the volatility), specific and volatility
    :raises InvalidArgument: for weights of the wrong shape or not finite, or a helper
        without a factor model by factor
    """
