"""Enumerations and constants shared by the optimiser's modules."""

from enum import Enum

from tidewell._schema import EXCHANGES as _EXCHANGES
from tidewell._schema import STYLE_FACTORS as _STYLE_FACTORS

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


# The style names belong to the data client: they are columns of its exposure table.
# Here they are a list, which is how the optimiser's callers use them.
STYLE_FACTORS = list(_STYLE_FACTORS)

# The exchange suffixes of order_book_ids ("600000.XSHG"), as the data client
# stores them: a code given without one can be matched against each.
EXCHANGES = tuple(_EXCHANGES)
