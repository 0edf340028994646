"""Build a tidewell database from a folder of CSV or Parquet files.

One file per table, named after the table: ``instruments.csv`` (or
``instruments.csv.gz`` or ``instruments.parquet``) and so on.  CSV files have
a header row; columns may come in any order, extra columns are ignored and
header names are matched without regard to case or surrounding spaces.  Dates
are written ``2024-03-05`` or ``20240305`` (Parquet DATE and TIMESTAMP columns
work as they are).  Only ``instruments`` and ``trading_dates`` are required; a
missing optional table is imported empty, and the calls that need it raise
``TidewellError``.

Tables and columns (key columns marked *):

instruments
    order_book_id*, symbol, type (CS, INDX, ETF or LOF), exchange (any code;
    XSHG and XSHE have their boards' lot rules and price limits, any other is a
    market without them), listed_date, de_listed_date (empty or 0000-00-00
    while listed; the column may be left out)
trading_dates
    date*
price_changes
    order_book_id*, date*, change_rate (a fraction: 0.0123 is +1.23 %); without
    this file the change rates are the ratios of consecutive daily_prices closes
index_weights
    index_id*, date*, order_book_id*, weight (each index and date sums to 1
    within 0.001; the date is the rebalance date, the weights hold until the next)
industries (optional even when industry_classification is given)
    classification*, position, industry* -- the industries of each standard in
    display order; without this file they are taken from
    industry_classification in alphabetical order
industry_classification
    classification*, order_book_id*, start_date*, industry -- the industry a
    stock belongs to from start_date on
factors (optional)
    position, factor*, kind (style, industry, market or statistical) -- the
    model's factors in column order; without it, the ten styles and then the
    industries of the "sws" standard
factor_exposures
    date*, order_book_id*, beta, book_to_price, earnings_yield, growth,
    leverage, liquidity, momentum, non_linear_size, residual_volatility, size,
    industry (an industry of the "sws" standard; it becomes the 0/1 dummy); with
    a factors file: its styles, industry (one of its industries, or empty) and a
    column for each market or statistical factor
factor_covariance
    cov_model* (daily, monthly or quarterly), date*, factor_1*, factor_2*,
    covariance (daily variance units; every factor pair, symmetric, positive
    definite)
specific_risk
    cov_model*, date*, order_book_id*, specific_risk (daily standard deviation)
daily_prices
    order_book_id*, date*, close (unadjusted), limit_up, limit_down (the day's
    price limits; empty on a day without limits), suspended (1 or 0),
    traded_value (the value traded that day, in the currency of the closes; the
    column may be left out, and a cell left empty)
special_treatment
    order_book_id*, start_date*, end_date -- under special treatment on the days
    start_date <= day < end_date (end_date empty while it lasts)
boards
    order_book_id*, board (main, chinext, star or other), lot_size (board other
    only: the shares of a lot, 1 when left out)
market_caps, volumes, fundamentals (optional; a built risk model reads them)
    order_book_id*, date*, and market_cap / traded_value / any of book_value,
    earnings, sales, total_debt (fundamentals hold from their date on)

Without a risk model in the folder (no factors, factor_exposures,
factor_covariance or specific_risk file), one is built from the change rates
of the common stocks, with the industries of "sws" (or of the one standard
given), the market caps, volumes and fundamentals when they are there; see
``tidewell._riskmodel``. ``build_risk_model=False`` imports without one.

Every other file in the folder is an error naming it and the closest table
file name (hidden files and subfolders are ignored), so a misspelt table is
never skipped.  A file is read as exactly the file named, whatever characters
its path holds.

Everything is checked as it loads.  Missing columns, unreadable dates or
numbers, non-finite numbers, duplicate keys, unknown ids, dates that are not
trading dates, index weights that do not sum to one and change rates that look
like percent raise ``TidewellError`` naming the file, the row (1 is the first
data row after the header) and the column.  The database is written to a
temporary file next to the destination and moved over it only when everything
loaded; after an error the destination is as it was.  A destination inside the
source folder is refused, and so is an existing file that is not a tidewell
database unless ``overwrite=True``; a symlinked destination replaces the file
it points to.
"""

from __future__ import annotations

import difflib
import os
import sys
from collections import OrderedDict

import duckdb
import numpy as np

from . import _riskmodel
from ._database import as_path, atomic_database, destination
from ._errors import TidewellError
from ._schema import (
    BOARDS,
    COV_MODELS,
    DEFAULT_CLASSIFICATION,
    FACTOR_KINDS,
    INSTRUMENT_TYPES,
    OTHER_BOARD,
    SQL_TYPES,
    STYLE_FACTORS,
    TABLES,
    Column,
    Table,
    quote_ident,
)

WEIGHT_TOLERANCE = 1e-3
# Columns of daily change rates, in any table: fractions, never percent.  A median
# absolute change above this is a market moving 20 % a day, a unit mistake.
RATE_COLUMNS = ("change_rate",)
PERCENT_MEDIAN = 0.2
_EXTENSIONS = (".csv", ".csv.gz", ".parquet")
_TIME_TYPES = ("DATE", "TIMESTAMP")
_GLOB_CHARACTERS = "*?["
_OTHER_DELIMITERS = ";\t|"


def _literal(text: str) -> str:
    return "'" + text.replace("'", "''") + "'"


def _exact(path: str) -> str:
    """``path`` as a pattern that the engine's file readers match to that one file only.

    The readers expand ``*``, ``?`` and ``[...]`` in every part of a path, so a folder
    named ``mkt[1]`` would read the files of ``mkt1``; a bracket around each such
    character makes it literal.
    """
    return "".join(f"[{c}]" if c in _GLOB_CHARACTERS else c for c in path)


def _table_files() -> OrderedDict:
    """``{file name: table}`` for every name a table file may have."""
    return OrderedDict((name + ext, name) for name in TABLES for ext in _EXTENSIONS)


def _check_no_strangers(source: str) -> None:
    try:
        entries = sorted(os.listdir(source))
    except OSError as exc:
        raise TidewellError(
            f"cannot read the source folder {source!r}: {exc.strerror or exc}"
        ) from None
    known = _table_files()
    strangers = []
    for entry in entries:
        if entry.startswith("."):
            continue
        is_dir = os.path.isdir(os.path.join(source, entry))
        if entry in known:
            if is_dir:
                strangers.append(f"{entry!r} (a folder, not a file)")
        elif not is_dir:
            close = difflib.get_close_matches(entry, list(known), n=1)
            hint = f"did you mean {close[0]!r}?" if close else "no table file has a similar name"
            strangers.append(f"{entry!r} ({hint})")
    if strangers:
        raise TidewellError(
            "source folder {!r} holds {} that {} not a table file: {}; the table files are "
            "{}, each .csv, .csv.gz or .parquet (hidden files and subfolders are "
            "ignored)".format(
                source,
                "a file" if len(strangers) == 1 else f"{len(strangers)} files",
                "is" if len(strangers) == 1 else "are",
                ", ".join(strangers),
                ", ".join(TABLES),
            )
        )


def _find_files(source: str) -> OrderedDict:
    _check_no_strangers(source)
    found = OrderedDict()
    for name in TABLES:
        hits = [
            name + ext for ext in _EXTENSIONS if os.path.isfile(os.path.join(source, name + ext))
        ]
        if len(hits) > 1:
            raise TidewellError(
                f"{source} has more than one file for table {name!r}: {', '.join(hits)}"
            )
        if hits:
            found[name] = hits[0]
        elif TABLES[name].required:
            raise TidewellError(
                f"{source} has no file for the required table {name!r} "
                f"(expected {name}.csv or {name}.parquet)"
            )
    return found


class _Loader:
    """Loads one file into a staging table, checks it and appends it to its table."""

    def __init__(self, con, source: str, table: Table, filename: str) -> None:
        self.con = con
        self.table = table
        self.file = filename
        self.path = os.path.join(source, filename)
        self.stage = "tw_stage_" + table.name
        self.parsed = "tw_parsed_" + table.name

    # -- reporting -------------------------------------------------------------------
    def fail(self, row, column, reason: str, value=None):
        where = f"{self.file}, row {row}" if row is not None else f"{self.file}, header"
        if not isinstance(column, str) and len(column) == 1:
            column = column[0]
        cols = column if isinstance(column, str) else "', '".join(column)
        label = "column" if isinstance(column, str) else "columns"
        tail = (
            "" if value is None else f" ({value!r})" if isinstance(value, str) else f" ({value})"
        )
        raise TidewellError(f"{where}, {label} '{cols}': {reason}{tail}")

    def first(self, sql: str, params=None):
        # Fetched whole: a result left unfinished would block the connection's later
        # work (registering a frame, for one).
        rows = self.con.execute(sql, params or []).fetchall()
        return rows[0] if rows else None

    # -- loading -----------------------------------------------------------------
    def read(self) -> None:
        path = _literal(_exact(self.path))
        if self.file.endswith(".parquet"):
            src = f"read_parquet({path})"
        else:
            src = f"read_csv({path}, header = true, all_varchar = true)"
        try:
            self.con.execute(f"CREATE TEMP TABLE {self.stage} AS SELECT * FROM {src}")
        except duckdb.Error as exc:
            raise TidewellError(f"{self.file}: cannot read the file: {exc}") from None
        described = self.con.execute(f"DESCRIBE {self.stage}").fetchall()
        self.source_cols = {}
        for name, sql_type, *_ in described:
            self.source_cols.setdefault(str(name).strip().lower(), (name, str(sql_type).upper()))
        for col in self.table.columns:
            if col.name not in self.source_cols and not col.nullable:
                if len(described) == 1 and any(
                    d in str(described[0][0]) for d in _OTHER_DELIMITERS
                ):
                    self.fail(
                        None,
                        col.name,
                        "missing column: the file was read as one column named "
                        f"{str(described[0][0])!r}, so the delimiter looks wrong; "
                        "write comma-separated values",
                    )
                self.fail(
                    None,
                    col.name,
                    "missing column; the file needs "
                    + ", ".join(c.name for c in self.table.columns),
                )

    def _expressions(self, col):
        """(parsed value expression, problem expression) for one column."""
        if col.name not in self.source_cols:
            # Typed: an untyped NULL is an INTEGER to older engines, which then refuse
            # to compare it with a date.
            return f"CAST(NULL AS {SQL_TYPES[col.kind]})", "NULL"
        name, sql_type = self.source_cols[col.name]
        raw = quote_ident(name)
        text = f"NULLIF(trim(CAST({raw} AS VARCHAR)), '')"
        missing = "NULL" if col.nullable else "'missing value'"
        if col.kind == "text":
            return text, f"CASE WHEN {text} IS NULL THEN {missing} END"
        if col.kind == "date":
            if sql_type.startswith(_TIME_TYPES):
                value = f"CAST({raw} AS DATE)"
                return value, f"CASE WHEN {raw} IS NULL THEN {missing} END"
            if col.nullable:
                text = f"NULLIF(NULLIF({text}, '0000-00-00'), '00000000')"
            value = (
                f"COALESCE(CAST(try_strptime({text}, '%Y-%m-%d') AS DATE), "
                f"CAST(try_strptime({text}, '%Y%m%d') AS DATE))"
            )
            problem = (
                f"CASE WHEN {text} IS NULL THEN {missing} "
                f"WHEN {value} IS NULL THEN 'not a date (write 2024-03-05 or 20240305)' END"
            )
            return value, problem
        target = "DOUBLE" if col.kind == "float" else "INTEGER"
        what = "a number" if col.kind == "float" else "an integer"
        value = f"TRY_CAST({text} AS {target})"
        problem = f"CASE WHEN {text} IS NULL THEN {missing} WHEN {value} IS NULL THEN 'not {what}'"
        if col.kind == "float":
            problem += f" WHEN NOT isfinite({value}) THEN 'not a finite number'"
        return value, problem + " END"

    def parse(self) -> None:
        exprs = [self._expressions(c) for c in self.table.columns]
        problems = ", ".join(f"{p} AS p{i}" for i, (_, p) in enumerate(exprs))
        raws = ", ".join(
            f"CAST({quote_ident(self.source_cols[c.name][0])} AS VARCHAR) AS r{i}"
            if c.name in self.source_cols
            else f"NULL AS r{i}"
            for i, c in enumerate(self.table.columns)
        )
        any_bad = " OR ".join(f"p{i} IS NOT NULL" for i in range(len(exprs)))
        row = self.first(
            f"SELECT * FROM (SELECT rowid + 1 AS tw_row, {problems}, {raws} FROM {self.stage}) "
            f"WHERE {any_bad} ORDER BY tw_row LIMIT 1"
        )
        if row is not None:
            n = len(exprs)
            for i, col in enumerate(self.table.columns):
                if row[1 + i] is not None:
                    self.fail(row[0], col.name, row[1 + i], row[1 + n + i])
        values = ", ".join(
            f"{v} AS {quote_ident(c.name)}" for c, (v, _) in zip(self.table.columns, exprs)
        )
        self.con.execute(
            f"CREATE TEMP TABLE {self.parsed} AS "
            f"SELECT rowid + 1 AS tw_row, {values} FROM {self.stage}"
        )
        self.con.execute(f"DROP TABLE {self.stage}")

    # -- checks on parsed values -------------------------------------------------------
    def check(self, column: str, condition: str, reason: str) -> None:
        """Fail on the first row where ``condition`` holds (refer to columns by name)."""
        row = self.first(
            f"SELECT tw_row, CAST({quote_ident(column)} AS VARCHAR) FROM {self.parsed} "
            f"WHERE {condition} ORDER BY tw_row LIMIT 1"
        )
        if row is not None:
            self.fail(row[0], column, reason, row[1])

    def check_choice(self, column: str, allowed) -> None:
        listed = ", ".join(_literal(a) for a in allowed)
        self.check(
            column,
            f"{quote_ident(column)} NOT IN ({listed})",
            "must be one of " + ", ".join(allowed),
        )

    def check_known(self, column: str, table: str, key: str, reason: str) -> None:
        self.check(
            column,
            f"{quote_ident(column)} IS NOT NULL AND {quote_ident(column)} NOT IN "
            f"(SELECT {quote_ident(key)} FROM {table})",
            reason,
        )

    def check_keys(self) -> None:
        key = ", ".join(quote_ident(k) for k in self.table.key)
        row = self.first(
            f"SELECT tw_row, first_row, {key} FROM (SELECT tw_row, {key}, "
            f"row_number() OVER (PARTITION BY {key} ORDER BY tw_row) AS n, "
            f"min(tw_row) OVER (PARTITION BY {key}) AS first_row FROM {self.parsed}) "
            f"WHERE n = 2 ORDER BY tw_row LIMIT 1"
        )
        if row is not None:
            shown = ", ".join(str(v) for v in row[2:])
            self.fail(
                row[0],
                self.table.key,
                f"duplicate key ({shown}); first seen in row {row[1]}",
            )

    def store(self) -> None:
        cols = ", ".join(quote_ident(c.name) for c in self.table.columns)
        order = ", ".join(quote_ident(c) for c in self.table.order)
        self.con.execute(
            f"INSERT INTO {self.table.name} ({cols}) SELECT {cols} FROM {self.parsed} "
            f"ORDER BY {order}"
        )


def _check_instruments(ld: _Loader) -> None:
    ld.check_choice("type", INSTRUMENT_TYPES)
    ld.check(
        "de_listed_date",
        "de_listed_date IS NOT NULL AND de_listed_date <= listed_date",
        "de_listed_date must be after listed_date",
    )


def _check_rates(ld: _Loader) -> None:
    for col in ld.table.columns:
        if col.name not in RATE_COLUMNS:
            continue
        q = quote_ident(col.name)
        ld.check(
            col.name,
            f"{q} <= -1",
            "a change of -100 % or less, so the change rates look like percent; "
            "write them as fractions (0.0123 is +1.23 %)",
        )
        median = ld.first(f"SELECT median(abs({q})) FROM {ld.parsed}")[0]
        if median is not None and median > PERCENT_MEDIAN:
            raise TidewellError(
                f"{ld.file}, column '{col.name}': the median absolute change is {median:.4g}, "
                f"above {PERCENT_MEDIAN}, so the change rates look like percent; "
                "write them as fractions (0.0123 is +1.23 %)"
            )


def _check_index_weights(ld: _Loader) -> None:
    ld.check("weight", "weight < 0", "weights must not be negative")
    row = ld.first(
        f"SELECT min(tw_row), sum(weight), index_id, date FROM {ld.parsed} "
        f"GROUP BY index_id, date HAVING abs(sum(weight) - 1) > {WEIGHT_TOLERANCE} "
        f"ORDER BY 1 LIMIT 1"
    )
    if row is not None:
        ld.fail(
            row[0],
            "weight",
            f"weights of index {row[2]!r} on {row[3]} sum to {row[1]:.6g}, not 1 "
            f"(tolerance {WEIGHT_TOLERANCE}); the group starts in this row",
        )


def _declared_factors(con) -> list:
    """(factor, kind) of the factors file, in order; empty without one."""
    return con.execute("SELECT factor, kind FROM factors ORDER BY position").fetchall()


def _factor_names(con) -> list:
    declared = _declared_factors(con)
    if declared:
        return [f for f, _ in declared]
    rows = con.execute(
        "SELECT industry FROM industries WHERE classification = ? ORDER BY position",
        [DEFAULT_CLASSIFICATION],
    ).fetchall()
    return list(STYLE_FACTORS) + [r[0] for r in rows]


# Columns of factor_exposures that no factor's own column may be named after (the
# engine compares column names without regard to case).
_EXPOSURE_BASE = {"date", "order_book_id", "industry", *STYLE_FACTORS}


def _check_factors(ld: _Loader) -> None:
    ld.check_choice("kind", FACTOR_KINDS)
    ld.check(
        "factor",
        "kind = 'style' AND factor NOT IN ({})".format(", ".join(map(_literal, STYLE_FACTORS))),
        "a style factor must be one of " + ", ".join(STYLE_FACTORS),
    )
    ld.check(
        "factor",
        "kind = 'industry' AND factor NOT IN (SELECT industry FROM industries)",
        "not an industry of any classification",
    )
    ld.check(
        "factor",
        "kind IN ('market', 'statistical') AND lower(factor) IN ({})".format(
            ", ".join(map(_literal, sorted(_EXPOSURE_BASE)))
        ),
        "a market or statistical factor cannot share its name with a column of factor_exposures",
    )
    row = ld.first(
        f"SELECT tw_row, factor FROM (SELECT tw_row, factor, row_number() OVER "
        f"(PARTITION BY lower(factor) ORDER BY tw_row) AS n FROM {ld.parsed} "
        "WHERE kind IN ('market', 'statistical')) WHERE n = 2 ORDER BY tw_row LIMIT 1"
    )
    if row is not None:
        ld.fail(row[0], "factor", "names another factor's column (case is not told apart)", row[1])
    row = ld.first(
        f"SELECT tw_row, position FROM (SELECT tw_row, position, row_number() OVER "
        f"(PARTITION BY position ORDER BY tw_row) AS n FROM {ld.parsed}) WHERE n = 2 "
        "ORDER BY tw_row LIMIT 1"
    )
    if row is not None:
        ld.fail(row[0], "position", "two factors have the same position", row[1])


def _exposure_table(con) -> Table:
    """factor_exposures as this folder's model has it: all ten styles without a
    factors file; with one, its styles required and a column for each of its market
    and statistical factors."""
    declared = _declared_factors(con)
    base = TABLES["factor_exposures"]
    if not declared:
        return base._replace(columns=tuple(c._replace(nullable=False) for c in base.columns))
    styles = {f for f, kind in declared if kind == "style"}
    columns = [c._replace(nullable=False) if c.name in styles else c for c in base.columns]
    columns += [Column(f, "float") for f, kind in declared if kind in ("market", "statistical")]
    return base._replace(columns=tuple(columns))


def _check_exposures(ld: _Loader) -> None:
    declared = _declared_factors(ld.con)
    if declared:
        listed = ", ".join(_literal(f) for f, kind in declared if kind == "industry")
        ld.check(
            "industry",
            f"industry IS NOT NULL AND industry NOT IN ({listed})"
            if listed
            else "industry IS NOT NULL",
            "not an industry factor of the factors file",
        )
        return
    ld.check(
        "industry",
        "industry NOT IN (SELECT industry FROM industries WHERE classification = "
        f"{_literal(DEFAULT_CLASSIFICATION)})",
        f"not an industry of the {DEFAULT_CLASSIFICATION!r} classification",
    )


def _check_covariance(ld: _Loader) -> None:
    ld.check_choice("cov_model", COV_MODELS)
    names = _factor_names(ld.con)
    listed = ", ".join(_literal(n) for n in names)
    for col in ("factor_1", "factor_2"):
        ld.check(
            col,
            f"{col} NOT IN ({listed})",
            "not a risk-model factor (those of the factors file, or without one the "
            f"ten styles and the industries of the {DEFAULT_CLASSIFICATION!r} "
            "classification)",
        )
    k = len(names)
    row = ld.first(
        f"SELECT min(tw_row), count(*), cov_model, date FROM {ld.parsed} "
        f"GROUP BY cov_model, date HAVING count(*) <> {k * k} ORDER BY 1 LIMIT 1"
    )
    if row is not None:
        ld.fail(
            row[0],
            ("factor_1", "factor_2"),
            f"covariance of model {row[2]!r} on {row[3]} has {row[1]} entries; "
            f"{k} factors need all {k * k} pairs; the group starts in this row",
        )
    row = ld.first(
        f"SELECT a.tw_row, a.covariance, b.covariance FROM {ld.parsed} a JOIN {ld.parsed} b "
        "ON a.cov_model = b.cov_model AND a.date = b.date AND a.factor_1 = b.factor_2 "
        "AND a.factor_2 = b.factor_1 "
        "WHERE abs(a.covariance - b.covariance) > 1e-9 * (abs(a.covariance) + abs(b.covariance)) "
        "ORDER BY a.tw_row LIMIT 1"
    )
    if row is not None:
        ld.fail(
            row[0],
            "covariance",
            f"not symmetric: {row[1]!r} vs {row[2]!r} for the mirror pair",
        )
    index = {n: i for i, n in enumerate(names)}
    groups = ld.con.execute(
        f"SELECT cov_model, date, min(tw_row), list(factor_1), list(factor_2), list(covariance) "
        f"FROM {ld.parsed} GROUP BY cov_model, date ORDER BY 3"
    ).fetchall()
    for model, day, first_row, f1, f2, values in groups:
        mat = np.zeros((k, k))
        mat[[index[f] for f in f1], [index[f] for f in f2]] = values
        if np.linalg.eigvalsh(mat).min() <= 0:
            ld.fail(
                first_row,
                "covariance",
                f"covariance of model {model!r} on {day} is not positive definite; "
                "the group starts in this row",
            )


def _check_specific(ld: _Loader) -> None:
    ld.check_choice("cov_model", COV_MODELS)
    ld.check("specific_risk", "specific_risk < 0", "specific risk must not be negative")


# A close at its limit may be rounded a little differently from the limit price.
PRICE_TOLERANCE = 1e-9


def _check_daily_prices(ld: _Loader) -> None:
    ld.check("close", "close <= 0", "close must be positive")
    for col in ("limit_up", "limit_down"):
        ld.check(col, f"{col} <= 0", "a price limit must be positive")
    ld.check("suspended", "suspended NOT IN (0, 1)", "must be 1 (suspended) or 0")
    ld.check("traded_value", "traded_value < 0", "a traded value must not be negative")
    ld.check("limit_down", "limit_down > limit_up", "limit_down is above limit_up")
    ld.check(
        "close",
        f"close > limit_up * (1 + {PRICE_TOLERANCE})",
        "close is above the day's limit_up",
    )
    ld.check(
        "close",
        f"close < limit_down * (1 - {PRICE_TOLERANCE})",
        "close is below the day's limit_down",
    )


def _check_special_treatment(ld: _Loader) -> None:
    ld.check(
        "end_date",
        "end_date IS NOT NULL AND end_date <= start_date",
        "end_date must be after start_date",
    )
    row = ld.first(
        f"SELECT b.tw_row, a.tw_row, b.order_book_id FROM {ld.parsed} a JOIN {ld.parsed} b "
        "ON a.order_book_id = b.order_book_id AND a.start_date < b.start_date "
        "AND (a.end_date IS NULL OR a.end_date > b.start_date) ORDER BY b.tw_row LIMIT 1"
    )
    if row is not None:
        ld.fail(
            row[0],
            "start_date",
            f"special-treatment periods of {row[2]!r} overlap; the other starts in row {row[1]}",
        )


def _check_boards(ld: _Loader) -> None:
    ld.check_choice("board", BOARDS)
    ld.check("lot_size", "lot_size <= 0", "a lot must be at least 1 share")
    ld.check(
        "lot_size",
        f"lot_size IS NOT NULL AND board <> {_literal(OTHER_BOARD)}",
        f"a lot size is given for the board {OTHER_BOARD!r} only (main and chinext "
        "trade in lots of 100 shares, star in orders of at least 200)",
    )


def _check_positive(column: str, what: str):
    def check(ld: _Loader) -> None:
        ld.check(column, f"{quote_ident(column)} <= 0", f"{what} must be positive")

    return check


_ID_COLUMNS = {
    "price_changes": ("order_book_id",),
    "index_weights": ("index_id", "order_book_id"),
    "industry_classification": ("order_book_id",),
    "factor_exposures": ("order_book_id",),
    "specific_risk": ("order_book_id",),
    "daily_prices": ("order_book_id",),
    "special_treatment": ("order_book_id",),
    "boards": ("order_book_id",),
    "market_caps": ("order_book_id",),
    "volumes": ("order_book_id",),
    "fundamentals": ("order_book_id",),
}
_TRADING_DATE_COLUMNS = {
    "price_changes": "date",
    "index_weights": "date",
    "factor_exposures": "date",
    "factor_covariance": "date",
    "specific_risk": "date",
    "daily_prices": "date",
    "market_caps": "date",
    "volumes": "date",
}
_EXTRA_CHECKS = {
    "instruments": _check_instruments,
    "index_weights": _check_index_weights,
    "factor_exposures": _check_exposures,
    "factor_covariance": _check_covariance,
    "specific_risk": _check_specific,
    "daily_prices": _check_daily_prices,
    "special_treatment": _check_special_treatment,
    "boards": _check_boards,
    "factors": _check_factors,
    "market_caps": _check_positive("market_cap", "a market cap"),
}


def _derive_industries(con) -> None:
    con.execute(
        "INSERT INTO industries SELECT classification, "
        "CAST(row_number() OVER (PARTITION BY classification ORDER BY industry) AS INTEGER), "
        "industry FROM (SELECT DISTINCT classification, industry FROM industry_classification) "
        "ORDER BY 1, 2"
    )


# The files of a risk model: with any of them the folder brings its own.
_MODEL_TABLES = ("factors", "factor_exposures", "factor_covariance", "specific_risk")


def _derive_price_changes(con) -> None:
    """Change rates as the ratios of consecutive closes, each stock's first day left out."""
    con.execute(
        "INSERT INTO price_changes SELECT order_book_id, date, change_rate FROM ("
        "SELECT order_book_id, date, close / lag(close) OVER (PARTITION BY order_book_id "
        "ORDER BY date) - 1 AS change_rate FROM daily_prices) WHERE change_rate IS NOT NULL "
        "ORDER BY order_book_id, date"
    )


def import_database(
    source_dir,
    dest_path,
    overwrite: bool = False,
    build_risk_model=None,
    progress=None,
) -> str:
    """Build a database at ``dest_path`` from the CSV/Parquet files in ``source_dir``.

    Returns the absolute path of the new database.  An existing ``dest_path``
    that is not a tidewell database (nor empty) is replaced only with
    ``overwrite=True``; a destination inside ``source_dir`` is always refused.
    A folder without a risk model gets one built from its prices
    (``build_risk_model=None``: when the prices allow one; ``True``: an error when
    they do not; ``False``: never). ``progress`` shows a progress bar on stderr
    (``None``: when stderr is a terminal).
    See the module documentation for the tables and columns.
    """
    return _import(source_dir, dest_path, overwrite, build_risk_model, progress)[0]


def _import(source_dir, dest_path, overwrite, build_risk_model, progress) -> tuple:
    """(path, what became of the risk model) of an import."""
    if build_risk_model not in (None, True, False):
        raise TidewellError(
            f"build_risk_model must be None, True or False, not {build_risk_model!r}"
        )
    source = as_path(source_dir, "source folder")
    if not os.path.isdir(source):
        raise TidewellError(f"source folder {source!r} does not exist")
    dest = as_path(dest_path, "destination")
    inside = os.path.realpath(source)
    if os.path.commonpath([inside, os.path.realpath(dest)]) == inside:
        raise TidewellError(
            f"destination {dest!r} is inside the source folder {source!r}; "
            "write the database somewhere else"
        )
    destination(dest, overwrite)  # refuse a wrong destination before reading anything
    files = _find_files(source)
    given = [name for name in _MODEL_TABLES if name in files]
    if build_risk_model and given:
        raise TidewellError(
            "the source folder has a risk model of its own ({}); remove those files to "
            "build one from the prices, or import it as it is".format(
                ", ".join(files[name] for name in given)
            )
        )
    build = not given and build_risk_model is not False
    from tqdm.auto import tqdm

    bar = tqdm(
        total=len(files) + (3 if build else 1),
        desc="tidewell: importing",
        unit="step",
        file=sys.stderr,
        disable=not (_is_terminal() if progress is None else progress),
        leave=False,
    )
    note = "imported" if given else "none"
    try:
        with atomic_database(dest, overwrite) as con:
            for name, table in TABLES.items():
                if name not in files:
                    continue
                bar.set_postfix_str(files[name])
                if name == "factor_exposures":
                    table = _exposure_table(con)
                    for col in table.columns[len(TABLES[name].columns) :]:
                        column = quote_ident(col.name)
                        con.execute(f"ALTER TABLE factor_exposures ADD COLUMN {column} DOUBLE")
                _load(con, source, table, files)
                bar.update(1)
            if "price_changes" not in files and "daily_prices" in files:
                _derive_price_changes(con)
            meta = [("source", "import"), ("source_dir", source)]
            if build:
                bar.set_postfix_str("risk model")
                note = _riskmodel.build_in_store(con, required=bool(build_risk_model), bar=bar)
                meta.append(("risk_model", note))
            con.executemany("INSERT INTO meta VALUES (?, ?)", meta)
            bar.update(bar.total - bar.n)
    finally:
        bar.close()
    return dest, note


def _is_terminal() -> bool:
    isatty = getattr(sys.stderr, "isatty", None)
    return bool(isatty and isatty())


def _load(con, source, table, files) -> None:
    name = table.name
    ld = _Loader(con, source, table, files[name])
    ld.read()
    ld.parse()
    for col in _ID_COLUMNS.get(name, ()):
        ld.check_known(col, "instruments", "order_book_id", "unknown order_book_id")
    if name in _TRADING_DATE_COLUMNS:
        ld.check_known(
            _TRADING_DATE_COLUMNS[name],
            "trading_dates",
            "date",
            "not a trading date (missing from trading_dates)",
        )
    if name == "industry_classification" and "industries" in files:
        ld.check(
            "industry",
            f"NOT EXISTS (SELECT 1 FROM industries i WHERE "
            f"i.classification = {ld.parsed}.classification "
            f"AND i.industry = {ld.parsed}.industry)",
            "industry not listed in industries for its classification",
        )
    ld.check_keys()
    _check_rates(ld)
    if name in _EXTRA_CHECKS:
        _EXTRA_CHECKS[name](ld)
    ld.store()
    if name == "industry_classification" and "industries" not in files:
        _derive_industries(con)
