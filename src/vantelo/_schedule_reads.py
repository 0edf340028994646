"""Market-data reads shared by the dates of one run of a schedule.

A rebalance asks the store the same questions date after date: the index's
constituents (once for the pool, again for the benchmark), the industry of every
pool stock (once for the constraints, again for the benchmark's industry weights),
and, to tell whether a date poses the last date's problem, all of them once more.
Industry assignments change a few times a year, so the run reads their whole
history once and answers each date from memory; the other answers are kept for
the run, so a question asked twice about one date is read once. The risk model
(exposures, factor covariances, specific risks) of every date of the run is read
in one query per table when the first date asks for it
(`tidewell.get_risk_model_history`).

A run hands a `ScheduleReads` to the optimiser as the client it reads through
(`vantelo.core.optimize(..., client=reads)`). Anything it does not answer itself
goes to tidewell unchanged, and so does every call whose arguments are not the
plain kinds a rebalance passes, so errors read as tidewell's.
"""

from __future__ import annotations

import datetime as _dt
from collections import OrderedDict
from itertools import repeat

import numpy as np
import pandas as pd

import tidewell

# Answers kept per run: a run asks about one date at a time, and a date's
# questions come together.
KEPT_ANSWERS = 64


def _day(value):
    """`value` as a date when it plainly is one, else None (tidewell then judges it)."""
    if isinstance(value, pd.Timestamp):
        return None if value.tzinfo is not None or value != value.normalize() else value.date()
    if isinstance(value, _dt.datetime):
        return None
    if isinstance(value, _dt.date):
        return value
    return None


def _codes(value):
    if isinstance(value, pd.Index):
        value = value.tolist()  # iterating the Index itself boxes element by element
    if not isinstance(value, (list, tuple)):
        return None
    # The types in one pass at C speed; only a pool of str subclasses takes the loop.
    if set(map(type, value)) <= {str} or all(isinstance(c, str) for c in value):
        return list(value)
    return None


class _IndustryHistory:
    """Every stock's industry assignments under one classification, answered by date."""

    def __init__(self, history: pd.DataFrame):
        codes = history["order_book_id"].to_numpy(dtype=object)
        days = np.array(history["start_date"].tolist(), dtype="datetime64[D]").astype(np.int64)
        # A plain dict: looking up a few hundred codes is a fraction of what an Index
        # of strings costs, each date.
        self._rank_of = {code: r for r, code in enumerate(sorted(set(codes.tolist())))}
        rank = np.fromiter((self._rank_of[c] for c in codes.tolist()), np.int64, len(codes))
        self._first = int(days.min()) if len(days) else 0
        self._span = int(days.max()) - self._first + 1 if len(days) else 1
        # One number per assignment, ordered by stock and then by start: a stock's
        # assignment in force on a day is the last one at or below (stock, day).
        keys = rank * self._span + (days - self._first)
        order = np.argsort(keys, kind="stable")
        self._keys = keys[order]
        self._rank = rank[order]
        self._industries = history["industry"].to_numpy(dtype=object)[order]

    def of(self, codes, day):
        """(the stocks among `codes` classified on `day`, in that order; their industries)."""
        codes = np.asarray(codes, dtype=object)
        offset = int(np.datetime64(day, "D").astype(np.int64)) - self._first
        if offset < 0 or not len(self._keys):
            return codes[:0], self._industries[:0]
        rank_of = self._rank_of
        rank = np.fromiter(map(rank_of.get, codes.tolist(), repeat(-1)), np.int64, len(codes))
        row = np.searchsorted(self._keys, rank * self._span + min(offset, self._span - 1), "right")
        row -= 1
        found = (rank >= 0) & (row >= 0)
        found[found] = self._rank[row[found]] == rank[found]
        return codes[found], self._industries[row[found]]


class ScheduleReads:
    """tidewell, with the reads a run of dates repeats answered from memory."""

    def __init__(self, client=tidewell, dates=None, cov_model=None):
        """`dates`: (first, last) of the run, whose risk models are then read in bulk
        for the covariance model `cov_model` (a CovModel member or its value)."""
        self._client = client
        self._histories = {}
        self._index_weights = OrderedDict()
        self._span = tuple(dates) if dates is not None else None
        self._cov_model = getattr(cov_model, "value", cov_model)
        self._risk = None
        self._stocks = None  # the stocks the run's risk reads ask for, when known

    def expect(self, codes):
        """The run's risk reads ask for these stocks: the bulk read, when it has not
        happened yet, reads them alone (a read of others asks the store)."""
        if self._risk is None:
            self._stocks = list(dict.fromkeys(codes))

    def _risk_models(self, date, cov_model=None):
        """The run's bulk-read risk models when they answer `date` (and `cov_model`)."""
        day = _day(date)
        if self._span is None or day is None or not isinstance(self._cov_model, str):
            return None
        if cov_model is not None and getattr(cov_model, "value", cov_model) != self._cov_model:
            return None
        first, last = self._span
        if not (first <= day <= last):
            return None
        if self._risk is None:
            try:
                self._risk = self._client.get_risk_model_history(
                    first, last, self._cov_model, **self._among()
                )
            except tidewell.TidewellError:
                # A range the store cannot answer whole: each date asks on its own.
                self._risk = False
        return self._risk or None

    def _among(self):
        return {} if self._stocks is None else {"order_book_ids": self._stocks}

    def get_factor_exposure(self, order_book_ids, date):
        codes = _codes(order_book_ids)
        history = self._risk_models(date) if codes is not None else None
        if history is None or not history.holds(codes):
            return self._client.get_factor_exposure(order_book_ids, date)
        return history.get_factor_exposure(codes, date)

    def get_factor_covariance(self, date, cov_model="daily"):
        history = self._risk_models(date, cov_model)
        if history is None:
            return self._client.get_factor_covariance(date, cov_model)
        return history.get_factor_covariance(date)

    def get_specific_risk(self, order_book_ids, date, cov_model="daily"):
        codes = _codes(order_book_ids)
        history = self._risk_models(date, cov_model) if codes is not None else None
        if history is None or not history.holds(codes):
            return self._client.get_specific_risk(order_book_ids, date, cov_model)
        return history.get_specific_risk(codes, date)

    def __getattr__(self, name):
        return getattr(self._client, name)

    def _keep(self, cache, key, make):
        found = cache.get(key)
        if found is None:
            found = cache[key] = make()
            while len(cache) > KEPT_ANSWERS:
                cache.popitem(last=False)
        else:
            cache.move_to_end(key)
        return found

    def index_weights(self, order_book_id, date):
        day = _day(date)
        if not isinstance(order_book_id, str) or day is None:
            return self._client.index_weights(order_book_id, date)
        weights = self._keep(
            self._index_weights,
            (order_book_id, day),
            lambda: self._client.index_weights(order_book_id, day),
        )
        return weights.copy()

    def get_industry(self, order_book_ids, date, classification=None):
        if classification is None:
            # tidewell's own default standard.
            return self._client.get_industry(order_book_ids, date)
        codes = _codes(order_book_ids)
        day = _day(date)
        # tidewell takes an enumeration member for its value.
        classification = getattr(classification, "value", classification)
        if codes is None or day is None or not isinstance(classification, str):
            return self._client.get_industry(order_book_ids, date, classification)
        if not self._client.is_trading_date(day):
            # tidewell's own refusal, with its message.
            return self._client.get_industry(order_book_ids, date, classification)
        history = self._histories.get(classification)
        if history is None:
            history = self._histories[classification] = _IndustryHistory(
                self._client.get_industry_history(classification=classification)
            )
        found, industries = history.of(list(dict.fromkeys(codes)), day)
        return pd.Series(
            industries,
            index=pd.Index(found, name="order_book_id"),
            name="industry",
            dtype=object,
        )
