"""Enumerations and constants shared by the optimiser's modules."""

from enum import Enum

__all__ = ["CovModel", "IndustryClassification", "STYLE_FACTORS"]


class CovModel(Enum):
    """Factor-model covariance estimates, by estimation horizon."""

    FACTOR_MODEL_DAILY = "daily"
    FACTOR_MODEL_MONTHLY = "monthly"
    FACTOR_MODEL_QUARTERLY = "quarterly"


class IndustryClassification(Enum):
    """Industry classification standards (level 1)."""

    SWS = "sws"
    """Shenwan level 1."""
    CITIC = "citic"
    """CITIC level 1."""
    SWS_NON_BANK_SPLIT = "sws_non_bank_split"
    """Shenwan level 1 with the non-bank financial industry split into its parts."""


STYLE_FACTORS = [
    "beta",
    "book_to_price",
    "earnings_yield",
    "growth",
    "leverage",
    "liquidity",
    "momentum",
    "non_linear_size",
    "residual_volatility",
    "size",
]
