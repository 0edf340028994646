// vantelo.diagnose: why a problem has no solution, and how a portfolio stands
// against its limits.
//
// explain_infeasibility takes the arguments of portfolio_optimize, lists the
// limits the problem is made of (include/vantelo/limits.hpp) and solves an
// elastic version of it once: every limit may move, at a cost of one per unit of
// its own scale (a weight, an exposure, a volatility, a turnover). The limits that
// move in the cheapest relaxation are the conflicts. A limit has moved when its
// relaxation is past the solver's tolerance and its multiplier has reached its
// cost: an interior-point solver leaves a slack a little above zero beside a limit
// that was nearly as cheap to move, and that is rounding. Limits of different
// groups cost different amounts; where two of one group moved, a second solve
// makes the earlier-given one a little dearer, so that of limits that could move
// by the same amount one does. The limits pressing on the relaxation (positive
// multipliers) cannot hold together; around the costliest conflict, a deletion
// filter trims them to an irreducible infeasible subset, asking each question of
// one small problem of those limits alone. Each problem is compiled once and
// solved again with other slack costs; the solvers of SOLVERS are tried in turn,
// and when none can solve it the report says that the diagnosis could not be
// made, and why.
// check_constraints measures given weights against the same limits.
#include "diagnose.hpp"

#include <pybind11/options.h>

namespace vantelo {
namespace diagnose {
namespace {

constexpr const char *kReportDoc = R"(
    Why a problem has no solution.

    feasible: whether every limit, hard and soft, can hold together.
    conflicts: DataFrame, one row per limit that moves in the cheapest relaxation
        (of limits that could move by the same amount, one: the one given last):
        label, constraint (the object, or None), side ("lower", "upper" or
        "equal"), limit (as given, in its units), attainable (the value the
        limit's quantity takes in that relaxation), relaxation (how far the limit
        moves there, >= 0) and hard. Moving every listed limit by its relaxation
        makes the problem solvable. A relaxation below the solver's tolerance on
        the limit's own scale is rounding and never listed.
    minimal_set: labels of limits that cannot hold together, each one needed.
    hard_only_feasible: whether the hard limits alone can hold.
    diagnosed: whether the diagnosis could be made; when it could not (no solver
        solved the relaxed problem), feasible and hard_only_feasible are False,
        conflicts and minimal_set empty, and reason says why.
    reason: why the diagnosis could not be made; "" when it was.
    solver: the solver that answered (see SOLVERS), or None.
    )";

constexpr const char *kExplainDoc = R"(
    Says which limits of a problem collide, and by how much.

    Takes the arguments of portfolio_optimize (the pool cleaned, the bounds read
    and the helper built as there; hard and soft constraints alike) and returns an
    InfeasibilityReport. Every limit counts: per-stock bounds, full investment,
    the objective's own constraints and each side of each constraint object. The
    solvers of SOLVERS are tried in turn; when none can solve the relaxed
    problem, the report says that the diagnosis could not be made, and why.
    risk_model: a vantelo.risk.RiskModel of your own (or a callable date ->
    RiskModel) for the covariance, as vantelo.core.optimize takes it.
    )";

constexpr const char *kCheckDoc = R"(
    Measures a portfolio against the limits of bnds and cons.

    Returns a DataFrame with one row per limit (labelled as explain_infeasibility
    labels them): label, value (the portfolio's value in the limit's units),
    lower, upper, slack (distance to the bound, negative when past it), binding
    (within 1e-6 of the bound) and violated (past it by more than
    vantelo.core.LIMIT_TOLERANCE, 1e-3 in the limit's units: what the optimiser
    itself accepts). risk_model: a RiskModel of your own for the tracking error,
    as vantelo.core.optimize takes it.
    )";

} // namespace
} // namespace diagnose
} // namespace vantelo

PYBIND11_MODULE(diagnose, m) {
    using namespace vantelo;
    using namespace vantelo::diagnose;
    ModuleOptions options;

    import_modules(m, {{"warnings"}, {"numpy", "np"}, {"pandas", "pd"}, {"cvxpy", "cp"}});
    import_names(m, "vantelo.exception", {"InvalidArgument", "OptimizerWarning"});
    import_names(m, "vantelo.const", {"CovModel"});

    ClassBuilder(m, "InfeasibilityReport", py::str(kReportDoc))
        .init(&report_init, py::arg("feasible"), py::arg("conflicts"), py::arg("minimal_set"),
              py::arg("hard_only_feasible"), py::arg("diagnosed") = true,
              py::arg("reason") = py::str(""), py::arg("solver") = py::none())
        .method("__str__", &report_text)
        .method("__repr__", &report_text);

    // The solvers the diagnosis tries, in turn: (name in cvxpy, options, tolerance:
    // the smallest relaxation, and shortfall of a multiplier from its cost, that
    // the solver tells from rounding on a limit of scale 1). A simplex method
    // first, exact on linear problems (cones it passes on); an interior-point
    // method; a first-order method held to a tight tolerance.
    py::dict simplex;
    simplex["method"] = "highs-ds";
    py::dict scipy_options;
    scipy_options["scipy_options"] = simplex;
    py::dict scs_options;
    scs_options["eps_abs"] = 1e-7;
    scs_options["eps_rel"] = 1e-7;
    scs_options["max_iters"] = 100000;
    py::list solvers;
    solvers.append(py::make_tuple("SCIPY", scipy_options, 1e-7));
    // Held a little tighter than its defaults: a limit that was nearly as cheap to
    // move keeps a slack of about the accuracy, which the moved one then lacks.
    py::dict clarabel_options;
    for (const char *name : {"tol_gap_abs", "tol_gap_rel", "tol_feas"}) {
        clarabel_options[name] = 1e-9;
    }
    solvers.append(py::make_tuple("CLARABEL", clarabel_options, 1e-6));
    solvers.append(py::make_tuple("SCS", scs_options, 1e-5));
    m.attr("SOLVERS") = solvers;

    py::object daily = m.attr("CovModel").attr("FACTOR_MODEL_DAILY");
    def_function(m, "explain_infeasibility", &explain_infeasibility, kExplainDoc,
                 py::arg("order_book_ids"), py::arg("date"), py::arg("objective") = py::none(),
                 py::arg("bnds") = py::none(), py::arg("cons") = py::none(),
                 py::arg("benchmark") = py::none(), py::arg("cov_model") = daily, py::kw_only(),
                 py::arg("risk_model") = py::none());
    def_function(m, "check_constraints", &check_constraints, kCheckDoc, py::arg("weights"),
                 py::arg("date"), py::arg("bnds") = py::none(), py::arg("cons") = py::none(),
                 py::arg("benchmark") = py::none(), py::arg("cov_model") = daily, py::kw_only(),
                 py::arg("risk_model") = py::none());
    def_function(m, "_explain_failure", &explain_failure, py::arg("order_book_ids"),
                 py::arg("objective"), py::arg("bnds"), py::arg("cons"), py::arg("helper"));
}
