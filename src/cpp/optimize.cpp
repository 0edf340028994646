// vantelo.optimize: the entry point. portfolio_optimize normalises its arguments,
// builds one OptimizeHelper, assembles the cvxpy problem from the objective, the
// weight bounds and the constraint objects, solves it (once more without the soft
// constraints when it is infeasible) and returns the weights.
#include "vantelo/common.hpp"
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
constexpr int kMaxIterations = 10000;

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

// The codes the instrument data has for `unknown` codes written without an
// exchange suffix ("000012" for "000012.XSHE"), as "000012 → 000012.XSHE" texts.
py::list suffixed_suggestions(const py::list &unknown) {
    py::list candidates;
    py::list bare;
    for (py::handle code : unknown) {
        if (!PyUnicode_Check(code.ptr()) || py::len(code) == 0 ||
            truthy(code.attr("__contains__")("."))) {
            continue;
        }
        bare.append(code);
        for (py::handle exchange : module_attr("vantelo.const", "EXCHANGES")) {
            candidates.append(format("{}.{}", code, exchange));
        }
    }
    py::list suggestions;
    if (py::len(candidates) == 0) {
        return suggestions;
    }
    py::dict found;
    for (py::handle record : attr("tidewell").attr("instruments")(candidates)) {
        if (record.is_none()) {
            continue;
        }
        py::str suffixed(record.attr("order_book_id"));
        py::object base = suffixed.attr("split")(".")[py::int_(0)];
        if (!found.contains(base)) {
            found[base] = py::list();
        }
        found[base].cast<py::list>().append(suffixed);
    }
    for (py::handle code : bare) {
        if (found.contains(code)) {
            suggestions.append(format("{} → {}", code, py::str(" / ").attr("join")(found[code])));
        }
    }
    return suggestions;
}

// Codes the instrument data does not know would otherwise vanish from the pool
// without a word: one warning names them, with the suffixed codes the data has
// for those given without an exchange suffix.
void warn_unknown_codes(py::handle requested, const py::set &known) {
    py::list unknown;
    py::set seen;
    for (py::handle code : requested) {
        if (!known.contains(code) && !seen.contains(code)) {
            seen.add(code);
            unknown.append(code);
        }
    }
    if (py::len(unknown) == 0) {
        return;
    }
    py::str message =
        format("{} 个代码在合约数据中找不到，被剔除：{}", py::len(unknown), first_items(unknown));
    py::list suggestions = suffixed_suggestions(unknown);
    if (py::len(suggestions) > 0) {
        message = format("{}；缺少交易所后缀的代码在合约数据中有：{}", message,
                         first_items(suggestions));
    }
    warn_optimizer(kModule, message);
}

py::object ensure_order_book_ids(py::object order_book_ids, py::object date) {
    if (!py::isinstance(order_book_ids, attr("Iterable"))) {
        invalid(py::str("order_book_ids 非法"));
    }
    py::object date_text = attr("ensure_date_str")(date);
    // The codes asked for, kept to name those the client does not know. A
    // one-shot iterator is read into a list first, so both uses see every code.
    py::object requested = order_book_ids;
    if (PyUnicode_Check(order_book_ids.ptr())) {
        requested = py::make_tuple(order_book_ids);
    } else if (PyIter_Check(order_book_ids.ptr())) {
        order_book_ids = list_copy(order_book_ids);
        requested = order_book_ids;
    }
    py::object instruments = attr("tidewell").attr("instruments")(order_book_ids);
    if (!PyList_Check(instruments.ptr())) {
        instruments = py::list(py::make_tuple(instruments));
    }

    py::object warnings = attr("warnings");
    py::str stock_type("CS");
    py::str not_delisted("0000-00-00");
    py::set kept;
    py::set known;
    for (py::handle record : instruments) {
        // The client answers None for a single code it does not know; such a
        // code leaves nothing in the pool, which the driver then reports.
        if (record.is_none()) {
            continue;
        }
        py::object code = record.attr("order_book_id");
        known.add(code);
        if (kept.contains(code)) {
            warnings.attr("warn")(format("重复的 order_book_id: {}, 仅保留一个", code));
            continue;
        }
        if (!py::object(record.attr("type")).equal(stock_type)) {
            warn_optimizer(kModule, format("{} 不是股票，被剔除", code));
            continue;
        }
        py::object listed = record.attr("listed_date");
        if (listed > date_text) {
            warn_optimizer(kModule, format("{} 在 {} 尚未上市，被剔除", code, date_text));
            continue;
        }
        if (listed.equal(date_text)) {
            warn_optimizer(kModule, format("{} 在 {} 当天上市，被剔除", code, date_text));
            continue;
        }
        py::object delisted = record.attr("de_listed_date");
        if (!delisted.equal(not_delisted) && !(delisted > date_text)) {
            warn_optimizer(kModule, format("{} 在 {} 时已退市，被剔除", code, date_text));
            continue;
        }
        kept.add(code);
    }
    warn_unknown_codes(requested, known);
    py::list pool(kept);
    pool.attr("sort")();
    return std::move(pool);
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
// The solve
// ---------------------------------------------------------------------------

// The iteration limit under each solver's own keyword; a solver missing here is
// given no limit rather than a keyword it would reject.
py::dict solve_options(py::object solver) {
    static const std::pair<const char *, const char *> kIterationKeyword[] = {
        {"SCS", "max_iters"},   {"ECOS", "max_iters"},    {"CLARABEL", "max_iter"},
        {"OSQP", "max_iter"},   {"PIQP", "max_iter"},     {"PROXQP", "max_iter"},
        {"CVXOPT", "maxiters"}, {"ECOS_BB", "max_iters"},
    };
    py::dict options;
    options["solver"] = solver;
    if (!PyUnicode_Check(solver.ptr())) {
        return options;
    }
    std::string name = solver.cast<std::string>();
    for (const auto &[solver_name, keyword] : kIterationKeyword) {
        if (name == solver_name) {
            options[keyword] = kMaxIterations;
        }
    }
    return options;
}

py::object elapsed_since(py::object start) { return attr("time").attr("perf_counter")() - start; }

// The module's own logger: records reach whatever handlers the application set
// up, and logging through it never configures the root logger on the user's
// behalf (the module-level logging functions do, on first use).
py::object logger() { return attr("logging").attr("getLogger")(kModule); }

// How far a returned weight may lie outside its bounds or hard constraints:
// about the accuracy SCS reaches at its default settings.
constexpr double kFeasibilityTolerance = 1e-3;
// The accuracy of the one tighter SCS solve.
constexpr double kTightAccuracy = 1e-7;

// RiskParity's expression, as the driver solves it: the risk term in a unit
// proportional to the pool's equal-weight variance, so that the solver sees the
// same numbers whatever the covariance's unit (the problem is homogeneous in g, so the normalised
// weights are unchanged). A stock whose upper bound is 0 can only hold 0, where
// the logarithm of its weight is undefined: the barrier leaves it out (the bound
// keeps it at 0), so the problem stays solvable. A subclass that writes its own
// expression keeps it.
py::object risk_parity_expression(py::handle objective, py::handle g, py::handle zeta,
                                  py::handle helper, py::handle upper_bound) {
    py::object own = py::type::of(objective).attr("get_objective_expr");
    py::object base = attr("RiskParity").attr("get_objective_expr");
    if (!own.is(base)) {
        return objective.attr("get_objective_expr")(g, zeta, helper);
    }
    py::object held = py::none();
    if (!upper_bound.is_none()) {
        py::object positive = attr("np").attr("greater")(upper_bound, 0.0);
        if (!truthy(positive.attr("all")())) {
            held = positive;
        }
    }
    return module_attr("vantelo.objective", "_risk_parity_expr")(g, helper, held);
}

bool problem_has_constraints(py::handle problem) {
    return py::len(problem.attr("constraints")) > 0;
}

// How far `constraint` is broken at the variables' current values, on the scale of
// the limit the caller gave: a quadratic form held below a square (a tracking error
// held below its limit squared) is measured as the difference of the square roots,
// a volatility, since in variance units an overshoot of 1.95% over a 1.5% limit is
// only 1.6e-4.
double constraint_violation(py::handle constraint) {
    py::object np = attr("np");
    py::object inequality = attr("cp").attr("constraints").attr("Inequality");
    if (py::isinstance(constraint, inequality)) {
        py::sequence sides = constraint.attr("args");
        py::object lhs = sides[0];
        py::object rhs = sides[1];
        if (!truthy(lhs.attr("is_affine")()) && truthy(lhs.attr("is_quadratic")()) &&
            truthy(rhs.attr("is_constant")()) && py::len(lhs.attr("shape")) == 0) {
            const double form = lhs.attr("value").cast<double>();
            const double square = rhs.attr("value").cast<double>();
            if (std::isnan(form) || std::isnan(square)) {
                return std::numeric_limits<double>::quiet_NaN();
            }
            return std::max(0.0,
                            std::sqrt(std::max(form, 0.0)) - std::sqrt(std::max(square, 0.0)));
        }
    }
    return np.attr("max")(constraint.attr("violation")(), py::arg("initial") = 0.0).cast<double>();
}

// The largest amount by which `weight` breaks a constraint of `checked` (or its
// nonnegativity), in the units of its limit (a weight, an exposure, a volatility):
// each constraint is evaluated at g = weight times the scale, the scale divided out
// again.
double worst_violation(const py::list &checked, py::handle g, py::handle zeta, py::handle weight) {
    py::object np = attr("np");
    double worst = std::max(0.0, -np.attr("min")(weight).cast<double>());
    if (py::len(checked) == 0) {
        return worst;
    }
    const bool variable_scale = py::isinstance(zeta, attr("cp").attr("Variable"));
    const double scale = variable_scale ? zeta.attr("value").cast<double>() : zeta.cast<double>();
    if (!(scale > 0.0)) {
        return std::numeric_limits<double>::infinity();
    }
    g.attr("value") = np.attr("maximum")(weight * py::float_(scale), 0.0);
    for (py::handle constraint : checked) {
        const double violation = constraint_violation(constraint);
        if (std::isnan(violation)) {
            return std::numeric_limits<double>::infinity();
        }
        worst = std::max(worst, violation / scale);
    }
    return worst;
}

// One more solve of `problem` at a tighter accuracy; a result that is not optimal
// then is a failure.
py::object solve_tightly(py::handle problem, py::handle solver) {
    py::object cp = attr("cp");
    py::dict options = solve_options(py::reinterpret_borrow<py::object>(solver));
    options["eps_abs"] = kTightAccuracy;
    options["eps_rel"] = kTightAccuracy;
    py::object result;
    try {
        py::object start_at = attr("time").attr("perf_counter")();
        result = problem.attr("solve")(**options);
        logger().attr("info")("solve time: %f, optimization result = %f", elapsed_since(start_at),
                              result);
    } catch (py::error_already_set &error) {
        if (error.matches(cp.attr("SolverError"))) {
            raise_in_context(attr("OptimizationFailed"), py::str("failed"), error);
        }
        throw;
    }
    py::object status = problem.attr("status");
    if (!status.equal(cp.attr("OPTIMAL")) && !status.equal(cp.attr("OPTIMAL_INACCURATE"))) {
        raise(attr("OptimizationFailed"), result);
    }
    return result;
}

// The constraints of one problem: the hard ones, the soft ones (dropped when the
// problem is infeasible), and the hard ones a returned portfolio must meet (the
// bounds and those of the hard constraint objects; the objective's own are its
// formulation).
struct ProblemConstraints {
    py::list hard;
    py::list soft;
    py::list checked;
    py::object upper_bound = py::none();
};

ProblemConstraints collect_constraints(py::handle objective, py::handle bnds, py::handle cons,
                                       py::handle pool, py::handle g, py::handle zeta,
                                       py::handle helper) {
    ProblemConstraints result;
    py::list &hard_cons = result.hard;
    hard_cons.append(equal_to(attr("cp").attr("sum")(g) - zeta, py::int_(0)));
    for (py::handle constraint : objective.attr("get_internal_constraints")(g, zeta, helper)) {
        hard_cons.append(constraint);
    }
    if (!bnds.is_none()) {
        py::tuple bounds = attr("parse_bnds")(bnds, pool);
        result.upper_bound = bounds[1];
        hard_cons.append(greater_equal(g - zeta * bounds[0], py::int_(0)));
        hard_cons.append(less_equal(g - zeta * bounds[1], py::int_(0)));
        result.checked.append(hard_cons[py::len(hard_cons) - 2]);
        result.checked.append(hard_cons[py::len(hard_cons) - 1]);
    }
    if (!cons.is_none()) {
        for (py::handle constraint : cons) {
            const bool hard = truthy(constraint.attr("hard"));
            py::list &target = hard ? hard_cons : result.soft;
            for (py::handle item : constraint.attr("to_constraints")(g, zeta, helper)) {
                target.append(item);
                if (hard) {
                    result.checked.append(item);
                }
            }
        }
    }
    return result;
}

// Solves `problem` until it is solved: an infeasible problem with soft
// constraints is solved once more without them (with an OptimizerWarning); any
// other failure raises OptimizationFailed, an infeasible one with a diagnosis of
// the limits that collide. Returns the solver's result; `problem` is the one
// that was solved.
py::object solve_with_soft_retry(py::object &problem, ProblemConstraints &constraints,
                                 py::handle objective, py::handle pool, py::handle bnds,
                                 py::handle cons, py::handle helper) {
    py::object cp = attr("cp");
    py::object result;
    while (true) {
        try {
            py::object start_at = attr("time").attr("perf_counter")();
            result =
                problem.attr("solve")(**solve_options(objective.attr("get_preferred_solver")()));
            logger().attr("info")("solve time: %f, optimization result = %f",
                                  elapsed_since(start_at), result);
        } catch (py::error_already_set &error) {
            if (error.matches(cp.attr("SolverError"))) {
                raise_in_context(attr("OptimizationFailed"), py::str("failed"), error);
            }
            throw;
        }
        py::object status = problem.attr("status");
        if (status.equal(cp.attr("OPTIMAL")) || status.equal(cp.attr("OPTIMAL_INACCURATE"))) {
            return result;
        }
        if (status.equal(cp.attr("INFEASIBLE")) ||
            status.equal(cp.attr("INFEASIBLE_INACCURATE"))) {
            if (py::len(constraints.soft) > 0) {
                warn_optimizer(kModule, py::str("约束无法满足，放弃所有软约束重试"));
                constraints.soft = py::list();
                problem = cp.attr("Problem")(problem.attr("objective"), constraints.hard);
                continue;
            }
            // Which limits collide, and by how much, travels with the failure.
            py::object error = attr("OptimizationFailed")(result);
            error.attr("diagnosis") = module_attr("vantelo.diagnose", "_explain_failure")(
                pool, objective, bnds, cons, helper);
            PyErr_SetObject(py::type::of(error).ptr(), error.ptr());
            throw py::error_already_set();
        }
        raise(attr("OptimizationFailed"), result);
    }
}

// The solution of g over its sum, once it is a portfolio: a solver may call a
// problem solved and hand back no usable point, and whatever the status, a
// portfolio beyond its bounds or hard constraints is no answer. Warns when the
// solver stopped short of its accuracy.
py::object checked_weights(py::handle problem, py::object result, py::handle objective,
                           const py::list &checked, py::handle g, py::handle zeta) {
    py::object cp = attr("cp");
    py::object solution = g.attr("value");
    py::object total = solution.attr("sum")();
    py::object scale = py::isinstance(zeta, cp.attr("Variable"))
                           ? zeta.attr("value")
                           : py::reinterpret_borrow<py::object>(zeta);
    // Risk parity without limits is solved over g alone: its scale is g's sum.
    if (scale.is_none()) {
        scale = total;
    }
    logger().attr("debug")("g.value.sum() = %f, zeta = %f", total, scale);
    // A solver may call a problem solved and hand back no usable point; that is
    // a failure, not a portfolio.
    const double sum = total.cast<double>();
    if (!std::isfinite(sum) || sum <= 0.0) {
        raise(attr("OptimizationFailed"), result);
    }
    // Whatever the status, a portfolio beyond its bounds or hard constraints is no
    // answer. SCS at its default accuracy can overshoot a binding limit by about
    // the tolerance on large pools, so it gets one tighter solve first.
    const bool constrained = problem_has_constraints(problem);
    double worst = constrained ? worst_violation(checked, g, zeta, solution / total) : 0.0;
    if (worst > kFeasibilityTolerance) {
        py::object solver = objective.attr("get_preferred_solver")();
        if (solver.equal(py::str("SCS"))) {
            result = solve_tightly(problem, solver);
            solution = g.attr("value");
            total = solution.attr("sum")();
            const double tight_sum = total.cast<double>();
            if (!std::isfinite(tight_sum) || tight_sum <= 0.0) {
                raise(attr("OptimizationFailed"), result);
            }
            worst = worst_violation(checked, g, zeta, solution / total);
        }
        if (worst > kFeasibilityTolerance) {
            raise(attr("OptimizationFailed"),
                  format("求解结果违反约束 {:.3g}，超过容差 {}", worst, kFeasibilityTolerance));
        }
    }
    if (py::object(problem.attr("status")).equal(cp.attr("OPTIMAL_INACCURATE"))) {
        warn_optimizer(
            kModule, py::str("达到最大迭代次数，但仍未达到所需精度，可能会导致某些约束不能满足"));
    }
    return solution / total;
}

py::object portfolio_optimize(py::object order_book_ids, py::object date, py::object objective,
                              py::object bnds, py::object cons, py::object benchmark,
                              py::object cov_model) {
    py::object pool = cleaned_pool(order_book_ids, date);
    const py::ssize_t n = py::len(pool);
    if (n < 2) {
        // The one stock takes the whole portfolio, which its own bounds may forbid:
        // parse_bnds then reports the bound that cannot be met. Anything but a
        // dictionary of bounds is left to a pool that needs solving.
        if (PyDict_Check(bnds.ptr())) {
            attr("parse_bnds")(bnds, pool);
        }
        py::dict single;
        single[pool[py::int_(0)]] = 1.0;
        return std::move(single);
    }

    benchmark = checked_benchmark(objective, benchmark);
    cov_model = attr("to_enum")(cov_model, attr("CovModel"));

    py::object helper = attr("OptimizeHelper")(pool, date, benchmark, cov_model);

    py::object cp = attr("cp");
    py::object variable = cp.attr("Variable");
    py::object g = variable(n, py::arg("nonneg") = true);
    py::object zeta;
    const bool ratio_objective = py::isinstance(objective, attr("MaxInformationRatio")) ||
                                 py::isinstance(objective, attr("MaxSharpeRatio"));
    const bool risk_parity = py::isinstance(objective, attr("RiskParity"));
    // Risk parity scales like the ratio objectives: its weights are g / sum(g)
    // at any scale, so a fixed budget would only bend the barrier's optimum away
    // from equal risk contributions, and every bound and limit, written as a
    // multiple of zeta, stays homogeneous.
    if (ratio_objective || risk_parity) {
        zeta = variable(py::arg("nonneg") = true);
    } else {
        zeta = py::float_(1.0);
    }

    ProblemConstraints constraints =
        collect_constraints(objective, bnds, cons, pool, g, zeta, helper);

    py::object expression =
        risk_parity ? risk_parity_expression(objective, g, zeta, helper, constraints.upper_bound)
                    : objective.attr("get_objective_expr")(g, zeta, helper);
    py::object problem;
    if (risk_parity && !truthy(bnds) && !truthy(cons)) {
        problem = cp.attr("Problem")(cp.attr("Minimize")(expression));
    } else {
        problem = cp.attr("Problem")(cp.attr("Minimize")(expression),
                                     constraints.hard + constraints.soft);
    }

    py::object result =
        solve_with_soft_retry(problem, constraints, objective, pool, bnds, cons, helper);
    py::object weight = checked_weights(problem, result, objective, constraints.checked, g, zeta);
    return attr("pd").attr("Series")(weight, py::arg("index") = pool);
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
    import_modules(m, {{"pandas", "pd"}, {"numpy", "np"}, {"cvxpy", "cp"}, {"tidewell"}});
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
