"""Fuzz targets of vantelo.diagnose: the explanation of an infeasible problem and the
check of weights against the limits, with the arguments portfolio_optimize's target
draws (objectives, bounds, constraint objects of every kind, benchmarks)."""

import datetime

from hypothesis import strategies as st

import vantelo.diagnose as diagnose
from reliability import values as v
from reliability.fakes import scenarios, use
from reliability.runner import target
from reliability.targets.optimize import FuzzBenchmark, constraint_factories, objective_factories

benchmarks = st.one_of(
    st.none(), st.sampled_from([v.INDEX, "999999.XSHG"]), st.builds(FuzzBenchmark), v.anything
)
constraint_lists = st.one_of(st.none(), st.lists(constraint_factories, max_size=3))


def _made(factories):
    return None if factories is None else [make() for make in factories]


@target("diagnose.explain_infeasibility", weight=0.2)
def _explain_infeasibility(data):
    scenario = data.draw(scenarios)
    pool = data.draw(
        st.one_of(st.lists(st.sampled_from(v.CODES), min_size=2, max_size=5, unique=True), v.pools)
    )
    date = data.draw(v.weighted(st.just("2024-06-28"), v.dates))
    make_objective = data.draw(objective_factories)
    bnds, cons, bench = data.draw(v.bnds), data.draw(constraint_lists), data.draw(benchmarks)
    cov_model = data.draw(v.cov_models)

    def call():
        return diagnose.explain_infeasibility(
            pool, date, make_objective(), bnds, _made(cons), bench, cov_model
        )

    return use(scenario, call)


def check_target(function):
    """A target drawing weights and limits for `function` (the check, or its re-export)."""

    def draw(data):
        scenario = data.draw(scenarios)
        weights = data.draw(
            v.weighted(
                st.dictionaries(st.sampled_from(v.CODES), v.unit_floats, min_size=1), v.series
            )
        )
        date = data.draw(v.weighted(st.just(datetime.date(2024, 6, 28)), v.dates))
        bnds, cons, bench = data.draw(v.bnds), data.draw(constraint_lists), data.draw(benchmarks)
        cov_model = data.draw(v.cov_models)

        def call():
            return function(weights, date, bnds, _made(cons), bench, cov_model)

        return use(scenario, call)

    return draw


target("diagnose.check_constraints", weight=0.3)(check_target(diagnose.check_constraints))
