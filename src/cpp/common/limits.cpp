#include "vantelo/limits.hpp"
#include "vantelo/inputs.hpp"

#include <algorithm>
#include <cmath>
#include <functional>
#include <map>

namespace vantelo {
namespace {

// What moving a limit the caller cannot set (full investment, an objective's own
// constraint) costs next to moving one of theirs: a relaxation should point at a
// bound or constraint the caller can change, where one will do.
constexpr double kStructural = 1e3;

py::module_ np() { return py::module_::import("numpy"); }
py::module_ cp() { return py::module_::import("cvxpy"); }

std::string type_name(py::handle value) {
    return py::str(py::type::of(value).attr("__name__")).cast<std::string>();
}

py::ssize_t entry_count(py::handle expression) {
    return expression.attr("size").cast<py::ssize_t>();
}

// An expression with one entry per limit, whatever its shape (entries in cvxpy's
// column-major order, the order `flat_limits` uses too).
py::object flat(py::handle expression) {
    return cp().attr("reshape")(expression, py::make_tuple(entry_count(expression)),
                                py::arg("order") = "F");
}

py::object flat_limits(py::handle limit, py::handle shape) {
    py::object array = np().attr("asarray")(limit, py::arg("dtype") = "float64");
    return np()
        .attr("broadcast_to")(array, shape)
        .attr("ravel")(py::arg("order") = "F")
        .attr("copy")();
}

py::list entry_labels(const std::string &base, py::ssize_t count, Side side) {
    py::list labels;
    for (py::ssize_t i = 0; i < count; ++i) {
        std::string label = base;
        if (count > 1) {
            label += "[" + std::to_string(i) + "]";
        }
        labels.append(py::str(label + " " + side_name(side)));
    }
    return labels;
}

// A comparison a constraint object returned, as a limit: `a <= b` (or `a == b`)
// with one side constant is a bound on the other; with neither constant it is a
// bound of 0 on their difference. False for anything that is not a comparison.
bool add_comparison(LimitSet &set, py::handle comparison, const std::string &base,
                    py::handle owner, bool hard) {
    const std::string kind = type_name(comparison);
    const bool equality = kind == "Equality";
    if (kind != "Inequality" && !equality) {
        return false;
    }
    py::object a = comparison.attr("args")[py::int_(0)];
    py::object b = comparison.attr("args")[py::int_(1)];
    LimitGroup group;
    group.constraint = py::reinterpret_borrow<py::object>(owner);
    group.hard = hard;
    group.scale = py::float_(1.0);
    py::object limit;
    if (truthy(b.attr("is_constant")())) {
        group.side = equality ? Side::Equal : Side::Upper;
        limit = b.attr("value");
        group.excess = a - b;
    } else if (truthy(a.attr("is_constant")())) {
        group.side = equality ? Side::Equal : Side::Lower;
        limit = a.attr("value");
        group.excess = equality ? py::object(b - a) : py::object(a - b);
    } else {
        group.side = equality ? Side::Equal : Side::Upper;
        limit = py::float_(0.0);
        group.excess = a - b;
    }
    py::object shape = group.excess.attr("shape");
    group.limits = flat_limits(limit, shape);
    group.excess = flat(group.excess);
    group.labels = entry_labels(base, entry_count(group.excess), group.side);
    set.groups.push_back(std::move(group));
    return true;
}

// `numbered`: several comparisons of one object are told apart by their place.
void add_comparisons(LimitSet &set, py::handle comparisons, const std::string &base,
                     py::handle owner, bool hard, bool numbered = true) {
    py::list items = list_copy(comparisons);
    const py::ssize_t count = py::len(items);
    py::ssize_t k = 0;
    for (py::handle item : items) {
        ++k;
        std::string label = numbered && count > 1 ? base + " #" + std::to_string(k) : base;
        if (!add_comparison(set, item, label, owner, hard)) {
            set.fixed.append(item);
        }
    }
}

// sqrt of a sum of squares (cvxpy's sum_squares, or a quadratic form whose
// matrix is given) as a second-order cone: a tracking error is relaxed as a
// volatility, not as a variance. None for any other shape of expression.
py::object as_norm(py::handle variance) {
    py::list terms;
    if (type_name(variance) == "AddExpression") {
        terms = list_copy(variance.attr("args"));
    } else {
        terms.append(variance);
    }
    py::list pieces;
    for (py::handle term : terms) {
        const std::string kind = type_name(term);
        py::object args = term.attr("args");
        if (kind == "quad_over_lin") {
            py::object denominator = args[py::int_(1)];
            if (!truthy(denominator.attr("is_constant")()) ||
                !py::object(denominator.attr("value")).equal(py::float_(1.0))) {
                return py::none();
            }
            pieces.append(flat(args[py::int_(0)]));
        } else if (kind == "QuadForm" || kind == "SymbolicQuadForm") {
            py::object matrix = np().attr("asarray")(args[py::int_(1)].attr("value"),
                                                     py::arg("dtype") = "float64");
            py::tuple eig = np().attr("linalg").attr("eigh")(matrix);
            py::object vectors = eig[1];
            py::object root =
                vectors * np().attr("sqrt")(np().attr("clip")(eig[0], 0.0, py::none()));
            pieces.append(matmul(root.attr("T"), args[py::int_(0)]));
        } else {
            return py::none();
        }
    }
    if (py::len(pieces) == 0) {
        return py::none();
    }
    return cp().attr("norm")(cp().attr("hstack")(pieces), 2);
}

py::object one_entry(py::handle value) {
    return np().attr("array")(py::make_tuple(value), py::arg("dtype") = "float64");
}

// The one inequality `owner.to_constraints` gives, as the package's own limit
// writes it; None when it gives anything else (a subclass's own rule), whose
// comparisons are then added one by one under `base`.
py::object single_inequality(LimitSet &set, py::handle owner, const char *base, py::handle g,
                             py::handle zeta, py::handle helper, bool hard) {
    py::list raw = list_copy(owner.attr("to_constraints")(g, zeta, helper));
    if (py::len(raw) != 1 || type_name(raw[0]) != "Inequality") {
        add_comparisons(set, raw, base, owner, hard);
        return py::none();
    }
    return raw[0];
}

// The limit such an inequality stands for: `upper`, the object's one upper side;
// the excess is the caller's to write.
LimitGroup upper_limit(py::handle owner, const char *base, py::handle upper, bool hard,
                       double scale) {
    LimitGroup group;
    group.constraint = py::reinterpret_borrow<py::object>(owner);
    group.hard = hard;
    group.side = Side::Upper;
    group.scale = py::float_(scale);
    group.limits = one_entry(upper);
    group.labels.append(py::str(std::string(base) + " upper"));
    return group;
}

void add_tracking_error(LimitSet &set, py::handle owner, py::handle g, py::handle zeta,
                        py::handle helper, bool hard) {
    py::object inequality =
        single_inequality(set, owner, "TrackingErrorLimit", g, zeta, helper, hard);
    if (inequality.is_none()) {
        return;
    }
    py::object variance = inequality.attr("args")[py::int_(0)];
    py::object upper = owner.attr("upper");
    LimitGroup group = upper_limit(owner, "TrackingErrorLimit", upper, hard, 1.0);
    // Under a scale that is not a float the object writes the volatility itself.
    if (!truthy(variance.attr("is_quadratic")())) {
        group.excess = flat(variance - inequality.attr("args")[py::int_(1)]);
        set.groups.push_back(std::move(group));
        return;
    }
    py::object norm = as_norm(variance);
    if (norm.is_none()) {
        group.squared = true;
        group.excess = flat(variance - inequality.attr("args")[py::int_(1)]);
    } else {
        group.excess = flat(norm - upper);
    }
    set.groups.push_back(std::move(group));
}

void add_turnover(LimitSet &set, py::handle owner, py::handle g, py::handle zeta,
                  py::handle helper, bool hard) {
    py::object inequality = single_inequality(set, owner, "TurnoverLimit", g, zeta, helper, hard);
    if (inequality.is_none()) {
        return;
    }
    // The object bounds the sum of absolute trades by twice the turnover.
    py::object args = inequality.attr("args");
    LimitGroup group = upper_limit(owner, "TurnoverLimit", owner.attr("upper"), hard, 2.0);
    group.weight = 0.5;
    group.excess = flat(args[py::int_(0)] - args[py::int_(1)]);
    set.groups.push_back(std::move(group));
}

// One copy of `owner` per name in `names`, with `attribute` narrowed to that name:
// each copy's to_constraints is the object's own rule for that one industry or
// style, so every limit it returns can be labelled by the name.
void add_per_name(LimitSet &set, py::handle owner, const char *attribute, py::handle names,
                  py::handle g, py::handle zeta, py::handle helper, bool hard,
                  const std::function<py::object(py::handle)> &narrowed) {
    py::object copy = py::module_::import("copy").attr("copy");
    const std::string class_name = type_name(owner);
    for (py::handle name : list_copy(names)) {
        py::object single = copy(owner);
        single.attr(attribute) = narrowed(name);
        py::object raw = single.attr("to_constraints")(g, zeta, helper);
        // One name yields at most a lower and an upper side: the side tells them apart.
        add_comparisons(set, raw, class_name + " " + py::str(name).cast<std::string>(), owner,
                        hard, false);
    }
}

py::list only(py::handle name) {
    py::list single;
    single.append(name);
    return single;
}

void add_wildcard_industry(LimitSet &set, py::handle owner, py::handle g, py::handle zeta,
                           py::handle helper, bool hard) {
    // The industries the object would cover, in the order it covers them: the
    // pool's, then (relative to the benchmark) the benchmark's others.
    py::object classification = owner.attr("classification");
    py::object benchmark_weights =
        truthy(owner.attr("relative"))
            ? py::object(helper.attr("get_benchmark_industry_weight")(classification))
            : py::object(py::none());
    py::list candidates = wildcard_industries(helper.attr("get_industry_mapping")(classification),
                                              benchmark_weights);
    py::object exclude = owner.attr("exclude");
    py::list covered;
    for (py::handle industry : candidates) {
        if (!exclude.contains(industry) && !industry.equal(py::str(kUnknownIndustry))) {
            covered.append(industry);
        }
    }
    add_per_name(set, owner, "exclude", covered, g, zeta, helper, hard, [&](py::handle keep) {
        py::list others = list_copy(exclude);
        for (py::handle industry : candidates) {
            if (!industry.equal(keep)) {
                others.append(industry);
            }
        }
        return py::object(others);
    });
}

void add_industry_component(LimitSet &set, py::handle owner, py::handle g, py::handle zeta,
                            py::handle helper, bool hard) {
    py::list raw = list_copy(owner.attr("to_constraints")(g, zeta, helper));
    py::object industry = owner.attr("industry");
    py::object mapping = helper.attr("get_industry_mapping")(owner.attr("classification"));
    py::object selector = equal_to(mapping, industry).attr("values").attr("astype")("float64");
    py::object positions = np().attr("flatnonzero")(selector);
    py::object lower = owner.attr("lower");
    py::object upper = owner.attr("upper");
    const bool has_lower = !lower.is_none() && lower > py::int_(0);
    const bool has_upper = !upper.is_none() && upper < py::int_(1);
    const py::ssize_t per_stock = (has_lower ? 1 : 0) + (has_upper ? 1 : 0);
    if (py::len(raw) != py::len(positions) * per_stock) {
        add_comparisons(set, raw, type_name(owner), owner, hard);
        return;
    }
    // A stock's share of its industry: both sides carry the industry's weight, so
    // the excess is in weight and one unit of share is one unit of that weight.
    py::object total = matmul(g, selector);
    py::list codes = list_copy(helper.attr("order_book_ids"));
    const std::string base =
        "IndustryComponentLimit " + py::str(industry).cast<std::string>() + " ";
    py::ssize_t k = 0;
    for (py::handle position : positions) {
        std::string code = py::str(codes[position]).cast<std::string>();
        for (int side = 0; side < 2; ++side) {
            if ((side == 0 && !has_lower) || (side == 1 && !has_upper)) {
                continue;
            }
            py::object args = raw[k++].attr("args");
            LimitGroup group;
            group.constraint = py::reinterpret_borrow<py::object>(owner);
            group.hard = hard;
            group.side = side == 0 ? Side::Lower : Side::Upper;
            group.scale = total;
            group.limits = one_entry(side == 0 ? lower : upper);
            group.excess = flat(args[py::int_(0)] - args[py::int_(1)]);
            group.labels.append(py::str(base + code + " " + side_name(group.side)));
            set.groups.push_back(std::move(group));
        }
    }
}

// Every bound is a limit, 0 and 1 included: a check of given weights (short
// positions too) measures them all. Those that no long-only portfolio can break
// are flagged for the diagnosis.
void add_bounds(LimitSet &set, py::handle g, py::handle pool, py::handle bnds) {
    py::tuple bounds = module_attr("vantelo.optimize", "parse_bnds")(bnds, pool);
    py::list codes = list_copy(pool);
    if (py::len(codes) == 0) {
        return;
    }
    for (int side = 0; side < 2; ++side) {
        py::object values = bounds[side];
        LimitGroup group;
        group.side = side == 0 ? Side::Lower : Side::Upper;
        group.constraint = py::none();
        group.scale = py::float_(1.0);
        group.limits = np().attr("array")(values, py::arg("dtype") = "float64");
        group.long_only_holds = side == 0 ? py::object(values.attr("__le__")(0.0))
                                          : py::object(values.attr("__ge__")(1.0));
        // Written with the expression on the left, so that cvxpy, not numpy,
        // does the arithmetic.
        group.excess = side == 0
                           ? py::object(py::reinterpret_borrow<py::object>(g) * py::float_(-1.0) +
                                        group.limits)
                           : py::object(py::reinterpret_borrow<py::object>(g) - group.limits);
        for (py::handle code : codes) {
            group.labels.append(py::str("bnds {} {}").format(code, side_name(group.side)));
        }
        set.groups.push_back(std::move(group));
    }
}

void add_full_investment(LimitSet &set, py::handle g) {
    LimitGroup group;
    group.side = Side::Equal;
    group.constraint = py::none();
    group.scale = py::float_(1.0);
    group.limits = one_entry(py::float_(1.0));
    group.excess = flat(cp().attr("sum")(g) - py::float_(1.0));
    group.labels.append(py::str("full investment"));
    group.weight = kStructural;
    set.groups.push_back(std::move(group));
}

// The ratio objectives fix the scale of unnormalised weights with `mu . g == 1`;
// over weights that sum to 1 this says mu . w > 0 (the sign of the constant),
// which is what can collide with the other limits.
void add_ratio_constraints(LimitSet &set, py::handle objective, py::handle comparisons) {
    const std::string base = type_name(objective) + " internal";
    for (py::handle item : list_copy(comparisons)) {
        if (type_name(item) != "Equality") {
            add_comparisons(set, only(item), base, objective, true);
            continue;
        }
        py::object a = item.attr("args")[py::int_(0)];
        py::object b = item.attr("args")[py::int_(1)];
        if (truthy(a.attr("is_constant")())) {
            std::swap(a, b);
        }
        if (!truthy(b.attr("is_constant")()) || entry_count(a) != 1) {
            add_comparisons(set, only(item), base, objective, true);
            continue;
        }
        double constant = np().attr("asarray")(b.attr("value")).attr("item")().cast<double>();
        LimitGroup group;
        group.constraint = py::reinterpret_borrow<py::object>(objective);
        group.scale = py::float_(1.0);
        group.limits = one_entry(py::float_(0.0));
        if (constant > 0) {
            group.side = Side::Lower;
            group.excess = flat(a * py::float_(-1.0));
        } else if (constant < 0) {
            group.side = Side::Upper;
            group.excess = flat(a);
        } else {
            group.side = Side::Equal;
            group.excess = flat(a);
        }
        group.labels.append(py::str(base + " " + side_name(group.side)));
        group.weight = kStructural;
        set.groups.push_back(std::move(group));
    }
}

void add_objective(LimitSet &set, py::handle objective, py::handle g, py::handle zeta,
                   py::handle helper) {
    const bool ratio = is_ratio_objective(objective);
    if (ratio) {
        py::object scale = cp().attr("Variable")(py::arg("nonneg") = true);
        add_ratio_constraints(set, objective,
                              objective.attr("get_internal_constraints")(g, scale, helper));
        return;
    }
    add_comparisons(set, objective.attr("get_internal_constraints")(g, zeta, helper),
                    type_name(objective) + " internal", objective, true);
}

void add_constraint_object(LimitSet &set, py::handle owner, py::handle g, py::handle zeta,
                           py::handle helper) {
    const bool hard = truthy(owner.attr("hard"));
    py::module_ constraints = py::module_::import("vantelo.constraints");
    // Only the package's own classes are taken apart; a subclass may mean
    // something else by the same attributes.
    auto is = [&](const char *name) { return py::type::of(owner).is(constraints.attr(name)); };
    if (is("IndustryConstraint")) {
        add_per_name(set, owner, "industries", owner.attr("industries"), g, zeta, helper, hard,
                     [](py::handle name) { return py::object(only(name)); });
    } else if (is("StyleConstraint")) {
        add_per_name(set, owner, "styles", owner.attr("styles"), g, zeta, helper, hard,
                     [](py::handle name) { return py::object(only(name)); });
    } else if (is("WildcardIndustryConstraint")) {
        add_wildcard_industry(set, owner, g, zeta, helper, hard);
    } else if (is("TrackingErrorLimit")) {
        add_tracking_error(set, owner, g, zeta, helper, hard);
    } else if (is("TurnoverLimit")) {
        add_turnover(set, owner, g, zeta, helper, hard);
    } else if (is("IndustryComponentLimit")) {
        add_industry_component(set, owner, g, zeta, helper, hard);
    } else {
        add_comparisons(set, owner.attr("to_constraints")(g, zeta, helper), type_name(owner),
                        owner, hard);
    }
}

// Two limits with one text (the same industry bounded twice) get " (2)", " (3)".
void make_labels_unique(LimitSet &set) {
    std::map<std::string, int> seen;
    for (LimitGroup &group : set.groups) {
        py::list renamed;
        for (py::handle label : group.labels) {
            std::string text = label.cast<std::string>();
            int count = ++seen[text];
            renamed.append(count == 1 ? py::str(text)
                                      : py::str(text + " (" + std::to_string(count) + ")"));
        }
        group.labels = renamed;
    }
}

} // namespace

const char *side_name(Side side) {
    switch (side) {
    case Side::Lower:
        return "lower";
    case Side::Upper:
        return "upper";
    default:
        return "equal";
    }
}

py::ssize_t LimitSet::size() const {
    py::ssize_t total = 0;
    for (const LimitGroup &group : groups) {
        total += py::len(group.labels);
    }
    return total;
}

LimitSet enumerate_limits(py::handle g, py::handle pool, py::handle objective, py::handle bnds,
                          py::handle cons, py::handle helper, py::handle zeta) {
    LimitSet set;
    add_full_investment(set, g);
    if (!objective.is_none()) {
        add_objective(set, objective, g, zeta, helper);
    }
    if (!bnds.is_none()) {
        add_bounds(set, g, pool, bnds);
    }
    if (!cons.is_none()) {
        for (py::handle owner : cons) {
            add_constraint_object(set, owner, g, zeta, helper);
        }
    }
    make_labels_unique(set);
    return set;
}

double value_from_excess(const LimitGroup &group, double limit, double excess, double scale) {
    if (group.squared) {
        return std::sqrt(std::max(limit * limit + excess, 0.0));
    }
    if (!(std::fabs(scale) > 1e-12)) {
        return std::nan("");
    }
    return group.side == Side::Lower ? limit - excess / scale : limit + excess / scale;
}

py::object limit_values(const LimitGroup &group) {
    const py::ssize_t count = py::len(group.labels);
    py::object excess = group.excess.attr("value");
    py::object scale_value = py::isinstance<py::float_>(group.scale)
                                 ? group.scale
                                 : py::object(group.scale.attr("value"));
    double scale = scale_value.is_none() ? std::nan("") : py::float_(scale_value).cast<double>();
    py::object values = np().attr("full")(count, std::nan(""));
    if (excess.is_none()) {
        return values;
    }
    py::object flat_excess =
        np().attr("asarray")(excess, py::arg("dtype") = "float64").attr("ravel")();
    for (py::ssize_t i = 0; i < count; ++i) {
        double limit = group.limits[py::int_(i)].cast<double>();
        double raw = flat_excess[py::int_(i)].cast<double>();
        values[py::int_(i)] = value_from_excess(group, limit, raw, scale);
    }
    return values;
}

} // namespace vantelo
