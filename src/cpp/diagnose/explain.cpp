// The diagnosis as a whole (the cheapest relaxation with its ties broken, whether
// the hard limits alone hold, the table of conflicts), the arguments read as
// portfolio_optimize reads them, and the constraint check.
#include "diagnose.hpp"

#include "vantelo/core.hpp"
#include "vantelo/inputs.hpp"
#include "vantelo/weights.hpp"

#include <algorithm>

namespace vantelo {
namespace diagnose {

namespace {

// The second solve's spread of costs over the limits that moved in the first:
// wide enough for an interior-point solver to tell them apart, narrow beside the
// premiums above.
constexpr double kTieBreak = 1e-3;

// The cheapest relaxation, with ties broken. Limits of different groups cost
// different amounts (the premiums), and a limit whose multiplier falls short of
// its cost has not moved, so ties can only remain between limits of one group
// (the bounds of two stocks, say). Where two of them moved, they are solved for
// once more with the earlier-given ones a little dearer; that answer is kept when
// it moves no more limits and costs no more than the spread allows.
Solution cheapest_relaxation(Elastic &elastic) {
    Solution first = elastic.solve(elastic.base());
    const std::size_t k = first.moved.size();
    bool one_group_twice = false;
    for (std::size_t r = 1; r < k; ++r) {
        one_group_twice =
            one_group_twice || elastic.block(first.moved[r]) == elastic.block(first.moved[r - 1]);
    }
    if (!one_group_twice) {
        return first;
    }
    std::vector<double> cost = elastic.base();
    for (std::size_t r = 0; r < k; ++r) {
        const std::size_t i = first.moved[k - 1 - r];
        cost[i] *= 1.0 + kTieBreak * static_cast<double>(r) / static_cast<double>(k);
    }
    Solution second = elastic.solve(cost);
    const double bound = first.total(elastic.base()) * (1.0 + 2.0 * kTieBreak) + 1e-12;
    if (!second.moved.empty() && second.moved.size() <= k &&
        second.total(elastic.base()) <= bound) {
        return second;
    }
    return first;
}

// Whether the hard limits alone can hold: they do in the relaxation when only
// soft ones moved; when a hard one moved and there are soft ones, the soft ones
// are let go at no cost to see.
bool hard_limits_hold(Elastic &elastic, const Solution &relaxed) {
    bool hard_moved = false;
    for (std::size_t i : relaxed.moved) {
        hard_moved = hard_moved || elastic.group(i).hard;
    }
    if (!hard_moved) {
        return true;
    }
    std::vector<double> cost = elastic.base();
    bool any_soft = false;
    for (std::size_t i = 0; i < elastic.size(); ++i) {
        if (!elastic.group(i).hard) {
            cost[i] = 0.0;
            any_soft = true;
        }
    }
    if (!any_soft) {
        return false;
    }
    Solution hard_only = elastic.solve(cost);
    return std::none_of(hard_only.moved.begin(), hard_only.moved.end(),
                        [&](std::size_t i) { return elastic.group(i).hard; });
}

py::object conflicts_table(const Elastic &elastic, const Solution &relaxed) {
    py::list labels, owners, sides, hards;
    std::vector<double> limit_column, attainable_column, relaxation_column;
    for (std::size_t i : relaxed.moved) {
        const LimitGroup &group = elastic.group(i);
        labels.append(group.labels[py::int_(elastic.position(i))]);
        owners.append(group.constraint);
        sides.append(py::str(side_name(group.side)));
        hards.append(py::bool_(group.hard));
        limit_column.push_back(elastic.limit(i));
        attainable_column.push_back(relaxed.attained[i]);
        relaxation_column.push_back(relaxed.relaxation[i]);
    }
    py::dict columns;
    columns["label"] = labels;
    columns["constraint"] = owners;
    columns["side"] = sides;
    columns["limit"] = float_array(limit_column);
    columns["attainable"] = float_array(attainable_column);
    columns["relaxation"] = float_array(relaxation_column);
    columns["hard"] = attr("np").attr("array")(hards, py::arg("dtype") = "bool");
    return attr("pd").attr("DataFrame")(columns);
}

py::object analyse(const LimitSet &limits) {
    if (limits.size() == 0) {
        return feasible_report();
    }
    Elastic elastic(limits);
    if (elastic.size() == 0) {
        return feasible_report();
    }
    try {
        Solution relaxed = cheapest_relaxation(elastic);
        if (relaxed.moved.empty()) {
            return feasible_report(elastic.solver());
        }
        const bool hard_only_feasible = hard_limits_hold(elastic, relaxed);
        std::set<std::size_t> members = minimal_set(elastic, relaxed);
        py::list minimal;
        for (std::size_t i : members) {
            minimal.append(elastic.group(i).labels[py::int_(elastic.position(i))]);
        }
        return make_report(false, conflicts_table(elastic, relaxed), minimal, hard_only_feasible,
                           elastic.solver());
    } catch (const DiagnosisFailure &failure) {
        return undiagnosed_report(failure.reason);
    }
}

// ---------------------------------------------------------------------------
// The arguments, read as portfolio_optimize reads them
// ---------------------------------------------------------------------------

py::object diagnose_problem(py::object pool, py::object objective, py::object bnds,
                            py::object cons, py::object helper) {
    const bool risk_parity = py::isinstance(objective, driver("RiskParity"));
    // portfolio_optimize solves risk parity without bounds or constraints as an
    // unconstrained problem.
    if (risk_parity && !truthy(bnds) && !truthy(cons)) {
        return feasible_report();
    }
    // The weights here sum to 1. Where the driver scales by something other than
    // a float, constraint objects see an integer scale, so that they act as there.
    py::object zeta = (risk_parity || is_ratio_objective(objective)) ? py::object(py::int_(1))
                                                                     : py::object(py::float_(1.0));
    py::object g = attr("cp").attr("Variable")(py::len(pool), py::arg("nonneg") = true);
    LimitSet limits = enumerate_limits(g, pool, objective, bnds, cons, helper, zeta);
    return analyse(limits);
}

// The helper of a problem the diagnosis or the check poses: the driver's own
// class, handed the caller's risk model when there is one.
py::object problem_helper(py::handle pool, py::handle date, py::handle benchmark,
                          py::handle cov_model, py::handle risk_model) {
    py::object make = driver("OptimizeHelper");
    if (risk_model.is_none()) {
        return make(pool, date, benchmark, cov_model);
    }
    return make(pool, date, benchmark, cov_model, py::arg("risk_model") = risk_model);
}

} // namespace

py::object explain_infeasibility(py::object order_book_ids, py::object date, py::object objective,
                                 py::object bnds, py::object cons, py::object benchmark,
                                 py::object cov_model, py::object risk_model) {
    py::object pool = cleaned_pool(order_book_ids, date);
    if (py::len(pool) < 2) {
        return feasible_report();
    }
    if (objective.is_none()) {
        objective = driver("DEFAULT_OBJECTIVE");
    }
    benchmark = checked_benchmark(objective, benchmark);
    cov_model = driver("to_enum")(cov_model, driver("CovModel"));
    py::object helper = problem_helper(pool, date, benchmark, cov_model, risk_model);
    return diagnose_problem(pool, objective, bnds, cons, helper);
}

// What portfolio_optimize attaches to OptimizationFailed when the problem is
// infeasible: the report, never None. When the diagnosis itself raises, the
// report says it could not be made and why. Its warnings were already issued by
// the optimisation.
py::object explain_failure(py::object pool, py::object objective, py::object bnds, py::object cons,
                           py::object helper) {
    py::object guard = attr("warnings").attr("catch_warnings")();
    guard.attr("__enter__")();
    py::object report = py::none();
    try {
        attr("warnings").attr("simplefilter")("ignore");
        report = diagnose_problem(pool, objective, bnds, cons, helper);
    } catch (py::error_already_set &error) {
        if (!error.matches(PyExc_Exception)) {
            guard.attr("__exit__")(py::none(), py::none(), py::none());
            throw;
        }
        report = undiagnosed_report("the diagnosis raised " + describe(error));
    }
    guard.attr("__exit__")(py::none(), py::none(), py::none());
    return report;
}

// ---------------------------------------------------------------------------
// The constraint check
// ---------------------------------------------------------------------------

py::object check_constraints(py::object weights, py::object date, py::object bnds, py::object cons,
                             py::object benchmark, py::object cov_model, py::object risk_model) {
    date = driver("to_date")(date);
    // A portfolio handed in is read as the report and the command line read one.
    py::object series = read_weights(kModule, weights, py::str("weights"));
    check_weight_sum(kModule, series, py::str("weights"), true);
    series = series.attr("sort_index")();
    py::list pool = series.attr("index").attr("tolist")();
    py::object values = series.attr("to_numpy")();
    benchmark = resolved_benchmark(benchmark);
    cov_model = driver("to_enum")(cov_model, driver("CovModel"));
    py::object helper = problem_helper(pool, date, benchmark, cov_model, risk_model);

    // Unsigned, so that any weights can be measured, short positions included.
    py::object g = attr("cp").attr("Variable")(py::len(pool));
    return limit_table(g, values, pool, bnds, cons, helper);
}

} // namespace diagnose
} // namespace vantelo
