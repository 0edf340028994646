"""tidewell: market data for vantelo, read from an embedded DuckDB database file.

With no configuration the demo database in the cache directory is used (built
on first use).  Point tidewell at another database with :func:`set_database`
or the ``TIDEWELL_DB`` environment variable; build one from CSV or Parquet
files with :func:`import_database` (a folder of prices alone gets a risk model
built from them, see :func:`build_risk_model`).  See ``docs/tidewell.md``.
"""

from __future__ import annotations

__version__ = "0.1.0"

from ._api import (
    Instrument,
    all_instruments,
    get_factor_covariance,
    get_factor_exposure,
    get_factor_names,
    get_industry,
    get_industry_history,
    get_next_trading_date,
    get_previous_trading_date,
    get_price_change_rate,
    get_prices,
    get_risk_model_history,
    get_specific_risk,
    get_style_factor_names,
    get_traded_value,
    get_trading_dates,
    get_trading_status,
    index_weights,
    industry_names,
    instruments,
    is_trading_date,
    trading_date_offset,
)
from ._database import demo_database_path, get_database_path, set_database
from ._demo import build_demo_database
from ._errors import TidewellError
from ._importer import import_database
from ._riskmodel import RiskModel, build_risk_model

__all__ = [
    "Instrument",
    "RiskModel",
    "TidewellError",
    "all_instruments",
    "build_demo_database",
    "build_risk_model",
    "demo_database_path",
    "get_database_path",
    "get_factor_covariance",
    "get_factor_exposure",
    "get_factor_names",
    "get_industry",
    "get_industry_history",
    "get_next_trading_date",
    "get_previous_trading_date",
    "get_price_change_rate",
    "get_prices",
    "get_risk_model_history",
    "get_specific_risk",
    "get_style_factor_names",
    "get_trading_dates",
    "get_traded_value",
    "get_trading_status",
    "import_database",
    "index_weights",
    "industry_names",
    "instruments",
    "is_trading_date",
    "set_database",
    "trading_date_offset",
]
