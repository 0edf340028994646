// The elastic problem: every limit may move at a cost, and one solve's answer
// tells the limits that moved from rounding. Each problem is compiled once per
// solver and solved again with other slack costs; the solvers of SOLVERS are tried
// in turn.
#include "diagnose.hpp"

#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>

namespace vantelo {
namespace diagnose {

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

namespace {

// Soft limits are the caller's negotiable ones: they move first.
constexpr double kHardPremium = 1.01;
// Later limits (the caller's constraint objects come after the bounds) cost a
// little less, so that of limits that could move by the same amount the one given
// last does.
constexpr double kOrderPremium = 1e-2;

// ---------------------------------------------------------------------------
// Solvers
// ---------------------------------------------------------------------------

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

} // namespace

std::string describe(py::error_already_set &error) {
    return py::str("{}: {}")
        .format(py::type::of(error.value()).attr("__name__"), error.value())
        .cast<std::string>();
}

namespace {

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

// |excess| for an equality, so that the slack bounds it from both sides.
py::object magnitude(const Block &block, py::handle excess) {
    py::object value = py::reinterpret_borrow<py::object>(excess);
    return block.group->side == Side::Equal ? py::object(attr("cp").attr("abs")(value)) : value;
}

// The scale of a block's entries at the current solution: a number, or the
// value of an expression (an industry's weight); NaN when it has none.
double scale_value(const LimitGroup &group) {
    if (py::isinstance<py::float_>(group.scale)) {
        return number(group.scale);
    }
    py::object value = group.scale.attr("value");
    return value.is_none() ? std::nan("") : number(value);
}

} // namespace

Elastic::Elastic(const LimitSet &limits) : chain_(solver_chain()) {
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
        const double premium = (group.hard ? kHardPremium : 1.0) *
                               (1.0 + kOrderPremium * (groups - static_cast<double>(g)) / groups);
        add_block(group, positions.attr("tolist")().cast<std::vector<py::ssize_t>>(),
                  std::vector<double>(py::len(positions), group.weight * premium));
    }
    finish(limits.fixed);
}

Elastic::Elastic(const Elastic &whole, const std::vector<std::size_t> &members)
    : chain_(whole.chain_) {
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

Solution Elastic::solve(const std::vector<double> &cost) {
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

void Elastic::add_block(const LimitGroup &group, const std::vector<py::ssize_t> &positions,
                        const std::vector<double> &costs) {
    if (positions.empty()) {
        return;
    }
    Block block;
    block.group = &group;
    block.positions = attr("np").attr("array")(py::cast(positions), py::arg("dtype") = "int64");
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

void Elastic::finish(py::handle fixed) {
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
    problem_ =
        cp.attr("Problem")(cp.attr("Minimize")(matmul(float_array(base_), slack_)), constraints);
}

double Elastic::own_units(std::size_t i, double slack, double scale) const {
    slack = std::max(slack, 0.0);
    const double limit = entries_[i].limit;
    if (group(i).squared) {
        return std::sqrt(limit * limit + slack) - std::fabs(limit);
    }
    // A share of an industry that holds (almost) nothing: its slack is weight.
    return scale > 1e-9 ? slack / scale : slack;
}

bool Elastic::past_tolerance(std::size_t i, double relaxation, double tolerance) const {
    return relaxation > tolerance * std::max(1.0, std::fabs(entries_[i].limit));
}

void Elastic::compile(const SolverSpec &spec) {
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

void Elastic::run(const SolverSpec &spec, const std::vector<double> &cost) {
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

Solution Elastic::read(const std::vector<double> &cost, double tolerance) const {
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

} // namespace diagnose
} // namespace vantelo
