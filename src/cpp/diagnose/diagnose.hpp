// What the files of vantelo.diagnose share: the elastic problem and the answer of
// one of its solves, the reports, and the functions the bindings call.
#pragma once

#include "vantelo/common.hpp"
#include "vantelo/limits.hpp"

#include <optional>
#include <set>
#include <string>
#include <vector>

namespace vantelo {
namespace diagnose {

constexpr const char *kModule = "vantelo.diagnose";

inline py::object attr(const char *name) { return module_attr(kModule, name); }
inline py::object driver(const char *name) { return module_attr("vantelo.optimize", name); }

[[noreturn]] inline void invalid(py::handle message) { raise_invalid_argument(kModule, message); }

// Numbers and arrays to and from Python (elastic.cpp).
double number(py::handle value);
std::vector<double> doubles(py::handle values);
py::object float_array(const std::vector<double> &values);

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

// An error's type and message, for a report that says why.
std::string describe(py::error_already_set &error);

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

// The elastic problem of a set of limits: each may move at a cost per unit of its
// slack. Compiled once and solved again with other costs (elastic.cpp).
class Elastic {
  public:
    explicit Elastic(const LimitSet &limits);

    // The limits `members` of `whole` (indices into it, in order) as an elastic
    // problem of their own, the other limits left out: a small problem, compiled
    // once and solved again for each set of them asked about.
    Elastic(const Elastic &whole, const std::vector<std::size_t> &members);

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
    Solution solve(const std::vector<double> &cost);

  private:
    void add_block(const LimitGroup &group, const std::vector<py::ssize_t> &positions,
                   const std::vector<double> &costs);
    void finish(py::handle fixed);
    double own_units(std::size_t i, double slack, double scale) const;

    // Whether a relaxation (in the limit's units) is past the solver's tolerance on
    // the limit's own scale.
    bool past_tolerance(std::size_t i, double relaxation, double tolerance) const;
    void compile(const SolverSpec &spec);

    // The compiled problem solved with other slack costs, as cvxpy would solve it,
    // and its answer unpacked into the variables.
    void run(const SolverSpec &spec, const std::vector<double> &cost);
    Solution read(const std::vector<double> &cost, double tolerance) const;

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

// The reports (report.cpp).
py::object make_report(bool feasible, py::object conflicts, py::list minimal_set,
                       bool hard_only_feasible, const std::string &solver);
py::object feasible_report(const std::string &solver = std::string());
py::object undiagnosed_report(const std::string &reason);
void report_init(py::object self, py::object feasible, py::object conflicts,
                 py::object minimal_set, py::object hard_only_feasible, py::object diagnosed,
                 py::object reason, py::object solver);
py::str report_text(py::object self);

// Limits that cannot hold together, each one needed (minimal.cpp).
std::set<std::size_t> minimal_set(Elastic &elastic, const Solution &relaxed);

// The entry points (explain.cpp).
py::object explain_infeasibility(py::object order_book_ids, py::object date, py::object objective,
                                 py::object bnds, py::object cons, py::object benchmark,
                                 py::object cov_model, py::object risk_model);
py::object explain_failure(py::object pool, py::object objective, py::object bnds, py::object cons,
                           py::object helper);
py::object check_constraints(py::object weights, py::object date, py::object bnds, py::object cons,
                             py::object benchmark, py::object cov_model, py::object risk_model);

} // namespace diagnose
} // namespace vantelo
