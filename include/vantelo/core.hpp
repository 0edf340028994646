// One optimisation in explicit stages, shared by portfolio_optimize, the diagnosis,
// the constraint check, the report and rebalancing:
//
//   inputs  = normalise(arguments, collaborators)   the pool cleaned, the date, the
//                                                    objective and benchmark checked
//   helper  = build_helper(inputs, collaborators)   the market data of the call
//   problem = assemble(inputs, helper, collaborators)  variables, hard and soft
//                                                    constraints, the objective
//   outcome = solve(problem, inputs, helper, collaborators)  the solve loop, the
//                                                    soft retry, the result check
//
// What the stages use besides the caller's arguments (the market-data client, the
// helper's class, cvxpy, a risk model of the caller's own) is handed to them as
// Collaborators; nothing is read from a module attribute that someone else may
// have swapped. portfolio_optimize reads its module's attributes at call time and
// passes them on.
#pragma once

#include "vantelo/common.hpp"
#include "vantelo/inputs.hpp"

#include <string>

namespace vantelo {

// A weight at or below this is not a position: solvers leave such crumbs.
constexpr double kHoldingThreshold = 1e-6;

// How far a portfolio may lie past one of its limits, in the limit's own units (a
// weight, an exposure, a volatility, a turnover), and still count as meeting it:
// about the accuracy SCS reaches at its default settings. The driver's result
// check, check_constraints and the command line's check all judge by it.
constexpr double kLimitTolerance = 1e-3;

// A limit within this of its bound binds it: exact arithmetic's rounding.
constexpr double kBindingTolerance = 1e-6;

struct Collaborators {
    py::object client;      // the market-data client: tidewell, or a stand-in with its calls
    py::object make_helper; // OptimizeHelper, or a caller's own class of that signature
    // cvxpy, read from `cp_home`'s attribute `cp` when first needed: a call on the
    // direct back-end never loads it.
    mutable py::object cp = py::none();
    const char *cp_home = "vantelo.optimize";
    py::object cvxpy() const;
    // A RiskModel of the caller's own (or a callable date -> RiskModel), or None:
    // handed to the helper, which then answers every covariance question from it.
    py::object risk_model = py::none();
    // The client the helper reads through, when it is to read through another than
    // its module's own.
    py::object helper_client = py::none();
    // Where the direct back-end keeps its assembled problems and their last
    // solutions between calls (a dict the caller owns), or None: a schedule hands
    // the same one to every date, so the next date starts from this one's solution.
    py::object cache = py::none();
    // "auto" (the direct back-end when the problem allows it), "direct" or "cvxpy".
    std::string backend = "auto";
    // SCS's eps_abs and eps_rel, on either back-end; None: the defaults.
    py::object accuracy = py::none();
};

// The collaborators portfolio_optimize uses: its module's attributes, read now.
Collaborators driver_collaborators();

struct Inputs {
    py::object pool;      // the cleaned pool, ascending
    py::object date;      // a calendar date
    py::object objective; // an OptimizationObjective
    py::object bnds;      // as given: None or a dict
    py::object cons;      // as given: None or an iterable of constraint objects
    py::object benchmark; // None or an OptimizeBenchmark
    py::object cov_model; // a CovModel member
};

// The arguments of portfolio_optimize read as it reads them. A pool of one stock
// stops here: `single` is set and nothing after the pool is checked, except that
// the stock's own bounds must allow it the whole portfolio.
Inputs normalise(py::handle order_book_ids, py::handle date, py::handle objective, py::handle bnds,
                 py::handle cons, py::handle benchmark, py::handle cov_model,
                 const Collaborators &with, bool &single);

// The helper of the call, built by `with.make_helper(pool, date, benchmark,
// cov_model)`, with the client and the risk model when they are not the defaults.
py::object build_helper(const Inputs &inputs, const Collaborators &with);

// The assembled problem of one call, on the cvxpy back-end.
struct Problem {
    py::object g;
    py::object zeta;
    py::list hard;    // full investment, the objective's own, bounds, hard constraint objects
    py::list soft;    // the soft constraint objects' constraints
    py::list checked; // what a returned portfolio must meet: bounds and hard objects
    py::object objective_expression;
    py::object problem; // the cvxpy problem solved
    bool unconstrained = false;
};

Problem assemble(const Inputs &inputs, py::handle helper, const Collaborators &with);

// How a solve ended.
struct Outcome {
    py::object weights = py::none(); // g over its sum, a float array in pool order
    py::object value = py::none();   // the last solve's return value
    bool soft_dropped = false;       // solved without the soft constraints
    bool inaccurate = false;         // solved short of the solver's accuracy
    py::object solver = py::none();  // the solver that gave the weights
    const char *backend = "cvxpy";   // "direct" or "cvxpy"
    // The direct back-end's terms of each constraint object, in the order of
    // `cons` (None on the cvxpy back-end): what the result measures its limits by.
    py::object constraint_terms = py::none();
};

// Solves the problem: an infeasible one with soft constraints once more without
// them (with the OptimizerWarning), any other failure OptimizationFailed (an
// infeasible one carrying its diagnosis); the weights are checked against every
// hard limit within kLimitTolerance, with a tighter solve and another solver
// before the call gives up.
// Raises the OptimizationFailed of an infeasible problem, the solver's `value` its
// argument and the diagnosis of the problem's limits its `diagnosis`.
[[noreturn]] void raise_infeasible(py::handle value, const Inputs &inputs, py::handle helper);

Outcome solve(Problem &problem, const Inputs &inputs, py::handle helper,
              const Collaborators &with);

} // namespace vantelo
