"""Fuzz targets of vantelo.report and its compiled core: the report over the faked
client, `clean_weights`, and the core's two decompositions over drawn factor models."""

import datetime

from hypothesis import strategies as st

import vantelo.report as report
from reliability import values as v
from reliability.fakes import make_helper, scenarios, use
from reliability.runner import make_call, target
from reliability.targets.diagnose import check_target
from reliability.targets.optimize import FuzzBenchmark
from reliability.targets.protocol import sorted_pools
from vantelo import _report as report_core

report_weights = v.weighted(
    st.dictionaries(v.codes, v.unit_floats, min_size=1, max_size=4),
    v.series,
    st.dictionaries(v.codes, v.numbers, max_size=4),
)


def _with_factor_model(helper, exposure, factor_cov):
    """The fake helper, answering the report's factor-model question with drawn data."""
    helper.get_union_factor_model = lambda: (exposure, factor_cov)
    return helper


@target("report.portfolio_report", weight=0.5)
def _portfolio_report(data):
    scenario = data.draw(scenarios)
    weights = data.draw(report_weights)
    date = data.draw(v.weighted(st.just(datetime.date(2024, 6, 28)), v.dates))
    bench = data.draw(st.one_of(st.none(), st.builds(FuzzBenchmark), v.anything))
    cov_model = data.draw(v.cov_models)
    classification = data.draw(v.classifications)
    return use(
        scenario,
        make_call(data, report.portfolio_report, weights, date, bench, cov_model, classification),
    )


@target("report.clean_weights")
def _clean_weights(data):
    weights = data.draw(report_weights)
    cutoff = data.draw(v.weighted(st.sampled_from([0.0, 1e-4, 0.3]), v.numbers))
    decimals = data.draw(v.weighted(st.sampled_from([None, 0, 2, 6]), st.integers(-3, 400)))
    return make_call(data, report.clean_weights, weights, cutoff, decimals)


def _decomposition_target(function):
    def draw(data):
        scenario = data.draw(scenarios)
        pool = data.draw(v.weighted(sorted_pools))
        weights = data.draw(st.one_of(v.arrays, v.weighted(st.lists(v.finite_floats, max_size=6))))
        exposure = data.draw(v.weighted(v.frames))
        factor_cov = data.draw(v.weighted(v.frames))
        over_union = data.draw(st.booleans())

        def call():
            helper = _with_factor_model(make_helper(pool, None, None), exposure, factor_cov)
            return function(helper, weights, over_union)

        return use(scenario, call)

    return draw


target("_report.risk_decomposition", weight=0.5)(
    _decomposition_target(report_core.risk_decomposition)
)
target("_report.factor_decomposition", weight=0.5)(
    _decomposition_target(report_core.factor_decomposition)
)
target("report.check_constraints", weight=0.2)(check_target(report.check_constraints))


@target("_report.read_weights")
def _read_weights(data):
    weights = data.draw(v.weighted(report_weights, v.anything))
    name = data.draw(v.weighted(st.just("weights"), v.text))
    check_sum, warn_cash = data.draw(v.weighted(st.booleans())), data.draw(st.booleans())
    return make_call(data, report_core.read_weights, weights, name, check_sum, warn_cash)


@target("_report.read_date")
def _read_date(data):
    return make_call(data, report_core.read_date, data.draw(v.weighted(v.dates, v.text)))


@target("_report.resolved_benchmark")
def _resolved_benchmark(data):
    scenario = data.draw(scenarios)
    bench = data.draw(st.one_of(st.none(), st.builds(FuzzBenchmark), v.codes, v.anything))
    return use(scenario, make_call(data, report_core.resolved_benchmark, bench))
