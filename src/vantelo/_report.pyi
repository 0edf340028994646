"""The risk arithmetic of `vantelo.report`, through the factor form of the covariance."""

import datetime
from typing import Any, TypedDict

import numpy as np
import pandas as pd

from vantelo._typing import HelperLike
from vantelo.benchmark import OptimizeBenchmark

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

def read_weights(
    weights: Any, name: str = "weights", check_sum: bool = True, warn_cash: bool = True
) -> pd.Series:
    """A portfolio handed in, read as every module of the package reads one.

    :param weights: a pandas Series or a dict of order_book_id -> weight
    :param name: what the messages call it
    :param check_sum: refuse weights summing to more than 1 (beyond 1e-4), naming the sum
        (with a hint when they look like percent)
    :param warn_cash: with check_sum, weights summing to less than 1 give one
        `OptimizerWarning` naming the share read as cash
    :return: the weights as a float Series, in the order given
    :raises InvalidArgument: for another type, no stocks, a code that is not text or is
        empty, a code listed twice, a weight that is not a finite number (text and
        booleans included), or a sum above 1
    """

def read_date(date: Any) -> datetime.date:
    """`date` (a date, datetime or text) as a calendar date.

    :raises InvalidArgument: for text that is not a date ("date: {!r} is not a date
        ({})"), or a value of another type
    """

def resolved_benchmark(benchmark: Any) -> OptimizeBenchmark | None:
    """None, an `OptimizeBenchmark` as it is, or an index code as an `IndexBenchmark`.

    :raises InvalidArgument: for a code the store does not know, a code that is not an
        index, or a value of another type
    """
