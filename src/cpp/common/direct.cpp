#include "vantelo/direct.hpp"
#include "vantelo/inputs.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <utility>
#include <vector>

namespace vantelo {
namespace {

constexpr const char *kDriver = "vantelo.optimize";
constexpr int kMaxIterations = 10000;
// The accuracy the direct back-end asks of SCS: what the cvxpy back-end gets from
// cvxpy's defaults for SCS, so that both hand back answers of one accuracy.
constexpr double kAccuracy = 1e-5;
// The accuracy of the one tighter solve after a result failed the check.
constexpr double kTightAccuracy = 1e-7;
// A dense risk model is taken in the eigen root of its matrix, one column per
// code: beyond this many codes the cvxpy back-end's quadratic form is cheaper.
constexpr py::ssize_t kLargestDenseModel = 1000;
// Problems a cache keeps: a schedule returns to a few pools and structures.
constexpr py::ssize_t kCachedProblems = 8;

py::object driver(const char *name) { return module_attr(kDriver, name); }
py::object np() { return py::module_::import("numpy"); }

using Vector = std::vector<double>;

Vector to_vector(py::handle values) {
    auto array = py::array_t<double, py::array::c_style | py::array::forcecast>::ensure(values);
    if (!array) {
        throw py::error_already_set();
    }
    return Vector(array.data(), array.data() + array.size());
}

py::array_t<double> to_array(const Vector &values) {
    return py::array_t<double>(static_cast<py::ssize_t>(values.size()), values.data());
}

// ---------------------------------------------------------------------------
// Eligibility
// ---------------------------------------------------------------------------

constexpr const char *kObjectives[] = {"MinVariance",      "MeanVariance",        "RiskParity",
                                       "MinTrackingError", "MaxInformationRatio", "MaxSharpeRatio",
                                       "MaxIndicator",     "MinStyleDeviation"};
constexpr const char *kConstraints[] = {"TrackingErrorLimit",
                                        "TurnoverLimit",
                                        "BenchmarkComponentWeightLimit",
                                        "IndustryConstraint",
                                        "WildcardIndustryConstraint",
                                        "StyleConstraint",
                                        "IndustryComponentLimit"};

// Whether `value` is exactly one of `module`'s classes `names` and its class still
// has the protocol methods that module gave it (a class patched by a caller keeps
// the behaviour the caller gave it on the cvxpy back-end).
template <std::size_t N>
bool own_class(py::handle value, const char *module, const char *const (&names)[N],
               std::initializer_list<const char *> members) {
    py::handle type = py::type::of(value);
    py::dict originals = module_attr(module, "_protocol");
    for (const char *name : names) {
        if (!type.is(module_attr(module, name))) {
            continue;
        }
        py::object recorded = originals.attr("get")(type);
        if (recorded.is_none()) {
            return false;
        }
        py::dict own = type.attr("__dict__").attr("copy")();
        py::dict kept = recorded;
        for (const char *member : members) {
            if (!own.contains(member) || !py::object(own[member]).is(kept[member])) {
                return false;
            }
        }
        return true;
    }
    return false;
}

// Whether `module.cp`, when the module has read it at all, is cvxpy itself with
// its own Problem.solve: a caller who replaced either wants it used.
bool cvxpy_untouched(const char *module) {
    py::dict names = py::module_::import(module).attr("__dict__");
    if (!names.contains("cp")) {
        return true;
    }
    py::dict loaded = py::module_::import("sys").attr("modules");
    if (!loaded.contains("cvxpy") || !py::object(names["cp"]).is(loaded["cvxpy"])) {
        return false;
    }
    py::object solve = names["cp"].attr("Problem").attr("solve");
    return py::str(py::getattr(solve, "__qualname__", py::str("")))
               .equal(py::str("Problem.solve")) &&
           py::str(py::getattr(solve, "__module__", py::str("")))
               .equal(py::str("cvxpy.problems.problem"));
}

} // namespace

bool is_own_constraint(py::handle constraint) {
    return own_class(constraint, "vantelo.constraints", kConstraints, {"to_constraints", "hard"});
}

bool direct_eligible(Inputs &inputs, const Collaborators &with, std::string &reason) {
    if (with.backend == "cvxpy") {
        reason = "the cvxpy back-end was asked for";
        return false;
    }
    if (!with.make_helper.is(module_attr("vantelo.helper", "OptimizeHelper"))) {
        reason = "the helper is not vantelo.helper.OptimizeHelper";
        return false;
    }
    for (const char *module :
         {kDriver, "vantelo.objective", "vantelo.constraints", with.cp_home}) {
        if (!cvxpy_untouched(module)) {
            reason = std::string(module) + ".cp is not cvxpy as installed";
            return false;
        }
    }
    if (!own_class(inputs.objective, "vantelo.objective", kObjectives,
                   {"get_objective_expr", "get_internal_constraints", "get_preferred_solver"})) {
        reason = "the objective is not one of vantelo.objective's own classes";
        return false;
    }
    if (!inputs.cons.is_none()) {
        if (!PyList_Check(inputs.cons.ptr()) && !PyTuple_Check(inputs.cons.ptr())) {
            inputs.cons = list_copy(inputs.cons);
        }
        for (py::handle constraint : inputs.cons) {
            if (!is_own_constraint(constraint)) {
                reason = "a constraint is not one of vantelo.constraints' own classes";
                return false;
            }
        }
    }
    if (!with.risk_model.is_none()) {
        if (!is_risk_model(with.risk_model)) {
            reason = "the risk model is given as a callable";
            return false;
        }
        if (risk_is_dense(with.risk_model) &&
            static_cast<py::ssize_t>(py::len(risk_codes(with.risk_model))) > kLargestDenseModel) {
            reason = "the risk model is a large dense matrix";
            return false;
        }
    }
    return true;
}

namespace {

// ---------------------------------------------------------------------------
// The problem in numbers
// ---------------------------------------------------------------------------

enum class Bound { Lower, Upper };

// coefficients · g (side) zeta · bound; or, for a share, g[stock] (side) bound ·
// (selector · g), written as coefficients = bound · selector − e_stock against 0.
struct LinearLimit {
    Vector coefficients; // over the pool
    Bound side = Bound::Upper;
    double bound = 0.0; // times zeta
    bool hard = true;
};

struct TurnoverTerm {
    Vector holding; // pool, then held stocks outside it
    double upper = 0.0;
    bool hard = true;
};

struct TrackingErrorTerm {
    double upper = 0.0;
    bool hard = true;
};

struct Description {
    py::ssize_t n = 0;
    bool scaled = false; // zeta is a variable
    bool risk_parity = false;
    bool unconstrained = false; // risk parity without bounds or constraints
    Vector unit_return;         // empty: none
    bool has_bounds = false;
    Vector lower, upper;
    std::vector<LinearLimit> linear;
    std::vector<TurnoverTerm> turnover;
    std::vector<TrackingErrorTerm> tracking_error;
    // the objective
    int risk = 0; // 0 none, 1 pool, 2 active
    double risk_weight = 1.0;
    Vector linear_objective; // empty: none
    std::vector<std::pair<Vector, std::pair<double, double>>>
        deviations;                   // (exposures, (target, weight))
    std::vector<py::ssize_t> barrier; // risk parity: the stocks the log barrier covers
    // the risk model: root over the union (pool first), specific variances, benchmark
    py::ssize_t union_size = 0;
    py::ssize_t k = 0;
    py::object root;  // float array union × k, C order
    Vector specific;  // union
    Vector benchmark; // union
    bool needs_active = false;
    py::list constraint_terms; // each constraint object's terms, in order
};

Bound side_of(py::handle term) {
    return py::str(term["side"]).equal(py::str("lower")) ? Bound::Lower : Bound::Upper;
}

void add_constraint_terms(Description &problem, py::handle constraint, py::handle helper) {
    const bool hard = truthy(constraint.attr("hard"));
    py::list terms = module_attr("vantelo.constraints", "_constraint_terms")(constraint, helper);
    problem.constraint_terms.append(terms);
    for (py::handle term : terms) {
        std::string kind = py::str(term["kind"]);
        if (kind == "linear") {
            problem.linear.push_back(
                {to_vector(term["coefficients"]), side_of(term), as_double(term["bound"]), hard});
        } else if (kind == "share") {
            const double bound = as_double(term["bound"]);
            Vector coefficients = to_vector(term["selector"]);
            for (double &value : coefficients) {
                value *= bound;
            }
            coefficients[term["stock"].cast<py::ssize_t>()] -= 1.0;
            // bound·(selector·g) − g_i ≤ 0 for a lower share, ≥ 0 for an upper one.
            problem.linear.push_back({coefficients,
                                      side_of(term) == Bound::Lower ? Bound::Upper : Bound::Lower,
                                      0.0, hard});
        } else if (kind == "turnover") {
            problem.turnover.push_back(
                {to_vector(term["holding"]), as_double(term["upper"]), hard});
        } else {
            problem.tracking_error.push_back({as_double(term["upper"]), hard});
            problem.needs_active = true;
        }
    }
}

// The terms of the call, read in the order the cvxpy back-end reads them (the
// objective's own constraints, the bounds, each constraint object, the objective),
// so that errors and warnings come in the same order; then the risk model.
Description describe(const Inputs &inputs, py::handle helper) {
    Description problem;
    py::object terms_of = module_attr("vantelo.objective", "_objective_terms");
    problem.n = static_cast<py::ssize_t>(py::len(inputs.pool));
    problem.risk_parity = py::type::of(inputs.objective).is(driver("RiskParity"));
    problem.scaled = is_ratio_objective(inputs.objective) || problem.risk_parity;

    py::dict internal = terms_of(inputs.objective, helper, "internal");
    if (!internal["unit_return"].is_none()) {
        problem.unit_return = to_vector(internal["unit_return"]);
    }
    if (!inputs.bnds.is_none()) {
        py::tuple bounds = driver("parse_bnds")(inputs.bnds, inputs.pool);
        problem.has_bounds = true;
        problem.lower = to_vector(bounds[0]);
        problem.upper = to_vector(bounds[1]);
    }
    if (!inputs.cons.is_none()) {
        for (py::handle constraint : inputs.cons) {
            add_constraint_terms(problem, constraint, helper);
        }
    }
    py::dict expression = terms_of(inputs.objective, helper, "expression");
    std::string risk =
        expression["risk"].is_none() ? "" : std::string(py::str(expression["risk"]));
    problem.risk = risk == "pool" ? 1 : risk == "active" ? 2 : 0;
    problem.needs_active = problem.needs_active || problem.risk == 2;
    problem.risk_weight = as_double(expression["risk_weight"]);
    if (!expression["linear"].is_none()) {
        problem.linear_objective = to_vector(expression["linear"]);
    }
    for (py::handle deviation : expression["deviations"]) {
        py::tuple parts = py::reinterpret_borrow<py::tuple>(deviation);
        problem.deviations.push_back(
            {to_vector(parts[0]), {as_double(parts[1]), as_double(parts[2])}});
    }
    if (problem.risk_parity) {
        const double unit = as_double(expression["unit"]);
        problem.risk_weight = std::isfinite(unit) && unit > 0.0 ? 1.0 / unit : 1.0;
        for (py::ssize_t i = 0; i < problem.n; ++i) {
            if (!problem.has_bounds || problem.upper[i] > 0.0) {
                problem.barrier.push_back(i);
            }
        }
        problem.unconstrained = !truthy(inputs.bnds) && !truthy(inputs.cons);
    }

    if (problem.risk != 0 || problem.needs_active) {
        py::object model = risk_model_of(helper, Universe::Union);
        py::list codes = risk_codes(model);
        problem.union_size = static_cast<py::ssize_t>(py::len(codes));
        py::tuple form = risk_factor_form(model);
        problem.root = np().attr("ascontiguousarray")(form[0], py::arg("dtype") = "float64");
        problem.k = py::tuple(problem.root.attr("shape"))[1].cast<py::ssize_t>();
        problem.specific = to_vector(form[1]);
        if (problem.needs_active) {
            problem.benchmark = to_vector(benchmark_weights(helper));
        } else {
            problem.benchmark.assign(problem.union_size, 0.0);
        }
    }
    return problem;
}

// ---------------------------------------------------------------------------
// The conic data
// ---------------------------------------------------------------------------

// A sparse matrix gathered as entries and turned into SCS's compressed columns.
struct Triplets {
    std::vector<std::int64_t> rows, cols;
    Vector values;
    void add(std::int64_t row, std::int64_t col, double value) {
        rows.push_back(row);
        cols.push_back(col);
        values.push_back(value);
    }
};

// Compressed sparse columns, entries of one position summed.
py::object csc(const Triplets &entries, std::int64_t rows, std::int64_t cols) {
    const std::size_t count = entries.values.size();
    std::vector<std::int64_t> order(count);
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](std::int64_t a, std::int64_t b) {
        return entries.cols[a] != entries.cols[b] ? entries.cols[a] < entries.cols[b]
                                                  : entries.rows[a] < entries.rows[b];
    });
    std::vector<std::int64_t> indptr(cols + 1, 0);
    std::vector<std::int64_t> indices;
    Vector data;
    indices.reserve(count);
    data.reserve(count);
    for (std::size_t at = 0; at < count; ++at) {
        const std::int64_t i = order[at];
        if (!indices.empty() && at > 0 && entries.cols[order[at - 1]] == entries.cols[i] &&
            entries.rows[order[at - 1]] == entries.rows[i]) {
            data.back() += entries.values[i];
            continue;
        }
        indices.push_back(entries.rows[i]);
        data.push_back(entries.values[i]);
        ++indptr[entries.cols[i] + 1];
    }
    for (std::int64_t c = 0; c < cols; ++c) {
        indptr[c + 1] += indptr[c];
    }
    py::array_t<std::int64_t> index_array(static_cast<py::ssize_t>(indices.size()),
                                          indices.data());
    py::array_t<std::int64_t> pointer_array(static_cast<py::ssize_t>(indptr.size()),
                                            indptr.data());
    py::object sparse = py::module_::import("scipy.sparse");
    return sparse.attr("csc_matrix")(py::make_tuple(to_array(data), index_array, pointer_array),
                                     py::arg("shape") = py::make_tuple(rows, cols));
}

struct ConicData {
    py::object P, A, b, c;
    py::dict cone;
    std::int64_t variables = 0;
    std::int64_t constraints = 0;
    double offset = 0.0; // the objective's constant
    py::tuple structure; // what a warm start must match
};

// Rows are written in cone order: zero, linear, second-order blocks, exponential.
ConicData conic_data(const Description &p, bool with_soft) {
    const std::int64_t n = p.n;
    const std::int64_t zeta = n;
    std::int64_t next = n + 1;
    const bool pool_risk = p.risk == 1;
    const std::int64_t k = p.k;
    const std::int64_t y = pool_risk ? next : -1;
    next += pool_risk ? k : 0;
    const std::int64_t y_active = p.needs_active ? next : -1;
    next += p.needs_active ? k : 0;
    std::vector<std::int64_t> turnover_at;
    for (const TurnoverTerm &term : p.turnover) {
        turnover_at.push_back(next);
        if (with_soft || term.hard) {
            next += n;
        }
    }
    // Limits on one vector of coefficients (a style's or an industry's lower and
    // upper bound) share a variable v = coefficients · g: the dense row is written
    // once.
    std::vector<std::int64_t> shared(p.linear.size(), -1);
    std::vector<std::size_t> shared_rows;
    {
        std::size_t previous = p.linear.size();
        for (std::size_t l = 0; l < p.linear.size(); ++l) {
            if (!with_soft && !p.linear[l].hard) {
                continue;
            }
            if (previous < p.linear.size() &&
                p.linear[previous].coefficients == p.linear[l].coefficients) {
                if (shared[previous] < 0) {
                    shared[previous] = next++;
                    shared_rows.push_back(previous);
                }
                shared[l] = shared[previous];
            }
            previous = l;
        }
    }
    const std::int64_t deviation_at = next;
    next += static_cast<std::int64_t>(p.deviations.size());
    const std::int64_t barrier_at = next;
    next += static_cast<std::int64_t>(p.barrier.size());
    const std::int64_t variables = next;

    Triplets a;
    Vector b;
    std::int64_t row = 0;
    auto new_row = [&](double rhs) {
        b.push_back(rhs);
        return row++;
    };
    // With a fixed scale (zeta = 1) zeta's coefficients are constants, moved to b:
    // the matrix keeps no dense column of them.
    auto zeta_entry = [&](std::int64_t r, double value) {
        if (p.scaled) {
            a.add(r, zeta, value);
        } else {
            b[r] -= value;
        }
    };
    const double *root = nullptr;
    if (k > 0) {
        root = static_cast<const double *>(py::array(p.root).data());
    }
    // root_poolᵀ g written into the rows starting at `first`, with `sign`.
    auto root_rows = [&](std::int64_t first, double sign) {
        for (std::int64_t i = 0; i < n; ++i) {
            for (std::int64_t f = 0; f < k; ++f) {
                a.add(first + f, i, sign * root[i * k + f]);
            }
        }
    };

    // Zero cone.
    const std::int64_t budget = new_row(0.0);
    for (std::int64_t i = 0; i < n; ++i) {
        a.add(budget, i, 1.0);
    }
    zeta_entry(budget, -1.0);
    if (!p.scaled) {
        a.add(new_row(1.0), zeta, 1.0); // zeta = 1
    }
    if (!p.unit_return.empty()) {
        const std::int64_t unit = new_row(1.0);
        for (std::int64_t i = 0; i < n; ++i) {
            a.add(unit, i, p.unit_return[i]);
        }
    }
    if (pool_risk) {
        const std::int64_t first = row;
        for (std::int64_t f = 0; f < k; ++f) {
            a.add(new_row(0.0), y + f, 1.0);
        }
        root_rows(first, -1.0);
    }
    // y_active − root_poolᵀ g + zeta · root_unionᵀ b = 0.
    if (p.needs_active) {
        const std::int64_t first = row;
        Vector benchmark_factor(k, 0.0);
        for (std::int64_t j = 0; j < p.union_size; ++j) {
            if (p.benchmark[j] != 0.0) {
                for (std::int64_t f = 0; f < k; ++f) {
                    benchmark_factor[f] += root[j * k + f] * p.benchmark[j];
                }
            }
        }
        for (std::int64_t f = 0; f < k; ++f) {
            const std::int64_t r = new_row(0.0);
            a.add(r, y_active + f, 1.0);
            zeta_entry(r, benchmark_factor[f]);
        }
        root_rows(first, -1.0);
    }
    for (std::size_t s = 0; s < p.deviations.size(); ++s) {
        // u − exposures · g + target · zeta = 0
        const std::int64_t r = new_row(0.0);
        a.add(r, deviation_at + static_cast<std::int64_t>(s), 1.0);
        const Vector &exposures = p.deviations[s].first;
        for (std::int64_t i = 0; i < n; ++i) {
            a.add(r, i, -exposures[i]);
        }
        zeta_entry(r, p.deviations[s].second.first);
    }
    for (std::size_t l : shared_rows) {
        const std::int64_t r = new_row(0.0);
        a.add(r, shared[l], 1.0);
        const Vector &coefficients = p.linear[l].coefficients;
        for (std::int64_t i = 0; i < n; ++i) {
            if (coefficients[i] != 0.0) {
                a.add(r, i, -coefficients[i]);
            }
        }
    }
    const std::int64_t zero_rows = row;

    // Linear cone: A x ≤ b.
    if (p.scaled) {
        zeta_entry(new_row(0.0), -1.0);
    }
    for (std::int64_t i = 0; i < n; ++i) {
        const std::int64_t r = new_row(0.0);
        a.add(r, i, -1.0);
        if (p.has_bounds) {
            zeta_entry(r, p.lower[i]);
        }
    }
    if (p.has_bounds) {
        for (std::int64_t i = 0; i < n; ++i) {
            const std::int64_t r = new_row(0.0);
            a.add(r, i, 1.0);
            zeta_entry(r, -p.upper[i]);
        }
    }
    for (std::size_t l = 0; l < p.linear.size(); ++l) {
        const LinearLimit &limit = p.linear[l];
        if (!with_soft && !limit.hard) {
            continue;
        }
        const double sign = limit.side == Bound::Upper ? 1.0 : -1.0;
        const std::int64_t r = new_row(0.0);
        if (shared[l] >= 0) {
            a.add(r, shared[l], sign);
        } else {
            for (std::int64_t i = 0; i < n; ++i) {
                if (limit.coefficients[i] != 0.0) {
                    a.add(r, i, sign * limit.coefficients[i]);
                }
            }
        }
        zeta_entry(r, -sign * limit.bound);
    }
    for (std::size_t t = 0; t < p.turnover.size(); ++t) {
        const TurnoverTerm &term = p.turnover[t];
        if (!with_soft && !term.hard) {
            continue;
        }
        const std::int64_t aux = turnover_at[t];
        double outside = 0.0;
        for (std::size_t j = static_cast<std::size_t>(n); j < term.holding.size(); ++j) {
            outside += std::fabs(term.holding[j]);
        }
        for (std::int64_t i = 0; i < n; ++i) {
            // ±(g_i − h_i·zeta) − t_i ≤ 0
            for (double sign : {1.0, -1.0}) {
                const std::int64_t r = new_row(0.0);
                a.add(r, i, sign);
                zeta_entry(r, -sign * term.holding[i]);
                a.add(r, aux + i, -1.0);
            }
        }
        const std::int64_t r = new_row(0.0);
        for (std::int64_t i = 0; i < n; ++i) {
            a.add(r, aux + i, 1.0);
        }
        zeta_entry(r, outside - 2.0 * term.upper);
    }
    const std::int64_t linear_rows = row - zero_rows;

    // Second-order cones: (upper·zeta, y_active, √D (g − zeta·b) over the pool,
    // zeta·‖√D b‖ outside it).
    py::list soc;
    double outside_risk = 0.0;
    if (p.needs_active) {
        for (std::int64_t j = n; j < p.union_size; ++j) {
            outside_risk += p.specific[j] * p.benchmark[j] * p.benchmark[j];
        }
    }
    for (const TrackingErrorTerm &term : p.tracking_error) {
        if (!with_soft && !term.hard) {
            continue;
        }
        zeta_entry(new_row(0.0), -term.upper);
        for (std::int64_t f = 0; f < k; ++f) {
            a.add(new_row(0.0), y_active + f, -1.0);
        }
        for (std::int64_t i = 0; i < n; ++i) {
            const double volatility = std::sqrt(p.specific[i]);
            const std::int64_t r = new_row(0.0);
            a.add(r, i, -volatility);
            zeta_entry(r, volatility * p.benchmark[i]);
        }
        zeta_entry(new_row(0.0), -std::sqrt(outside_risk));
        soc.append(py::int_(k + n + 2));
    }

    // Exponential cones (−t_i, 1, g_i): t_i ≥ −log g_i.
    for (std::size_t e = 0; e < p.barrier.size(); ++e) {
        a.add(new_row(0.0), barrier_at + static_cast<std::int64_t>(e), 1.0);
        new_row(1.0);
        a.add(new_row(0.0), p.barrier[e], -1.0);
    }

    // The objective: ½ xᵀPx + cᵀx (+ offset), P's upper triangle.
    Triplets q;
    Vector c(variables, 0.0);
    double offset = 0.0;
    auto zeta_cross = [&](std::int64_t i, double value) {
        if (p.scaled) {
            q.add(i, zeta, value);
        } else {
            c[i] += value;
        }
    };
    if (p.risk != 0) {
        const double w = 2.0 * p.risk_weight;
        const std::int64_t factors = p.risk == 1 ? y : y_active;
        for (std::int64_t i = 0; i < n; ++i) {
            q.add(i, i, w * p.specific[i]);
        }
        for (std::int64_t f = 0; f < k; ++f) {
            q.add(factors + f, factors + f, w);
        }
        if (p.risk == 2) {
            double total = 0.0;
            for (std::int64_t j = 0; j < p.union_size; ++j) {
                total += p.specific[j] * p.benchmark[j] * p.benchmark[j];
            }
            for (std::int64_t i = 0; i < n; ++i) {
                zeta_cross(i, -w * p.specific[i] * p.benchmark[i]);
            }
            if (p.scaled) {
                q.add(zeta, zeta, w * total);
            } else {
                offset += 0.5 * w * total;
            }
        }
    }
    for (std::size_t i = 0; i < p.linear_objective.size(); ++i) {
        c[i] += p.linear_objective[i];
    }
    for (std::size_t s = 0; s < p.deviations.size(); ++s) {
        const std::int64_t at = deviation_at + static_cast<std::int64_t>(s);
        q.add(at, at, 2.0 * p.deviations[s].second.second);
    }
    for (std::size_t e = 0; e < p.barrier.size(); ++e) {
        c[barrier_at + static_cast<std::int64_t>(e)] = 1.0;
    }

    ConicData data;
    data.offset = offset;
    data.variables = variables;
    data.constraints = row;
    data.A = csc(a, row, variables);
    data.P = csc(q, variables, variables);
    data.b = to_array(b);
    data.c = to_array(c);
    data.cone["z"] = zero_rows;
    data.cone["l"] = linear_rows;
    if (py::len(soc) > 0) {
        data.cone["q"] = soc;
    }
    if (!p.barrier.empty()) {
        data.cone["ep"] = static_cast<py::ssize_t>(p.barrier.size());
    }
    data.structure = py::make_tuple(variables, row, zero_rows, linear_rows, py::tuple(soc),
                                    static_cast<py::ssize_t>(p.barrier.size()));
    return data;
}

// ---------------------------------------------------------------------------
// Solving
// ---------------------------------------------------------------------------

struct Solution {
    py::object x, y, s;
    py::object info;
    int status = 0;   // SCS's status_val
    double value = 0; // the primal objective
    double seconds = 0;
};

py::dict settings(double accuracy) {
    py::dict options;
    options["eps_abs"] = accuracy;
    options["eps_rel"] = accuracy;
    options["max_iters"] = kMaxIterations;
    options["verbose"] = false;
    return options;
}

// The cache entry for this pool and structure: a dict kept in the caller's cache,
// holding the last SCS object with its data and the last solution.
py::object cache_entry(py::handle cache, py::handle key) {
    if (cache.is_none()) {
        return py::none();
    }
    py::object found = cache.attr("get")(key);
    if (found.is_none()) {
        found = py::dict();
        cache[key] = found;
        py::object next = py::module_::import("builtins").attr("next");
        while (static_cast<py::ssize_t>(py::len(cache)) > kCachedProblems) {
            // Dicts keep their order of insertion: the first key is the oldest.
            cache.attr("pop")(next(py::iter(cache)));
        }
    }
    return found;
}

bool same_matrix(py::handle left, py::handle right) {
    auto same = [](py::handle a, py::handle b) { return truthy(np().attr("array_equal")(a, b)); };
    return py::tuple(left.attr("shape")).equal(py::tuple(right.attr("shape"))) &&
           same(left.attr("indptr"), right.attr("indptr")) &&
           same(left.attr("indices"), right.attr("indices")) &&
           same(left.attr("data"), right.attr("data"));
}

Solution run_scs(const ConicData &data, py::handle entry, double accuracy,
                 const Solution *warm = nullptr) {
    py::object scs = py::module_::import("scs");
    py::object clock = driver("time").attr("perf_counter");
    py::object started = clock();
    py::object solver = py::none();
    const bool cached = !entry.is_none();
    py::object x = py::none(), y = py::none(), s = py::none();
    if (warm != nullptr) {
        x = warm->x;
        y = warm->y;
        s = warm->s;
    } else if (cached && entry.contains("structure") &&
               py::object(entry["structure"]).equal(data.structure)) {
        x = entry["x"];
        y = entry["y"];
        s = entry["s"];
        // The same matrices at the same accuracy: the solver object set up for them
        // takes the new vectors, and its factorisation is kept.
        if (as_double(entry["accuracy"]) == accuracy && same_matrix(entry["A"], data.A) &&
            same_matrix(entry["P"], data.P)) {
            solver = entry["solver"];
            solver.attr("update")(py::arg("b") = data.b, py::arg("c") = data.c);
        }
    }
    if (solver.is_none()) {
        py::dict problem;
        problem["P"] = data.P;
        problem["A"] = data.A;
        problem["b"] = data.b;
        problem["c"] = data.c;
        solver = scs.attr("SCS")(problem, data.cone, **settings(accuracy));
    }
    py::dict result =
        x.is_none() ? py::dict(solver.attr("solve")())
                    : py::dict(solver.attr("solve")(py::arg("warm_start") = true, py::arg("x") = x,
                                                    py::arg("y") = y, py::arg("s") = s));
    Solution solution;
    solution.x = result["x"];
    solution.y = result["y"];
    solution.s = result["s"];
    solution.info = result["info"];
    solution.status = solution.info["status_val"].cast<int>();
    solution.value = as_double(solution.info["pobj"]) + data.offset;
    solution.seconds = as_double(clock() - started);
    if (cached && (solution.status == 1 || solution.status == 2)) {
        entry["structure"] = data.structure;
        entry["x"] = solution.x;
        entry["y"] = solution.y;
        entry["s"] = solution.s;
        entry["A"] = data.A;
        entry["P"] = data.P;
        entry["accuracy"] = accuracy;
        entry["solver"] = solver;
    }
    return solution;
}

// An interior-point solve of the same data (Clarabel poses cones as SCS does:
// A x + s = b, s in the cones, the exponential cone over (x, y, z) with
// y·exp(x/y) <= z): exact where SCS stops short of a limit that binds hard. Status
// as SCS numbers it: 1 solved, 2 almost solved, 0 not solved or not installed.
Solution run_clarabel(const ConicData &data) {
    Solution solution;
    py::object clarabel;
    try {
        clarabel = py::module_::import("clarabel");
    } catch (py::error_already_set &error) {
        if (!error.matches(PyExc_ImportError)) {
            throw;
        }
        return solution;
    }
    py::object clock = driver("time").attr("perf_counter");
    py::object started = clock();
    py::list cones;
    const auto zero = py::int_(data.cone["z"]).cast<py::ssize_t>();
    const auto linear = py::int_(data.cone["l"]).cast<py::ssize_t>();
    if (zero > 0) {
        cones.append(clarabel.attr("ZeroConeT")(zero));
    }
    if (linear > 0) {
        cones.append(clarabel.attr("NonnegativeConeT")(linear));
    }
    if (data.cone.contains("q")) {
        for (py::handle size : data.cone["q"]) {
            cones.append(clarabel.attr("SecondOrderConeT")(size));
        }
    }
    if (data.cone.contains("ep")) {
        for (py::ssize_t e = 0; e < py::int_(data.cone["ep"]).cast<py::ssize_t>(); ++e) {
            cones.append(clarabel.attr("ExponentialConeT")());
        }
    }
    py::object settings = clarabel.attr("DefaultSettings")();
    settings.attr("verbose") = false;
    py::object solver =
        clarabel.attr("DefaultSolver")(data.P, data.c, data.A, data.b, cones, settings);
    py::object result = solver.attr("solve")();
    std::string status = py::str(result.attr("status"));
    solution.status = status == "Solved" ? 1 : status == "AlmostSolved" ? 2 : 0;
    solution.x = np().attr("asarray")(result.attr("x"), py::arg("dtype") = "float64");
    solution.value = as_double(result.attr("obj_val")) + data.offset;
    solution.seconds = as_double(clock() - started);
    return solution;
}

bool solved(const Solution &solution) { return solution.status == 1 || solution.status == 2; }
bool infeasible(const Solution &solution) {
    return solution.status == -2 || solution.status == -7;
}

py::object logger() { return driver("logging").attr("getLogger")(kDriver); }

// The value cvxpy's solve returns for a status: the objective when solved, +inf
// for an infeasible problem, −inf for an unbounded one.
py::object reported_value(const Solution &solution) {
    if (solved(solution)) {
        return py::float_(solution.value);
    }
    if (infeasible(solution)) {
        return py::float_(std::numeric_limits<double>::infinity());
    }
    if (solution.status == -1 || solution.status == -6) {
        return py::float_(-std::numeric_limits<double>::infinity());
    }
    return py::none();
}

Solution solve_logged(const ConicData &data, py::handle entry, double accuracy) {
    Solution solution = run_scs(data, entry, accuracy);
    py::object value = reported_value(solution);
    if (value.is_none()) {
        // SCS gave up without a verdict: cvxpy reports that as a solver error.
        raise(driver("OptimizationFailed"), py::str("failed"));
    }
    logger().attr("info")("solve time: %f, optimization result = %f", solution.seconds, value);
    return solution;
}

// ---------------------------------------------------------------------------
// The result check: every hard limit at the weights, in its own units
// ---------------------------------------------------------------------------

double worst_violation(const Description &p, const Vector &w) {
    const py::ssize_t n = p.n;
    double worst = 0.0;
    for (double value : w) {
        worst = std::max(worst, -value);
    }
    if (p.unconstrained) {
        return worst;
    }
    if (p.has_bounds) {
        for (py::ssize_t i = 0; i < n; ++i) {
            worst = std::max({worst, p.lower[i] - w[i], w[i] - p.upper[i]});
        }
    }
    for (const LinearLimit &limit : p.linear) {
        if (!limit.hard) {
            continue;
        }
        double value = 0.0;
        for (py::ssize_t i = 0; i < n; ++i) {
            value += limit.coefficients[i] * w[i];
        }
        worst = std::max(worst,
                         limit.side == Bound::Upper ? value - limit.bound : limit.bound - value);
    }
    for (const TurnoverTerm &term : p.turnover) {
        if (!term.hard) {
            continue;
        }
        double traded = 0.0;
        for (std::size_t i = 0; i < term.holding.size(); ++i) {
            const double held = static_cast<py::ssize_t>(i) < n ? w[i] : 0.0;
            traded += std::fabs(held - term.holding[i]);
        }
        worst = std::max(worst, traded - 2.0 * term.upper);
    }
    if (!p.tracking_error.empty()) {
        Vector active(p.union_size);
        for (py::ssize_t j = 0; j < p.union_size; ++j) {
            active[j] = (j < n ? w[j] : 0.0) - p.benchmark[j];
        }
        py::object root = p.root;
        py::object exposure = matmul(to_array(active), root);
        double variance = exposure.attr("dot")(exposure).cast<double>();
        for (py::ssize_t j = 0; j < p.union_size; ++j) {
            variance += p.specific[j] * active[j] * active[j];
        }
        const double tracking_error = std::sqrt(std::max(variance, 0.0));
        for (const TrackingErrorTerm &term : p.tracking_error) {
            if (term.hard) {
                worst = std::max(worst, tracking_error - term.upper);
            }
        }
    }
    return std::isnan(worst) ? std::numeric_limits<double>::infinity() : worst;
}

// g over its sum, or empty when there is no usable point. g is nonnegative by
// definition: what a first-order solver leaves below 0 is rounding, set to 0.
Vector normalised(const Solution &solution, py::ssize_t n) {
    Vector x = to_vector(solution.x);
    Vector w(x.begin(), x.begin() + n);
    for (double &value : w) {
        value = std::max(value, 0.0);
    }
    const double sum = std::accumulate(w.begin(), w.end(), 0.0);
    if (!std::isfinite(sum) || sum <= 0.0) {
        return Vector();
    }
    for (double &value : w) {
        value /= sum;
    }
    return w;
}

bool has_soft(const Description &p) {
    auto soft = [](const auto &items) {
        return std::any_of(items.begin(), items.end(),
                           [](const auto &item) { return !item.hard; });
    };
    return soft(p.linear) || soft(p.turnover) || soft(p.tracking_error);
}

} // namespace

Outcome solve_direct(const Inputs &inputs, py::handle helper, const Collaborators &with) {
    Description problem = describe(inputs, helper);
    const double accuracy = with.accuracy.is_none() ? kAccuracy : as_double(with.accuracy);
    bool with_soft = has_soft(problem);
    Outcome outcome;
    outcome.backend = "direct";
    outcome.solver = py::str("SCS");

    auto key_of = [&](const ConicData &data) {
        return py::make_tuple(py::tuple(inputs.pool), data.structure);
    };
    ConicData data = conic_data(problem, with_soft);
    py::object entry = cache_entry(with.cache, key_of(data));
    Solution solution;
    while (true) {
        solution = solve_logged(data, entry, accuracy);
        outcome.value = reported_value(solution);
        if (solved(solution)) {
            break;
        }
        if (infeasible(solution)) {
            if (with_soft) {
                warn_optimizer(kDriver, py::str("约束无法满足，放弃所有软约束重试"));
                with_soft = false;
                outcome.soft_dropped = true;
                data = conic_data(problem, false);
                entry = cache_entry(with.cache, key_of(data));
                continue;
            }
            raise_infeasible(outcome.value, inputs, helper);
        }
        raise(driver("OptimizationFailed"), outcome.value);
    }

    Vector x = to_vector(solution.x);
    const double total = std::accumulate(x.begin(), x.begin() + problem.n, 0.0);
    logger().attr("debug")("g.value.sum() = %f, zeta = %f", total, x[problem.n]);
    Vector weights = normalised(solution, problem.n);
    if (weights.empty()) {
        raise(driver("OptimizationFailed"), outcome.value);
    }
    double worst = worst_violation(problem, weights);
    int status = solution.status;
    // A portfolio beyond a hard limit is no answer, and an inaccurate one is
    // finished when that is cheap: a tighter SCS solve from this solution (the
    // cache keeps the first answer), then an interior-point solve of the same data.
    // A finish is taken when it breaks the limits less, or as little within the
    // tolerance and accurately.
    for (int finish = 0; finish < 2 && (worst > kLimitTolerance || status == 2); ++finish) {
        Solution next =
            finish == 0 ? run_scs(data, py::none(), std::min(accuracy, kTightAccuracy), &solution)
                        : run_clarabel(data);
        if (!solved(next)) {
            continue;
        }
        logger().attr("info")("solve time: %f, optimization result = %f", next.seconds,
                              next.value);
        Vector candidate = normalised(next, problem.n);
        if (candidate.empty()) {
            continue;
        }
        const double violation = worst_violation(problem, candidate);
        const bool better =
            violation < worst || (violation <= kLimitTolerance && status == 2 && next.status == 1);
        if (better) {
            worst = violation;
            weights = candidate;
            outcome.value = py::float_(next.value);
            outcome.solver = py::str(finish == 0 ? "SCS" : "CLARABEL");
            status = next.status;
        }
    }
    if (worst > kLimitTolerance) {
        raise(driver("OptimizationFailed"),
              format("求解结果违反约束 {:.3g}，超过容差 {}", worst, kLimitTolerance));
    }
    outcome.inaccurate = status == 2;
    if (outcome.inaccurate) {
        warn_optimizer(
            kDriver, py::str("达到最大迭代次数，但仍未达到所需精度，可能会导致某些约束不能满足"));
    }
    outcome.weights = to_array(weights);
    outcome.constraint_terms = problem.constraint_terms;
    return outcome;
}

} // namespace vantelo
