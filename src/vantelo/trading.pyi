"""From target weights to what can be traded on a day.

The day's status of each stock comes from `tidewell` (`get_trading_status`): suspended,
closed at its limit-up price (it could not be bought), closed at its limit-down price
(it could not be sold), under special treatment, its close and its board.
`tradable_bounds` turns it into the `bnds` of `portfolio_optimize`; `to_orders` turns
target weights into whole-lot orders for an account.
"""

import datetime
from typing import Any, Iterable, Mapping

import pandas as pd

DateLike = datetime.date | datetime.datetime | str

class Orders(pd.DataFrame):
    """Whole-lot orders for one account on one day, one row per stock.

    Columns: `order_book_id`, `price`, `current_shares`, `target_shares`,
    `order_shares` (always >= 0), `side` ("buy", "sell" or "hold"), `value`
    (order_shares x price), `target_weight` and `final_weight` (target_shares x price
    over the account's value). Copies and slices keep the two attributes.
    """

    cash_left: float
    """The cash after every order is filled; never negative."""
    deviation: float
    """The sum over the stocks of |final_weight - target_weight|, in weight."""
    def __init__(
        self,
        data: Any = None,
        index: Any = None,
        columns: Any = None,
        dtype: Any = None,
        copy: bool | None = None,
    ) -> None: ...

def trading_status(order_book_ids: str | Iterable[str], date: DateLike) -> pd.DataFrame:
    """The day's status of each stock of the pool.

    :param order_book_ids: one code or an iterable of codes
    :param date: the trading day
    :return: a DataFrame indexed by `order_book_id` with the columns `suspended`,
        `limit_up` (closed at its limit-up price: it could not be bought), `limit_down`
        (closed at its limit-down price: it could not be sold), `special_treatment`,
        `close` and `board` ("main", "chinext" or "star"); stocks not trading that
        day (not listed yet, delisted, unknown) are absent
    """

def tradable_bounds(
    order_book_ids: str | Iterable[str],
    date: DateLike,
    holding: pd.Series | Mapping[str, float] | None,
    bnds: dict[str, tuple[float | None, float | None]] | None = None,
    exclude_special_treatment: bool = False,
) -> dict[str, tuple[float, float]]:
    """The `bnds` of `portfolio_optimize` that the day allows, given the current holding.

    A suspended stock, or one not trading that day, stays at its current weight; one at
    limit-up is not bought (its upper bound is at most its weight), one at limit-down
    is not sold (its lower bound at least its weight); with
    `exclude_special_treatment`, one under special treatment is not bought. Every other
    bound is the caller's. Where the caller's bounds ask for what the day forbids, the
    day wins and one `OptimizerWarning` names the stocks, the reasons and the bounds
    before and after.

    :param order_book_ids: the pool: one code or an iterable of codes
    :param date: the trading day
    :param holding: current weights keyed by code (stocks absent from it are not held);
        None for an empty account
    :param bnds: the caller's own bounds, as for `portfolio_optimize`
    :param exclude_special_treatment: do not buy stocks under special treatment
    :return: {order_book_id: (lower, upper)} for every stock of the pool
    :raises InvalidArgument: for an empty pool, a date that is not one, holding weights
        that are not numbers, negative, not finite or above 1, bounds of your own that
        cannot add up (a "*" pair whose lower side is above its upper side, lower
        bounds summing above 1 or upper bounds below 1, named with their sums), or a
        day on which the bounds cannot add up to a fully invested portfolio
    """

def to_orders(
    target: pd.Series | Mapping[str, float],
    date: DateLike,
    capital: float,
    current_shares: pd.Series | Mapping[str, int] | None = None,
    prices: pd.Series | Mapping[str, float] | None = None,
) -> Orders:
    """Whole-lot orders that bring an account as close to the target weights as its cash allows.

    Orders come in lots of 100 shares on the main boards and ChiNext (a sale may take
    the odd shares along) and of at least 200 shares, then any number, on STAR; a
    position may always be sold whole. Nothing suspended or at limit-up is bought,
    nothing suspended or at limit-down is sold, and the buys never cost more than the
    cash plus what the sales bring.

    The deviation is never worse than each position at its nearest allowed count with
    the shortfall then covered by the steps back that add the least deviation per unit
    of the missing cash; local moves improve on that, and with at most 8 stocks that
    can move an exact search gives the least deviation the rules allow.

    :param target: target weights keyed by code, fractions of the account's value (the
        cash plus the holding at the day's prices); they may sum to less than 1
    :param date: the trading day
    :param capital: the account's cash
    :param current_shares: whole shares held, keyed by code
    :param prices: prices to trade at, keyed by code; the day's closes for the others
    :return: an `Orders` DataFrame with the attributes `cash_left` and `deviation`
    :raises InvalidArgument: for values that are not numbers (text, booleans), negative
        or non-finite inputs, weights summing above 1 (by more than 1e-4), fractional
        holdings, a date that is not one, codes the store does not know (whatever price
        is given for them), stocks without a price or a known board, or an account
        worth nothing
    """
