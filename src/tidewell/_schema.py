"""Table layout of a tidewell database, shared by the demo builder and the importer."""

from __future__ import annotations

from collections import OrderedDict
from typing import NamedTuple

SCHEMA_VERSION = "1"

STYLE_FACTORS = (
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
)
COV_MODELS = ("daily", "monthly", "quarterly")
DEFAULT_CLASSIFICATION = "sws"
INSTRUMENT_TYPES = ("CS", "INDX", "ETF", "LOF")
# The exchanges whose boards have lot rules and price limits. Any other exchange code
# is a market without them: its stocks trade on the board "other".
EXCHANGES = ("XSHG", "XSHE")
# Boards a stock trades on; the lot rules and price limits follow from them. "other"
# has no price limits and trades in lots of the stock's lot_size (1 share unless
# given).
BOARDS = ("main", "chinext", "star", "other")
OTHER_BOARD = "other"
# What a risk-model factor is: a style (one of STYLE_FACTORS), an industry (its 0/1
# dummy), the market (1 for every stock) or a statistical factor. The exposures of
# the last two are columns of factor_exposures named after the factor.
FACTOR_KINDS = ("style", "industry", "market", "statistical")


class Column(NamedTuple):
    name: str
    kind: str  # "text", "date", "float", "int"
    nullable: bool = False


class Table(NamedTuple):
    name: str
    columns: tuple[Column, ...]
    key: tuple[str, ...]
    order: tuple[str, ...]
    required: bool = False

    def column(self, name: str) -> Column:
        for col in self.columns:
            if col.name == name:
                return col
        raise KeyError(name)


SQL_TYPES = {"text": "VARCHAR", "date": "DATE", "float": "DOUBLE", "int": "INTEGER"}


def _table(name, columns, key, order=None, required=False) -> Table:
    cols = tuple(Column(*c) if isinstance(c, tuple) else Column(c, "text") for c in columns)
    return Table(name, cols, tuple(key), tuple(order or key), required)


TABLES = OrderedDict(
    (t.name, t)
    for t in (
        _table(
            "instruments",
            [
                ("order_book_id", "text"),
                ("symbol", "text"),
                ("type", "text"),
                ("exchange", "text"),
                ("listed_date", "date"),
                ("de_listed_date", "date", True),
            ],
            ["order_book_id"],
            required=True,
        ),
        _table("trading_dates", [("date", "date")], ["date"], required=True),
        _table(
            "price_changes",
            [("order_book_id", "text"), ("date", "date"), ("change_rate", "float")],
            ["order_book_id", "date"],
        ),
        _table(
            "index_weights",
            [
                ("index_id", "text"),
                ("date", "date"),
                ("order_book_id", "text"),
                ("weight", "float"),
            ],
            ["index_id", "date", "order_book_id"],
        ),
        _table(
            "industries",
            [("classification", "text"), ("position", "int"), ("industry", "text")],
            ["classification", "industry"],
            order=["classification", "position"],
        ),
        _table(
            "industry_classification",
            [
                ("classification", "text"),
                ("order_book_id", "text"),
                ("start_date", "date"),
                ("industry", "text"),
            ],
            ["classification", "order_book_id", "start_date"],
        ),
        # The factors of the risk model, in the order of the exposure and covariance
        # columns. Empty in a store whose model has the ten styles and the industries
        # of the default classification, in that order.
        _table(
            "factors",
            [("position", "int"), ("factor", "text"), ("kind", "text")],
            ["factor"],
            order=["position"],
        ),
        # A style the model lacks is NULL; so is the industry of a stock that has none.
        # A model with market or statistical factors has one more column for each.
        _table(
            "factor_exposures",
            [("date", "date"), ("order_book_id", "text")]
            + [(f, "float", True) for f in STYLE_FACTORS]
            + [("industry", "text", True)],
            ["date", "order_book_id"],
        ),
        _table(
            "factor_covariance",
            [
                ("cov_model", "text"),
                ("date", "date"),
                ("factor_1", "text"),
                ("factor_2", "text"),
                ("covariance", "float"),
            ],
            ["cov_model", "date", "factor_1", "factor_2"],
        ),
        _table(
            "specific_risk",
            [
                ("cov_model", "text"),
                ("date", "date"),
                ("order_book_id", "text"),
                ("specific_risk", "float"),
            ],
            ["cov_model", "date", "order_book_id"],
        ),
        # One row per instrument and trading day. Stored by date so that one day's
        # status across the market is a contiguous read.
        _table(
            "daily_prices",
            [
                ("order_book_id", "text"),
                ("date", "date"),
                ("close", "float"),
                ("limit_up", "float", True),
                ("limit_down", "float", True),
                ("suspended", "int"),
                # The value traded that day, in the currency of the closes.
                ("traded_value", "float", True),
            ],
            ["order_book_id", "date"],
            order=["date", "order_book_id"],
        ),
        _table(
            "special_treatment",
            [("order_book_id", "text"), ("start_date", "date"), ("end_date", "date", True)],
            ["order_book_id", "start_date"],
        ),
        _table(
            "boards",
            [("order_book_id", "text"), ("board", "text"), ("lot_size", "int", True)],
            ["order_book_id"],
        ),
        # What a risk model can be built from besides the returns.
        _table(
            "market_caps",
            [("order_book_id", "text"), ("date", "date"), ("market_cap", "float")],
            ["order_book_id", "date"],
        ),
        _table(
            "volumes",
            [("order_book_id", "text"), ("date", "date"), ("traded_value", "float")],
            ["order_book_id", "date"],
        ),
        # Each figure holds from its date (when it became known) on.
        _table(
            "fundamentals",
            [("order_book_id", "text"), ("date", "date")]
            + [(f, "float", True) for f in ("book_value", "earnings", "sales", "total_debt")],
            ["order_book_id", "date"],
        ),
    )
)


def quote_ident(name: str) -> str:
    return '"' + name.replace('"', '""') + '"'


def create_sql(table: Table, name: str = "") -> str:
    cols = ", ".join(
        "{} {}{}".format(quote_ident(c.name), SQL_TYPES[c.kind], "" if c.nullable else " NOT NULL")
        for c in table.columns
    )
    return f"CREATE TABLE {quote_ident(name or table.name)} ({cols})"


def create_all(con) -> None:
    """Create the meta table and every data table (empty) on a writable connection."""
    con.execute("CREATE TABLE meta (key VARCHAR NOT NULL, value VARCHAR NOT NULL)")
    for table in TABLES.values():
        con.execute(create_sql(table))
