"""Fuzz targets of vantelo.trading: the day's status, the bounds it allows and the
orders that reach a target, over a faked day (`fakes.HONEST_CLIENT`)."""

import math

import pandas as pd
from hypothesis import strategies as st

import vantelo.trading as trading
from reliability import values as v
from reliability.fakes import scenarios, use
from reliability.runner import make_call, target

weight_maps = v.weighted(
    st.dictionaries(
        st.sampled_from(v.CODES + [v.FUND, v.DELISTED]), st.floats(0, 0.5), max_size=5
    ).map(lambda d: pd.Series(d, dtype=float)),
    v.series,
)
share_maps = v.weighted(
    st.dictionaries(st.sampled_from(v.CODES), st.integers(0, 10**6), max_size=5),
    v.series,
)


@target("trading.trading_status")
def _trading_status(data):
    scenario = data.draw(scenarios)
    pool, date = data.draw(v.pools), data.draw(v.dates)
    return use(scenario, make_call(data, trading.trading_status, pool, date))


@target("trading.tradable_bounds")
def _tradable_bounds(data):
    scenario = data.draw(scenarios)
    args = (
        data.draw(v.weighted(v.pools)),
        data.draw(v.weighted(v.dates)),
        data.draw(weight_maps),
        data.draw(v.bnds),
        data.draw(v.weighted(st.booleans())),
    )
    return use(scenario, make_call(data, trading.tradable_bounds, *args))


@target("trading.to_orders")
def _to_orders(data):
    scenario = data.draw(scenarios)
    args = (
        data.draw(weight_maps),
        data.draw(v.weighted(v.dates)),
        data.draw(v.weighted(st.floats(0, 1e9), st.sampled_from([math.inf, -1.0, 10**400]))),
        data.draw(st.one_of(st.none(), share_maps)),
        data.draw(st.one_of(st.none(), weight_maps)),
    )
    return use(scenario, make_call(data, trading.to_orders, *args))
