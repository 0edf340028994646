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

py::object resolved_benchmark(py::object benchmark, Language language) {
    if (benchmark.is_none()) {
        return benchmark;
    }
    const bool english = language == Language::English;
    if (PyUnicode_Check(benchmark.ptr())) {
        if (english) {
            // The index benchmark checks its code in Chinese; English callers are
            // answered before it is built.
            require_index_code(kExceptions, module_attr("vantelo.benchmark", "tidewell"),
                               benchmark, language);
        }
        benchmark = driver("IndexBenchmark")(benchmark);
    }
    if (!py::isinstance(benchmark, driver("OptimizeBenchmark"))) {
        invalid(format(english ? "benchmark: expected an index order_book_id or an "
                                 "OptimizeBenchmark, got {!r}"
                               : "无效的benchmark：{}；对于指数，可以直接传入对应的order_book_id；"
                                 "对于自定义基准，请传入一个 OptimizeBenchmark 的对象",
                       benchmark));
    }
    return benchmark;
}

void require_index_code(const char *module, py::handle client, py::handle code,
                        Language language) {
    const bool english = language == Language::English;
    py::object instrument = client.attr("instruments")(code);
    if (instrument.is_none()) {
        raise_invalid_argument(
            module,
            format(english ? "benchmark: unknown index {!r}" : "无效的 benchmark: {}", code));
    }
    py::object type = instrument.attr("type");
    if (!type.equal(py::str("INDX"))) {
        raise_invalid_argument(
            module, english
                        ? format("benchmark: {} is not an index (its type is {})", code, type)
                        : format("仅支持指数类型的 benchmark, 传入的 benchmark 是 {} 类型", type));
    }
}

py::object read_date(const char *module, py::handle date) {
    try {
        return driver("to_date")(date);
    } catch (py::error_already_set &error) {
        if (!error.matches(PyExc_ValueError) && !error.matches(PyExc_OverflowError)) {
            throw;
        }
        raise_in_context(module_attr(module, "InvalidArgument"),
                         format("date: {!r} is not a date ({})", date, error.value()), error);
    }
}

} // namespace vantelo
