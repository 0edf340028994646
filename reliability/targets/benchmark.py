"""Fuzz targets of vantelo.benchmark: both benchmark classes and their methods."""

from hypothesis import strategies as st

import vantelo.benchmark as benchmark_module
from reliability import values as v
from reliability.fakes import scenarios, use
from reliability.runner import target


@target("benchmark.IndexBenchmark")
def _index_benchmark(data):
    scenario = data.draw(scenarios)
    code = data.draw(v.weighted(st.sampled_from([v.INDEX, v.CODES[0], "999999.XSHG"])))
    method = data.draw(st.sampled_from(["get_weight", "get_expected_returns", "window"]))
    date = data.draw(v.weighted(v.dates))
    window = data.draw(v.windows)

    def call():
        index = benchmark_module.IndexBenchmark(code)
        if method == "get_weight":
            return index.get_weight(date)
        if method == "window":
            return index.get_expected_returns(date, window)
        return index.get_expected_returns(date)

    return use(scenario, call)


@target("benchmark.OptimizeBenchmark")
def _optimize_benchmark(data):
    method = data.draw(st.sampled_from(["get_weight", "get_expected_returns"]))
    args = data.draw(st.lists(v.anything, max_size=3))
    return lambda: getattr(benchmark_module.OptimizeBenchmark(), method)(*args)
