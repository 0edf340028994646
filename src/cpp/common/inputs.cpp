#include "vantelo/inputs.hpp"

namespace vantelo {
namespace {

constexpr const char *kExceptions = "vantelo.exception";

py::object driver(const char *name) { return module_attr("vantelo.optimize", name); }

[[noreturn]] void invalid(py::handle message) { raise_invalid_argument(kExceptions, message); }

} // namespace

py::object cleaned_pool(py::handle order_book_ids, py::object &date) {
    date = driver("to_date")(date);
    py::object pool = driver("ensure_order_book_ids")(order_book_ids, date);
    if (py::len(pool) == 0) {
        invalid(py::str("经过剔除后，股票池为空"));
    }
    return pool;
}

py::object checked_benchmark(py::handle objective, py::object benchmark) {
    if (!py::isinstance(objective, driver("OptimizationObjective"))) {
        invalid(py::str("非法的目标函数"));
    }
    const bool needs_benchmark = py::isinstance(objective, driver("MinTrackingError")) ||
                                 py::isinstance(objective, driver("MaxSharpeRatio")) ||
                                 py::isinstance(objective, driver("MaxInformationRatio"));
    if (needs_benchmark && benchmark.is_none()) {
        invalid(format("对于目标函数 {}，必须传入 benchmark 参数",
                       py::type::of(objective).attr("__name__")));
    }
    return resolved_benchmark(benchmark);
}

py::object resolved_benchmark(py::object benchmark) {
    if (benchmark.is_none()) {
        return benchmark;
    }
    if (PyUnicode_Check(benchmark.ptr())) {
        benchmark = driver("IndexBenchmark")(benchmark);
    }
    if (!py::isinstance(benchmark, driver("OptimizeBenchmark"))) {
        invalid(format("无效的benchmark：{}；对于指数，可以直接传入对应的order_book_id；"
                       "对于自定义基准，请传入一个 OptimizeBenchmark 的对象",
                       benchmark));
    }
    return benchmark;
}

} // namespace vantelo
