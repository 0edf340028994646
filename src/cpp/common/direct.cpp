// The direct back-end's entry points: which calls may take it, and the solve of one
// call (the soft-constraint retry, the result check and its finishing solves).
#include "direct_internal.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <string>
#include <vector>

namespace vantelo {

using namespace direct_detail;

namespace {

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

// Whether a soft turnover limit is beyond every portfolio the bounds allow, so that
// the first solve with it can only fail: SCS takes several times a solve's
// iterations to prove that, and a schedule meets it on every date a stock leaves
// the pool or outgrows its bound. The least two-way trade from h to the bounds and
// a full budget is Σ|c − h| + |1 − Σc| with c = h clipped to the bounds (once
// clipped, each further unit moved to meet the budget costs one), plus what is held
// outside the pool. Only a shortfall past the result check's tolerance counts,
// which no solve with the limit could have passed; a scaled problem is left to the
// solver (its scale may shrink to 0).
bool soft_turnover_unreachable(const Description &p) {
    if (p.scaled || p.turnover.empty()) {
        return false;
    }
    const auto n = static_cast<std::size_t>(p.n);
    double least_total = 0.0;
    double most_total = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
        least_total += p.has_bounds ? p.lower[i] : 0.0;
        most_total += p.has_bounds ? p.upper[i] : std::numeric_limits<double>::infinity();
    }
    if (!(least_total <= 1.0 && most_total >= 1.0)) {
        return false; // no portfolio meets the bounds: the solver says so
    }
    for (const TurnoverTerm &term : p.turnover) {
        if (term.hard) {
            continue;
        }
        double traded = 0.0;
        double clipped_total = 0.0;
        for (std::size_t i = 0; i < term.holding.size(); ++i) {
            if (i >= n) {
                traded += std::fabs(term.holding[i]);
                continue;
            }
            double clipped = std::max(term.holding[i], p.has_bounds ? p.lower[i] : 0.0);
            if (p.has_bounds) {
                clipped = std::min(clipped, p.upper[i]);
            }
            traded += std::fabs(clipped - term.holding[i]);
            clipped_total += clipped;
        }
        traded += std::fabs(1.0 - clipped_total);
        if (traded - 2.0 * term.upper > kLimitTolerance) {
            return true;
        }
    }
    return false;
}

} // namespace

Outcome solve_direct(const Inputs &inputs, py::handle helper, const Collaborators &with) {
    Description problem = describe(inputs, helper);
    const double accuracy = with.accuracy.is_none() ? kAccuracy : as_double(with.accuracy);
    bool with_soft = has_soft(problem);
    Outcome outcome;
    outcome.backend = "direct";
    outcome.solver = py::str("SCS");

    auto drop_soft = [&]() {
        warn_optimizer(kDriver, py::str("约束无法满足，放弃所有软约束重试"));
        with_soft = false;
        outcome.soft_dropped = true;
    };
    if (with_soft && soft_turnover_unreachable(problem)) {
        drop_soft();
    }

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
                drop_soft();
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
