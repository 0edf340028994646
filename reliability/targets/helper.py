"""Fuzz target of vantelo.helper: `OptimizeHelper` over the faked client, with a few of
its members read."""

import datetime

from hypothesis import strategies as st

import vantelo.benchmark as benchmark_module
import vantelo.helper as helper_module
from reliability import values as v
from reliability.fakes import scenarios, use
from reliability.runner import target
from reliability.targets.protocol import sorted_pools

HELPER_MEMBERS = [
    "prev_trading_date",
    "union_components",
    "benchmark_weight",
    "benchmark_components",
    "get_cov_matrix",
    "get_union_cov_matrix",
    "get_cov_factor",
    "get_union_cov_factor",
    "get_factor_exposure",
    "get_benchmark_style",
    "get_industry_mapping",
    "get_benchmark_industry_weight",
    "__repr__",
]


@target("helper.OptimizeHelper", weight=0.5)
def _optimize_helper(data):
    scenario = data.draw(scenarios)
    pool = data.draw(v.weighted(sorted_pools))
    date = data.draw(v.weighted(st.just(datetime.date(2024, 6, 28)), v.dates))
    bench = data.draw(
        st.one_of(
            st.none(),
            st.builds(
                lambda: benchmark_module.IndexBenchmark.__new__(benchmark_module.IndexBenchmark)
            ),
            v.anything,
        )
    )
    cov_model = data.draw(v.cov_models)
    members = data.draw(st.lists(st.sampled_from(HELPER_MEMBERS), min_size=1, max_size=3))
    classification = data.draw(v.classifications)

    def call():
        if isinstance(bench, benchmark_module.IndexBenchmark):
            bench._order_book_id = v.INDEX
        helper = helper_module.OptimizeHelper(pool, date, bench, cov_model)
        for member in members:
            value = getattr(helper, member)
            if member in ("get_industry_mapping", "get_benchmark_industry_weight"):
                value(classification)
            elif callable(value):
                value()
        return helper

    return use(scenario, call)
