"""The public read functions.  Each takes the process-wide lock, so calls are thread safe."""

from __future__ import annotations

import bisect
import datetime as _dt
from collections import OrderedDict
from typing import NamedTuple

import duckdb
import numpy as np
import pandas as pd

from . import _database
from ._dates import date_text, to_date
from ._errors import TidewellError, TidewellTypeError
from ._schema import (
    COV_MODELS,
    DEFAULT_CLASSIFICATION,
    EXCHANGES,
    FACTOR_KINDS,
    OTHER_BOARD,
    STYLE_FACTORS,
    quote_ident,
)


class Instrument(NamedTuple):
    """One instrument.  Dates are text ``YYYY-MM-DD``; ``0000-00-00`` means "not delisted"."""

    order_book_id: str
    symbol: str
    type: str
    exchange: str
    listed_date: str
    de_listed_date: str


# --------------------------------------------------------------------------- helpers


def _ids(order_book_ids, what: str = "order_book_ids") -> list[str]:
    if isinstance(order_book_ids, str):
        return [order_book_ids]
    try:
        ids = list(order_book_ids)
    except TypeError:
        raise TidewellTypeError(
            f"{what} must be an order_book_id or an iterable of them, "
            f"not {type(order_book_ids).__name__} {order_book_ids!r}"
        ) from None
    for oid in ids:
        if not isinstance(oid, str):
            raise TidewellTypeError(
                f"order_book_id must be text, not {type(oid).__name__} {oid!r} in {what}"
            )
    return ids


def _unique(ids: list[str]) -> list[str]:
    return list(dict.fromkeys(ids))


def _choice(value, allowed, what: str) -> str:
    name = getattr(value, "value", value)
    if not isinstance(name, str) or name not in allowed:
        raise TidewellError(
            "unknown {} {!r}; choose one of {}".format(what, name, ", ".join(sorted(allowed)))
        )
    return name


def _memo(h: _database.Handle, key: str, make):
    try:
        return h.memo[key]
    except KeyError:
        value = h.memo[key] = make()
        return value


class _Calendar:
    def __init__(self, dates: list[_dt.date]) -> None:
        if not dates:
            raise TidewellError("the database has no trading dates")
        self.dates = dates
        self.first = dates[0]
        self.last = dates[-1]

    def check(self, d: _dt.date) -> _dt.date:
        if not self.first <= d <= self.last:
            raise self.beyond(f"date {d}")
        return d

    def beyond(self, what: str) -> TidewellError:
        return TidewellError(
            f"{what} is outside the trading calendar ({self.first} .. {self.last})"
        )

    def date(self, value, what: str = "date") -> _dt.date:
        return self.check(to_date(value, what))


def _calendar(h) -> _Calendar:
    def make():
        rows = h.query("SELECT date FROM trading_dates ORDER BY date").fetchall()
        return _Calendar([r[0] for r in rows])

    return _memo(h, "calendar", make)


def _current_calendar() -> _Calendar:
    with _database.opened() as h:
        return _calendar(h)


def _grouped(h, key: str, sql: str, sort: bool = False) -> dict[str, list]:
    """``{group: [value, ...]}`` from a query returning (group, value) rows, in row
    order or sorted; rows of more columns give tuples of the rest as values."""

    def make():
        out: dict[str, list] = {}
        for group, *rest in h.query(sql).fetchall():
            out.setdefault(group, []).append(rest[0] if len(rest) == 1 else tuple(rest))
        if sort:
            for v in out.values():
                v.sort()
        return out

    return _memo(h, key, make)


def _dates_by(h, key: str, sql: str) -> dict[str, list[_dt.date]]:
    """``{group: sorted dates}`` from a query returning (group, date) pairs."""
    return _grouped(h, key, sql, sort=True)


def _columns(h, table: str) -> set:
    """The column names of one of the store's tables."""
    return set(
        _memo(
            h,
            "columns " + table,
            lambda: [
                r[0]
                for r in h.query(
                    "SELECT column_name FROM duckdb_columns() WHERE schema_name = 'main' "
                    "AND table_name = ?",
                    [table],
                ).fetchall()
            ],
        )
    )


def _latest(dates: list[_dt.date], d: _dt.date) -> _dt.date | None:
    i = bisect.bisect_right(dates, d)
    return dates[i - 1] if i else None


def _classifications(h) -> dict[str, list[str]]:
    return _grouped(
        h,
        "classifications",
        "SELECT classification, industry FROM industries ORDER BY classification, position",
    )


def _industry_factors(h) -> list[str]:
    return _classifications(h).get(DEFAULT_CLASSIFICATION, [])


def _with_ids(h, sql: str, ids: list[str], params: list):
    """Run ``sql`` whose ``{ids}`` placeholder becomes a list parameter of ``ids``."""
    return h.query(sql.format(ids="(SELECT unnest(?::VARCHAR[]))"), [*params, ids])


def _order(found_ids: np.ndarray, wanted: list[str]) -> np.ndarray:
    """Positions in ``found_ids`` of the ``wanted`` ids that were found, in wanted order."""
    pos = pd.Index(found_ids).get_indexer(wanted)
    return pos[pos >= 0]


# --------------------------------------------------------------------------- instruments


def _instrument_table(h) -> dict[str, Instrument]:
    def make():
        rows = h.query(
            "SELECT order_book_id, symbol, type, exchange, listed_date, de_listed_date "
            "FROM instruments ORDER BY order_book_id"
        ).fetchall()
        return {
            r[0]: Instrument(r[0], r[1], r[2], r[3], date_text(r[4]), date_text(r[5]))
            for r in rows
        }

    return _memo(h, "instruments", make)


def instruments(order_book_ids) -> Instrument | list[Instrument] | None:
    """Records for ``order_book_ids``.

    A single id gives its :class:`Instrument` or ``None``; an iterable gives a
    list with one record per known id, in the order asked, repeats kept.
    """
    ids = _ids(order_book_ids)
    with _database.opened() as h:
        table = _instrument_table(h)
    if isinstance(order_book_ids, str):
        return table.get(order_book_ids)
    return [table[i] for i in ids if i in table]


def all_instruments(type: str | None = None, date=None) -> list[Instrument]:
    """Every instrument, optionally of one ``type`` and listed on ``date``.

    With ``date``, only instruments with ``listed_date <= date`` and not delisted
    on or before ``date`` are returned.  Sorted by order_book_id.
    """
    with _database.opened() as h:
        table = _instrument_table(h)
        d = _calendar(h).date(date) if date is not None else None
    if type is not None and not isinstance(type, str):
        raise TidewellTypeError(f"type must be text or None, not {type.__class__.__name__}")
    if type is not None and type not in ("CS", "INDX", "ETF", "LOF"):
        raise TidewellError(f"unknown instrument type {type!r}; choose one of CS, ETF, INDX, LOF")
    out = []
    text = date_text(d) if d is not None else None
    for rec in table.values():
        if type is not None and rec.type != type:
            continue
        if text is not None:
            if rec.listed_date > text:
                continue
            if rec.de_listed_date != "0000-00-00" and rec.de_listed_date <= text:
                continue
        out.append(rec)
    return out


# --------------------------------------------------------------------------- calendar


def get_trading_dates(start_date=None, end_date=None) -> list[_dt.date]:
    """Trading dates from ``start_date`` to ``end_date``, both included.

    A missing end is the first or last date of the calendar, so
    ``get_trading_dates()`` tells which dates the store covers.
    """
    cal = _current_calendar()
    start = cal.first if start_date is None else cal.date(start_date, "start_date")
    end = cal.last if end_date is None else cal.date(end_date, "end_date")
    if start > end:
        raise TidewellError(f"start_date {start} is after end_date {end}")
    lo = bisect.bisect_left(cal.dates, start)
    hi = bisect.bisect_right(cal.dates, end)
    return cal.dates[lo:hi]


def is_trading_date(date) -> bool:
    """Whether the market is open on ``date`` (which must lie inside the calendar)."""
    cal = _current_calendar()
    d = cal.date(date)
    i = bisect.bisect_left(cal.dates, d)
    return i < len(cal.dates) and cal.dates[i] == d


def _count(n, what: str = "n") -> int:
    if isinstance(n, bool) or not isinstance(n, (int, np.integer)):
        raise TidewellTypeError(f"{what} must be an integer, not {type(n).__name__} {n!r}")
    return int(n)


def trading_date_offset(date, n) -> _dt.date:
    """The trading date ``n`` trading days after ``date`` (before it for negative ``n``).

    From a non-trading day, counting starts at the previous trading day when
    ``n <= 0`` and at the next one when ``n > 0``.
    """
    n = _count(n)
    cal = _current_calendar()
    d = cal.date(date)
    dates = cal.dates
    i = bisect.bisect_left(dates, d)
    trading = i < len(dates) and dates[i] == d
    if trading:
        base = i
    elif n > 0:
        base = i  # the next trading day
    else:
        base = i - 1  # the previous trading day
    target = base + n
    if base < 0 or base >= len(dates) or not 0 <= target < len(dates):
        raise cal.beyond(f"{n} trading days from {d}")
    return dates[target]


def _nth_trading_date(date, n, before: bool) -> _dt.date:
    """The ``n``-th trading date before or after ``date`` (``date`` itself not counted)."""
    n = _count(n)
    if n < 1:
        raise TidewellError(f"n must be at least 1, not {n}")
    cal = _current_calendar()
    d = cal.date(date)
    if before:
        i = bisect.bisect_left(cal.dates, d) - n
    else:
        i = bisect.bisect_right(cal.dates, d) + n - 1
    if not 0 <= i < len(cal.dates):
        raise cal.beyond(f"{n} trading days {'before' if before else 'after'} {d}")
    return cal.dates[i]


def get_previous_trading_date(date, n=1) -> _dt.date:
    """The ``n``-th trading date before ``date`` (``date`` itself not counted)."""
    return _nth_trading_date(date, n, before=True)


def get_next_trading_date(date, n=1) -> _dt.date:
    """The ``n``-th trading date after ``date`` (``date`` itself not counted)."""
    return _nth_trading_date(date, n, before=False)


# --------------------------------------------------------------------------- prices


def _date_range(h, order_book_ids, start_date, end_date):
    """(start, end) of a range read, checked; a single unknown id is refused."""
    cal = _calendar(h)
    start = cal.date(start_date, "start_date")
    end = cal.date(end_date, "end_date")
    if start > end:
        raise TidewellError(f"start_date {start} is after end_date {end}")
    if isinstance(order_book_ids, str) and order_book_ids not in _instrument_table(h):
        raise TidewellError(f"unknown order_book_id {order_book_ids!r}")
    return start, end


def get_price_change_rate(order_book_ids, start_date, end_date):
    """Daily change rates (0.0123 = +1.23 %) from ``start_date`` to ``end_date``.

    One id (text) gives a Series over the trading days, NaN where the instrument
    did not trade; an unknown id is an error.  An iterable gives a DataFrame
    (rows: trading days, columns: the requested ids that have any data in the
    range, in request order, repeats dropped); NaN before listing and after
    delisting.
    """
    single = isinstance(order_book_ids, str)
    ids = _unique(_ids(order_book_ids))
    with _database.opened() as h:
        start, end = _date_range(h, order_book_ids, start_date, end_date)
        cal = _calendar(h)
        res = h.query(
            "WITH wanted AS (SELECT unnest(?::VARCHAR[]) AS order_book_id, "
            "generate_subscripts(?::VARCHAR[], 1) - 1 AS pos) "
            "SELECT w.pos, p.date - ?::DATE AS day, p.change_rate "
            "FROM price_changes p JOIN wanted w USING (order_book_id) "
            "WHERE p.date BETWEEN ? AND ?",
            [ids, ids, start, start, end],
        ).fetchnumpy()
    days = cal.dates[bisect.bisect_left(cal.dates, start) : bisect.bisect_right(cal.dates, end)]
    index = pd.DatetimeIndex(pd.to_datetime(days), name="date")
    if not days:  # a range without a trading day (a weekend): nothing to place
        if single:
            return pd.Series([], index=index, name=order_book_ids, dtype=float)
        return pd.DataFrame(index=index, columns=pd.Index([], name="order_book_id"), dtype=float)
    offsets = np.asarray(days, dtype="datetime64[D]") - np.datetime64(start, "D")
    row_of = np.zeros(int(offsets[-1].astype(int)) + 1, dtype=np.int64)
    row_of[offsets.astype(int)] = np.arange(len(days))
    col = np.asarray(res["pos"], dtype=np.int64)
    row = row_of[np.asarray(res["day"], dtype=np.int64)]
    values = np.full((len(days), len(ids)), np.nan)
    values[row, col] = np.asarray(res["change_rate"], dtype=float)
    if single:
        return pd.Series(values[:, 0], index=index, name=order_book_ids)
    keep = np.zeros(len(ids), dtype=bool)
    keep[col] = True
    columns = pd.Index([i for i, k in zip(ids, keep) if k], name="order_book_id")
    return pd.DataFrame(values[:, keep], index=index, columns=columns)


def index_weights(order_book_id, date) -> pd.Series:
    """Constituent weights of an index from its latest rebalance on or before ``date``."""
    if not isinstance(order_book_id, str):
        raise TidewellTypeError(
            "index order_book_id must be text, "
            f"not {type(order_book_id).__name__} {order_book_id!r}"
        )
    with _database.opened() as h:
        d = _calendar(h).date(date)
        rebalances = _dates_by(
            h, "rebalances", "SELECT DISTINCT index_id, date FROM index_weights"
        )
        if order_book_id not in rebalances:
            raise TidewellError(
                "unknown index {!r}; indexes with weights: {}".format(
                    order_book_id, ", ".join(sorted(rebalances)) or "none"
                )
            )
        when = _latest(rebalances[order_book_id], d)
        if when is None:
            raise TidewellError(
                f"date {d} is before the first rebalance of index {order_book_id!r} "
                f"({rebalances[order_book_id][0]})"
            )

        def load():
            res = h.query(
                "SELECT order_book_id, weight FROM index_weights WHERE index_id = ? AND date = ? "
                "ORDER BY order_book_id",
                [order_book_id, when],
            ).fetchnumpy()
            w = np.asarray(res["weight"], dtype=float)
            ids = pd.Index(np.asarray(res["order_book_id"], dtype=object), name="order_book_id")
            return pd.Series(w / w.sum(), index=ids, name="weight")

        # Every trading day until the next rebalance asks for the same weights.
        weights = _cross_section(h, ("index_weights", order_book_id, when), load)
    return weights.copy()


# --------------------------------------------------------------------------- risk model


def _model_factors(h) -> list[tuple[str, str]]:
    """(factor, kind) of the store's risk model, in column order.

    A store without a list of factors (an imported model, or one written before the
    list existed) has the ten styles and then the industries of the default
    classification.
    """

    def make():
        rows = []
        if "factors" not in h.missing:
            rows = h.query("SELECT factor, kind FROM factors ORDER BY position").fetchall()
        if not rows:
            rows = [(f, "style") for f in STYLE_FACTORS]
            rows += [(name, "industry") for name in _industry_factors(h)]
        return [(str(f), str(k)) for f, k in rows]

    return _memo(h, "model_factors", make)


def get_style_factor_names() -> list[str]:
    """The styles of the store's risk model, in the order of the exposure columns.

    All ten of ``STYLE_FACTORS`` for an imported model; a model built from prices
    has those its data allowed.
    """
    with _database.opened() as h:
        return [f for f, kind in _model_factors(h) if kind == "style"]


def get_factor_names(kind=None) -> list[str]:
    """All risk-model factors, in the order of the exposure and covariance columns.

    ``kind`` picks one kind: ``"style"``, ``"industry"``, ``"market"`` or
    ``"statistical"``.
    """
    if kind is not None:
        _choice(kind, FACTOR_KINDS, "factor kind")
    with _database.opened() as h:
        return [f for f, k in _model_factors(h) if kind is None or k == kind]


def _model_date(h, key: str, sql: str, group: str, value, what: str) -> _dt.date:
    d = _calendar(h).date(value)
    dates = _dates_by(h, key, sql).get(group)
    if not dates:
        why = h.meta.get("risk_model", "")
        reason = f" ({why})" if why.startswith("not built") else ""
        raise TidewellError(f"the database has no {what}{reason}")
    when = _latest(dates, d)
    if when is None:
        raise TidewellError(
            f"date {d} is before the first risk model date ({dates[0]}) of the {what}"
        )
    return when


# A risk model is read whole, one model date (and covariance model) at a time, and
# kept: optimising again on the same date, with any pool, then costs a lookup.
# The cache lives on the store's handle, so a replaced database file starts afresh.
_CROSS_SECTIONS_KEPT = 12


def _cross_section(h, key: tuple, load):
    cache = h.memo.setdefault("cross_sections", OrderedDict())
    if key in cache:
        cache.move_to_end(key)
        return cache[key]
    value = cache[key] = load()
    while len(cache) > _CROSS_SECTIONS_KEPT:
        cache.popitem(last=False)
    return value


def _rows(table: pd.DataFrame | pd.Series, ids: list[str]):
    """The rows of ``table`` for the ``ids`` it has, in request order (a copy)."""
    pos = table.index.get_indexer(ids)
    return table.iloc[pos[pos >= 0]]


def _exposure_columns(h) -> tuple:
    """The model's factors (name, kind), and the select list of the exposures' columns."""
    factors = _model_factors(h)
    columns = [f for f, kind in factors if kind != "industry"]
    select = "order_book_id, {}industry".format("".join(quote_ident(f) + ", " for f in columns))
    return factors, select


def _exposure_frame(factors, res: dict, rows=slice(None)) -> pd.DataFrame:
    """The exposures of the query result ``res`` (its ``rows``), one column per factor."""
    names = [f for f, _ in factors]
    industries = [f for f, kind in factors if kind == "industry"]
    columns = [f for f, kind in factors if kind != "industry"]
    found = np.asarray(res["order_book_id"], dtype=object)[rows]
    values = np.zeros((len(found), len(names)))
    position = {f: j for j, f in enumerate(names)}
    for f in columns:
        values[:, position[f]] = _floats(res[f])[rows]
    industry_column = np.asarray([position[f] for f in industries], dtype=np.int64)
    code = pd.Index(industries).get_indexer(_texts(res["industry"])[rows])
    ok = code >= 0
    values[np.flatnonzero(ok), industry_column[code[ok]]] = 1.0
    return pd.DataFrame(
        values,
        index=pd.Index(found, name="order_book_id"),
        columns=names,
    )


def _exposure_table(h, when: _dt.date) -> pd.DataFrame:
    def load():
        factors, select = _exposure_columns(h)
        res = h.query(f"SELECT {select} FROM factor_exposures WHERE date = ?", [when]).fetchnumpy()
        return _exposure_frame(factors, res)

    return _cross_section(h, ("exposure", when), load)


def _texts(column) -> np.ndarray:
    """A fetched text column as objects, NULL as None."""
    if isinstance(column, np.ma.MaskedArray):
        return column.astype(object).filled(None)
    return np.asarray(column, dtype=object)


def get_factor_exposure(order_book_ids, date) -> pd.DataFrame:
    """Factor exposures on the latest model date on or before ``date``.

    Rows: the requested ids that have exposures, in request order (repeats
    dropped).  Columns: ``get_factor_names()``: the styles, the industry factors
    (0/1) and, in a built model, the market (1) and the statistical factors.
    """
    ids = _unique(_ids(order_book_ids))
    with _database.opened() as h:
        when = _model_date(
            h,
            "expo_dates",
            "SELECT DISTINCT 'all', date FROM factor_exposures",
            "all",
            date,
            "factor exposures",
        )
        table = _exposure_table(h, when)
    return _rows(table, ids)


def _covariance_frame(h, res: dict, model: str, when, rows=slice(None)) -> pd.DataFrame:
    """The factor covariance of the query result ``res`` (its ``rows``), every pair present."""
    names = [f for f, _ in _model_factors(h)]
    index = pd.Index(names)
    i = index.get_indexer(np.asarray(res["factor_1"], dtype=object)[rows])
    j = index.get_indexer(np.asarray(res["factor_2"], dtype=object)[rows])
    cov = np.full((len(names), len(names)), np.nan)
    ok = (i >= 0) & (j >= 0)
    cov[i[ok], j[ok]] = np.asarray(res["covariance"], dtype=float)[rows][ok]
    if np.isnan(cov).any():
        raise TidewellError(f"factor covariance of model {model!r} on {when} is incomplete")
    return pd.DataFrame(cov, index=list(names), columns=list(names))


def get_factor_covariance(date, cov_model="daily") -> pd.DataFrame:
    """Factor covariance (daily variance units) on the latest model date on or before ``date``."""
    model = _choice(cov_model, COV_MODELS, "cov_model")
    with _database.opened() as h:
        when = _model_date(
            h,
            "cov_dates",
            "SELECT DISTINCT cov_model, date FROM factor_covariance",
            model,
            date,
            f"factor covariance of model {model!r}",
        )

        def load():
            res = h.query(
                "SELECT factor_1, factor_2, covariance FROM factor_covariance "
                "WHERE cov_model = ? AND date = ?",
                [model, when],
            ).fetchnumpy()
            return _covariance_frame(h, res, model, when)

        table = _cross_section(h, ("factor_covariance", model, when), load)
    return table.copy()


def _specific_series(res: dict, rows=slice(None)) -> pd.Series:
    return pd.Series(
        np.asarray(res["specific_risk"], dtype=float)[rows],
        index=pd.Index(np.asarray(res["order_book_id"], dtype=object)[rows], name="order_book_id"),
        name="specific_risk",
    )


def get_specific_risk(order_book_ids, date, cov_model="daily") -> pd.Series:
    """Daily specific volatility (standard deviation) per id, request order, missing ids absent."""
    model = _choice(cov_model, COV_MODELS, "cov_model")
    ids = _unique(_ids(order_book_ids))
    with _database.opened() as h:
        when = _model_date(
            h,
            "spec_dates",
            "SELECT DISTINCT cov_model, date FROM specific_risk",
            model,
            date,
            f"specific risk of model {model!r}",
        )

        def load():
            res = h.query(
                "SELECT order_book_id, specific_risk FROM specific_risk "
                "WHERE cov_model = ? AND date = ?",
                [model, when],
            ).fetchnumpy()
            return _specific_series(res)

        table = _cross_section(h, ("specific_risk", model, when), load)
    return _rows(table, ids)


def _converted(res: dict, texts: tuple) -> dict:
    """A query result's columns converted once (``texts`` to objects, the rest but the
    date to floats), so that the frames of each of its dates only slice them."""
    converted = {}
    for name, column in res.items():
        if name in texts:
            converted[name] = _texts(column)
        else:
            converted[name] = column if name == "date" else _floats(column)
    return converted


def _by_date(dates: np.ndarray) -> dict:
    """{date: row positions} of a query result's date column, in row order."""
    days = np.asarray(dates, dtype="datetime64[D]")
    order = np.argsort(days, kind="stable")
    ordered = days[order]
    cuts = np.flatnonzero(ordered[1:] != ordered[:-1]) + 1
    return {
        group[0].astype(object): order[start:stop]
        for group, start, stop in zip(
            np.split(ordered, cuts), np.r_[0, cuts], np.r_[cuts, len(ordered)]
        )
    }


class RiskModelHistory:
    """The risk models of a range of dates, read in one query per table.

    ``get_risk_model_history(start, end, cov_model)`` makes one; its
    ``get_factor_exposure``, ``get_factor_covariance`` and ``get_specific_risk``
    answer a date from ``start`` to ``end`` (and that covariance model) exactly as
    tidewell's functions of those names do, from memory.
    """

    def __init__(self, start, end, model, exposures, covariances, specifics, stocks=None):
        self.start = start
        self.end = end
        self.cov_model = model
        self._exposures = exposures  # (sorted model dates, {date: frame})
        self._covariances = covariances
        self._specifics = specifics
        # The stocks read (a frozenset), or None: the whole market.
        self.order_book_ids = stocks

    def covers(self, date, cov_model=None) -> bool:
        """Whether ``date`` (a date object) and ``cov_model`` are answered from memory."""
        if cov_model is not None and getattr(cov_model, "value", cov_model) != self.cov_model:
            return False
        return isinstance(date, _dt.date) and self.start <= to_date(date) <= self.end

    def holds(self, order_book_ids) -> bool:
        """Whether the stocks ``order_book_ids`` are all among those read."""
        return self.order_book_ids is None or self.order_book_ids.issuperset(order_book_ids)

    def _held(self, ids):
        if not self.holds(ids):
            missing = [i for i in ids if i not in self.order_book_ids]
            raise TidewellError(
                f"the risk-model history was read for other stocks: {len(missing)} "
                f"asked for are not among them ({', '.join(missing[:5])})"
            )
        return ids

    @staticmethod
    def _on(table, date, what):
        dates, frames = table
        when = _latest(dates, to_date(date))
        if when is None:
            raise TidewellError(f"the database has no {what} on or before {to_date(date)}")
        return frames[when]

    def get_factor_exposure(self, order_book_ids, date) -> pd.DataFrame:
        ids = self._held(_unique(_ids(order_book_ids)))
        return _rows(self._on(self._exposures, date, "factor exposures"), ids)

    def get_factor_covariance(self, date, cov_model=None) -> pd.DataFrame:
        return self._on(self._covariances, date, "factor covariance").copy()

    def get_specific_risk(self, order_book_ids, date, cov_model=None) -> pd.Series:
        ids = self._held(_unique(_ids(order_book_ids)))
        return _rows(self._on(self._specifics, date, "specific risk"), ids)


def get_risk_model_history(
    start_date, end_date, cov_model="daily", order_book_ids=None
) -> RiskModelHistory:
    """The factor exposures, factor covariances and specific risks in force on every
    trading day from ``start_date`` to ``end_date``: each table read in one query (the
    model in force on ``start_date`` and every later model date up to ``end_date``).
    With ``order_book_ids``, the exposures and specific risks of those stocks alone,
    and the history answers for them alone."""
    model = _choice(cov_model, COV_MODELS, "cov_model")
    stocks = None if order_book_ids is None else _unique(_ids(order_book_ids))
    # The stocks' rows alone, joined as the other reads by id join their lists.
    among = "" if stocks is None else " AND order_book_id IN (SELECT unnest(?::VARCHAR[]))"
    wanted = [] if stocks is None else [stocks]
    with _database.opened() as h:
        cal = _calendar(h)
        start = cal.date(start_date, "start_date")
        end = cal.date(end_date, "end_date")
        if start > end:
            raise TidewellError(f"start_date {start} is after end_date {end}")
        first = {
            "exposures": _model_date(
                h,
                "expo_dates",
                "SELECT DISTINCT 'all', date FROM factor_exposures",
                "all",
                start,
                "factor exposures",
            ),
            "covariance": _model_date(
                h,
                "cov_dates",
                "SELECT DISTINCT cov_model, date FROM factor_covariance",
                model,
                start,
                f"factor covariance of model {model!r}",
            ),
            "specific": _model_date(
                h,
                "spec_dates",
                "SELECT DISTINCT cov_model, date FROM specific_risk",
                model,
                start,
                f"specific risk of model {model!r}",
            ),
        }
        factors, select = _exposure_columns(h)
        res = _converted(
            h.query(
                f"SELECT date, {select} FROM factor_exposures WHERE date BETWEEN ? AND ?" + among,
                [first["exposures"], end, *wanted],
            ).fetchnumpy(),
            texts=("order_book_id", "industry"),
        )
        groups = _by_date(res["date"])
        exposures = {d: _exposure_frame(factors, res, rows) for d, rows in groups.items()}
        res = _converted(
            h.query(
                "SELECT date, factor_1, factor_2, covariance FROM factor_covariance "
                "WHERE cov_model = ? AND date BETWEEN ? AND ?",
                [model, first["covariance"], end],
            ).fetchnumpy(),
            texts=("factor_1", "factor_2"),
        )
        covariances = {
            d: _covariance_frame(h, res, model, d, rows)
            for d, rows in _by_date(res["date"]).items()
        }
        res = _converted(
            h.query(
                "SELECT date, order_book_id, specific_risk FROM specific_risk "
                "WHERE cov_model = ? AND date BETWEEN ? AND ?" + among,
                [model, first["specific"], end, *wanted],
            ).fetchnumpy(),
            texts=("order_book_id",),
        )
        specifics = {d: _specific_series(res, rows) for d, rows in _by_date(res["date"]).items()}
    return RiskModelHistory(
        start,
        end,
        model,
        (sorted(exposures), exposures),
        (sorted(covariances), covariances),
        (sorted(specifics), specifics),
        None if stocks is None else frozenset(stocks),
    )


# --------------------------------------------------------------------------- trading status

# A close within this share of its limit price is at the limit (limits and closes
# may be rounded to the cent differently).
_AT_LIMIT = 1e-8
_PRICE_COLUMNS = ["close", "limit_up", "limit_down", "suspended"]


def _daily_prices(h) -> None:
    """Raise unless the database has daily prices (older or partial stores lack them)."""

    def make():
        try:
            return h.query("SELECT EXISTS (SELECT 1 FROM daily_prices)").fetchone()[0]
        except duckdb.CatalogException:  # a store written before the table existed
            return None

    found = _memo(h, "has_daily_prices", make)
    if not found:
        raise TidewellError(
            "the database has no daily prices (table daily_prices{}); import a "
            "daily_prices file or rebuild the demo database".format(
                " is missing" if found is None else " is empty"
            )
        )


# Shares per lot on each board; a STAR order is at least 200 shares, then any number.
# A stock on the board "other" trades in lots of its lot_size, 1 share unless given.
_BOARD_LOTS = {"main": 100, "chinext": 100, "star": 1, OTHER_BOARD: 1}


def _boards(h) -> pd.DataFrame:
    """Board and lot size of every stock with one: the boards table, and the board
    "other" for a stock of an exchange without lot rules or price limits."""

    def make():
        # Stores written before lot sizes existed have no such column.
        lot = "lot_size" if "lot_size" in _columns(h, "boards") else "NULL::INTEGER AS lot_size"
        res = h.query(f"SELECT order_book_id, board, {lot} FROM boards").fetchnumpy()
        listed = pd.DataFrame(
            {
                "board": np.asarray(res["board"], dtype=object),
                "lot_size": _floats(res["lot_size"]),
            },
            index=pd.Index(np.asarray(res["order_book_id"], dtype=object)),
        )
        others = [
            oid
            for oid, rec in _instrument_table(h).items()
            if rec.exchange not in EXCHANGES and oid not in listed.index
        ]
        table = pd.concat(
            [
                listed,
                pd.DataFrame(
                    {"board": OTHER_BOARD, "lot_size": np.nan},
                    index=pd.Index(others, dtype=object),
                ),
            ]
        )
        default = table["board"].map(_BOARD_LOTS).astype(float)
        table["lot_size"] = table["lot_size"].fillna(default)
        return table

    return _memo(h, "boards", make)


def _special_treatment(h) -> dict[str, list[tuple]]:
    return _grouped(
        h,
        "special_treatment",
        "SELECT order_book_id, start_date, end_date FROM special_treatment ORDER BY 1, 2",
    )


def _under_special_treatment(periods: dict, oid: str, d: _dt.date) -> bool:
    return any(start <= d and (end is None or d < end) for start, end in periods.get(oid, ()))


def get_prices(order_book_ids, start_date, end_date) -> pd.DataFrame:
    """Unadjusted closes, the day's price limits and suspensions per trading day.

    Columns ``close``, ``limit_up``, ``limit_down`` (NaN on a day without limits)
    and ``suspended`` (bool).  One id (text) gives a frame indexed by date; an
    unknown id is an error.  An iterable gives a frame indexed by
    (``order_book_id``, ``date``), ids in request order (repeats dropped), ids
    without prices in the range absent.
    """
    single = isinstance(order_book_ids, str)
    ids = _unique(_ids(order_book_ids))
    with _database.opened() as h:
        start, end = _date_range(h, order_book_ids, start_date, end_date)
        _daily_prices(h)
        res = h.query(
            "WITH wanted AS (SELECT unnest(?::VARCHAR[]) AS order_book_id, "
            "generate_subscripts(?::VARCHAR[], 1) - 1 AS pos) "
            "SELECT w.order_book_id, p.date, p.close, p.limit_up, p.limit_down, p.suspended "
            "FROM daily_prices p JOIN wanted w USING (order_book_id) "
            "WHERE p.date BETWEEN ? AND ? ORDER BY w.pos, p.date",
            [ids, ids, start, end],
        ).fetchnumpy()
    # The resolution pandas gives calendar dates (as in get_price_change_rate), whatever
    # the engine's own.
    unit = pd.to_datetime([_dt.date(2000, 1, 1)]).dtype
    days = np.asarray(res["date"]).astype("datetime64[D]").astype(unit)
    dates = pd.DatetimeIndex(days, name="date")
    frame = pd.DataFrame(
        {
            "close": np.asarray(res["close"], dtype=float),
            "limit_up": _floats(res["limit_up"]),
            "limit_down": _floats(res["limit_down"]),
            "suspended": np.asarray(res["suspended"]) == 1,
        },
        columns=_PRICE_COLUMNS,
    )
    if single:
        frame.index = dates
    else:
        codes = np.asarray(res["order_book_id"], dtype=object)
        frame.index = pd.MultiIndex.from_arrays([codes, dates], names=["order_book_id", "date"])
    return frame


def _traded_values(h) -> None:
    """Raise unless daily_prices has the traded value (stores written before it lack it)."""

    def make():
        return bool(
            h.query(
                "SELECT count(*) FROM duckdb_columns() WHERE table_name = 'daily_prices' "
                "AND column_name = 'traded_value'"
            ).fetchone()[0]
        )

    if not _memo(h, "has_traded_values", make):
        raise TidewellError(
            "the database has no traded values (daily_prices has no column traded_value); "
            "import a daily_prices file with one or rebuild the demo database"
        )


def get_traded_value(order_book_ids, start_date, end_date) -> pd.DataFrame:
    """The value traded per stock and trading day, in the currency of the closes.

    A DataFrame: rows the trading days from ``start_date`` to ``end_date``, columns
    the requested ids in request order (repeats dropped), NaN where the store has no
    value (a stock not trading, or a file that left the column empty).  A store
    without daily prices, or written before they carried traded values, is an error.
    """
    ids = _unique(_ids(order_book_ids))
    with _database.opened() as h:
        start, end = _date_range(h, ids, start_date, end_date)
        _daily_prices(h)
        _traded_values(h)
        cal = _calendar(h)
        res = h.query(
            "WITH wanted AS (SELECT unnest(?::VARCHAR[]) AS order_book_id, "
            "generate_subscripts(?::VARCHAR[], 1) - 1 AS pos) "
            "SELECT w.pos, p.date, p.traded_value "
            "FROM daily_prices p JOIN wanted w USING (order_book_id) "
            "WHERE p.date BETWEEN ? AND ? AND p.traded_value IS NOT NULL",
            [ids, ids, start, end],
        ).fetchnumpy()
    days = cal.dates[bisect.bisect_left(cal.dates, start) : bisect.bisect_right(cal.dates, end)]
    index = pd.DatetimeIndex(pd.to_datetime(days), name="date")
    values = np.full((len(days), len(ids)), np.nan)
    if len(res["pos"]):
        found = np.asarray(res["date"]).astype("datetime64[D]")
        row = np.searchsorted(np.asarray(days, dtype="datetime64[D]"), found)
        values[row, np.asarray(res["pos"], dtype=np.int64)] = _floats(res["traded_value"])
    return pd.DataFrame(values, index=index, columns=pd.Index(ids, name="order_book_id"))


def _floats(column) -> np.ndarray:
    """A fetched column as floats, NULL as NaN."""
    if isinstance(column, np.ma.MaskedArray):
        return column.astype(float).filled(np.nan)
    return np.asarray(column, dtype=float)


def get_trading_status(order_book_ids, date) -> pd.DataFrame:
    """What each stock allowed on trading day ``date``.

    Rows: the requested ids with a price on ``date`` (request order, repeats
    dropped).  Columns: ``suspended``, ``limit_up`` (closed at its limit-up price:
    it could not be bought), ``limit_down`` (closed at its limit-down price: it
    could not be sold), ``special_treatment``, ``close`` (unadjusted) and
    ``board`` (``main``, ``chinext``, ``star``, or ``other`` for a stock of an exchange
    without lot rules or price limits; missing when the database has none) and
    ``lot_size`` (shares per lot: 100 on main and chinext, 1 on star, whose orders are
    at least 200 shares, and on other unless the boards table gives one).
    A suspended stock is at neither limit.
    """
    ids = _unique(_ids(order_book_ids))
    with _database.opened() as h:
        cal = _calendar(h)
        d = cal.date(date)
        i = bisect.bisect_left(cal.dates, d)
        if i == len(cal.dates) or cal.dates[i] != d:
            raise TidewellError(f"date {d} is not a trading date")
        _daily_prices(h)
        # The whole market's day is read once and kept, like a risk-model cross-section:
        # the bounds and then the orders of a rebalance ask for the same day.
        table = _cross_section(h, ("trading_status", d), lambda: _status_table(h, d))
    return _rows(table, ids)


def _status_table(h, d: _dt.date) -> pd.DataFrame:
    res = h.query(
        "SELECT order_book_id, close, limit_up, limit_down, suspended FROM daily_prices "
        "WHERE date = ?",
        [d],
    ).fetchnumpy()
    boards = _boards(h)
    periods = _special_treatment(h)
    codes = np.asarray(res["order_book_id"], dtype=object)
    close = np.asarray(res["close"], dtype=float)
    up = _floats(res["limit_up"])
    down = _floats(res["limit_down"])
    suspended = np.asarray(res["suspended"]) == 1
    with np.errstate(invalid="ignore"):
        at_up = ~suspended & (close >= up * (1.0 - _AT_LIMIT))
        at_down = ~suspended & (close <= down * (1.0 + _AT_LIMIT))
    special = np.zeros(len(codes), dtype=bool)
    for j in np.flatnonzero(pd.Index(codes).isin(list(periods))):
        special[j] = _under_special_treatment(periods, codes[j], d)
    return pd.DataFrame(
        {
            "suspended": suspended,
            "limit_up": at_up,
            "limit_down": at_down,
            "special_treatment": special,
            "close": close,
            "board": boards["board"].reindex(codes).to_numpy(dtype=object),
            "lot_size": boards["lot_size"].reindex(codes).to_numpy(dtype=float),
        },
        index=pd.Index(codes, name="order_book_id"),
    )


# --------------------------------------------------------------------------- industries


def industry_names(classification=DEFAULT_CLASSIFICATION) -> list[str]:
    """The industries of a classification standard, in their documented order."""
    with _database.opened() as h:
        known = _classifications(h)
    return list(known[_choice(classification, known, "classification")])


def get_industry(order_book_ids, date, classification=DEFAULT_CLASSIFICATION) -> pd.Series:
    """Industry of each id on ``date`` under ``classification``; unclassified ids are absent."""
    ids = _unique(_ids(order_book_ids))
    with _database.opened() as h:
        name = _choice(classification, _classifications(h), "classification")
        d = _calendar(h).date(date)
        res = _with_ids(
            h,
            "SELECT order_book_id, arg_max(industry, start_date) AS industry "
            "FROM industry_classification "
            "WHERE classification = ? AND start_date <= ? AND order_book_id IN {ids} "
            "GROUP BY order_book_id",
            ids,
            [name, d],
        ).fetchnumpy()
    found = np.asarray(res["order_book_id"], dtype=object)
    pos = _order(found, ids)
    return pd.Series(
        np.asarray(res["industry"], dtype=object)[pos],
        index=pd.Index(found[pos], name="order_book_id"),
        name="industry",
        dtype=object,
    )


def get_industry_history(
    order_book_ids=None, classification=DEFAULT_CLASSIFICATION
) -> pd.DataFrame:
    """Every industry assignment under ``classification``, oldest first per id.

    Columns ``order_book_id``, ``start_date`` and ``industry``, sorted by id and
    date; ``order_book_ids`` of None means every id.  The industry of an id on a
    date is that of its last row starting on or before the date, which is what
    :func:`get_industry` answers; a schedule of many dates reads this once instead.
    """
    ids = None if order_book_ids is None else _unique(_ids(order_book_ids))
    with _database.opened() as h:
        name = _choice(classification, _classifications(h), "classification")
        sql = (
            "SELECT order_book_id, start_date, industry FROM industry_classification "
            "WHERE classification = ? {} ORDER BY order_book_id, start_date"
        )
        if ids is None:
            res = h.query(sql.format(""), [name]).fetchnumpy()
        else:
            res = _with_ids(h, sql.format("AND order_book_id IN {ids}"), ids, [name]).fetchnumpy()
    return pd.DataFrame(
        {
            "order_book_id": np.asarray(res["order_book_id"], dtype=object),
            "start_date": [_dt.date.fromisoformat(str(d)[:10]) for d in res["start_date"]],
            "industry": np.asarray(res["industry"], dtype=object),
        }
    )
