"""Fuzz targets of vantelo.objective: `ensure_series`, and every objective class built
from drawn arguments with one of its protocol methods called."""

import collections

from hypothesis import strategies as st

import vantelo.objective as objective
from reliability import values as v
from reliability.runner import make_call, target
from reliability.targets.protocol import constructed, protocol_target
from vantelo.const import STYLE_FACTORS


@target("objective.ensure_series")
def _ensure_series(data):
    return make_call(
        data, objective.ensure_series, data.draw(v.anything), data.draw(v.weighted(v.text))
    )


METHODS = ["get_objective_expr", "get_internal_constraints", "get_preferred_solver"]

_expected_returns = st.one_of(st.none(), v.returns_series)
# Plausible constructor arguments of each objective, one strategy per argument.
ARGUMENTS = collections.OrderedDict(
    [
        ("OptimizationObjective", ()),
        ("MinVariance", ()),
        ("RiskParity", ()),
        ("MinTrackingError", ()),
        ("MeanVariance", (_expected_returns, v.windows, st.floats(0, 10))),
        ("MaxSharpeRatio", (_expected_returns, v.windows)),
        ("MaxInformationRatio", (_expected_returns, v.windows)),
        ("MaxIndicator", (v.returns_series,)),
        (
            "MinStyleDeviation",
            (
                st.dictionaries(st.sampled_from(STYLE_FACTORS), v.finite_floats, max_size=3),
                st.booleans(),
                st.one_of(
                    st.none(),
                    st.dictionaries(
                        st.sampled_from(STYLE_FACTORS), st.integers(-3, 12), max_size=3
                    ),
                ),
            ),
        ),
    ]
)

for _name, _parts in ARGUMENTS.items():
    protocol_target(objective, _name, st.tuples(*map(v.weighted, _parts)), METHODS)

# Zero-argument functions building an objective from plausible arguments, for the
# targets that hand objectives on (portfolio_optimize).
factories = constructed(objective, {name: st.tuples(*parts) for name, parts in ARGUMENTS.items()})
