// vantelo.diagnose: why a problem has no solution, and how a portfolio stands
// against its limits.
//
// explain_infeasibility takes the arguments of portfolio_optimize, lists the
// limits the problem is made of (include/vantelo/limits.hpp) and solves an
// elastic version of it: every limit may move, at a cost of one per unit of its
// own scale (a weight, an exposure, a volatility, a turnover). The limits that
// move in the cheapest relaxation are the conflicts. The limits whose multipliers
// are positive there cannot hold together (or, failing that, an elastic filter
// finds such a set); a deletion filter over small problems of their own trims it
// to an irreducible infeasible subset. The whole problem is compiled once and
// re-solved with other slack costs where a limit's own relaxation is wanted.
// check_constraints measures given weights against the same limits.
#include "vantelo/common.hpp"
#include "vantelo/inputs.hpp"
#include "vantelo/limits.hpp"
#include "vantelo/weights.hpp"

#include <pybind11/options.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <set>
#include <vector>

namespace vantelo {
namespace {

constexpr const char *kModule = "vantelo.diagnose";
// A limit has moved when its relaxation exceeds this, in its own units.
constexpr double kTolerance = 1e-6;
// What it costs to move a limit that should hold while another one moves alone.
constexpr double kHold = 1e4;
// Each conflict's own relaxation takes one solve; beyond this many conflicts the
// joint relaxation is reported.
constexpr std::size_t kMaxSingleRelaxations = 25;
// Soft limits are the caller's negotiable ones: they move first.
constexpr double kHardPremium = 1.01;
constexpr double kOrderPremium = 1e-2;
// A multiplier below this share of the largest cost is rounding.
constexpr double kPressure = 1e-6;
// A limit is binding within this distance of its bound.
constexpr double kBinding = 1e-6;

py::object attr(const char *name) { return module_attr(kModule, name); }
py::object driver(const char *name) { return module_attr("vantelo.optimize", name); }

double number(py::handle value) {
    return py::float_(py::reinterpret_borrow<py::object>(value)).cast<double>();
}

// ---------------------------------------------------------------------------
// The elastic problem
// ---------------------------------------------------------------------------

// Runs `solve` with cvxpy's warning that a solution may be inaccurate silenced: an
// interior-point solve that stops just short of its tolerances still ranks the
// limits correctly, and the warning would only puzzle the caller.
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

void solve_quietly(py::handle problem, const char *solver) {
    without_inaccuracy_warning([&] { problem.attr("solve")(py::arg("solver") = solver); });
}

struct Entry {
    const LimitGroup *group;
    py::ssize_t position;
    double limit;
};

class Elastic {
  public:
    explicit Elastic(const LimitSet &limits) {
        py::object cp = attr("cp");
        for (const LimitGroup &group : limits.groups) {
            const py::ssize_t count = py::len(group.labels);
            for (py::ssize_t i = 0; i < count; ++i) {
                entries_.push_back({&group, i, number(group.limits[py::int_(i)])});
                base_.push_back(group.weight * (group.hard ? kHardPremium : 1.0));
            }
        }
        // Where several limits could move by the same amount, one should: then the
        // cheapest relaxation names one limit and its own value (no solve per limit
        // to undo a split between equals). Later limits (the caller's constraint
        // objects come after the bounds) cost a little less, by enough for the
        // solver to tell.
        const double groups = static_cast<double>(limits.groups.size());
        std::size_t k = 0;
        for (std::size_t g = 0; g < limits.groups.size(); ++g) {
            const double premium =
                1.0 + kOrderPremium * (groups - static_cast<double>(g)) / groups;
            for (py::ssize_t i = 0; i < static_cast<py::ssize_t>(py::len(limits.groups[g].labels));
                 ++i) {
                base_[k++] *= premium;
            }
        }
        const py::ssize_t m = static_cast<py::ssize_t>(entries_.size());
        // Not declared nonnegative: cvxpy would swap in a variable of its own, and
        // the slacks must keep their place in the compiled problem.
        slack_ = cp.attr("Variable")(m);
        fixed_ = list_copy(limits.fixed);
        py::list constraints = list_copy(fixed_);
        constraints.append(greater_equal(slack_, py::float_(0.0)));
        py::ssize_t offset = 0;
        for (const LimitGroup &group : limits.groups) {
            const py::ssize_t count = py::len(group.labels);
            py::object slack = slack_[py::slice(offset, offset + count, 1)];
            py::object excess = group.side == Side::Equal
                                    ? py::object(cp.attr("abs")(group.excess))
                                    : group.excess;
            py::object limit = less_equal(excess, slack);
            limit_constraints_.append(limit);
            constraints.append(limit);
            offset += count;
        }
        py::list installed = cp.attr("installed_solvers")();
        solver_ = installed.contains(py::str("CLARABEL")) ? "CLARABEL" : "SCS";
        // Compiled once: the solves differ only in what each slack costs, which is
        // a stretch of the objective vector of the compiled problem.
        py::object costs = attr("np").attr("array")(py::cast(base_), py::arg("dtype") = "float64");
        problem_ = cp.attr("Problem")(cp.attr("Minimize")(matmul(costs, slack_)), constraints);
        py::tuple compiled =
            problem_.attr("get_problem_data")(solver_, py::arg("solver_opts") = py::dict());
        data_ = compiled[0];
        chain_ = compiled[1];
        inverse_ = compiled[2];
        py::object stuffing = cp.attr("reductions")
                                  .attr("dcp2cone")
                                  .attr("cone_matrix_stuffing")
                                  .attr("ConeMatrixStuffing");
        py::list reductions = chain_.attr("reductions");
        for (py::ssize_t r = 0; r < static_cast<py::ssize_t>(py::len(reductions)); ++r) {
            if (py::isinstance(reductions[py::int_(r)], stuffing)) {
                offset_ = inverse_[py::int_(r)]
                              .attr("var_offsets")[slack_.attr("id")]
                              .cast<py::ssize_t>();
            }
        }
        if (offset_ < 0) {
            raise(module_attr("vantelo.exception", "OptimizationFailed"),
                  py::str("the relaxed problem could not be compiled"));
        }
        // SCS stops at 1e-4; a slack below that is rounding there.
        tolerance_ = solver_ == std::string("CLARABEL") ? kTolerance : 1e-4;
    }

    std::size_t size() const { return entries_.size(); }
    const Entry &entry(std::size_t i) const { return entries_[i]; }
    double base(std::size_t i) const { return base_[i]; }
    bool moved(std::size_t i) const { return relaxation_[i] > tolerance_; }
    double relaxation(std::size_t i) const { return relaxation_[i]; }

    // Solves with each slack costing `cost[i]`; the relaxations, in each limit's
    // own units, are then those of the cheapest way to satisfy what costs.
    void solve(const std::vector<double> &cost) {
        py::object np = attr("np");
        py::object cp = attr("cp");
        py::dict data = py::dict(data_).attr("copy")();
        py::object c = data["c"].attr("copy")();
        c[py::slice(offset_, offset_ + static_cast<py::ssize_t>(cost.size()), 1)] =
            np.attr("array")(py::cast(cost), py::arg("dtype") = "float64");
        data["c"] = c;
        solve_compiled(data);
        check(problem_);
        py::object slack = np.attr("asarray")(slack_.attr("value"), py::arg("dtype") = "float64");
        relaxation_.assign(entries_.size(), 0.0);
        for (std::size_t i = 0; i < entries_.size(); ++i) {
            relaxation_[i] = to_own_units(entries_[i], number(slack[py::int_(i)]));
        }
    }

    // The multipliers of the limits at the current solution: the limits with a
    // positive one are what keeps the relaxation from being smaller, and together
    // they cannot hold (weak duality on the problem with only them relaxed).
    std::vector<double> multipliers() const {
        std::vector<double> result;
        for (py::handle limit : limit_constraints_) {
            py::object dual = limit.attr("dual_value");
            py::object flat = attr("np").attr("ravel")(
                attr("np").attr("asarray")(dual.is_none() ? py::object(py::float_(0.0)) : dual,
                                           py::arg("dtype") = "float64"));
            for (py::handle value : flat) {
                result.push_back(number(value));
            }
        }
        return result;
    }

    // Whether the limits in `members` cannot all hold (everything else may move),
    // with the whole problem: as many as may be, and it is compiled already.
    bool infeasible(const std::set<std::size_t> &members) {
        std::vector<double> cost(size(), 0.0);
        for (std::size_t i : members) {
            cost[i] = base_[i];
        }
        solve(cost);
        return std::any_of(members.begin(), members.end(),
                           [&](std::size_t i) { return moved(i); });
    }

    // The same question for a few members, as a problem of its own: the others
    // are simply left out, which makes it small, and small problems solve fast.
    bool infeasible_few(const std::set<std::size_t> &members) {
        py::object cp = attr("cp");
        py::object np = attr("np");
        py::list constraints = list_copy(fixed_);
        py::object slack = cp.attr("Variable")(members.size(), py::arg("nonneg") = true);
        std::vector<double> cost;
        py::ssize_t k = 0;
        for (std::size_t i : members) {
            const Entry &e = entries_[i];
            py::object excess = e.group->excess[py::int_(e.position)];
            if (e.group->side == Side::Equal) {
                excess = cp.attr("abs")(excess);
            }
            constraints.append(less_equal(excess, slack[py::int_(k++)]));
            cost.push_back(base_[i]);
        }
        py::object weights = np.attr("array")(py::cast(cost), py::arg("dtype") = "float64");
        py::object problem =
            cp.attr("Problem")(cp.attr("Minimize")(matmul(weights, slack)), constraints);
        solve_quietly(problem, solver_);
        check(problem);
        py::object values = np.attr("asarray")(slack.attr("value"), py::arg("dtype") = "float64");
        k = 0;
        bool any_moved = false;
        for (std::size_t i : members) {
            any_moved =
                any_moved || to_own_units(entries_[i], number(values[py::int_(k++)])) > tolerance_;
        }
        return any_moved;
    }

    // The value the entry's limit takes at the current solution.
    double attained(std::size_t i) const {
        const Entry &e = entries_[i];
        if (e.group->side != Side::Equal) {
            return e.group->side == Side::Lower ? e.limit - relaxation_[i]
                                                : e.limit + relaxation_[i];
        }
        py::object excess =
            attr("np").attr("asarray")(e.group->excess.attr("value")).attr("ravel")();
        return value_from_excess(*e.group, e.limit, number(excess[py::int_(e.position)]),
                                 scale_value(*e.group));
    }

  private:
    // Every slack may grow, so a relaxed problem always has a solution; a status
    // without one means the solver gave up.
    static void check(py::handle problem) {
        py::object cp = attr("cp");
        py::object status = problem.attr("status");
        if (!status.equal(cp.attr("OPTIMAL")) && !status.equal(cp.attr("OPTIMAL_INACCURATE"))) {
            raise(module_attr("vantelo.exception", "OptimizationFailed"),
                  format("the relaxed problem could not be solved ({})", status));
        }
    }

    static double scale_value(const LimitGroup &group) {
        if (py::isinstance<py::float_>(group.scale)) {
            return number(group.scale);
        }
        py::object value = group.scale.attr("value");
        return value.is_none() ? std::nan("") : number(value);
    }

    static double to_own_units(const Entry &e, double slack) {
        slack = std::max(slack, 0.0);
        if (e.group->squared) {
            return std::sqrt(e.limit * e.limit + slack) - std::fabs(e.limit);
        }
        double scale = scale_value(*e.group);
        // A share of an industry that holds (almost) nothing: its slack is weight.
        return scale > 1e-9 ? slack / scale : slack;
    }

    // The compiled problem solved as cvxpy would, and its answer unpacked into the
    // variables; cvxpy's note that a solution may be inaccurate stays inside.
    void solve_compiled(py::handle data) {
        without_inaccuracy_warning([&] {
            py::object solution =
                chain_.attr("solve_via_data")(problem_, data, false, false, py::dict());
            problem_.attr("unpack_results")(solution, chain_, inverse_);
        });
    }

    py::list limit_constraints_;
    std::vector<Entry> entries_;
    py::object data_;
    py::object chain_;
    py::object inverse_;
    py::ssize_t offset_ = -1;
    py::list fixed_;
    std::vector<double> base_;
    std::vector<double> relaxation_;
    py::object slack_;
    py::object problem_;
    const char *solver_ = "CLARABEL";
    double tolerance_ = kTolerance;
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
                       bool hard_only_feasible) {
    return attr("InfeasibilityReport")(feasible, conflicts, minimal_set, hard_only_feasible);
}

py::object feasible_report() { return make_report(true, empty_conflicts(), py::list(), true); }

py::object analyse(const LimitSet &limits) {
    if (limits.size() == 0) {
        return feasible_report();
    }
    Elastic elastic(limits);
    const std::size_t m = elastic.size();
    std::vector<double> base(m);
    for (std::size_t i = 0; i < m; ++i) {
        base[i] = elastic.base(i);
    }

    elastic.solve(base);
    std::vector<std::size_t> touched;
    std::vector<double> joint_relaxation(m), joint_attained(m);
    for (std::size_t i = 0; i < m; ++i) {
        joint_relaxation[i] = elastic.relaxation(i);
        joint_attained[i] = elastic.attained(i);
        if (elastic.moved(i)) {
            touched.push_back(i);
        }
    }
    if (touched.empty()) {
        return feasible_report();
    }

    bool hard_only_feasible = false;
    std::set<std::size_t> hard;
    for (std::size_t i = 0; i < m; ++i) {
        if (elastic.entry(i).group->hard) {
            hard.insert(i);
        }
    }
    if (hard.size() < m) {
        hard_only_feasible = !elastic.infeasible(hard);
    }

    // Elastic filter: make the moved limits hold and see what moves next, until
    // the held ones cannot hold together; then drop every member that is not
    // needed for that.
    std::set<std::size_t> members(touched.begin(), touched.end());
    std::vector<double> pressure = elastic.multipliers();
    const double largest = *std::max_element(base.begin(), base.end());
    std::set<std::size_t> pressed = members;
    for (std::size_t i = 0; i < m && pressure.size() == m; ++i) {
        if (pressure[i] > kPressure * largest) {
            pressed.insert(i);
        }
    }
    // The multipliers usually name a conflicting set at once; when rounding has
    // blurred them, the elastic filter finds one.
    const bool named = elastic.infeasible_few(pressed);
    if (named) {
        members = pressed;
    }
    for (std::size_t round = 0; !named && round < m && !elastic.infeasible_few(members); ++round) {
        std::vector<double> cost = base;
        for (std::size_t i : members) {
            cost[i] *= kHold;
        }
        elastic.solve(cost);
        std::size_t before = members.size();
        for (std::size_t i = 0; i < m; ++i) {
            if (!members.count(i) && elastic.moved(i)) {
                members.insert(i);
            }
        }
        if (members.size() == before) {
            break;
        }
    }
    std::vector<std::size_t> candidates(members.begin(), members.end());
    for (std::size_t i : candidates) {
        std::set<std::size_t> without = members;
        without.erase(i);
        if (!without.empty() && elastic.infeasible_few(without)) {
            members = without;
        }
    }

    // Each conflict's own relaxation: how far it must move when it alone moves,
    // where that suffices; otherwise its share of the joint relaxation.
    py::list labels, owners, sides, hards;
    std::vector<double> limit_column, attainable_column, relaxation_column;
    for (std::size_t i : touched) {
        double relaxation = joint_relaxation[i];
        double attainable = joint_attained[i];
        // With one limit moved, the joint relaxation already is its own.
        if (touched.size() > 1 && touched.size() <= kMaxSingleRelaxations) {
            std::vector<double> cost = base;
            for (std::size_t j = 0; j < m; ++j) {
                if (j != i) {
                    cost[j] *= kHold;
                }
            }
            elastic.solve(cost);
            bool alone = true;
            for (std::size_t j = 0; j < m; ++j) {
                alone = alone && (j == i || !elastic.moved(j));
            }
            if (alone) {
                relaxation = elastic.relaxation(i);
                attainable = elastic.attained(i);
            }
        }
        const Entry &e = elastic.entry(i);
        labels.append(e.group->labels[py::int_(e.position)]);
        owners.append(e.group->constraint);
        sides.append(py::str(side_name(e.group->side)));
        hards.append(py::bool_(e.group->hard));
        limit_column.push_back(e.limit);
        attainable_column.push_back(attainable);
        relaxation_column.push_back(relaxation);
    }
    py::object np = attr("np");
    py::dict columns;
    columns["label"] = labels;
    columns["constraint"] = owners;
    columns["side"] = sides;
    columns["limit"] = np.attr("array")(py::cast(limit_column), py::arg("dtype") = "float64");
    columns["attainable"] =
        np.attr("array")(py::cast(attainable_column), py::arg("dtype") = "float64");
    columns["relaxation"] =
        np.attr("array")(py::cast(relaxation_column), py::arg("dtype") = "float64");
    columns["hard"] = np.attr("array")(hards, py::arg("dtype") = "bool");
    py::object conflicts = attr("pd").attr("DataFrame")(columns);

    py::list minimal_set;
    for (std::size_t i : members) {
        const Entry &e = elastic.entry(i);
        minimal_set.append(e.group->labels[py::int_(e.position)]);
    }
    return make_report(false, conflicts, minimal_set, hard_only_feasible);
}

// ---------------------------------------------------------------------------
// The arguments, read as portfolio_optimize reads them
// ---------------------------------------------------------------------------

bool is_ratio_objective(py::handle objective) {
    return py::isinstance(objective, driver("MaxInformationRatio")) ||
           py::isinstance(objective, driver("MaxSharpeRatio"));
}

// The helper as the limits see it: the data several constraint objects (and each
// industry or style of one) ask for is read once. The driver asks once per object;
// the diagnosis asks once per industry and style.
const char *const kShared[] = {"get_industry_mapping", "get_benchmark_industry_weight",
                               "get_factor_exposure", "get_benchmark_style"};

py::object shared_lookup(py::object self, py::str name) {
    py::object found = py::getattr(self.attr("_helper"), name);
    bool shared = false;
    for (const char *candidate : kShared) {
        shared = shared || name.cast<std::string>() == candidate;
    }
    if (!shared || !PyCallable_Check(found.ptr())) {
        return found;
    }
    py::dict memo = self.attr("_memo");
    return py::cpp_function([memo, found, name](py::args args) -> py::object {
        py::tuple key = py::make_tuple(name, args);
        if (memo.contains(key)) {
            return memo[key];
        }
        py::object value = found(*args);
        memo[key] = value;
        return value;
    });
}

void shared_init(py::object self, py::object helper) {
    self.attr("_helper") = helper;
    self.attr("_memo") = py::dict();
}

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
    LimitSet limits =
        enumerate_limits(g, pool, objective, bnds, cons, attr("_SharedHelper")(helper), zeta);
    return analyse(limits);
}

py::object explain_infeasibility(py::object order_book_ids, py::object date, py::object objective,
                                 py::object bnds, py::object cons, py::object benchmark,
                                 py::object cov_model) {
    py::object pool = cleaned_pool(order_book_ids, date);
    if (py::len(pool) < 2) {
        return feasible_report();
    }
    if (objective.is_none()) {
        objective = driver("DEFAULT_OBJECTIVE");
    }
    benchmark = checked_benchmark(objective, benchmark);
    cov_model = driver("to_enum")(cov_model, driver("CovModel"));
    py::object helper = driver("OptimizeHelper")(pool, date, benchmark, cov_model);
    return diagnose_problem(pool, objective, bnds, cons, helper);
}

// What portfolio_optimize attaches to OptimizationFailed when the problem is
// infeasible: the report, or None when the diagnosis itself fails. Its warnings
// were already issued by the optimisation.
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
    }
    guard.attr("__exit__")(py::none(), py::none(), py::none());
    return report;
}

// ---------------------------------------------------------------------------
// The constraint check
// ---------------------------------------------------------------------------

py::object check_constraints(py::object weights, py::object date, py::object bnds, py::object cons,
                             py::object benchmark, py::object cov_model) {
    date = driver("to_date")(date);
    // A portfolio handed in is read as the report and the command line read one.
    py::object series = read_weights(kModule, weights, py::str("weights"));
    check_weight_sum(kModule, series, py::str("weights"), true);
    series = series.attr("sort_index")();
    py::list pool = series.attr("index").attr("tolist")();
    py::object values = series.attr("to_numpy")();
    benchmark = resolved_benchmark(benchmark);
    cov_model = driver("to_enum")(cov_model, driver("CovModel"));
    py::object helper = driver("OptimizeHelper")(pool, date, benchmark, cov_model);

    // Unsigned, so that any weights can be measured, short positions included.
    py::object g = attr("cp").attr("Variable")(py::len(pool));
    LimitSet limits = enumerate_limits(g, pool, py::none(), bnds, cons,
                                       attr("_SharedHelper")(helper), py::float_(1.0));
    g.attr("value") = values;

    py::object np = attr("np");
    const double nan = std::nan("");
    py::list labels;
    std::vector<double> value_column, lower_column, upper_column, slack_column;
    std::vector<bool> binding_column, violated_column;
    for (const LimitGroup &group : limits.groups) {
        py::object group_values = limit_values(group);
        const py::ssize_t count = py::len(group.labels);
        for (py::ssize_t i = 0; i < count; ++i) {
            double limit = number(group.limits[py::int_(i)]);
            double value = number(group_values[py::int_(i)]);
            double slack = group.side == Side::Lower   ? value - limit
                           : group.side == Side::Upper ? limit - value
                                                       : -std::fabs(value - limit);
            labels.append(group.labels[py::int_(i)]);
            value_column.push_back(value);
            lower_column.push_back(group.side == Side::Upper ? nan : limit);
            upper_column.push_back(group.side == Side::Lower ? nan : limit);
            slack_column.push_back(slack);
            // NaN (a share of an industry the portfolio does not hold) is neither.
            binding_column.push_back(std::fabs(slack) <= kBinding);
            violated_column.push_back(slack < -kBinding);
        }
    }
    py::dict columns;
    auto floats = [&](const std::vector<double> &column) {
        return np.attr("array")(py::cast(column), py::arg("dtype") = "float64");
    };
    auto flags = [&](const std::vector<bool> &column) {
        py::list items;
        for (bool flag : column) {
            items.append(py::bool_(flag));
        }
        return np.attr("array")(items, py::arg("dtype") = "bool");
    };
    columns["label"] = labels;
    columns["value"] = floats(value_column);
    columns["lower"] = floats(lower_column);
    columns["upper"] = floats(upper_column);
    columns["slack"] = floats(slack_column);
    columns["binding"] = flags(binding_column);
    columns["violated"] = flags(violated_column);
    return attr("pd").attr("DataFrame")(columns);
}

// ---------------------------------------------------------------------------
// InfeasibilityReport
// ---------------------------------------------------------------------------

void report_init(py::object self, py::object feasible, py::object conflicts,
                 py::object minimal_set, py::object hard_only_feasible) {
    self.attr("feasible") = py::bool_(truthy(feasible));
    self.attr("conflicts") = conflicts;
    self.attr("minimal_set") = list_copy(minimal_set);
    self.attr("hard_only_feasible") = py::bool_(truthy(hard_only_feasible));
}

py::str report_text(py::object self) {
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
    conflicts: DataFrame, one row per limit that moves in the smallest relaxation
        found: label, constraint (the object, or None), side ("lower", "upper" or
        "equal"), limit (as given, in its units), attainable (the nearest value
        that can be reached while everything else holds, where moving this limit
        alone suffices), relaxation (how far the limit must move, >= 0) and hard.
    minimal_set: labels of limits that cannot hold together, each one needed.
    hard_only_feasible: whether the hard limits alone can hold.
    )";

constexpr const char *kExplainDoc = R"(
    Says which limits of a problem collide, and by how much.

    Takes the arguments of portfolio_optimize (the pool cleaned, the bounds read
    and the helper built as there; hard and soft constraints alike) and returns an
    InfeasibilityReport. Every limit counts: per-stock bounds, full investment,
    the objective's own constraints and each side of each constraint object.
    )";

constexpr const char *kCheckDoc = R"(
    Measures a portfolio against the limits of bnds and cons.

    Returns a DataFrame with one row per limit (labelled as explain_infeasibility
    labels them): label, value (the portfolio's value in the limit's units),
    lower, upper, slack (distance to the bound, negative when past it), binding
    (within 1e-6 of the bound) and violated (past it by more than that).
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
              py::arg("hard_only_feasible"))
        .method("__str__", &report_text)
        .method("__repr__", &report_text);

    ClassBuilder(m, "_SharedHelper",
                 py::str("A helper whose industry and style data is read once."))
        .init(&shared_init, py::arg("helper"))
        .method("__getattr__", &shared_lookup);

    py::object daily = m.attr("CovModel").attr("FACTOR_MODEL_DAILY");
    def_function(m, "explain_infeasibility", &explain_infeasibility, kExplainDoc,
                 py::arg("order_book_ids"), py::arg("date"), py::arg("objective") = py::none(),
                 py::arg("bnds") = py::none(), py::arg("cons") = py::none(),
                 py::arg("benchmark") = py::none(), py::arg("cov_model") = daily);
    def_function(m, "check_constraints", &check_constraints, kCheckDoc, py::arg("weights"),
                 py::arg("date"), py::arg("bnds") = py::none(), py::arg("cons") = py::none(),
                 py::arg("benchmark") = py::none(), py::arg("cov_model") = daily);
    def_function(m, "_explain_failure", &explain_failure, py::arg("order_book_ids"),
                 py::arg("objective"), py::arg("bnds"), py::arg("cons"), py::arg("helper"));
}
