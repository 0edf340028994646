"""What trading costs on the Shanghai and Shenzhen exchanges, as a backtest charges it.

`CostModel` prices an order as a broker, the exchanges and the tax office would:

- commission, a rate of the order's value with a minimum per order;
- stamp duty, a tax on what is sold (and, before 19 September 2008, on what is
  bought) at the rate in force on the day (`STAMP_DUTY`);
- the transfer fee of the depository, a rate of the value on both sides
  (`TRANSFER_FEE`);
- the spread, half the gap between bid and ask, paid on each order's value;
- market impact, a rate that grows as a power of the order over the stock's
  average daily traded value (`impact_bps` when the order is a whole day's value),
  where the store has traded values.

The arithmetic runs in the compiled `vantelo._rebalance` (`order_costs` for a day of
orders, `backtest_costs` along a rebalanced path); this module holds the rates, the
schedules and the traded values they are applied to. `convex_terms` gives the same
model in the form an optimiser can minimise (`vantelo.backtest.penalty`).
"""

from __future__ import annotations

import bisect
import datetime
import math
import numbers
import warnings

import numpy as np
import pandas as pd

import tidewell
import vantelo.optimize
from vantelo import _rebalance
from vantelo.exception import InvalidArgument, OptimizerWarning

__all__ = ["COMPONENTS", "STAMP_DUTY", "TRANSFER_FEE", "CostModel"]

BPS = 1e-4

# Stamp duty on A-share trades, from the date each rate took effect: (date, rate on
# what is bought, rate on what is sold). Dates before the first take its rates.
STAMP_DUTY = (
    (datetime.date(1997, 5, 12), 0.005, 0.005),
    (datetime.date(1998, 6, 12), 0.004, 0.004),
    (datetime.date(2001, 11, 16), 0.002, 0.002),
    (datetime.date(2005, 1, 24), 0.001, 0.001),
    (datetime.date(2007, 5, 30), 0.003, 0.003),
    (datetime.date(2008, 4, 24), 0.001, 0.001),
    (datetime.date(2008, 9, 19), 0.0, 0.001),
    (datetime.date(2023, 8, 28), 0.0, 0.0005),
)
# The depository's transfer fee, a rate of the value on both sides, from the date it
# took effect. Before the first date Shanghai charged by the number of shares; the
# first rate stands in for it.
TRANSFER_FEE = (
    (datetime.date(2015, 8, 1), 0.00002),
    (datetime.date(2022, 4, 29), 0.00001),
)

# The parts of a cost, in the order the compiled kernels give them; `flat` is the
# `cost_bps` shorthand of a rebalance (a rate of the one-way turnover).
COMPONENTS = ("commission", "stamp_duty", "transfer_fee", "spread", "impact", "flat")
ORDER_COMPONENTS = COMPONENTS[:-1]


def _rate_on(schedule, day, columns):
    """The rates of `schedule` in force on `day` (the first ones before it starts)."""
    starts = [row[0] for row in schedule]
    position = max(bisect.bisect_right(starts, day) - 1, 0)
    return tuple(schedule[position][1 + c] for c in columns)


def _checked_number(value, name, positive=False):
    usable = isinstance(value, numbers.Real) and not isinstance(value, bool)
    try:
        usable = usable and math.isfinite(value) and (value > 0 if positive else value >= 0)
    except OverflowError:
        usable = False
    if not usable:
        bound = "above 0" if positive else "of at least 0"
        raise InvalidArgument(f"{name}: expected a finite number {bound}, got {value!r}")
    return float(value)


def _checked_schedule(value, name, width):
    """A schedule of (date, rate, ...) rows in basis points, or a single number in
    basis points, as a schedule of fractions."""
    if isinstance(value, numbers.Real) and not isinstance(value, bool):
        rate = _checked_number(value, name) * BPS
        return ((datetime.date.min, *([rate] * width)),)
    try:
        rows = [tuple(row) for row in value]
    except TypeError:
        rows = None
    if not rows or any(len(row) != width + 1 for row in rows):
        raise InvalidArgument(
            f"{name}: expected a number of basis points or rows (date, {width} rate(s) in "
            f"basis points), got {value!r}"
        )
    schedule = []
    for row in rows:
        day = vantelo.optimize.to_date(row[0])
        rates = [_checked_number(r, name) * BPS for r in row[1:]]
        schedule.append((day, *rates))
    schedule.sort(key=lambda row: row[0])
    return tuple(schedule)


class CostModel:
    """The cost of trading A-shares, order by order.

    :param commission_bps: the broker's commission, in basis points of each order's
        value (the exchanges' handling and regulatory fees are quoted inside it)
    :param min_commission: the least commission of one order, in the currency of
        `capital`
    :param stamp_duty: None for the rates in force on each date (`STAMP_DUTY`), a
        number of basis points charged on sales, or rows (date, bps on buys, bps on
        sales) that take effect on their dates
    :param transfer_fee: None for the rates in force on each date (`TRANSFER_FEE`), a
        number of basis points, or rows (date, bps)
    :param spread_bps: half the bid-ask spread, in basis points of each order's value
    :param impact_bps: the market impact of an order as large as the stock's average
        daily traded value, in basis points; an order of a share q of it pays
        ``impact_bps * q ** impact_exponent``. 0 leaves impact out
    :param impact_exponent: how the impact rate grows with the order (0.5, the square
        root, by default)
    :param capital: the account's value at the start, in currency: the minimum
        commission and the impact depend on the size of the orders
    :param volume_window: the trading days before a date whose traded values are
        averaged for its orders
    :param traded_value: None to read traded values from the store
        (`tidewell.get_traded_value`), or a DataFrame of them (trading days x codes)
    """

    def __init__(
        self,
        commission_bps=2.5,
        min_commission=5.0,
        stamp_duty=None,
        transfer_fee=None,
        spread_bps=0.0,
        impact_bps=100.0,
        impact_exponent=0.5,
        capital=10_000_000.0,
        volume_window=20,
        traded_value=None,
    ):
        self.commission = _checked_number(commission_bps, "commission_bps") * BPS
        self.min_commission = _checked_number(min_commission, "min_commission")
        self.stamp_duty = STAMP_DUTY if stamp_duty is None else self._stamp_schedule(stamp_duty)
        self.transfer_fee = (
            TRANSFER_FEE
            if transfer_fee is None
            else _checked_schedule(transfer_fee, "transfer_fee", 1)
        )
        self.spread = _checked_number(spread_bps, "spread_bps") * BPS
        self.impact = _checked_number(impact_bps, "impact_bps") * BPS
        self.impact_exponent = _checked_number(impact_exponent, "impact_exponent", True)
        if self.impact_exponent > 1:
            raise InvalidArgument(
                f"impact_exponent: expected a number in (0, 1], got {impact_exponent!r}"
            )
        self.capital = _checked_number(capital, "capital", positive=True)
        if (
            isinstance(volume_window, bool)
            or not isinstance(volume_window, numbers.Integral)
            or volume_window < 1
        ):
            raise InvalidArgument(
                f"volume_window: expected a positive whole number of days, got {volume_window!r}"
            )
        self.volume_window = int(volume_window)
        if traded_value is not None and not isinstance(traded_value, pd.DataFrame):
            raise InvalidArgument(
                "traded_value: expected None or a DataFrame of trading days x codes, "
                f"got {type(traded_value).__name__}"
            )
        self.traded_value = traded_value

    @staticmethod
    def _stamp_schedule(value):
        if isinstance(value, numbers.Real) and not isinstance(value, bool):
            rate = _checked_number(value, "stamp_duty") * BPS
            return ((datetime.date.min, 0.0, rate),)
        return _checked_schedule(value, "stamp_duty", 2)

    def __repr__(self):
        return (
            f"CostModel(commission_bps={self.commission / BPS:g}, "
            f"min_commission={self.min_commission:g}, spread_bps={self.spread / BPS:g}, "
            f"impact_bps={self.impact / BPS:g}, impact_exponent={self.impact_exponent:g}, "
            f"capital={self.capital:,.0f})"
        )

    def describe(self):
        """The settings as (name, text) pairs, for a report."""
        last_stamp = self.stamp_duty[-1]
        last_transfer = self.transfer_fee[-1]
        return [
            ("commission", f"{self.commission / BPS:g} bp, at least {self.min_commission:g}"),
            (
                "stamp duty",
                "by date from STAMP_DUTY"
                if self.stamp_duty is STAMP_DUTY
                else f"{last_stamp[2] / BPS:g} bp on sales",
            ),
            (
                "transfer fee",
                "by date from TRANSFER_FEE"
                if self.transfer_fee is TRANSFER_FEE
                else f"{last_transfer[1] / BPS:g} bp",
            ),
            ("spread", f"{self.spread / BPS:g} bp"),
            (
                "impact",
                f"{self.impact / BPS:g} bp x (order / daily value)^{self.impact_exponent:g}, "
                f"{self.volume_window}-day average",
            ),
            ("capital", f"{self.capital:,.0f}"),
        ]

    # -- rates ---------------------------------------------------------------

    def rates(self, date):
        """The rates of `date` as fractions of an order's value: commission,
        stamp_buy, stamp_sell, transfer and spread."""
        day = vantelo.optimize.to_date(date)
        stamp_buy, stamp_sell = _rate_on(self.stamp_duty, day, (0, 1))
        (transfer,) = _rate_on(self.transfer_fee, day, (0,))
        return {
            "commission": self.commission,
            "stamp_buy": stamp_buy,
            "stamp_sell": stamp_sell,
            "transfer": transfer,
            "spread": self.spread,
        }

    def _terms(self, date):
        terms = self.rates(date)
        terms.update(
            minimum=self.min_commission, impact=self.impact, exponent=self.impact_exponent
        )
        return terms

    # -- traded values ---------------------------------------------------------

    def daily_values(self, codes, dates):
        """The average daily traded value of each of `codes` over the `volume_window`
        trading days before each of `dates` (dates x codes; NaN where unknown).

        Without traded values (impact off, or a store that has none) every entry is
        NaN, and the impact term is left out; a store without them says so in an
        `OptimizerWarning`.
        """
        codes = list(codes)
        days = [vantelo.optimize.to_date(d) for d in dates]
        index = pd.Index(days, name="date")
        empty = pd.DataFrame(np.nan, index=index, columns=pd.Index(codes, name="order_book_id"))
        if not days or not codes or self.impact == 0.0:
            return empty
        table = self._traded_table(codes, min(days), max(days))
        if table is None:
            return empty
        values = table.reindex(columns=codes).to_numpy(dtype=float)
        calendar = np.asarray(table.index.to_numpy(), dtype="datetime64[D]")
        out = np.full((len(days), len(codes)), np.nan)
        for j, day in enumerate(days):
            stop = int(np.searchsorted(calendar, np.datetime64(day, "D"), side="left"))
            window = values[max(stop - self.volume_window, 0) : stop]
            if len(window):
                with warnings.catch_warnings():
                    warnings.simplefilter("ignore", RuntimeWarning)  # all-NaN columns
                    out[j] = np.nanmean(window, axis=0)
        return pd.DataFrame(out, index=index, columns=empty.columns)

    def _traded_table(self, codes, first, last):
        if self.traded_value is not None:
            table = self.traded_value.copy()
            table.index = pd.DatetimeIndex(pd.to_datetime(table.index))
            return table.sort_index()
        try:
            start = tidewell.trading_date_offset(first, -self.volume_window)
        except tidewell.TidewellError:
            start = tidewell.get_trading_dates()[0]
        end = tidewell.get_previous_trading_date(last) if tidewell.is_trading_date(last) else last
        if end < start:
            end = start
        try:
            return tidewell.get_traded_value(codes, start, end)
        except tidewell.TidewellError as error:
            warnings.warn(
                f"market impact left out of the costs: {error}", OptimizerWarning, stacklevel=3
            )
            return None

    # -- prices of orders ------------------------------------------------------

    def order_costs(self, orders, date, daily_value=None):
        """What each order of a day pays, in currency.

        :param orders: a Series of order values keyed by code (positive bought,
            negative sold), or the `Orders` of `vantelo.trading.to_orders` (its
            `side` and `value` columns)
        :param date: the trading day, for the rates in force and the traded values
        :param daily_value: the stocks' average daily traded value (a Series keyed by
            code); by default as `daily_values` finds it
        :return: a DataFrame indexed by code: `value` (signed), the parts of
            `ORDER_COMPONENTS` and `total`
        """
        values = _signed_values(orders)
        day = vantelo.optimize.to_date(date)
        if daily_value is None:
            daily = self.daily_values(values.index, [day]).iloc[0]
        else:
            daily = pd.Series(daily_value, dtype=float)
        traded = daily.reindex(values.index).to_numpy(dtype=float)
        parts = _rebalance.order_costs(values.to_numpy(dtype=float), traded, self._terms(day))
        table = pd.DataFrame(parts, index=values.index, columns=list(ORDER_COMPONENTS))
        table.insert(0, "value", values)
        table["total"] = table[list(ORDER_COMPONENTS)].sum(axis=1)
        return table

    def path_terms(self, dates, codes, no_order):
        """The model of a whole path as `vantelo._rebalance.backtest_costs` reads it."""
        days = [vantelo.optimize.to_date(d) for d in dates]
        rates = [self.rates(d) for d in days]
        terms = {
            "capital": self.capital,
            "no_order": float(no_order),
            "commission": self.commission,
            "minimum": self.min_commission,
            "impact": self.impact,
            "exponent": self.impact_exponent,
            "traded": self.daily_values(codes, days).to_numpy(dtype=float),
        }
        for name in ("stamp_buy", "stamp_sell", "transfer", "spread"):
            terms[name] = np.array([r[name] for r in rates], dtype=float)
        return terms

    # -- the convex form -------------------------------------------------------

    def convex_terms(self, codes, date, daily_value=None):
        """The model as an optimiser can minimise it, per stock of `codes`: the cost of
        buying and of selling a unit of weight (every linear rate; the minimum
        commission is no convex term and is left out) and the coefficient k of the
        impact, which costs ``k * |trade| ** (1 + impact_exponent)`` for a trade of
        |trade| in weight at the account size `capital`.

        :return: a DataFrame indexed by code with `buy`, `sell` and `impact`
        """
        codes = list(codes)
        rates = self.rates(date)
        linear = rates["commission"] + rates["transfer"] + rates["spread"]
        if daily_value is None:
            daily = self.daily_values(codes, [date]).iloc[0]
        else:
            daily = pd.Series(daily_value, dtype=float).reindex(codes)
        daily = daily.to_numpy(dtype=float)
        with np.errstate(divide="ignore", invalid="ignore"):
            impact = self.impact * (self.capital / daily) ** self.impact_exponent
        impact = np.where(np.isfinite(impact) & (daily > 0), impact, 0.0)
        return pd.DataFrame(
            {
                "buy": linear + rates["stamp_buy"],
                "sell": linear + rates["stamp_sell"],
                "impact": impact,
            },
            index=pd.Index(codes, name="order_book_id"),
        )


def _signed_values(orders):
    if isinstance(orders, pd.DataFrame):
        missing = [c for c in ("side", "value") if c not in orders.columns]
        if missing:
            raise InvalidArgument(
                f"orders: a DataFrame of orders needs the columns side and value, "
                f"missing {missing}"
            )
        frame = orders.set_index("order_book_id") if "order_book_id" in orders else orders
        sign = frame["side"].map({"buy": 1.0, "sell": -1.0, "hold": 0.0})
        if sign.isna().any():
            raise InvalidArgument(
                f"orders: side must be buy, sell or hold, got {sorted(set(frame['side']))}"
            )
        values = sign * pd.to_numeric(frame["value"], errors="coerce")
    elif isinstance(orders, (pd.Series, dict)):
        values = pd.to_numeric(pd.Series(orders, dtype=object), errors="coerce")
    else:
        raise InvalidArgument(
            "orders: expected a Series of order values by code or the Orders of to_orders, "
            f"got {type(orders).__name__}"
        )
    try:
        values = values.astype(float)
    except (TypeError, ValueError) as error:
        raise InvalidArgument(f"orders: values must be numbers ({error})") from None
    if not np.isfinite(values.to_numpy()).all():
        raise InvalidArgument(
            f"orders: not a finite value for {list(values.index[~np.isfinite(values)])}"
        )
    values.index.name = "order_book_id"
    return values
