// vantelo.constraints: the constraint objects a caller hands to portfolio_optimize.
// A constraint object only checks and stores its settings when it is built; at
// solve time the driver asks it for `hard` and for to_constraints(g, zeta, helper),
// and only then does it read market data from the helper. Nothing here writes
// to a constraint object after its constructor, so callers may reuse one across
// optimisations.
#include "vantelo/common.hpp"

#include <pybind11/options.h>

#include <cmath>
#include <utility>

namespace vantelo {
namespace {

constexpr const char *kModule = "vantelo.constraints";

constexpr const char *kBadBound = "约束的上限或下限非法: {} = {}";
constexpr const char *kBadDeviationText = "约束的上下界格式不正确: {}";
constexpr const char *kBadDeviation = "约束指定的上限或下限 {} 非法";
constexpr const char *kIndustryMissing = "候选股票池中没有 {} 行业，相应约束忽略";
constexpr const char *kIndustryUnknown =
    "行业分类 {} 中没有名为 {} 的行业（拼写错误？）；最接近的行业名：{}";
constexpr const char *kIndustryUnknownNoMatch =
    "行业分类 {} 中没有名为 {} 的行业（拼写错误？）；该分类的行业有：{}";
constexpr const char *kStyleUnknown = "约束中指定的风格 {} 非法，应该从 {} 选取";

py::object cp() { return module_attr(kModule, "cp"); }
py::object np() { return module_attr(kModule, "np"); }

[[noreturn]] void invalid(py::handle message) { raise_invalid_argument(kModule, message); }

bool finite(py::handle number) {
    double value = PyFloat_AsDouble(number.ptr());
    if (value == -1.0 && PyErr_Occurred()) {
        throw py::error_already_set();
    }
    return std::isfinite(value);
}

bool both_none(py::handle lower, py::handle upper) { return lower.is_none() && upper.is_none(); }

// ---------------------------------------------------------------------------
// Bound helpers
// ---------------------------------------------------------------------------

py::object ensure_bound(py::handle v, py::handle label) {
    // A value of the wrong kind altogether (a list, say) is the caller's
    // programming error and keeps its TypeError; a number that will not parse,
    // or an integer too large for a float, is a bad bound.
    py::object bound =
        bound_or_none(kModule, v, true, [&] { return format(kBadBound, label, v); });
    // float() happily accepts "nan", which bounds nothing and would reach the
    // solver as a constraint nobody can meet. An infinity is kept: whether it
    // means "no limit" or "impossible" depends on the side it bounds.
    if (!bound.is_none() && std::isnan(bound.cast<double>())) {
        invalid(format(kBadBound, label, v));
    }
    return bound;
}

enum class Side { Lower, Upper };

// The infinity that no weight or exposure can meet: +inf below, -inf above.
bool impossible_infinity(py::handle bound, Side side) {
    if (bound.is_none()) {
        return false;
    }
    const double value = PyFloat_AsDouble(bound.ptr());
    if (value == -1.0 && PyErr_Occurred()) {
        throw py::error_already_set();
    }
    return std::isinf(value) && ((value > 0) == (side == Side::Lower));
}

// `bound` with an infinity on the side where it can only mean "no limit"
// (-inf below, +inf above) read as no bound at all.
py::object limit_or_none(py::handle bound, Side side) {
    if (bound.is_none()) {
        return py::none();
    }
    const double value = PyFloat_AsDouble(bound.ptr());
    if (value == -1.0 && PyErr_Occurred()) {
        throw py::error_already_set();
    }
    if (std::isinf(value) && ((value < 0) == (side == Side::Lower))) {
        return py::none();
    }
    return py::reinterpret_borrow<py::object>(bound);
}

// An absolute bound converted by ensure_bound, refused when it is the infinity
// nothing can meet.
py::object ensure_side(py::handle v, py::handle label, Side side) {
    py::object bound = ensure_bound(v, label);
    if (impossible_infinity(bound, side)) {
        invalid(format(kBadBound, label, v));
    }
    return bound;
}

py::object get_deviation_value(py::handle benchmark, py::handle deviation) {
    if (deviation.is_none()) {
        return py::none();
    }
    // A bound relative to a benchmark value that is NaN or infinite is meaningless
    // whatever the deviation; say so rather than blame the deviation.
    double reference = PyFloat_AsDouble(benchmark.ptr());
    if (reference == -1.0 && PyErr_Occurred()) {
        // A value with no float form at all is left to the arithmetic below; an
        // error its own conversion raised is not ours to swallow.
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) {
            throw py::error_already_set();
        }
        PyErr_Clear();
    } else if (!std::isfinite(reference)) {
        invalid(format("约束的基准值 {} 不是有限数", benchmark));
    }
    py::object value;
    if (py::isinstance(deviation, module_attr(kModule, "numbers").attr("Number"))) {
        value = to_float(benchmark + deviation);
    } else if (py::isinstance<py::str>(deviation)) {
        auto text = py::reinterpret_borrow<py::str>(deviation);
        if (py::len(text) == 0) {
            invalid(format(kBadDeviationText, text));
        }
        py::object first = text[py::int_(0)];
        py::object last = text[py::int_(-1)];
        bool has_sign = first.equal(py::str("+")) || first.equal(py::str("-"));
        if (!has_sign || !last.equal(py::str("%"))) {
            invalid(format(kBadDeviationText, text));
        }
        // "+%" and "+abc%" have the right shape; float() says what is wrong with them.
        py::object middle = text[py::slice(1, -1, 1)];
        double pct = as_double(middle);
        if (first.equal(py::str("-"))) {
            pct = -pct;
        }
        // Proportional: a minus moves a negative benchmark value towards zero.
        value = benchmark * py::float_(pct / 100.0 + 1.0);
    } else {
        invalid(format(kBadDeviation, deviation));
    }
    // An infinite numeric offset gives an infinite bound, which its side reads
    // (deviation_side); anything else non-finite bounds nothing.
    const bool infinite_offset =
        py::isinstance(deviation, module_attr(kModule, "numbers").attr("Number")) &&
        std::isinf(PyFloat_AsDouble(value.ptr()));
    if (!finite(value) && !infinite_offset) {
        invalid(format(kBadDeviation, deviation));
    }
    return value;
}

// A relative bound as get_deviation_value turns it into an absolute one, with
// the same reading of infinities as the absolute bounds get.
py::object deviation_side(py::handle benchmark, py::handle deviation, Side side) {
    py::object bound = get_deviation_value(benchmark, deviation);
    if (impossible_infinity(bound, side)) {
        invalid(format(kBadDeviation, deviation));
    }
    return limit_or_none(bound, side);
}

// The absolute bounds of a constraint without relative mode, or those of one
// whose relative bounds are only interpreted against the benchmark at solve time.
void store_bounds(py::handle self, py::handle relative, py::handle lower_limit,
                  py::handle upper_limit, const char *class_name) {
    if (truthy(relative)) {
        self.attr("lower") = lower_limit;
        self.attr("upper") = upper_limit;
        return;
    }
    self.attr("lower") =
        ensure_side(lower_limit, format("{}:lower_limit", class_name), Side::Lower);
    self.attr("upper") =
        ensure_side(upper_limit, format("{}:upper_limit", class_name), Side::Upper);
}

void require_a_limit(py::handle lower_limit, py::handle upper_limit, const char *class_name) {
    if (both_none(lower_limit, upper_limit)) {
        invalid(format("{}: upper_limit及lower_limit 最少应该指定一个", py::str(class_name)));
    }
}

// What an industry band keeps, whether it names its industries or excludes some:
// `industries` gives that list once the limits have passed their checks.
template <typename Industries>
void store_industry_band(py::handle self, const char *list_name, Industries industries,
                         py::handle lower_limit, py::handle upper_limit, py::handle relative,
                         py::handle classification, py::handle hard, const char *class_name) {
    require_a_limit(lower_limit, upper_limit, class_name);
    self.attr("relative") = relative;
    store_bounds(self, relative, lower_limit, upper_limit, class_name);
    self.attr(list_name) = industries();
    self.attr("classification") = classification;
    self.attr("_hard") = hard;
}

// A single name given as text stands for a one-element list.
py::object listify_text(py::handle names) {
    if (py::isinstance<py::str>(names)) {
        py::list single;
        single.append(names);
        return std::move(single);
    }
    return py::reinterpret_borrow<py::object>(names);
}

// An exclusion list the object owns, so that later changes to the caller's
// collection do not change what is excluded.
py::list own_exclude_list(py::handle exclude) {
    py::list owned;
    if (exclude.is_none()) {
        return owned;
    }
    if (py::isinstance<py::str>(exclude)) {
        owned.append(exclude);
        return owned;
    }
    for (py::handle item : exclude) {
        owned.append(item);
    }
    return owned;
}

// The names of `known` closest to `name` (as text), best first: what a
// misspelt name most likely meant.
py::list closest_names(py::handle name, py::handle known) {
    py::list candidates;
    for (py::handle item : known) {
        candidates.append(py::str(item));
    }
    return module_attr(kModule, "difflib")
        .attr("get_close_matches")(py::str(name), candidates, py::arg("n") = 3);
}

// Every industry name the classification has, with those the pool's and the
// benchmark's data use (and the helper's name for a stock without one); None
// when the helper cannot list the classification's industries.
py::object known_industries(py::handle helper, py::handle classification,
                            py::handle industry_mapping, py::handle benchmark_weights) {
    // Like getattr(helper, "get_industry_names", None): only a missing member
    // means "cannot say"; any other error of the helper's passes.
    PyObject *found = PyObject_GetAttrString(helper.ptr(), "get_industry_names");
    if (found == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            throw py::error_already_set();
        }
        PyErr_Clear();
        return py::none();
    }
    py::object getter = py::reinterpret_steal<py::object>(found);
    if (getter.is_none()) {
        return py::none();
    }
    py::list known;
    py::set seen;
    auto add = [&](py::handle industry) {
        if (!seen.contains(industry)) {
            seen.add(industry);
            known.append(industry);
        }
    };
    for (py::handle industry : getter(classification)) {
        add(industry);
    }
    for (py::handle industry : wildcard_industries(industry_mapping, benchmark_weights)) {
        add(industry);
    }
    add(py::str(kUnknownIndustry));
    return std::move(known);
}

// A name the classification does not know at all is a typo, not an industry the
// pool happens to lack: refused with the names it most likely meant.
void require_known_industry(py::handle industry, py::handle known, py::handle classification) {
    if (known.is_none() || known.contains(industry)) {
        return;
    }
    py::list close = closest_names(industry, known);
    if (py::len(close) > 0) {
        invalid(
            format(kIndustryUnknown, classification, industry, py::str(", ").attr("join")(close)));
    }
    invalid(format(kIndustryUnknownNoMatch, classification, industry, first_items(known)));
}

// A style name that is not one of `supported`, with the closest ones when there
// are any.
[[noreturn]] void unknown_style(py::handle style, py::handle supported) {
    py::str message = format(kStyleUnknown, style, supported);
    py::list close = closest_names(style, supported);
    if (py::len(close) > 0) {
        message = format("{}；最接近的风格：{}", message, py::str(", ").attr("join")(close));
    }
    invalid(message);
}

// ---------------------------------------------------------------------------
// Classes
// ---------------------------------------------------------------------------

py::object base_class(py::module_ &m) { return m.attr("OptimizationConstraint"); }

ClassBuilder constraint_class(py::module_ &m, const char *name, const char *doc) {
    return ClassBuilder(m, name, py::str(doc), py::make_tuple(base_class(m)), m.attr("ABCMeta"));
}

py::object hard_getter(py::object self) { return self.attr("_hard"); }

void define_base(py::module_ &m) {
    ClassBuilder(m, "OptimizationConstraint", py::none(), py::tuple(), m.attr("ABCMeta"))
        .method(
            "to_constraints",
            [](py::object, py::object, py::object, py::object) -> py::object {
                not_implemented();
            },
            py::arg("g"), py::arg("zeta"), py::arg("helper"))
        .readonly_property("hard", [](py::object) -> py::object { not_implemented(); });
}

constexpr const char *kTrackingErrorDoc = R"(
    追踪误差约束。基准为优化时指定的基准。

    :param upper_limit: 追踪误差上界
    :param hard: 软约束/硬约束
    )";

void tracking_error_limit_init(py::object self, py::object upper_limit, py::object hard) {
    py::object upper = ensure_bound(upper_limit, py::str("TrackingErrorLimit:upper_limit"));
    if (upper.is_none() || !(upper > py::float_(0.0))) {
        invalid(format("跟踪误差上限小于0：{}", upper));
    }
    self.attr("upper") = upper;
    self.attr("_hard") = hard;
}

// ---------------------------------------------------------------------------
// Terms and builders. Each constraint's terms function computes what it demands
// in numbers (its bounds absolute or read against the benchmark, its selectors,
// holdings and limits), raising its errors and issuing its warnings in their
// order; its to_constraints is a thin cvxpy builder over those terms, and the
// driver's direct assembler reads the same terms. A term is a dict with a "kind":
//   "linear":          coefficients · g  (side)  zeta · bound
//   "share":           g[stock]  (side)  bound · (selector · g)
//   "turnover":        ||[g; 0] - zeta · holding||_1 <= 2 · zeta · upper
//   "tracking_error":  the active weights' volatility <= zeta · upper
// with "side" "lower" or "upper" where it has one, and "name" where the term is
// one industry's or one style's.
// ---------------------------------------------------------------------------

py::dict new_term(const char *kind) {
    py::dict term;
    term["kind"] = kind;
    return term;
}

py::dict linear_term(py::handle coefficients, const char *side, py::handle bound) {
    py::dict term = new_term("linear");
    term["coefficients"] = coefficients;
    term["side"] = side;
    term["bound"] = bound;
    return term;
}

// A term of one named industry or style: the name the limit is reported under.
py::dict named(py::dict term, py::handle name) {
    term["name"] = name;
    return term;
}

// `coefficients · g` against `zeta · bound`, on the term's side.
py::object linear_constraint(py::handle term, py::handle g, py::handle zeta) {
    py::object value = matmul(g, term["coefficients"]);
    py::object limit = zeta * py::reinterpret_borrow<py::object>(term["bound"]);
    return py::str(term["side"]).equal(py::str("lower")) ? greater_equal(value, limit)
                                                         : less_equal(value, limit);
}

py::list tracking_error_limit_terms(py::handle self, py::handle helper) {
    py::list terms;
    if (limit_or_none(self.attr("upper"), Side::Upper).is_none()) {
        return terms;
    }
    py::dict term = new_term("tracking_error");
    term["benchmark"] = benchmark_weights(helper);
    term["upper"] = self.attr("upper");
    terms.append(term);
    return terms;
}

py::object tracking_error_limit_to_constraints(py::object self, py::object g, py::object zeta,
                                               py::object helper) {
    py::list result;
    if (py::len(tracking_error_limit_terms(self, helper)) == 0) {
        return std::move(result);
    }
    py::object active = active_weight(kModule, g, helper, zeta);
    py::object upper = self.attr("upper");
    if (PyFloat_Check(zeta.ptr())) {
        py::object risk = risk_quad_form(active, helper, Universe::Union);
        result.append(less_equal(risk, power(zeta * upper, py::int_(2))));
        return std::move(result);
    }
    // With g = zeta·w and zeta a variable (the ratio objectives, risk parity) the
    // squared form would put the convex (zeta·upper)² on the right; the volatility
    // itself is a cone, homogeneous in (g, zeta): ‖root'(g − zeta·b)‖ ≤ upper·zeta.
    result.append(less_equal(risk_norm(active, helper, Universe::Union), zeta * upper));
    return std::move(result);
}

void define_tracking_error_limit(py::module_ &m) {
    constraint_class(m, "TrackingErrorLimit", kTrackingErrorDoc)
        .init(&tracking_error_limit_init, py::arg("upper_limit"), py::arg("hard") = true)
        .method("to_constraints", &tracking_error_limit_to_constraints, py::arg("g"),
                py::arg("zeta"), py::arg("helper"))
        .readonly_property("hard", &hard_getter);
}

constexpr const char *kTurnoverDoc = R"(
    换手率约束

    :param current_holding: 当前持仓
    :param upper_limit: 换手率上界
    :param hard: 软约束/硬约束
    )";

void turnover_limit_init(py::object self, py::object current_holding, py::object upper_limit,
                         py::object hard) {
    // Checked first: pd.Series(None) is an empty series, which would
    // read as "holding nothing" rather than as a forgotten argument.
    if (current_holding.is_none()) {
        invalid(py::str("在 TurnoverLimit 约束中，current_holding 参数不能为 None"));
    }
    self.attr("_current_holding") =
        ensure_series(kModule, current_holding, py::str("current_holding"));
    // The label's spelling is the one callers already match in messages.
    py::object upper = ensure_bound(upper_limit, py::str("TrunoverLimit:upper_limit"));
    if (upper.is_none() || !(upper > py::float_(0.0))) {
        invalid(format("换手率上限小于0：{}", upper));
    }
    self.attr("upper") = upper;
    self.attr("_hard") = hard;
}

py::list turnover_limit_terms(py::handle self, py::handle helper) {
    py::list terms;
    if (limit_or_none(self.attr("upper"), Side::Upper).is_none()) {
        return terms;
    }
    py::object order_book_ids = helper.attr("order_book_ids");
    py::set pool;
    for (py::handle id : order_book_ids) {
        pool.add(id);
    }
    py::object holding = self.attr("_current_holding");
    reject_duplicate_keys(kModule, holding, "TurnoverLimit: current_holding");
    py::list not_in_pool;
    for (py::handle id : list_copy(holding.attr("index"))) {
        if (!pool.contains(id)) {
            not_in_pool.append(id);
        }
    }
    py::object ids = order_book_ids + not_in_pool;
    py::dict term = new_term("turnover");
    // Over the pool, then the held stocks outside it.
    term["holding"] =
        finite_array(holding.attr("reindex")(ids, py::arg("fill_value") = 0.0).attr("values"), ids,
                     py::str("TurnoverLimit: current_holding"));
    term["extra"] = py::len(not_in_pool);
    term["upper"] = self.attr("upper");
    terms.append(term);
    return terms;
}

py::object turnover_limit_to_constraints(py::object self, py::object g, py::object zeta,
                                         py::object helper) {
    py::list result;
    for (py::handle term : turnover_limit_terms(self, helper)) {
        // Positions outside the pool are sold off entirely.
        py::object held = pad_with_zeros(kModule, g, term["extra"].cast<py::ssize_t>());
        py::object turnover = held - zeta * py::reinterpret_borrow<py::object>(term["holding"]);
        // One unit of turnover is a sale plus the matching purchase.
        py::object budget = py::int_(2) * zeta * py::reinterpret_borrow<py::object>(term["upper"]);
        result.append(less_equal(cp().attr("norm1")(turnover), budget));
    }
    return std::move(result);
}

void define_turnover_limit(py::module_ &m) {
    constraint_class(m, "TurnoverLimit", kTurnoverDoc)
        .init(&turnover_limit_init, py::arg("current_holding"), py::arg("upper_limit"),
              py::arg("hard") = true)
        .method("to_constraints", &turnover_limit_to_constraints, py::arg("g"), py::arg("zeta"),
                py::arg("helper"))
        .readonly_property("hard", &hard_getter);
}

constexpr const char *kBenchmarkComponentDoc = R"(
    基准成分股权重限制。基准为优化时指定的基准。

    :param lower_limit: 基准成分股权重之和下界
    :param hard: 软约束/硬约束
    )";

// A 0/1 vector over the pool marking the ids for which `pick` holds.
template <typename Pick> py::object pool_selector(py::handle order_book_ids, Pick pick) {
    py::list marks;
    for (py::handle id : order_book_ids) {
        marks.append(py::float_(pick(id) ? 1.0 : 0.0));
    }
    return np().attr("array")(marks, py::str("float64"));
}

void benchmark_component_weight_limit_init(py::object self, py::object lower_limit,
                                           py::object hard) {
    py::object lower =
        ensure_bound(lower_limit, py::str("BenchmarkComponentWeightLimit:lower_limit"));
    // Exactly 1 is accepted although the message says [0, 1): a fund
    // may have to hold nothing but benchmark components, and only a
    // bound above 1 can never be met.
    if (lower.is_none() || lower < py::float_(0.0) || lower > py::float_(1.0)) {
        invalid(py::str("在 BenchmarkComponentWeightLimit 中，lower_limit 应该在 [0, 1) 范围内"));
    }
    self.attr("lower") = lower;
    self.attr("_hard") = hard;
}

py::list benchmark_component_weight_limit_terms(py::handle self, py::handle helper) {
    py::set components;
    for (py::handle id : helper.attr("benchmark_components")) {
        components.add(id);
    }
    py::object selector = pool_selector(helper.attr("order_book_ids"),
                                        [&](py::handle id) { return components.contains(id); });
    py::list terms;
    // Emitted even for a bound of 0, so that every call yields one constraint.
    terms.append(linear_term(selector, "lower", self.attr("lower")));
    return terms;
}

py::object benchmark_component_weight_limit_to_constraints(py::object self, py::object g,
                                                           py::object zeta, py::object helper) {
    py::list result;
    for (py::handle term : benchmark_component_weight_limit_terms(self, helper)) {
        result.append(greater_equal(matmul(g, term["coefficients"]),
                                    py::reinterpret_borrow<py::object>(term["bound"]) * zeta));
    }
    return std::move(result);
}

void define_benchmark_component_weight_limit(py::module_ &m) {
    constraint_class(m, "BenchmarkComponentWeightLimit", kBenchmarkComponentDoc)
        .init(&benchmark_component_weight_limit_init, py::arg("lower_limit"),
              py::arg("hard") = true)
        .method("to_constraints", &benchmark_component_weight_limit_to_constraints, py::arg("g"),
                py::arg("zeta"), py::arg("helper"))
        .readonly_property("hard", &hard_getter);
}

// The weight bounds of one industry, as terms appended to `terms`. An industry
// with no stock in the pool cannot be steered by the weights and is only reported.
// `known` (None: not checked) holds the names a named industry must be one of.
void industry_weight_terms(py::handle self, py::handle industry_mapping,
                           py::handle benchmark_weights, py::handle industry, py::handle known,
                           py::list &terms) {
    // On the plain array: a pandas comparison costs several times as much, once per
    // industry of every call.
    py::object selector = np().attr("equal")(
        industry_mapping.attr("to_numpy")(py::arg("dtype") = "object"), industry);
    if (!truthy(selector.attr("any")())) {
        require_known_industry(industry, known, self.attr("classification"));
        warn_optimizer(kModule, format(kIndustryMissing, industry));
        return;
    }
    py::object lower = self.attr("lower");
    py::object upper = self.attr("upper");
    if (truthy(self.attr("relative"))) {
        // An industry the benchmark does not hold has benchmark weight 0.
        py::object benchmark = benchmark_weights.attr("get")(industry, py::int_(0));
        lower = deviation_side(benchmark, lower, Side::Lower);
        upper = deviation_side(benchmark, upper, Side::Upper);
    }
    // Weights are never negative and never sum beyond zeta, so a lower bound of 0
    // or an upper bound of 1 would only burden the solver.
    py::object weights = selector.attr("astype")(py::str("float64"));
    if (!lower.is_none() && lower > py::int_(0)) {
        terms.append(named(linear_term(weights, "lower", lower), industry));
    }
    if (!upper.is_none() && upper < py::int_(1)) {
        terms.append(named(linear_term(weights, "upper", upper), industry));
    }
}

py::list linear_constraints(py::handle terms, py::handle g, py::handle zeta) {
    py::list result;
    for (py::handle term : terms) {
        result.append(linear_constraint(term, g, zeta));
    }
    return result;
}

py::object benchmark_industry_weight(py::handle self, py::handle helper) {
    if (!truthy(self.attr("relative"))) {
        return py::none();
    }
    return helper.attr("get_benchmark_industry_weight")(self.attr("classification"));
}

constexpr const char *kIndustryDoc = R"(
    行业权重约束

    :param industries: 行业名，可以为单个或多个行业
    :param lower_limit: 行业权重下界。当 `relative` 为 True 时，支持 '-5%'/'+5%' 形式
    :param upper_limit: 行业权重上界。与下界类似。
    :param relative: 是否为相对于基准
    :param classification: 行业分类标准
    :param hard: 软约束/硬约束
    )";

void industry_constraint_init(py::object self, py::object industries, py::object lower_limit,
                              py::object upper_limit, py::object relative,
                              py::object classification, py::object hard) {
    store_industry_band(
        self, "industries", [&] { return listify_text(industries); }, lower_limit, upper_limit,
        relative, classification, hard, "IndustryConstraint");
}

py::list industry_constraint_terms(py::handle self, py::handle helper) {
    py::object classification = self.attr("classification");
    py::object industry_mapping = helper.attr("get_industry_mapping")(classification);
    py::object benchmark_weights = benchmark_industry_weight(self, helper);
    py::object known =
        known_industries(helper, classification, industry_mapping, benchmark_weights);
    py::list terms;
    for (py::handle industry : self.attr("industries")) {
        industry_weight_terms(self, industry_mapping, benchmark_weights, industry, known, terms);
    }
    return terms;
}

py::object industry_constraint_to_constraints(py::object self, py::object g, py::object zeta,
                                              py::object helper) {
    return linear_constraints(industry_constraint_terms(self, helper), g, zeta);
}

void define_industry_constraint(py::module_ &m, py::object default_classification) {
    constraint_class(m, "IndustryConstraint", kIndustryDoc)
        .init(&industry_constraint_init, py::arg("industries"),
              py::arg("lower_limit") = py::none(), py::arg("upper_limit") = py::none(),
              py::arg("relative") = false, py::arg("classification") = default_classification,
              py::arg("hard") = true)
        .method("to_constraints", &industry_constraint_to_constraints, py::arg("g"),
                py::arg("zeta"), py::arg("helper"))
        .readonly_property("hard", &hard_getter);
}

constexpr const char *kWildcardIndustryDoc = R"(
    指定除 exclude 列表外其他行业的权重限制。与 :class:`IndustryConstraint` 配合可方便的实现对所有行业权重的限制。

    :param exclude: 排除列表
    :param lower_limit: 行业权重下界。当 `relative` 为 True 时，支持 '-5%'/'+5%' 形式
    :param upper_limit: 行业权重上界。与下界类似。
    :param relative: 是否为相对于基准
    :param classification: 行业分类标准
    :param hard: 软约束/硬约束
    )";

void wildcard_industry_constraint_init(py::object self, py::object exclude, py::object lower_limit,
                                       py::object upper_limit, py::object relative,
                                       py::object classification, py::object hard) {
    store_industry_band(
        self, "exclude", [&] { return own_exclude_list(exclude); }, lower_limit, upper_limit,
        relative, classification, hard, "WildcardIndustryConstraint");
}

py::list wildcard_industry_constraint_terms(py::handle self, py::handle helper) {
    py::object classification = self.attr("classification");
    py::object industry_mapping = helper.attr("get_industry_mapping")(classification);
    py::object benchmark_weights = benchmark_industry_weight(self, helper);
    py::list candidates = wildcard_industries(industry_mapping, benchmark_weights);
    py::object exclude = self.attr("exclude");
    // A misspelt exclusion would otherwise bound the industry it meant to free.
    py::object known =
        known_industries(helper, classification, industry_mapping, benchmark_weights);
    for (py::handle industry : exclude) {
        require_known_industry(industry, known, classification);
    }
    py::list terms;
    for (py::handle industry : candidates) {
        if (exclude.contains(industry) || industry.equal(py::str(kUnknownIndustry))) {
            continue;
        }
        industry_weight_terms(self, industry_mapping, benchmark_weights, industry, py::none(),
                              terms);
    }
    return terms;
}

py::object wildcard_industry_constraint_to_constraints(py::object self, py::object g,
                                                       py::object zeta, py::object helper) {
    return linear_constraints(wildcard_industry_constraint_terms(self, helper), g, zeta);
}

void define_wildcard_industry_constraint(py::module_ &m, py::object default_classification) {
    constraint_class(m, "WildcardIndustryConstraint", kWildcardIndustryDoc)
        .init(&wildcard_industry_constraint_init, py::arg("exclude") = py::none(),
              py::arg("lower_limit") = py::none(), py::arg("upper_limit") = py::none(),
              py::arg("relative") = false, py::arg("classification") = default_classification,
              py::arg("hard") = true)
        .method("to_constraints", &wildcard_industry_constraint_to_constraints, py::arg("g"),
                py::arg("zeta"), py::arg("helper"))
        .readonly_property("hard", &hard_getter);
}

constexpr const char *kStyleDoc = R"(
    风格约束

    :param styles: 风格列表，可以为单个或多个风格名。支持以下风格：beta, book_to_price,
        earnings_yield, growth, leverage, liquidity, momentum, non_linear_size, residual_volatility, size
    :param lower_limit: 下界。当 `relative` 为 True 时，支持 '-5%'/'+5%' 形式
    :param upper_limit: 上界。与下界类似。
    :param relative: 是否为相对于基准
    :param hard: 软约束/硬约束
    )";

void style_constraint_init(py::object self, py::object styles, py::object lower_limit,
                           py::object upper_limit, py::object relative, py::object hard) {
    require_a_limit(lower_limit, upper_limit, "StyleConstraint");
    styles = listify_text(styles);
    py::object supported = module_attr(kModule, "STYLE_FACTORS");
    for (py::handle style : styles) {
        if (!supported.contains(style)) {
            unknown_style(style, supported);
        }
    }
    self.attr("styles") = styles;
    self.attr("relative") = relative;
    store_bounds(self, relative, lower_limit, upper_limit, "StyleConstraint");
    self.attr("_hard") = hard;
}

py::list style_constraint_terms(py::handle self, py::handle helper) {
    py::object factor_exposure = helper.attr("get_factor_exposure")();
    bool relative = truthy(self.attr("relative"));
    py::object benchmark_style = relative ? helper.attr("get_benchmark_style")() : py::none();
    py::list terms;
    for (py::handle style : self.attr("styles")) {
        // Read first: a style the risk model lacks is refused by name.
        py::object exposure = style_exposure_values(
            factor_exposure, style, helper, format("StyleConstraint: {} 的因子暴露", style));
        py::object lower = self.attr("lower");
        py::object upper = self.attr("upper");
        if (relative) {
            py::object benchmark = benchmark_style[style];
            lower = deviation_side(benchmark, lower, Side::Lower);
            upper = deviation_side(benchmark, upper, Side::Upper);
        } else {
            lower = limit_or_none(lower, Side::Lower);
            upper = limit_or_none(upper, Side::Upper);
        }
        // Exposures may be negative, so every given bound binds.
        if (!lower.is_none()) {
            terms.append(named(linear_term(exposure, "lower", lower), style));
        }
        if (!upper.is_none()) {
            terms.append(named(linear_term(exposure, "upper", upper), style));
        }
    }
    return terms;
}

py::object style_constraint_to_constraints(py::object self, py::object g, py::object zeta,
                                           py::object helper) {
    return linear_constraints(style_constraint_terms(self, helper), g, zeta);
}

void define_style_constraint(py::module_ &m) {
    constraint_class(m, "StyleConstraint", kStyleDoc)
        .init(&style_constraint_init, py::arg("styles"), py::arg("lower_limit") = py::none(),
              py::arg("upper_limit") = py::none(), py::arg("relative") = false,
              py::arg("hard") = true)
        .method("to_constraints", &style_constraint_to_constraints, py::arg("g"), py::arg("zeta"),
                py::arg("helper"))
        .readonly_property("hard", &hard_getter);
}

py::object wildcard_style_constraint(py::object exclude, py::object lower_limit,
                                     py::object upper_limit, py::object relative,
                                     py::object hard) {
    py::list excluded = own_exclude_list(exclude);
    // The constraint's own first check keeps its place before the names'.
    require_a_limit(lower_limit, upper_limit, "StyleConstraint");
    // A misspelt exclusion would otherwise bound the style it meant to free.
    py::object supported = module_attr(kModule, "STYLE_FACTORS");
    for (py::handle style : excluded) {
        if (!supported.contains(style)) {
            unknown_style(style, supported);
        }
    }
    py::list styles;
    for (py::handle style : supported) {
        if (!excluded.contains(style)) {
            styles.append(style);
        }
    }
    return module_attr(kModule, "StyleConstraint")(styles, lower_limit, upper_limit, relative,
                                                   hard);
}

constexpr const char *kIndustryComponentDoc = R"(
    行业内个股权重约束

    :param industry: 行业名
    :param lower_limit: 个股占行业权重下界
    :param upper_limit: 个股占行业权重上界
    :param classification: 行业分类标准
    :param hard: 软约束/硬约束
    )";

void industry_component_limit_init(py::object self, py::object industry, py::object lower_limit,
                                   py::object upper_limit, py::object classification,
                                   py::object hard) {
    require_a_limit(lower_limit, upper_limit, "IndustryComponentLimit");
    self.attr("lower") =
        ensure_side(lower_limit, py::str("IndustryComponentLimit:lower_limit"), Side::Lower);
    self.attr("upper") =
        ensure_side(upper_limit, py::str("IndustryComponentLimit:upper_limit"), Side::Upper);
    self.attr("industry") = industry;
    self.attr("classification") = classification;
    self.attr("_hard") = hard;
}

py::list industry_component_limit_terms(py::handle self, py::handle helper) {
    py::object industry = self.attr("industry");
    py::object industry_mapping = helper.attr("get_industry_mapping")(self.attr("classification"));
    py::object selector = equal_to(industry_mapping, industry).attr("values");
    // Unlike the industry weight bounds, a share of nothing is meaningless,
    // so a missing industry is the caller's mistake.
    if (!truthy(selector.attr("any")())) {
        invalid(format("候选股票池中没有 {} 行业", industry));
    }
    py::object weights = selector.attr("astype")(py::str("float64"));
    py::object lower = self.attr("lower");
    py::object upper = self.attr("upper");
    bool has_lower = !lower.is_none() && lower > py::int_(0);
    bool has_upper = !upper.is_none() && upper < py::int_(1);
    py::list terms;
    for (py::handle position : np().attr("flatnonzero")(selector)) {
        for (int pass = 0; pass < 2; ++pass) {
            if (!(pass == 0 ? has_lower : has_upper)) {
                continue;
            }
            py::dict term = new_term("share");
            term["stock"] = py::int_(py::reinterpret_borrow<py::object>(position));
            term["selector"] = weights;
            term["side"] = pass == 0 ? "lower" : "upper";
            term["bound"] = pass == 0 ? lower : upper;
            terms.append(term);
        }
    }
    return terms;
}

py::object industry_component_limit_to_constraints(py::object self, py::object g, py::object,
                                                   py::object helper) {
    py::list terms = industry_component_limit_terms(self, helper);
    py::list result;
    if (py::len(terms) == 0) {
        return std::move(result);
    }
    // Shares of the industry's own weight: zeta scales both sides alike.
    py::object total = matmul(g, terms[0]["selector"]);
    for (py::handle term : terms) {
        py::object weight = g[term["stock"]];
        py::object limit = total * py::reinterpret_borrow<py::object>(term["bound"]);
        result.append(py::str(term["side"]).equal(py::str("lower")) ? greater_equal(weight, limit)
                                                                    : less_equal(weight, limit));
    }
    return std::move(result);
}

// The terms of a constraint of one of this module's own classes (its exact type):
// what the driver's direct assembler reads. Anything else raises TypeError.
py::list constraint_terms(py::object constraint, py::object helper) {
    using Terms = py::list (*)(py::handle, py::handle);
    static const std::pair<const char *, Terms> kTerms[] = {
        {"TrackingErrorLimit", &tracking_error_limit_terms},
        {"TurnoverLimit", &turnover_limit_terms},
        {"BenchmarkComponentWeightLimit", &benchmark_component_weight_limit_terms},
        {"IndustryConstraint", &industry_constraint_terms},
        {"WildcardIndustryConstraint", &wildcard_industry_constraint_terms},
        {"StyleConstraint", &style_constraint_terms},
        {"IndustryComponentLimit", &industry_component_limit_terms},
    };
    py::handle type = py::type::of(constraint);
    for (const auto &[name, terms] : kTerms) {
        if (type.is(module_attr(kModule, name))) {
            return terms(constraint, helper);
        }
    }
    PyErr_Format(PyExc_TypeError, "no terms for a constraint of type %.200s",
                 Py_TYPE(constraint.ptr())->tp_name);
    throw py::error_already_set();
}

void define_industry_component_limit(py::module_ &m, py::object default_classification) {
    constraint_class(m, "IndustryComponentLimit", kIndustryComponentDoc)
        .init(&industry_component_limit_init, py::arg("industry"),
              py::arg("lower_limit") = py::none(), py::arg("upper_limit") = py::none(),
              py::arg("classification") = default_classification, py::arg("hard") = true)
        .method("to_constraints", &industry_component_limit_to_constraints, py::arg("g"),
                py::arg("zeta"), py::arg("helper"))
        .readonly_property("hard", &hard_getter);
}

} // namespace
} // namespace vantelo

PYBIND11_MODULE(constraints, m) {
    using namespace vantelo;
    ModuleOptions options;

    import_names(m, "abc", {"ABCMeta"});
    import_modules(m, {{"warnings"}, {"numbers"}, {"difflib"}, {"numpy", "np"}, {"pandas", "pd"}});
    // cvxpy (75 MB with what it pulls in) is loaded when a call first needs it.
    import_lazily(m, "cvxpy", "cp");
    import_names(m, "vantelo.exception", {"InvalidArgument", "OptimizerWarning"});
    import_names(m, "vantelo.const", {"IndustryClassification", "STYLE_FACTORS"});

    // The default classification is the member as it stood when the module loaded.
    py::object sws = m.attr("IndustryClassification").attr("SWS");

    define_base(m);
    def_function(m, "_ensure_bound", &ensure_bound, py::arg("v"), py::arg("label"));
    def_function(
        m, "ensure_series",
        [](py::object obj, py::object name) { return ensure_series(kModule, obj, name); },
        py::arg("obj"), py::arg("name"));
    def_function(m, "get_deviation_value", &get_deviation_value, py::arg("benchmark"),
                 py::arg("deviation"));
    define_tracking_error_limit(m);
    define_turnover_limit(m);
    define_benchmark_component_weight_limit(m);
    define_industry_constraint(m, sws);
    define_wildcard_industry_constraint(m, sws);
    define_style_constraint(m);
    def_function(m, "wildcard_style_constraint", &wildcard_style_constraint,
                 py::arg("exclude") = py::none(), py::arg("lower_limit") = py::none(),
                 py::arg("upper_limit") = py::none(), py::arg("relative") = false,
                 py::arg("hard") = true);
    define_industry_component_limit(m, sws);
    m.def("_constraint_terms", &constraint_terms, py::arg("constraint"), py::arg("helper"));
    record_protocol(m,
                    {"TrackingErrorLimit", "TurnoverLimit", "BenchmarkComponentWeightLimit",
                     "IndustryConstraint", "WildcardIndustryConstraint", "StyleConstraint",
                     "IndustryComponentLimit"},
                    {"to_constraints", "hard"});
}
