#include "vantelo/core.hpp"
#include "vantelo/inputs.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>
#include <vector>

namespace vantelo {
namespace {

constexpr const char *kDriver = "vantelo.optimize";
constexpr int kMaxIterations = 10000;
// The accuracy of the one tighter SCS solve.
constexpr double kTightAccuracy = 1e-7;
// Solvers that finish a solve SCS could not make accurate enough, in the order
// they are tried: interior-point methods, exact where the first-order method is
// not, and installed with cvxpy on every interpreter we support.
constexpr const char *kFallbackSolvers[] = {"CLARABEL"};

py::object driver(const char *name) { return module_attr(kDriver, name); }

// The iteration limit under each solver's own keyword; a solver missing here is
// given no limit rather than a keyword it would reject.
py::dict solve_options(py::handle solver) {
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

py::object elapsed_since(py::handle start) {
    return driver("time").attr("perf_counter")() - py::reinterpret_borrow<py::object>(start);
}

// The driver's own logger: records reach whatever handlers the application set
// up, and logging through it never configures the root logger on the user's
// behalf (the module-level logging functions do, on first use).
py::object logger() { return driver("logging").attr("getLogger")(kDriver); }

bool solved(py::handle status, const Collaborators &with) {
    return status.equal(with.cvxpy().attr("OPTIMAL")) ||
           status.equal(with.cvxpy().attr("OPTIMAL_INACCURATE"));
}

bool infeasible(py::handle status, const Collaborators &with) {
    return status.equal(with.cvxpy().attr("INFEASIBLE")) ||
           status.equal(with.cvxpy().attr("INFEASIBLE_INACCURATE"));
}

// `problem.solve(**options)` with cvxpy's note that a solution may be inaccurate
// kept inside: the driver judges every solution by its own check and says itself
// when the one it returns is inaccurate.
py::object quiet_solve(py::handle problem, const py::dict &options) {
    py::object warnings = driver("warnings");
    py::object guard = warnings.attr("catch_warnings")();
    guard.attr("__enter__")();
    py::object result;
    try {
        warnings.attr("filterwarnings")("ignore",
                                        py::arg("message") = "Solution may be inaccurate");
        result = problem.attr("solve")(**options);
    } catch (py::error_already_set &) {
        guard.attr("__exit__")(py::none(), py::none(), py::none());
        throw;
    }
    guard.attr("__exit__")(py::none(), py::none(), py::none());
    return result;
}

// One solve with its log line; a SolverError is the call's failure.
py::object solve_once(py::handle problem, py::dict options, const Collaborators &with) {
    try {
        py::object start_at = driver("time").attr("perf_counter")();
        py::object result = quiet_solve(problem, options);
        logger().attr("info")("solve time: %f, optimization result = %f", elapsed_since(start_at),
                              result);
        return result;
    } catch (py::error_already_set &error) {
        if (error.matches(with.cvxpy().attr("SolverError"))) {
            raise_in_context(driver("OptimizationFailed"), py::str("failed"), error);
        }
        throw;
    }
}

// RiskParity's expression, as the driver solves it: the risk term in a unit
// proportional to the pool's equal-weight variance, so that the solver sees the
// same numbers whatever the covariance's unit (the problem is homogeneous in g, so
// the normalised weights are unchanged). A stock whose upper bound is 0 can only
// hold 0, where the logarithm of its weight is undefined: the barrier leaves it
// out (the bound keeps it at 0), so the problem stays solvable. A subclass that
// writes its own expression keeps it.
py::object risk_parity_expression(py::handle objective, py::handle g, py::handle zeta,
                                  py::handle helper, py::handle upper_bound) {
    py::object own = py::type::of(objective).attr("get_objective_expr");
    py::object base = driver("RiskParity").attr("get_objective_expr");
    if (!own.is(base)) {
        return objective.attr("get_objective_expr")(g, zeta, helper);
    }
    py::object held = py::none();
    if (!upper_bound.is_none()) {
        py::object positive = driver("np").attr("greater")(upper_bound, 0.0);
        if (!truthy(positive.attr("all")())) {
            held = positive;
        }
    }
    return module_attr("vantelo.objective", "_risk_parity_expr")(g, helper, held);
}

// How far `constraint` is broken at the variables' current values, on the scale of
// the limit the caller gave: a quadratic form held below a square (a tracking error
// held below its limit squared) is measured as the difference of the square roots,
// a volatility, since in variance units an overshoot of 1.95% over a 1.5% limit is
// only 1.6e-4.
double constraint_violation(py::handle constraint, const Collaborators &with) {
    py::object inequality = with.cvxpy().attr("constraints").attr("Inequality");
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
    return driver("np")
        .attr("max")(constraint.attr("violation")(), py::arg("initial") = 0.0)
        .cast<double>();
}

// The scale of g at its solution: zeta's value, or for risk parity without limits
// (solved over g alone) g's sum.
py::object scale_of(const Problem &problem, const Collaborators &with) {
    py::object scale = py::isinstance(problem.zeta, with.cvxpy().attr("Variable"))
                           ? py::object(problem.zeta.attr("value"))
                           : problem.zeta;
    if (scale.is_none()) {
        py::object solution = problem.g.attr("value");
        scale = solution.is_none() ? py::object(py::float_(std::nan(""))) : solution.attr("sum")();
    }
    return scale;
}

// The largest amount by which `weight` breaks a constraint of `checked` (or its
// nonnegativity), in the units of its limit (a weight, an exposure, a volatility):
// each constraint is evaluated at g = weight times the scale, the scale divided out
// again.
double worst_violation(const Problem &problem, py::handle weight, const Collaborators &with) {
    py::object np = driver("np");
    double worst = std::max(0.0, -np.attr("min")(weight).cast<double>());
    if (py::len(problem.checked) == 0) {
        return worst;
    }
    const double scale = scale_of(problem, with).cast<double>();
    if (!(scale > 0.0)) {
        return std::numeric_limits<double>::infinity();
    }
    problem.g.attr("value") = np.attr("maximum")(weight * py::float_(scale), 0.0);
    for (py::handle constraint : problem.checked) {
        const double violation = constraint_violation(constraint, with);
        if (std::isnan(violation)) {
            return std::numeric_limits<double>::infinity();
        }
        worst = std::max(worst, violation / scale);
    }
    return worst;
}

// g's solution over its sum, or None when the solver called the problem solved
// and handed back no usable point.
py::object normalised_solution(const Problem &problem) {
    py::object solution = problem.g.attr("value");
    if (solution.is_none()) {
        return py::none();
    }
    const double sum = solution.attr("sum")().cast<double>();
    if (!std::isfinite(sum) || sum <= 0.0) {
        return py::none();
    }
    return solution / py::float_(sum);
}

// The solvers to try, in order, after the first solve's weights failed the check:
// the preferred solver once more at a tight accuracy when it is SCS, then each
// installed interior-point solver.
std::vector<std::pair<py::object, py::dict>> finishing_solves(py::handle preferred,
                                                              const Collaborators &with) {
    std::vector<std::pair<py::object, py::dict>> solves;
    if (py::reinterpret_borrow<py::object>(preferred).equal(py::str("SCS"))) {
        py::dict options = solve_options(preferred);
        options["eps_abs"] = kTightAccuracy;
        options["eps_rel"] = kTightAccuracy;
        solves.emplace_back(py::reinterpret_borrow<py::object>(preferred), options);
        py::list installed = with.cvxpy().attr("installed_solvers")();
        for (const char *name : kFallbackSolvers) {
            if (installed.contains(py::str(name))) {
                solves.emplace_back(py::str(name), solve_options(py::str(name)));
            }
        }
    }
    return solves;
}

} // namespace

py::object Collaborators::cvxpy() const {
    if (cp.is_none()) {
        cp = module_attr(cp_home, "cp");
    }
    return cp;
}

void raise_infeasible(py::handle value, const Inputs &inputs, py::handle helper) {
    // Which limits collide, and by how much, travels with the failure.
    py::object error = driver("OptimizationFailed")(value);
    error.attr("diagnosis") = module_attr("vantelo.diagnose", "_explain_failure")(
        inputs.pool, inputs.objective, inputs.bnds, inputs.cons, helper);
    PyErr_SetObject(py::type::of(error).ptr(), error.ptr());
    throw py::error_already_set();
}

Collaborators driver_collaborators() {
    Collaborators with;
    with.client = driver("tidewell");
    with.make_helper = driver("OptimizeHelper");
    return with;
}

Inputs normalise(py::handle order_book_ids, py::handle date, py::handle objective, py::handle bnds,
                 py::handle cons, py::handle benchmark, py::handle cov_model,
                 const Collaborators &with, bool &single) {
    Inputs inputs;
    inputs.date = py::reinterpret_borrow<py::object>(date);
    inputs.pool = cleaned_pool(order_book_ids, inputs.date, with.client);
    inputs.objective = py::reinterpret_borrow<py::object>(objective);
    inputs.bnds = py::reinterpret_borrow<py::object>(bnds);
    inputs.cons = py::reinterpret_borrow<py::object>(cons);
    single = py::len(inputs.pool) < 2;
    if (single) {
        // The one stock takes the whole portfolio, which its own bounds may forbid:
        // parse_bnds then reports the bound that cannot be met. Anything but a
        // dictionary of bounds is left to a pool that needs solving.
        if (PyDict_Check(bnds.ptr())) {
            driver("parse_bnds")(bnds, inputs.pool);
        }
        return inputs;
    }
    inputs.benchmark = checked_benchmark(objective, py::reinterpret_borrow<py::object>(benchmark));
    inputs.cov_model = driver("to_enum")(cov_model, driver("CovModel"));
    return inputs;
}

py::object build_helper(const Inputs &inputs, const Collaborators &with) {
    py::dict extra;
    if (!with.risk_model.is_none()) {
        extra["risk_model"] = with.risk_model;
    }
    if (!with.helper_client.is_none()) {
        extra["client"] = with.helper_client;
    }
    return with.make_helper(inputs.pool, inputs.date, inputs.benchmark, inputs.cov_model, **extra);
}

Problem assemble(const Inputs &inputs, py::handle helper, const Collaborators &with) {
    Problem problem;
    const py::ssize_t n = py::len(inputs.pool);
    py::object variable = with.cvxpy().attr("Variable");
    problem.g = variable(n, py::arg("nonneg") = true);
    const bool risk_parity = py::isinstance(inputs.objective, driver("RiskParity"));
    // Risk parity scales like the ratio objectives: its weights are g / sum(g) at
    // any scale, so a fixed budget would only bend the barrier's optimum away from
    // equal risk contributions, and every bound and limit, written as a multiple of
    // zeta, stays homogeneous.
    if (is_ratio_objective(inputs.objective) || risk_parity) {
        problem.zeta = variable(py::arg("nonneg") = true);
    } else {
        problem.zeta = py::float_(1.0);
    }
    const py::object &g = problem.g;
    const py::object &zeta = problem.zeta;

    problem.hard.append(equal_to(with.cvxpy().attr("sum")(g) - zeta, py::int_(0)));
    for (py::handle constraint :
         inputs.objective.attr("get_internal_constraints")(g, zeta, helper)) {
        problem.hard.append(constraint);
    }
    py::object upper_bound = py::none();
    if (!inputs.bnds.is_none()) {
        py::tuple bounds = driver("parse_bnds")(inputs.bnds, inputs.pool);
        upper_bound = bounds[1];
        problem.hard.append(greater_equal(g - zeta * bounds[0], py::int_(0)));
        problem.hard.append(less_equal(g - zeta * bounds[1], py::int_(0)));
        problem.checked.append(problem.hard[py::len(problem.hard) - 2]);
        problem.checked.append(problem.hard[py::len(problem.hard) - 1]);
    }
    if (!inputs.cons.is_none()) {
        for (py::handle constraint : inputs.cons) {
            const bool hard = truthy(constraint.attr("hard"));
            py::list &target = hard ? problem.hard : problem.soft;
            for (py::handle item : constraint.attr("to_constraints")(g, zeta, helper)) {
                target.append(item);
                if (hard) {
                    problem.checked.append(item);
                }
            }
        }
    }

    problem.objective_expression =
        risk_parity ? risk_parity_expression(inputs.objective, g, zeta, helper, upper_bound)
                    : py::object(inputs.objective.attr("get_objective_expr")(g, zeta, helper));
    py::object minimise = with.cvxpy().attr("Minimize")(problem.objective_expression);
    problem.unconstrained = risk_parity && !truthy(inputs.bnds) && !truthy(inputs.cons);
    problem.problem = problem.unconstrained
                          ? with.cvxpy().attr("Problem")(minimise)
                          : with.cvxpy().attr("Problem")(minimise, problem.hard + problem.soft);
    return problem;
}

Outcome solve(Problem &problem, const Inputs &inputs, py::handle helper,
              const Collaborators &with) {
    Outcome outcome;
    py::object &cvx = problem.problem;
    outcome.solver = inputs.objective.attr("get_preferred_solver")();
    while (true) {
        outcome.solver = inputs.objective.attr("get_preferred_solver")();
        py::dict options = solve_options(outcome.solver);
        if (!with.accuracy.is_none() && outcome.solver.equal(py::str("SCS"))) {
            options["eps_abs"] = with.accuracy;
            options["eps_rel"] = with.accuracy;
        }
        outcome.value = solve_once(cvx, options, with);
        py::object status = cvx.attr("status");
        if (solved(status, with)) {
            break;
        }
        if (infeasible(status, with)) {
            if (py::len(problem.soft) > 0) {
                warn_optimizer(kDriver, py::str("约束无法满足，放弃所有软约束重试"));
                problem.soft = py::list();
                outcome.soft_dropped = true;
                cvx = with.cvxpy().attr("Problem")(cvx.attr("objective"), problem.hard);
                continue;
            }
            raise_infeasible(outcome.value, inputs, helper);
        }
        raise(driver("OptimizationFailed"), outcome.value);
    }

    py::object solution = problem.g.attr("value");
    py::object total = solution.is_none() ? py::object(py::none()) : solution.attr("sum")();
    py::object scale = scale_of(problem, with);
    logger().attr("debug")("g.value.sum() = %f, zeta = %f", total, scale);
    py::object weights = normalised_solution(problem);
    if (weights.is_none()) {
        raise(driver("OptimizationFailed"), outcome.value);
    }
    // Whatever the status, a portfolio beyond its bounds or hard constraints is no
    // answer. SCS at its default accuracy can overshoot a binding limit by about
    // the tolerance on large pools, so it gets a tighter solve, and where that
    // still falls short an interior-point solver finishes the problem.
    double worst = problem.unconstrained ? 0.0 : worst_violation(problem, weights, with);
    py::object status_of_weights = cvx.attr("status");
    if (worst > kLimitTolerance) {
        for (auto &[solver, options] : finishing_solves(outcome.solver, with)) {
            py::object value;
            try {
                value = solve_once(cvx, options, with);
            } catch (py::error_already_set &error) {
                // A solver that cannot take the problem leaves it to the next one.
                if (!error.matches(driver("OptimizationFailed"))) {
                    throw;
                }
                continue;
            }
            if (!solved(cvx.attr("status"), with)) {
                continue;
            }
            py::object candidate = normalised_solution(problem);
            if (candidate.is_none()) {
                continue;
            }
            const double violation = worst_violation(problem, candidate, with);
            if (violation < worst) {
                worst = violation;
                weights = candidate;
                outcome.value = value;
                outcome.solver = solver;
                status_of_weights = cvx.attr("status");
            }
            if (worst <= kLimitTolerance) {
                break;
            }
        }
        if (worst > kLimitTolerance) {
            raise(driver("OptimizationFailed"),
                  format("求解结果违反约束 {:.3g}，超过容差 {}", worst, kLimitTolerance));
        }
    }
    outcome.inaccurate = status_of_weights.equal(with.cvxpy().attr("OPTIMAL_INACCURATE"));
    if (outcome.inaccurate) {
        warn_optimizer(
            kDriver, py::str("达到最大迭代次数，但仍未达到所需精度，可能会导致某些约束不能满足"));
    }
    outcome.weights = weights;
    return outcome;
}

} // namespace vantelo
