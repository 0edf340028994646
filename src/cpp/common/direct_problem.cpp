// The call's terms in numbers: the bounds, each constraint's and the objective's
// terms, and the risk model's factor root over the union of pool and benchmark.
#include "direct_internal.hpp"

#include <cmath>
#include <string>

namespace vantelo {
namespace direct_detail {
namespace {

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

} // namespace

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

} // namespace direct_detail
} // namespace vantelo
