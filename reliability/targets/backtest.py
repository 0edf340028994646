"""Fuzz targets of vantelo.backtest: the cost model's settings and a day of orders, the
cost penalty's construction, and the measures and calendar tables of drawn paths."""

import numpy as np
import pandas as pd
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

import vantelo.backtest as backtest
from reliability import values as v
from reliability.runner import make_call, target
from vantelo.objective import MaxSharpeRatio, MinVariance
from vantelo.rebalance import RebalanceResult

_bps = v.weighted(st.floats(0, 50), v.numbers)
_settings = st.fixed_dictionaries(
    {},
    optional={
        "commission_bps": _bps,
        "min_commission": _bps,
        "stamp_duty": st.one_of(_bps, st.lists(st.tuples(v.dates, _bps, _bps), max_size=2)),
        "transfer_fee": st.one_of(_bps, st.lists(st.tuples(v.dates, _bps), max_size=2)),
        "spread_bps": _bps,
        "impact_bps": _bps,
        "impact_exponent": st.floats(0.1, 1.0) | v.numbers,
        "capital": v.weighted(st.floats(1.0, 1e9), v.numbers),
        "volume_window": v.weighted(st.integers(1, 30), v.numbers),
        "traded_value": st.one_of(st.none(), v.frames, v.anything),
    },
)
_orders = v.weighted(
    st.dictionaries(v.codes, st.floats(-1e7, 1e7), max_size=4).map(pd.Series),
    v.series,
    v.frames,
)


@target("backtest.CostModel")
def _cost_model(data):
    """A model of drawn settings, and now and then a day of drawn orders priced by it
    (against drawn traded values: the store is not asked)."""
    settings = data.draw(_settings)
    if not data.draw(st.booleans()):
        return lambda: backtest.CostModel(**settings)
    orders = data.draw(_orders)
    daily = data.draw(v.weighted(st.dictionaries(v.codes, st.floats(0, 1e9)), v.series))

    return lambda: backtest.CostModel(**settings).order_costs(orders, "2024-06-28", daily)


@target("backtest.CostPenalty")
def _cost_penalty(data):
    objective = data.draw(st.sampled_from([MinVariance(), MaxSharpeRatio()]) | v.anything)
    holding = data.draw(st.one_of(st.none(), v.series))
    weight = data.draw(v.weighted(st.floats(0.01, 1e3), v.numbers))
    return make_call(
        data, backtest.CostPenalty, objective, backtest.CostModel(), holding, "2024-06-28", weight
    )


@st.composite
def _results(draw):
    """A result of drawn daily returns, with or without a benchmark."""
    days = draw(st.integers(0, 40))
    rates = hnp.arrays(np.float64, days, elements=st.floats(-0.5, 0.5) | st.just(np.nan))
    index = pd.bdate_range("2023-12-20", periods=days)
    returns = pd.DataFrame({"portfolio": draw(rates)}, index=index)
    if draw(st.booleans()):
        returns["benchmark"] = draw(rates)
        returns["active"] = returns["portfolio"] - returns["benchmark"]
    records = pd.DataFrame(
        {"status": ["ok"], "turnover": [draw(v.unit_floats)], "holdings": [3]},
        index=pd.Index([pd.Timestamp("2023-12-19").date()], name="date"),
    )
    return RebalanceResult(pd.DataFrame(), records, returns)


_risk_free = v.weighted(st.floats(-0.5, 0.5), v.numbers)
_anything_or_result = v.weighted(_results())


@target("backtest.measures")
def _measures(data):
    return make_call(
        data, backtest.measures, data.draw(_anything_or_result), data.draw(_risk_free)
    )


@target("backtest.compare")
def _compare(data):
    results = data.draw(st.dictionaries(st.text(max_size=3), _results(), max_size=2) | v.anything)
    return make_call(data, backtest.compare, results, data.draw(_risk_free))


@target("backtest.annual_returns")
def _annual_returns(data):
    return make_call(data, backtest.annual_returns, data.draw(_anything_or_result))


@target("backtest.monthly_returns")
def _monthly_returns(data):
    column = data.draw(v.weighted(st.sampled_from(["portfolio", "benchmark", "active"])))
    return make_call(data, backtest.monthly_returns, data.draw(_anything_or_result), column)


@target("backtest.rolling")
def _rolling(data):
    window = data.draw(v.weighted(st.integers(2, 70), v.numbers))
    return make_call(data, backtest.rolling, data.draw(_anything_or_result), window)
