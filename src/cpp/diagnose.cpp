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
#include "vantelo/common.hpp"
#include "vantelo/core.hpp"
#include "vantelo/inputs.hpp"
#include "vantelo/limits.hpp"
#include "vantelo/weights.hpp"

#include <pybind11/options.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace vantelo {
namespace {

constexpr const char *kModule = "vantelo.diagnose";
// Soft limits are the caller's negotiable ones: they move first.
constexpr double kHardPremium = 1.01;
// Later limits (the caller's constraint objects come after the bounds) cost a
// little less, so that of limits that could move by the same amount the one given
// last does.
constexpr double kOrderPremium = 1e-2;
// The second solve's spread of costs over the limits that moved in the first:
// wide enough for an interior-point solver to tell them apart, narrow beside the
// premiums above.
constexpr double kTieBreak = 1e-3;
// A multiplier below this share of the largest cost is rounding.
constexpr double kPressure = 1e-6;
// What holding a limit costs in the elastic filter, next to its own cost.
constexpr double kHold = 1e3;

py::object attr(const char *name) { return module_attr(kModule, name); }
py::object driver(const char *name) { return module_attr("vantelo.optimize", name); }

[[noreturn]] void invalid(py::handle message) { raise_invalid_argument(kModule, message); }

double number(py::handle value) {
    return py::float_(py::reinterpret_borrow<py::object>(value)).cast<double>();
}

std::vector<double> doubles(py::handle values) {
    return attr("np")
        .attr("asarray")(values, py::arg("dtype") = "float64")
        .attr("ravel")()
        .attr("tolist")()
        .cast<std::vector<double>>();
}

py::object float_array(const std::vector<double> &values) {
    return attr("np").attr("array")(py::cast(values), py::arg("dtype") = "float64");
}

// ---------------------------------------------------------------------------
// Solvers
// ---------------------------------------------------------------------------

// The diagnosis could not be made; `reason` says why, for the report.
struct DiagnosisFailure {
    std::string reason;
};

// One entry of SOLVERS: the solver's name in cvxpy, the options it runs with and
// the smallest relaxation (and shortfall of a multiplier from its cost) it tells
// from rounding, on a limit of scale 1.
struct SolverSpec {
    std::string name;
    py::dict options;
    double tolerance;
};

// SOLVERS as it stands, without the solvers cvxpy does not have installed.
std::vector<SolverSpec> solver_chain() {
    py::list installed = attr("cp").attr("installed_solvers")();
    std::vector<SolverSpec> chain;
    for (py::handle item : attr("SOLVERS")) {
        py::tuple entry;
        try {
            entry = py::tuple(py::reinterpret_borrow<py::object>(item));
        } catch (py::error_already_set &) {
            entry = py::tuple();
        }
        if (py::len(entry) != 3 || !py::isinstance<py::str>(entry[0]) ||
            !PyDict_Check(entry[1].ptr())) {
            invalid(format("SOLVERS: each entry is (name, options, tolerance), not {!r}", item));
        }
        if (installed.contains(entry[0])) {
            chain.push_back({entry[0].cast<std::string>(), py::dict(entry[1]), number(entry[2])});
        }
    }
    return chain;
}

// Whether `error` is a solver giving up (or cvxpy refusing the problem for it),
// which the next solver may not; anything else is passed on.
bool solver_failure(py::error_already_set &error) {
    if (error.matches(attr("cp").attr("error").attr("SolverError")) ||
        error.matches(PyExc_ValueError) || error.matches(PyExc_ArithmeticError) ||
        error.matches(PyExc_RuntimeError)) {
        return true;
    }
    // A solver written in Rust reports a panic as an exception of its own.
    return py::str(py::type::of(error.value()).attr("__name__")).cast<std::string>() ==
           "PanicException";
}

std::string describe(py::error_already_set &error) {
    return py::str("{}: {}")
        .format(py::type::of(error.value()).attr("__name__"), error.value())
        .cast<std::string>();
}

// Runs `solve` with cvxpy's warning that a solution may be inaccurate silenced: the
// status says as much, and the warning would only puzzle the caller.
template <typename Solve> void without_inaccuracy_warning(Solve &&solve) {
    py::object warnings = attr("warnings");
    py::object guard = warnings.attr("catch_warnings")();
    guard.attr("__enter__")();
    try {
        warnings.attr("filterwarnings")("ignore",
                                        py::arg("message") = "Solution may be inaccurate");
        solve();
    } catch (py::error_already_set &) {
        guard.attr("__exit__")(py::none(), py::none(), py::none());
        throw;
    }
    guard.attr("__exit__")(py::none(), py::none(), py::none());
}

// Whether a solve's answer can be read: only an optimal one, since a solver that
// stopped short of its accuracy (cvxpy's "optimal_inaccurate", which a
// first-order method also reports when it runs out of iterations) may be far
// off; otherwise the reason goes into `failure`.
bool usable(py::handle problem, std::string &failure) {
    py::object status = problem.attr("status");
    if (status.equal(attr("cp").attr("OPTIMAL"))) {
        return true;
    }
    failure = py::str("stopped with status {!r}").format(status).cast<std::string>();
    return false;
}

// A relaxation this many times the tolerance is no rounding, whatever the
// multipliers say.
constexpr double kClearly = 100.0;

// ---------------------------------------------------------------------------
// The elastic problem
// ---------------------------------------------------------------------------

// A run of entries of one group that the diagnosis relaxes: all of the group's,
// or those a long-only portfolio could break.
struct Block {
    const LimitGroup *group;
    py::object excess;     // one entry per limit of the block
    py::object positions;  // the entries' places in the group
    py::object constraint; // excess <= slack, in the elastic problem
    std::size_t first = 0;
    std::size_t count = 0;
    bool affine = true;
};

struct Entry {
    std::size_t block;
    py::ssize_t local;    // place in the block
    py::ssize_t position; // place in the group
    double limit;
};

// One solve's answer, entry by entry.
struct Solution {
    std::vector<double> cost;       // what a unit of each slack cost
    std::vector<double> slack;      // in the excess's units
    std::vector<double> relaxation; // in the limit's own units
    std::vector<double> multiplier;
    std::vector<double> attained;
    std::vector<std::size_t> moved;

    double total(const std::vector<double> &unit_cost) const {
        double sum = 0.0;
        for (std::size_t i = 0; i < slack.size(); ++i) {
            sum += unit_cost[i] * slack[i];
        }
        return sum;
    }
};

class Elastic {
  public:
    explicit Elastic(const LimitSet &limits) : chain_(solver_chain()) {
        py::object np = attr("np");
        const double groups = static_cast<double>(limits.groups.size());
        for (std::size_t g = 0; g < limits.groups.size(); ++g) {
            const LimitGroup &group = limits.groups[g];
            const py::ssize_t count = py::len(group.labels);
            py::object positions = group.long_only_holds.is_none()
                                       ? py::object(np.attr("arange")(count))
                                       : py::object(np.attr("flatnonzero")(
                                             np.attr("logical_not")(group.long_only_holds)));
            // Where several limits could move by the same amount, the later one
            // costs a little less: the caller's constraint objects come after the
            // bounds, and of two objects the one given last moves.
            const double premium =
                (group.hard ? kHardPremium : 1.0) *
                (1.0 + kOrderPremium * (groups - static_cast<double>(g)) / groups);
            add_block(group, positions.attr("tolist")().cast<std::vector<py::ssize_t>>(),
                      std::vector<double>(py::len(positions), group.weight * premium));
        }
        finish(limits.fixed);
    }

    // The limits `members` of `whole` (indices into it, in order) as an elastic
    // problem of their own, the other limits left out: a small problem, compiled
    // once and solved again for each set of them asked about.
    Elastic(const Elastic &whole, const std::vector<std::size_t> &members) : chain_(whole.chain_) {
        std::size_t k = 0;
        while (k < members.size()) {
            const std::size_t block = whole.entries_[members[k]].block;
            std::vector<py::ssize_t> positions;
            std::vector<double> costs;
            for (; k < members.size() && whole.entries_[members[k]].block == block; ++k) {
                positions.push_back(whole.entries_[members[k]].position);
                costs.push_back(whole.base_[members[k]]);
                origin_.push_back(members[k]);
            }
            add_block(*whole.blocks_[block].group, positions, costs);
        }
        finish(whole.fixed_);
    }

    std::size_t size() const { return entries_.size(); }
    // For a problem of some limits of another: the other's index of entry `i`.
    std::size_t origin(std::size_t i) const { return origin_[i]; }
    const LimitGroup &group(std::size_t i) const { return *blocks_[entries_[i].block].group; }
    std::size_t block(std::size_t i) const { return entries_[i].block; }
    py::ssize_t position(std::size_t i) const { return entries_[i].position; }
    double limit(std::size_t i) const { return entries_[i].limit; }
    double base(std::size_t i) const { return base_[i]; }
    const std::vector<double> &base() const { return base_; }
    // A limit that is no affine expression (a tracking error): its problems are
    // cones, and take longer to solve.
    bool conic(std::size_t i) const { return !blocks_[entries_[i].block].affine; }
    // The solver that answered the last solve of the whole problem.
    std::string solver() const {
        return current_ < chain_.size() ? chain_[current_].name : std::string();
    }

    // The cheapest relaxation when a unit of each slack costs `cost[i]`. A solver
    // that fails hands the problem to the next of SOLVERS, for this solve and
    // the ones after; DiagnosisFailure when none is left.
    Solution solve(const std::vector<double> &cost) {
        while (current_ < chain_.size()) {
            const SolverSpec &spec = chain_[current_];
            std::string failure;
            try {
                if (!compiled_) {
                    compile(spec);
                }
                run(spec, cost);
                if (usable(problem_, failure)) {
                    if (!slack_.attr("value").is_none()) {
                        return read(cost, spec.tolerance);
                    }
                    failure = "returned no solution";
                }
            } catch (py::error_already_set &error) {
                if (!solver_failure(error)) {
                    throw;
                }
                failure = describe(error);
            }
            reasons_.push_back(spec.name + ": " + failure);
            compiled_.reset();
            ++current_;
        }
        std::string reason = chain_.empty() ? "none of the solvers in SOLVERS is installed"
                                            : "no solver could solve the relaxed problem";
        for (std::size_t r = 0; r < reasons_.size(); ++r) {
            reason += (r == 0 ? " (" : "; ") + reasons_[r];
        }
        throw DiagnosisFailure{reasons_.empty() ? reason : reason + ")"};
    }

  private:
    void add_block(const LimitGroup &group, const std::vector<py::ssize_t> &positions,
                   const std::vector<double> &costs) {
        if (positions.empty()) {
            return;
        }
        Block block;
        block.group = &group;
        block.positions =
            attr("np").attr("array")(py::cast(positions), py::arg("dtype") = "int64");
        block.excess = positions.size() == py::len(group.labels)
                           ? group.excess
                           : py::object(group.excess[block.positions]);
        block.first = entries_.size();
        block.count = positions.size();
        block.affine = !group.squared && truthy(block.excess.attr("is_affine")());
        std::vector<double> bounds = doubles(group.limits);
        for (std::size_t k = 0; k < positions.size(); ++k) {
            entries_.push_back({blocks_.size(), static_cast<py::ssize_t>(k), positions[k],
                                bounds[static_cast<std::size_t>(positions[k])]});
            base_.push_back(costs[k]);
        }
        blocks_.push_back(std::move(block));
    }

    void finish(py::handle fixed) {
        py::object cp = attr("cp");
        const py::ssize_t m = static_cast<py::ssize_t>(entries_.size());
        if (m == 0) {
            return;
        }
        // Not declared nonnegative: cvxpy would swap in a variable of its own, and
        // the slacks must keep their place in the compiled problem.
        slack_ = cp.attr("Variable")(m);
        fixed_ = list_copy(fixed);
        py::list constraints = list_copy(fixed_);
        constraints.append(greater_equal(slack_, py::float_(0.0)));
        for (Block &block : blocks_) {
            py::object slack =
                slack_[py::slice(static_cast<py::ssize_t>(block.first),
                                 static_cast<py::ssize_t>(block.first + block.count), 1)];
            block.constraint = less_equal(magnitude(block, block.excess), slack);
            constraints.append(block.constraint);
        }
        problem_ = cp.attr("Problem")(cp.attr("Minimize")(matmul(float_array(base_), slack_)),
                                      constraints);
    }

    // |excess| for an equality, so that the slack bounds it from both sides.
    static py::object magnitude(const Block &block, py::handle excess) {
        py::object value = py::reinterpret_borrow<py::object>(excess);
        return block.group->side == Side::Equal ? py::object(attr("cp").attr("abs")(value))
                                                : value;
    }

    // The scale of a block's entries at the current solution: a number, or the
    // value of an expression (an industry's weight); NaN when it has none.
    static double scale_value(const LimitGroup &group) {
        if (py::isinstance<py::float_>(group.scale)) {
            return number(group.scale);
        }
        py::object value = group.scale.attr("value");
        return value.is_none() ? std::nan("") : number(value);
    }

    double own_units(std::size_t i, double slack, double scale) const {
        slack = std::max(slack, 0.0);
        const double limit = entries_[i].limit;
        if (group(i).squared) {
            return std::sqrt(limit * limit + slack) - std::fabs(limit);
        }
        // A share of an industry that holds (almost) nothing: its slack is weight.
        return scale > 1e-9 ? slack / scale : slack;
    }

    // Whether a relaxation (in the limit's units) is past the solver's tolerance on
    // the limit's own scale.
    bool past_tolerance(std::size_t i, double relaxation, double tolerance) const {
        return relaxation > tolerance * std::max(1.0, std::fabs(entries_[i].limit));
    }

    void compile(const SolverSpec &spec) {
        py::tuple compiled =
            problem_.attr("get_problem_data")(spec.name, py::arg("solver_opts") = py::dict());
        Compiled result{compiled[0], compiled[1], compiled[2], -1, "c"};
        py::object stuffing =
            attr("cp").attr("reductions").attr("matrix_stuffing").attr("MatrixStuffing");
        py::list reductions = result.chain.attr("reductions");
        for (py::ssize_t r = 0; r < static_cast<py::ssize_t>(py::len(reductions)); ++r) {
            if (py::isinstance(reductions[py::int_(r)], stuffing)) {
                result.offset = result.inverse[py::int_(r)]
                                    .attr("var_offsets")[slack_.attr("id")]
                                    .cast<py::ssize_t>();
            }
        }
        if (!result.data.contains(py::str("c"))) {
            result.key = "q";
        }
        if (result.offset < 0 || !result.data.contains(py::str(result.key))) {
            throw DiagnosisFailure{"the relaxed problem could not be compiled for " + spec.name};
        }
        compiled_ = result;
    }

    // The compiled problem solved with other slack costs, as cvxpy would solve it,
    // and its answer unpacked into the variables.
    void run(const SolverSpec &spec, const std::vector<double> &cost) {
        const Compiled &compiled = *compiled_;
        py::dict data = py::dict(compiled.data).attr("copy")();
        py::object c = data[py::str(compiled.key)].attr("copy")();
        c[py::slice(compiled.offset, compiled.offset + static_cast<py::ssize_t>(cost.size()), 1)] =
            float_array(cost);
        data[py::str(compiled.key)] = c;
        without_inaccuracy_warning([&] {
            // Some solvers' interfaces consume the options they are given.
            py::dict options = py::dict(spec.options).attr("copy")();
            py::object solution =
                compiled.chain.attr("solve_via_data")(problem_, data, false, false, options);
            problem_.attr("unpack_results")(solution, compiled.chain, compiled.inverse);
        });
    }

    Solution read(const std::vector<double> &cost, double tolerance) const {
        Solution result;
        result.cost = cost;
        result.slack = doubles(slack_.attr("value"));
        const std::size_t m = entries_.size();
        result.relaxation.assign(m, 0.0);
        result.attained.assign(m, 0.0);
        result.multiplier.assign(m, 0.0);
        for (const Block &block : blocks_) {
            py::object dual = block.constraint.attr("dual_value");
            std::vector<double> duals =
                dual.is_none() ? std::vector<double>(block.count, 0.0) : doubles(dual);
            const double scale = scale_value(*block.group);
            std::vector<double> excess;
            if (block.group->side == Side::Equal) {
                excess = doubles(block.excess.attr("value"));
            }
            for (std::size_t k = 0; k < block.count; ++k) {
                const std::size_t i = block.first + k;
                const double limit = entries_[i].limit;
                result.multiplier[i] = k < duals.size() ? duals[k] : 0.0;
                result.relaxation[i] = own_units(i, result.slack[i], scale);
                if (block.group->side == Side::Equal) {
                    result.attained[i] = value_from_excess(*block.group, limit, excess[k], scale);
                } else {
                    result.attained[i] = block.group->side == Side::Lower
                                             ? limit - result.relaxation[i]
                                             : limit + result.relaxation[i];
                }
            }
        }
        // A limit has moved when its relaxation is past the tolerance and its
        // multiplier has reached its cost; a slack left above zero with a
        // multiplier short of it is the solver's rounding.
        std::vector<std::size_t> clearly_relaxed;
        for (std::size_t i = 0; i < m; ++i) {
            if (!past_tolerance(i, result.relaxation[i], tolerance)) {
                continue;
            }
            if (result.multiplier[i] >= cost[i] * (1.0 - tolerance)) {
                result.moved.push_back(i);
            }
            if (cost[i] > 0.0 && past_tolerance(i, result.relaxation[i], tolerance * kClearly)) {
                clearly_relaxed.push_back(i);
            }
        }
        // No multiplier at its cost beside relaxations far past rounding: the
        // multipliers are off, and the relaxations tell.
        if (result.moved.empty()) {
            result.moved = clearly_relaxed;
        }
        return result;
    }

    struct Compiled {
        py::object data;
        py::object chain;
        py::object inverse;
        py::ssize_t offset;
        std::string key;
    };

    std::vector<SolverSpec> chain_;
    std::size_t current_ = 0;
    std::vector<std::string> reasons_;
    std::optional<Compiled> compiled_;
    std::vector<Block> blocks_;
    std::vector<Entry> entries_;
    std::vector<double> base_;
    std::vector<std::size_t> origin_;
    py::list fixed_;
    py::object slack_;
    py::object problem_;
};

// ---------------------------------------------------------------------------
// The report
// ---------------------------------------------------------------------------

py::object empty_conflicts() {
    py::dict columns;
    py::object np = attr("np");
    for (const char *name : {"label", "constraint", "side"}) {
        columns[name] = py::list();
    }
    for (const char *name : {"limit", "attainable", "relaxation"}) {
        columns[name] = np.attr("zeros")(0);
    }
    columns["hard"] = np.attr("zeros")(0, py::arg("dtype") = "bool");
    return attr("pd").attr("DataFrame")(columns);
}

py::object make_report(bool feasible, py::object conflicts, py::list minimal_set,
                       bool hard_only_feasible, const std::string &solver) {
    return attr("InfeasibilityReport")(
        feasible, conflicts, minimal_set, hard_only_feasible, py::arg("diagnosed") = true,
        py::arg("reason") = py::str(""),
        py::arg("solver") = solver.empty() ? py::object(py::none()) : py::object(py::str(solver)));
}

py::object feasible_report(const std::string &solver = std::string()) {
    return make_report(true, empty_conflicts(), py::list(), true, solver);
}

// The diagnosis could not be made: an infeasible report that says why.
py::object undiagnosed_report(const std::string &reason) {
    return attr("InfeasibilityReport")(
        false, empty_conflicts(), py::list(), false, py::arg("diagnosed") = false,
        py::arg("reason") = py::str(reason), py::arg("solver") = py::none());
}

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

// Whether the limits in `members` cannot hold together, asked of the whole
// problem with every other limit free to move.
bool infeasible_together(Elastic &elastic, const std::set<std::size_t> &members) {
    std::vector<double> cost(elastic.size(), 0.0);
    for (std::size_t i : members) {
        cost[i] = elastic.base(i);
    }
    Solution solution = elastic.solve(cost);
    return std::any_of(solution.moved.begin(), solution.moved.end(),
                       [&](std::size_t i) { return members.count(i) > 0; });
}

// Whether sets of limits of a problem cannot hold together, each asked of one
// small problem of the candidates alone (the other limits left out), compiled once:
// a limit left out of the set asked about is free to move there.
class SubsetTest {
  public:
    SubsetTest(const Elastic &whole, const std::set<std::size_t> &candidates)
        : problem_(whole, std::vector<std::size_t>(candidates.begin(), candidates.end())) {}

    // None when no solver could tell.
    std::optional<bool> cannot_hold(const std::set<std::size_t> &members) {
        std::vector<double> cost(problem_.size(), 0.0);
        for (std::size_t k = 0; k < problem_.size(); ++k) {
            if (members.count(problem_.origin(k))) {
                cost[k] = problem_.base(k);
            }
        }
        try {
            Solution solution = problem_.solve(cost);
            return std::any_of(solution.moved.begin(), solution.moved.end(),
                               [&](std::size_t k) { return cost[k] > 0.0; });
        } catch (const DiagnosisFailure &) {
            return std::nullopt;
        }
    }

  private:
    Elastic problem_;
};

// Drops from `members` (which cannot hold together) those of `chunk` they do not
// need: the whole chunk at once where the rest still cannot hold, else each half
// in turn. Where few of many are needed, that takes far fewer solves than one per
// member.
void drop_unneeded(SubsetTest &test, std::set<std::size_t> &members,
                   const std::vector<std::size_t> &chunk) {
    if (chunk.empty()) {
        return;
    }
    std::set<std::size_t> without = members;
    for (std::size_t i : chunk) {
        without.erase(i);
    }
    if (!without.empty() && test.cannot_hold(without) == std::optional<bool>(true)) {
        members = without;
        return;
    }
    if (chunk.size() == 1) {
        return;
    }
    const auto middle = chunk.begin() + static_cast<std::ptrdiff_t>(chunk.size() / 2);
    drop_unneeded(test, members, std::vector<std::size_t>(chunk.begin(), middle));
    drop_unneeded(test, members, std::vector<std::size_t>(middle, chunk.end()));
}

// Limits that cannot hold together, each one needed. Those pressing on the
// relaxation (and the moved ones) cannot; without the other conflicts, those
// around the costliest one usually cannot either, and each of them that is not
// needed is dropped (asked of a small problem of them alone).
std::set<std::size_t> minimal_set(Elastic &elastic, const Solution &relaxed) {
    const std::size_t m = elastic.size();
    double largest = 0.0;
    for (double cost : relaxed.cost) {
        largest = std::max(largest, cost);
    }
    std::set<std::size_t> pressed(relaxed.moved.begin(), relaxed.moved.end());
    for (std::size_t i = 0; i < m; ++i) {
        if (relaxed.multiplier[i] > kPressure * largest) {
            pressed.insert(i);
        }
    }
    std::size_t costliest = relaxed.moved.front();
    for (std::size_t i : relaxed.moved) {
        if (relaxed.cost[i] * relaxed.slack[i] >
            relaxed.cost[costliest] * relaxed.slack[costliest]) {
            costliest = i;
        }
    }
    // Every other limit holds in the relaxation, so a set of them with the
    // costliest conflict that cannot hold needs it.
    std::set<std::size_t> members = pressed;
    for (std::size_t i : relaxed.moved) {
        if (i != costliest) {
            members.erase(i);
        }
    }
    bool needs_costliest = true;
    const std::optional<bool> yes(true);
    // Each small problem holds the members asked about and no more: a cone left
    // in it, even free to move, would make every solve a cone.
    std::optional<SubsetTest> test;
    test.emplace(elastic, members);
    bool cannot_hold = test->cannot_hold(members) == yes;
    if (!cannot_hold && relaxed.moved.size() > 1) {
        members = pressed;
        needs_costliest = false;
        test.emplace(elastic, members);
        cannot_hold = test->cannot_hold(members) == yes;
    }
    // Rounding may have blurred the multipliers: the elastic filter holds the
    // members and adds what moves next, until they cannot hold together.
    if (!cannot_hold) {
        needs_costliest = false;
        for (std::size_t round = 0; round < m && !cannot_hold; ++round) {
            std::vector<double> cost = elastic.base();
            for (std::size_t i : members) {
                cost[i] *= kHold;
            }
            Solution next = elastic.solve(cost);
            const std::size_t before = members.size();
            members.insert(next.moved.begin(), next.moved.end());
            if (members.size() == before) {
                break;
            }
            test.emplace(elastic, members);
            cannot_hold = test->cannot_hold(members) == yes;
        }
        if (!cannot_hold && !infeasible_together(elastic, members)) {
            return members;
        }
        test.emplace(elastic, members);
    }
    // Cones first (dropping one makes the later problems linear), then the limits
    // that pressed least, which are the likeliest to go.
    std::vector<std::size_t> candidates;
    for (std::size_t i : members) {
        if (!(needs_costliest && i == costliest)) {
            candidates.push_back(i);
        }
    }
    std::stable_sort(candidates.begin(), candidates.end(), [&](std::size_t a, std::size_t b) {
        if (elastic.conic(a) != elastic.conic(b)) {
            return elastic.conic(a);
        }
        return relaxed.multiplier[a] < relaxed.multiplier[b];
    });
    auto first_linear = std::find_if(candidates.begin(), candidates.end(),
                                     [&](std::size_t i) { return !elastic.conic(i); });
    const std::size_t before = members.size();
    for (auto cone = candidates.begin(); cone != first_linear; ++cone) {
        drop_unneeded(*test, members, {*cone});
    }
    if (members.size() < before) {
        test.emplace(elastic, members);
    }
    drop_unneeded(*test, members, std::vector<std::size_t>(first_linear, candidates.end()));
    return members;
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

// ---------------------------------------------------------------------------
// InfeasibilityReport
// ---------------------------------------------------------------------------

void report_init(py::object self, py::object feasible, py::object conflicts,
                 py::object minimal_set, py::object hard_only_feasible, py::object diagnosed,
                 py::object reason, py::object solver) {
    self.attr("feasible") = py::bool_(truthy(feasible));
    self.attr("conflicts") = conflicts;
    self.attr("minimal_set") = list_copy(minimal_set);
    self.attr("hard_only_feasible") = py::bool_(truthy(hard_only_feasible));
    self.attr("diagnosed") = py::bool_(truthy(diagnosed));
    self.attr("reason") = py::str(reason);
    self.attr("solver") = solver;
}

py::str report_text(py::object self) {
    if (!truthy(self.attr("diagnosed"))) {
        return format("The diagnosis could not be made: {}", self.attr("reason"));
    }
    if (truthy(self.attr("feasible"))) {
        return py::str("Feasible: every limit can hold together.");
    }
    py::object conflicts = self.attr("conflicts");
    py::list lines;
    const py::ssize_t moving = py::len(conflicts);
    lines.append(format("Infeasible: {} {} must move for a solution to exist.", moving,
                        py::str(moving == 1 ? "limit" : "limits")));
    py::list shown;
    for (const char *name : {"label", "side", "limit", "attainable", "relaxation"}) {
        shown.append(py::str(name));
    }
    py::object table = conflicts[shown].attr("copy")();
    py::list kinds;
    py::object hard = conflicts["hard"];
    for (py::handle flag : hard) {
        kinds.append(py::str(truthy(flag) ? "hard" : "soft"));
    }
    table["kind"] = kinds;
    lines.append(table.attr("to_string")(
        py::arg("index") = false, py::arg("float_format") = py::str("{:.6g}").attr("format")));
    lines.append(format("Smallest set that cannot hold together (each one is needed): {}",
                        py::str("; ").attr("join")(self.attr("minimal_set"))));
    lines.append(py::str(truthy(self.attr("hard_only_feasible"))
                             ? "The hard constraints alone can hold: without the soft ones a "
                               "solution exists."
                             : "The hard constraints alone cannot hold."));
    return py::str("\n").attr("join")(lines);
}

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
} // namespace vantelo

PYBIND11_MODULE(diagnose, m) {
    using namespace vantelo;
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
