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


_numbers = v.weighted(st.floats(0, 0.01), v.numbers)
_TERMS = ("commission", "minimum", "impact", "exponent", "stamp_buy", "stamp_sell", "transfer")


@st.composite
def _cost_case(draw, per_date):
    """A well-formed cost model (and, for a path, its arrays), then with one entry drawn
    anew from anything or left out, so that both the sums and every check are reached."""
    n = draw(st.integers(0, 4))
    days = draw(st.integers(1, 5))
    rows = sorted(draw(st.sets(st.integers(0, days - 1), min_size=1, max_size=days)))
    dates = len(rows)
    terms = {name: draw(st.floats(0, 0.01)) for name in _TERMS + ("spread",)}
    terms["exponent"] = draw(st.floats(0.1, 1.0))
    arrays = {}
    if per_date:
        for name in ("stamp_buy", "stamp_sell", "transfer", "spread"):
            terms[name] = np.full(dates, terms[name])
        terms["capital"] = draw(st.floats(1.0, 1e9))
        terms["no_order"] = draw(st.floats(0, 1e-3))
        terms["traded"] = draw(hnp.arrays(np.float64, (dates, n), elements=_rates)) * 1e7
        arrays = dict(
            targets=draw(hnp.arrays(np.float64, (dates, n), elements=st.floats(0, 1))),
            rows=np.asarray(rows, dtype=float),
            rates=draw(hnp.arrays(np.float64, (days, n), elements=_rates)),
            initial=draw(hnp.arrays(np.float64, n, elements=st.floats(0, 1))),
        )
    else:
        arrays = dict(
            values=draw(hnp.arrays(np.float64, n, elements=st.floats(-1e7, 1e7))),
            traded=draw(hnp.arrays(np.float64, n, elements=_rates)) * 1e7,
        )
    spoiled = draw(st.one_of(st.none(), st.sampled_from(sorted(terms) + sorted(arrays))))
    if spoiled in terms and draw(st.booleans()):
        del terms[spoiled]
    elif spoiled in terms:
        terms[spoiled] = draw(v.anything)
    elif spoiled is not None:
        arrays[spoiled] = draw(v.weighted(matrices, vectors, v.arrays))
    return arrays, terms


@target("_rebalance.backtest_costs")
def _backtest_costs(data):
    arrays, terms = data.draw(_cost_case(per_date=True))
    args = (arrays["targets"], arrays["rows"], arrays["rates"], arrays["initial"])
    return make_call(data, core.backtest_costs, *args, data.draw(_numbers), terms)


@target("_rebalance.order_costs")
def _order_costs(data):
    arrays, terms = data.draw(_cost_case(per_date=False))
    return make_call(data, core.order_costs, arrays["values"], arrays["traded"], terms)


@target("_rebalance.measures")
def _measures(data):
    benchmark = data.draw(st.one_of(st.none(), vectors))
    risk_free = data.draw(v.weighted(st.floats(-2, 1), v.numbers))
    return make_call(data, core.measures, data.draw(vectors), benchmark, risk_free)


@target("_rebalance.drawdown")
def _drawdown(data):
    return make_call(data, core.drawdown, data.draw(vectors))


@target("_rebalance.annual_return")
def _annual_return(data):
    return make_call(data, core.annual_return, data.draw(vectors))
