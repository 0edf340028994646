// vantelo.benchmark: what a benchmark is to the optimiser (its holding weights on a
// date and, when asked, its annualised expected return), and the index benchmark
// backed by the market-data client.
#include "vantelo/common.hpp"
#include "vantelo/inputs.hpp"

#include <pybind11/eval.h>
#include <pybind11/options.h>

#include <tuple>

namespace vantelo {
namespace {

constexpr const char *kModule = "vantelo.benchmark";

py::object tidewell() { return module_attr(kModule, "tidewell"); }

constexpr const char *kGetWeightDoc = "\n"
                                      "        获取 date 日期的持仓权重。此函数必需实现。\n"
                                      "        :param date: datetime.date\n"
                                      "        :return: pd.Series, index 为order_book_id\n"
                                      "        ";

constexpr const char *kGetExpectedReturnsDoc =
    "\n"
    "        获得 date 日期的年化期望收益。\n"
    "        仅当使用 :class:`MaxInformationRatio` 目标函数，且不指定 "
    "`expected_active_returns` 时需要实现此函数\n"
    "        :param date: datetime.date\n"
    "        :param window: 回溯窗口大小\n"
    "        :return: float\n"
    "        ";

// A method a subclass must override, carrying abc's abstract-method marker. The
// marker is an attribute set on the function, which compiled functions cannot
// carry, so the method is a plain Python function (its signature written out)
// that forwards to the C++ body.
py::object abstract_method(py::module_ &m, const char *signature, const char *call,
                           const char *doc) {
    py::dict ns;
    ns["_body"] = py::cpp_function([](py::args) -> py::object { not_implemented(); });
    py::exec(
        py::str("def method{}:\n    return _body{}\n").format(py::str(signature), py::str(call)),
        ns);
    py::object method = ns["method"];
    method.attr("__doc__") = py::str(doc);
    return m.attr("abstractmethod")(method);
}

void define_optimize_benchmark(py::module_ &m) {
    ClassBuilder cls(m, "OptimizeBenchmark", py::str("自定义基准抽象类"));
    for (auto [name, signature, call, doc] :
         {std::make_tuple("get_weight", "(self, date)", "(self, date)", kGetWeightDoc),
          std::make_tuple("get_expected_returns", "(self, date, window=252)",
                          "(self, date, window)", kGetExpectedReturnsDoc)}) {
        py::object method = abstract_method(m, signature, call, doc);
        method.attr("__name__") = py::str(name);
        method.attr("__qualname__") = py::str("OptimizeBenchmark.{}").format(py::str(name));
        method.attr("__module__") = m.attr("__name__");
        cls.attr(name, method);
    }
}

void define_index_benchmark(py::module_ &m) {
    py::object base = m.attr("OptimizeBenchmark");
    ClassBuilder(m, "IndexBenchmark", py::none(), py::make_tuple(base))
        .init(
            [](py::object self, py::object order_book_id) {
                require_index_code(kModule, tidewell(), order_book_id, Language::Chinese);
                self.attr("_order_book_id") = order_book_id;
            },
            py::arg("order_book_id"))
        .method(
            "get_weight",
            [](py::object self, py::object date) {
                return tidewell().attr("index_weights")(self.attr("_order_book_id"), date);
            },
            py::arg("date"))
        .method(
            "get_expected_returns",
            [](py::object self, py::object date, py::object window) {
                return annualised_mean_return(tidewell(), self.attr("_order_book_id"), date,
                                              window);
            },
            py::arg("date"), py::arg("window") = kTradingDaysPerYear)
        // The index's code, for those who name or read the benchmark.
        .readonly_property("order_book_id",
                           [](py::object self) { return self.attr("_order_book_id"); });
}

} // namespace
} // namespace vantelo

PYBIND11_MODULE(benchmark, m) {
    using namespace vantelo;
    ModuleOptions options;

    import_names(m, "abc", {"abstractmethod"});
    import_modules(m, {{"tidewell"}});
    import_names(m, "vantelo.exception", {"InvalidArgument"});

    define_optimize_benchmark(m);
    define_index_benchmark(m);
}
