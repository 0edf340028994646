"""Protocols for annotations: what the objectives and constraints read of a helper.

`vantelo.helper.OptimizeHelper` is the helper `portfolio_optimize` builds, but the
objectives and constraints use the helper they are given by duck typing: any object
with these members serves (the tests hand in stand-ins). The stubs of the compiled
modules annotate their `helper` parameters with `HelperLike`.
"""

from __future__ import annotations

import datetime
from typing import TYPE_CHECKING, Any, Iterable, Protocol, Sequence, runtime_checkable

if TYPE_CHECKING:
    import numpy as np
    import pandas as pd

    from vantelo.const import IndustryClassification

__all__ = ["FactorFormHelper", "HelperLike", "IndustryNamesHelper"]


@runtime_checkable
class HelperLike(Protocol):
    """The market-data context of one optimisation, as objectives and constraints read it.

    The pool order (that of `order_book_ids`) is the order of `g` and of every
    per-stock vector and matrix row. A member may be read several times in one call;
    each read must give the same data.
    """

    order_book_ids: list[str]
    """The pool, in pool order; a list (callers concatenate it with a list)."""
    date: datetime.date
    """The optimisation date."""
    prev_trading_date: datetime.date
    """The trading day before `date`; the end date of return estimates."""
    benchmark: Any
    """The benchmark passed to the driver (an `OptimizeBenchmark`), or None."""
    union_components: Sequence[str]
    """The pool, then the benchmark's constituents outside it; only its length is read."""
    benchmark_weight: pd.Series
    """The benchmark's weight of each id of `union_components`, same order, 0 where not held."""
    benchmark_components: Iterable[str]
    """The benchmark's constituent ids."""

    def get_cov_matrix(self) -> np.ndarray:
        """The n x n covariance matrix in pool order."""

    def get_union_cov_matrix(self) -> np.ndarray:
        """The covariance matrix over `union_components`, same order."""

    def get_factor_exposure(self) -> pd.DataFrame:
        """Rows: the pool in pool order; one numeric column per style name."""

    def get_benchmark_style(self) -> pd.Series:
        """The benchmark's exposure per style name, indexed by name."""

    def get_industry_mapping(self, classification: IndustryClassification) -> pd.Series:
        """The industry name of each id of the pool, in pool order."""

    def get_benchmark_industry_weight(self, classification: IndustryClassification) -> pd.Series:
        """The benchmark's weight in each industry, keyed by industry name."""


@runtime_checkable
class FactorFormHelper(HelperLike, Protocol):
    """A helper that also offers its covariances in factor form.

    Each method returns (root, specific) with cov = root @ root.T + diag(specific).
    When a helper has them, the risk terms are built from the factor form and the
    dense matrices are never asked for; a helper without them (or with None in their
    place) is asked for the dense ones.
    """

    def get_cov_factor(self) -> tuple[np.ndarray, np.ndarray]:
        """The factor form of `get_cov_matrix()`."""

    def get_union_cov_factor(self) -> tuple[np.ndarray, np.ndarray]:
        """The factor form of `get_union_cov_matrix()`."""


@runtime_checkable
class IndustryNamesHelper(HelperLike, Protocol):
    """A helper that can also list every industry of a classification.

    The industry constraints then tell a name the classification does not have (a
    typo, refused) from an industry no pool stock is in (reported and skipped); a
    helper without it gets the second reading for both.
    """

    def get_industry_names(self, classification: IndustryClassification) -> list[str]:
        """The classification's industry names, whether or not a pool stock is in one."""
