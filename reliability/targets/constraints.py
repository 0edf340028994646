"""Fuzz targets of vantelo.constraints: the bound and series helpers, and every constraint
class (and `wildcard_style_constraint`) built from drawn arguments, then asked for its
constraints or its `hard`."""

import collections

from hypothesis import strategies as st

import vantelo.constraints as constraints
from reliability import values as v
from reliability.runner import make_call, target
from reliability.targets.protocol import constructed, protocol_target


@target("constraints._ensure_bound")
def _ensure_bound(data):
    return make_call(
        data, constraints._ensure_bound, data.draw(v.bounds), data.draw(v.weighted(v.text))
    )


@target("constraints.ensure_series")
def _ensure_series(data):
    return make_call(
        data, constraints.ensure_series, data.draw(v.anything), data.draw(v.weighted(v.text))
    )


@target("constraints.get_deviation_value")
def _get_deviation_value(data):
    benchmark = data.draw(v.weighted(v.finite_floats, v.numbers))
    return make_call(data, constraints.get_deviation_value, benchmark, data.draw(v.deviations))


METHODS = ["to_constraints", "to_constraints", "hard"]

_hard = v.weighted(st.booleans())
_bound = v.weighted(st.one_of(st.none(), v.unit_floats))
_relative = v.weighted(st.booleans())
# The constructor arguments of each constraint, as a strategy of tuples.
ARGUMENTS = collections.OrderedDict(
    [
        ("OptimizationConstraint", st.just(())),
        ("TrackingErrorLimit", st.tuples(v.weighted(st.floats(0.001, 1)), _hard)),
        (
            "TurnoverLimit",
            st.tuples(v.weighted(v.returns_series), v.weighted(st.floats(0.01, 1)), _hard),
        ),
        ("BenchmarkComponentWeightLimit", st.tuples(v.weighted(v.unit_floats), _hard)),
        (
            "IndustryConstraint",
            st.tuples(
                v.weighted(v.industry_names),
                v.deviations,
                v.deviations,
                _relative,
                v.classifications,
                _hard,
            ),
        ),
        (
            "WildcardIndustryConstraint",
            st.tuples(
                v.weighted(st.one_of(st.none(), v.industry_names)),
                v.deviations,
                v.deviations,
                _relative,
                v.classifications,
                _hard,
            ),
        ),
        (
            "IndustryComponentLimit",
            st.tuples(
                v.weighted(st.sampled_from(v.INDUSTRIES)),
                _bound,
                _bound,
                v.classifications,
                _hard,
            ),
        ),
        (
            "StyleConstraint",
            st.tuples(v.styles, v.deviations, v.deviations, _relative, _hard),
        ),
        (
            "wildcard_style_constraint",
            st.tuples(
                v.weighted(st.one_of(st.none(), v.styles)),
                v.deviations,
                v.deviations,
                _relative,
                _hard,
            ),
        ),
    ]
)

for _name, _arguments in ARGUMENTS.items():
    protocol_target(constraints, _name, _arguments, METHODS)

# Zero-argument functions building a constraint object, for the targets that hand
# constraints on (portfolio_optimize).
factories = constructed(constraints, ARGUMENTS)
