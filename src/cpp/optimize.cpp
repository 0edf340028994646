// vantelo.optimize: the entry point. portfolio_optimize normalises its arguments,
// builds one OptimizeHelper, assembles the cvxpy problem from the objective, the
// weight bounds and the constraint objects, solves it (once more without the soft
// constraints when it is infeasible) and returns the weights.
#include "vantelo/common.hpp"
#include "vantelo/core.hpp"
#include "vantelo/direct.hpp"
#include "vantelo/inputs.hpp"

#include <pybind11/numpy.h>
#include <pybind11/options.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace vantelo {
namespace {

constexpr const char *kModule = "vantelo.optimize";

py::object attr(const char *name) { return module_attr(kModule, name); }

[[noreturn]] void invalid(py::handle message) { raise_invalid_argument(kModule, message); }

// ---------------------------------------------------------------------------
// Input normalisation
// ---------------------------------------------------------------------------

py::object to_enum(py::object value, py::object enum_type) {
    if (py::isinstance(value, enum_type)) {
        return value;
    }
    for (py::handle member : enum_type.attr("__members__").attr("values")()) {
        if (value.equal(member) || value.equal(member.attr("value"))) {
            return py::reinterpret_borrow<py::object>(member);
        }
    }
    invalid(format("invalid value {} for {}", value, enum_type.attr("__name__")));
}

py::object to_date(py::object dt) {
    py::object datetime = attr("datetime");
    if (py::isinstance(dt, datetime.attr("datetime"))) {
        return dt.attr("date")();
    }
    if (py::isinstance(dt, datetime.attr("date"))) {
        return dt;
    }
    if (PyUnicode_Check(dt.ptr())) {
        return attr("parse_datetime")(dt).attr("date")();
    }
    invalid(percent_format("expect a datetime like object, got %r(%r)",
                           py::make_tuple(py::type::of(dt), dt)));
}

py::object ensure_date_str(py::object date) {
    py::object day = attr("to_date")(date);
    return percent_format("%04d-%02d-%02d",
                          py::make_tuple(day.attr("year"), day.attr("month"), day.attr("day")));
}

py::object ensure_order_book_ids(py::object order_book_ids, py::object date) {
    return pool_of(order_book_ids, date, attr("tidewell"));
}

// ---------------------------------------------------------------------------
// Weight bounds
// ---------------------------------------------------------------------------

py::object ensure_bound(py::object value) {
    // Unlike the constraints' bounds, "nan" passes here, and an integer too
    // large for a float keeps its OverflowError.
    return bound_or_none(kModule, value, false,
                         [&] { return format("约束的上限或下限非法: {}", value); });
}

// `a, b = value` with the interpreter's own errors for a wrong number of parts.
std::pair<py::object, py::object> unpack_pair(py::handle value) {
    PyObject *iterator = PyObject_GetIter(value.ptr());
    if (iterator == nullptr) {
        // Only "not iterable" becomes the unpacking message; an error the value's
        // own __iter__ raised is the caller's and passes unchanged.
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) {
            throw py::error_already_set();
        }
        PyErr_Clear();
        PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                     Py_TYPE(value.ptr())->tp_name);
        throw py::error_already_set();
    }
    py::iterator parts = py::reinterpret_steal<py::iterator>(iterator);
    py::object items[2];
    for (int i = 0; i < 2; ++i) {
        PyObject *item = PyIter_Next(parts.ptr());
        if (item == nullptr) {
            if (PyErr_Occurred()) {
                throw py::error_already_set();
            }
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %d)", i);
            throw py::error_already_set();
        }
        items[i] = py::reinterpret_steal<py::object>(item);
    }
    PyObject *extra = PyIter_Next(parts.ptr());
    if (extra != nullptr) {
        Py_DECREF(extra);
        PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        throw py::error_already_set();
    }
    if (PyErr_Occurred()) {
        throw py::error_already_set();
    }
    return {items[0], items[1]};
}

// A per-stock bound must lie in [0, 1]; written as a negated range test so that
// NaN, which compares false with everything, is rejected too.
bool outside_unit_interval(py::handle value) {
    py::int_ zero(0);
    py::int_ one(1);
    // equal_to rather than rich_equal: the latter takes identity as equality.
    return !(!(value < zero) && !(value > one) && truthy(equal_to(value, value)));
}

constexpr const char *kNotAPair = "上下限应该以 (lower, upper) 的形式指定";

py::tuple parse_bnds(py::object bnds, py::object order_book_ids) {
    if (!PyDict_Check(bnds.ptr())) {
        invalid(py::str(
            "bnds 应该是一个类似 dict 的结构，key 为order_book_id, value 为 (lower, upper)"));
    }
    py::str wildcard("*");
    py::object default_pair =
        bnds.contains(wildcard) ? bnds[wildcard] : py::object(py::make_tuple(0.0, 1.0));
    auto [default_lower, default_upper] = unpack_pair(default_pair);
    double lower = default_lower.is_none() ? 0.0 : as_double(default_lower);
    double upper = default_upper.is_none() ? 1.0 : as_double(default_upper);
    // The default pair obeys the per-stock rule: a side outside [0, 1] (a
    // percentage such as 5 for 5%, a NaN) is refused, naming "*", rather than
    // passed on as a bound that either never binds or cannot be met.
    if (!(lower >= 0.0 && lower <= 1.0)) {
        invalid(format("合约 {} 的下限 {} 无效", wildcard, default_lower));
    }
    if (!(upper >= 0.0 && upper <= 1.0)) {
        invalid(format("合约 {} 的上限 {} 无效", wildcard, default_upper));
    }
    if (upper < lower) {
        invalid(format("合约 {} 的上限 {} 小于下限 {}", wildcard, default_upper, default_lower));
    }

    const py::ssize_t n = py::len(order_book_ids);
    py::array_t<double> lower_bounds(n);
    py::array_t<double> upper_bounds(n);
    double *lows = lower_bounds.mutable_data();
    double *highs = upper_bounds.mutable_data();
    for (py::ssize_t i = 0; i < n; ++i) {
        lows[i] = lower;
        highs[i] = upper;
    }

    py::ssize_t i = 0;
    // A plain dict is asked first whether it has the code: most pool stocks usually
    // have no key of their own, and a KeyError per stock costs more than the rest.
    const bool plain_dict = PyDict_CheckExact(bnds.ptr());
    for (py::handle code : order_book_ids) {
        if (plain_dict) {
            const int has = PyDict_Contains(bnds.ptr(), code.ptr());
            if (has < 0) {
                throw py::error_already_set();
            }
            if (has == 0) {
                ++i;
                continue;
            }
        }
        // Only the lookup's KeyError means "no bound given": one raised while the
        // caller's value is unpacked or compared is the caller's and passes.
        PyObject *found = PyObject_GetItem(bnds.ptr(), code.ptr());
        if (found == nullptr) {
            if (PyErr_ExceptionMatches(PyExc_KeyError)) {
                PyErr_Clear();
                ++i;
                continue;
            }
            py::error_already_set error;
            if (error.matches(PyExc_TypeError)) {
                raise_in_context(attr("InvalidArgument"), py::str(kNotAPair), error);
            }
            throw std::move(error);
        }
        py::object value = py::reinterpret_steal<py::object>(found);
        try {
            auto [low, high] = unpack_pair(value);
            if (low.is_none()) {
                low = py::int_(0);
            }
            if (high.is_none()) {
                high = py::int_(1);
            }
            if (outside_unit_interval(low)) {
                invalid(format("合约 {} 的下限 {} 无效", code, low));
            }
            if (outside_unit_interval(high)) {
                invalid(format("合约 {} 的上限 {} 无效", code, high));
            }
            if (high < low) {
                invalid(format("合约 {} 的上限 {} 小于下限 {}", code, high, low));
            }
            lows[i] = as_double(low);
            highs[i] = as_double(high);
        } catch (py::error_already_set &error) {
            if (error.matches(PyExc_TypeError)) {
                raise_in_context(attr("InvalidArgument"), py::str(kNotAPair), error);
            }
            throw;
        }
        ++i;
    }

    if (lower_bounds.attr("sum")().cast<double>() > 1.0) {
        invalid(py::str("下限之和大于1"));
    }
    if (upper_bounds.attr("sum")().cast<double>() < 1.0) {
        invalid(py::str("上限之和小于1"));
    }
    return py::make_tuple(lower_bounds, upper_bounds);
}

// ---------------------------------------------------------------------------
// The entry point: the stages of one optimisation over this module's attributes
// ---------------------------------------------------------------------------

py::object portfolio_optimize(py::object order_book_ids, py::object date, py::object objective,
                              py::object bnds, py::object cons, py::object benchmark,
                              py::object cov_model) {
    Collaborators with = driver_collaborators();
    bool single = false;
    Inputs inputs =
        normalise(order_book_ids, date, objective, bnds, cons, benchmark, cov_model, with, single);
    if (single) {
        py::dict answer;
        answer[inputs.pool[py::int_(0)]] = 1.0;
        return std::move(answer);
    }
    py::object helper = build_helper(inputs, with);
    std::string reason;
    Outcome outcome;
    if (direct_eligible(inputs, with, reason)) {
        outcome = solve_direct(inputs, helper, with);
    } else {
        Problem problem = assemble(inputs, helper, with);
        outcome = solve(problem, inputs, helper, with);
    }
    return attr("pd").attr("Series")(outcome.weights, py::arg("index") = inputs.pool);
}

constexpr const char *kPortfolioOptimizeDoc = R"(
    组合优化。

    支持的目标函数：

    * MinVariance：风险最小化（默认）
    * MeanVariance：收益/风险优化，在预期收益与风险之间权衡
    * RiskParity：风险平价，各股票的风险贡献相等
    * MinTrackingError：最小化相对于基准的追踪误差
    * MaxInformationRatio：最大化信息比率
    * MaxSharpeRatio：最大化夏普比率
    * MaxIndicator：最大化组合的指标暴露
    * MinStyleDeviation：最小化组合风格与目标风格的偏离

    支持的约束类型：

    * TrackingErrorLimit：追踪误差约束
    * TurnoverLimit：换手率约束
    * BenchmarkComponentWeightLimit：基准成分股权重之和的下限
    * IndustryConstraint：指定行业的权重约束，可以为绝对值或相对于基准
    * WildcardIndustryConstraint：除排除列表外其他行业的权重约束
    * IndustryComponentLimit：行业内个股占行业权重的约束
    * StyleConstraint：风格暴露约束，可以为绝对值或相对于基准

    :param order_book_ids: 候选股票列表
    :param date: 优化日期
    :param objective: 目标函数，默认为 MinVariance
    :param bnds: 个股权重上下界，dict 类型，key 为 order_book_id 或 "*"，value 为 (lower_limit, upper_limit)；
        lower_limit 及 upper_limit 为 [0, 1] 之间的数，或为 None 表示该方向不限制；"*" 代表所有未指定的股票；
        默认所有股票的权重范围为 [0, 1]
    :param cons: 约束列表
    :param benchmark: 基准。对于指数，传入指数的 order_book_id；对于自定义基准，传入 OptimizeBenchmark 派生类的对象
    :param cov_model: 协方差模型，支持日度、月度及季度因子模型
    :return: pd.Series，组合的最优权重
    )";

} // namespace
} // namespace vantelo

PYBIND11_MODULE(optimize, m) {
    using namespace vantelo;
    ModuleOptions options;

    import_modules(m, {{"warnings"}, {"datetime"}, {"time"}, {"logging"}});
    import_names(m, "typing", {"Iterable"});
    import_into(m, "dateutil.parser", "parse", "parse_datetime");
    import_modules(m, {{"pandas", "pd"}, {"numpy", "np"}, {"tidewell"}});
    // cvxpy (75 MB with what it pulls in) is loaded when a call first needs it.
    import_lazily(m, "cvxpy", "cp");
    import_names(m, "vantelo.exception",
                 {"InvalidArgument", "OptimizationFailed", "OptimizerWarning"});
    py::module_ constants = py::module_::import("vantelo.const");
    for (py::handle name : constants.attr("__all__")) {
        m.attr(name) = constants.attr(name);
    }
    import_names(m, "vantelo.helper", {"OptimizeHelper"});
    import_names(m, "vantelo.benchmark", {"IndexBenchmark", "OptimizeBenchmark"});
    import_names(m, "vantelo.objective",
                 {"OptimizationObjective", "MinVariance", "MaxInformationRatio", "MaxSharpeRatio",
                  "MinTrackingError", "RiskParity"});

    m.attr("warnings")
        .attr("simplefilter")("always", py::arg("category") = m.attr("OptimizerWarning"));

    def_function(m, "to_enum", &to_enum, py::arg("v"), py::arg("enum_type"));
    def_function(m, "to_date", &to_date, py::arg("dt"), py::pos_only());
    def_function(m, "ensure_date_str", &ensure_date_str, py::arg("date"), py::pos_only());
    def_function(m, "ensure_order_book_ids", &ensure_order_book_ids, py::arg("order_book_ids"),
                 py::arg("date"));
    def_function(m, "ensure_bound", &ensure_bound, py::arg("v"), py::pos_only());
    def_function(m, "parse_bnds", &parse_bnds, py::arg("bnds"), py::arg("order_book_ids"));

    m.attr("DEFAULT_OBJECTIVE") = m.attr("MinVariance")();
    def_function(m, "portfolio_optimize", &portfolio_optimize, kPortfolioOptimizeDoc,
                 py::arg("order_book_ids"), py::arg("date"),
                 py::arg("objective") = m.attr("DEFAULT_OBJECTIVE"), py::arg("bnds") = py::none(),
                 py::arg("cons") = py::none(), py::arg("benchmark") = py::none(),
                 py::arg("cov_model") = m.attr("CovModel").attr("FACTOR_MODEL_DAILY"));
}
