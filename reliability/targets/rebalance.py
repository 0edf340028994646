"""Fuzz targets of vantelo._rebalance, the arithmetic of a schedule: arrays of every
dtype and shape, and well-formed ones with NaN, infinities and mismatched lengths."""

import numpy as np
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp

from reliability import values as v
from reliability.runner import make_call, target
from vantelo import _rebalance as core

_rates = st.floats(-1.5, 1.5) | st.sampled_from([np.nan, np.inf, -np.inf])
vectors = v.weighted(hnp.arrays(np.float64, st.integers(0, 4), elements=_rates), v.arrays)
matrices = v.weighted(
    hnp.arrays(np.float64, st.tuples(st.integers(0, 4), st.integers(0, 4)), elements=_rates),
    v.arrays,
)


@target("_rebalance.drift")
def _drift(data):
    return make_call(data, core.drift, data.draw(vectors), data.draw(matrices))


@target("_rebalance.turnover")
def _turnover(data):
    return make_call(data, core.turnover, data.draw(vectors), data.draw(vectors))


@target("_rebalance.backtest")
def _backtest(data):
    args = (
        data.draw(matrices),
        data.draw(v.weighted(hnp.arrays(np.int64, st.integers(0, 4)), v.arrays)),
        data.draw(matrices),
        data.draw(vectors),
        data.draw(v.weighted(st.floats(0, 0.01), v.numbers)),
    )
    return make_call(data, core.backtest, *args)


@target("_rebalance.summary")
def _summary(data):
    benchmark = data.draw(st.one_of(st.none(), vectors))
    return make_call(data, core.summary, data.draw(vectors), benchmark, data.draw(vectors))
