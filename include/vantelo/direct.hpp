// The direct back-end: the package's own objectives and constraints (their exact
// types) over a risk model in factor form, assembled straight into the conic data
// SCS solves (P, A, b, c and the cones) from the objects' terms, the factor root
// and the specific variances, without building a cvxpy object.
//
// Variables, in fixed slots for a pool: [g (n) | zeta | y (k) | y_active (k) |
// auxiliaries], with y = root_poolᵀ g and y_active = root_poolᵀ g − zeta ·
// root_unionᵀ b, so that a problem of the same pool and structure differs from the
// last only in its numbers and the solver starts from the last solution.
#pragma once

#include "vantelo/core.hpp"

#include <string>

namespace vantelo {

// Whether the call may take the direct back-end, and if not why (for a caller
// that asked for it): the helper is OptimizeHelper itself, the objective and every
// constraint are of the package's own classes with their own protocol methods, the
// risk model is in factor form (or dense and small), and cvxpy as the driver sees
// it is cvxpy itself, unpatched. A generator of constraints is made a list first,
// so that whichever back-end runs still sees every constraint.
bool direct_eligible(Inputs &inputs, const Collaborators &with, std::string &reason);

// Whether `constraint` is exactly one of vantelo.constraints' own classes with the
// protocol methods that module gave it: its terms then say what it demands.
bool is_own_constraint(py::handle constraint);

// The direct back-end's solve of one call: the soft-constraint retry, the
// inaccurate-solve warning, the log lines, OptimizationFailed (with the diagnosis of
// an infeasible problem) and the result check with the tighter solve, as solve()
// has them for the cvxpy back-end.
Outcome solve_direct(const Inputs &inputs, py::handle helper, const Collaborators &with);

} // namespace vantelo
